/* Fuzz target "nv": the NV-channel dispatcher fed arbitrary records
 * (korv_fuzz_records): path-info indications fill the path-info map,
 * NV-modify indications go through "NV_Q" to the real writer thread, and
 * load requests read the ini files and binaries of the simulated root and
 * answer on a socket.  The store is brought up once, as bring-up does
 * (modem open, queue layer, files, tp_nvram_init).
 *
 * The writer writes into any existing file that a path-info record names,
 * and a load reads any file.  Below the temporary root that is harmless, but
 * a ".." or an unmapped pty path (/dev/pts/..., /dev/ptmx) reaches this
 * machine's own files and terminals, so inputs holding either are refused.
 * The exception FIFO is taken out of this root: a load that names it would
 * wait for a writer that never comes. */
#include <unistd.h>

#include "fuzz/targets/fuzz_targets.h"
#include "kor_os.h"
#include "modem/at_modem.h"
#include "nvram/nvram.h"

static int s_nv[2];

static void nv_fuzz_init(void)
{
    unlink(korv_fuzz_path("/dev/socbridge").c_str());
    if (at_modem_open() != 0) abort();
    tp_os_queue_init();
    tp_nvram_open_files();
    if (tp_nvram_init() != 0) abort();
    korv_fuzz_socketpair(s_nv);
}

static int nv_fuzz_one(const uint8_t *data, size_t size)
{
    if (korv_fuzz_contains(data, size, "..") || korv_fuzz_contains(data, size, "/dev/pt"))
        return -1;
    korv_fuzz_records(data, size, [](const uint8_t *rec, size_t len) {
        socket_event(s_nv[0], rec, len);
        korv_fuzz_drain(s_nv[1]);
    });
    korv_fuzz_trim_journal();
    return 0;
}

const korv_fuzz_target korv_fuzz_nv = {"nv", nv_fuzz_init, nv_fuzz_one};
