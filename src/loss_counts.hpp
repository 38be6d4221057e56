// What the bounded tables of the opt-in decoders (IP reassembly, TCP
// streams) gave up to stay within their bounds, or gave up waiting for:
// one counter per cause. Unlike drop_counts these are not per frame: an
// expired datagram held several fragments, each already counted once as
// drop_reason::fragment_held when it arrived. The table belongs to whoever
// runs the chain (frame_decoder) and is only written by the tables it owns.
//
// Threads: a table is only touched by the thread that runs its chain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zel {

enum class loss_reason : std::uint8_t {
    fragments_expired,    // a datagram still incomplete 30 s (capture time) after its first piece
    fragments_evicted,    // an incomplete datagram dropped to make room (4,096 or 64 MiB)
    tcp_flows_expired,    // a flow forgotten after 60 s without a segment
    tcp_flows_evicted,    // the least recently used flow forgotten for a new one (4,096)
    tcp_buffers_evicted,  // a direction's held bytes dropped to lend its buffer (1,024)
    tcp_gaps,             // bytes missing from a stream: what was held is given up
    tcp_overflows,        // a message beyond the 65,536-byte buffer: dropped
    dedup_evicted,        // --dedup: a copy still inside its window forgotten for room
};
inline constexpr std::size_t kLossReasons = 8;

// The names a stats line or metrics file prints, in enum order.
inline constexpr std::array<std::string_view, kLossReasons> kLossNames = {
    "fragments_expired",   "fragments_evicted", "tcp_flows_expired", "tcp_flows_evicted",
    "tcp_buffers_evicted", "tcp_gaps",          "tcp_overflows",     "dedup_evicted",
};

struct loss_counts {
    std::array<std::uint64_t, kLossReasons> count{};

    void add(loss_reason r) { ++count[static_cast<std::size_t>(r)]; }
    std::uint64_t operator[](loss_reason r) const { return count[static_cast<std::size_t>(r)]; }
};

}  // namespace zel
