// The relay's runtime after a valid configuration: main queue, libwebsockets
// context, signals, reader thread, 1-second tick, service loop and shutdown.
#pragma once

#include "relay_state.hpp"

// Runs the relay with st->config already validated; returns the exit status
// (0 after an orderly shutdown, 1 when the queue, context or reader thread
// cannot be created).
int relay_run(relay_state *st);
