// Why a captured frame gave no record: one counter per reason, for every
// stage of the capture chain (decoding, then record building). The table
// belongs to whoever runs the chain and is passed to each stage; a stage
// adds one to exactly one reason for every frame it ignores, and nothing
// for a frame it passes on. With --tcp one frame can carry several
// messages: record building then counts each message it ignores.
//
// Threads: a table is only touched by the thread that runs its chain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zel {

enum class drop_reason : std::uint8_t {
    // Decoding.
    link_type,      // a link type that is not decoded
    not_ipv4,       // the link layer or the IP version says another protocol
    not_udp,        // IPv4, but not UDP
    truncated,      // captured too short for the headers, or the datagram, it claims
    header_lies,    // a length field disagrees with the headers it counts
    fragment,       // a piece of a fragmented datagram
    empty_payload,  // a UDP datagram with no payload
    // Record building.
    short_first_line,  // shorter than any SIP first line (keep-alives)
    no_call_id,        // no Call-ID value: not SIP
    // The opt-in decoders (after the default ones, so that their numbers
    // stay).
    fragment_held,  // --reassemble: kept, its datagram not complete yet (or a duplicate)
    fragment_bad,   // --reassemble: contradicts its datagram's other pieces or 65,535 bytes
    tcp_held,       // --tcp: bytes taken into the stream, no message completed yet
    tcp_duplicate,  // --tcp: no byte that was not seen before (a retransmission)
};
inline constexpr std::size_t kDropReasons = 13;

struct drop_counts {
    std::array<std::uint64_t, kDropReasons> count{};

    void add(drop_reason r) { ++count[static_cast<std::size_t>(r)]; }
    std::uint64_t operator[](drop_reason r) const { return count[static_cast<std::size_t>(r)]; }
};

}  // namespace zel
