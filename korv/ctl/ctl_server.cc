/* The control socket "/dev/socket/korv" and the thread "kro_ctl" that
 * serves it: one request line in, one JSON line out, for at most
 * KRO_CTL_CLIENTS clients of allowed uids at once.
 *
 * Hostile clients: a request must arrive whole within CTL_REQUEST_MS of its
 * first byte, however it trickles; when every slot is taken, a newcomer
 * takes the slot of a client that has left without a request, else of one
 * that has held it for CTL_STALLED_MS without a whole request; a refused uid is logged once a minute, then with a count
 * (s_refusals), so a connect flood cannot fill the log; and one wake-up
 * accepts at most CTL_ACCEPT_BURST connections, so a flood cannot keep the
 * thread from its clients.
 *
 * The socket has a thread of its own rather than a place on the looper: a
 * status answer copies the path-info map under its lock and formats a few
 * kilobytes, which would delay the framework's records behind an operator's
 * curiosity; and whatever a client does (floods, never reads, stays silent)
 * can then only cost this thread.  Every descriptor is non-blocking and the
 * thread waits only in poll, so a client can neither stall it for long nor
 * reach the looper or the writer.  The thread runs SCHED_OTHER, below the
 * daemon's real-time threads, and blocks the exit signals, so teardown never
 * interrupts it inside the map's or the channel list's lock.
 *
 * Ownership: s_clients, s_refusals and s_listen_fd belong to the control
 * thread once it runs (kro_ctl_start fills s_listen_fd before creating it).  s_socket_path
 * and s_socket_created are written once by kro_ctl_start before the thread
 * exists and read by kro_ctl_stop (exit-signal handler), which only unlinks. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "ctl/ctl_int.h"
#include "kor_os.h"
#include "kor_platform.h"
#include "korv_log.h"
#include "trust/trust.h"

#define KRO_CTL_CLIENTS 4
#define CTL_SILENT_MS 5000
#define CTL_REQUEST_MS 5000
#define CTL_STALLED_MS 250
#define CTL_ACCEPT_BURST 16
#define CTL_REFUSED_UIDS 8
#define CTL_REFUSAL_WINDOW_MS 60000
#define CTL_BACKLOG 16
#define CTL_SOCKET_DIR "/dev/socket"
#define CTL_SOCKET_MODE 0660
#define CTL_THREAD_PRIORITY (-64)
#define CTL_BUSY_ANSWER "{\"error\":\"busy\"}\n"
#define CTL_TOO_LONG_ANSWER "{\"error\":\"request too long\"}\n"
#define CTL_NO_MEMORY_ANSWER "{\"error\":\"out of memory\"}\n"

typedef struct ctl_client_st {
    int fd; /* -1: free slot */
    uint64_t last_ms; /* the last byte that moved either way */
    uint64_t request_ms; /* the first byte of the request not yet whole; 0: none */
    char in[KRO_CTL_LINE_MAX];
    size_t in_len;
    kro_ctl_buf_st out; /* the answer being sent */
    size_t out_off;
    int closing; /* close once the answer is out */
} ctl_client_st;

/* A refused uid's minute: its first refusal was logged at since_ms, the
 * `more` after it are logged as a count when the minute is over. */
typedef struct ctl_refusal_st {
    int64_t uid; /* -1: free slot */
    uint64_t since_ms;
    uint64_t more;
} ctl_refusal_st;

/* Control thread. */
static ctl_client_st s_clients[KRO_CTL_CLIENTS];
static ctl_refusal_st s_refusals[CTL_REFUSED_UIDS];
static int s_listen_fd = -1;
/* Written before the thread exists; read by teardown. */
static char s_socket_path[sizeof(((struct sockaddr_un *)0)->sun_path)];
static int s_socket_created;

static uint64_t now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

static void client_close(ctl_client_st *c)
{
    close(c->fd);
    kro_ctl_buf_free(&c->out);
    c->fd = -1;
    c->in_len = 0;
    c->request_ms = 0;
    c->out_off = 0;
    c->closing = 0;
}

/* Sends what is pending; -1 when the client is gone. */
static int client_flush(ctl_client_st *c)
{
    while (c->out_off < c->out.len) {
        ssize_t n = send(c->fd, c->out.data + c->out_off, c->out.len - c->out_off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR ? 0 : -1;
        c->out_off += (size_t)n;
        c->last_ms = now_ms();
    }
    c->out.len = 0;
    c->out_off = 0;
    return c->closing ? -1 : 0;
}

static void client_answer_line(ctl_client_st *c, size_t line_len)
{
    kro_ctl_answer(c->in, line_len, &c->out);
    if (c->out.failed) {
        kro_ctl_buf_free(&c->out);
        kro_ctl_buf_printf(&c->out, CTL_NO_MEMORY_ANSWER);
    }
    memmove(c->in, c->in + line_len + 1, c->in_len - line_len - 1);
    c->in_len -= line_len + 1;
    c->request_ms = c->in_len > 0 ? now_ms() : 0; /* what follows is the next request */
}

/* Answers buffered lines one at a time: the next only once the previous
 * answer is out, so a client that never reads holds one answer, no more. */
static void client_serve(ctl_client_st *c)
{
    while (c->out.len == 0 && !c->closing) {
        char *nl = (char *)memchr(c->in, '\n', c->in_len);
        if (nl != NULL) {
            client_answer_line(c, (size_t)(nl - c->in));
        } else if (c->in_len == sizeof(c->in)) {
            kro_ctl_buf_printf(&c->out, CTL_TOO_LONG_ANSWER);
            c->closing = 1;
        } else {
            break;
        }
    }
}

/* Reads what has come; -1 when the client is gone. */
static int client_read(ctl_client_st *c)
{
    ssize_t n = recv(c->fd, c->in + c->in_len, sizeof(c->in) - c->in_len, MSG_DONTWAIT);
    if (n == 0)
        return -1;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    c->last_ms = now_ms();
    if (c->in_len == 0)
        c->request_ms = c->last_ms;
    c->in_len += (size_t)n;
    return 0;
}

static void client_event(ctl_client_st *c, short revents)
{
    int gone = 0;
    if (revents & POLLIN)
        gone = client_read(c);
    else if (revents & (POLLHUP | POLLERR | POLLNVAL))
        gone = -1;
    /* Until an answer is left pending or no whole line remains. */
    while (gone == 0) {
        client_serve(c);
        if (c->out.len == 0)
            break;
        gone = client_flush(c);
        if (c->out.len != 0)
            break;
    }
    if (gone != 0)
        client_close(c);
}

/* The one-line refusal for a client over the limit; never waits for it. */
static void reject_busy(int fd)
{
    ssize_t n = send(fd, CTL_BUSY_ANSWER, sizeof(CTL_BUSY_ANSWER) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
    close(fd);
}

/* The earlier of two waits in ms (-1: none). */
static int sooner(int a, int b)
{
    return a < 0 ? b : b < 0 ? a : a < b ? a : b;
}

/* The count line of a refused uid's minute, and its slot freed. */
static void refusal_close(ctl_refusal_st *r)
{
    if (r->more > 0)
        LOG_CORE_ERR("[KORV][CTL] control clients of uid %lld refused %llu more times within a minute\n",
                     (long long)r->uid, (unsigned long long)r->more);
    r->uid = -1;
    r->more = 0;
}

/* Logs a refusal when it is the uid's first in a minute, else counts it. */
static void refusal_note(const struct ucred *cred)
{
    uint64_t now = now_ms();
    ctl_refusal_st *slot = &s_refusals[0];
    for (ctl_refusal_st &r : s_refusals) {
        if (r.uid == (int64_t)cred->uid) {
            slot = &r;
            break;
        }
        if (r.uid < 0 || (slot->uid >= 0 && r.since_ms < slot->since_ms))
            slot = &r; /* a free slot, else the oldest */
    }
    if (slot->uid == (int64_t)cred->uid && now - slot->since_ms < CTL_REFUSAL_WINDOW_MS) {
        slot->more++;
        return;
    }
    if (slot->uid >= 0)
        refusal_close(slot);
    slot->uid = (int64_t)cred->uid;
    slot->since_ms = now;
    LOG_CORE_ERR("[KORV][CTL] control client of uid %u (pid %d) refused\n", (unsigned)cred->uid, (int)cred->pid);
}

/* Closes the minutes that are over; returns the wait until the next ends. */
static int refusals_expire(void)
{
    uint64_t now = now_ms();
    int wait = -1;
    for (ctl_refusal_st &r : s_refusals) {
        if (r.uid < 0)
            continue;
        if (now - r.since_ms >= CTL_REFUSAL_WINDOW_MS) {
            refusal_close(&r);
            continue;
        }
        wait = sooner(wait, (int)(r.since_ms + CTL_REFUSAL_WINDOW_MS - now));
    }
    return wait;
}

static int peer_allowed(int fd)
{
    struct ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        LOG_CORE_ERR("[KORV][CTL] control client without credentials (errno %d), closed\n", errno);
        return 0;
    }
    if (kro_trust_uid_allowed((int64_t)cred.uid))
        return 1;
    refusal_note(&cred);
    return 0;
}

/* Since when the client has been without a whole request. */
static uint64_t waiting_since(const ctl_client_st *c)
{
    return c->in_len > 0 ? c->request_ms : c->last_ms;
}

/* A client that closed without a byte left to read: it only waits for this
 * thread's next poll to give its slot back. */
static int client_left(int fd)
{
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

/* A slot for a new client: a free one or one whose client has left, else
 * the one that has gone longest without a whole request once that is
 * CTL_STALLED_MS (its client is closed); NULL when every client is busy with
 * a request.  Looking for clients that left is what keeps a flood of
 * connect-and-close from answering everyone else "busy". */
static ctl_client_st *free_slot(void)
{
    uint64_t now = now_ms();
    ctl_client_st *stalled = NULL;
    for (ctl_client_st &c : s_clients) {
        if (c.fd >= 0 && c.in_len == 0 && c.out.len == 0 && client_left(c.fd))
            client_close(&c);
        if (c.fd < 0)
            return &c;
        uint64_t since = waiting_since(&c);
        if (c.out.len == 0 && now - since >= CTL_STALLED_MS &&
            (stalled == NULL || since < waiting_since(stalled)))
            stalled = &c;
    }
    if (stalled != NULL)
        client_close(stalled);
    return stalled;
}

static void accept_clients(void)
{
    for (int i = 0; i < CTL_ACCEPT_BURST; i++) {
        int fd = accept4(s_listen_fd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; /* EAGAIN, or a client that left before we got to it */
        if (!peer_allowed(fd) || client_left(fd)) {
            close(fd);
            continue;
        }
        ctl_client_st *slot = free_slot();
        if (slot == NULL) {
            reject_busy(fd);
            continue;
        }
        slot->fd = fd;
        slot->last_ms = now_ms();
    }
}

/* Drops clients silent for too long or whose request is overdue; returns
 * the wait until the next such moment. */
static int drop_silent(void)
{
    uint64_t now = now_ms();
    int wait = -1;
    for (ctl_client_st &c : s_clients) {
        if (c.fd < 0)
            continue;
        uint64_t end = c.last_ms + CTL_SILENT_MS;
        if (c.in_len > 0 && c.out.len == 0 && c.request_ms + CTL_REQUEST_MS < end)
            end = c.request_ms + CTL_REQUEST_MS;
        if (now >= end) {
            client_close(&c);
            continue;
        }
        wait = sooner(wait, (int)(end - now));
    }
    return wait;
}

static void *ctl_thread(void *arg)
{
    (void)arg;
    struct sched_param normal = {};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    tp_os_thread_signal_register();
    for (ctl_client_st &c : s_clients)
        c.fd = -1;
    for (ctl_refusal_st &r : s_refusals)
        r.uid = -1;
    for (;;) {
        struct pollfd fds[KRO_CTL_CLIENTS + 1];
        fds[0] = {s_listen_fd, POLLIN, 0};
        for (int i = 0; i < KRO_CTL_CLIENTS; i++) {
            ctl_client_st *c = &s_clients[i];
            fds[i + 1] = {c->fd, (short)(c->out.len > c->out_off ? POLLOUT : POLLIN), 0};
        }
        if (poll(fds, KRO_CTL_CLIENTS + 1, sooner(drop_silent(), refusals_expire())) < 0)
            continue;
        for (int i = 0; i < KRO_CTL_CLIENTS; i++)
            if (s_clients[i].fd >= 0 && fds[i + 1].revents != 0)
                client_event(&s_clients[i], fds[i + 1].revents);
        if (fds[0].revents & POLLIN)
            accept_clients();
    }
    return NULL;
}

/* The descriptor init created for korv, or -1 when there is none. */
static int init_socket(void)
{
    const char *text = getenv(KRO_CTL_INIT_SOCKET_ENV);
    if (text == NULL || *text == '\0')
        return -1;
    char *end = NULL;
    long fd = strtol(text, &end, 10);
    int type = 0;
    socklen_t len = sizeof(type);
    if (*end != '\0' || fd < 0 || fd > INT32_MAX ||
        getsockopt((int)fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        LOG_CORE_ERR("[KORV][CTL] %s=%s is no stream socket, creating %s\n", KRO_CTL_INIT_SOCKET_ENV, text,
                     KRO_CTL_SOCKET_PATH);
        return -1;
    }
    fcntl((int)fd, F_SETFD, FD_CLOEXEC);
    return (int)fd;
}

/* A stale socket of an earlier korv (one killed without teardown) is
 * replaced; anything else at the path is left alone and bind fails. */
static void remove_stale(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path);
}

/* Creates, binds and sets the mode of korv's own socket; the fd or -1. */
static int own_socket(void)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (kor_path_map(KRO_CTL_SOCKET_PATH, addr.sun_path, sizeof(addr.sun_path)) != 0) {
        LOG_CORE_ERR("[KORV][CTL] %s: mapped path too long for a socket\n", KRO_CTL_SOCKET_PATH);
        return -1;
    }
    char dir[KOR_PATH_MAX];
    if (kor_path_map(CTL_SOCKET_DIR, dir, sizeof(dir)) == 0)
        mkdir(dir, 0755); /* present on a phone; made on a simulated one */
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG_CORE_ERR("[KORV][CTL] control socket not created, errno %d\n", errno);
        return -1;
    }
    remove_stale(addr.sun_path);
    if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0 || kor_chmod(KRO_CTL_SOCKET_PATH, CTL_SOCKET_MODE) != 0) {
        LOG_CORE_ERR("[KORV][CTL] %s: bind or chmod failed, errno %d\n", KRO_CTL_SOCKET_PATH, errno);
        close(fd);
        return -1;
    }
    memcpy(s_socket_path, addr.sun_path, sizeof(s_socket_path));
    s_socket_created = 1;
    return fd;
}

int kro_ctl_start(void)
{
    int fd = init_socket();
    if (fd < 0)
        fd = own_socket();
    if (fd < 0)
        return -1;
    int flags = fcntl(fd, F_GETFL);
    if (listen(fd, CTL_BACKLOG) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        LOG_CORE_ERR("[KORV][CTL] %s: listen failed, errno %d\n", KRO_CTL_SOCKET_PATH, errno);
        goto close_fd;
    }
    s_listen_fd = fd;
    if (tp_os_thread_create("kro_ctl", ctl_thread, CTL_THREAD_PRIORITY, 1, NULL) == KOR_OS_FAIL) {
        LOG_CORE_ERR("[KORV][CTL] kro_ctl thread create failed\n");
        goto close_fd;
    }
    return 0;
close_fd:
    kro_ctl_stop();
    close(fd);
    s_listen_fd = -1;
    return -1;
}

void kro_ctl_stop(void)
{
    if (s_socket_created)
        unlink(s_socket_path);
}
