#!/usr/bin/env bash
# Whole-run timing of timbral on one group against the sox chain doing the
# same audio work.
#
# The group: a 60 s stereo 44100 Hz 32-bit float master and three children
# of the same length with clearly different timbres, run with the default
# settings of a configuration file (48000 Hz, FFT rank 12, all five kinds of
# output). The peer chain: `sox ... rate 48000` of the four files, then
# `sox ... fir` of the resampled master with each child's trimmed IR as
# timbral wrote it. timbral also profiles, synthesizes and writes the
# responses and IRs on top of that work.
#
# Each time is the median of RUNS runs; peak memory is the largest maximum
# resident size that /usr/bin/time reports over the runs, page faults the
# median of its minor faults. Prints
#   RATIO <what> <ours_s> <peer> <peer_s> <ours/peer>
#   PEAK_KB / FAULTS <what> <ours> <peer> <peer's> <ours/peer>
#   RATIO tool_group_j2 <two-job s> tool_group_j1 <one-job s> <ratio>
#                       (a group of four children with -j 2 against -j 1;
#                        SKIP when the tool refuses the option)
#   MEMORY <what> ...   (timbral's peak against 3x the decoded 32-bit float
#                        size at 48000 Hz of master + one child + one output)
#   CHECK <what> ...    (the outputs against sox's; MISMATCH marks a fault)
# and exits non-zero only when a program fails or an output is wrong;
# missing the speed or memory target is reported, not failed.
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
bin="${TIMBRAL_BIN:-$bdir/timbral}"
runs="${RUNS:-5}"
[ -x "$bin" ] || { echo "tool.sh: $bin not built"; exit 1; }
. "$root/bench/measure.sh"
require sox soxi python3 /usr/bin/time
work="$(mktemp -d)"
# KEEP=1 keeps the scratch directory for a look at the files.
trap 'if [ -n "${KEEP:-}" ]; then echo "tool.sh: kept $work"; else rm -rf "$work"; fi' EXIT
cd "$work" || exit 1
mkdir -p in peer coefs cmp
failed=0

# synth_file <name> <left synth> <right synth>: each channel is synthesized on its
# own so the two carry independent noise; the children's channels are
# filtered differently so that their IRs differ per channel and a channel
# mix-up shows in the checks. The levels leave headroom: sox works on
# 32-bit integers inside and would clip the brightest child's output,
# which peaks some 20 dB above its RMS, at full scale.
synth_file() {
  sox -n -r 44100 -c 1 -b 32 -e floating-point "$work/l.wav" synth 60 $2 &&
    sox -n -r 44100 -c 1 -b 32 -e floating-point "$work/r.wav" synth 60 $3 &&
    sox -M "$work/l.wav" "$work/r.wav" "in/$1.wav"
}
children="brown low high"
synth_file master "pinknoise vol 0.125" "pinknoise vol 0.125" &&
  synth_file brown "brownnoise vol 0.125" "brownnoise vol 0.1 lowpass 8000" &&
  synth_file low "whitenoise vol 0.125 lowpass 1500" "whitenoise vol 0.125 lowpass 2500" &&
  synth_file high "whitenoise vol 0.1 highpass 4000" "whitenoise vol 0.1 highpass 2000" ||
  { echo "tool.sh: could not synthesize the inputs"; exit 1; }
rm -f l.wav r.wav

# group <file> <src> <dst> [produce]: a configuration of the one group.
group() {
  {
    echo "{ src_path: '$2', dst_path: '$3',"
    [ $# -ge 4 ] && echo "  produce: $4,"
    echo "  groups: { bench: { master: 'master.wav', files: ['brown.wav', 'low.wav', 'high.wav'] } } }"
  } >"$1"
}
group bench.json5 in out

# coefs <ir.wav> <prefix>: one coefficient file per channel of a float WAV,
# <prefix>-1.txt, <prefix>-2.txt ..., in the text form sox's fir reads.
coefs() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
path, prefix = sys.argv[1], sys.argv[2]
b = open(path, "rb").read()
if b[:4] != b"RIFF" or b[8:12] != b"WAVE":
    sys.exit(f"{path}: not a WAV file")
pos, fmt, data = 12, None, None
while pos + 8 <= len(b):
    cid, size = b[pos:pos + 4], struct.unpack("<I", b[pos + 4:pos + 8])[0]
    body = b[pos + 8:pos + 8 + size]
    if cid == b"fmt ":
        fmt = struct.unpack("<HHIIHH", body[:16])
        if fmt[0] == 0xFFFE:  # extensible: the sub-format GUID starts with the tag
            fmt = (struct.unpack("<H", body[24:26])[0],) + fmt[1:]
    elif cid == b"data":
        data = body
    pos += 8 + size + (size & 1)
if fmt is None or data is None or fmt[0] != 3 or fmt[5] != 32:
    sys.exit(f"{path}: not a 32-bit float WAV")
ch = fmt[1]
v = struct.unpack(f"<{len(data) // 4}f", data[:len(data) // 4 * 4])
for c in range(ch):
    with open(f"{prefix}-{c + 1}.txt", "w") as f:
        f.write("\n".join(f"{x:.9g}" for x in v[c::ch]) + "\n")
PY
}

# The peer chain, run as one script so that its time and memory are those
# of the whole chain. sox's fir applies one coefficient set to every
# channel, so the timed chain filters both channels with the first
# channel's taps: the same amount of work as the per-channel filter, which
# the checks below use.
cat >peer.sh <<EOF
set -e
for f in master $children; do sox in/\$f.wav -b 32 -e floating-point peer/\$f.wav rate 48000; done
for c in $children; do sox peer/master.wav -b 32 -e floating-point peer/\$c-wet.wav fir coefs/\$c-1.txt; done
EOF

read -r ours om of < <(measure timbral "$work/out" "$bin" -c bench.json5) || exit 1
# All five kinds: the master's response and four files per child.
written=$(find out -type f -name '*.wav' | wc -l)
[ "$written" -eq 13 ] || { echo "tool.sh: timbral wrote $written files, not 13"; exit 1; }
for c in $children; do
  coefs "out/master/$c - IR.wav" "coefs/$c" || { echo "tool.sh: no trimmed IR for $c"; exit 1; }
done
read -r peer pm pf < <(measure sox_chain "$work/peer/*.wav" bash peer.sh) || exit 1
echo "timbral, 1 group of master + 3 children, 60 s stereo 44100 Hz -> 48000 Hz, all outputs: ${ours}s, peak ${om} kB, ${of} faults"
echo "sox chain, rate 48000 x4 + fir x3: ${peer}s, peak ${pm} kB, ${pf} faults"
awk -v o="$ours" -v s="$peer" 'BEGIN {
  r = (s > 0 ? o / s : 0)
  printf "RATIO tool_group %s sox_chain %s %.3f\n", o, s, r
  printf "target: timbral at most 0.35 of the sox chain: %s\n", (r <= 0.35 ? "met" : "MISSED") }'
process_lines tool_group "$om" "$of" sox_chain "$pm" "$pf"

# Parallel children: the same group with a fourth child, processed audio
# only, with two jobs against one. The tool may not know -j yet; then the
# line says SKIP instead of failing the bench.
cp in/brown.wav in/fourth.wav
cat >jobs.json5 <<EOF2
{ src_path: 'in', dst_path: 'jobs', produce: ['audio'],
  groups: { bench: { master: 'master.wav', files: ['brown.wav', 'low.wav', 'high.wav', 'fourth.wav'] } } }
EOF2
if "$bin" -c jobs.json5 -j 1 >/dev/null 2>"$work/err"; then
  # The two take turns, one run each per round, so that a change in the
  # machine's load falls on both alike; then the median of each.
  t1=() t2=()
  for ((round = 0; round < runs; round++)); do
    read -r t _ _ < <(runs=1 measure tool_group_j1 "$work/jobs" "$bin" -c jobs.json5 -j 1) || break
    t1+=("$t")
    read -r t _ _ < <(runs=1 measure tool_group_j2 "$work/jobs" "$bin" -c jobs.json5 -j 2) || break
    t2+=("$t")
  done
  j1=$(printf '%s\n' "${t1[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  j2=$(printf '%s\n' "${t2[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  [ "${#t2[@]}" -eq "$runs" ] &&
    awk -v a="$j2" -v b="$j1" 'BEGIN {
      r = (b > 0 ? a / b : 0)
      printf "RATIO tool_group_j2 %s tool_group_j1 %s %.3f\n", a, b, r
      printf "target: two jobs at most 0.6 of one job: %s\n", (r <= 0.6 ? "met" : "MISSED") }'
else
  echo "SKIP tool_group_j2: the tool refused -j ($(head -n 1 "$work/err"))"
fi
rm -rf jobs in/fourth.wav

# Memory: decoded sizes at 48000 Hz. The output is the full convolution,
# master length + IR length frames, so the master's own length at 48000 Hz
# is the output's length less the IR's.
frames() { soxi -V1 -s "$1"; }
chans() { soxi -V1 -c "$1"; }
out_wav="out/master/brown - processed.wav"
taps=$(frames "out/master/brown - IR.wav")
of=$(frames "$out_wav"); oc=$(chans "$out_wav")
mf=$((of - taps)); cf=$(frames peer/brown.wav); cc=$(chans peer/brown.wav)
awk -v peak="$om" -v m=$((mf * oc * 4)) -v c=$((cf * cc * 4)) -v o=$((of * oc * 4)) 'BEGIN {
  limit = 3 * (m + c + o) / 1024
  printf "MEMORY tool_group peak %d kB limit %d kB (3 x decoded float at 48000 Hz of master %d + child %d + output %d bytes) %.3f of the limit: %s\n",
    peak, limit, m, c, o, peak / limit, (peak < limit ? "below" : "OVER") }'

# relerr <ours> <reference> [sox effects]: per channel, RMS of the
# difference over RMS of the reference, both passed through the effects
# first, from sox's stats in dB; prints the worse channel.
relerr() {
  local diff ref a=$1 b=$2
  shift 2
  diff=$(sox -V1 -m -v 1 "$a" -v -1 "$b" -n "$@" stats 2>&1 | awk '/^RMS lev dB/ {print $5, $6}')
  ref=$(sox -V1 "$b" -n "$@" stats 2>&1 | awk '/^RMS lev dB/ {print $5, $6}')
  awk -v d="$diff" -v r="$ref" 'BEGIN {
    split(d, dd, " "); split(r, rr, " "); worst = 0
    for (i = 1; i <= 2; i++) {
      if (rr[i] == "-inf" || rr[i] == "") { worst = 1; continue }
      e = (dd[i] == "-inf" ? 0 : 10 ^ ((dd[i] - rr[i]) / 20))
      if (e > worst) worst = e
    }
    printf "%.2e\n", worst }'
}

# check <what> <ours> <reference> <limit> [sox effects]
check() {
  local e what=$1 a=$2 b=$3 limit=$4
  shift 4
  e=$(relerr "$a" "$b" "$@")
  if awk -v e="$e" -v l="$limit" 'BEGIN { exit !(e < l) }'; then
    echo "CHECK $what relative RMS difference $e (limit $limit)"
  else
    echo "CHECK $what relative RMS difference $e (limit $limit)  MISMATCH"
    failed=1
  fi
}

# wet <master48> <coef prefix> <out>: the master filtered channel by channel
# with that channel's taps, the channels merged again.
wet() {
  sox -V1 "$1" -b 32 -e floating-point "$work/w1.wav" remix 1 fir "$2-1.txt" &&
    sox -V1 "$1" -b 32 -e floating-point "$work/w2.wav" remix 2 fir "$2-2.txt" &&
    sox -M "$work/w1.wav" "$work/w2.wav" "$3"
}

# sox's fir keeps the input's length and takes the output (taps - 1) / 2
# samples early; timbral writes the whole convolution from sample 0 (the
# dry part is silent at the default -1000 dB). So timbral's output from
# sample (taps - 1) / 2 on, cut to the master's length, is sox's wet signal.
# align <ours> <frames> <out>
align() { sox -V1 "$1" "$3" trim $(((taps - 1) / 2))s "$2"s; }

# 1. The timed run against the timed chain's resampled master. The two
# resamplers are different filters (timbral interpolates with a Lanczos
# kernel, sox rate uses its own steeper design), and they part above
# about 18 kHz, where the IRs of the brighter children lift the master by
# up to tens of dB. So the two are compared below 18 kHz only, and loosely:
# this flags a wrong convolution, a lost or swapped channel or a misaligned
# output, not rounding (the relative difference left there is a few 1e-3).
n48=$(frames peer/master.wav)
for c in $children; do
  wet peer/master.wav "coefs/$c" cmp/wet.wav && align "out/master/$c - processed.wav" "$n48" cmp/ours.wav ||
    { echo "tool.sh: comparison of $c failed"; exit 1; }
  check "tool_vs_sox_chain_$c" cmp/ours.wav cmp/wet.wav 1e-2 sinc -18000
done

# 2. The exact comparison: timbral run once more on sox's 48000 Hz files,
# where it does not resample, so its output must equal the master filtered
# with the IR it wrote up to float rounding.
group exact.json5 peer exact "['ir', 'audio']"
"$bin" -c exact.json5 >/dev/null 2>"$work/err" || { echo "tool.sh: timbral at 48000 Hz failed:"; tail -n 3 "$work/err"; exit 1; }
for c in $children; do
  coefs "exact/master/$c - IR.wav" "cmp/$c" && wet peer/master.wav "cmp/$c" cmp/wet.wav &&
    align "exact/master/$c - processed.wav" "$n48" cmp/ours.wav || { echo "tool.sh: comparison of $c failed"; exit 1; }
  check "tool_vs_sox_fir_48000_$c" cmp/ours.wav cmp/wet.wav 1e-4
done
exit $failed
