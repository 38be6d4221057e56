// The runtime's one view of the active mode (client, server or bus), chosen once at
// start from the configuration, and the protocol's name that both modes use.
// (Both write their lines through relay_frame.) A mode owns all of its
// own state; what both modes share (configuration, line log, context,
// counters) stays in relay_state. Everything here runs on the service thread.
#pragma once

#include <libwebsockets.h>

#include <cstddef>

#include "relay_stats.hpp"

namespace zel {

// The relay's protocol: the protocol table's first entry, what the upstream
// connection binds to, and the protocol a subscriber's upgrade reaches
// without asking for another.
inline constexpr char kProtocolName[] = "zel-pcap-relay";

// The opt-in sequenced protocol: each line in an envelope with its number
// and the run's boot id, and resume by number. The table's second entry,
// with the same callback; the protocol's id tells them apart.
inline constexpr char kSeqProtocolName[] = "zel-pcap-relay.seq";
inline constexpr unsigned kSeqProtocolId = 1;

class relay_mode {
public:
    virtual ~relay_mode() = default;

    // Fills the mode's part of the context-creation record; whatever it
    // points to lives as long as the mode.
    virtual void fill_context_info(lws_context_creation_info* info) = 0;

    // Once the context, the reader thread and the tick are running.
    virtual void start() = 0;

    // Each pass of the service loop, before the library waits for events.
    virtual void service_pass() = 0;

    // Every callback of the relay's protocol, with the library's arguments and
    // its convention for the result (0 go on, nonzero reject or close).
    virtual int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                         size_t len) = 0;

    // At shutdown, once the reader thread has ended and before the context is
    // destroyed.
    virtual void stop() = 0;

    // The mode's own part of a stats reading: subscribers or connected.
    virtual void fill_stats(relay_stats* out) const = 0;
};

}  // namespace zel
