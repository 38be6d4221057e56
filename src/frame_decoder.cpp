#include "frame_decoder.hpp"

#include "sip_framing.hpp"

#include <cstdio>
#include <cstring>

namespace zel {

bool set_decode_option(decode_options& options, int c) {
    switch (c) {
    case kOptVlan:
        options.vlan = true;
        return true;
    case kOptIpv6:
        options.ipv6 = true;
        return true;
    case kOptReassemble:
        options.reassemble = true;
        return true;
    case kOptTcp:
        options.tcp = true;
        return true;
    default:
        return false;
    }
}

namespace {

// Decimal digits only, 1 to dedup_table::kMaxWindowMs.
bool parse_window(const char* text, std::uint32_t& ms) {
    if (*text == '\0') return false;
    std::uint32_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<std::uint32_t>(*p - '0');
        if (v > dedup_table::kMaxWindowMs) return false;
    }
    if (v == 0) return false;
    ms = v;
    return true;
}

// Where the messages of a TCP stream go: a message that does not begin
// with a SIP start line (a stream that is HTTP or MSNP on a SIP port, or
// picked up in the middle of a body) is counted instead.
struct stream_sink {
    frame_decoder::sink to;
    void* ctx;
    drop_counts& drops;
};

void strict_message(void* ctx, const datagram& d) {
    auto& s = *static_cast<stream_sink*>(ctx);
    if (classify_start_line(d.payload) == start_line_kind::none) {
        s.drops.add(drop_reason::not_sip);
        return;
    }
    s.to(s.ctx, d);
}

}  // namespace

int set_capture_option(decode_options& decoding, record_options& records, int c, const char* arg) {
    switch (c) {
    case kOptDecap:
        decoding.decap = true;
        return 1;
    case kOptDedup:
        if (arg == nullptr) {
            decoding.dedup_ms = dedup_table::kDefaultWindowMs;
            return 1;
        }
        if (parse_window(arg, decoding.dedup_ms)) return 1;
        std::fprintf(stderr, "dedup must be a whole number of milliseconds from 1 to %u\n",
                     dedup_table::kMaxWindowMs);
        return -1;
    case kOptStrictSip:
        records.strict_sip = true;
        return 1;
    case kOptIgnoreMethods:
        if (parse_method_list(arg, records.ignore_methods)) return 1;
        std::fprintf(stderr,
                     "ignore-methods must be 1-%zu comma-separated methods of 1-%zu token "
                     "characters\n",
                     method_list::kMax, method_list::kMaxLength);
        return -1;
    default:
        return 0;
    }
}

int frame_decoder::init(const decode_options& options, std::size_t fragment_pool,
                        std::size_t tcp_buffers) {
    options_ = options;
    if (options.reassemble && fragments_.init(fragment_pool) < 0) {
        std::fprintf(stderr, "--reassemble: cannot reserve its tables\n");
        return -1;
    }
    if (options.dedup_ms != 0 && dedup_.init(options.dedup_ms) < 0) {
        std::fprintf(stderr, "--dedup: cannot reserve its table\n");
        return -1;
    }
    if (options.tcp && tcp_.init(tcp_buffers) < 0) {
        std::fprintf(stderr, "--tcp: cannot reserve its tables\n");
        return -1;
    }
    return 0;
}

std::size_t frame_decoder::decode(int dlt, std::span<const std::uint8_t> frame, std::int64_t sec,
                                  std::int64_t usec, drop_counts& drops, sink to, void* ctx) {
    auto p = decode_ip(dlt, frame, options_, drops);
    if (!p) return 0;
    const std::int64_t now_us = sec * 1'000'000 + usec;
    if (options_.dedup_ms != 0 && dedup_.seen(*p, now_us, losses_)) {
        drops.add(drop_reason::duplicate);
        return 0;
    }
    // A datagram put together may itself be a tunnel, whose inner packet
    // may be a fragment again; each round passes a tunnel header, so
    // kMaxTunnels bounds the rounds.
    while (p->fragment) {
        const std::uint8_t tunnels = p->tunnels;
        p = fragments_.add(*p, now_us, drops, losses_);
        if (!p) return 0;
        p->tunnels = tunnels;
        if (p->source.family == AF_INET6 && !ipv6_upper_layer(*p, options_, drops)) return 0;
        if (options_.decap && !decode_tunnels(*p, options_, drops)) return 0;
    }
    if (p->protocol == kProtoTcp) {
        const auto s = decode_tcp(*p, drops);
        if (!s) return 0;
        stream_sink strict{to, ctx, drops};
        return tcp_.add(*s, sec, usec, drops, losses_, strict_message, &strict);
    }
    const auto d = decode_udp(*p, sec, usec, drops);
    if (!d) return 0;
    to(ctx, *d);
    return 1;
}

}  // namespace zel
