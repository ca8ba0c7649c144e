#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
#   scripts/fuzz.sh            every target for 600 seconds
#   scripts/fuzz.sh --smoke    every target for 30 seconds (part of scripts/test.sh)
#   scripts/fuzz.sh NAME SECS  one target
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
secs=600
only=""
if [ "${1:-}" = "--smoke" ]; then secs=30; elif [ -n "${1:-}" ]; then only=$1; secs=${2:-600}; fi

ls "$root"/fuzz/*_fuzz.cpp >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
dir="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTIMBRAL_FUZZ=ON -DTIMBRAL_TESTS=OFF >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" 2>&1 | grep -E 'warning|error' ; [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1

rc=0
for src in "$root"/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  [ -n "$only" ] && [ "$only" != "$name" ] && continue
  seeds="$root/fuzz/corpus/$name"
  work="$dir/corpus/$name"
  mkdir -p "$work"
  echo "== fuzz $name for ${secs}s"
  if ! ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
      "$dir/fuzz/$name" -max_total_time="$secs" -print_final_stats=1 -rss_limit_mb=2048 \
      -artifact_prefix="$dir/" "$work" "$seeds" >"$dir/$name.log" 2>&1; then
    echo "fuzz target $name found a problem:"; tail -n 40 "$dir/$name.log"; rc=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$dir/$name.log" | tail -n 2
  fi
done
exit $rc
