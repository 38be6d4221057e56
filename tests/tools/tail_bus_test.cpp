// zel_tail's NATS source without a server: the server list it accepts, the
// messages it takes from a stream (headers and data) or passes over, and
// the order it checks per relay run when many runs share one stream.
#include "tail_bus.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tail_source.hpp"

namespace {

using namespace zel::tail;

const std::string kA = "0123456789abcdef0123456789abcdef";
const std::string kB = "ffffffffffffffffffffffffffffffff";

boot_id boot(const std::string& hex) {
    boot_id b{};
    EXPECT_TRUE(parse_boot(hex, b));
    return b;
}

struct BusUrlCase {
    std::string text;
    std::vector<std::string> servers;  // empty: refused
    std::string why;
};

TEST(TailBusUrl, ServerListOrAReason) {
    const std::string tls_and_nats = "each NATS server URL must begin with nats:// or tls://";
    const BusUrlCase cases[] = {
        {"nats://127.0.0.1:4222", {"nats://127.0.0.1:4222"}, ""},
        {"nats://host", {"nats://host:4222"}, ""},
        {"nats://host/", {"nats://host:4222"}, ""},
        {"tls://[::1]:7422", {"tls://[::1]:7422"}, ""},
        {"nats://a:1,tls://b,nats://[::1]:3", {"nats://a:1", "tls://b:4222", "nats://[::1]:3"}, ""},
        {"nats://a,", {}, tls_and_nats},
        {"nats://a,,nats://b", {}, tls_and_nats},
        {"nats://a,wss://b/x", {}, tls_and_nats},
        {"nats://a, nats://b", {}, "URL must not contain blanks or control characters"},
        {"nats://u:secret@a", {}, "URL must not carry user information"},
        {"nats://tok@a", {}, "URL must not carry user information"},
        {"nats://a/path", {}, "a NATS server URL has no path, query or fragment"},
        {"nats://a?x", {}, "a NATS server URL has no path, query or fragment"},
        {"nats://a:0", {}, "URL port must be a number from 1 to 65535"},
        {"nats://a:99999", {}, "URL port must be a number from 1 to 65535"},
        {"nats://", {}, "URL has no host, or one longer than 253 bytes"},
        {"nats://[::1", {}, "URL has an unclosed IPv6 address"},
        {"natsx://a", {}, "URL must begin with wss://, nats:// or tls://"},
        {"http://a", {}, "URL must begin with wss://, nats:// or tls://"},
    };
    for (const BusUrlCase& c : cases) {
        source_url u{};
        const char* why = nullptr;
        const int rc = parse_source_url(c.text, u, &why);
        if (c.servers.empty()) {
            ASSERT_EQ(rc, -1) << c.text;
            EXPECT_EQ(std::string(why), c.why) << c.text;
        } else {
            ASSERT_EQ(rc, 0) << c.text << ": " << why;
            EXPECT_EQ(u.kind, scheme::nats);
            EXPECT_EQ(u.servers, c.servers) << c.text;
        }
    }
    std::string many = "nats://h0";
    for (int i = 1; i < 16; i++) many += ",nats://h" + std::to_string(i);
    source_url u{};
    const char* why = nullptr;
    EXPECT_EQ(parse_source_url(many, u, &why), 0);
    EXPECT_EQ(parse_source_url(many + ",nats://h16", u, &why), -1);
    EXPECT_STREQ(why, "more than 16 NATS server URLs");
}

TEST(TailBusUrl, StreamAndDurableNames) {
    for (const char* ok : {"ZEL", "zel_sip-1", "a"}) EXPECT_TRUE(bus_name_valid(ok)) << ok;
    for (const char* bad :
         {"", "a.b", "a*", "a>", "a b", "a/b", "a\\b", "a\tb", "\x7f", "\xc3\xa9"})
        EXPECT_FALSE(bus_name_valid(bad)) << bad;
    EXPECT_TRUE(bus_name_valid(std::string(255, 'x')));
    EXPECT_FALSE(bus_name_valid(std::string(256, 'x')));
}

struct BusEventCase {
    const char* boot;
    const char* seq;
    std::string data;
    const char* why;  // null: accepted
};

TEST(TailBusEvent, HeadersAndDataOrAReason) {
    const char* no_header = "no Zel-Boot or Zel-Seq header (not published by a relay?)";
    const char* bad_boot = "Zel-Boot is not 32 lower-case hex digits";
    const char* bad_seq = "Zel-Seq is not a number from 1 to 2^63-1";
    const char* bad_data = "data is not a one-line JSON object or string";
    const BusEventCase cases[] = {
        {kA.c_str(), "1", R"({"type":"sip.message"})", nullptr},
        {kA.c_str(), "9223372036854775807", R"("a plain line")", nullptr},
        {nullptr, "1", "{}", no_header},
        {kA.c_str(), nullptr, "{}", no_header},
        {"0123456789ABCDEF0123456789ABCDEF", "1", "{}", bad_boot},
        {"0123", "1", "{}", bad_boot},
        {kA.c_str(), "0", "{}", bad_seq},
        {kA.c_str(), "01", "{}", bad_seq},
        {kA.c_str(), "9223372036854775808", "{}", bad_seq},
        {kA.c_str(), "99999999999999999999", "{}", bad_seq},
        {kA.c_str(), "-1", "{}", bad_seq},
        {kA.c_str(), " 1", "{}", bad_seq},
        {kA.c_str(), "", "{}", bad_seq},
        {kA.c_str(), "1", "", bad_data},
        {kA.c_str(), "1", "[1]", bad_data},
        {kA.c_str(), "1", "42", bad_data},
        {kA.c_str(), "1", "{\"a\":1}\n", bad_data},
        {kA.c_str(), "1", "{\"a\":\n1}", bad_data},
        {kA.c_str(), "1", "{\"a\":1} {}", bad_data},
        {kA.c_str(), "1", "{\"a\":1", bad_data},
        {kA.c_str(), "1", std::string("{\"a\":\"\0\"}", 9), bad_data},
        {kA.c_str(), "1", std::string(40, '[') + std::string(40, ']'), bad_data},
    };
    for (const BusEventCase& c : cases) {
        message m{};
        const char* why = nullptr;
        const int rc = read_bus_event(c.boot, c.seq, c.data, m, &why);
        if (c.why == nullptr) {
            ASSERT_EQ(rc, 0) << c.data << ": " << why;
            EXPECT_EQ(m.kind, message_kind::event);
            EXPECT_EQ(std::string(m.boot.text()), c.boot);
            EXPECT_EQ(m.seq, std::strtoull(c.seq, nullptr, 10));
            EXPECT_EQ(m.event, c.data);
        } else {
            ASSERT_EQ(rc, -1) << c.data;
            EXPECT_STREQ(why, c.why) << (c.seq ? c.seq : "") << " " << c.data;
        }
    }
}

struct captured {
    char* out_buf = nullptr;
    size_t out_len = 0;
    char* err_buf = nullptr;
    size_t err_len = 0;
    FILE* out = open_memstream(&out_buf, &out_len);
    FILE* err = open_memstream(&err_buf, &err_len);
    ~captured() {
        std::fclose(out);
        std::fclose(err);
        std::free(out_buf);
        std::free(err_buf);
    }
    std::string text(FILE* f, char*& buf, size_t& len) {
        std::fflush(f);
        return std::string(buf, len);
    }
};

struct BusSequenceCase {
    const char* name;
    bool fail_on_gap;
    std::vector<std::pair<std::string, uint64_t>> events;  // (boot, seq); data is {"n":seq}
    std::string want_out;                                  // the seqs printed
    std::string want_err;
    int want_status;  // of the last event
};

TEST(TailBusOrder, CheckedPerRun) {
    const std::string g = "zel_tail: gap boot=";
    const BusSequenceCase cases[] = {
        {"two runs interleaved, each in order",
         false,
         {{kA, 1}, {kB, 7}, {kA, 2}, {kB, 8}, {kA, 3}},
         "1 7 2 8 3 ",
         "",
         0},
        {"a run first seen late is not a gap", false, {{kA, 500}, {kA, 501}}, "500 501 ", "", 0},
        {"a jump within a run",
         false,
         {{kA, 1}, {kB, 1}, {kA, 5}, {kB, 2}},
         "1 1 5 2 ",
         g + kA + " from=2 to=4 reason=unannounced\n",
         0},
        {"a repeat, even after another run's events, is skipped",
         false,
         {{kA, 1}, {kA, 2}, {kB, 1}, {kA, 2}, {kA, 1}, {kA, 3}},
         "1 2 1 3 ",
         "",
         0},
        {"fail on a jump: the event is held back",
         true,
         {{kA, 1}, {kA, 3}},
         "1 ",
         g + kA + " from=2 to=2 reason=unannounced\n",
         kExitGap},
    };
    for (const BusSequenceCase& c : cases) {
        captured io;
        consumer_options o;
        o.json = true;
        o.fail_on_gap = c.fail_on_gap;
        consumer sink(o, io.out, io.err);
        run_table runs;
        int status = 0;
        std::vector<std::string> data;
        data.reserve(c.events.size());
        for (const auto& [b, seq] : c.events) {
            data.push_back("{\"n\":" + std::to_string(seq) + "}");
            message m{};
            const char* why = nullptr;
            ASSERT_EQ(read_bus_event(b.c_str(), std::to_string(seq).c_str(), data.back(), m, &why),
                      0);
            status = deliver_bus_event(runs, sink, m);
        }
        EXPECT_EQ(sink.flush(0, true), 0);
        std::string printed;
        const std::string out = io.text(io.out, io.out_buf, io.out_len);
        for (size_t p = 0; (p = out.find("{\"n\":", p)) != std::string::npos; p += 5)
            printed += std::to_string(std::strtoull(out.c_str() + p + 5, nullptr, 10)) + " ";
        EXPECT_EQ(printed, c.want_out) << c.name;
        EXPECT_EQ(io.text(io.err, io.err_buf, io.err_len), c.want_err) << c.name;
        EXPECT_EQ(status, c.want_status) << c.name;
    }
}

TEST(TailBusOrder, HeldBackEventComesAgainAsTheSameGap) {
    // After --fail-on-gap the event stays unacknowledged; the next run of the
    // tool, seeded with the last event the server holds as acknowledged,
    // must find the same gap rather than take the event as next.
    run_table runs;
    runs.record(boot(kA), 1);
    uint64_t from = 0, to = 0;
    EXPECT_EQ(runs.check(boot(kA), 3, &from, &to), step::skipped);
    EXPECT_EQ(from, 2u);
    EXPECT_EQ(to, 2u);
    EXPECT_EQ(runs.check(boot(kA), 2, &from, &to), step::next);
    EXPECT_EQ(runs.check(boot(kA), 1, &from, &to), step::duplicate);
}

TEST(TailBusOrder, RunTableIsBoundedAndForgetsTheLeastRecent) {
    run_table runs;
    auto nth = [](size_t i) {
        char hex[33];
        std::snprintf(hex, sizeof hex, "%032zx", i);
        return boot(hex);
    };
    for (size_t i = 0; i < run_table::kMaxRuns; i++) runs.record(nth(i), 10);
    runs.record(nth(0), 11);  // run 0 seen again: run 1 is now the least recent
    runs.record(nth(run_table::kMaxRuns), 1);
    EXPECT_EQ(runs.size(), run_table::kMaxRuns);
    EXPECT_EQ(runs.forgotten(), 1u);
    uint64_t from = 0, to = 0;
    EXPECT_EQ(runs.check(nth(0), 12, &from, &to), step::next);
    EXPECT_EQ(runs.check(nth(2), 10, &from, &to), step::duplicate);
    // Forgotten: its late event is taken as a run first seen.
    EXPECT_EQ(runs.check(nth(1), 10, &from, &to), step::next);
}

}  // namespace
