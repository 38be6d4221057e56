#include "relay_client.hpp"

#include <netdb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay_log.hpp"

namespace {

constexpr lws_usec_t ping_interval_us = 20 * LWS_USEC_PER_SEC;
constexpr size_t bearer_size = 4112;

// The library times out a TCP connect and a silent ClientHello by itself, but
// not a server that completes TLS and then never answers the upgrade; without
// a deadline of our own such an attempt would hold the relay for good.
constexpr int64_t handshake_deadline_ms = 20'000;

// The largest handshake a valid configuration makes: request line with a
// 1,023-byte path, Host and Origin with a 255-byte host, the library's own
// headers, "authorization: Bearer " with a 4,095-byte token and the 255-byte
// switch id come to under 7 KiB. The library builds it in its per-thread
// buffer, 4,096 bytes by default, and fails the attempt when it does not fit.
constexpr unsigned int client_serv_buf_size = 16384;

// Our own pings go out every 20 s and any answering server's pongs keep the
// connection valid; an upstream that stops answering (a dead path that TCP
// would take many minutes to notice) is hung up after 60 s so that lines wait
// in the main queue for a fresh connection instead of vanishing into it. The
// library's own ping at 30 s idle only fires if ours went unanswered.
const lws_retry_bo_t upstream_idle_policy = {
    nullptr,  // retry_ms_table: attempts are scheduled by schedule_reconnect
    0,        // retry_ms_table_count
    0,        // conceal_count
    30,       // secs_since_valid_ping
    60,       // secs_since_valid_hangup
    0,        // jitter_percent
};

// The current attempt. Service thread only.
//
// How an attempt's end is reported depends on where it failed: a connection
// error, a close, or a connect call that returns null (possibly after raising
// the error from inside itself). A second backoff step for the same attempt
// would double the delay, so each attempt ends once, in end_attempt.
struct upstream_attempt {
    bool open;             // from the accepted request until its end
    bool explained;        // a wss_connection_error line already says why it ended
    bool ping_due;         // set by the timer, written by the next writable callback:
                           // from the timer it could split a partly buffered message
    int64_t started_ms;    // when the request was made
};

upstream_attempt attempt;

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// "wss_connection_error reason=<why>", at most 300 bytes of it.
// log_line shows control bytes as '?', so the library's text cannot forge lines.
void report_end(const char *why, size_t why_len) {
    int n = static_cast<int>(why_len < 300 ? why_len : 300);
    char msg[384];
    std::snprintf(msg, sizeof msg, "wss_connection_error reason=%.*s", n, why);
    log_line("error", msg);
    attempt.explained = true;
}

void report_end(const char *why) { report_end(why, std::strlen(why)); }

// Ends the current attempt once: explains it unless that is done or the relay
// is stopping, and takes one backoff step. `why` is the library's text (len
// bytes, not necessarily terminated) or null.
void end_attempt(relay_state *st, lws *wsi, const char *why, size_t len) {
    if (!attempt.open) return;
    if (wsi != nullptr && st->wsi != nullptr && wsi != st->wsi) return;
    bool stopping = st->stopping.load();
    if (!stopping && !attempt.explained && why != nullptr) {
        if (len == 0) len = strnlen(why, 300);
        report_end(why, len);
    }
    attempt.open = false;
    if (stopping) {
        st->wsi = nullptr;
        st->connected = false;
        return;
    }
    schedule_reconnect(st, time(nullptr));
}

// Closes the current connection from the service loop, outside any callback,
// after saying why. The library's callbacks for the close end the attempt; if
// it raises none, the attempt is ended here.
void cut(relay_state *st, const char *why) {
    lws *wsi = st->wsi;
    report_end(why);
    lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_SYNC);
    end_attempt(st, nullptr, nullptr, 0);
}

// At least once a second while an attempt is open: the handshake deadline.
void watch_attempt(relay_state *st) {
    if (st->wsi == nullptr || st->connected) return;
    if (monotonic_ms() - attempt.started_ms >= handshake_deadline_ms)
        cut(st, "no WebSocket handshake within 20 s");
}

// The library refuses a request at once, with no callback and no text, when
// the host name does not resolve (or no socket can be had); the resolver's
// own answer names the cause.
void explain_refusal(const relay_config &cfg) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
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
    report_end(why);
}

int append_headers(relay_state *st, lws *wsi, void *in, size_t len) {
    auto **p = static_cast<unsigned char **>(in);
    unsigned char *end = *p + len;
    char bearer[bearer_size];
    int n = std::snprintf(bearer, sizeof bearer, "Bearer %s", st->config.token);
    if (n < 0 || static_cast<size_t>(n) > sizeof bearer - 1) return -1;
    if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>("authorization:"),
                                    reinterpret_cast<const unsigned char *>(bearer), n, p, end))
        return -1;
    const char *id = st->config.switch_id;
    if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>("x-zel-switch-id:"),
                                    reinterpret_cast<const unsigned char *>(id),
                                    static_cast<int>(std::strlen(id)), p, end))
        return -1;
    return 0;
}

int on_established(relay_state *st, lws *wsi) {
    st->wsi = wsi;
    st->connected = true;
    st->reconnect_delay = st->config.reconnect_min;
    attempt.ping_due = false;
    log_line("info", "wss_connected");
    if (zel_relay_queue_count(&st->queue) > 0) lws_callback_on_writable(wsi);
    lws_set_timer_usecs(wsi, ping_interval_us);
    return 0;
}

int send_ping(lws *wsi) {
    unsigned char ping[LWS_PRE + 1] = {};
    // The library reports the framed size for control frames, so only a
    // negative result means failure.
    if (lws_write(wsi, ping + LWS_PRE, 0, LWS_WRITE_PING) < 0) return -1;
    return 0;
}

// Lines written per writable callback at most. One line per callback held
// the upstream link to a fraction of what the socket takes, and the main
// queue then dropped lines at rates a busy switch reaches; the bound keeps
// the service loop turning while the reader thread refills the queue.
constexpr int kLinesPerWritable = 64;

// A due ping goes first, alone; then queued lines while the connection takes
// them. Asks for another callback while work remains.
int on_writable(relay_state *st, lws *wsi) {
    if (attempt.ping_due) {
        attempt.ping_due = false;
        if (send_ping(wsi) != 0) return -1;
        if (zel_relay_queue_count(&st->queue) > 0) lws_callback_on_writable(wsi);
        return 0;
    }
    for (int k = 0; k < kLinesPerWritable && !lws_send_pipe_choked(wsi); ++k) {
        zel_relay_item *item = zel_relay_queue_take(&st->queue);
        if (item == nullptr) return 0;
        auto *buf = static_cast<unsigned char *>(std::malloc(LWS_PRE + item->len));
        if (buf == nullptr) {
            zel_relay_item_free(item);
            return -1;
        }
        std::memcpy(buf + LWS_PRE, item->data, item->len);
        size_t len = item->len;
        int n = lws_write(wsi, buf + LWS_PRE, len, LWS_WRITE_TEXT);
        std::free(buf);
        zel_relay_item_free(item);
        if (n < 0 || static_cast<size_t>(n) != len) return -1;
        ++st->sent;
    }
    if (zel_relay_queue_count(&st->queue) > 0) lws_callback_on_writable(wsi);
    return 0;
}

int on_timer(lws *wsi) {
    attempt.ping_due = true;
    lws_callback_on_writable(wsi);
    lws_set_timer_usecs(wsi, ping_interval_us);
    return 0;
}

void on_wake(relay_state *st) {
    if (st->connected && st->wsi != nullptr && zel_relay_queue_count(&st->queue) > 0)
        lws_callback_on_writable(st->wsi);
}

// A 3xx answer to the upgrade would carry the token and every event to
// wherever its Location points; the library follows none (see connect_wss)
// and the status says why the attempt failed.
void on_connection_error(relay_state *st, lws *wsi, const void *in, size_t len) {
    unsigned int status = wsi != nullptr ? lws_http_client_http_response(wsi) : 0;
    if (status >= 300 && status < 400) {
        char why[96];
        std::snprintf(why, sizeof why, "upgrade answered with HTTP %u; redirects are not followed",
                      status);
        end_attempt(st, wsi, why, 0);
        return;
    }
    end_attempt(st, wsi, static_cast<const char *>(in), in != nullptr ? len : 0);
}

}  // namespace

void schedule_reconnect(relay_state *st, time_t now) {
    uint32_t delay = st->reconnect_delay != 0 ? st->reconnect_delay : st->config.reconnect_min;
    st->connected = false;
    st->wsi = nullptr;
    // 64-bit so that a huge configured maximum cannot wrap the jitter range.
    uint64_t range = static_cast<uint64_t>(delay) * 200 + 1;
    uint64_t jitter_ms = static_cast<uint64_t>(std::rand()) % range;
    st->reconnect_at = now + static_cast<time_t>(delay) + (jitter_ms >= 1000 ? 1 : 0);
    st->reconnect_delay = delay < st->config.reconnect_max / 2 ? delay * 2 : st->config.reconnect_max;
    char msg[128];
    std::snprintf(msg, sizeof msg, "wss_disconnected retry_seconds=%u", delay);
    log_line("warning", msg);
}

void client_fill_context_info(lws_context_creation_info *info) {
    info->pt_serv_buf_size = client_serv_buf_size;
}

int connect_wss(relay_state *st) {
    lws_client_connect_info ci{};
    ci.context = st->context;
    ci.address = st->config.host;
    ci.port = st->config.port;
    ci.ssl_connection = LCCSCF_USE_SSL | LCCSCF_HTTP_NO_FOLLOW_REDIRECT;
    ci.path = st->config.path;
    ci.host = st->config.host;
    ci.origin = st->config.host;
    ci.protocol = nullptr;
    ci.local_protocol_name = "zel-pcap-relay";
    ci.pwsi = &st->wsi;
    ci.retry_and_idle_policy = &upstream_idle_policy;
    return lws_client_connect_via_info(&ci) != nullptr ? 0 : -1;
}

void client_poll(relay_state *st, time_t now) {
    if (attempt.open) {
        watch_attempt(st);
        return;
    }
    if (st->wsi != nullptr || now < st->reconnect_at) return;
    attempt.open = true;
    attempt.explained = false;
    attempt.ping_due = false;
    attempt.started_ms = monotonic_ms();
    if (connect_wss(st) == 0 && attempt.open) {
        log_line("info", "wss_connecting");
        return;
    }
    // Refused at once; if an error callback already ended the attempt from
    // inside the connect call, this does nothing.
    if (attempt.open && !attempt.explained) explain_refusal(st->config);
    end_attempt(st, nullptr, nullptr, 0);
}

int client_callback(relay_state *st, lws *wsi, lws_callback_reasons reason,
                    void * /*user*/, void *in, size_t len) {
    switch (reason) {
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
        return append_headers(st, wsi, in, len);
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        return on_established(st, wsi);
    case LWS_CALLBACK_CLIENT_WRITEABLE:
        return on_writable(st, wsi);
    case LWS_CALLBACK_TIMER:
        return on_timer(wsi);
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        on_wake(st);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        on_connection_error(st, wsi, in, len);
        return 0;
    case LWS_CALLBACK_CLIENT_CLOSED:
        end_attempt(st, wsi, nullptr, 0);
        return 0;
    default:
        return 0;
    }
}
