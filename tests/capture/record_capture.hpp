// Test seam: collects every record the capture core produces instead of
// sending it to socket clients, and also appends it, newline-terminated, to
// the file named by ZEL_RECORD_FILE so that a JSON parser can check every
// record of the unit run afterwards.
#pragma once

#include "datagram.hpp"

#include <string>
#include <vector>

namespace zel_test {

// Points record_sink here and forgets earlier records.
void start_capture();

// Records produced since start_capture, in order.
const std::vector<std::string>& records();

// The records the record stage makes of one decoded datagram (none or one).
std::vector<std::string> records_of(const zel::datagram& d);

} // namespace zel_test
