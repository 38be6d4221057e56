// The WebSocket source of zel_tail: one TLS connection at a time to a relay's
// subscriber endpoint, offering only the subprotocol "zel-pcap-relay.seq",
// resuming with ?from=<boot>:<seq>, reading text messages into a bounded
// buffer and handing each whole one to the consumer.
//
// Each attempt ends exactly once (end_attempt), whatever mix of error and
// close callbacks the library delivers for it; the next one is started from
// the service loop after the backoff, never from inside a callback. A message
// the parser refuses, a binary or overlong one, or a server that did not
// accept the subprotocol ends the connection with a sentence on standard
// error, and the next connection resumes after the last event printed.
// Everything here runs on the main thread.
#include <libwebsockets.h>
#include <poll.h>
#include <sys/random.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "tail_source.hpp"

namespace zel::tail {

namespace {

constexpr const char* kProtocol = "zel-pcap-relay.seq";

// Backoff between attempts: doubles from the first to the last, with up to a
// fifth more drawn at random so that many readers of one relay spread out.
constexpr int64_t kFirstDelayMs = 1000;
constexpr int64_t kLastDelayMs = 30000;

// A connection that lasted this long, or brought an event, was a good one:
// the next failure starts the backoff over.
constexpr int64_t kGoodConnectionMs = 10000;

// The library times out a TCP connect or a silent TLS handshake by itself,
// but not a server that never answers the upgrade.
constexpr int64_t kHandshakeDeadlineMs = 20000;

// How often the loop wakes without traffic: the backoff's resolution.
constexpr lws_usec_t kTickUs = 100 * 1000;

// Pings after 30 s without a pong and hangs up after 60 s, so that a relay
// that vanished without closing is noticed.
const lws_retry_bo_t kIdlePolicy = {nullptr, 0, 0, 30, 60, 0};

int64_t monotonic_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct tick_timer {
    lws_sorted_usec_list_t sul;
    lws_context* context;
};

struct wss_run {
    const source_url* url;
    consumer* sink;
    lws_context* context = nullptr;
    lws* wsi = nullptr;        // the attempt's connection, written by the library; null between
    bool open = false;         // an attempt is under way
    bool connected = false;    // its handshake completed
    bool got_event = false;    // it brought at least one event
    int64_t started_ms = 0;    // when the attempt was made
    int64_t connected_ms = 0;  // when its handshake completed
    int64_t retry_at_ms = 0;   // earliest next attempt
    int64_t delay_ms = kFirstDelayMs;
    int status = -1;   // the run's exit status once decided
    std::string path;  // the attempt's request path; lives as long as it
    std::string why;   // why the attempt ended, when we know better than the library
    std::string rx;    // the message being received
    tick_timer tick{};
};

std::string shown_url(const wss_run& r) {
    const source_url& u = *r.url;
    const bool v6 = u.host.find(':') != std::string::npos;
    return "wss://" + (v6 ? "[" + u.host + "]" : u.host) + ":" + std::to_string(u.port) + r.path;
}

// Ends the current attempt once, says why, and schedules the next.
// `library_why` is the library's text (may be null, not necessarily
// terminated within len).
void end_attempt(wss_run& r, lws* wsi, const char* library_why, size_t len) {
    if (!r.open) return;
    if (wsi != nullptr && r.wsi != nullptr && wsi != r.wsi) return;
    const bool was_connected = r.connected;
    const int64_t now = monotonic_ms();
    std::string why = r.why;
    if (why.empty() && library_why != nullptr)
        why.assign(library_why, strnlen(library_why, len != 0 ? len : 300));
    if (why.empty()) why = r.connected ? "connection closed" : "connection failed";
    for (char& c : why)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    const bool good = r.connected && (r.got_event || now - r.connected_ms >= kGoodConnectionMs);
    if (good) r.delay_ms = kFirstDelayMs;
    uint16_t spread = 0;
    if (getrandom(&spread, sizeof spread, GRND_NONBLOCK) != sizeof spread) spread = 0;
    const int64_t wait = r.delay_ms + r.delay_ms * (spread % 201) / 1000;
    r.delay_ms = std::min(r.delay_ms * 2, kLastDelayMs);
    r.retry_at_ms = now + wait;
    r.open = false;
    r.connected = false;
    r.wsi = nullptr;
    if (r.status >= 0) return;  // the run is ending; its own line says why
    char delay[32];
    std::snprintf(delay, sizeof delay, "%.1f", static_cast<double>(wait) / 1000.0);
    std::fprintf(stderr, "zel_tail: %s %s: %s; retrying in %s s\n",
                 was_connected ? "disconnected from" : "cannot connect to", shown_url(r).c_str(),
                 why.c_str(), delay);
    std::fflush(stderr);
    // The consumer's position is saved at once, so that a restart in the
    // pause resumes where this connection stopped.
    if (const int rc = r.sink->flush(now, true)) r.status = rc;
}

// Closes the attempt from the service loop, outside any callback.
void cut(wss_run& r, const char* why) {
    r.why = why;
    lws_set_timeout(r.wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_SYNC);
    end_attempt(r, nullptr, nullptr, 0);
}

// libwebsockets 4.1 sometimes closes the socket of an attempt still in its
// handshake without a callback; the descriptor then reads as invalid.
bool handshake_socket_closed(lws* wsi) {
    const int fd = lws_get_socket_fd(wsi);
    if (fd < 0) return false;
    pollfd p{fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLNVAL) != 0;
}

void start_attempt(wss_run& r) {
    r.path = resume_path(r.url->path, r.sink->resume());
    r.open = true;
    r.connected = false;
    r.got_event = false;
    r.why.clear();
    r.rx.clear();
    r.started_ms = monotonic_ms();
    r.connected_ms = 0;
    lws_client_connect_info ci{};
    ci.context = r.context;
    ci.address = r.url->host.c_str();
    ci.port = r.url->port;
    ci.ssl_connection = LCCSCF_USE_SSL | LCCSCF_HTTP_NO_FOLLOW_REDIRECT;
    ci.path = r.path.c_str();
    ci.host = r.url->host.c_str();
    ci.origin = nullptr;  // the relay refuses any Origin
    ci.protocol = kProtocol;
    ci.local_protocol_name = kProtocol;
    ci.pwsi = &r.wsi;
    ci.retry_and_idle_policy = &kIdlePolicy;
    if (lws_client_connect_via_info(&ci) == nullptr && r.open) {
        if (r.why.empty()) r.why = "the connection request was refused (does the host resolve?)";
        end_attempt(r, nullptr, nullptr, 0);
    }
}

void watch_attempt(wss_run& r, int64_t now) {
    if (!r.open || r.connected || r.wsi == nullptr) return;
    if (now - r.started_ms >= kHandshakeDeadlineMs)
        cut(r, "no WebSocket handshake within 20 s");
    else if (handshake_socket_closed(r.wsi))
        cut(r, "connection ended during the handshake");
}

// The server must have chosen our subprotocol: without it, it would send
// plain lines without positions.
int check_subprotocol(wss_run& r, lws* wsi) {
    char chosen[64] = "";
    if (lws_hdr_copy(wsi, chosen, sizeof chosen, WSI_TOKEN_PROTOCOL) < 0 ||
        std::strcmp(chosen, kProtocol) != 0) {
        r.why = std::string("the server did not accept the subprotocol ") + kProtocol +
                " (a relay without sequenced delivery?)";
        return 1;
    }
    return 0;
}

int on_established(wss_run& r, lws* wsi) {
    r.wsi = wsi;
    r.connected = true;
    r.connected_ms = monotonic_ms();
    const position& at = r.sink->resume();
    std::fprintf(stderr, "zel_tail: connected to %s (%s)\n", shown_url(r).c_str(),
                 at.known ? "resuming" : "new events only");
    std::fflush(stderr);
    return 0;
}

// The server's close frame, kept so that the disconnect line can say it.
// The reason is shown rather than the code: libwebsockets 4.1 hands a
// client 1002 for codes it does not know, 1013 among them.
void on_peer_close(wss_run& r, const void* in, size_t len) {
    const auto* p = static_cast<const unsigned char*>(in);
    if (p == nullptr || len < 2) return;
    char text[160];
    if (len > 2)
        std::snprintf(text, sizeof text, "closed by the server: %.*s",
                      static_cast<int>(std::min<size_t>(len - 2, 123)),
                      reinterpret_cast<const char*>(p + 2));
    else
        std::snprintf(text, sizeof text, "closed by the server with code %u", (p[0] << 8) | p[1]);
    r.why = text;
}

int refuse(wss_run& r, const char* why) {
    r.why = std::string("refused a message from the server: ") + why;
    return -1;
}

int on_receive(wss_run& r, lws* wsi, const void* in, size_t len) {
    if (lws_is_first_fragment(wsi)) r.rx.clear();
    if (lws_frame_is_binary(wsi)) return refuse(r, "binary message");
    if (len > kMaxMessageBytes - r.rx.size()) return refuse(r, "message too long");
    r.rx.append(static_cast<const char*>(in), len);
    if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) != 0) return 0;
    message m;
    const char* why = nullptr;
    if (parse_message(r.rx, m, &why) != 0) return refuse(r, why);
    if (m.kind == message_kind::event) r.got_event = true;
    const int rc = r.sink->on_message(m);
    r.rx.clear();
    if (rc != 0) {
        r.status = rc;
        return -1;
    }
    return 0;
}

int callback(lws* wsi, lws_callback_reasons reason, void* /*user*/, void* in, size_t len) {
    lws_context* ctx = wsi != nullptr ? lws_get_context(wsi) : nullptr;
    auto* r = ctx != nullptr ? static_cast<wss_run*>(lws_context_user(ctx)) : nullptr;
    if (r == nullptr) return 0;
    switch (reason) {
    case LWS_CALLBACK_CLIENT_FILTER_PRE_ESTABLISH:
        return check_subprotocol(*r, wsi);
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        return on_established(*r, wsi);
    case LWS_CALLBACK_CLIENT_RECEIVE:
        return on_receive(*r, wsi, in, len);
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
        on_peer_close(*r, in, len);
        return 0;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        end_attempt(*r, wsi, static_cast<const char*>(in), in != nullptr ? len : 0);
        return 0;
    case LWS_CALLBACK_CLIENT_CLOSED:
        end_attempt(*r, wsi, nullptr, 0);
        return 0;
    default:
        return 0;  // EVENT_WAIT_CANCELLED and the TLS verification hook included
    }
}

const lws_protocols kProtocols[] = {
    {kProtocol, callback, 0, 65536, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void on_tick(lws_sorted_usec_list_t* sul) {
    auto* t = lws_container_of(sul, tick_timer, sul);
    lws_sul_schedule(t->context, 0, &t->sul, on_tick, kTickUs);
}

// The library's own errors, marked as such, one line each.
void library_log(int /*level*/, const char* line) {
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
    std::fprintf(stderr, "zel_tail: libwebsockets: %.*s\n", static_cast<int>(n), line);
}

}  // namespace

int run_wss(const source_url& url, const tls_files& tls, consumer& sink,
            const volatile std::sig_atomic_t& stop) {
    wss_run r;
    r.url = &url;
    r.sink = &sink;

    lws_set_log_level(LLL_ERR, library_log);
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = kProtocols;
    info.user = &r;
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.client_ssl_ca_filepath = tls.ca;
    info.client_ssl_cert_filepath = tls.cert;
    info.client_ssl_private_key_filepath = tls.key;
    r.context = lws_create_context(&info);
    if (r.context == nullptr) {
        std::fprintf(stderr, "zel_tail: cannot set up TLS with the given --ca, --cert and --key\n");
        return kExitSetup;
    }
    r.tick.context = r.context;
    lws_sul_schedule(r.context, 0, &r.tick.sul, on_tick, kTickUs);

    while (!stop && r.status < 0) {
        const int64_t now = monotonic_ms();
        if (!r.open && now >= r.retry_at_ms) start_attempt(r);
        watch_attempt(r, now);
        if (r.status >= 0) break;
        lws_service(r.context, 0);
        if (const int rc = sink.flush(monotonic_ms(), false); rc != 0 && r.status < 0)
            r.status = rc;
    }
    const int status = r.status >= 0 ? r.status : kExitStopped;
    lws_sul_schedule(r.context, 0, &r.tick.sul, on_tick, LWS_SET_TIMER_USEC_CANCEL);
    r.status = status;  // the close during destruction reports nothing
    lws_context_destroy(r.context);
    const int final_rc = sink.flush(monotonic_ms(), true);
    return status != kExitStopped ? status : final_rc;
}

}  // namespace zel::tail
