#include "tail_source.hpp"

#include "tail_state.hpp"

namespace zel::tail {

namespace {

bool blank_or_control(std::string_view s) {
    for (char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return true;
    }
    return false;
}

// Digits only, 1-65535; -1 otherwise.
int read_port(std::string_view text) {
    if (text.empty() || text.size() > 5) return -1;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? port : -1;
}

}  // namespace

int parse_source_url(std::string_view text, source_url& out, const char** why) {
    constexpr std::string_view kWss = "wss://";
    if (blank_or_control(text)) {
        *why = "URL must not contain blanks or control characters";
        return -1;
    }
    if (!text.starts_with(kWss)) {
        *why = "URL must begin with wss://";
        return -1;
    }
    const std::string_view rest = text.substr(kWss.size());
    const size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? "/" : rest.substr(slash);
    if (authority.find('@') != std::string_view::npos) {
        *why = "URL must not carry user information";
        return -1;
    }
    if (path.find('#') != std::string_view::npos) {
        *why = "URL must not carry a fragment";
        return -1;
    }
    if (authority.find('?') != std::string_view::npos) {
        *why = "URL has a query but no path";
        return -1;
    }
    std::string_view host = authority, port_text;
    bool has_port = false;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            *why = "URL has an unclosed IPv6 address";
            return -1;
        }
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                *why = "URL has bytes after its IPv6 address";
                return -1;
            }
            has_port = true;
            port_text = after.substr(1);
        }
    } else if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        has_port = true;
        port_text = authority.substr(colon + 1);
    }
    if (host.empty() || host.size() > 253) {
        *why = "URL has no host, or one longer than 253 bytes";
        return -1;
    }
    const int port = has_port ? read_port(port_text) : 443;
    if (port < 0) {
        *why = "URL port must be a number from 1 to 65535";
        return -1;
    }
    if (path.size() > 1024) {
        *why = "URL path is longer than 1,024 bytes";
        return -1;
    }
    out = {scheme::wss, std::string(host), port, std::string(path)};
    return 0;
}

std::string resume_path(const std::string& path, const position& at) {
    if (!at.known) return path;
    const char sep = path.find('?') == std::string::npos ? '?' : '&';
    return path + sep + "from=" + format_position(at);
}

}  // namespace zel::tail
