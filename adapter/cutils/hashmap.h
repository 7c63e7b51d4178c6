/* Android libcutils hash map (subset).  Keys are caller-owned pointers; a Put
 * on an existing key replaces the value, keeps the first key pointer and
 * returns the old value.  hashmapLock/Unlock serialise users on several
 * threads; the map itself takes no lock. */
#ifndef CUTILS_HASHMAP_H
#define CUTILS_HASHMAP_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Hashmap Hashmap;

Hashmap *hashmapCreate(size_t initialCapacity, int (*hash)(void *key),
                       bool (*equals)(void *keyA, void *keyB));
void hashmapFree(Hashmap *map);
void hashmapLock(Hashmap *map);
void hashmapUnlock(Hashmap *map);
void *hashmapPut(Hashmap *map, void *key, void *value);
void *hashmapGet(Hashmap *map, void *key);
bool hashmapContainsKey(Hashmap *map, void *key);
void *hashmapRemove(Hashmap *map, void *key);
void hashmapForEach(Hashmap *map, bool (*callback)(void *key, void *value, void *context),
                    void *context);
size_t hashmapSize(Hashmap *map);
/* Keys point at (at least) 32 bits; only the low 32 bits count. */
int hashmapIntHash(void *key);
bool hashmapIntEquals(void *keyA, void *keyB);

#ifdef __cplusplus
}
#endif
#endif
