// The relay's process state: what both modes share.
//
// One relay_state lives for the whole run; it is the context's user pointer,
// and the tick's timer points back to it. The reader thread sees only its
// own part (`reader`: the log to append to and the context to wake); the
// active mode keeps its own state behind `mode`. Unless a field says
// otherwise it is touched only on the service (main) thread.
#pragma once

#include <libwebsockets.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "relay_config.hpp"
#include "relay_line_log.hpp"
#include "relay_mode.hpp"
#include "relay_reader.hpp"
#include "relay_stats.hpp"

namespace zel {

struct relay_state;

// The 1-second service tick. The library hands its callback only the list
// entry, so the entry comes first and the state rides beside it.
struct service_timer {
    lws_sorted_usec_list_t sul;
    relay_state* owner;
};

struct relay_state {
    relay_config config;               // read-only once the runtime starts (both threads)
    line_log log;                      // every line read; its own lock (both threads)
    lws_context* context;              // reader thread only calls lws_cancel_service on it
    std::unique_ptr<relay_mode> mode;  // the configured mode, from start to shutdown
    reader::feed reader;               // the reader thread's view, and the thread
    service_timer tick;
    std::atomic<bool> stopping;  // set once at shutdown (both threads)
    // The line the mode wants the reader's next wake for (see reader::feed);
    // 0 wakes it at every receive. Written by the service thread only.
    std::atomic<uint64_t> reader_wake_at{0};
    uint64_t sent;               // client mode: lines the upstream's TCP acknowledged;
                                 // server mode: messages written, per subscriber
    relay_counters counters;     // the modes' delivery, loss and refusal counts
};

}  // namespace zel
