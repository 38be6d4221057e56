// Subscriber server mode: the listener's part of the context, the allow-list
// test, the bound on connections still in handshake, each subscriber's
// reading of the line log, its cut-off, and its writes. Everything here runs
// on the service thread.
//
// A connection from a listed address is refused at accept, before TLS, while
// peers hold 64 connections in handshake, or 16 from that address; refusals
// log "wss_peer_ip_rejected" and "wss_handshake_limit_reached" through a
// log_throttle, whose held-back counts are written by the service loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "relay_state.hpp"

namespace zel::server {

// What a subscriber on the sequenced protocol asked for with
// "?from=<boot id>:<seq>": the last line it has.
struct resume_request {
    bool asked;
    uint64_t seq;
    boot_id boot;
};

// Parses a query's one argument, "from=<boot id>:<seq>" (the seq in decimal,
// 0 to 2^64-1). False for anything else.
bool parse_resume(std::string_view arg, resume_request* out);

// The gap notice a resuming subscriber gets first, or an empty view when
// its lines follow on without one: `first` is the position the log attached
// it at, `wanted` the one it asked for. Written into buf.
struct gap_text {
    char buf[192];
};
std::string_view gap_notice(const resume_request& r, const boot_id& current, uint64_t wanted,
                            uint64_t first, gap_text* out);

// Per-connection user data; the library allocates it zero-filled for every
// connection of our protocols. Only server mode uses it.
struct server_session {
    lws* wsi;
    log_consumer consumer;    // its position in the line log
    server_session* next;     // next entry of the mode's subscriber list
    bool initialized;         // counted, listed and attached to the log
    bool cut;                 // cut off and released; closes at its next writable callback
    bool sequenced;           // on the sequenced protocol
    int64_t behind_since_ms;  // since when it has been further behind than its bounds;
                              // 0 while it is not
    resume_request resume;    // from the handshake's query
    uint64_t start_at;        // without a resume request: the log's next line
                              // when the upgrade was accepted
    gap_text notice;          // goes out before any line when notice_len is not 0
    size_t notice_len;
    uint64_t sent;           // lines written to it, for its disconnect line
    const char* end_reason;  // why it ends, once known; null: the connection was lost
    char peer[56];           // "ADDR:PORT" or "[ADDR]:PORT", for its log lines
};

// The cut-off rule for a subscriber that has not been overtaken: whether it
// has been further behind than its bounds for kBehindMs with its socket
// choked. Updates behind_since_ms from the lag seen at now_ms.
inline constexpr int64_t kBehindMs = 500;
bool too_slow(int64_t* behind_since_ms, const consumer_lag& lag, size_t max_lines, size_t max_bytes,
              bool choked, int64_t now_ms);

// Server mode for st; null when memory for it cannot be had. Its start logs
// "wss_listener_started host=%s port=%d path=/events".
std::unique_ptr<relay_mode> make_mode(relay_state* st);

// True when the peer of the accepted socket fd is on the allow-list; false when
// it is not, or its address cannot be read.
bool peer_allowed(const relay_config* cfg, int fd);

}  // namespace zel::server
