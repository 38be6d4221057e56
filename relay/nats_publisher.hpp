// The bus mode's link to a NATS JetStream cluster: owns the libnats
// connection, its JetStream context and the thread that connects and checks
// the stream, and publishes lines handed to it by the log's consumer, each as
// one message with its identity in headers.
//
// Promises:
// - The connection is retried forever with growing delays and jitter, from
//   the first attempt on. Secrets are read from files and never logged.
// - The stream named in the configuration must hold the subject. It is
//   created when missing only if asked, with a duplicate window of at least
//   2 minutes; it is never deleted or created again.
// - Publishing is asynchronous with at most max_pending results outstanding.
//   Results and connection events reach the service thread through one
//   mutex-guarded list; libnats' threads wake the service thread only for a
//   failure, an event, a full batch, or when it waits for results, never once
//   per line.
// - On a failed or timed-out publish or a lost connection nothing more is
//   published until every outstanding result is in; then rewind() names the
//   line to resend from, and the consumer offers lines again from there in
//   order (see nats_ledger.hpp).
//
// Threads: create(), start() and stop() run on the service thread, as does
// every other member unless it says otherwise. The module adds one thread of
// its own (connect and stream check); libnats adds its timer, asynchronous
// callback and garbage-collection threads, and per connection a read loop, a
// flusher, a reconnect thread while reconnecting and the delivery thread of
// the acknowledgement subscription.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "nats_ledger.hpp"

namespace zel::nats {

struct publisher_config {
    std::vector<std::string> servers;  // nats:// or tls:// URLs, at least one
    std::string subject;               // a valid publish subject
    std::string stream;                // the stream that must hold it
    std::string switch_id;             // 1 to 255 bytes, no control byte
    std::string boot;                  // the run's boot id, no control byte
    // Credentials, all from files: a token, a credentials file, or a user
    // with a password file. Empty means not used.
    std::string token_file;
    std::string creds_file;
    std::string user;
    std::string password_file;
    // TLS: a CA to check servers with; a client certificate and its key; the
    // name to expect in every server's certificate (empty: each URL's host).
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    std::string expected_hostname;
    size_t max_pending = 4096;
    bool create_stream = false;
    int64_t replicas = 1;
    int64_t max_age_seconds = 0;  // 0: no limit
    int64_t max_bytes = 0;        // 0: no limit
    int64_t ack_wait_ms = 2000;   // a result not in by then counts as failed
};

// Wakes the service thread; called from libnats' threads while the module's
// lock is held, so it must only signal (lws_cancel_service).
using wake_fn = void (*)(void* arg);

struct publisher_stats {
    uint64_t acknowledged;  // lines the stream has stored, each once
    uint64_t duplicates;    // of those acknowledgements, marked duplicate
    uint64_t failures;      // failed, timed-out or refused publishes
    uint64_t resent;        // lines published again after a rewind
    uint64_t rewinds;
    uint64_t given_up;      // unsettled lines the log no longer held
    uint64_t reconnects;
    size_t pending;         // published, result not yet in
    bool connected;
    bool stream_ready;
};

class publisher;

// Reads a secret of 1 to 4,095 bytes from a regular file, without its
// trailing CR and LF bytes. On failure returns -1 with a sentence naming
// `what` (the key) in *err; the secret never appears in it.
int read_secret_file(const std::string& path, const char* what, std::string* out,
                     std::string* err);

// Checks what can be checked without the network (subject, ids, files);
// null with a sentence in *err when the configuration cannot work.
std::unique_ptr<publisher> make_publisher(const publisher_config& cfg, wake_fn wake,
                                          void* wake_arg, std::string* err);

class publisher {
public:
    virtual ~publisher() = default;

    // Starts the connect-and-check thread; 0, or -1 with *err set.
    virtual int start(std::string* err) = 0;

    // Takes every result and event handed over since the last call, logs the
    // events ("nats_connected", "nats_disconnected reason=...",
    // "nats_stream_missing", "nats_publish_failed reason=... resend_from=...")
    // and applies the results. Call at the top of each service pass.
    virtual void take() = 0;

    // After take(): true once all results are in after a failure or a lost
    // connection; the consumer goes back to *from and offers lines again.
    virtual bool rewind(uint64_t* from) = 0;

    // Lines publish() accepts now: 0 while not connected, the stream is not
    // ready, results are awaited, or a retry waits for now_ms to pass
    // retry_at_ms().
    virtual size_t room(int64_t now_ms) = 0;

    // Publishes the line with sequence number seq (or skips it, already
    // stored). 0 when the consumer may move past it; -1 when it must keep it
    // and offer it again later. A publish the library refuses at once counts
    // as a failed result.
    virtual int publish(uint64_t seq, std::span<const unsigned char> line) = 0;

    // When a retry hold ends (monotonic ms), or -1: the caller wakes then.
    virtual int64_t retry_at_ms() const = 0;

    virtual publisher_stats stats() const = 0;

    // Every line before this one is settled: acknowledged, or given up as no
    // longer held. 0 before the first publish. The caller keeps the lines
    // from here on, to offer them again after a rewind.
    virtual uint64_t settled_before() const = 0;

    // At shutdown: waits up to grace_ms for outstanding results, closes the
    // connection and ends the module's and the library's threads. Returns the
    // number of lines published and not acknowledged. No wake is made once it
    // returns.
    virtual size_t stop(int64_t grace_ms) = 0;
};

}  // namespace zel::nats
