// The relay's process state and the per-subscriber session record.
//
// One relay_state lives for the whole run; it is the context's user pointer
// and is also reachable through signal_state. Unless a field says otherwise it
// is touched only on the service (main) thread.
#pragma once

#include <libwebsockets.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "relay_config.hpp"
#include "relay_throttle.hpp"
#include "zel_relay_queue.hpp"

// Per-connection user data; the library allocates it zero-filled for every
// connection of our protocol. Only server mode uses it.
struct server_session {
    lws *wsi;
    zel_relay_queue queue;   // lines waiting for this subscriber
    server_session *next;    // next entry of relay_state::clients
    bool initialized;        // counted, listed and queue live
    bool overflow;           // lost a line; disconnected at its next writable callback
};

// Server mode: a connection that passed the allow-list and has neither become
// a subscriber nor ended. A peer that connects and never finishes a handshake
// holds a descriptor until the library's handshake time-out (5 to 10 s), so
// without a bound one listed host could take every descriptor. A handshake
// takes milliseconds: 64 at once is several times what the default 16
// subscribers need when all reconnect together, and with them stays far below
// the usual 1,024 descriptors. 16 per address lets one host reconnect that many
// subscribers at once, yet leaves three quarters of the slots to other hosts.
constexpr size_t kHandshakeSlots = 64;
constexpr size_t kHandshakesPerAddress = 16;

struct handshake_slot {
    lws *wsi;         // null from the network filter until the library creates it
    peer_ip address;
    bool used;
};

struct relay_state {
    relay_config config;           // read-only once the runtime starts (both threads)
    zel_relay_queue queue;         // main queue; its own mutex (both threads)
    lws_context *context;          // reader thread only calls lws_cancel_service on it
    lws *wsi;                      // client mode: current upstream connection or null
    pthread_t reader_thread;
    lws_sorted_usec_list_t tick;   // the 1-second service tick
    std::atomic<bool> stopping;    // set once at shutdown (both threads)
    server_session *clients;       // server mode: subscribers, newest first
    size_t client_count;
    bool connected;                // client mode: handshake completed
    uint64_t sent;                 // client mode: lines the upstream's TCP acknowledged;
                                   // server mode: messages written, per subscriber
    uint64_t last_reported_dropped;  // reader thread only
    uint32_t reconnect_delay;      // client mode: seconds for the next backoff step
    time_t reconnect_at;           // client mode: earliest next attempt; 0 at start
    // Server mode only, all on the service thread:
    handshake_slot handshakes[kHandshakeSlots];
    size_t handshake_count;        // used entries of handshakes
    log_throttle rejected_log;     // "wss_peer_ip_rejected"
    log_throttle handshake_log;    // "wss_handshake_limit_reached"
    bool fanout_waiting;           // a line waits for a subscriber's writable callback
};
