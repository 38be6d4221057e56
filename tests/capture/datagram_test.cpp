// Datagram decoding: the same datagram on every supported link type, and
// every way a frame can be short, lying, fragmented or foreign.
#include "datagram.hpp"
#include "frame_decoder.hpp"
#include "loss_counts.hpp"
#include "record_capture.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kSip = "OPTIONS sip:x SIP/2.0\r\nCall-ID: d1\r\n\r\n";

// Knobs of one IPv4/UDP datagram; the defaults make a valid one.
struct Datagram {
    std::string payload = kSip;
    std::uint8_t version = 4;
    std::uint8_t ihl_words = 5;  // header length in 32-bit words
    std::uint8_t protocol = 17;
    std::uint16_t fragment = 0;
    int ip_len = -1;   // -1: the real length
    int udp_len = -1;  // -1: the real length
    std::uint8_t src[4] = {192, 0, 2, 10};
    std::uint8_t dst[4] = {198, 51, 100, 7};
    std::uint16_t sport = 53;
    std::uint16_t dport = 5060;
    std::size_t trailer = 0;  // bytes captured after the datagram
};

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

Bytes ipv4(const Datagram& d) {
    const std::size_t ihl = std::max<std::size_t>(d.ihl_words * 4u, 20);
    const std::size_t udp_len = 8 + d.payload.size();
    Bytes b(ihl + udp_len + d.trailer, 0xEE);
    std::fill(b.begin(), b.begin() + ihl, 0);
    b[0] = static_cast<std::uint8_t>(d.version << 4 | d.ihl_words);
    put16(b, 2, static_cast<std::uint16_t>(d.ip_len >= 0 ? d.ip_len : ihl + udp_len));
    put16(b, 6, d.fragment);
    b[8] = 64;
    b[9] = d.protocol;
    std::memcpy(&b[12], d.src, 4);
    std::memcpy(&b[16], d.dst, 4);
    put16(b, ihl, d.sport);
    put16(b, ihl + 2, d.dport);
    put16(b, ihl + 4, static_cast<std::uint16_t>(d.udp_len >= 0 ? d.udp_len : udp_len));
    put16(b, ihl + 6, 0);
    std::memcpy(&b[ihl + 8], d.payload.data(), d.payload.size());
    return b;
}

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes ethernet(const Bytes& ip, std::vector<std::uint16_t> tags = {}, std::uint16_t type = 0x0800) {
    Bytes h = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (std::uint16_t t : tags) {
        h.push_back(static_cast<std::uint8_t>(t >> 8));
        h.push_back(static_cast<std::uint8_t>(t));
        h.push_back(0x00);  // tag control: VLAN 5
        h.push_back(0x05);
    }
    h.push_back(static_cast<std::uint8_t>(type >> 8));
    h.push_back(static_cast<std::uint8_t>(type));
    return concat(h, ip);
}

Bytes sll(const Bytes& ip, std::uint16_t proto = 0x0800) {
    Bytes h(16, 0);
    h[1] = 4;  // packet type "sent by us": must not matter
    put16(h, 14, proto);
    return concat(h, ip);
}

Bytes sll2(const Bytes& ip, std::uint16_t proto = 0x0800) {
    Bytes h(20, 0);
    put16(h, 0, proto);
    put16(h, 4, 0);
    h[8] = 1;  // interface index
    return concat(h, ip);
}

// What one frame gave: its records (none or one) and the reasons counted.
struct Decoded {
    std::vector<std::string> records;
    std::string drops;
};

// Both reason tables take their size from their enum, so that a reason
// added without raising a number cannot count into its neighbour.
static_assert(zel::kDropReasons == static_cast<std::size_t>(zel::drop_reason::count));
static_assert(zel::kLossReasons == static_cast<std::size_t>(zel::loss_reason::count));

// The drop table as text, e.g. "truncated=1"; empty when nothing was counted.
std::string drops_text(const zel::drop_counts& drops) {
    std::string out;
    for (std::size_t k = 0; k < zel::kDropReasons; ++k) {
        if (drops.count[k] == 0) continue;
        if (!out.empty()) out += ' ';
        out.append(zel::kDropReasonNames[k]).append("=").append(std::to_string(drops.count[k]));
    }
    return out;
}

// Decodes an exactly-sized heap copy of the first `caplen` bytes, so that
// any read past the capture is caught by the sanitizers, and runs what it
// gives through the record stage.
Decoded decode(int dlt, const Bytes& frame, std::size_t caplen) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[caplen ? caplen : 1]);
    std::memcpy(copy.get(), frame.data(), caplen);
    zel::drop_counts drops;
    Decoded out;
    const auto d = zel::decode_frame(dlt, {copy.get(), caplen}, 1700000000, 5000, drops);
    if (d) {
        if (auto record = zel_test::record_of(*d, {}, drops)) out.records.push_back(*record);
    }
    out.drops = drops_text(drops);
    return out;
}

// The same through the stateless opt-in decoders (VLAN, IPv6): decode_ip,
// then decode_udp.
Decoded decode_with(const zel::decode_options& o, int dlt, const Bytes& frame, std::size_t caplen) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[caplen ? caplen : 1]);
    std::memcpy(copy.get(), frame.data(), caplen);
    zel::drop_counts drops;
    Decoded out;
    if (const auto p = zel::decode_ip(dlt, {copy.get(), caplen}, o, drops)) {
        if (const auto d = zel::decode_udp(*p, 1700000000, 5000, drops))
            if (auto record = zel_test::record_of(*d, {}, drops)) out.records.push_back(*record);
    }
    out.drops = drops_text(drops);
    return out;
}

Decoded decode_with(const zel::decode_options& o, int dlt, const Bytes& frame) {
    return decode_with(o, dlt, frame, frame.size());
}

Decoded decode(int dlt, const Bytes& frame) {
    return decode(dlt, frame, frame.size());
}

std::string escaped_sip(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string want(const std::string& src, const std::string& dst,
                 const std::string& payload = kSip) {
    return "{\"type\":\"sip.message\",\"switch_id\":\"unknown\",\"timestamp_ms\":1700000000005,"
           "\"call_id\":\"d1\",\"source\":\"" +
           src + "\",\"destination\":\"" + dst +
           "\",\"from\":\"\",\"to\":\"\",\"label\":\"OPTIONS\",\"method\":\"OPTIONS\","
           "\"status\":\"\",\"cseq\":\"\",\"raw\":\"" +
           escaped_sip(payload) + "\"}";
}

const std::string kWant = want("192.0.2.10:53", "198.51.100.7:5060");

struct LinkCase {
    const char* name;
    int dlt;
    Bytes (*frame)(const Bytes& ip);
};

const LinkCase kLinks[] = {
    {"ethernet", zel::kDltEthernet, [](const Bytes& ip) { return ethernet(ip); }},
    {"802.1Q", zel::kDltEthernet, [](const Bytes& ip) { return ethernet(ip, {0x8100}); }},
    {"802.1ad", zel::kDltEthernet, [](const Bytes& ip) { return ethernet(ip, {0x88A8}); }},
    {"cooked v1", zel::kDltLinuxSll, [](const Bytes& ip) { return sll(ip); }},
    {"cooked v2", zel::kDltLinuxSll2, [](const Bytes& ip) { return sll2(ip); }},
    {"raw", zel::kDltRaw, [](const Bytes& ip) { return ip; }},
};

TEST(Datagram, SameRecordOnEveryLinkType) {
    for (const LinkCase& l : kLinks) {
        SCOPED_TRACE(l.name);
        const Decoded got = decode(l.dlt, l.frame(ipv4({})));
        ASSERT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.records[0], kWant);
        EXPECT_EQ(got.drops, "");
    }
}

// Cutting the capture anywhere before the end of the datagram must yield
// nothing, counted as a capture too short, and never a read beyond the
// captured bytes.
TEST(Datagram, EveryShortCaptureIsIgnored) {
    for (const LinkCase& l : kLinks) {
        SCOPED_TRACE(l.name);
        const Bytes f = l.frame(ipv4({}));
        for (std::size_t cut = 0; cut < f.size(); ++cut) {
            const Decoded got = decode(l.dlt, f, cut);
            ASSERT_TRUE(got.records.empty()) << "caplen " << cut;
            ASSERT_EQ(got.drops, "truncated=1") << "caplen " << cut;
        }
    }
}

TEST(Datagram, HeaderVariants) {
    struct Case {
        const char* name;
        Datagram d;
        const char* drops;  // "" when the datagram is handled
    };
    auto with = [](auto change) {
        Datagram d;
        change(d);
        return d;
    };
    const Case cases[] = {
        {"IP options", with([](Datagram& d) { d.ihl_words = 6; }), ""},
        {"longest IP options", with([](Datagram& d) { d.ihl_words = 15; }), ""},
        {"IHL below 5", with([](Datagram& d) { d.ihl_words = 4; }), "header_lies=1"},
        {"IHL 0", with([](Datagram& d) { d.ihl_words = 0; }), "header_lies=1"},
        {"IPv6 version", with([](Datagram& d) { d.version = 6; }), "not_ipv4=1"},
        {"TCP", with([](Datagram& d) { d.protocol = 6; }), "not_udp=1"},
        {"don't fragment alone", with([](Datagram& d) { d.fragment = 0x4000; }), ""},
        {"more fragments", with([](Datagram& d) { d.fragment = 0x2000; }), "fragment=1"},
        {"later fragment", with([](Datagram& d) { d.fragment = 0x0001; }), "fragment=1"},
        {"last fragment with DF", with([](Datagram& d) { d.fragment = 0x4000 | 0x00B9; }),
         "fragment=1"},
        {"UDP length 8", with([](Datagram& d) { d.udp_len = 8; }), "empty_payload=1"},
        {"UDP length 7", with([](Datagram& d) { d.udp_len = 7; }), "header_lies=1"},
        {"UDP length 0", with([](Datagram& d) { d.udp_len = 0; }), "header_lies=1"},
        {"UDP length beyond IP", with([](Datagram& d) { d.udp_len = 8 + int(kSip.size()) + 1; }),
         "header_lies=1"},
        {"IP length beyond capture",
         with([](Datagram& d) { d.ip_len = 28 + int(kSip.size()) + 1; }), "truncated=1"},
        {"IP length below headers", with([](Datagram& d) { d.ip_len = 27; }), "header_lies=1"},
        {"IP length 0xFFFF", with([](Datagram& d) { d.ip_len = 0xFFFF; }), "truncated=1"},
        {"trailer after datagram", with([](Datagram& d) { d.trailer = 6; }), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const LinkCase& l : kLinks) {
            SCOPED_TRACE(l.name);
            const Decoded got = decode(l.dlt, l.frame(ipv4(c.d)));
            EXPECT_EQ(got.drops, c.drops);
            if (*c.drops == '\0') {
                ASSERT_EQ(got.records.size(), 1u);
                EXPECT_EQ(got.records[0], kWant);
            } else {
                EXPECT_TRUE(got.records.empty());
            }
        }
    }
}

// The payload is taken by the UDP length: bytes that the IP length still
// covers after it are not part of it.
TEST(Datagram, PayloadEndsAtUdpLength) {
    Datagram d;
    d.payload = kSip + "TRAILING";
    d.udp_len = 8 + static_cast<int>(kSip.size());
    const Decoded got = decode(zel::kDltRaw, ipv4(d));
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.records[0], kWant);
}

TEST(Datagram, ForeignFramesAreIgnored) {
    const Bytes ip = ipv4({});
    struct Case {
        const char* name;
        int dlt;
        Bytes frame;
        const char* drops;
    };
    const Case cases[] = {
        {"two VLAN tags", zel::kDltEthernet, ethernet(ip, {0x88A8, 0x8100}), "not_ipv4=1"},
        {"two 802.1Q tags", zel::kDltEthernet, ethernet(ip, {0x8100, 0x8100}), "not_ipv4=1"},
        {"IPv6 ethertype", zel::kDltEthernet, ethernet(ip, {}, 0x86DD), "not_ipv4=1"},
        {"ARP ethertype", zel::kDltEthernet, ethernet(ip, {}, 0x0806), "not_ipv4=1"},
        {"tagged IPv6", zel::kDltEthernet, ethernet(ip, {0x8100}, 0x86DD), "not_ipv4=1"},
        {"cooked v1 IPv6", zel::kDltLinuxSll, sll(ip, 0x86DD), "not_ipv4=1"},
        {"cooked v2 IPv6", zel::kDltLinuxSll2, sll2(ip, 0x86DD), "not_ipv4=1"},
        {"BSD loopback link type", 0, concat({2, 0, 0, 0}, ip), "link_type=1"},
        {"802.11 link type", 105, ip, "link_type=1"},
        {"LINKTYPE_RAW number is not a DLT", 101, ip, "link_type=1"},
        {"negative link type", -1, ip, "link_type=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded got = decode(c.dlt, c.frame);
        EXPECT_TRUE(got.records.empty());
        EXPECT_EQ(got.drops, c.drops);
    }
}

TEST(Datagram, LongPayloadIsCutTo16384) {
    Datagram d;
    d.payload = kSip;
    d.payload.resize(20000, 'a');
    const Decoded got = decode(zel::kDltEthernet, ethernet(ipv4(d)));
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.records[0],
              want("192.0.2.10:53", "198.51.100.7:5060", d.payload.substr(0, 16384)));
}

// The decoded end points reach the record: port 0 gives a trailing ":0".
TEST(Datagram, EndpointText) {
    Datagram d;
    d.sport = 0;
    const Decoded got = decode(zel::kDltRaw, ipv4(d));
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.records[0], want("192.0.2.10:0", "198.51.100.7:5060"));
}

// Hostile input: mutated and cut valid frames on every link type must never
// read outside the capture (the sanitizer build checks) and every record
// they yield must be a well-formed one (the JSON check reads them all).
TEST(Datagram, MutatedFramesStaySafe) {
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    std::size_t produced = 0;
    for (int round = 0; round < 3000; ++round) {
        const LinkCase& l = kLinks[round % std::size(kLinks)];
        Datagram d;
        d.payload = kSip + std::string(next() % 64, static_cast<char>(next()));
        Bytes f = l.frame(ipv4(d));
        for (unsigned flips = next() % 4; flips > 0; --flips)
            f[next() % f.size()] = static_cast<std::uint8_t>(next());
        const std::size_t caplen = next() % 4 == 0 ? next() % (f.size() + 1) : f.size();
        const Decoded got = decode(l.dlt, f, caplen);
        ASSERT_LE(got.records.size(), 1u);
        // A frame that gives no record is counted under exactly one reason,
        // one that gives a record under none.
        if (!got.records.empty()) {
            ASSERT_EQ(got.drops, "");
        } else {
            ASSERT_EQ(got.drops.find(' '), std::string::npos) << got.drops;
            ASSERT_EQ(got.drops.substr(got.drops.size() - 2), "=1") << got.drops;
        }
        for (const std::string& r : got.records) {
            ASSERT_EQ(r.find_first_of("\n\r"), std::string::npos);
            for (unsigned char c : r) ASSERT_TRUE(c >= 0x20 && c <= 0x7E);
        }
        produced += got.records.size();
    }
    EXPECT_GT(produced, 0u) << "some mutations must leave a valid datagram";
}

// IPv6: a fixed header, then extension headers as listed (type, bytes),
// then UDP; `payload_len` -1 means the real one.
struct Ipv6 {
    std::vector<std::pair<std::uint8_t, Bytes>> ext;
    std::uint8_t last_next = 17;
    int payload_len = -1;
    int udp_len = -1;
};

Bytes ipv6(const Ipv6& v) {
    Bytes udp(8, 0);
    put16(udp, 0, 53);
    put16(udp, 2, 5060);
    put16(udp, 4, static_cast<std::uint16_t>(v.udp_len >= 0 ? v.udp_len : 8 + kSip.size()));
    udp.insert(udp.end(), kSip.begin(), kSip.end());
    Bytes rest;
    for (std::size_t k = 0; k < v.ext.size(); ++k) {
        Bytes h = v.ext[k].second;
        h[0] = k + 1 < v.ext.size() ? v.ext[k + 1].first : v.last_next;
        rest = concat(rest, h);
    }
    rest = concat(rest, udp);
    Bytes h(40, 0);
    h[0] = 0x60;
    put16(h, 4, static_cast<std::uint16_t>(v.payload_len >= 0 ? v.payload_len : rest.size()));
    h[6] = v.ext.empty() ? v.last_next : v.ext[0].first;
    h[7] = 64;
    const std::uint8_t src[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::uint8_t dst[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0};
    std::memcpy(&h[8], src, 16);
    std::memcpy(&h[24], dst, 16);
    return concat(h, rest);
}

Bytes ext(std::size_t words) {  // an options header of (words + 1) * 8 bytes
    Bytes b((words + 1) * 8, 0);
    b[1] = static_cast<std::uint8_t>(words);
    return b;
}

Bytes fragment_header(std::uint16_t offset_field) {
    Bytes b(8, 0);
    put16(b, 2, offset_field);
    b[7] = 9;  // id
    return b;
}

const std::string kWant6 = want("[2001:db8::1]:53", "[fe80::1234:0]:5060");

zel::decode_options ipv6_on() {
    zel::decode_options o;
    o.ipv6 = true;
    return o;
}

const LinkCase kLinks6[] = {
    {"ethernet", zel::kDltEthernet, [](const Bytes& ip) { return ethernet(ip, {}, 0x86DD); }},
    {"802.1Q", zel::kDltEthernet, [](const Bytes& ip) { return ethernet(ip, {0x8100}, 0x86DD); }},
    {"cooked v1", zel::kDltLinuxSll, [](const Bytes& ip) { return sll(ip, 0x86DD); }},
    {"cooked v2", zel::kDltLinuxSll2, [](const Bytes& ip) { return sll2(ip, 0x86DD); }},
    {"raw", zel::kDltRaw, [](const Bytes& ip) { return ip; }},
};

// --ipv6: the extension header chain is walked onto UDP, every length is
// tested against what the IPv6 header counts, and anything but UDP stops.
TEST(Datagram, Ipv6Variants) {
    struct Case {
        const char* name;
        Ipv6 v;
        const char* drops;  // "" when the datagram is handled
    };
    const Case cases[] = {
        {"plain", {}, ""},
        {"hop-by-hop, routing, destination options",
         {{{0, ext(0)}, {43, ext(2)}, {60, ext(1)}}},
         ""},
        {"atomic fragment", {{{44, fragment_header(0)}}}, ""},
        {"a fragment", {{{44, fragment_header(0x0001)}}}, "fragment=1"},
        {"ICMPv6", {{}, 58}, "not_udp=1"},
        {"TCP without --tcp", {{}, 6}, "not_udp=1"},
        {"ESP after hop-by-hop", {{{0, ext(0)}}, 50}, "not_udp=1"},
        {"extension header past the payload", {{{60, ext(0)}}, 17, 7}, "header_lies=1"},
        {"payload length past the capture", {{}, 17, 200}, "truncated=1"},
        {"UDP length past the payload", {{}, 17, -1, 9 + int(kSip.size())}, "header_lies=1"},
        {"payload too short for UDP", {{}, 17, 4}, "header_lies=1"},
        {"UDP length 8", {{}, 17, -1, 8}, "empty_payload=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const LinkCase& l : kLinks6) {
            SCOPED_TRACE(l.name);
            const Bytes f = l.frame(ipv6(c.v));
            const Decoded got = decode_with(ipv6_on(), l.dlt, f);
            EXPECT_EQ(got.drops, c.drops);
            if (*c.drops == '\0') {
                ASSERT_EQ(got.records.size(), 1u);
                EXPECT_EQ(got.records[0], kWant6);
                // Without the option the same frame stays foreign.
                EXPECT_EQ(decode(l.dlt, f).drops, "not_ipv4=1");
            }
        }
    }
}

TEST(Datagram, EveryShortIpv6CaptureIsIgnored) {
    for (const LinkCase& l : kLinks6) {
        SCOPED_TRACE(l.name);
        const Bytes f = l.frame(ipv6({{{0, ext(0)}}}));
        for (std::size_t cut = 0; cut < f.size(); ++cut) {
            const Decoded got = decode_with(ipv6_on(), l.dlt, f, cut);
            ASSERT_TRUE(got.records.empty()) << "caplen " << cut;
            ASSERT_EQ(got.drops, "truncated=1") << "caplen " << cut;
        }
    }
}

// --vlan: two tags on Ethernet (802.1ad then 802.1Q, or any mix), one or two
// on cooked captures, where the tag follows the protocol field; a third
// tag still stops.
TEST(Datagram, VlanTags) {
    auto sll_tags = [](int dlt, const Bytes& ip, std::vector<std::uint16_t> tags) {
        Bytes inner;
        for (std::size_t k = 1; k < tags.size(); ++k)
            inner.insert(inner.end(), {0, 5, 0, 0}), put16(inner, inner.size() - 2, tags[k]);
        inner.insert(inner.end(), {0, 5, 0x08, 0x00});
        inner = concat(inner, ip);
        return dlt == zel::kDltLinuxSll ? sll(inner, tags[0]) : sll2(inner, tags[0]);
    };
    const Bytes ip = ipv4({});
    struct Case {
        const char* name;
        int dlt;
        Bytes frame;
        const char* without;  // drops without --vlan
        const char* with;     // drops with --vlan
    };
    const Case cases[] = {
        {"QinQ", zel::kDltEthernet, ethernet(ip, {0x88A8, 0x8100}), "not_ipv4=1", ""},
        {"two 802.1Q", zel::kDltEthernet, ethernet(ip, {0x8100, 0x8100}), "not_ipv4=1", ""},
        {"three tags", zel::kDltEthernet, ethernet(ip, {0x88A8, 0x8100, 0x8100}), "not_ipv4=1",
         "not_ipv4=1"},
        {"one tag", zel::kDltEthernet, ethernet(ip, {0x8100}), "", ""},
        {"cooked v1, one tag", zel::kDltLinuxSll, sll_tags(zel::kDltLinuxSll, ip, {0x8100}),
         "not_ipv4=1", ""},
        {"cooked v1, two tags", zel::kDltLinuxSll,
         sll_tags(zel::kDltLinuxSll, ip, {0x88A8, 0x8100}), "not_ipv4=1", ""},
        {"cooked v2, one tag", zel::kDltLinuxSll2, sll_tags(zel::kDltLinuxSll2, ip, {0x88A8}),
         "not_ipv4=1", ""},
        {"cooked v2, two tags", zel::kDltLinuxSll2,
         sll_tags(zel::kDltLinuxSll2, ip, {0x8100, 0x8100}), "not_ipv4=1", ""},
    };
    zel::decode_options vlan;
    vlan.vlan = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(c.dlt, c.frame).drops, c.without);
        const Decoded got = decode_with(vlan, c.dlt, c.frame);
        EXPECT_EQ(got.drops, c.with);
        if (*c.with != '\0') continue;
        ASSERT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.records[0], kWant);
        // Cut anywhere: too short, never read past.
        for (std::size_t cut = 0; cut < c.frame.size(); ++cut)
            ASSERT_EQ(decode_with(vlan, c.dlt, c.frame, cut).drops, "truncated=1") << cut;
    }
}

// The tags' VLAN ids (priority bits left out), outer first, keep flows and
// datagrams on different VLANs apart.
TEST(Datagram, VlanIdsJoinTheLinkKey) {
    Bytes two = ethernet(ipv4({}), {0x88A8, 0x8100});
    put16(two, 14, 0xE00A);
    put16(two, 18, 0x1014);
    zel::decode_options vlan;
    vlan.vlan = true;
    zel::drop_counts drops;
    const auto p = zel::decode_ip(zel::kDltEthernet, two, vlan, drops);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->link.vlan, (std::array<std::uint16_t, 2>{10, 20}));
}

// One IPv4 packet of protocol `proto` from 10.0.0.`src` to 10.0.0.`dst`.
Bytes ipv4_of(std::uint8_t proto, std::uint8_t src, std::uint8_t dst, const Bytes& body) {
    Bytes b(20, 0);
    b[0] = 0x45;
    put16(b, 2, static_cast<std::uint16_t>(20 + body.size()));
    b[8] = 64;
    b[9] = proto;
    b[12] = b[16] = 10;
    b[15] = src;
    b[19] = dst;
    return concat(b, body);
}

// A TCP segment from port 40000 to 5060 (data offset 5 words).
Bytes tcp_of(std::uint32_t seq, std::uint8_t flags, const std::string& payload) {
    Bytes t(20, 0);
    put16(t, 0, 40000);
    put16(t, 2, 5060);
    for (int k = 0; k < 4; ++k) t[4 + k] = static_cast<std::uint8_t>(seq >> (24 - 8 * k));
    t[12] = 0x50;
    t[13] = flags;
    return concat(t, Bytes(payload.begin(), payload.end()));
}

// The same inner addresses and ports in two GRE tunnels (from 10.0.0.1
// and 10.0.0.3 to 10.0.0.2) are two TCP flows: a message under way in one
// is completed while the other opens and sends its own.
TEST(Datagram, TunnelJoinsTheFlowKey) {
    const std::string m1 = "INVITE sip:a SIP/2.0\r\nCall-ID: one\r\nContent-Length: 0\r\n\r\n";
    const std::string m2 = "BYE sip:a SIP/2.0\r\nCall-ID: two\r\nContent-Length: 0\r\n\r\n";
    const auto gre = [](std::uint8_t outer_src, const Bytes& inner) {
        return ethernet(ipv4_of(47, outer_src, 2, concat({0, 0, 0x08, 0x00}, inner)));
    };
    const auto inner = [](std::uint32_t seq, std::uint8_t flags, const std::string& payload) {
        return ipv4_of(6, 5, 6, tcp_of(seq, flags, payload));
    };
    const Bytes frames[] = {
        gre(1, inner(1000, zel::kTcpSyn, "")),    gre(1, inner(1001, 0, m1.substr(0, 9))),
        gre(3, inner(5000000, zel::kTcpSyn, "")), gre(3, inner(5000001, 0, m2)),
        gre(1, inner(1010, 0, m1.substr(9))),
    };
    zel::decode_options o;
    o.tcp = o.decap = true;
    auto decoder = std::make_unique<zel::frame_decoder>();
    ASSERT_EQ(decoder->init(o), 0);
    zel::drop_counts drops;
    std::string got;
    const auto sink = [](void* ctx, const zel::datagram& d) {
        static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(d.payload.data()),
                                               d.payload.size()) += '|';
    };
    for (const Bytes& f : frames) decoder->decode(zel::kDltEthernet, f, 100, 0, drops, sink, &got);
    EXPECT_EQ(got, m2 + "|" + m1 + "|");
    EXPECT_EQ(drops_text(drops), "empty_payload=2 tcp_held=1");
}

// Every decoder that needs frames whole gets libpcap's full snapshot; the
// default capture keeps 65,535.
TEST(Datagram, SnapshotLength) {
    const auto with = [](void (*set)(zel::decode_options&)) {
        zel::decode_options o;
        set(o);
        return zel::snapshot_length(o);
    };
    EXPECT_EQ(with([](zel::decode_options&) {}), 65535);
    EXPECT_EQ(with([](zel::decode_options& o) { o.vlan = o.ipv6 = true; }), 65535);
    EXPECT_EQ(with([](zel::decode_options& o) { o.tcp = true; }), 262144);
    EXPECT_EQ(with([](zel::decode_options& o) { o.reassemble = true; }), 262144);
    EXPECT_EQ(with([](zel::decode_options& o) { o.decap = true; }), 262144);
    EXPECT_EQ(with([](zel::decode_options& o) { o.dedup_ms = 50; }), 262144);
}

}  // namespace
