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
// "wss_connection_error reason=..." line of that connection.
//
// Everything here runs on the service thread.
#pragma once

#include <ctime>

#include "relay_state.hpp"

// The service loop's client step: when no attempt is open and `now` has
// reached `reconnect_at`, starts one and logs "wss_connecting", or takes a
// backoff step when the library refuses the request at once.
void client_poll(relay_state *st, time_t now);

// Client mode's part of the context: room in the library's per-thread buffer
// for the handshake of the longest token, path and switch id the
// configuration accepts.
void client_fill_context_info(lws_context_creation_info *info);

// Hands one connection request to the library. 0 when it was accepted (st->wsi
// is then the new connection), -1 when it was refused at once.
int connect_wss(relay_state *st);

// At shutdown, before the context is destroyed: counts the lines TCP has
// acknowledged by now as sent.
void client_stop(relay_state *st);

// Client-mode handling of one library callback; 0 lets the library go on,
// -1 closes the connection (or abandons the handshake).
int client_callback(relay_state *st, lws *wsi, lws_callback_reasons reason,
                    void *user, void *in, size_t len);

// One backoff step at time `now`: clears the connection, sets `reconnect_at`
// to now + delay (+1 s when the drawn jitter reaches a second), doubles the
// next delay up to `reconnect_max`, and logs "wss_disconnected retry_seconds=%u".
void schedule_reconnect(relay_state *st, time_t now);
