#pragma once

#include <cstdint>

#include <gtest/gtest.h>

#include "runtime/alloc.h"

// SQLite-style allocation-failure sweep. `op` must be self-contained: set up
// its objects, run the operation under test, assert on the outcome and
// release everything. It runs once with the first allocation failing, once
// with the second failing, and so on, until a run completes without any
// injected failure. After every run the number of live blocks must be what
// it was before (no leak). Inside `op`, alloc_failure_hit() tells whether the
// injected failure has happened yet in this run.
namespace testing_support {

extern uint64_t g_failures_at_start;

inline bool alloc_failure_hit() { return alloc_failures() != g_failures_at_start; }

template <class Op>
void for_each_alloc_failure(Op&& op, uint64_t max_runs = 200000) {
  for (uint64_t k = 1; k <= max_runs; ++k) {
    uint64_t live = alloc_live();
    g_failures_at_start = alloc_failures();
    alloc_fail_after(k, false);
    op();
    alloc_fail_off();
    bool hit = alloc_failure_hit();
    EXPECT_EQ(alloc_live(), live) << "blocks leaked with allocation " << k << " failing";
    if (::testing::Test::HasFatalFailure()) return;
    if (!hit) return;
  }
  ADD_FAILURE() << "operation did not finish within " << max_runs << " allocations";
}

}  // namespace testing_support

using testing_support::alloc_failure_hit;
using testing_support::for_each_alloc_failure;
