// capture_stats: libpcap's 32-bit counters widened across a wrap, and the
// stats line, golden, with its breakdown and its cut at a whole field. The
// metrics file is read with Prometheus' parser by the live test.
#include "capture_stats.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(WideCounter, StaysCumulativeAcrossWraps) {
    struct Case {
        std::vector<std::uint32_t> readings;
        std::uint64_t want;
    };
    const Case cases[] = {
        {{}, 0},
        {{5, 5, 9}, 9},
        {{0xFFFFFFF0u, 0x10u}, 0x100000010ull},
        {{0xFFFFFFFFu, 0u, 0xFFFFFFFFu, 1u}, 0x200000001ull},
    };
    for (const Case& c : cases) {
        zel::wide_counter w;
        for (std::uint32_t r : c.readings) w.update(r);
        EXPECT_EQ(w.total, c.want);
    }
}

TEST(StatsLine, CountsThenTheReasonsThatHaveOne) {
    zel::capture_counters c;
    c.received = 60008;
    c.dropped = 52512;
    c.ifdropped = 1;
    c.records = 3745;
    c.clients = 2;
    c.clients_cut = 3;
    c.ignored.add(zel::drop_reason::not_udp);
    for (int i = 0; i < 3; i++) c.ignored.add(zel::drop_reason::no_call_id);
    const std::string want =
        "stats received=60008 dropped=52512 ifdropped=1 records=3745 clients=2 clients_cut=3 "
        "ignored=4 not_udp=1 no_call_id=3";

    char buf[512];
    ASSERT_EQ(zel::format_stats_line(c, buf, sizeof buf), want.size());
    EXPECT_EQ(std::string(buf), want);

    // Too short for the last reason: the line ends after the one before.
    const std::size_t cut = want.size() - 2;
    ASSERT_EQ(zel::format_stats_line(c, buf, cut), want.rfind(' '));
    EXPECT_EQ(std::string(buf), want.substr(0, want.rfind(' ')));
}

// With --reassemble or --tcp the line goes on with what their tables gave
// up, and the metrics gain one counter per loss reason.
TEST(StatsLine, DecoderLossesFollowWhenTheDecodersRun) {
    zel::capture_counters c;
    c.records = 5;
    c.decoders = true;
    c.lost.add(zel::loss_reason::fragments_expired);
    for (int i = 0; i < 2; i++) c.lost.add(zel::loss_reason::tcp_gaps);
    const std::string want =
        "stats received=0 dropped=0 ifdropped=0 records=5 clients=0 clients_cut=0 "
        "ignored=0 lost=3 fragments_expired=1 tcp_gaps=2";
    char buf[512];
    ASSERT_EQ(zel::format_stats_line(c, buf, sizeof buf), want.size());
    EXPECT_EQ(std::string(buf), want);

    static char metrics[16384];
    const std::size_t n = zel::format_metrics(c, metrics, sizeof metrics);
    ASSERT_GT(n, 0u);
    const std::string text(metrics, n);
    EXPECT_NE(text.find("# TYPE zel_capture_lost_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("zel_capture_lost_total{switch_id=\"unknown\",reason=\"tcp_gaps\"} 2\n"),
              std::string::npos);
    c.decoders = false;
    EXPECT_EQ(std::string(metrics, zel::format_metrics(c, metrics, sizeof metrics))
                  .find("zel_capture_lost_total"),
              std::string::npos);
}

}  // namespace

namespace {

// Every count at its widest, every reason present, the longest switch id of
// bytes that all need escaping: the file still fits the buffer the daemon
// writes it from. A reason added to either enum grows both together.
TEST(Metrics, WorstCaseFitsTheBuffer) {
    zel::capture_counters c;
    c.received = c.dropped = c.ifdropped = c.records = c.clients = c.clients_cut =
        c.clients_refused = UINT64_MAX;
    c.ignored.count.fill(UINT64_MAX);
    c.lost.count.fill(UINT64_MAX);
    c.decoders = true;
    const std::string id(zel::kMaxSwitchIdBytes, '"');
    c.switch_id = id.c_str();
    static char buf[zel::kMetricsBufferSize];
    const std::size_t n = zel::format_metrics(c, buf, sizeof buf);
    ASSERT_GT(n, 0u);
    const std::string text(buf, n);
    std::string label = "{switch_id=\"";
    for (std::size_t i = 0; i < id.size(); i++) label += "\\\"";
    label += "\"";
    EXPECT_NE(text.find("zel_capture_lost_total" + label + ",reason=\"tcp_overflows\"} "),
              std::string::npos);
    // One byte short: nothing, never a cut text.
    EXPECT_EQ(zel::format_metrics(c, buf, n), 0u);
}

TEST(Metrics, EverySampleCarriesTheSwitchIdAndTheVersionIsShown) {
    zel::capture_counters c;
    c.switch_id = "lon-sbc-01";
    c.ignored.add(zel::drop_reason::no_call_id);
    static char buf[zel::kMetricsBufferSize];
    const std::string text(buf, zel::format_metrics(c, buf, sizeof buf));
    std::size_t samples = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line[0] == '#') continue;
        ++samples;
        EXPECT_NE(line.find("{switch_id=\"lon-sbc-01\""), std::string::npos) << line;
    }
    EXPECT_EQ(samples, 8 + zel::kDropReasons);
    EXPECT_NE(text.find("# TYPE zel_capture_build_info gauge\n"
                        "zel_capture_build_info{switch_id=\"lon-sbc-01\",version=\""),
              std::string::npos);
    EXPECT_NE(text.find("zel_capture_ignored_total{switch_id=\"lon-sbc-01\",reason=\"no_call_id\"} 1\n"),
              std::string::npos);
}

TEST(Metrics, LabelValueEscaping) {
    struct Case {
        const char* in;
        std::size_t size;
        const char* want;
    };
    const Case cases[] = {
        {"plain-id_1.2", 64, "plain-id_1.2"},
        {"a\"b\\c\nd", 64, "a\\\"b\\\\c\\nd"},
        {"tab\there\x7f", 64, "tab?here?"},
        {"z\xc3\xbcrich", 64, "z??rich"},
        {"ab\"", 4, "ab"},  // the escape does not fit whole: cut before it
        {"", 1, ""},
    };
    for (const Case& c : cases) {
        char out[64];
        zel::escape_label_value(c.in, out, c.size);
        EXPECT_STREQ(out, c.want) << c.in;
    }
}

TEST(ClientBufferOption, Bounds) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t want;
    };
    const Case cases[] = {
        {"1024", true, 1024},   {"1048576", true, 1048576}, {"131072", true, 131072},
        {"1023", false, 0},     {"1048577", false, 0},      {"", false, 0},
        {"-1", false, 0},       {"4096k", false, 0},        {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t kib = 7;
        EXPECT_EQ(zel::set_client_buffer(&kib, c.text), c.ok) << c.text;
        EXPECT_EQ(kib, c.ok ? c.want : 7u) << c.text;
    }
}

}  // namespace
