/* The answer to "status": the counters' snapshot, the waveforms of the
 * path-info map sorted by wf_id, and the log sink, as one JSON object.
 *
 * Runs on the control thread.  The map is copied under its own lock (the
 * one the looper edits it under and the writer reads it under), then sorted
 * and rendered outside it, so the lock is held only for the copy. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "capture/capture.h"
#include "ctl/ctl_int.h"
#include "kor_os.h"
#include "nvram/nvram.h"
#include "process/frame.h"

typedef struct ctl_wf_list_st {
    path_info *items;
    size_t count;
    size_t cap;
    int failed;
} ctl_wf_list_st;

static const char *const s_modem_states[] = {"closed", "open", "running", "failed"};
static const char *const s_exception_states[] = {"idle", "dumping", "resetting"};

static const char *state_name(const char *const *names, size_t count, int state)
{
    return state >= 0 && (size_t)state < count ? names[state] : "unknown";
}

static bool copy_wf(void *key, void *value, void *context)
{
    (void)key;
    ctl_wf_list_st *list = (ctl_wf_list_st *)context;
    if (list->count == list->cap) {
        size_t cap = list->cap ? list->cap * 2 : 8;
        path_info *items = (path_info *)realloc(list->items, cap * sizeof(*items));
        if (items == NULL) {
            list->failed = 1;
            return false;
        }
        list->items = items;
        list->cap = cap;
    }
    list->items[list->count++] = *(const path_info *)value;
    return true;
}

static int by_wf_id(const void *a, const void *b)
{
    uint64_t x = ((const path_info *)a)->wf_id & 0xFFFFFFFFull;
    uint64_t y = ((const path_info *)b)->wf_id & 0xFFFFFFFFull;
    return x < y ? -1 : x > y;
}

static void status_waveforms(kro_ctl_buf_st *out)
{
    ctl_wf_list_st list = {NULL, 0, 0, 0};
    Hashmap *map = g_wf_path_info_map;
    if (map != NULL) {
        hashmapLock(map);
        hashmapForEach(map, copy_wf, &list);
        hashmapUnlock(map);
    }
    if (list.failed)
        out->failed = 1;
    if (list.count > 1)
        qsort(list.items, list.count, sizeof(*list.items), by_wf_id);
    kro_ctl_buf_printf(out, "\"waveforms\":[");
    for (size_t i = 0; i < list.count; i++) {
        const path_info *wf = &list.items[i];
        kro_ctl_buf_printf(out, "%s{\"wf_id\":%llu,\"name\":", i ? "," : "",
                           (unsigned long long)(wf->wf_id & 0xFFFFFFFFull));
        kro_ctl_buf_json_str(out, wf->wf_name, sizeof(wf->wf_name));
        kro_ctl_buf_printf(out, ",\"path\":");
        kro_ctl_buf_json_str(out, wf->wf_path, sizeof(wf->wf_path));
        kro_ctl_buf_printf(out, ",\"nv_file\":");
        kro_ctl_buf_json_str(out, wf->nv_file_name, sizeof(wf->nv_file_name));
        kro_ctl_buf_printf(out, "}");
    }
    kro_ctl_buf_printf(out, "],");
    free(list.items);
}

static const char *const s_link_counters[KRO_CTL_LINK_COUNTERS] = {
    "connects", "refused", "records_in", "records_out", "bytes_in", "bytes_out", "bad_records"};

static void status_link(kro_ctl_buf_st *out, const char *name, const kro_ctl_link_st *l)
{
    kro_ctl_buf_printf(out, "\"%s\":{\"port\":%d,\"connected\":%s,\"peer_uid\":", name, l->port,
                       l->connected ? "true" : "false");
    if (l->peer_uid < 0)
        kro_ctl_buf_printf(out, "null");
    else
        kro_ctl_buf_printf(out, "%lld", (long long)l->peer_uid);
    for (int i = 0; i < KRO_CTL_LINK_COUNTERS; i++)
        kro_ctl_buf_printf(out, ",\"%s\":%llu", s_link_counters[i], (unsigned long long)l->count[i]);
    kro_ctl_buf_printf(out, "}");
}

static void status_head(kro_ctl_buf_st *out, const kro_ctl_snapshot_st *s)
{
    kro_ctl_buf_printf(out, "{\"version\":\"%s\",\"pid\":%d,\"uptime_ms\":%llu,", KORV_VERSION, (int)getpid(),
                       (unsigned long long)s->uptime_ms);
    kro_ctl_buf_printf(out, "\"modem\":{\"state\":\"%s\",\"nvram_cache\":{\"base\":%llu,\"size\":%llu}},",
                       state_name(s_modem_states, sizeof(s_modem_states) / sizeof(s_modem_states[0]), s->modem_state), (unsigned long long)s->cache_base,
                       (unsigned long long)s->cache_size);
    kro_ctl_buf_printf(out, "\"links\":{");
    status_link(out, "work", &s->links[KRO_CTL_LINK_WORK]);
    kro_ctl_buf_printf(out, ",");
    status_link(out, "nv", &s->links[KRO_CTL_LINK_NV]);
    kro_ctl_buf_printf(out, "},\"nvram\":{\"queued\":%llu,\"written\":%llu,\"dropped\":%llu,\"bytes_written\":%llu,"
                            "\"synced\":%llu,\"write_failed\":%llu,\"unknown_commands\":%llu},",
                       (unsigned long long)s->nv_queued, (unsigned long long)s->nv_written,
                       (unsigned long long)s->nv_dropped, (unsigned long long)s->nv_bytes_written,
                       (unsigned long long)s->nv_synced, (unsigned long long)s->nv_write_failed,
                       (unsigned long long)s->nv_unknown_cmds);
}

static void status_capture(kro_ctl_buf_st *out)
{
    kro_capture_stat_st c;
    kro_capture_stat(&c);
    kro_ctl_buf_printf(out, "\"capture\":{\"file\":");
    if (c.file[0] == '\0')
        kro_ctl_buf_printf(out, "null");
    else
        kro_ctl_buf_json_str(out, c.file, sizeof(c.file));
    kro_ctl_buf_printf(out, ",\"records\":%llu,\"bytes\":%llu,\"lost\":%llu,\"limit_reached\":%s,\"failed\":",
                       (unsigned long long)c.records, (unsigned long long)c.bytes, (unsigned long long)c.lost,
                       c.limit_reached ? "true" : "false");
    if (c.failed[0] == '\0')
        kro_ctl_buf_printf(out, "null");
    else
        kro_ctl_buf_json_str(out, c.failed, sizeof(c.failed));
    kro_ctl_buf_printf(out, "},");
}

static void status_tail(kro_ctl_buf_st *out, const kro_ctl_snapshot_st *s)
{
    kro_ctl_buf_printf(out, "\"utran\":{\"started\":%s,\"channels\":[", s->utran_started ? "true" : "false");
    for (int i = 0; i < s->channel_count; i++) {
        kro_ctl_buf_printf(out, "%s", i ? "," : "");
        kro_ctl_buf_json_str(out, s->channels[i], sizeof(s->channels[i]));
    }
    kro_ctl_buf_printf(out, "]},\"exception\":{\"state\":\"%s\",\"count\":%llu,\"last_type\":",
                       state_name(s_exception_states, sizeof(s_exception_states) / sizeof(s_exception_states[0]), s->exception_state),
                       (unsigned long long)s->exception_count);
    if (s->exception_last_type < 0)
        kro_ctl_buf_printf(out, "null");
    else
        kro_ctl_buf_printf(out, "%d", s->exception_last_type);
    kro_ctl_buf_printf(out, "},\"log\":{\"sink\":");
    const char *sink = tp_os_log_sink();
    kro_ctl_buf_json_str(out, sink, strlen(sink));
    kro_ctl_buf_printf(out, ",\"failed_writes\":%llu,\"dropped_lines\":%llu}}",
                       (unsigned long long)tp_os_log_failed_writes(), (unsigned long long)tp_os_log_dropped_lines());
}

void kro_ctl_status(kro_ctl_buf_st *out)
{
    kro_ctl_snapshot_st snap;
    kro_ctl_stat_read(&snap);
    status_head(out, &snap);
    status_waveforms(out);
    status_capture(out);
    status_tail(out, &snap);
}
