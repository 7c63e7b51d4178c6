/* Fault hook for tests: named creations of mutexes, queues and threads can be
 * made to fail, from the environment (KORV_FAULT, read at the first creation)
 * or at run time (kor_fault_set).  s_fault_lock guards the list and the flag
 * saying whether the environment has been read. */
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

#include "adapter_int.h"
#include "kor_os.h"

static std::mutex s_fault_lock;
/* Never destroyed: creations may still run on other threads during exit. */
static std::string *s_fault_list = new std::string;
static bool s_fault_loaded;

void kor_fault_set(const char *list) {
    std::lock_guard<std::mutex> hold(s_fault_lock);
    s_fault_list->assign(list != NULL ? list : "");
    s_fault_loaded = true;
}

static bool fault_is_blank(char c) { return c == ' ' || c == '\t'; }

/* Entries are "kind:name", separated by commas; blanks around an entry are
 * ignored, names are matched exactly. */
static bool fault_list_has(const std::string &list, const std::string &want) {
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos) end = list.size();
        size_t b = pos, e = end;
        while (b < e && fault_is_blank(list[b])) b++;
        while (e > b && fault_is_blank(list[e - 1])) e--;
        if (list.compare(b, e - b, want) == 0) return true;
        pos = end + 1;
    }
    return false;
}

int kor_fault_hit(const char *kind, const char *name) {
    std::lock_guard<std::mutex> hold(s_fault_lock);
    if (!s_fault_loaded) {
        const char *env = getenv("KORV_FAULT");
        s_fault_list->assign(env != NULL ? env : "");
        s_fault_loaded = true;
    }
    if (s_fault_list->empty()) return 0;
    std::string want = std::string(kind) + ":" + (name != NULL ? name : "");
    return fault_list_has(*s_fault_list, want) ? 1 : 0;
}
