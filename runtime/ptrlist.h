#pragma once

#include <cstdint>

// Growable list of pointers; it never owns the pointed-to objects.
// Push growth: capacity + (capacity + 1) / 2 + 1, at least 32
// (0 -> 32 -> 49 -> 74 ...).
struct PtrList {
  uint64_t count;
  void** items;       // mem_alloc'd, owned; null until the first growth
  uint64_t capacity;  // slots
};

void ptrlist_init(PtrList* l);
// Reallocates the slots to max(32, n) and sets the capacity to that (this may
// also shrink; callers reserve at least count). False on failure, unchanged.
[[nodiscard]] bool ptrlist_reserve(PtrList* l, uint64_t n);
// Appends p; returns the slot now holding it, or null on failure (unchanged).
[[nodiscard]] void** ptrlist_push(PtrList* l, void* p);
// As ptrlist_push, for lists held by the thousand that mostly stay short
// (the children of a group): below 32 slots the list grows from 2
// (0 -> 2 -> 4 -> 7 -> 12 -> 19 -> 30 -> 46 -> 70 ...).
[[nodiscard]] void** ptrlist_push_short(PtrList* l, void* p);
void ptrlist_swap(PtrList* a, PtrList* b);
// Frees the slots; count and capacity become 0. Zeroed lists are fine.
void ptrlist_release(PtrList* l);
