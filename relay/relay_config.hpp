// The relay's configuration: command line, at most one KEY=VALUE file that
// pre-loads the environment without overriding it (config_file), and
// validation of every PCAP_ key of the chosen mode into one relay_config.
// The keys are one table, in the order they are read; one validator walks it.
//
// Runs on the main thread before any other thread exists. Every validation
// failure prints exactly one fixed sentence (two for the PCAP_WSS_HOST/PORT
// cases) on standard error and makes the caller exit with status 2. The token
// is never printed.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "config_file.hpp"

namespace zel {

// What PCAP_RELAY_MODE chose. The order is the order of the mode names in
// the configuration's table.
enum class run_mode : std::uint8_t { wss_client, wss_server, nats, count };

// A 16-byte address in network order; IPv4 is stored IPv4-mapped
// (ten zero bytes, 0xFF 0xFF, the four address bytes).
struct peer_ip {
    unsigned char bytes[16];
};

// The 16-byte form of an IPv4 address, the one allow-list entries and peers
// are compared in.
peer_ip mapped_peer_ip(in_addr v4);

struct relay_config {
    char socket_path[108];
    char url[1024];
    char host[256];
    char path[1024];
    char switch_id[256];
    char token[4096];
    char ca_file[1024];
    char client_cert[1024];
    char client_key[1024];
    run_mode mode;
    bool server_mode;  // mode == run_mode::wss_server, as the runtime asks it
    bool enabled;
    char server_cert[1024];
    char server_key[1024];
    peer_ip allowed[64];
    size_t allowed_count;
    size_t max_clients;
    size_t client_queue_events;
    size_t client_queue_bytes;
    int port;
    size_t queue_events;
    size_t queue_bytes;
    size_t retain_events;  // held for resume at least; 0: the queue's bounds
    size_t retain_bytes;
    bool sequence;  // client: offer the sequenced protocol and resend after reconnects
    uint32_t reconnect_min;
    uint32_t reconnect_max;
    uint32_t stats_seconds;   // 0: no stats line
    char metrics_file[1024];  // empty: no metrics file
    // Bus mode. Files, not secrets: the publisher reads the token and the
    // password itself, so they are held only where the library needs them.
    char nats_url[4096];  // comma-separated nats:// or tls:// URLs
    char nats_subject[512];  // the default zel.sip.<switch id> once loaded
    char nats_stream[256];
    char nats_token_file[1024];
    char nats_creds_file[1024];
    char nats_user[256];
    char nats_password_file[1024];
    char nats_ca_file[1024];
    char nats_cert_file[1024];
    char nats_key_file[1024];
    size_t nats_max_pending;
    bool nats_create_stream;
    size_t nats_replicas;
    size_t nats_max_age_seconds;  // 0: no limit
    size_t nats_max_bytes;        // 0: no limit
};

// The generic names of the configuration's steps live in their own namespace.
namespace config {

// The variable's value, or fallback when it is unset or empty.
const char* env_or(const char* name, const char* fallback);

// 0 after copying value (null copies as ""); -1 after "%s is too long\n".
int copy_value(char* dst, size_t size, const char* value, const char* name);

// 0 with the value (or the fallback when unset/empty) in *out; -1 after
// "%s must be a positive integer\n".
int parse_size(const char* name, size_t fallback, size_t* out);

// 0 with *out set for a numeric IPv4 or IPv6 text; -1 otherwise, silently.
int parse_ip(const char* text, peer_ip* out);

// Each returns 0, or -1 after its message has been printed. load_config
// clears *cfg and reads every key of the chosen mode, stopping at the first
// failure. read_secret reads only the token (PCAP_RELAY_TOKEN_FILE, else
// PCAP_RELAY_TOKEN); it refuses a token file that is not a regular file,
// whose token is longer than 4,095 bytes or that holds a zero byte, rather
// than cut it. parse_wss_url fills host, port and path from url.
int load_config(relay_config* cfg);
int read_secret(relay_config* cfg);
int parse_wss_url(relay_config* cfg);

// The front of the relay's main: command line, configuration file choice,
// load_config and the early outcomes ("--version", the "--check-config"
// report, listener disabled). Returns -1 when the runtime should start with
// *cfg, otherwise the exit status to leave with.
int relay_configure(int argc, char** argv, relay_config* cfg);

}  // namespace config
}  // namespace zel
