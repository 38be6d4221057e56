// Subscriber server mode: the listener's part of the context, the allow-list
// test, the bound on connections still in handshake, the fan-out of
// main-queue lines into the subscribers' own queues and their writes.
// Everything here runs on the service thread.
//
// A connection from a listed address is refused at accept, before TLS, while
// peers hold 64 connections in handshake, or 16 from that address; refusals
// log "wss_peer_ip_rejected" and "wss_handshake_limit_reached" through a
// log_throttle, whose held-back counts are written by the service loop.
#pragma once

#include <cstdint>
#include <memory>

#include "relay_state.hpp"

namespace zel::server {

// Per-connection user data; the library allocates it zero-filled for every
// connection of our protocol. Only server mode uses it.
struct server_session {
    lws* wsi;
    zel_relay_queue queue;    // lines waiting for this subscriber
    server_session* next;     // next entry of the mode's subscriber list
    bool initialized;         // counted, listed and queue live
    bool overflow;            // lost a line; disconnected at its next writable callback
    bool cut;                 // cut off and released; closes at its next writable callback
    int64_t choked_since_ms;  // when its queue was first seen full and its socket
                              // choked, with no write taken since; 0 otherwise
    uint64_t sent;            // lines written to it, for its disconnect line
    const char* end_reason;   // why it ends, once known; null: the connection was lost
    char peer[56];            // "ADDR:PORT" or "[ADDR]:PORT", for its log lines
};

// Server mode for st; null when memory for it cannot be had. Its start logs
// "wss_listener_started host=%s port=%d path=/events".
std::unique_ptr<relay_mode> make_mode(relay_state* st);

// True when the peer of the accepted socket fd is on the allow-list; false when
// it is not, or its address cannot be read.
bool peer_allowed(const relay_config* cfg, int fd);

}  // namespace zel::server
