/* Fuzz target "utran": the tag walk of the UTRAN image header on arbitrary
 * headers.  Each input is loaded while the service runs (the create walk),
 * then the service is stopped (the delete walk over the same store, its
 * pause skipped) and started again on an empty store.
 *
 * Checked: the create walk always completes by setting
 * "ril.start.utran.service" to "1", and the delete walk removes every
 * channel the create walk made, leaving the simulated driver's channel table
 * empty (delete walks at least as far as create, and deletes by the same
 * names). */
#include <string.h>

#include "cutils/properties.h"
#include "fuzz/targets/fuzz_targets.h"
#include "modem/at_modem.h"
#include "utran/utran.h"

#define CHECK(cond) KORV_FUZZ_CHECK("utran", cond)
#define UTRAN_PROP "ril.start.utran.service"

static void utran_fuzz_init(void)
{
    if (at_modem_open() != 0) abort();
    start_utran_service(); /* empty store: nothing walked yet */
}

static char prop_first(const char *name)
{
    char value[PROPERTY_VALUE_MAX];
    memset(value, 0, sizeof value);
    property_get(name, value, "");
    return value[0];
}

void korv_fuzz_utran_clear(void)
{
    static const uint8_t zeros[UTRAN_IMAGE_SIZE] = {0};
    load_utran_wave(zeros, sizeof zeros);
    load_utran_wave(zeros, 0);
}

static int utran_fuzz_one(const uint8_t *data, size_t size)
{
    static const uint8_t none = 0;

    korv_fuzz_skip_pauses(true);
    load_utran_wave(size > 0 ? data : &none, size);
    CHECK(prop_first(UTRAN_PROP) == '1');
    stop_utran_service();
    CHECK(prop_first(UTRAN_PROP) == '0');
    CHECK(korv_fuzz_read(korv_fuzz_path("/dev/modem.channels")).empty());
    korv_fuzz_utran_clear();
    start_utran_service();
    korv_fuzz_trim_journal();
    korv_fuzz_skip_pauses(false);
    return 0;
}

const korv_fuzz_target korv_fuzz_utran = {"utran", utran_fuzz_init, utran_fuzz_one};
