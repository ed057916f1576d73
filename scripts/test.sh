#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the plain, ASan+UBSan and TSan
# variants, runs the unit and process-level tests in each, then the tests against real
# sound servers (private PulseAudio and PipeWire instances) in the plain build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

jobs=$(nproc)
declare -A flags=(
  [plain]="-DCMAKE_BUILD_TYPE=RelWithDebInfo"
  [asan]="-DCMAKE_BUILD_TYPE=Debug -DVELOMAR_SANITIZE=address -DVELOMAR_BUILD_BENCH=OFF"
  [tsan]="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOMAR_SANITIZE=thread -DVELOMAR_BUILD_BENCH=OFF"
)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

failed=0
for variant in plain asan tsan; do
  dir="$root/build-$variant"
  echo "=== $variant build ==="
  # shellcheck disable=SC2086
  cmake -S "$root" -B "$dir" ${flags[$variant]} >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $variant tests ==="
  if ! ctest --test-dir "$dir" -L unit --output-on-failure -j"$jobs" --timeout 300; then
    failed=1
  fi
done

if [ -x scripts/server-tests.sh ]; then
  echo "=== tests against real sound servers ==="
  if ! bash scripts/server-tests.sh "$root/build-plain"; then
    failed=1
  fi
fi

exit "$failed"
