// What the bounded tables of the opt-in decoders (IP reassembly, TCP
// streams) gave up to stay within their bounds, or gave up waiting for:
// one counter per cause. Unlike drop_counts these are not per frame: an
// expired datagram held several fragments, each already counted once as
// drop_reason::fragment_held when it arrived. The table belongs to whoever
// runs the chain (frame_decoder) and is only written by the tables it owns.
//
// Threads: a table is only touched by the thread that runs its chain.
#pragma once

#include "drop_counts.hpp"

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
    tcp_overflows,        // a message beyond 65,536 bytes: dropped
    // Appended, so that the names above keep their places.
    fragments_conflicting,  // pieces overlapping with different bytes: the datagram discarded
    fragments_restarted,    // a new first piece under an id in progress: the stale one discarded
    tcp_resyncs,            // data kept arriving off the stream: taken up there, held bytes lost
    tcp_unfinished,         // a partly received message cut off by FIN or RST
    dedup_evicted,          // --dedup: a copy still inside its window forgotten for room
    count,                  // not a reason: how many there are
};
inline constexpr std::size_t kLossReasons = static_cast<std::size_t>(loss_reason::count);

// The names a stats line or metrics file prints, in enum order (a reason
// added above without a name here fails the build).
inline constexpr std::array<std::string_view, kLossReasons> kLossNames = {
    "fragments_expired",   "fragments_evicted", "tcp_flows_expired", "tcp_flows_evicted",
    "tcp_buffers_evicted", "tcp_gaps",          "tcp_overflows",     "fragments_conflicting",
    "fragments_restarted", "tcp_resyncs",       "tcp_unfinished",    "dedup_evicted",
};

static_assert(reason_names_valid(kLossNames),
              "every loss_reason needs its own name of [a-z0-9_], 1-32 long");

struct loss_counts {
    std::array<std::uint64_t, kLossReasons> count{};

    void add(loss_reason r) { ++count[static_cast<std::size_t>(r)]; }
    std::uint64_t operator[](loss_reason r) const { return count[static_cast<std::size_t>(r)]; }
};

}  // namespace zel
