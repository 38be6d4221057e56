// The opt-in decoders (--vlan, --ipv6, --reassemble, --tcp, --decap, --dedup,
// with --strict-sip and --ignore-methods in the record stage) on a sequence of
// arbitrary frames through one frame_decoder, so that reassembly and TCP
// state carries from frame to frame: every record checked as a consumer
// reads it (IPv4 or "[IPv6]:port" end points of one family, the frame's own
// time), and every frame either gives messages or is counted under exactly
// one reason; a message that gives no record is counted once too.
//
// Input: byte 0 picks the link type, byte 1 the options (bit 0 vlan, 1
// ipv6, 2 reassemble, 3 tcp, 4 decap, 5 dedup, 6 strict-sip, 7 ignore
// OPTIONS and NOTIFY), then frames, each as a 2-byte little-endian
// length, one byte of time step (in quarter seconds, so that the 30 s and
// 60 s expiries are reached) and the frame's bytes.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "frame_decoder.hpp"
#include "json_check.hpp"
#include "sip_record.hpp"

namespace {

constexpr int kLinkTypes[] = {zel::kDltEthernet, zel::kDltLinuxSll, zel::kDltLinuxSll2,
                              zel::kDltRaw,      zel::kDltNull,     zel::kDltLoop,
                              zel::kDltIpv4,     zel::kDltIpv6};

struct run {
    zel::record_options options;
    zel::record_buffer record;
    zel::drop_counts drops;
    std::int64_t timestamp_ms = 0;
    std::size_t records = 0;
};

// The address family of an end-point text, or 0 when it is not one.
int endpoint_family(std::string_view s) {
    const std::size_t colon = s.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == s.size() || s.size() - colon > 6) return 0;
    const std::string_view port = s.substr(colon + 1);
    if (port.size() > 1 && port[0] == '0') return 0;
    unsigned long v = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > 65535) return 0;
    std::string addr(s.substr(0, colon));
    int family = AF_INET;
    if (!addr.empty() && addr.front() == '[' && addr.back() == ']') {
        addr = addr.substr(1, addr.size() - 2);
        family = AF_INET6;
    }
    unsigned char bin[16];
    if (inet_pton(family, addr.c_str(), bin) != 1) return 0;
    // The text must be inet_ntop's own.
    char back[INET6_ADDRSTRLEN];
    if (inet_ntop(family, bin, back, sizeof back) == nullptr || addr != back) return 0;
    return family;
}

void check_record(std::string_view record, const run& r) {
    FUZZ_CHECK(record.size() >= 1 && record.size() <= zel::kMaxRecord, "record length %zu",
               record.size());
    for (unsigned char c : record) FUZZ_CHECK(c >= 0x20 && c <= 0x7E, "byte 0x%02x", c);
    zel_fuzz::record_values v;
    std::string why;
    FUZZ_CHECK(zel_fuzz::check_record(record, v, why) == 0, "invalid record: %s", why.c_str());
    const auto& m = v.value;
    FUZZ_CHECK(m[2] == std::to_string(r.timestamp_ms), "timestamp_ms %s", m[2].c_str());
    FUZZ_CHECK(!m[3].empty(), "record without a call id");
    const int src = endpoint_family(m[4]);
    FUZZ_CHECK(src != 0 && src == endpoint_family(m[5]), "end points %s %s", m[4].c_str(),
               m[5].c_str());
    FUZZ_CHECK(m[8] == (m[10].empty() ? m[9] : m[10]), "label is neither");
    FUZZ_CHECK(m[12].size() <= zel::kMaxPayload, "raw length");
}

void on_message(void* ctx, const zel::datagram& d) {
    auto& r = *static_cast<run*>(ctx);
    FUZZ_CHECK(!d.payload.empty() && d.payload.size() <= zel::kMaxPayload, "payload %zu",
               d.payload.size());
    const std::string_view record = zel::parse_sip(d, r.options, r.record, r.drops);
    if (record.empty()) return;
    ++r.records;
    check_record(record, r);
}

std::uint64_t counted(const zel::drop_counts& d) {
    std::uint64_t n = 0;
    for (std::uint64_t c : d.count) n += c;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int dlt = kLinkTypes[data[0] % 8];
    zel::decode_options o;
    o.vlan = data[1] & 1;
    o.ipv6 = data[1] & 2;
    o.reassemble = data[1] & 4;
    o.tcp = data[1] & 8;
    o.decap = data[1] & 16;
    o.dedup_ms = data[1] & 32 ? 50 : 0;
    // A fresh decoder per input, so that each input is judged on its own,
    // with small pools (256 KiB of fragments, 4 TCP buffers): cheap to
    // reserve, and their bounds are reached by short inputs.
    auto decoder = std::make_unique<zel::frame_decoder>();
    FUZZ_CHECK(decoder->init(o, 256 << 10, 4) == 0, "init");
    run r;
    r.options.strict_sip = data[1] & 64;
    if (data[1] & 128)
        FUZZ_CHECK(zel::parse_method_list("OPTIONS,NOTIFY", r.options.ignore_methods), "list");
    std::int64_t us = 1'700'000'000'000'000;
    for (std::size_t off = 2; size - off >= 3;) {
        const std::size_t len =
            std::min<std::size_t>(data[off] | data[off + 1] << 8, size - off - 3);
        us += std::int64_t{data[off + 2]} * 250'000;
        off += 3;
        // Exactly sized, so that AddressSanitizer sees any read past it.
        std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[len ? len : 1]);
        std::memcpy(frame.get(), data + off, len);
        off += len;
        r.timestamp_ms = us / 1000;
        const std::uint64_t drops_before = counted(r.drops);
        const std::size_t records_before = r.records;
        const std::size_t messages = decoder->decode(dlt, {frame.get(), len}, us / 1'000'000,
                                                     us % 1'000'000, r.drops, on_message, &r);
        const std::uint64_t drops = counted(r.drops) - drops_before;
        const std::size_t records = r.records - records_before;
        if (messages == 0)
            FUZZ_CHECK(drops == 1, "a frame without messages counted %llu times",
                       static_cast<unsigned long long>(drops));
        else
            FUZZ_CHECK(drops == messages - records, "%zu messages, %zu records, %llu counted",
                       messages, records, static_cast<unsigned long long>(drops));
    }
    return 0;
}
