// The event socket reader: the relay's second thread. It keeps a client
// connection to the capture daemon's Unix socket (retrying once a second
// while it cannot connect, logging "unix_socket_error" at the first failure
// and each change of reason, "unix_socket_disconnected" when an established
// connection ends other than at shutdown, then trying again at once), cuts
// the byte stream into event lines, appends each line to the line log and
// wakes the service thread once for all the lines of one receive (a wake-up
// per line cost a context switch per line), or, while the feed is busy, for
// all the lines of up to 0.5 ms.
//
// line_cutter is the stream-to-lines step on its own, without sockets, so that
// it can be tested and fuzzed: whatever the chunking of a stream, it yields
// the same lines. It is owned by one thread at a time.
//
// reader_start runs on the main thread; reader_main and queue_line run on the
// reader thread, which touches only its feed: the log (append only), the
// context (cancel-service only), the socket path, `stopping` and
// `last_reported_dropped`.
#pragma once

#include <libwebsockets.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "relay_line_log.hpp"

namespace zel::reader {

// All the reader needs: somewhere to append, someone to wake, and when to
// stop. Filled by the runtime before reader_start; the pointers outlive the
// thread.
struct feed {
    line_log* log;
    lws_context* context;
    const char* socket_path;
    const std::atomic<bool>* stopping;
    uint64_t last_reported_dropped;  // reader thread only
    pthread_t thread;
    // The service thread wants a wake only once the log holds the line with
    // this number; 0 (or no pointer): at every receive, as always. Whoever
    // raises it has a timer of its own running, so no line waits on it for
    // long. Written by the service thread.
    const std::atomic<uint64_t>* wake_at = nullptr;
    uint64_t appended = 0;  // lines appended so far; reader thread only
};

// Longest line carried; one more byte of room lets a full-length line arrive
// together with its newline.
inline constexpr size_t kMaxLine = 262144;
inline constexpr size_t kBufferSize = kMaxLine + 1;

// Called once per complete line, with CR/LF trimmed; len is 1..kMaxLine.
using line_sink = void (*)(void* arg, const unsigned char* line, size_t len);

struct line_cutter {
    unsigned char buf[kBufferSize];
    size_t used;      // bytes of the unfinished line held at the front of buf
    bool discarding;  // skipping the rest of an over-long line up to its newline
};

// Forgets any partial line, as at the start of every connection.
void line_cutter_reset(line_cutter* c);

// Where the next receive may write, and how many bytes it may write (never 0).
unsigned char* line_cutter_space(line_cutter* c, size_t* room);

// Accounts for n bytes just written at line_cutter_space, hands every line
// completed by them to sink, and keeps the unfinished rest. A line that
// reaches kBufferSize bytes without a newline is dropped, up to and
// including its newline.
void line_cutter_commit(line_cutter* c, size_t n, line_sink sink, void* arg);

// Copies data in as successive receives would, calling sink for each line.
void line_cutter_feed(line_cutter* c, const unsigned char* data, size_t len, line_sink sink,
                      void* arg);

// Appends one line to the log, logs "event_queue_allocation_failed" when the
// append fails and "event_queue_full dropped=%llu" when the log's drop count
// reaches 1 or a new multiple of 1,000. The caller wakes the service thread
// (wake_service) once it has appended every line it has, also after a failed
// append. Reader thread only.
void queue_line(feed* f, const unsigned char* line, size_t len);

// Wakes the service thread so that it sends what was appended; any thread.
void wake_service(feed* f);

// Thread entry; arg is the feed. Returns null once `stopping` is seen.
void* reader_main(void* arg);

// Starts reader_main on f->thread with SIGINT, SIGTERM and SIGHUP blocked in
// it, so that signals interrupt the service thread's wait instead. Returns 0, or the
// error number of pthread_create (the caller's signal mask is restored either
// way).
int reader_start(feed* f);

}  // namespace zel::reader
