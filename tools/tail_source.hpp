// tail_source: where zel_tail reads from, chosen by the URL's scheme, and the
// one entry point that runs it. Each source connects, resumes at the
// consumer's position, hands every message to the consumer, and reconnects
// with backoff until it is told to stop; adding a scheme means one more
// parse branch and one more run_* function, the consumer is shared.
//
// wss://host[:port]/path is a relay's sequenced subscriber endpoint;
// nats://host[:port] and tls://host[:port], one or more separated by commas,
// are the servers of a NATS JetStream cluster the relays publish into.
// Runs on the main thread.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "tail_consumer.hpp"

namespace zel::tail {

enum class scheme { wss, nats };

// A cluster is named by a few of its servers; the client learns the rest.
constexpr size_t kMaxBusServers = 16;

struct source_url {
    scheme kind;
    std::string host;  // without brackets for an IPv6 literal; nats: the first server's
    int port;          // nats: the first server's, 4222 when not given
    std::string path;  // from the first '/', query included; "/" when absent; nats: empty
    std::vector<std::string> servers;  // nats: each as scheme://host:port, in the given order
};

// 0 with *out set, or -1 with *why a short sentence. Refuses blanks and
// control characters, user information, fragments and ports outside 1-65535;
// for nats:// and tls://, also a path or query, a server list element of
// another scheme and more than kMaxBusServers servers.
int parse_source_url(std::string_view text, source_url& out, const char** why);

// path with the resume query for `at` appended ("from=<boot>:<seq>"); path
// itself when the position is unknown.
std::string resume_path(const std::string& path, const position& at);

// TLS files; null when not given.
struct tls_files {
    const char* ca = nullptr;
    const char* cert = nullptr;
    const char* key = nullptr;
};

// What the NATS source reads and how it signs in; null when not given.
struct bus_options {
    const char* stream = nullptr;
    const char* durable = nullptr;
    const char* token_file = nullptr;  // a file holding the token
    const char* creds_file = nullptr;  // a NATS credentials file (JWT and seed)
};

// A stream or durable consumer name the server accepts: 1 to 255 printable
// ASCII bytes without white space, '.', '*', '>', '/' or a backslash.
bool bus_name_valid(std::string_view name);

// Runs the source until *stop is set (kExitStopped) or the consumer or a
// setup failure ends the run (its status). Says why on standard error.
// Defined with the program (zel_tail.cpp).
int run_source(const source_url& url, const tls_files& tls, const bus_options& bus,
               consumer& sink, const volatile std::sig_atomic_t& stop);

// The WebSocket source (tail_wss.cpp).
int run_wss(const source_url& url, const tls_files& tls, consumer& sink,
            const volatile std::sig_atomic_t& stop);

// The NATS source (tail_nats.cpp).
int run_nats(const source_url& url, const tls_files& tls, const bus_options& bus, consumer& sink,
             const volatile std::sig_atomic_t& stop);

}  // namespace zel::tail
