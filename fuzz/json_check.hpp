// Strict checker for one event record as a consumer would parse it: a JSON
// object (RFC 8259 grammar, no whitespace allowed outside values since the
// record never has any) whose thirteen members come in the fixed order,
// "timestamp_ms" a number and every other member a string.
//
// Promises: never trusts the input; on failure `why` says what was wrong.
// Pure function, safe from any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace zel_fuzz {

inline constexpr std::size_t kMembers = 13;
inline constexpr std::array<std::string_view, kMembers> kMemberNames = {
    "type", "switch_id", "timestamp_ms", "call_id", "source", "destination", "from",
    "to",   "label",     "method",       "status",  "cseq",   "raw"};

struct record_values {
    // Decoded member values in record order; for "timestamp_ms" the number's
    // text. \u escapes decode to one byte each (a record never holds a code
    // point above U+00FF).
    std::array<std::string, kMembers> value;
};

// 0 with `out` filled when `rec` is one valid event record, -1 otherwise.
int check_record(std::string_view rec, record_values& out, std::string& why);

}  // namespace zel_fuzz
