// Process-wide settings of the capture daemon: the switch id written into
// every event record and whether records carry the SIP text.
// Both are written only while the command line is parsed (main thread,
// before the capture starts) and are read-only afterwards, so the record
// builder reads them without any guard.
#pragma once

#include <cstddef>

namespace zel {

// Identifier of this capture point: 1 to 127 bytes plus the terminating NUL.
// Starts as "unknown".
inline constexpr std::size_t kSwitchIdSize = 128;
extern char switch_id[kSwitchIdSize];

// Whether records carry the payload in "raw". Starts as true.
extern bool include_raw;

// Copies value into switch_id when it holds 1 to 127 bytes; otherwise prints
// "switch-id must contain 1-127 bytes" on standard error, leaves switch_id
// unchanged and returns false. Shared by every program that takes "-S".
bool set_switch_id(const char* value);

} // namespace zel
