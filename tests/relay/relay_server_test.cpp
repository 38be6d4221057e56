// The allow-list test on real accepted TCP sockets: the peer address the kernel
// reports (plain IPv4, IPv4-mapped on a dual-stack listener, IPv6) against lists
// written the way the configuration stores them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "relay_server.hpp"

namespace {

using namespace zel;
using zel::server::peer_allowed;

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// The 16-byte form the configuration keeps: IPv4 goes in mapped.
peer_ip ip(const std::string& text) {
    peer_ip out{};
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        out.bytes[10] = 0xff;
        out.bytes[11] = 0xff;
        std::memcpy(out.bytes + 12, &v4, 4);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), out.bytes), 1) << text;
    }
    return out;
}

relay_config config_with(const std::vector<std::string>& allowed) {
    relay_config cfg{};
    for (const auto& a : allowed) cfg.allowed[cfg.allowed_count++] = ip(a);
    return cfg;
}

sockaddr_storage address(const std::string& text, socklen_t* len) {
    sockaddr_storage ss{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        *len = sizeof *v4;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr), 1) << text;
        v6->sin6_family = AF_INET6;
        *len = sizeof *v6;
    }
    return ss;
}

// Connects from `from` to a listener on `listen_on` and returns the accepted
// descriptor, the one the network filter hands to peer_allowed.
void accepted_from(const std::string& listen_on, const std::string& from, fd_guard* srv,
                   fd_guard* cli, fd_guard* acc) {
    socklen_t llen = 0, clen = 0;
    sockaddr_storage laddr = address(listen_on, &llen);
    sockaddr_storage caddr = address(from, &clen);
    srv->fd = socket(laddr.ss_family, SOCK_STREAM, 0);
    ASSERT_GE(srv->fd, 0);
    if (laddr.ss_family == AF_INET6) {
        int off = 0;  // dual-stack, as the relay's listener is with IPv6 on
        ASSERT_EQ(setsockopt(srv->fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off), 0);
    }
    ASSERT_EQ(bind(srv->fd, reinterpret_cast<sockaddr*>(&laddr), llen), 0) << strerror(errno);
    ASSERT_EQ(listen(srv->fd, 4), 0);
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    ASSERT_EQ(getsockname(srv->fd, reinterpret_cast<sockaddr*>(&bound), &blen), 0);
    const in_port_t port = bound.ss_family == AF_INET
                               ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                               : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port;

    cli->fd = socket(caddr.ss_family, SOCK_STREAM, 0);
    ASSERT_GE(cli->fd, 0);
    ASSERT_EQ(bind(cli->fd, reinterpret_cast<sockaddr*>(&caddr), clen), 0) << strerror(errno);
    sockaddr_storage target{};
    socklen_t tlen = 0;
    if (caddr.ss_family == AF_INET) {
        // An IPv4 client reaches a dual-stack listener through its IPv4 side.
        target = address(laddr.ss_family == AF_INET ? listen_on : "127.0.0.1", &tlen);
        reinterpret_cast<sockaddr_in*>(&target)->sin_port = port;
    } else {
        target = address(listen_on == "::" ? "::1" : listen_on, &tlen);
        reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = port;
    }
    ASSERT_EQ(connect(cli->fd, reinterpret_cast<sockaddr*>(&target), tlen), 0) << strerror(errno);
    acc->fd = accept(srv->fd, nullptr, nullptr);
    ASSERT_GE(acc->fd, 0);
}

struct Case {
    const char* name;
    std::string listen_on;
    std::string from;
    std::vector<std::string> allowed;
    bool want;
};

TEST(PeerAllowed, AcceptedTcpPeers) {
    const Case cases[] = {
        {"ipv4 listed", "127.0.0.1", "127.0.0.1", {"127.0.0.1"}, true},
        {"ipv4 not listed", "127.0.0.1", "127.0.0.2", {"127.0.0.1"}, false},
        {"ipv4 second entry", "127.0.0.1", "127.0.0.2", {"10.1.2.3", "127.0.0.2"}, true},
        {"ipv4 entry on dual-stack listener", "::", "127.0.0.1", {"127.0.0.1"}, true},
        {"mapped text entry same as dotted", "::", "127.0.0.1", {"::ffff:127.0.0.1"}, true},
        {"dual-stack ipv4 not listed", "::", "127.0.0.2", {"127.0.0.1", "::1"}, false},
        {"ipv6 listed", "::1", "::1", {"::1"}, true},
        {"ipv6 not listed", "::", "::1", {"127.0.0.1", "::2"}, false},
        {"ipv4 entry does not admit ::1", "::", "::1", {"0.0.0.1"}, false},
        {"empty list rejects everything", "127.0.0.1", "127.0.0.1", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fd_guard srv, cli, acc;
        accepted_from(c.listen_on, c.from, &srv, &cli, &acc);
        if (HasFatalFailure()) return;
        const relay_config cfg = config_with(c.allowed);
        EXPECT_EQ(peer_allowed(&cfg, acc.fd), c.want);
    }
}

// Descriptors without an IP peer must be refused, not read as address zero.
TEST(PeerAllowed, NoIpPeerIsRefused) {
    relay_config cfg = config_with({"127.0.0.1", "::", "0.0.0.0"});
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_FALSE(peer_allowed(&cfg, sv[0]));
    close(sv[0]);
    close(sv[1]);

    fd_guard unconnected;
    unconnected.fd = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(unconnected.fd, 0);
    EXPECT_FALSE(peer_allowed(&cfg, unconnected.fd));  // getpeername: ENOTCONN
    EXPECT_FALSE(peer_allowed(&cfg, -1));
}

}  // namespace
