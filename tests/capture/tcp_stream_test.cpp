// SIP over TCP: streams cut into messages whatever the segmentation,
// retransmission or order, resynchronised after a gap or an overflow,
// stray segments skipped, and every bound (4,096 flows, 1,024 buffers,
// 60 s) kept and counted.
#include "tcp_stream.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string sip(const std::string& method, const std::string& call_id, const std::string& body = "",
                const std::string& length = "Content-Length") {
    return method + " sip:b@example.com SIP/2.0\r\nCall-ID: " + call_id + "\r\n" + length + ": " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string M1 = sip("INVITE", "one", "v=0\r\no=- 1 1 IN IP4 h\r\n");
const std::string M2 = sip("BYE", "two");
const std::string R1 = "SIP/2.0 200 OK\r\nCall-ID: one\r\nl: 3\r\n\r\nabc";

struct Seg {
    int side;           // 0: client to server, 1: back
    std::uint32_t at;   // stream offset (0 is the byte after the SYN)
    std::string bytes;  // payload
    std::uint8_t flags = 0;
    std::int64_t sec = 100;
    std::uint16_t vlan = 0;
};

constexpr std::uint32_t kIsn[2] = {1000, 0xFFFFFFF0u};  // the second wraps

zel::tcp_segment segment(const Seg& s, std::uint16_t client_port = 40000) {
    zel::tcp_segment t;
    zel::endpoint a, b;
    a.addr = {10, 0, 0, 1};
    a.port = client_port;
    b.addr = {10, 0, 0, 2};
    b.port = 5060;
    t.source = s.side == 0 ? a : b;
    t.destination = s.side == 0 ? b : a;
    t.seq = kIsn[s.side] + s.at + ((s.flags & zel::kTcpSyn) ? 0 : 1);
    t.flags = s.flags;
    t.link.vlan = {s.vlan, 0};
    t.payload = {reinterpret_cast<const std::uint8_t*>(s.bytes.data()), s.bytes.size()};
    return t;
}

struct Streams {
    std::unique_ptr<zel::tcp_streams> t = std::make_unique<zel::tcp_streams>();
    zel::drop_counts drops;
    zel::loss_counts losses;
    std::string got;  // every message, each followed by "|"
    Streams() { EXPECT_EQ(t->init(), 0); }

    static void sink(void* ctx, const zel::datagram& d) {
        auto& self = *static_cast<Streams*>(ctx);
        self.got.append(reinterpret_cast<const char*>(d.payload.data()), d.payload.size());
        self.got += '|';
    }
    std::size_t add(const Seg& s, std::uint16_t client_port = 40000) {
        return t->add(segment(s, client_port), s.sec, 0, drops, losses, sink, this);
    }
    void feed(const std::vector<Seg>& segs) {
        for (const Seg& s : segs) add(s);
    }
};

constexpr std::uint8_t kSyn = zel::kTcpSyn;

TEST(TcpStream, CutsMessagesWhateverTheSegments) {
    const std::string two = M1 + "\r\n\r\n" + M2;
    // Whole messages sent in segments of the largest size (lo's 64 KB).
    std::string big, big_want;
    for (int k = 0; big.size() < 70000; ++k) {
        big += sip("MESSAGE", std::to_string(k), std::string(k % 700, 'x'));
        big_want += sip("MESSAGE", std::to_string(k), std::string(k % 700, 'x')) + "|";
    }
    struct Case {
        const char* name;
        std::vector<Seg> segs;
        std::string want;
        std::uint64_t duplicates = 0;
    };
    const Case cases[] = {
        {"split in three",
         {{0, 0, "", kSyn},
          {0, 0, M1.substr(0, 10)},
          {0, 10, M1.substr(10, 40)},
          {0, 50, M1.substr(50)}},
         M1 + "|"},
        {"two in one, keep-alive between", {{0, 0, "", kSyn}, {0, 0, two}}, M1 + "|" + M2 + "|"},
        {"keep-alives alone",
         {{0, 0, "", kSyn}, {0, 0, "\r\n\r\n"}, {0, 4, "\r\n"}, {0, 6, M2}},
         M2 + "|"},
        {"retransmitted",
         {{0, 0, "", kSyn},
          {0, 0, M1.substr(0, 30)},
          {0, 0, M1.substr(0, 30)},
          {0, 30, M1.substr(30)}},
         M1 + "|",
         1},
        {"retransmission with new bytes",
         {{0, 0, "", kSyn}, {0, 0, M1.substr(0, 30)}, {0, 10, M1.substr(10)}},
         M1 + "|"},
        {"reordered",
         {{0, 0, "", kSyn}, {0, 40, M1.substr(40) + M2}, {0, 0, M1.substr(0, 40)}},
         M1 + "|" + M2 + "|"},
        {"three pieces, middle last",
         {{0, 0, "", kSyn},
          {0, 0, two.substr(0, 20)},
          {0, 60, two.substr(60)},
          {0, 20, two.substr(20, 40)}},
         M1 + "|" + M2 + "|"},
        {"both directions, sequence wraps",
         {{0, 0, "", kSyn},
          {1, 0, "", kSyn},
          {0, 0, M1},
          {1, 0, R1.substr(0, 14)},
          {1, 14, R1.substr(14)}},
         M1 + "|" + R1 + "|"},
        {"compact l, blank before the colon, no length",
         {{0, 0, "", kSyn},
          {0, 0,
           sip("MESSAGE", "m", "hey", "l") + sip("MESSAGE", "n", "yo", "Content-Length ") +
               "OPTIONS sip:x SIP/2.0\r\nCall-ID: o\r\n\r\n"}},
         sip("MESSAGE", "m", "hey", "l") + "|" + sip("MESSAGE", "n", "yo", "Content-Length ") +
             "|OPTIONS sip:x SIP/2.0\r\nCall-ID: o\r\n\r\n|"},
        // Without the SYN the stream is taken up at the next start line.
        {"first segment mid-message",
         {{0, 0, "a=rtpmap:0 PCMU/8000\r\n\r\n" + M2}, {0, 200, M1}},
         M2 + "|"},
        {"first segment at a message", {{0, 500, M1}}, M1 + "|"},
        // A direction part way through a message takes a whole segment.
        {"a full-size segment on part of a message",
         {{0, 0, "", kSyn},
          {0, 0, big.substr(0, 100)},
          {0, 100, big.substr(100, 65400)},
          {0, 65500, big.substr(65500)}},
         big_want},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Streams s;
        s.feed(c.segs);
        EXPECT_EQ(s.got, c.want);
        EXPECT_EQ(s.drops[zel::drop_reason::tcp_duplicate], c.duplicates);
    }
}

// One stray segment, SYN or RST costs a long-lived flow nothing; data that
// keeps arriving off the stream is followed; a message cut off by RST is
// counted, one under way when the other side sends FIN completes.
TEST(TcpStream, SkipsStraySegmentsAndResynchronises) {
    const auto n1 = static_cast<std::uint32_t>(M1.size());
    constexpr std::uint32_t kMB = 1u << 20;
    const Seg syn0{0, 0, "", kSyn}, syn1{1, 0, "", kSyn}, half{1, 0, R1.substr(0, 14)};
    struct Case {
        const char* name;
        std::vector<Seg> segs;
        std::string want;
        std::array<std::uint64_t, 3> counts;  // tcp_skipped, tcp_resyncs, tcp_unfinished
    };
    const Case cases[] = {
        {"one segment 1 MB ahead",
         {syn0, {0, 0, M1}, {0, n1 + kMB, M2}, {0, n1, M2}},
         M1 + "|" + M2 + "|",
         {1, 0, 0}},
        {"data keeps arriving 1 MB ahead",
         {syn0, {0, 0, M1}, {0, kMB, "a=x\r\n"}, {0, kMB + 5, M2}},
         M1 + "|" + M2 + "|",
         {1, 1, 0}},
        {"a SYN with another number",
         {syn0, {0, 0, M1}, {0, kMB, "", kSyn}, {0, n1, M2}},
         M1 + "|" + M2 + "|",
         {1, 0, 0}},
        {"an RST out of window",
         {syn0, {0, 0, M1.substr(0, 9)}, {0, kMB, "", zel::kTcpRst}, {0, 9, M1.substr(9)}},
         M1 + "|",
         {1, 0, 0}},
        {"an RST cuts the other side's message off",
         {syn0, syn1, half, {0, 0, "", zel::kTcpRst}},
         "",
         {0, 0, 1}},
        {"FIN while the other side is part way",
         {syn0, syn1, half, {0, 0, M1, zel::kTcpFin}, {1, 14, R1.substr(14)}},
         M1 + "|" + R1 + "|",
         {0, 0, 0}},
        {"the same addresses on two VLANs",
         {{0, 0, "", kSyn, 100, 10},
          {0, 0, M1.substr(0, 9), 0, 100, 10},
          {0, 0, "", kSyn, 100, 20},
          {0, 0, M2, 0, 100, 20},
          {0, 9, M1.substr(9), 0, 100, 10}},
         M2 + "|" + M1 + "|",
         {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Streams s;
        s.feed(c.segs);
        EXPECT_EQ(s.got, c.want);
        EXPECT_EQ(s.drops[zel::drop_reason::tcp_skipped], c.counts[0]);
        EXPECT_EQ(s.losses[zel::loss_reason::tcp_resyncs], c.counts[1]);
        EXPECT_EQ(s.losses[zel::loss_reason::tcp_unfinished], c.counts[2]);
    }
}

// After holes that will never be filled, or a message too large to hold,
// the stream goes on at the next line that begins a message: a SIP
// request or status line as --strict-sip reads it, nothing looser.
TEST(TcpStream, ResynchronisesAfterGapOrOverflow) {
    Streams joined;  // no SYN seen: out of step from the start
    joined.feed({{0, 0, "a=x\r\nSIP/2.0 abc\r\nINVITE sip:a b SIP/2.0\r\n\r\n" + M2}});
    EXPECT_EQ(joined.got, M2 + "|");

    Streams gap;
    gap.feed({{0, 0, "", kSyn}, {0, 0, M1}});
    const auto n1 = static_cast<std::uint32_t>(M1.size());
    for (std::uint32_t k = 1; k <= zel::tcp_streams::kHeldPieces; ++k)
        gap.add({0, n1 + 100 * k, "a=x\r\n"});
    EXPECT_EQ(gap.losses[zel::loss_reason::tcp_gaps], 0u);  // held beyond their holes
    // One piece more than can be held: the holes will not be filled.
    gap.feed({{0, n1 + 2000, "a=junk\r\n" + M2}});
    EXPECT_EQ(gap.got, M1 + "|" + M2 + "|");
    EXPECT_EQ(gap.losses[zel::loss_reason::tcp_gaps], 1u);

    Streams over;
    std::string body;  // SDP-like lines: the stream is taken up at the line after them
    while (body.size() < 70000) body += "a=fmtp:101 0-16\r\n";
    const std::string big = sip("MESSAGE", "big", body);
    std::vector<Seg> segs = {{0, 0, "", kSyn}};
    for (std::uint32_t at = 0; at < big.size(); at += 1400)
        segs.push_back({0, at, big.substr(at, 1400)});
    segs.push_back({0, static_cast<std::uint32_t>(big.size()), M2});
    over.feed(segs);
    EXPECT_EQ(over.got, M2 + "|");
    EXPECT_EQ(over.losses[zel::loss_reason::tcp_overflows], 1u);

    // A header that never ends fills the buffer, then is given up.
    Streams endless;
    endless.feed({{0, 0, "", kSyn}, {0, 0, "INVITE sip:x SIP/2.0\r\n"}});
    std::uint32_t at = 22;
    for (int k = 0; k < 70; ++k, at += 1000) endless.add({0, at, std::string(998, 'h') + "\r\n"});
    endless.add({0, at, M2});
    EXPECT_EQ(endless.got, M2 + "|");
    EXPECT_EQ(endless.losses[zel::loss_reason::tcp_overflows], 1u);
}

TEST(TcpStream, FinOrRstForgetsTheFlow) {
    Streams s;
    s.feed({{0, 0, "", kSyn}, {0, 0, M1.substr(0, 20)}});
    EXPECT_EQ(s.t->flows(), 1u);
    s.feed({{1, 0, "", zel::kTcpRst}});
    EXPECT_EQ(s.t->flows(), 0u);
    s.feed({{0, 0, "", kSyn}, {0, 0, M1, zel::kTcpFin}});
    EXPECT_EQ(s.got, M1 + "|");
    EXPECT_EQ(s.t->flows(), 0u);
    // A bare ACK of a flow not followed starts nothing.
    s.feed({{0, 5, ""}});
    EXPECT_EQ(s.t->flows(), 0u);
    EXPECT_EQ(s.drops[zel::drop_reason::empty_payload], 4u);
}

TEST(TcpStream, BoundsForgetTheLeastRecentlyUsed) {
    Streams s;
    const std::string half = M1.substr(0, 20);
    // 4,096 flows, each holding part of a message in the client's direction.
    for (std::uint32_t k = 0; k < zel::tcp_streams::kFlows; ++k)
        s.add({0, 0, half}, static_cast<std::uint16_t>(1024 + k));
    EXPECT_EQ(s.t->flows(), zel::tcp_streams::kFlows);
    // Only 1,024 buffers: the others were lent on, least recently used first.
    EXPECT_EQ(s.losses[zel::loss_reason::tcp_buffers_evicted],
              zel::tcp_streams::kFlows - zel::tcp_streams::kBuffers);
    // The newest flows still hold theirs and complete their message.
    EXPECT_EQ(s.add({0, 20, M1.substr(20)}, 1024 + 4095), 1u);
    // A 4,097th flow evicts the least recently used.
    s.add({0, 0, half}, 9);
    EXPECT_EQ(s.losses[zel::loss_reason::tcp_flows_evicted], 1u);
    EXPECT_EQ(s.t->flows(), zel::tcp_streams::kFlows);
    // 60 s later every flow is idle and forgotten.
    s.add({0, 0, "", kSyn, 100 + 61}, 10);
    EXPECT_EQ(s.losses[zel::loss_reason::tcp_flows_expired], zel::tcp_streams::kFlows);
    EXPECT_EQ(s.t->flows(), 1u);
}

}  // namespace
