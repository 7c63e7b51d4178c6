/* Named mutexes behind ids: each id stands for a real mutex, recursive when
 * attr is 1.  The daemon only creates and deletes them.  The table's lock
 * guards the ids. */
#include <pthread.h>

#include <string>

#include "adapter_int.h"
#include "kor_os.h"

typedef struct kor_mutex_st {
    std::string name;
    pthread_mutex_t mutex;
} kor_mutex_st;

static kor_id_table<kor_mutex_st *> &mutex_table(void) {
    static auto *table = new kor_id_table<kor_mutex_st *>;
    return *table;
}

uint64_t tp_os_mutex_create(const char *name, int attr) {
    if (kor_fault_hit("mutex", name)) return KOR_OS_FAIL;
    kor_mutex_st *m = new kor_mutex_st;
    m->name = name != NULL ? name : "";
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_settype(&ma, attr == 1 ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    int rc = pthread_mutex_init(&m->mutex, &ma);
    pthread_mutexattr_destroy(&ma);
    if (rc != 0) {
        tp_os_str_printf(KOR_ADAPTER_MOD, KOR_LVL_ERROR, KOR_ADAPTER_TAG "mutex %s: init failed (%d)\n",
                         m->name.c_str(), rc);
        delete m;
        return KOR_OS_FAIL;
    }
    kor_id_table<kor_mutex_st *> &t = mutex_table();
    std::lock_guard<std::shared_mutex> hold(t.lock);
    return t.insert_locked(m);
}

int tp_os_mutex_delete(uint64_t mid) {
    kor_mutex_st *m = NULL;
    if (!mutex_table().take(mid, &m)) return -1;
    pthread_mutex_destroy(&m->mutex);
    delete m;
    return 0;
}
