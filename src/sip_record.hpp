// Record building: recognises a SIP request or response in one datagram's
// payload, takes its first line and the Call-ID, From, To and CSeq headers,
// and encodes them with both end points and the capture time as one
// single-line JSON event record of type "sip.message", in a buffer the
// caller owns. Owns the record format and its size limit, and the options
// that shape a record (switch id, raw text).
//
// Promises: every record holds only the bytes 0x20 to 0x7E, so a newline
// can frame it, and is 1 to kMaxRecord bytes long; at most one record per
// datagram; payloads without a Call-ID (or compact "i") value give none.
// Nothing is allocated, and nothing outside the caller's buffer and drop
// table is written.
//
// Threads: any, each with its own buffer and drop table.
#pragma once

#include "datagram.hpp"
#include "drop_counts.hpp"
#include "sip_framing.hpp"

#include <cstddef>
#include <string_view>

namespace zel {

// Longest record ever built (7 x 16,384 bytes), newline not included.
inline constexpr std::size_t kMaxRecord = 114688;

// Identifier of a capture point: 1 to 127 bytes plus the terminating NUL.
inline constexpr std::size_t kSwitchIdSize = 128;

struct record_options {
    // Written into every record; "unknown" until set_switch_id says otherwise.
    char switch_id[kSwitchIdSize] = "unknown";
    // Whether records carry the payload in "raw".
    bool include_raw = true;
    // --strict-sip: only a payload whose first line (after any CR LF) is a
    // SIP request or status line gives a record, without those CR LF bytes.
    bool strict_sip = false;
    // --ignore-methods: requests of these methods, and responses whose CSeq
    // names one, give no record.
    method_list ignore_methods;
};

// Copies value into options.switch_id when it holds 1 to 127 bytes;
// otherwise prints "switch-id must contain 1-127 bytes" on standard error,
// leaves the options unchanged and returns false. Shared by every program
// that takes "-S".
bool set_switch_id(record_options& options, const char* value);

// Where records are built: every field is escaped straight into `bytes`
// with room for its longest escape, so no field is ever cut. Large (112
// KiB); a program keeps one and reuses it for every record.
struct record_buffer {
    char bytes[kMaxRecord + 1];
};

// The record for datagram `d` as a view into `out` (valid until the next
// call with the same buffer), or an empty view after adding one to `drops`
// when the payload is not SIP: its first line is shorter than 3 bytes, or
// it has no Call-ID; with options.strict_sip, it has no SIP start line
// (not_sip); with options.ignore_methods, its method is one of them
// (method_ignored). Payload bytes past 16,384 are never looked at.
std::string_view parse_sip(const datagram& d, const record_options& options, record_buffer& out,
                           drop_counts& drops);

}  // namespace zel
