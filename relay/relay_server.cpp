// Subscriber server mode: who may connect, what a subscriber is sent, and when
// a subscriber is cut off.
//
// Every subscriber owns a bounded queue that fanout fills from the main queue;
// each line is held once and shared by all of them. A subscriber that loses a
// line is disconnected rather than shown a gap, so what any subscriber
// receives is always a gapless run of the lines read after it connected. A
// line is moved into a subscriber queue only when it fits, so neither a queue
// shorter than a fan-out batch nor a burst that the relay has not yet tried
// to write cuts anyone off: only a connection that will not take data does.
//
// Peers on the allow-list hold a descriptor from accept until their handshake
// ends; they may hold only so many at once, overall and per address, so that
// one of them cannot take the listener from the others. Refusals are logged
// at most once a second with a count. All of this runs on the service thread.
#include "relay_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <string_view>

#include "relay_frame.hpp"
#include "relay_log.hpp"
#include "relay_throttle.hpp"

namespace zel::server {

namespace {

constexpr std::string_view kEventsPath = "/events";

// A path that does not fit this buffer cannot be "/events"; lws_hdr_copy fails
// for it instead of truncating, which is what rejects over-long paths.
constexpr int kPathBufferSize = 64;

// Bounds the work of one service pass so that handshakes and writes of other
// connections are not starved while a backlog drains. Moving a line costs one
// small entry per subscriber and no copy, and the reader wakes the service
// thread once per receive (up to about 500 lines of 500 bytes), so a pass
// takes a whole receive's worth.
constexpr int kFanoutBatch = 1024;

// How long a subscriber's full queue may wait on a socket that takes nothing
// before it counts as stalled and is cut off. Lines for everybody wait in the
// main queue meanwhile (and past its limits are lost to all), so the bound is
// short; a subscriber that reads at all drains its socket far sooner, and its
// writable callback then makes room.
constexpr int64_t kStallMs = 500;

// How long a subscriber cut off while its socket is choked has to read far
// enough for its close frame to go out.
constexpr int kCutCloseSecs = 5;

// 1013 has no name in the library's enum.
constexpr auto kCloseTryAgainLater = static_cast<lws_close_status>(1013);

constexpr std::string_view kReasonLimit = "Client limit reached";
constexpr std::string_view kReasonSlow = "Slow consumer; events lost";
constexpr std::string_view kReasonReadOnly = "Read-only endpoint";

// A peer that connects and never finishes a handshake holds a descriptor
// until the library's handshake time-out (5 to 10 s), so without a bound one
// listed host could take every descriptor. A handshake takes milliseconds: 64
// at once is several times what the default 16 subscribers need when all
// reconnect together, and with them stays far below the usual 1,024
// descriptors. 16 per address lets one host reconnect that many subscribers
// at once, yet leaves three quarters of the slots to other hosts.
constexpr size_t kHandshakeSlots = 64;
constexpr size_t kHandshakesPerAddress = 16;

// A connection that passed the allow-list and has neither become a
// subscriber nor ended.
struct handshake_slot {
    lws* wsi;  // null from the network filter until the library creates it
    peer_ip address;
    bool used;
};

// Server mode's state, one per process, owned by its server_mode.
struct server_state {
    lws_sorted_usec_list_t stall_timer;  // runs fanout when a choked subscriber's time is up
    relay_state* st;                     // what both modes share
    server_session* clients;             // subscribers, newest first
    size_t client_count;
    handshake_slot handshakes[kHandshakeSlots];
    size_t handshake_count;      // used entries of handshakes
    log_throttle rejected_log;   // "wss_peer_ip_rejected"
    log_throttle handshake_log;  // "wss_handshake_limit_reached"
    bool fanout_waiting;         // a line waits for a subscriber's writable callback
    frame::writer writer;        // every subscriber's writes, one at a time
};

// Server connections get a ping after 20 s without valid traffic and are hung
// up after 60 s; no retry table, since the server never reconnects.
const lws_retry_bo_t kIdlePolicy = {
    nullptr,  // retry_ms_table
    0,        // retry_ms_table_count
    0,        // conceal_count
    20,       // secs_since_valid_ping
    60,       // secs_since_valid_hangup
    0,        // jitter_percent
};

// Descriptors the relay holds outside the library's table: the standard
// streams, the event socket (two while the reader reconnects), the far end of
// the library's wake-up pipe, and room for what OpenSSL and libc open.
constexpr rlim_t kReservedFds = 32;
// The library sizes its connection tables by its limit, and a process limit
// can be a million; the relay never needs more than this many connections.
constexpr rlim_t kMaxLibraryFds = 65536;

// The library takes its listener out of the poll set while its table is full
// and puts it back when a connection ends. Left at its default, the table is
// as large as the process limit, so accept() fails with EMFILE first, and the
// library retries it at once in a tight loop that logs each failure.
unsigned library_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;  // the library's default
    const rlim_t n = std::min(rl.rlim_cur, kMaxLibraryFds + kReservedFds);
    return static_cast<unsigned>(n - std::min(kReservedFds, n / 2));
}

// The reason goes out with its exact length and no terminator.
void close_with(lws* wsi, lws_close_status status, std::string_view reason) {
    unsigned char buf[32];
    static_assert(kReasonSlow.size() <= sizeof buf);
    std::memcpy(buf, reason.data(), reason.size());
    lws_close_reason(wsi, status, buf, reason.size());
}

// The peer of an accepted socket in the 16-byte form of the allow-list: IPv4
// mapped, IPv6 as it is (an IPv4 client of a dual-stack listener arrives mapped
// already). False when the address cannot be read or is of another family.
bool peer_address(int fd, peer_ip* out) {
    sockaddr_storage addr{};
    static_assert(sizeof addr == 128);
    socklen_t alen = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) return false;
    if (addr.ss_family == AF_INET && alen >= sizeof(sockaddr_in)) {
        *out = mapped_peer_ip(reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr);
        return true;
    }
    if (addr.ss_family == AF_INET6 && alen >= sizeof(sockaddr_in6)) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        std::memcpy(out->bytes, &v6->sin6_addr, 16);
        return true;
    }
    return false;
}

bool listed(const relay_config* cfg, const peer_ip& ip) {
    const size_t n = std::min(cfg->allowed_count, std::size(cfg->allowed));
    for (size_t i = 0; i < n; i++)
        if (std::memcmp(cfg->allowed[i].bytes, ip.bytes, 16) == 0) return true;
    return false;
}

void free_slot(server_state* sv, handshake_slot* slot) {
    *slot = handshake_slot{};
    sv->handshake_count--;
}

// The library creates the connection (LWS_CALLBACK_WSI_CREATE) right after the
// network filter admits its socket, on the same thread and before it accepts
// the next one, so at most one slot can be waiting for its connection. One
// still waiting when the next socket arrives belongs to a socket the library
// closed without creating a connection.
handshake_slot* unbound_slot(server_state* sv) {
    for (handshake_slot& slot : sv->handshakes)
        if (slot.used && slot.wsi == nullptr) return &slot;
    return nullptr;
}

// Takes a slot for a connection from ip, or refuses when the peers already hold
// the most connections in handshake that the relay allows, overall or from ip.
bool take_slot(server_state* sv, const peer_ip& ip) {
    if (handshake_slot* stale = unbound_slot(sv)) free_slot(sv, stale);
    if (sv->handshake_count >= kHandshakeSlots) return false;
    size_t same = 0;
    handshake_slot* empty = nullptr;
    for (handshake_slot& slot : sv->handshakes) {
        if (!slot.used)
            empty = empty != nullptr ? empty : &slot;
        else if (std::memcmp(slot.address.bytes, ip.bytes, 16) == 0)
            same++;
    }
    if (same >= kHandshakesPerAddress || empty == nullptr) return false;
    empty->used = true;
    empty->wsi = nullptr;
    empty->address = ip;
    sv->handshake_count++;
    return true;
}

void bind_slot(server_state* sv, lws* wsi) {
    if (handshake_slot* slot = unbound_slot(sv)) slot->wsi = wsi;
}

// Called when a connection becomes a WebSocket and again when it is destroyed,
// whatever it was: one that ends before its handshake (TLS failure, plain
// HTTP, refused upgrade, time-out, the peer leaving) reaches only the latter.
void end_handshake(server_state* sv, lws* wsi) {
    for (handshake_slot& slot : sv->handshakes)
        if (slot.used && slot.wsi == wsi) {
            free_slot(sv, &slot);
            return;
        }
}

int filter_network(server_state* sv, void* in) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(in));
    peer_ip ip{};
    if (!peer_address(fd, &ip) || !listed(&sv->st->config, ip)) {
        ++sv->st->counters.rejected;
        throttle_event_log(&sv->rejected_log, "warning", "wss_peer_ip_rejected");
        return 1;
    }
    if (!take_slot(sv, ip)) {
        ++sv->st->counters.handshake_limited;
        throttle_event_log(&sv->handshake_log, "warning", "wss_handshake_limit_reached");
        return 1;
    }
    return 0;
}

// A header sent with an empty value has length 0 like an absent one; only the
// fragment copy tells them apart (-1 when there is no fragment at all).
bool has_header(lws* wsi, lws_token_indexes h) {
    if (lws_hdr_total_length(wsi, h) > 0) return true;
    char probe[2];
    return lws_hdr_copy_fragment(wsi, probe, sizeof probe, h, 0) >= 0;
}

// Only a TLS upgrade to exactly "/events", bound to our protocol, with no query
// and no Origin header, becomes a WebSocket. Browsers always send Origin, so
// refusing it keeps web pages from subscribing on a user's behalf.
int filter_protocol(lws* wsi) {
    if (!lws_is_ssl(wsi)) return 1;
    const lws_protocols* proto = lws_get_protocol(wsi);
    if (proto == nullptr || proto->name == nullptr || std::strcmp(proto->name, kProtocolName) != 0)
        return 1;
    char path[kPathBufferSize];
    const int n = lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI);
    // Compared by length, so a decoded NUL cannot end the path early.
    if (n < 0 || kEventsPath != std::string_view(path, static_cast<size_t>(n))) return 1;
    // The library splits "?..." off the path; a query is not "/events".
    if (has_header(wsi, WSI_TOKEN_HTTP_URI_ARGS)) return 1;
    if (has_header(wsi, WSI_TOKEN_ORIGIN)) return 1;
    return 0;
}

// "ADDR:PORT", or "[ADDR]:PORT" for IPv6, of a connected socket; "unknown"
// when it cannot be read. An IPv4 client of a dual-stack listener shows in
// its mapped form, as the kernel reports it.
void peer_text(int fd, char* out, size_t size) {
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    char host[INET6_ADDRSTRLEN] = "";
    if (fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &alen) == 0) {
        if (addr.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
            if (inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host) != nullptr) {
                std::snprintf(out, size, "%s:%u", host, ntohs(v4->sin_port));
                return;
            }
        } else if (addr.ss_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
            if (inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host) != nullptr) {
                std::snprintf(out, size, "[%s]:%u", host, ntohs(v6->sin6_port));
                return;
            }
        }
    }
    std::snprintf(out, size, "unknown");
}

int answer_http(lws* wsi) {
    lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND, nullptr);
    return -1;
}

// A subscriber refused here has completed the handshake but is never listed or
// counted, so it cannot hold a place that a later subscriber needs.
int admit(server_state* sv, lws* wsi, server_session* s) {
    const relay_config& cfg = sv->st->config;
    if (s == nullptr) return -1;
    if (sv->client_count >= cfg.max_clients) {
        close_with(wsi, kCloseTryAgainLater, kReasonLimit);
        return -1;
    }
    if (zel_relay_queue_init(&s->queue, cfg.client_queue_events, cfg.client_queue_bytes) != 0)
        return -1;
    s->initialized = true;
    s->overflow = false;
    s->choked_since_ms = 0;
    s->wsi = wsi;
    s->next = sv->clients;
    sv->clients = s;
    sv->client_count++;
    s->sent = 0;
    s->end_reason = nullptr;
    peer_text(lws_get_socket_fd(wsi), s->peer, sizeof s->peer);
    char msg[96];
    std::snprintf(msg, sizeof msg, "wss_subscriber_connected peer=%s", s->peer);
    log_line("info", msg);
    return 0;
}

int refuse_input(lws* wsi, server_session* s) {
    if (s != nullptr && s->end_reason == nullptr) s->end_reason = "read_only";
    close_with(wsi, LWS_CLOSE_STATUS_POLICY_VIOLATION, kReasonReadOnly);
    return -1;
}

// fanout stopped because a subscriber had no room; a subscriber that sent or
// went away may have made room, so fanout runs again in the next pass.
void wake_waiting_fanout(server_state* sv) {
    if (!sv->fanout_waiting) return;
    sv->fanout_waiting = false;
    lws_cancel_service(sv->st->context);
}

// Releasing is once per subscriber, so its disconnect line is too.
void release(server_state* sv, server_session* s) {
    if (s == nullptr || !s->initialized) return;
    const char* why = s->end_reason != nullptr  ? s->end_reason
                      : sv->st->stopping.load() ? "relay_stopping"
                                                : "connection_lost";
    char msg[160];
    std::snprintf(msg, sizeof msg, "wss_subscriber_disconnected peer=%s reason=%s sent=%llu",
                  s->peer, why, static_cast<unsigned long long>(s->sent));
    log_line("info", msg);
    for (server_session** link = &sv->clients; *link != nullptr; link = &(*link)->next) {
        if (*link == s) {
            *link = s->next;
            sv->client_count--;
            break;
        }
    }
    zel_relay_queue_destroy(&s->queue);
    s->initialized = false;
    s->next = nullptr;
    s->wsi = nullptr;
    wake_waiting_fanout(sv);  // it may have been waiting for this one
}

// The one place a subscriber is cut off as a slow consumer: it is reported
// once, told why, and released at once, not when the close completes: the
// library can call back writable again while its close handshake is under
// way, and that must neither report the cut a second time nor send.
void cut_off(server_state* sv, lws* wsi, server_session* s) {
    ++sv->st->counters.slow_consumers;
    log_line("warning", "wss_slow_consumer_disconnected");
    s->end_reason = "slow_consumer";
    close_with(wsi, kCloseTryAgainLater, kReasonSlow);
    release(sv, s);
    s->cut = true;
}

// Writes queued lines, as many frames to a buffer as fit, while the
// connection takes them; choke is checked once per buffer. A connection that
// cannot take more stops the loop, so a subscriber that really stalls still
// fills its queue and is cut off.
int send_queued(server_state* sv, lws* wsi, server_session* s) {
    if (s == nullptr) return 0;
    if (s->cut) return -1;  // the close reason goes out now
    if (!s->initialized) return 0;
    if (s->overflow) {
        cut_off(sv, wsi, s);
        return -1;
    }
    for (int k = 0; k < frame::kBatchesPerWritable; k++) {
        frame::batch_result r;
        if (frame::write_batch(&sv->writer, wsi, &s->queue, &r) != 0) {
            s->end_reason = "write_failed";
            return -1;
        }
        if (r.lines == 0) break;
        sv->st->sent += r.lines;
        s->sent += r.lines;
        s->choked_since_ms = 0;  // the socket took data: not stalled
        if (zel_relay_queue_count(&s->queue) == 0 || lws_send_pipe_choked(wsi)) break;
    }
    if (zel_relay_queue_count(&s->queue) > 0) lws_callback_on_writable(wsi);
    wake_waiting_fanout(sv);  // this queue has room again
    return 0;
}

// Whether a subscriber whose queue has no room for the next line has stalled:
// its socket has been choked, and has taken nothing, since its queue last had
// room, for kStallMs. Lines the relay has not yet tried to write never count,
// and neither does a main queue that overflows because the relay is behind:
// a socket that takes data means the relay is late, not the subscriber.
bool stalled(server_session* s, int64_t now_ms) {
    if (!lws_send_pipe_choked(s->wsi)) {
        s->choked_since_ms = 0;
        return false;
    }
    if (s->choked_since_ms == 0) s->choked_since_ms = now_ms;
    return now_ms - s->choked_since_ms >= kStallMs;
}

void fanout(server_state* sv);

void stall_timer_fired(lws_sorted_usec_list_t* sul) {
    fanout(lws_container_of(sul, server_state, stall_timer));
}

// Lines wait for a subscriber whose socket is choked; if no new line or
// writable callback comes meanwhile, fanout still runs when its time is up.
void check_again_at(server_state* sv, int64_t due_ms, int64_t now_ms) {
    const lws_usec_t in_us = static_cast<lws_usec_t>(due_ms - now_ms + 1) * 1000;
    lws_sul_schedule(sv->st->context, 0, &sv->stall_timer, stall_timer_fired, in_us);
}

// Whether every subscriber still served can take a line of len bytes now.
// Lines are never pushed into a full subscriber queue, since that would drop
// one and cut the subscriber off even if it reads at once. A full subscriber
// that has stalled, or that no line this long can ever reach, is cut off
// here (it never gets this line, so it never sees a gap) and holds nobody
// back any more. Its close reason goes out at its next writable callback,
// should its peer ever read again; one that does not read within
// kCutCloseSecs is closed without it. Any other full one has only
// not been written to yet: the line stays in the main queue until that
// subscriber's writable callback has sent some and wakes fanout again.
bool room_for(server_state* sv, size_t len) {
    bool room = true;
    int64_t now_ms = 0;
    int64_t due_ms = 0;  // the earliest time a choked subscriber counts as stalled
    server_session* next = nullptr;
    for (server_session* s = sv->clients; s != nullptr; s = next) {
        next = s->next;  // cut_off unlinks s
        if (s->overflow || zel_relay_queue_fits(&s->queue, len)) continue;
        if (now_ms == 0) now_ms = stats::monotonic_ms();
        lws* wsi = s->wsi;
        if (len > s->queue.max_bytes || stalled(s, now_ms)) {
            cut_off(sv, wsi, s);
            lws_callback_on_writable(wsi);
            lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, kCutCloseSecs);
            continue;
        }
        room = false;
        if (s->choked_since_ms != 0 && (due_ms == 0 || s->choked_since_ms + kStallMs < due_ms))
            due_ms = s->choked_since_ms + kStallMs;
        lws_callback_on_writable(wsi);
    }
    if (due_ms != 0) check_again_at(sv, due_ms, now_ms);
    return room;
}

// Moves up to kFanoutBatch lines from the main queue into every subscriber
// queue, no more than each has room for, and asks for another pass while
// lines remain.
// A line that a subscriber not yet serviced has no room for waits in the main
// queue until that subscriber's writable callback wakes fanout again.
void fanout(server_state* sv) {
    relay_state* st = sv->st;
    // The context is being torn down: its connections are closing and what is
    // left in the main queue is reported as queued.
    if (st->stopping.load()) return;
    sv->fanout_waiting = false;
    int moved = 0;
    while (moved < kFanoutBatch) {
        const size_t len = zel_relay_queue_head_len(&st->queue);
        if (len == 0) break;
        if (!room_for(sv, len)) {
            sv->fanout_waiting = true;
            break;
        }
        // Only this thread takes from the main queue, but the reader discards
        // its head when it overflows; a longer line that has moved up since it
        // was measured stays for the next round. So every push below has the
        // room just found, and no subscriber queue ever discards a line.
        zel_relay_item* item = zel_relay_queue_take_upto(&st->queue, len);
        if (item == nullptr) continue;
        for (server_session* s = sv->clients; s != nullptr; s = s->next) {
            // Once a line is lost the session gets nothing more, so it can
            // never be shown a line after the gap.
            if (!s->overflow && zel_relay_queue_push_shared(&s->queue, item) != 0)
                s->overflow = true;
        }
        zel_relay_item_free(item);
        moved++;
    }
    if (moved > 0)
        for (server_session* s = sv->clients; s != nullptr; s = s->next)
            lws_callback_on_writable(s->wsi);
    // While a subscriber's writable callback is awaited, waking again at once
    // would only spin; that callback wakes fanout instead.
    if (!sv->fanout_waiting && zel_relay_queue_count(&st->queue) > 0)
        lws_cancel_service(st->context);
}

int server_callback(server_state* sv, lws* wsi, lws_callback_reasons reason, void* user, void* in) {
    auto* s = static_cast<server_session*>(user);
    switch (reason) {
    case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
        return filter_network(sv, in);
    case LWS_CALLBACK_WSI_CREATE:
        bind_slot(sv, wsi);
        return 0;
    case LWS_CALLBACK_WSI_DESTROY:
        end_handshake(sv, wsi);
        return 0;
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return filter_protocol(wsi);
    case LWS_CALLBACK_HTTP:
        return answer_http(wsi);
    case LWS_CALLBACK_ESTABLISHED:
        end_handshake(sv, wsi);
        return admit(sv, wsi, s);
    case LWS_CALLBACK_RECEIVE:
        return refuse_input(wsi, s);
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
        if (s != nullptr && s->initialized && s->end_reason == nullptr)
            s->end_reason = "peer_closed";
        return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        return send_queued(sv, wsi, s);
    case LWS_CALLBACK_CLOSED:
        release(sv, s);
        return 0;
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        fanout(sv);
        return 0;
    default:
        return 0;
    }
}

class server_mode final : public relay_mode {
public:
    explicit server_mode(relay_state* st) {
        sv_.st = st;
        frame::writer_init(&sv_.writer, false);
    }

    // The listener: TLS 1.2 or later with the configured certificate, the
    // idle policy, HTTP/1.1 only, a connection table that fits the
    // descriptor limit, and IPv4 only unless the host is an IPv6 address.
    void fill_context_info(lws_context_creation_info* info) override {
        const relay_config& cfg = sv_.st->config;
        info->port = cfg.port;
        info->iface = cfg.host;
        info->ssl_options_set = SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1;
        info->ssl_cert_filepath = cfg.server_cert;
        info->ssl_private_key_filepath = cfg.server_key;
        info->retry_and_idle_policy = &kIdlePolicy;
        // Subscribers get WebSockets only by the HTTP/1.1 upgrade, the road the
        // handshake filters are tested on; h2 would open a second one.
        info->alpn = "http/1.1";
        info->fd_limit_per_thread = library_fd_limit();
        if (std::strchr(cfg.host, ':') == nullptr) info->options |= LWS_SERVER_OPTION_DISABLE_IPV6;
    }

    void start() override {
        char msg[384];
        std::snprintf(msg, sizeof msg, "wss_listener_started host=%s port=%d path=/events",
                      sv_.st->config.host, sv_.st->config.port);
        log_line("info", msg);
    }

    // Writes the counts of refusals held back from the log for at least a
    // second.
    void service_pass() override {
        throttle_flush_log(&sv_.rejected_log, "warning", "wss_peer_ip_rejected");
        throttle_flush_log(&sv_.handshake_log, "warning", "wss_handshake_limit_reached");
    }

    int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                 size_t /*len*/) override {
        return server_callback(&sv_, wsi, reason, user, in);
    }

    void stop() override {
        lws_sul_schedule(sv_.st->context, 0, &sv_.stall_timer, stall_timer_fired,
                         LWS_SET_TIMER_USEC_CANCEL);
    }

    void fill_stats(relay_stats* out) const override { out->subscribers = sv_.client_count; }

private:
    server_state sv_{};
};

}  // namespace

bool peer_allowed(const relay_config* cfg, int fd) {
    peer_ip ip{};
    return peer_address(fd, &ip) && listed(cfg, ip);
}

std::unique_ptr<relay_mode> make_mode(relay_state* st) {
    return std::unique_ptr<relay_mode>(new (std::nothrow) server_mode(st));
}

}  // namespace zel::server
