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
    EXPECT_NE(text.find("zel_capture_lost_total{reason=\"tcp_gaps\"} 2\n"), std::string::npos);
    c.decoders = false;
    EXPECT_EQ(std::string(metrics, zel::format_metrics(c, metrics, sizeof metrics))
                  .find("zel_capture_lost_total"),
              std::string::npos);
}

}  // namespace
