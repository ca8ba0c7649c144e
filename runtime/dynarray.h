#pragma once

#include <cstdint>

// Array of fixed-size elements. A zeroed DynArray with elem_size set is
// empty and valid; elem_size is set by the owner once and never changed.
// Growth: m = n (1 when count and n are both 0); when count + m exceeds the
// capacity, t = capacity + m and the new capacity is t + t / 2, at least 32.
// Pointers into the data stay valid until the next growth.
struct DynArray {
  uint64_t count;
  void* data;          // mem_alloc'd, owned; null until the first growth
  uint64_t capacity;   // elements
  uint64_t elem_size;  // bytes per element
};

// Pointer to the first of n new (uninitialised) elements at the end; count
// += n. Null on allocation failure (array unchanged).
[[nodiscard]] void* dynarray_extend(DynArray* a, uint64_t n);
// As dynarray_extend, then copies n elements from src (src may not point
// into the array).
[[nodiscard]] void* dynarray_append(DynArray* a, uint64_t n, const void* src);
// When count >= n: count -= n and returns the first removed element (bytes
// readable until the next growth). Otherwise null, nothing changes.
void* dynarray_pop(DynArray* a, uint64_t n);
// Frees the storage; count and capacity become 0, elem_size is kept.
void dynarray_release(DynArray* a);
