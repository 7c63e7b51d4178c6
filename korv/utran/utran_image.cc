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


static uint8_t utran_image[UTRAN_IMAGE_SIZE];
static uint64_t utran_image_len;
static int utran_service_started;
/* Error-checking, so that a teardown that interrupted the looper while it
 * held the lock is refused at once instead of waiting on itself. */
static pthread_mutex_t s_utran_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

void utran_store_lock(void) { pthread_mutex_lock(&s_utran_lock); }

int utran_store_lock_timed(const char *who)
{
    return kro_lock_for_teardown(&s_utran_lock, "[KORV][UTRAN]", "image store", who);
}

void utran_store_unlock(void) { pthread_mutex_unlock(&s_utran_lock); }

int utran_store_started(void) { return utran_service_started; }

void utran_store_set_started(int started) { utran_service_started = started; }

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

/* How many bytes from the tag's start its handling reads. */
static uint64_t tag_extent(uint64_t at, uint32_t id, int action)
{
    switch (id) {
    case TAG_VER:
        return 24;
    case TAG_WRITE:
        return 32;
    case TAG_INFO:
    case TAG_IMAGE:
    case TAG_READ:
        return 36;
    case TAG_BRIDGE:
        if (at + BRIDGE_PLAIN_END > UTRAN_IMAGE_SIZE)
            return BRIDGE_PLAIN_END;
        return (action == UTRAN_WALK_CREATE && is_high_speed(rd32(at + 32))) ? BRIDGE_HS_END
                                                                              : BRIDGE_PLAIN_END;
    default:
        return TAG_PAYLOAD;
    }
}

static void log_tag_info(uint64_t at)
{
    LOG_CORE_FLOW("[KORV][UTRAN]tag_info modem_version:0x%X \n",
                  rd32(at + 20));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_info wave modem_ram_size:0x%X \n", rd32(at + 24));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_info wave nvram_addr:%p \n",
                  as_addr(rd32(at + 28)));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_info wave nvram_size:0x%X \n",
                  rd32(at + 32));
}

static void log_tag_image(uint64_t at)
{
    LOG_CORE_FLOW("[KORV][UTRAN]tag_image bin_offset:0x%X \n",
                  rd32(at + 24));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_image ram_addr:0x%X \n",
                  rd32(at + 28));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_image len:%d \n",
                  (int)rd32(at + 32));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_image img_id:%d \n",
                  (int)rd32(at + 20));
}

static void log_tag_read(uint64_t at)
{
    LOG_CORE_FLOW("[KORV][UTRAN]tag_read info_id:0x%X \n",
                  rd32(at + 20));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_read addr_type:0x%X \n",
                  rd32(at + 24));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_read info_addr:%p \n",
                  as_addr(rd32(at + 28)));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_read info_size:0x%X\n",
                  rd32(at + 32));
}

static void log_tag_write(uint64_t at)
{
    LOG_CORE_FLOW("[KORV][UTRAN]tag_write addr_type:0x%X \n",
                  rd32(at + 20));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_write addr:%p \n",
                  as_addr(rd32(at + 24)));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_write value:0x%X\n",
                  rd32(at + 28));
}

static void log_bridge_plain(uint64_t at, const char *name)
{
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge name:%s \n", name);
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge type:0x%X \n",
                  rd32(at + 32));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge property:0x%X \n",
                  rd32(at + 36));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge cp2ap_ind:0x%X \n",
                  rd32(at + 48));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge cp2ap_addr:%p\n",
                  as_addr(rd32(at + 40)));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge cp2ap_size:0x%X \n",
                  rd32(at + 44));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge ap2cp_ind:0x%X \n",
                  rd32(at + 60));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge ap2cp_addr:%p \n",
                  as_addr(rd32(at + 52)));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge ap2cp_size:0x%X \n",
                  rd32(at + 56));
}

static void log_bridge_high_speed(uint64_t at)
{
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge cp2ap_pkt_maxnum:%p\n",
                  as_addr(rd32(at + 64)));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge cp2ap_pkt_maxsize:0x%X \n", rd32(at + 68));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge ap2cp_pkt_maxnum:0x%X \n", rd32(at + 72));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge ap2cp_pkt_maxsize:0x%X \n", rd32(at + 76));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge cp2ap_ctl_id:0x%X \n",
                  rd32(at + 80));
    LOG_CORE_FLOW("[KORV][UTRAN]tag_bridge ap2cp_ctl_id:0x%X \n",
                  rd32(at + 84));
}

/* The tag's bytes 20-87 are the driver's dmi_channel, field for field; the
 * high-speed fields are taken only for a high-speed type and left zero
 * otherwise.  The driver's answer does not stop the walk. */
static void handle_bridge(uint64_t at, int action, dmi_channel *rec)
{
    char name[DMI_NAME_SIZE];

    copy_text(name, at + TAG_PAYLOAD);
    log_bridge_plain(at, name);
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
        log_bridge_high_speed(at);
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

    switch (id) {
    case TAG_VER:
        LOG_CORE_FLOW("[KORV][UTRAN]tag_ver imge version:0x%X \n",
                      rd32(at + 20));
        break;
    case TAG_INFO:
        log_tag_info(at);
        break;
    case TAG_IMAGE:
        log_tag_image(at);
        break;
    case TAG_BRIDGE:
        handle_bridge(at, action, rec);
        break;
    case TAG_READ:
        log_tag_read(at);
        break;
    case TAG_WRITE:
        log_tag_write(at);
        break;
    default:
        copy_text(label, at + TAG_LABEL);
        LOG_CORE_FLOW("[KORV][UTRAN]Ignoring unrecognised tag (0x%08x) %s size = %x.\n", id,
                      label, size);
        break;
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
