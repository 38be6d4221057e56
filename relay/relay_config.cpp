// Reading and validating the relay's configuration. Everything here runs on
// the main thread before any other thread exists, so the environment may be
// modified (setenv) and stdio used freely. Each failure prints its one fixed
// sentence; the caller turns -1 into exit status 2. The token's value never
// reaches any output: messages name the variable, never its content.
//
// Every key is one row of kKeys, in the order the keys are read, and one
// walk reads them: the first failure decides the message, so the order of
// the rows is part of what an operator sees.
#include "relay_config.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "metrics_file.hpp"
#include "nats_ledger.hpp"
#include "nats_publisher.hpp"
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
constexpr const char* kTokenControl = "relay token must not contain control characters\n";
constexpr const char* kTooLong = "%s is too long\n";
constexpr const char* kNotPositive = "%s must be a positive integer\n";
constexpr const char* kNotNegative = "%s must be an integer, 0 or more\n";
constexpr const char* kHostPort = "invalid numeric PCAP_WSS_HOST or PCAP_WSS_PORT\n";
constexpr const char* kReadablePair =
    "readable PCAP_WSS_CERT_FILE and PCAP_WSS_KEY_FILE are required\n";
constexpr const char* kNatsUrls = "PCAP_NATS_URL must list nats:// or tls:// URLs separated by commas\n";
constexpr const char* kMaxPending = "PCAP_NATS_MAX_PENDING must be an integer from 1 to 65536\n";
constexpr const char* kReplicas = "PCAP_NATS_REPLICAS must be an integer from 1 to 5\n";
constexpr const char* kMaxAge = "PCAP_NATS_MAX_AGE_SECONDS must be an integer from 0 to 3153600000\n";
constexpr const char* kMaxBytes =
    "PCAP_NATS_MAX_BYTES must be an integer from 0 to 9223372036854775807\n";
constexpr const char* kStatsRange = "PCAP_RELAY_STATS_SECONDS must be an integer from 0 to 86400\n";
static_assert(kMaxStatsSeconds == 86400, "the stats message names the bound");
static_assert(sizeof(relay_config::token) == 4096, "the token messages name the bound");

// The names PCAP_RELAY_MODE accepts, in run_mode order.
constexpr const char* kModeNames[] = {"wss-client", "wss-server", "nats"};
static_assert(std::size(kModeNames) == static_cast<size_t>(run_mode::count));

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

// Reports a failed stdio/system call the way perror does.
void report_errno(const char* prefix, int err) {
    fprintf(stderr, "%s: %s\n", prefix, strerror(err));
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

namespace {

// Where a row's value lives in relay_config. A row names a field by offset
// and size rather than by member pointer so that one table can hold fields
// of every type; rows_are_sound() checks each size against its row's kind.
struct field {
    uint32_t offset = 0;
    uint32_t size = 0;
};
// clang-format off
#define ZEL_CONFIG_FIELD(member) field{offsetof(relay_config, member), sizeof(relay_config::member)}
// clang-format on

constexpr uint8_t mode_bit(run_mode m) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(m));
}
constexpr uint8_t kClient = mode_bit(run_mode::wss_client);
constexpr uint8_t kServer = mode_bit(run_mode::wss_server);
constexpr uint8_t kNats = mode_bit(run_mode::nats);
constexpr uint8_t kEveryMode = (1u << static_cast<unsigned>(run_mode::count)) - 1;

// How a row turns its variable's text into a value.
enum class key_kind : uint8_t {
    mode,     // one of kModeNames; decides which of the later rows are read
    text,     // copied whole; a text that does not fit its field is too long
    integer,  // a bare run of decimal digits from min to max
    lenient,  // strtoul's reading, never failing, raised to min (and to pair)
    boolean,  // exactly "true" or "false"
    gate,     // a boolean whose "false" ends the walk: no later row is read
    ip_list,  // comma-separated numeric addresses, min to the field's count;
              // max is the longest text
    secret,   // the content of the file the key names, else the variable alt
    fixed,    // no variable: the fallback text is stored as it is
    rule,     // no variable: only the check, on a field an earlier row filled
};

// What a text value must also satisfy once it is stored.
enum class key_check : uint8_t {
    none,
    min_length,     // at least min bytes
    no_control,     // no byte below 0x20 and no DEL: it goes into a request header
    numeric_ip,     // a numeric IPv4 or IPv6 address (parse_ip)
    absolute_file,  // empty, or an absolute path that names a file
    readable,       // not empty, and this process may read the file
    together,       // empty exactly when the text in pair is empty
    wss_url,        // parse_wss_url accepts it (and prints its own refusals)
    nats_urls,      // comma-separated nats:// or tls:// URLs, each with a host
    nats_subject,   // a publish subject; empty becomes zel.sip.<subject-safe switch id>
    stream_name,    // a JetStream stream name
    secret_file,    // empty, or a regular file holding 1 to 4,095 bytes (read_secret_file)
    regular_file,   // empty, or a readable regular file
    one_credential, // at most one of the bus mode's token file, credentials file and user
};

// One configuration key. Messages may hold one "%s", which names the key.
struct key_row {
    const char* name = nullptr;  // the variable; none for fixed and rule rows
    uint8_t modes = kEveryMode;  // the modes that read this row
    key_kind kind = key_kind::text;
    const char* fallback = nullptr;  // the text used when the variable is unset or empty
    uint64_t min = 0;                // see the kind, and min_length
    uint64_t max = UINT64_MAX;       // integer: the largest value; ip_list: the longest text
    field at{};                      // where the value goes; rule rows: the field they check
    key_check check = key_check::none;
    field pair{};               // together: the other text; lenient: a floor; ip_list: the count
    const char* alt = nullptr;  // secret: the variable read when the file key is unset
    // The kind cannot read the value (null: the kind's own sentence; for a
    // secret, the sentence for a file holding too much).
    const char* message = nullptr;
    // The value was read but is refused: above max, failing the check, or a
    // secret holding a zero byte. Null prints nothing of its own.
    const char* check_message = nullptr;
    // Printed after either: one sentence that several keys share.
    const char* also = nullptr;
};

// clang-format off
constexpr key_row kKeys[] = {
    {.name = "PCAP_RELAY_MODE", .kind = key_kind::mode, .fallback = "wss-client",
     .at = ZEL_CONFIG_FIELD(mode), .message = "PCAP_RELAY_MODE must be wss-client or wss-server\n"},
    {.name = "PCAP_RELAY_QUEUE_MAX_EVENTS", .kind = key_kind::integer, .fallback = "10000", .min = 1,
     .at = ZEL_CONFIG_FIELD(queue_events)},
    {.name = "PCAP_RELAY_QUEUE_MAX_BYTES", .kind = key_kind::integer, .fallback = "268435456", .min = 1,
     .at = ZEL_CONFIG_FIELD(queue_bytes)},
    // Lines held for resume beyond the queue's bounds; 0 holds what they allow.
    {.name = "PCAP_RELAY_RETAIN_EVENTS", .kind = key_kind::integer, .fallback = "0",
     .at = ZEL_CONFIG_FIELD(retain_events), .message = kNotNegative},
    {.name = "PCAP_RELAY_RETAIN_BYTES", .kind = key_kind::integer, .fallback = "0",
     .at = ZEL_CONFIG_FIELD(retain_bytes), .message = kNotNegative},
    {.name = "PCAP_SOCKET", .fallback = kDefaultSocket, .at = ZEL_CONFIG_FIELD(socket_path)},
    // 0 is a value here: it turns the stats line off.
    {.name = "PCAP_RELAY_STATS_SECONDS", .kind = key_kind::integer, .fallback = "0",
     .max = kMaxStatsSeconds, .at = ZEL_CONFIG_FIELD(stats_seconds), .message = kStatsRange,
     .check_message = kStatsRange},
    // The folder is not looked at: a file that cannot be written is reported
    // at run time and never stops the relay.
    {.name = "PCAP_METRICS_FILE", .at = ZEL_CONFIG_FIELD(metrics_file),
     .check = key_check::absolute_file,
     .check_message = "PCAP_METRICS_FILE must be an absolute path of a file\n"},

    // Server mode. A switched-off listener reads no further key.
    {.name = "PCAP_WSS_ENABLED", .modes = kServer, .kind = key_kind::gate, .fallback = "false",
     .at = ZEL_CONFIG_FIELD(enabled), .message = "PCAP_WSS_ENABLED must be true or false\n"},
    {.name = "PCAP_WSS_HOST", .modes = kServer, .fallback = "127.0.0.1", .at = ZEL_CONFIG_FIELD(host),
     .check = key_check::numeric_ip, .also = kHostPort},
    {.name = "PCAP_WSS_PORT", .modes = kServer, .kind = key_kind::integer, .fallback = "9135",
     .min = 1, .max = 65535, .at = ZEL_CONFIG_FIELD(port), .also = kHostPort},
    {.modes = kServer, .kind = key_kind::fixed, .fallback = "/events", .at = ZEL_CONFIG_FIELD(path)},
    {.name = "PCAP_WSS_ALLOWED_IPS", .modes = kServer, .kind = key_kind::ip_list, .min = 1,
     .max = 4095, .at = ZEL_CONFIG_FIELD(allowed), .pair = ZEL_CONFIG_FIELD(allowed_count),
     .message = "PCAP_WSS_ALLOWED_IPS requires up to 64 exact IP addresses\n",
     .check_message = "PCAP_WSS_ALLOWED_IPS is required\n"},
    {.name = "PCAP_WSS_CERT_FILE", .modes = kServer, .at = ZEL_CONFIG_FIELD(server_cert)},
    {.name = "PCAP_WSS_KEY_FILE", .modes = kServer, .at = ZEL_CONFIG_FIELD(server_key)},
    {.modes = kServer, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(server_cert),
     .check = key_check::readable, .check_message = kReadablePair},
    {.modes = kServer, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(server_key),
     .check = key_check::readable, .check_message = kReadablePair},
    {.name = "PCAP_WSS_MAX_CLIENTS", .modes = kServer, .kind = key_kind::integer, .fallback = "16",
     .min = 1, .at = ZEL_CONFIG_FIELD(max_clients)},
    {.name = "PCAP_WSS_QUEUE_EVENTS", .modes = kServer, .kind = key_kind::integer, .fallback = "256",
     .min = 1, .at = ZEL_CONFIG_FIELD(client_queue_events)},
    {.name = "PCAP_WSS_QUEUE_BYTES", .modes = kServer, .kind = key_kind::integer,
     .fallback = "8388608", .min = 1, .at = ZEL_CONFIG_FIELD(client_queue_bytes)},

    // Client mode. Every text is copied before any of them is judged.
    {.name = "PCAP_RELAY_URL", .modes = kClient, .at = ZEL_CONFIG_FIELD(url)},
    {.name = "PCAP_RELAY_SWITCH_ID", .modes = kClient | kNats, .at = ZEL_CONFIG_FIELD(switch_id)},
    {.name = "PCAP_RELAY_CA_FILE", .modes = kClient, .at = ZEL_CONFIG_FIELD(ca_file)},
    {.name = "PCAP_RELAY_CLIENT_CERT", .modes = kClient, .at = ZEL_CONFIG_FIELD(client_cert)},
    {.name = "PCAP_RELAY_CLIENT_KEY", .modes = kClient, .at = ZEL_CONFIG_FIELD(client_key)},
    {.modes = kClient | kNats, .kind = key_kind::rule, .min = 1, .at = ZEL_CONFIG_FIELD(switch_id),
     .check = key_check::min_length, .check_message = "PCAP_RELAY_SWITCH_ID is required\n"},
    // The switch id is sent verbatim as a request (or message) header value.
    {.modes = kClient | kNats, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(switch_id),
     .check = key_check::no_control,
     .check_message = "PCAP_RELAY_SWITCH_ID must not contain control characters\n"},
    {.modes = kClient, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(client_cert),
     .check = key_check::together, .pair = ZEL_CONFIG_FIELD(client_key),
     .check_message = "client certificate and key must be set together\n"},
    // A zero byte would end the token early, sending less than the file says.
    {.name = "PCAP_RELAY_TOKEN_FILE", .modes = kClient, .kind = key_kind::secret,
     .at = ZEL_CONFIG_FIELD(token), .alt = "PCAP_RELAY_TOKEN",
     .message = "relay token must contain at most 4095 bytes\n", .check_message = kTokenControl},
    {.modes = kClient, .kind = key_kind::rule, .min = 32, .at = ZEL_CONFIG_FIELD(token),
     .check = key_check::min_length, .check_message = "relay token must contain at least 32 bytes\n"},
    // The token goes into the authorization header as written.
    {.modes = kClient, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(token),
     .check = key_check::no_control, .check_message = kTokenControl},
    {.modes = kClient, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(url), .check = key_check::wss_url},
    {.name = "PCAP_RELAY_RECONNECT_MIN_SECONDS", .modes = kClient, .kind = key_kind::lenient,
     .fallback = "1", .min = 1, .at = ZEL_CONFIG_FIELD(reconnect_min)},
    {.name = "PCAP_RELAY_RECONNECT_MAX_SECONDS", .modes = kClient, .kind = key_kind::lenient,
     .fallback = "60", .at = ZEL_CONFIG_FIELD(reconnect_max), .pair = ZEL_CONFIG_FIELD(reconnect_min)},
    // Opt-in: the sequenced protocol upstream, and resending after a reconnect.
    {.name = "PCAP_RELAY_SEQUENCE", .modes = kClient, .kind = key_kind::boolean, .fallback = "false",
     .at = ZEL_CONFIG_FIELD(sequence), .message = "PCAP_RELAY_SEQUENCE must be true or false\n"},

    // Bus mode. Each text is judged as it is read; the switch id came first.
    {.name = "PCAP_NATS_URL", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_url)},
    {.modes = kNats, .kind = key_kind::rule, .min = 1, .at = ZEL_CONFIG_FIELD(nats_url),
     .check = key_check::min_length, .check_message = "PCAP_NATS_URL is required\n"},
    {.modes = kNats, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(nats_url),
     .check = key_check::nats_urls, .check_message = kNatsUrls},
    {.name = "PCAP_NATS_SUBJECT", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_subject),
     .check = key_check::nats_subject,
     .check_message = "PCAP_NATS_SUBJECT must be dot-separated tokens of printable characters "
                      "without blanks or wildcards, at most 255 bytes\n"},
    {.name = "PCAP_NATS_STREAM", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_stream)},
    {.modes = kNats, .kind = key_kind::rule, .min = 1, .at = ZEL_CONFIG_FIELD(nats_stream),
     .check = key_check::min_length, .check_message = "PCAP_NATS_STREAM is required\n"},
    {.modes = kNats, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(nats_stream),
     .check = key_check::stream_name,
     .check_message = "PCAP_NATS_STREAM must be a name of printable characters without "
                      "blanks, '.', '*', '>', '/' or '\\'\n"},
    // Secrets only from files; the file is read here to judge it, and read
    // again by the publisher at start.
    {.name = "PCAP_NATS_TOKEN_FILE", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_token_file),
     .check = key_check::secret_file},
    {.name = "PCAP_NATS_CREDS_FILE", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_creds_file),
     .check = key_check::regular_file, .check_message = "%s must name a readable regular file\n"},
    {.name = "PCAP_NATS_USER", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_user),
     .check = key_check::no_control,
     .check_message = "PCAP_NATS_USER must not contain control characters\n"},
    {.name = "PCAP_NATS_PASSWORD_FILE", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_password_file),
     .check = key_check::secret_file},
    {.modes = kNats, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(nats_token_file),
     .check = key_check::one_credential,
     .check_message = "set only one of PCAP_NATS_TOKEN_FILE, PCAP_NATS_CREDS_FILE and "
                      "PCAP_NATS_USER\n"},
    {.modes = kNats, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(nats_user),
     .check = key_check::together, .pair = ZEL_CONFIG_FIELD(nats_password_file),
     .check_message = "PCAP_NATS_USER and PCAP_NATS_PASSWORD_FILE must be set together\n"},
    {.name = "PCAP_NATS_CA_FILE", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_ca_file),
     .check = key_check::regular_file, .check_message = "%s must name a readable regular file\n"},
    {.name = "PCAP_NATS_CERT_FILE", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_cert_file),
     .check = key_check::regular_file, .check_message = "%s must name a readable regular file\n"},
    {.name = "PCAP_NATS_KEY_FILE", .modes = kNats, .at = ZEL_CONFIG_FIELD(nats_key_file),
     .check = key_check::regular_file, .check_message = "%s must name a readable regular file\n"},
    {.modes = kNats, .kind = key_kind::rule, .at = ZEL_CONFIG_FIELD(nats_cert_file),
     .check = key_check::together, .pair = ZEL_CONFIG_FIELD(nats_key_file),
     .check_message = "PCAP_NATS_CERT_FILE and PCAP_NATS_KEY_FILE must be set together\n"},
    {.name = "PCAP_NATS_MAX_PENDING", .modes = kNats, .kind = key_kind::integer, .fallback = "4096",
     .min = 1, .max = 65536, .at = ZEL_CONFIG_FIELD(nats_max_pending), .message = kMaxPending,
     .check_message = kMaxPending},
    {.name = "PCAP_NATS_CREATE_STREAM", .modes = kNats, .kind = key_kind::boolean,
     .fallback = "false", .at = ZEL_CONFIG_FIELD(nats_create_stream),
     .message = "PCAP_NATS_CREATE_STREAM must be true or false\n"},
    {.name = "PCAP_NATS_REPLICAS", .modes = kNats, .kind = key_kind::integer, .fallback = "1",
     .min = 1, .max = 5, .at = ZEL_CONFIG_FIELD(nats_replicas), .message = kReplicas,
     .check_message = kReplicas},
    {.name = "PCAP_NATS_MAX_AGE_SECONDS", .modes = kNats, .kind = key_kind::integer,
     .fallback = "0", .max = 3153600000, .at = ZEL_CONFIG_FIELD(nats_max_age_seconds),
     .message = kMaxAge, .check_message = kMaxAge},
    {.name = "PCAP_NATS_MAX_BYTES", .modes = kNats, .kind = key_kind::integer, .fallback = "0",
     .max = INT64_MAX, .at = ZEL_CONFIG_FIELD(nats_max_bytes), .message = kMaxBytes,
     .check_message = kMaxBytes},
};
// clang-format on

#undef ZEL_CONFIG_FIELD

constexpr size_t text_length(const char* s) {
    return std::char_traits<char>::length(s);
}

// What the compiler can check of a new row: a field of the size its kind
// writes, a fallback that fits, a name where a variable is read.
consteval bool rows_are_sound() {
    if (kKeys[0].kind != key_kind::mode) return false;  // every later row depends on it
    for (const key_row& r : kKeys) {
        const bool nameless = r.kind == key_kind::fixed || r.kind == key_kind::rule;
        if ((r.name == nullptr) != nameless || r.at.size == 0 || r.min > r.max) return false;
        switch (r.kind) {
        case key_kind::mode:
            if (r.fallback == nullptr || r.at.size != sizeof(run_mode)) return false;
            break;
        case key_kind::integer:
            if (r.fallback == nullptr || (r.at.size != 8 && r.at.size != 4) ||
                (r.at.size == 4 && r.max > UINT32_MAX))
                return false;
            break;
        case key_kind::lenient:
            if (r.fallback == nullptr || r.at.size != sizeof(uint32_t) ||
                (r.pair.size != 0 && r.pair.size != sizeof(uint32_t)))
                return false;
            break;
        case key_kind::boolean:
        case key_kind::gate:
            if (r.fallback == nullptr || r.at.size != sizeof(bool)) return false;
            break;
        case key_kind::ip_list:
            if (r.at.size % sizeof(peer_ip) != 0 || r.pair.size != sizeof(size_t) || r.max > 4095)
                return false;
            break;
        case key_kind::fixed:
        case key_kind::text:
            if (r.fallback != nullptr && text_length(r.fallback) >= r.at.size) return false;
            if (r.kind == key_kind::fixed && r.fallback == nullptr) return false;
            break;
        case key_kind::secret:
        case key_kind::rule:
            break;
        }
        if (r.check == key_check::together && r.pair.size == 0) return false;
    }
    return true;
}
static_assert(rows_are_sound(), "a configuration row does not fit its field or kind");
static_assert(sizeof(size_t) == sizeof(uint64_t) && sizeof(int) == sizeof(uint32_t));

unsigned char* bytes_of(relay_config* cfg, field at) {
    return reinterpret_cast<unsigned char*>(cfg) + at.offset;
}
char* text_of(relay_config* cfg, field at) {
    return reinterpret_cast<char*>(bytes_of(cfg, at));
}

// Integer fields are 4 bytes (uint32_t, or the port's int, whose values fit)
// or 8 (size_t); rows_are_sound() keeps a 4-byte row's bound within 32 bits.
void store_number(relay_config* cfg, field at, uint64_t v) {
    if (at.size == sizeof(uint32_t)) {
        auto n = static_cast<uint32_t>(v);
        memcpy(bytes_of(cfg, at), &n, sizeof n);
    } else {
        memcpy(bytes_of(cfg, at), &v, sizeof v);
    }
}

uint32_t load_u32(relay_config* cfg, field at) {
    uint32_t n;
    memcpy(&n, bytes_of(cfg, at), sizeof n);
    return n;
}

// Prints a row's sentence with "%s" replaced by the key's name, in one write.
void say(const char* message, const char* name) {
    if (message == nullptr) return;
    const char* hole = strstr(message, "%s");
    if (hole == nullptr) {
        fputs(message, stderr);
        return;
    }
    fprintf(stderr, "%.*s%s%s", static_cast<int>(hole - message), message,
            name != nullptr ? name : "", hole + 2);
}

// A bare run of decimal digits: strtoull alone would accept blanks, a sign
// and wrap "-1" around to the largest value. 0 with *out; -1 when the text is
// not such a number, overflows 64 bits or is below min; 1 when above max.
int read_integer(const char* text, uint64_t min, uint64_t max, uint64_t* out) {
    if (*text < '0' || *text > '9') return -1;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = strtoull(text, &end, 10);
    if (errno == ERANGE || *end != '\0' || n < min) return -1;
    if (n > max) return 1;
    *out = n;
    return 0;
}

// Each entry, between commas and without blanks around it, is
// nats://HOST[:PORT] or tls://HOST[:PORT]; libnats parses it further, but a
// blank, a control byte or an empty entry would only fail at connect time.
bool nats_urls_valid(std::string_view list) {
    if (list.empty()) return false;
    for (;;) {
        const size_t comma = list.find(',');
        std::string_view url = list.substr(0, comma);
        std::string_view rest;
        if (url.starts_with("nats://"))
            rest = url.substr(7);
        else if (url.starts_with("tls://"))
            rest = url.substr(6);
        else
            return false;
        if (rest.empty() || rest.front() == ':' || rest.front() == '/') return false;
        for (char ch : url) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x21 || c >= 0x7F) return false;
        }
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

// What the server accepts as a stream name: no blank, no subject separator
// or wildcard, no path separator (it names a folder in the store).
bool stream_name_valid(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x21 || c >= 0x7F || c == '.' || c == '*' || c == '>' || c == '/' || c == '\\')
            return false;
    }
    return true;
}

bool regular_readable(const char* path) {
    unique_file f = open_regular(path);
    return static_cast<bool>(f);
}

// Fills the default subject from the switch id read before, then judges it.
int check_subject(const key_row& row, relay_config* cfg) {
    char* text = text_of(cfg, row.at);
    if (text[0] == '\0') {
        const std::string subject = nats::default_subject(cfg->switch_id);
        if (!nats::publish_subject_valid(subject)) {
            fputs("PCAP_RELAY_SWITCH_ID is too long for the default PCAP_NATS_SUBJECT; set "
                  "PCAP_NATS_SUBJECT\n",
                  stderr);
            return -1;
        }
        memcpy(text, subject.c_str(), subject.size() + 1);  // 8 + 255 bytes fit
        return 0;
    }
    if (nats::publish_subject_valid(text)) return 0;
    say(row.check_message, row.name);
    return -1;
}

// The secret is read only to judge the file, then wiped; its value never
// reaches a message.
int check_secret_file(const key_row& row, const char* path) {
    if (path[0] == '\0') return 0;
    std::string secret, err;
    const int rc = nats::read_secret_file(path, row.name, &secret, &err);
    if (!secret.empty()) explicit_bzero(secret.data(), secret.size());
    if (rc == 0) return 0;
    fprintf(stderr, "%s\n", err.c_str());
    return -1;
}

// -1 after the row's check_message when the stored text fails the check.
int check_row(const key_row& row, relay_config* cfg) {
    const char* text = text_of(cfg, row.at);
    bool ok = true;
    peer_ip scratch;
    switch (row.check) {
    case key_check::none:
        break;
    case key_check::min_length:
        ok = strlen(text) >= row.min;
        break;
    case key_check::no_control:
        ok = !has_control(text);
        break;
    case key_check::numeric_ip:
        ok = parse_ip(text, &scratch) == 0;
        break;
    case key_check::absolute_file: {
        const size_t len = strlen(text);
        ok = len == 0 || metrics_path_names_file(text, len);
        break;
    }
    case key_check::readable:
        ok = text[0] != '\0' && access(text, R_OK) == 0;
        break;
    case key_check::together:
        ok = (text[0] == '\0') == (text_of(cfg, row.pair)[0] == '\0');
        break;
    case key_check::wss_url:
        if (parse_wss_url(cfg) != 0) return -1;
        break;
    case key_check::nats_urls:
        ok = nats_urls_valid(text);
        break;
    case key_check::nats_subject:
        return check_subject(row, cfg);
    case key_check::stream_name:
        ok = stream_name_valid(text);
        break;
    case key_check::secret_file:
        return check_secret_file(row, text);
    case key_check::regular_file:
        ok = text[0] == '\0' || regular_readable(text);
        break;
    case key_check::one_credential:
        ok = (cfg->nats_token_file[0] != '\0') + (cfg->nats_creds_file[0] != '\0') +
                 (cfg->nats_user[0] != '\0') <=
             1;
        break;
    }
    if (ok) return 0;
    say(row.check_message, row.name);
    return -1;
}

// Splits the list at commas from left to right into the row's addresses.
// Each entry is trimmed; an entry that does not parse, or one beyond the
// field's capacity, fails; so does a comma that is the text's last byte.
int read_ip_list(const key_row& row, relay_config* cfg) {
    char list[4096];
    if (copy_value(list, row.max + 1, getenv(row.name), row.name) != 0) return -1;
    auto* out = reinterpret_cast<peer_ip*>(bytes_of(cfg, row.at));
    const size_t capacity = row.at.size / sizeof(peer_ip);
    size_t count = 0;
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
            if (count == capacity || parse_ip(p, &out[count]) != 0) {
                say(row.message, row.name);
                return -1;
            }
            count++;
            if (comma_is_last) {
                fputs("empty allowed IP\n", stderr);
                return -1;
            }
            if (comma == nullptr) break;
            p = comma + 1;
        }
    }
    store_number(cfg, row.pair, count);
    if (count >= row.min) return 0;
    say(row.check_message, row.name);
    return -1;
}

// The secret from the file the key names, else from the variable alt. Only
// line ends may follow the longest secret the field holds; any other byte
// there makes it too long, and it is refused rather than cut.
int read_secret_row(const key_row& row, relay_config* cfg) {
    char* dst = text_of(cfg, row.at);
    const size_t room = row.at.size - 1;
    const char* file = env_or(row.name, nullptr);
    if (file == nullptr)
        return row.alt != nullptr ? copy_value(dst, row.at.size, getenv(row.alt), row.alt) : 0;

    unique_file f = open_regular(file);
    if (!f) {
        // A directory opens; it is its reading that fails, and the message
        // says so, as it does for any input that will not read.
        const int err = errno;
        fprintf(stderr, "%s %s: %s\n", err == EISDIR ? "read" : "open", row.name, strerror(err));
        return -1;
    }
    size_t n = fread(dst, 1, room, f.get());
    bool too_long = false;
    int c;
    while (!too_long && (c = getc(f.get())) != EOF) too_long = c != '\n' && c != '\r';
    if (ferror(f.get())) {
        fprintf(stderr, "read %s: %s\n", row.name, strerror(errno));
        memset(dst, 0, row.at.size);
        return -1;
    }
    f.reset();
    while (n > 0 && (dst[n - 1] == '\n' || dst[n - 1] == '\r')) n--;
    const char* fault = too_long                          ? row.message
                        : memchr(dst, '\0', n) != nullptr ? row.check_message
                                                          : nullptr;
    if (fault != nullptr) {
        say(fault, row.name);
        memset(dst, 0, row.at.size);
        return -1;
    }
    dst[n] = '\0';
    return 0;
}

// Reads one row into *cfg. 0 to go on; 1 when a gate read "false" and the
// walk ends; -1 after the row's message has been printed.
int read_row(const key_row& row, relay_config* cfg) {
    const char* value = row.name != nullptr ? env_or(row.name, row.fallback) : row.fallback;
    switch (row.kind) {
    case key_kind::mode:
        for (size_t i = 0; i < std::size(kModeNames); i++) {
            if (strcmp(value, kModeNames[i]) == 0) {
                const auto mode = static_cast<run_mode>(i);
                memcpy(bytes_of(cfg, row.at), &mode, sizeof mode);
                cfg->server_mode = cfg->mode == run_mode::wss_server;
                return 0;
            }
        }
        say(row.message, row.name);
        return -1;
    case key_kind::text:
        if (copy_value(text_of(cfg, row.at), row.at.size, value, row.name) != 0) return -1;
        break;
    case key_kind::fixed:
        memcpy(text_of(cfg, row.at), value, strlen(value) + 1);
        break;
    case key_kind::integer: {
        uint64_t n = 0;
        if (int rc = read_integer(value, row.min, row.max, &n); rc != 0) {
            say(rc < 0 ? (row.message != nullptr ? row.message : kNotPositive) : row.check_message,
                row.name);
            return -1;
        }
        store_number(cfg, row.at, n);
        return 0;
    }
    case key_kind::lenient: {
        uint32_t n = lenient_u32(value);
        if (n < row.min) n = static_cast<uint32_t>(row.min);
        if (row.pair.size != 0 && n < load_u32(cfg, row.pair)) n = load_u32(cfg, row.pair);
        store_number(cfg, row.at, n);
        return 0;
    }
    case key_kind::boolean:
    case key_kind::gate: {
        const bool on = strcmp(value, "true") == 0;
        if (!on && strcmp(value, "false") != 0) {
            say(row.message, row.name);
            return -1;
        }
        memcpy(bytes_of(cfg, row.at), &on, sizeof on);
        return row.kind == key_kind::gate && !on ? 1 : 0;
    }
    case key_kind::ip_list:
        return read_ip_list(row, cfg);
    case key_kind::secret:
        if (read_secret_row(row, cfg) != 0) return -1;
        break;
    case key_kind::rule:
        break;
    }
    return check_row(row, cfg);
}

constexpr const key_row& row_named(std::string_view name) {
    for (const key_row& r : kKeys)
        if (r.name != nullptr && name == r.name) return r;
    return kKeys[0];
}

}  // namespace

int read_secret(relay_config* cfg) {
    constexpr const key_row& row = row_named("PCAP_RELAY_TOKEN_FILE");
    static_assert(row.kind == key_kind::secret);
    return read_secret_row(row, cfg);
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
    for (const key_row& row : kKeys) {
        if ((row.modes & mode_bit(cfg->mode)) == 0) continue;
        const int rc = read_row(row, cfg);
        if (rc < 0) say(row.also, row.name);
        if (rc != 0) return rc < 0 ? -1 : 0;
    }
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
        // Only a listener can be switched off; every other mode runs when valid.
        const char* enabled = !cfg->server_mode || cfg->enabled ? "true" : "false";
        printf("configuration valid mode=%s enabled=%s host=%s port=%d path=%s switch_id=%s",
               kModeNames[static_cast<size_t>(cfg->mode)], enabled, cfg->host, cfg->port, cfg->path,
               cfg->switch_id);
        // The bus mode's own: the subject as it will be used, default or not.
        if (cfg->mode == run_mode::nats)
            printf(" subject=%s stream=%s", cfg->nats_subject, cfg->nats_stream);
        putchar('\n');
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
