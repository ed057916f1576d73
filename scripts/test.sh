#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the plain, ASan+UBSan and TSan
# variants, runs the unit and process-level tests in each, runs each fuzzer for a short
# fixed time, then the tests against real sound servers (private PulseAudio and PipeWire
# instances) in the plain build, and finally builds the Debian package from the plain
# build and checks it.
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

logs=$(mktemp -d /tmp/velomar-test-logs-XXXXXX)
failed=0
for variant in plain asan tsan; do
  dir="$root/build-$variant"
  echo "=== $variant build ==="
  # shellcheck disable=SC2086
  cmake -S "$root" -B "$dir" ${flags[$variant]} >/dev/null
  if [ "$variant" = plain ]; then
    cmake --build "$dir" -j"$jobs"
  else
    # The sanitizer builds run the unit and process-level tests only.
    cmake --build "$dir" -j"$jobs" --target velomar_tests
  fi
  echo "=== $variant tests ==="
  if ! ctest --test-dir "$dir" -L unit --output-on-failure -j"$jobs" --timeout 300 2>&1 | tee "$logs/ctest-$variant.log"; then
    failed=1
  fi
done

echo "=== fuzzing (${VELOMAR_FUZZ_SECONDS:-30}s per harness) ==="
if ! bash scripts/fuzz.sh "$root/build-fuzz" "${VELOMAR_FUZZ_SECONDS:-30}"; then
  failed=1
fi

if [ -f scripts/server-tests.sh ]; then
  echo "=== tests against real sound servers ==="
  if ! bash scripts/server-tests.sh "$root/build-plain" 2>&1 | tee "$logs/server.log"; then
    failed=1
  fi
fi

echo "=== Debian package ==="
if ! bash scripts/package-check.sh "$root/build-plain" 2>&1 | tee "$logs/package.log"; then
  failed=1
fi

# One closing line over every run above: ctest's per-variant totals, the gtest totals
# of the server runs and the package checks.
passed=0; fails=0
for f in "$logs"/ctest-*.log; do
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$f" | tail -1 || true)
  [ -n "$line" ] || { fails=$((fails + 1)); continue; }
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); fails=$((fails + bad))
done
if [ -f "$logs/server.log" ]; then
  for n in $(grep -oE '^\[  PASSED  \] [0-9]+' "$logs/server.log" | grep -oE '[0-9]+$'); do passed=$((passed + n)); done
  for n in $(grep -oE '^\[  FAILED  \] [0-9]+ tests?, listed' "$logs/server.log" | grep -oE '[0-9]+ test' | grep -oE '[0-9]+'); do fails=$((fails + n)); done
fi
line=$(grep -E '^package: [0-9]+ checks passed, [0-9]+ failed$' "$logs/package.log" | tail -1 || true)
if [ -n "$line" ]; then
  passed=$((passed + $(sed -E 's/^package: ([0-9]+).*/\1/' <<<"$line")))
  fails=$((fails + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")))
else
  fails=$((fails + 1))
fi
[ "$failed" = 0 ] || [ "$fails" -gt 0 ] || fails=1
echo "tests: $passed passed, $fails failed"

exit "$failed"
