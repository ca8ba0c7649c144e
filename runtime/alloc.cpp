#include "runtime/alloc.h"

#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {

uint64_t g_countdown = 0;  // 0: no injection
bool g_sticky = false;
bool g_failing = false;
uint64_t g_live = 0;
uint64_t g_failures = 0;

// True when this allocation is to fail.
bool inject() {
  if (g_failing) {
    ++g_failures;
    return true;
  }
  if (g_countdown == 0) return false;
  if (--g_countdown == 0) {
    g_failing = g_sticky;
    ++g_failures;
    return true;
  }
  return false;
}

// Blocks this large come straight from the system as untouched pages, and
// audio buffers are written from end to end right after allocation. Mapping
// all their pages in one call costs far less than one fault per page.
constexpr size_t kPrefaultBytes = size_t{1} << 20;

void prefault(void* p, size_t size) {
#ifdef MADV_POPULATE_WRITE
  if (size < kPrefaultBytes) return;
  uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  uintptr_t lo = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t hi = (reinterpret_cast<uintptr_t>(p) + size) & ~(page - 1);
  // Only a hint: on failure the pages simply fault in on first use.
  if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)size;
#endif
}

}  // namespace

void* mem_alloc(size_t size) {
  if (inject()) return nullptr;
  void* p = std::malloc(size ? size : 1);
  if (p) {
    ++g_live;
    prefault(p, size);
  }
  return p;
}

void* mem_calloc(size_t count, size_t size) {
  if (inject()) return nullptr;
  if (count == 0 || size == 0) count = size = 1;
  void* p = std::calloc(count, size);
  if (p) {
    ++g_live;
    prefault(p, count * size);
  }
  return p;
}

void* mem_realloc(void* ptr, size_t size) {
  if (!ptr) return mem_alloc(size);
  if (size == 0) {
    mem_free(ptr);
    return nullptr;
  }
  if (inject()) return nullptr;
  return std::realloc(ptr, size);
}

void mem_free(void* ptr) {
  if (!ptr) return;
  --g_live;
  std::free(ptr);
}

char* mem_strdup(const char* text) {
  size_t n = std::strlen(text) + 1;
  char* p = static_cast<char*>(mem_alloc(n));
  if (p) std::memcpy(p, text, n);
  return p;
}

void* mem_alloc_aligned(size_t size, size_t align) {
  if (size > SIZE_MAX - align) return nullptr;
  unsigned char* raw = static_cast<unsigned char*>(mem_alloc(size + align));
  if (!raw) return nullptr;
  uintptr_t a = (reinterpret_cast<uintptr_t>(raw) + align) & ~(uintptr_t)(align - 1);
  unsigned char* p = reinterpret_cast<unsigned char*>(a);
  p[-1] = static_cast<unsigned char>(p - raw);  // 1 .. align
  return p;
}

void mem_free_aligned(void* ptr) {
  if (!ptr) return;
  unsigned char* p = static_cast<unsigned char*>(ptr);
  mem_free(p - (p[-1] ? p[-1] : 256));
}

void alloc_fail_after(uint64_t n, bool sticky) {
  g_countdown = n;
  g_sticky = sticky;
  g_failing = false;
}

void alloc_fail_off() { alloc_fail_after(0, false); }

uint64_t alloc_live() { return g_live; }

uint64_t alloc_failures() { return g_failures; }
