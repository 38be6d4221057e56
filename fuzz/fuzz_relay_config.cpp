// The relay's configuration front on arbitrary text.
//
// The input is written to an in-memory file and read with load_conf_file;
// the environment afterwards must be exactly the one before plus what the
// file's lines say under the KEY=VALUE grammar (first line wins, variables
// already present untouched), nothing else. load_config then validates
// whatever the file set, and parse_wss_url and parse_ip get the input as a
// URL and as an address text; each success must describe its input.
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "relay_config.hpp"

extern char** environ;

namespace {

using namespace zel;
using namespace zel::config;

using env_map = std::map<std::string, std::string>;

env_map snapshot() {
    env_map m;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view kv(*e);
        std::size_t eq = kv.find('=');
        if (eq != std::string_view::npos) m.emplace(kv.substr(0, eq), kv.substr(eq + 1));
    }
    return m;
}

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What the file means, written from the grammar: whole lines, a line of more
// than 65,536 bytes before its newline skipped whole, each line read as text
// up to its first NUL.
env_map reference_conf(std::string_view file) {
    env_map want;
    std::size_t pos = 0;
    while (pos < file.size()) {
        std::size_t nl = file.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? file.size() : nl;
        std::string_view line = file.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > 65536) continue;
        line = line.substr(0, line.find('\0'));

        std::size_t i = 0;
        while (i < line.size() && space(line[i])) ++i;
        if (i == line.size() || line[i] == '#' || line[i] == ';') continue;
        std::size_t eq = line.find('=', i);
        if (eq == std::string_view::npos) continue;
        std::size_t kend = eq;
        while (kend > i && space(line[kend - 1])) --kend;
        std::string key(line.substr(i, kend - i));
        std::size_t v = eq + 1;
        while (v < line.size() && space(line[v])) ++v;
        std::size_t vend = line.size();
        while (vend > v && space(line[vend - 1])) --vend;
        std::string value(line.substr(v, vend - v));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        if (!key.empty()) want.emplace(key, value);  // the first line for a key wins
    }
    return want;
}

void check_conf_file(std::string_view text) {
    int fd = memfd_create("zel-fuzz-conf", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "memfd_create");
    FUZZ_CHECK(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    const env_map before = snapshot();
    FUZZ_CHECK(load_conf_file(path.c_str(), true) == 0, "an existing file failed to load");
    close(fd);
    const env_map after = snapshot();
    const env_map lines = reference_conf(text);

    for (const auto& [k, v] : before) {
        auto it = after.find(k);
        FUZZ_CHECK(it != after.end() && it->second == v, "variable %s changed or vanished",
                   k.c_str());
    }
    for (const auto& [k, v] : after) {
        if (before.count(k) != 0) continue;
        auto it = lines.find(k);
        FUZZ_CHECK(it != lines.end(), "variable %s set that no line names", k.c_str());
        FUZZ_CHECK(it->second == v, "variable %s is \"%s\", its line says \"%s\"", k.c_str(),
                   v.c_str(), it->second.c_str());
    }
    for (const auto& [k, v] : lines)
        FUZZ_CHECK(before.count(k) != 0 || after.count(k) != 0, "line for %s not applied",
                   k.c_str());

    // The file's settings through validation. A token file would name any
    // file of the machine, which is not the fuzzer's to read; that key is
    // left out.
    if (getenv("PCAP_RELAY_TOKEN_FILE") == nullptr) {
        static relay_config cfg;
        if (load_config(&cfg) == 0) {
            FUZZ_CHECK(cfg.queue_events >= 1 && cfg.queue_bytes >= 1, "zero queue limit");
            FUZZ_CHECK(std::strlen(cfg.socket_path) < sizeof cfg.socket_path, "socket path");
            if (!cfg.server_mode) {
                FUZZ_CHECK(std::strlen(cfg.token) >= 32, "short token accepted");
                FUZZ_CHECK(cfg.port >= 1 && cfg.port <= 65535, "port %d", cfg.port);
                FUZZ_CHECK(cfg.host[0] != '\0' && cfg.path[0] == '/', "host/path");
                FUZZ_CHECK(cfg.reconnect_min >= 1 && cfg.reconnect_max >= cfg.reconnect_min,
                           "reconnect delays");
            } else if (cfg.enabled) {
                FUZZ_CHECK(cfg.allowed_count >= 1 && cfg.allowed_count <= 64, "allow-list");
                FUZZ_CHECK(cfg.port >= 1 && cfg.port <= 65535, "port %d", cfg.port);
                FUZZ_CHECK(cfg.max_clients >= 1 && cfg.client_queue_events >= 1 &&
                               cfg.client_queue_bytes >= 1,
                           "zero subscriber limit");
            }
        }
    }

    for (const auto& [k, v] : after)
        if (before.count(k) == 0) unsetenv(k.c_str());
}

void check_url(std::string_view text) {
    static relay_config cfg;
    std::memset(&cfg, 0, sizeof cfg);
    std::string_view url = text.substr(0, std::min(text.find('\0'), sizeof cfg.url - 1));
    std::memcpy(cfg.url, url.data(), url.size());
    if (parse_wss_url(&cfg) != 0) return;
    FUZZ_CHECK(url.starts_with("wss://"), "URL without wss:// accepted");
    for (char ch : url) {
        auto c = static_cast<unsigned char>(ch);
        FUZZ_CHECK(c > 0x20 && c < 0x7F, "URL with byte 0x%02x accepted", c);
    }
    std::size_t slash = url.find('/', 6);
    std::string_view auth = url.substr(6, slash == std::string_view::npos ? url.npos : slash - 6);
    std::string_view host(cfg.host);
    FUZZ_CHECK(!host.empty() && host.size() <= 255, "host length %zu", host.size());
    FUZZ_CHECK(auth.find(host) != std::string_view::npos, "host is not part of the authority");
    FUZZ_CHECK(host.find('/') == std::string_view::npos, "host holds a slash");
    FUZZ_CHECK(cfg.port >= 1 && cfg.port <= 65535, "port %d", cfg.port);
    std::string_view path(cfg.path);
    FUZZ_CHECK(path ==
                   (slash == std::string_view::npos ? std::string_view("/") : url.substr(slash)),
               "path is not the URL's rest");
}

void check_ip(std::string_view text) {
    std::string s(text.substr(0, std::min<std::size_t>(text.find('\0'), 80)));
    peer_ip ip{};
    if (parse_ip(s.c_str(), &ip) != 0) return;
    FUZZ_CHECK(s.find_first_of("/% \t\n[]") == std::string::npos, "non-address text accepted");
    if (s.find(':') == std::string::npos) {
        static constexpr unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        FUZZ_CHECK(std::memcmp(ip.bytes, mapped, 12) == 0, "IPv4 not stored mapped");
    }
    // The stored value names the same address again.
    char back[INET6_ADDRSTRLEN];
    FUZZ_CHECK(inet_ntop(AF_INET6, ip.bytes, back, sizeof back) != nullptr, "inet_ntop");
    peer_ip again{};
    FUZZ_CHECK(parse_ip(back, &again) == 0 && std::memcmp(ip.bytes, again.bytes, 16) == 0,
               "address does not round-trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    check_conf_file(text);
    check_url(text);
    check_ip(text);
    return 0;
}
