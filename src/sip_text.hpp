// SIP text rules shared by record building and the TCP stream cutter: the
// ASCII-only case folding of header names and the start of a response line.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace zel {

// The first bytes of every response line.
inline constexpr std::string_view kSipResponse = "SIP/2.0 ";

// ASCII-only folding: bytes from 0x80 up must never match a letter, whatever
// the locale says.
constexpr unsigned char lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Whether the n bytes at p spell name (n bytes) in any case.
inline bool equal_nocase(const unsigned char* p, const char* name, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (lower(p[i]) != lower(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

}  // namespace zel
