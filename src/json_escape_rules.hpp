// What both implementations of json_escape share: the length and the
// letter of every byte's escape, how one escape is written, and the plain
// byte loop, which is all of one implementation and the end of the other.
// Internal to json_escape.cpp and json_escape_avx2.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

namespace zel::json_escape_rules {

// Escaped length of every byte: 1 (itself), 2 (backslash form) or 6 (\u00XX).
inline constexpr std::array<unsigned char, 256> kEscLen = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = (c >= 0x20 && c <= 0x7E) ? 1 : 6;
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
[[gnu::always_inline]] inline void write_escape(char* out, unsigned char c) {
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

// The plain implementation, one byte at a time: on processors without
// AVX2 all of the work, and the AVX2 version's last bytes (so inline).
// Runs of bytes that stand for themselves are copied in a tight loop;
// escapes, which come in runs (CR LF, binary data), are written one after
// another, CR LF in one step. Each escape is written only after one test
// that it fits with the NUL, and the first that does not ends the output.
inline std::size_t escape_plain(char* out, std::size_t cap, const unsigned char* p,
                                std::size_t len) {
    const std::size_t last = cap - 1;  // out[last] is the NUL's last possible place
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < len) {
        while (kEscLen[p[i]] == 1) {
            if (j == last) goto done;
            out[j++] = static_cast<char>(p[i++]);
            if (i == len) goto done;
        }
        do {
            if (p[i] == '\r' && len - i >= 2 && p[i + 1] == '\n' && last - j >= 4) {
                std::memcpy(out + j, "\\r\\n", 4);
                j += 4;
                i += 2;
                continue;
            }
            if (j + kEscLen[p[i]] >= cap) goto done;
            write_escape(out + j, p[i]);
            j += kEscLen[p[i]];
            ++i;
        } while (i < len && kEscLen[p[i]] != 1);
    }
done:
    out[j] = '\0';
    return j;
}

#if defined(__x86_64__)
// Only to be called where the processor has AVX2.
std::size_t escape_avx2(char* out, std::size_t cap, const unsigned char* in, std::size_t len);
#endif

}  // namespace zel::json_escape_rules
