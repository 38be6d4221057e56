// The record builder's fast byte-level helpers against their plain
// reference versions, byte for byte: json_escape at every capacity,
// header_value for the names the record uses and for arbitrary names, and
// sip_user. Every output array is a heap block of exactly `cap` bytes, so
// ASan catches a write past the capacity the caller gave.
//
// Input: byte 0 selects the header name (or an arbitrary one taken from the
// input), bytes 1-2 the capacity, the rest is the payload.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "json_escape.hpp"
#include "reference_sip.hpp"
#include "sip_record.hpp"

namespace {

constexpr const char* kNames[] = {"Call-ID", "i", "From", "f", "To", "t", "CSeq"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];

std::string hexdump(std::string_view s)
{
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < s.size() && i < 64; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(s[i]));
        out += b;
    }
    return out;
}

void check_escape(std::string_view in, std::size_t cap)
{
    auto out = std::make_unique<char[]>(cap);
    std::size_t n = zel::json_escape(out.get(), cap, in.data(), in.size());
    std::string want = zel_test::reference_json_escape(in, cap);
    FUZZ_CHECK(n == want.size(), "json_escape cap %zu returned %zu, reference %zu", cap, n,
               want.size());
    FUZZ_CHECK(std::memcmp(out.get(), want.data(), n) == 0 && out[n] == '\0',
               "json_escape cap %zu: got %s want %s", cap,
               hexdump({out.get(), n}).c_str(), hexdump(want).c_str());
}

void check_header(std::string_view sip, const char* name, std::size_t cap)
{
    auto out = std::make_unique<char[]>(cap);
    zel::header_value(reinterpret_cast<const unsigned char*>(sip.data()), sip.size(), name,
                      out.get(), cap);
    std::string want = zel_test::reference_header_value(sip, name, cap);
    FUZZ_CHECK(want.size() < cap, "reference longer than its capacity");
    FUZZ_CHECK(std::memcmp(out.get(), want.data(), want.size()) == 0 &&
                   out[want.size()] == '\0',
               "header_value(%s) cap %zu: got %s want %s", hexdump(name).c_str(), cap,
               hexdump({out.get(), want.size()}).c_str(), hexdump(want).c_str());
}

void check_user(std::string_view value, std::size_t cap)
{
    // sip_user reads a NUL-terminated value, as header_value leaves it.
    std::string text(value.substr(0, value.find('\0')));
    auto out = std::make_unique<char[]>(cap);
    zel::sip_user(text.c_str(), out.get(), cap);
    std::string want = zel_test::reference_sip_user(text, cap);
    FUZZ_CHECK(std::strlen(out.get()) == want.size() && want == out.get(),
               "sip_user cap %zu: got %s want %s", cap, hexdump(out.get()).c_str(),
               hexdump(want).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    std::size_t which = data[0];
    std::size_t cap_sel = static_cast<std::size_t>(data[1]) << 8 | data[2];
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);

    // Capacities from 1 up to a little beyond the longest escape of the
    // input, so cutting at every kind of escape boundary is reached.
    std::size_t max_cap = 6 * rest.size() + 8;
    check_escape(rest, 1 + cap_sel % max_cap);
    check_escape(rest, 6 * rest.size() + 1); // never cut

    std::string name;
    if (which % (kNameCount + 1) < kNameCount) {
        name = kNames[which % (kNameCount + 1)];
    } else {
        // An arbitrary name: the first few payload bytes up to a NUL.
        std::size_t n = std::min<std::size_t>(which >> 4, rest.size());
        name.assign(rest.substr(0, n));
        name = name.substr(0, name.find('\0'));
    }
    std::size_t hcap = 1 + cap_sel % 600;
    check_header(rest, name.c_str(), hcap);
    check_header(rest, name.c_str(), zel::kValueSize);

    // The value header_value found, through sip_user, as parse_sip does.
    std::string value = zel_test::reference_header_value(rest, name, zel::kValueSize);
    check_user(value, zel::kValueSize);
    check_user(rest, hcap);
    return 0;
}
