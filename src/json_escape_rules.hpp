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

// Writes the escape of one byte that does not stand for itself at out[j],
// if it fits with room left for the NUL; returns its length, or 0 (nothing
// written) when it does not fit.
[[gnu::always_inline]] inline std::size_t put_escape(char* out, std::size_t cap, std::size_t j,
                                                     unsigned char c)
{
    const std::size_t needed = kEscLen[c];
    if (j + needed >= cap)
        return 0;
    out[j] = '\\';
    if (needed == 2) {
        out[j + 1] = kEscChar[c];
    } else {
        out[j + 1] = 'u';
        out[j + 2] = '0';
        out[j + 3] = '0';
        out[j + 4] = kHex[c >> 4];
        out[j + 5] = kHex[c & 0x0F];
    }
    return needed;
}

// One byte at a time, each escape written only after one test that it fits
// with the NUL: the reference that every faster version must match byte for
// byte, and the whole story on processors without AVX2. Inline, because
// the AVX2 version ends every call with it.
inline std::size_t escape_plain(char* out, std::size_t cap, const unsigned char* in,
                                std::size_t len)
{
    std::size_t j = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = in[i];
        if (kEscLen[c] != 1) {
            const std::size_t n = put_escape(out, cap, j, c);
            if (n == 0)
                break;
            j += n;
        } else if (j + 1 < cap) {
            out[j++] = static_cast<char>(c);
        } else {
            break;
        }
    }
    out[j] = '\0';
    return j;
}

#if defined(__x86_64__)
// Only to be called where the processor has AVX2.
std::size_t escape_avx2(char* out, std::size_t cap, const unsigned char* in, std::size_t len);
#endif

} // namespace zel::json_escape_rules
