#include "relay_runtime.hpp"

#include <openssl/ssl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "relay_client.hpp"
#include "relay_log.hpp"
#include "relay_reader.hpp"
#include "relay_server.hpp"

namespace {

constexpr lws_usec_t tick_us = LWS_USEC_PER_SEC;
constexpr int service_wait_ms = 1000;

// Set before the signal handlers are installed; read by the tick and by the
// protocol callback when the library passes no usable connection.
relay_state *signal_state = nullptr;

// Written only by on_signal, read by the service loop.
volatile sig_atomic_t interrupted = 0;

// Server connections get a ping after 20 s without valid traffic and are hung
// up after 60 s; no retry table, since the server never reconnects.
const lws_retry_bo_t idle_policy = {
    nullptr,  // retry_ms_table
    0,        // retry_ms_table_count
    0,        // conceal_count
    20,       // secs_since_valid_ping
    60,       // secs_since_valid_hangup
    0,        // jitter_percent
};

const lws_protocols protocols[] = {
    {"zel-pcap-relay", relay_callback, sizeof(server_session), 262144, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void on_signal(int) { interrupted = 1; }

// Runs on the service thread once a second: ends the current wait so that the
// loop re-checks `interrupted` and the modes' wake-up handling runs even when
// no line arrives.
void service_tick(lws_sorted_usec_list_t *sul) {
    relay_state *st = signal_state;
    if (st == nullptr || st->stopping.load()) return;
    if (st->config.server_mode) server_tick(st);
    lws_cancel_service(st->context);
    lws_sul_schedule(st->context, 0, sul, service_tick, tick_us);
}

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

void fill_context_info(relay_state *st, lws_context_creation_info *info) {
    const relay_config &cfg = st->config;
    std::memset(info, 0, sizeof *info);
    info->port = CONTEXT_PORT_NO_LISTEN;
    info->protocols = protocols;
    info->user = st;
    info->options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    if (cfg.ca_file[0] != '\0') info->client_ssl_ca_filepath = cfg.ca_file;
    if (cfg.client_cert[0] != '\0') {
        info->client_ssl_cert_filepath = cfg.client_cert;
        info->client_ssl_private_key_filepath = cfg.client_key;
    }
    if (!cfg.server_mode) client_fill_context_info(info);
    if (cfg.server_mode) {
        info->port = cfg.port;
        info->iface = cfg.host;
        info->ssl_options_set = SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1;
        info->ssl_cert_filepath = cfg.server_cert;
        info->ssl_private_key_filepath = cfg.server_key;
        info->retry_and_idle_policy = &idle_policy;
        // Subscribers get WebSockets only by the HTTP/1.1 upgrade, the road the
        // handshake filters are tested on; h2 would open a second one.
        info->alpn = "http/1.1";
        info->fd_limit_per_thread = library_fd_limit();
        if (std::strchr(cfg.host, ':') == nullptr) info->options |= LWS_SERVER_OPTION_DISABLE_IPV6;
    }
}

void install_signals() {
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void service_loop(relay_state *st) {
    while (!interrupted && !st->stopping.load()) {
        if (!st->config.server_mode) client_poll(st, time(nullptr));
        lws_service(st->context, service_wait_ms);
    }
}

void stop_relay(relay_state *st) {
    st->stopping.exchange(true);
    lws_sul_schedule(st->context, 0, &st->tick, service_tick, LWS_SET_TIMER_USEC_CANCEL);
    lws_cancel_service(st->context);
    pthread_join(st->reader_thread, nullptr);
    if (!st->config.server_mode) client_stop(st);
    lws_context_destroy(st->context);
    st->context = nullptr;
    char msg[192];
    std::snprintf(msg, sizeof msg, "shutdown sent=%llu dropped=%llu queued=%zu",
                  static_cast<unsigned long long>(st->sent),
                  static_cast<unsigned long long>(zel_relay_queue_dropped(&st->queue)),
                  zel_relay_queue_count(&st->queue));
    log_line("info", msg);
    zel_relay_queue_destroy(&st->queue);
}

}  // namespace

int relay_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len) {
    relay_state *st = nullptr;
    // For EVENT_WAIT_CANCELLED the library passes a stand-in connection whose
    // context is still valid, so the context route works there too.
    if (wsi != nullptr) {
        lws_context *ctx = lws_get_context(wsi);
        if (ctx != nullptr) st = static_cast<relay_state *>(lws_context_user(ctx));
    }
    if (st == nullptr) st = signal_state;
    if (st == nullptr) return 0;
    if (st->config.server_mode) return server_callback(st, wsi, reason, user, in, len);
    return client_callback(st, wsi, reason, user, in, len);
}

int relay_run(relay_state *st) {
    st->context = nullptr;
    st->wsi = nullptr;
    st->clients = nullptr;
    st->client_count = 0;
    st->connected = false;
    st->sent = 0;
    st->last_reported_dropped = 0;
    st->reconnect_at = 0;
    st->stopping.store(false);
    std::memset(&st->tick, 0, sizeof st->tick);

    if (zel_relay_queue_init(&st->queue, st->config.queue_events, st->config.queue_bytes) != 0)
        return 1;

    lws_context_creation_info info;
    fill_context_info(st, &info);
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    st->context = lws_create_context(&info);
    if (st->context == nullptr) {
        zel_relay_queue_destroy(&st->queue);
        return 1;
    }

    signal_state = st;
    install_signals();
    std::srand(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
    st->reconnect_delay = st->config.reconnect_min;

    int rc = reader_start(st);
    if (rc != 0) {
        errno = rc;  // pthread_create reports through its result, not errno
        std::perror("pthread_create");
        lws_context_destroy(st->context);
        st->context = nullptr;
        zel_relay_queue_destroy(&st->queue);
        return 1;
    }

    lws_sul_schedule(st->context, 0, &st->tick, service_tick, tick_us);
    if (st->config.server_mode) {
        char msg[384];
        std::snprintf(msg, sizeof msg, "wss_listener_started host=%s port=%d path=/events",
                      st->config.host, st->config.port);
        log_line("info", msg);
    }

    service_loop(st);
    stop_relay(st);
    return 0;
}
