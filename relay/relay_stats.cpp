// The stats line and the metrics file. Both are built in fixed buffers from
// one relay_stats reading, so the line, the file and the shutdown line agree
// when taken together.
#include "relay_stats.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "relay_config.hpp"
#include "relay_log.hpp"
#include "zel_version.hpp"

namespace zel::stats {

namespace {

static_assert(sizeof(relay_config::switch_id) <= 256, "kMetricsBufferSize holds the label");

// Appends m's family lines and its one sample, labelled with the escaped
// switch id sw, to buf at *used; false once it no longer fits.
bool append(char* buf, size_t size, size_t* used, const metric& m, const char* sw) {
    if (!append_metric_family(buf, size, used, m)) return false;
    const int n = std::snprintf(buf + *used, size - *used, "%s{switch_id=\"%s\"} %llu\n", m.name,
                                sw, static_cast<unsigned long long>(m.value));
    if (n < 0 || static_cast<size_t>(n) >= size - *used) return false;
    *used += static_cast<size_t>(n);
    return true;
}

// A failing file would otherwise log at every interval for as long as the
// fault lasts; one line per distinct failure says all there is to say.
void write_metrics(stats_reporter* r, const relay_stats& s) {
    static char text[kMetricsBufferSize];  // service thread only
    const size_t len = format_metrics(s, text, sizeof text);
    metrics_failure why{};
    if (write_metrics_file(r->metrics_path, text, len, &why) == 0) {
        r->logged = metrics_failure{};
        return;
    }
    if (same_failure(why, r->logged)) return;
    r->logged = why;
    char msg[1400];
    std::snprintf(msg, sizeof msg, "metrics_file_error path=%s reason=%s: %s", r->metrics_path,
                  why.step, std::strerror(why.error));
    log_line("error", msg);
}

// The next time after a due one at now_ms: on the same cadence, but a pass
// that came so late that it missed whole intervals does not make them up.
int64_t next_due(int64_t due_ms, uint32_t seconds, int64_t now_ms) {
    const int64_t step = static_cast<int64_t>(seconds) * 1000;
    return due_ms + step > now_ms ? due_ms + step : now_ms + step;
}

uint64_t delivered(const relay_counters& c, consumer_kind k) {
    return c.delivered[static_cast<size_t>(k)];
}

}  // namespace

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

size_t format_stats_line(const relay_stats& s, char* buf, size_t size) {
    using ull = unsigned long long;
    const relay_counters& c = s.counters;
    int n = 0;
    if (s.server_mode)
        n = std::snprintf(buf, size,
                          "stats sent=%llu dropped=%llu queued=%zu subscribers=%zu read=%llu "
                          "released_unread=%llu slow_consumers=%llu delivered_plain=%llu "
                          "delivered_sequenced=%llu",
                          ull(s.sent), ull(s.dropped), s.queued, s.subscribers, ull(s.read),
                          ull(s.released_unread), ull(c.slow_consumers),
                          ull(delivered(c, consumer_kind::subscriber)),
                          ull(delivered(c, consumer_kind::sequenced)));
    else if (s.bus_mode)
        n = std::snprintf(buf, size,
                          "stats sent=%llu dropped=%llu queued=%zu connected=%s read=%llu "
                          "released_unread=%llu acknowledged=%llu resent=%llu pending=%zu "
                          "reconnects=%llu",
                          ull(s.sent), ull(s.dropped), s.queued, s.connected ? "true" : "false",
                          ull(s.read), ull(s.released_unread), ull(s.acknowledged),
                          ull(c.resent), s.pending, ull(s.reconnects));
    else
        n = std::snprintf(buf, size,
                          "stats sent=%llu dropped=%llu queued=%zu connected=%s read=%llu "
                          "released_unread=%llu resent=%llu",
                          ull(s.sent), ull(s.dropped), s.queued, s.connected ? "true" : "false",
                          ull(s.read), ull(s.released_unread), ull(c.resent));
    if (n < 0 || size == 0) return 0;
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

size_t format_metrics(const relay_stats& s, char* buf, size_t size) {
    const relay_counters& c = s.counters;
    const metric shared[] = {
        {"zel_relay_dropped_total", "counter",
         "Lines the log released before the upstream took them.", s.dropped},
        {"zel_relay_queued", "gauge", "Lines a connected consumer has yet to take.", s.queued},
        {"zel_relay_lines_read_total", "counter", "Lines read from the event socket into the log.",
         s.read},
        {"zel_relay_released_unread_total", "counter",
         "Lines the log released before any consumer took them.", s.released_unread},
    };
    const metric client[] = {
        {"zel_relay_sent_total", "counter", "Lines the upstream's TCP acknowledged.", s.sent},
        {"zel_relay_unacknowledged_total", "counter",
         "Lines written upstream that TCP had not acknowledged when the connection ended or "
         "the relay stopped; lost.",
         c.unacknowledged},
        {"zel_relay_connection_attempts_total", "counter",
         "Connection attempts to the upstream, the first one included.", c.attempts},
        {"zel_relay_connected", "gauge", "1 while the upstream connection is up, else 0.",
         s.connected ? 1u : 0u},
        {"zel_relay_resent_total", "counter",
         "Lines written upstream again after a reconnect, not acknowledged before it.", c.resent},
    };
    const metric server[] = {
        {"zel_relay_sent_total", "counter",
         "Messages written to subscribers, one per line and subscriber.", s.sent},
        {"zel_relay_slow_consumer_disconnects_total", "counter",
         "Subscribers closed for falling behind; each lost the lines after its last.",
         c.slow_consumers},
        {"zel_relay_peer_ip_rejected_total", "counter",
         "Connections closed before TLS: address not on the allow-list.", c.rejected},
        {"zel_relay_handshake_limit_refusals_total", "counter",
         "Connections from listed addresses closed before TLS: too many in handshake.",
         c.handshake_limited},
        {"zel_relay_subscribers", "gauge", "Subscribers connected.", s.subscribers},
        {"zel_relay_delivered_plain_total", "counter",
         "Lines written to subscribers of the plain protocol, one per line and subscriber.",
         delivered(c, consumer_kind::subscriber)},
        {"zel_relay_delivered_sequenced_total", "counter",
         "Lines written to subscribers of the sequenced protocol, one per line and subscriber.",
         delivered(c, consumer_kind::sequenced)},
    };
    const metric bus[] = {
        {"zel_relay_sent_total", "counter",
         "Lines the stream acknowledged, duplicates included.", s.sent},
        {"zel_relay_unacknowledged_total", "counter",
         "Lines published that the stream had not acknowledged when the relay stopped; lost.",
         c.unacknowledged},
        {"zel_relay_connected", "gauge", "1 while the cluster connection is up, else 0.",
         s.connected ? 1u : 0u},
        {"zel_relay_acknowledged_total", "counter",
         "Lines the stream stored, each counted once, duplicates included.", s.acknowledged},
        {"zel_relay_resent_total", "counter",
         "Lines published again after a failed publish or a lost connection.", c.resent},
        {"zel_relay_pending", "gauge", "Publishes waiting for the stream's acknowledgement.",
         s.pending},
        {"zel_relay_reconnects_total", "counter", "Connections to the cluster made again.",
         s.reconnects},
    };
    const metric build = {"zel_relay_build_info", "gauge",
                          "The relay's version, in the version label; always 1.", 1};
    char sw[label_value_room(sizeof(relay_config::switch_id) - 1)];
    escape_label_value(s.switch_id != nullptr && s.switch_id[0] != '\0' ? s.switch_id : "unknown",
                       sw, sizeof sw);
    size_t used = 0;
    if (!append_metric_family(buf, size, &used, build)) return 0;
    const int n = std::snprintf(buf + used, size - used, "%s{switch_id=\"%s\",version=\"%s\"} 1\n",
                                build.name, sw, kVersion);
    if (n < 0 || static_cast<size_t>(n) >= size - used) return 0;
    used += static_cast<size_t>(n);
    const metric* mode = s.server_mode ? server : s.bus_mode ? bus : client;
    const size_t mode_count = s.server_mode ? std::size(server)
                              : s.bus_mode  ? std::size(bus)
                                            : std::size(client);
    // sent first, then what both modes share, then the mode's own.
    if (!append(buf, size, &used, mode[0], sw)) return 0;
    for (const metric& m : shared)
        if (!append(buf, size, &used, m, sw)) return 0;
    for (size_t i = 1; i < mode_count; i++)
        if (!append(buf, size, &used, mode[i], sw)) return 0;
    return used;
}

void reporter_init(stats_reporter* r, const relay_config& cfg, int64_t now_ms) {
    *r = stats_reporter{};
    r->line_seconds = cfg.stats_seconds;
    if (cfg.metrics_file[0] != '\0') {
        r->metrics_path = cfg.metrics_file;
        r->file_seconds = cfg.stats_seconds != 0 ? cfg.stats_seconds : kDefaultMetricsSeconds;
    }
    r->next_line_ms = now_ms + static_cast<int64_t>(r->line_seconds) * 1000;
    r->next_file_ms = now_ms;
}

bool reporter_due(const stats_reporter* r, int64_t now_ms) {
    return (r->line_seconds != 0 && now_ms >= r->next_line_ms) ||
           (r->file_seconds != 0 && now_ms >= r->next_file_ms);
}

void report(stats_reporter* r, const relay_stats& s, int64_t now_ms) {
    if (r->line_seconds != 0 && now_ms >= r->next_line_ms) {
        char line[384];
        format_stats_line(s, line, sizeof line);
        log_line("info", line);
        r->next_line_ms = next_due(r->next_line_ms, r->line_seconds, now_ms);
    }
    if (r->file_seconds != 0 && now_ms >= r->next_file_ms) {
        write_metrics(r, s);
        r->next_file_ms = next_due(r->next_file_ms, r->file_seconds, now_ms);
    }
}

void report_final(stats_reporter* r, const relay_stats& s) {
    if (r->file_seconds != 0) write_metrics(r, s);
}

}  // namespace zel::stats
