#!/usr/bin/env python3
"""Runs deploy/k8s-indexed-job.yaml as Kubernetes would, on this machine.

Usage: k8s_job_run.py YAML DATA_DIR TIMBRAL

Checks what the recipe promises (an Indexed Job whose completions equal
TIMBRAL_SHARD_COUNT; the whole Job failing on exit statuses 7, 13, 17 and 28;
only the index on 6, 8 and 9; pods that are never restarted in place), then
runs the shard container's command once per index with JOB_COMPLETION_INDEX
and the container's environment set, /data standing for DATA_DIR, and then
the merge Job's command. Exits non-zero with a line on the first mismatch.
"""
import os
import subprocess
import sys

import yaml


def fail(why):
    print("k8s recipe: " + why, file=sys.stderr)
    sys.exit(1)


def main():
    path, data, timbral = sys.argv[1:4]
    docs = {d["metadata"]["labels"]["app.kubernetes.io/component"]: d for d in yaml.safe_load_all(open(path))}
    shards, merge = docs["shards"]["spec"], docs["merge"]["spec"]
    if shards.get("completionMode") != "Indexed":
        fail("the shard Job is not indexed")
    pod = shards["template"]["spec"]
    if pod.get("restartPolicy") != "Never":
        fail("podFailurePolicy needs restartPolicy Never")
    rules = {r["action"]: r for r in shards["podFailurePolicy"]["rules"]}
    if sorted(rules["FailJob"]["onExitCodes"]["values"]) != [7, 13, 17, 28]:
        fail("FailJob statuses")
    if sorted(rules["FailIndex"]["onExitCodes"]["values"]) != [6, 8, 9]:
        fail("FailIndex statuses")
    container = pod["containers"][0]
    if rules["FailJob"]["onExitCodes"]["containerName"] != container["name"]:
        fail("the policy names another container")
    env = {e["name"]: e["value"] for e in container["env"]}
    count = shards["completions"]
    if int(env["TIMBRAL_SHARD_COUNT"]) != count:
        fail("TIMBRAL_SHARD_COUNT differs from completions")

    def command(c):
        return [timbral if a == "timbral" else a.replace("/data", data) for a in c]

    base = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "PARALLEL_", "JOB_COMPLETION"))}
    for index in range(count):
        run_env = dict(base, JOB_COMPLETION_INDEX=str(index), **env)
        done = subprocess.run(command(container["command"]), env=run_env, cwd=data, stdout=subprocess.DEVNULL)
        if done.returncode != 0:
            fail("index %d ended with status %d" % (index, done.returncode))
    merge_command = merge["template"]["spec"]["containers"][0]["command"]
    done = subprocess.run(command(merge_command), env=base, cwd=data, stdout=subprocess.DEVNULL)
    if done.returncode != 0:
        fail("the merge ended with status %d" % done.returncode)


main()
