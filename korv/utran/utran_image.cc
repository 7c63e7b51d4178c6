/* The UTRAN image store and the walk of its tag list.  The framework hands
 * over the image header; the store keeps the latest one and the walk logs
 * every tag and turns each bridge tag into a DMI channel create or delete.
 *
 * Shared state: utran_image, utran_image_len and utran_service_started are
 * process-wide and guarded by s_utran_lock.  The looper (load, start, the
 * looper's stops) takes it plainly; teardown's stop runs inside the signal
 * handler and takes it with a bounded wait (utran_store.h).  The walk itself
 * takes no lock: its callers hold it. */
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "ctl/ctl.h"
#include "cutils/properties.h"
#include "teardown_lock.h"
#include "kor_os.h"
#include "korv_log.h"
#include "modem/dmi.h"
#include "utran/utran.h"
#include "utran/utran_store.h"

#define TAG_END 0x54410000u
#define TAG_VER 0x54410001u
#define TAG_INFO 0x54410002u
#define TAG_IMAGE 0x54410003u
#define TAG_BRIDGE 0x54410004u
#define TAG_READ 0x54410005u
#define TAG_WRITE 0x54410006u

/* A tag may reach up to this offset, so the store's last byte is never
 * covered by a tag. */
#define TAG_LIMIT (UTRAN_IMAGE_SIZE - 1)
/* size and id: what the walk reads of a tag before anything else. */
#define TAG_PEEK 8
#define TAG_LABEL 8
#define TAG_LABEL_SIZE 12
#define TAG_PAYLOAD 20
#define BRIDGE_PLAIN_END 64
#define BRIDGE_HS_END 88

static uint8_t utran_image[UTRAN_IMAGE_SIZE]; /* s_utran_lock: the latest image header */
static uint64_t utran_image_len;              /* s_utran_lock: its length in bytes */
static int utran_service_started;             /* s_utran_lock: 1 while the service runs */
/* Error-checking, so that a teardown that interrupted the looper while it
 * held the lock is refused at once instead of waiting on itself. */
static pthread_mutex_t s_utran_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

void utran_store_lock(void) { pthread_mutex_lock(&s_utran_lock); }

int utran_store_lock_timed(const char *who)
{
    return kro_lock_for_teardown(&s_utran_lock, "[KORV][UTRAN]", "image store", who);
}

void utran_store_unlock(void) { pthread_mutex_unlock(&s_utran_lock); }

void utran_store_set_started(int started)
{
    utran_service_started = started;
    kro_ctl_stat_utran_started(started);
}

uint64_t utran_store_len(void) { return utran_image_len; }

/* Fields are little-endian and unaligned; callers keep off + 4 inside the
 * store. */
static uint32_t rd32(uint64_t off)
{
    uint32_t v;
    memcpy(&v, utran_image + off, sizeof v);
    return v;
}

static void *as_addr(uint32_t v) { return (void *)(uintptr_t)v; }

static int is_high_speed(uint32_t type) { return (type & 3u) == 3u; }

/* Text fields of a tag have 12 bytes and need not hold a NUL: at most 11
 * characters are taken, so nothing past the field is ever read. */
static void copy_text(char *out, uint64_t at)
{
    size_t n = strnlen((const char *)utran_image + at, TAG_LABEL_SIZE - 1);
    memcpy(out, utran_image + at, n);
    out[n] = '\0';
}

/* The groups of log lines: one per plain tag, and the two parts of a
 * bridge tag (after its name line, and the high-speed fields). */
typedef enum tag_lines_e {
    LINES_VER,
    LINES_INFO,
    LINES_IMAGE,
    LINES_READ,
    LINES_WRITE,
    LINES_BRIDGE,
    LINES_BRIDGE_HS,
} tag_lines_e;

/* How a logged field is rendered: the text's one conversion takes it as a
 * hex value, an address or a signed number. */
typedef enum tag_field_kind_e { FIELD_HEX, FIELD_ADDR, FIELD_INT } tag_field_kind_e;

/* One log line: its group, the offset of its field from the tag's start,
 * the rendering, and the text. */
typedef struct tag_field_st {
    tag_lines_e lines;
    uint8_t offset;
    tag_field_kind_e kind;
    const char *text;
} tag_field_st;

/* Every group's lines, each group in the order they are logged. */
static const tag_field_st s_tag_fields[] = {
    {LINES_VER, 20, FIELD_HEX, "[KORV][UTRAN]tag_ver imge version:0x%X \n"},
    {LINES_INFO, 20, FIELD_HEX, "[KORV][UTRAN]tag_info modem_version:0x%X \n"},
    {LINES_INFO, 24, FIELD_HEX, "[KORV][UTRAN]tag_info wave modem_ram_size:0x%X \n"},
    {LINES_INFO, 28, FIELD_ADDR, "[KORV][UTRAN]tag_info wave nvram_addr:%p \n"},
    {LINES_INFO, 32, FIELD_HEX, "[KORV][UTRAN]tag_info wave nvram_size:0x%X \n"},
    {LINES_IMAGE, 24, FIELD_HEX, "[KORV][UTRAN]tag_image bin_offset:0x%X \n"},
    {LINES_IMAGE, 28, FIELD_HEX, "[KORV][UTRAN]tag_image ram_addr:0x%X \n"},
    {LINES_IMAGE, 32, FIELD_INT, "[KORV][UTRAN]tag_image len:%d \n"},
    {LINES_IMAGE, 20, FIELD_INT, "[KORV][UTRAN]tag_image img_id:%d \n"},
    {LINES_READ, 20, FIELD_HEX, "[KORV][UTRAN]tag_read info_id:0x%X \n"},
    {LINES_READ, 24, FIELD_HEX, "[KORV][UTRAN]tag_read addr_type:0x%X \n"},
    {LINES_READ, 28, FIELD_ADDR, "[KORV][UTRAN]tag_read info_addr:%p \n"},
    {LINES_READ, 32, FIELD_HEX, "[KORV][UTRAN]tag_read info_size:0x%X\n"},
    {LINES_WRITE, 20, FIELD_HEX, "[KORV][UTRAN]tag_write addr_type:0x%X \n"},
    {LINES_WRITE, 24, FIELD_ADDR, "[KORV][UTRAN]tag_write addr:%p \n"},
    {LINES_WRITE, 28, FIELD_HEX, "[KORV][UTRAN]tag_write value:0x%X\n"},
    {LINES_BRIDGE, 32, FIELD_HEX, "[KORV][UTRAN]tag_bridge type:0x%X \n"},
    {LINES_BRIDGE, 36, FIELD_HEX, "[KORV][UTRAN]tag_bridge property:0x%X \n"},
    {LINES_BRIDGE, 48, FIELD_HEX, "[KORV][UTRAN]tag_bridge cp2ap_ind:0x%X \n"},
    {LINES_BRIDGE, 40, FIELD_ADDR, "[KORV][UTRAN]tag_bridge cp2ap_addr:%p\n"},
    {LINES_BRIDGE, 44, FIELD_HEX, "[KORV][UTRAN]tag_bridge cp2ap_size:0x%X \n"},
    {LINES_BRIDGE, 60, FIELD_HEX, "[KORV][UTRAN]tag_bridge ap2cp_ind:0x%X \n"},
    {LINES_BRIDGE, 52, FIELD_ADDR, "[KORV][UTRAN]tag_bridge ap2cp_addr:%p \n"},
    {LINES_BRIDGE, 56, FIELD_HEX, "[KORV][UTRAN]tag_bridge ap2cp_size:0x%X \n"},
    {LINES_BRIDGE_HS, 64, FIELD_ADDR, "[KORV][UTRAN]tag_bridge cp2ap_pkt_maxnum:%p\n"},
    {LINES_BRIDGE_HS, 68, FIELD_HEX, "[KORV][UTRAN]tag_bridge cp2ap_pkt_maxsize:0x%X \n"},
    {LINES_BRIDGE_HS, 72, FIELD_HEX, "[KORV][UTRAN]tag_bridge ap2cp_pkt_maxnum:0x%X \n"},
    {LINES_BRIDGE_HS, 76, FIELD_HEX, "[KORV][UTRAN]tag_bridge ap2cp_pkt_maxsize:0x%X \n"},
    {LINES_BRIDGE_HS, 80, FIELD_HEX, "[KORV][UTRAN]tag_bridge cp2ap_ctl_id:0x%X \n"},
    {LINES_BRIDGE_HS, 84, FIELD_HEX, "[KORV][UTRAN]tag_bridge ap2cp_ctl_id:0x%X \n"},
};

/* A tag that is only logged: its id, how many bytes from its start the
 * walk reads, and its group of lines. */
typedef struct tag_log_st {
    uint32_t id;
    uint32_t extent;
    tag_lines_e lines;
} tag_log_st;

static const tag_log_st s_tag_logs[] = {
    {TAG_VER, 24, LINES_VER},     {TAG_INFO, 36, LINES_INFO},   {TAG_IMAGE, 36, LINES_IMAGE},
    {TAG_READ, 36, LINES_READ},   {TAG_WRITE, 32, LINES_WRITE},
};

static const tag_log_st *tag_log_of(uint32_t id)
{
    for (const tag_log_st &entry : s_tag_logs)
        if (entry.id == id)
            return &entry;
    return NULL;
}

/* Logs the group's lines with the fields of the tag at `at`. */
static void log_fields(uint64_t at, tag_lines_e lines)
{
    for (const tag_field_st &field : s_tag_fields) {
        if (field.lines != lines)
            continue;
        uint32_t value = rd32(at + field.offset);
        switch (field.kind) {
        case FIELD_HEX:
            LOG_CORE_FLOW(field.text, value);
            break;
        case FIELD_ADDR:
            LOG_CORE_FLOW(field.text, as_addr(value));
            break;
        case FIELD_INT:
            LOG_CORE_FLOW(field.text, (int)value);
            break;
        }
    }
}

/* How many bytes from the tag's start its handling reads. */
static uint64_t tag_extent(uint64_t at, uint32_t id, int action)
{
    const tag_log_st *logged = tag_log_of(id);
    if (logged != NULL)
        return logged->extent;
    if (id != TAG_BRIDGE)
        return TAG_PAYLOAD;
    if (at + BRIDGE_PLAIN_END > UTRAN_IMAGE_SIZE)
        return BRIDGE_PLAIN_END;
    return (action == UTRAN_WALK_CREATE && is_high_speed(rd32(at + 32))) ? BRIDGE_HS_END : BRIDGE_PLAIN_END;
}

/* The tag's bytes 20-87 are the driver's dmi_channel, field for field; the
 * high-speed fields are taken only for a high-speed type and left zero
 * otherwise.  The driver's answer does not stop the walk. */
static void handle_bridge(uint64_t at, int action, dmi_channel *rec)
{
    char name[DMI_NAME_SIZE];

    copy_text(name, at + TAG_PAYLOAD);
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge name:%s \n", name);
    log_fields(at, LINES_BRIDGE);
    if (action != UTRAN_WALK_CREATE) {
        platform_manager_dmi_delete(name);
        return;
    }
    memset(rec, 0, sizeof *rec);
    memcpy(rec->name, name, sizeof name);
    rec->type = rd32(at + 32);
    rec->property = rd32(at + 36);
    rec->cp2ap_addr = rd32(at + 40);
    rec->cp2ap_size = rd32(at + 44);
    rec->cp2ap_ind = rd32(at + 48);
    rec->ap2cp_addr = rd32(at + 52);
    rec->ap2cp_size = rd32(at + 56);
    rec->ap2cp_ind = rd32(at + 60);
    if (is_high_speed(rec->type)) {
        log_fields(at, LINES_BRIDGE_HS);
        rec->cp2ap_pkt_maxnum = rd32(at + 64);
        rec->cp2ap_pkt_maxsize = rd32(at + 68);
        rec->ap2cp_pkt_maxnum = rd32(at + 72);
        rec->ap2cp_pkt_maxsize = rd32(at + 76);
        rec->cp2ap_ctl_id = rd32(at + 80);
        rec->ap2cp_ctl_id = rd32(at + 84);
    }
    platform_manager_dmi_create(rec);
}

static void handle_tag(uint64_t at, uint32_t id, uint32_t size, int action, dmi_channel *rec)
{
    char label[TAG_LABEL_SIZE];
    const tag_log_st *logged = tag_log_of(id);

    if (logged != NULL) {
        log_fields(at, logged->lines);
    } else if (id == TAG_BRIDGE) {
        handle_bridge(at, action, rec);
    } else {
        copy_text(label, at + TAG_LABEL);
        LOG_CORE_FLOW("[KORV][UTRAN]Ignoring unrecognised tag (0x%08x) %s size = %x.\n", id,
                      label, size);
    }
}

/* Every way out of here is a completion of the walk.  Offsets stay inside
 * the store: a tag lies below TAG_LIMIT, a next tag is looked at only when
 * its size and id are in the store, and a tag's fields are read only when
 * they are. */
static void walk_tags(int action)
{
    dmi_channel rec;
    uint64_t at = 0;
    uint64_t total;
    uint32_t size;
    uint32_t id;

    if (rd32(4) == TAG_END)
        return;
    size = rd32(0);
    if (size > TAG_LIMIT)
        return;
    if (size > utran_image_len) {
        LOG_CORE_ERR("[KORV][UTRAN]image head parser ERROR. tag_len = %d \n", (int)size);
        return;
    }
    total = size;
    for (;;) {
        id = rd32(at + 4);
        if (at + tag_extent(at, id, action) > UTRAN_IMAGE_SIZE) {
            LOG_CORE_ERR("[KORV][UTRAN]tag 0x%08x at %d reaches past the image store\n", id,
                         (int)at);
            return;
        }
        handle_tag(at, id, size, action, &rec);
        if (size == 0) {
            LOG_CORE_ERR("[KORV][UTRAN]headr size is NULL \n");
            return;
        }
        at += size;
        /* No tag of non-zero size fits there below TAG_LIMIT anyway. */
        if (at + TAG_PEEK > UTRAN_IMAGE_SIZE)
            return;
        if (rd32(at + 4) == TAG_END)
            return;
        size = rd32(at);
        if (at + size > TAG_LIMIT)
            return;
        total += size;
        if (total > utran_image_len) {
            LOG_CORE_ERR("[KORV][UTRAN]image head parser ERROR. tag_len = %d \n", (int)total);
            return;
        }
    }
}

void walk_image_tags(int action)
{
    walk_tags(action);
    if (action == UTRAN_WALK_CREATE)
        property_set("ril.start.utran.service", "1");
}

void load_utran_wave(const void *source, uint64_t length)
{
    LOG_CORE_FLOW("[KORV][UTRAN]load_utran_wave souce len:%d\n",
                  (int)length);
    if (length > UTRAN_IMAGE_SIZE) {
        LOG_CORE_ERR("[KORV][UTRAN]on_utran_wave_loaded, source_len:%d must less than %d\n",
                     (int)length, UTRAN_IMAGE_SIZE);
        length = UTRAN_IMAGE_SIZE;
    }
    utran_store_lock();
    if (length > 0)
        memcpy(utran_image, source, length);
    utran_image_len = length;
    if (utran_service_started)
        walk_image_tags(UTRAN_WALK_CREATE);
    utran_store_unlock();
}
