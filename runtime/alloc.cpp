#include "runtime/alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// The allocator is shared by every thread of a run (children may be
// processed in parallel): the counters are atomic, and the kept blocks and
// the list of mapped blocks sit behind one lock. Only large requests take
// the lock, and those are few per file.
std::mutex g_lock;
std::atomic<uint64_t> g_countdown{0};  // 0: no injection
std::atomic<bool> g_sticky{false};
std::atomic<bool> g_failing{false};
std::atomic<uint64_t> g_live{0};
std::atomic<uint64_t> g_failures{0};

// True when this allocation is to fail.
bool inject() {
  if (g_failing.load(std::memory_order_relaxed)) {
    ++g_failures;
    return true;
  }
  if (g_countdown.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  uint64_t left = g_countdown.load();
  if (left == 0) return false;
  g_countdown.store(left - 1);
  if (left == 1) {
    g_failing.store(g_sticky.load());
    ++g_failures;
    return true;
  }
  return false;
}

size_t page_size() {
  static const size_t page = size_t(sysconf(_SC_PAGESIZE));
  return page;
}

// Blocks this large are written from end to end right after allocation.
// Mapping all their pages in one call costs far less than one fault per
// page.
constexpr size_t kPrefaultBytes = size_t{1} << 20;

void prefault(void* p, size_t size) {
#ifdef MADV_POPULATE_WRITE
  if (size < kPrefaultBytes) return;
  uintptr_t page = page_size();
  uintptr_t lo = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t hi = (reinterpret_cast<uintptr_t>(p) + size) & ~(page - 1);
  // Only a hint: on failure the pages simply fault in on first use.
  if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)size;
#endif
}

// Requests of kMapBytes or more get a mapping of their own that starts on
// a 2 MiB boundary. Where the system offers transparent huge pages, the
// whole 2 MiB steps of it are asked for as huge pages, so a sample buffer
// of tens of megabytes costs a dozen page faults and page clears instead
// of thousands; its last partial step stays on small pages, so no more
// memory becomes resident than was asked for (rounded to a small page).
// Where huge pages are off, it is a plain mapping, which costs what the C
// allocator's own mapping of a large block costs.
//
// Layout: a 64-byte header at the start of the mapping, the block right
// after it (so blocks keep the 64-byte alignment of the mapping). A block
// is recognised by its offset inside the 2 MiB step and then confirmed in
// the list of live mappings; the list is short (one entry per large
// buffer alive).
constexpr size_t kHugeBytes = size_t{2} << 20;
constexpr size_t kMapBytes = kHugeBytes;
constexpr size_t kHeader = 64;

struct alignas(64) MapHeader {
  MapHeader* next;
  MapHeader* prev;
  size_t mapped;  // bytes of the whole mapping, header included
  size_t asked;   // bytes the block was last handed out for
};
static_assert(sizeof(MapHeader) == kHeader);

MapHeader* g_maps = nullptr;  // under g_lock

// Under AddressSanitizer the header is poisoned while the block is out, so
// an underrun of a mapped block is reported like one of a heap block; only
// the allocator opens it.
struct OpenHeader {
  MapHeader* h;
  explicit OpenHeader(MapHeader* header) : h(header) { TIMBRAL_UNPOISON(h, kHeader); }
  ~OpenHeader() { TIMBRAL_POISON(h, kHeader); }
};

bool maybe_mapped(const void* p) { return (reinterpret_cast<uintptr_t>(p) & (kHugeBytes - 1)) == kHeader; }

// Caller holds g_lock.
MapHeader* find_mapping(const void* p) {
  if (!maybe_mapped(p)) return nullptr;
  const MapHeader* want = reinterpret_cast<const MapHeader*>(static_cast<const unsigned char*>(p) - kHeader);
  for (MapHeader* h = g_maps; h;) {
    OpenHeader open(h);
    if (h == want) return h;
    h = h->next;
  }
  return nullptr;
}

// A fresh mapped block of at least `size` usable bytes (zero-filled, all
// pages already present), or null.
void* map_block(size_t size) {
  size_t page = page_size();
  if (size > SIZE_MAX - kHeader - kHugeBytes - page) return nullptr;
  size_t mapped = (size + kHeader + page - 1) & ~(page - 1);
  size_t span = mapped + kHugeBytes;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t lo = reinterpret_cast<uintptr_t>(raw);
  uintptr_t base = (lo + kHugeBytes - 1) & ~uintptr_t(kHugeBytes - 1);
  if (base > lo) munmap(raw, base - lo);
  uintptr_t end = lo + span;
  if (end > base + mapped) munmap(reinterpret_cast<void*>(base + mapped), end - (base + mapped));
#ifdef MADV_HUGEPAGE
  size_t whole = mapped & ~(kHugeBytes - 1);
  // Only a hint: refused where huge pages are off.
  if (whole > 0) (void)madvise(reinterpret_cast<void*>(base), whole, MADV_HUGEPAGE);
#endif
  prefault(reinterpret_cast<void*>(base), mapped);
  MapHeader* h = reinterpret_cast<MapHeader*>(base);
  h->mapped = mapped;
  h->asked = size;
  h->prev = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    h->next = g_maps;
    if (g_maps) {
      OpenHeader open(g_maps);
      g_maps->prev = h;
    }
    g_maps = h;
  }
  unsigned char* p = reinterpret_cast<unsigned char*>(base) + kHeader;
  TIMBRAL_POISON(h, kHeader);
  TIMBRAL_POISON(p + size, mapped - kHeader - size);
  return p;
}

// Caller holds g_lock; h is in the list.
void unmap_block(MapHeader* h) {
  size_t mapped;
  {
    OpenHeader open(h);
    if (h->prev) {
      OpenHeader o(h->prev);
      h->prev->next = h->next;
    } else {
      g_maps = h->next;
    }
    if (h->next) {
      OpenHeader o(h->next);
      h->next->prev = h->prev;
    }
    mapped = h->mapped;
  }
  TIMBRAL_UNPOISON(h, mapped);
  munmap(h, mapped);
}

// Usable bytes of a block: the mapping less its header, or what the C
// allocator reports. Caller holds g_lock.
size_t usable_size(void* p, MapHeader* h) {
  if (h) {
    OpenHeader open(h);
    return h->mapped - kHeader;
  }
#ifdef TIMBRAL_KEEP_BLOCKS
  return malloc_usable_size(p);
#else
  (void)p;
  return 0;
#endif
}

// Caller holds g_lock.
void give_back(void* p) {
  if (MapHeader* h = find_mapping(p))
    unmap_block(h);
  else
    std::free(p);
}

// Large blocks that are freed are kept for the next large request instead
// of going back to the system. A batch run allocates the same few audio
// buffers for every file it processes; a fresh block costs a page fault and
// a page clear by the kernel for every page, a kept one nothing. Kept
// blocks never add to the peak: a request that no kept block fits releases
// them all before it takes fresh memory. A kept block is reused only for a
// request of at least four fifths of its size, so a reused block is at most
// a quarter larger than asked for.
constexpr size_t kKeepBytes = size_t{1} << 20;
constexpr int kKeepSlots = 4;

struct Kept {
  void* block;
  size_t size;  // usable bytes
};

Kept g_kept[kKeepSlots];  // under g_lock
int g_kept_count = 0;

// Caller holds g_lock.
void release_kept() {
  for (int i = 0; i < g_kept_count; ++i) {
    TIMBRAL_UNPOISON(g_kept[i].block, g_kept[i].size);
    give_back(g_kept[i].block);
  }
  g_kept_count = 0;
}

// A kept block for `size` bytes, or null (after releasing every kept block)
// when none fits. Under AddressSanitizer a kept block is poisoned, and the
// part of a reused one past `size` stays poisoned, so overruns and uses
// after free are still caught.
void* take_kept(size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
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
  if (MapHeader* h = find_mapping(p)) {
    OpenHeader open(h);
    h->asked = size;
  }
  TIMBRAL_UNPOISON(p, size);
  return p;
}

// Keeps `p` when it is large (the oldest kept block makes room when all
// slots are taken), or gives it back.
void release(void* p) {
  std::lock_guard<std::mutex> hold(g_lock);
  MapHeader* h = find_mapping(p);
  size_t size = usable_size(p, h);
  if (size < kKeepBytes) {
    if (h)
      unmap_block(h);
    else
      std::free(p);
    return;
  }
  if (g_kept_count == kKeepSlots) {
    TIMBRAL_UNPOISON(g_kept[0].block, g_kept[0].size);
    give_back(g_kept[0].block);
    for (int i = 1; i < kKeepSlots; ++i) g_kept[i - 1] = g_kept[i];
    --g_kept_count;
  }
  TIMBRAL_POISON(p, size);
  g_kept[g_kept_count++] = {p, size};
}

// A block of `size` bytes: kept, mapped when large, or from the C
// allocator (pre-faulted when large). `zeroed` clears it.
void* obtain(size_t size, bool zeroed) {
  void* p = nullptr;
  if (size >= kKeepBytes) p = take_kept(size);
  if (p) {
    if (zeroed) std::memset(p, 0, size);
  } else if (size >= kMapBytes) {
    p = map_block(size);  // fresh mappings read as zeros
    if (!p) return nullptr;
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

void mem_release_kept() {
  std::lock_guard<std::mutex> hold(g_lock);
  release_kept();
}

void* mem_realloc(void* ptr, size_t size) {
  if (!ptr) return mem_alloc(size);
  if (size == 0) {
    mem_free(ptr);
    return nullptr;
  }
  if (inject()) return nullptr;
  size_t have;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    MapHeader* h = find_mapping(ptr);
    if (!h) return std::realloc(ptr, size);
    OpenHeader open(h);
    have = h->asked;
  }
  // A mapped block moves to a fresh block of the new size.
  void* q = obtain(size, false);
  if (!q) return nullptr;
  std::memcpy(q, ptr, have < size ? have : size);
  mem_free(ptr);
  return q;
}

void mem_free(void* ptr) {
  if (!ptr) return;
  --g_live;
#ifdef TIMBRAL_KEEP_BLOCKS
  release(ptr);
#else
  std::lock_guard<std::mutex> hold(g_lock);
  give_back(ptr);
#endif
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

bool mem_is_mapped(const void* ptr) {
  std::lock_guard<std::mutex> hold(g_lock);
  return find_mapping(ptr) != nullptr;
}

void alloc_fail_after(uint64_t n, bool sticky) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_countdown = n;
  g_sticky = sticky;
  g_failing = false;
}

void alloc_fail_off() { alloc_fail_after(0, false); }

uint64_t alloc_live() { return g_live; }

uint64_t alloc_failures() { return g_failures; }
