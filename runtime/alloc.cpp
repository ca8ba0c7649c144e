#include "runtime/alloc.h"

#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#define TIMBRAL_KEEP_BLOCKS 1
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TIMBRAL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TIMBRAL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define TIMBRAL_POISON(p, n) ((void)(p), (void)(n))
#define TIMBRAL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

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

// Large blocks that are freed are kept for the next large request instead
// of going back to the system. A batch run allocates the same few audio
// buffers for every file it processes; a fresh block costs a page fault and
// a page clear by the kernel for every 4 KB, a kept one nothing. Kept
// blocks never add to the peak: a request that no kept block fits releases
// them all before it takes fresh memory. A kept block is reused only for a
// request of at least four fifths of its size, so a reused block is at most
// a quarter larger than asked for. (The C allocator returns large freed
// blocks to the system, so its own free lists do not help.)
constexpr size_t kKeepBytes = size_t{1} << 20;
constexpr int kKeepSlots = 4;

struct Kept {
  void* block;
  size_t size;  // usable bytes
};

Kept g_kept[kKeepSlots];
int g_kept_count = 0;

void release_kept() {
  for (int i = 0; i < g_kept_count; ++i) {
    TIMBRAL_UNPOISON(g_kept[i].block, g_kept[i].size);
    std::free(g_kept[i].block);
  }
  g_kept_count = 0;
}

// A kept block for `size` bytes, or null (after releasing every kept block)
// when none fits. Under AddressSanitizer a kept block is poisoned, and the
// part of a reused one past `size` stays poisoned, so overruns and uses
// after free are still caught.
void* take_kept(size_t size) {
  int best = -1;
  for (int i = 0; i < g_kept_count; ++i) {
    size_t have = g_kept[i].size;
    if (have >= size && have - size <= have / 5 && (best < 0 || have < g_kept[best].size)) best = i;
  }
  if (best < 0) {
    release_kept();
    return nullptr;
  }
  void* p = g_kept[best].block;
  g_kept[best] = g_kept[--g_kept_count];
  TIMBRAL_UNPOISON(p, size);
  return p;
}

// True when `p` was kept; the oldest kept block makes room when all slots
// are taken.
bool keep(void* p) {
#ifdef TIMBRAL_KEEP_BLOCKS
  size_t size = malloc_usable_size(p);
  if (size < kKeepBytes) return false;
  if (g_kept_count == kKeepSlots) {
    TIMBRAL_UNPOISON(g_kept[0].block, g_kept[0].size);
    std::free(g_kept[0].block);
    for (int i = 1; i < kKeepSlots; ++i) g_kept[i - 1] = g_kept[i];
    --g_kept_count;
  }
  TIMBRAL_POISON(p, size);
  g_kept[g_kept_count++] = {p, size};
  return true;
#else
  (void)p;
  return false;
#endif
}

// A block of `size` bytes: kept, or fresh from the allocator (pre-faulted
// when large). `zeroed` clears it.
void* obtain(size_t size, bool zeroed) {
  void* p = nullptr;
  if (size >= kKeepBytes) p = take_kept(size);
  if (p) {
    if (zeroed) std::memset(p, 0, size);
  } else {
    p = zeroed ? std::calloc(size, 1) : std::malloc(size);
    if (!p) return nullptr;
    prefault(p, size);
  }
  ++g_live;
  return p;
}

}  // namespace

void* mem_alloc(size_t size) {
  if (inject()) return nullptr;
  return obtain(size ? size : 1, false);
}

void* mem_calloc(size_t count, size_t size) {
  if (inject()) return nullptr;
  if (count == 0 || size == 0) count = size = 1;
  if (count > SIZE_MAX / size) return nullptr;
  return obtain(count * size, true);
}

void mem_release_kept() { release_kept(); }

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
  if (!keep(ptr)) std::free(ptr);
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
