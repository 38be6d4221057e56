// SIP over TCP (--tcp): follows each direction of each TCP flow as a byte
// stream and cuts it into SIP messages, each handed on exactly like a UDP
// payload.
//
// A message is its header section up to the first empty line, then as many
// body bytes as Content-Length (compact "l") says, 0 when absent; CR LF
// keep-alives between messages are skipped. The sequence is learnt from the
// SYN, or from the first segment seen (then, as after a gap or an overflow,
// the stream is taken up again at the next line that begins a SIP request
// or response). Retransmitted bytes are ignored; out-of-order ones are held
// within the direction's buffer. A flow is forgotten after FIN or RST, or
// kIdleUs of capture time without a segment.
//
// Promises: every table is reserved by init() and nothing is allocated
// afterwards. At most kFlows flows (the least recently used is evicted), at
// most kBuffer bytes held per direction, in at most kBuffers buffers in all
// (the least recently used buffer's bytes are dropped to lend it); each
// bound is counted in loss_counts when hit. Work per segment is linear in
// its size plus at most one move of kBuffer bytes: a stream that never
// completes a message costs no more than one that does.
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
    static constexpr std::size_t kBuffer = 65536;
    static constexpr std::size_t kBuffers = 1024;  // 64 MiB
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

    // Reserves every table (about 65 MiB of address space, of which only
    // the buffers in use become resident), with `buffers` (1 to kBuffers)
    // buffers. -1 when the memory cannot be had; the table is then
    // unusable.
    int init(std::size_t buffers = kBuffers);

    // Takes one segment captured at (sec, usec) and hands every message it
    // completes to `sink`; returns how many. When it returns 0 exactly one
    // reason was counted: empty_payload (no payload: SYN, ACK, FIN),
    // tcp_duplicate or tcp_held.
    std::size_t add(const tcp_segment& s, std::int64_t sec, std::int64_t usec, drop_counts& drops,
                    loss_counts& losses, message_sink sink, void* ctx);

    // Flows being followed, for tests and reports.
    std::size_t flows() const;

private:
    struct tables;
    std::unique_ptr<tables> t_;
};

}  // namespace zel
