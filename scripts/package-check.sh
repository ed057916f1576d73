#!/usr/bin/env bash
# Builds the Debian package from a configured build directory and checks it the way a
# machine that never built the project would meet it: its fields and contents, then
# the files unpacked into an empty root (dpkg -x, no installation into the system)
# and the unpacked program run: --version, and --list-devices against a private
# PulseAudio server.
#
#   scripts/package-check.sh BUILD_DIR
#
# Prints "ok - what" or "not ok - what: why" per check, then one summary line; exits 1
# when a check failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:?usage: $0 BUILD_DIR}
build=$(cd "$build" && pwd)

passed=0
failed=0
ok() { echo "ok - $1"; passed=$((passed + 1)); }
not_ok() { echo "not ok - $1: $2"; failed=$((failed + 1)); }
# check WHAT COMMAND...: the command's output is the reason when it fails.
check() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then ok "$what"; else not_ok "$what" "$out"; fi
}
finish() {
  echo "package: $passed checks passed, $failed failed"
  [ "$failed" = 0 ]
  exit $?
}

work=$(mktemp -d /tmp/velomar-package-XXXXXX)
server=""
cleanup() {
  [ -n "$server" ] && bash "$root/scripts/pulse-server.sh" stop "$server" >/dev/null 2>&1
  rm -rf "$work"
  [ -n "$server" ] && rm -rf "$server"
}
trap cleanup EXIT

version=$(sed -nE 's/^project\(VelomarCapture VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb="$build/velomarcapture_${version}_${arch}.deb"
rm -f "$deb"
if ! out=$(cmake --build "$build" --target package 2>&1); then
  not_ok "cmake --build --target package" "$(tail -n 20 <<<"$out")"
  finish
fi
if [ -f "$deb" ]; then ok "package built: $(basename "$deb")"; else not_ok "package built" "no $deb"; finish; fi

field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
check "package name and version" test "$(field Package) $(field Version)" = "velomarcapture $version"
for pair in "libpulse0 libpulse" "libsoxr0 soxr"; do
  set -- $pair
  found=$(pkg-config --modversion "$2")
  check "depends on $1 (>= $found), the version built against" grep -qF "$1 (>= $found)" <<<"$depends"
done
check "no build dependency among: $depends" bash -c '! grep -qE -- "-dev\\b|cmake|gcc( |,|$)|g\\+\\+|pkg-config" <<<"$1"' _ "$depends"

# No maintainer scripts and no conffiles: removing the package leaves nothing behind.
dpkg-deb -e "$deb" "$work/control"
check "control archive holds only control and md5sums" \
  test "$(cd "$work/control" && ls | sort | tr '\n' ' ')" = "control md5sums "

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}' | grep -v '/$')
expected="./usr/bin/VelomarCapture
./usr/share/doc/velomarcapture/README.md
./usr/share/doc/velomarcapture/copyright
./usr/share/man/man1/VelomarCapture.1.gz
./usr/share/velomarcapture/events.schema.json"
check "files: program, manual page, README, copyright, event schema" \
  test "$(sort <<<"$contents")" = "$expected"

unpacked="$work/root"
dpkg -x "$deb" "$unpacked"
program="$unpacked/usr/bin/VelomarCapture"

# Every library the program needs comes from a package it depends on.
missing=""
for lib in $(readelf -d "$program" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p'); do
  path=$(ldconfig -p | awk -v l="$lib" '$1 == l {print $NF; exit}')
  owner=""
  # The package may list the file under /lib or /usr/lib, by its link or its real name.
  for candidate in "$path" "$(readlink -f "$path")"; do
    for p in "$candidate" "/usr${candidate#/usr}" "${candidate#/usr}"; do
      [ -n "$owner" ] || owner=$(dpkg -S "$p" 2>/dev/null | head -n 1 | cut -d: -f1)
    done
  done
  tr ',' '\n' <<<"$depends" | sed -E 's/^ *//; s/ .*//' | grep -qxF "${owner:-?}" || missing+=" $lib (${owner:-no package})"
done
if [ -z "$missing" ]; then
  ok "every linked library comes from a declared dependency"
else
  not_ok "every linked library comes from a declared dependency" "not declared:$missing"
fi
check "installed binary is stripped" bash -c '! readelf -S "$1" | grep -q "\.debug_info"' _ "$program"

out=$("$program" --version 2>"$work/err"); status=$?
check "--version prints \"VelomarCapture $version\", exit 0, nothing on stderr" \
  test "$status:$out:$(cat "$work/err")" = "0:VelomarCapture $version:"

man_err=$(MANWIDTH=80 man --warnings -l "$unpacked/usr/share/man/man1/VelomarCapture.1.gz" 2>&1 >/dev/null)
check "man -l renders the page without warnings" test -z "$man_err"
[ -z "$man_err" ] || echo "$man_err" | head -n 5
check "manual page names every option of the usage text and --version" bash -c '
  page=$(MANWIDTH=200 man -l "$1" 2>/dev/null)
  for o in --out --engine --mic-device --channels --list-devices --help -h --version; do
    grep -qE -- "(^|[^a-z-])$o([^a-z-]|$)" <<<"$page" || { echo "missing $o"; exit 1; }
  done' _ "$unpacked/usr/share/man/man1/VelomarCapture.1.gz"

schema="$unpacked/usr/share/velomarcapture/events.schema.json"
check "installed schema is the one in the tree" cmp "$schema" doc/events.schema.json
check "installed schema is a valid draft-07 schema" /usr/bin/python3 scripts/validate-events.py "$schema" </dev/null

server=$(mktemp -d /tmp/velomar-package-pulse-XXXXXX)
if bash scripts/pulse-server.sh start pulse "$server" >"$work/server.log" 2>&1; then
  # shellcheck disable=SC2046
  out=$(env $(cat "$server/env") timeout 20 "$program" --list-devices 2>"$work/err"); status=$?
  check "--list-devices on a private server: exit 0, nothing on stderr" test "$status:$(cat "$work/err")" = "0:"
  check "--list-devices answers one \"devices\" event that the schema accepts" \
    bash -c '[ "$(wc -l <<<"$2")" = 1 ] && /usr/bin/python3 scripts/validate-events.py "$1" <<<"$2"' _ "$schema" "$out"
  check "--list-devices lists the server's default microphone" /usr/bin/python3 -c '
import json, sys
devices = json.loads(sys.argv[1])["devices"]
assert {"uid": "velomar_mic", "name": "Test Microphone", "isDefault": True} in devices, devices' "$out"
else
  not_ok "private PulseAudio server" "$(tail -n 5 "$work/server.log")"
fi

finish
