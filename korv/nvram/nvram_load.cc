/* Waveform binary loads (load request on the NV channel): places a binary of
 * a waveform's directory into modem memory, either through the driver's load
 * request (auth load) or by reading it into a mapping of modem memory
 * (direct load), and confirms with the byte count.  The two ini files of the
 * waveform's directory choose the way.
 *
 * Every file a load names (ini files, binaries, the binary the driver is
 * asked to load) is opened through the confinement check of trust/; a
 * refused file answers as a missing one does, and the driver is never asked
 * for a refused path.
 *
 * Runs on the looper thread inside socket_event and blocks it for the file
 * I/O.  It reads g_wf_path_info_map without its lock: the looper is the only
 * thread that changes the map.  fd_modem is used as it is (no lock). */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fwlink/fwlink.h"
#include "kor_modem.h"
#include "kor_msg_cmd.h"
#include "kor_os.h"
#include "korv_log.h"
#include "kor_platform.h"
#include "modem/at_modem.h"
#include "nvram/nvram_int.h"
#include "trust/trust.h"

#define LOAD_NAME_FIELD_MAX 64 /* bytes of the name field */
#define LOAD_NAME_MAX 63       /* characters of the name */
#define LOAD_PATH_SIZE 192     /* path buffers; a path holds at most 191 */
#define LOAD_INI_LINE_SIZE 2048
#define LOAD_CNF_CAPACITY 100
#define LOAD_RENDER_SIZE 640
#define LOAD_PAGE_MASK 0xFFFu

typedef struct load_req {
    uint64_t u32_flag;
    uint64_t u32_req_len;
    uint64_t u32_read_len;
    uint64_t u32_dst_addr;
    uint64_t u32_file_len;
    uint64_t u32_filename_len;
    char *file_name; /* NUL-terminated copy of the name field */
} load_req;

/* Reads the six numbers and the name.  The name buffer is sized from the
 * field length only up to the largest valid field, so a hostile length never
 * drives an allocation. */
static load_req *load_read(parcel_read_st *parcel)
{
    load_req *req = (load_req *)tp_os_mem_malloc(sizeof *req);
    if (req == NULL)
        return NULL;
    tp_os_mem_set(req, 0, sizeof *req);
    req->u32_flag = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ u32_flag=%d\n", (int)req->u32_flag);
    req->u32_req_len = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ u32_req_len=%d\n", (int)req->u32_req_len);
    req->u32_read_len = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ u32_read_len=%d\n", (int)req->u32_read_len);
    req->u32_dst_addr = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ u32_dst_addr=%d\n", (int)req->u32_dst_addr);
    req->u32_file_len = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ u32_file_len=%d\n", (int)req->u32_file_len);
    req->u32_filename_len = parcel_read_UINT32(parcel);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ u32_filename_len=%d\n", (int)req->u32_filename_len);

    size_t field = req->u32_filename_len < LOAD_NAME_FIELD_MAX ? req->u32_filename_len
                                                                : LOAD_NAME_FIELD_MAX;
    req->file_name = (char *)tp_os_mem_malloc(field + 1);
    if (req->file_name == NULL) {
        tp_os_mem_free(req);
        return NULL;
    }
    tp_os_mem_set(req->file_name, 0, field + 1);
    parcel_read_char_array(parcel, req->file_name, field);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ file_name=%s\n", req->file_name);
    return req;
}

static void load_free(load_req *req)
{
    tp_os_mem_free(req->file_name);
    tp_os_mem_free(req);
}

/* Checks the request against the limits and builds the binary path into
 * path; *wf_path gets the waveform's directory.  -1 (with its line) when the
 * request cannot be carried out. */
static int load_prepare(const sca_header_st *header, parcel_read_st *parcel, const load_req *req,
                        char *path, char *wf_path)
{
    if (parcel_read_overrun(parcel)) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ body ends early, refused\n");
        return -1;
    }
    if (req->u32_filename_len > LOAD_NAME_FIELD_MAX ||
        strlen(req->file_name) > LOAD_NAME_MAX) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ file name over %d characters, refused\n",
                   LOAD_NAME_MAX);
        return -1;
    }
    uint64_t key = nvram_wf_key(header->wf_id);
    const path_info *info =
        g_wf_path_info_map ? (const path_info *)hashmapGet(g_wf_path_info_map, &key) : NULL;
    if (info == NULL) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ no path info for wf_id=%d, refused\n",
                   (int)header->wf_id);
        return -1;
    }
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ wf_path=%s\n", info->wf_path);
    memcpy(wf_path, info->wf_path, sizeof info->wf_path);
    int n = snprintf(path, LOAD_PATH_SIZE, "%s%s", info->wf_path, req->file_name);
    if (n < 0 || n >= LOAD_PATH_SIZE) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ binary path over %d characters, refused\n",
                   LOAD_PATH_SIZE - 1);
        return -1;
    }
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ filename=%s, len:%d\n", path,
                (int)req->u32_filename_len);
    return 0;
}

/* 1 when load_config.ini asks for typed loads ("load_wave_type_ex = ...1..."). */
static int load_wave_type_ex(const char *wf_path, const load_req *req)
{
    char ini[LOAD_PATH_SIZE] = {0};
    char line[LOAD_INI_LINE_SIZE];
    snprintf(ini, sizeof ini, "%s%s", wf_path, "load_config.ini");
    FILE *fp = kro_trust_fopen(ini, "r+");
    if (fp == NULL) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ filename=%s, len:%d,open load_config.ini fail\n",
                    ini, (int)req->u32_filename_len);
        return 0;
    }
    int type = 0;
    for (char *text; (text = nvram_ini_next(fp, '#', line, sizeof line)) != NULL;) {
        char *key = strstr(text, "load_wave_type_ex");
        if (key == NULL)
            continue;
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :%s\n", text);
        char *eq = strchr(key, '=');
        type = eq != NULL && strchr(eq + 1, '1') != NULL;
        break;
    }
    fclose(fp);
    return type;
}

/* Looks in wf_config.ini for a "bin_name" line naming the binary.  Returns
 * that line (inside `line`) when the binary is to go through the driver,
 * else NULL. */
static char *load_find_auth(const char *wf_path, const load_req *req, char *line, size_t cap)
{
    char bin_name[LOAD_NAME_FIELD_MAX] = {0};
    char ini[LOAD_PATH_SIZE] = {0};
    char *match = NULL;

    strncpy(bin_name, req->file_name, sizeof bin_name - 1);
    snprintf(ini, sizeof ini, "%s%s", wf_path, "wf_config.ini");
    FILE *fp = kro_trust_fopen(ini, "r+");
    if (fp == NULL)
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :open wf_config.ini fail\n");
    for (char *text; fp != NULL && (text = nvram_ini_next(fp, ';', line, cap)) != NULL;) {
        if (strstr(text, "bin_name") == NULL)
            continue;
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :rnk ini line :%s, to find name:%s,bin_name:%s\n",
                    text, req->file_name, bin_name);
        if (strstr(text, req->file_name) != NULL) {
            LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :rnk ini line :should auth_load\n");
            match = text;
            break;
        }
    }
    if (fp != NULL)
        fclose(fp);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :auth_load = %d\n", match != NULL);
    return match;
}

/* The driver opens the binary itself, so the confinement check runs before
 * the request, and the length is corrected to the size of the file the check
 * opened, when it has one.  -1 for a refused path: the driver is not asked. */
static int load_auth_check(wf_bin_load_info *info)
{
    struct stat st;
    int bin = kro_trust_open(info->path, O_RDONLY);
    if (bin < 0 && errno == EXDEV)
        return -1;
    int rc = bin < 0 ? -1 : fstat(bin, &st);
    int err = errno;
    if (bin >= 0)
        close(bin);
    if (rc != 0) {
        LOG_MODEM_ERR("[AOS][FLOW]: stat %s error, errno %d - %s\n",
                      info->path, err, strerror(err));
        if (info->len != 0xFFFFFFFFu)
            LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :to load wf bins:file len error:%d,%d\n",
                        (int)info->len, -1);
    } else if ((uint32_t)st.st_size != info->len) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :to load wf bins:file len error:%d,%d\n",
                    (int)info->len, (int)st.st_size);
        if ((int32_t)st.st_size > 0)
            info->len = (uint32_t)st.st_size;
    }
    return 0;
}

/* The driver copies the file itself. */
static void load_auth(const load_req *req, const char *path, const char *ini_line)
{
    wf_bin_load_info info;
    memset(&info, 0, sizeof info);
    int mfd = kor_open(MODEM_DEV_PATH, O_RDWR);
    if (mfd <= 0) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :open modem fail\n");
        if (mfd == 0)
            close(mfd);
        return;
    }
    snprintf(info.path, sizeof info.path, "%s", path);
    info.dst_addr = (uint32_t)req->u32_dst_addr;
    info.len = (uint32_t)req->u32_file_len;
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :filename :%s\n", info.path);
    if (load_auth_check(&info) == 0) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :to load wf bins:%s:%d,%d\n", info.path,
                    (int)info.dst_addr, (int)info.len);
        if (kor_ioctl(mfd, WF_BIN_LOAD, &info) < 0)
            LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :find the bin name:%s\n", ini_line);
    }
    close(mfd);
}

/* Maps len bytes of modem memory at page offset off.  Where modem memory is
 * a plain file, a range past its end is refused up front: touching such a
 * mapping would fault instead of failing the load. */
static void *load_map_modem(uint64_t off, size_t len)
{
    struct stat st;
    if (fstat(fd_modem, &st) == 0 && S_ISREG(st.st_mode) && off + len > (uint64_t)st.st_size) {
        errno = ENXIO;
        return MAP_FAILED;
    }
    return mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd_modem, (off_t)off);
}

/* Reads the binary straight into modem memory; returns the bytes placed. */
static uint64_t load_direct(const load_req *req, const char *path)
{
    FILE *fp = kro_trust_fopen(path, "r+");
    if (fp == NULL) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ File open failed! \n");
        return 0;
    }
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ File open success! fp_bin_file_ptr:0x%lX \n",
                (unsigned long)(uintptr_t)fp);
    tp_fseek(fp, (long)req->u32_read_len, SEEK_SET);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ fd_modem:0x%lX \n", (unsigned long)fd_modem);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ load_req->u32_dst_addr:0x%lX \n",
                (unsigned long)req->u32_dst_addr);

    size_t in_page = req->u32_dst_addr & LOAD_PAGE_MASK;
    size_t map_len = in_page + req->u32_req_len;
    uint64_t count = 0;
    void *map = load_map_modem(req->u32_dst_addr & ~(uint64_t)LOAD_PAGE_MASK, map_len);
    if (map == MAP_FAILED) {
        int err = errno;
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ mmap errno %d - %s\n", err, strerror(err));
    } else {
        count = tp_fread((uint8_t *)map + in_page, 1, req->u32_req_len, fp);
    }
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ File read buffer! write_count:%d \n", (int)count);
    if (map != MAP_FAILED)
        munmap(map, map_len);
    tp_fclose(fp);
    return count;
}

/* Chooses the way and loads; returns the count to confirm. */
static uint64_t load_binary(const load_req *req, const char *path, const char *wf_path)
{
    if (!load_wave_type_ex(wf_path, req)) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :load_wave_type_ex = %d\n", 0);
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :auth_load = %d\n", 0);
        return load_direct(req, path);
    }
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ :load_wave_type_ex = %d\n", 1);
    char line[LOAD_INI_LINE_SIZE];
    const char *match = load_find_auth(wf_path, req, line, sizeof line);
    if (match == NULL)
        return load_direct(req, path);
    load_auth(req, path, match);
    return 0;
}

static void load_confirm(int fd, const sca_header_st *req_header, uint32_t flag, uint32_t count)
{
    sca_header_st header;
    memset(&header, 0, sizeof header);
    header.wf_id = req_header->wf_id;
    header.src = req_header->dst;
    header.dst = req_header->src;
    header.msg_cmd = MWRX_WFMGR_LOAD_CNF;
    parcel_write_st *parcel = parcel_write_new(fd, LOAD_CNF_CAPACITY, &header);
    if (parcel == NULL) {
        LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_CNF parcel is NULL\n");
        return;
    }
    parcel_write_UINT32(parcel, flag);
    parcel_write_UINT32(parcel, count);
    parcel_write_UINT32(parcel, 0);
    char text[LOAD_RENDER_SIZE] = {0};
    to_string_writ_parcel(parcel, text, sizeof text);
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_CNF write socket: %s\n", text);
    kro_fw_write_parcel(parcel);
}

void tp_nvram_load_req(int fd, const sca_header_st *header, parcel_read_st *parcel)
{
    LOG_NV_FLOW("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ wf_id=%d\n", (int)header->wf_id);
    load_req *req = load_read(parcel);
    if (req == NULL) {
        LOG_NV_ERR("[NV][FLOW]: MWRX_WFMGR_LOAD_REQ no memory for the request\n");
        return;
    }
    if (req->u32_flag == 1) {
        char path[LOAD_PATH_SIZE] = {0};
        char wf_path[sizeof(path_info::wf_path)];
        uint64_t count = 0;
        if (load_prepare(header, parcel, req, path, wf_path) == 0)
            count = load_binary(req, path, wf_path);
        load_confirm(fd, header, (uint32_t)req->u32_flag, (uint32_t)count);
    }
    load_free(req);
}
