/* The libcutils hash map: separate chaining over a bucket array that doubles
 * when the map holds more entries than three quarters of its buckets.  Keys and values are
 * the caller's pointers; the map owns only its entries and buckets.
 *
 * The map takes no lock of its own; hashmapLock/Unlock hand callers the mutex
 * each map carries, for callers that share a map between threads. */
#include "cutils/hashmap.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct entry {
    void *key;
    int hash;
    void *value;
    entry *next;
};

/* Spreads the caller's hash so that keys that differ only in high bits (or
 * small integers) still use every bucket. */
int spread(int h) {
    uint32_t x = (uint32_t)h;
    x += ~(x << 9);
    x ^= x >> 14;
    x += x << 4;
    x ^= x >> 10;
    return (int)x;
}

size_t bucket_of(size_t bucket_count, int hash) {
    return (size_t)(uint32_t)hash & (bucket_count - 1);
}

}  // namespace

struct Hashmap {
    entry **buckets;
    size_t bucket_count; /* a power of two */
    int (*hash)(void *key);
    bool (*equals)(void *a, void *b);
    pthread_mutex_t lock;
    size_t size;
};

namespace {

bool same_key(Hashmap *m, entry *e, void *key, int hash) {
    return e->key == key || (e->hash == hash && m->equals(e->key, key));
}

/* Doubling is best effort: a map that cannot grow keeps working, slower. */
void grow_if_full(Hashmap *m) {
    if (m->size <= m->bucket_count * 3 / 4) return;
    size_t count = m->bucket_count * 2;
    entry **fresh = static_cast<entry **>(calloc(count, sizeof *fresh));
    if (!fresh) return;
    for (size_t i = 0; i < m->bucket_count; i++) {
        for (entry *e = m->buckets[i], *next; e; e = next) {
            next = e->next;
            size_t b = bucket_of(count, e->hash);
            e->next = fresh[b];
            fresh[b] = e;
        }
    }
    free(m->buckets);
    m->buckets = fresh;
    m->bucket_count = count;
}

uint32_t low32(void *key) {
    uint32_t v;
    memcpy(&v, key, sizeof v); /* little-endian: the low 32 bits of a wider key */
    return v;
}

}  // namespace

extern "C" Hashmap *hashmapCreate(size_t initialCapacity, int (*hash)(void *key),
                                  bool (*equals)(void *keyA, void *keyB)) {
    if (!hash || !equals) {
        errno = EINVAL;
        return nullptr;
    }
    Hashmap *m = static_cast<Hashmap *>(calloc(1, sizeof *m));
    if (!m) return nullptr;
    size_t minimum = initialCapacity * 4 / 3 + 1;
    m->bucket_count = 1;
    while (m->bucket_count < minimum) m->bucket_count <<= 1;
    m->buckets = static_cast<entry **>(calloc(m->bucket_count, sizeof *m->buckets));
    if (!m->buckets) {
        free(m);
        return nullptr;
    }
    m->hash = hash;
    m->equals = equals;
    pthread_mutex_init(&m->lock, nullptr);
    return m;
}

extern "C" void hashmapFree(Hashmap *map) {
    if (!map) return;
    for (size_t i = 0; i < map->bucket_count; i++) {
        for (entry *e = map->buckets[i], *next; e; e = next) {
            next = e->next;
            free(e);
        }
    }
    free(map->buckets);
    pthread_mutex_destroy(&map->lock);
    free(map);
}

extern "C" void hashmapLock(Hashmap *map) { pthread_mutex_lock(&map->lock); }
extern "C" void hashmapUnlock(Hashmap *map) { pthread_mutex_unlock(&map->lock); }

extern "C" void *hashmapPut(Hashmap *map, void *key, void *value) {
    int hash = spread(map->hash(key));
    entry **slot = &map->buckets[bucket_of(map->bucket_count, hash)];
    for (entry *e = *slot; e; e = e->next) {
        if (same_key(map, e, key, hash)) {
            void *old = e->value; /* the first key pointer stays */
            e->value = value;
            return old;
        }
    }
    entry *e = static_cast<entry *>(malloc(sizeof *e));
    if (!e) {
        errno = ENOMEM;
        return nullptr;
    }
    *e = entry{key, hash, value, *slot};
    *slot = e;
    map->size++;
    grow_if_full(map);
    return nullptr;
}

extern "C" void *hashmapGet(Hashmap *map, void *key) {
    int hash = spread(map->hash(key));
    for (entry *e = map->buckets[bucket_of(map->bucket_count, hash)]; e; e = e->next)
        if (same_key(map, e, key, hash)) return e->value;
    return nullptr;
}

extern "C" bool hashmapContainsKey(Hashmap *map, void *key) {
    int hash = spread(map->hash(key));
    for (entry *e = map->buckets[bucket_of(map->bucket_count, hash)]; e; e = e->next)
        if (same_key(map, e, key, hash)) return true;
    return false;
}

extern "C" void *hashmapRemove(Hashmap *map, void *key) {
    int hash = spread(map->hash(key));
    for (entry **link = &map->buckets[bucket_of(map->bucket_count, hash)]; *link;
         link = &(*link)->next) {
        entry *e = *link;
        if (!same_key(map, e, key, hash)) continue;
        void *value = e->value;
        *link = e->next;
        free(e);
        map->size--;
        return value;
    }
    return nullptr;
}

/* The callback returns false to stop.  It must not change the map. */
extern "C" void hashmapForEach(Hashmap *map, bool (*callback)(void *key, void *value, void *context),
                               void *context) {
    for (size_t i = 0; i < map->bucket_count; i++)
        for (entry *e = map->buckets[i]; e; e = e->next)
            if (!callback(e->key, e->value, context)) return;
}

extern "C" size_t hashmapSize(Hashmap *map) { return map->size; }

extern "C" int hashmapIntHash(void *key) { return (int)low32(key); }

extern "C" bool hashmapIntEquals(void *keyA, void *keyB) { return low32(keyA) == low32(keyB); }
