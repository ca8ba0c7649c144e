#!/usr/bin/env bash
# What the runner costs: BENCH_GROUPS groups (default 400) of one master and
# one child of CHILD_SECONDS seconds each (default 1; 48000 Hz stereo
# 16-bit noise of two timbres), all outputs, run with -j 1 and -j 2. The run
# tells the sum of its jobs' own times (TIMBRAL_RUNNER_STATS): the time the
# masters and children took, each from its start to its end. Against it:
#   -j 1: the whole process (planning, the check of every input, the runner,
#         the lines, the summary) against that sum;
#   -j 2: the whole process against half that sum, the best two workers
#         could do.
# Times are medians of RUNS runs (default 3), wall clock, the two job counts
# taking turns run by run.
# Prints
#   RATIO runner_overhead_j1 <wall s> jobs <jobs s> <wall/jobs>      (target <= 1.05)
#   RATIO runner_overhead_j2 <wall s> jobs_half <jobs/2 s> <ratio>   (target <= 1.05)
#   TARGET runner_overhead_j<n> met|missed
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
bin="${TIMBRAL_BIN:-$bdir/timbral}"
runs="${RUNS:-3}"
groups="${BENCH_GROUPS:-400}"
seconds="${CHILD_SECONDS:-1}"
[ -x "$bin" ] || { echo "runner.sh: $bin not built"; exit 1; }
bin="$(realpath "$bin")"
work="$(mktemp -d)"
. "$root/bench/measure.sh"  # require
require sox python3
trap 'if [ -n "${KEEP:-}" ]; then echo "runner.sh: kept $work"; else rm -rf "$work"; fi' EXIT
cd "$work" || exit 1

mkdir -p in
sox -n -r 48000 -b 16 -c 2 in/master.wav synth "$seconds" pinknoise vol 0.5 || exit 1
sox -n -r 48000 -b 16 -c 2 in/child.wav synth "$seconds" brownnoise vol 0.5 || exit 1
make_groups "$groups" in/master.wav in/child.wav || exit 1

# One run: "<wall s> <jobs s>".
one_run() {
  local t0 t1
  rm -rf out
  t0=$(date +%s%N)
  TIMBRAL_RUNNER_STATS=1 "$bin" -c cfg.json -q true -j "$1" >/dev/null 2>err.txt ||
    { echo "runner.sh: -j $1 failed" >&2; tail -n 3 err.txt >&2; return 1; }
  t1=$(date +%s%N)
  local jobs
  jobs=$(sed -n 's/^runner: .* workers, \([0-9.]*\) s in jobs.*/\1/p' err.txt)
  awk -v a="$t0" -v b="$t1" -v j="$jobs" 'BEGIN { printf "%.3f %.3f", (b - a) / 1e9, j }'
}
declare -A wall jobs
for ((i = 0; i < runs; i++)); do
  for j in 1 2; do
    got="$(one_run $j)" || exit 1
    read -r w s <<<"$got"
    wall[$j]+="$w "
    jobs[$j]+="$s "
  done
done
for j in 1 2; do
  w=$(median ${wall[$j]})
  s=$(median ${jobs[$j]})
  if [ "$j" = 1 ]; then
    awk -v w="$w" -v s="$s" 'BEGIN { r = w / s; printf "RATIO runner_overhead_j1 %s jobs %s %.3f\nTARGET runner_overhead_j1 %s\n", w, s, r, (r <= 1.05 ? "met" : "missed") }'
  else
    awk -v w="$w" -v s="$s" 'BEGIN { h = s / 2; r = w / h; printf "RATIO runner_overhead_j2 %s jobs_half %.3f %.3f\nTARGET runner_overhead_j2 %s\n", w, h, r, (r <= 1.05 ? "met" : "missed") }'
  fi
done
