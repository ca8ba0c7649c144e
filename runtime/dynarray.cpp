#include "runtime/dynarray.h"

#include <cstring>

#include "runtime/alloc.h"

void* dynarray_extend(DynArray* a, uint64_t n) {
  uint64_t m = (a->count == 0 && n == 0) ? 1 : n;
  if (m > UINT64_MAX / 4 - a->count) return nullptr;
  if (a->count + m > a->capacity) {
    uint64_t t = a->capacity + m;
    uint64_t capacity = t + t / 2;
    if (capacity < 32) capacity = 32;
    if (a->elem_size && capacity > UINT64_MAX / a->elem_size) return nullptr;
    void* p = mem_realloc(a->data, capacity * a->elem_size);
    if (!p) return nullptr;
    a->data = p;
    a->capacity = capacity;
  }
  void* first = static_cast<char*>(a->data) + a->count * a->elem_size;
  a->count += n;
  return first;
}

void* dynarray_append(DynArray* a, uint64_t n, const void* src) {
  void* first = dynarray_extend(a, n);
  if (first && n) std::memcpy(first, src, n * a->elem_size);
  return first;
}

void* dynarray_pop(DynArray* a, uint64_t n) {
  if (a->count < n || !a->data) return nullptr;
  a->count -= n;
  return static_cast<char*>(a->data) + a->count * a->elem_size;
}

void dynarray_release(DynArray* a) {
  mem_free(a->data);
  a->data = nullptr;
  a->count = 0;
  a->capacity = 0;
}
