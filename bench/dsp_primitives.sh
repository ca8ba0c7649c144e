#!/usr/bin/env bash
# Runs the DSP primitive benchmarks (FIR with 128 taps, biquad_8,
# multiply_add, two rows of biquad_8 in one pass) at every level the
# processor has; the program itself prints the RATIO lines against the
# generic level, and the two-row pass against two single-row passes.
set -euo pipefail
dir="${TIMBRAL_BENCH_DIR:?run through scripts/bench.sh}"
"$dir/bench/dsp_primitives_bench" --benchmark_min_time=0.2
