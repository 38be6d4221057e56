#include "datagram.hpp"

#include <pcap/dlt.h>

#include <algorithm>

namespace zel {

namespace {

constexpr std::size_t kIpv4Min = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kTcpMin = 20;
constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEther8021Q = 0x8100;
constexpr std::uint16_t kEther8021ad = 0x88A8;
// IPv6 next-header values walked over.
constexpr std::uint8_t kIpv6HopByHop = 0;
constexpr std::uint8_t kIpv6Routing = 43;
constexpr std::uint8_t kIpv6Fragment = 44;
constexpr std::uint8_t kIpv6DestOptions = 60;

static_assert(DLT_EN10MB == kDltEthernet && DLT_RAW == kDltRaw && DLT_LINUX_SLL == kDltLinuxSll &&
              DLT_LINUX_SLL2 == kDltLinuxSll2);

// A cursor over captured bytes. need(n) is its only bounds test, written so
// that it cannot overflow, and every read after it stays inside the n
// bytes it allowed: tcpdump's ND_TTEST_LEN, then GET_BE_U_2 without the
// test. A failed need() means the capture is too short, whatever the
// headers say.
class byte_reader {
public:
    explicit byte_reader(std::span<const std::uint8_t> bytes)
        : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    bool need(std::size_t n) const { return n <= static_cast<std::size_t>(end_ - p_); }
    std::uint8_t u8(std::size_t at) const { return p_[at]; }
    std::uint16_t be16(std::size_t at) const {
        return static_cast<std::uint16_t>(p_[at] << 8 | p_[at + 1]);
    }
    std::uint32_t be32(std::size_t at) const {
        return static_cast<std::uint32_t>(be16(at)) << 16 | be16(at + 2);
    }
    const std::uint8_t* here() const { return p_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
    // Only past bytes that need() allowed.
    void skip(std::size_t n) { p_ += n; }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Why decoding stops, or nothing when it goes on.
using verdict = std::optional<drop_reason>;

[[gnu::always_inline]] inline bool is_vlan_tag(std::uint16_t type) {
    return type == kEther8021Q || type == kEther8021ad;
}

// Moves `r` past the link-layer header and sets `type` to the EtherType of
// what follows (0 for raw IP: the IP version tells). By default one tag is
// skipped on Ethernet and none on cooked captures, where a tag leaves its
// value as the protocol and fails the IP test; with --vlan two on both
// (libpcap's cooked capture puts the tag right after its header). The
// skipped tags' VLAN ids go into `link`.
[[gnu::always_inline]] inline verdict skip_link(int dlt, const decode_options& o, byte_reader& r,
                                                std::uint16_t& type, link_key& link) {
    int tags = o.vlan ? 2 : 0;
    switch (dlt) {
    case kDltEthernet:
        if (!r.need(14)) return drop_reason::truncated;
        type = r.be16(12);
        r.skip(14);
        if (!o.vlan) tags = 1;
        break;
    case kDltLinuxSll:
        if (!r.need(16)) return drop_reason::truncated;
        type = r.be16(14);
        r.skip(16);
        break;
    case kDltLinuxSll2:
        if (!r.need(20)) return drop_reason::truncated;
        type = r.be16(0);
        r.skip(20);
        break;
    case kDltRaw:
        type = 0;
        return std::nullopt;
    default:
        return drop_reason::link_type;
    }
    for (std::size_t k = 0; k < static_cast<std::size_t>(tags) && is_vlan_tag(type); ++k) {
        if (!r.need(4)) return drop_reason::truncated;
        link.vlan[k] = r.be16(0) & 0x0FFF;
        type = r.be16(2);
        r.skip(4);
    }
    return std::nullopt;
}

[[gnu::always_inline]] inline void set_address(endpoint& e, sa_family_t family,
                                               const std::uint8_t* addr) {
    e.family = family;
    std::copy(addr, addr + (family == AF_INET ? 4 : 16), e.addr.begin());
}

[[gnu::always_inline]] inline bool carried(std::uint8_t protocol, const decode_options& o) {
    return protocol == kProtoUdp || (o.tcp && protocol == kProtoTcp);
}

// The IPv4 header at `r`. "Truncated" is a capture shorter than the headers
// or the datagram need; "header lies" is a length that disagrees with the
// headers it counts. Bytes captured after the datagram (Ethernet fill,
// trailers) are never looked at.
[[gnu::always_inline]] inline verdict read_ipv4(byte_reader& r, const decode_options& o,
                                                ip_packet& p) {
    if (!r.need(kIpv4Min)) return drop_reason::truncated;
    if (r.u8(0) >> 4 != 4) return drop_reason::not_ipv4;
    const std::uint8_t protocol = r.u8(9);
    if (!carried(protocol, o)) return drop_reason::not_udp;
    const std::size_t ihl = static_cast<std::size_t>(r.u8(0) & 0x0F) * 4;
    if (ihl < kIpv4Min) return drop_reason::header_lies;
    // By default the UDP header must be there too, tested here in this
    // order; a piece of a datagram or a TCP segment has its own minimum,
    // tested by its own stage.
    const std::size_t transport_min = o.reassemble || o.tcp ? 0 : kUdpHeader;
    if (!r.need(ihl + transport_min)) return drop_reason::truncated;
    const std::size_t ip_len = r.be16(2);
    if (ip_len < ihl + transport_min) return drop_reason::header_lies;
    if (!r.need(ip_len)) return drop_reason::truncated;
    // More-fragments set or a non-zero offset means this is not a whole
    // datagram. Don't-fragment is fine.
    const std::uint16_t fragment = r.be16(6) & 0x3FFF;
    if (fragment != 0) {
        if (!o.reassemble) return drop_reason::fragment;
        p.fragment = true;
        p.more_fragments = (fragment & 0x2000) != 0;
        p.fragment_offset = static_cast<std::uint32_t>(fragment & 0x1FFF) * 8;
        p.fragment_id = r.be16(4);
    }
    set_address(p.source, AF_INET, r.here() + 12);
    set_address(p.destination, AF_INET, r.here() + 16);
    p.protocol = protocol;
    p.transport = {r.here() + ihl, ip_len - ihl};
    return std::nullopt;
}

// Walks IPv6 extension headers from `next` over `bytes` (all captured and
// counted by the payload length, so running past them is a lie) up to UDP
// or TCP, or to a fragment header when fragments are wanted.
verdict walk_ipv6(std::uint8_t next, std::span<const std::uint8_t> bytes, bool fragment_allowed,
                  const decode_options& o, ip_packet& p) {
    byte_reader r(bytes);
    for (;;) {
        switch (next) {
        case kIpv6HopByHop:
        case kIpv6Routing:
        case kIpv6DestOptions: {
            if (!r.need(2)) return drop_reason::header_lies;
            const std::size_t len = (static_cast<std::size_t>(r.u8(1)) + 1) * 8;
            if (!r.need(len)) return drop_reason::header_lies;
            next = r.u8(0);
            r.skip(len);
            break;
        }
        case kIpv6Fragment: {
            if (!fragment_allowed) return drop_reason::header_lies;
            if (!r.need(8)) return drop_reason::header_lies;
            const std::uint16_t field = r.be16(2);
            const std::uint8_t inner = r.u8(0);
            const std::uint32_t id = r.be32(4);
            r.skip(8);
            fragment_allowed = false;
            // Offset 0 without more fragments (an atomic fragment) is a
            // whole datagram.
            if ((field & 0xFFF9) == 0) {
                next = inner;
                break;
            }
            if (!o.reassemble) return drop_reason::fragment;
            if (!carried(inner, o) && inner != kIpv6HopByHop && inner != kIpv6Routing &&
                inner != kIpv6DestOptions)
                return drop_reason::not_udp;
            p.fragment = true;
            p.more_fragments = (field & 1) != 0;
            p.fragment_offset = field & 0xFFF8;
            p.fragment_id = id;
            p.protocol = inner;
            p.transport = {r.here(), r.left()};
            return std::nullopt;
        }
        default:
            if (!carried(next, o)) return drop_reason::not_udp;
            p.protocol = next;
            p.transport = {r.here(), r.left()};
            return std::nullopt;
        }
    }
}

// The IPv6 header at `r`: the payload length against what was captured,
// then the extension header chain inside that payload.
verdict read_ipv6(byte_reader& r, const decode_options& o, ip_packet& p) {
    if (!r.need(kIpv6Header)) return drop_reason::truncated;
    if (r.u8(0) >> 4 != 6) return drop_reason::not_ipv4;
    const std::size_t payload_len = r.be16(4);
    if (!r.need(kIpv6Header + payload_len)) return drop_reason::truncated;
    set_address(p.source, AF_INET6, r.here() + 8);
    set_address(p.destination, AF_INET6, r.here() + 24);
    return walk_ipv6(r.u8(6), {r.here() + kIpv6Header, payload_len}, true, o, p);
}

[[gnu::always_inline]] inline verdict read_ip(int dlt, std::span<const std::uint8_t> frame,
                                              const decode_options& o, ip_packet& p) {
    byte_reader r(frame);
    std::uint16_t type = 0;
    if (const verdict stop = skip_link(dlt, o, r, type, p.link)) return stop;
    if (o.ipv6 && (type == kEtherIpv6 || (dlt == kDltRaw && r.need(1) && r.u8(0) >> 4 == 6)))
        return read_ipv6(r, o, p);
    if (dlt != kDltRaw && type != kEtherIpv4) return drop_reason::not_ipv4;
    return read_ipv4(r, o, p);
}

// UDP, inside the bytes that the IP header counts. The payload is taken by
// the UDP length: bytes between its end and the IP length are not part of
// it.
[[gnu::always_inline]] inline verdict read_udp(const ip_packet& p, datagram& d) {
    byte_reader r(p.transport);
    if (!r.need(kUdpHeader)) return drop_reason::header_lies;
    const std::size_t udp_len = r.be16(4);
    if (udp_len < kUdpHeader || udp_len > p.transport.size()) return drop_reason::header_lies;
    const std::size_t len = udp_len - kUdpHeader;
    if (len == 0) return drop_reason::empty_payload;
    d.source = p.source;
    d.source.port = r.be16(0);
    d.destination = p.destination;
    d.destination.port = r.be16(2);
    d.payload = {r.here() + kUdpHeader, std::min(len, kMaxPayload)};
    return std::nullopt;
}

// Fills `out` in place (it is the caller's return value, so nothing is
// copied) or resets it after counting why it stopped.
template <typename T, typename F>
void keep_or_count(std::optional<T>& out, drop_counts& drops, F&& step) {
    if (const verdict stop = step(*out)) {
        drops.add(*stop);
        out.reset();
    }
}

}  // namespace

// The default path, kept as fast as it was before the opt-in decoders: the
// steps are inlined with every option a constant false, so none of their
// branches is left, and the UDP step writes into the returned datagram.
std::optional<datagram> decode_frame(int dlt, std::span<const std::uint8_t> frame, std::int64_t sec,
                                     std::int64_t usec, drop_counts& drops) {
    static constexpr decode_options kPlain{};
    std::optional<datagram> d(std::in_place);
    ip_packet p;
    verdict stop = read_ip(dlt, frame, kPlain, p);
    if (!stop) stop = read_udp(p, *d);
    if (stop) {
        drops.add(*stop);
        d.reset();
        return d;
    }
    d->sec = sec;
    d->usec = usec;
    return d;
}

std::optional<ip_packet> decode_ip(int dlt, std::span<const std::uint8_t> frame,
                                   const decode_options& options, drop_counts& drops) {
    std::optional<ip_packet> p(std::in_place);
    keep_or_count(p, drops, [&](ip_packet& v) { return read_ip(dlt, frame, options, v); });
    return p;
}

bool ipv6_upper_layer(ip_packet& p, const decode_options& options, drop_counts& drops) {
    if (const verdict stop = walk_ipv6(p.protocol, p.transport, false, options, p)) {
        drops.add(*stop);
        return false;
    }
    return true;
}

std::optional<datagram> decode_udp(const ip_packet& p, std::int64_t sec, std::int64_t usec,
                                   drop_counts& drops) {
    std::optional<datagram> d(std::in_place);
    keep_or_count(d, drops, [&](datagram& v) { return read_udp(p, v); });
    if (d) {
        d->sec = sec;
        d->usec = usec;
    }
    return d;
}

std::optional<tcp_segment> decode_tcp(const ip_packet& p, drop_counts& drops) {
    std::optional<tcp_segment> s(std::in_place);
    keep_or_count(s, drops, [&](tcp_segment& v) -> verdict {
        byte_reader r(p.transport);
        if (!r.need(kTcpMin)) return drop_reason::header_lies;
        const std::size_t header = static_cast<std::size_t>(r.u8(12) >> 4) * 4;
        if (header < kTcpMin || !r.need(header)) return drop_reason::header_lies;
        v.source = p.source;
        v.source.port = r.be16(0);
        v.destination = p.destination;
        v.destination.port = r.be16(2);
        v.link = p.link;
        v.seq = r.be32(4);
        v.flags = r.u8(13);
        v.payload = p.transport.subspan(header);
        return std::nullopt;
    });
    return s;
}

}  // namespace zel
