// What the capture daemon counts about loss, and the opt-in ways it shows
// it while it runs: a "stats" line on standard error every
// --stats-interval seconds and once more at shutdown, and --metrics-file,
// the same counters in Prometheus text format for node_exporter's textfile
// collector, rewritten atomically. Also the options that govern loss:
// those two and --buffer-size, the kernel capture buffer that a burst must
// fit into while the daemon is not reading.
//
// One reading of all counters feeds the line and the file, so they agree.
// libpcap's counters are 32 bits wide and wrap; they are read at least once
// a second while an output is on and widened, so that the figures shown
// stay cumulative. A metrics write that fails is reported on standard error
// once per distinct failure and never stops the daemon. With no option
// given nothing here prints, writes or reads anything.
//
// Threads: the daemon's only one.
#pragma once

#include "drop_counts.hpp"
#include "loss_counts.hpp"
#include "metrics_file.hpp"

#include <pcap/pcap.h>

#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace zel {

class event_socket;

// pcap_set_buffer_size takes an int of bytes.
inline constexpr std::uint32_t kMaxBufferKib = INT_MAX / 1024;

// The longest switch id (-S), which labels every metric.
inline constexpr std::size_t kMaxSwitchIdBytes = 127;

// The metrics file's buffer, from what can be in it: ten families (seven
// plain counters and gauges, the build info, the ignored and the lost
// reasons), each with its HELP and TYPE lines, and a sample per plain
// metric, per drop reason and per loss reason. A sample is its name, the
// switch id escaped (each byte can double), the other labels (a reason of
// at most 32 bytes, the version) and a 20-digit value. A reason added to
// either enum grows the buffer with it.
inline constexpr std::size_t kMetricFamilies = 10;
inline constexpr std::size_t kMetricFamilyBytes = 384;
inline constexpr std::size_t kMetricSampleBytes = 48 + 2 * kMaxSwitchIdBytes + 80 + 24;
inline constexpr std::size_t kMetricsBufferSize =
    kMetricFamilies * kMetricFamilyBytes +
    (kMetricFamilies - 2 + kDropReasons + kLossReasons) * kMetricSampleBytes;

// --client-buffer, in KiB: at least one whole gathered batch of records
// (the kernel charges a send to the doubled size, so half of it), at most
// what the kernel takes (SO_SNDBUFFORCE halves INT_MAX).
inline constexpr std::uint32_t kMinClientBufferKib = 1024;
inline constexpr std::uint32_t kMaxClientBufferKib = 1048576;

struct stats_options {
    std::uint32_t buffer_kib = 0;        // 0: libpcap's default
    std::uint32_t stats_seconds = 0;     // 0: no stats line
    const char* metrics_path = nullptr;  // null: no metrics file; points into argv
    const char* switch_id = "unknown";   // -S: the metrics' switch_id label
};

// Each takes an option's argument into `o` and returns true, or prints its
// one sentence on standard error and returns false (a command-line error).
// Numbers are decimal digits only, at most kMaxBufferKib and
// kMaxStatsSeconds; the metrics path must be absolute, name a file (no
// trailing '/') and be at most kMaxMetricsPath bytes.
bool set_buffer_size(stats_options& o, const char* text);
bool set_stats_interval(stats_options& o, const char* text);
bool set_metrics_file(stats_options& o, const char* text);
// --client-buffer into *kib: decimal digits only, kMinClientBufferKib to
// kMaxClientBufferKib.
bool set_client_buffer(std::uint32_t* kib, const char* text);

// A counter that libpcap keeps in 32 bits, widened: fed every reading, it
// adds what the counter moved since the last one, across a wrap.
struct wide_counter {
    std::uint32_t last = 0;
    std::uint64_t total = 0;

    void update(std::uint32_t now) {
        total += static_cast<std::uint32_t>(now - last);
        last = now;
    }
};

// One reading of everything shown.
struct capture_counters {
    std::uint64_t received = 0;   // libpcap's ps_recv
    std::uint64_t dropped = 0;    // ps_drop: no room in the capture buffer
    std::uint64_t ifdropped = 0;  // ps_ifdrop: dropped by the interface
    std::uint64_t records = 0;
    std::uint64_t clients = 0;
    std::uint64_t clients_cut = 0;
    std::uint64_t clients_refused = 0;
    const char* switch_id = "unknown";  // labels every metric; at most 127 bytes
    drop_counts ignored;
    // What the opt-in decoders' tables gave up; shown only when `decoders`
    // (one of --reassemble, --tcp… is on), so the default output stays.
    bool decoders = false;
    loss_counts lost;
};

// "stats received=… dropped=… ifdropped=… records=… clients=… clients_cut=…
// ignored=N" followed by " name=count" for every reason with a count, in
// drop_reason order; with the opt-in decoders then " lost=N" and the same
// breakdown by loss_reason. Returns the length; a line that does not fit is cut
// at a whole field.
std::size_t format_stats_line(const capture_counters& c, char* buf, std::size_t size);

// The Prometheus text exposition of c: HELP, TYPE and samples per metric,
// counters named *_total, the ignored frames one counter with a `reason`
// label per drop_reason (and with the opt-in decoders zel_capture_lost_total
// with one per loss_reason), zel_capture_build_info carrying the version.
// Every sample has a `switch_id` label, so that two daemons on one host
// give two series. Returns the length, or 0 when buf is too small
// (kMetricsBufferSize always suffices).
std::size_t format_metrics(const capture_counters& c, char* buf, std::size_t size);

class capture_stats {
public:
    using clock = std::chrono::steady_clock;

    // Schedules the outputs of `o` from `now`: the first stats line one
    // interval on, the first metrics file at once.
    void start(const stats_options& o, clock::time_point now);

    // Once per pass of the capture loop: reads the counters and writes
    // whatever is due at `now`. A pass that comes after whole intervals
    // were missed (the process was stopped) writes once, not once per
    // interval.
    // `lost` is null when no opt-in decoder runs.
    void tick(pcap_t* pcap, const event_socket& events, const drop_counts& ignored,
              const loss_counts* lost, clock::time_point now) {
        if (now >= next_any_) report(pcap, events, ignored, lost, now);
    }

    // At shutdown, before the capture is closed: the stats line and the
    // metrics file once more, with the final figures.
    void finish(pcap_t* pcap, const event_socket& events, const drop_counts& ignored,
                const loss_counts* lost);

private:
    void report(pcap_t* pcap, const event_socket& events, const drop_counts& ignored,
                const loss_counts* lost, clock::time_point now);
    capture_counters read(pcap_t* pcap, const event_socket& events, const drop_counts& ignored,
                          const loss_counts* lost);
    void write_line(const capture_counters& c);
    void write_metrics(const capture_counters& c);

    clock::duration line_every_{};  // zero: off
    clock::duration file_every_{};  // zero: off
    const char* metrics_path_ = nullptr;
    const char* switch_id_ = "unknown";
    clock::time_point next_line_ = clock::time_point::max();
    clock::time_point next_file_ = clock::time_point::max();
    clock::time_point next_read_ = clock::time_point::max();
    clock::time_point next_any_ = clock::time_point::max();
    wide_counter received_, dropped_, ifdropped_;
    metrics_failure logged_{};  // the failure last reported; cleared by a success
};

}  // namespace zel
