#!/usr/bin/env bash
# What spreading one configuration over processes costs.
#
# 1. Sharding overhead: BENCH_GROUPS groups (default 400) of one master and one
#    child of CHILD_SECONDS seconds each (default 5; 48000 Hz mono 16-bit noise of
#    two timbres), all outputs, as one process with -j 2 against SHARDS
#    shards (default 8) run two at a time by GNU parallel on the same
#    machine. Every shard plans the whole configuration, so the difference
#    is process start, planning and the imbalance of the hash split.
# 2. --list-groups on a generated configuration of LIST_GROUPS groups
#    (default 100000) of one master and two children: names and existence
#    only, no input exists and no audio is read.
#
# Times are medians of RUNS runs (default 3), wall clock; the machine's load
# counts in them, so the list also gives the processor time it took (the
# one process and the shards take turns run by run).
# Prints
#   RATIO shards_<n>_parallel_j2 <s> one_process_j2 <s> <ratio>   (target <= 1.3)
#   RATIO list_groups_<n> <s> target <10 s> <ratio>               (target < 1)
#   PEAK_KB list_groups_<n> <kB> target <512000> <ratio>          (target < 1)
#   CPU list_groups_<n> <user+system s>
# With TIMBRAL_BASE_BIN set to another build (say of the main branch), the
# list is also made by that build, the two taking turns run by run, and
#   RATIO list_groups_<n>_vs_base <s> base <s> <ratio>
#   PEAK_KB list_groups_<n>_vs_base <kB> base <kB> <ratio>
#   CPU list_groups_<n>_base <user+system s>
#   CHECK list_groups_<n> same|MISMATCH   (the two lists, byte for byte)
# follow. BENCH_GROUPS=0 leaves out the first part.
# Exits non-zero only when a program fails or the lists differ; missing a
# target is reported, not failed.
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
bin="${TIMBRAL_BIN:-$bdir/timbral}"
runs="${RUNS:-3}"
groups="${BENCH_GROUPS:-400}"
seconds="${CHILD_SECONDS:-5}"
shards="${SHARDS:-8}"
list_groups="${LIST_GROUPS:-100000}"
[ -x "$bin" ] || { echo "shards.sh: $bin not built"; exit 1; }
base_bin="${TIMBRAL_BASE_BIN:-}"
[ -z "$base_bin" ] || [ -x "$base_bin" ] || { echo "shards.sh: $base_bin not built"; exit 1; }
work="$(mktemp -d)"
. "$root/bench/measure.sh"  # require
require sox parallel python3 /usr/bin/time
trap 'if [ -n "${KEEP:-}" ]; then echo "shards.sh: kept $work"; else rm -rf "$work"; fi' EXIT
cd "$work" || exit 1

# 1. Overhead.
if [ "$groups" -gt 0 ]; then
mkdir -p in
sox -n -r 48000 -b 16 -c 1 in/master.wav synth "$seconds" pinknoise vol 0.5 || exit 1
sox -n -r 48000 -b 16 -c 1 in/child.wav synth "$seconds" brownnoise vol 0.5 || exit 1
make_groups "$groups" in/master.wav in/child.wav || exit 1
seq_list=$(seq 0 $((shards - 1)) | tr '\n' ' ')
# The two take turns run by run, so that changes of the machine's load fall
# on both alike.
ones=()
manys=()
wall() {
  local t0 t1
  rm -rf out
  t0=$(date +%s%N)
  "$@" >/dev/null 2>err.txt || { echo "shards.sh: $1 failed" >&2; tail -n 3 err.txt >&2; return 1; }
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}
for ((i = 0; i < runs; i++)); do
  ones+=("$(wall "$bin" -c cfg.json -j 2 -q true)") || exit 1
  manys+=("$(wall parallel -j 2 "$bin" -c cfg.json -q true --shard '{}'/"$shards" ::: $seq_list)") || exit 1
done
one=$(median "${ones[@]}")
many=$(median "${manys[@]}")
awk -v n="$shards" -v a="$many" -v b="$one" 'BEGIN { printf "RATIO shards_%d_parallel_j2 %s one_process_j2 %s %.3f\n", n, a, b, a / b }'
rm -rf in out
else
  echo "SKIP shards: BENCH_GROUPS=0"
fi

# 2. The group list of a large configuration.
python3 - "$list_groups" <<'PY' || exit 1
import json, sys
n = int(sys.argv[1])
groups = {"group-%06d" % i: {"master": "masters/m%06d.wav" % i,
                             "files": ["children/a%06d.wav" % i, "children/b%06d.wav" % i]} for i in range(n)}
json.dump({"dst_path": "out", "groups": groups}, open("big.json", "w"))
PY
# list_run <binary> <list file>: one run; sets run_time, run_cpu and run_kb.
list_run() {
  local e u st
  /usr/bin/time -f "%e %U %S %M" -o time.txt "$1" -c big.json -lg "$2" >/dev/null 2>err.txt ||
    { echo "shards.sh: --list-groups of $1 failed"; tail -n 3 err.txt; return 1; }
  read -r e u st run_kb <time.txt
  run_time=$e
  run_cpu=$(awk -v u="$u" -v s="$st" 'BEGIN { printf "%.2f", u + s }')
}
times_ours=() cpu_ours=() peak_ours=0 times_base=() cpu_base=() peak_base=0
for ((i = 0; i < runs; i++)); do
  list_run "$bin" groups.jsonl || exit 1
  times_ours+=("$run_time") cpu_ours+=("$run_cpu")
  [ "$run_kb" -gt "$peak_ours" ] && peak_ours=$run_kb
  [ -n "$base_bin" ] || continue
  list_run "$base_bin" base.jsonl || exit 1
  times_base+=("$run_time") cpu_base+=("$run_cpu")
  [ "$run_kb" -gt "$peak_base" ] && peak_base=$run_kb
done
lines=$(wc -l <groups.jsonl)
[ "$lines" -eq "$list_groups" ] || { echo "shards.sh: the list has $lines lines, not $list_groups"; exit 1; }
med=$(median "${times_ours[@]}")
medcpu=$(median "${cpu_ours[@]}")
awk -v n="$list_groups" -v t="$med" 'BEGIN { printf "RATIO list_groups_%d %s target 10 %.3f\n", n, t, t / 10 }'
awk -v n="$list_groups" -v k="$peak_ours" 'BEGIN { printf "PEAK_KB list_groups_%d %d target 512000 %.2f\n", n, k, k / 512000 }'
echo "CPU list_groups_$list_groups $medcpu"
if [ -n "$base_bin" ]; then
  bmed=$(median "${times_base[@]}")
  awk -v n="$list_groups" -v a="$med" -v b="$bmed" 'BEGIN { printf "RATIO list_groups_%d_vs_base %s base %s %.3f\n", n, a, b, a / b }'
  awk -v n="$list_groups" -v a="$peak_ours" -v b="$peak_base" 'BEGIN { printf "PEAK_KB list_groups_%d_vs_base %d base %d %.2f\n", n, a, b, a / b }'
  echo "CPU list_groups_${list_groups}_base $(median "${cpu_base[@]}")"
  if cmp -s groups.jsonl base.jsonl; then
    echo "CHECK list_groups_$list_groups same"
  else
    echo "CHECK list_groups_$list_groups MISMATCH"
    exit 1
  fi
fi
