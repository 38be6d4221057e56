// tail_json: the strict JSON reader behind zel_tail's message parser and its
// table. It owns no data: every function reads a caller's text and either
// says where a well-formed token ends or refuses it.
//
// Promises: RFC 8259 grammar and nothing looser (no comments, no trailing
// commas, no raw control bytes or ill-formed UTF-8 inside strings, no leading
// zeros); nesting deeper than kMaxDepth is refused rather than followed, so a
// hostile message cannot exhaust the stack; every index stays within the text.
// Pure functions: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel::tail_json {

// Objects and arrays nested deeper than this are refused. An event record is
// one flat object; the envelope adds one level.
constexpr int kMaxDepth = 32;

// Returned instead of an end index when the text is not well formed.
constexpr size_t kBad = static_cast<size_t>(-1);

// The index of the first byte at or after pos that is not JSON white space.
size_t skip_space(std::string_view s, size_t pos);

// The end (one past the last byte) of the value that starts exactly at pos,
// or kBad. depth counts the containers already open around it.
size_t scan_value(std::string_view s, size_t pos, int depth = 0);

// The end of the string token (quotes included) that starts at pos, or kBad.
size_t scan_string(std::string_view s, size_t pos);

// The decoded text of a whole, already scanned string token (quotes
// included), as UTF-8, appended to out. A lone surrogate escape becomes
// U+FFFD. Stops and returns false once out would exceed max bytes.
bool decode_string(std::string_view token, std::string& out, size_t max);

// A scanned number token read as an unsigned integer: digits only, no sign,
// fraction or exponent, within 64 bits. False otherwise.
bool read_u64(std::string_view token, uint64_t& out);

// A scanned number token read as a signed integer (an optional minus, then
// digits), within 64 bits. False otherwise.
bool read_i64(std::string_view token, int64_t& out);

// Walks the members of the object that starts at pos. For each, calls
// f(key, value) with the key decoded (keys longer than 64 bytes are passed
// cut, which no caller's names match) and the value's raw token; f returns
// false to refuse the object. Returns the object's end, or kBad when the
// object is ill-formed or f refused it.
template <class F>
size_t for_each_member(std::string_view s, size_t pos, int depth, F&& f) {
    if (pos >= s.size() || s[pos] != '{' || depth >= kMaxDepth) return kBad;
    pos = skip_space(s, pos + 1);
    if (pos < s.size() && s[pos] == '}') return pos + 1;
    for (;;) {
        const size_t key_end = scan_string(s, pos);
        if (key_end == kBad) return kBad;
        std::string key;
        decode_string(s.substr(pos, key_end - pos), key, 64);
        pos = skip_space(s, key_end);
        if (pos >= s.size() || s[pos] != ':') return kBad;
        pos = skip_space(s, pos + 1);
        const size_t value_end = scan_value(s, pos, depth + 1);
        if (value_end == kBad) return kBad;
        if (!f(std::string_view(key), s.substr(pos, value_end - pos))) return kBad;
        pos = skip_space(s, value_end);
        if (pos >= s.size()) return kBad;
        if (s[pos] == '}') return pos + 1;
        if (s[pos] != ',') return kBad;
        pos = skip_space(s, pos + 1);
    }
}

}  // namespace zel::tail_json
