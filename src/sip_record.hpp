// SIP message to event record: recognises a SIP request or response in one
// UDP payload, extracts its first line and the Call-ID, From, To and CSeq
// headers, and encodes them as one single-line JSON event record of type
// "sip.message" that goes to `record_sink` (the event socket by default).
//
// Promises: every record holds only the bytes 0x20 to 0x7E, so a newline
// can frame it; at most one record per payload; payloads without a Call-ID
// (or compact "i") value give none. Nothing is allocated per call.
//
// Threads: the daemon's single thread only. parse_sip works in static
// arrays and is not reentrant; the helpers below are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datagram.hpp"

namespace zel {

// Size of every extracted header value and user part, NUL included.
inline constexpr std::size_t kValueSize = 512;

// Turns one payload into at most one record and hands it to record_sink.
// `len` is 1 to 16,384 (longer is cut to 16,384); `src` and `dst` are the
// end-point texts; `sec`/`usec` the capture time. A payload whose first line
// is shorter than 3 bytes or that has no Call-ID is dropped silently.
void parse_sip(const unsigned char* sip, std::size_t len, const char* src, const char* dst,
               std::int64_t sec, std::int64_t usec);

// Value of the first line of the payload whose name equals `name` (ASCII
// letters in any case) directly followed by a colon; leading blanks and tabs
// and trailing blanks and CRs are removed, the rest is cut to `cap` - 1
// bytes. `out` is empty when no line matches; it is always NUL-terminated.
void header_value(const unsigned char* sip, std::size_t len, const char* name, char* out,
                  std::size_t cap);

// User part of the first "sip:" URI in `value` (up to "@", ">" or ";"), or
// the whole value when it holds no "sip:"; cut to `cap` - 1 bytes and
// NUL-terminated.
void sip_user(const char* value, char* out, std::size_t cap);

} // namespace zel
