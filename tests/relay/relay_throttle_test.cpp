// The log throttle driven by a clock the test controls: which events and
// ticks write a line, what count it shows, and that the counts add up.
#include "relay_throttle.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace zel;

struct Step {
    int64_t at_ms;  // time of the step
    char kind;      // 'e' an event, 't' the periodic flush
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string want;  // what each step wrote, space separated: "-" nothing, "plain", or N
};

// Runs the steps on a fresh throttle; the clock starts at an arbitrary
// nonzero point so that nothing depends on time zero.
std::string run(const std::vector<Step>& steps, uint64_t* total) {
    constexpr int64_t base_us = 5'000'000'000;
    log_throttle t{};
    std::string out;
    *total = 0;
    for (const Step& s : steps) {
        const int64_t now = base_us + s.at_ms * 1000;
        int64_t shown =
            s.kind == 'e' ? throttle_event(&t, now) : static_cast<int64_t>(throttle_flush(&t, now));
        if (s.kind == 't' && shown == 0) shown = -1;
        if (!out.empty()) out += ' ';
        out += shown < 0 ? "-" : shown == 0 ? "plain" : std::to_string(shown);
        *total += shown < 0 ? 0 : shown == 0 ? 1 : static_cast<uint64_t>(shown);
    }
    return out;
}

TEST(LogThrottle, AtMostOneLineASecondAndCountsAddUp) {
    const Case cases[] = {
        {"a lone event is one plain line, and the tick adds nothing",
         {{0, 'e'}, {1000, 't'}, {2000, 't'}},
         "plain - -"},
        {"events a second or more apart are each plain",
         {{0, 'e'}, {1000, 'e'}, {5000, 'e'}},
         "plain plain plain"},
        {"a burst: first plain, the rest held, the next after a second counts itself",
         {{0, 'e'}, {1, 'e'}, {2, 'e'}, {999, 'e'}, {1000, 'e'}},
         "plain - - - 4"},
        {"the tick flushes what a stopped flood held back, once",
         {{0, 'e'}, {10, 'e'}, {20, 'e'}, {500, 't'}, {1000, 't'}, {2000, 't'}},
         "plain - - - 2 -"},
        {"a count line restarts the second",
         {{0, 'e'}, {1, 'e'}, {1000, 'e'}, {1500, 'e'}, {1999, 't'}, {2000, 't'}},
         "plain - 2 - - 1"},
        {"after a flushed count, a quiet second makes the next event plain again",
         {{0, 'e'}, {1, 'e'}, {1200, 't'}, {2500, 'e'}},
         "plain - 1 plain"},
        // clang-format off
        {"a steady flood gives one line a second",
         {{0, 'e'}, {250, 'e'}, {500, 'e'}, {750, 'e'}, {1000, 'e'}, {1250, 'e'}, {1500, 'e'},
          {1750, 'e'}, {2000, 'e'}, {2100, 't'}, {3100, 't'}},
         "plain - - - 4 - - - 4 - -"},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t total = 0;
        EXPECT_EQ(run(c.steps, &total), c.want);
        uint64_t events = 0;
        for (const Step& s : c.steps) events += s.kind == 'e';
        // Every event is shown, by the plain line or inside a count, once the
        // last flush has run.
        if (c.steps.back().kind == 't') {
            EXPECT_EQ(total, events);
        }
    }
}

TEST(LogThrottle, WritesTheEventNameAndCount) {
    log_throttle t{};
    testing::internal::CaptureStderr();
    throttle_event_log(&t, "warning", "wss_peer_ip_rejected");
    throttle_event_log(&t, "warning", "wss_peer_ip_rejected");
    throttle_flush_log(&t, "warning", "wss_peer_ip_rejected");  // within the second: nothing
    t.last_us -= 1'000'000;                                     // a second later
    throttle_flush_log(&t, "warning", "wss_peer_ip_rejected");
    std::string err = testing::internal::GetCapturedStderr();
    std::vector<std::string> got;  // each line without its time stamp
    for (size_t pos = 0, nl; (nl = err.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        const size_t space = err.find(' ', pos);
        got.push_back(err.substr(space + 1, nl - space - 1));
    }
    const std::vector<std::string> want = {
        "level=warning component=zel_packet_monitor_wss wss_peer_ip_rejected",
        "level=warning component=zel_packet_monitor_wss wss_peer_ip_rejected count=1",
    };
    EXPECT_EQ(got, want);
}

}  // namespace
