# Shared by the whole-process bench scripts (sourced, not run). Needs
# $work (a scratch directory) and $runs set by the caller.

# median <number...>: the median of the numbers (words of one argument
# count as numbers too); the upper one of an even count.
median() { printf '%s\n' $* | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# make_groups <n> <master.wav> <child.wav>: in ./in, <n> copies of the two
# files (mNNNN.wav, cNNNN.wav) and cfg.json, a configuration of <n> groups
# "group-NNNN" of one master and one child each (src_path in, dst_path out).
make_groups() {
  python3 - "$@" <<'PY'
import json, shutil, sys
n, master, child = int(sys.argv[1]), sys.argv[2], sys.argv[3]
groups = {}
for i in range(n):
    shutil.copyfile(master, "in/m%04d.wav" % i)
    shutil.copyfile(child, "in/c%04d.wav" % i)
    groups["group-%04d" % i] = {"master": "m%04d.wav" % i, "files": ["c%04d.wav" % i]}
json.dump({"src_path": "in", "dst_path": "out", "groups": groups}, open("cfg.json", "w"))
PY
}

# require <tool...>: stops the calling script when a tool is missing.
require() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "${0##*/}: $tool missing"; exit 1; }
  done
}

# measure <label> <outputs> <command...>: median wall seconds, peak kB and
# median minor page faults over $runs runs of a command that writes the
# files matched by <outputs>. Callers read all three: read -r t kb faults.
# Every run writes new files: replacing the last run's output would add the
# cost of discarding it, which differs between tools.
measure() {
  local label=$1 outputs=$2; shift 2
  local times=() faults=() mem=0 t0 t1 m f i
  for ((i = 0; i < runs; i++)); do
    rm -rf $outputs
    # Wall time to the millisecond from the shell (time's own %e has only
    # centiseconds); peak memory and minor page faults from time.
    t0=$(date +%s%N)
    /usr/bin/time -f "%M %R" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
      echo "${0##*/}: $label failed:" >&2; tail -n 3 "$work/err" >&2; return 1; }
    t1=$(date +%s%N)
    read -r m f <"$work/time"
    times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')")
    faults+=("$f")
    [ "$m" -gt "$mem" ] && mem=$m
  done
  echo "$(median "${times[@]}") $mem $(median "${faults[@]}")"
}

# process_lines <what> <ours_kB> <ours_faults> <peer> <peer_kB> <peer_faults>:
# the whole-process memory figures of one job next to the peer's:
#   PEAK_KB <what> <ours> <peer> <peer_kB> <ours/peer>
#   FAULTS <what> <ours> <peer> <peer_faults> <ours/peer>
process_lines() {
  awk -v w="$1" -v om="$2" -v of="$3" -v p="$4" -v pm="$5" -v pf="$6" 'BEGIN {
    printf "PEAK_KB %s %d %s %d %.2f\n", w, om, p, pm, (pm > 0 ? om / pm : 0)
    printf "FAULTS %s %d %s %d %.2f\n", w, of, p, pf, (pf > 0 ? of / pf : 0) }'
}

# huge_pages: the system's transparent huge page setting, for the record.
huge_pages() {
  local f=/sys/kernel/mm/transparent_hugepage/enabled
  echo "transparent huge pages: $([ -r $f ] && cat $f || echo unavailable)"
}
