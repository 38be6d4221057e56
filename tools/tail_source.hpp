// tail_source: where zel_tail reads from, chosen by the URL's scheme, and the
// one entry point that runs it. Each source connects, resumes at the
// consumer's position, hands every message to the consumer, and reconnects
// with backoff until it is told to stop; adding a scheme means one more
// parse branch and one more run_* function, the consumer is shared.
//
// Today: wss://host[:port]/path, a relay's sequenced subscriber endpoint.
// Runs on the main thread.
#pragma once

#include <csignal>
#include <string>
#include <string_view>

#include "tail_consumer.hpp"

namespace zel::tail {

enum class scheme { wss };

struct source_url {
    scheme kind;
    std::string host;  // without brackets for an IPv6 literal
    int port;
    std::string path;  // from the first '/', query included; "/" when absent
};

// 0 with *out set, or -1 with *why a short sentence. Refuses blanks and
// control characters, user information, fragments and ports outside 1-65535.
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

// Runs the source until *stop is set (kExitStopped) or the consumer or a
// setup failure ends the run (its status). Says why on standard error.
// Defined with the program (zel_tail.cpp).
int run_source(const source_url& url, const tls_files& tls, consumer& sink,
               const volatile std::sig_atomic_t& stop);

// The WebSocket source (tail_wss.cpp).
int run_wss(const source_url& url, const tls_files& tls, consumer& sink,
            const volatile std::sig_atomic_t& stop);

}  // namespace zel::tail
