#!/usr/bin/env bash
# Installs with apt-get whatever the build, the tests, the demo or the
# benchmarks need and is missing.
# Usage: scripts/deps.sh [--tests] [extra packages...]
set -euo pipefail

# What the build and the demo need; `--tests` adds what the tests, the
# fuzz runs and the report's render check need.
packages=(cmake g++ make pkg-config libsndfile1-dev libebur128-dev libsoxr-dev)
if [ "${1:-}" = "--tests" ]; then
  shift
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev locales chromium parallel python3-yaml slurmctld slurmd slurm-client munge)
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq || true
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
