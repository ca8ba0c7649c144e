#!/usr/bin/env bash
# Installs what the benchmarks need (FFTW, and sox and ffmpeg from Debian
# as the peers), builds them in Release and runs every bench/*.sh piece.
# Each piece prints lines of the form
#   RATIO <what> <ours_seconds> <peer> <peer_seconds> <ours/peer>
# and the whole-process jobs also
#   PEAK_KB <what> <ours_kB> <peer> <peer_kB> <ours/peer>
#   FAULTS <what> <ours_minor_faults> <peer> <peer_faults> <ours/peer>
# and some a fixed bound as
#   TARGET <what> <ours> <unit> <= <bound> <unit> pass|fail
# which are collected into the summary at the end, with any SKIP lines.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" libfftw3-dev sox ffmpeg time || exit 1
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTIMBRAL_BENCH=ON -DTIMBRAL_TESTS=OFF >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" 2>&1 | grep -E 'warning|error'; [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
export TIMBRAL_BENCH_DIR="$dir" TIMBRAL_SOURCE_DIR="$root"
log="$dir/bench.log"
: >"$log"
for piece in "$root"/bench/*.sh; do
  [ -f "$piece" ] || continue
  echo "== $(basename "$piece")"
  bash "$piece" 2>&1 | tee -a "$log"
done
echo "== summary"
grep -E '^(RATIO|PEAK_KB|FAULTS|TARGET|SKIP|CHECK|LOUDNESS|NOISE) ' "$log"
