// JSON string escaping for event records: owns the escape rules and the
// choice of implementation (the plain byte loop, or AVX2 where the
// processor has it, chosen once at start-up).
//
// Promises: the output holds only the bytes 0x20 to 0x7E, so a newline can
// frame a record built from escaped values; it is always NUL-terminated and
// never longer than the capacity allows; every implementation gives the
// same bytes as the plain one. Nothing is allocated.
//
// Threads: pure functions of their arguments; any thread.
#pragma once

#include <cstddef>
#include <span>

namespace zel {

// JSON string escaping of `len` bytes into `out` (capacity `cap`, NUL
// included). Quote, backslash, LF, CR and tab get two-byte escapes, every
// other byte outside 0x20-0x7E the six-byte \u00XX form. The first escape
// that would not fit ends the output, even if a later one would fit; a
// `cap` of 0 writes nothing at all. Returns the number of bytes written
// before the NUL.
std::size_t json_escape(char* out, std::size_t cap, const void* in, std::size_t len);

// Every implementation of json_escape built in, so that tests can check
// each of them, not only the one this machine picks. `fn` is null for one
// the processor lacks; `cap` must be at least 1.
struct escape_variant {
    const char* name;
    std::size_t (*fn)(char* out, std::size_t cap, const unsigned char* in, std::size_t len);
};
std::span<const escape_variant> json_escape_variants();

}  // namespace zel
