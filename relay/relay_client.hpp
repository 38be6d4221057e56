// Upstream client mode: one TLS WebSocket connection to PCAP_RELAY_URL that
// carries every event line as one text message, oldest first, with the bearer
// token and switch id in the handshake, a ping every 20 seconds, and
// exponential backoff with jitter between attempts.
//
// Promises: exactly one backoff step per failed or ended attempt, whatever
// mix of error and close callbacks the library delivers for it; no attempt is
// started from inside a callback; nothing the server sends is acted upon, and
// no redirect is followed. An attempt without a completed handshake 20 s after
// its request, and a connection whose written bytes TCP leaves unacknowledged
// for 10 s, are cut and retried. A line counts as sent once TCP has
// acknowledged it; lines cut off before that are reported as lost in the
// "wss_connection_error reason=..." line of that connection. At stop the
// upstream has up to a second to acknowledge what it was sent; what it has not
// by then is reported the same way, with the reason "relay stopping".
//
// The upstream is the line log's one consumer, from the first line on; lines
// released before it took them count as dropped. With PCAP_RELAY_SEQUENCE it
// offers the sequenced protocol, sends envelopes when the upstream chooses
// it, and after a connection ends starts the next one at the first line that
// connection had not had acknowledged (still held lines are sent again, not
// lost).
//
// Everything here runs on the service thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "relay_state.hpp"

namespace zel::client {

// The upstream connection and the backoff between attempts.
struct upstream {
    lws* wsi;                  // the current attempt's connection, written by the library
                               // through the connect request; null while waiting
    bool connected;            // its handshake has completed
    uint32_t reconnect_delay;  // seconds for the next backoff step
    time_t reconnect_at;       // earliest next attempt, in seconds of the monotonic clock;
                               // 0 at start, so the first is at once
};

// Client mode for st, its backoff starting at the configured minimum; null
// when memory for it cannot be had.
std::unique_ptr<relay_mode> make_mode(relay_state* st);

// One backoff step at time `now` (monotonic seconds): clears the connection, sets `reconnect_at`
// to now + delay (+1 s when the drawn jitter reaches a second), doubles the
// next delay up to `reconnect_max`, and logs "wss_disconnected retry_seconds=%u".
void schedule_reconnect(const relay_config& cfg, upstream* up, time_t now);

}  // namespace zel::client
