#include "runtime/hash_map.h"

#include <cstring>

#include "runtime/alloc.h"
#include "runtime/string.h"

void hashmap_init(HashMap* m, HashMapHashFn hash, HashMapCompareFn compare, HashMapCopyFn copy,
                  HashMapReleaseFn release, uint64_t context) {
  m->count = 0;
  m->size = 0;
  m->buckets = nullptr;
  m->context = context;
  m->hash = hash;
  m->compare = compare;
  m->copy = copy;
  m->release = release;
}

uint64_t hash_cstr(const char* text) {
  uint64_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) h = *p ^ (h * 145u);
  return h;
}

static uint64_t cstr_hash(const void* key, uint64_t) { return hash_cstr(static_cast<const char*>(key)); }
static int cstr_compare(const void* a, const void* b, uint64_t) {
  return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}
static void* cstr_copy(const void* key, uint64_t) { return mem_strdup(static_cast<const char*>(key)); }
static void cstr_release(void* key) { mem_free(key); }

void hashmap_init_cstr(HashMap* m) { hashmap_init(m, cstr_hash, cstr_compare, cstr_copy, cstr_release, 0); }

// String keys cache their hash inside the String, hence the cast.
static uint64_t string_key_hash(const void* key, uint64_t) {
  return string_hash(const_cast<String*>(static_cast<const String*>(key)));
}
static int string_key_compare(const void* a, const void* b, uint64_t) {
  int64_t r = string_compare(static_cast<const String*>(a), static_cast<const String*>(b));
  return (r > 0) - (r < 0);
}
static void* string_key_copy(const void* key, uint64_t) { return string_clone(static_cast<const String*>(key)); }
static void string_key_release(void* key) { string_delete(static_cast<String*>(key)); }

void hashmap_init_string(HashMap* m) {
  hashmap_init(m, string_key_hash, string_key_compare, string_key_copy, string_key_release, 0);
}

static void* string_key_borrow(const void* key, uint64_t) { return const_cast<void*>(key); }
static void string_key_keep(void*) {}

void hashmap_init_string_borrowed(HashMap* m) {
  hashmap_init(m, string_key_hash, string_key_compare, string_key_borrow, string_key_keep, 0);
}

static HashMapNode* lookup(const HashMap* m, const void* key, uint64_t* hash_out) {
  uint64_t h = key ? m->hash(key, m->context) : 0;
  if (hash_out) *hash_out = h;
  if (m->size == 0) return nullptr;
  for (HashMapNode* n = m->buckets[h & (m->size - 1)].first; n; n = n->next) {
    if (!key) {
      if (!n->key) return n;
    } else if (n->key && n->hash == h && m->compare(key, n->key, m->context) == 0) {
      return n;
    }
  }
  return nullptr;
}

void* hashmap_get(const HashMap* m, const void* key, void* fallback) {
  HashMapNode* n = lookup(m, key, nullptr);
  return n ? n->value : fallback;
}

void** hashmap_find(const HashMap* m, const void* key) {
  HashMapNode* n = lookup(m, key, nullptr);
  return n ? &n->value : nullptr;
}

// Doubles the bucket array (or creates 16 buckets) and splits every chain:
// nodes with the new bit set move, in reverse order, to bucket i + size.
static bool grow(HashMap* m) {
  if (m->size == 0) {
    HashMapBucket* b = static_cast<HashMapBucket*>(mem_calloc(16, sizeof(HashMapBucket)));
    if (!b) return false;
    m->buckets = b;
    m->size = 16;
    return true;
  }
  uint64_t size = m->size;
  if (size > UINT64_MAX / (2 * sizeof(HashMapBucket))) return false;
  HashMapBucket* b = static_cast<HashMapBucket*>(mem_realloc(m->buckets, 2 * size * sizeof(HashMapBucket)));
  if (!b) return false;
  for (uint64_t i = 0; i < size; ++i) {
    HashMapBucket* low = &b[i];
    HashMapBucket* high = &b[i + size];
    high->count = 0;
    high->first = nullptr;
    HashMapNode** link = &low->first;
    while (HashMapNode* n = *link) {
      if (n->hash & size) {
        *link = n->next;
        n->next = high->first;
        high->first = n;
        --low->count;
        ++high->count;
      } else {
        link = &n->next;
      }
    }
  }
  m->buckets = b;
  m->size = 2 * size;
  return true;
}

void** hashmap_add(HashMap* m, const void* key, void* value) {
  uint64_t h;
  if (lookup(m, key, &h)) return nullptr;
  HashMapNode* n = static_cast<HashMapNode*>(mem_alloc(sizeof(HashMapNode)));
  if (!n) return nullptr;
  void* copy = nullptr;
  if (key) {
    copy = m->copy(key, m->context);
    if (!copy) {
      mem_free(n);
      return nullptr;
    }
  }
  if (m->count >= m->size && !grow(m)) {
    if (copy) m->release(copy);
    mem_free(n);
    return nullptr;
  }
  HashMapBucket* b = &m->buckets[h & (m->size - 1)];
  n->hash = h;
  n->key = copy;
  n->value = value;
  n->next = b->first;
  b->first = n;
  ++b->count;
  ++m->count;
  return &n->value;
}

static bool collect(const HashMap* m, PtrList* out, bool keys) {
  PtrList list;
  ptrlist_init(&list);
  if (!ptrlist_reserve(&list, m->count)) return false;
  for (uint64_t i = 0; i < m->size; ++i) {
    for (HashMapNode* n = m->buckets[i].first; n; n = n->next) {
      // The list holds count slots already, so no push can fail.
      void** slot = ptrlist_push(&list, keys ? n->key : n->value);
      (void)slot;
    }
  }
  ptrlist_swap(&list, out);
  ptrlist_release(&list);
  return true;
}

bool hashmap_keys(const HashMap* m, PtrList* out) { return collect(m, out, true); }
bool hashmap_values(const HashMap* m, PtrList* out) { return collect(m, out, false); }

void hashmap_clear(HashMap* m) {
  for (uint64_t i = 0; i < m->size; ++i) {
    HashMapNode* n = m->buckets[i].first;
    while (n) {
      HashMapNode* next = n->next;
      if (n->key) m->release(n->key);
      mem_free(n);
      n = next;
    }
    m->buckets[i].first = nullptr;
    m->buckets[i].count = 0;
  }
  mem_free(m->buckets);
  m->buckets = nullptr;
  m->count = 0;
  m->size = 0;
}
