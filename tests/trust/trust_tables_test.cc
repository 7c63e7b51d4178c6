// The peer lookup from the kernel's TCP tables, the fall-back where socket
// diagnostics are missing: on copies of the tables with the cases the
// ranking must get right, and on this machine's own tables against socket
// diagnostics for a real loopback connection.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "trust/trust.h"
#include "trust/trust_int.h"

namespace {

const char HEADER[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One row as the kernel prints it: ADDR:PORT pairs, state, uid, inode.
std::string row(const std::string &local, const std::string &remote, const char *state, int uid, int inode) {
    char buf[256];
    snprintf(buf, sizeof buf, "   0: %s %s %s 00000000:00000000 00:00000000 00000000 %5d        0 %d 1 0\n",
             local.c_str(), remote.c_str(), state, uid, inode);
    return buf;
}

struct tables {
    std::string dir = [] {
        char t[] = "/tmp/korv-tables-XXXXXX";
        return std::string(mkdtemp(t));
    }();
    std::string tcp = dir + "/tcp", tcp6 = dir + "/tcp6";
    ~tables() {
        unlink(tcp.c_str());
        unlink(tcp6.c_str());
        rmdir(dir.c_str());
    }
    void write(const std::string &v4, const std::string &v6) {
        std::ofstream(tcp) << HEADER << v4;
        std::ofstream(tcp6) << HEADER << v6;
    }
    long uid(uint16_t self_port, uint16_t peer_port) {
        sockaddr_in self = loopback(self_port), peer = loopback(peer_port);
        uint32_t u = 0;
        return kro_trust_procnet_uid(tcp.c_str(), tcp6.c_str(), &self, &peer, &u) == 0 ? (long)u : -errno;
    }
};

std::string hex32(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08X", (unsigned)v);
    return buf;
}
// Addresses as the tables print them on this machine: 127.0.0.1, the IPv4
// and IPv6 wildcards, ::ffff:127.0.0.1; at() adds the port.
const std::string V4 = hex32(htonl(INADDR_LOOPBACK)), V4_ANY = hex32(0), V6_ANY(32, '0'),
                  V6_MAPPED = std::string(16, '0') + hex32(htonl(0xFFFF)) + V4;
std::string at(const std::string &addr, uint16_t port) {
    char buf[8];
    snprintf(buf, sizeof buf, ":%04X", port);
    return addr + buf;
}

TEST(TrustTables, RanksTheConnectionThenListenersAsTheKernelDoes) {
    tables t;
    // The peer's end of the connection 40000 -> 8020 has an owner: it wins
    // over the listener; other ports' rows are noise.
    t.write(row(at(V4_ANY, 8020), at(V4_ANY, 0), "0A", 0, 11) + row(at(V4, 8020), at(V4, 40000), "01", 1000, 12) +
                row(at(V4, 8010), at(V4, 40000), "01", 4242, 13) + "garbage line\n",
            "");
    EXPECT_EQ(t.uid(40000, 8020), 1000);
    // Still in the accept queue (inode 0): the listener's owner counts, a
    // bound IPv4 listener over the wildcard.
    t.write(row(at(V4_ANY, 8020), at(V4_ANY, 0), "0A", 2000, 11) + row(at(V4, 8020), at(V4, 40000), "01", 0, 0) +
                row(at(V4, 8020), at(V4_ANY, 0), "0A", 1001, 14),
            row(at(V6_ANY, 8020), at(V6_ANY, 0), "0A", 3000, 15));
    EXPECT_EQ(t.uid(40000, 8020), 1001);
    // Only IPv6 listeners: the mapped address over the IPv6 wildcard.
    t.write("", row(at(V6_ANY, 8020), at(V6_ANY, 0), "0A", 3000, 15) +
                    row(at(V6_MAPPED, 8020), at(V6_ANY, 0), "0A", 3001, 16));
    EXPECT_EQ(t.uid(40000, 8020), 3001);
    // Nobody on the port, or no table at all.
    EXPECT_EQ(t.uid(40000, 8099), -ENOENT);
    t.write("", "");
    unlink(t.tcp.c_str());
    EXPECT_LT(t.uid(40000, 8020), 0);
}

TEST(TrustTables, AgreesWithSocketDiagnosticsOnALiveConnection) {
    int lis = socket(AF_INET, SOCK_STREAM, 0), cli = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lis, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(lis, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(lis, 1), 0);
    ASSERT_EQ(getsockname(lis, (sockaddr *)&a, &len), 0);
    ASSERT_EQ(connect(cli, (sockaddr *)&a, sizeof a), 0);
    sockaddr_in self{}, peer{};
    len = sizeof self;
    getsockname(cli, (sockaddr *)&self, &len);
    len = sizeof peer;
    getpeername(cli, (sockaddr *)&peer, &len);
    uint32_t from_tables = 99;
    ASSERT_EQ(kro_trust_procnet_uid("/proc/net/tcp", "/proc/net/tcp6", &self, &peer, &from_tables), 0);
    EXPECT_EQ(from_tables, getuid());
    EXPECT_EQ(kro_trust_peer_uid(cli), (int64_t)getuid());
    close(cli);
    close(lis);
}

}  // namespace
