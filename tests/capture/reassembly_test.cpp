// IP reassembly: pieces in any order, duplicated or overlapping alike give
// the datagram once; pieces that disagree give nothing, a new datagram
// under a reused id never completes a stale one, and every bound (4,096
// datagrams, 64 MiB, 30 s) is kept and counted.
#include "index_table.hpp"
#include "reassembly.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Piece {
    std::uint32_t offset;
    std::string bytes;
    bool more;
};

zel::ip_packet piece(const Piece& p, std::uint32_t id = 7, std::uint8_t last_addr = 2) {
    zel::ip_packet f;
    f.source.family = f.destination.family = AF_INET;
    f.source.addr = {10, 0, 0, 1};
    f.destination.addr = {10, 0, 0, last_addr};
    f.protocol = zel::kProtoUdp;
    f.fragment = true;
    f.more_fragments = p.more;
    f.fragment_id = id;
    f.fragment_offset = p.offset;
    f.transport = {reinterpret_cast<const std::uint8_t*>(p.bytes.data()), p.bytes.size()};
    return f;
}

struct Table {
    std::unique_ptr<zel::reassembly> r = std::make_unique<zel::reassembly>();
    zel::drop_counts drops;
    zel::loss_counts losses;
    Table() { EXPECT_EQ(r->init(), 0); }

    // The datagram the pieces complete (as text), or "" if none does.
    std::string feed(const std::vector<Piece>& pieces, std::int64_t now_us = 0,
                     std::uint32_t id = 7) {
        std::string out;
        for (const Piece& p : pieces) {
            if (const auto whole = r->add(piece(p, id), now_us, drops, losses)) {
                EXPECT_FALSE(whole->fragment);
                out.append(reinterpret_cast<const char*>(whole->transport.data()),
                           whole->transport.size());
                out += '|';
            }
        }
        return out;
    }
};

const std::string A8 = "AAAAAAAA", B8 = "BBBBBBBB", C8 = "CCCCCCCC";

TEST(Reassembly, OrdersOverlapsAndDuplicates) {
    struct Case {
        const char* name;
        std::vector<Piece> pieces;
        const char* want;  // every datagram completed, each followed by "|"
        std::uint64_t held;
        std::uint64_t bad;
        std::uint64_t conflicting = 0;
        std::uint64_t restarted = 0;
    };
    const Case cases[] = {
        {"in order",
         {{0, A8, true}, {8, B8, true}, {16, "cc", false}},
         "AAAAAAAABBBBBBBBcc|",
         2,
         0},
        {"reversed",
         {{16, "cc", false}, {8, B8, true}, {0, A8, true}},
         "AAAAAAAABBBBBBBBcc|",
         2,
         0},
        {"duplicated", {{0, A8, true}, {0, A8, true}, {8, "b", false}}, "AAAAAAAAb|", 2, 0},
        {"overlap that agrees",
         {{0, A8 + B8, true}, {8, B8 + C8, true}, {24, "d", false}},
         "AAAAAAAABBBBBBBBCCCCCCCCd|",
         2,
         0},
        // Teardrop: no copy of the disputed bytes can be trusted, so the
        // datagram goes; what follows starts a new one.
        {"overlap with other bytes",
         {{0, A8 + B8, true}, {8, C8 + C8, true}, {24, "d", false}},
         "",
         2,
         1,
         1},
        // Datagram A lost its middle piece; B came whole under the same id.
        {"new first piece starts over",
         {{0, A8, true}, {16, "c", false}, {0, B8, true}, {8, C8, true}, {16, "d", false}},
         "BBBBBBBBCCCCCCCCd|",
         4,
         0,
         0,
         1},
        {"incomplete", {{0, A8, true}, {16, "c", false}}, "", 2, 0},
        {"more pieces not a multiple of 8", {{0, "AAAAAAA", true}}, "", 0, 1},
        {"two different ends",
         {{8, "b", false}, {8, "bb", false}, {0, A8, true}},
         "AAAAAAAAb|",
         1,
         1},
        {"piece past the end", {{8, "b", false}, {0, A8 + B8, true}}, "", 1, 1},
        {"end before a piece", {{8, B8, true}, {0, "a", false}}, "", 1, 1},
        {"past 65,535 bytes", {{65528, A8, false}}, "", 0, 1},
        {"empty piece", {{8, "", false}}, "", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Table t;
        EXPECT_EQ(t.feed(c.pieces), c.want);
        EXPECT_EQ(t.drops[zel::drop_reason::fragment_held], c.held);
        EXPECT_EQ(t.drops[zel::drop_reason::fragment_bad], c.bad);
        EXPECT_EQ(t.losses[zel::loss_reason::fragments_conflicting], c.conflicting);
        EXPECT_EQ(t.losses[zel::loss_reason::fragments_restarted], c.restarted);
    }
}

// The same id and addresses on two VLANs are two datagrams.
TEST(Reassembly, VlanIsPartOfTheIdentity) {
    Table t;
    const Piece first{0, A8, true}, last{8, "b", false};  // outlive the packets
    zel::ip_packet a = piece(first), b = piece(last);
    a.link.vlan = {10, 0};
    EXPECT_FALSE(t.r->add(a, 0, t.drops, t.losses));
    EXPECT_FALSE(t.r->add(b, 0, t.drops, t.losses));
    b.link.vlan = {10, 0};
    EXPECT_TRUE(t.r->add(b, 0, t.drops, t.losses));
}

// The largest datagram (65,535 bytes) in 1,480-byte pieces, last piece first.
TEST(Reassembly, LargestDatagram) {
    std::string whole(zel::reassembly::kMaxDatagram, '\0');
    for (std::size_t k = 0; k < whole.size(); ++k) whole[k] = static_cast<char>('a' + k % 26);
    std::vector<Piece> pieces;
    for (std::uint32_t off = 0; off < whole.size(); off += 1480)
        pieces.push_back({off, whole.substr(off, 1480), off + 1480 < whole.size()});
    std::swap(pieces.front(), pieces.back());
    Table t;
    EXPECT_EQ(t.feed(pieces), whole + "|");
    EXPECT_EQ(t.r->in_progress(), 0u);
}

// 30 s of capture time after its first piece an incomplete datagram is
// gone: its late piece starts a new one and completes nothing.
TEST(Reassembly, IncompleteDatagramExpires) {
    Table t;
    EXPECT_EQ(t.feed({{0, A8, true}}, 1'000'000, 7), "");
    EXPECT_EQ(t.feed({{0, A8, true}}, 2'000'000, 8), "");
    EXPECT_EQ(t.feed({{8, "b", false}}, 31'000'001, 7), "");
    EXPECT_EQ(t.losses[zel::loss_reason::fragments_expired], 1u);
    EXPECT_EQ(t.feed({{8, "b", false}}, 31'000'001, 8), "AAAAAAAAb|");
    EXPECT_EQ(t.r->in_progress(), 1u);  // the late piece of 7, waiting in vain
}

// A 4,097th datagram in progress evicts the first; so does running out of
// the 64 MiB of blocks, and neither disturbs the datagram being added.
TEST(Reassembly, BoundsEvictTheOldest) {
    Table t;
    for (std::uint32_t id = 0; id < zel::reassembly::kSlots; ++id) t.feed({{0, A8, true}}, 0, id);
    EXPECT_EQ(t.r->in_progress(), zel::reassembly::kSlots);
    EXPECT_EQ(t.losses[zel::loss_reason::fragments_evicted], 0u);
    t.feed({{0, A8, true}}, 0, 99999);
    EXPECT_EQ(t.losses[zel::loss_reason::fragments_evicted], 1u);
    // The first datagram is gone, the second is whole: its last piece
    // completes it, and then the first's starts a new one.
    EXPECT_EQ(t.feed({{8, "b", false}}, 0, 1), "AAAAAAAAb|");
    EXPECT_EQ(t.feed({{8, "b", false}}, 0, 0), "");
    EXPECT_EQ(t.losses[zel::loss_reason::fragments_evicted], 1u);

    // Blocks: 2,048 datagrams of 32 KiB each hold all 64 MiB.
    Table m;
    const std::string half(32768, 'x');
    for (std::uint32_t id = 0; id < 2048; ++id) m.feed({{0, half, true}}, 0, id);
    EXPECT_EQ(m.losses[zel::loss_reason::fragments_evicted], 0u);
    // Each new block needed takes the oldest datagram's: the first piece
    // frees 16 blocks of datagram 0, the second one of datagram 1.
    EXPECT_EQ(m.feed({{0, half, true}, {32768, "end", false}}, 0, 5000), half + "end|");
    EXPECT_EQ(m.losses[zel::loss_reason::fragments_evicted], 2u);
}

// IPv6 pieces: the protocol of the first piece is the datagram's, and the
// identity holds no protocol.
TEST(Reassembly, Ipv6TakesTheFirstPiecesNextHeader) {
    Table t;
    const Piece last{8, "b", false}, first{0, A8, true};  // outlive the packets
    zel::ip_packet a = piece(last);
    a.source.family = a.destination.family = AF_INET6;
    a.protocol = 60;  // later pieces may say anything
    zel::ip_packet b = piece(first);
    b.source.family = b.destination.family = AF_INET6;
    b.protocol = zel::kProtoUdp;
    EXPECT_FALSE(t.r->add(a, 0, t.drops, t.losses));
    const auto whole = t.r->add(b, 0, t.drops, t.losses);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->protocol, zel::kProtoUdp);
    EXPECT_EQ(whole->source.family, AF_INET6);
    EXPECT_EQ(whole->transport.size(), 9u);
}

// The table both decoders keep their entries in: every key in one bucket
// (the worst a crafted key can do) is still found, removed from any place
// in its chain, and the use order follows insertion and touching.
TEST(FixedTable, ChainsAndUseOrder) {
    struct Entry {
        int key = 0;
        std::uint16_t older = zel::kNoIndex, newer = zel::kNoIndex, chain = zel::kNoIndex;
    };
    auto t = std::make_unique<zel::fixed_table<Entry, 4>>();
    t->init();
    const auto find = [&](int key) {
        return t->find(7, [&](const Entry& e) { return e.key == key; });
    };
    std::uint16_t at[4];
    for (int k = 0; k < 4; ++k) (*t)[at[k] = t->insert(7)].key = k + 1;
    EXPECT_TRUE(t->full());
    for (int k = 0; k < 4; ++k) EXPECT_EQ(find(k + 1), at[k]);
    t->touch(at[0]);
    EXPECT_EQ(t->oldest, at[1]);
    EXPECT_EQ(t->newest, at[0]);
    t->remove(at[2]);  // the middle of the chain
    EXPECT_EQ(find(3), zel::kNoIndex);
    EXPECT_EQ(find(2), at[1]);
    EXPECT_EQ(find(4), at[3]);
    EXPECT_EQ((*t)[at[1]].newer, at[3]);
    EXPECT_EQ(t->used, 3u);
    EXPECT_EQ((*t)[t->insert(8)].key, 0);  // a fresh entry
    EXPECT_TRUE(t->full());
}

}  // namespace
