#include "tcp_stream.hpp"

#include "index_table.hpp"
#include "sip_framing.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace zel {

namespace {

constexpr std::uint16_t kNone = kNoIndex;
static_assert(tcp_streams::kBuffers < kNone);

using bytes_view = std::span<const std::uint8_t>;

// Signed distance from sequence number b to a, modulo 2^32.
std::int64_t seq_diff(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

// A piece of stream held beyond the in-order bytes, [from, to) relative to
// the next expected sequence number.
struct piece {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
};

struct direction {
    bool known = false;     // `next` has been learnt
    bool from_syn = false;  // ... from a SYN whose number is `isn`
    bool synced = false;    // at a message boundary; otherwise looking for a start line
    std::uint32_t isn = 0;
    std::uint32_t next = 0;  // sequence number after the in-order bytes
    std::uint16_t buffer = kNone;
    std::uint32_t head = 0;  // in-order bytes not cut yet: buffer[head, head + len)
    std::uint32_t len = 0;
    std::uint32_t scanned = 0;  // of those, how far the header end was looked for
    std::uint32_t message = 0;  // the message's whole length once its header is complete
    std::uint8_t pieces = 0;
    // One more than may stay: a piece that joins the in-order bytes is
    // merged in before it is taken off the front.
    piece held[tcp_streams::kHeldPieces + 1];
    // Segments in a row that did not fit, each carrying on from the one
    // before, and the sequence number after the last of them.
    std::uint8_t misfits = 0;
    std::uint32_t misfit_end = 0;

    std::uint32_t held_end() const { return pieces ? held[pieces - 1].to : 0; }
};

struct flow {
    sa_family_t family = 0;
    std::array<std::uint8_t, 16> addr[2]{};
    std::uint16_t port[2]{};
    link_key link;
    std::int64_t last_us = 0;
    std::uint16_t older = kNone, newer = kNone;  // use order
    std::uint16_t chain = kNone;                 // next in its hash bucket
    direction dir[2];
};

struct buffer_use {
    std::uint16_t flow = kNone;
    std::uint8_t side = 0;
    std::uint16_t older = kNone, newer = kNone;
};

// Which side of a flow an end point is: the lower (address, port) is 0.
int side_of(const endpoint& a, const endpoint& b) {
    const int c = std::memcmp(a.addr.data(), b.addr.data(), 16);
    return (c < 0 || (c == 0 && a.port <= b.port)) ? 0 : 1;
}

// Where one segment's messages go.
struct emitter {
    const tcp_segment& segment;
    std::int64_t sec;
    std::int64_t usec;
    tcp_streams::message_sink sink;
    void* ctx;
    loss_counts& losses;
    std::size_t messages = 0;

    void emit(const std::uint8_t* p, std::size_t n) {
        datagram d;
        d.payload = {p, std::min(n, kMaxPayload)};
        d.source = segment.source;
        d.destination = segment.destination;
        d.sec = sec;
        d.usec = usec;
        sink(ctx, d);
        ++messages;
    }
};

// Cuts the messages at the front of `b` (the direction's in-order bytes
// not cut yet) and says how many bytes it used up: messages, keep-alives
// and, while out of step, lines that begin no message.
std::size_t cut(direction& d, const std::uint8_t* b, std::size_t n, emitter& e) {
    std::size_t pos = 0;
    for (;;) {
        if (!d.synced) {
            for (;;) {
                const auto* nl =
                    static_cast<const std::uint8_t*>(std::memchr(b + pos, '\n', n - pos));
                if (nl == nullptr) return pos;
                const auto line_end = static_cast<std::size_t>(nl - b);
                if (classify_start_line({b + pos, line_end - pos}) != start_line_kind::none) break;
                pos = line_end + 1;
            }
            d.synced = true;
            d.scanned = d.message = 0;
        }
        if (d.message == 0) {
            if (d.scanned == 0) pos += leading_crlf({b + pos, n - pos});
            if (pos == n) return pos;
            const message_extent m =
                measure_message({b + pos, n - pos}, d.scanned, tcp_streams::kMaxMessage);
            if (m.header == 0) return pos;
            if (m.header + m.body > tcp_streams::kMaxMessage) {
                // Larger than a message may be: it is lost,
                // and its body must not be read as messages.
                e.losses.add(loss_reason::tcp_overflows);
                d.synced = false;
                d.scanned = 0;
                pos += m.header;
                continue;
            }
            d.message = static_cast<std::uint32_t>(m.header + m.body);
        }
        if (n - pos < d.message) return pos;
        e.emit(b + pos, d.message);
        pos += d.message;
        d.message = d.scanned = 0;
    }
}

enum class outcome { duplicate, taken, skipped };

// Part way through a message: bytes of one held, or pieces beyond a hole.
bool part_way(const direction& d) {
    return (d.synced && d.len > 0) || d.pieces > 0;
}

}  // namespace

struct tcp_streams::tables {
    // Flows, least recently used first; seeded per run so that crafted
    // ports cannot pick one bucket.
    fixed_table<flow, kFlows> flows;
    buffer_use buffers[kBuffers];
    std::uint16_t free_buffers[kBuffers];
    std::size_t free_buffer_count = 0;
    std::uint16_t oldest_buffer = kNone, newest_buffer = kNone;
    std::unique_ptr<std::uint8_t[]> pool;

    std::uint8_t* bytes(const direction& d) { return pool.get() + std::size_t{d.buffer} * kBuffer; }

    std::uint32_t hash(sa_family_t family, const endpoint& lo, const endpoint& hi,
                       const link_key& link) const {
        std::uint32_t h = hash_mix(flows.seed, static_cast<std::uint32_t>(family) << 16 | lo.port);
        h = hash_mix(h, hi.port);
        h = hash_mix(h, static_cast<std::uint32_t>(link.vlan[0]) << 16 | link.vlan[1]);
        h = hash_mix(h, link.tunnel);
        for (std::size_t i = 0; i < 16; i += 4) {
            std::uint32_t a, b;
            std::memcpy(&a, lo.addr.data() + i, 4);
            std::memcpy(&b, hi.addr.data() + i, 4);
            h = hash_mix(hash_mix(h, a), b);
        }
        return h;
    }

    std::uint16_t find(const tcp_segment& s, int side) const {
        const endpoint& lo = side == 0 ? s.source : s.destination;
        const endpoint& hi = side == 0 ? s.destination : s.source;
        return flows.find(hash(s.source.family, lo, hi, s.link), [&](const flow& f) {
            return f.family == s.source.family && f.port[0] == lo.port && f.port[1] == hi.port &&
                   f.addr[0] == lo.addr && f.addr[1] == hi.addr && f.link == s.link;
        });
    }

    void release_buffer(direction& d) {
        if (d.buffer == kNone) return;
        list_unlink(buffers, d.buffer, oldest_buffer, newest_buffer);
        free_buffers[free_buffer_count++] = d.buffer;
        d.buffer = kNone;
    }

    // Gives up everything a direction holds; it takes up the stream again
    // at the next line that begins a message.
    void drop_held(direction& d) {
        release_buffer(d);
        d.head = d.len = d.scanned = d.message = 0;
        d.pieces = d.misfits = 0;
        d.synced = false;
    }

    // A buffer for flow i's side, lent by the least recently used holder
    // when none is free.
    void take_buffer(std::uint16_t i, int side, loss_counts& losses) {
        direction& d = flows[i].dir[side];
        if (d.buffer != kNone) {
            list_unlink(buffers, d.buffer, oldest_buffer, newest_buffer);
            list_push_newest(buffers, d.buffer, oldest_buffer, newest_buffer);
            return;
        }
        if (free_buffer_count == 0) {
            const buffer_use& victim = buffers[oldest_buffer];
            drop_held(flows[victim.flow].dir[victim.side]);
            losses.add(loss_reason::tcp_buffers_evicted);
        }
        d.buffer = free_buffers[--free_buffer_count];
        buffers[d.buffer].flow = i;
        buffers[d.buffer].side = static_cast<std::uint8_t>(side);
        list_push_newest(buffers, d.buffer, oldest_buffer, newest_buffer);
    }

    void forget(std::uint16_t i) {
        release_buffer(flows[i].dir[0]);
        release_buffer(flows[i].dir[1]);
        flows.remove(i);
    }

    std::uint16_t open(const tcp_segment& s, int side, loss_counts& losses) {
        if (flows.full()) {
            forget(flows.oldest);
            losses.add(loss_reason::tcp_flows_evicted);
        }
        const endpoint& lo = side == 0 ? s.source : s.destination;
        const endpoint& hi = side == 0 ? s.destination : s.source;
        const std::uint16_t i = flows.insert(hash(s.source.family, lo, hi, s.link));
        flow& f = flows[i];
        f.family = s.source.family;
        f.addr[0] = lo.addr;
        f.port[0] = lo.port;
        f.addr[1] = hi.addr;
        f.port[1] = hi.port;
        f.link = s.link;
        return i;
    }

    void expire(std::int64_t now_us, loss_counts& losses) {
        while (flows.oldest != kNone && now_us - flows[flows.oldest].last_us > kIdleUs) {
            forget(flows.oldest);
            losses.add(loss_reason::tcp_flows_expired);
        }
    }

    // In-order bytes with nothing held: messages are cut straight from the
    // segment, and only an unfinished tail is copied.
    void straight(std::uint16_t i, int side, bytes_view b, emitter& e) {
        direction& d = flows[i].dir[side];
        d.next += static_cast<std::uint32_t>(b.size());
        const std::size_t used_up = cut(d, b.data(), b.size(), e);
        if (used_up == b.size()) return;
        take_buffer(i, side, e.losses);
        std::memcpy(bytes(d), b.data() + used_up, b.size() - used_up);
        d.head = 0;
        d.len = static_cast<std::uint32_t>(b.size() - used_up);
    }

    // Copies what of [from, from + b.size()) is not held yet into the
    // buffer and merges it into the held pieces; the new byte count, or -1
    // when the pieces would be too many.
    long place(direction& d, std::uint32_t from, bytes_view b) {
        std::uint8_t* base = bytes(d) + d.head + d.len;
        const auto to = static_cast<std::uint32_t>(from + b.size());
        long fresh = 0;
        std::uint32_t x = from;
        auto copy = [&](std::uint32_t a, std::uint32_t z) {
            if (a >= z) return;
            std::memcpy(base + a, b.data() + (a - from), z - a);
            fresh += z - a;
        };
        for (std::uint8_t k = 0; k < d.pieces && x < to; ++k) {
            if (d.held[k].to <= x) continue;
            copy(x, std::min(d.held[k].from, to));
            x = std::max(x, d.held[k].to);
        }
        copy(x, to);
        if (fresh == 0) return 0;

        piece merged[kHeldPieces + 1];
        std::size_t n = 0;
        piece add{from, to};
        bool placed = false;
        for (std::uint8_t k = 0; k < d.pieces; ++k) {
            const piece p = d.held[k];
            if (p.to < add.from) {
                merged[n++] = p;
            } else if (p.from > add.to) {
                if (!placed) merged[n++] = add, placed = true;
                merged[n++] = p;
            } else {
                add.from = std::min(add.from, p.from);
                add.to = std::max(add.to, p.to);
            }
        }
        if (!placed) merged[n++] = add;
        if (n > kHeldPieces && merged[0].from != 0) return -1;
        std::copy(merged, merged + n, d.held);
        d.pieces = static_cast<std::uint8_t>(n);
        return fresh;
    }

    // A segment that does not fit the stream is skipped, unless it is the
    // kResyncAfter-th in a row, each carrying on from the one before: then
    // the stream is plainly elsewhere (more was lost than can be held, or
    // the number learnt was wrong) and is taken up at this segment.
    outcome misfit(std::uint16_t i, int side, std::uint32_t seq, bytes_view b, emitter& e) {
        direction& d = flows[i].dir[side];
        const std::int64_t on = seq_diff(seq, d.misfit_end);
        const bool carries_on = d.misfits > 0 && on >= 0 && on < std::int64_t{kBuffer};
        d.misfits = carries_on ? static_cast<std::uint8_t>(d.misfits + 1) : 1;
        d.misfit_end = seq + static_cast<std::uint32_t>(b.size());
        if (d.misfits < kResyncAfter) return outcome::skipped;
        e.losses.add(loss_reason::tcp_resyncs);
        drop_held(d);
        d.next = seq;
        straight(i, side, b, e);
        return outcome::taken;
    }

    outcome take(std::uint16_t i, int side, std::uint32_t seq, bytes_view b, emitter& e) {
        direction& d = flows[i].dir[side];
        std::int64_t rel = seq_diff(seq, d.next);
        if (rel + static_cast<std::int64_t>(b.size()) <= 0) {
            // A retransmission is never this far behind.
            if (rel < -std::int64_t{kFarBehind}) return misfit(i, side, seq, b, e);
            d.misfits = 0;
            return outcome::duplicate;
        }
        if (rel < 0) {
            b = b.subspan(static_cast<std::size_t>(-rel));
            rel = 0;
        }
        // In order this always fits: less than kMaxMessage is held, and
        // no segment is larger than kMaxSegment.
        const std::size_t end = d.len + static_cast<std::size_t>(rel) + b.size();
        if (end > kBuffer && rel >= std::int64_t{kBuffer})
            return misfit(i, side, d.next + static_cast<std::uint32_t>(rel), b, e);
        d.misfits = 0;
        if (rel == 0 && d.len == 0 && d.pieces == 0) {
            straight(i, side, b, e);
            return outcome::taken;
        }
        long fresh = -1;
        if (end <= kBuffer) {
            take_buffer(i, side, e.losses);
            if (d.head + std::max<std::size_t>(end, d.len + d.held_end()) > kBuffer && d.head > 0) {
                std::memmove(bytes(d), bytes(d) + d.head, d.len + d.held_end());
                d.head = 0;
            }
            fresh = place(d, static_cast<std::uint32_t>(rel), b);
        }
        if (fresh < 0) {
            // Close ahead, but the hole before this segment will not be
            // filled within the buffer (or there are too many holes): what
            // was held is given up and the stream taken up again here. A
            // stray segment costs at most a buffer's length of the stream.
            e.losses.add(loss_reason::tcp_gaps);
            drop_held(d);
            d.next += static_cast<std::uint32_t>(rel);
            straight(i, side, b, e);
            return outcome::taken;
        }
        if (fresh == 0) return outcome::duplicate;
        if (d.held[0].from == 0) {
            const std::uint32_t joined = d.held[0].to;
            d.len += joined;
            d.next += joined;
            std::copy(d.held + 1, d.held + d.pieces, d.held);
            --d.pieces;
            for (std::uint8_t k = 0; k < d.pieces; ++k) {
                d.held[k].from -= joined;
                d.held[k].to -= joined;
            }
        }
        const std::size_t used_up = cut(d, bytes(d) + d.head, d.len, e);
        d.head += static_cast<std::uint32_t>(used_up);
        d.len -= static_cast<std::uint32_t>(used_up);
        if (d.len >= kMaxMessage) {
            // A header section still not ended: that message is lost (a
            // line that long while looking for a message is not one).
            if (d.synced) e.losses.add(loss_reason::tcp_overflows);
            drop_held(d);
        } else if (d.len == 0 && d.pieces == 0) {
            release_buffer(d);
            d.head = 0;
        }
        return outcome::taken;
    }

    // A SYN is believed on a direction not learnt yet, or learnt from a SYN
    // with no data since (a retry, possibly with a new number); once data
    // has flowed only its retransmission, which changes nothing.
    static bool syn_fits(const direction& d, std::uint32_t seq) {
        return !d.known || (d.from_syn &&
                            (seq == d.isn || (d.next == d.isn + 1 && d.len == 0 && d.pieces == 0)));
    }

    // An RST is believed within the window the buffer spans, or when its
    // sender's direction is not known (nothing to judge it by).
    static bool rst_fits(const direction& d, std::uint32_t seq) {
        const std::int64_t rel = seq_diff(seq, d.next);
        return !d.known || (rel >= 0 && rel <= std::int64_t{kBuffer});
    }

    // FIN: this direction is done. The flow goes unless the other direction
    // is part way through a message, which it may still complete.
    void finish(std::uint16_t i, int side, loss_counts& losses) {
        direction& d = flows[i].dir[side];
        if (part_way(d)) losses.add(loss_reason::tcp_unfinished);
        drop_held(d);
        if (!part_way(flows[i].dir[1 - side])) forget(i);
    }

    // RST: both directions are done.
    void reset(std::uint16_t i, loss_counts& losses) {
        for (const direction& d : flows[i].dir)
            if (part_way(d)) losses.add(loss_reason::tcp_unfinished);
        forget(i);
    }
};

tcp_streams::tcp_streams() = default;
tcp_streams::~tcp_streams() = default;

int tcp_streams::init(std::size_t buffers) {
    buffers = std::clamp<std::size_t>(buffers, 1, kBuffers);
    t_.reset(new (std::nothrow) tables);
    if (!t_) return -1;
    t_->pool.reset(new (std::nothrow) std::uint8_t[buffers * kBuffer]);
    if (!t_->pool) {
        t_.reset();
        return -1;
    }
    t_->flows.init();
    fill_free_stack(t_->free_buffers, buffers);
    t_->free_buffer_count = buffers;
    return 0;
}

std::size_t tcp_streams::flows() const {
    return t_ ? t_->flows.used : 0;
}

std::size_t tcp_streams::add(const tcp_segment& s, std::int64_t sec, std::int64_t usec,
                             drop_counts& drops, loss_counts& losses, message_sink sink,
                             void* ctx) {
    tables& t = *t_;
    const std::int64_t now_us = sec * 1'000'000 + usec;
    t.expire(now_us, losses);

    const int side = side_of(s.source, s.destination);
    std::uint16_t i = t.find(s, side);
    const bool syn = (s.flags & kTcpSyn) != 0;
    const bool rst = (s.flags & kTcpRst) != 0;
    if (i == kNone) {
        // A bare ACK, FIN or RST of a flow not followed starts nothing.
        if (s.payload.empty() && !syn) {
            drops.add(drop_reason::empty_payload);
            return 0;
        }
        i = t.open(s, side, losses);
    } else if (syn ? !tables::syn_fits(t.flows[i].dir[side], s.seq)
                   : rst && !tables::rst_fits(t.flows[i].dir[side], s.seq)) {
        drops.add(drop_reason::tcp_skipped);
        return 0;
    }
    flow& f = t.flows[i];
    f.last_us = now_us;
    t.flows.touch(i);

    direction& d = f.dir[side];
    std::uint32_t seq = s.seq;
    if (syn) {
        // A retransmitted SYN changes nothing; a retry with a new number
        // starts the direction again.
        if (!d.from_syn || d.isn != s.seq) {
            t.drop_held(d);
            d.known = d.from_syn = d.synced = true;
            d.isn = s.seq;
            d.next = s.seq + 1;
        }
        seq = s.seq + 1;
    } else if (!d.known) {
        d.known = true;
        d.synced = false;
        d.next = s.seq;
    }

    emitter e{s, sec, usec, sink, ctx, losses};
    outcome o = outcome::taken;
    if (!s.payload.empty()) o = t.take(i, side, seq, s.payload, e);
    if (o == outcome::skipped) {
        // Its FIN or RST is no more believed than its bytes.
        drops.add(drop_reason::tcp_skipped);
        return 0;
    }
    if (rst)
        t.reset(i, losses);
    else if ((s.flags & kTcpFin) != 0)
        t.finish(i, side, losses);
    if (e.messages == 0)
        drops.add(s.payload.empty()         ? drop_reason::empty_payload
                  : o == outcome::duplicate ? drop_reason::tcp_duplicate
                                            : drop_reason::tcp_held);
    return e.messages;
}

}  // namespace zel
