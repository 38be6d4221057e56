// The escape rules both implementations of json_escape share: the length
// and the letter of every byte's escape, and how one escape is written.
// Internal to json_escape.cpp and json_escape_avx2.cpp.
#pragma once

#include <array>
#include <cstddef>

namespace zel::json_escape_rules {

// Escaped length of every byte: 1 (itself), 2 (backslash form) or 6 (\u00XX).
inline constexpr std::array<unsigned char, 256> kEscLen = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 0x20 && c <= 0x7E) ? 1 : 6;
    t['"'] = 2;
    t['\\'] = 2;
    t['\n'] = 2;
    t['\r'] = 2;
    t['\t'] = 2;
    return t;
}();

// Letter after the backslash of the two-byte escapes.
inline constexpr std::array<char, 256> kEscChar = [] {
    std::array<char, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    return t;
}();

inline constexpr char kHex[] = "0123456789abcdef";

// Writes the escape of `c`, a byte that does not stand for itself, at
// `out`: kEscLen[c] bytes.
[[gnu::always_inline]] inline void write_escape(char* out, unsigned char c)
{
    out[0] = '\\';
    if (kEscLen[c] == 2) {
        out[1] = kEscChar[c];
    } else {
        out[1] = 'u';
        out[2] = '0';
        out[3] = '0';
        out[4] = kHex[c >> 4];
        out[5] = kHex[c & 0x0F];
    }
}

// The plain implementation: the reference every other one must match.
std::size_t escape_plain(char* out, std::size_t cap, const unsigned char* in, std::size_t len);

#if defined(__x86_64__)
// Only to be called where the processor has AVX2.
std::size_t escape_avx2(char* out, std::size_t cap, const unsigned char* in, std::size_t len);
#endif

} // namespace zel::json_escape_rules
