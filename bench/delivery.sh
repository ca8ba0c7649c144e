#!/usr/bin/env bash
# Whole-run timing and achieved levels of timbral's delivery settings
# (loudness target, true-peak ceiling, 16-bit output with dither) against
# the peers that do the same job on the same file, side by side in one run.
#
# The bench file: 60 s of stereo 48000 Hz 32-bit float pink noise whose
# level swells and fades slowly (a 4 s cycle, about 2 dB); the one child
# is other noise of the same kind, darker. At 48000 Hz the tool does
# not resample, so the plain run and the delivery runs differ only by the
# delivery steps. The jobs, each the median of RUNS runs (default 5), run
# in turns:
#   plain              timbral with no delivery setting (the time target)
#   delivery_loudness  timbral -lu $LU -tp $TP
#   ffmpeg_loudnorm    ffmpeg's loudnorm on the bench file, two passes
#                      (measure, then linear gain with the measured values),
#                      timed together, written as float WAV at 48000 Hz
#   sox_gain_n         sox gain -n $TP: peak normalisation to $TP dBFS of
#                      sample peak; sox has no loudness, so this is a
#                      different target, shown for the time and the result
#   delivery_ceiling   timbral -lu $LU_HOT -tp $TP: a target the ceiling
#                      cannot let through, so the ceiling sets the gain
#   delivery_16bit     timbral -b 16 (TPDF dither, the default)
#   sox_16bit          sox -b 16 of the bench file (sox dithers by default)
# The peers work on the bench file itself; timbral also convolves it, so
# the ratios against the peers are whole-process figures, not like for like.
#
# Achieved loudness and true peak are measured by ffmpeg's ebur128 filter
# (an independent meter; the values come from its per-frame metadata,
# which carries more digits than its summary, and are checked against the
# summary) and, for timbral, also taken from the line it prints
#   "  loudness: L LUFS, true peak: TP dBTP, gain: G dB"
# (libebur128's meter). Prints
#   RATIO <job> <ours_s> <peer> <peer_s> <ours/peer>
#   PEAK_KB / FAULTS <job> <ours> <peer> <peer's> <ours/peer>
#   LOUDNESS <job> <I> <TP on ffmpeg's meter> <TP on the tool's> <peer> <I> <TP> ...
#   NOISE delivery_16bit <ours dBFS> sox_16bit <dBFS>   (RMS of output minus
#                      its float original: dither plus rounding)
#   CHECK <job> OK|MISMATCH (...)
# Targets: loudness within 0.1 LU of the target on both meters, true peak
# at or below the ceiling on the tool's meter and within 0.2 dB above it on
# ffmpeg's; with the ceiling setting the gain, loudness = target - the
# missed LU the tool reports; 16-bit output is 16-bit integer, reproducible,
# and its noise is that of TPDF dither of +-1 LSB (-96.3 dBFS) within 1 dB.
# Exits non-zero only when a program fails or a CHECK is a MISMATCH; missing
# the time target (1.5x the plain run) is reported, not failed.
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
bin="${TIMBRAL_BIN:-$bdir/timbral}"
runs="${RUNS:-5}"
[ -x "$bin" ] || { echo "delivery.sh: $bin not built"; exit 1; }
. "$root/bench/measure.sh"
require sox soxi ffmpeg awk cmp /usr/bin/time
work="$(mktemp -d)"
# KEEP=1 keeps the scratch directory for a look at the files.
trap 'if [ -n "${KEEP:-}" ]; then echo "delivery.sh: kept $work"; else rm -rf "$work"; fi' EXIT
cd "$work" || exit 1
mkdir -p in
failed=0

LU=-16      # the streaming target
TP=-1       # the usual true-peak ceiling
LU_HOT=-9   # louder than this material can go under the ceiling
LRA=11      # loudnorm's range target: above the material's, so it stays linear

# synth_file <name> <skip> <left effects> <right effects>: 60 s of pink
# noise, each channel synthesized on its own. -R fixes the generator's seed
# so that every run of the bench measures the same material (the margin of
# its true peak below the ceiling at the target, about 1 dB, is then the
# same each time); each channel skips a different number of seconds of the
# one noise sequence (<skip> and <skip> + 1), so that the channels and the
# files differ.
synth_file() {
  local s=$2
  sox -R -n -r 48000 -c 1 -b 32 -e floating-point "$work/l.wav" synth $((60 + s)) pinknoise trim $s $3 &&
    sox -R -n -r 48000 -c 1 -b 32 -e floating-point "$work/r.wav" synth $((61 + s)) pinknoise trim $((s + 1)) $4 &&
    sox -M "$work/l.wav" "$work/r.wav" "in/$1.wav"
}
synth_file master 0 "vol 0.125 tremolo 0.25 20" "vol 0.125 tremolo 0.25 20" &&
  synth_file child 2 "vol 0.125 lowpass 5000" "vol 0.1 lowpass 7000" ||
  { echo "delivery.sh: could not synthesize the inputs"; exit 1; }
rm -f l.wav r.wav
out_name="master/child - processed.wav"

# meter <file>: "I TP" of the file on ffmpeg's ebur128 meter, in LUFS and
# dBTP to two decimals ("null" and "-inf" for silence). The peak is exact
# to about 0.005 dB near full scale, 0.03 dB at -15 dBTP.
meter() {
  local log="$work/meter.log" meta="$work/meter.txt" summary
  rm -f "$meta"
  ffmpeg -nostdin -hide_banner -nostats -i "$1" \
    -af "ebur128=peak=true:metadata=1,ametadata=print:file=$meta" -f null - 2>"$log" ||
    { echo "delivery.sh: ffmpeg's meter failed on $1:" >&2; tail -n 3 "$log" >&2; return 1; }
  summary=$(awk '$1 == "I:" {i = $2} $1 == "Peak:" {p = $2} END {print i, p}' "$log")
  awk -F= -v s="$summary" '
    /^lavfi\.r128\.I=/ {i = $2}
    /^lavfi\.r128\.true_peaks_ch[0-9]+=/ {if ($2 + 0 > p) p = $2 + 0}
    END {
      tp = (p > 0 ? 20 * log(p) / log(10) : "-inf")
      li = (i == "" || i == "-inf" || i == "-nan" || i == "nan" ? "null" : sprintf("%.2f", i))
      split(s, ss, " ")
      # The summary rounds to 0.1: the two must agree to that.
      if (li != "null" && (ss[1] == "" || (li - ss[1]) ^ 2 > 0.06 ^ 2)) {
        print "delivery.sh: ffmpeg meter: metadata I " li " against summary I " ss[1] > "/dev/stderr"; exit 1 }
      # The metadata gives the peak as a linear value to 0.001, which is
      # coarser than 0.1 dB at low levels.
      if (tp != "-inf" && (ss[2] == "" || (tp - ss[2]) ^ 2 > (0.06 + 4.4 / p * 0.001) ^ 2)) {
        print "delivery.sh: ffmpeg meter: metadata peak " tp " against summary peak " ss[2] > "/dev/stderr"; exit 1 }
      printf "%s %s\n", li, (tp == "-inf" ? tp : sprintf("%.2f", tp)) }' "$meta"
}

# tool_run <dir> [options]: one untimed run of timbral (a warm-up that also
# keeps what it prints in <dir>.out and <dir>.err for the checks).
tool_run() {
  local d=$1; shift
  rm -rf "$d"
  "$bin" -mf in/master.wav -cf in/child.wav -d "$d" "$@" >"$d.out" 2>"$d.err" ||
    { echo "delivery.sh: timbral $* failed:"; tail -n 3 "$d.err"; exit 1; }
  [ -f "$d/$out_name" ] || { echo "delivery.sh: timbral $* wrote no '$d/$out_name'"; exit 1; }
}

# tool_line <dir>: "L TP G" from the loudness line timbral printed.
tool_line() {
  awk '$1 == "loudness:" { gsub(",", ""); print $2, $6, $9; found = 1 } END { exit !found }' "$1.out" ||
    { echo "delivery.sh: no loudness line from timbral in $1.out" >&2; return 1; }
}

ratio() {  # job ours peer peer_s [target]
  awk -v w="$1" -v o="$2" -v p="$3" -v s="$4" -v t="${5:-}" 'BEGIN {
    r = (s > 0 ? o / s : 0)
    printf "RATIO %s %s %s %s %.3f\n", w, o, p, s, r
    if (t != "") printf "target: %s at most %s of %s: %s\n", w, t, p, (r <= t ? "met" : "MISSED") }'
}

check() {  # job ok? text
  if [ "$2" = 1 ]; then echo "CHECK $1 OK ($3)"; else echo "CHECK $1 MISMATCH ($3)"; failed=1; fi
}

huge_pages

# The peers' scripts: loudnorm measures in a first pass and prints JSON;
# the second pass takes the measured values and applies one linear gain
# (it falls back to its dynamic mode when that gain would pass the
# ceiling; the second pass's JSON says which it used).
cat >loudnorm.sh <<EOF
set -e
m=\$(ffmpeg -nostdin -hide_banner -nostats -threads 1 -filter_threads 1 -i in/master.wav \\
  -af loudnorm=I=$LU:TP=$TP:LRA=$LRA:print_format=json -f null - 2>&1 |
  awk -F'"' '\$2 == "input_i" {i = \$4} \$2 == "input_tp" {t = \$4} \$2 == "input_lra" {l = \$4}
    \$2 == "input_thresh" {h = \$4} \$2 == "target_offset" {o = \$4}
    END { if (i == "") exit 1
      printf "measured_I=%s:measured_TP=%s:measured_LRA=%s:measured_thresh=%s:offset=%s", i, t, l, h, o }')
ffmpeg -nostdin -hide_banner -nostats -threads 1 -filter_threads 1 -y -i in/master.wav \\
  -af loudnorm=I=$LU:TP=$TP:LRA=$LRA:\$m:linear=true:print_format=json \\
  -ar 48000 -c:a pcm_f32le peer/loudnorm.wav 2>peer/loudnorm.log
EOF

# 1. Timing, every job side by side.
tool_run plain
tool_run lu -lu "$LU" -tp "$TP"
tool_run hot -lu "$LU_HOT" -tp "$TP"
tool_run b16 -b 16
cp "b16/$out_name" b16_first.wav
mkdir -p peer
tool=("$bin" -mf in/master.wav -cf in/child.wav)
# The command of each job, read below through the name cmd_<job>.
# shellcheck disable=SC2034
{
  cmd_plain=("${tool[@]}" -d plain)
  cmd_delivery_loudness=("${tool[@]}" -d lu -lu "$LU" -tp "$TP")
  cmd_ffmpeg_loudnorm=(bash loudnorm.sh)
  cmd_sox_gain_n=(sox in/master.wav -b 32 -e floating-point peer/gain_n.wav gain -n "$TP")
  cmd_delivery_ceiling=("${tool[@]}" -d hot -lu "$LU_HOT" -tp "$TP")
  cmd_delivery_16bit=("${tool[@]}" -d b16 -b 16)
  cmd_sox_16bit=(sox in/master.wav -b 16 peer/sox16.wav)
}
declare -A outputs=([plain]="$work/plain" [delivery_loudness]="$work/lu" [ffmpeg_loudnorm]="$work/peer/loudnorm.*"
  [sox_gain_n]="$work/peer/gain_n.wav" [delivery_ceiling]="$work/hot" [delivery_16bit]="$work/b16"
  [sox_16bit]="$work/peer/sox16.wav")
jobs="plain delivery_loudness ffmpeg_loudnorm sox_gain_n delivery_ceiling delivery_16bit sox_16bit"
# The jobs take turns, one run each per round, so that a change in the
# machine's load during the bench falls on all of them alike; then the
# median time and page faults and the largest peak memory of each.
declare -A times faults peak
for ((round = 0; round < runs; round++)); do
  for j in $jobs; do
    declare -n cmd="cmd_$j"
    read -r t m f < <(runs=1 measure "$j" "${outputs[$j]}" "${cmd[@]}") || exit 1
    unset -n cmd
    times[$j]+="$t "; faults[$j]+="$f "
    [ "$m" -gt "${peak[$j]:-0}" ] && peak[$j]=$m
  done
done
for j in $jobs; do times[$j]=$(median "${times[$j]}"); faults[$j]=$(median "${faults[$j]}"); done
t_plain=${times[plain]} m_plain=${peak[plain]} f_plain=${faults[plain]}
t_lu=${times[delivery_loudness]} m_lu=${peak[delivery_loudness]} f_lu=${faults[delivery_loudness]}
t_ff=${times[ffmpeg_loudnorm]} m_ff=${peak[ffmpeg_loudnorm]} f_ff=${faults[ffmpeg_loudnorm]}
t_sg=${times[sox_gain_n]} m_sg=${peak[sox_gain_n]} f_sg=${faults[sox_gain_n]}
t_hot=${times[delivery_ceiling]}
t_16=${times[delivery_16bit]} m_16=${peak[delivery_16bit]} f_16=${faults[delivery_16bit]}
t_s16=${times[sox_16bit]} m_s16=${peak[sox_16bit]} f_s16=${faults[sox_16bit]}

echo "60 s stereo 48000 Hz float, master + 1 child, medians of $runs runs:"
echo "  timbral plain ${t_plain}s; -lu $LU -tp $TP ${t_lu}s; -lu $LU_HOT -tp $TP ${t_hot}s; -b 16 ${t_16}s"
echo "  ffmpeg loudnorm (2 passes) ${t_ff}s; sox gain -n $TP ${t_sg}s; sox -b 16 ${t_s16}s"
ratio delivery_loudness "$t_lu" plain "$t_plain" 1.5
ratio delivery_loudness "$t_lu" ffmpeg_loudnorm "$t_ff"
ratio delivery_loudness "$t_lu" sox_gain_n "$t_sg"
ratio delivery_ceiling "$t_hot" plain "$t_plain" 1.5
ratio delivery_16bit "$t_16" plain "$t_plain" 1.5
ratio delivery_16bit "$t_16" sox_16bit "$t_s16"
process_lines delivery_loudness "$m_lu" "$f_lu" plain "$m_plain" "$f_plain"
process_lines delivery_loudness "$m_lu" "$f_lu" ffmpeg_loudnorm "$m_ff" "$f_ff"
process_lines delivery_loudness "$m_lu" "$f_lu" sox_gain_n "$m_sg" "$f_sg"
process_lines delivery_16bit "$m_16" "$f_16" sox_16bit "$m_s16" "$f_s16"

# 2. Achieved loudness and true peak.
read -r i_lu tp_lu < <(meter "lu/$out_name") || exit 1
read -r tl_lu ttp_lu tg_lu < <(tool_line lu) || exit 1
read -r i_ff tp_ff < <(meter peer/loudnorm.wav) || exit 1
read -r i_sg tp_sg < <(meter peer/gain_n.wav) || exit 1
read -r i_in tp_in < <(meter in/master.wav) || exit 1
mode=$(awk -F'"' '$2 == "normalization_type" {print $4}' peer/loudnorm.log)
echo "bench file: I $i_in LUFS, true peak $tp_in dBTP (ffmpeg's meter); timbral's gain $tg_lu dB; loudnorm's mode: ${mode:-unknown}"
echo "LOUDNESS delivery_loudness $i_lu $tp_lu $tl_lu/$ttp_lu ffmpeg_loudnorm $i_ff $tp_ff sox_gain_n $i_sg $tp_sg (target $LU LUFS, ceiling $TP dBTP; sox: $TP dBFS sample peak)"
ok=$(awk -v i="$i_lu" -v ti="$tl_lu" -v tp="$tp_lu" -v ttp="$ttp_lu" -v L=$LU -v C=$TP 'BEGIN {
  print ((i - L) ^ 2 <= 0.1 ^ 2 && (ti - L) ^ 2 <= 0.1 ^ 2 && ttp <= C && tp <= C + 0.2) ? 1 : 0 }')
check delivery_loudness "$ok" "I $i_lu LUFS on ffmpeg's meter, $tl_lu on the tool's, within 0.1 LU of $LU; TP $ttp_lu dBTP on the tool's meter <= $TP, $tp_lu on ffmpeg's <= $TP + 0.2"
ok=$(awk -v i="$i_ff" -v tp="$tp_ff" -v L=$LU -v C=$TP 'BEGIN { print ((i - L) ^ 2 <= 0.1 ^ 2 && tp <= C + 0.2) ? 1 : 0 }')
echo "peer ffmpeg_loudnorm: $([ "$ok" = 1 ] && echo meets || echo misses) the same targets (I $i_ff, TP $tp_ff; reported, not checked)"

# The ceiling setting the gain: the tool says by how much it missed the
# target, and the output must be that much below it.
read -r i_hot tp_hot < <(meter "hot/$out_name") || exit 1
read -r tl_hot ttp_hot tg_hot < <(tool_line hot) || exit 1
miss=$(awk '/loudness target missed by/ { for (k = 1; k < NF; k++) if ($k == "by") print $(k + 1) }' hot.err hot.out | head -n 1)
echo "LOUDNESS delivery_ceiling $i_hot $tp_hot $tl_hot/$ttp_hot missed ${miss:-none} (target $LU_HOT LUFS, ceiling $TP dBTP, gain $tg_hot dB)"
ok=$(awk -v i="$i_hot" -v ti="$tl_hot" -v tp="$tp_hot" -v ttp="$ttp_hot" -v m="${miss:-x}" -v L=$LU_HOT -v C=$TP 'BEGIN {
  if (m == "x") { print 0; exit }
  e = L - m
  print ((i - e) ^ 2 <= 0.1 ^ 2 && (ti - e) ^ 2 <= 0.1 ^ 2 && ttp <= C && ttp >= C - 0.1 && tp <= C + 0.2) ? 1 : 0 }')
check delivery_ceiling "$ok" "I $i_hot LUFS on ffmpeg's meter, $tl_hot on the tool's, within 0.1 LU of $LU_HOT - ${miss:-?}; TP $ttp_hot dBTP on the tool's meter within 0.1 dB below $TP, $tp_hot on ffmpeg's <= $TP + 0.2"

# 3. 16-bit output: its type, reproducibility (the dither is seeded from the
# output's path) and its noise against the float original.
noise() {  # <quantized> <float original>: RMS of the difference in dBFS
  sox -V1 -m -v 1 "$1" -v -1 "$2" -n stats 2>&1 | awk '$1 == "RMS" && $2 == "lev" {print $4}'
}
n16=$(noise "b16/$out_name" "plain/$out_name")
ns16=$(noise peer/sox16.wav in/master.wav)
echo "NOISE delivery_16bit $n16 sox_16bit $ns16 (dBFS; TPDF dither of +-1 LSB plus rounding: -96.3)"
bits=$(soxi -V1 -b "b16/$out_name"); enc=$(soxi -V1 -e "b16/$out_name")
same=0; cmp -s "b16/$out_name" b16_first.wav && same=1
ok=$(awk -v n="$n16" -v b="$bits" -v s=$same 'BEGIN { print (b == 16 && s == 1 && (n + 96.33) ^ 2 <= 1) ? 1 : 0 }')
check delivery_16bit "$ok" "$bits-bit $enc, $([ $same = 1 ] && echo identical || echo DIFFERENT) on a second run, noise $n16 dBFS within 1 dB of -96.3"
exit $failed
