// The opt-in decoders behind one call: from one captured frame to every
// datagram or SIP message it gives, through VLAN tags, tunnels, IPv4 or
// IPv6, duplicate suppression, IP reassembly and TCP streams as the options
// ask. Owns the duplicate, reassembly and TCP tables and the count of what
// they gave up; wiring only, each stage is its own module (datagram, dedup,
// reassembly, tcp_stream). Messages cut from TCP streams must begin with a
// SIP start line (sip_framing); the others are counted not_sip.
//
// Promises: with no option set nothing here is used (the programs call
// decode_frame directly). Nothing is allocated after init(). For every
// frame, either at least one datagram goes to the sink, or exactly one
// reason is counted in the drop table.
//
// Threads: one.
#pragma once

#include "datagram.hpp"
#include "dedup.hpp"
#include "drop_counts.hpp"
#include "loss_counts.hpp"
#include "reassembly.hpp"
#include "sip_record.hpp"
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

// Capture where operators capture: "--decap", "--dedup[=MS]",
// "--strict-sip" and "--ignore-methods=LIST", shared by every program that
// takes them; getopt_long values next to the ones above.
inline constexpr int kOptDecap = 0x1505;
inline constexpr int kOptDedup = 0x1506;
inline constexpr int kOptStrictSip = 0x1507;
inline constexpr int kOptIgnoreMethods = 0x1508;

// Takes option `c` with its argument `arg` (null when none was given):
// 1 when taken, 0 when `c` is not one of them, -1 after printing on
// standard error why the argument is refused (a command-line error).
int set_capture_option(decode_options& decoding, record_options& records, int c, const char* arg);

// The live capture's snapshot length. A frame cut short loses what the
// stateful decoders need whole (lo hands over frames of 65,549 bytes), so
// with them it is libpcap's own default; the default capture keeps its
// 65,535. Decapsulation adds outer headers to frames that may already be
// whole-sized, and --dedup compares whole packets: both take it too.
inline constexpr int snapshot_length(const decode_options& options) {
    return options.tcp || options.reassemble || options.decap || options.dedup_ms != 0 ? 262144
                                                                                       : 65535;
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
    dedup_table dedup_;
    reassembly fragments_;
    tcp_streams tcp_;
    loss_counts losses_;
};

}  // namespace zel
