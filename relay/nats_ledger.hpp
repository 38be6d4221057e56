// The bus mode's publish ledger and the texts it puts on each message: which
// lines are published and not yet settled, and where to resend from after a
// failure. Plain data, no library calls, so that the rewind rules are tested
// with made-up results.
//
// Promises:
// - At most `capacity` lines are unsettled at once (published and not yet
//   acknowledged, or failed and not yet resent).
// - Each line is counted once in `acknowledged`, when every line before it is
//   settled too, however many times it was published or acknowledged.
// - After a failure or a pause nothing more is published until every
//   outstanding result is in; then take_rewind() names the first unsettled
//   line, and the caller offers lines again from there in order. Lines that
//   were acknowledged meanwhile are skipped, not published again, so a long
//   outage never stores one twice after the stream's duplicate window.
// - After a rewind, one line at a time is published until one is
//   acknowledged, so that a cluster without a leader costs one failure per
//   try instead of a window's worth.
// - A line the caller no longer has (its log released it) is given up when
//   the caller offers a later one, and counted in `given_up`.
//
// One thread owns a ledger: the relay's service thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::nats {

enum class result_kind : uint8_t { ok, duplicate, failed };

enum class offer_action : uint8_t {
    publish,  // publish this line now
    skip,     // already acknowledged; do not publish, go on with the next
    refused,  // not now (no room, draining) or out of order: keep the line
};

struct ledger_counters {
    uint64_t acknowledged;  // lines settled as stored, each once
    uint64_t duplicates;    // acknowledgements the stream marked as duplicates
    uint64_t failures;      // failed or timed-out results and refused publishes
    uint64_t resent;        // lines published again after a rewind
    uint64_t rewinds;       // times publishing went back to the first unsettled line
    uint64_t given_up;      // unsettled lines the caller no longer had at a resend
};

class ledger {
public:
    explicit ledger(size_t capacity);

    // How many lines offer() would accept now: 0 while draining or before a
    // pending rewind is taken, 1 while probing with nothing outstanding.
    size_t room() const;

    // The caller offers the line with sequence number seq, in increasing
    // order. A seq beyond the one expected means the lines between are gone
    // from the caller's log. refused leaves the ledger unchanged.
    offer_action offer(uint64_t seq);

    // One result for a published line. Results for lines not outstanding are
    // ignored (returns false).
    bool result(uint64_t seq, result_kind kind);

    // Stop publishing until every outstanding result is in, as after a
    // failure: the connection is gone or the stream cannot take lines.
    void pause();

    // Called each pass. Once paused or failed and nothing is outstanding:
    // true once, with the sequence number to offer next in `from`, when
    // anything is unsettled; false otherwise (offer on from where you are).
    bool take_rewind(uint64_t* from);

    size_t outstanding() const { return outstanding_; }
    size_t unsettled() const { return count_; }
    bool draining() const { return draining_; }
    bool probing() const { return probing_; }
    // The next sequence number offer() expects.
    uint64_t next() const { return next_; }
    // Every line before this one is settled (acknowledged, or given up); 0
    // before the first offer. A log consumer holds its lines from here on.
    uint64_t first_unsettled() const { return count_ > 0 ? ring_[head_].seq : next_; }
    const ledger_counters& counters() const { return counters_; }

private:
    enum class state : uint8_t { outstanding, acked, failed, gone };
    struct entry {
        uint64_t seq;
        state st;
    };
    entry& at(size_t i) { return ring_[(head_ + i) % ring_.size()]; }
    const entry& at(size_t i) const { return ring_[(head_ + i) % ring_.size()]; }
    void settle_front();
    size_t find(uint64_t seq) const;

    std::vector<entry> ring_;  // unsettled lines in seq order from head_
    size_t head_ = 0;
    size_t count_ = 0;
    size_t outstanding_ = 0;
    size_t resend_ = 0;        // index of the next entry to offer again; count_ when none
    uint64_t next_ = 0;        // next seq expected; 0 before the first offer
    bool draining_ = false;    // a failure or pause: no publishing until outstanding is 0
    bool rewind_due_ = false;  // drained; take_rewind() has not yet been called
    bool probing_ = false;
    ledger_counters counters_{};
};

// The default subject's last token: the switch id with every byte outside
// [A-Za-z0-9_-] replaced by '_', since '.', '*', '>' and white space have
// meanings in a subject. Two ids that differ only in such bytes share a
// subject; the Zel-Switch header tells them apart.
std::string subject_safe(std::string_view switch_id);

// "zel.sip.<subject_safe(switch_id)>".
std::string default_subject(std::string_view switch_id);

// A subject a message may be published to: 1 to 255 bytes of printable ASCII
// without white space, tokens separated by single dots, none empty, no
// wildcard token.
bool publish_subject_valid(std::string_view subject);

// A stream's subject filter (wildcards allowed) covers subject.
bool subject_matches(std::string_view filter, std::string_view subject);

// A header value must not carry a control byte: CR or LF would end the
// header block, and the server treats the others as errors.
bool header_value_valid(std::string_view value);

// "<switch id>:<boot id>:<seq>" into out (size bytes); its length, or 0 when
// it does not fit.
size_t format_msg_id(char* out, size_t size, std::string_view switch_id, std::string_view boot,
                     uint64_t seq);

}  // namespace zel::nats
