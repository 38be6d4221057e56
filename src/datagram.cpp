#include "datagram.hpp"

#include "sip_record.hpp"

#include <algorithm>

namespace zel {

namespace {

constexpr std::size_t kIpv4Min = 20;
constexpr std::size_t kUdpHeader = 8;

static_assert(DLT_EN10MB == kDltEthernet && DLT_RAW == kDltRaw &&
              DLT_LINUX_SLL == kDltLinuxSll && DLT_LINUX_SLL2 == kDltLinuxSll2);

std::uint16_t be16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// Offset of the IPv4 header behind the link-layer header, or -1 when the
// frame carries something else or is too short to tell.
long ipv4_offset(int dlt, const unsigned char* data, std::size_t caplen)
{
    switch (dlt) {
    case kDltEthernet: {
        if (caplen < 14)
            return -1;
        std::uint16_t type = be16(data + 12);
        std::size_t off = 14;
        // One VLAN tag is skipped; a second one leaves a tag value as the
        // inner type and fails the IPv4 test.
        if (type == 0x8100 || type == 0x88A8) {
            if (caplen < 18)
                return -1;
            type = be16(data + 16);
            off = 18;
        }
        return type == 0x0800 ? static_cast<long>(off) : -1;
    }
    case kDltLinuxSll:
        if (caplen < 16)
            return -1;
        return be16(data + 14) == 0x0800 ? 16 : -1;
    case kDltLinuxSll2:
        if (caplen < 20)
            return -1;
        return be16(data) == 0x0800 ? 20 : -1;
    case kDltRaw:
        return caplen < kIpv4Min ? -1 : 0;
    default:
        return -1;
    }
}

char* put_decimal(char* p, unsigned v)
{
    char digits[5];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (k > 0)
        *p++ = digits[--k];
    return p;
}

} // namespace

std::size_t format_endpoint(char* out, const unsigned char* addr, std::uint16_t port)
{
    char* p = out;
    for (int i = 0; i < 4; ++i) {
        p = put_decimal(p, addr[i]);
        *p++ = i < 3 ? '.' : ':';
    }
    p = put_decimal(p, port);
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

void packet(u_char* user, const pcap_pkthdr* h, const u_char* data)
{
    const int dlt = *reinterpret_cast<const int*>(user);
    const std::size_t caplen = h->caplen;

    const long link = ipv4_offset(dlt, data, caplen);
    if (link < 0)
        return;
    const auto off = static_cast<std::size_t>(link);

    // Every test below compares against what was captured (caplen), never
    // against the length the frame had on the wire.
    if (kIpv4Min > caplen - off)
        return;
    const unsigned char* ip = data + off;
    if ((ip[0] >> 4) != 4 || ip[9] != 17)
        return;
    const std::size_t ihl = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if (ihl < kIpv4Min)
        return;
    // The capture is too short for the headers it claims to have ...
    if (ihl + kUdpHeader > caplen - off)
        return;
    // ... or the IPv4 total length disagrees with the headers or with what
    // was captured. Bytes captured after the datagram are never looked at.
    const std::size_t ip_len = be16(ip + 2);
    if (ip_len < ihl + kUdpHeader || ip_len > caplen - off)
        return;
    // Fragments are not reassembled: more-fragments set or a non-zero
    // offset means this is not a whole datagram. Don't-fragment is fine.
    if ((be16(ip + 6) & 0x3FFF) != 0)
        return;

    const unsigned char* udp = ip + ihl;
    const std::size_t udp_len = be16(udp + 4);
    if (udp_len < kUdpHeader || udp_len > ip_len - ihl)
        return;
    const std::size_t len = udp_len - kUdpHeader;
    if (len == 0)
        return;

    char src[kEndpointSize];
    char dst[kEndpointSize];
    format_endpoint(src, ip + 12, be16(udp));
    format_endpoint(dst, ip + 16, be16(udp + 2));

    parse_sip(udp + kUdpHeader, std::min(len, kMaxPayload), src, dst, h->ts.tv_sec,
              h->ts.tv_usec);
}

} // namespace zel
