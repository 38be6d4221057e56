// SIP framing rules that decide what a message is before any header is
// read: the start line (request or status line), the CR LF keep-alive
// bytes that may stand before it, where one message ends in a stream (its
// header section, then Content-Length body bytes), the method a CSeq value
// names, and the operator's list of methods not to publish
// (--ignore-methods). What --strict-sip accepts and what --tcp cuts from a
// stream follow the same rules.
//
// Promises: pure functions of their arguments; nothing is allocated and
// nothing outside the given bytes is read.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zel {

// How many bytes at the start of `payload` are CR or LF: keep-alive bytes
// (RFC 5626) or the end of an earlier message, never part of this one.
std::size_t leading_crlf(std::span<const std::uint8_t> payload);

enum class start_line_kind : std::uint8_t { none, request, response };

// What the first line of `payload` (its first byte is the line's) is, under
// the strict rule: a request line "METHOD SP Request-URI SP SIP/2.0" (a
// method of token characters, a URI of visible characters) or a status line
// "SIP/2.0 SP 3DIGIT" followed by a blank or the line's end. The line ends
// at LF, with an optional CR before it, or at the payload's end. `method`
// is set for a request.
start_line_kind classify_start_line(std::span<const std::uint8_t> payload,
                                    std::string_view* method = nullptr);

// Length of the header section at the start of `bytes` (up to and with the
// empty line that ends it, LF or CR LF), or 0 while it is not complete.
// `scanned` says where the search resumes (0 the first time), so that a
// header section arriving a byte at a time is read once.
std::size_t header_section_end(std::span<const std::uint8_t> bytes, std::uint32_t& scanned);

// The Content-Length (compact "l") value of a header section, 0 when absent
// or not a number; a value above `cap` reads as cap + 1 (the caller's
// "too long").
std::size_t content_length(std::span<const std::uint8_t> header, std::size_t cap);

// Where the message at the start of `bytes` (keep-alive bytes already
// skipped) ends: its header section and body lengths once the header
// section is complete, header 0 before. `scanned` as header_section_end's;
// a body above `cap` reads as cap + 1.
struct message_extent {
    std::size_t header = 0;
    std::size_t body = 0;
};
message_extent measure_message(std::span<const std::uint8_t> bytes, std::uint32_t& scanned,
                               std::size_t cap);

// The method of a CSeq value ("314159 INVITE" gives "INVITE"), or empty
// when the value has no number followed by a method.
std::string_view cseq_method(std::string_view cseq);

// Methods whose messages are not published; a fixed table filled once from
// the command line. Methods compare exactly, as SIP compares them.
struct method_list {
    static constexpr std::size_t kMax = 16;
    static constexpr std::size_t kMaxLength = 31;  // as long as a record's method
    std::size_t count = 0;
    char name[kMax][kMaxLength + 1] = {};
    std::uint8_t length[kMax] = {};

    bool empty() const { return count == 0; }
    bool contains(std::string_view method) const;
};

// Fills `out` from a comma-separated list of 1 to method_list::kMax methods
// of token characters, each 1 to 31 bytes. False, with `out` left empty,
// for anything else; the caller prints the message.
bool parse_method_list(std::string_view text, method_list& out);

}  // namespace zel
