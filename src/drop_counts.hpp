// Why a captured frame gave no record: one counter per reason, for every
// stage of the capture chain (decoding, then record building). The table
// belongs to whoever runs the chain and is passed to each stage; a stage
// adds one to exactly one reason for every frame it ignores, and nothing
// for a frame it passes on. With --tcp one frame can carry several
// messages: record building then counts each message it ignores. Every
// reason has a fixed name, under which the daemon shows its count.
//
// Threads: a table is only touched by the thread that runs its chain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zel {

enum class drop_reason : std::uint8_t {
    // Decoding.
    link_type,      // a link type that is not decoded
    not_ipv4,       // the link layer or the IP version says another protocol
    not_udp,        // IPv4, but not UDP
    truncated,      // captured too short for the headers, or the datagram, it claims
    header_lies,    // a length field disagrees with the headers it counts
    fragment,       // a piece of a fragmented datagram
    empty_payload,  // a UDP datagram with no payload
    // Record building.
    short_first_line,  // shorter than any SIP first line (keep-alives)
    no_call_id,        // no Call-ID value: not SIP
    // The opt-in decoders (after the default ones, so that their numbers
    // stay).
    fragment_held,  // --reassemble: kept, its datagram not complete yet (or a duplicate)
    fragment_bad,   // --reassemble: contradicts its datagram's other pieces or 65,535 bytes
    tcp_held,       // --tcp: bytes taken into the stream, no message completed yet
    tcp_duplicate,  // --tcp: no byte that was not seen before (a retransmission)
    tcp_skipped,    // --tcp: does not fit its flow (far outside it, an implausible SYN or RST)
    // Capture where operators capture (tunnels, doubled copies, noise).
    tunnel_depth,    // --decap: more than 4 tunnel headers (or link headers) deep
    duplicate,       // --dedup: the same IP payload seen less than the window before
    not_sip,         // --strict-sip (always with --tcp): no SIP request or status line
    method_ignored,  // --ignore-methods: its method (a response's CSeq method) is listed
    count,           // not a reason: how many there are
};
inline constexpr std::size_t kDropReasons = static_cast<std::size_t>(drop_reason::count);

struct drop_counts {
    std::array<std::uint64_t, kDropReasons> count{};

    void add(drop_reason r) { ++count[static_cast<std::size_t>(r)]; }
    std::uint64_t operator[](drop_reason r) const { return count[static_cast<std::size_t>(r)]; }
};

// Each reason's name where the counts are shown (the stats line, the
// metrics file's `reason` label): lower case, digits and '_' only, so that
// it needs no quoting in either. Indexed by drop_reason; a reason added
// above without a name here fails the build (the check below).
inline constexpr std::array<std::string_view, kDropReasons> kDropReasonNames = {
    "link_type",    "not_ipv4",      "not_udp",          "truncated",   "header_lies",
    "fragment",     "empty_payload", "short_first_line", "no_call_id",  "fragment_held",
    "fragment_bad", "tcp_held",      "tcp_duplicate",    "tcp_skipped", "tunnel_depth",
    "duplicate",    "not_sip",       "method_ignored",
};

// A table of reason names is sound when every entry has a name of
// [a-z0-9_], 1-32 long, of its own: an entry left out is empty.
template <std::size_t N>
consteval bool reason_names_valid(const std::array<std::string_view, N>& names) {
    for (std::size_t i = 0; i < N; i++) {
        const std::string_view name = names[i];
        if (name.empty() || name.size() > 32) return false;
        for (char c : name)
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
        for (std::size_t j = 0; j < i; j++)
            if (names[j] == name) return false;
    }
    return true;
}
static_assert(reason_names_valid(kDropReasonNames),
              "every drop_reason needs its own name of [a-z0-9_], 1-32 long");

}  // namespace zel
