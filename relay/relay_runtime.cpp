#include "relay_runtime.hpp"

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
#include "relay_nats.hpp"
#include "relay_reader.hpp"
#include "relay_server.hpp"
#include "relay_stats.hpp"

namespace zel {

namespace {

constexpr lws_usec_t kTickUs = LWS_USEC_PER_SEC;
constexpr int kServiceWaitMs = 1000;

// Written only by on_signal, read by the service loop.
volatile sig_atomic_t interrupted = 0;

const lws_protocols kProtocols[] = {
    {kProtocolName, relay_callback, sizeof(server::server_session), 262144, 0, nullptr, 0},
    {kSeqProtocolName, relay_callback, sizeof(server::server_session), 262144, kSeqProtocolId,
     nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void on_signal(int) {
    interrupted = 1;
}

// Runs on the service thread once a second: ends the current wait so that the
// loop re-checks `interrupted` and the modes' wake-up handling runs even when
// no line arrives.
void service_tick(lws_sorted_usec_list_t* sul) {
    relay_state* st = lws_container_of(sul, service_timer, sul)->owner;
    if (st->stopping.load()) return;
    lws_cancel_service(st->context);
    lws_sul_schedule(st->context, 0, sul, service_tick, kTickUs);
}

// What both modes share; the mode adds its own part.
void fill_context_info(relay_state* st, lws_context_creation_info* info) {
    std::memset(info, 0, sizeof *info);
    info->port = CONTEXT_PORT_NO_LISTEN;
    info->protocols = kProtocols;
    info->user = st;
    info->options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    st->mode->fill_context_info(info);
}

// SIGHUP too: a closed terminal or a reload would otherwise end the relay
// without its shutdown line and final metrics.
void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

// queued is read apart: at shutdown it is taken while the consumers are
// still connected, before the context's destruction detaches them.
relay_stats read_stats(relay_state* st, size_t queued) {
    relay_stats s{};
    s.server_mode = st->config.server_mode;
    s.bus_mode = st->config.mode == run_mode::nats;
    s.sent = st->sent;
    const line_log_counters c = line_log_read_counters(st->log);
    s.read = c.appended;
    s.released_unread = c.released_unread;
    s.dropped = c.dropped;
    s.queued = queued;
    s.counters = st->counters;
    s.switch_id = st->config.switch_id;
    st->mode->fill_stats(&s);
    return s;
}

size_t queued_now(relay_state* st) {
    return static_cast<size_t>(line_log_queued(st->log));
}

// The tick wakes the loop at least once a second, which is all the schedule
// of the stats line and the metrics file needs.
void report_stats(relay_state* st, stats::stats_reporter* reporter) {
    const int64_t now = stats::monotonic_ms();
    if (stats::reporter_due(reporter, now))
        stats::report(reporter, read_stats(st, queued_now(st)), now);
}

void service_loop(relay_state* st, stats::stats_reporter* reporter) {
    while (!interrupted && !st->stopping.load()) {
        st->mode->service_pass();
        report_stats(st, reporter);
        lws_service(st->context, kServiceWaitMs);
    }
}

void stop_relay(relay_state* st, stats::stats_reporter* reporter) {
    st->stopping.exchange(true);
    lws_sul_schedule(st->context, 0, &st->tick.sul, service_tick, LWS_SET_TIMER_USEC_CANCEL);
    lws_cancel_service(st->context);
    pthread_join(st->reader.thread, nullptr);
    st->mode->stop();
    const size_t queued = queued_now(st);
    lws_context_destroy(st->context);
    st->context = nullptr;
    // One reading for the line and the file, so that they agree.
    const relay_stats last = read_stats(st, queued);
    char msg[192];
    std::snprintf(msg, sizeof msg, "shutdown sent=%llu dropped=%llu queued=%zu",
                  static_cast<unsigned long long>(last.sent),
                  static_cast<unsigned long long>(last.dropped), last.queued);
    log_line("info", msg);
    stats::report_final(reporter, last);
    st->mode.reset();
    line_log_destroy(st->log);
}

// The log holds what the queue bounds allow, or more when retention for
// resume asks for more.
int init_log(relay_state* st) {
    const relay_config& cfg = st->config;
    boot_id boot{};
    if (boot_id_draw(boot) != 0) {
        std::perror("getrandom");
        return -1;
    }
    return line_log_init(st->log, std::max(cfg.queue_events, cfg.retain_events),
                         std::max(cfg.queue_bytes, cfg.retain_bytes), boot);
}

}  // namespace

int relay_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    relay_state* st = nullptr;
    // For EVENT_WAIT_CANCELLED the library passes a stand-in connection whose
    // context is still valid, so the context route works there too. Only the
    // client-certificate check, which the relay never asks for, comes without
    // a connection; either mode answers 0 to it, as this does.
    if (wsi != nullptr) {
        lws_context* ctx = lws_get_context(wsi);
        if (ctx != nullptr) st = static_cast<relay_state*>(lws_context_user(ctx));
    }
    if (st == nullptr || st->mode == nullptr) return 0;
    // A wake-up reaches every entry of the protocol table; one pass is enough.
    if (reason == LWS_CALLBACK_EVENT_WAIT_CANCELLED) {
        const lws_protocols* p = lws_get_protocol(wsi);
        if (p != nullptr && p->id == kSeqProtocolId) return 0;
    }
    return st->mode->callback(wsi, reason, user, in, len);
}

int relay_run(relay_state* st) {
    st->context = nullptr;
    st->sent = 0;
    st->counters = relay_counters{};
    st->stopping.store(false);
    std::memset(&st->tick.sul, 0, sizeof st->tick.sul);
    st->tick.owner = st;

    if (init_log(st) != 0) return 1;
    switch (st->config.mode) {
    case run_mode::wss_server:
        st->mode = server::make_mode(st);
        break;
    case run_mode::nats:
        st->mode = nats::make_mode(st);
        break;
    default:
        st->mode = client::make_mode(st);
        break;
    }
    if (st->mode == nullptr) {
        line_log_destroy(st->log);
        return 1;
    }

    lws_context_creation_info info;
    fill_context_info(st, &info);
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    st->context = lws_create_context(&info);
    if (st->context == nullptr) {
        st->mode.reset();
        line_log_destroy(st->log);
        return 1;
    }

    install_signals();
    std::srand(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));

    st->reader = reader::feed{&st->log, st->context, st->config.socket_path, &st->stopping, 0, {}};
    st->reader_wake_at.store(0);
    st->reader.wake_at = &st->reader_wake_at;
    int rc = reader::reader_start(&st->reader);
    if (rc != 0) {
        errno = rc;  // pthread_create reports through its result, not errno
        std::perror("pthread_create");
        lws_context_destroy(st->context);
        st->context = nullptr;
        st->mode.reset();
        line_log_destroy(st->log);
        return 1;
    }

    lws_sul_schedule(st->context, 0, &st->tick.sul, service_tick, kTickUs);
    st->mode->start();

    stats::stats_reporter reporter;
    stats::reporter_init(&reporter, st->config, stats::monotonic_ms());
    service_loop(st, &reporter);
    stop_relay(st, &reporter);
    return 0;
}

}  // namespace zel
