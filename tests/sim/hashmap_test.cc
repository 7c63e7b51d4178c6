// The libcutils hash map: replace, remove, walk, growth and integer keys.
#include <stdint.h>

#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "cutils/hashmap.h"

namespace {

bool collect(void *key, void *value, void *context) {
    auto *seen = static_cast<std::map<uint64_t, std::pair<void *, void *>> *>(context);
    (*seen)[*static_cast<uint64_t *>(key)] = {key, value};
    return seen->size() < 100000;
}

bool stop_after_two(void *, void *, void *context) { return ++*static_cast<int *>(context) < 2; }

}  // namespace

TEST(Hashmap, IntKeysReplaceRemoveAndWalk) {
    Hashmap *m = hashmapCreate(10, hashmapIntHash, hashmapIntEquals);
    ASSERT_NE(nullptr, m);
    /* Only the low 32 bits of a key count. */
    uint64_t k5 = 5, k5_high = 0x700000005ull, k6 = 6;
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(nullptr, hashmapPut(m, &k5, &a));
    EXPECT_EQ(&a, hashmapPut(m, &k5_high, &b)); /* same key: replaced, old value back */
    EXPECT_EQ(1u, hashmapSize(m));
    EXPECT_EQ(&b, hashmapGet(m, &k5));
    std::map<uint64_t, std::pair<void *, void *>> seen;
    hashmapForEach(m, collect, &seen);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(&k5, seen[5].first); /* the first key pointer stays */
    EXPECT_EQ(nullptr, hashmapPut(m, &k6, &c));
    EXPECT_TRUE(hashmapContainsKey(m, &k6));
    EXPECT_EQ(&c, hashmapRemove(m, &k6));
    EXPECT_FALSE(hashmapContainsKey(m, &k6));
    EXPECT_EQ(nullptr, hashmapRemove(m, &k6));
    EXPECT_EQ(1u, hashmapSize(m));

    /* Far beyond the initial capacity: every entry stays reachable. */
    std::vector<uint64_t> keys(2000);
    for (size_t i = 0; i < keys.size(); i++) {
        keys[i] = (i << 32) | (1000 + i); /* high bits must not matter */
        hashmapPut(m, &keys[i], &keys[i]);
    }
    EXPECT_EQ(2001u, hashmapSize(m));
    for (size_t i = 0; i < keys.size(); i++) {
        uint64_t probe = 1000 + i;
        ASSERT_EQ(&keys[i], hashmapGet(m, &probe)) << i;
    }
    for (size_t i = 0; i < keys.size(); i += 2) hashmapRemove(m, &keys[i]);
    seen.clear();
    hashmapForEach(m, collect, &seen);
    EXPECT_EQ(1001u, seen.size());
    int calls = 0;
    hashmapForEach(m, stop_after_two, &calls);
    EXPECT_EQ(2, calls);
    hashmapFree(m);
}
