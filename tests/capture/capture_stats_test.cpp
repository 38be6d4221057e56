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

}  // namespace
