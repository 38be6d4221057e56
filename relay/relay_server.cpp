// Subscriber server mode: who may connect, what a subscriber is sent, and when
// a subscriber is cut off.
//
// Every subscriber reads the line log at its own position; no subscriber
// waits for another, and no line is copied for one. A subscriber that the
// log overtakes (its next line was released) is disconnected rather than
// shown a gap, and so is one that stays further behind than its bounds
// (PCAP_WSS_QUEUE_EVENTS / _BYTES) for half a second while its socket is
// choked, whether or not it still reads a little: what any subscriber
// receives is a gapless run of lines. One whose socket takes everything the
// relay offers is never cut off for lagging.
//
// On the sequenced protocol a subscriber gets each line in its envelope and
// may resume after the last line it has; lines it asks for that are no
// longer held, or were read by an earlier run, are announced in one gap
// notice before the oldest held line.
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

// Lines pinned per write: as many as one buffer can hold of the shortest
// lines worth batching.
constexpr size_t kPinLines = 256;

// The query of a resume: "from=" then a boot id, ':' and up to 20 digits.
constexpr int kQueryBufferSize = 96;

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
    lws_sorted_usec_list_t stall_timer;  // re-checks the subscribers when a laggard's time is up
    relay_state* st;                     // what both modes share
    server_session* clients;             // subscribers, newest first
    size_t client_count;
    handshake_slot handshakes[kHandshakeSlots];
    size_t handshake_count;      // used entries of handshakes
    log_throttle rejected_log;   // "wss_peer_ip_rejected"
    log_throttle handshake_log;  // "wss_handshake_limit_reached"
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

// The upgrade's one query argument, when it is a resume request; the
// library splits the query off the path and into '&'-separated fragments.
bool read_resume(lws* wsi, resume_request* out) {
    char arg[kQueryBufferSize];
    const int n = lws_hdr_copy_fragment(wsi, arg, sizeof arg, WSI_TOKEN_HTTP_URI_ARGS, 0);
    // A second argument, even an empty one, makes it something else.
    char probe[2];
    if (n < 0 || lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_URI_ARGS) != n ||
        lws_hdr_copy_fragment(wsi, probe, sizeof probe, WSI_TOKEN_HTTP_URI_ARGS, 1) >= 0)
        return false;
    return parse_resume(std::string_view(arg, static_cast<size_t>(n)), out);
}

// Only a TLS upgrade to exactly "/events", bound to one of our protocols,
// with no Origin header, becomes a WebSocket; a query only on the sequenced
// protocol, and only a resume request. Browsers always send Origin, so
// refusing it keeps web pages from subscribing on a user's behalf.
int filter_protocol(server_state* sv, lws* wsi, server_session* s) {
    if (!lws_is_ssl(wsi) || s == nullptr) return 1;
    const lws_protocols* proto = lws_get_protocol(wsi);
    if (proto == nullptr || proto->name == nullptr) return 1;
    const bool sequenced = std::strcmp(proto->name, kSeqProtocolName) == 0;
    if (!sequenced && std::strcmp(proto->name, kProtocolName) != 0) return 1;
    char path[kPathBufferSize];
    const int n = lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI);
    // Compared by length, so a decoded NUL cannot end the path early.
    if (n < 0 || kEventsPath != std::string_view(path, static_cast<size_t>(n))) return 1;
    // The library splits "?..." off the path; for the plain protocol a query
    // is not "/events".
    s->resume = resume_request{};
    if (has_header(wsi, WSI_TOKEN_HTTP_URI_ARGS) && (!sequenced || !read_resume(wsi, &s->resume)))
        return 1;
    if (has_header(wsi, WSI_TOKEN_ORIGIN)) return 1;
    s->sequenced = sequenced;
    // "The next new line" is the next one as the upgrade is accepted, before
    // the answer goes out: the library sends its 101 before it reports the
    // connection established, and a subscriber that acts on the 101 (say,
    // makes a call happen) would otherwise miss the lines that follow if the
    // reader appended them in between.
    s->start_at = line_log_range(sv->st->log).next;
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

// Where a new subscriber starts: with the next new line, or after the line
// a resume names, or at the oldest held line when those are gone or from
// another run (then with a notice).
void attach(server_state* sv, server_session* s) {
    line_log& log = sv->st->log;
    s->consumer.kind = s->sequenced ? consumer_kind::sequenced : consumer_kind::subscriber;
    s->consumer.lossy = false;
    s->notice_len = 0;
    const resume_request& r = s->resume;
    if (!r.asked) {
        line_log_attach(log, s->consumer, s->start_at);
        return;
    }
    const bool same_run = std::memcmp(r.boot.text, log.boot.text, kBootIdLength) == 0;
    // The seq asked for is the last line the subscriber has; the one after
    // it cannot overflow as a position, since no run reaches 2^64 lines.
    const uint64_t wanted = same_run ? (r.seq == UINT64_MAX ? UINT64_MAX : r.seq + 1) : 0;
    const uint64_t at = line_log_attach(log, s->consumer, wanted);
    s->notice_len = gap_notice(r, log.boot, wanted, at, &s->notice).size();
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
    // The library hands the session over zero-filled, never constructed.
    new (&s->consumer) log_consumer{};
    attach(sv, s);
    s->initialized = true;
    s->behind_since_ms = 0;
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
    if (s->notice_len > 0) lws_callback_on_writable(wsi);
    return 0;
}

int refuse_input(lws* wsi, server_session* s) {
    if (s != nullptr && s->end_reason == nullptr) s->end_reason = "read_only";
    close_with(wsi, LWS_CLOSE_STATUS_POLICY_VIOLATION, kReasonReadOnly);
    return -1;
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
    line_log_detach(sv->st->log, s->consumer);
    s->initialized = false;
    s->next = nullptr;
    s->wsi = nullptr;
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

// Cut off away from its own writable callback: the close reason goes out at
// the next one, should its peer ever read again; one that does not read
// within kCutCloseSecs is closed without it.
void cut_off_later(server_state* sv, server_session* s) {
    lws* wsi = s->wsi;
    cut_off(sv, wsi, s);
    lws_callback_on_writable(wsi);
    lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, kCutCloseSecs);
}

// Writes the subscriber's next lines, as many frames to a buffer as fit,
// while the connection takes them; choke is checked once per buffer. The
// lines are pinned, not copied, while they are framed.
int send_lines(server_state* sv, lws* wsi, server_session* s) {
    if (s == nullptr) return 0;
    if (s->cut) return -1;  // the close reason goes out now
    if (!s->initialized) return 0;
    relay_state* st = sv->st;
    if (s->notice_len > 0) {
        if (frame::write_text(&sv->writer, wsi, {s->notice.buf, s->notice_len}) != 0) return -1;
        s->notice_len = 0;
    }
    const boot_id* boot = s->sequenced ? &st->log.boot : nullptr;
    line_ref pinned[kPinLines];
    for (int k = 0; k < frame::kBatchesPerWritable; k++) {
        // The library calls back writable also while it still holds part
        // of an earlier write; writing then would only grow what it holds.
        if (lws_send_pipe_choked(wsi)) break;
        const uint64_t pos = s->consumer.next.load(std::memory_order_relaxed);
        const pin_result got = line_log_pin(st->log, pos, pinned, frame::kBatchBytes);
        if (got.overtaken) {
            cut_off(sv, wsi, s);
            return -1;
        }
        if (got.count == 0) return 0;
        frame::batch_result r;
        const int rc = frame::write_lines(&sv->writer, wsi, {pinned, got.count}, boot, &r);
        line_log_unpin({pinned, got.count});
        if (rc != 0) {
            s->end_reason = "write_failed";
            return -1;
        }
        line_log_advance(st->log, s->consumer, pos + r.lines);
        st->sent += r.lines;
        s->sent += r.lines;
        st->counters.delivered[static_cast<size_t>(s->consumer.kind)] += r.lines;
    }
    lws_callback_on_writable(wsi);
    return 0;
}

void check_subscribers(server_state* sv);

void stall_timer_fired(lws_sorted_usec_list_t* sul) {
    check_subscribers(lws_container_of(sul, server_state, stall_timer));
}

// A laggard's half second runs out; if no line or wake-up comes meanwhile,
// the subscribers are still looked at then.
void check_again_at(server_state* sv, int64_t due_ms, int64_t now_ms) {
    const lws_usec_t in_us = static_cast<lws_usec_t>(due_ms - now_ms + 1) * 1000;
    lws_sul_schedule(sv->st->context, 0, &sv->stall_timer, stall_timer_fired, in_us);
}

// On every wake-up: a subscriber the log has overtaken, or one that has
// lagged too long with its socket choked, is cut off (it never gets a line
// after the gap); every other one with lines to take is asked to write.
void check_subscribers(server_state* sv) {
    relay_state* st = sv->st;
    // The context is being torn down: its connections are closing.
    if (st->stopping.load()) return;
    const log_range range = line_log_range(st->log);
    const int64_t now_ms = stats::monotonic_ms();
    int64_t due_ms = 0;  // the earliest time a laggard's half second is up
    server_session* next = nullptr;
    for (server_session* s = sv->clients; s != nullptr; s = next) {
        next = s->next;  // cut_off unlinks s
        const uint64_t pos = s->consumer.next.load(std::memory_order_relaxed);
        if (pos < range.first) {
            cut_off_later(sv, s);
            continue;
        }
        if (pos >= range.next) {
            s->behind_since_ms = 0;
            continue;
        }
        const consumer_lag lag = line_log_lag(st->log, s->consumer);
        const bool over =
            lag.lines > st->config.client_queue_events || lag.bytes > st->config.client_queue_bytes;
        if (too_slow(&s->behind_since_ms, lag, st->config.client_queue_events,
                     st->config.client_queue_bytes, over && lws_send_pipe_choked(s->wsi), now_ms)) {
            cut_off_later(sv, s);
            continue;
        }
        if (s->behind_since_ms != 0 && (due_ms == 0 || s->behind_since_ms + kBehindMs < due_ms))
            due_ms = s->behind_since_ms + kBehindMs;
        lws_callback_on_writable(s->wsi);
    }
    if (due_ms != 0) check_again_at(sv, due_ms, now_ms);
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
        return filter_protocol(sv, wsi, s);
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
        return send_lines(sv, wsi, s);
    case LWS_CALLBACK_CLOSED:
        release(sv, s);
        return 0;
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        check_subscribers(sv);
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

bool parse_resume(std::string_view arg, resume_request* out) {
    constexpr std::string_view kKey = "from=";
    if (!arg.starts_with(kKey)) return false;
    arg.remove_prefix(kKey.size());
    const size_t colon = arg.find(':');
    if (colon == std::string_view::npos || !boot_id_valid(arg.data(), colon)) return false;
    const std::string_view digits = arg.substr(colon + 1);
    if (digits.empty() || digits.size() > 20) return false;
    uint64_t seq = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (seq > (UINT64_MAX - d) / 10) return false;
        seq = seq * 10 + d;
    }
    out->asked = true;
    out->seq = seq;
    std::memcpy(out->boot.text, arg.data(), kBootIdLength);
    out->boot.text[kBootIdLength] = '\0';
    return true;
}

std::string_view gap_notice(const resume_request& r, const boot_id& current, uint64_t wanted,
                            uint64_t first, gap_text* out) {
    if (!r.asked) return {};
    int n = 0;
    using ull = unsigned long long;
    const uint64_t after = r.seq == UINT64_MAX ? r.seq : r.seq + 1;
    if (std::memcmp(r.boot.text, current.text, kBootIdLength) != 0)
        n = std::snprintf(out->buf, sizeof out->buf,
                          "{\"gap\":{\"boot\":\"%s\",\"from\":%llu,\"to\":null,\"reason\":"
                          "\"restart\"}}",
                          r.boot.text, ull(after));
    else if (first > wanted)
        n = std::snprintf(out->buf, sizeof out->buf,
                          "{\"gap\":{\"boot\":\"%s\",\"from\":%llu,\"to\":%llu,\"reason\":"
                          "\"expired\"}}",
                          current.text, ull(wanted), ull(first - 1));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof out->buf) return {};
    return {out->buf, static_cast<size_t>(n)};
}

bool too_slow(int64_t* behind_since_ms, const consumer_lag& lag, size_t max_lines, size_t max_bytes,
              bool choked, int64_t now_ms) {
    if (lag.lines <= max_lines && lag.bytes <= max_bytes) {
        *behind_since_ms = 0;
        return false;
    }
    if (*behind_since_ms == 0) *behind_since_ms = now_ms;
    return choked && now_ms - *behind_since_ms >= kBehindMs;
}

bool peer_allowed(const relay_config* cfg, int fd) {
    peer_ip ip{};
    return peer_address(fd, &ip) && listed(cfg, ip);
}

std::unique_ptr<relay_mode> make_mode(relay_state* st) {
    return std::unique_ptr<relay_mode>(new (std::nothrow) server_mode(st));
}

}  // namespace zel::server
