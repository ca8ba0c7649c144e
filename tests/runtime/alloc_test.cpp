#include "runtime/alloc.h"

#include <cstdint>

#include <gtest/gtest.h>

#include "tests/support/alloc_fail.h"

TEST(Alloc, NthAllocationFailsOnce) {
  alloc_fail_after(2, false);
  void* a = mem_alloc(8);
  void* b = mem_alloc(8);
  void* c = mem_alloc(8);
  alloc_fail_off();
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  mem_free(a);
  mem_free(c);
}

TEST(Alloc, StickyFailureKeepsFailing) {
  alloc_fail_after(1, true);
  EXPECT_EQ(mem_alloc(8), nullptr);
  EXPECT_EQ(mem_calloc(2, 8), nullptr);
  alloc_fail_off();
  void* p = mem_alloc(8);
  EXPECT_NE(p, nullptr);
  mem_free(p);
}

TEST(Alloc, FailedReallocKeepsBlock) {
  char* p = static_cast<char*>(mem_alloc(4));
  ASSERT_NE(p, nullptr);
  p[0] = 'x';
  alloc_fail_after(1, false);
  EXPECT_EQ(mem_realloc(p, 1000), nullptr);
  alloc_fail_off();
  EXPECT_EQ(p[0], 'x');
  mem_free(p);
}

TEST(Alloc, AlignedBlocks) {
  uint64_t live = alloc_live();
  for (size_t align : {16u, 64u, 256u}) {
    for (int i = 0; i < 20; ++i) {
      void* p = mem_alloc_aligned(100 + i, align);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
      mem_free_aligned(p);
    }
  }
  EXPECT_EQ(alloc_live(), live);
}

TEST(Alloc, SweepStopsWhenNothingFails) {
  int runs = 0;
  for_each_alloc_failure([&] {
    ++runs;
    void* a = mem_alloc(1);
    void* b = mem_alloc(1);
    mem_free(a);
    mem_free(b);
  });
  EXPECT_EQ(runs, 3);
}
