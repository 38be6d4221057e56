// Duplicate suppression (--dedup): the same IP packet captured twice, as
// on "any" over a bridge and its ports or a bond and its members, gives
// one record. Two packets are the same when their addresses, protocol,
// place in a fragmented datagram and every byte after the IP header agree;
// TTL, IP checksum and link layer do not count, so a copy taken after a
// router hop or on another interface is still one.
//
// Promises: one table of fixed size, reserved by init(), nothing allocated
// afterwards; constant work per packet plus one pass over its bytes.
// Packets are told apart by a 64-bit hash seeded per run and their length,
// so crafted packets cannot aim at another's slot. When the four entries a
// packet may take all hold packets still inside the window, the oldest is
// forgotten and counted (loss_reason::dedup_evicted): its next copy would
// then be published.
//
// Threads: one; the table and the loss table are that thread's.
#pragma once

#include "datagram.hpp"
#include "loss_counts.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zel {

class dedup_table {
public:
    static constexpr std::uint32_t kDefaultWindowMs = 50;
    static constexpr std::uint32_t kMaxWindowMs = 10000;
    static constexpr std::size_t kWays = 4;
    static constexpr std::size_t kBuckets = 16384;
    // 65,536 packets of 16 bytes: 1 MiB.
    static constexpr std::size_t kBytes = kBuckets * kWays * 16;

    dedup_table();
    ~dedup_table();
    dedup_table(const dedup_table&) = delete;
    dedup_table& operator=(const dedup_table&) = delete;

    // Reserves the table for a window of `window_ms` (1 to kMaxWindowMs).
    // -1 when the memory cannot be had.
    int init(std::uint32_t window_ms);

    // Whether `p`, captured at `now_us`, equals a packet seen less than the
    // window before (or after: capture times need not be in order across
    // interfaces). Either way it is remembered as seen at `now_us`.
    bool seen(const ip_packet& p, std::int64_t now_us, loss_counts& losses);

private:
    struct entry;
    std::unique_ptr<entry[]> entries_;
    std::uint64_t window_us_ = 0;
    std::uint64_t seed_ = 0;
};

}  // namespace zel
