// The record builder against its plain reference versions, byte for byte:
// json_escape at every capacity, and whole records of arbitrary payloads,
// which shows header lookup and user extraction as the record uses them.
// Every escape output is a heap block of exactly `cap` bytes, so ASan
// catches a write past the capacity the caller gave, and every payload is
// one of exactly its size, so a read past its end is caught too.
//
// Input: byte 0 picks how the rest is framed as a payload (as it is, behind
// a SIP first line with a Call-ID to fall back on, or as the From and To
// values) and, in bit 7, leaves "raw" out; bytes 1-2 pick the escape
// capacity; the rest is the text.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "datagram.hpp"
#include "fuzz_check.hpp"
#include "json_escape.hpp"
#include "reference_sip.hpp"
#include "sip_record.hpp"

namespace {

constexpr std::int64_t kSec = 1700000000;
constexpr std::int64_t kUsec = 123456;

zel::record_buffer record_out;

std::string hexdump(std::string_view s) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < s.size() && i < 64; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(s[i]));
        out += b;
    }
    return out;
}

void check_escape(std::string_view in, std::size_t cap) {
    auto out = std::make_unique<char[]>(cap);
    std::size_t n = zel::json_escape(out.get(), cap, in.data(), in.size());
    std::string want = zel_test::reference_json_escape(in, cap);
    FUZZ_CHECK(n == want.size(), "json_escape cap %zu returned %zu, reference %zu", cap, n,
               want.size());
    FUZZ_CHECK(std::memcmp(out.get(), want.data(), n) == 0 && out[n] == '\0',
               "json_escape cap %zu: got %s want %s", cap, hexdump({out.get(), n}).c_str(),
               hexdump(want).c_str());
}

zel::endpoint endpoint(std::uint8_t last, std::uint16_t port) {
    zel::endpoint e;
    e.addr = {192, 0, 2, last};
    e.port = port;
    return e;
}

void check_record(std::string_view payload, const zel::record_options& options) {
    payload = payload.substr(0, zel::kMaxPayload);
    if (payload.empty()) return;  // decoding never hands on an empty payload
    auto bytes = std::make_unique<std::uint8_t[]>(payload.size());
    std::memcpy(bytes.get(), payload.data(), payload.size());
    zel::datagram d;
    d.payload = {bytes.get(), payload.size()};
    d.source = endpoint(1, 5060);
    d.destination = endpoint(2, 5080);
    d.sec = kSec;
    d.usec = kUsec;
    zel::drop_counts drops;
    const std::string_view got = zel::parse_sip(d, options, record_out, drops);
    const auto want = zel_test::reference_record(payload, "192.0.2.1:5060", "192.0.2.2:5080", kSec,
                                                 kUsec, options.switch_id, options.include_raw);
    FUZZ_CHECK(got.empty() == !want, "record %s, reference %s", got.empty() ? "none" : "built",
               want ? "built" : "none");
    if (want)
        FUZZ_CHECK(got == *want, "record differs: got %s want %s", hexdump(got).c_str(),
                   hexdump(*want).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned framing = data[0] & 0x7F;
    std::size_t cap_sel = static_cast<std::size_t>(data[1]) << 8 | data[2];
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);

    // Capacities from 1 up to a little beyond the longest escape of the
    // input, so cutting at every kind of escape boundary is reached.
    std::size_t max_cap = 6 * rest.size() + 8;
    check_escape(rest, 1 + cap_sel % max_cap);
    check_escape(rest, 6 * rest.size() + 1);  // never cut

    zel::record_options options;
    options.include_raw = (data[0] & 0x80) == 0;
    const std::string text(rest);
    switch (framing % 3) {
    case 0:
        check_record(text, options);
        break;
    case 1:
        check_record("OPTIONS sip:x SIP/2.0\r\n" + text + "\r\ni: fallback\r\n", options);
        break;
    default:
        check_record("INVITE sip:x SIP/2.0\r\nCall-ID: c\r\nFrom: " + text + "\r\nTo: " + text +
                         "\r\n",
                     options);
        break;
    }
    return 0;
}
