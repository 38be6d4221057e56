#include "reference_sip.hpp"

namespace zel_test {

namespace {

char fold(char c)
{
    if (c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    return c;
}

bool same_letters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

std::string escape_of(unsigned char c)
{
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
    if (c >= 0x20 && c <= 0x7E)
        return std::string(1, static_cast<char>(c));
    const char* hex = "0123456789abcdef";
    std::string e = "\\u00";
    e += hex[c / 16];
    e += hex[c % 16];
    return e;
}

std::string cut(std::string_view s, std::size_t cap)
{
    if (s.size() > cap - 1)
        s = s.substr(0, cap - 1);
    return std::string(s);
}

} // namespace

std::string reference_json_escape(std::string_view in, std::size_t cap)
{
    std::string out;
    for (char ch : in) {
        const std::string e = escape_of(static_cast<unsigned char>(ch));
        if (out.size() + e.size() >= cap)
            break;
        out += e;
    }
    return out;
}

std::string reference_header_value(std::string_view sip, std::string_view name,
                                   std::size_t cap)
{
    std::size_t start = 0;
    while (start < sip.size()) {
        std::size_t stop = sip.find('\n', start);
        if (stop == std::string_view::npos)
            stop = sip.size();
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

std::string reference_sip_user(std::string_view value, std::size_t cap)
{
    for (std::size_t i = 0; i + 4 <= value.size(); ++i) {
        if (same_letters(value.substr(i, 4), "sip:")) {
            const std::string_view rest = value.substr(i + 4);
            std::size_t end = rest.find_first_of("@>;");
            if (end == std::string_view::npos)
                end = rest.size();
            return cut(rest.substr(0, end), cap);
        }
    }
    return cut(value, cap);
}

} // namespace zel_test
