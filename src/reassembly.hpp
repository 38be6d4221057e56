// IP reassembly (--reassemble): puts fragmented IPv4 and IPv6 datagrams
// back together so that an INVITE with a large SDP offer, cut to fit a
// 1,500-byte MTU, still gives its record.
//
// Promises: every table is reserved by init() and nothing is allocated
// afterwards. At most kSlots datagrams are in progress, each at most
// kMaxDatagram bytes, holding at most kPoolBytes of fragment data in all;
// when a bound is hit the datagram in progress that started first is
// evicted, and one still incomplete kExpireUs of capture time after its
// first piece is expired (both counted in loss_counts). A datagram is
// known by its addresses, id, link (VLANs, tunnel) and, for IPv4, protocol.
// Overlapping pieces must agree byte for byte: duplicates change nothing,
// a piece that says otherwise (teardrop) discards its whole datagram, and
// a first piece (offset 0) unlike the one held starts the datagram over,
// so that a new datagram under a reused id never completes a stale one
// (both counted in loss_counts). A piece whose length is not a multiple of
// 8 while more follow, or that runs past 65,535 bytes or past the end
// another piece gave, is refused.
//
// Threads: one; the table, its drop and loss tables are that thread's.
#pragma once

#include "datagram.hpp"
#include "drop_counts.hpp"
#include "loss_counts.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace zel {

class reassembly {
public:
    static constexpr std::size_t kSlots = 4096;
    static constexpr std::size_t kMaxDatagram = 65535;
    // Fragment data is held in blocks from one pool, so that a datagram of
    // 3 KB costs 4 KiB, not 64.
    static constexpr std::size_t kBlock = 2048;
    static constexpr std::size_t kPoolBytes = std::size_t{64} << 20;
    static constexpr std::int64_t kExpireUs = 30'000'000;

    reassembly();
    ~reassembly();
    reassembly(const reassembly&) = delete;
    reassembly& operator=(const reassembly&) = delete;

    // Reserves every table (about 69 MiB of address space, of which only
    // what fragments use becomes resident), with `pool_bytes` (at most
    // kPoolBytes, at least 64 KiB) for fragment data. -1 when the memory
    // cannot be had; the table is then unusable.
    int init(std::size_t pool_bytes = kPoolBytes);

    // Takes piece `f` (f.fragment set) captured at `now_us`. When it
    // completes its datagram: the whole packet (fragment clear, transport
    // the reassembled bytes in this table's own buffer, valid until the
    // next call). Otherwise nothing, after counting fragment_held or
    // fragment_bad.
    std::optional<ip_packet> add(const ip_packet& f, std::int64_t now_us, drop_counts& drops,
                                 loss_counts& losses);

    // Datagrams in progress, for tests and reports.
    std::size_t in_progress() const;

private:
    struct tables;
    std::unique_ptr<tables> t_;
};

}  // namespace zel
