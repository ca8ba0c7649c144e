#pragma once

#include <cstdint>

#include "runtime/ptrlist.h"

// Chained hash map with pluggable key functions and a deterministic
// iteration order: buckets 0..size-1, each chain from head to tail. New
// nodes go to the head of bucket hash & (size - 1); when count >= size the
// bucket array doubles (0 -> 16 -> 32 ...) before linking, and each old chain
// is split in one pass: nodes with the `size` bit set in their hash are
// pushed onto the head of bucket i + size (so they end up reversed), the
// others keep their order.
//
// The map owns its nodes and key copies, never the values. The null key is
// allowed once (hash 0, bucket 0). There is no removal of single entries.
// Value slots stay valid until the map is cleared.

typedef uint64_t (*HashMapHashFn)(const void* key, uint64_t context);
typedef int (*HashMapCompareFn)(const void* a, const void* b, uint64_t context);  // 0 = equal
typedef void* (*HashMapCopyFn)(const void* key, uint64_t context);  // null on failure
typedef void (*HashMapReleaseFn)(void* key);

struct HashMapNode {
  uint64_t hash;
  void* key;  // owned copy, or null for the null key
  void* value;
  HashMapNode* next;
};

struct HashMapBucket {
  uint64_t count;
  HashMapNode* first;
};

struct HashMap {
  uint64_t count;
  uint64_t size;  // buckets: 0 before the first insertion, then a power of two >= 16
  HashMapBucket* buckets;
  uint64_t context;
  HashMapHashFn hash;
  HashMapCompareFn compare;
  HashMapCopyFn copy;
  HashMapReleaseFn release;
};

// Sets up an empty map with the given key functions.
void hashmap_init(HashMap* m, HashMapHashFn hash, HashMapCompareFn compare, HashMapCopyFn copy,
                  HashMapReleaseFn release, uint64_t context);
// Keys are NUL-terminated byte strings: h = c ^ (h * 145) over the bytes,
// strcmp, mem_strdup, mem_free.
void hashmap_init_cstr(HashMap* m);
// Keys are String*: string_hash, string_compare, string_clone, string_delete.
// String keys passed in must be modifiable objects (their hash is cached).
void hashmap_init_string(HashMap* m);
// Keys are String*, compared and hashed as above, that are not copied: the
// map keeps the pointer it was given, whose String must outlive the entry
// (a name inside the value itself, for maps of many entries).
void hashmap_init_string_borrowed(HashMap* m);

// The value stored under key, or `fallback`.
void* hashmap_get(const HashMap* m, const void* key, void* fallback);
// The value slot of key's node, or null.
void** hashmap_find(const HashMap* m, const void* key);
// Adds key (copied) with value; returns the new value slot, or null when the
// key is present (the old value is kept) or an allocation failed (map
// unchanged). Use hashmap_find first to tell the two apart.
[[nodiscard]] void** hashmap_add(HashMap* m, const void* key, void* value);
// Builds a list of the keys (the map's own copies) / values in iteration
// order and swaps it into *out; the previous contents of *out are released.
// False on failure (*out unchanged).
[[nodiscard]] bool hashmap_keys(const HashMap* m, PtrList* out);
[[nodiscard]] bool hashmap_values(const HashMap* m, PtrList* out);
// Releases every node and key copy, frees the buckets; count and size become
// 0; key functions kept, values untouched. Zeroed maps are fine.
void hashmap_clear(HashMap* m);

// The byte-string hash of hashmap_init_cstr, for callers that need it.
uint64_t hash_cstr(const char* text);
