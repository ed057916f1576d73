#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang-14 and runs each for a fixed time on a copy
# of its checked-in seed corpus (the checked-in corpus never grows here).
# Usage: scripts/fuzz.sh BUILD_DIR [SECONDS]   (SECONDS defaults to 30)
# Exits non-zero when a harness finds a crash or broken invariant and prints the input's
# path; keep such an input under tests/fuzz/regressions/<target>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]"
  exit 2
fi
build=$(realpath -m "$1")
seconds=${2:-30}

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELOMAR_FUZZ=ON -DVELOMAR_BUILD_PULSE=OFF -DVELOMAR_BUILD_TESTS=OFF -DVELOMAR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target velomar_fuzzers

# Inputs stay small: the structured harnesses need a few hundred bytes, the line reader
# enough to cross its 4096-byte line limit.
declare -A max_len=([command_line]=512 [event_writer]=1024 [mixer]=512 [stdin_reader]=10000)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
for target in command_line event_writer mixer stdin_reader; do
  work="$build/fuzz-run/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$root/tests/fuzz/corpus/$target/." "$work/corpus/" -r
  [ -d "$root/tests/fuzz/regressions/$target" ] && cp -r "$root/tests/fuzz/regressions/$target/." "$work/corpus/"
  echo "=== fuzzing $target for ${seconds}s ==="
  if "$build/tests/fuzz/${target}_fuzz" "$work/corpus" -max_total_time="$seconds" \
      -max_len="${max_len[$target]}" -len_control=0 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$work/log" || true
  else
    failed=1
    tail -n 40 "$work/log"
    for crash in "$work"/artifacts/*; do
      [ -e "$crash" ] && echo "CRASH INPUT ($target): $crash"
    done
  fi
done
exit "$failed"
