// The opt-in decoders behind one call: from one captured frame to every
// datagram or SIP message it gives, through VLAN tags, IPv4 or IPv6, IP
// reassembly and TCP streams as the options ask. Owns the reassembly and
// TCP tables and the count of what they gave up; wiring only, each stage
// is its own module (datagram, reassembly, tcp_stream).
//
// Promises: with no option set nothing here is used (the programs call
// decode_frame directly). Nothing is allocated after init(). For every
// frame, either at least one datagram goes to the sink, or exactly one
// reason is counted in the drop table.
//
// Threads: one.
#pragma once

#include "datagram.hpp"
#include "drop_counts.hpp"
#include "loss_counts.hpp"
#include "reassembly.hpp"
#include "tcp_stream.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zel {

// getopt_long values of the options, shared by every program that takes
// them ("--vlan", "--ipv6", "--reassemble", "--tcp"); out of the range of
// letters and of other long-only options.
inline constexpr int kOptVlan = 0x1501;
inline constexpr int kOptIpv6 = 0x1502;
inline constexpr int kOptReassemble = 0x1503;
inline constexpr int kOptTcp = 0x1504;

// Sets the option that getopt_long value `c` names; false when `c` is not
// one of them.
bool set_decode_option(decode_options& options, int c);

// The live capture's snapshot length. A frame cut short loses what the
// stateful decoders need whole (lo hands over frames of 65,549 bytes), so
// with them it is libpcap's own default; the default capture keeps its
// 65,535. A decapsulation option joins the stateful ones here.
inline constexpr int snapshot_length(const decode_options& options) {
    return options.tcp || options.reassemble ? 262144 : 65535;
}

class frame_decoder {
public:
    using sink = tcp_streams::message_sink;

    // Reserves the tables that `options` need, with the reassembly pool
    // and the number of TCP buffers as given (the programs keep the
    // defaults; tests and fuzzing take small ones to reach the bounds). -1
    // after printing why on standard error ("--reassemble: cannot reserve
    // its tables").
    int init(const decode_options& options, std::size_t fragment_pool = reassembly::kPoolBytes,
             std::size_t tcp_buffers = tcp_streams::kBuffers);

    // Decodes one frame and hands each datagram (UDP) or message (TCP) it
    // completes to `sink`, in order; returns how many.
    std::size_t decode(int dlt, std::span<const std::uint8_t> frame, std::int64_t sec,
                       std::int64_t usec, drop_counts& drops, sink to, void* ctx);

    const loss_counts& losses() const { return losses_; }

private:
    decode_options options_;
    reassembly fragments_;
    tcp_streams tcp_;
    loss_counts losses_;
};

}  // namespace zel
