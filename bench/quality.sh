#!/usr/bin/env bash
# The quality programs (no timings): curve_quality's table of the curve on
# test material, and matching_quality's CHECK lines for matching to
# level-mismatched takes, several references, mid/side and the exported
# curve. A CHECK ending in MISMATCH marks a fault.
set -uo pipefail
root="${TIMBRAL_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
bdir="${TIMBRAL_BENCH_DIR:-$root/build/bench}"
rc=0
for program in curve_quality matching_quality; do
  if [ ! -x "$bdir/bench/$program" ]; then echo "SKIP $program not built"; continue; fi
  "$bdir/bench/$program" || rc=1
done
exit $rc
