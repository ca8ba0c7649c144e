#!/usr/bin/env bash
# Runs one timbral configuration as N shards with GNU parallel on this
# machine (or, with parallel's --sshlogin, on several), then merges the
# shards' reports into one.
#
# Usage: deploy/parallel.sh N CONFIG REPORT_DIR [timbral options...]
#   N           number of shards (each a separate timbral process)
#   CONFIG      the configuration file
#   REPORT_DIR  where the report goes; the shards write REPORT_DIR/shard-I-of-N
#               and the merged report.json, index.html and plots land in it
# Environment:
#   TIMBRAL   the program (default: timbral on the PATH)
#   JOBS      shards run at once (default: N)
#   RETRY     1: rerun only the shards the job log records as failed
#             (parallel --retry-failed), e.g. after a machine went down
#
# Assumes: every process sees the inputs, the outputs and REPORT_DIR at the
# same paths (one machine, or a shared file system). Each shard runs with
# --skip-existing true, so a rerun skips every child whose outputs exist:
# outputs are renamed into place only when complete, so an existing one is
# a finished one. The job log is REPORT_DIR.joblog.
set -euo pipefail

if [ $# -lt 3 ]; then
  sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'
  exit 13
fi
n=$1
config=$2
report=$(realpath -m -- "$3")  # absolute: the report option is not resolved against dst_path then
shift 3
timbral=${TIMBRAL:-timbral}
jobs=${JOBS:-$n}
mkdir -p "$report"
joblog="$report.joblog"

status=0
if [ "${RETRY:-0}" = 1 ] && [ -f "$joblog" ]; then
  parallel --retry-failed --joblog "$joblog" -j "$jobs" || status=$?
else
  parallel --joblog "$joblog" -j "$jobs" \
    "$timbral" -c "$config" -r "$report" -se true -q true "$@" --shard '{}'/"$n" ::: $(seq 0 $((n - 1))) ||
    status=$?
fi
# The merge writes what exists and names missing or failed shards.
"$timbral" --merge-reports "$report"
exit "$status"
