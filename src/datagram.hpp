// Datagram decoding: the libpcap packet handler. Strips the link-layer
// header (Ethernet untagged or with one 802.1Q/802.1ad tag, Linux cooked v1
// and v2, raw IP), checks the IPv4 and UDP headers against what was really
// captured, and offers the UDP payload (at most 16,384 bytes) with its
// "a.b.c.d:port" end-point texts and capture time to parse_sip.
//
// Promises: never reads past the captured bytes; fragments, non-IPv4,
// non-UDP, empty payloads and headers whose lengths disagree with the
// capture are ignored silently. No checksum or port test.
//
// Threads: the thread that runs pcap_dispatch (the daemon's only one).
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

namespace zel {

// Link types decoded, by the values pcap_datalink reports on Linux.
inline constexpr int kDltEthernet = 1;
inline constexpr int kDltRaw = 12;
inline constexpr int kDltLinuxSll = 113;
inline constexpr int kDltLinuxSll2 = 276;

// Longest end-point text, "255.255.255.255:65535", is 21 bytes.
inline constexpr std::size_t kEndpointSize = 64;

// pcap_handler: `user` points to the capture's int data-link type. Any link
// type not listed above produces nothing.
void packet(u_char* user, const pcap_pkthdr* h, const u_char* data);

// Writes "a.b.c.d:port" for the four address bytes at `addr` into `out`
// (at least 22 bytes). Returns the text's length.
std::size_t format_endpoint(char* out, const unsigned char* addr, std::uint16_t port);

} // namespace zel
