// Test helpers around the record stage: run parse_sip on a payload with
// end points given as text, the way the tests write them, and append every
// record built, newline-terminated, to the file named by ZEL_RECORD_FILE,
// so that a JSON parser can check every record of the unit run afterwards.
#pragma once

#include "datagram.hpp"
#include "drop_counts.hpp"
#include "sip_record.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel_test {

// "a.b.c.d:port" as an end point.
zel::endpoint endpoint_of(std::string_view text);

// The record stage on one datagram: its record, or nothing with the reason
// counted in `drops`.
std::optional<std::string> record_of(const zel::datagram& d, const zel::record_options& options,
                                     zel::drop_counts& drops);

// The same for a payload given as bytes, copied to an exactly sized block
// first so that the sanitizers catch a read past its end.
std::optional<std::string> record_of(std::string_view payload, const char* src, const char* dst,
                                     std::int64_t sec, std::int64_t usec,
                                     const zel::record_options& options, zel::drop_counts& drops);

}  // namespace zel_test
