// zel_tail's reading of what the server sends: the two message shapes
// accepted exactly, every near miss refused with its reason, the JSON
// grammar's edges, where an event stands against the position, and the URL.
#include "tail_message.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tail_json.hpp"
#include "tail_source.hpp"

namespace {

using namespace zel::tail;

const std::string kBoot = "0123456789abcdef0123456789abcdef";
const std::string kOther = "ffffffffffffffffffffffffffffffff";

boot_id boot(const std::string& hex) {
    boot_id b{};
    EXPECT_TRUE(parse_boot(hex, b));
    return b;
}

struct EventCase {
    std::string text;
    uint64_t seq;
    std::string event;
};

TEST(TailMessage, EventsAccepted) {
    const EventCase cases[] = {
        {R"({"seq":1,"boot":")" + kBoot + R"(","event":{"a":1}})", 1, R"({"a":1})"},
        {R"({"event":"plain line","boot":")" + kBoot + R"(","seq":7})", 7, R"("plain line")"},
        {" {\"seq\" : 18446744073709551615 ,\t\"boot\":\"" + kBoot +
             "\",\"event\":{ \"x\" : [1, {\"y\":null}, true, -0.5e+3] } }\r\n",
         18446744073709551615u, R"({ "x" : [1, {"y":null}, true, -0.5e+3] })"},
        {R"({"seq":2,"boot":")" + kBoot + R"(","event":"\u00e9\n\"\\\/ é"})", 2,
         R"("\u00e9\n\"\\\/ é")"},
        {R"({"seq":3,"boot":")" + kBoot + R"(","event":{}})", 3, "{}"},
    };
    for (const EventCase& c : cases) {
        message m{};
        const char* why = nullptr;
        ASSERT_EQ(parse_message(c.text, m, &why), 0) << c.text << ": " << why;
        EXPECT_EQ(m.kind, message_kind::event);
        EXPECT_EQ(m.seq, c.seq);
        EXPECT_EQ(m.boot, boot(kBoot));
        EXPECT_EQ(std::string(m.event), c.event);
    }
}

struct GapCase {
    std::string text;
    uint64_t from, to;
    gap_reason reason;
};

TEST(TailMessage, GapsAccepted) {
    const GapCase cases[] = {
        {R"({"gap":{"boot":")" + kBoot + R"(","from":4,"to":9,"reason":"expired"}})", 4, 9,
         gap_reason::expired},
        {R"({"gap":{"reason":"expired","to":5,"from":5,"boot":")" + kBoot + R"("}})", 5, 5,
         gap_reason::expired},
        {R"({ "gap" : {"boot":")" + kBoot + R"(","from":12,"to":null,"reason":"restart"} })", 12, 0,
         gap_reason::restart},
    };
    for (const GapCase& c : cases) {
        message m{};
        const char* why = nullptr;
        ASSERT_EQ(parse_message(c.text, m, &why), 0) << c.text << ": " << why;
        EXPECT_EQ(m.kind, message_kind::gap);
        EXPECT_EQ(m.gap.boot, boot(kBoot));
        EXPECT_EQ(m.gap.from, c.from);
        EXPECT_EQ(m.gap.to, c.to);
        EXPECT_EQ(m.gap.reason, c.reason);
    }
}

struct RefusedCase {
    std::string text;
    std::string why;
};

TEST(TailMessage, NearMissesRefusedWithTheirReason) {
    const std::string b = "\"boot\":\"" + kBoot + "\"";
    const std::string g = "{\"gap\":{" + b;
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    const RefusedCase cases[] = {
        {"", "not a well-formed JSON object"},
        {"[]", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":{}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":{},}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":{}} x", "bytes after the message"},
        {"{\"seq\":1," + b + ",\"event\":{}}{}", "bytes after the message"},
        {"{\"seq\":0," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":01," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":-1," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":1.0," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":1e3," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":18446744073709551616," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":\"1\"," + b + ",\"event\":{}}", "seq is not a positive integer"},
        {"{\"seq\":1,\"boot\":\"" + kBoot.substr(1) + "\",\"event\":{}}",
         "boot is not 32 lower-case hex digits"},
        {"{\"seq\":1,\"boot\":\"0123456789ABCDEF0123456789abcdef\",\"event\":{}}",
         "boot is not 32 lower-case hex digits"},
        {"{\"seq\":1,\"boot\":\"\\u0030123456789abcdef0123456789abcdef\",\"event\":{}}",
         "boot is not 32 lower-case hex digits"},
        {"{\"seq\":1," + b + ",\"event\":[1]}", "event is not a one-line JSON object or string"},
        {"{\"seq\":1," + b + ",\"event\":42}", "event is not a one-line JSON object or string"},
        {"{\"seq\":1," + b + ",\"event\":null}", "event is not a one-line JSON object or string"},
        {"{\"seq\":1," + b + ",\"event\":{\"a\":\n1}}",
         "event is not a one-line JSON object or string"},
        {"{\"seq\":1," + b + ",\"event\":\"raw\x01\"}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":\"\xc3\"}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":\"\xed\xa0\x80\"}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":\"\xc0\xaf\"}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":\"\\x\"}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":\"\\u12\"}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + ",\"event\":{\"a\":" + deep + "}}", "not a well-formed JSON object"},
        {"{\"seq\":1," + b + "}", "event lacks seq, boot or event"},
        {"{\"seq\":1,\"seq\":2," + b + ",\"event\":{}}", "repeated member"},
        {"{\"seq\":1," + b + ",\"event\":{},\"x\":1}", "unknown member"},
        {"{\"seq\":1," + b + ",\"event\":{},\"gap\":{}}", "gap lacks boot, from, to or reason"},
        {"{\"gap\":5}", "gap is not an object"},
        {g + ",\"from\":4,\"to\":9,\"reason\":\"expired\"},\"seq\":1}",
         "gap notice with other members"},
        {g + ",\"from\":4,\"to\":3,\"reason\":\"expired\"}}", "expired gap needs to >= from"},
        {g + ",\"from\":4,\"to\":null,\"reason\":\"expired\"}}", "expired gap needs to >= from"},
        {g + ",\"from\":4,\"to\":9,\"reason\":\"restart\"}}", "restart gap needs to null"},
        {g + ",\"from\":0,\"to\":9,\"reason\":\"expired\"}}", "gap from is not a positive integer"},
        {g + ",\"from\":4,\"to\":\"9\",\"reason\":\"expired\"}}",
         "gap to is neither a positive integer nor null"},
        {g + ",\"from\":4,\"to\":9,\"reason\":\"lost\"}}",
         "gap reason is neither expired nor restart"},
        {g + ",\"from\":4,\"to\":9}}", "gap lacks boot, from, to or reason"},
        {g + ",\"from\":4,\"to\":9,\"reason\":\"expired\",\"x\":0}}", "gap has an unknown member"},
        {g + ",\"from\":4,\"from\":4,\"to\":9,\"reason\":\"expired\"}}", "gap repeats a member"},
        {std::string(kMaxMessageBytes + 1, ' '), "message too long"},
    };
    for (const RefusedCase& c : cases) {
        message m{};
        const char* why = nullptr;
        EXPECT_EQ(parse_message(c.text, m, &why), -1) << c.text;
        EXPECT_EQ(std::string(why != nullptr ? why : "(none)"), c.why) << c.text;
    }
}

TEST(TailJson, StringsDecodeAsUtf8) {
    struct Case {
        std::string token, want;
    };
    const Case cases[] = {
        {R"("a\"b\\c\/d")", "a\"b\\c/d"},
        {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
        {R"("\u00e9\u20ac")", "\xc3\xa9\xe2\x82\xac"},
        {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
        {R"("\ud83dx")", "\xef\xbf\xbdx"},  // a lone surrogate is U+FFFD
        {R"("\u0000")", std::string(1, '\0')},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(zel::tail_json::scan_string(c.token, 0), c.token.size()) << c.token;
        std::string out;
        EXPECT_TRUE(zel::tail_json::decode_string(c.token, out, 100));
        EXPECT_EQ(out, c.want) << c.token;
    }
    std::string cut;
    EXPECT_FALSE(zel::tail_json::decode_string(R"("abcdef")", cut, 3));
    EXPECT_LE(cut.size(), 4u);
}

TEST(TailJson, IntegersWithinTheirRange) {
    int64_t v = 0;
    EXPECT_TRUE(zel::tail_json::read_i64("-9223372036854775808", v));
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_FALSE(zel::tail_json::read_i64("9223372036854775808", v));
    EXPECT_FALSE(zel::tail_json::read_i64("1.5", v));
    EXPECT_FALSE(zel::tail_json::read_i64("-", v));
}

struct StepCase {
    const char* name;
    position at;
    bool announced;
    std::string boot;
    uint64_t seq;
    step want;
    uint64_t from, to;
};

TEST(TailPosition, EventsAgainstThePosition) {
    const position none{};
    const position at5{true, boot(kBoot), 5};
    const StepCase cases[] = {
        {"first ever", none, false, kBoot, 77, step::next, 0, 0},
        {"the next one", at5, false, kBoot, 6, step::next, 0, 0},
        {"repeat", at5, false, kBoot, 5, step::duplicate, 0, 0},
        {"older", at5, false, kBoot, 1, step::duplicate, 0, 0},
        {"jump", at5, false, kBoot, 9, step::skipped, 6, 8},
        {"announced jump", at5, true, kBoot, 9, step::next, 0, 0},
        {"new run", at5, false, kOther, 1, step::new_run, 6, 0},
        {"announced new run", at5, true, kOther, 3, step::next, 0, 0},
        {"repeat after a notice", at5, true, kBoot, 4, step::duplicate, 0, 0},
    };
    for (const StepCase& c : cases) {
        uint64_t from = 99, to = 99;
        EXPECT_EQ(classify(c.at, c.announced, boot(c.boot), c.seq, &from, &to), c.want) << c.name;
        EXPECT_EQ(from, c.from) << c.name;
        EXPECT_EQ(to, c.to) << c.name;
    }
}

struct UrlCase {
    std::string text;
    int rc;
    std::string host;
    int port;
    std::string path_or_why;
};

TEST(TailUrl, WholeEndpointOrAReason) {
    const UrlCase cases[] = {
        {"wss://relay.example:9135/events", 0, "relay.example", 9135, "/events"},
        {"wss://127.0.0.1/events", 0, "127.0.0.1", 443, "/events"},
        {"wss://[::1]:8443/events?x=1", 0, "::1", 8443, "/events?x=1"},
        {"wss://host", 0, "host", 443, "/"},
        {"ws://host/events", -1, "", 0, "URL must begin with wss://, nats:// or tls://"},
        {"wss://host/ev ents", -1, "", 0, "URL must not contain blanks or control characters"},
        {"wss://host/ev\nents", -1, "", 0, "URL must not contain blanks or control characters"},
        {"wss://u:p@host/events", -1, "", 0, "URL must not carry user information"},
        {"wss://host/events#x", -1, "", 0, "URL must not carry a fragment"},
        {"wss://host:0/events", -1, "", 0, "URL port must be a number from 1 to 65535"},
        {"wss://host:65536/events", -1, "", 0, "URL port must be a number from 1 to 65535"},
        {"wss://host:/events", -1, "", 0, "URL port must be a number from 1 to 65535"},
        {"wss://:9135/events", -1, "", 0, "URL has no host, or one longer than 253 bytes"},
        {"wss://[::1/events", -1, "", 0, "URL has an unclosed IPv6 address"},
        {"wss://[::1]x/events", -1, "", 0, "URL has bytes after its IPv6 address"},
        {"wss://host?from=x", -1, "", 0, "URL has a query but no path"},
    };
    for (const UrlCase& c : cases) {
        source_url u{};
        const char* why = nullptr;
        ASSERT_EQ(parse_source_url(c.text, u, &why), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ(u.host, c.host);
            EXPECT_EQ(u.port, c.port);
            EXPECT_EQ(u.path, c.path_or_why);
        } else {
            EXPECT_EQ(std::string(why), c.path_or_why) << c.text;
        }
    }
}

TEST(TailUrl, ResumeQueryNamesTheLastEventHad) {
    const position at{true, boot(kBoot), 42};
    EXPECT_EQ(resume_path("/events", position{}), "/events");
    EXPECT_EQ(resume_path("/events", at), "/events?from=" + kBoot + ":42");
    EXPECT_EQ(resume_path("/events?x=1", at), "/events?x=1&from=" + kBoot + ":42");
}

}  // namespace
