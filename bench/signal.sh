#!/usr/bin/env bash
# Whole-process timings of bench/signal_job against sox and ffmpeg on 60
# seconds of stereo 32-bit float noise: convolution with IRs of 4096 and
# 65536 taps, and resampling 44100->48000, 48000->44100 and 96000->48000.
# Each figure is the median of RUNS runs; peak memory and minor page faults
# come from /usr/bin/time. Prints, per job and peer,
#   RATIO <what> <ours_s> <peer> <peer_s> <ours/peer>
#   PEAK_KB <what> <ours_kB> <peer> <peer_kB> <ours/peer>
#   FAULTS <what> <ours_faults> <peer> <peer_faults> <ours/peer>
# and a target line for each time ratio (missing one is reported, not
# failed).
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
job="$bdir/bench/signal_job"
runs="${RUNS:-5}"
[ -x "$job" ] || { echo "signal.sh: $job not built"; exit 1; }
. "$root/bench/measure.sh"
require sox ffmpeg python3 /usr/bin/time
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for rate in 44100 48000 96000; do
  sox -n -r "$rate" -c 2 -b 32 -e floating-point "$work/in$rate.wav" synth 60 whitenoise vol 0.5
done
# IRs: a decaying random filter, as a stereo float WAV (same taps on both
# channels) and as the coefficient text sox's fir reads.
python3 - "$work" <<'PY'
import math, random, struct, sys
work = sys.argv[1]
for taps in (4096, 65536):
    rnd = random.Random(taps)
    # Scaled by 1/sqrt(taps) so that neither program clips.
    h = [rnd.uniform(-1, 1) * math.exp(-6.0 * i / taps) / math.sqrt(taps) for i in range(taps)]
    with open(f"{work}/coefs{taps}.txt", "w") as f:
        f.write("\n".join(f"{v:.9g}" for v in h) + "\n")
    data = b"".join(struct.pack("<ff", v, v) for v in h)
    fmt = struct.pack("<HHIIHH", 3, 2, 48000, 48000 * 8, 8, 32)
    with open(f"{work}/ir{taps}.wav", "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)
PY

ratio() {  # what ours peer peer_s target
  awk -v w="$1" -v o="$2" -v p="$3" -v s="$4" -v t="$5" 'BEGIN {
    r = (s > 0 ? o / s : 0)
    printf "RATIO %s %s %s %s %.3f\n", w, o, p, s, r
    printf "target: %s at most %s of %s: %s\n", w, t, p, (r <= t ? "met" : "MISSED") }'
}

huge_pages

in48="$work/in48000.wav"
read -r t m _ < <(measure copy "$work/copy.wav" sox "$in48" "$work/copy.wav") && echo "plain sox copy of the input: ${t}s, peak ${m} kB"
for taps in 4096 65536; do
  read -r ours om of < <(measure ours "$work/ours.wav" "$job" convolve "$in48" "$work/ir$taps.wav" "$work/ours.wav") || continue
  read -r sx sm sf < <(measure sox "$work/sox.wav" sox "$in48" "$work/sox.wav" fir "$work/coefs$taps.txt") || continue
  read -r ff fm ffl < <(measure ffmpeg "$work/ff.wav" ffmpeg -nostdin -y -threads 1 -filter_threads 1 -i "$in48" -i "$work/ir$taps.wav" \
    -filter_complex "[0:a][1:a]afir" -c:a pcm_f32le "$work/ff.wav") || continue
  echo "convolve $taps taps: ours ${ours}s ${om} kB ${of} faults, sox fir ${sx}s ${sm} kB ${sf} faults, ffmpeg afir ${ff}s ${fm} kB ${ffl} faults"
  # Timings only count when the two outputs agree: RMS of the difference
  # over the RMS of sox's output. sox fir removes the delay of a
  # linear-phase filter, (taps - 1) / 2 samples, and ours keeps every
  # sample, so ours is compared from that offset on.
  delay=$(( (taps - 1) / 2 ))
  frames=$(soxi -s "$work/sox.wav")
  sox "$work/ours.wav" "$work/ours_aligned.wav" trim "${delay}s" "$((frames - delay))s"
  sox "$work/sox.wav" "$work/sox_aligned.wav" trim 0s "$((frames - delay))s"
  diff=$(sox -m -v 1 "$work/ours_aligned.wav" -v -1 "$work/sox_aligned.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  ref=$(sox "$work/sox_aligned.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  awk -v d="$diff" -v r="$ref" -v n="$taps" 'BEGIN { printf "CHECK convolve_%s relative RMS difference to sox fir %.2e%s\n", n, (r > 0 ? d / r : 1), (r > 0 && d / r < 1e-3 ? "" : "  MISMATCH") }'

  ratio "convolve_$taps" "$ours" sox_fir "$sx" 0.8
  ratio "convolve_$taps" "$ours" ffmpeg_afir "$ff" 0.8
  process_lines "convolve_$taps" "$om" "$of" sox_fir "$sm" "$sf"
  process_lines "convolve_$taps" "$om" "$of" ffmpeg_afir "$fm" "$ffl"
done
for pair in "44100 48000" "48000 44100" "96000 48000"; do
  set -- $pair
  read -r ours om of < <(measure ours "$work/ours.wav" "$job" resample "$work/in$1.wav" "$2" "$work/ours.wav") || continue
  read -r sx sm sf < <(measure sox "$work/sox.wav" sox "$work/in$1.wav" -r "$2" "$work/sox.wav") || continue
  echo "resample $1->$2: ours ${ours}s ${om} kB ${of} faults, sox rate ${sx}s ${sm} kB ${sf} faults"
  ratio "resample_${1}_$2" "$ours" sox_rate "$sx" "$([ "$1" = 96000 ] && echo 0.8 || echo 0.5)"
  process_lines "resample_${1}_$2" "$om" "$of" sox_rate "$sm" "$sf"
done
