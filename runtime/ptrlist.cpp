#include "runtime/ptrlist.h"

#include "runtime/alloc.h"

void ptrlist_init(PtrList* l) {
  l->count = 0;
  l->items = nullptr;
  l->capacity = 0;
}

static bool resize(PtrList* l, uint64_t capacity) {
  if (capacity > UINT64_MAX / sizeof(void*)) return false;
  void** p = static_cast<void**>(mem_realloc(l->items, capacity * sizeof(void*)));
  if (!p) return false;
  l->items = p;
  l->capacity = capacity;
  return true;
}

bool ptrlist_reserve(PtrList* l, uint64_t n) {
  uint64_t capacity = n < 32 ? 32 : n;
  // Never cut off pointers in use.
  if (capacity < l->count) capacity = l->count;
  return resize(l, capacity);
}

void** ptrlist_push(PtrList* l, void* p) {
  if (l->count + 1 > l->capacity) {
    uint64_t capacity = l->capacity + (l->capacity + 1) / 2 + 1;
    if (capacity < 32) capacity = 32;
    if (!resize(l, capacity)) return nullptr;
  }
  void** slot = l->items + l->count++;
  *slot = p;
  return slot;
}

void** ptrlist_push_short(PtrList* l, void* p) {
  if (l->count + 1 > l->capacity && l->capacity < 32) {
    uint64_t capacity = l->capacity + (l->capacity + 1) / 2 + 1;
    if (capacity < 2) capacity = 2;
    if (!resize(l, capacity)) return nullptr;
  }
  return ptrlist_push(l, p);
}

void ptrlist_swap(PtrList* a, PtrList* b) {
  PtrList t = *a;
  *a = *b;
  *b = t;
}

void ptrlist_release(PtrList* l) {
  mem_free(l->items);
  ptrlist_init(l);
}
