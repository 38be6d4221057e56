#include "tail_json.hpp"

namespace zel::tail_json {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at s[pos..pos+4) as a code unit, or -1.
long hex4(std::string_view s, size_t pos) {
    if (4 > s.size() - pos) return -1;
    long v = 0;
    for (size_t i = 0; i < 4; ++i) {
        const int h = hex_value(s[pos + i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// The length of the well-formed UTF-8 sequence at s[pos] (a byte >= 0x80),
// or 0: overlong forms, surrogates and code points past U+10FFFF are refused,
// as RFC 3629 says.
size_t utf8_length(std::string_view s, size_t pos) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
    const auto cont = [&](size_t i) { return (b(i) & 0xC0) == 0x80; };
    const size_t left = s.size() - pos;
    const unsigned char c = b(0);
    if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // past U+10FFFF
        return 4;
    }
    return 0;
}

size_t scan_number(std::string_view s, size_t pos) {
    if (pos < s.size() && s[pos] == '-') ++pos;
    if (pos >= s.size() || !is_digit(s[pos])) return kBad;
    if (s[pos] == '0') {
        ++pos;
    } else {
        while (pos < s.size() && is_digit(s[pos])) ++pos;
    }
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        if (pos >= s.size() || !is_digit(s[pos])) return kBad;
        while (pos < s.size() && is_digit(s[pos])) ++pos;
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
        if (pos >= s.size() || !is_digit(s[pos])) return kBad;
        while (pos < s.size() && is_digit(s[pos])) ++pos;
    }
    return pos;
}

size_t scan_literal(std::string_view s, size_t pos, std::string_view word) {
    return s.substr(pos).starts_with(word) ? pos + word.size() : kBad;
}

size_t scan_array(std::string_view s, size_t pos, int depth) {
    if (depth >= kMaxDepth) return kBad;
    pos = skip_space(s, pos + 1);
    if (pos < s.size() && s[pos] == ']') return pos + 1;
    for (;;) {
        const size_t end = scan_value(s, pos, depth + 1);
        if (end == kBad) return kBad;
        pos = skip_space(s, end);
        if (pos >= s.size()) return kBad;
        if (s[pos] == ']') return pos + 1;
        if (s[pos] != ',') return kBad;
        pos = skip_space(s, pos + 1);
    }
}

void append_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

size_t skip_space(std::string_view s, size_t pos) {
    while (pos < s.size() && is_space(s[pos])) ++pos;
    return pos;
}

size_t scan_string(std::string_view s, size_t pos) {
    if (pos >= s.size() || s[pos] != '"') return kBad;
    ++pos;
    while (pos < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[pos]);
        if (c == '"') return pos + 1;
        if (c < 0x20) return kBad;
        if (c == '\\') {
            if (pos + 1 >= s.size()) return kBad;
            const char e = s[pos + 1];
            if (e == 'u') {
                if (hex4(s, pos + 2) < 0) return kBad;
                pos += 6;
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' ||
                       e == 'r' || e == 't') {
                pos += 2;
            } else {
                return kBad;
            }
        } else if (c >= 0x80) {
            const size_t n = utf8_length(s, pos);
            if (n == 0) return kBad;
            pos += n;
        } else {
            ++pos;
        }
    }
    return kBad;
}

size_t scan_value(std::string_view s, size_t pos, int depth) {
    if (pos >= s.size()) return kBad;
    switch (s[pos]) {
    case '{':
        return for_each_member(s, pos, depth,
                               [](std::string_view, std::string_view) { return true; });
    case '[':
        return scan_array(s, pos, depth);
    case '"':
        return scan_string(s, pos);
    case 't':
        return scan_literal(s, pos, "true");
    case 'f':
        return scan_literal(s, pos, "false");
    case 'n':
        return scan_literal(s, pos, "null");
    default:
        return scan_number(s, pos);
    }
}

bool decode_string(std::string_view token, std::string& out, size_t max) {
    if (token.size() < 2) return false;
    const std::string_view body = token.substr(1, token.size() - 2);
    size_t i = 0;
    while (i < body.size()) {
        if (out.size() >= max) return false;
        const char c = body[i];
        if (c != '\\') {
            out += c;
            ++i;
            continue;
        }
        const char e = body[i + 1];  // a scanned token never ends in a lone backslash
        i += 2;
        switch (e) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            unsigned long cp = static_cast<unsigned long>(hex4(body, i));
            i += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 6 <= body.size() && body[i] == '\\' &&
                body[i + 1] == 'u') {
                const long low = hex4(body, i + 2);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) +
                         (static_cast<unsigned long>(low) - 0xDC00);
                    i += 6;
                }
            }
            if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
            append_utf8(out, cp);
            break;
        }
        default:
            out += e;
            break;  // '"', '\\' and '/'
        }
    }
    return out.size() <= max;
}

bool read_u64(std::string_view token, uint64_t& out) {
    if (token.empty() || token.size() > 20) return false;
    uint64_t v = 0;
    for (char c : token) {
        if (!is_digit(c)) return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

bool read_i64(std::string_view token, int64_t& out) {
    const bool negative = !token.empty() && token[0] == '-';
    uint64_t v = 0;
    if (!read_u64(negative ? token.substr(1) : token, v)) return false;
    if (negative ? v > static_cast<uint64_t>(INT64_MAX) + 1 : v > static_cast<uint64_t>(INT64_MAX))
        return false;
    out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

}  // namespace zel::tail_json
