#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need, only when
# something is missing (fast on a ready machine, complete on a bare one).
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libsoxr-dev libpulse-dev
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus dbus-user-session
  sox libsox-fmt-all espeak-ng python3 python3-jsonschema procps util-linux
  man-db
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
