// Backoff between upstream attempts, driven with a clock the test controls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "relay_client.hpp"

namespace {

using namespace zel;
using namespace zel::client;

constexpr time_t now = 1'800'000'000;

struct Step {
    std::string log;  // the log line without its time stamp
    time_t wait;      // reconnect_at - now
};

// A client between attempts, its backoff at the configured minimum.
struct Client {
    relay_config cfg{};
    upstream up{};
};

std::unique_ptr<Client> state(uint32_t min, uint32_t max) {
    auto c = std::make_unique<Client>();
    c->cfg.reconnect_min = min;
    c->cfg.reconnect_max = max;
    c->up.reconnect_delay = min;
    return c;
}

Step step(Client* c) {
    testing::internal::CaptureStderr();
    schedule_reconnect(c->cfg, &c->up, now);
    std::string err = testing::internal::GetCapturedStderr();
    std::string line = err.substr(err.find(' ') + 1);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return {line, c->up.reconnect_at - now};
}

std::string logged(uint32_t delay) {
    return "level=warning component=zel_packet_monitor_wss wss_disconnected retry_seconds=" +
           std::to_string(delay);
}

struct Case {
    uint32_t min, max;
    std::vector<uint32_t> want;
};

TEST(Backoff, DelaysDoubleUpToTheMaximum) {
    const std::vector<Case> cases = {
        {1, 2, {1, 2, 2}},
        {5, 8, {5, 8, 8}},  // 5 is not below 8 / 2, so it goes straight to 8
        {1, 60, {1, 2, 4, 8, 16, 32, 60, 60}},
        {3, 3, {3, 3, 3}},
        {4, 9, {4, 9, 9}},  // 4 is not below 9 / 2 (integer halving)
        {4, 10, {4, 8, 10, 10}},
        {4294967295u, 4294967295u, {4294967295u, 4294967295u}},
    };
    for (const Case& c : cases) {
        auto st = state(c.min, c.max);
        for (uint32_t want : c.want) {
            Step s = step(st.get());
            EXPECT_EQ(s.log, logged(want)) << c.min << ".." << c.max;
            // The jitter adds at most one whole second to the logged delay.
            EXPECT_TRUE(s.wait == time_t(want) || s.wait == time_t(want) + 1)
                << c.min << ".." << c.max << " waited " << s.wait;
        }
    }
}

TEST(Backoff, StepClearsTheConnectionAndZeroDelayStartsAtTheMinimum) {
    auto st = state(7, 100);
    st->up.reconnect_delay = 0;
    st->up.connected = true;
    st->up.wsi = reinterpret_cast<lws*>(&st->cfg);  // any non-null value; never used
    EXPECT_EQ(step(st.get()).log, logged(7));
    EXPECT_EQ(st->up.wsi, nullptr);
    EXPECT_FALSE(st->up.connected);
    EXPECT_EQ(st->up.reconnect_delay, 14u);
}

// Jitter is up to 20 % of the delay in milliseconds and rounds to a whole extra
// second only once it reaches 1,000 ms: never for a 4-second delay (at most
// 800 ms), about half the time for a 10-second delay (0..2,000 ms).
TEST(Backoff, JitterAddsASecondOnlyWhenItReachesOne) {
    std::srand(12345);
    struct JCase {
        uint32_t delay;
        int min_extra, max_extra;
    };
    for (JCase c : {JCase{4, 0, 0}, JCase{10, 700, 1300}}) {
        int extra = 0;
        for (int i = 0; i < 2000; ++i) {
            auto st = state(c.delay, c.delay);
            testing::internal::CaptureStderr();
            schedule_reconnect(st->cfg, &st->up, now);
            testing::internal::GetCapturedStderr();
            time_t wait = st->up.reconnect_at - now;
            ASSERT_TRUE(wait == c.delay || wait == c.delay + 1) << wait;
            extra += wait == c.delay + 1;
        }
        EXPECT_GE(extra, c.min_extra) << c.delay;
        EXPECT_LE(extra, c.max_extra) << c.delay;
    }
}

}  // namespace
