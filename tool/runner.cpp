#include "tool/runner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "dsp/dsp.h"
#include "runtime/alloc.h"
#include "runtime/thread.h"

struct JobRunner {
  JobBody body;
  void* context;
  uint64_t count;
  uint8_t* done;         // per job, under `lock`
  Thread* threads;       // `made` of them, the first `started` running
  unsigned started;
  unsigned made;
  std::mutex lock;
  std::condition_variable changed;
  uint64_t next;  // the next job to take (under `lock`)
  bool stopped;   // under `lock`
  std::atomic<uint64_t> job_ns;  // the jobs' own time, summed

  // Runs job `job`, timing it.
  void run(uint64_t job, bool worker) {
    const auto from = std::chrono::steady_clock::now();
    body(context, job, worker);
    const auto took = std::chrono::steady_clock::now() - from;
    job_ns.fetch_add(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
  }

  // A worker thread: the next job in run order, until there is none.
  void operator()() {
    const DspTable& table = dsp();
    DspFpState fp{};
    table.dsp_start(&fp);
    for (;;) {
      uint64_t job;
      {
        std::lock_guard<std::mutex> hold(lock);
        if (stopped || next >= count) break;
        job = next++;
      }
      run(job, true);
      {
        std::lock_guard<std::mutex> hold(lock);
        done[job] = 1;
      }
      changed.notify_all();
    }
    table.dsp_finish(&fp);
    changed.notify_all();
  }
};

JobRunner* job_runner_start(uint64_t count, unsigned workers, JobBody body, void* context) {
  JobRunner* r = mem_new<JobRunner>();
  if (!r) return nullptr;
  r->body = body;
  r->context = context;
  r->count = count;
  r->threads = nullptr;
  r->started = 0;
  r->made = 0;
  r->next = 0;
  r->stopped = false;
  r->job_ns.store(0);
  r->done = static_cast<uint8_t*>(mem_calloc(count ? count : 1, 1));
  if (!r->done) {
    mem_delete(r);
    return nullptr;
  }
  if (workers > count) workers = static_cast<unsigned>(count);
  if (workers > 0) r->threads = static_cast<Thread*>(mem_calloc(workers, sizeof(Thread)));
  for (; r->threads && r->made < workers; ++r->made) new (&r->threads[r->made]) Thread();
  // Without room for the threads the cursor runs the jobs itself; when the
  // system grants fewer threads than asked, those it granted do the work.
  while (r->started < r->made && r->threads[r->started].start(r)) ++r->started;
  return r;
}

bool job_runner_wait(JobRunner* r, uint64_t job) {
  if (job >= r->count) return false;
  if (r->started == 0) {
    {
      std::lock_guard<std::mutex> hold(r->lock);
      if (r->done[job]) return true;
      if (r->stopped || job < r->next) return false;
      r->next = job + 1;
    }
    r->run(job, false);
    std::lock_guard<std::mutex> hold(r->lock);
    r->done[job] = 1;
    return true;
  }
  std::unique_lock<std::mutex> hold(r->lock);
  // A job not taken when the runner stops never will be; one taken runs to
  // its end.
  r->changed.wait(hold, [&] { return r->done[job] || (r->stopped && job >= r->next); });
  return r->done[job] != 0;
}

void job_runner_stop(JobRunner* r) {
  if (!r) return;
  {
    std::lock_guard<std::mutex> hold(r->lock);
    r->stopped = true;
  }
  r->changed.notify_all();
}

void job_runner_finish(JobRunner* r) {
  if (!r) return;
  job_runner_stop(r);
  for (unsigned t = 0; t < r->made; ++t) r->threads[t].~Thread();
  mem_free(r->threads);
  mem_free(r->done);
  mem_delete(r);
}

unsigned job_runner_workers(const JobRunner* r) { return r ? r->started : 0; }

double job_runner_job_seconds(const JobRunner* r) { return r ? static_cast<double>(r->job_ns.load()) * 1e-9 : 0.0; }
