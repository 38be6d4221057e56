// The bus mode's publish ledger driven by made-up results, and the texts it
// puts on messages.
#include "nats_ledger.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zel::nats {
namespace {

using A = offer_action;
using R = result_kind;

// Offers seqs [from, to] and returns their actions.
std::vector<A> offer_range(ledger* l, uint64_t from, uint64_t to) {
    std::vector<A> out;
    for (uint64_t s = from; s <= to; s++) out.push_back(l->offer(s));
    return out;
}

TEST(NatsLedger, WindowBoundsOutstandingAndAcknowledgesOnceInOrder) {
    ledger l(4);
    EXPECT_EQ(l.room(), 4u);
    EXPECT_EQ(offer_range(&l, 1, 4), std::vector<A>(4, A::publish));
    EXPECT_EQ(l.room(), 0u);
    EXPECT_EQ(l.offer(5), A::refused);
    // An acknowledgement out of order settles nothing until the front does.
    EXPECT_TRUE(l.result(3, R::ok));
    EXPECT_EQ(l.counters().acknowledged, 0u);
    EXPECT_EQ(l.room(), 0u);
    EXPECT_TRUE(l.result(1, R::ok));
    EXPECT_TRUE(l.result(2, R::duplicate));
    EXPECT_EQ(l.counters().acknowledged, 3u);
    EXPECT_EQ(l.counters().duplicates, 1u);
    EXPECT_EQ(l.room(), 3u);
    // A second result for a line, or one for a line never published, is ignored.
    EXPECT_FALSE(l.result(3, R::ok));
    EXPECT_FALSE(l.result(99, R::ok));
    EXPECT_TRUE(l.result(4, R::ok));
    EXPECT_EQ(l.counters().acknowledged, 4u);
    EXPECT_EQ(l.outstanding(), 0u);
    EXPECT_EQ(l.offer(4), A::refused);  // out of order
    EXPECT_EQ(l.offer(5), A::publish);
}

// A failure stops publishing until every outstanding result is in; then the
// rewind names the first unsettled line, lines acknowledged meanwhile are
// skipped, and one line at a time goes out until one is acknowledged.
TEST(NatsLedger, FailureDrainsThenRewindsToFirstUnsettledAndProbes) {
    ledger l(8);
    offer_range(&l, 1, 6);
    l.result(1, R::ok);
    l.result(3, R::failed);
    EXPECT_TRUE(l.draining());
    EXPECT_EQ(l.room(), 0u);
    EXPECT_EQ(l.offer(7), A::refused);
    uint64_t from = 0;
    EXPECT_FALSE(l.take_rewind(&from));
    l.result(2, R::ok);
    l.result(5, R::ok);  // stored after the failed line: must not be sent again
    l.result(4, R::failed);
    EXPECT_FALSE(l.take_rewind(&from));  // 6 still outstanding
    l.result(6, R::failed);
    ASSERT_TRUE(l.take_rewind(&from));
    EXPECT_EQ(from, 3u);
    EXPECT_FALSE(l.take_rewind(&from));  // once
    EXPECT_EQ(l.counters().acknowledged, 2u);
    EXPECT_TRUE(l.probing());
    EXPECT_EQ(l.room(), 1u);
    EXPECT_EQ(l.offer(3), A::publish);
    EXPECT_EQ(l.room(), 0u);
    l.result(3, R::ok);
    EXPECT_FALSE(l.probing());
    EXPECT_EQ(l.offer(4), A::publish);
    EXPECT_EQ(l.offer(5), A::skip);
    EXPECT_EQ(l.offer(6), A::publish);
    EXPECT_EQ(l.offer(7), A::publish);
    l.result(4, R::duplicate);
    l.result(6, R::ok);
    l.result(7, R::ok);
    EXPECT_EQ(l.counters().acknowledged, 7u);
    EXPECT_EQ(l.counters().resent, 3u);
    EXPECT_EQ(l.counters().failures, 3u);
    EXPECT_EQ(l.counters().rewinds, 1u);
    EXPECT_EQ(l.unsettled(), 0u);
}

TEST(NatsLedger, FailedProbeRewindsAgainToTheSameLine) {
    ledger l(4);
    offer_range(&l, 1, 2);
    l.result(1, R::failed);
    l.result(2, R::failed);
    uint64_t from = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        ASSERT_TRUE(l.take_rewind(&from));
        EXPECT_EQ(from, 1u);
        EXPECT_EQ(l.offer(1), A::publish);
        EXPECT_EQ(l.offer(2), A::refused);  // probing: one at a time
        l.result(1, R::failed);
    }
    ASSERT_TRUE(l.take_rewind(&from));
    EXPECT_EQ(l.offer(1), A::publish);
    l.result(1, R::ok);
    EXPECT_EQ(l.offer(2), A::publish);
    l.result(2, R::ok);
    EXPECT_EQ(l.counters().acknowledged, 2u);
    EXPECT_EQ(l.counters().rewinds, 4u);
}

// A lost connection pauses like a failure; with nothing unsettled there is
// nothing to resend and publishing goes on where it was.
TEST(NatsLedger, PauseWaitsForOutstandingResults) {
    ledger l(4);
    uint64_t from = 0;
    l.pause();
    EXPECT_EQ(l.room(), 0u);
    EXPECT_FALSE(l.take_rewind(&from));
    EXPECT_EQ(l.room(), 4u);

    offer_range(&l, 1, 3);
    l.pause();
    EXPECT_EQ(l.room(), 0u);
    l.result(1, R::ok);
    l.result(2, R::failed);  // timed out while the connection was away
    EXPECT_FALSE(l.take_rewind(&from));
    l.result(3, R::ok);
    ASSERT_TRUE(l.take_rewind(&from));
    EXPECT_EQ(from, 2u);
}

// Lines the caller's log released before they could be resent are given up
// when it offers a later line; acknowledged ones among them still count.
TEST(NatsLedger, LinesGoneFromTheLogAreGivenUp) {
    ledger l(8);
    offer_range(&l, 10, 14);
    l.result(10, R::failed);
    l.result(11, R::failed);
    l.result(12, R::ok);
    l.result(13, R::failed);
    l.result(14, R::failed);
    uint64_t from = 0;
    ASSERT_TRUE(l.take_rewind(&from));
    EXPECT_EQ(from, 10u);
    EXPECT_EQ(l.offer(14), A::publish);  // 10..13 are gone
    EXPECT_EQ(l.counters().given_up, 3u);
    EXPECT_EQ(l.counters().acknowledged, 1u);  // 12
    l.result(14, R::ok);
    EXPECT_EQ(l.counters().acknowledged, 2u);
    // A jump forward in normal publishing is no loss of the ledger's.
    EXPECT_EQ(l.offer(100), A::publish);
    l.result(100, R::ok);
    EXPECT_EQ(l.counters().acknowledged, 3u);
    EXPECT_EQ(l.counters().given_up, 3u);
}

// The ring wraps many times over a long run with results in any order.
// The relay's log consumer holds its lines from first_unsettled() on: it
// must never pass a line that could still have to be resent.
TEST(NatsLedger, FirstUnsettledIsWhereTheLogMustHoldFrom) {
    ledger l(8);
    EXPECT_EQ(l.first_unsettled(), 0u);
    offer_range(&l, 1, 3);
    EXPECT_EQ(l.first_unsettled(), 1u);
    l.result(2, R::ok);
    EXPECT_EQ(l.first_unsettled(), 1u) << "an acknowledgement behind the front settles nothing";
    l.result(1, R::ok);
    EXPECT_EQ(l.first_unsettled(), 3u);
    l.result(3, R::duplicate);
    EXPECT_EQ(l.first_unsettled(), 4u) << "nothing unsettled: the next line";
    offer_range(&l, 4, 5);
    l.result(4, R::failed);
    l.result(5, R::ok);
    EXPECT_EQ(l.first_unsettled(), 4u) << "a failed line holds everything after it";
    uint64_t from = 0;
    ASSERT_TRUE(l.take_rewind(&from));
    EXPECT_EQ(from, 4u);
    // Lines 4 and 5 were released from the log: the next offer is 6.
    EXPECT_EQ(l.offer(6), A::publish);
    EXPECT_EQ(l.first_unsettled(), 6u);
    EXPECT_EQ(l.counters().given_up, 1u);
    EXPECT_EQ(l.counters().acknowledged, 4u);
}

TEST(NatsLedger, LongRunWrapsTheRing) {
    ledger l(3);
    uint64_t next = 1, acked = 0;
    for (int round = 0; round < 1000; round++) {
        uint64_t first = next;
        while (l.offer(next) == A::publish) next++;
        for (uint64_t s = next; s-- > first;) l.result(s, R::ok);  // newest first
        acked += next - first;
        ASSERT_EQ(l.counters().acknowledged, acked);
    }
    EXPECT_EQ(acked, 3000u);
}

TEST(NatsText, SubjectSafeAndDefaultSubject) {
    struct Case {
        std::string id, want;
    } cases[] = {
        {"switch-7", "switch-7"},
        {"sw_1", "sw_1"},
        {"pbx.example.com", "pbx_example_com"},
        {"a b*c>d", "a_b_c_d"},
        {"\xc3\xa9t\xc3\xa9", "__t__"},  // each byte of a multi-byte character
        {"x\ty", "x_y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(subject_safe(c.id), c.want) << c.id;
        EXPECT_EQ(default_subject(c.id), "zel.sip." + c.want);
        EXPECT_TRUE(publish_subject_valid(default_subject(c.id))) << c.id;
    }
}

TEST(NatsText, PublishSubjectValid) {
    struct Case {
        std::string subject;
        bool ok;
    } cases[] = {
        {"zel.sip.sw1", true},   {"a", true},        {"a.b-c_d.E9", true},
        {"", false},             {".a", false},      {"a.", false},
        {"a..b", false},         {"a.*.b", false},   {"a.>", false},
        {"a b", false},          {"a\tb", false},    {"a\r\nb", false},
        {"\xc3\xa9", false},     {std::string(255, 'a'), true},
        {std::string(256, 'a'), false},
    };
    for (const Case& c : cases) EXPECT_EQ(publish_subject_valid(c.subject), c.ok) << c.subject;
}

TEST(NatsText, SubjectMatches) {
    struct Case {
        const char* filter;
        const char* subject;
        bool ok;
    } cases[] = {
        {"zel.sip.sw1", "zel.sip.sw1", true},  {"zel.sip.sw1", "zel.sip.sw2", false},
        {"zel.sip.*", "zel.sip.sw1", true},    {"zel.sip.*", "zel.sip.sw1.x", false},
        {"zel.>", "zel.sip.sw1", true},        {"zel.sip.>", "zel.sip", false},
        {">", "zel.sip.sw1", true},            {"*.sip.*", "zel.sip.sw1", true},
        {"zel.sip", "zel.sip.sw1", false},     {"zel.sip.sw1.x", "zel.sip.sw1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(subject_matches(c.filter, c.subject), c.ok) << c.filter << " " << c.subject;
}

TEST(NatsText, HeaderValuesAndMessageId) {
    EXPECT_TRUE(header_value_valid("switch-7 \xc3\xa9"));
    EXPECT_FALSE(header_value_valid("a\r\nNats-Msg-Id: forged"));
    EXPECT_FALSE(header_value_valid(std::string("a\0b", 3)));
    EXPECT_FALSE(header_value_valid("a\x7f"));

    char id[64];
    EXPECT_EQ(format_msg_id(id, sizeof id, "sw 1", "00ff", 18446744073709551615ull),
              std::string("sw 1:00ff:18446744073709551615").size());
    EXPECT_STREQ(id, "sw 1:00ff:18446744073709551615");
    EXPECT_EQ(format_msg_id(id, 8, "switch", "boot", 1), 0u);  // does not fit
}

}  // namespace
}  // namespace zel::nats
