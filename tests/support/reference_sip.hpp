// Plain reference versions of the record builder's byte-level rules, for
// differential tests and fuzz targets: JSON escaping and header lookup,
// written one rule at a time with no speed tricks, so that the fast versions
// in the capture core can be checked against them byte for byte.
//
// Promises: pure functions of their arguments; results are returned as
// std::string (they allocate, unlike the code they check). Safe from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel_test {

// What json_escape writes into an array of `cap` bytes (NUL included,
// cap >= 1), without the NUL: each byte's escape in turn, stopping at the
// first one that would leave no room for the NUL.
std::string reference_json_escape(std::string_view in, std::size_t cap);

// What header_value writes into an array of `cap` bytes (cap >= 1), without
// the NUL: the value of the first line whose name matches `name` (ASCII
// case folded) directly followed by a colon, leading blanks/tabs and
// trailing blanks/CRs removed, cut to cap - 1 bytes. Empty when no line
// matches. The result may contain NUL bytes, exactly as copied.
std::string reference_header_value(std::string_view sip, std::string_view name, std::size_t cap);

// What sip_user writes for the NUL-terminated `value` (pass it without the
// NUL): the bytes after the first "sip:" (any case) up to "@", ">" or ";",
// or the whole value when it holds no "sip:"; cut to cap - 1 bytes.
std::string reference_sip_user(std::string_view value, std::size_t cap);

// The whole event record parse_sip publishes for `payload` (already cut to
// what the decoder hands over), or nothing when the payload is dropped:
// first line shorter than 3 bytes, or no Call-ID / "i" value.
std::optional<std::string> reference_record(std::string_view payload, std::string_view src,
                                            std::string_view dst, std::int64_t sec,
                                            std::int64_t usec, std::string_view switch_id,
                                            bool include_raw);

}  // namespace zel_test
