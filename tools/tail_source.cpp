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

// host[:port] or [v6][:port]: 0 with host and port set (default_port when
// none is given), or -1 with *why.
int parse_authority(std::string_view authority, int default_port, std::string& host_out,
                    int& port_out, const char** why) {
    if (authority.find('@') != std::string_view::npos) {
        *why = "URL must not carry user information";
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
    const int port = has_port ? read_port(port_text) : default_port;
    if (port < 0) {
        *why = "URL port must be a number from 1 to 65535";
        return -1;
    }
    host_out.assign(host);
    port_out = port;
    return 0;
}

// One or more comma-separated nats:// or tls:// servers, each host[:port]
// (4222 by default) with at most a lone "/" after it. Credentials are never
// taken from a URL: they would show in the process list.
int parse_bus_url(std::string_view text, source_url& out, const char** why) {
    source_url u{scheme::nats, {}, 0, {}, {}};
    size_t pos = 0;
    for (;;) {
        const size_t comma = text.find(',', pos);
        std::string_view one = text.substr(pos, comma == std::string_view::npos ? text.npos
                                                                                : comma - pos);
        const bool tls = one.starts_with("tls://");
        if (!tls && !one.starts_with("nats://")) {
            *why = "each NATS server URL must begin with nats:// or tls://";
            return -1;
        }
        if (u.servers.size() == kMaxBusServers) {
            *why = "more than 16 NATS server URLs";
            return -1;
        }
        one.remove_prefix(tls ? 6 : 7);
        if (one.ends_with('/')) one.remove_suffix(1);
        if (one.find_first_of("/?#") != std::string_view::npos) {
            *why = "a NATS server URL has no path, query or fragment";
            return -1;
        }
        std::string host;
        int port = 0;
        if (parse_authority(one, 4222, host, port, why) != 0) return -1;
        if (u.servers.empty()) {
            u.host = host;
            u.port = port;
        }
        const bool v6 = host.find(':') != std::string::npos;
        u.servers.push_back(std::string(tls ? "tls://" : "nats://") + (v6 ? "[" + host + "]" : host) +
                            ":" + std::to_string(port));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    out = std::move(u);
    return 0;
}

}  // namespace

int parse_source_url(std::string_view text, source_url& out, const char** why) {
    constexpr std::string_view kWss = "wss://";
    if (blank_or_control(text)) {
        *why = "URL must not contain blanks or control characters";
        return -1;
    }
    if (text.starts_with("nats://") || text.starts_with("tls://"))
        return parse_bus_url(text, out, why);
    if (!text.starts_with(kWss)) {
        *why = "URL must begin with wss://, nats:// or tls://";
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
    std::string host;
    int port = 0;
    if (parse_authority(authority, 443, host, port, why) != 0) return -1;
    if (path.size() > 1024) {
        *why = "URL path is longer than 1,024 bytes";
        return -1;
    }
    out = {scheme::wss, std::move(host), port, std::string(path), {}};
    return 0;
}

bool bus_name_valid(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '.' || c == '*' || c == '>' || c == '/' || c == '\\')
            return false;
    }
    return true;
}

std::string resume_path(const std::string& path, const position& at) {
    if (!at.known) return path;
    const char sep = path.find('?') == std::string::npos ? '?' : '&';
    return path + sep + "from=" + format_position(at);
}

}  // namespace zel::tail
