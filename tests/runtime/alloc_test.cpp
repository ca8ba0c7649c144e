#include "runtime/alloc.h"

#include <cstdint>
#include <cstring>
#include <thread>

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

TEST(Alloc, LargeBlocksAreKeptForReuse) {
  mem_release_kept();
  uint64_t live = alloc_live();
  const size_t big = size_t{3} << 20;
  unsigned char* p = static_cast<unsigned char*>(mem_alloc(big));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, big);
  mem_free(p);
  EXPECT_EQ(alloc_live(), live);

  // A slightly smaller request gets the same block back, as it was left.
  unsigned char* q = static_cast<unsigned char*>(mem_alloc(big - 4096));
  EXPECT_EQ(q, p);
  EXPECT_EQ(q[0], 0xAB);
  EXPECT_EQ(alloc_live(), live + 1);
  std::memset(q, 1, big - 4096);  // the whole request is usable
  mem_free(q);

  // From mem_calloc it comes back cleared.
  unsigned char* z = static_cast<unsigned char*>(mem_calloc(big / 8, 8));
  ASSERT_EQ(z, p);
  size_t nonzero = 0;
  for (size_t i = 0; i < big; ++i) nonzero += z[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  mem_free(z);

  // Injected failures still count a request that a kept block would serve.
  alloc_fail_after(1, false);
  EXPECT_EQ(mem_alloc(big), nullptr);
  alloc_fail_off();
  mem_release_kept();
  EXPECT_EQ(alloc_live(), live);
}

TEST(Alloc, KeptBlocksServeOnlyRequestsOfTheirSize) {
  mem_release_kept();
  const size_t big = size_t{4} << 20;
  void* p = mem_alloc(big);
  ASSERT_NE(p, nullptr);
  mem_free(p);
  // Far smaller, then larger than anything kept: fresh blocks, usable to
  // their end (under AddressSanitizer a wrongly reused kept block would
  // still be poisoned).
  void* small = mem_alloc(big / 2);
  ASSERT_NE(small, nullptr);
  std::memset(small, 2, big / 2);
  void* larger = mem_alloc(big * 2);
  ASSERT_NE(larger, nullptr);
  std::memset(larger, 3, big * 2);
  mem_free(small);
  mem_free(larger);
  mem_release_kept();
}

#if defined(__SANITIZE_ADDRESS__)
// A kept block is not freed, so AddressSanitizer learns of its state only
// through poisoning: a use after free, and an overrun of a reused block
// past the size asked for, must still be reported.
TEST(AllocDeathTest, KeptBlocksStayCheckedUnderAddressSanitizer) {
  const size_t big = size_t{2} << 20;
  EXPECT_DEATH(
      {
        mem_release_kept();
        volatile char* p = static_cast<char*>(mem_alloc(big));
        p[0] = 1;
        mem_free(const_cast<char*>(p));
        p[0] = 2;
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        mem_release_kept();
        mem_free(mem_alloc(big));
        volatile char* p = static_cast<char*>(mem_alloc(big - 100));
        p[big - 100] = 1;
      },
      "use-after-poison");
  // A mapped block's header and the slack past its end are out of bounds.
  EXPECT_DEATH(
      {
        mem_release_kept();
        volatile char* p = static_cast<char*>(mem_alloc((size_t{3} << 20) + 5));
        p[-1] = 1;
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        mem_release_kept();
        volatile char* p = static_cast<char*>(mem_alloc((size_t{3} << 20) + 5));
        p[(size_t{3} << 20) + 5] = 1;
      },
      "use-after-poison");
}
#endif

// Large blocks are mappings of their own, 64-byte aligned, zero when fresh
// or from mem_calloc, usable to the last byte, and they survive the
// realloc that grows and shrinks them with their contents.
TEST(Alloc, LargeBlocksAreMappedAndBehaveLikeHeapBlocks) {
  mem_release_kept();
  uint64_t live = alloc_live();
  const size_t big = (size_t{5} << 20) + 12345;
  unsigned char* p = static_cast<unsigned char*>(mem_calloc(big, 1));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(mem_is_mapped(p));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
  size_t nonzero = 0;
  for (size_t i = 0; i < big; ++i) nonzero += p[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  for (size_t i = 0; i < big; ++i) p[i] = static_cast<unsigned char>(i * 7);
  // Smaller blocks stay with the C allocator.
  void* small = mem_alloc(1000);
  EXPECT_FALSE(mem_is_mapped(small));
  mem_free(small);

  unsigned char* q = static_cast<unsigned char*>(mem_realloc(p, 3 * big));
  ASSERT_NE(q, nullptr);
  size_t wrong = 0;
  for (size_t i = 0; i < big; ++i) wrong += q[i] != static_cast<unsigned char>(i * 7);
  EXPECT_EQ(wrong, 0u);
  std::memset(q + big, 5, 2 * big);
  unsigned char* r = static_cast<unsigned char*>(mem_realloc(q, 100));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r[99], static_cast<unsigned char>(99 * 7));
  EXPECT_EQ(alloc_live(), live + 1);
  mem_free(r);

  // A failed realloc leaves the mapped block as it was.
  unsigned char* s = static_cast<unsigned char*>(mem_alloc(big));
  ASSERT_NE(s, nullptr);
  s[big - 1] = 42;
  alloc_fail_after(1, false);
  EXPECT_EQ(mem_realloc(s, 2 * big), nullptr);
  alloc_fail_off();
  EXPECT_EQ(s[big - 1], 42);
  mem_free(s);
  mem_release_kept();
  EXPECT_EQ(alloc_live(), live);
}

// Many threads allocating and freeing large and small blocks at once leave
// the counters and the kept blocks consistent.
TEST(Alloc, ThreadsShareTheAllocator) {
  mem_release_kept();
  uint64_t live = alloc_live();
  auto work = [](int seed) {
    for (int i = 0; i < 40; ++i) {
      size_t size = (i + seed) % 3 == 0 ? (size_t{3} << 20) : 4096;
      unsigned char* p = static_cast<unsigned char*>(mem_alloc(size));
      ASSERT_NE(p, nullptr);
      p[0] = p[size - 1] = static_cast<unsigned char>(seed);
      mem_free(p);
    }
  };
  std::thread a(work, 1), b(work, 2), c(work, 3);
  a.join();
  b.join();
  c.join();
  mem_release_kept();
  EXPECT_EQ(alloc_live(), live);
}
