// What decides whether a payload is SIP and whether it is wanted: the
// start-line rule (--strict-sip, and every message cut from TCP), the
// method of a CSeq, the --ignore-methods list, and the duplicate table
// (--dedup) with its window and bound.
#include "dedup.hpp"
#include "sip_framing.hpp"
#include "sip_record.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace {

std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(SipFraming, StartLines) {
    using zel::start_line_kind;
    struct Case {
        std::string_view payload;
        start_line_kind want;
        std::string_view method;
    };
    const Case cases[] = {
        {"INVITE sip:1002@example.com SIP/2.0\r\nCall-ID: a\r\n", start_line_kind::request,
         "INVITE"},
        {"OPTIONS sip:h SIP/2.0", start_line_kind::request, "OPTIONS"},
        {"X-Own.Method sips:a@b;x=1 SIP/2.0\n", start_line_kind::request, "X-Own.Method"},
        {"SIP/2.0 200 OK\r\n", start_line_kind::response, ""},
        {"SIP/2.0 180\r\n", start_line_kind::response, ""},
        {"SIP/2.0 999 Whatever", start_line_kind::response, ""},
        // What the default decoder takes for SIP, and must not be.
        {"200 1234 OK\nI: 5A2F\n", start_line_kind::none, ""},                  // MGCP reply
        {"HTTP/1.1 200 OK\r\n", start_line_kind::none, ""},                     // HTTP
        {"GET / HTTP/1.1\r\n", start_line_kind::none, ""},                      // HTTP
        {"INVITE MSNMSGR:a@b MSNSLP/1.0\r\n", start_line_kind::none, ""},       // MSNSLP
        {"\x32\xff\x00\x40\x00\x00\x00\x07INVITE", start_line_kind::none, ""},  // GTP-U
        {"SIP/2.0 20 OK\r\n", start_line_kind::none, ""},
        {"SIP/2.0 2000 OK\r\n", start_line_kind::none, ""},
        {"SIP/2.0 2x0 OK\r\n", start_line_kind::none, ""},
        {"sip/2.0 200 OK\r\n", start_line_kind::none, ""},
        {"INVITE sip:a SIP/2.0 \r\n", start_line_kind::none, ""},  // trailing blank
        {"INVITE  sip:a SIP/2.0\r\n", start_line_kind::none, ""},  // empty URI
        {"INVITE sip:a\tb SIP/2.0\r\n", start_line_kind::none, ""},
        {"INV(TE sip:a SIP/2.0\r\n", start_line_kind::none, ""},
        {"INVITE sip:a SIP/2.1\r\n", start_line_kind::none, ""},
        {"INVITE sip:a SIP/2.0 extra\r\n", start_line_kind::none, ""},
        {"\r\nINVITE sip:a SIP/2.0\r\n", start_line_kind::none, ""},  // skipped by the caller
        {"", start_line_kind::none, ""},
    };
    for (const Case& c : cases) {
        std::string_view method;
        EXPECT_EQ(zel::classify_start_line(bytes(c.payload), &method), c.want) << c.payload;
        EXPECT_EQ(method, c.method) << c.payload;
    }
}

TEST(SipFraming, CseqMethodAndLeadingCrlf) {
    struct Case {
        std::string_view cseq;
        std::string_view want;
    };
    const Case cases[] = {
        {"1 INVITE", "INVITE"},
        {"314159\tBYE", "BYE"},
        {"2  OPTIONS x", "OPTIONS"},
        {"INVITE", ""},
        {"1INVITE", ""},
        {"", ""},
        {"12 ", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(zel::cseq_method(c.cseq), c.want) << c.cseq;
    EXPECT_EQ(zel::leading_crlf(bytes("\r\n\r\nOPTIONS")), 4u);
    EXPECT_EQ(zel::leading_crlf(bytes("\n\n")), 2u);
    EXPECT_EQ(zel::leading_crlf(bytes("OPTIONS")), 0u);
}

// Where one message ends in a stream: the same whether its bytes come at
// once or one at a time (the search resumes where it stopped).
TEST(SipFraming, MessageExtent) {
    struct Case {
        std::string_view bytes;
        std::size_t header;  // 0: not complete
        std::size_t body;
    };
    const Case cases[] = {
        {"BYE sip:a SIP/2.0\r\nCall-ID: x\r\n\r\nrest", 33, 0},
        {"BYE sip:a SIP/2.0\nl: 4\n\nbody", 24, 4},
        {"BYE sip:a SIP/2.0\r\ncontent-LENGTH :\t12\r\n\r\n", 42, 12},
        {"BYE sip:a SIP/2.0\r\nContent-Length: x\r\n\r\n", 40, 0},
        {"BYE sip:a SIP/2.0\r\nLength: 5\r\nl: 7\r\n\r\n", 38, 7},  // not a compact name
        {"BYE sip:a SIP/2.0\r\nl: 99999999999999999999\r\n\r\n", 46, 101},
        {"l: 5\r\n\r\n", 8, 0},  // the start line is no header
        {"BYE sip:a SIP/2.0\r\nl: 4\r\n\r", 0, 0},
        {"BYE sip:a SIP/2.0\r\nl: 4\r\n", 0, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t scanned = 0;
        const auto m = zel::measure_message(bytes(c.bytes), scanned, 100);
        EXPECT_EQ(m.header, c.header) << c.bytes;
        EXPECT_EQ(m.body, c.body) << c.bytes;
        scanned = 0;
        std::size_t header = 0;
        for (std::size_t n = 1; n <= c.bytes.size() && header == 0; ++n)
            header = zel::header_section_end(bytes(c.bytes.substr(0, n)), scanned);
        EXPECT_EQ(header, c.header) << c.bytes;
    }
}

TEST(SipFraming, MethodLists) {
    struct Case {
        std::string_view text;
        bool ok;
        std::size_t count;
    };
    const Case cases[] = {
        {"OPTIONS", true, 1},
        {"OPTIONS,NOTIFY", true, 2},
        {"A,B,C,D,E,F,G,H,I,J,K,L,M,N,O,P", true, 16},
        {"A,B,C,D,E,F,G,H,I,J,K,L,M,N,O,P,Q", false, 0},
        {"", false, 0},
        {",", false, 0},
        {"OPTIONS,", false, 0},
        {"OPT IONS", false, 0},
        {"1234567890123456789012345678901", true, 1},
        {"12345678901234567890123456789012", false, 0},
    };
    for (const Case& c : cases) {
        zel::method_list list;
        EXPECT_EQ(zel::parse_method_list(c.text, list), c.ok) << c.text;
        EXPECT_EQ(list.count, c.count) << c.text;
    }
    zel::method_list list;
    ASSERT_TRUE(zel::parse_method_list("OPTIONS,NOTIFY", list));
    EXPECT_TRUE(list.contains("NOTIFY"));
    EXPECT_FALSE(list.contains("notify"));  // methods are case-sensitive
    EXPECT_FALSE(list.contains("NOTIF"));
    EXPECT_FALSE(list.contains(""));
}

// The record stage with --strict-sip and --ignore-methods: which payloads
// give a record, what each refused one is counted as, and that the raw
// text starts at the start line.
TEST(SipFraming, RecordStage) {
    struct Case {
        std::string_view payload;
        bool strict;
        std::string_view ignore;
        std::string_view want;  // the record's "raw" start, or the drop reason
    };
    const Case cases[] = {
        {"\r\n\r\nOPTIONS sip:a SIP/2.0\r\nCall-ID: k\r\n\r\n", true, "", "OPTIONS sip:a"},
        {"\r\n\r\nOPTIONS sip:a SIP/2.0\r\nCall-ID: k\r\n\r\n", false, "", "short_first_line"},
        {"\r\n\r\n", true, "", "short_first_line"},
        {"200 1234 OK\nI: 5A2F\n\n", true, "", "not_sip"},
        {"200 1234 OK\nI: 5A2F\n\n", false, "", "200 1234"},
        {"OPTIONS sip:a SIP/2.0\r\nCall-ID: k\r\n\r\n", true, "", "OPTIONS sip:a"},
        {"OPTIONS sip:a SIP/2.0\r\nCall-ID: k\r\n\r\n", false, "OPTIONS", "method_ignored"},
        {"SIP/2.0 200 OK\r\nCall-ID: k\r\nCSeq: 7 OPTIONS\r\n\r\n", true, "OPTIONS,NOTIFY",
         "method_ignored"},
        {"SIP/2.0 200 OK\r\nCall-ID: k\r\nCSeq: 7 INVITE\r\n\r\n", true, "OPTIONS", "SIP/2.0 200"},
        {"NOTIFY sip:a SIP/2.0\r\nCall-ID: k\r\nCSeq: 1 OPTIONS\r\n\r\n", false, "OPTIONS",
         "NOTIFY sip:a"},
    };
    auto out = std::make_unique<zel::record_buffer>();
    for (const Case& c : cases) {
        zel::record_options o;
        o.strict_sip = c.strict;
        if (!c.ignore.empty()) {
            ASSERT_TRUE(zel::parse_method_list(c.ignore, o.ignore_methods));
        }
        zel::datagram d;
        d.payload = bytes(c.payload);
        zel::drop_counts drops;
        const std::string_view rec = zel::parse_sip(d, o, *out, drops);
        std::string got;
        if (rec.empty()) {
            for (std::size_t k = 0; k < zel::kDropReasons; ++k)
                if (drops.count[k] != 0) got += std::string(zel::kDropReasonNames[k]);
        } else {
            const std::size_t raw = rec.find("\"raw\":\"");
            got = std::string(rec.substr(raw + 7, c.want.size()));
        }
        EXPECT_EQ(got, c.want) << c.payload;
    }
}

zel::ip_packet packet(std::string_view payload, std::uint8_t last_octet = 2) {
    zel::ip_packet p;
    p.source.addr = {10, 0, 0, 1};
    p.destination.addr = {10, 0, 0, last_octet};
    p.protocol = zel::kProtoUdp;
    p.transport = bytes(payload);
    return p;
}

TEST(Dedup, WindowBothWays) {
    auto t = std::make_unique<zel::dedup_table>();
    ASSERT_EQ(t->init(50), 0);
    zel::loss_counts losses;
    const std::string a = "udp header and SIP payload";
    const std::string b = "udp header and SIP payloaD";
    struct Step {
        std::string_view payload;
        std::uint8_t dst;
        std::int64_t us;
        bool dup;
    };
    const Step steps[] = {
        {a, 2, 1'000'000, false},
        {a, 2, 1'000'100, true},   // the bridge's copy
        {a, 3, 1'000'200, false},  // another destination
        {b, 2, 1'000'300, false},  // one byte differs
        {a, 2, 1'040'000, true},   // within 50 ms of the last copy
        {a, 2, 1'089'999, true},
        {a, 2, 1'140'000, false},  // 50 ms later: a retransmission, published
        {a, 2, 1'139'000, true},   // earlier time stamp on another interface
        {a, 2, 2'000'000, false},
    };
    for (const Step& s : steps)
        EXPECT_EQ(t->seen(packet(s.payload, s.dst), s.us, losses), s.dup) << s.us;
    EXPECT_EQ(losses[zel::loss_reason::dedup_evicted], 0u);
    // A piece of a fragmented datagram is not the whole one with the same bytes.
    zel::ip_packet piece = packet(a);
    piece.fragment = true;
    piece.more_fragments = true;
    EXPECT_FALSE(t->seen(piece, 2'000'001, losses));
    EXPECT_TRUE(t->seen(piece, 2'000'002, losses));
}

TEST(Dedup, FullTableForgetsTheOldestAndCountsIt) {
    auto t = std::make_unique<zel::dedup_table>();
    ASSERT_EQ(t->init(10'000), 0);
    zel::loss_counts losses;
    // Twice the table's entries, all inside one window, twice over: at
    // least half are forgotten and counted, and no more than fit are found.
    const std::size_t n = 2 * zel::dedup_table::kBuckets * zel::dedup_table::kWays;
    std::uint64_t found = 0;
    for (int round = 0; round < 2; ++round)
        for (std::size_t k = 0; k < n; ++k) {
            const std::string s = "payload " + std::to_string(k);
            found += t->seen(packet(s), 1'000'000 + static_cast<std::int64_t>(k), losses);
        }
    const std::uint64_t evicted = losses[zel::loss_reason::dedup_evicted];
    EXPECT_GE(evicted, n / 2);
    EXPECT_LE(found, n / 2);
}

}  // namespace
