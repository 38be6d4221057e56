#include "json_check.hpp"

namespace zel_fuzz {

namespace {

struct cursor {
    std::string_view s;
    std::size_t i = 0;
    bool eat(char c) {
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A JSON string starting at the opening quote; the decoded bytes go to out.
int parse_string(cursor& c, std::string& out, std::string& why) {
    if (!c.eat('"')) {
        why = "expected a string";
        return -1;
    }
    out.clear();
    while (c.i < c.s.size()) {
        auto ch = static_cast<unsigned char>(c.s[c.i++]);
        if (ch == '"') return 0;
        if (ch < 0x20) {
            why = "control byte inside a string";
            return -1;
        }
        if (ch != '\\') {
            out.push_back(static_cast<char>(ch));
            continue;
        }
        if (c.i >= c.s.size()) break;
        char e = c.s[c.i++];
        switch (e) {
        case '"':
            out.push_back('"');
            break;
        case '\\':
            out.push_back('\\');
            break;
        case '/':
            out.push_back('/');
            break;
        case 'b':
            out.push_back('\b');
            break;
        case 'f':
            out.push_back('\f');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'u': {
            if (c.s.size() - c.i < 4) {
                why = "short \\u escape";
                return -1;
            }
            int cp = 0;
            for (int k = 0; k < 4; ++k) {
                int d = hex_digit(c.s[c.i++]);
                if (d < 0) {
                    why = "bad hex digit in \\u escape";
                    return -1;
                }
                cp = cp * 16 + d;
            }
            if (cp > 0xFF) {
                why = "code point above U+00FF";
                return -1;
            }
            out.push_back(static_cast<char>(cp));
            break;
        }
        default:
            why = "unknown escape";
            return -1;
        }
    }
    why = "unterminated string";
    return -1;
}

// JSON number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
int parse_number(cursor& c, std::string& out, std::string& why) {
    std::size_t begin = c.i;
    auto digit = [&] { return c.i < c.s.size() && c.s[c.i] >= '0' && c.s[c.i] <= '9'; };
    c.eat('-');
    if (c.eat('0')) {
    } else if (digit()) {
        while (digit()) ++c.i;
    } else {
        why = "expected a number";
        return -1;
    }
    if (c.eat('.')) {
        if (!digit()) {
            why = "no digits after the decimal point";
            return -1;
        }
        while (digit()) ++c.i;
    }
    if (c.eat('e') || c.eat('E')) {
        if (!c.eat('+')) c.eat('-');
        if (!digit()) {
            why = "no digits in the exponent";
            return -1;
        }
        while (digit()) ++c.i;
    }
    out.assign(c.s.substr(begin, c.i - begin));
    return 0;
}

}  // namespace

int check_record(std::string_view rec, record_values& out, std::string& why) {
    cursor c{rec};
    if (!c.eat('{')) {
        why = "record does not start with {";
        return -1;
    }
    std::string name;
    for (std::size_t m = 0; m < kMembers; ++m) {
        if (m > 0 && !c.eat(',')) {
            why = "expected , between members";
            return -1;
        }
        if (parse_string(c, name, why) != 0) return -1;
        if (name != kMemberNames[m]) {
            why = "member " + std::to_string(m + 1) + " is not \"" + std::string(kMemberNames[m]) +
                  "\"";
            return -1;
        }
        if (!c.eat(':')) {
            why = "expected : after a name";
            return -1;
        }
        int rc = kMemberNames[m] == "timestamp_ms" ? parse_number(c, out.value[m], why)
                                                   : parse_string(c, out.value[m], why);
        if (rc != 0) return -1;
    }
    if (!c.eat('}')) {
        why = "expected } after thirteen members";
        return -1;
    }
    if (c.i != rec.size()) {
        why = "bytes after the closing brace";
        return -1;
    }
    return 0;
}

}  // namespace zel_fuzz
