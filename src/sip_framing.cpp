#include "sip_framing.hpp"

#include "sip_text.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace zel {

namespace {

// RFC 3261's token characters: what a method is made of.
constexpr std::array<bool, 256> kToken = [] {
    std::array<bool, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
    for (char c : std::string_view("-.!%*_+`'~")) t[static_cast<unsigned char>(c)] = true;
    return t;
}();

constexpr std::string_view kVersion = "SIP/2.0";

bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// A URI holds no blank and no control byte; escaped forms are its own
// business.
bool is_visible(std::uint8_t c) {
    return c > 0x20 && c < 0x7F;
}

}  // namespace

std::size_t leading_crlf(std::span<const std::uint8_t> payload) {
    std::size_t n = 0;
    while (n < payload.size() && (payload[n] == '\r' || payload[n] == '\n')) ++n;
    return n;
}

start_line_kind classify_start_line(std::span<const std::uint8_t> payload,
                                    std::string_view* method) {
    const std::uint8_t* const p = payload.data();
    const auto* nl = static_cast<const std::uint8_t*>(std::memchr(p, '\n', payload.size()));
    std::size_t n = nl ? static_cast<std::size_t>(nl - p) : payload.size();
    if (n > 0 && p[n - 1] == '\r') --n;
    const std::string_view line(reinterpret_cast<const char*>(p), n);

    if (line.starts_with(kSipResponse)) {
        const std::size_t d = kSipResponse.size();
        if (line.size() < d + 3 || !is_digit(p[d]) || !is_digit(p[d + 1]) || !is_digit(p[d + 2]))
            return start_line_kind::none;
        if (line.size() > d + 3 && p[d + 3] != ' ') return start_line_kind::none;
        return start_line_kind::response;
    }

    std::size_t k = 0;
    while (k < n && kToken[p[k]]) ++k;
    if (k == 0 || k == n || p[k] != ' ') return start_line_kind::none;
    const std::size_t uri = k + 1;
    std::size_t u = uri;
    while (u < n && is_visible(p[u])) ++u;
    if (u == uri || u == n || p[u] != ' ') return start_line_kind::none;
    if (line.substr(u + 1) != kVersion) return start_line_kind::none;
    if (method != nullptr) *method = line.substr(0, k);
    return start_line_kind::request;
}

std::size_t header_section_end(std::span<const std::uint8_t> bytes, std::uint32_t& scanned) {
    const std::uint8_t* const p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = scanned;
    while (i < n) {
        const auto* nl = static_cast<const std::uint8_t*>(std::memchr(p + i, '\n', n - i));
        if (nl == nullptr) break;
        i = static_cast<std::size_t>(nl - p);
        if (i + 1 < n && p[i + 1] == '\n') return i + 2;
        if (i + 2 < n && p[i + 1] == '\r' && p[i + 2] == '\n') return i + 3;
        if (i + 1 >= n || (i + 2 >= n && p[i + 1] == '\r')) {
            // The LF may be the first of the empty line's: look again from
            // it once more bytes are there.
            scanned = static_cast<std::uint32_t>(i);
            return 0;
        }
        ++i;
    }
    scanned = static_cast<std::uint32_t>(n);
    return 0;
}

std::size_t content_length(std::span<const std::uint8_t> header, std::size_t cap) {
    constexpr std::string_view kLong = "content-length";
    const std::uint8_t* const p = header.data();
    const std::uint8_t* const end = p + header.size();
    // The start line is no header: the search begins after its LF.
    const auto* nl = static_cast<const std::uint8_t*>(std::memchr(p, '\n', header.size()));
    while (nl != nullptr && nl + 1 < end) {
        const std::uint8_t* line = nl + 1;
        nl = static_cast<const std::uint8_t*>(std::memchr(line, '\n', end - line));
        const std::uint8_t* line_end = nl ? nl : end;
        const std::uint8_t* q = line;
        if (static_cast<std::size_t>(line_end - q) > kLong.size() &&
            equal_nocase(q, kLong.data(), kLong.size()))
            q += kLong.size();
        else if (q < line_end && lower(*q) == 'l')
            q += 1;
        else
            continue;
        while (q < line_end && (*q == ' ' || *q == '\t')) ++q;
        if (q == line_end || *q != ':') continue;
        ++q;
        while (q < line_end && (*q == ' ' || *q == '\t')) ++q;
        std::size_t v = 0;
        for (; q < line_end && is_digit(*q); ++q)
            v = std::min<std::size_t>(v * 10 + (*q - '0'), cap + 1);
        return v;
    }
    return 0;
}

message_extent measure_message(std::span<const std::uint8_t> bytes, std::uint32_t& scanned,
                               std::size_t cap) {
    message_extent m;
    m.header = header_section_end(bytes, scanned);
    if (m.header != 0) m.body = content_length(bytes.first(m.header), cap);
    return m;
}

std::string_view cseq_method(std::string_view cseq) {
    std::size_t k = 0;
    while (k < cseq.size() && is_digit(static_cast<std::uint8_t>(cseq[k]))) ++k;
    if (k == 0) return {};
    const std::size_t digits_end = k;
    while (k < cseq.size() && (cseq[k] == ' ' || cseq[k] == '\t')) ++k;
    if (k == digits_end) return {};
    const std::size_t start = k;
    while (k < cseq.size() && kToken[static_cast<std::uint8_t>(cseq[k])]) ++k;
    return cseq.substr(start, k - start);
}

bool method_list::contains(std::string_view method) const {
    for (std::size_t i = 0; i < count; ++i)
        if (method.size() == length[i] && std::memcmp(method.data(), name[i], length[i]) == 0)
            return true;
    return false;
}

bool parse_method_list(std::string_view text, method_list& out) {
    method_list list;
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view m = text.substr(0, comma);
        if (m.empty() || m.size() > method_list::kMaxLength || list.count == method_list::kMax) {
            out = method_list{};
            return false;
        }
        for (char c : m)
            if (!kToken[static_cast<std::uint8_t>(c)]) {
                out = method_list{};
                return false;
            }
        std::memcpy(list.name[list.count], m.data(), m.size());
        list.length[list.count++] = static_cast<std::uint8_t>(m.size());
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    out = list;
    return true;
}

}  // namespace zel
