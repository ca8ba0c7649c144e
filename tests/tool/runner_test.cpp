// The job runner: every job of a run is done once, the cursor sees each
// result in the run's order at any number of workers, a job that waits for
// an earlier one never hangs the run, and jobs not taken when the run stops
// never start.

#include "tool/runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Jobs in groups of `size`: the first of each group is its "master", the
// others wait until it is done, as a child waits for its master.
struct Groups {
  uint64_t size;
  std::vector<std::atomic<int>> runs;
  std::vector<std::atomic<bool>> done;
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<int> inline_runs{0};
  std::atomic<int> waited_for_later{0};

  Groups(uint64_t count, uint64_t group) : size(group), runs(count), done(count) {}

  static void body(void* self, uint64_t job, bool worker) {
    Groups& g = *static_cast<Groups*>(self);
    g.runs[job]++;
    if (!worker) g.inline_runs++;
    const uint64_t master = job - job % g.size;
    if (job != master) {
      std::unique_lock<std::mutex> hold(g.lock);
      if (!g.done[master]) g.waited_for_later++;
      g.changed.wait(hold, [&] { return g.done[master].load(); });
    } else {
      // A master takes a while, so that its children reach it first.
      std::this_thread::sleep_for(std::chrono::microseconds(200 + 50 * (job % 3)));
    }
    {
      std::lock_guard<std::mutex> hold(g.lock);
      g.done[job] = true;
    }
    g.changed.notify_all();
  }
};

TEST(JobRunner, EveryJobOnceInOrderAtAnyWorkerCountWithoutHanging) {
  for (unsigned workers : {0u, 1u, 2u, 3u, 8u, 64u}) {
    for (uint64_t group : {1u, 2u, 5u}) {
      SCOPED_TRACE(testing::Message() << workers << " workers, groups of " << group);
      const uint64_t count = 60;
      Groups g(count, group);
      JobRunner* r = job_runner_start(count, workers, Groups::body, &g);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(job_runner_workers(r), std::min<uint64_t>(workers, count));
      for (uint64_t i = 0; i < count; ++i) {
        ASSERT_TRUE(job_runner_wait(r, i));
        // The result is there when the cursor takes it.
        EXPECT_TRUE(g.done[i].load());
      }
      job_runner_finish(r);
      for (uint64_t i = 0; i < count; ++i) EXPECT_EQ(g.runs[i].load(), 1) << i;
      // Without workers the cursor runs each job itself, and a job's
      // master is always done before it starts.
      EXPECT_EQ(g.inline_runs.load(), workers == 0 ? static_cast<int>(count) : 0);
      if (workers == 0) {
        EXPECT_EQ(g.waited_for_later.load(), 0);
      }
    }
  }
}

// Jobs from the third on hold until the test lets them go.
struct Held {
  std::atomic<int> runs{0};
  std::atomic<bool> go{false};
  std::atomic<bool> last_ran{false};
  uint64_t count = 0;

  static void body(void* self, uint64_t job, bool) {
    Held& h = *static_cast<Held*>(self);
    h.runs++;
    if (job + 1 == h.count) h.last_ran = true;
    while (job >= 2 && !h.go.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
};

TEST(JobRunner, JobsNotTakenWhenTheRunStopsNeverStart) {
  for (unsigned workers : {0u, 2u}) {
    SCOPED_TRACE(testing::Message() << workers << " workers");
    Held h;
    h.count = 200;
    JobRunner* r = job_runner_start(h.count, workers, Held::body, &h);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(job_runner_wait(r, 0));
    ASSERT_TRUE(job_runner_wait(r, 1));
    job_runner_stop(r);
    h.go = true;
    EXPECT_FALSE(job_runner_wait(r, h.count - 1));
    job_runner_finish(r);
    // Each worker held at most one job when the run stopped; nothing after.
    EXPECT_GE(h.runs.load(), 2);
    EXPECT_LE(h.runs.load(), 2 + static_cast<int>(workers));
    EXPECT_FALSE(h.last_ran.load());
    EXPECT_GE(job_runner_job_seconds(nullptr), 0.0);
  }
}

}  // namespace
