// The relay's one log format on standard error:
// "%ld level=%s component=zel_packet_monitor_wss %s\n" (seconds since the
// epoch, level "info", "warning" or "error", then the event text). Each line
// is written with a single write so lines from the two threads never interleave.
#pragma once

#include <cstddef>
#include <string_view>

namespace zel {

void log_line(const char* level, const char* message);

// Writes text into out (size bytes, always NUL-terminated when size > 0) as
// a log line's value: printable ASCII other than the blank and the backslash
// stays as it is, every other byte becomes \xHH, so bytes that a peer or a
// file chose can neither forge a field or a line nor reach a terminal raw.
// keep_blanks keeps the blank too, for a free-text value that ends its line.
// Text that does not fit is cut before a whole escape and ends in "...".
// Returns the length written. Any thread.
size_t log_escape(char* out, size_t size, std::string_view text, bool keep_blanks);

}  // namespace zel
