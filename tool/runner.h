#pragma once

#include <cstdint>

// Runs the jobs of a run, numbered 0 .. count-1 in run order, and lets one
// caller (the cursor) take their results in that order.
//
// With no worker the cursor runs each job itself when it asks for it:
// job_runner_wait(i) runs job i in the calling thread. With workers, each
// takes the next job in run order that nobody took yet, runs it inside the
// processor's floating-point mode, and marks it done; the cursor waits for
// the job it wants. A job may wait for an earlier one (a child for its
// master): an earlier job was always taken first and never waits for a
// later one, so every wait ends. Which jobs to do no work for is the jobs'
// own business (a cancelled job returns at once); job_runner_stop only
// keeps jobs not taken yet from starting.

struct JobRunner;

// What a job is. `worker` is false when the cursor runs the job itself
// (no workers): its lines may then go straight out.
using JobBody = void (*)(void* context, uint64_t job, bool worker);

// A runner of `count` jobs with `workers` threads (0: the cursor runs
// them), never more threads than jobs. Null when memory runs out. When
// the system grants fewer threads than asked (or there is no memory for
// them), the threads it granted run the jobs, and with none the cursor
// runs them. Threads start at once.
JobRunner* job_runner_start(uint64_t count, unsigned workers, JobBody body, void* context);

// Returns once job `job` is done, running it here when there are no
// workers. A job never started because of job_runner_stop is not done:
// false then.
bool job_runner_wait(JobRunner* runner, uint64_t job);

// Jobs not yet taken are never started.
void job_runner_stop(JobRunner* runner);

// Stops taking jobs, waits for the running ones and frees the runner.
// Accepts null.
void job_runner_finish(JobRunner* runner);

// Threads the runner actually runs.
unsigned job_runner_workers(const JobRunner* runner);

// The time the jobs took, each from its start to its end, summed: what the
// run's work costs without the runner.
double job_runner_job_seconds(const JobRunner* runner);
