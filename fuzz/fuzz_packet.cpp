// The capture daemon's whole per-packet path on arbitrary frames: decoding
// and record building on each decoded link type and on one that is not
// decoded, every record checked as a consumer would read it, and every
// frame that gives none counted under exactly one reason.
//
// Input: byte 0 picks the link type, byte 1 bit 0 switches "raw" on, byte 2
// is the switch id's length (0 keeps "unknown") followed by its bytes, then
// 4 bytes of seconds and 4 of microseconds, then the captured frame.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "datagram.hpp"
#include "drop_counts.hpp"
#include "fuzz_check.hpp"
#include "json_check.hpp"
#include "sip_record.hpp"

namespace {

constexpr int kLinkTypes[] = {zel::kDltEthernet, zel::kDltLinuxSll, zel::kDltLinuxSll2,
                              zel::kDltRaw, 105 /* 802.11: not decoded */};

struct expectation {
    std::string_view frame;
    std::string switch_id;
    std::int64_t timestamp_ms = 0;
    bool raw = true;
};
expectation want;
zel::record_buffer record_out;

bool is_endpoint(std::string_view s) {
    // a.b.c.d:port, each part decimal without leading zeros, in range.
    std::size_t i = 0;
    for (int part = 0; part < 5; ++part) {
        std::size_t begin = i;
        unsigned long v = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - begin < 5)
            v = v * 10 + static_cast<unsigned long>(s[i++] - '0');
        std::size_t digits = i - begin;
        if (digits == 0 || (digits > 1 && s[begin] == '0')) return false;
        if (v > (part < 4 ? 255UL : 65535UL)) return false;
        if (part < 4 && (i >= s.size() || s[i++] != (part < 3 ? '.' : ':'))) return false;
    }
    return i == s.size();
}

void check_record(std::string_view record) {
    const char* json = record.data();
    const std::size_t len = record.size();
    FUZZ_CHECK(len >= 1 && len <= zel::kMaxRecord, "record length %zu", len);
    for (std::size_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(json[i]);
        FUZZ_CHECK(c >= 0x20 && c <= 0x7E, "byte 0x%02x at offset %zu of the record", c, i);
    }
    zel_fuzz::record_values v;
    std::string why;
    FUZZ_CHECK(zel_fuzz::check_record({json, len}, v, why) == 0, "invalid record: %s", why.c_str());
    auto& m = v.value;
    FUZZ_CHECK(m[0] == "sip.message", "type");
    FUZZ_CHECK(m[1] == want.switch_id, "switch_id differs from the configured one");
    FUZZ_CHECK(m[2] == std::to_string(want.timestamp_ms), "timestamp_ms %s", m[2].c_str());
    FUZZ_CHECK(!m[3].empty(), "record without a call id");
    FUZZ_CHECK(is_endpoint(m[4]) && is_endpoint(m[5]), "end point texts");
    const std::string& method = m[9];
    const std::string& status = m[10];
    FUZZ_CHECK(method.empty() || status.empty(), "both method and status");
    FUZZ_CHECK(m[8] == (status.empty() ? method : status), "label is neither");
    FUZZ_CHECK(method.size() <= 31 && status.size() <= 3, "method/status too long");
    for (int k : {3, 6, 7, 11}) {
        FUZZ_CHECK(m[k].size() <= 511, "member %d longer than 511 bytes", k + 1);
        FUZZ_CHECK(m[k].find('\0') == std::string::npos, "NUL in member %d", k + 1);
    }
    if (want.raw) {
        // The payload is a run of the frame's own bytes, at most 16,384 long.
        FUZZ_CHECK(!m[12].empty() && m[12].size() <= zel::kMaxPayload, "raw length");
        FUZZ_CHECK(want.frame.find(m[12]) != std::string_view::npos,
                   "raw is not a run of the captured bytes");
    } else {
        FUZZ_CHECK(m[12].empty(), "raw present with --no-raw");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 11) return 0;
    int dlt = kLinkTypes[data[0] % 5];
    want.raw = (data[1] & 1) != 0;
    std::size_t id_len = data[2] % zel::kSwitchIdSize;
    zel::record_options options;
    std::size_t off = 3;
    if (size - off < id_len + 8) return 0;
    if (id_len == 0) {
        want.switch_id = "unknown";
    } else {
        want.switch_id.assign(reinterpret_cast<const char*>(data + off), id_len);
        // The command line cannot carry a NUL; the daemon takes the id by strlen.
        for (char& c : want.switch_id)
            if (c == '\0') c = '0';
    }
    off += id_len;
    FUZZ_CHECK(zel::set_switch_id(options, want.switch_id.c_str()), "switch id refused");
    options.include_raw = want.raw;

    std::uint32_t sec = 0, usec = 0;
    std::memcpy(&sec, data + off, 4);
    std::memcpy(&usec, data + off + 4, 4);
    off += 8;
    usec %= 1000000;  // the kernel's time stamps keep microseconds below a second

    want.timestamp_ms = static_cast<std::int64_t>(sec) * 1000 + usec / 1000;
    want.frame = {reinterpret_cast<const char*>(data + off), size - off};

    // libFuzzer's buffer ends exactly at the last captured byte, so ASan
    // flags any read past it.
    zel::drop_counts drops;
    std::string_view record;
    if (const auto d = zel::decode_frame(dlt, {data + off, size - off}, sec, usec, drops))
        record = zel::parse_sip(*d, options, record_out, drops);
    std::uint64_t counted = 0;
    for (std::uint64_t n : drops.count) counted += n;
    if (record.empty()) {
        FUZZ_CHECK(counted == 1, "a frame without a record counted %llu times",
                   static_cast<unsigned long long>(counted));
    } else {
        FUZZ_CHECK(counted == 0, "a frame with a record counted as dropped");
        FUZZ_CHECK(dlt != 105, "record from an undecoded link type");
        check_record(record);
    }
    return 0;
}
