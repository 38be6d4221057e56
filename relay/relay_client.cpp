#include "relay_client.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay_log.hpp"

namespace {

constexpr lws_usec_t ping_interval_us = 20 * LWS_USEC_PER_SEC;
constexpr size_t bearer_size = 4112;

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

// Service thread only. How an attempt's end is reported depends on where it
// failed: a connection error, a close, or a connect call that returns null
// (possibly after raising the error from inside itself). A second backoff step
// for the same attempt would double the delay, so each attempt ends once here.
bool attempt_open = false;

// Set by the connection timer and consumed by the next writable callback:
// writing a ping from the timer itself could interleave with a text message
// still partly buffered by the library.
bool ping_due = false;

void end_attempt(relay_state *st, lws *wsi) {
    if (!attempt_open) return;
    if (wsi != nullptr && st->wsi != nullptr && wsi != st->wsi) return;
    attempt_open = false;
    if (st->stopping.load()) {
        st->wsi = nullptr;
        st->connected = false;
        return;
    }
    schedule_reconnect(st, time(nullptr));
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
    ping_due = false;
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
    if (ping_due) {
        ping_due = false;
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
    ping_due = true;
    lws_callback_on_writable(wsi);
    lws_set_timer_usecs(wsi, ping_interval_us);
    return 0;
}

void on_wake(relay_state *st) {
    if (st->connected && st->wsi != nullptr && zel_relay_queue_count(&st->queue) > 0)
        lws_callback_on_writable(st->wsi);
}

// log_line shows control bytes as '?', so the library's text cannot forge lines.
void log_connection_error(const void *in, size_t len) {
    if (in == nullptr) return;
    const char *text = static_cast<const char *>(in);
    int n = static_cast<int>(len > 0 && len < 300 ? len : 300);
    char msg[384];
    std::snprintf(msg, sizeof msg, "wss_connection_error reason=%.*s", n, text);
    log_line("error", msg);
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
    ci.ssl_connection = LCCSCF_USE_SSL;
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
    if (attempt_open || st->wsi != nullptr || now < st->reconnect_at) return;
    attempt_open = true;
    if (connect_wss(st) == 0 && attempt_open) {
        log_line("info", "wss_connecting");
        return;
    }
    // Refused at once; if an error callback already ended the attempt from
    // inside the connect call, this does nothing.
    end_attempt(st, nullptr);
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
        log_connection_error(in, len);
        end_attempt(st, wsi);
        return 0;
    case LWS_CALLBACK_CLIENT_CLOSED:
        end_attempt(st, wsi);
        return 0;
    default:
        return 0;
    }
}
