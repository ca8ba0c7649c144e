#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/dynarray.h"
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/string.h"
#include "tests/support/alloc_fail.h"

namespace {

TEST(DynArray, GrowthPopAndRelease) {
  DynArray a{0, nullptr, 0, sizeof(int)};
  void* p = dynarray_extend(&a, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(a.count, 0u);
  EXPECT_EQ(a.capacity, 32u);
  dynarray_release(&a);

  for (int i = 0; i < 33; ++i) {
    ASSERT_NE(dynarray_append(&a, 1, &i), nullptr);
    if (i == 0) {
      EXPECT_EQ(a.capacity, 32u);
    }
  }
  EXPECT_EQ(a.capacity, 49u);
  EXPECT_EQ(static_cast<int*>(a.data)[32], 32);
  EXPECT_EQ(dynarray_pop(&a, 34), nullptr);
  EXPECT_EQ(a.count, 33u);
  int* top = static_cast<int*>(dynarray_pop(&a, 2));
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top[0], 31);
  EXPECT_EQ(top[1], 32);
  EXPECT_EQ(a.count, 31u);
  dynarray_release(&a);
  dynarray_release(&a);
  EXPECT_EQ(a.capacity, 0u);
  EXPECT_EQ(a.elem_size, sizeof(int));

  for_each_alloc_failure([] {
    DynArray b{0, nullptr, 0, 8};
    char block[8 * 40] = {};
    if (!dynarray_append(&b, 10, block)) return;
    if (!dynarray_append(&b, 40, block)) {
      EXPECT_EQ(b.count, 10u);
      EXPECT_EQ(b.capacity, 32u);
    }
    dynarray_release(&b);
  });
}

TEST(PtrList, PushReserveSwap) {
  PtrList l;
  ptrlist_init(&l);
  int x;
  for (int i = 0; i < 33; ++i) {
    void** slot = ptrlist_push(&l, &x);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, &x);
    if (i == 0) {
      EXPECT_EQ(l.capacity, 32u);
    }
  }
  EXPECT_EQ(l.capacity, 49u);
  PtrList m;
  ptrlist_init(&m);
  ASSERT_TRUE(ptrlist_reserve(&m, 5));
  EXPECT_EQ(m.capacity, 32u);
  ASSERT_TRUE(ptrlist_reserve(&m, 100));
  EXPECT_EQ(m.capacity, 100u);
  ptrlist_swap(&l, &m);
  EXPECT_EQ(l.count, 0u);
  EXPECT_EQ(m.count, 33u);
  ptrlist_release(&l);
  ptrlist_release(&m);
  ptrlist_release(&m);

  // A short list starts at 2 slots and grows as any list from 32 on.
  std::vector<uint64_t> caps;
  for (int i = 0; i < 50; ++i) {
    ASSERT_NE(ptrlist_push_short(&l, &x), nullptr);
    if (caps.empty() || caps.back() != l.capacity) caps.push_back(l.capacity);
  }
  EXPECT_EQ(caps, (std::vector<uint64_t>{2, 4, 7, 12, 19, 30, 46, 70}));
  EXPECT_EQ(l.count, 50u);
  ptrlist_release(&l);
}

std::vector<std::string> keys_of(const HashMap* m) {
  PtrList l;
  ptrlist_init(&l);
  EXPECT_TRUE(hashmap_keys(m, &l));
  std::vector<std::string> r;
  for (uint64_t i = 0; i < l.count; ++i) r.push_back(l.items[i] ? static_cast<const char*>(l.items[i]) : "(null)");
  ptrlist_release(&l);
  return r;
}

// The keys in iteration order, read straight from the buckets (no
// allocation through the project's allocator).
std::vector<std::string> walk_keys(const HashMap* m) {
  std::vector<std::string> r;
  for (uint64_t i = 0; i < m->size; ++i)
    for (HashMapNode* n = m->buckets[i].first; n; n = n->next) r.push_back(static_cast<const char*>(n->key));
  return r;
}

// Keys named after their hash, so a test can place them in chosen buckets.
uint64_t numeric_hash(const void* key, uint64_t) { return std::stoull(static_cast<const char*>(key)); }
int plain_compare(const void* a, const void* b, uint64_t) {
  return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}
void* plain_copy(const void* key, uint64_t) { return mem_strdup(static_cast<const char*>(key)); }

TEST(HashMap, IterationOrderFollowsBucketsHeadsAndSplits) {
  HashMap m;
  hashmap_init(&m, numeric_hash, plain_compare, plain_copy, mem_free, 0);
  int v;
  // 1 and 33 share bucket 1 of 16 (and of 32); 17 and 49 share bucket 1 of
  // 16 and move to bucket 17 when the table doubles.
  for (const char* k : {"1", "17", "33", "49"}) ASSERT_NE(hashmap_add(&m, k, &v), nullptr);
  EXPECT_EQ(m.size, 16u);
  EXPECT_EQ(keys_of(&m), (std::vector<std::string>{"49", "33", "17", "1"}));  // newest first
  for (int i = 0; i < 12; ++i) ASSERT_NE(hashmap_add(&m, std::to_string(100 + i * 16).c_str(), &v), nullptr);
  EXPECT_EQ(m.count, 16u);
  EXPECT_EQ(m.size, 16u);
  ASSERT_NE(hashmap_add(&m, "2", &v), nullptr);  // the 17th entry doubles the buckets
  EXPECT_EQ(m.size, 32u);
  std::vector<std::string> keys = keys_of(&m);
  std::vector<std::string> low, high;
  for (const std::string& k : keys) {
    if (k == "1" || k == "33") low.push_back(k);
    if (k == "17" || k == "49") high.push_back(k);
  }
  EXPECT_EQ(low, (std::vector<std::string>{"33", "1"}));    // kept their order
  EXPECT_EQ(high, (std::vector<std::string>{"17", "49"}));  // moved: oldest first
  EXPECT_EQ(m.buckets[1].count, 2u);
  EXPECT_EQ(m.buckets[17].count, 2u);
  hashmap_clear(&m);
  EXPECT_EQ(m.size, 0u);
  EXPECT_TRUE(keys_of(&m).empty());
}

TEST(HashMap, LookupDuplicatesAndNullKey) {
  HashMap m;
  hashmap_init_cstr(&m);
  int a, b, fallback;
  EXPECT_EQ(hashmap_get(&m, "x", &fallback), &fallback);
  EXPECT_TRUE(keys_of(&m).empty());
  ASSERT_NE(hashmap_add(&m, "x", &a), nullptr);
  EXPECT_EQ(hashmap_add(&m, "x", &b), nullptr);
  EXPECT_EQ(hashmap_get(&m, "x", nullptr), &a);
  EXPECT_EQ(hashmap_get(&m, "y", &fallback), &fallback);
  EXPECT_EQ(hashmap_find(&m, "y"), nullptr);
  ASSERT_NE(hashmap_add(&m, nullptr, &b), nullptr);
  EXPECT_EQ(hashmap_add(&m, nullptr, &a), nullptr);
  EXPECT_EQ(hashmap_get(&m, nullptr, nullptr), &b);
  void** slot = hashmap_find(&m, "x");
  ASSERT_NE(slot, nullptr);
  *slot = &b;
  EXPECT_EQ(hashmap_get(&m, "x", nullptr), &b);
  EXPECT_EQ(hash_cstr("ab"), ('a' * 145u) ^ 'b');
  PtrList values;
  ptrlist_init(&values);
  ASSERT_TRUE(hashmap_values(&m, &values));
  EXPECT_EQ(values.count, 2u);
  ptrlist_release(&values);
  hashmap_clear(&m);
  hashmap_clear(&m);
}

TEST(HashMap, StringKeysAreCopiedOrBorrowed) {
  HashMap m;
  hashmap_init_string(&m);
  String k;
  string_init(&k);
  ASSERT_TRUE(string_append_ascii(&k, "Group"));
  int v;
  ASSERT_NE(hashmap_add(&m, &k, &v), nullptr);
  ASSERT_TRUE(string_append_char(&k, 's'));
  EXPECT_EQ(hashmap_get(&m, &k, nullptr), nullptr);
  ASSERT_TRUE(string_pop(&k));
  EXPECT_EQ(hashmap_get(&m, &k, nullptr), &v);
  string_to_lower(&k);
  EXPECT_EQ(hashmap_get(&m, &k, nullptr), nullptr);  // exact match only
  string_free(&k);
  hashmap_clear(&m);

  // Borrowed keys are the caller's Strings themselves, left alone by clear.
  hashmap_init_string_borrowed(&m);
  String names[2];
  for (String& n : names) string_init(&n);
  ASSERT_TRUE(string_append_ascii(&names[0], "kit") && string_append_ascii(&names[1], "vox"));
  for (String& n : names) ASSERT_NE(hashmap_add(&m, &n, &v), nullptr);
  EXPECT_EQ(hashmap_add(&m, &names[0], &v), nullptr);
  PtrList keys;
  ptrlist_init(&keys);
  ASSERT_TRUE(hashmap_keys(&m, &keys));
  ASSERT_EQ(keys.count, 2u);
  EXPECT_TRUE((keys.items[0] == &names[0] && keys.items[1] == &names[1]) ||
              (keys.items[0] == &names[1] && keys.items[1] == &names[0]));
  ptrlist_release(&keys);
  hashmap_clear(&m);
  EXPECT_EQ(names[1].length, 3u);
  for (String& n : names) string_free(&n);
}

TEST(HashMap, FailedInsertionOrGrowthChangesNothing) {
  for_each_alloc_failure([] {
    HashMap m;
    hashmap_init_cstr(&m);
    int v;
    for (int i = 0; i < 16; ++i) {
      if (!hashmap_add(&m, std::to_string(i).c_str(), &v)) {
        hashmap_clear(&m);
        return;
      }
    }
    std::vector<std::string> before = walk_keys(&m);
    // The 17th entry needs a node, a key copy and the doubled buckets.
    void** slot = hashmap_add(&m, "new", &v);
    if (!slot) {
      EXPECT_TRUE(alloc_failure_hit());
      EXPECT_EQ(m.count, 16u);
      EXPECT_EQ(m.size, 16u);
      EXPECT_EQ(hashmap_get(&m, "new", nullptr), nullptr);
    } else {
      EXPECT_EQ(m.size, 32u);
    }
    PtrList l;
    ptrlist_init(&l);
    void* sentinel = &v;
    if (ptrlist_push(&l, sentinel) && !alloc_failure_hit() && !hashmap_keys(&m, &l)) {
      EXPECT_EQ(l.count, 1u);  // the caller's list is kept on failure
    }
    ptrlist_release(&l);
    if (!slot) {
      EXPECT_EQ(walk_keys(&m), before);
    }
    hashmap_clear(&m);
  });
}

}  // namespace
