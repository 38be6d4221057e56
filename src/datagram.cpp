#include "datagram.hpp"

#include "index_table.hpp"

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
              DLT_LINUX_SLL2 == kDltLinuxSll2 && DLT_NULL == kDltNull && DLT_LOOP == kDltLoop &&
              DLT_IPV4 == kDltIpv4 && DLT_IPV6 == kDltIpv6);

// What --decap looks through.
constexpr std::uint8_t kProtoIpip = 4;
constexpr std::uint8_t kProtoIpv6InIp = 41;
constexpr std::uint8_t kProtoGre = 47;
constexpr std::uint16_t kEtherPppoeSession = 0x8864;
constexpr std::uint16_t kEtherMpls = 0x8847;
constexpr std::uint16_t kEtherMplsMulticast = 0x8848;
constexpr std::uint16_t kEtherBridged = 0x6558;  // GRE's transparent Ethernet (gretap)
constexpr std::uint16_t kEtherErspan2 = 0x88BE;  // type I without a GRE sequence number
constexpr std::uint16_t kEtherErspan3 = 0x22EB;
constexpr std::uint16_t kPppIpv4 = 0x0021;
constexpr std::uint16_t kPppIpv6 = 0x0057;
constexpr std::uint16_t kGrePpp = 0x880B;  // PPTP's enhanced GRE (version 1)
constexpr std::uint16_t kPortVxlan = 4789;
constexpr std::uint16_t kPortGtpu = 2152;
// Link headers (MPLS labels, PPPoE, Ethernet inside a pseudowire or tunnel)
// read on the way to one IP header at most: a label stack deeper than any
// network uses is refused rather than walked.
constexpr int kMaxLinkSteps = 16;
// An EtherType that stands for "the IP version nibble tells" (raw IP).
constexpr std::uint16_t kByVersion = 0;

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
    return protocol == kProtoUdp || (o.tcp && protocol == kProtoTcp) ||
           (o.decap &&
            (protocol == kProtoIpip || protocol == kProtoIpv6InIp || protocol == kProtoGre));
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
    const std::size_t transport_min = o.reassemble || o.tcp || o.decap ? 0 : kUdpHeader;
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

// --decap from here on: a path of its own, so that the default one keeps
// its shape and speed.

// The link header of the types only --decap reads, then the common ones.
// BSD loopback gives the address family in the capturing host's byte
// order (DLT_NULL) or in network order (DLT_LOOP); IPv6's value differs
// between the BSDs, so every one of them is taken.
verdict skip_link_decap(int dlt, const decode_options& o, byte_reader& r, std::uint16_t& type,
                        link_key& link) {
    switch (dlt) {
    case kDltNull:
    case kDltLoop: {
        if (!r.need(4)) return drop_reason::truncated;
        const std::uint32_t be = r.be32(0);
        const std::uint32_t le = __builtin_bswap32(be);
        const std::uint32_t family = dlt == kDltLoop ? be : (be < 0x10000 ? be : le);
        r.skip(4);
        switch (family) {
        case 2:
            type = kEtherIpv4;
            return std::nullopt;
        case 10:  // Linux
        case 24:  // NetBSD, OpenBSD
        case 28:  // FreeBSD
        case 30:  // macOS
            type = kEtherIpv6;
            return std::nullopt;
        default:
            return drop_reason::not_ipv4;
        }
    }
    case kDltIpv4:
        type = kEtherIpv4;
        return std::nullopt;
    case kDltIpv6:
        type = kEtherIpv6;
        return std::nullopt;
    case kDltRaw:
        type = kByVersion;
        return std::nullopt;
    default:
        return skip_link(dlt, o, r, type, link);
    }
}

// An Ethernet header inside a tunnel or pseudowire, with the tags the
// outermost one may have. Their VLAN ids name the link inside the tunnel,
// so they go into the tunnel's id.
verdict skip_inner_ethernet(const decode_options& o, byte_reader& r, std::uint16_t& type,
                            link_key& link) {
    if (!r.need(14)) return drop_reason::truncated;
    type = r.be16(12);
    r.skip(14);
    for (int tags = o.vlan ? 2 : 1; tags > 0 && is_vlan_tag(type); --tags) {
        if (!r.need(4)) return drop_reason::truncated;
        link.tunnel = hash_mix(link.tunnel, r.be16(0) & 0x0FFFu);
        type = r.be16(2);
        r.skip(4);
    }
    return std::nullopt;
}

// The PPP protocol field at `at` (2 bytes readable), as the EtherType of
// what follows it, and its size in `field`. PPP may send the field
// compressed to one byte, told by its odd first byte (RFC 1661).
verdict read_ppp_protocol(const std::uint8_t* at, std::uint16_t& type, std::size_t& field) {
    const bool compressed = (at[0] & 1) != 0;
    const std::uint16_t ppp = compressed ? at[0] : static_cast<std::uint16_t>(at[0] << 8 | at[1]);
    if (ppp != kPppIpv4 && ppp != kPppIpv6) return drop_reason::not_ipv4;
    type = ppp == kPppIpv4 ? kEtherIpv4 : kEtherIpv6;
    field = compressed ? 1 : 2;
    return std::nullopt;
}

// From a link-level position (`type` says what starts at `r`) through
// PPPoE, MPLS and Ethernet to one IP header, read into `p`.
verdict read_layer(byte_reader r, std::uint16_t type, const decode_options& o, ip_packet& p) {
    for (int steps = 0;; ++steps) {
        if (steps == kMaxLinkSteps) return drop_reason::tunnel_depth;
        switch (type) {
        case kEtherPppoeSession: {
            // Version 1, type 1, code 0 (session data); the length counts
            // the PPP protocol field and what follows it, so that padding
            // after it is never read.
            if (!r.need(8)) return drop_reason::truncated;
            if (r.u8(0) != 0x11 || r.u8(1) != 0) return drop_reason::not_ipv4;
            const std::size_t len = r.be16(4);
            if (len < 2) return drop_reason::header_lies;
            if (!r.need(6 + len)) return drop_reason::truncated;
            std::size_t field = 0;
            if (const verdict stop = read_ppp_protocol(r.here() + 6, type, field)) return stop;
            r = byte_reader({r.here() + 6 + field, len - field});
            continue;
        }
        case kEtherMpls:
        case kEtherMplsMulticast: {
            if (!r.need(4)) return drop_reason::truncated;
            const bool bottom = (r.u8(2) & 1) != 0;
            r.skip(4);
            if (!bottom) continue;
            // No field names what follows the stack: the first nibble does,
            // 0 being a pseudowire's control word before Ethernet.
            if (!r.need(1)) return drop_reason::truncated;
            switch (r.u8(0) >> 4) {
            case 4:
                type = kEtherIpv4;
                continue;
            case 6:
                type = kEtherIpv6;
                continue;
            case 0:
                if (!r.need(4)) return drop_reason::truncated;
                r.skip(4);
                type = kEtherBridged;
                continue;
            default:
                return drop_reason::not_ipv4;
            }
        }
        case kEtherBridged:
            if (const verdict stop = skip_inner_ethernet(o, r, type, p.link)) return stop;
            continue;
        case kByVersion:
            if (!r.need(1)) return drop_reason::truncated;
            type = r.u8(0) >> 4 == 6 ? kEtherIpv6 : kEtherIpv4;
            continue;
        case kEtherIpv4:
            return read_ipv4(r, o, p);
        case kEtherIpv6:
            if (!o.ipv6) return drop_reason::not_ipv4;
            return read_ipv6(r, o, p);
        default:
            return drop_reason::not_ipv4;
        }
    }
}

// What a whole packet holds when it is a tunnel: where the inner bytes
// are, what starts them, how many tunnel headers were passed (0: not a
// tunnel) and the key, VNI or TEID that names the tunnel.
struct inner_layer {
    std::span<const std::uint8_t> bytes;
    std::uint16_t type = kByVersion;
    std::uint8_t levels = 0;
    std::uint32_t key = 0;
};

// PPTP's enhanced GRE (RFC 2637), version 1: always a key (the payload
// length, then the call id), a sequence number when there is a payload, an
// acknowledgement number when the A flag says, and then one PPP frame, its
// address and control bytes (FF 03) optional. No checksum, routing or
// recursion. An acknowledgement alone, or PPP's own control protocols,
// carry no IP and count as not_ipv4.
verdict open_pptp(std::span<const std::uint8_t> bytes, inner_layer& in) {
    byte_reader g(bytes);
    if (!g.need(8)) return drop_reason::header_lies;
    const std::uint16_t flags = g.be16(0);
    if ((flags & 0xEF7F) != 0x2001 || g.be16(2) != kGrePpp) return drop_reason::not_ipv4;
    const std::size_t h = 8 + ((flags & 0x1000) != 0 ? 4 : 0) + ((flags & 0x0080) != 0 ? 4 : 0);
    const std::size_t len = g.be16(4);
    if (!g.need(h + len)) return drop_reason::header_lies;
    std::size_t at = h;
    if (len >= 2 && g.u8(at) == 0xFF && g.u8(at + 1) == 0x03) at += 2;
    if (h + len - at < 2) return drop_reason::not_ipv4;
    std::size_t field = 0;
    if (const verdict stop = read_ppp_protocol(g.here() + at, in.type, field)) {
        return stop;
    }
    in.levels = 1;
    in.key = g.be16(6);  // call id
    in.bytes = bytes.subspan(at + field, h + len - at - field);
    return std::nullopt;
}

// GRE version 0, with or without checksum, key and sequence number (RFC
// 2890), carrying IP, Ethernet, MPLS or ERSPAN. The GRE header lies inside
// a packet already captured whole, so every shortfall is a lie.
verdict open_gre(std::span<const std::uint8_t> bytes, inner_layer& in) {
    byte_reader g(bytes);
    if (!g.need(4)) return drop_reason::header_lies;
    const std::uint16_t flags = g.be16(0);
    if ((flags & 0x0007) == 1) return open_pptp(bytes, in);
    // Routing (bit 1) is long deprecated.
    if ((flags & 0x0007) != 0 || (flags & 0x4000) != 0) return drop_reason::not_ipv4;
    const bool sequence = (flags & 0x1000) != 0;
    std::size_t h = 4 + ((flags & 0x8000) != 0 ? 4 : 0);
    if ((flags & 0x2000) != 0) {
        if (!g.need(h + 4)) return drop_reason::header_lies;
        in.key = g.be32(h);
        h += 4;
    }
    h += sequence ? 4 : 0;
    if (!g.need(h)) return drop_reason::header_lies;
    const std::uint16_t protocol = g.be16(2);
    in.levels = 1;
    in.bytes = bytes.subspan(h);
    switch (protocol) {
    case kEtherIpv4:
    case kEtherIpv6:
    case kEtherBridged:
    case kEtherMpls:
    case kEtherMplsMulticast:
        in.type = protocol;
        return std::nullopt;
    case kEtherErspan2: {
        in.type = kEtherBridged;
        // Type I has no header of its own (and no sequence number).
        if (!sequence) return std::nullopt;
        byte_reader e(in.bytes);
        if (!e.need(8)) return drop_reason::header_lies;
        if (e.u8(0) >> 4 != 1) return drop_reason::not_ipv4;
        in.key = hash_mix(in.key, e.be16(2) & 0x03FF);  // session id
        in.bytes = in.bytes.subspan(8);
        in.levels = 2;
        return std::nullopt;
    }
    case kEtherErspan3: {
        byte_reader e(in.bytes);
        if (!e.need(12)) return drop_reason::header_lies;
        if (e.u8(0) >> 4 != 2) return drop_reason::not_ipv4;
        // Frame type 0 is Ethernet, 2 IP; the O flag adds a platform
        // specific subheader of 8 bytes.
        const std::uint8_t frame_type = (e.u8(10) >> 2) & 0x1F;
        if (frame_type != 0 && frame_type != 2) return drop_reason::not_ipv4;
        const std::size_t size = 12 + ((e.u8(11) & 1) != 0 ? 8 : 0);
        if (!e.need(size)) return drop_reason::header_lies;
        in.key = hash_mix(in.key, e.be16(2) & 0x03FF);
        in.type = frame_type == 0 ? kEtherBridged : kByVersion;
        in.bytes = in.bytes.subspan(size);
        in.levels = 2;
        return std::nullopt;
    }
    default:
        return drop_reason::not_ipv4;
    }
}

// GTP-U (3GPP TS 29.281): version 1, protocol type GTP, message type 255
// (G-PDU) carries a user's IP packet after the header and its extension
// headers. Any other GTP-U message is no tunnel (echo, error indication).
verdict open_gtpu(std::span<const std::uint8_t> bytes, inner_layer& in) {
    byte_reader g(bytes);
    if (!g.need(8)) return std::nullopt;
    const std::uint8_t flags = g.u8(0);
    if (flags >> 5 != 1 || (flags & 0x10) == 0 || g.u8(1) != 0xFF) return std::nullopt;
    const std::size_t end = 8 + std::size_t{g.be16(2)};
    if (!g.need(end)) return drop_reason::header_lies;
    std::size_t h = 8;
    if ((flags & 0x07) != 0) {
        if (end < 12) return drop_reason::header_lies;
        std::uint8_t next = g.u8(11);
        h = 12;
        for (int k = 0; next != 0; ++k) {
            if (k == kMaxLinkSteps) return drop_reason::tunnel_depth;
            if (h >= end) return drop_reason::header_lies;
            const std::size_t len = std::size_t{g.u8(h)} * 4;
            if (len == 0 || len > end - h) return drop_reason::header_lies;
            next = g.u8(h + len - 1);
            h += len;
        }
    }
    in.levels = 1;
    in.key = g.be32(4);
    in.type = kByVersion;
    in.bytes = bytes.subspan(h, end - h);
    return std::nullopt;
}

// The tunnel, if any, that whole packet `p` is.
verdict open_tunnel(const ip_packet& p, inner_layer& in) {
    switch (p.protocol) {
    case kProtoIpip:
    case kProtoIpv6InIp:
        in.type = p.protocol == kProtoIpip ? kEtherIpv4 : kEtherIpv6;
        in.bytes = p.transport;
        in.levels = 1;
        return std::nullopt;
    case kProtoGre:
        return open_gre(p.transport, in);
    case kProtoUdp: {
        // A UDP header that does not add up is left for read_udp to count.
        byte_reader u(p.transport);
        if (!u.need(kUdpHeader)) return std::nullopt;
        const std::size_t udp_len = u.be16(4);
        if (udp_len < kUdpHeader || udp_len > p.transport.size()) return std::nullopt;
        const auto payload = p.transport.subspan(kUdpHeader, udp_len - kUdpHeader);
        const std::uint16_t sport = u.be16(0);
        const std::uint16_t dport = u.be16(2);
        if (dport == kPortVxlan) {
            // The I flag says the VNI is valid; without it this is no VXLAN
            // frame and stays a plain datagram.
            if (payload.size() < 8 || (payload[0] & 0x08) == 0) return std::nullopt;
            in.levels = 1;
            in.key = byte_reader(payload).be32(4) >> 8;
            in.type = kEtherBridged;
            in.bytes = payload.subspan(8);
            return std::nullopt;
        }
        if (dport == kPortGtpu || sport == kPortGtpu) return open_gtpu(payload, in);
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

// The tunnel's name for flow keys: the outer addresses and the key of
// every level passed.
std::uint32_t tunnel_hash(const ip_packet& outer, std::uint32_t key) {
    std::uint32_t h = hash_mix(outer.link.tunnel, key);
    for (std::size_t i = 0; i < 16; i += 4) {
        h = hash_mix(h, byte_reader(outer.source.addr).be32(i));
        h = hash_mix(h, byte_reader(outer.destination.addr).be32(i));
    }
    return h;
}

// While `p` is a whole tunnel packet, replaces it by the packet inside.
// Each tunnel header passed counts one level; at most kMaxTunnels.
verdict descend(ip_packet& p, const decode_options& o) {
    while (!p.fragment) {
        inner_layer in;
        if (const verdict stop = open_tunnel(p, in)) return stop;
        if (in.levels == 0) return std::nullopt;
        if (p.tunnels + in.levels > kMaxTunnels) return drop_reason::tunnel_depth;
        ip_packet inner;
        inner.tunnels = static_cast<std::uint8_t>(p.tunnels + in.levels);
        // The outer tags stay: the same tunnel end points on two VLANs are
        // two links.
        inner.link.vlan = p.link.vlan;
        inner.link.tunnel = tunnel_hash(p, in.key);
        if (const verdict stop = read_layer(byte_reader(in.bytes), in.type, o, inner)) return stop;
        p = inner;
    }
    return std::nullopt;
}

verdict read_ip_decap(int dlt, std::span<const std::uint8_t> frame, const decode_options& o,
                      ip_packet& p) {
    byte_reader r(frame);
    std::uint16_t type = 0;
    if (const verdict stop = skip_link_decap(dlt, o, r, type, p.link)) return stop;
    if (const verdict stop = read_layer(r, type, o, p)) return stop;
    return descend(p, o);
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
    if (options.decap)
        keep_or_count(p, drops,
                      [&](ip_packet& v) { return read_ip_decap(dlt, frame, options, v); });
    else
        keep_or_count(p, drops, [&](ip_packet& v) { return read_ip(dlt, frame, options, v); });
    return p;
}

bool decode_tunnels(ip_packet& p, const decode_options& options, drop_counts& drops) {
    if (const verdict stop = descend(p, options)) {
        drops.add(*stop);
        return false;
    }
    return true;
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
