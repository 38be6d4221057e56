// Datagram decoding: from one captured frame to the UDP datagram it
// carries. Strips the link-layer header (Ethernet untagged or with one
// 802.1Q/802.1ad tag, Linux cooked v1 and v2, raw IP), checks the IPv4 and
// UDP headers against what was really captured, and gives the payload (at
// most 16,384 bytes) with both end points and the capture time.
//
// Promises: a pure function of its arguments; never reads past the captured
// bytes; the datagram it returns points into the frame it was given.
// Fragments, non-IPv4, non-UDP, empty payloads, frames captured too short
// for what their headers claim and headers whose lengths disagree give no
// datagram, and each is counted under its reason. No checksum or port test.
//
// The opt-in decoders (decode_options) are split in two steps: decode_ip
// strips link and IP headers (a second VLAN tag, IPv6 and its extension
// headers, fragments handed on instead of dropped, TCP as well as UDP), and
// decode_udp / decode_tcp read the transport header. The stateful parts
// (reassembly, TCP streams) live in their own modules; frame_decoder wires
// them. decode_frame is exactly decode_ip and decode_udp with no option.
// With decode_options::decap, decode_ip looks through tunnels and link
// encapsulations (decode_tunnels again after reassembly) and gives the
// innermost packet; that path is separate, so the default one is unchanged.
//
// Threads: any; the drop table is the caller's.
#pragma once

#include "drop_counts.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <sys/socket.h>

namespace zel {

// Link types decoded, by the values pcap_datalink reports on Linux.
inline constexpr int kDltEthernet = 1;
inline constexpr int kDltRaw = 12;
inline constexpr int kDltLinuxSll = 113;
inline constexpr int kDltLinuxSll2 = 276;
// Only with decode_options::decap: BSD loopback (address family in host,
// then network, byte order) and raw IP of one version.
inline constexpr int kDltNull = 0;
inline constexpr int kDltLoop = 108;
inline constexpr int kDltIpv4 = 228;
inline constexpr int kDltIpv6 = 229;

// Tunnel headers (GRE, ERSPAN, VXLAN, GTP-U, IP in IP) looked through at
// most; a packet deeper inside is counted as tunnel_depth.
inline constexpr int kMaxTunnels = 4;

// Largest payload handed on; a longer one is seen only in its first 16,384
// bytes, both for header lookup and for the raw text of the record.
inline constexpr std::size_t kMaxPayload = 16384;

// One end of a datagram. The address is kept as bytes in network order
// with its family, so that another family fits the same value: for AF_INET
// the first four bytes are used and the rest are zero.
struct endpoint {
    sa_family_t family = AF_INET;
    std::array<std::uint8_t, 16> addr{};
    std::uint16_t port = 0;
};

// What tells the same addresses seen on different links apart: the VLAN
// ids (12 bits) of the tags read, outer first, 0 where there is none, and
// with decode_options::decap the tunnel the packet came through (a hash of
// the outer addresses and the key, VNI or TEID at every level passed; 0
// for none). Part of the identity of a TCP flow and of a datagram being
// reassembled.
struct link_key {
    std::array<std::uint16_t, 2> vlan{};
    std::uint32_t tunnel = 0;

    bool operator==(const link_key&) const = default;
};

// Transport protocols, by their IP protocol numbers.
inline constexpr std::uint8_t kProtoTcp = 6;
inline constexpr std::uint8_t kProtoUdp = 17;

// The opt-in decoders; all off is the default decoding, record for record
// and drop for drop.
struct decode_options {
    bool vlan = false;        // a second tag on Ethernet; one or two on cooked captures
    bool ipv6 = false;        // IPv6 with its extension header chain
    bool reassemble = false;  // fragments are handed on (ip_packet::fragment) instead of dropped
    bool tcp = false;         // TCP segments are handed on as well as UDP
    // The innermost packet of GRE (PPTP's too), ERSPAN II/III, VXLAN (UDP 4789), IPv4 and
    // IPv6 in IP, GTP-U G-PDUs (UDP 2152), PPPoE sessions and MPLS label
    // stacks; also the link types kDltNull, kDltLoop, kDltIpv4, kDltIpv6.
    bool decap = false;
    // Packets equal to one seen less than this many milliseconds before are
    // dropped (frame_decoder); 0: off.
    std::uint32_t dedup_ms = 0;

    bool any() const { return vlan || ipv6 || reassemble || tcp || decap || dedup_ms != 0; }
};

// One IP packet past its IP headers: what a transport decoder, or the
// reassembly of fragments, starts from.
struct ip_packet {
    endpoint source;  // ports are 0 here
    endpoint destination;
    link_key link;
    // kProtoUdp or kProtoTcp; for an IPv6 fragment, the fragment header's
    // next header (possibly an extension header, walked after reassembly).
    std::uint8_t protocol = 0;
    // The bytes after the IP (and extension) headers, exactly as many as the
    // IP header counts, all captured. Points into the frame.
    std::span<const std::uint8_t> transport;
    // Only with decode_options::reassemble: this is one piece of a
    // datagram, `transport` starting `fragment_offset` bytes into it.
    bool fragment = false;
    bool more_fragments = false;
    std::uint32_t fragment_id = 0;
    std::uint32_t fragment_offset = 0;
    // Only with decode_options::decap: how many tunnel headers were passed
    // to reach this packet (which tunnel it was is link.tunnel).
    std::uint8_t tunnels = 0;
};

struct datagram {
    // 1 to kMaxPayload bytes inside the frame: valid as long as the frame is.
    std::span<const std::uint8_t> payload;
    endpoint source;
    endpoint destination;
    // Capture time as libpcap gives it.
    std::int64_t sec = 0;
    std::int64_t usec = 0;
};

// The UDP datagram in `frame` (the captured bytes, starting with the link
// header of type `dlt`), or nothing, after adding one to `drops` under the
// reason. Every length is tested against the captured bytes, never against
// the length the frame had on the wire; a link type not listed above gives
// nothing.
std::optional<datagram> decode_frame(int dlt, std::span<const std::uint8_t> frame, std::int64_t sec,
                                     std::int64_t usec, drop_counts& drops);

// The IP packet in `frame`, or nothing after counting the reason in
// `drops`. A fragment is dropped (drop_reason::fragment) unless
// options.reassemble; TCP is not_udp unless options.tcp.
std::optional<ip_packet> decode_ip(int dlt, std::span<const std::uint8_t> frame,
                                   const decode_options& options, drop_counts& drops);

// Walks the extension headers at the start of a reassembled IPv6 datagram
// (whose first header is p.protocol) onto its UDP or TCP header; false
// after counting the reason (a second fragment header is header_lies).
bool ipv6_upper_layer(ip_packet& p, const decode_options& options, drop_counts& drops);

// With decode_options::decap, replaces a whole packet that is a tunnel by
// the packet inside it, as often as it takes (a packet reassembled from
// fragments may be one); false after counting the reason.
bool decode_tunnels(ip_packet& p, const decode_options& options, drop_counts& drops);

// The UDP datagram in a whole (not fragment) packet of protocol kProtoUdp,
// or nothing after counting the reason.
std::optional<datagram> decode_udp(const ip_packet& p, std::int64_t sec, std::int64_t usec,
                                   drop_counts& drops);

// TCP header flags that matter for following a stream.
inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;

// One TCP segment: its end points (with ports), sequence number, flags and
// payload (possibly empty), pointing into the frame or reassembly buffer.
struct tcp_segment {
    endpoint source;
    endpoint destination;
    link_key link;
    std::uint32_t seq = 0;
    std::uint8_t flags = 0;
    std::span<const std::uint8_t> payload;
};

// The TCP segment in a whole packet of protocol kProtoTcp, or nothing after
// counting header_lies (a data offset below 20 bytes or beyond the packet).
std::optional<tcp_segment> decode_tcp(const ip_packet& p, drop_counts& drops);

}  // namespace zel
