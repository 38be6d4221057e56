// Record building: exact record bytes for SIP requests and responses, header
// lookup, user extraction, end-point texts, the drop reasons and the switch
// id option, all compared as whole records.
#include "record_capture.hpp"
#include "sip_record.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

using namespace std::string_literals;

constexpr const char* kSrc = "192.0.2.10:5060";
constexpr const char* kDst = "198.51.100.7:5080";
constexpr std::int64_t kSec = 1700000000;
constexpr std::int64_t kUsec = 123456;

// Fields of the expected record, already in their escaped form.
struct Want {
    std::string call_id;
    std::string from;
    std::string to;
    std::string label;
    std::string method;
    std::string status;
    std::string cseq;
};

std::string record(const Want& w, const std::string& raw, const std::string& ts = "1700000000123",
                   const std::string& switch_id = "unknown") {
    return "{\"type\":\"sip.message\",\"switch_id\":\"" + switch_id + "\",\"timestamp_ms\":" + ts +
           ",\"call_id\":\"" + w.call_id +
           "\",\"source\":\"192.0.2.10:5060\",\"destination\":\"198.51.100.7:5080\",\"from\":\"" +
           w.from + "\",\"to\":\"" + w.to + "\",\"label\":\"" + w.label + "\",\"method\":\"" +
           w.method + "\",\"status\":\"" + w.status + "\",\"cseq\":\"" + w.cseq + "\",\"raw\":\"" +
           raw + "\"}";
}

// Escapes the way a JSON encoder following the record rules must, written
// independently of the table-driven encoder under test.
std::string escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c >= 0x20 && c <= 0x7E) {
                out += static_cast<char>(c);
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            }
        }
    }
    return out;
}

class SipRecord : public ::testing::Test {
protected:
    // The record of one payload, and the reason counted when there is none.
    std::optional<std::string> parse(const std::string& payload, std::int64_t sec = kSec,
                                     std::int64_t usec = kUsec) {
        drops = {};
        return zel_test::record_of(payload, kSrc, kDst, sec, usec, options, drops);
    }

    zel::record_options options;
    zel::drop_counts drops;
};

TEST_F(SipRecord, RequestGolden) {
    const auto got = parse("INVITE sip:1001@example.com SIP/2.0\r\n"
                           "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1\r\n"
                           "From: \"Alice\" <sip:1000@example.com>;tag=a1\r\n"
                           "To: <sip:1001@example.com>\r\n"
                           "Call-ID: 3848276298220188511@192.0.2.10\r\n"
                           "CSeq: 1 INVITE\r\n"
                           "Content-Length: 0\r\n\r\n");
    ASSERT_TRUE(got);
    EXPECT_EQ(
        *got,
        R"({"type":"sip.message","switch_id":"unknown","timestamp_ms":1700000000123,)"
        R"("call_id":"3848276298220188511@192.0.2.10","source":"192.0.2.10:5060",)"
        R"("destination":"198.51.100.7:5080","from":"1000","to":"1001","label":"INVITE",)"
        R"("method":"INVITE","status":"","cseq":"1 INVITE","raw":"INVITE sip:1001@example.com SIP/2.0\r\n)"
        R"(Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1\r\nFrom: \"Alice\" <sip:1000@example.com>;tag=a1\r\n)"
        R"(To: <sip:1001@example.com>\r\nCall-ID: 3848276298220188511@192.0.2.10\r\nCSeq: 1 INVITE\r\n)"
        R"(Content-Length: 0\r\n\r\n"})");
}

TEST_F(SipRecord, ResponseGoldenWithoutRaw) {
    options.include_raw = false;
    ASSERT_TRUE(zel::set_switch_id(options, "edge \"7\" \\ a"));
    const auto got = parse(
        "SIP/2.0 200 OK\r\nCall-ID: c1\r\nFrom: <sip:1000@h>;tag=1\r\nTo: <sip:1001@h>;tag=2\r\n"
        "CSeq: 1 INVITE\r\n\r\n",
        1, 999999);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got,
              R"({"type":"sip.message","switch_id":"edge \"7\" \\ a","timestamp_ms":1999,)"
              R"("call_id":"c1","source":"192.0.2.10:5060","destination":"198.51.100.7:5080",)"
              R"("from":"1000","to":"1001","label":"200","method":"","status":"200",)"
              R"("cseq":"1 INVITE","raw":""})");
}

// Payloads that must produce exactly one record with these fields; raw is
// always the escaped payload.
TEST_F(SipRecord, ExtractsFields) {
    const std::string long_value(600, 'v');
    const std::string long_method(40, 'M');
    struct Case {
        const char* name;
        std::string payload;
        Want want;
    };
    const Case cases[] = {
        {"compact forms",
         "BYE sip:x SIP/2.0\r\ni: short-1\r\nf: <sip:a@h>\r\nt: <sip:b@h>\r\n\r\n",
         {"short-1", "a", "b", "BYE", "BYE", "", ""}},
        {"blank Call-ID falls back to i",
         "ACK sip:x SIP/2.0\r\nCall-ID:   \r\ni: abc\r\n",
         {"abc", "", "", "ACK", "ACK", "", ""}},
        {"first occurrence decides even when empty",
         "ACK sip:x SIP/2.0\r\nCall-ID:\r\nCall-ID: late\r\ni: compact\r\n",
         {"compact", "", "", "ACK", "ACK", "", ""}},
        {"empty long From falls back to f",
         "ACK sip:x SIP/2.0\r\nCall-ID: c\r\nFrom: \r\nf: sip:9@h\r\n",
         {"c", "9", "", "ACK", "ACK", "", ""}},
        {"any-case names",
         "OPTIONS sip:x SIP/2.0\r\nCALL-ID: up\r\nfrom: <sip:lo@h>\r\nTO: <SIP:HI@h>\r\ncseq: 9 "
         "OPTIONS\r\n",
         {"up", "lo", "HI", "OPTIONS", "OPTIONS", "", "9 OPTIONS"}},
        {"blank before the colon does not match",
         "INFO sip:x SIP/2.0\r\nCall-ID : wrong\r\ni: right\r\n",
         {"right", "", "", "INFO", "INFO", "", ""}},
        {"header lines in the body count",
         "MESSAGE sip:x SIP/2.0\r\nContent-Length: 14\r\n\r\nCall-ID: body\r\n",
         {"body", "", "", "MESSAGE", "MESSAGE", "", ""}},
        {"missing From, To and CSeq",
         "NOTIFY sip:x SIP/2.0\r\nCall-ID: n\r\n",
         {"n", "", "", "NOTIFY", "NOTIFY", "", ""}},
        {"value cut to 511 bytes",
         "INVITE sip:x SIP/2.0\r\nCall-ID: " + long_value + "\r\n",
         {std::string(511, 'v'), "", "", "INVITE", "INVITE", "", ""}},
        {"trailing blanks and CRs trimmed, tab kept, leading blank and tab skipped",
         "INVITE sip:x SIP/2.0\r\nCall-ID: \t abc \r \r\r\nCSeq: 2 X\t \r\n",
         {"abc", "", "", "INVITE", "INVITE", "", "2 X\\t"}},
        {"last line without newline",
         "INVITE sip:x SIP/2.0\r\nCall-ID: end",
         {"end", "", "", "INVITE", "INVITE", "", ""}},
        {"method cut to 31 bytes",
         long_method + " sip:x SIP/2.0\r\nCall-ID: m\r\n",
         {"m", "", "", std::string(31, 'M'), std::string(31, 'M'), "", ""}},
        {"method ends at the first line even without a blank",
         "PING\r\nCall-ID: p\r\n",
         {"p", "", "", "PING\\r", "PING\\r", "", ""}},
        {"SIP/2.0 without a blank is a request",
         "SIP/2.0\r\nCall-ID: s\r\n",
         {"s", "", "", "SIP/2.0\\r", "SIP/2.0\\r", "", ""}},
        {"leading blank gives empty method",
         " INVITE sip:x\r\nCall-ID: b\r\n",
         {"b", "", "", "", "", "", ""}},
        {"status is any three bytes",
         "SIP/2.0 4x\"\r\nCall-ID: q\r\n",
         {"q", "", "", "4x\\\"", "", "4x\\\"", ""}},
        {"status stops at a NUL",
         "SIP/2.0 1\0"s
         "9\r\nCall-ID: z\r\n",
         {"z", "", "", "1", "", "1", ""}},
        {"escapes in header values",
         "INVITE sip:x SIP/2.0\r\nCall-ID: a\tb\"c\\d\x01\x7f\xc3\xa9/\r\n",
         {"a\\tb\\\"c\\\\d\\u0001\\u007f\\u00c3\\u00a9/", "", "", "INVITE", "INVITE", "", ""}},
        {"NUL ends a header value but not raw",
         "INVITE sip:x SIP/2.0\r\nCall-ID: ab\0cd\r\nFrom: \0<sip:z@h>\r\n"s,
         {"ab", "", "", "INVITE", "INVITE", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = parse(c.payload);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, record(c.want, escaped(c.payload)));
    }
}

// Each payload gives no record and is counted under its reason.
TEST_F(SipRecord, DropsNonSip) {
    struct Case {
        std::string payload;
        zel::drop_reason why;
    };
    const Case cases[] = {
        {"ab", zel::drop_reason::short_first_line},
        {"\r\n", zel::drop_reason::short_first_line},
        {"\r\n\r\n", zel::drop_reason::short_first_line},
        {"a\nCall-ID: x\r\n", zel::drop_reason::short_first_line},  // first line of one byte
        {"INVITE sip:x SIP/2.0\r\nFrom: <sip:a@h>\r\nCSeq: 1 INVITE\r\n",
         zel::drop_reason::no_call_id},
        {"INVITE sip:x SIP/2.0\r\nCall-ID:\r\ni:   \r\n", zel::drop_reason::no_call_id},
        {"INVITE sip:x SIP/2.0\r\nXCall-ID: x\r\nCall-ID x\r\n", zel::drop_reason::no_call_id},
        {"INVITE sip:x SIP/2.0\r\nCall-ID: \0x\r\n"s, zel::drop_reason::no_call_id},
        {std::string(100, '\0'), zel::drop_reason::no_call_id},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(escaped(c.payload));
        EXPECT_FALSE(parse(c.payload));
        zel::drop_counts want;
        want.add(c.why);
        EXPECT_EQ(drops.count, want.count);
    }
}

TEST_F(SipRecord, TimestampTruncatesMicroseconds) {
    struct Case {
        std::int64_t sec, usec;
        const char* want;
    };
    const Case cases[] = {
        {0, 0, "0"},
        {1, 999999, "1999"},
        {1700000000, 1000, "1700000000001"},
        {1700000000, 999, "1700000000000"},
        {-2, 500000, "-1500"},
        // The ends of the signed range, and a product that wraps.
        {9223372036854775, 807000, "9223372036854775807"},
        {-9223372036854775, -808000, "-9223372036854775808"},
        {INT64_MAX, 0, "-1000"},
    };
    for (const Case& c : cases) {
        const std::string p = "X sip:x\r\nCall-ID: t\r\n";
        const auto got = parse(p, c.sec, c.usec);
        const Want w{"t", "", "", "X", "X", "", ""};
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, record(w, escaped(p), c.want));
    }
}

TEST_F(SipRecord, LongestSwitchIdStandsWhole) {
    const std::string id(127, '"');
    ASSERT_TRUE(zel::set_switch_id(options, id.c_str()));
    const std::string p = "X sip:x\r\nCall-ID: t\r\n";
    const auto got = parse(p);
    const Want w{"t", "", "", "X", "X", "", ""};
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, record(w, escaped(p), "1700000000123", escaped(id)));
}

// A switch id that does not fit, or is empty, leaves the one before.
TEST_F(SipRecord, SwitchIdOutOfBoundsIsRefused) {
    ASSERT_TRUE(zel::set_switch_id(options, "edge-1"));
    EXPECT_FALSE(zel::set_switch_id(options, std::string(128, 'x').c_str()));
    EXPECT_FALSE(zel::set_switch_id(options, ""));
    EXPECT_STREQ(options.switch_id, "edge-1");
    EXPECT_STREQ(zel::record_options{}.switch_id, "unknown");
}

// The largest payload of bytes that all take six-byte escapes must reach the
// record uncut, and nothing past 16,384 bytes may be read.
TEST_F(SipRecord, FullPayloadOfControlBytes) {
    std::string p = "X\x01\x01\nCall-ID: big\n";
    p.resize(zel::kMaxPayload, '\x1f');
    const auto got = parse(p);
    const Want w{"big", "", "", "X\\u0001\\u0001", "X\\u0001\\u0001", "", ""};
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, record(w, escaped(p)));
}

// Header lookup, seen in the "cseq" member (CSeq has no compact form and
// its value is carried as it is): which line matches, trimming, cutting.
TEST_F(SipRecord, HeaderLookup) {
    struct Case {
        std::string lines;  // header lines after the first line and Call-ID
        std::string want;   // the record's cseq, escaped
    };
    const Case cases[] = {
        {"A: 1\r\nCSeq: 2\r\n", "2"},
        {"A: 1\ncseq:2", "2"},
        {"CSeq:\r\nCSeq: 2\r\n", ""},  // the first line decides, even empty
        {"CSeqq: 1\r\nCSeq: 2\r\n", "2"},
        {"CSeq", ""},
        {"CSeq:", ""},
        {"\nCSeq:  \t  x  y \r\r ", "x  y"},
        {"CSeq: x\t", "x\\t"},
        // A value is cut to 511 bytes.
        {"CSeq: " + std::string(506, 'a') + "bcdef", std::string(506, 'a') + "bcdef"},
        {"CSeq: " + std::string(506, 'a') + "bcdefg", std::string(506, 'a') + "bcdef"},
        {"CSeq :x\r\n CSeq:x\r\n", ""},
        {"Via: a\r\n CSeq: folded\r\n", ""},
        // Bytes from 0x80 up match no letter, whatever their low seven bits.
        {"\xc3Seq: no\r\n\xe3SEQ: no\r\nCSeq: yes\r\n", "yes"},
    };
    for (const Case& c : cases) {
        const std::string p = "OPTIONS sip:x SIP/2.0\r\nCall-ID: h\r\n" + c.lines;
        SCOPED_TRACE(escaped(p));
        const auto got = parse(p);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, record({"h", "", "", "OPTIONS", "OPTIONS", "", c.want}, escaped(p)));
    }
}

// The user part that "from" and "to" carry, from the From and To values.
TEST_F(SipRecord, UserPart) {
    const std::string long_user(600, 'u');
    struct Case {
        std::string value;
        std::string want;  // escaped
    };
    const Case cases[] = {
        {"\"Alice\" <sip:1000@example.com>;tag=a", "1000"},
        {"<sip:1001>;tag=a", "1001"},
        {"sip:1002@h", "1002"},
        {"<SIP:1003@h>", "1003"},
        {"<sip:example.com:5060;transport=udp>", "example.com:5060"},
        {"<sips:1004@h>", "<sips:1004@h>"},
        {"<tel:+15551234>;tag=x", "<tel:+15551234>;tag=x"},
        {"Bob", "Bob"},
        {"", ""},
        {"<sip:", ""},
        {"xsi", "xsi"},
        {"\"sip:trick\" <sip:1005@h>", "trick\\\" <sip:1005"},
        // The value is cut to 511 bytes before its user part is taken.
        {"sip:" + long_user + "@h", std::string(507, 'u')},
        {long_user, std::string(511, 'u')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string p = "OPTIONS sip:x SIP/2.0\r\nCall-ID: u\r\nFrom: " + c.value +
                              "\r\nTo: " + c.value + "\r\n";
        const auto got = parse(p);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, record({"u", c.want, c.want, "OPTIONS", "OPTIONS", "", ""}, escaped(p)));
    }
}

// The end-point texts are what inet_ntop and "%s:%u" would give.
TEST_F(SipRecord, EndpointText) {
    struct Case {
        std::uint8_t addr[4];
        std::uint16_t port;
        const char* want;
    };
    const Case cases[] = {
        {{192, 0, 2, 10}, 53, "192.0.2.10:53"},
        {{10, 0, 0, 1}, 0, "10.0.0.1:0"},
        {{0, 0, 0, 0}, 1, "0.0.0.0:1"},
        {{255, 255, 255, 255}, 65535, "255.255.255.255:65535"},
        {{100, 20, 3, 99}, 10000, "100.20.3.99:10000"},
    };
    const std::string p = "X sip:x\r\nCall-ID: e\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want);
        char a[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, c.addr, a, sizeof a), nullptr);
        EXPECT_EQ(std::string(a) + ":" + std::to_string(c.port), c.want);

        zel::datagram d;
        d.payload = {reinterpret_cast<const std::uint8_t*>(p.data()), p.size()};
        std::memcpy(d.source.addr.data(), c.addr, 4);
        d.source.port = c.port;
        d.destination = zel_test::endpoint_of(kDst);
        d.sec = kSec;
        d.usec = kUsec;
        const auto got = zel_test::record_of(d, options, drops);
        ASSERT_TRUE(got);
        std::string want = record({"e", "", "", "X", "X", "", ""}, escaped(p));
        want.replace(want.find(kSrc), std::strlen(kSrc), c.want);
        EXPECT_EQ(*got, want);
    }
}

}  // namespace
