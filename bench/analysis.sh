#!/usr/bin/env bash
# In-process benchmarks of the signal chain (profile, IR synthesis,
# convolve_mix, resampling), then the peak resident memory of one
# convolve_mix run (60 s stereo 48 kHz, 65536 taps) next to the bound of
# input + output + one temporary of input plus IR length + one convolver.
set -euo pipefail
dir="${TIMBRAL_BENCH_DIR:?run through scripts/bench.sh}"
prog="$dir/bench/analysis_bench"
"$prog" --benchmark_min_time=0.5
if command -v /usr/bin/time >/dev/null; then
  kb=$( { /usr/bin/time -f '%M' "$prog" --benchmark_filter='BM_convolve_mix/65536' \
      --benchmark_min_time=0.01 >/dev/null; } 2>&1 | tail -1)
  frames=$((60 * 48000)); taps=65536
  # floats: input 2 x frames, output 2 x (frames + taps), temporary frames + taps,
  # convolver (P x 2^17 + 2 x 2^17 + (P + 3) x 2^15 + 128) with P = taps / 2^15
  p=$((taps / 32768))
  floats=$((2 * frames + 2 * (frames + taps) + frames + taps + p * 131072 + 2 * 131072 + (p + 3) * 32768 + 128))
  echo "MEMORY convolve_mix peak_rss_kb=$kb bound_kb=$((floats * 4 / 1024)) (plus the IR and program)"
fi
