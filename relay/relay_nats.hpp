// Bus mode: the line log's one consumer that publishes every line, unchanged,
// as one message into a NATS JetStream stream through nats_publisher.
//
// Promises: after a failed publish or a lost connection the consumer goes
// back to the first line not yet acknowledged and publishes again in order,
// from the log, which holds every line its bounds allow; a line it no longer
// holds by then is counted as unacknowledged (lost), never skipped silently.
// Lines are published in batches, once 64 are ready or the oldest has waited
// 3-4 ms (at stop, at once); meanwhile the reader wakes the service thread
// only for a full batch. The library's threads wake the service thread once
// per batch of results, and a sul wakes it when a hold ends. While the cluster is
// away the log fills and releases its oldest lines, counted as dropped. `sent`
// counts lines the stream acknowledged (duplicates included). At stop the
// stream has up to a second for outstanding acknowledgements; lines published
// and not acknowledged by then are reported in one "nats_disconnected" line
// and counted as unacknowledged.
//
// Everything here runs on the service thread; the publisher's own threads
// reach it only through the wake (lws_cancel_service).
#pragma once

#include <memory>

#include "relay_state.hpp"

namespace zel::nats {

// Bus mode for st: the log consumer attached at the first line and a
// publisher built from the configuration; null after a message on standard
// error when the publisher refuses the configuration or memory runs out.
std::unique_ptr<relay_mode> make_mode(relay_state* st);

}  // namespace zel::nats
