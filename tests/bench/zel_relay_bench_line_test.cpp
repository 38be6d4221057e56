#include "zel_relay_bench_line.hpp"

#include "sip_record.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string line_for(uint64_t seq, int64_t ts) {
    std::string buf(kBenchLineSize + 1, '\0');
    EXPECT_EQ(bench_line_format({buf.data(), buf.size()}, seq, ts), 0);
    return buf;
}

// A strict reader for the flat objects the benchmark writes: string or
// unsigned integer values, no white space. Returns the member names in order,
// or an empty list when the text is not such an object.
std::vector<std::string> json_keys(const std::string& s) {
    std::vector<std::string> keys;
    size_t i = 0;
    auto string_at = [&](std::string* out) {
        if (i >= s.size() || s[i] != '"') return false;
        for (i++; i < s.size() && s[i] != '"'; i++) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++i >= s.size() || std::string("\"\\/bfnrt").find(s[i]) == std::string::npos)
                    return false;
            }
            if (out) out->push_back(s[i]);
        }
        if (i >= s.size()) return false;
        i++;
        return true;
    };
    if (s.empty() || s[i++] != '{') return {};
    for (;;) {
        std::string key;
        if (!string_at(&key) || i >= s.size() || s[i++] != ':') return {};
        if (i < s.size() && s[i] == '"') {
            if (!string_at(nullptr)) return {};
        } else {
            const size_t start = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') i++;
            if (i == start || (i - start > 1 && s[start] == '0')) return {};
        }
        keys.push_back(key);
        if (i >= s.size()) return {};
        if (s[i] == '}') return i + 1 == s.size() ? keys : std::vector<std::string>{};
        if (s[i++] != ',') return {};
    }
}

const std::vector<std::string> kRecordKeys = {
    "type", "switch_id", "timestamp_ms", "call_id", "source", "destination", "from",
    "to",   "label",     "method",       "status",  "cseq",   "raw"};

TEST(BenchLineFormat, EveryLineIsOneRecordOfExactSizeWithItsSequence) {
    struct Case {
        uint64_t seq;
        int64_t ts;
    };
    const Case cases[] = {
        {0, 0},          {1, 1700000000123}, {123456789, 9}, {UINT64_MAX, 1700000000123},
        {42, INT64_MAX},  // the widest time stamp leaves the least padding
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seq);
        const std::string wire = line_for(c.seq, c.ts);
        ASSERT_EQ(wire.size(), kBenchLineSize + 1);
        EXPECT_EQ(wire.back(), '\n');
        const std::string line = wire.substr(0, kBenchLineSize);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(json_keys(line), kRecordKeys);
        EXPECT_NE(line.find("\"timestamp_ms\":" + std::to_string(c.ts) + ","), std::string::npos);
        uint64_t got = 0;
        ASSERT_EQ(bench_line_parse(line, &got), 0);
        EXPECT_EQ(got, c.seq);
    }
}

TEST(BenchLineFormat, GoldenRecord) {
    const std::string want =
        "{\"type\":\"sip.message\",\"switch_id\":\"zel-bench\",\"timestamp_ms\":1700000000123,"
        "\"call_id\":\"zelbench-00000000000000000042@127.0.0.1\",\"source\":\"127.0.0.1:5060\","
        "\"destination\":\"127.0.0.1:5062\",\"from\":\"alice\",\"to\":\"bob\",\"label\":\"INVITE\","
        "\"method\":\"INVITE\",\"status\":\"\",\"cseq\":\"1 INVITE\",\"raw\":\""
        "INVITE sip:bob@127.0.0.1:5062 SIP/2.0 Via: SIP/2.0/UDP "
        "127.0.0.1:5060;branch=z9hG4bK-bench "
        "INVITE sip:bob@127.0.0.1:5062 SIP/2.0 Via: SIP/2.0/UDP "
        "127.0.0.1:5060;branch=z9hG4bK-bench "
        "INVITE sip:bob@127.0.0.1:5062 SIP/\"}\n";
    EXPECT_EQ(line_for(42, 1700000000123), want);
}

TEST(BenchLineFormat, RefusesWithoutTouchingTheBuffer) {
    struct Case {
        const char* name;
        size_t size;
        int64_t ts;
    };
    const Case cases[] = {
        {"no room for the newline", kBenchLineSize, 1},
        {"empty buffer", 0, 1},
        {"negative time stamp", kBenchLineSize + 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string buf(kBenchLineSize + 1, '#');
        EXPECT_EQ(bench_line_format({buf.data(), c.size}, 7, c.ts), -1);
        EXPECT_EQ(buf, std::string(kBenchLineSize + 1, '#'));
    }
}

TEST(BenchLineParse, RejectsAnythingButOneWholeRecord) {
    const std::string good = line_for(42, 1700000000123).substr(0, kBenchLineSize);
    const size_t seq_at = good.find("zelbench-") + 9;
    const size_t ts_at = good.find("\"timestamp_ms\":") + 15;
    auto with = [&](size_t at, const std::string& bytes) {
        std::string s = good;
        s.replace(at, bytes.size(), bytes);
        return s;
    };
    struct Case {
        const char* name;
        std::string line;
    };
    const Case cases[] = {
        {"one byte short", good.substr(0, kBenchLineSize - 1)},
        {"one byte long", good + "x"},
        {"newline left on", good + "\n"},
        {"empty", ""},
        {"first byte changed", with(0, "[")},
        {"type changed", with(9, "S")},
        {"padding byte changed", with(kBenchLineSize - 10, "?")},
        {"closing brace lost", with(kBenchLineSize - 1, " ")},
        {"letter in the sequence number", with(seq_at + 5, "a")},
        {"sequence number past 64 bits", with(seq_at, "99999999999999999999")},
        {"sequence number just past 64 bits", with(seq_at, "18446744073709551616")},
        {"leading zero in the time stamp", with(ts_at, "0")},
        {"record cut and refilled", good.substr(0, 250) + std::string(250, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t seq = 99;
        EXPECT_EQ(bench_line_parse(c.line, &seq), -1);
        EXPECT_EQ(seq, 99u);
    }
    uint64_t seq = 0;
    EXPECT_EQ(bench_line_parse(with(seq_at, "18446744073709551615"), &seq), 0);
    EXPECT_EQ(seq, UINT64_MAX);
    EXPECT_EQ(bench_line_parse(good, nullptr), -1);
}

TEST(BenchSeqStats, CountsGapsLossesAndReordering) {
    struct Case {
        const char* name;
        std::vector<int64_t> arrivals;  // sequence numbers; -1 is a broken message
        uint64_t fed;
        bench_seq_stats want;
    };
    const Case cases[] = {
        {"all in order", {0, 1, 2, 3}, 4, {4, 4, 0, 0, 0, 0}},
        {"head dropped", {3, 4}, 5, {2, 5, 1, 3, 0, 0}},
        {"two gaps", {0, 2, 3, 7}, 8, {4, 8, 2, 4, 0, 0}},
        {"tail never came", {0, 1}, 5, {2, 5, 1, 3, 0, 0}},
        {"nothing came", {}, 3, {0, 3, 1, 3, 0, 0}},
        {"duplicate is not a gap", {0, 1, 1, 2}, 3, {4, 3, 0, 0, 0, 1}},
        {"late line leaves the rest alone", {0, 2, 1, 3}, 4, {4, 4, 1, 1, 0, 1}},
        {"broken message", {0, -1, 1}, 2, {3, 2, 0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bench_seq_stats st;
        for (int64_t seq : c.arrivals) {
            if (seq < 0) {
                bench_seq_note(&st, "not a record");
                continue;
            }
            const std::string wire = line_for(static_cast<uint64_t>(seq), 1700000000123);
            bench_seq_note(&st, std::string_view(wire).substr(0, kBenchLineSize));
        }
        bench_seq_finish(&st, c.fed);
        EXPECT_EQ(st.received, c.want.received);
        EXPECT_EQ(st.expected, c.want.expected);
        EXPECT_EQ(st.gaps, c.want.gaps);
        EXPECT_EQ(st.lost, c.want.lost);
        EXPECT_EQ(st.bad, c.want.bad);
        EXPECT_EQ(st.reorder, c.want.reorder);
    }
}

// The whole-pipeline checker must accept exactly what the daemon's own
// record builder makes of the feeder's datagram, or every run reads as
// corrupt (or, worse, a changed record goes unnoticed).
TEST(BenchRecordParse, AcceptsTheDaemonsRecordOfTheFeedersDatagramOnly) {
    char sip[kBenchSipMax];
    const uint64_t seq = 1234567;
    const size_t len = bench_sip_format(sip, seq, 40001, 47400);
    ASSERT_GT(len, 0u);
    zel::datagram d;
    d.payload = {reinterpret_cast<const uint8_t*>(sip), len};
    inet_pton(AF_INET, "127.0.0.1", d.source.addr.data());
    d.destination.addr = d.source.addr;
    d.source.port = 40001;
    d.destination.port = 47400;
    d.sec = 1700000000;
    d.usec = 123456;
    zel::record_options options;
    ASSERT_TRUE(zel::set_switch_id(options, "zel-bench"));
    static zel::record_buffer buffer;
    zel::drop_counts drops;
    const std::string record(zel::parse_sip(d, options, buffer, drops));
    ASSERT_FALSE(record.empty());

    uint64_t got = 0;
    EXPECT_EQ(bench_record_parse(record, 40001, 47400, &got), 0);
    EXPECT_EQ(got, seq);
    std::string changed = record;
    changed[changed.size() - 20] ^= 1;
    const std::string other_seq = [&] {
        std::string s = record;
        const size_t at = s.rfind("zelbench-") + 9 + 19;  // the raw copy's last digit
        s[at] = s[at] == '7' ? '8' : '7';
        return s;
    }();
    for (const std::string& bad :
         {record.substr(0, record.size() - 1), record + "\n", changed, other_seq}) {
        EXPECT_EQ(bench_record_parse(bad, 40001, 47400, &got), -1);
    }
    EXPECT_EQ(bench_record_parse(record, 40002, 47400, &got), -1);
    EXPECT_EQ(bench_record_parse(record, 40001, 47401, &got), -1);
    EXPECT_EQ(bench_sip_format({sip, 100}, seq, 40001, 47400), 0u);
}

}  // namespace
