#!/usr/bin/env bash
# Peak resident memory and wall time of one child against the length of the
# file: a group of one master and one child, stereo 48000 Hz 16-bit, of 1,
# 10, 60 and 180 minutes (pink noise for the master, low-passed brown noise
# for the child, so the correction is not flat). Per length, side by side:
#   timbral with the default settings of a configuration file,
#   timbral with -lu -16 -tp -1 -b 24 (a loudness target and a true-peak
#     ceiling, which must know the whole output before writing it),
#   sox with a gain effect on the child: the floor of a streaming tool.
# Usage: bench/stream.sh [minutes...]     (default: 1 10 60 180)
#   e.g. bench/stream.sh 1 10 for a quick try. RUNS (default 1) runs per
#   measurement: the time is their median, the memory their largest peak.
# Works in a scratch directory under $TMPDIR (else the build directory),
# removed at the end; a length whose files would not fit in the free space
# there is skipped with a SKIP line. Prints a table and
#   RATIO stream_mem_<n>min <MB> sox <MB> <ratio>         (default settings)
#   RATIO stream_time_<n>min <s> sox <s> <ratio>
#   RATIO stream_mem_loudness_<n>min ... / stream_time_loudness_<n>min ...
#   TARGET stream_mem_<n>min[_loudness] <MB> <= 256 MB pass|fail   (60 and 180 min)
# and exits non-zero only when a program fails (a run of timbral that fails,
# for one beyond the machine's memory, is a FAIL line and the rest goes on);
# missing a target is reported, not failed.
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
bin="${TIMBRAL_BIN:-$bdir/timbral}"
runs="${RUNS:-1}"
limit_mb=256
lengths=("$@")
[ ${#lengths[@]} -gt 0 ] || lengths=(1 10 60 180)
for m in "${lengths[@]}"; do
  [[ "$m" =~ ^[1-9][0-9]*$ ]] || { echo "stream.sh: '$m' is not a whole number of minutes"; exit 2; }
done
[ -x "$bin" ] || { echo "stream.sh: $bin not built"; exit 1; }
. "$root/bench/measure.sh"
require sox df /usr/bin/time
base="${TMPDIR:-$root/build}"
mkdir -p "$base" || exit 1
work="$(mktemp -d "$base/stream.XXXXXX")" || exit 1
trap 'if [ -n "${KEEP:-}" ]; then echo "stream.sh: kept $work"; else rm -rf "$work"; fi' EXIT
cd "$work" || exit 1
mkdir -p in
{
  echo "{ src_path: 'in', dst_path: 'out',"
  echo "  groups: { stream: { master: 'master.wav', files: ['child.wav'] } } }"
} >stream.json5

# Bytes the files of one length take at once: the two 16-bit inputs, the
# largest output (32-bit float, the default) and as much again for a
# temporary copy of the unscaled output that a two-pass run may keep.
bytes_per_minute=$((60 * 48000 * 2 * 2))
need_bytes() { echo $(($1 * bytes_per_minute * 6)); }

# Each run may use at most the machine's memory (address space, through
# ulimit): a length the tool cannot stream yet then fails with its own
# "Not enough memory" instead of sending the machine into the out-of-memory
# killer, and the other lengths still run. STREAM_CAP_KB sets another cap.
cap_kb=${STREAM_CAP_KB:-$(awk '/^MemTotal:/ { print $2 }' /proc/meminfo 2>/dev/null)}
capped() { ( if [ -n "$cap_kb" ]; then ulimit -v "$cap_kb"; fi; measure "$@" ); }

mb() { if [ -z "$1" ]; then echo "-"; else awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; fi; }
rows=()
failed=0
for m in "${lengths[@]}"; do
  rm -rf in/* out peer.wav
  need=$(need_bytes "$m")
  free=$(($(df -Pk . | awk 'NR == 2 { print $4 }') * 1024))
  if [ "$free" -lt "$need" ]; then
    awk -v m="$m" -v n="$need" -v f="$free" -v d="$work" 'BEGIN {
      printf "SKIP stream_%dmin: needs %.1f GB free in %s, %.1f GB are\n", m, n / 1e9, d, f / 1e9 }'
    continue
  fi
  seconds=$((m * 60))
  # Each channel on its own, so that the two carry independent noise.
  sox -n -r 48000 -c 2 -b 16 in/master.wav synth "$seconds" pinknoise pinknoise vol 0.25 &&
    sox -n -r 48000 -c 2 -b 16 in/child.wav synth "$seconds" brownnoise brownnoise vol 0.25 lowpass 6000 ||
    { echo "stream.sh: could not synthesize $m minutes"; exit 1; }
  t1='' k1='' t2='' k2=''
  read -r t1 k1 _ < <(capped "timbral_${m}min" "$work/out" "$bin" -c stream.json5 -q true) ||
    { echo "FAIL stream_${m}min default: timbral failed (its lines above)"; failed=1; }
  read -r t2 k2 _ < <(capped "timbral_loudness_${m}min" "$work/out" "$bin" -c stream.json5 -q true \
    -lu -16 -tp -1 -b 24) || { echo "FAIL stream_${m}min loudness: timbral failed (its lines above)"; failed=1; }
  read -r t3 k3 _ < <(measure "sox_${m}min" "$work/peer.wav" sox in/child.wav peer.wav gain -3) || exit 1
  rows+=("$(printf '%7s %12s %9s %12s %9s %10s %8s' "$m" "$(mb "$k1")" "${t1:--}" "$(mb "$k2")" "${t2:--}" \
    "$(mb "$k3")" "$t3")")
  for v in "default:$k1:$t1" "loudness:$k2:$t2"; do
    IFS=: read -r name k t <<<"$v"
    tag=$([ "$name" = default ] && echo "" || echo "_$name")
    if [ -z "$k" ]; then
      if [ "$m" -eq 60 ] || [ "$m" -eq 180 ]; then echo "TARGET stream_mem_${m}min${tag} - MB <= $limit_mb MB fail"; fi
      continue
    fi
    awk -v w="stream_mem${tag}_${m}min" -v a="$k" -v b="$k3" 'BEGIN {
      printf "RATIO %s %.1f sox %.1f %.2f\n", w, a / 1024, b / 1024, (b > 0 ? a / b : 0) }'
    awk -v w="stream_time${tag}_${m}min" -v a="$t" -v b="$t3" 'BEGIN {
      printf "RATIO %s %s sox %s %.2f\n", w, a, b, (b > 0 ? a / b : 0) }'
    if [ "$m" -eq 60 ] || [ "$m" -eq 180 ]; then
      awk -v w="stream_mem_${m}min${tag}" -v a="$k" -v l="$limit_mb" 'BEGIN {
        printf "TARGET %s %.1f MB <= %d MB %s\n", w, a / 1024, l, (a / 1024 <= l ? "pass" : "fail") }'
    fi
  done
done
rm -rf in out peer.wav
echo "stereo 48000 Hz 16-bit; peak resident MB and wall seconds (${runs} run(s) each)"
printf '%7s %12s %9s %12s %9s %10s %8s\n' minutes "default MB" "s" "loudness MB" "s" "sox MB" "s"
for r in "${rows[@]}"; do echo "$r"; done
exit "$failed"
