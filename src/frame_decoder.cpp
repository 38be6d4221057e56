#include "frame_decoder.hpp"

#include <cstdio>

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

int frame_decoder::init(const decode_options& options, std::size_t fragment_pool,
                        std::size_t tcp_buffers) {
    options_ = options;
    if (options.reassemble && fragments_.init(fragment_pool) < 0) {
        std::fprintf(stderr, "--reassemble: cannot reserve its tables\n");
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
    if (p->fragment) {
        p = fragments_.add(*p, sec * 1'000'000 + usec, drops, losses_);
        if (!p) return 0;
        if (p->source.family == AF_INET6 && !ipv6_upper_layer(*p, options_, drops)) return 0;
    }
    if (p->protocol == kProtoTcp) {
        const auto s = decode_tcp(*p, drops);
        if (!s) return 0;
        return tcp_.add(*s, sec, usec, drops, losses_, to, ctx);
    }
    const auto d = decode_udp(*p, sec, usec, drops);
    if (!d) return 0;
    to(ctx, *d);
    return 1;
}

}  // namespace zel
