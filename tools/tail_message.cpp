#include "tail_message.hpp"

#include "tail_json.hpp"

namespace zel::tail {

namespace {

using tail_json::kBad;

// Which members a shape has seen, so that a repeated or missing one is
// refused.
enum member_bit : unsigned { kSeq = 1, kBoot = 2, kEvent = 4, kFrom = 8, kTo = 16, kReason = 32 };

bool string_value(std::string_view token, std::string_view& out) {
    // Boot ids and reasons never need escapes; a value written with them is
    // not what the relay sends.
    if (token.size() < 2 || token.front() != '"') return false;
    out = token.substr(1, token.size() - 2);
    return out.find('\\') == std::string_view::npos;
}

bool boot_value(std::string_view token, boot_id& out) {
    std::string_view text;
    return string_value(token, text) && parse_boot(text, out);
}

// A JSON string or object without a line break, as a printed line must be.
bool event_value(std::string_view token) {
    if (token.empty() || (token.front() != '{' && token.front() != '"')) return false;
    return token.find_first_of("\r\n") == std::string_view::npos;
}

int parse_gap(std::string_view s, size_t pos, gap_notice& gap, const char** why) {
    unsigned seen = 0;
    bool to_null = false;
    const char* wrong = nullptr;
    const size_t end =
        tail_json::for_each_member(s, pos, 1, [&](std::string_view key, std::string_view v) {
            unsigned bit = 0;
            if (key == "boot") {
                bit = kBoot;
                if (!boot_value(v, gap.boot)) wrong = "gap boot is not 32 lower-case hex digits";
            } else if (key == "from") {
                bit = kFrom;
                if (!tail_json::read_u64(v, gap.from) || gap.from == 0)
                    wrong = "gap from is not a positive integer";
            } else if (key == "to") {
                bit = kTo;
                to_null = v == "null";
                if (!to_null && (!tail_json::read_u64(v, gap.to) || gap.to == 0))
                    wrong = "gap to is neither a positive integer nor null";
            } else if (key == "reason") {
                bit = kReason;
                std::string_view r;
                if (string_value(v, r) && r == "expired")
                    gap.reason = gap_reason::expired;
                else if (string_value(v, r) && r == "restart")
                    gap.reason = gap_reason::restart;
                else
                    wrong = "gap reason is neither expired nor restart";
            } else {
                wrong = "gap has an unknown member";
            }
            if (wrong == nullptr && (seen & bit) != 0) wrong = "gap repeats a member";
            seen |= bit;
            return wrong == nullptr;
        });
    if (end == kBad) {
        *why = wrong != nullptr ? wrong : "gap is not a well-formed JSON object";
        return -1;
    }
    if (seen != (kBoot | kFrom | kTo | kReason)) {
        *why = "gap lacks boot, from, to or reason";
        return -1;
    }
    // An expired range is closed and in order; a restart loses everything
    // from `from` on, so its end is open.
    if (gap.reason == gap_reason::expired && (to_null || gap.to < gap.from)) {
        *why = "expired gap needs to >= from";
        return -1;
    }
    if (gap.reason == gap_reason::restart && !to_null) {
        *why = "restart gap needs to null";
        return -1;
    }
    if (to_null) gap.to = 0;
    return static_cast<int>(end);
}

}  // namespace

bool parse_boot(std::string_view text, boot_id& out) {
    if (text.size() != sizeof out.hex) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        out.hex[i] = c;
    }
    return true;
}

int parse_message(std::string_view text, message& out, const char** why) {
    *why = nullptr;
    if (text.size() > kMaxMessageBytes) {
        *why = "message too long";
        return -1;
    }
    out = message{};
    const size_t start = tail_json::skip_space(text, 0);
    unsigned seen = 0;
    bool is_gap = false;
    const char* wrong = nullptr;
    int gap_end = 0;
    const size_t end =
        tail_json::for_each_member(text, start, 0, [&](std::string_view key, std::string_view v) {
            unsigned bit = 0;
            if (key == "seq") {
                bit = kSeq;
                if (!tail_json::read_u64(v, out.seq) || out.seq == 0)
                    wrong = "seq is not a positive integer";
            } else if (key == "boot") {
                bit = kBoot;
                if (!boot_value(v, out.boot)) wrong = "boot is not 32 lower-case hex digits";
            } else if (key == "event") {
                bit = kEvent;
                out.event = v;
                if (!event_value(v)) wrong = "event is not a one-line JSON object or string";
            } else if (key == "gap") {
                bit = kFrom;  // any bit the event shape does not use
                is_gap = true;
                // v is a scanned value; parse_gap reads it again for its members.
                const size_t at = static_cast<size_t>(v.data() - text.data());
                if (v.empty() || v.front() != '{')
                    wrong = "gap is not an object";
                else
                    gap_end = parse_gap(text, at, out.gap, &wrong);
            } else {
                wrong = "unknown member";
            }
            if (wrong == nullptr && (seen & bit) != 0) wrong = "repeated member";
            seen |= bit;
            return wrong == nullptr && gap_end >= 0;
        });
    if (end == kBad) {
        *why = wrong != nullptr ? wrong : "not a well-formed JSON object";
        return -1;
    }
    if (tail_json::skip_space(text, end) != text.size()) {
        *why = "bytes after the message";
        return -1;
    }
    if (is_gap) {
        if (seen != kFrom) {
            *why = "gap notice with other members";
            return -1;
        }
        out.kind = message_kind::gap;
        return 0;
    }
    if (seen != (kSeq | kBoot | kEvent)) {
        *why = "event lacks seq, boot or event";
        return -1;
    }
    out.kind = message_kind::event;
    return 0;
}

step classify(const position& at, bool announced, const boot_id& boot, uint64_t seq,
              uint64_t* missing_from, uint64_t* missing_to) {
    *missing_from = 0;
    *missing_to = 0;
    if (!at.known) return step::next;
    if (boot == at.boot) {
        if (seq <= at.seq) return step::duplicate;
        if (seq == at.seq + 1 || announced) return step::next;
        *missing_from = at.seq + 1;
        *missing_to = seq - 1;
        return step::skipped;
    }
    if (announced) return step::next;
    *missing_from = at.seq + 1;
    return step::new_run;
}

}  // namespace zel::tail
