// tail_message: what a sequenced relay stream says, read strictly, and where
// a reader stands in it. Owns the two message shapes of the subprotocol
// "zel-pcap-relay.seq" and the rules that tell a next, repeated or missing
// event apart.
//
//   {"seq":N,"boot":"<32 lower-case hex>","event":<object or string>}
//   {"gap":{"boot":"<id>","from":A,"to":B,"reason":"expired"}}
//   {"gap":{"boot":"<old id>","from":A,"to":null,"reason":"restart"}}
//
// Promises: parse_message accepts exactly these shapes (members in any order,
// JSON white space between tokens) and nothing else; a refusal names what was
// wrong in a short fixed text; an accepted event's text is a view into the
// message, one line long, a complete JSON object or string. Pure functions:
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zel::tail {

// Bytes of one message, at most. The relay carries lines of up to 262,144
// bytes; a line sent as a JSON string may grow six-fold through \u escapes,
// and the envelope adds under 100 bytes.
constexpr size_t kMaxMessageBytes = 6 * 262144 + 1024;

// A run's boot id: 32 lower-case hex characters (16 random bytes).
struct boot_id {
    char hex[32];
    std::string_view text() const { return {hex, sizeof hex}; }
    bool operator==(const boot_id&) const = default;
};

// True with *out set when text is exactly 32 lower-case hex characters.
bool parse_boot(std::string_view text, boot_id& out);

enum class gap_reason { expired, restart };

struct gap_notice {
    boot_id boot;
    uint64_t from;
    uint64_t to;  // 0 when the notice says null: everything from `from` on
    gap_reason reason;
};

enum class message_kind { event, gap };

struct message {
    message_kind kind;
    boot_id boot;            // event
    uint64_t seq;            // event, from 1
    std::string_view event;  // event: the value as sent, an object or a string
    gap_notice gap;          // gap
};

// 0 with *out filled, or -1 with *why set to a short fixed text.
int parse_message(std::string_view text, message& out, const char** why);

// The last event a reader has: the resume point.
struct position {
    bool known;
    boot_id boot;
    uint64_t seq;
};

// What an arriving event is to a reader at `at`.
enum class step {
    next,       // the one after at, or the first of a run not yet seen
    duplicate,  // at or before at in the same run: already had
    skipped,    // later in the same run: the events between never came
    new_run,    // another run, where no restart notice said so
};

// Classifies event (boot, seq) against at. `announced` says a gap notice came
// since the last event: a jump or a new run after one is expected (next). For
// skipped, *missing_from/*missing_to are the events that never came; for
// new_run, *missing_from is the first of the old run not had (to is open).
step classify(const position& at, bool announced, const boot_id& boot, uint64_t seq,
              uint64_t* missing_from, uint64_t* missing_to);

}  // namespace zel::tail
