/* Who is at the other end of a framework link.  Loopback TCP carries no
 * credentials, so the owner of the peer's socket comes from the kernel's
 * socket diagnostics (NETLINK_SOCK_DIAG, inet_diag): first the peer's end of
 * this very connection, found by its addresses and ports; while that end
 * still waits in the listener's accept queue it has no owner of its own yet
 * (the kernel reports uid 0 and inode 0 for it), and the owner of the
 * listening socket on the peer's address and port counts instead.
 *
 * Where the kernel has no socket diagnostics, the same answer comes from its
 * text tables (trust_procnet.cc).
 *
 * No state: each check opens its own netlink socket on the connection
 * thread and closes it again; the looper never waits for it. */
#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "korv_log.h"
#include "trust/trust.h"
#include "trust/trust_int.h"

#define DIAG_TCP_LISTEN 10 /* TCP_LISTEN of the kernel's state numbers */
#define DIAG_ALL_STATES 0xFFFFFFFFu
#define DIAG_REPLY_SIZE 16384 /* one batch of a dump; the kernel fills up to a page or two */

/* The best match so far.  score ranks listeners as the kernel's lookup
 * does: a bound address over a wildcard, IPv4 over a dual-stack IPv6
 * socket; 0 while nothing matched. */
typedef struct diag_answer_st {
    struct sockaddr_in peer;
    uint32_t uid;
    uint32_t inode;
    int score;
} diag_answer_st;

typedef int (*diag_match_fn)(const struct nlmsghdr *nh, diag_answer_st *answer);

static int diag_send(int nl, uint8_t family, uint32_t states, const struct inet_diag_sockid *id)
{
    struct {
        struct nlmsghdr nh;
        struct inet_diag_req_v2 req;
    } msg;
    memset(&msg, 0, sizeof msg);
    msg.nh.nlmsg_len = sizeof msg;
    msg.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nh.nlmsg_flags = NLM_F_REQUEST | (id == NULL ? NLM_F_DUMP : 0);
    msg.req.sdiag_family = family;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = states;
    if (id != NULL)
        msg.req.id = *id;
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    ssize_t n = sendto(nl, &msg, sizeof msg, 0, (struct sockaddr *)&kernel, sizeof kernel);
    return n == (ssize_t)sizeof msg ? 0 : -1;
}

/* Hands every socket of the reply to match until it says the answer is
 * found, the dump is done or the kernel reports an error (-1, errno). */
static int diag_receive(int nl, diag_match_fn match, diag_answer_st *answer)
{
    alignas(struct nlmsghdr) char buf[DIAG_REPLY_SIZE]; /* on the connection thread's 1 MiB stack */
    for (;;) {
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n == 0 ? ECONNRESET : errno;
            return -1;
        }
        int len = (int)n;
        for (struct nlmsghdr *nh = (struct nlmsghdr *)buf; NLMSG_OK(nh, len); nh = NLMSG_NEXT(nh, len)) {
            if (nh->nlmsg_type == NLMSG_DONE)
                return 0;
            if (nh->nlmsg_type == NLMSG_ERROR) {
                const struct nlmsgerr *err = (const struct nlmsgerr *)NLMSG_DATA(nh);
                errno = -err->error;
                return err->error == 0 ? 0 : -1;
            }
            if (nh->nlmsg_type == SOCK_DIAG_BY_FAMILY && match(nh, answer))
                return 0;
        }
    }
}

/* An exact lookup has one answer: the peer's end of the connection. */
static int diag_match_conn(const struct nlmsghdr *nh, diag_answer_st *answer)
{
    const struct inet_diag_msg *m = (const struct inet_diag_msg *)NLMSG_DATA(nh);
    answer->uid = m->idiag_uid;
    answer->inode = m->idiag_inode;
    answer->score = 1;
    return 1;
}

static int diag_v6only(const struct nlmsghdr *nh)
{
    const struct inet_diag_msg *m = (const struct inet_diag_msg *)NLMSG_DATA(nh);
    int len = (int)nh->nlmsg_len - (int)NLMSG_LENGTH(sizeof *m);
    for (const struct rtattr *a = (const struct rtattr *)(m + 1); RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type == INET_DIAG_SKV6ONLY)
            return *(const uint8_t *)RTA_DATA(a) != 0;
    return 0;
}

/* Scores a listener on the peer's port: 4 bound to the peer's IPv4 address,
 * 3 an IPv4 wildcard, 2 an IPv6 socket bound to the mapped address, 1 an
 * IPv6 wildcard that takes IPv4; 0 when it would not take the connection. */
static int diag_listener_score(const struct nlmsghdr *nh, const struct sockaddr_in *peer)
{
    const struct inet_diag_msg *m = (const struct inet_diag_msg *)NLMSG_DATA(nh);
    const uint32_t *src = m->id.idiag_src;
    if (m->id.idiag_sport != peer->sin_port)
        return 0;
    if (m->idiag_family == AF_INET)
        return src[0] == peer->sin_addr.s_addr ? 4 : src[0] == INADDR_ANY ? 3 : 0;
    if (m->idiag_family != AF_INET6 || src[0] != 0 || src[1] != 0 || diag_v6only(nh))
        return 0;
    if (src[2] == htonl(0xFFFF) && src[3] == peer->sin_addr.s_addr)
        return 2;
    return src[2] == 0 && src[3] == 0 ? 1 : 0;
}

static int diag_match_listener(const struct nlmsghdr *nh, diag_answer_st *answer)
{
    int score = diag_listener_score(nh, &answer->peer);
    if (score > answer->score) {
        const struct inet_diag_msg *m = (const struct inet_diag_msg *)NLMSG_DATA(nh);
        answer->uid = m->idiag_uid;
        answer->inode = m->idiag_inode;
        answer->score = score;
    }
    return 0;
}

/* The owner of the listening socket that took the connection. */
static int diag_listener(int nl, diag_answer_st *answer)
{
    static const uint8_t families[] = {AF_INET, AF_INET6};
    answer->score = 0;
    for (uint8_t family : families)
        if (diag_send(nl, family, 1u << DIAG_TCP_LISTEN, NULL) != 0 ||
            diag_receive(nl, diag_match_listener, answer) != 0)
            return -1;
    if (answer->score == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

/* The peer's end of the connection: its local address is our peer, its
 * remote address is us. */
static int diag_connection(int nl, const struct sockaddr_in *self, diag_answer_st *answer)
{
    struct inet_diag_sockid id;
    memset(&id, 0, sizeof id);
    id.idiag_sport = answer->peer.sin_port;
    id.idiag_dport = self->sin_port;
    id.idiag_src[0] = answer->peer.sin_addr.s_addr;
    id.idiag_dst[0] = self->sin_addr.s_addr;
    id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    answer->score = 0;
    if (diag_send(nl, AF_INET, DIAG_ALL_STATES, &id) != 0 || diag_receive(nl, diag_match_conn, answer) != 0)
        return -1;
    if (answer->score == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

/* Where the kernel has no socket diagnostics: its text tables. */
static int64_t peer_uid_from_tables(const struct sockaddr_in *self, const struct sockaddr_in *peer)
{
    int err = errno;
    if (err != EPROTONOSUPPORT && err != EAFNOSUPPORT)
        return -1;
    uint32_t uid;
    return kro_trust_procnet_uid("/proc/net/tcp", "/proc/net/tcp6", self, peer, &uid) == 0 ? (int64_t)uid : -1;
}

int64_t kro_trust_peer_uid(int sock)
{
    struct sockaddr_in self;
    diag_answer_st answer;
    socklen_t self_len = sizeof self, peer_len = sizeof answer.peer;
    memset(&answer, 0, sizeof answer);
    if (getsockname(sock, (struct sockaddr *)&self, &self_len) != 0 ||
        getpeername(sock, (struct sockaddr *)&answer.peer, &peer_len) != 0)
        return -1;
    if (self.sin_family != AF_INET || answer.peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
        return peer_uid_from_tables(&self, &answer.peer);
    int rc = diag_connection(nl, &self, &answer);
    if (rc == 0 && answer.inode == 0)
        rc = diag_listener(nl, &answer);
    int err = errno;
    close(nl);
    errno = err;
    return rc == 0 ? (int64_t)answer.uid : -1;
}

int kro_trust_peer_check(int sock, int port, int64_t *uid)
{
    *uid = kro_trust_peer_uid(sock);
    int err = errno;
    if (*uid >= 0 && kro_trust_uid_allowed(*uid))
        return 0;
    LOG_CORE_ERR("[KORV][FLOW] refused fw service on port %d: peer uid %d not allowed\n", port, (int)*uid);
    if (*uid < 0)
        LOG_CORE_ERR("[KORV][FLOW] peer uid of port %d not found: %s\n", port, strerror(err));
    return -1;
}
