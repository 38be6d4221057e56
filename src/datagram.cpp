#include "datagram.hpp"

#include <pcap/dlt.h>

#include <algorithm>

namespace zel {

namespace {

constexpr std::size_t kIpv4Min = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::uint8_t kUdp = 17;
constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEther8021Q = 0x8100;
constexpr std::uint16_t kEther8021ad = 0x88A8;

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
    const std::uint8_t* here() const { return p_; }
    // Only past bytes that need() allowed.
    void skip(std::size_t n) { p_ += n; }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Why decoding stops, or nothing when it goes on.
using verdict = std::optional<drop_reason>;

// Moves `r` past the link-layer header, onto what should be an IPv4
// header.
verdict skip_link(int dlt, byte_reader& r) {
    std::uint16_t type = 0;
    switch (dlt) {
    case kDltEthernet:
        if (!r.need(14)) return drop_reason::truncated;
        type = r.be16(12);
        // One VLAN tag is skipped; a second one leaves a tag value as the
        // inner type and fails the IPv4 test.
        if (type == kEther8021Q || type == kEther8021ad) {
            if (!r.need(18)) return drop_reason::truncated;
            type = r.be16(16);
            r.skip(18);
        } else {
            r.skip(14);
        }
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
        return std::nullopt;  // the IP version tells
    default:
        return drop_reason::link_type;
    }
    if (type != kEtherIpv4) return drop_reason::not_ipv4;
    return std::nullopt;
}

void set_ipv4(endpoint& e, const std::uint8_t* addr, std::uint16_t port) {
    e.family = AF_INET;
    std::copy(addr, addr + 4, e.addr.begin());
    e.port = port;
}

// The checks themselves: fills `d` in place (it is the caller's return
// value, so nothing is copied) and says why it stopped, if it did.
verdict read_datagram(int dlt, std::span<const std::uint8_t> frame, datagram& d) {
    byte_reader r(frame);
    if (const verdict stop = skip_link(dlt, r)) return stop;

    // IPv4. "Truncated" is a capture shorter than the headers or the
    // datagram need; "header lies" is a length that disagrees with the
    // headers it counts. Bytes captured after the datagram (Ethernet fill,
    // trailers) are never looked at.
    if (!r.need(kIpv4Min)) return drop_reason::truncated;
    if (r.u8(0) >> 4 != 4) return drop_reason::not_ipv4;
    if (r.u8(9) != kUdp) return drop_reason::not_udp;
    const std::size_t ihl = static_cast<std::size_t>(r.u8(0) & 0x0F) * 4;
    if (ihl < kIpv4Min) return drop_reason::header_lies;
    if (!r.need(ihl + kUdpHeader)) return drop_reason::truncated;
    const std::size_t ip_len = r.be16(2);
    if (ip_len < ihl + kUdpHeader) return drop_reason::header_lies;
    if (!r.need(ip_len)) return drop_reason::truncated;
    // Fragments are not reassembled: more-fragments set or a non-zero
    // offset means this is not a whole datagram. Don't-fragment is fine.
    if ((r.be16(6) & 0x3FFF) != 0) return drop_reason::fragment;
    const std::uint8_t* ip = r.here();
    r.skip(ihl);

    // UDP, inside the ip_len - ihl bytes that the IPv4 header counts. The
    // payload is taken by the UDP length: bytes between its end and ip_len
    // are not part of it.
    const std::size_t udp_len = r.be16(4);
    if (udp_len < kUdpHeader || udp_len > ip_len - ihl) return drop_reason::header_lies;
    const std::size_t len = udp_len - kUdpHeader;
    if (len == 0) return drop_reason::empty_payload;
    set_ipv4(d.source, ip + 12, r.be16(0));
    set_ipv4(d.destination, ip + 16, r.be16(2));
    d.payload = {r.here() + kUdpHeader, std::min(len, kMaxPayload)};
    return std::nullopt;
}

}  // namespace

std::optional<datagram> decode_frame(int dlt, std::span<const std::uint8_t> frame, std::int64_t sec,
                                     std::int64_t usec, drop_counts& drops) {
    std::optional<datagram> d(std::in_place);
    if (const verdict stop = read_datagram(dlt, frame, *d)) {
        drops.add(*stop);
        d.reset();
        return d;
    }
    d->sec = sec;
    d->usec = usec;
    return d;
}

}  // namespace zel
