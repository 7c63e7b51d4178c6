/* The peer lookup from the kernel's text tables of TCP sockets
 * (/proc/net/tcp and /proc/net/tcp6), for where socket diagnostics are
 * missing: Android kernels built without inet_diag, and qemu-user, which
 * runs the arm64 suite and passes no NETLINK_SOCK_DIAG through.  The tables
 * name the same owner (uid) and inode per socket as inet_diag does; they do
 * not show IPV6_V6ONLY, so an IPv6 wildcard listener counts as one that takes
 * IPv4, the last choice of the ranking.
 *
 * The files are the kernel's, not the phone's: they are read with plain
 * stdio, never mapped below KORV_ROOT.  No state. */
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "trust/trust_int.h"

#define PROCNET_LISTEN 0x0A /* TCP_LISTEN as the tables print it */
#define PROCNET_LINE_MAX 512

/* One row: addresses as the kernel prints them (each 32-bit word of the
 * address in memory order, read back as a native integer, so it compares
 * with s_addr as it is), ports in host order. */
typedef struct procnet_row_st {
    uint32_t local[4], remote[4];
    unsigned local_port, remote_port, state;
    uint32_t uid;
    unsigned long inode;
} procnet_row_st;

/* Reads "ADDR:PORT" of `words` 32-bit words; returns the text after it. */
static const char *procnet_addr(const char *p, int words, uint32_t *addr, unsigned *port)
{
    for (int w = 0; w < words; w++) {
        unsigned v;
        int used = 0;
        if (sscanf(p, "%8X%n", &v, &used) != 1 || used != 8)
            return NULL;
        addr[w] = v;
        p += used;
    }
    int used = 0;
    return sscanf(p, ":%4X%n", port, &used) == 1 && used == 5 ? p + used : NULL;
}

/* Parses one table row; 0 when it is one. */
static int procnet_row(const char *line, int words, procnet_row_st *row)
{
    memset(row, 0, sizeof *row);
    const char *p = strchr(line, ':');
    if (p == NULL)
        return -1;
    while (*++p == ' ')
        ;
    p = procnet_addr(p, words, row->local, &row->local_port);
    if (p == NULL || *p++ != ' ')
        return -1;
    p = procnet_addr(p, words, row->remote, &row->remote_port);
    if (p == NULL)
        return -1;
    /* st tx:rx tr:when retrnsmt uid timeout inode */
    return sscanf(p, " %2X %*X:%*X %*X:%*X %*X %u %*d %lu", &row->state, &row->uid, &row->inode) == 3 ? 0 : -1;
}

/* The words an IPv4 address takes in a table of `words` words. */
static int procnet_is_v4(const uint32_t *addr, int words, uint32_t v4)
{
    if (words == 1)
        return addr[0] == v4;
    return addr[0] == 0 && addr[1] == 0 && addr[2] == htonl(0xFFFF) && addr[3] == v4;
}

static int procnet_is_any(const uint32_t *addr, int words)
{
    for (int w = 0; w < words; w++)
        if (addr[w] != 0)
            return 0;
    return 1;
}

/* Ranks a row as socket diagnostics ranks its answers: 5 the peer's end of
 * the connection; for listeners on the peer's port 4 bound to its IPv4
 * address, 3 an IPv4 wildcard, 2 IPv6 bound to the mapped address, 1 an IPv6
 * wildcard; 0 no match. */
static int procnet_score(const procnet_row_st *row, int words, const struct sockaddr_in *self,
                         const struct sockaddr_in *peer)
{
    uint32_t peer_addr = peer->sin_addr.s_addr;
    if (row->local_port != ntohs(peer->sin_port))
        return 0;
    if (row->state != PROCNET_LISTEN)
        return row->remote_port == ntohs(self->sin_port) && procnet_is_v4(row->local, words, peer_addr) &&
                       procnet_is_v4(row->remote, words, self->sin_addr.s_addr)
                   ? 5
                   : 0;
    if (procnet_is_v4(row->local, words, peer_addr))
        return words == 1 ? 4 : 2;
    return procnet_is_any(row->local, words) ? (words == 1 ? 3 : 1) : 0;
}

/* Keeps the best row of one table in *best (its score in *score); the
 * connection's own row wins only while it has an owner (inode not 0). */
static int procnet_scan(const char *path, int words, const struct sockaddr_in *self,
                        const struct sockaddr_in *peer, procnet_row_st *best, int *score)
{
    FILE *fp = fopen(path, "re");
    if (fp == NULL)
        return -1;
    char line[PROCNET_LINE_MAX];
    procnet_row_st row;
    while (fgets(line, sizeof line, fp) != NULL) {
        if (procnet_row(line, words, &row) != 0)
            continue;
        int s = procnet_score(&row, words, self, peer);
        if (s == 5 && row.inode == 0)
            continue;
        if (s > *score) {
            *best = row;
            *score = s;
        }
    }
    fclose(fp);
    return 0;
}

int kro_trust_procnet_uid(const char *tcp, const char *tcp6, const struct sockaddr_in *self,
                          const struct sockaddr_in *peer, uint32_t *uid)
{
    procnet_row_st best;
    int score = 0;
    if (procnet_scan(tcp, 1, self, peer, &best, &score) != 0)
        return -1;
    procnet_scan(tcp6, 4, self, peer, &best, &score); /* no IPv6 on the machine: no table */
    if (score == 0) {
        errno = ENOENT;
        return -1;
    }
    *uid = best.uid;
    return 0;
}
