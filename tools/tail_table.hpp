// tail_table: one readable line per event record, in the columns the demo's
// Python subscriber prints:
//
//   HH:MM:SS.mmm  source → destination  label      call_id                    from → to
//
// (local time; label padded to 10 and call_id to 26 characters; an empty
// from or to shows as "-"). Every shown value has its control characters
// (C0, DEL, C1) written as \xNN, so a record cannot move the terminal's
// cursor or forge a line. An event that is not a record, or lacks one of
// these members as a string (timestamp_ms as an integer), gives
// "unreadable event (<why>): <its first 80 characters, shown the same way>".
// Pure function apart from the time zone: any thread.
#pragma once

#include <string>
#include <string_view>

namespace zel::tail {

// The line for the event value `event` (a JSON object or string as
// tail_message accepted it), without a newline, appended to out.
void table_line(std::string_view event, std::string& out);

// value with its control characters as \xNN, appended to out; returns the
// number of characters (code points) appended.
size_t append_shown(std::string_view value, std::string& out);

}  // namespace zel::tail
