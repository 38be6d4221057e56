// The allow-list test on real accepted TCP sockets: the peer address the kernel
// reports (plain IPv4, IPv4-mapped on a dual-stack listener, IPv6) against lists
// written the way the configuration stores them. Then the subscriber rules
// that need no connection: the cut-off rule for a laggard, the resume query
// and the gap notice.
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

// ---- the cut-off rule, the resume query, the gap notice ----------------------

// A subscriber is cut off only after it has been further behind than its
// bounds (here 256 lines or 1,000 bytes) for half a second and its socket is
// choked then; catching up within bounds starts the half second over.
TEST(SubscriberRules, CutOffOnlyAfterHalfASecondBehindWithAChokedSocket) {
    struct Step {
        int64_t at_ms;
        zel::consumer_lag lag;
        bool choked;
        bool cut;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"behind and choked throughout",
         {{1000, {300, 10}, true, false},
          {1499, {300, 10}, true, false},
          {1500, {300, 10}, true, true}}},
        {"behind in bytes only", {{1000, {1, 1001}, true, false}, {1500, {1, 1001}, true, true}}},
        {"takes all it is offered",
         {{1000, {5000, 5000}, false, false}, {9000, {5000, 5000}, false, false}}},
        {"choked only before the half second",
         {{1000, {300, 10}, true, false},
          {1600, {300, 10}, false, false},
          {1700, {300, 10}, true, true}}},
        {"caught up in between",
         {{1000, {300, 10}, true, false},
          {1400, {256, 1000}, true, false},
          {1600, {300, 10}, true, false},
          {2099, {300, 10}, true, false},
          {2100, {300, 10}, true, true}}},
        {"at the bounds is not behind",
         {{1000, {256, 1000}, true, false}, {5000, {256, 1000}, true, false}}},
    };
    for (const Case& c : cases) {
        int64_t since = 0;
        for (const Step& s : c.steps)
            EXPECT_EQ(zel::server::too_slow(&since, s.lag, 256, 1000, s.choked, s.at_ms), s.cut)
                << c.name << " at " << s.at_ms;
    }
}

TEST(SubscriberRules, ResumeQueries) {
    const std::string boot = "0123456789abcdef0123456789abcdef";
    struct Case {
        std::string arg;
        bool ok;
        uint64_t seq;
    };
    const Case cases[] = {
        {"from=" + boot + ":0", true, 0},
        {"from=" + boot + ":42", true, 42},
        {"from=" + boot + ":18446744073709551615", true, UINT64_MAX},
        {"from=" + boot + ":18446744073709551616", false, 0},
        {"from=" + boot + ":99999999999999999999", false, 0},
        {"from=" + boot + ":", false, 0},
        {"from=" + boot + ":1x", false, 0},
        {"from=" + boot + ":+1", false, 0},
        {"from=" + boot, false, 0},
        {"from=" + boot.substr(1) + ":1", false, 0},
        {"from=0123456789ABCDEF0123456789abcdef:1", false, 0},
        {"since=" + boot + ":1", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        zel::server::resume_request r{};
        EXPECT_EQ(zel::server::parse_resume(c.arg, &r), c.ok) << c.arg;
        if (c.ok) {
            EXPECT_EQ(r.seq, c.seq);
            EXPECT_EQ(std::string(r.boot.text), boot);
        }
    }
}

TEST(SubscriberRules, GapNotices) {
    zel::boot_id now{}, old{};
    std::memcpy(now.text, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 33);
    std::memcpy(old.text, "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", 33);
    struct Case {
        bool asked;
        const zel::boot_id* boot;
        uint64_t seq, wanted, attached_at;
        std::string want;
    };
    const Case cases[] = {
        {false, &now, 0, 0, 10, ""},
        {true, &now, 20, 21, 21, ""},  // still held
        {true, &now, 90, 91, 31, ""},  // ahead of the log: the next new line
        {true, &now, 4, 5, 21,
         R"({"gap":{"boot":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","from":5,"to":20,"reason":"expired"}})"},
        {true, &old, 7, 0, 1,
         R"({"gap":{"boot":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb","from":8,"to":null,"reason":"restart"}})"},
    };
    for (const Case& c : cases) {
        zel::server::resume_request r{c.asked, c.seq, *c.boot};
        zel::server::gap_text text;
        EXPECT_EQ(std::string(zel::server::gap_notice(r, now, c.wanted, c.attached_at, &text)),
                  c.want);
    }
}

}  // namespace
