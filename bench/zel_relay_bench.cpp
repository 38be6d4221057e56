// zel_relay_bench: how many event lines per second the relay carries from its
// event socket to TLS WebSocket peers.
//
// One process plays both ends around a running zel_packet_monitor_wss:
// - a feeder thread stands in for the capture daemon: it listens on the event
//   socket path and writes 500-byte lines, each with a sequence number, as
//   fast as the relay reads them (blocking writes) or at a fixed rate;
// - the main thread runs the receivers: N subscriber connections to the
//   relay's "/events" (server-mode runs; bare OpenSSL connections with their
//   own frame parser, zel_relay_bench_ws, because the library's client parser
//   could not keep up with the relay), or one libwebsockets TLS server that
//   the relay connects to as its upstream (client-mode runs).
// With --udp-feed the feeder plays the network instead: it sends SIP datagrams
// on loopback to a capture daemon that the relay reads, and the receivers
// check the daemon's records of them (the whole pipeline).
// Receivers check that every message is one whole line, in order, and count
// the lines lost in gaps; the report gives lines/s per connection and in all,
// the CPU share of the receiving thread (to show it is not what limits the
// figure) and of the relay process, and, after SIGTERM, the relay's own
// counters from its shutdown line.
//
// Exit status: 0 after a complete run, 1 when a peer cannot be set up or a
// line arrives corrupted or out of order, 2 for bad usage.
#include <fcntl.h>
#include <getopt.h>
#include <libwebsockets.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "zel_relay_bench_line.hpp"
#include "zel_relay_bench_ws.hpp"

namespace {

constexpr int kMaxConns = 64;
constexpr size_t kBatchLines = 64;  // lines per write to the event socket
constexpr size_t kWireLine = kBenchLineSize + 1;
constexpr int64_t kNsPerSec = 1'000'000'000;
constexpr int64_t kSettleNs = 200'000'000;  // lets the relay finish admitting
constexpr int64_t kIdleDrainNs = 2 * kNsPerSec;
constexpr int64_t kDrainCapNs = 60 * kNsPerSec;
constexpr int64_t kShutdownWaitNs = 20 * kNsPerSec;
constexpr lws_usec_t kTickUs = 50'000;  // lws_service ignores its time-out
constexpr const char* kProtocolName = "zel-bench-rx";

enum class run_mode { server, client };

struct options {
    const char* socket_path = nullptr;
    run_mode mode = run_mode::server;
    int port = 0;
    int subscribers = 1;
    int stalled = 0;  // subscribers that never read while lines flow
    const char* ca = nullptr;
    const char* cert = nullptr;
    const char* key = nullptr;
    const char* token = nullptr;
    const char* switch_id = nullptr;
    double seconds = 5.0;
    int connect_seconds = 20;  // for the relay and the subscribers to connect
    uint64_t max_lines = 0;    // 0: no limit
    uint64_t rate = 0;         // lines/s; 0: as fast as the relay reads
    pid_t relay_pid = 0;
    const char* relay_log = nullptr;
    int udp_port = 0;  // whole-pipeline runs: the daemon's capture port
};

int64_t clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}
int64_t now_ns() {
    return clock_ns(CLOCK_MONOTONIC);
}
int64_t thread_cpu_ns() {
    return clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

// User plus system time of a whole process, or -1 when it cannot be read.
int64_t process_cpu_ns(pid_t pid) {
    if (pid <= 0) return -1;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return -1;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name may hold spaces and parentheses; fields restart after
    // the last ')'. utime and stime are fields 14 and 15.
    const char* p = std::strrchr(buf, ')');
    if (p == nullptr) return -1;
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) != 2)
        return -1;
    const long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0) return -1;
    return static_cast<int64_t>((utime + stime) * (kNsPerSec / hz));
}

// The one CPU a process is pinned to, or -1 when it may run on several.
int pinned_cpu(pid_t pid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(pid, sizeof set, &set) != 0 || CPU_COUNT(&set) != 1) return -1;
    for (int i = 0; i < CPU_SETSIZE; i++)
        if (CPU_ISSET(i, &set)) return i;
    return -1;
}

// Busy and total jiffies of one CPU since boot, from /proc/stat.
struct cpu_jiffies {
    unsigned long long busy = 0, total = 0;
};

// Reads the lines of cpu_a and cpu_b (either may be -1); false when the
// file cannot be read. Stops before the long interrupt lines.
bool read_cpu_jiffies(int cpu_a, int cpu_b, cpu_jiffies* a, cpu_jiffies* b) {
    FILE* f = std::fopen("/proc/stat", "r");
    if (f == nullptr) return false;
    char line[512];
    int found = 0;
    const int want = (cpu_a >= 0) + (cpu_b >= 0);
    while (found < want && std::fgets(line, sizeof line, f) != nullptr) {
        int cpu = -1;
        unsigned long long v[8] = {};
        if (std::sscanf(line, "cpu%d %llu %llu %llu %llu %llu %llu %llu %llu", &cpu, &v[0], &v[1],
                        &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]) != 9)
            continue;
        // user nice system idle iowait irq softirq steal
        const cpu_jiffies j{v[0] + v[1] + v[2] + v[5] + v[6] + v[7],
                            v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7]};
        if (cpu == cpu_a) *a = j, found++;
        if (cpu == cpu_b) *b = j, found++;
    }
    std::fclose(f);
    return found == want;
}

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// One receiving connection. Main thread only.
struct conn_stats {
    lws* wsi = nullptr;
    ws_sub* sub = nullptr;  // server-mode runs: the native subscriber
    bool established = false;
    bool closed = false;
    bool closed_in_run = false;  // closed before the run ended, not by our SIGTERM
    int close_code = 0;          // from the peer's close frame; 0 when none came
    char close_reason[64] = {};
    char error[128] = {};  // connection error text, client connections only
    bench_seq_stats seq;
    int64_t t_last = 0;
    char frag[kWireLine] = {};
    size_t frag_len = 0;
    bool frag_over = false;
};

// Shared by the feeder thread and the main thread; every field is atomic.
struct feed_shared {
    std::atomic<bool> accepted{false};  // the relay connected to the event socket
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> fed{0};  // lines written whole to the socket
    std::atomic<int64_t> t_start{0};
    std::atomic<int64_t> t_end{0};
    std::atomic<int64_t> cpu_ns{0};
    std::atomic<int> error{0};     // errno of the write that failed
    std::atomic<int> src_port{0};  // whole-pipeline runs: the datagrams' source
};

struct bench {
    options opt;
    feed_shared feed;
    int listen_fd = -1;
    // Everything below: main thread only.
    lws_context* ctx = nullptr;
    lws_sorted_usec_list_t tick{};
    conn_stats conns[kMaxConns];
    int conn_count = 0;
    conn_stats stalled[kMaxConns];  // read only after the run, to see how each ended
    int established = 0;
    int refused = 0;  // client-mode handshakes without the expected headers
    uint64_t total_received = 0;
    int64_t t_last_any = 0;
    // CPU used by this thread and by the relay, sampled every 256 messages
    // so that both figures cover the same window as the rates.
    int64_t rx_cpu_start = 0;
    int64_t relay_cpu_start = -1;
    int64_t rx_cpu_last = 0;
    int64_t relay_cpu_last = -1;
    int64_t cpu_last_t = 0;
    int64_t t_go = 0;
    // Whole-core load over the same window, for the cores the relay and this
    // process are pinned to: shows how much of each went to other programs.
    int relay_core = -1;
    int bench_core = -1;
    cpu_jiffies relay_core_start, bench_core_start, relay_core_last, bench_core_last;
};

bench g_bench;

// ---- feeder (its own thread) -------------------------------------------------

int send_all(bench* b, int fd, const char* p, size_t left) {
    while (left > 0) {
        const ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        // The send time-out only bounds how long a stop request waits.
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (b->feed.stop.load()) return -1;
            continue;
        }
        return -1;
    }
    return 0;
}

int accept_relay(bench* b) {
    while (!b->feed.stop.load()) {
        pollfd pfd{b->listen_fd, POLLIN, 0};
        const int r = poll(&pfd, 1, 200);
        if (r < 0 && errno != EINTR) return -1;
        if (r <= 0) continue;
        const int fd = accept4(b->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR && errno != ECONNABORTED) return -1;
    }
    return -1;
}

// Lines due by `now` at the paced rate, counted from the start of the feed.
uint64_t lines_due(uint64_t rate, int64_t elapsed_ns) {
    return static_cast<uint64_t>(static_cast<__int128>(elapsed_ns) * rate / kNsPerSec);
}

// How many lines the feed writes next (at most kBatchLines), once the pace
// allows any; 0 when the feed is over: stopped, past its deadline or its
// line limit.
uint64_t next_batch(bench* b, int64_t t0, int64_t deadline, uint64_t seq) {
    const options& o = b->opt;
    while (!b->feed.stop.load()) {
        const int64_t now = now_ns();
        if (now >= deadline || (o.max_lines != 0 && seq >= o.max_lines)) return 0;
        uint64_t n = kBatchLines;
        if (o.max_lines != 0) n = std::min(n, o.max_lines - seq);
        if (o.rate == 0) return n;
        const uint64_t due = lines_due(o.rate, now - t0);
        if (due > seq) return std::min(n, due - seq);
        const int64_t next =
            t0 + static_cast<int64_t>(static_cast<__int128>(seq + 1) * kNsPerSec / o.rate);
        const timespec ts{static_cast<time_t>(next / kNsPerSec),
                          static_cast<long>(next % kNsPerSec)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    return 0;
}

void feed_lines(bench* b, int fd) {
    static char buf[kBatchLines * kWireLine];
    const options& o = b->opt;
    const int64_t t0 = now_ns();
    const int64_t cpu0 = thread_cpu_ns();
    const int64_t deadline = t0 + static_cast<int64_t>(o.seconds * kNsPerSec);
    b->feed.t_start.store(t0);
    uint64_t seq = 0;
    for (;;) {
        const uint64_t n = next_batch(b, t0, deadline, seq);
        if (n == 0) break;
        const int64_t ms = clock_ns(CLOCK_REALTIME) / 1'000'000;
        for (uint64_t i = 0; i < n; i++)
            bench_line_format({buf + i * kWireLine, kWireLine}, seq + i, ms);
        if (send_all(b, fd, buf, n * kWireLine) != 0) {
            if (!b->feed.stop.load()) b->feed.error.store(errno != 0 ? errno : EPIPE);
            break;
        }
        seq += n;
        b->feed.fed.store(seq);
    }
    b->feed.t_end.store(now_ns());
    b->feed.cpu_ns.store(thread_cpu_ns() - cpu0);
}

// Whole-pipeline runs: paced batches of datagrams with one sendmmsg each. A
// sink socket bound to the port keeps the kernel from answering every
// datagram with an ICMP error; it is never read, so it costs only its drops.
void feed_datagrams(bench* b, int fd) {
    static char bufs[kBatchLines][kBenchSipMax];
    static iovec iov[kBatchLines];
    static mmsghdr msgs[kBatchLines];
    const options& o = b->opt;
    const int src_port = b->feed.src_port.load();
    const int64_t t0 = now_ns();
    const int64_t cpu0 = thread_cpu_ns();
    const int64_t deadline = t0 + static_cast<int64_t>(o.seconds * kNsPerSec);
    b->feed.t_start.store(t0);
    uint64_t seq = 0;
    for (;;) {
        const uint64_t n = next_batch(b, t0, deadline, seq);
        if (n == 0) break;
        for (uint64_t i = 0; i < n; i++) {
            iov[i] = {bufs[i], bench_sip_format(bufs[i], seq + i, src_port, o.udp_port)};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        uint64_t done = 0;
        while (done < n) {
            const int r = sendmmsg(fd, msgs + done, static_cast<unsigned>(n - done), 0);
            if (r > 0) {
                done += static_cast<uint64_t>(r);
            } else if (r < 0 && errno != EINTR && errno != EAGAIN && errno != ENOBUFS) {
                b->feed.error.store(errno);
                break;
            }
        }
        seq += done;
        b->feed.fed.store(seq);
        if (done < n) break;
    }
    b->feed.t_end.store(now_ns());
    b->feed.cpu_ns.store(thread_cpu_ns() - cpu0);
}

// The sending socket, connected to the daemon's port, with the sink bound
// first; -1 with a message on failure.
int open_udp_feed(bench* b, unique_fd* sink) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(b->opt.udp_port));
    sink->reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    if (sink->get() < 0 || setsockopt(sink->get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small) ||
        bind(sink->get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "udp sink on port %d: %s\n", b->opt.udp_port, std::strerror(errno));
        return -1;
    }
    unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (fd.get() < 0 || connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        std::fprintf(stderr, "udp feed to port %d: %s\n", b->opt.udp_port, std::strerror(errno));
        return -1;
    }
    b->feed.src_port.store(ntohs(local.sin_port));
    return fd.release();
}

void* feeder_main(void* arg) {
    auto* b = static_cast<bench*>(arg);
    const bool udp = b->opt.udp_port != 0;
    // Whole-pipeline runs: the relay already reads the daemon (the script
    // waits for that), so the datagrams can go as soon as the run starts.
    unique_fd sink;
    unique_fd conn(udp ? open_udp_feed(b, &sink) : accept_relay(b));
    if (conn.get() < 0) {
        b->feed.done.store(true);
        return nullptr;
    }
    const timeval tv{1, 0};
    if (!udp) setsockopt(conn.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    b->feed.accepted.store(true);
    while (!b->feed.go.load() && !b->feed.stop.load()) usleep(1000);
    if (!b->feed.stop.load()) udp ? feed_datagrams(b, conn.get()) : feed_lines(b, conn.get());
    b->feed.done.store(true);
    // Closing now would only make the relay reconnect and log it; the socket
    // stays open until the run is over.
    while (!b->feed.stop.load()) usleep(10'000);
    return nullptr;
}

int listen_unix(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "socket path too long: %s\n", path);
        return -1;
    }
    std::strcpy(addr.sun_path, path);
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        std::perror("socket");
        return -1;
    }
    unlink(path);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 4) != 0) {
        std::fprintf(stderr, "listen on %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    return fd.release();
}

// ---- receivers (main thread) -------------------------------------------------

void sample_cpu(bench* b, int64_t t) {
    b->rx_cpu_last = thread_cpu_ns();
    b->relay_cpu_last = process_cpu_ns(b->opt.relay_pid);
    read_cpu_jiffies(b->relay_core, b->bench_core, &b->relay_core_last, &b->bench_core_last);
    b->cpu_last_t = t;
}

void on_line(bench* b, conn_stats* c, std::string_view line) {
    const int64_t t = now_ns();
    c->t_last = t;
    b->t_last_any = t;
    if ((++b->total_received & 255) == 0) sample_cpu(b, t);
    if (b->opt.udp_port != 0) {
        uint64_t seq = 0;
        const bool ok =
            bench_record_parse(line, b->feed.src_port.load(), b->opt.udp_port, &seq) == 0;
        bench_seq_count(&c->seq, ok, seq);
    } else {
        bench_seq_note(&c->seq, line);
    }
}

// A message may arrive in several pieces; it is judged once it is whole.
void on_data(bench* b, lws* wsi, const void* in, size_t len) {
    auto* c = static_cast<conn_stats*>(lws_get_opaque_user_data(wsi));
    if (c == nullptr) return;
    if (!c->frag_over && len <= sizeof c->frag - c->frag_len) {
        std::memcpy(c->frag + c->frag_len, in, len);
        c->frag_len += len;
    } else {
        c->frag_over = true;
    }
    if (!lws_is_final_fragment(wsi)) return;
    // An over-long message cannot be one record; it is noted as an empty
    // one, which counts it as bad.
    on_line(b, c, c->frag_over ? std::string_view{} : std::string_view{c->frag, c->frag_len});
    c->frag_len = 0;
    c->frag_over = false;
}

void on_open(bench* b, lws* wsi) {
    auto* c = static_cast<conn_stats*>(lws_get_opaque_user_data(wsi));
    if (c == nullptr || c->established) return;
    c->established = true;
    c->wsi = wsi;
    b->established++;
}

void on_peer_close(lws* wsi, const void* in, size_t len) {
    auto* c = static_cast<conn_stats*>(lws_get_opaque_user_data(wsi));
    if (c == nullptr || len < 2) return;
    const auto* p = static_cast<const unsigned char*>(in);
    c->close_code = (p[0] << 8) | p[1];
    const size_t n = std::min(len - 2, sizeof c->close_reason - 1);
    std::memcpy(c->close_reason, p + 2, n);
    c->close_reason[n] = '\0';
}

void on_closed(lws* wsi) {
    auto* c = static_cast<conn_stats*>(lws_get_opaque_user_data(wsi));
    if (c == nullptr) return;
    c->closed = true;
    c->wsi = nullptr;
}

void on_connect_error(lws* wsi, const void* in, size_t len) {
    auto* c = static_cast<conn_stats*>(lws_get_opaque_user_data(wsi));
    if (c == nullptr) return;
    c->closed = true;
    c->wsi = nullptr;
    const char* text = in != nullptr ? static_cast<const char*>(in) : "unknown";
    const size_t n = in != nullptr
                         ? std::min(len != 0 ? len : std::strlen(text), sizeof c->error - 1)
                         : std::strlen(text);
    std::memcpy(c->error, text, n);
    c->error[n] = '\0';
}

// The relay's upstream handshake: only as much checking as shows that the
// relay sent its token and switch id, so a broken header fails the run.
int check_upstream(bench* b, lws* wsi) {
    const options& o = b->opt;
    if (o.token != nullptr) {
        char got[4200];
        const std::string want = std::string("Bearer ") + o.token;
        const int n = lws_hdr_copy(wsi, got, sizeof got, WSI_TOKEN_HTTP_AUTHORIZATION);
        if (n < 0 || want != std::string_view(got, static_cast<size_t>(n))) {
            b->refused++;
            return 1;
        }
    }
    if (o.switch_id != nullptr) {
        static constexpr char kName[] = "x-zel-switch-id:";
        char got[300];
        const int n = lws_hdr_custom_copy(wsi, got, sizeof got, kName, sizeof kName - 1);
        if (n < 0 ||
            std::string_view(o.switch_id) != std::string_view(got, static_cast<size_t>(n))) {
            b->refused++;
            return 1;
        }
    }
    return 0;
}

// The relay opens one connection per run; a second one (say, after a drop)
// gets its own slot so its lines are not counted as reordering.
int admit_upstream(bench* b, lws* wsi) {
    if (b->conn_count >= kMaxConns) return -1;
    conn_stats* c = &b->conns[b->conn_count++];
    lws_set_opaque_user_data(wsi, c);
    on_open(b, wsi);
    return 0;
}

int bench_callback(lws* wsi, lws_callback_reasons reason, void* /*user*/, void* in, size_t len) {
    bench* b = &g_bench;
    switch (reason) {
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        on_open(b, wsi);
        return 0;
    case LWS_CALLBACK_ESTABLISHED:
        return admit_upstream(b, wsi);
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return check_upstream(b, wsi);
    case LWS_CALLBACK_CLIENT_RECEIVE:
    case LWS_CALLBACK_RECEIVE:
        on_data(b, wsi, in, len);
        return 0;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
        on_peer_close(wsi, in, len);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        on_connect_error(wsi, in, len);
        return 0;
    case LWS_CALLBACK_CLIENT_CLOSED:
    case LWS_CALLBACK_CLOSED:
        on_closed(wsi);
        return 0;
    case LWS_CALLBACK_HTTP:
        lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND, nullptr);
        return -1;
    default:
        return 0;
    }
}

const lws_protocols kProtocols[] = {
    {kProtocolName, bench_callback, 0, 4096, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// Wakes the service loop so that it can watch the clock.
void tick(lws_sorted_usec_list_t* sul) {
    lws_sul_schedule(g_bench.ctx, 0, sul, tick, kTickUs);
}

int create_context(bench* b) {
    const options& o = b->opt;
    lws_context_creation_info info{};
    info.protocols = kProtocols;
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.pt_serv_buf_size = 64 * 1024;  // fewer, larger TLS reads per pass
    if (o.mode == run_mode::server) {
        info.port = CONTEXT_PORT_NO_LISTEN;
        info.client_ssl_ca_filepath = o.ca;
    } else {
        info.port = o.port;
        info.iface = "127.0.0.1";
        info.options |= LWS_SERVER_OPTION_DISABLE_IPV6;
        info.ssl_cert_filepath = o.cert;
        info.ssl_private_key_filepath = o.key;
        info.alpn = "http/1.1";
    }
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    b->ctx = lws_create_context(&info);
    if (b->ctx == nullptr) {
        std::fprintf(stderr, "cannot create the WebSocket context\n");
        return -1;
    }
    lws_sul_schedule(b->ctx, 0, &b->tick, tick, kTickUs);
    return 0;
}

void sub_message(void* arg, std::string_view text) {
    on_line(&g_bench, static_cast<conn_stats*>(arg), text);
}

void sub_closed(void* arg, int code, std::string_view reason) {
    auto* c = static_cast<conn_stats*>(arg);
    c->closed = true;
    c->close_code = code;
    const size_t n = std::min(reason.size(), sizeof c->close_reason - 1);
    std::memcpy(c->close_reason, reason.data(), n);
    c->close_reason[n] = '\0';
}

int connect_subscribers(bench* b) {
    for (int i = 0; i < b->opt.subscribers; i++) {
        conn_stats* c = &b->conns[i];
        // A refusal can mean the listener is not up yet: try for a while.
        const int64_t deadline = now_ns() + b->opt.connect_seconds * kNsPerSec;
        do {
            c->sub = ws_sub_open("127.0.0.1", b->opt.port, "/events", b->opt.ca, c->error,
                                 sizeof c->error);
        } while (c->sub == nullptr && std::strstr(c->error, "refused") != nullptr &&
                 now_ns() < deadline && usleep(100'000) == 0);
        if (c->sub == nullptr) {
            std::fprintf(stderr, "subscriber %d could not connect: %s\n", i, c->error);
            return -1;
        }
        c->established = true;
        b->established++;
    }
    b->conn_count = b->opt.subscribers;
    for (int i = 0; i < b->opt.stalled; i++) {
        conn_stats* c = &b->stalled[i];
        c->sub =
            ws_sub_open("127.0.0.1", b->opt.port, "/events", b->opt.ca, c->error, sizeof c->error);
        if (c->sub == nullptr) {
            std::fprintf(stderr, "stalled subscriber %d could not connect: %s\n", i, c->error);
            return -1;
        }
    }
    return 0;
}

// After the run: what each stalled subscriber was sent (a gapless prefix, or
// a gap) and how the relay ended it. Reads for at most 10 s each.
void drain_stalled_message(void* arg, std::string_view text) {
    bench_seq_note(&static_cast<conn_stats*>(arg)->seq, text);
}

void drain_stalled(bench* b) {
    for (int i = 0; i < b->opt.stalled; i++) {
        conn_stats* c = &b->stalled[i];
        const int64_t deadline = now_ns() + 10 * kNsPerSec;
        while (!c->closed && now_ns() < deadline) {
            pollfd p{ws_sub_fd(c->sub), POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            // Not on_line: the run's rates and CPU figures are closed already.
            ws_sub_events ev{drain_stalled_message, sub_closed, c};
            if (ws_sub_read(c->sub, ev) != 0) c->closed = true;
        }
    }
}

// One pass of the receivers: the native subscribers wait up to 1 ms for data,
// the library's context (client-mode runs) is polled without waiting.
void service(bench* b) {
    if (b->opt.mode == run_mode::client) {
        lws_service(b->ctx, 0);
        return;
    }
    pollfd fds[kMaxConns];
    conn_stats* who[kMaxConns];
    nfds_t n = 0;
    for (int i = 0; i < b->conn_count; i++) {
        conn_stats* c = &b->conns[i];
        if (c->sub == nullptr || c->closed) continue;
        fds[n] = {ws_sub_fd(c->sub), POLLIN, 0};
        who[n++] = c;
    }
    if (n == 0) {
        usleep(1000);
        return;
    }
    if (poll(fds, n, 1) <= 0) return;
    for (nfds_t i = 0; i < n; i++) {
        if (fds[i].revents == 0) continue;
        ws_sub_events ev{sub_message, sub_closed, who[i]};
        ws_sub_read(who[i]->sub, ev);
    }
}

// ---- run phases ---------------------------------------------------------------

int wait_connected(bench* b) {
    const int want = b->opt.mode == run_mode::server ? b->opt.subscribers : 1;
    // The stalled ones count as connected once the relay has logged them.
    const int connect_s = b->opt.connect_seconds;
    const int64_t deadline = now_ns() + connect_s * kNsPerSec;
    while (b->established < want || !b->feed.accepted.load()) {
        for (int i = 0; i < b->conn_count; i++) {
            const conn_stats& c = b->conns[i];
            if (c.closed && !c.established) {
                std::fprintf(stderr, "subscriber %d could not connect: %s\n", i,
                             c.error[0] != '\0' ? c.error : "closed during the handshake");
                return -1;
            }
        }
        if (b->feed.done.load() && !b->feed.accepted.load()) {
            std::fprintf(stderr, "event socket failed before the relay connected\n");
            return -1;
        }
        if (now_ns() >= deadline) {
            if (!b->feed.accepted.load())
                std::fprintf(stderr, "the relay did not connect to the event socket in %d s\n",
                             connect_s);
            else if (b->opt.mode == run_mode::client)
                std::fprintf(stderr, "the relay did not connect upstream in %d s (%d refused)\n",
                             connect_s, b->refused);
            else
                std::fprintf(stderr, "only %d of %d subscribers connected in %d s\n",
                             b->established, want, connect_s);
            return -1;
        }
        service(b);
    }
    const int64_t settle = now_ns() + kSettleNs;
    while (now_ns() < settle) service(b);
    return 0;
}

bool all_complete(const bench* b, uint64_t fed) {
    for (int i = 0; i < b->conn_count; i++) {
        const conn_stats& c = b->conns[i];
        if (!c.closed && c.seq.expected < fed) return false;
    }
    return true;
}

void run_feed(bench* b) {
    const int64_t t_go = now_ns();
    b->t_go = t_go;
    b->rx_cpu_start = thread_cpu_ns();
    b->relay_cpu_start = process_cpu_ns(b->opt.relay_pid);
    if (b->opt.relay_pid > 0) b->relay_core = pinned_cpu(b->opt.relay_pid);
    b->bench_core = pinned_cpu(0);
    read_cpu_jiffies(b->relay_core, b->bench_core, &b->relay_core_start, &b->bench_core_start);
    sample_cpu(b, t_go);
    b->feed.go.store(true);
    for (;;) {
        service(b);
        const int64_t now = now_ns();
        if (now - t_go > static_cast<int64_t>(b->opt.seconds * kNsPerSec) + kDrainCapNs) break;
        if (!b->feed.done.load()) continue;
        if (all_complete(b, b->feed.fed.load())) break;
        const int64_t quiet_since = std::max(b->t_last_any, b->feed.t_end.load());
        if (now - quiet_since > kIdleDrainNs) break;
    }
    for (int i = 0; i < b->conn_count; i++) b->conns[i].closed_in_run = b->conns[i].closed;
    // The CPU figures end with the last message seen, not with the idle wait.
    if (b->cpu_last_t < b->t_last_any && now_ns() - b->t_last_any < 100'000'000)
        sample_cpu(b, b->t_last_any);
}

struct relay_counters {
    bool found = false;
    unsigned long long sent = 0, dropped = 0;
    size_t queued = 0;
};

// Reads the shutdown line out of the relay's log once it is there.
bool read_shutdown_line(const char* path, relay_counters* out) {
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return false;
    char line[512];
    bool found = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char* p = std::strstr(line, " shutdown sent=");
        if (p == nullptr) continue;
        if (std::sscanf(p, " shutdown sent=%llu dropped=%llu queued=%zu", &out->sent, &out->dropped,
                        &out->queued) == 3)
            found = true;
    }
    std::fclose(f);
    out->found = found;
    return found;
}

relay_counters stop_relay(bench* b) {
    relay_counters rc;
    if (b->opt.relay_pid <= 0) return rc;
    if (kill(b->opt.relay_pid, SIGTERM) != 0) {
        std::fprintf(stderr, "cannot signal the relay (pid %d): %s\n", b->opt.relay_pid,
                     std::strerror(errno));
        return rc;
    }
    if (b->opt.relay_log == nullptr) return rc;
    const int64_t deadline = now_ns() + kShutdownWaitNs;
    while (now_ns() < deadline) {
        if (read_shutdown_line(b->opt.relay_log, &rc)) break;
        service(b);  // lets our side of the closes happen
    }
    if (!rc.found) std::fprintf(stderr, "no shutdown line in %s within 20 s\n", b->opt.relay_log);
    return rc;
}

double per_second(uint64_t n, int64_t ns) {
    return ns > 0 ? static_cast<double>(n) * kNsPerSec / static_cast<double>(ns) : 0.0;
}

double percent(int64_t part, int64_t whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

// Share of a core's time spent busy between two readings; -1 when unknown.
double core_busy(int cpu, const cpu_jiffies& from, const cpu_jiffies& to) {
    if (cpu < 0 || to.total <= from.total) return -1.0;
    return 100.0 * static_cast<double>(to.busy - from.busy) /
           static_cast<double>(to.total - from.total);
}

// Prints the report; returns the number of connections that saw corruption.
int report(bench* b, const relay_counters& rc) {
    const options& o = b->opt;
    const uint64_t fed = b->feed.fed.load();
    const int64_t t0 = b->feed.t_start.load();
    const int64_t feed_ns = b->feed.t_end.load() - t0;
    std::printf("zel_relay_bench mode=%s connections=%d line_bytes=%s feed=%s\n",
                o.mode == run_mode::server ? "server" : "client", b->conn_count,
                o.udp_port != 0 ? "daemon" : std::to_string(kBenchLineSize).c_str(),
                o.rate == 0 ? "max" : (std::to_string(o.rate) + "/s").c_str());
    std::printf("feed: lines=%llu seconds=%.2f lines/s=%.0f feeder_cpu=%.0f%%%s\n",
                static_cast<unsigned long long>(fed), feed_ns / 1e9, per_second(fed, feed_ns),
                percent(b->feed.cpu_ns.load(), feed_ns),
                b->feed.error.load() != 0 ? " (write failed)" : "");
    std::printf("%5s %10s %10s %7s %6s %8s %11s  %s\n", "conn", "received", "lost", "gaps", "bad",
                "reorder", "lines/s", "closed early");
    uint64_t total = 0, lost_total = 0;
    double rmin = 0, rmax = 0;
    int corrupt = 0, closed_early = 0;
    for (int i = 0; i < b->conn_count; i++) {
        conn_stats& c = b->conns[i];
        bench_seq_stats& q = c.seq;
        bench_seq_finish(&q, fed);
        const double r = per_second(q.received, c.t_last - t0);
        rmin = i == 0 ? r : std::min(rmin, r);
        rmax = i == 0 ? r : std::max(rmax, r);
        total += q.received;
        lost_total += q.lost;
        if (q.bad != 0 || q.reorder != 0) corrupt++;
        if (c.closed_in_run) closed_early++;
        // The library reports the relay's 1013 as 1002; the reason tells.
        char closed[96] = "no";
        if (c.closed_in_run)
            std::snprintf(closed, sizeof closed, "yes code=%d %s", c.close_code, c.close_reason);
        std::printf("%5d %10llu %10llu %7llu %6llu %8llu %11.0f  %s\n", i,
                    static_cast<unsigned long long>(q.received),
                    static_cast<unsigned long long>(q.lost),
                    static_cast<unsigned long long>(q.gaps), static_cast<unsigned long long>(q.bad),
                    static_cast<unsigned long long>(q.reorder), r, closed);
    }
    const int64_t window = b->t_last_any - t0;
    const int64_t cpu_window = b->cpu_last_t - b->t_go;
    const double rx_cpu = percent(b->rx_cpu_last - b->rx_cpu_start, cpu_window);
    const double relay_pct = b->relay_cpu_start >= 0 && b->relay_cpu_last >= 0
                                 ? percent(b->relay_cpu_last - b->relay_cpu_start, cpu_window)
                                 : -1.0;
    std::printf("total: received=%llu lost=%llu lines/s=%.0f per-connection min=%.0f max=%.0f\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(lost_total),
                per_second(total, window), rmin, rmax);
    std::printf("cpu: receiver=%.0f%% relay=%.0f%% (of one core, while lines flowed)\n", rx_cpu,
                relay_pct);
    const double relay_core_busy =
        core_busy(b->relay_core, b->relay_core_start, b->relay_core_last);
    const double bench_core_busy =
        core_busy(b->bench_core, b->bench_core_start, b->bench_core_last);
    if (relay_core_busy >= 0 || bench_core_busy >= 0)
        std::printf("cores: relay's cpu%d busy=%.0f%%, harness's cpu%d busy=%.0f%% "
                    "(all programs; -1: not pinned)\n",
                    b->relay_core, relay_core_busy, b->bench_core, bench_core_busy);
    // What the receiving thread could take at a whole core, at its measured
    // cost per line: the headroom that shows it did not set the pace.
    const double capacity = rx_cpu > 0 ? per_second(total, window) * 100.0 / rx_cpu : 0.0;
    if (rx_cpu > 0)
        std::printf("receiver capacity: about %.0f lines/s at 100%% of a core\n", capacity);
    if (rc.found)
        std::printf("relay: sent=%llu dropped=%llu queued=%zu\n", rc.sent, rc.dropped, rc.queued);
    int stalled_cut = 0;
    for (int i = 0; i < o.stalled; i++) {
        conn_stats& c = b->stalled[i];
        const bool cut = c.close_code == 1013 || std::strstr(c.close_reason, "Slow consumer");
        stalled_cut += cut;
        std::printf("stalled %d: received=%llu gaps=%llu closed=%s code=%d %s\n", i,
                    static_cast<unsigned long long>(c.seq.received),
                    static_cast<unsigned long long>(c.seq.gaps), c.closed ? "yes" : "no",
                    c.close_code, c.close_reason);
        if (c.seq.gaps != 0 || c.seq.bad != 0 || c.seq.reorder != 0) corrupt++;
    }
    std::printf(
        "result mode=%s conns=%d fed=%llu fed_rate=%.0f delivered=%llu rate=%.0f "
        "rate_min=%.0f rate_max=%.0f lost=%llu corrupt=%d closed=%d rx_cpu=%.0f rx_capacity=%.0f "
        "relay_cpu=%.0f relay_core_busy=%.0f bench_core_busy=%.0f relay_sent=%llu "
        "relay_dropped=%llu relay_queued=%zu stalled=%d stalled_cut=%d\n",
        o.mode == run_mode::server ? "server" : "client", b->conn_count,
        static_cast<unsigned long long>(fed), per_second(fed, feed_ns),
        static_cast<unsigned long long>(total), per_second(total, window), rmin, rmax,
        static_cast<unsigned long long>(lost_total), corrupt, closed_early, rx_cpu, capacity,
        relay_pct, relay_core_busy, bench_core_busy, rc.sent, rc.dropped, rc.queued, o.stalled,
        stalled_cut);
    return corrupt;
}

// ---- command line ----------------------------------------------------------------

void usage(const char* prog) {
    std::fprintf(stderr,
                 "usage: %s --socket PATH --mode server --port N --ca FILE [--subscribers N]\n"
                 "          [--stalled N]\n"
                 "       %s --socket PATH --mode client --port N --cert FILE --key FILE\n"
                 "          [--token T] [--switch-id ID]\n"
                 "   common: [--seconds S] [--lines N] [--rate LINES_PER_S]\n"
                 "           [--relay-pid PID --relay-log FILE] [--connect-seconds S]\n"
                 "       %s --udp-feed PORT --mode server --port N --ca FILE [--subscribers N]\n"
                 "          (whole pipeline: datagrams to a capture daemon on PORT)\n"
                 "       %s --free-port\n",
                 prog, prog, prog, prog);
}

bool parse_u64(const char* s, uint64_t lo, uint64_t hi, uint64_t* out) {
    if (s == nullptr || *s < '0' || *s > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int free_port() {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("free port");
        return 1;
    }
    std::printf("%d\n", ntohs(a.sin_port));
    return 0;
}

// 0 with *o filled; 1 when the program should exit 0 (help); -1 on bad usage.
int parse_args(int argc, char** argv, options* o, bool* want_port) {
    static const option longs[] = {
        {"socket", required_argument, nullptr, 's'},
        {"mode", required_argument, nullptr, 'm'},
        {"port", required_argument, nullptr, 'p'},
        {"subscribers", required_argument, nullptr, 'n'},
        {"stalled", required_argument, nullptr, 'X'},
        {"ca", required_argument, nullptr, 'a'},
        {"cert", required_argument, nullptr, 'c'},
        {"key", required_argument, nullptr, 'k'},
        {"token", required_argument, nullptr, 't'},
        {"switch-id", required_argument, nullptr, 'i'},
        {"seconds", required_argument, nullptr, 'S'},
        {"lines", required_argument, nullptr, 'L'},
        {"rate", required_argument, nullptr, 'r'},
        {"relay-pid", required_argument, nullptr, 'P'},
        {"relay-log", required_argument, nullptr, 'l'},
        {"connect-seconds", required_argument, nullptr, 'C'},
        {"free-port", no_argument, nullptr, 'F'},
        {"udp-feed", required_argument, nullptr, 'U'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    uint64_t v = 0;
    int ch;
    while ((ch = getopt_long(argc, argv, "h", longs, nullptr)) != -1) {
        switch (ch) {
        case 's':
            o->socket_path = optarg;
            break;
        case 'm':
            if (std::strcmp(optarg, "server") == 0)
                o->mode = run_mode::server;
            else if (std::strcmp(optarg, "client") == 0)
                o->mode = run_mode::client;
            else
                return -1;
            break;
        case 'p':
            if (!parse_u64(optarg, 1, 65535, &v)) return -1;
            o->port = static_cast<int>(v);
            break;
        case 'n':
            if (!parse_u64(optarg, 1, kMaxConns, &v)) return -1;
            o->subscribers = static_cast<int>(v);
            break;
        case 'X':
            if (!parse_u64(optarg, 0, kMaxConns, &v)) return -1;
            o->stalled = static_cast<int>(v);
            break;
        case 'a':
            o->ca = optarg;
            break;
        case 'c':
            o->cert = optarg;
            break;
        case 'k':
            o->key = optarg;
            break;
        case 't':
            o->token = optarg;
            break;
        case 'i':
            o->switch_id = optarg;
            break;
        case 'S': {
            char* end = nullptr;
            o->seconds = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(o->seconds > 0 && o->seconds <= 3600)) return -1;
            break;
        }
        case 'L':
            if (!parse_u64(optarg, 0, UINT64_MAX, &o->max_lines)) return -1;
            break;
        case 'r':
            if (!parse_u64(optarg, 0, 100'000'000, &o->rate)) return -1;
            break;
        case 'P':
            if (!parse_u64(optarg, 1, INT32_MAX, &v)) return -1;
            o->relay_pid = static_cast<pid_t>(v);
            break;
        case 'l':
            o->relay_log = optarg;
            break;
        case 'C':
            if (!parse_u64(optarg, 1, 3600, &v)) return -1;
            o->connect_seconds = static_cast<int>(v);
            break;
        case 'F':
            *want_port = true;
            break;
        case 'U':
            if (!parse_u64(optarg, 1, 65535, &v)) return -1;
            o->udp_port = static_cast<int>(v);
            break;
        case 'h':
            return 1;
        default:
            return -1;
        }
    }
    if (optind != argc) return -1;
    if (*want_port) return 0;
    if (o->udp_port != 0) {
        if (o->mode != run_mode::server || o->socket_path != nullptr) return -1;
    } else if (o->socket_path == nullptr) {
        return -1;
    }
    if (o->port == 0) return -1;
    if (o->mode == run_mode::server && o->ca == nullptr) return -1;
    if (o->mode == run_mode::client && (o->cert == nullptr || o->key == nullptr)) return -1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench* b = &g_bench;
    bool want_port = false;
    const int pr = parse_args(argc, argv, &b->opt, &want_port);
    if (pr != 0) {
        usage(argv[0]);
        return pr > 0 ? 0 : 2;
    }
    if (want_port) return free_port();
    signal(SIGPIPE, SIG_IGN);

    unique_fd listener;
    if (b->opt.udp_port == 0) {
        listener.reset(listen_unix(b->opt.socket_path));
        if (listener.get() < 0) return 1;
        b->listen_fd = listener.get();
    }
    if (create_context(b) != 0) return 1;

    pthread_t feeder;
    if (pthread_create(&feeder, nullptr, feeder_main, b) != 0) {
        std::fprintf(stderr, "cannot start the feeder thread\n");
        lws_context_destroy(b->ctx);
        return 1;
    }
    int status = 0;
    if (b->opt.mode == run_mode::server && connect_subscribers(b) != 0) status = 1;
    if (status == 0 && wait_connected(b) != 0) status = 1;
    relay_counters rc;
    if (status == 0) {
        run_feed(b);
        drain_stalled(b);
        rc = stop_relay(b);
        if (report(b, rc) != 0) {
            std::fprintf(stderr, "corrupted or out-of-order lines received\n");
            status = 1;
        }
        if (b->feed.error.load() != 0) {
            std::fprintf(stderr, "event socket write failed: %s\n",
                         std::strerror(b->feed.error.load()));
            status = 1;
        }
        if (b->opt.relay_log != nullptr && !rc.found) status = 1;
    }
    b->feed.stop.store(true);
    pthread_join(feeder, nullptr);
    lws_sul_schedule(b->ctx, 0, &b->tick, tick, LWS_SET_TIMER_USEC_CANCEL);
    lws_context_destroy(b->ctx);
    for (int i = 0; i < b->conn_count; i++) ws_sub_free(b->conns[i].sub);
    for (int i = 0; i < b->opt.stalled; i++) ws_sub_free(b->stalled[i].sub);
    if (b->opt.socket_path != nullptr) unlink(b->opt.socket_path);
    return status;
}
