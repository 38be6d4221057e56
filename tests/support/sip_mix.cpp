#include "sip_mix.hpp"

#include <cctype>
#include <string_view>

namespace zel_test {

namespace {

// An "@" in a template that is not followed by a host name stands for the
// message number, so that every call, tag and branch differs the way live
// traffic does; "user@host" stays as it is.
constexpr std::string_view kOptions =
    "OPTIONS sip:gw1.carrier.example.net:5060 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-@-opt;rport\r\n"
    "Max-Forwards: 70\r\n"
    "From: \"Monitor\" <sip:keepalive@192.0.2.10>;tag=opt@\r\n"
    "To: <sip:gw1.carrier.example.net:5060>\r\n"
    "Call-ID: @-options@192.0.2.10\r\n"
    "CSeq: @ OPTIONS\r\n"
    "Contact: <sip:keepalive@192.0.2.10:5060>\r\n"
    "Accept: application/sdp\r\n"
    "User-Agent: edge-proxy/5.4.2\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

constexpr std::string_view kInvite =
    "INVITE sip:+4930123456@carrier.example.net;user=phone SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 192.0.2.20:5060;branch=z9hG4bK-@-inv;rport\r\n"
    "Max-Forwards: 69\r\n"
    "From: \"Alice Example\" <sip:+4940987654@pbx.example.org;user=phone>;tag=from@\r\n"
    "To: <sip:+4930123456@carrier.example.net;user=phone>\r\n"
    "Call-ID: @-a84b4c76e66710@pbx.example.org\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:+4940987654@192.0.2.20:5060;transport=udp>\r\n"
    "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, PRACK, UPDATE, REFER, NOTIFY\r\n"
    "Supported: 100rel, timer, replaces\r\n"
    "Session-Expires: 1800;refresher=uac\r\n"
    "P-Asserted-Identity: <sip:+4940987654@pbx.example.org;user=phone>\r\n"
    "User-Agent: PBX-Core 11.2\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: *\r\n"
    "\r\n"
    "v=0\r\n"
    "o=pbx 1733580000 1733580000 IN IP4 192.0.2.20\r\n"
    "s=call\r\n"
    "c=IN IP4 192.0.2.21\r\n"
    "t=0 0\r\n"
    "m=audio 40000 RTP/AVP 8 0 18 101\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:18 G729/8000\r\n"
    "a=fmtp:18 annexb=no\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-15\r\n"
    "a=ptime:20\r\n"
    "a=maxptime:40\r\n"
    "a=sendrecv\r\n"
    "a=rtcp:40001\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=inactive\r\n"
    "a=label:@\r\n"
    "a=x-note:padding to a typical trunk INVITE size, no meaning\r\n"
    "a=x-route:edge-a edge-b core-1 core-2 media-3\r\n";

constexpr std::string_view kOk =
    "SIP/2.0 200 OK\r\n"
    "Via: SIP/2.0/UDP 192.0.2.20:5060;branch=z9hG4bK-@-inv;rport=5060;received=192.0.2.20\r\n"
    "Record-Route: <sip:198.51.100.5;lr>\r\n"
    "From: \"Alice Example\" <sip:+4940987654@pbx.example.org;user=phone>;tag=from@\r\n"
    "To: <sip:+4930123456@carrier.example.net;user=phone>;tag=to@\r\n"
    "Call-ID: @-a84b4c76e66710@pbx.example.org\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:+4930123456@198.51.100.5:5060>\r\n"
    "Supported: timer\r\n"
    "Session-Expires: 1800;refresher=uac\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: *\r\n"
    "\r\n"
    "v=0\r\n"
    "o=carrier 8812 8812 IN IP4 198.51.100.5\r\n"
    "s=-\r\n"
    "c=IN IP4 198.51.100.6\r\n"
    "t=0 0\r\n"
    "m=audio 52000 RTP/AVP 8 101\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=ptime:20\r\n";

// Head of the large message; route headers and an XML body follow until
// it reaches 4,000 bytes.
constexpr std::string_view kLargeHead =
    "INVITE sip:conference-@@media.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 203.0.113.40:5060;branch=z9hG4bK-@-big;rport\r\n"
    "Via: SIP/2.0/UDP 203.0.113.41:5060;branch=z9hG4bK-@-hop2;received=203.0.113.41\r\n"
    "Via: SIP/2.0/UDP 203.0.113.42:5060;branch=z9hG4bK-@-hop3;received=203.0.113.42\r\n"
    "Max-Forwards: 67\r\n"
    "From: <sip:recorder@ops.example.com>;tag=rec@\r\n"
    "To: <sip:conference-@@media.example.com>\r\n"
    "Call-ID: @-recording-session@ops.example.com\r\n"
    "CSeq: 1 INVITE\r\n"
    "Contact: <sip:recorder@203.0.113.40:5060>;+sip.src\r\n"
    "Content-Type: multipart/mixed;boundary=zel-bench-boundary\r\n";

constexpr std::string_view kRoute =
    "Record-Route: <sip:proxy-@.core.example.com:5060;lr;ftag=rec@;did=4f1.b2>\r\n";

constexpr std::string_view kXml =
    "<participant id=\"@\"><nameID aor=\"sip:agent@@ops.example.com\"/>"
    "<send>true</send><recv>true</recv></participant>\r\n";

void append_filled(std::string& out, std::string_view tmpl, std::uint32_t seq) {
    const std::string n = std::to_string(seq);
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        const bool host_follows =
            i + 1 < tmpl.size() && std::isalnum(static_cast<unsigned char>(tmpl[i + 1]));
        if (tmpl[i] == '@' && !host_follows)
            out += n;
        else
            out += tmpl[i];
    }
}

void put16(std::string& f, std::size_t at, std::uint32_t v) {
    f[at] = static_cast<char>(v >> 8 & 0xFF);
    f[at + 1] = static_cast<char>(v & 0xFF);
}

}  // namespace

sip_kind sip_kind_of(std::uint32_t seq) {
    return static_cast<sip_kind>(seq % kSipKinds);
}

std::string sip_payload(sip_kind kind, std::uint32_t seq) {
    std::string s;
    switch (kind) {
    case sip_kind::options:
        append_filled(s, kOptions, seq);
        break;
    case sip_kind::invite:
        append_filled(s, kInvite, seq);
        break;
    case sip_kind::ok:
        append_filled(s, kOk, seq);
        break;
    case sip_kind::large: {
        append_filled(s, kLargeHead, seq);
        for (int i = 0; i < 8; ++i) append_filled(s, kRoute, seq + i);
        s += "Content-Length: *\r\n\r\n--zel-bench-boundary\r\n"
             "Content-Type: application/rs-metadata+xml\r\n\r\n";
        std::uint32_t k = 0;
        while (s.size() < 3990) append_filled(s, kXml, seq * 32 + k++);
        s.resize(3990);
        s += "\r\n--zel-bench-boundary--\r\n";  // 4,016 bytes in all
        break;
    }
    }
    // Content-Length tells the true body size, as tools that dissect the
    // message expect.
    const std::size_t star = s.find("Content-Length: *");
    if (star != std::string::npos) {
        const std::size_t body = s.find("\r\n\r\n") + 4;
        s.replace(star + 16, 1, std::to_string(s.size() - body));
    }
    return s;
}

std::string sip_frame(std::uint32_t seq) {
    const std::string payload = sip_payload(sip_kind_of(seq), seq);
    std::string f(14 + 20 + 8, '\0');
    // Ethernet: locally administered addresses, type IPv4.
    const unsigned char eth[14] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, 0x08, 0x00};
    f.replace(0, 14, reinterpret_cast<const char*>(eth), 14);
    // IPv4 without options, don't-fragment set, UDP.
    f[14] = 0x45;
    put16(f, 16, static_cast<std::uint32_t>(20 + 8 + payload.size()));
    put16(f, 18, seq & 0xFFFF);
    put16(f, 20, 0x4000);
    f[22] = 64;
    f[23] = 17;
    const unsigned char src[4] = {10, 1, static_cast<unsigned char>(seq >> 8 & 0xFF),
                                  static_cast<unsigned char>(seq & 0xFF)};
    const unsigned char dst[4] = {10, 2, static_cast<unsigned char>(seq >> 16 & 0xFF),
                                  static_cast<unsigned char>(seq >> 8 & 0xFF)};
    f.replace(26, 4, reinterpret_cast<const char*>(src), 4);
    f.replace(30, 4, reinterpret_cast<const char*>(dst), 4);
    // IPv4 header checksum, so that tools which check it take the frame.
    std::uint32_t sum = 0;
    for (std::size_t i = 14; i < 34; i += 2)
        sum += static_cast<std::uint32_t>(static_cast<unsigned char>(f[i]) << 8 |
                                          static_cast<unsigned char>(f[i + 1]));
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    put16(f, 24, ~sum & 0xFFFF);
    // UDP 5060 -> 5060, checksum 0 (none).
    put16(f, 34, 5060);
    put16(f, 36, 5060);
    put16(f, 38, static_cast<std::uint32_t>(8 + payload.size()));
    return f + payload;
}

}  // namespace zel_test
