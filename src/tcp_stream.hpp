// SIP over TCP (--tcp): follows each direction of each TCP flow as a byte
// stream and cuts it into SIP messages, each handed on exactly like a UDP
// payload.
//
// A message is its header section up to the first empty line, then as many
// body bytes as Content-Length (compact "l") says, 0 when absent; CR LF
// keep-alives between messages are skipped (the rules are sip_framing's).
// The sequence is learnt from the SYN, or from the first segment seen
// (then, as after a gap or an overflow, the stream is taken up again at the
// next SIP request or status line). Retransmitted bytes are ignored; out-of-order ones are held
// within the direction's buffer. A flow is known by both end points and
// the link (VLANs, tunnel); it is forgotten after RST, after FIN unless the other
// direction is part way through a message (it may still complete it), or
// kIdleUs of capture time without a segment. A message cut off by FIN or
// RST is counted.
//
// A segment closer ahead than kBuffer whose hole cannot be filled within
// the buffer gives up what was held (a gap). One stray segment must not
// blind a long-lived flow: a segment further ahead, or more than
// kFarBehind behind, is skipped, and only when kResyncAfter of them in a
// row carry on from one another is the stream taken up there. A SYN with
// another initial number once data has flowed, and an RST outside the
// window, are skipped likewise. Every skipped segment is counted.
//
// Promises: every table is reserved by init() and nothing is allocated
// afterwards. At most kFlows flows (the least recently used is evicted), at
// most kBuffer bytes held per direction, in at most kBuffers buffers in all
// (the least recently used buffer's bytes are dropped to lend it); each
// bound is counted in loss_counts when hit. A direction holding part of a
// message (less than kMaxMessage) can always take one more segment of the
// largest size on top. Work per segment is linear in its size plus at most
// one move of kBuffer bytes: a stream that never completes a message costs
// no more than one that does.
//
// Threads: one; the table, its drop and loss tables are that thread's.
#pragma once

#include "datagram.hpp"
#include "drop_counts.hpp"
#include "loss_counts.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zel {

class tcp_streams {
public:
    static constexpr std::size_t kFlows = 4096;
    // A longer message is dropped (tcp_overflows).
    static constexpr std::size_t kMaxMessage = 65536;
    // Above the TCP payload of the largest IP packet (65,535 bytes less
    // the headers): what lo and segmentation offload hand over.
    static constexpr std::size_t kMaxSegment = 65536;
    static constexpr std::size_t kBuffer = kMaxMessage + kMaxSegment;
    static constexpr std::size_t kBuffers = 1024;  // 128 MiB
    static constexpr std::uint32_t kFarBehind = 1u << 20;
    static constexpr std::uint8_t kResyncAfter = 2;
    static constexpr std::int64_t kIdleUs = 60'000'000;
    // Out-of-order pieces held per direction beyond the next expected byte.
    static constexpr std::size_t kHeldPieces = 8;

    // Called once per message, in stream order; the datagram's payload
    // (the message, at most kMaxPayload bytes of it) is valid during the
    // call only.
    using message_sink = void (*)(void* ctx, const datagram& message);

    tcp_streams();
    ~tcp_streams();
    tcp_streams(const tcp_streams&) = delete;
    tcp_streams& operator=(const tcp_streams&) = delete;

    // Reserves every table (about 129 MiB of address space, of which only
    // the buffers in use become resident), with `buffers` (1 to kBuffers)
    // buffers. -1 when the memory cannot be had; the table is then
    // unusable.
    int init(std::size_t buffers = kBuffers);

    // Takes one segment captured at (sec, usec) and hands every message it
    // completes to `sink`; returns how many. When it returns 0 exactly one
    // reason was counted: empty_payload (no payload: SYN, ACK, FIN),
    // tcp_duplicate, tcp_held or tcp_skipped.
    std::size_t add(const tcp_segment& s, std::int64_t sec, std::int64_t usec, drop_counts& drops,
                    loss_counts& losses, message_sink sink, void* ctx);

    // Flows being followed, for tests and reports.
    std::size_t flows() const;

private:
    struct tables;
    std::unique_ptr<tables> t_;
};

}  // namespace zel
