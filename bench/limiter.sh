#!/usr/bin/env bash
# Quality and speed of timbral's true-peak limiter (-tl) beside ffmpeg's
# alimiter and loudnorm (dynamic mode) and, where Debian's packages run,
# the LADSPA and LV2 limiters below, each at the same ceiling and the same
# output loudness, on generated material (10 s, 48 kHz stereo):
#   sine50   a 50 Hz sine whose peaks are 6 dB above the ceiling
#   twotone  60 Hz and 7 kHz (4:1, as SMPTE intermodulation), peaks 6 dB over
#   dense    pink noise with a drum-like pulse at 120 BPM, to -9 LUFS
#   speech   voiced syllables with pauses and plosives, to -14 LUFS
#   white    full-scale white noise (true peaks well above its samples)
# The ceiling is -1 dBTP. timbral runs with the file as its own master and
# child (an identity filter); its output loudness is the one the peers are
# brought to (alimiter and the plug-ins by an input gain, two corrections;
# loudnorm by its target, which it accepts from -70 to -5 LUFS only).
#
# Figures, per limiter and material:
#   over   true peak over the ceiling of the written 16-bit file (TPDF
#          dither) on ffmpeg's ebur128 meter, dB (0 or less is none); for
#          timbral also on libebur128 (the value its loudness line reports
#          for the written file), and for float and 24-bit files of dense
#   thdn   THD+N of sine50: what is not the 50 Hz tone, from 1 s on, dB
#   imd    intermodulation of twotone: the sidebands 7 kHz +- 60, 120, 180
#          Hz against the 7 kHz tone, dB
#   pump   standard deviation of the short-term loudness (3 s) of the output
#          minus that of the input, from 3 s on, LU, on dense material: the
#          mean over four 30 s takes (seeds 1, 3, 5, 7), each printed in a
#          PUMP line
#   speed  seconds of audio per CPU second of the whole process on dense
#          (timbral's includes reading, profiling, convolving and the
#          loudness passes); the limiter stage alone is measured by
#          bench/limiter_bench (the median of its x_realtime, printed as
#          SPEED when built; target: at least 500)
# and the CPU and wall time of a -lu -9 -tl -1 run against the plain run on
# 60 s of dense material (medians of 7; target: at most 2x). Set
# TIMBRAL_BEFORE_BIN to another build to get its speed figures in the same
# run.
# Lines:
#   SKIP <limiter>: <why>   (a plug-in peer that cannot run here)
#   LIMITER <limiter> <material> over <dB> [ebur128 <dB>] loudness <LUFS>
#   PUMP <limiter> <LU of each take>
#   QUALITY <limiter> thdn <dB> imd <dB> pump <LU> speed <x>
#   RATIO limiter_<figure> <ours> <best peer> <peer's> <ours - peer>
# (the best of every peer that ran)
# (for the dB and LU figures the last field is the difference; for speed
# the ratio), and
#   SPEED limiter_stage[_before] <x real time>
#   RATIO limiter_run_60s[_wall][_before] <limited s> plain <plain s> <ratio>
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
bin="$(realpath -m "${TIMBRAL_BIN:-$bdir/timbral}")"
[ -x "$bin" ] || { echo "limiter.sh: $bin not built"; exit 1; }
work="$(mktemp -d)"
runs=1
. "$root/bench/measure.sh"
require ffmpeg od awk /usr/bin/time
trap 'if [ -n "${KEEP:-}" ]; then echo "limiter.sh: kept $work"; else rm -rf "$work"; fi' EXIT
cd "$work" || exit 1

C=-1                                        # the ceiling, dBTP
CL=$(awk -v c=$C 'BEGIN { printf "%.6f", 10 ^ (c / 20) }')
D=10                                        # seconds of each material
FF=(ffmpeg -nostdin -hide_banner -loglevel error -y)

# Materials, as 32-bit float WAV.
gen() {
  local name=$1; shift
  "${FF[@]}" "$@" -c:a pcm_f32le -ar 48000 -ch_layout stereo "$name.wav" || { echo "limiter.sh: cannot make $name"; exit 1; }
}
A=$(awk -v c=$C 'BEGIN { printf "%.6f", 10 ^ ((c + 6) / 20) }')
gen sine50 -f lavfi -i "aevalsrc=exprs='$A*sin(2*PI*50*t)|$A*sin(2*PI*50*t)':s=48000:d=$D"
B=$(awk -v a=$A 'BEGIN { printf "%.6f", a / 1.25 }')
gen twotone -f lavfi -i "aevalsrc=exprs='$B*sin(2*PI*60*t)+$B/4*sin(2*PI*7000*t)|$B*sin(2*PI*60*t)+$B/4*sin(2*PI*7000*t)':s=48000:d=$D"
gen dense -filter_complex "anoisesrc=d=$D:c=pink:r=48000:a=0.5:s=1[l];anoisesrc=d=$D:c=pink:r=48000:a=0.5:s=2[r];[l][r]amerge=inputs=2[n];aevalsrc=exprs='0.8*exp(-30*mod(t,0.5))*sin(2*PI*55*mod(t,0.5))|0.8*exp(-30*mod(t,0.5))*sin(2*PI*55*mod(t,0.5))':s=48000:d=$D[k];[n][k]amix=inputs=2:normalize=0"
SP="0.3*sin(PI*mod(t,0.2)/0.2)*lt(mod(floor(t/0.2),4),3)*(sin(2*PI*150*t)+0.5*sin(2*PI*300*t+1)+0.3*sin(2*PI*450*t+2)+0.4*(random(0)-0.5))+0.9*eq(mod(floor(t/0.2),3),0)*exp(-150*mod(t,0.2))*sin(2*PI*70*mod(t,0.2))"
gen speech -f lavfi -i "aevalsrc=exprs='$SP|$SP':s=48000:d=$D"
gen white -filter_complex "anoisesrc=d=$D:c=white:r=48000:a=1:s=3[l];anoisesrc=d=$D:c=white:r=48000:a=1:s=4[r];[l][r]amerge=inputs=2"
declare -A TARGET=([dense]=-9 [speech]=-14)

# The peers. ffmpeg's alimiter and loudnorm always; open-source plug-in
# limiters that Debian packages, run through ffmpeg's LADSPA and LV2 hosts,
# where they can be had (installed here when missing and this is root with
# apt): swh-plugins' fast lookahead limiter (LADSPA; a sample-peak limiter)
# and x42's digital peak limiter (LV2, in its true-peak mode). Each gets
# the ceiling and otherwise its own defaults; a peer that cannot run is
# skipped with a line that says why.
declare -A NAME=([ours]=timbral [alim]=alimiter [ln]=loudnorm [swh]=swh_fast_lookahead [dpl]=x42_dpl)
LADSPA_SWH=fast_lookahead_limiter_1913
DPL_URI='http\\://gareus.org/oss/lv2/dpl#stereo'
chain() {  # chain <peer> <input gain dB>: the ffmpeg filters of a gained peer
  case $1 in
    alim) echo "volume=${2}dB,alimiter=limit=$CL:level=0" ;;
    swh) echo "volume=${2}dB,ladspa=f=$LADSPA_SWH:p=fastLookaheadLimiter:c=c0=0|c1=$C" ;;
    dpl) echo "volume=${2}dB,lv2=p=$DPL_URI:c=threshold=$C|truepeak=1" ;;
  esac
}
plugin_package() {  # plugin_package <peer>: the Debian package that brings it
  case $1 in swh) echo swh-plugins ;; dpl) echo x42-plugins ;; esac
}
runs_here() {  # runs_here <peer>: true when ffmpeg runs it on a short file
  "${FF[@]}" -f lavfi -i "sine=f=440:d=0.2:r=48000" -af "aformat=channel_layouts=stereo,$(chain $1 0)" -f null - 2>"$1.why"
}
GAINED=(alim)
PEERS=(alim ln)
for p in swh dpl; do
  if ! runs_here $p && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$(plugin_package $p)" >/dev/null 2>&1
  fi
  if runs_here $p; then
    GAINED+=($p)
    PEERS+=($p)
  else
    why=$(grep -v '^$' $p.why | head -n 1)
    echo "SKIP ${NAME[$p]}: ffmpeg cannot run it (${why:-no message}; package $(plugin_package $p))"
  fi
done

# meter <file>: "I TP" on ffmpeg's ebur128 meter (TP the largest channel's).
meter() {
  ffmpeg -nostdin -hide_banner -nostats -i "$1" -af ebur128=peak=true -f null - 2>&1 |
    awk '$1 == "I:" {i = $2} $1 == "Peak:" {p = $2} END {print i, p}'
}
# shortterm_sd <file>: standard deviation of the short-term loudness from 3 s on.
shortterm_sd() {
  ffmpeg -nostdin -hide_banner -nostats -i "$1" -af "ebur128=metadata=1,ametadata=print:key=lavfi.r128.S:file=st.txt" \
    -f null - 2>/dev/null
  awk -F= '/^frame:/ { split($0, a, "pts_time:"); t = a[2] + 0 }
    /lavfi.r128.S=/ { if (t >= 3 && $2 > -70) { n++; s += $2; q += $2 * $2 } }
    END { m = s / n; printf "%.3f", sqrt(q / n - m * m) }' st.txt
}
# left <file>: the left channel as one float per line.
left() { ffmpeg -nostdin -hide_banner -loglevel error -i "$1" -af "pan=mono|c0=c0" -f f32le - | od -An -v -f -w4; }
thdn() {
  left "$1" | awk 'NR > 48000 { i = NR - 1; w = 2 * 3.141592653589793 * 50 * i / 48000; s = sin(w); c = cos(w)
      x[NR] = $1; ss += s * s; cc += c * c; sc += s * c; ys += $1 * s; yc += $1 * c; yy += $1 * $1 }
    END { d = ss * cc - sc * sc; a = (ys * cc - yc * sc) / d; b = (yc * ss - ys * sc) / d
      for (k in x) { i = k - 1; w = 2 * 3.141592653589793 * 50 * i / 48000; e = x[k] - a * sin(w) - b * cos(w); r += e * e }
      printf "%.1f", 10 * log(r / yy) / log(10) }'
}
imd() {
  left "$1" | awk 'NR > 48000 { x[n++] = $1 }
    function power(f,   k, w, co, s0, s1, s2) { w = 2 * 3.141592653589793 * f / 48000; co = 2 * cos(w); s1 = s2 = 0
      for (k = 0; k < n; k++) { s0 = x[k] + co * s1 - s2; s2 = s1; s1 = s0 }
      return s1 * s1 + s2 * s2 - co * s1 * s2 }
    END { side = 0; for (j = 1; j <= 3; j++) side += power(7000 - 60 * j) + power(7000 + 60 * j)
      printf "%.1f", 10 * log(side / power(7000)) / log(10) }'
}
cpu_x() {  # cpu_x <command...>: seconds of audio per CPU second
  /usr/bin/time -f "%U %S" -o t.txt "$@" >/dev/null 2>&1 || { echo "limiter.sh: $* failed" >&2; echo 0; return; }
  awk -v d=$D '{ c = $1 + $2; printf "%.1f", (c > 0 ? d / c : 0) }' t.txt
}

# ours <material> <out> [extra...]: timbral's run; prints its loudness line.
ours() {
  local m=$1 out=$2; shift 2
  local t=()
  [ -n "${TARGET[$m]:-}" ] && t=(-lu "${TARGET[$m]}")
  "$bin" -mf "$m.wav" -cf "$m.wav" -lc true -ml true -f "$out" -tl $C "${t[@]}" "$@" 2>ours.err | grep "loudness:"
}
loudn() {
  local m=$1 out=$2 i=$3 post=$4; shift 4
  "${FF[@]}" -i "$m.wav" -af "loudnorm=I=$i:TP=$C:LRA=20,aresample=48000$post,aformat=channel_layouts=stereo" "$@" "$out"
}
S16=(-c:a pcm_s16le)
D16=":osf=s16:dither_method=triangular"

declare -A OVER LOUD
for m in sine50 twotone dense speech white; do
  # timbral: float for the figures, 16-bit for the overshoot.
  line=$(ours $m "$m.ours.wav")
  line16=$(ours $m "$m.ours16.wav" -b 16)
  read -r oi otp <<<"$(meter "$m.ours.wav")"
  read -r _ otp16 <<<"$(meter "$m.ours16.wav")"
  lib=$(sed -n 's/.*true peak: \([-0-9.]*\) dBTP.*/\1/p' <<<"$line16")
  OVER[ours,$m]=$(awk -v a=$otp16 -v c=$C 'BEGIN { printf "%.2f", a - c }')
  LOUD[ours,$m]=$oi
  echo "LIMITER timbral $m over ${OVER[ours,$m]} ebur128 $(awk -v a=$lib -v c=$C 'BEGIN { printf "%.3f", a - c }') loudness $oi"
  if [ $m = dense ]; then
    for b in 24 float; do
      l=$(ours $m "$m.ours$b.wav" -b $b)
      read -r _ tp <<<"$(meter "$m.ours$b.wav")"
      lib=$(sed -n 's/.*true peak: \([-0-9.]*\) dBTP.*/\1/p' <<<"$l")
      echo "LIMITER timbral ${m}_$b over $(awk -v a=$tp -v c=$C 'BEGIN { printf "%.2f", a - c }') ebur128 $(awk -v a=$lib -v c=$C 'BEGIN { printf "%.3f", a - c }')"
    done
  fi
  # alimiter and the plug-in limiters: the input gain that gives timbral's
  # loudness.
  read -r ii _ <<<"$(meter "$m.wav")"
  for p in "${GAINED[@]}"; do
    g=0
    [ -n "${TARGET[$m]:-}" ] && g=$(awk -v a="$oi" -v b="$ii" 'BEGIN { printf "%.2f", a - b }')
    for pass in 1 2 3; do
      "${FF[@]}" -i "$m.wav" -af "$(chain $p $g)" -c:a pcm_f32le "$m.$p.wav"
      read -r ai _ <<<"$(meter "$m.$p.wav")"
      [ -n "${TARGET[$m]:-}" ] || break
      g=$(awk -v g=$g -v a="$oi" -v b="$ai" 'BEGIN { printf "%.2f", g + (a - b) }')
    done
    "${FF[@]}" -i "$m.wav" -af "$(chain $p $g),aresample=48000$D16" "${S16[@]}" "$m.${p}16.wav"
    read -r _ atp <<<"$(meter "$m.${p}16.wav")"
    OVER[$p,$m]=$(awk -v a=$atp -v c=$C 'BEGIN { printf "%.2f", a - c }')
    echo "LIMITER ${NAME[$p]} $m over ${OVER[$p,$m]} loudness $ai"
  done
  # loudnorm (dynamic) to timbral's loudness, within its range.
  li=$(awk -v a="$oi" 'BEGIN { printf "%.1f", (a > -5 ? -5 : (a < -70 ? -70 : a)) }')
  loudn $m "$m.ln.wav" $li "" -c:a pcm_f32le
  loudn $m "$m.ln16.wav" $li "$D16" "${S16[@]}"
  read -r ni _ <<<"$(meter "$m.ln.wav")"
  read -r _ ntp <<<"$(meter "$m.ln16.wav")"
  OVER[ln,$m]=$(awk -v a=$ntp -v c=$C 'BEGIN { printf "%.2f", a - c }')
  echo "LIMITER loudnorm $m over ${OVER[ln,$m]} loudness $ni"
done

# Pumping: a difference of hundredths of a LU needs more than 7 s of 3 s
# windows to stand out of the noise's own wander, so it is measured on
# four 30 s takes of the dense material (their own seeds), each limiter
# at timbral's loudness as above, and averaged.
declare -A PUMP
for seed in 1 3 5 7; do
  m=pump$seed
  TARGET[$m]=-9
  gen $m -filter_complex "anoisesrc=d=30:c=pink:r=48000:a=0.5:s=$seed[l];anoisesrc=d=30:c=pink:r=48000:a=0.5:s=$((seed + 1))[r];[l][r]amerge=inputs=2[n];aevalsrc=exprs='0.8*exp(-30*mod(t,0.5))*sin(2*PI*55*mod(t,0.5))|0.8*exp(-30*mod(t,0.5))*sin(2*PI*55*mod(t,0.5))':s=48000:d=30[k];[n][k]amix=inputs=2:normalize=0"
  ours $m "$m.ours.wav" >/dev/null
  read -r oi _ <<<"$(meter "$m.ours.wav")"
  read -r ii _ <<<"$(meter "$m.wav")"
  for p in "${GAINED[@]}"; do
    g=$(awk -v a="$oi" -v b="$ii" 'BEGIN { printf "%.2f", a - b }')
    for pass in 1 2 3; do
      "${FF[@]}" -i "$m.wav" -af "$(chain $p $g)" -c:a pcm_f32le "$m.$p.wav"
      read -r ai _ <<<"$(meter "$m.$p.wav")"
      g=$(awk -v g=$g -v a="$oi" -v b="$ai" 'BEGIN { printf "%.2f", g + (a - b) }')
    done
  done
  loudn $m "$m.ln.wav" "$(awk -v a="$oi" 'BEGIN { printf "%.1f", (a > -5 ? -5 : a) }')" "" -c:a pcm_f32le
  pin=$(shortterm_sd $m.wav)
  for l in ours "${PEERS[@]}"; do
    PUMP[$l]+="$(awk -v a="$(shortterm_sd $m.$l.wav)" -v b=$pin 'BEGIN { printf "%+.3f", a - b }') "
  done
  rm -f $m.*wav
done
for l in ours "${PEERS[@]}"; do echo "PUMP ${NAME[$l]} ${PUMP[$l]}"; done

declare -A Q
for l in ours "${PEERS[@]}"; do
  Q[$l,thdn]=$(thdn sine50.$l.wav)
  Q[$l,imd]=$(imd twotone.$l.wav)
  Q[$l,pump]=$(awk '{ s = 0; for (i = 1; i <= NF; i++) s += $i; printf "%.3f", s / NF }' <<<"${PUMP[$l]}")
done
Q[ours,speed]=$(cpu_x "$bin" -mf dense.wav -cf dense.wav -lc true -ml true -f sp.wav -tl $C -lu -9)
Q[alim,speed]=$(cpu_x "${FF[@]}" -threads 1 -filter_threads 1 -i dense.wav -af "$(chain alim 0)" -c:a pcm_f32le sp.wav)
Q[ln,speed]=$(cpu_x "${FF[@]}" -threads 1 -filter_threads 1 -i dense.wav -af "loudnorm=I=-9:TP=$C:LRA=20,aresample=48000,aformat=channel_layouts=stereo" -c:a pcm_f32le sp.wav)
for p in "${GAINED[@]}"; do
  [ $p = alim ] && continue
  Q[$p,speed]=$(cpu_x "${FF[@]}" -threads 1 -filter_threads 1 -i dense.wav -af "$(chain $p 0)" -c:a pcm_f32le sp.wav)
done
for l in ours "${PEERS[@]}"; do
  echo "QUALITY ${NAME[$l]} thdn ${Q[$l,thdn]} imd ${Q[$l,imd]} pump ${Q[$l,pump]} speed ${Q[$l,speed]}"
done

# The stage alone, when its benchmark is built beside the binary: the
# median of 5 repetitions. With TIMBRAL_BEFORE_BIN (another build of the
# tool, its limiter_bench beside it) the same figures of that build are
# measured in the same run, interleaved with ours, and printed with
# "_before".
stage_of() {  # stage_of <binary>: its limiter_bench, or nothing
  local s="$(dirname "$1")/bench/limiter_bench"
  [ -x "$s" ] && echo "$s"
}
before="${TIMBRAL_BEFORE_BIN:+$(realpath -m "$TIMBRAL_BEFORE_BIN")}"
stage_speed() {  # stage_speed <limiter_bench>: median x real time while limiting
  "$1" --benchmark_filter=limiting --benchmark_min_time=0.5 --benchmark_repetitions=5 2>/dev/null |
    awk '/BM_limiter_limiting_median/ { for (i = 1; i <= NF; i++) if ($i ~ /^x_realtime=/) { v = $i; sub("x_realtime=", "", v); sub("/s", "", v); if (v ~ /k$/) { sub("k", "", v); v *= 1000 } print v } }'
}
stage="$(stage_of "$bin")"
[ -n "$stage" ] || { [ -x "$bdir/limiter_bench" ] && stage="$bdir/limiter_bench"; }
[ -n "$stage" ] && echo "SPEED limiter_stage $(stage_speed "$stage")"
if [ -n "$before" ] && [ -n "$(stage_of "$before")" ]; then
  echo "SPEED limiter_stage_before $(stage_speed "$(stage_of "$before")")"
fi
# A -lu -9 -tl -1 run against the plain one on 60 s: medians of RUNS (11) runs of
# CPU seconds (user and system, every thread) and of wall seconds, the
# runs of the two (and of the other build) interleaved so that a busy
# machine weighs on all alike.
"${FF[@]}" -filter_complex "anoisesrc=d=60:c=pink:r=48000:a=0.5:s=1[l];anoisesrc=d=60:c=pink:r=48000:a=0.5:s=2[r];[l][r]amerge=inputs=2[n];aevalsrc=exprs='0.8*exp(-30*mod(t,0.5))*sin(2*PI*55*mod(t,0.5))|0.8*exp(-30*mod(t,0.5))*sin(2*PI*55*mod(t,0.5))':s=48000:d=60[k];[n][k]amix=inputs=2:normalize=0" -c:a pcm_s16le -ch_layout stereo long.wav
run_times() {  # run_times <binary> <args...>: "cpu wall" seconds of one run
  # The shell's own timing, to the millisecond (time(1) gives the CPU
  # seconds to the hundredth only, a tenth of a plain run).
  local TIMEFORMAT='%3U %3S %3R' line
  line=$( { time "$@" >/dev/null 2>&1; } 2>&1 )
  awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' <<<"$line"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
builds=("$bin")
[ -n "$before" ] && builds+=("$before")
declare -A CPU WALL
for ((r = 0; r < ${RUNS:-11}; r++)); do
  for b in "${builds[@]}"; do
    read -r c w <<<"$(run_times "$b" -mf long.wav -cf long.wav -lc true -ml true -f l1.wav)"
    CPU[$b,plain]+="$c "; WALL[$b,plain]+="$w "
    read -r c w <<<"$(run_times "$b" -mf long.wav -cf long.wav -lc true -ml true -f l2.wav -lu -9 -tl $C)"
    CPU[$b,lim]+="$c "; WALL[$b,lim]+="$w "
  done
done
for b in "${builds[@]}"; do
  suffix=$([ "$b" = "$bin" ] && echo "" || echo "_before")
  for kind in CPU WALL; do
    declare -n T=$kind
    p=$(tr ' ' '\n' <<<"${T[$b,plain]}" | grep . | median)
    o=$(tr ' ' '\n' <<<"${T[$b,lim]}" | grep . | median)
    unset -n T
    name=$([ $kind = CPU ] && echo limiter_run_60s || echo limiter_run_60s_wall)
    awk -v n=$name$suffix -v o=$o -v p=$p 'BEGIN { printf "RATIO %s %s plain %s %.2f\n", n, o, p, (p > 0 ? o / p : 0) }'
  done
done

# RATIO lines against the best peer (lower is better but for speed).
best() {  # best <figure> <lower|higher>
  local f=$1 dir=$2 p v bp="" bv=""
  for p in "${PEERS[@]}"; do
    v=${Q[$p,$f]}
    if [ -z "$bv" ] || awk -v a=$v -v b=$bv -v d=$dir 'BEGIN { exit !((d == "lower") ? a < b : a > b) }'; then bp=$p; bv=$v; fi
  done
  echo "${NAME[$bp]} $bv"
}
for f in thdn imd pump; do
  read -r bp bv <<<"$(best $f lower)"
  awk -v f=$f -v o=${Q[ours,$f]} -v p=$bp -v v=$bv 'BEGIN { printf "RATIO limiter_%s %s %s %s %.3f\n", f, o, p, v, o - v }'
done
read -r bp bv <<<"$(best speed higher)"
awk -v o=${Q[ours,speed]} -v p=$bp -v v=$bv 'BEGIN { printf "RATIO limiter_speed %s %s %s %.2f\n", o, p, v, (v > 0 ? o / v : 0) }'
# The worst overshoot of each over the materials, against the peer whose
# worst is least.
declare -A W
for l in ours "${PEERS[@]}"; do
  w=-99
  for m in sine50 twotone dense speech white; do w=$(awk -v a=$w -v b=${OVER[$l,$m]} 'BEGIN { print (b > a ? b : a) }'); done
  W[$l]=$w
done
bp=""
for p in "${PEERS[@]}"; do
  if [ -z "$bp" ] || awk -v a=${W[$p]} -v b=${W[$bp]} 'BEGIN { exit !(a < b) }'; then bp=$p; fi
done
awk -v o=${W[ours]} -v p=${NAME[$bp]} -v v=${W[$bp]} 'BEGIN { printf "RATIO limiter_overshoot %s %s %s %.2f\n", o, p, v, o - v }'
