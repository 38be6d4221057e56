// The relay's runtime after a valid configuration: the line log, the one
// libwebsockets context with the protocol table, SIGINT/SIGTERM handling,
// the reader thread, the 1-second tick, the service loop with its stats line
// and metrics file when configured, and the orderly shutdown that logs
// "shutdown sent=%llu dropped=%llu queued=%zu" and writes the metrics file a
// last time.
//
// relay_run is called once, on the main thread, which then becomes the service
// thread: every library callback, the tick and the shutdown run on it.
#pragma once

#include "relay_state.hpp"

namespace zel {

// Runs the relay with st->config already validated; returns the exit status
// (0 after an orderly shutdown, 1 when the log, context or reader thread
// cannot be created, with "pthread_create: <system text>" on standard error
// for the last).
int relay_run(relay_state* st);

// The protocol callback of "zel-pcap-relay": finds the relay_state through the
// connection's context and hands the callback to the active mode. Returns 0
// when there is no state or mode to find, or the mode does not handle the
// reason.
int relay_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);

}  // namespace zel
