// Realistic SIP signalling for the benchmarks and the capture-file
// generator: four message shapes of the sizes a busy trunk carries
// (OPTIONS ~400 bytes, INVITE with SDP ~1,100, 200 OK with SDP ~700, and a
// ~4,000-byte INVITE with many route headers and a large body), each framed
// as Ethernet/IPv4/UDP between SIP ports.
//
// Promises: the same `seq` always gives the same bytes; every message
// carries a Call-ID, so each frame yields exactly one record. Building
// allocates; it is done before any timed loop. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zel_test {

enum class sip_kind { options, invite, ok, large };
inline constexpr int kSipKinds = 4;

// The `seq`-th message of the mix (kinds in turn) as a UDP payload.
std::string sip_payload(sip_kind kind, std::uint32_t seq);
sip_kind sip_kind_of(std::uint32_t seq);

// The payload inside an Ethernet/IPv4/UDP frame from 10.1.x.y:5060 to
// 10.2.x.y:5060, addresses varying with `seq`.
std::string sip_frame(std::uint32_t seq);

}  // namespace zel_test
