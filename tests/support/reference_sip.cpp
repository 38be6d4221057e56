#include "reference_sip.hpp"

#include <algorithm>

namespace zel_test {

namespace {

char fold(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::string escape_of(unsigned char c) {
    switch (c) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        break;
    }
    if (c >= 0x20 && c <= 0x7E) return std::string(1, static_cast<char>(c));
    const char* hex = "0123456789abcdef";
    std::string e = "\\u00";
    e += hex[c / 16];
    e += hex[c % 16];
    return e;
}

std::string cut(std::string_view s, std::size_t cap) {
    if (s.size() > cap - 1) s = s.substr(0, cap - 1);
    return std::string(s);
}

}  // namespace

std::string reference_json_escape(std::string_view in, std::size_t cap) {
    std::string out;
    for (char ch : in) {
        const std::string e = escape_of(static_cast<unsigned char>(ch));
        if (out.size() + e.size() >= cap) break;
        out += e;
    }
    return out;
}

std::string reference_header_value(std::string_view sip, std::string_view name, std::size_t cap) {
    std::size_t start = 0;
    while (start < sip.size()) {
        std::size_t stop = sip.find('\n', start);
        if (stop == std::string_view::npos) stop = sip.size();
        const std::string_view line = sip.substr(start, stop - start);

        if (line.size() > name.size() && same_letters(line.substr(0, name.size()), name) &&
            line[name.size()] == ':') {
            std::string_view value = line.substr(name.size() + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
                value.remove_suffix(1);
            return cut(value, cap);
        }
        start = stop + 1;
    }
    return "";
}

std::string reference_sip_user(std::string_view value, std::size_t cap) {
    for (std::size_t i = 0; i + 4 <= value.size(); ++i) {
        if (same_letters(value.substr(i, 4), "sip:")) {
            const std::string_view rest = value.substr(i + 4);
            std::size_t end = rest.find_first_of("@>;");
            if (end == std::string_view::npos) end = rest.size();
            return cut(rest.substr(0, end), cap);
        }
    }
    return cut(value, cap);
}

}  // namespace zel_test

namespace zel_test {

namespace {

// Text values end at their first NUL, the way the record builder reads its
// NUL-terminated arrays.
std::string_view up_to_nul(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

std::string lookup(std::string_view sip, std::string_view name, std::string_view compact) {
    std::string v = std::string(up_to_nul(reference_header_value(sip, name, 512)));
    if (v.empty() && !compact.empty()) v = up_to_nul(reference_header_value(sip, compact, 512));
    return v;
}

}  // namespace

std::optional<std::string> reference_record(std::string_view payload, std::string_view src,
                                            std::string_view dst, std::int64_t sec,
                                            std::int64_t usec, std::string_view switch_id,
                                            bool include_raw) {
    std::size_t first_len = payload.find('\n');
    if (first_len == std::string_view::npos) first_len = payload.size();
    if (first_len < 3) return std::nullopt;

    const bool response = payload.substr(0, 8) == "SIP/2.0 ";
    std::string method;
    std::string status;
    if (response) {
        status = up_to_nul(payload.substr(8, 3));
    } else {
        const std::string_view first = payload.substr(0, first_len);
        method = first.substr(0, std::min<std::size_t>(31, first.find(' ')));
    }
    const std::string label = response ? status : method;

    const std::string call_id = lookup(payload, "Call-ID", "i");
    if (call_id.empty()) return std::nullopt;
    const std::string from = reference_sip_user(lookup(payload, "From", "f"), 512);
    const std::string to = reference_sip_user(lookup(payload, "To", "t"), 512);
    const std::string cseq = lookup(payload, "CSeq", "");

    const std::int64_t timestamp_ms = sec * 1000 + usec / 1000;
    auto esc = [](std::string_view v, std::size_t cap) {
        return reference_json_escape(up_to_nul(v), cap);
    };
    return "{\"type\":\"sip.message\",\"switch_id\":\"" + esc(switch_id, 769) +
           "\",\"timestamp_ms\":" + std::to_string(timestamp_ms) + ",\"call_id\":\"" +
           esc(call_id, 3073) + "\",\"source\":\"" + esc(src, 385) + "\",\"destination\":\"" +
           esc(dst, 385) + "\",\"from\":\"" + esc(from, 3073) + "\",\"to\":\"" + esc(to, 3073) +
           "\",\"label\":\"" + esc(label, 193) + "\",\"method\":\"" + esc(method, 193) +
           "\",\"status\":\"" + esc(status, 49) + "\",\"cseq\":\"" + esc(cseq, 3073) +
           "\",\"raw\":\"" + (include_raw ? reference_json_escape(payload, 98305) : std::string()) +
           "\"}";
}

}  // namespace zel_test
