// The stats line and the metrics file, both built in fixed buffers from one
// capture_counters reading.
#include "capture_stats.hpp"

#include "event_socket.hpp"
#include "sip_record.hpp"
#include "zel_version.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zel {

namespace {

// The stats line with room for every reason: a reason's name is at most 32
// bytes (drop_counts.hpp), a count 20 digits.
constexpr std::size_t kLineBufferSize = 256 + (kDropReasons + kLossReasons) * 56;
static_assert(kMaxSwitchIdBytes + 1 == kSwitchIdSize, "the metrics' label holds any -S value");

// Decimal digits only, no sign or blank, at most `max`.
bool parse_number(const char* text, std::uint32_t max, std::uint32_t* out) {
    if (*text == '\0') return false;
    std::uint64_t v = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(*p - '0');
        if (v > max) return false;
    }
    *out = static_cast<std::uint32_t>(v);
    return true;
}

// Appends the printf result to buf at *used, or leaves both as they were
// when it does not fit whole.
[[gnu::format(printf, 4, 5)]] bool append(char* buf, std::size_t size, std::size_t* used,
                                          const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf + *used, size - *used, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= size - *used) {
        buf[*used] = '\0';
        return false;
    }
    *used += static_cast<std::size_t>(n);
    return true;
}

unsigned long long ull(std::uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// The next due time after `due`, on the same cadence; a pass that came so
// late that it missed whole intervals does not make them up.
capture_stats::clock::time_point next_due(capture_stats::clock::time_point due,
                                          capture_stats::clock::duration every,
                                          capture_stats::clock::time_point now) {
    return due + every > now ? due + every : now + every;
}

// libpcap's counters are read at least this often while an output is on,
// so that a 32-bit counter cannot wrap twice between two readings.
constexpr auto kReadEvery = std::chrono::seconds(1);

}  // namespace

bool set_buffer_size(stats_options& o, const char* text) {
    if (parse_number(text, kMaxBufferKib, &o.buffer_kib)) return true;
    std::fprintf(stderr, "buffer-size must be a whole number of KiB from 0 to %u\n", kMaxBufferKib);
    return false;
}

bool set_stats_interval(stats_options& o, const char* text) {
    if (parse_number(text, kMaxStatsSeconds, &o.stats_seconds)) return true;
    std::fprintf(stderr, "stats-interval must be a whole number of seconds from 0 to %u\n",
                 kMaxStatsSeconds);
    return false;
}

bool set_metrics_file(stats_options& o, const char* text) {
    const std::size_t len = std::strlen(text);
    if (len > 0 && len <= kMaxMetricsPath && metrics_path_names_file(text, len)) {
        o.metrics_path = text;
        return true;
    }
    std::fprintf(stderr, "metrics-file must be an absolute path of a file, at most %zu bytes\n",
                 kMaxMetricsPath);
    return false;
}

bool set_client_buffer(std::uint32_t* kib, const char* text) {
    std::uint32_t v = 0;
    if (parse_number(text, kMaxClientBufferKib, &v) && v >= kMinClientBufferKib) {
        *kib = v;
        return true;
    }
    std::fprintf(stderr, "client-buffer must be a whole number of KiB from %u to %u\n",
                 kMinClientBufferKib, kMaxClientBufferKib);
    return false;
}

std::size_t format_stats_line(const capture_counters& c, char* buf, std::size_t size) {
    if (size == 0) return 0;
    buf[0] = '\0';
    std::uint64_t ignored = 0;
    for (std::uint64_t n : c.ignored.count) ignored += n;
    std::size_t used = 0;
    if (!append(buf, size, &used,
                "stats received=%llu dropped=%llu ifdropped=%llu records=%llu clients=%llu "
                "clients_cut=%llu ignored=%llu",
                ull(c.received), ull(c.dropped), ull(c.ifdropped), ull(c.records), ull(c.clients),
                ull(c.clients_cut), ull(ignored)))
        return used;
    for (std::size_t i = 0; i < kDropReasons; i++) {
        if (c.ignored.count[i] == 0) continue;
        const std::string_view name = kDropReasonNames[i];
        if (!append(buf, size, &used, " %.*s=%llu", static_cast<int>(name.size()), name.data(),
                    ull(c.ignored.count[i])))
            return used;
    }
    if (!c.decoders) return used;
    std::uint64_t lost = 0;
    for (std::uint64_t n : c.lost.count) lost += n;
    if (!append(buf, size, &used, " lost=%llu", ull(lost))) return used;
    for (std::size_t i = 0; i < kLossReasons; i++) {
        if (c.lost.count[i] == 0) continue;
        const std::string_view name = kLossNames[i];
        if (!append(buf, size, &used, " %.*s=%llu", static_cast<int>(name.size()), name.data(),
                    ull(c.lost.count[i])))
            break;
    }
    return used;
}

std::size_t format_metrics(const capture_counters& c, char* buf, std::size_t size) {
    const metric plain[] = {
        {"zel_capture_received_total", "counter",
         "Packets that passed the capture filter as libpcap counts them (ps_recv); on Linux "
         "those dropped are included.",
         c.received},
        {"zel_capture_dropped_total", "counter",
         "Packets lost because the capture buffer was full when they arrived (libpcap's "
         "ps_drop).",
         c.dropped},
        {"zel_capture_ifdropped_total", "counter",
         "Packets the interface or its driver dropped (libpcap's ps_ifdrop).", c.ifdropped},
        {"zel_capture_records_total", "counter", "Records published on the event socket.",
         c.records},
        {"zel_capture_clients", "gauge", "Event socket clients connected.", c.clients},
        {"zel_capture_clients_cut_total", "counter",
         "Event socket clients closed because they could not take a whole line; each lost "
         "what was published until it reconnected.",
         c.clients_cut},
        {"zel_capture_clients_refused_total", "counter",
         "Event socket connections closed at once because all 32 client slots were taken.",
         c.clients_refused},
    };
    const metric ignored = {"zel_capture_ignored_total", "counter",
                            "Captured frames that gave no record, by reason.", 0};
    const metric build = {"zel_capture_build_info", "gauge",
                          "The capture daemon's version, in the version label; always 1.", 1};
    char sw[label_value_room(kMaxSwitchIdBytes)];
    escape_label_value(c.switch_id, sw, sizeof sw);
    std::size_t used = 0;
    if (!append_metric_family(buf, size, &used, build) ||
        !append(buf, size, &used, "%s{switch_id=\"%s\",version=\"%s\"} 1\n", build.name, sw,
                kVersion))
        return 0;
    for (const metric& m : plain) {
        if (!append_metric_family(buf, size, &used, m) ||
            !append(buf, size, &used, "%s{switch_id=\"%s\"} %llu\n", m.name, sw, ull(m.value)))
            return 0;
    }
    if (!append_metric_family(buf, size, &used, ignored)) return 0;
    for (std::size_t i = 0; i < kDropReasons; i++) {
        const std::string_view name = kDropReasonNames[i];
        if (!append(buf, size, &used, "%s{switch_id=\"%s\",reason=\"%.*s\"} %llu\n", ignored.name,
                    sw, static_cast<int>(name.size()), name.data(), ull(c.ignored.count[i])))
            return 0;
    }
    if (!c.decoders) return used;
    const metric lost = {"zel_capture_lost_total", "counter",
                         "What the reassembly and TCP stream tables gave up (datagrams, flows, "
                         "held bytes), by reason.",
                         0};
    if (!append_metric_family(buf, size, &used, lost)) return 0;
    for (std::size_t i = 0; i < kLossReasons; i++) {
        const std::string_view name = kLossNames[i];
        if (!append(buf, size, &used, "%s{switch_id=\"%s\",reason=\"%.*s\"} %llu\n", lost.name,
                    sw, static_cast<int>(name.size()), name.data(), ull(c.lost.count[i])))
            return 0;
    }
    return used;
}

void capture_stats::start(const stats_options& o, clock::time_point now) {
    *this = capture_stats{};
    if (o.stats_seconds != 0) {
        line_every_ = std::chrono::seconds(o.stats_seconds);
        next_line_ = now + line_every_;
    }
    switch_id_ = o.switch_id;
    if (o.metrics_path != nullptr) {
        metrics_path_ = o.metrics_path;
        file_every_ =
            std::chrono::seconds(o.stats_seconds != 0 ? o.stats_seconds : kDefaultMetricsSeconds);
        next_file_ = now;
    }
    if (line_every_ != clock::duration::zero() || file_every_ != clock::duration::zero())
        next_read_ = now + kReadEvery;
    next_any_ = std::min({next_line_, next_file_, next_read_});
}

void capture_stats::report(pcap_t* pcap, const event_socket& events, const drop_counts& ignored,
                           const loss_counts* lost, clock::time_point now) {
    const capture_counters c = read(pcap, events, ignored, lost);
    next_read_ = now + kReadEvery;
    if (now >= next_line_) {
        write_line(c);
        next_line_ = next_due(next_line_, line_every_, now);
    }
    if (now >= next_file_) {
        write_metrics(c);
        next_file_ = next_due(next_file_, file_every_, now);
    }
    next_any_ = std::min({next_line_, next_file_, next_read_});
}

void capture_stats::finish(pcap_t* pcap, const event_socket& events, const drop_counts& ignored,
                           const loss_counts* lost) {
    if (line_every_ == clock::duration::zero() && file_every_ == clock::duration::zero()) return;
    const capture_counters c = read(pcap, events, ignored, lost);
    if (line_every_ != clock::duration::zero()) write_line(c);
    if (file_every_ != clock::duration::zero()) write_metrics(c);
}

// When libpcap cannot give its counters (the interface has gone), the last
// reading stands: the figures never go back.
capture_counters capture_stats::read(pcap_t* pcap, const event_socket& events,
                                     const drop_counts& ignored, const loss_counts* lost) {
    pcap_stat ps{};
    if (pcap_stats(pcap, &ps) == 0) {
        received_.update(ps.ps_recv);
        dropped_.update(ps.ps_drop);
        ifdropped_.update(ps.ps_ifdrop);
    }
    capture_counters c;
    c.received = received_.total;
    c.dropped = dropped_.total;
    c.ifdropped = ifdropped_.total;
    c.records = events.records();
    c.clients = static_cast<std::uint64_t>(events.connected());
    c.clients_cut = events.clients_cut();
    c.clients_refused = events.clients_refused();
    c.switch_id = switch_id_;
    c.ignored = ignored;
    if (lost != nullptr) {
        c.decoders = true;
        c.lost = *lost;
    }
    return c;
}

// One write, so that the line is not interleaved with another's output.
void capture_stats::write_line(const capture_counters& c) {
    static constexpr char kPrefix[] = "zel_packet_monitor: ";
    char line[sizeof kPrefix + kLineBufferSize + 1];
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    std::size_t len = sizeof kPrefix - 1;
    len += format_stats_line(c, line + len, kLineBufferSize);
    line[len++] = '\n';
    (void)std::fwrite(line, 1, len, stderr);
}

// A failing file would otherwise be reported at every interval for as long
// as the fault lasts; one line per distinct failure says all there is to say.
// A text that did not fit its buffer fails at "format" and writes nothing.
void capture_stats::write_metrics(const capture_counters& c) {
    char text[kMetricsBufferSize];
    const std::size_t len = format_metrics(c, text, sizeof text);
    metrics_failure why{};
    if (write_metrics_file(metrics_path_, text, len, &why) == 0) {
        logged_ = metrics_failure{};
        return;
    }
    if (same_failure(why, logged_)) return;
    logged_ = why;
    std::fprintf(stderr, "metrics: %s %s: %s\n", why.step, metrics_path_, std::strerror(why.error));
}

}  // namespace zel
