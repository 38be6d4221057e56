#include "relay_client.hpp"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "relay_frame.hpp"
#include "relay_log.hpp"
#include "unique_fd.hpp"

namespace zel::client {

namespace {

constexpr lws_usec_t kPingIntervalUs = 20 * LWS_USEC_PER_SEC;
constexpr size_t kBearerSize = 4112;

// The library times out a TCP connect and a silent ClientHello by itself, but
// not a server that completes TLS and then never answers the upgrade; without
// a deadline of our own such an attempt would hold the relay for good.
constexpr int64_t kHandshakeDeadlineMs = 20'000;

// Bytes handed to the kernel that TCP does not acknowledge for this long mean
// the upstream stopped reading (window zero) or the path is dead. Cutting then
// bounds what the connection swallows to what was in flight, where waiting
// for the 60 s idle hang-up would let the log drain into it meanwhile.
constexpr int64_t kStallLimitMs = 10'000;

// Bytes the kernel may hold for the upstream beyond what TCP has put on the
// wire. Without a bound its send buffer grows to megabytes while a stalled
// upstream's window is shut, and every line in it is lost with the connection;
// with it, the socket stops being writable and lines wait in the log
// for the next connection. What is in flight on the wire is not limited, so a
// long fat path keeps its throughput.
constexpr int kUnsentLowat = 128 * 1024;

// At stop, the kernel goes on sending what it holds and taking the upstream's
// acknowledgements without the relay's help; this long, at most, the relay
// waits for them while any byte is unacknowledged, so that lines already on
// their way count as sent rather than lost. Looked at every 10 ms.
constexpr int64_t kStopGraceMs = 1000;
constexpr long kStopPollNs = 10 * 1000 * 1000;

// Writes not yet acknowledged, at most (1.5 MiB of entries). A connection
// rarely has this many writes unacknowledged unless each carries one tiny
// line; when it does, lines wait in the log until acknowledgements free
// slots.
constexpr size_t kInFlightMax = 65536;

// The largest handshake a valid configuration makes: request line with a
// 1,023-byte path, Host and Origin with a 255-byte host, the library's own
// headers, "authorization: Bearer " with a 4,095-byte token and the 255-byte
// switch id come to under 7 KiB. The library builds it in its per-thread
// buffer, 4,096 bytes by default, and fails the attempt when it does not fit.
constexpr unsigned int kClientServBufSize = 16384;

// Our own pings go out every 20 s and any answering server's pongs keep the
// connection valid; an upstream that stops answering while TCP still takes
// our bytes is hung up after 60 s. The library's own ping at 30 s idle only
// fires if ours went unanswered.
const lws_retry_bo_t kUpstreamIdlePolicy = {
    nullptr,  // retry_ms_table: attempts are scheduled by schedule_reconnect
    0,        // retry_ms_table_count
    0,        // conceal_count
    30,       // secs_since_valid_ping
    60,       // secs_since_valid_hangup
    0,        // jitter_percent
};

// The clock backoff waits are measured on, in whole seconds. Monotonic: a
// wall clock stepped back must not hold the next attempt for as long as the
// step, nor one stepped forward start it at once.
time_t backoff_clock() {
    return static_cast<time_t>(stats::monotonic_ms() / 1000);
}

// The current attempt. Service thread only.
//
// How an attempt's end is reported depends on where it failed: a connection
// error, a close, or a connect call that returns null (possibly after raising
// the error from inside itself). A second backoff step for the same attempt
// would double the delay, so each attempt ends once, in end_attempt.
//
// A line counts as sent once TCP has acknowledged its last byte: the TLS
// socket's byte count when the write that carried the line has gone out marks
// its end, and that count minus the bytes the kernel still holds
// unacknowledged (SIOCOUTQ) is what the upstream's kernel has taken. Every
// line of one write shares that write's end, since they share its records.
struct in_flight {
    uint64_t end;    // socket byte count at which the write ends
    uint64_t lines;  // lines it carried
    uint64_t first;  // the number of the first of them
};

// Lines pinned per write: as many as one buffer can hold of the shortest
// lines worth batching.
constexpr size_t kPinLines = 256;

struct upstream_attempt {
    bool open;                        // from the accepted request until its end
    bool explained;                   // a wss_connection_error line already says why it ended
    bool ping_due;                    // set by the timer, written by the next writable callback:
                                      // from the timer it could split a partly buffered message
    bool last_end_open;               // the library still holds part of the newest write
    size_t failed;                    // lines taken from the log whose write failed
    uint64_t unacked_from;            // the first line this connection has not had acknowledged
    int64_t started_ms;               // when the request was made
    int64_t progress_ms;              // when TCP last acknowledged more, or had nothing left to
    uint64_t acked;                   // acknowledged byte count at the last look
    size_t head;                      // oldest entry of writes
    size_t writes;                    // entries of writes in use
    size_t count;                     // lines written and not yet acknowledged
    in_flight flights[kInFlightMax];  // those writes, oldest first from head
};

// Client mode's state, one per process, owned by its client_mode.
struct client_state {
    relay_state* st;        // what both modes share
    log_consumer consumer;  // the upstream's position in the log; attached for the whole run
    bool sequenced;         // the upstream chose the sequenced protocol on this connection
    upstream up;
    upstream_attempt attempt;
    frame::writer writer;  // masks and frames the lines of each write
};

// Bytes written to the connection's socket so far and those of them the
// peer has not acknowledged. -1 when the connection has no TLS socket (yet or
// any more).
int tcp_progress(lws* wsi, uint64_t* written, uint64_t* unacked) {
    SSL* ssl = lws_get_ssl(wsi);
    int fd = lws_get_socket_fd(wsi);
    if (ssl == nullptr || fd < 0) return -1;
    BIO* wbio = SSL_get_wbio(ssl);
    int outq = 0;
    if (wbio == nullptr || ioctl(fd, SIOCOUTQ, &outq) != 0 || outq < 0) return -1;
    *written = BIO_number_written(wbio);
    *unacked = static_cast<uint64_t>(outq);
    return 0;
}

// Counts every line whose bytes the upstream's TCP has acknowledged as sent
// and notes whether anything was acknowledged since the last look.
void settle(client_state* c, lws* wsi) {
    upstream_attempt& a = c->attempt;
    uint64_t written = 0, unacked = 0;
    if (tcp_progress(wsi, &written, &unacked) != 0) return;
    // The library writes nothing of ours while it holds part of a write, so
    // once it has passed the rest on, the socket's count is that write's end.
    if (a.last_end_open && !lws_partial_buffered(wsi)) {
        a.flights[(a.head + a.writes - 1) % kInFlightMax].end = written;
        a.last_end_open = false;
    }
    uint64_t acked = written > unacked ? written - unacked : 0;
    if (acked != a.acked || unacked == 0) {
        a.acked = acked;
        a.progress_ms = stats::monotonic_ms();
    }
    size_t keep = a.last_end_open ? 1 : 0;
    while (a.writes > keep && a.flights[a.head].end <= acked) {
        const uint64_t lines = a.flights[a.head].lines;
        a.unacked_from = a.flights[a.head].first + lines;
        a.head = (a.head + 1) % kInFlightMax;
        --a.writes;
        a.count -= lines;
        c->st->sent += lines;
        c->st->counters.delivered[static_cast<size_t>(consumer_kind::upstream)] += lines;
    }
}

// Notes where the write just made ends and how many lines it carried; settle
// fills the end in later when the library still holds part of it.
void record_write(upstream_attempt* a, lws* wsi, size_t lines, uint64_t first) {
    SSL* ssl = lws_get_ssl(wsi);
    BIO* wbio = ssl != nullptr ? SSL_get_wbio(ssl) : nullptr;
    a->flights[(a->head + a->writes) % kInFlightMax] = {
        wbio != nullptr ? BIO_number_written(wbio) : 0, lines, first};
    ++a->writes;
    a->count += lines;
    a->last_end_open = wbio == nullptr || lws_partial_buffered(wsi);
}

// "wss_connection_error reason=<why>", with the number of lines taken from the
// log for this connection that its TCP never acknowledged.
// log_line shows control bytes as '?', so the library's text cannot forge lines.
void report_end(upstream_attempt* a, const char* why, size_t why_len, size_t lost) {
    char count[64] = "";
    if (lost > 0)
        std::snprintf(count, sizeof count, "; %zu lines written but not acknowledged", lost);
    // The count survives a long library text: the reason stays within 300.
    size_t room = 300 - std::strlen(count);
    int n = static_cast<int>(why_len < room ? why_len : room);
    char msg[384];
    std::snprintf(msg, sizeof msg, "wss_connection_error reason=%.*s%s", n, why, count);
    log_line("error", msg);
    a->explained = true;
}

void report_end(upstream_attempt* a, const char* why, size_t lost) {
    report_end(a, why, std::strlen(why), lost);
}

// Forgets the attempt's lines in flight (written, not acknowledged, or
// failed), once they have been reported. Without the sequenced protocol they
// are lost and counted so; with it the upstream's position goes back to the
// first of them, to send them again on the next connection, and only those
// the log no longer holds are lost.
void forget_in_flight(client_state* c, bool resend) {
    upstream_attempt& a = c->attempt;
    const uint64_t in_flight = a.count + a.failed;
    if (resend && c->st->config.sequence && in_flight > 0) {
        line_log& log = c->st->log;
        const uint64_t at = c->consumer.next.load(std::memory_order_relaxed);
        const uint64_t gone = line_log_rewind(log, c->consumer, a.unacked_from);
        c->st->counters.unacknowledged += gone;
        c->st->counters.resent += at - c->consumer.next.load(std::memory_order_relaxed);
    } else {
        c->st->counters.unacknowledged += in_flight;
    }
    a.count = 0;
    a.writes = 0;
    a.failed = 0;
    a.last_end_open = false;
}

// Ends the current attempt once: explains it unless that is done or the relay
// is stopping, forgets its lines in flight and takes one backoff step. `why`
// is the library's text (len bytes, not necessarily terminated) or null.
void end_attempt(client_state* c, lws* wsi, const char* why, size_t len) {
    upstream_attempt& a = c->attempt;
    if (!a.open) return;
    if (wsi != nullptr && c->up.wsi != nullptr && wsi != c->up.wsi) return;
    bool stopping = c->st->stopping.load();
    if (wsi != nullptr && c->up.connected) settle(c, wsi);
    size_t lost = a.count + a.failed;
    if (!stopping && !a.explained) {
        if (why != nullptr && len == 0) len = strnlen(why, 300);
        if (why != nullptr)
            report_end(&a, why, len, lost);
        else if (lost > 0)
            report_end(&a, "connection closed", lost);
    }
    forget_in_flight(c, !stopping);
    a.open = false;
    if (stopping) {
        c->up.wsi = nullptr;
        c->up.connected = false;
        return;
    }
    schedule_reconnect(c->st->config, &c->up, backoff_clock());
}

// Closes the current connection from the service loop, outside any callback,
// after saying why. The library's callbacks for the close end the attempt; if
// it raises none, the attempt is ended here.
void cut(client_state* c, const char* why) {
    lws* wsi = c->up.wsi;
    if (c->up.connected) settle(c, wsi);
    report_end(&c->attempt, why, c->attempt.count + c->attempt.failed);
    lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_SYNC);
    end_attempt(c, nullptr, nullptr, 0);
}

// At stop: a bounded wait for acknowledgements, then the lines still
// unacknowledged are reported as a cut connection's are, and counted. Nothing
// is written meanwhile and no callback runs, since the context is not
// serviced; the library's close during its destruction then finds nothing
// left to count.
void settle_at_stop(client_state* c) {
    upstream_attempt& a = c->attempt;
    if (!a.open || !c->up.connected || c->up.wsi == nullptr) return;
    const int64_t deadline = stats::monotonic_ms() + kStopGraceMs;
    for (;;) {
        settle(c, c->up.wsi);
        uint64_t written = 0, unacked = 0;
        if (a.count == 0 || tcp_progress(c->up.wsi, &written, &unacked) != 0 || unacked == 0 ||
            stats::monotonic_ms() >= deadline)
            break;
        timespec pause{0, kStopPollNs};
        nanosleep(&pause, nullptr);
    }
    const size_t lost = a.count + a.failed;
    if (lost > 0) report_end(&a, "relay stopping", lost);
    forget_in_flight(c, false);
}

// Whether the library has closed the socket of an attempt still in its
// handshake without ending the attempt. libwebsockets 4.1 does that when its
// own time-out for the upgrade's answer fires, and for some connections reset
// just after TLS (as an upstream refusing a missing client certificate does):
// no callback follows, and only the 20 s deadline would end the attempt.
// Looking at the descriptor each tick ends it within a second instead.
bool handshake_socket_closed(lws* wsi) {
    const int fd = lws_get_socket_fd(wsi);
    if (fd < 0) return false;
    pollfd p{fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLNVAL) != 0;
}

// At least once a second while an attempt is open: the handshake deadline
// and a dead handshake socket, then acknowledgements and the stall limit.
void watch_attempt(client_state* c) {
    if (c->up.wsi == nullptr) return;
    int64_t now = stats::monotonic_ms();
    if (!c->up.connected) {
        if (now - c->attempt.started_ms >= kHandshakeDeadlineMs)
            cut(c, "no WebSocket handshake within 20 s");
        else if (handshake_socket_closed(c->up.wsi))
            cut(c, "connection ended before the WebSocket handshake completed");
        return;
    }
    settle(c, c->up.wsi);
    if (now - c->attempt.progress_ms > kStallLimitMs)
        cut(c, "upstream stalled: nothing acknowledged for 10 s");
}

// The library refuses a request at once, with no callback and no text, when
// the host name does not resolve (or no socket can be had); the resolver's
// own answer names the cause.
void explain_refusal(client_state* c) {
    const relay_config& cfg = c->st->config;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(cfg.host, nullptr, &hints, &found);
    int err = errno;
    char why[300];
    if (rc == 0) {
        freeaddrinfo(found);
        std::snprintf(why, sizeof why, "connection request for %s refused", cfg.host);
    } else {
        std::snprintf(why, sizeof why, "cannot resolve %s: %s", cfg.host,
                      rc == EAI_SYSTEM ? std::strerror(err) : gai_strerror(rc));
    }
    report_end(&c->attempt, why, 0);
}

// Hands one connection request to the library. 0 when it was accepted (the
// new connection is then in c->up.wsi), -1 when it was refused at once.
int connect_wss(client_state* c) {
    const relay_config& cfg = c->st->config;
    lws_client_connect_info ci{};
    ci.context = c->st->context;
    ci.address = cfg.host;
    ci.port = cfg.port;
    ci.ssl_connection = LCCSCF_USE_SSL | LCCSCF_HTTP_NO_FOLLOW_REDIRECT;
    ci.path = cfg.path;
    ci.host = cfg.host;
    ci.origin = cfg.host;
    // Offered only when asked for: an upstream that knows nothing of it
    // still gets the handshake it always got.
    ci.protocol = cfg.sequence ? kSeqProtocolName : nullptr;
    ci.local_protocol_name = kProtocolName;
    ci.pwsi = &c->up.wsi;
    ci.retry_and_idle_policy = &kUpstreamIdlePolicy;
    return lws_client_connect_via_info(&ci) != nullptr ? 0 : -1;
}

// The service loop's client step: when no attempt is open and `now` has
// reached `reconnect_at`, starts one and logs "wss_connecting", or takes a
// backoff step when the library refuses the request at once.
void poll_upstream(client_state* c, time_t now) {
    upstream_attempt& a = c->attempt;
    if (a.open) {
        watch_attempt(c);
        return;
    }
    if (c->up.wsi != nullptr || now < c->up.reconnect_at) return;
    ++c->st->counters.attempts;
    a.open = true;
    a.explained = false;
    a.ping_due = false;
    a.started_ms = stats::monotonic_ms();
    if (connect_wss(c) == 0 && a.open) {
        log_line("info", "wss_connecting");
        return;
    }
    // Refused at once; if an error callback already ended the attempt from
    // inside the connect call, this does nothing.
    if (a.open && !a.explained) explain_refusal(c);
    end_attempt(c, nullptr, nullptr, 0);
}

bool has_lines(const client_state* c) {
    return c->consumer.next.load(std::memory_order_relaxed) < line_log_range(c->st->log).next;
}

int append_headers(client_state* c, lws* wsi, void* in, size_t len) {
    auto** p = static_cast<unsigned char**>(in);
    unsigned char* end = *p + len;
    char bearer[kBearerSize];
    int n = std::snprintf(bearer, sizeof bearer, "Bearer %s", c->st->config.token);
    if (n < 0 || static_cast<size_t>(n) > sizeof bearer - 1) return -1;
    if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>("authorization:"),
                                    reinterpret_cast<const unsigned char*>(bearer), n, p, end))
        return -1;
    const char* id = c->st->config.switch_id;
    if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>("x-zel-switch-id:"),
                                    reinterpret_cast<const unsigned char*>(id),
                                    static_cast<int>(std::strlen(id)), p, end))
        return -1;
    return 0;
}

int on_established(client_state* c, lws* wsi) {
    c->up.wsi = wsi;
    c->up.connected = true;
    c->up.reconnect_delay = c->st->config.reconnect_min;
    c->attempt.ping_due = false;
    c->attempt.acked = 0;
    c->attempt.progress_ms = stats::monotonic_ms();
    c->attempt.unacked_from = c->consumer.next.load(std::memory_order_relaxed);
    // Only a TCP socket takes the option, and every upstream is one.
    int lowat = kUnsentLowat;
    setsockopt(lws_get_socket_fd(wsi), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
    log_line("info", "wss_connected");
    if (has_lines(c)) lws_callback_on_writable(wsi);
    lws_set_timer_usecs(wsi, kPingIntervalUs);
    return 0;
}

int send_ping(lws* wsi) {
    unsigned char ping[LWS_PRE + 1] = {};
    // The library reports the framed size for control frames, so only a
    // negative result means failure.
    if (lws_write(wsi, ping + LWS_PRE, 0, LWS_WRITE_PING) < 0) return -1;
    return 0;
}

// A due ping goes first, alone; then the upstream's next lines, as many
// frames to a write as fit, while the connection takes them and there is
// room to track them. Choke is checked once per write. Lines released before
// the upstream took them are skipped (the log counted them as dropped). Asks
// for another callback while work remains; with every slot in flight the
// tick asks again.
int on_writable(client_state* c, lws* wsi) {
    upstream_attempt& a = c->attempt;
    line_log& log = c->st->log;
    settle(c, wsi);
    if (a.ping_due) {
        a.ping_due = false;
        if (send_ping(wsi) != 0) return -1;
        if (has_lines(c)) lws_callback_on_writable(wsi);
        return 0;
    }
    const boot_id* boot = c->sequenced ? &log.boot : nullptr;
    line_ref pinned[kPinLines];
    for (int k = 0; k < frame::kBatchesPerWritable && a.writes < kInFlightMax; ++k) {
        uint64_t pos = c->consumer.next.load(std::memory_order_relaxed);
        pin_result got = line_log_pin(log, pos, pinned, frame::kBatchBytes);
        if (got.overtaken) {
            line_log_rewind(log, c->consumer, pos);  // on to the oldest held line
            pos = c->consumer.next.load(std::memory_order_relaxed);
            got = line_log_pin(log, pos, pinned, frame::kBatchBytes);
        }
        if (got.count == 0) return 0;
        frame::batch_result r;
        const int rc = frame::write_lines(&c->writer, wsi, {pinned, got.count}, boot, &r);
        line_log_unpin({pinned, got.count});
        line_log_advance(log, c->consumer, pos + r.lines);
        if (rc != 0) {
            a.failed += r.lines;
            return -1;
        }
        record_write(&a, wsi, r.lines, pos);
        if (lws_send_pipe_choked(wsi)) break;
    }
    if (has_lines(c) && a.writes < kInFlightMax) lws_callback_on_writable(wsi);
    return 0;
}

int on_timer(client_state* c, lws* wsi) {
    c->attempt.ping_due = true;
    lws_callback_on_writable(wsi);
    lws_set_timer_usecs(wsi, kPingIntervalUs);
    return 0;
}

void on_wake(client_state* c) {
    if (c->up.connected && c->up.wsi != nullptr && has_lines(c))
        lws_callback_on_writable(c->up.wsi);
}

// "ADDR:PORT", or "[ADDR]:PORT" for IPv6, of a resolved address.
void address_text(const sockaddr* sa, socklen_t len, char* out, size_t size) {
    char host[INET6_ADDRSTRLEN], serv[NI_MAXSERV];  // numeric: these always fit
    if (getnameinfo(sa, len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::snprintf(out, size, "?");
        return;
    }
    std::snprintf(out, size, sa->sa_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host, serv);
}

// The library's "Unable to connect" names neither the address nor the cause,
// and its socket is gone by the time it says so. One probe of our own asks the
// kernel: a non-blocking connect to the first address the host resolves to,
// waited for at most kProbeMs, and the error it meets. Writes "<text> to
// ADDR:PORT: <system error text>" into why.
constexpr int kProbeMs = 1000;

void explain_connect_failure(const relay_config& cfg, std::string_view text, char* why,
                             size_t size) {
    char port[8];
    std::snprintf(port, sizeof port, "%d", cfg.port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(cfg.host, port, &hints, &found) != 0 || found == nullptr) {
        if (std::snprintf(why, size, "%.*s to %s:%s", static_cast<int>(text.size()), text.data(),
                          cfg.host, port) < 0)
            why[0] = '\0';
        return;
    }
    char where[INET6_ADDRSTRLEN + 16];
    address_text(found->ai_addr, found->ai_addrlen, where, sizeof where);
    const char* cause = "no answer within 1 s";
    unique_fd fd(socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int err = 0;
    if (!fd.valid()) {
        err = errno;
    } else if (connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
        err = errno;
    } else {
        pollfd p{fd.get(), POLLOUT, 0};
        if (poll(&p, 1, kProbeMs) == 1) {
            socklen_t len = sizeof err;
            if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            if (err == 0) cause = "it answered when tried again";
        }
    }
    freeaddrinfo(found);
    // Cut to the room a reason has, like any other.
    if (std::snprintf(why, size, "%.*s to %s: %s", static_cast<int>(text.size()), text.data(),
                      where, err != 0 ? std::strerror(err) : cause) < 0)
        why[0] = '\0';
}

// A 3xx answer to the upgrade would carry the token and every event to
// wherever its Location points; the library follows none (see connect_wss)
// and the status says why the attempt failed.
void on_connection_error(client_state* c, lws* wsi, const void* in, size_t len) {
    unsigned int status = wsi != nullptr ? lws_http_client_http_response(wsi) : 0;
    if (status >= 300 && status < 400) {
        char why[96];
        std::snprintf(why, sizeof why, "upgrade answered with HTTP %u; redirects are not followed",
                      status);
        end_attempt(c, wsi, why, 0);
        return;
    }
    const char* text = static_cast<const char*>(in);
    const size_t text_len = text == nullptr ? 0 : len != 0 ? len : strnlen(text, 300);
    if (std::string_view(text != nullptr ? text : "", text_len) == "Unable to connect" &&
        c->attempt.open && !c->attempt.explained && !c->st->stopping.load()) {
        char why[300];
        explain_connect_failure(c->st->config, std::string_view(text, text_len), why, sizeof why);
        end_attempt(c, wsi, why, 0);
        return;
    }
    end_attempt(c, wsi, text, in != nullptr ? len : 0);
}

// The upstream closing with a close frame says why in its code and reason;
// those bytes are the peer's, so they reach the log escaped and bounded (a
// close frame holds at most 123 bytes of reason). The attempt ends with the
// close callback that follows.
void on_peer_close(const void* in, size_t len) {
    const auto* p = static_cast<const unsigned char*>(in);
    unsigned code = 1005;  // no status in the frame
    std::string_view reason;
    if (p != nullptr && len >= 2) {
        code = static_cast<unsigned>(p[0]) << 8 | p[1];
        reason =
            std::string_view(reinterpret_cast<const char*>(p + 2), std::min<size_t>(len - 2, 123));
    }
    char shown[200];
    log_escape(shown, sizeof shown, reason, true);
    char msg[256];
    std::snprintf(msg, sizeof msg, "wss_upstream_closed code=%u reason=%s", code, shown);
    log_line("warning", msg);
}

// Envelopes go only to an upstream that chose the sequenced protocol in its
// answer. The connection stays bound to the local protocol whatever the
// answer, so the answer's header is what tells.
int note_protocol(client_state* c, lws* wsi) {
    char chosen[sizeof kSeqProtocolName + 1];
    const int n = lws_hdr_copy(wsi, chosen, sizeof chosen, WSI_TOKEN_PROTOCOL);
    c->sequenced = c->st->config.sequence && n == static_cast<int>(sizeof kSeqProtocolName - 1) &&
                   std::strcmp(chosen, kSeqProtocolName) == 0;
    return 0;
}

int client_callback(client_state* c, lws* wsi, lws_callback_reasons reason, void* in, size_t len) {
    switch (reason) {
    case LWS_CALLBACK_CLIENT_FILTER_PRE_ESTABLISH:
        return note_protocol(c, wsi);
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
        return append_headers(c, wsi, in, len);
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        return on_established(c, wsi);
    case LWS_CALLBACK_CLIENT_WRITEABLE:
        return on_writable(c, wsi);
    case LWS_CALLBACK_TIMER:
        return on_timer(c, wsi);
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        on_wake(c);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        on_connection_error(c, wsi, in, len);
        return 0;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
        if (wsi == c->up.wsi && c->up.connected) on_peer_close(in, len);
        return 0;
    case LWS_CALLBACK_CLIENT_CLOSED:
        end_attempt(c, wsi, nullptr, 0);
        return 0;
    default:
        return 0;
    }
}

class client_mode final : public relay_mode {
public:
    // The upstream is the log's one consumer from the first line on, also
    // while no connection is up, so that lines read meanwhile wait for it.
    explicit client_mode(relay_state* st) {
        c_.st = st;
        c_.up.reconnect_delay = st->config.reconnect_min;
        frame::writer_init(&c_.writer, true);
        c_.consumer.kind = consumer_kind::upstream;
        c_.consumer.lossy = true;
        line_log_attach(st->log, c_.consumer, 1);
    }

    ~client_mode() override { line_log_detach(c_.st->log, c_.consumer); }

    // Client TLS files, and room in the library's per-thread buffer for the
    // handshake of the longest token, path and switch id the configuration
    // accepts.
    void fill_context_info(lws_context_creation_info* info) override {
        const relay_config& cfg = c_.st->config;
        if (cfg.ca_file[0] != '\0') info->client_ssl_ca_filepath = cfg.ca_file;
        if (cfg.client_cert[0] != '\0') {
            info->client_ssl_cert_filepath = cfg.client_cert;
            info->client_ssl_private_key_filepath = cfg.client_key;
        }
        info->pt_serv_buf_size = kClientServBufSize;
    }

    void start() override {}

    void service_pass() override { poll_upstream(&c_, backoff_clock()); }

    int callback(lws* wsi, lws_callback_reasons reason, void* /*user*/, void* in,
                 size_t len) override {
        return client_callback(&c_, wsi, reason, in, len);
    }

    // Counts the lines TCP acknowledges within a moment as sent, and reports
    // the rest as lost.
    void stop() override { settle_at_stop(&c_); }

    void fill_stats(relay_stats* out) const override { out->connected = c_.up.connected; }

private:
    client_state c_{};
};

}  // namespace

void schedule_reconnect(const relay_config& cfg, upstream* up, time_t now) {
    uint32_t delay = up->reconnect_delay != 0 ? up->reconnect_delay : cfg.reconnect_min;
    up->connected = false;
    up->wsi = nullptr;
    // 64-bit so that a huge configured maximum cannot wrap the jitter range.
    uint64_t range = static_cast<uint64_t>(delay) * 200 + 1;
    uint64_t jitter_ms = static_cast<uint64_t>(std::rand()) % range;
    up->reconnect_at = now + static_cast<time_t>(delay) + (jitter_ms >= 1000 ? 1 : 0);
    up->reconnect_delay = delay < cfg.reconnect_max / 2 ? delay * 2 : cfg.reconnect_max;
    char msg[128];
    std::snprintf(msg, sizeof msg, "wss_disconnected retry_seconds=%u", delay);
    log_line("warning", msg);
}

std::unique_ptr<relay_mode> make_mode(relay_state* st) {
    return std::unique_ptr<relay_mode>(new (std::nothrow) client_mode(st));
}

}  // namespace zel::client
