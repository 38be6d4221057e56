// Unit tests of the drop-oldest queue: limits, refusals that must leave the
// queue untouched, ownership hand-over, and a producer/consumer run that
// checks ordering and the counters across threads.
#include "zel_relay_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace zel;

// The queue's entries, oldest first, joined with '|'. Single-threaded use only.
std::string contents(const zel_relay_queue& q) {
    std::string out;
    for (const zel_relay_item* it = q.head; it != nullptr; it = it->next) {
        if (!out.empty()) out += '|';
        out.append(reinterpret_cast<const char*>(it->data), it->len);
    }
    return out;
}

// The structural invariants that must hold between any two operations.
void expect_invariants(const zel_relay_queue& q) {
    size_t n = 0, sum = 0;
    const zel_relay_item* last = nullptr;
    for (const zel_relay_item* it = q.head; it != nullptr; it = it->next) {
        n++;
        sum += it->len;
        last = it;
    }
    EXPECT_EQ(q.head == nullptr, q.tail == nullptr);
    EXPECT_EQ(last, q.tail);
    EXPECT_EQ(n, q.count);
    EXPECT_EQ(sum, q.bytes);
    EXPECT_LE(q.count, q.max_count);
    EXPECT_LE(q.bytes, q.max_bytes);
}

struct PushCase {
    const char* name;
    size_t max_count;
    size_t max_bytes;
    std::vector<std::string> pushes;
    std::vector<int> want_rc;
    std::string want_contents;
    size_t want_bytes;
    uint64_t want_dropped;
};

TEST(RelayQueue, PushSequences) {
    // clang-format off
    const PushCase cases[] = {
        {"entry limit drops the oldest", 2, 100, {"a", "bb", "ccc"}, {0, 0, 0}, "bb|ccc", 5, 1},
        {"byte limit drops the oldest", 10, 10, {"1111", "2222", "3333"}, {0, 0, 0}, "2222|3333", 8, 1},
        {"byte limit reached exactly keeps all", 10, 10, {"1111", "222222"}, {0, 0}, "1111|222222", 10, 0},
        {"entry of exactly max_bytes empties the queue", 10, 10,
         {"aaa", "bbb", "cccccccccc"}, {0, 0, 0}, "cccccccccc", 10, 2},
        {"entry one byte over max_bytes is refused", 10, 10,
         {"aaa", "bbb", "ccccccccccc"}, {0, 0, -1}, "aaa|bbb", 6, 0},
        {"large entry discards as many as needed", 10, 10,
         {"aaa", "bbb", "ccc", "dddddddd"}, {0, 0, 0, 0}, "dddddddd", 8, 3},
        {"discarding stops once it fits", 10, 10,
         {"aaa", "bbb", "ccc", "dddd"}, {0, 0, 0, 0}, "bbb|ccc|dddd", 10, 1},
        {"one-entry queue keeps only the newest", 1, 100, {"x", "y", "z"}, {0, 0, 0}, "z", 1, 2},
        {"both limits: count binds first", 2, 100, {"a", "b", "c", "d"}, {0, 0, 0, 0}, "c|d", 2, 2},
        {"refusal between pushes changes nothing", 3, 4,
         {"ab", "toolong", "cd", "ef"}, {0, -1, 0, 0}, "cd|ef", 4, 1},
    };
    // clang-format on
    for (const PushCase& c : cases) {
        SCOPED_TRACE(c.name);
        zel_relay_queue q;
        ASSERT_EQ(zel_relay_queue_init(&q, c.max_count, c.max_bytes), 0);
        for (size_t i = 0; i < c.pushes.size(); i++) {
            // fits() must foretell exactly the pushes that keep every entry.
            const bool fits = zel_relay_queue_fits(&q, c.pushes[i].size());
            const uint64_t dropped = q.dropped;
            const int rc = zel_relay_queue_push(&q, c.pushes[i].data(), c.pushes[i].size());
            EXPECT_EQ(rc, c.want_rc[i]) << "push " << i;
            EXPECT_EQ(fits, rc == 0 && q.dropped == dropped) << "push " << i;
            EXPECT_EQ(zel_relay_queue_head_len(&q), q.head != nullptr ? q.head->len : 0u);
            expect_invariants(q);
        }
        EXPECT_EQ(contents(q), c.want_contents);
        EXPECT_EQ(q.bytes, c.want_bytes);
        EXPECT_EQ(zel_relay_queue_dropped(&q), c.want_dropped);
        zel_relay_queue_destroy(&q);
    }
}

TEST(RelayQueue, InitRefusesBadArguments) {
    zel_relay_queue q;
    EXPECT_EQ(zel_relay_queue_init(nullptr, 1, 1), -1);
    EXPECT_EQ(zel_relay_queue_init(&q, 0, 1), -1);
    EXPECT_EQ(zel_relay_queue_init(&q, 1, 0), -1);
    ASSERT_EQ(zel_relay_queue_init(&q, 1, 1), 0);
    EXPECT_EQ(zel_relay_queue_count(&q), 0u);
    EXPECT_EQ(zel_relay_queue_dropped(&q), 0u);
    EXPECT_EQ(zel_relay_queue_take(&q), nullptr);
    zel_relay_queue_destroy(&q);
}

TEST(RelayQueue, BadPushLeavesQueueUnchanged) {
    zel_relay_queue q;
    ASSERT_EQ(zel_relay_queue_init(&q, 1, 8), 0);
    ASSERT_EQ(zel_relay_queue_push(&q, "keep", 4), 0);
    EXPECT_EQ(zel_relay_queue_push(nullptr, "x", 1), -1);
    EXPECT_EQ(zel_relay_queue_push(&q, nullptr, 1), -1);
    EXPECT_EQ(zel_relay_queue_push(&q, "x", 0), -1);
    EXPECT_EQ(zel_relay_queue_push(&q, "123456789", 9), -1);
    // A refused push in a full one-entry queue must not evict the entry.
    EXPECT_EQ(contents(q), "keep");
    EXPECT_EQ(zel_relay_queue_dropped(&q), 0u);
    expect_invariants(q);
    zel_relay_queue_destroy(&q);
}

TEST(RelayQueue, TakeHandsOverOwnership) {
    zel_relay_queue q;
    ASSERT_EQ(zel_relay_queue_init(&q, 4, 64), 0);
    char buf[] = "first";
    ASSERT_EQ(zel_relay_queue_push(&q, buf, 5), 0);
    buf[0] = 'X';  // the queue holds a copy, not the caller's buffer
    ASSERT_EQ(zel_relay_queue_push(&q, "second", 6), 0);

    zel_relay_item* a = zel_relay_queue_take(&q);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a->data), a->len), "first");
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(q.count, 1u);
    EXPECT_EQ(q.bytes, 6u);
    expect_invariants(q);

    zel_relay_item* b = zel_relay_queue_take(&q);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b->data), b->len), "second");
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.bytes, 0u);
    EXPECT_EQ(zel_relay_queue_take(&q), nullptr);
    EXPECT_EQ(zel_relay_queue_take(nullptr), nullptr);

    // The queue must be usable again after draining: tail was reset.
    ASSERT_EQ(zel_relay_queue_push(&q, "third", 5), 0);
    EXPECT_EQ(contents(q), "third");
    expect_invariants(q);

    zel_relay_item_free(a);
    zel_relay_item_free(b);
    zel_relay_item_free(nullptr);
    EXPECT_EQ(zel_relay_queue_dropped(&q), 0u);  // taking is not dropping
    zel_relay_queue_destroy(&q);
}

TEST(RelayQueue, DestroyCountsWhatItDiscards) {
    zel_relay_queue q;
    ASSERT_EQ(zel_relay_queue_init(&q, 2, 64), 0);
    for (const char* s : {"a", "b", "c"}) ASSERT_EQ(zel_relay_queue_push(&q, s, 1), 0);
    ASSERT_EQ(q.dropped, 1u);
    zel_relay_queue_destroy(&q);
    EXPECT_EQ(q.dropped, 3u);
    EXPECT_EQ(q.count, 0u);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    zel_relay_queue_destroy(nullptr);
}

// A line shared by two queues: one allocation, the same bytes in both, each
// queue with its own count, limits and drops, and the bytes alive until the
// last holder frees them (ASan reports a use after free or a leak).
TEST(RelayQueue, SharedLineOutlivesEveryHolderButTheLast) {
    zel_relay_queue main, a, b;
    ASSERT_EQ(zel_relay_queue_init(&main, 8, 64), 0);
    ASSERT_EQ(zel_relay_queue_init(&a, 1, 64), 0);
    ASSERT_EQ(zel_relay_queue_init(&b, 8, 4), 0);
    ASSERT_EQ(zel_relay_queue_push(&main, "line1", 5), 0);
    zel_relay_item* line = zel_relay_queue_take(&main);
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(zel_relay_queue_push_shared(&a, line), 0);
    EXPECT_EQ(zel_relay_queue_push_shared(&b, line), -1);  // longer than b's byte limit
    EXPECT_EQ(zel_relay_queue_push_shared(&b, nullptr), -1);
    EXPECT_EQ(contents(b), "");
    EXPECT_EQ(a.head->data, line->data) << "the bytes were copied, not shared";
    zel_relay_item_free(line);  // the taker lets go first
    EXPECT_EQ(contents(a), "line1");
    expect_invariants(a);

    ASSERT_EQ(zel_relay_queue_push(&main, "two", 3), 0);
    zel_relay_item* two = zel_relay_queue_take(&main);
    ASSERT_EQ(zel_relay_queue_push_shared(&a, two), 0);  // discards line1, its last holder
    ASSERT_EQ(zel_relay_queue_push_shared(&b, two), 0);
    EXPECT_EQ(a.dropped, 1u);
    EXPECT_EQ(b.dropped, 0u);
    zel_relay_item* from_a = zel_relay_queue_take(&a);
    zel_relay_queue_destroy(&b);  // b's entry goes; a's taken item and `two` remain
    EXPECT_EQ(std::string(reinterpret_cast<char*>(from_a->data), from_a->len), "two");
    zel_relay_item_free(from_a);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(two->data), two->len), "two");
    zel_relay_item_free(two);
    zel_relay_queue_destroy(&a);
    zel_relay_queue_destroy(&main);
}

TEST(RelayQueue, TakeUptoLeavesALongerHeadInPlace) {
    zel_relay_queue q;
    ASSERT_EQ(zel_relay_queue_init(&q, 4, 64), 0);
    ASSERT_EQ(zel_relay_queue_push(&q, "abcd", 4), 0);
    ASSERT_EQ(zel_relay_queue_push(&q, "ef", 2), 0);
    EXPECT_EQ(zel_relay_queue_take_upto(&q, 3), nullptr);
    EXPECT_EQ(contents(q), "abcd|ef");
    zel_relay_item* item = zel_relay_queue_take_upto(&q, 4);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(item->data), item->len), "abcd");
    zel_relay_item_free(item);
    expect_invariants(q);
    zel_relay_queue_destroy(&q);
}

// One producer pushes numbered entries of varying length into a small queue
// while one consumer takes them. Every taken entry must be intact and newer
// than the one before; whatever was not taken must have been counted as
// dropped; and the invariants must hold whenever the consumer looks.
TEST(RelayQueueStress, ProducerConsumerKeepOrderAndCounts) {
    constexpr uint64_t kEntries = 40000;
    constexpr size_t kMaxCount = 64;
    constexpr size_t kMaxBytes = 2048;
    zel_relay_queue q;
    ASSERT_EQ(zel_relay_queue_init(&q, kMaxCount, kMaxBytes), 0);
    std::atomic<bool> done{false};

    auto entry_for = [](uint64_t n) {
        char head[32];
        int w = snprintf(head, sizeof head, "%llu:", static_cast<unsigned long long>(n));
        std::string s(head, static_cast<size_t>(w));
        s.append(n % 97, static_cast<char>('a' + n % 26));  // lengths vary from entry to entry
        return s;
    };

    std::thread producer([&] {
        for (uint64_t n = 0; n < kEntries; n++) {
            std::string s = entry_for(n);
            if (zel_relay_queue_push(&q, s.data(), s.size()) != 0) {
                ADD_FAILURE() << "push " << n << " failed";
                break;
            }
        }
        done.store(true);
    });

    uint64_t taken = 0;
    uint64_t bad = 0, out_of_order = 0, invariant_breaks = 0;
    long long last = -1;
    for (uint64_t round = 0;; round++) {
        bool finished = done.load();
        zel_relay_item* it = zel_relay_queue_take(&q);
        if (it == nullptr) {
            if (finished) break;
            std::this_thread::yield();
            continue;
        }
        std::string got(reinterpret_cast<char*>(it->data), it->len);
        unsigned long long n = std::stoull(got);
        if (got != entry_for(n)) bad++;
        if (static_cast<long long>(n) <= last) out_of_order++;
        last = static_cast<long long>(n);
        taken++;
        zel_relay_item_free(it);

        if (round % 64 == 0) {
            pthread_mutex_lock(&q.lock);
            size_t cnt = 0, sum = 0;
            for (const zel_relay_item* p = q.head; p != nullptr; p = p->next) {
                cnt++;
                sum += p->len;
            }
            if (cnt != q.count || sum != q.bytes || q.count > kMaxCount || q.bytes > kMaxBytes ||
                (q.head == nullptr) != (q.tail == nullptr) || (q.head == nullptr) != (q.count == 0))
                invariant_breaks++;
            pthread_mutex_unlock(&q.lock);
        }
    }
    producer.join();

    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(invariant_breaks, 0u);
    EXPECT_EQ(last, static_cast<long long>(kEntries - 1));  // the newest entry is never dropped
    EXPECT_EQ(zel_relay_queue_count(&q), 0u);
    EXPECT_EQ(q.bytes, 0u);
    EXPECT_EQ(taken + zel_relay_queue_dropped(&q), kEntries);
    zel_relay_queue_destroy(&q);
}

}  // namespace
