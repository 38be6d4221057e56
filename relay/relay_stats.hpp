// What the relay counts about delivery and loss, and the two opt-in ways it
// shows them while it runs: a "stats sent=… dropped=… queued=…" log line every
// PCAP_RELAY_STATS_SECONDS, and PCAP_METRICS_FILE, the same figures and the
// loss counters in Prometheus text format for a textfile collector.
//
// The modes bump relay_counters where things happen; `sent` stays where it
// was, and the line log keeps its own counts (read, released unread,
// dropped), so that they reconcile: every line read is delivered to some
// consumer, released unread, dropped, or still held. The metrics file is replaced
// atomically (a temporary file in its folder, then rename), so a reader never
// sees half of it. A write that fails is logged once per distinct failure and
// never stops the relay.
//
// Everything here runs on the service thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics_file.hpp"
#include "relay_line_log.hpp"

namespace zel {

struct relay_config;

// Service thread only, like the mode state that bumps them.
struct relay_counters {
    uint64_t unacknowledged;     // client: lines written upstream whose TCP never acknowledged them
    uint64_t attempts;           // client: connection attempts, the first one included
    uint64_t slow_consumers;     // server: subscribers cut off for falling behind
    uint64_t rejected;           // server: connections from addresses not on the allow-list
    uint64_t handshake_limited;  // server: connections refused at the handshake bound
    uint64_t resent;             // client: lines written again after a reconnect; bus: published
                                 // again after a rewind
    uint64_t delivered[static_cast<size_t>(consumer_kind::count)];  // lines written, per kind
};

// One reading of everything shown; the runtime fills the shared part, the
// mode its own.
struct relay_stats {
    bool server_mode;
    bool bus_mode;  // PCAP_RELAY_MODE=nats
    uint64_t sent;
    uint64_t read;             // lines the log took in
    uint64_t released_unread;  // lines released before any consumer took them
    uint64_t dropped;          // lines released before the upstream took them
    size_t queued;             // lines a connected consumer has yet to take
    size_t subscribers;        // server mode
    bool connected;            // client and bus modes
    uint64_t acknowledged;     // bus mode: lines the stream stored, duplicates included
    size_t pending;            // bus mode: publishes awaiting their result
    uint64_t reconnects;       // bus mode: connections to the cluster made again
    relay_counters counters;
    const char* switch_id;  // PCAP_RELAY_SWITCH_ID; empty or null in server mode without one
};

namespace stats {

// Room for the longest exposition: 16 families of HELP and TYPE lines, and
// 16 samples of a name, the switch id escaped (255 bytes, each can double),
// the version label and a 20-digit value.
inline constexpr size_t kMetricsBufferSize = 16 * 384 + 16 * (48 + 2 * 255 + 64 + 24);

// When the next outputs are due, and the failure last logged.
struct stats_reporter {
    uint32_t line_seconds;     // 0: no stats line
    uint32_t file_seconds;     // 0: no metrics file
    const char* metrics_path;  // the configuration's, alive as long as it
    int64_t next_line_ms;
    int64_t next_file_ms;
    metrics_failure logged;  // cleared by a write that succeeds
};

// "stats sent=%llu dropped=%llu queued=%zu" with " subscribers=%zu" (server)
// or " connected=true|false" (client), then " read=%llu released_unread=%llu"
// and the mode's own: " slow_consumers=%llu delivered_plain=%llu
// delivered_sequenced=%llu" (server), " resent=%llu" (client), or
// " acknowledged=%llu resent=%llu pending=%zu reconnects=%llu" (bus). Returns the
// length, cut to size - 1.
size_t format_stats_line(const relay_stats& s, char* buf, size_t size);

// The Prometheus text exposition of s: HELP, TYPE and one sample per metric,
// counters named *_total, and zel_relay_build_info carrying the version.
// Every sample has a `switch_id` label ("unknown" when the relay has none),
// so that two relays on one host give two series. Returns the length, or 0
// when buf is too small (kMetricsBufferSize always suffices).
size_t format_metrics(const relay_stats& s, char* buf, size_t size);

// Schedules from the configuration at now_ms (monotonic): the first stats
// line one interval on, the first metrics file at once.
void reporter_init(stats_reporter* r, const relay_config& cfg, int64_t now_ms);

// Whether report() has anything to write at now_ms.
bool reporter_due(const stats_reporter* r, int64_t now_ms);

// Writes whatever is due at now_ms from s and schedules the next ones.
void report(stats_reporter* r, const relay_stats& s, int64_t now_ms);

// At shutdown: the metrics file once more with the final figures; no stats
// line, since the shutdown line carries the totals.
void report_final(stats_reporter* r, const relay_stats& s);

// The monotonic clock in milliseconds.
int64_t monotonic_ms();

}  // namespace stats
}  // namespace zel
