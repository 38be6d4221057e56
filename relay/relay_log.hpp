// The relay's one log format on standard error:
// "%ld level=%s component=zel_packet_monitor_wss %s\n" (seconds since the
// epoch, level "info", "warning" or "error", then the event text). Each line
// is written with a single write so lines from the two threads never interleave.
#pragma once

namespace zel {

void log_line(const char* level, const char* message);

}  // namespace zel
