// The line log on its own: numbering, release at either bound, the ring's
// wrap, consumers at their own positions, one overtaken by release, the
// counts of what was released, pins that outlive a release, and one producer
// thread beside one consumer thread.
#include "relay_line_log.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace zel;

std::string text(uint64_t n, size_t width = 0) {
    std::string s = "{\"n\":" + std::to_string(n) + "}";
    if (s.size() < width) s.insert(1, width - s.size(), ' ');
    return s;
}

int append(line_log& log, const std::string& s) {
    return line_log_append(log, {reinterpret_cast<const unsigned char*>(s.data()), s.size()});
}

// Everything from `from` on, as text, read through pins.
std::vector<std::string> read_from(line_log& log, uint64_t from, bool* overtaken = nullptr) {
    std::vector<std::string> out;
    line_ref refs[4];
    for (;;) {
        const pin_result r = line_log_pin(log, from, refs, SIZE_MAX);
        if (overtaken != nullptr) *overtaken = r.overtaken;
        if (r.count == 0) return out;
        for (size_t i = 0; i < r.count; i++) {
            EXPECT_EQ(refs[i].seq, from + i);
            out.emplace_back(reinterpret_cast<const char*>(refs[i].data), refs[i].len);
        }
        from += r.count;
        line_log_unpin({refs, r.count});
    }
}

struct LineLog : ::testing::Test {
    line_log log;
    void start(size_t events, size_t bytes) {
        boot_id boot{};
        ASSERT_EQ(boot_id_draw(boot), 0);
        ASSERT_EQ(line_log_init(log, events, bytes, boot), 0);
    }
    void TearDown() override { line_log_destroy(log); }
};

TEST_F(LineLog, NumbersLinesFromOneAndHoldsThemInOrder) {
    start(10, 1000);
    EXPECT_EQ(line_log_range(log).next, 1u);
    for (uint64_t i = 1; i <= 5; i++) EXPECT_EQ(append(log, text(i)), 0);
    EXPECT_EQ(line_log_range(log).first, 1u);
    EXPECT_EQ(line_log_range(log).next, 6u);
    EXPECT_EQ(read_from(log, 3), (std::vector<std::string>{text(3), text(4), text(5)}));
    EXPECT_EQ(line_log_read_counters(log).appended, 5u);
}

// Either bound releases the oldest lines, as many as the new one needs;
// what cannot ever fit is refused with nothing released.
TEST_F(LineLog, ReleasesTheOldestAtEitherBound) {
    struct Case {
        size_t events, bytes;
        std::vector<size_t> widths;  // appended in order, lines numbered from 1
        uint64_t want_first, want_next;
    };
    const Case cases[] = {
        {3, 1000, {10, 10, 10, 10, 10}, 3, 6},  // the event bound
        {100, 30, {10, 10, 10, 10}, 2, 5},      // the byte bound, exactly full
        {100, 30, {10, 10, 10, 25}, 4, 5},      // one long line releases three
        {100, 30, {10, 31, 10}, 1, 3},          // longer than the bound: refused
        {1, 1, {1, 1, 1}, 3, 4},                // the smallest log
    };
    for (const Case& c : cases) {
        line_log l;
        ASSERT_EQ(line_log_init(l, c.events, c.bytes, boot_id{}), 0);
        uint64_t n = 0;
        for (size_t w : c.widths) {
            const int rc = append(l, std::string(w, 'x'));
            EXPECT_EQ(rc, w <= c.bytes ? 0 : -1) << w;
            n += rc == 0;
        }
        const log_range r = line_log_range(l);
        EXPECT_EQ(r.first, c.want_first) << c.events << "/" << c.bytes;
        EXPECT_EQ(r.next, c.want_next) << c.events << "/" << c.bytes;
        EXPECT_EQ(line_log_read_counters(l).appended, n);
        EXPECT_EQ(line_log_read_counters(l).released_unread, r.first - 1);
        line_log_destroy(l);
    }
    start(4, 100);
    EXPECT_EQ(append(log, ""), -1);
}

TEST_F(LineLog, TheRingWrapsManyTimesWithoutMixingLines) {
    start(7, 1 << 20);
    for (uint64_t i = 1; i <= 1000; i++) {
        ASSERT_EQ(append(log, text(i, i % 13)), 0);
        if (i % 97 == 0) {
            const std::vector<std::string> got = read_from(log, i - 6);
            ASSERT_EQ(got.size(), 7u);
            for (uint64_t k = 0; k < 7; k++) EXPECT_EQ(got[k], text(i - 6 + k, (i - 6 + k) % 13));
        }
    }
    EXPECT_EQ(line_log_range(log).first, 994u);
}

// A consumer reads at its own pace; once release passes its position it is
// told so rather than handed the lines after the gap, and a rewind puts it
// at the oldest held line, saying how many were lost.
TEST_F(LineLog, AConsumerOvertakenByReleaseIsToldAndRewound) {
    start(5, 1000);
    log_consumer c;
    EXPECT_EQ(line_log_attach(log, c, UINT64_MAX), 1u);  // the next new line
    for (uint64_t i = 1; i <= 3; i++) append(log, text(i));
    line_log_advance(log, c, 3);  // has taken 1 and 2
    for (uint64_t i = 4; i <= 9; i++) append(log, text(i));
    bool overtaken = false;
    EXPECT_TRUE(read_from(log, 3, &overtaken).empty());
    EXPECT_TRUE(overtaken);
    EXPECT_EQ(line_log_rewind(log, c, 3), 2u);  // 3 and 4 are gone
    EXPECT_EQ(c.next.load(), 5u);
    EXPECT_EQ(read_from(log, c.next.load()).front(), text(5));
    // A rewind within the held range loses nothing.
    EXPECT_EQ(line_log_rewind(log, c, 7), 0u);
    EXPECT_EQ(c.next.load(), 7u);
    line_log_detach(log, c);
}

TEST_F(LineLog, AttachClampsToTheHeldRange) {
    start(3, 1000);
    for (uint64_t i = 1; i <= 6; i++) append(log, text(i));
    struct Case {
        uint64_t from, want;
    };
    for (const Case& k : {Case{0, 4}, Case{1, 4}, Case{5, 5}, Case{7, 7}, Case{UINT64_MAX, 7}}) {
        log_consumer c;
        EXPECT_EQ(line_log_attach(log, c, k.from), k.want) << k.from;
        line_log_detach(log, c);
    }
}

// Each released line counts once: dropped when an attached lossy consumer
// had not taken it, released unread when nobody had, nothing when it was
// delivered. A subscriber (not lossy) that misses lines is no drop.
TEST_F(LineLog, ReleasedLinesAreCountedByWhoHadTakenThem) {
    start(2, 1000);
    append(log, text(1));  // nobody attached: released unread
    log_consumer sub;
    line_log_attach(log, sub, UINT64_MAX);
    append(log, text(2));
    append(log, text(3));  // releases 1
    line_log_advance(log, sub, 3);
    append(log, text(4));  // releases 2, taken by sub
    EXPECT_EQ(line_log_read_counters(log).released_unread, 1u);
    EXPECT_EQ(line_log_read_counters(log).dropped, 0u);
    append(log, text(5));  // releases 3, which sub has not taken and nobody else has
    EXPECT_EQ(line_log_read_counters(log).released_unread, 2u);
    EXPECT_EQ(line_log_read_counters(log).dropped, 0u);
    log_consumer up;
    up.lossy = true;
    line_log_attach(log, up, 4);
    append(log, text(6));  // releases 4: the upstream wanted it
    append(log, text(7));  // releases 5
    const line_log_counters k = line_log_read_counters(log);
    EXPECT_EQ(k.dropped, 2u);
    EXPECT_EQ(k.released_unread, 2u);
    EXPECT_EQ(k.appended, 7u);
    line_log_detach(log, sub);
    line_log_detach(log, up);
}

TEST_F(LineLog, LagAndQueuedCountFromEachPosition) {
    start(4, 1000);
    log_consumer a, b;
    EXPECT_EQ(line_log_queued(log), 0u);
    line_log_attach(log, a, 1);
    for (uint64_t i = 1; i <= 3; i++) append(log, std::string(10 * i, 'x'));  // 10, 20, 30 bytes
    line_log_attach(log, b, 3);
    EXPECT_EQ(line_log_lag(log, a).lines, 3u);
    EXPECT_EQ(line_log_lag(log, a).bytes, 60u);
    EXPECT_EQ(line_log_lag(log, b).lines, 1u);
    EXPECT_EQ(line_log_lag(log, b).bytes, 30u);
    EXPECT_EQ(line_log_queued(log), 3u);
    line_log_advance(log, a, 4);
    EXPECT_EQ(line_log_lag(log, a).lines, 0u);
    EXPECT_EQ(line_log_queued(log), 1u);
    for (uint64_t i = 4; i <= 7; i++) append(log, std::string(5, 'y'));  // overtakes b
    EXPECT_EQ(line_log_lag(log, b).lines, 5u);
    EXPECT_EQ(line_log_lag(log, b).bytes, 20u);  // what is held: released lines are not known
    EXPECT_EQ(line_log_queued(log), 4u);         // held lines only
    line_log_detach(log, a);
    line_log_detach(log, b);
    EXPECT_EQ(line_log_queued(log), 0u);  // held only for whoever may come back
}

// A pinned line outlives its release (AddressSanitizer would see the use
// after free); the pin is what frees it.
TEST_F(LineLog, APinnedLineOutlivesItsRelease) {
    start(1, 1000);
    append(log, text(1, 100));
    line_ref ref[1];
    ASSERT_EQ(line_log_pin(log, 1, ref, 0).count, 1u);  // the first is pinned whatever its size
    append(log, text(2));
    EXPECT_EQ(line_log_range(log).first, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ref[0].data), ref[0].len), text(1, 100));
    ref[0].data[-1] = 0;  // the headroom is the writer's
    line_log_unpin(ref);
}

TEST_F(LineLog, PinsStopAtTheByteBudgetAfterTheFirst) {
    start(10, 1000);
    for (uint64_t i = 1; i <= 5; i++) append(log, std::string(10, 'a'));
    line_ref refs[8];
    EXPECT_EQ(line_log_pin(log, 1, refs, 25).count, 2u);
    line_log_unpin({refs, 2});
    EXPECT_EQ(line_log_pin(log, 1, {refs, 3}, 1000).count, 3u);
    line_log_unpin({refs, 3});
}

TEST(BootId, DrawnIdsAreWellFormedAndDiffer) {
    boot_id a{}, b{};
    ASSERT_EQ(boot_id_draw(a), 0);
    ASSERT_EQ(boot_id_draw(b), 0);
    EXPECT_TRUE(boot_id_valid(a.text, kBootIdLength));
    EXPECT_NE(std::string(a.text), std::string(b.text));
    for (const char* bad : {"", "0123456789abcdef0123456789abcde",
                            "0123456789ABCDEF0123456789abcdef", "0123456789abcdef0123456789abcdeg"})
        EXPECT_FALSE(boot_id_valid(bad, std::strlen(bad))) << bad;
}

// The reader appends while the service thread reads as a lossy consumer:
// every line it sees is whole and in order, and what it missed is exactly
// what the log counted as dropped.
TEST(LineLogThreads, AProducerAndAConsumerAgree) {
    line_log log;
    ASSERT_EQ(line_log_init(log, 64, 1 << 20, boot_id{}), 0);
    log_consumer c;
    c.lossy = true;
    line_log_attach(log, c, 1);
    constexpr uint64_t kLines = 200000;
    std::thread producer([&log] {
        for (uint64_t i = 1; i <= kLines; i++) append(log, text(i, i % 50));
    });
    uint64_t seen = 0, skipped = 0, pos = 1;
    line_ref refs[16];
    while (pos <= kLines) {
        const pin_result r = line_log_pin(log, pos, refs, SIZE_MAX);
        if (r.overtaken) {
            const uint64_t at = pos;
            line_log_rewind(log, c, pos);
            pos = c.next.load();
            skipped += pos - at;
            continue;
        }
        for (size_t i = 0; i < r.count; i++) {
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(refs[i].data), refs[i].len),
                      text(pos + i, (pos + i) % 50));
        }
        line_log_unpin({refs, r.count});
        pos += r.count;
        seen += r.count;
        line_log_advance(log, c, pos);
    }
    producer.join();
    EXPECT_EQ(seen + skipped, kLines);
    // A release can race an advance of the line it releases: then it counts
    // a line that was taken after all, never the other way round.
    EXPECT_GE(line_log_read_counters(log).dropped, skipped);
    line_log_detach(log, c);
    line_log_destroy(log);
}

}  // namespace
