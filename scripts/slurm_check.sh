#!/usr/bin/env bash
# Runs deploy/slurm-array.sbatch on a Slurm cluster of one machine started
# here (munged, slurmctld and slurmd from Debian's packages, on their own
# ports, configuration and state in a scratch directory) and compares the
# shards' outputs and merged report with one process running the same
# configuration. Prints "slurm check: passed", or "slurm check: skipped"
# with the reason when Slurm cannot be started here (not installed, not
# root), and exits 0 then; non-zero when the recipe gives another result.
# Usage: scripts/slurm_check.sh [timbral binary]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$(realpath "${1:-$root/build/release/timbral}")"
skip() { echo "slurm check: skipped ($1)"; exit 0; }
for tool in munged slurmctld slurmd sbatch squeue sinfo python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed; scripts/deps.sh slurmctld slurmd slurm-client munge"
done
[ "$(id -u)" -eq 0 ] || skip "the daemons need root here"
[ -r /etc/munge/munge.key ] || skip "no munge key"
[ -x "$bin" ] || { echo "slurm check: $bin not built"; exit 1; }

work="$(mktemp -d)"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  [ -n "${KEEP:-}" ] && echo "slurm check: kept $work" || rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
mkdir -p state spool run
node=$(hostname -s)
cat >slurm.conf <<CONF
ClusterName=timbralcheck
SlurmctldHost=$node
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/run/munge.sock
CredType=cred/munge
SlurmctldPort=16817
SlurmdPort=16818
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/run/slurmctld.pid
SlurmdPidFile=$work/run/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=$node CPUs=$(nproc) RealMemory=1000 State=UNKNOWN
PartitionName=check Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$work/slurm.conf"

munged --foreground --force --socket="$work/run/munge.sock" --key-file=/etc/munge/munge.key \
  --pid-file="$work/run/munged.pid" --log-file="$work/munged.log" --seed-file="$work/run/munge.seed" 2>/dev/null &
pids+=($!)
sleep 1
slurmctld -D -i >/dev/null 2>&1 &
pids+=($!)
slurmd -D >/dev/null 2>&1 &
pids+=($!)
ready=0
for _ in $(seq 1 60); do
  if sinfo -h -o %t 2>/dev/null | grep -qE '^idle'; then ready=1; break; fi
  sleep 0.5
done
[ "$ready" -eq 1 ] || { tail -n 5 slurmctld.log slurmd.log 2>/dev/null; skip "the cluster did not come up within 30 s"; }

# A configuration of 12 small groups.
mkdir -p in
python3 - <<'PY' || exit 1
import json, os, random, struct, wave
groups = {}
for g in range(12):
    for name, seed in (("m%d" % g, g), ("c%d" % g, 100 + g)):
        r = random.Random(seed)
        w = wave.open("in/%s.wav" % name, "wb")
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
        w.writeframes(b"".join(struct.pack("<h", int(12000 * (r.random() * 2 - 1))) for _ in range(800)))
        w.close()
    groups["group %d" % g] = {"master": "m%d.wav" % g, "files": ["c%d.wav" % g]}
json.dump({"src_path": os.path.abspath("in"), "dst_path": "out", "srate": 8000, "fft_rank": 8, "groups": groups},
          open("cfg.json", "w"))
PY
mkdir -p single
(cd single && "$bin" -c ../cfg.json -q true -r report >/dev/null) || { echo "slurm check: the single run failed"; exit 1; }
TIMBRAL="$bin" "$root/deploy/slurm-array.sbatch" 4 cfg.json "$work/out/report" || { echo "slurm check: submission failed"; exit 1; }
for _ in $(seq 1 240); do
  [ -z "$(squeue -h 2>/dev/null)" ] && break
  sleep 0.5
done
[ -z "$(squeue -h 2>/dev/null)" ] || { echo "slurm check: jobs still queued after 120 s"; squeue; exit 1; }

fail=0
# The shards run with -se and keep a record beside each output; one run does not.
sums() { (cd "$1" && find . -path ./report -prune -o -type f ! -name '.*.timbral-record' -print | sort | xargs -d '\n' md5sum); }
diff <(sums single/out) <(sums out) >/dev/null || { echo "slurm check: the shards' outputs differ from one run's"; fail=1; }
[ -f out/report/report.json ] && [ -f out/report/index.html ] || { echo "slurm check: no merged report"; cat timbral-*.out 2>/dev/null | tail -n 20; fail=1; }
flat() {
  python3 -c 'import json,sys
d = json.load(open(sys.argv[1]))
for k in ("command_line", "shard", "shards"): d.pop(k, None)
for k in ("report", "shard", "skip_existing", "jobs", "quiet"): d["settings"].pop(k, None)
print(json.dumps(d, sort_keys=True))' "$1"
}
[ "$fail" -eq 0 ] && { [ "$(flat single/out/report/report.json)" = "$(flat out/report/report.json)" ] || { echo "slurm check: the merged report differs from one run's"; fail=1; }; }
[ "$fail" -eq 0 ] && echo "slurm check: passed"
exit "$fail"
