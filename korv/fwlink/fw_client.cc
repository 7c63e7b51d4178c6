/* The two loopback client connections to the framework service: work channel
 * (fw_client_8010) and NV channel (fw_client_8020).  Connects with endless
 * retry, cuts the byte stream into records, routes each record to the
 * dispatcher of its port, and closes a connection for good on end of stream,
 * a read error or a failed write, handing the fault to exception handling.
 *
 * Ownership: no lock guards the two records.  A connection thread fills its
 * record once (stream and event first, then the descriptor, published with a
 * release store) and ends; from then on the looper reads them.  `fd` is read
 * from any thread (senders address their messages with it) and is claimed
 * back to -1 with one compare-and-swap, so of two threads reporting the same
 * failure only one closes the socket and frees the stream.  The stream is
 * freed only after kor_event_del, which waits for a running callback of the
 * event, so the looper never drains a freed stream. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capture/capture.h"
#include "ctl/ctl.h"
#include "exception/exception.h"
#include "fwlink/fwlink.h"
#include "kor_os.h"
#include "korv_log.h"
#include "nvram/nvram.h"
#include "trust/trust.h"
#include "work/work.h"

#define FW_RETRY_MS 500
#define FW_LOOPBACK "127.0.0.1"

fw_socket_client_st fw_client_8010 = {-1, FW_WORK_PORT, {}, NULL};
fw_socket_client_st fw_client_8020 = {-1, FW_NV_PORT, {}, NULL};

static int fw_fd(const fw_socket_client_st *client)
{
    return client->fd.load(std::memory_order_acquire);
}

/* The connection that owns fd right now, or NULL. */
static fw_socket_client_st *fw_client_of(int fd)
{
    if (fd == -1)
        return NULL;
    if (fw_fd(&fw_client_8010) == fd)
        return &fw_client_8010;
    if (fw_fd(&fw_client_8020) == fd)
        return &fw_client_8020;
    return NULL;
}

/* The counters' name of a connection. */
static int fw_link_of(const fw_socket_client_st *client)
{
    return client == &fw_client_8020 ? KRO_CTL_LINK_NV : KRO_CTL_LINK_WORK;
}

int kro_fw_port(int default_port)
{
    const char *name = default_port == FW_NV_PORT ? "KORV_NV_PORT" : "KORV_WORK_PORT";
    const char *text = getenv(name);
    if (text == NULL || *text == '\0')
        return default_port;
    char *end = NULL;
    long port = strtol(text, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) {
        LOG_CORE_ERR("[KORV][FLOW]%s=%s is no port, using %d\n", name, text,
                     default_port);
        return default_port;
    }
    return (int)port;
}

/* On loopback an unbound client can be handed its destination port as its
 * own ephemeral port and connect to itself; such a "connection" would read
 * back our own writes, so it is undone and counted as a failed attempt. */
static int fw_connected_to_self(int sock)
{
    struct sockaddr_in self = {}, peer = {};
    socklen_t self_len = sizeof(self), peer_len = sizeof(peer);
    if (getsockname(sock, (struct sockaddr *)&self, &self_len) != 0 ||
        getpeername(sock, (struct sockaddr *)&peer, &peer_len) != 0)
        return 0;
    if (self.sin_port != peer.sin_port || self.sin_addr.s_addr != peer.sin_addr.s_addr)
        return 0;
    struct sockaddr unspec = {};
    unspec.sa_family = AF_UNSPEC;
    connect(sock, &unspec, sizeof(unspec));
    return 1;
}

static void fw_connect_forever(int sock, int port)
{
    struct sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = inet_addr(FW_LOOPBACK);
    dest.sin_port = htons((uint16_t)port);

    int one = 1;
    struct linger no_linger = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    /* Closing resets the connection at once: a failed link is never
     * half-open while the daemon restarts. */
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &no_linger, sizeof(no_linger));

    while (connect(sock, (struct sockaddr *)&dest, sizeof(dest)) != 0 || fw_connected_to_self(sock))
        tp_os_thread_sleep(FW_RETRY_MS);
}

static int fw_socket(void)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0)
        LOG_CORE_ERR("[KORV][FLOW] set_fwsocket_event Failed to create socket !\n");
    return sock;
}

/* Connects until an allowed peer answers.  A refused peer is not a link
 * failure: its socket is closed unread (a reset, with SO_LINGER 0) and the
 * next attempt, on a new socket, follows after the usual pause.  Returns the
 * connected socket, or -1 when no new socket could be made. */
static int fw_connect_trusted(int sock, const fw_socket_client_st *client)
{
    for (;;) {
        int64_t uid = -1;
        fw_connect_forever(sock, client->port);
        if (kro_trust_peer_check(sock, client->port, &uid) == 0) {
            kro_ctl_stat_link_peer_uid(fw_link_of(client), uid);
            return sock;
        }
        kro_ctl_stat_link_refused(fw_link_of(client));
        close(sock);
        tp_os_thread_sleep(FW_RETRY_MS);
        if ((sock = fw_socket()) < 0)
            return -1;
    }
}

void *set_fwsocket_event(void *arg)
{
    fw_socket_client_st *client = (fw_socket_client_st *)arg;
    int sock = fw_socket();
    if (sock < 0)
        return NULL;
    LOG_CORE_ERR("[KORV][FLOW] set_fwsocket_event socket:%d, port:%d: data_ptr:%p!\n", sock, client->port,
                 (void *)client);

    if ((sock = fw_connect_trusted(sock, client)) < 0)
        return NULL;
    LOG_CORE_FLOW("[KORV][FLOW]socket_loopback_client port:%d fdConnect=%d\n",
                  client->port, sock);
    LOG_CORE_FLOW("[KORV][FLOW]connected to fw service with port:%d, client fd:%d\n",
                  client->port, sock);

    /* The drain loop reads until EAGAIN; a blocking socket would let an idle
     * or slow peer hold the looper thread. */
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)
        LOG_CORE_ERR("[KORV][FLOW]set_fwsocket_event O_NONBLOCK failed fd:%d errno:%d\n", sock, errno);

    RecordStream *stream = record_stream_new(sock, KOR_RECORD_MAX);
    if (stream == NULL) {
        /* Without a stream every readiness would only log; better an
         * unconnected port than a looper spinning on it. */
        LOG_CORE_ERR("[KORV][FLOW]set_fwsocket_event no record stream, port:%d fd:%d\n", client->port, sock);
        close(sock);
        return NULL;
    }
    client->stream = stream;
    kor_event_set(&client->event, sock, 1, socket_client_fwm, stream);
    client->fd.store(sock, std::memory_order_release);
    kro_ctl_stat_link_connected(fw_link_of(client));
    kor_event_add(&client->event);
    return NULL;
}

static void fw_dispatch(int fd, const void *record, size_t length)
{
    if (fd == fw_fd(&fw_client_8010))
        work_socket_event(fd, record, length);
    else if (fd == fw_fd(&fw_client_8020))
        socket_event(fd, record, length);
    else
        LOG_CORE_FLOW("[KORV][FLOW]socket_client_fwm() no found fd:%d\n", fd);
}

/* The stream fails with EFBIG on a length prefix above the record limit:
 * that record is dropped for its length. */
static void fw_count_oversized(int fd, int err)
{
    fw_socket_client_st *client = fw_client_of(fd);
    if (err != EFBIG || client == NULL)
        return;
    kro_ctl_stat_link_bad_record(fw_link_of(client));
    if (kro_capture_running())
        kro_capture_record(fw_link_of(client), KRO_CAPTURE_IN, NULL, 0, "length above 1024");
}

void socket_client_fwm(int fd, short flags, void *arg)
{
    (void)flags;
    RecordStream *stream = (RecordStream *)arg;
    if (stream == NULL || fd == -1) {
        LOG_CORE_FLOW("[KORV][FLOW]socket_client_fwm error fd=%d, p_rs=%p\n", fd, arg);
        return;
    }
    for (;;) {
        void *record = NULL;
        size_t length = 0;
        int ret = record_stream_get_next(stream, &record, &length);
        int err = errno;
        LOG_CORE_FLOW("[KORV][FLOW]socket_client_fwm(), ret = %d, p_record=%p, recordlen = %d\n", ret, record,
                      (int)length);
        if (ret == 0 && record == NULL) {
            LOG_CORE_FLOW("[KORV][FLOW]socket_client_fwm(), errno = %d, end of stream, maybe is Phone app died!!! \n",
                          err);
            LOG_CORE_ERR("[KORV][FLOW]EOS.  Closing command socket.\n");
            errno = err;
            on_fw_connect_error(fd);
            return;
        }
        if (ret == 0) {
            fw_socket_client_st *from = fw_client_of(fd);
            if (from != NULL)
                kro_ctl_stat_link_record_in(fw_link_of(from), length);
            if (from != NULL && kro_capture_running())
                kro_capture_record(fw_link_of(from), KRO_CAPTURE_IN, record, length,
                                   kro_capture_drop_reason(record, length));
            fw_dispatch(fd, record, length);
            /* A reply that failed to go out closes this very connection and
             * frees the stream from inside the dispatcher. */
            fw_socket_client_st *owner = fw_client_of(fd);
            if (owner == NULL || owner->stream != stream)
                return;
            continue;
        }
        if (ret > 0)
            continue;
        LOG_CORE_FLOW("[KORV][FLOW]socket_client_fwm(), ret = %d, errno = %d \n", ret,
                      err);
        if (err == EAGAIN || err == EINTR)
            return;
        LOG_CORE_ERR("[KORV][FLOW]error on reading command socket errno:%d\n", err);
        fw_count_oversized(fd, err);
        errno = err;
        on_fw_connect_error(fd);
        return;
    }
}

/* Takes fd away from the connection that owns it; NULL when none does. */
static fw_socket_client_st *fw_claim(int fd)
{
    fw_socket_client_st *clients[] = {&fw_client_8010, &fw_client_8020};
    for (fw_socket_client_st *client : clients) {
        int expected = fd;
        if (client->fd.compare_exchange_strong(expected, -1, std::memory_order_acq_rel))
            return client;
    }
    return NULL;
}

void on_fw_connect_error(int fd)
{
    LOG_CORE_FLOW("[KORV][FLOW]on_fw_connect_error fd:%d, errno:%d\n", fd, errno);
    if (fd == -1)
        return;
    fw_socket_client_st *client = fw_claim(fd);
    if (client == NULL) {
        LOG_CORE_FLOW("[KORV][FLOW]on_fw_connect_error no active client for fd:%d\n",
                      fd);
        return;
    }
    /* Disarm while the descriptor is still ours: once closed, its number can
     * be handed to the next file any thread opens. */
    kor_event_del(&client->event);
    close(fd);
    kro_ctl_stat_link_closed(fw_link_of(client));
    RecordStream *stream = client->stream;
    client->stream = NULL;
    record_stream_free(stream);
    kro_handle_modem_exception(KRO_EXCEPTION_LINK);
}

void on_fw_parcel_write_failed(parcel_write_st *parcel)
{
    int reseting = kro_is_modem_reseting();
    if (parcel != NULL && reseting == 0) {
        LOG_CORE_FLOW("[KORV][WORK]on_fw_parcel_write_failed fd:%d, parcel len:%d\n",
                      parcel->fd, (int)parcel->length);
        on_fw_connect_error(parcel->fd);
        return;
    }
    /* A reset tears the link down anyway; closing it here would only start a
     * second exception that is ignored. */
    LOG_CORE_FLOW("[KORV][WORK]on_fw_parcel_write_failed parcel is_modem_reseting:%d, parcel:0x%X, fd:%d\n", reseting,
                  (unsigned)(uintptr_t)parcel, parcel != NULL ? parcel->fd : -1);
}

int kro_fw_write_parcel(parcel_write_st *parcel)
{
    fw_socket_client_st *client = fw_client_of(parcel->fd);
    uint32_t length = parcel->length;
    /* The library releases the parcel once sent: a capture keeps a copy. */
    uint8_t sent[KOR_RECORD_MAX];
    int capture = client != NULL && kro_capture_running() && length >= SCA_HEADER_SIZE &&
                  length <= KOR_RECORD_MAX;
    if (capture)
        kro_capture_sent_copy(parcel->data, length, sent);
    if (write_parcel(parcel) != 0)
        return -1;
    if (client != NULL)
        kro_ctl_stat_link_record_out(fw_link_of(client), length);
    if (capture)
        kro_capture_record(fw_link_of(client), KRO_CAPTURE_OUT, sent, length, NULL);
    return 0;
}
