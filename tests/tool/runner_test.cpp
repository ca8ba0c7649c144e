// The job runner: every job of a run is done once, the cursor sees each
// result in the run's order at any number of workers, a job that waits for
// an earlier one never hangs the run, and jobs not taken when the run stops
// never start.

#include "tool/runner.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "analysis/sample.h"
#include "audio/sample_file.h"
#include "runtime/string.h"
#include "tests/support/alloc_fail.h"
#include "tool/entry.h"

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

// A whole run with two workers, with every allocation of the run failing
// in turn: each ends (a child whose master could not even be given its
// state waits at the group's gate all the same), frees everything, and the
// run without a failure succeeds.
TEST(JobRunner, WholeParallelRunSurvivesEveryFailingAllocation) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("runner_alloc_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const char* names[] = {"m.wav", "a.wav", "b.wav"};
  for (unsigned f = 0; f < 3; ++f) {
    Sample s;
    sample_init(s);
    ASSERT_TRUE(sample_allocate(s, 1, 9600, 9600));
    s.sample_rate = 48000;
    uint32_t x = 7 + f;
    for (uint64_t i = 0; i < s.length; ++i) {
      x = x * 1664525u + 1013904223u;
      s.data[i] = static_cast<float>(static_cast<int32_t>(x)) * (0.2f + 0.1f * f) / 2147483648.0f;
    }
    String path;
    string_init(&path);
    const std::string name = (dir / names[f]).string();
    ASSERT_TRUE(string_from_utf8(&path, name.data(), name.size()));
    EXPECT_EQ(sample_save_file(s, path, 0, static_cast<int64_t>(s.length)), static_cast<int64_t>(s.length));
    string_free(&path);
    sample_destroy(s);
  }
  const std::string d = dir.string();
  for_each_alloc_failure([&] {
    fs::remove_all(dir / "out");
    std::vector<std::string> args = {"timbral", "-mf", d + "/m.wav", "-cf", d + "/a.wav", "-cf", d + "/b.wav",
                                     "-d", d + "/out", "-j", "2", "-r", d + "/out/rep", "-fr", "8",
                                     "-lu", "-20", "-tl", "-1"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int st = tool_main(static_cast<int>(args.size()), argv.data());
    if (!alloc_failure_hit()) {
      EXPECT_EQ(st, 0);
    }
  });
  fs::remove_all(dir);
}

}  // namespace
