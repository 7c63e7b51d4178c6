/* Fuzz target "socbridge": the exception-channel scanner on arbitrary byte
 * streams split at arbitrary points.  The input is a list of chunks, each a
 * length byte n then n bytes (n = 0 is skipped: an empty packet would read
 * as end of file); every chunk goes into a sequenced-packet socket pair, so
 * each read of the scanner returns exactly one chunk, cut to the room left
 * in its 255-byte buffer as a driver read would be, and end of file follows
 * the last.  At most 64 chunks are sent, which the socket holds without a
 * reader.
 *
 * The pty notification goes to /dev/null; the hand-off timer is armed on an
 * event loop that never runs.  Checked: the scanner reports a dump record
 * exactly when the channel's contract finds one (a "ME" marker followed by
 * a whole type field of 2 in the bytes held by one read), and the exception
 * property is set to "1" then. */
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "cutils/properties.h"
#include "exception/exception.h"
#include "fuzz/targets/fuzz_targets.h"

#define CHECK(cond) KORV_FUZZ_CHECK("socbridge", cond)
#define SOC_BUF 255
#define SOC_FIELD 4
#define SOC_TYPE_DUMP 2
#define MAX_CHUNKS 64

typedef std::vector<uint8_t> bytes;

static void socbridge_fuzz_init(void)
{
    ptym_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (ptym_fd < 0) abort();
}

static std::vector<bytes> chunks_of(const uint8_t *data, size_t size)
{
    std::vector<bytes> chunks;
    size_t at = 0;
    while (at < size && chunks.size() < MAX_CHUNKS) {
        size_t n = data[at++];
        if (n > size - at) n = size - at;
        if (n > 0) chunks.emplace_back(data + at, data + at + n);
        at += n;
    }
    return chunks;
}

/* Whether the channel's contract finds a dump record in these reads: a read
 * appends to the bytes held back, the first marker in them is taken, its type
 * counts only when all four bytes of it are there, and what follows the
 * fields read is held for the next read. */
static bool finds_dump(const std::vector<bytes> &chunks)
{
    uint8_t buf[SOC_BUF];
    size_t held = 0;
    for (const bytes &c : chunks) {
        size_t n = c.size() < SOC_BUF - held ? c.size() : SOC_BUF - held;
        memcpy(buf + held, c.data(), n);
        size_t total = held + n;
        size_t i = 0;
        while (i + 1 < total && !(buf[i] == 'M' && buf[i + 1] == 'E')) i++;
        if (i + 1 >= total) {
            held = 0;
            continue;
        }
        size_t p = i + 2;
        bool dump = false;
        if (p + SOC_FIELD <= total) {
            dump = buf[p] == SOC_TYPE_DUMP && buf[p + 1] == 0 && buf[p + 2] == 0 && buf[p + 3] == 0;
            p += SOC_FIELD;
            if (p + SOC_FIELD <= total) p += SOC_FIELD;
        }
        if (dump) return true;
        held = total - p;
        memmove(buf, buf + p, held);
    }
    return false;
}

static int socbridge_fuzz_one(const uint8_t *data, size_t size)
{
    std::vector<bytes> chunks = chunks_of(data, size);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) abort();
    for (const bytes &c : chunks) CHECK(write(sv[1], c.data(), c.size()) == (ssize_t)c.size());
    close(sv[1]);
    property_set(MODEM_EXCEPTION_PROP, "0");

    int rc = read_socbridge(sv[0]);
    close(sv[0]);
    bool dump = finds_dump(chunks);
    CHECK(rc == (dump ? 0 : -1));
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(MODEM_EXCEPTION_PROP, value, "");
    CHECK(value[0] == (dump ? '1' : '0'));
    return 0;
}

const korv_fuzz_target korv_fuzz_socbridge = {"socbridge", socbridge_fuzz_init, socbridge_fuzz_one};
