// Reading and validating the relay's configuration. Everything here runs on
// the main thread before any other thread exists, so the environment may be
// modified (setenv) and stdio used freely. Each failure prints its one fixed
// sentence; the caller turns -1 into exit status 2. The token's value never
// reaches any output: messages name the variable, never its content.
#include "relay_config.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "metrics_file.hpp"
#include "relay_log.hpp"
#include "zel_version.hpp"

namespace zel {

peer_ip mapped_peer_ip(in_addr v4) {
    peer_ip ip{};
    ip.bytes[10] = 0xFF;
    ip.bytes[11] = 0xFF;
    memcpy(ip.bytes + 12, &v4, 4);
    return ip;
}

namespace config {
namespace {

constexpr const char* kDefaultSocket = "/run/zel-packet-monitor/events.sock";
constexpr const char* kDefaultFiles[] = {
    "/opt/quarna_v6/zel_packet_monitor/conf/zel_packet_monitor_wss.conf",
    "/opt/quarna_v6/zel_packet_monitor/conf/zel-packet-monitor-wss.conf",
    "/etc/zel-packet-monitor-wss.env",
};
constexpr size_t kMinTokenBytes = 32;
constexpr size_t kMaxTokenBytes = sizeof(relay_config::token) - 1;
// Longest configuration line, newline not counted. Far beyond any key's own
// limit, so a value that is too long arrives whole and is refused by its key.
constexpr size_t kMaxConfLine = 65536;
constexpr const char* kTokenControl = "relay token must not contain control characters\n";
constexpr size_t kMaxAllowed = sizeof(relay_config::allowed) / sizeof(peer_ip);

// The POSIX locale's white space, fixed so no locale setting can change what
// a configuration line means.
constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Values that end up in HTTP request headers must not carry bytes that could
// end or split a header line.
bool has_control(const char* s) {
    for (; *s != '\0'; s++) {
        auto c = static_cast<unsigned char>(*s);
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

// The URL's host and path go into the request line and the Host header, where
// a blank would split a field and a CR LF would add a header.
bool has_control_or_blank(const char* s) {
    for (; *s != '\0'; s++) {
        auto c = static_cast<unsigned char>(*s);
        if (c < 0x21 || c >= 0x7F) return true;
    }
    return false;
}

// Parses one configuration line in place and pre-loads the environment.
void apply_conf_line(char* line) {
    char* p = line;
    while (is_space(*p)) p++;
    if (*p == '\0' || *p == '#' || *p == ';') return;

    char* eq = strchr(p, '=');
    if (eq == nullptr) return;

    char* key_end = eq;
    while (key_end > p && is_space(key_end[-1])) key_end--;
    *key_end = '\0';

    char* value = eq + 1;
    while (is_space(*value)) value++;
    size_t len = strlen(value);
    while (len > 0 && is_space(value[len - 1])) len--;
    value[len] = '\0';
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
        value[len - 1] = '\0';
        value++;
    }

    // overwrite = 0: the real environment, and earlier lines, always win.
    if (*p != '\0') setenv(p, value, 0);
}

// Unsigned decimal conversion that never fails: white space and a sign are
// accepted, conversion stops at the first non-digit, no digits gives 0.
uint32_t lenient_u32(const char* text) {
    return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// Port text of a URL. The number is range-checked as a long before it is
// narrowed, so 4294967739 cannot wrap around to a plausible 443.
long url_port(const char* text) {
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (errno == ERANGE) return -1;
    return v;
}

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// Reports a failed stdio/system call the way perror does.
void report_errno(const char* prefix, int err) {
    fprintf(stderr, "%s: %s\n", prefix, strerror(err));
}

// Opens a configuration input for reading, only if it is a regular file: a
// FIFO would block the open or the reads, a device like /dev/zero never ends,
// and a directory reads as an empty file. The type is taken from the opened
// descriptor, so nothing can be swapped in between test and use; the stat
// before only spares us opening a device or FIFO at all, since that has
// effects of its own (a watchdog armed, a FIFO writer released). O_NONBLOCK
// stays set: a regular file that blocks on read (/proc/kmsg) then fails
// instead. On failure errno is set: EISDIR for a directory, EINVAL for any
// other kind of file.
unique_file open_regular(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    FILE* f = err == 0 ? fdopen(fd, "r") : nullptr;
    if (f == nullptr) {
        if (err == 0) err = errno;
        close(fd);
        errno = err;
    }
    return unique_file(f);
}

// Reads one line whole into buf (kMaxConfLine + 1 bytes), without its
// newline. A longer line is consumed through its newline and reported as
// too long, so no tail of it is ever taken for a line of its own. Returns 1
// for a line, 0 for a line that was too long, -1 at the end of the file.
int read_conf_line(FILE* f, char* buf) {
    size_t len = 0;
    bool too_long = false;
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (len < kMaxConfLine)
            buf[len++] = static_cast<char>(c);
        else
            too_long = true;
    }
    if (c == EOF && len == 0 && !too_long) return -1;
    buf[len] = '\0';
    return too_long ? 0 : 1;
}

// "--version" answers whatever else the command line holds, so a package
// script can always ask; only the path after -c or --config is not an option.
bool wants_version(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--config") == 0 || strcmp(argv[i], "-c") == 0)
            i++;
        else if (strcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

// A report that never reached its reader must not look like success.
int flush_report() {
    if (fflush(stdout) != 0) {
        report_errno("stdout", errno);
        return 1;
    }
    return 0;
}

}  // namespace

int load_conf_file(const char* path, bool required) {
    if (path == nullptr || *path == '\0') return 0;
    unique_file f = open_regular(path);
    if (!f) {
        if (!required) return 1;
        fprintf(stderr, "failed to open config file: %s\n", path);
        return -1;
    }
    // One buffer for the whole file; a line is text up to its first zero byte.
    auto line = std::make_unique_for_overwrite<char[]>(kMaxConfLine + 1);
    int rc;
    while ((rc = read_conf_line(f.get(), line.get())) >= 0)
        if (rc == 1) apply_conf_line(line.get());
    return 0;
}

const char* env_or(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return (v == nullptr || *v == '\0') ? fallback : v;
}

int copy_value(char* dst, size_t size, const char* value, const char* name) {
    if (value == nullptr) value = "";
    size_t len = strlen(value);
    if (len >= size) {
        fprintf(stderr, "%s is too long\n", name);
        return -1;
    }
    memcpy(dst, value, len + 1);
    return 0;
}

int parse_size(const char* name, size_t fallback, size_t* out) {
    const char* v = getenv(name);
    if (v == nullptr || *v == '\0') {
        *out = fallback;
        return 0;
    }
    // Only a bare digit run: strtoull alone would accept blanks, a sign and
    // wrap "-1" around to the largest value.
    if (*v >= '0' && *v <= '9') {
        errno = 0;
        char* end = nullptr;
        unsigned long long n = strtoull(v, &end, 10);
        if (errno != ERANGE && *end == '\0' && n != 0) {
            *out = static_cast<size_t>(n);
            return 0;
        }
    }
    fprintf(stderr, "%s must be a positive integer\n", name);
    return -1;
}

int parse_ip(const char* text, peer_ip* out) {
    if (text == nullptr) return -1;
    in_addr v4;
    if (inet_pton(AF_INET, text, &v4) == 1) {
        *out = mapped_peer_ip(v4);
        return 0;
    }
    // inet_pton refuses ports, prefixes, zones and names, which is the point:
    // only exact addresses may be configured.
    return inet_pton(AF_INET6, text, out->bytes) == 1 ? 0 : -1;
}

int load_stats_config(relay_config* cfg) {
    const char* v = env_or("PCAP_RELAY_STATS_SECONDS", "0");
    // Digits only, as for the sizes, but 0 is a value here: it turns the line off.
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = *v >= '0' && *v <= '9' ? strtoull(v, &end, 10) : 0;
    if (end == nullptr || *end != '\0' || errno == ERANGE || n > kMaxStatsSeconds) {
        fputs("PCAP_RELAY_STATS_SECONDS must be an integer from 0 to 86400\n", stderr);
        return -1;
    }
    cfg->stats_seconds = static_cast<uint32_t>(n);

    if (copy_value(cfg->metrics_file, sizeof cfg->metrics_file, getenv("PCAP_METRICS_FILE"),
                   "PCAP_METRICS_FILE") != 0)
        return -1;
    const size_t len = strlen(cfg->metrics_file);
    if (len > 0 && !metrics_path_names_file(cfg->metrics_file, len)) {
        fputs("PCAP_METRICS_FILE must be an absolute path of a file\n", stderr);
        return -1;
    }
    return 0;
}

int load_server_config(relay_config* cfg) {
    const char* enabled = env_or("PCAP_WSS_ENABLED", "false");
    if (strcmp(enabled, "false") == 0) {
        cfg->enabled = false;
        return 0;  // a switched-off listener reads no further key
    }
    if (strcmp(enabled, "true") != 0) {
        fputs("PCAP_WSS_ENABLED must be true or false\n", stderr);
        return -1;
    }
    cfg->enabled = true;

    peer_ip scratch;
    size_t port = 0;
    if (copy_value(cfg->host, sizeof cfg->host, env_or("PCAP_WSS_HOST", "127.0.0.1"),
                   "PCAP_WSS_HOST") != 0 ||
        parse_ip(cfg->host, &scratch) != 0 || parse_size("PCAP_WSS_PORT", 9135, &port) != 0 ||
        port > 65535) {
        fputs("invalid numeric PCAP_WSS_HOST or PCAP_WSS_PORT\n", stderr);
        return -1;
    }
    cfg->port = static_cast<int>(port);
    memcpy(cfg->path, "/events", sizeof "/events");

    char list[4096];
    if (copy_value(list, sizeof list, getenv("PCAP_WSS_ALLOWED_IPS"), "PCAP_WSS_ALLOWED_IPS") != 0)
        return -1;
    cfg->allowed_count = 0;
    if (list[0] != '\0') {
        char* const end = list + strlen(list);
        char* p = list;
        for (;;) {
            char* comma = strchr(p, ',');
            char* stop = comma != nullptr ? comma : end;
            bool comma_is_last = comma != nullptr && comma + 1 == end;
            while (p < stop && is_space(*p)) p++;
            char* q = stop;
            while (q > p && is_space(q[-1])) q--;
            *q = '\0';
            if (cfg->allowed_count == kMaxAllowed ||
                parse_ip(p, &cfg->allowed[cfg->allowed_count]) != 0) {
                fputs("PCAP_WSS_ALLOWED_IPS requires up to 64 exact IP addresses\n", stderr);
                return -1;
            }
            cfg->allowed_count++;
            if (comma_is_last) {
                fputs("empty allowed IP\n", stderr);
                return -1;
            }
            if (comma == nullptr) break;
            p = comma + 1;
        }
    }
    if (cfg->allowed_count == 0) {
        fputs("PCAP_WSS_ALLOWED_IPS is required\n", stderr);
        return -1;
    }

    if (copy_value(cfg->server_cert, sizeof cfg->server_cert, getenv("PCAP_WSS_CERT_FILE"),
                   "PCAP_WSS_CERT_FILE") != 0 ||
        copy_value(cfg->server_key, sizeof cfg->server_key, getenv("PCAP_WSS_KEY_FILE"),
                   "PCAP_WSS_KEY_FILE") != 0)
        return -1;
    if (cfg->server_cert[0] == '\0' || cfg->server_key[0] == '\0' ||
        access(cfg->server_cert, R_OK) != 0 || access(cfg->server_key, R_OK) != 0) {
        fputs("readable PCAP_WSS_CERT_FILE and PCAP_WSS_KEY_FILE are required\n", stderr);
        return -1;
    }

    if (parse_size("PCAP_WSS_MAX_CLIENTS", 16, &cfg->max_clients) != 0 ||
        parse_size("PCAP_WSS_QUEUE_EVENTS", 256, &cfg->client_queue_events) != 0 ||
        parse_size("PCAP_WSS_QUEUE_BYTES", 8388608, &cfg->client_queue_bytes) != 0)
        return -1;
    return 0;
}

int read_secret(relay_config* cfg) {
    const char* file = env_or("PCAP_RELAY_TOKEN_FILE", nullptr);
    if (file == nullptr)
        return copy_value(cfg->token, sizeof cfg->token, getenv("PCAP_RELAY_TOKEN"),
                          "PCAP_RELAY_TOKEN");

    unique_file f = open_regular(file);
    if (!f) {
        report_errno("open PCAP_RELAY_TOKEN_FILE", errno);
        return -1;
    }
    // Only line ends may follow the longest token; any other byte there
    // makes the token too long, and it is refused rather than cut.
    size_t n = fread(cfg->token, 1, kMaxTokenBytes, f.get());
    bool too_long = false;
    int c;
    while (!too_long && (c = getc(f.get())) != EOF) too_long = c != '\n' && c != '\r';
    if (ferror(f.get())) {
        report_errno("read PCAP_RELAY_TOKEN_FILE", errno);
        memset(cfg->token, 0, sizeof cfg->token);
        return -1;
    }
    f.reset();
    while (n > 0 && (cfg->token[n - 1] == '\n' || cfg->token[n - 1] == '\r')) n--;
    // A zero byte would end the token early, sending less than the file says.
    const char* fault = too_long ? "relay token must contain at most 4095 bytes\n"
                        : memchr(cfg->token, '\0', n) != nullptr ? kTokenControl
                                                                 : nullptr;
    if (fault != nullptr) {
        fputs(fault, stderr);
        memset(cfg->token, 0, sizeof cfg->token);
        return -1;
    }
    cfg->token[n] = '\0';
    return 0;
}

int parse_wss_url(relay_config* cfg) {
    if (has_control_or_blank(cfg->url)) {
        fputs("PCAP_RELAY_URL must not contain control characters or blanks\n", stderr);
        return -1;
    }
    constexpr std::string_view kScheme = "wss://";
    std::string_view url(cfg->url);
    if (!url.starts_with(kScheme)) {
        fputs("PCAP_RELAY_URL must use wss://\n", stderr);
        return -1;
    }
    size_t auth_begin = kScheme.size();
    size_t slash = url.find('/', auth_begin);
    size_t auth_end = slash == std::string_view::npos ? url.size() : slash;
    std::string_view auth = url.substr(auth_begin, auth_end - auth_begin);
    if (auth.empty()) {
        fputs("PCAP_RELAY_URL has no host\n", stderr);
        return -1;
    }

    std::string_view host;
    long port = 443;
    if (auth.front() == '[') {
        size_t close = auth.find(']');
        if (close == std::string_view::npos) {
            fputs("invalid IPv6 WSS URL\n", stderr);
            return -1;
        }
        host = auth.substr(1, close - 1);
        if (close + 1 < auth.size() && auth[close + 1] == ':')
            port = url_port(cfg->url + auth_begin + close + 2);
    } else {
        size_t colon = auth.find(':');
        if (colon != std::string_view::npos) {
            host = auth.substr(0, colon);
            port = url_port(cfg->url + auth_begin + colon + 1);
        } else {
            host = auth;
        }
    }
    if (port < 1 || port > 65535 || host.empty() || host.size() >= sizeof cfg->host) {
        fputs("invalid WSS host or port\n", stderr);
        return -1;
    }

    memcpy(cfg->host, host.data(), host.size());
    cfg->host[host.size()] = '\0';
    cfg->port = static_cast<int>(port);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view("/") : url.substr(slash);
    memcpy(cfg->path, path.data(), path.size());  // url and path share one size
    cfg->path[path.size()] = '\0';
    return 0;
}

int load_config(relay_config* cfg) {
    memset(cfg, 0, sizeof *cfg);

    const char* mode = env_or("PCAP_RELAY_MODE", "wss-client");
    if (strcmp(mode, "wss-server") == 0) {
        cfg->server_mode = true;
    } else if (strcmp(mode, "wss-client") == 0) {
        cfg->server_mode = false;
    } else {
        fputs("PCAP_RELAY_MODE must be wss-client or wss-server\n", stderr);
        return -1;
    }

    if (parse_size("PCAP_RELAY_QUEUE_MAX_EVENTS", 10000, &cfg->queue_events) != 0 ||
        parse_size("PCAP_RELAY_QUEUE_MAX_BYTES", 268435456, &cfg->queue_bytes) != 0 ||
        parse_size("PCAP_RELAY_RETAIN_EVENTS", 0, &cfg->retain_events) != 0 ||
        parse_size("PCAP_RELAY_RETAIN_BYTES", 0, &cfg->retain_bytes) != 0 ||
        copy_value(cfg->socket_path, sizeof cfg->socket_path, env_or("PCAP_SOCKET", kDefaultSocket),
                   "PCAP_SOCKET") != 0 ||
        load_stats_config(cfg) != 0)
        return -1;

    if (cfg->server_mode) return load_server_config(cfg);

    if (copy_value(cfg->url, sizeof cfg->url, getenv("PCAP_RELAY_URL"), "PCAP_RELAY_URL") != 0 ||
        copy_value(cfg->switch_id, sizeof cfg->switch_id, getenv("PCAP_RELAY_SWITCH_ID"),
                   "PCAP_RELAY_SWITCH_ID") != 0 ||
        copy_value(cfg->ca_file, sizeof cfg->ca_file, getenv("PCAP_RELAY_CA_FILE"),
                   "PCAP_RELAY_CA_FILE") != 0 ||
        copy_value(cfg->client_cert, sizeof cfg->client_cert, getenv("PCAP_RELAY_CLIENT_CERT"),
                   "PCAP_RELAY_CLIENT_CERT") != 0 ||
        copy_value(cfg->client_key, sizeof cfg->client_key, getenv("PCAP_RELAY_CLIENT_KEY"),
                   "PCAP_RELAY_CLIENT_KEY") != 0)
        return -1;

    const char* sequence = env_or("PCAP_RELAY_SEQUENCE", "false");
    if (strcmp(sequence, "true") != 0 && strcmp(sequence, "false") != 0) {
        fputs("PCAP_RELAY_SEQUENCE must be true or false\n", stderr);
        return -1;
    }
    cfg->sequence = strcmp(sequence, "true") == 0;

    if (cfg->switch_id[0] == '\0') {
        fputs("PCAP_RELAY_SWITCH_ID is required\n", stderr);
        return -1;
    }
    // The switch id is sent verbatim as a request header value.
    if (has_control(cfg->switch_id)) {
        fputs("PCAP_RELAY_SWITCH_ID must not contain control characters\n", stderr);
        return -1;
    }
    if ((cfg->client_cert[0] == '\0') != (cfg->client_key[0] == '\0')) {
        fputs("client certificate and key must be set together\n", stderr);
        return -1;
    }

    if (read_secret(cfg) != 0) return -1;
    if (strlen(cfg->token) < kMinTokenBytes) {
        fputs("relay token must contain at least 32 bytes\n", stderr);
        return -1;
    }
    // The token goes into the authorization header as written.
    if (has_control(cfg->token)) {
        fputs(kTokenControl, stderr);
        return -1;
    }

    if (parse_wss_url(cfg) != 0) return -1;

    cfg->reconnect_min = lenient_u32(env_or("PCAP_RELAY_RECONNECT_MIN_SECONDS", "1"));
    cfg->reconnect_max = lenient_u32(env_or("PCAP_RELAY_RECONNECT_MAX_SECONDS", "60"));
    if (cfg->reconnect_min == 0) cfg->reconnect_min = 1;
    if (cfg->reconnect_max < cfg->reconnect_min) cfg->reconnect_max = cfg->reconnect_min;
    return 0;
}

int relay_configure(int argc, char** argv, relay_config* cfg) {
    const char* prog = (argc > 0 && argv[0] != nullptr) ? argv[0] : "zel_packet_monitor_wss";
    const char* config_path = nullptr;  // points into argv
    bool check_config = false;

    if (wants_version(argc, argv)) {
        printf("zel_packet_monitor_wss %s\n", kVersion);
        return flush_report();
    }

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "--check-config") == 0) {
            check_config = true;
        } else if (strcmp(arg, "--config") == 0 || strcmp(arg, "-c") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "option %s requires an argument\n", arg);
                return 2;
            }
            config_path = argv[++i];
        } else if (strncmp(arg, "--config=", 9) == 0) {
            config_path = arg + 9;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fprintf(stderr, "usage: %s [--config <path>] [--check-config]\n", prog);
            return 0;
        } else {
            fprintf(stderr, "usage: %s [--config <path>] [--check-config]\n", prog);
            return 2;
        }
    }

    // At most one file: an explicit path (even an empty one) rules out the
    // variable and the defaults, and the variable rules out the defaults.
    int rc = 0;
    if (config_path != nullptr) {
        rc = load_conf_file(config_path, true);
    } else if (const char* env_path = env_or("PCAP_CONFIG_FILE", nullptr); env_path != nullptr) {
        rc = load_conf_file(env_path, true);
    } else {
        // The first that opens as a regular file; the others are skipped.
        for (const char* path : kDefaultFiles)
            if (load_conf_file(path, false) == 0) break;
    }
    if (rc != 0) return 2;

    if (load_config(cfg) != 0) return 2;

    if (check_config) {
        const char* enabled = !cfg->server_mode ? "true" : (cfg->enabled ? "true" : "false");
        printf("configuration valid mode=%s enabled=%s host=%s port=%d path=%s switch_id=%s\n",
               cfg->server_mode ? "wss-server" : "wss-client", enabled, cfg->host, cfg->port,
               cfg->path, cfg->switch_id);
        return flush_report();
    }
    if (cfg->server_mode && !cfg->enabled) {
        log_line("info", "wss_listener_disabled");
        return 0;
    }
    return -1;
}

}  // namespace config
}  // namespace zel
