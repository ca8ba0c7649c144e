#!/usr/bin/env bash
# Runs fft_bench and prints, per rank, our best fft_forward and conv_block
# against FFTW_MEASURE (one and two transforms) as
#   RATIO <what> <ours_seconds> <peer> <peer_seconds> <ours/peer>
set -uo pipefail
dir="${TIMBRAL_BENCH_DIR:-$(dirname "$0")/../build/bench}"
bin="$dir/bench/fft_bench"
[ -x "$bin" ] || { echo "fft_bench not built in $dir"; exit 1; }
out="$(mktemp)"
"$bin" --benchmark_format=csv --benchmark_min_time=0.1 2>/dev/null >"$out" || { rm -f "$out"; exit 1; }
awk -F, '
  /^"/ {
    gsub(/"/, "", $1); split($1, p, "/");
    t = $4 * ($5 == "ns" ? 1e-9 : $5 == "us" ? 1e-6 : $5 == "ms" ? 1e-3 : 1);
    if (p[1] == "fftw_measure") { fftw[p[2]] = t; next }
    key = p[1] "/" p[3]; printf "%-32s %-8s %.3e s\n", p[1] "/" p[3], p[2], t;
    if (!(key in best) || t < best[key]) { best[key] = t; lvl[key] = p[2] }
  }
  END {
    for (r = 8; r <= 16; ++r) {
      if (!(r in fftw)) continue;
      k = "fft_forward/" r;
      if (k in best) printf "RATIO fft_forward_%s_rank%d %.3e fftw_measure %.3e %.2f\n", lvl[k], r, best[k], fftw[r], best[k] / fftw[r];
      k = "conv_block/" r;
      if (k in best) printf "RATIO conv_block_%s_rank%d %.3e fftw_measure_x2 %.3e %.2f\n", lvl[k], r, best[k], 2 * fftw[r], best[k] / (2 * fftw[r]);
    }
  }' "$out"
rm -f "$out"
