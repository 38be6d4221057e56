// Datagram decoding: from one captured frame to the UDP datagram it
// carries. Strips the link-layer header (Ethernet untagged or with one
// 802.1Q/802.1ad tag, Linux cooked v1 and v2, raw IP), checks the IPv4 and
// UDP headers against what was really captured, and gives the payload (at
// most 16,384 bytes) with both end points and the capture time.
//
// Promises: a pure function of its arguments; never reads past the captured
// bytes; the datagram it returns points into the frame it was given.
// Fragments, non-IPv4, non-UDP, empty payloads, frames captured too short
// for what their headers claim and headers whose lengths disagree give no
// datagram, and each is counted under its reason. No checksum or port test.
//
// Threads: any; the drop table is the caller's.
#pragma once

#include "drop_counts.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <sys/socket.h>

namespace zel {

// Link types decoded, by the values pcap_datalink reports on Linux.
inline constexpr int kDltEthernet = 1;
inline constexpr int kDltRaw = 12;
inline constexpr int kDltLinuxSll = 113;
inline constexpr int kDltLinuxSll2 = 276;

// Largest payload handed on; a longer one is seen only in its first 16,384
// bytes, both for header lookup and for the raw text of the record.
inline constexpr std::size_t kMaxPayload = 16384;

// One end of a datagram. The address is kept as bytes in network order
// with its family, so that another family fits the same value: for AF_INET
// the first four bytes are used and the rest are zero.
struct endpoint {
    sa_family_t family = AF_INET;
    std::array<std::uint8_t, 16> addr{};
    std::uint16_t port = 0;
};

struct datagram {
    // 1 to kMaxPayload bytes inside the frame: valid as long as the frame is.
    std::span<const std::uint8_t> payload;
    endpoint source;
    endpoint destination;
    // Capture time as libpcap gives it.
    std::int64_t sec = 0;
    std::int64_t usec = 0;
};

// The UDP datagram in `frame` (the captured bytes, starting with the link
// header of type `dlt`), or nothing, after adding one to `drops` under the
// reason. Every length is tested against the captured bytes, never against
// the length the frame had on the wire; a link type not listed above gives
// nothing.
std::optional<datagram> decode_frame(int dlt, std::span<const std::uint8_t> frame, std::int64_t sec,
                                     std::int64_t usec, drop_counts& drops);

}  // namespace zel
