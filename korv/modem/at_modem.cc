/* Modem device control on /dev/modem: the one descriptor of the device, the
 * mapping of the modem's NVRAM cache, reset and run, the ext-info queries
 * and the power-on trace-log switch in modem memory.
 *
 * Ownership: fd_modem, the cache mapping and the ext-info cache belong to
 * this file.  They are written only during bring-up, on the thread that
 * runs it, and no lock guards them; after bring-up other areas read
 * fd_modem and the two cache globals, which no longer change.  The mapping
 * stays for the life of the process. */
#include "modem/at_modem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "cutils/properties.h"
#include "kor_modem.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"

#define NVRAM_CACHE_DEFAULT_SIZE 0x100000
#define TRACE_LOG_PROP "persist.sys.poweron.trace_log"
#define TRACE_LOG_SERVICE "bw-poweron-log"
#define TRACE_LOG_ON 1

int fd_modem = -1;
uint64_t g_js_ram_modem_nvram_cache_base_addr = 0;
uint64_t g_js_ram_modem_nvram_cache_size = NVRAM_CACHE_DEFAULT_SIZE;
/* Bring-up thread; created once by at_modem_open, taken by no operation. */
static uint64_t g_modem_mutex_id = KOR_OS_FAIL;

/* Last driver answer per supported ext-info id, in the order of
 * s_ext_info_ids; 0 = not asked yet (or answered 0, which is asked again),
 * AT_MODEM_FAIL = the request failed and is not repeated. */
static const uint32_t s_ext_info_ids[] = {3, 4, 6, 8, 9};
#define EXT_INFO_SLOTS (sizeof(s_ext_info_ids) / sizeof(s_ext_info_ids[0]))
static uint64_t s_modem_ext_info_cache[EXT_INFO_SLOTS]; /* bring-up thread, no lock */

static int ext_info_slot(uint32_t id)
{
    size_t i;

    for (i = 0; i < EXT_INFO_SLOTS; i++)
        if (s_ext_info_ids[i] == id)
            return (int)i;
    return -1;
}

uint64_t at_modem_get_ext_info(uint32_t id)
{
    modem_ext_info info;
    int slot;

    /* Before the cache: nothing cached is handed out while the device is
     * closed. */
    if (fd_modem < 0) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: fd_modem fault (%d)!\n",
                      fd_modem);
        return AT_MODEM_FAIL;
    }
    slot = ext_info_slot(id);
    if (slot < 0) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: not support modem info id (%d)!\n", (int)id);
        return AT_MODEM_FAIL;
    }
    if (s_modem_ext_info_cache[slot] != 0)
        return s_modem_ext_info_cache[slot];

    memset(&info, 0, sizeof(info));
    info.id = id;
    if (kor_ioctl(fd_modem, MODEM_EXT_INFO, &info) == -1) {
        s_modem_ext_info_cache[slot] = AT_MODEM_FAIL;
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: ioctl get modem ext info id:%d fail !\n", (int)id);
        return AT_MODEM_FAIL;
    }
    s_modem_ext_info_cache[slot] = info.value;
    return info.value;
}

uint64_t at_modem_get_nvram_cache_base_addr(void)
{
    modem_nvram_cache_info info;
    void *addr;

    if (fd_modem < 0)
        return AT_MODEM_FAIL;
    if (g_js_ram_modem_nvram_cache_base_addr != 0) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]:at_modem_get_nvram_cache_base_addr:0x%X\n",
                      (unsigned int)g_js_ram_modem_nvram_cache_base_addr);
        return 0;
    }

    memset(&info, 0, sizeof(info));
    if (kor_ioctl(fd_modem, MODEM_NVRAM_CACHE_INFO, &info) == -1) {
        LOG_MODEM_ERR("ioctl ERROR!\n");
        return AT_MODEM_FAIL;
    }
    LOG_MODEM_ERR("nvram base:0x%X, nvram size:0x%X\n",
                  (unsigned int)info.base, (unsigned int)info.size);

    addr = mmap(NULL, info.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_modem, (off_t)info.base);
    if (addr == MAP_FAILED) {
        int err = errno;
        LOG_MODEM_ERR("mmap errno %d - %s\n", err, strerror(err));
        return AT_MODEM_FAIL;
    }
    g_js_ram_modem_nvram_cache_base_addr = (uint64_t)(uintptr_t)addr;
    LOG_MODEM_ERR("[AT-MODEM][FLOW]:at_modem_get_nvram_cache_base_addr temp_nv_map_addr:%p, "
                  "g_js_ram_modem_nvram_cache_base_addr:0x%X\n",
                  addr, (unsigned int)g_js_ram_modem_nvram_cache_base_addr);
    g_js_ram_modem_nvram_cache_size = info.size;
    kro_ctl_stat_modem_cache(info.base, info.size);
    return 0;
}

/* Stores the power-on trace-log switch from its property into the modem
 * word whose offset the driver reports as ext info 6.  A failed write is
 * logged only: the modem then boots with its own default. */
static void set_trace_log_switch(void)
{
    char value[PROPERTY_VALUE_MAX];
    uint64_t offset;
    int32_t on;
    uint8_t word[4];

    memset(value, 0, sizeof(value));
    property_get(TRACE_LOG_PROP, value, "0");
    offset = at_modem_get_ext_info(EXT_INFO_TRACE_LOG_SWITCH);
    if (offset == AT_MODEM_FAIL)
        return;

    on = atoi(value);
    LOG_MODEM_ERR("[AT-MODEM][FLOW]: at_modem_open trace_log switch_info_value = %d\n", on);
    lseek(fd_modem, (off_t)offset, SEEK_SET);
    /* The modem reads the word little-endian whatever the host order. */
    word[0] = (uint8_t)on;
    word[1] = (uint8_t)((uint32_t)on >> 8);
    word[2] = (uint8_t)((uint32_t)on >> 16);
    word[3] = (uint8_t)((uint32_t)on >> 24);
    if (write(fd_modem, word, sizeof(word)) != (ssize_t)sizeof(word))
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: at_modem_open write fd_modem trace_log fail!!!\n");
    if (on == TRACE_LOG_ON)
        property_set("ctl.start", TRACE_LOG_SERVICE);
}

uint64_t at_modem_open(void)
{
    LOG_MODEM_ERR("[AT-MODEM][FLOW]: at_modem_open enter!\n");
    if (fd_modem != -1) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: at_modem_open close fd_modem!\n");
        close(fd_modem);
        fd_modem = -1;
    }
    /* A result of 0 counts as failure too and is kept as it is. */
    fd_modem = kor_open(MODEM_DEV_PATH, O_RDWR);
    if (fd_modem <= 0) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: Error open modem error!\n");
        return AT_MODEM_FAIL;
    }
    if (at_modem_get_nvram_cache_base_addr() != 0) {
        LOG_NV_ERR("[NV][FLOW]: at_modem_open at_modem_nvram_cache_base_addr ERROR!\n");
        return AT_MODEM_FAIL;
    }
    if (kor_ioctl(fd_modem, MODEM_RESET, NULL) == -1) {
        LOG_MODEM_ERR("[AT-MODEM][FLOW]: Error set modem reset error!\n");
        return AT_MODEM_FAIL;
    }
    LOG_MODEM_ERR("[AT-MODEM][FLOW]: open and reset modem OK !\n");

    set_trace_log_switch();

    /* Created for the device, once; no operation takes it today. */
    if (g_modem_mutex_id == KOR_OS_FAIL) {
        g_modem_mutex_id = tp_os_mutex_create("fd_modem", 1);
        if (g_modem_mutex_id == KOR_OS_FAIL)
            LOG_MODEM_ERR("[AT-MODEM][FLOW]: tp_os_mutex_create g_modem_mutex_id fail !\n");
    }
    return 0;
}

/* Failures of the run request also go to standard output, for whoever
 * started the daemon by hand; flushed at once, since the process ends with
 * _exit. */
static uint64_t start_failed(const char *text)
{
    printf("%s\n", text);
    fflush(stdout);
    LOG_MODEM_ERR("[AT-MODEM][FLOW]: %s\n", text);
    return AT_MODEM_FAIL;
}

uint64_t at_modem_start(void)
{
    LOG_MODEM_FLOW("[AT-MODEM][FLOW]: at_modem_start enter!\n");
    if (fd_modem == -1)
        fd_modem = kor_open(MODEM_DEV_PATH, O_RDWR);
    if (fd_modem <= 0)
        return start_failed("Error open modem error!");
    if (kor_ioctl(fd_modem, MODEM_RUN, NULL) == -1)
        return start_failed("Error set modem run error!");
    return 0;
}
