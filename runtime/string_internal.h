#pragma once

#include <cstdint>

#include "runtime/string.h"

// Storage helpers shared by the String implementation files; not for use
// outside runtime/string*.cpp.
namespace string_detail {

uint64_t round32(uint64_t n);
// Grows the storage to exactly `capacity` when it is larger than now.
bool reallocate(String* s, uint64_t capacity);
// Assign rule: capacity at least round32(length), never shrinks.
bool reserve_for_assign(String* s, uint64_t length);
// Run rule: when n more do not fit, grow by max(n, capacity / 2), rounded.
bool reallocate_run(String* s, uint64_t n);
void free_cache(String* s);
// Negative positions count from the end; false outside 0..length.
bool resolve(const String* s, int64_t* pos);
bool resolve_range(const String* s, int64_t* start, int64_t* end);
// Makes sure the cache record exists; false when memory runs out.
bool ensure_cache(String* s);
// Grows the cache data to at least `bytes`, to `bytes + extra` when it must
// grow; false when memory runs out (cache unchanged).
bool cache_reserve(StringCache* c, uint64_t bytes, uint64_t extra);

}  // namespace string_detail
