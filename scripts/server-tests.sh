#!/usr/bin/env bash
# Runs the tests that need a sound server, once against a private PulseAudio and once
# against a private PipeWire stack (pipewire, wireplumber, pipewire-pulse). Neither
# ever reaches the user's own server. A server that cannot be started fails the run in
# CI (CI=true); elsewhere the tests run without it and skip visibly.
#
#   scripts/server-tests.sh BUILD_DIR [gtest arguments...]
#   VELOMAR_SERVERS="pulse" scripts/server-tests.sh build    # one server only
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:?usage: $0 BUILD_DIR [gtest arguments]}
shift
build=$(cd "$build" && pwd)
binary="$build/tests/velomar_server_tests"
[ -x "$binary" ] || { echo "server-tests: $binary is not built"; exit 1; }
# The allocation counts run in a binary of their own (a process-wide operator new).
binaries=("$binary")
[ -x "$build/tests/velomar_alloc_tests" ] && binaries+=("$build/tests/velomar_alloc_tests")

servers=${VELOMAR_SERVERS:-pulse pipewire}
failed=0
for kind in $servers; do
  echo "=== server tests on $kind ==="
  dir=$(mktemp -d "/tmp/velomar-$kind-XXXXXX")
  if bash "$root/scripts/pulse-server.sh" start "$kind" "$dir"; then
    for b in "${binaries[@]}"; do
      # shellcheck disable=SC2046
      if ! env $(cat "$dir/env") VELOMAR_TEST_SERVER_KIND="$kind" VELOMAR_TEST_SERVER_DIR="$dir" \
          VELOMAR_TEST_SERVER_CTL="$root/scripts/pulse-server.sh" "$b" "$@"; then
        failed=1
        echo "--- $kind server log (tail) ---"
        tail -n 20 "$dir/server.log" 2>/dev/null || true
      fi
    done
    bash "$root/scripts/pulse-server.sh" stop "$dir"
  else
    echo "server-tests: could not start a private $kind server"
    if [ "${CI:-}" = "true" ]; then
      failed=1
    else
      # No server: every server test reports a visible skip. The developer's own
      # server is hidden so that nothing can reach it by accident.
      for b in "${binaries[@]}"; do
        env -u VELOMAR_TEST_SERVER_DIR PULSE_SERVER="unix:$dir/none" "$b" "$@" || failed=1
      done
    fi
  fi
  if [ "$failed" = 0 ]; then rm -rf "$dir"; else echo "server-tests: kept $dir for inspection"; fi
done
exit "$failed"
