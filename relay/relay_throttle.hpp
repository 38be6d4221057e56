// Holds back repeats of one warning so that a flood of the same event costs at
// most one log line a second. The first event of a quiet spell is logged as
// its plain line; the events after it are counted and shown, at most once a
// second, as one "<event> count=N" line, N being the events no line has shown
// yet. The plain line plus every count therefore add up to the events seen.
//
// Decisions take the time as an argument (microseconds on any clock that
// never goes back) so that tests can drive them; the *_log functions read the
// monotonic clock and write the line. One throttle belongs to one thread: the
// relay keeps its throttles on the service thread.
#pragma once

#include <cstdint>

namespace zel {

struct log_throttle {
    bool logged;      // a line has been written since init
    int64_t last_us;  // when that line was written
    uint64_t held;    // events since then that no line has shown
};

// What an event at now_us should write: -1 nothing (it is held back and
// counted), 0 the plain line, N > 0 the line with count=N (this event included).
int64_t throttle_event(log_throttle* t, int64_t now_us);

// What the periodic flush at now_us should write: 0 nothing, N > 0 the line
// with count=N for events held back at least a second after the last line.
uint64_t throttle_flush(log_throttle* t, int64_t now_us);

// throttle_event or throttle_flush at the current monotonic time, writing
// "event" or "event count=N" through log_line at the given level.
void throttle_event_log(log_throttle* t, const char* level, const char* event);
void throttle_flush_log(log_throttle* t, const char* level, const char* event);

}  // namespace zel
