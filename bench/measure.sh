# Shared by the whole-process bench scripts (sourced, not run). Needs
# $work (a scratch directory) and $runs set by the caller.

# require <tool...>: stops the calling script when a tool is missing.
require() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "${0##*/}: $tool missing"; exit 1; }
  done
}

# measure <label> <outputs> <command...>: median wall seconds and peak kB
# over $runs runs of a command that writes the files matched by <outputs>.
# Every run writes new files: replacing the last run's output would add the
# cost of discarding it, which differs between tools.
measure() {
  local label=$1 outputs=$2; shift 2
  local times=() mem=0 t0 t1 m i
  for ((i = 0; i < runs; i++)); do
    rm -rf $outputs
    # Wall time to the millisecond from the shell (time's own %e has only
    # centiseconds); peak memory from time.
    t0=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
      echo "${0##*/}: $label failed:" >&2; tail -n 3 "$work/err" >&2; return 1; }
    t1=$(date +%s%N)
    read -r m <"$work/time"
    times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')")
    [ "$m" -gt "$mem" ] && mem=$m
  done
  local med
  med=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  echo "$med $mem"
}
