// Subscriber server mode: the server-mode branch of the protocol callback,
// the allow-list test, the bound on connections still in handshake and the
// fan-out of main-queue lines into the subscribers' own queues. Everything
// here runs on the service thread.
#pragma once

#include "relay_state.hpp"

// Handles one library callback in server mode; the result follows the
// library's convention (0 go on, nonzero reject or close). A connection from a
// listed address is refused at accept, before TLS, while peers hold
// kHandshakeSlots connections in handshake, or kHandshakesPerAddress from
// that address; refusals log "wss_peer_ip_rejected" and
// "wss_handshake_limit_reached" through a log_throttle.
int server_callback(relay_state *st, lws *wsi, lws_callback_reasons reason,
                    void *user, void *in, size_t len);

// True when the peer of the accepted socket fd is on the allow-list; false when
// it is not, or its address cannot be read.
bool peer_allowed(const relay_config *cfg, int fd);

// Moves up to 64 lines from the main queue into every subscriber queue, no
// more than each has room for, and asks for another pass while lines remain.
// A line that a subscriber not yet serviced has no room for waits in the main
// queue until that subscriber's writable callback wakes fanout again.
void fanout(relay_state *st);

// The 1-second tick's share of server mode: writes the counts of refusals held
// back from the log for at least a second.
void server_tick(relay_state *st);
