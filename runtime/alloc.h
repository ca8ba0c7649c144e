#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

// Every allocation of the project goes through these functions, so that a
// test can make the n-th allocation fail and check the failure path
// (status 5, object unchanged, nothing leaked). They behave like malloc,
// calloc, realloc and free; mem_realloc(p, 0) frees p and returns null.
// Freed blocks of 1 MB or more are kept for reuse by the next large request
// (a reused block is not cleared unless it comes from mem_calloc);
// mem_release_kept() hands them back to the system. Blocks of 2 MiB or more
// are mappings of their own, on transparent huge pages where the system
// offers them; their pages are all present when the block is handed out.
// Safe to call from several threads at once.
void* mem_alloc(size_t size);
void* mem_calloc(size_t count, size_t size);
void* mem_realloc(void* ptr, size_t size);
void mem_free(void* ptr);
char* mem_strdup(const char* text);
void mem_release_kept();

// Over-allocates by `align` bytes and returns the first address aligned to
// `align` (a power of two, at most 256) inside the block; the matching free
// is mem_free_aligned. Used for the 16- and 64-byte aligned work blocks of
// the signal code.
void* mem_alloc_aligned(size_t size, size_t align);
void mem_free_aligned(void* ptr);

// True when `ptr` (a block from these functions) is a mapping of its own.
// For tests.
bool mem_is_mapped(const void* ptr);

// Constructs a T in memory from mem_alloc (no exceptions: null on failure).
template <class T, class... Args>
T* mem_new(Args&&... args) {
  void* p = mem_alloc(sizeof(T));
  if (!p) return nullptr;
  return new (p) T(std::forward<Args>(args)...);
}

template <class T>
void mem_delete(T* p) {
  if (!p) return;
  p->~T();
  mem_free(p);
}

// Test hooks. After alloc_fail_after(n, sticky), the n-th allocation from
// now (n >= 1) fails, and with sticky every one after it too. n = 0 turns
// failure injection off. alloc_live() counts blocks handed out and not yet
// freed, for leak checks; alloc_failures() counts injected failures.
void alloc_fail_after(uint64_t n, bool sticky);
void alloc_fail_off();
uint64_t alloc_live();
uint64_t alloc_failures();
