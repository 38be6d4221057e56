// The NATS source of zel_tail: reads a JetStream stream through a durable
// pull consumer, a batch at a time. Each batch is printed, flushed and the
// position saved before its messages are acknowledged, so the server's
// position for the durable never runs ahead of what was printed; a restart
// resumes there, with or without --state. Order is checked per relay run
// (Zel-Boot, Zel-Seq), since many relays share one stream.
//
// The library reconnects forever in the background; a connection it closes
// for good (a refused credential) is made afresh after a growing delay. Every
// call that may wait is bounded well under a second, so a signal ends the run
// within about 2 s. Everything here runs on the main thread; libnats adds its
// own threads, whose callbacks are not used.
#include <fcntl.h>
#include <nats/nats.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tail_bus.hpp"
#include "tail_source.hpp"
#include "unique_fd.hpp"

namespace zel::tail {

namespace {

// Backoff between attempts, as the WebSocket source: doubling, with up to a
// fifth more at random.
constexpr int64_t kFirstDelayMs = 1000;
constexpr int64_t kLastDelayMs = 30000;

// Messages asked for at once, and how long a fetch waits for the first; the
// wait bounds how late a signal is noticed.
constexpr int kBatch = 256;
constexpr int64_t kFetchWaitMs = 400;

// How long a JetStream request (stream check, consumer set-up) and the flush
// of a batch's acknowledgements may take.
constexpr int64_t kApiWaitMs = 800;
constexpr int64_t kAckFlushMs = 500;

// A first connection attempt to one server gives up after this long.
constexpr int64_t kConnectTimeoutMs = 1000;

// A token is a short secret; anything longer is not one.
constexpr size_t kMaxSecret = 4095;

int64_t monotonic_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void nap(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Required by the library for a first connect that returns at once and goes
// on in the background; the loop watches the connection's status instead.
void on_connected(natsConnection*, void*) {}

struct nats_run {
    const source_url* url;
    const tls_files* tls;
    const bus_options* bus;
    consumer* sink;
    natsOptions* opts = nullptr;
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    natsSubscription* sub = nullptr;
    std::string token;
    std::string shown;     // the server list as given, for messages
    std::string last_why;  // the last failure reported, so that each is named once
    bool was_connected = false;
    int64_t retry_at_ms = 0;  // next connection or consumer attempt
    int64_t delay_ms = kFirstDelayMs;
    run_table runs;
    int status = -1;
};

// The library's text for the last failure on this connection or thread.
std::string failure_text(natsConnection* nc, natsStatus s) {
    const char* text = nullptr;
    if (nc != nullptr) natsConnection_GetLastError(nc, &text);
    if (text == nullptr || text[0] == '\0') text = nats_GetLastError(nullptr);
    std::string why = text != nullptr && text[0] != '\0' ? text : natsStatus_GetText(s);
    for (char& c : why)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    if (s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED ||
        why.find("uthorization") != std::string::npos)
        why += " (check --token-file or --creds)";
    return why;
}

// Schedules the next attempt and returns the wait, with jitter.
int64_t back_off(nats_run& r) {
    uint16_t spread = 0;
    if (getrandom(&spread, sizeof spread, GRND_NONBLOCK) != sizeof spread) spread = 0;
    const int64_t wait = r.delay_ms + r.delay_ms * (spread % 201) / 1000;
    r.delay_ms = std::min(r.delay_ms * 2, kLastDelayMs);
    r.retry_at_ms = monotonic_ms() + wait;
    return wait;
}

void say_retry(nats_run& r, const char* what, const std::string& why) {
    const int64_t wait = back_off(r);
    if (why == r.last_why) return;  // said already; the delay still grows
    r.last_why = why;
    std::fprintf(stderr, "zel_tail: %s: %s; retrying in %.1f s\n", what, why.c_str(),
                 static_cast<double>(wait) / 1000.0);
    std::fflush(stderr);
}

void drop_consumer(nats_run& r) {
    natsSubscription_Destroy(r.sub);  // not Unsubscribe: that would delete the durable
    r.sub = nullptr;
}

void drop_connection(nats_run& r) {
    drop_consumer(r);
    jsCtx_Destroy(r.js);
    r.js = nullptr;
    natsConnection_Destroy(r.nc);
    r.nc = nullptr;
    r.was_connected = false;
}

// The token file: a regular file (a FIFO would block, a directory reads as
// nothing) of 1 to 4,095 bytes, without its trailing line break. The
// token never appears in a message.
int read_token(const char* path, std::string& out) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        std::fprintf(stderr, "zel_tail: --token-file %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxSecret + 2)) {
        std::fprintf(
            stderr, "zel_tail: --token-file %s: not a regular file of at most 4,095 bytes\n", path);
        return -1;
    }
    char buf[kMaxSecret + 2];
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) {
        std::fprintf(stderr, "zel_tail: --token-file %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    size_t len = static_cast<size_t>(n);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) --len;
    bool clean = len > 0 && len <= kMaxSecret;
    for (size_t i = 0; clean && i < len; i++)
        clean = static_cast<unsigned char>(buf[i]) > 0x20 && buf[i] != 0x7F;
    explicit_bzero(buf + len, sizeof buf - len);
    if (!clean) {
        explicit_bzero(buf, sizeof buf);
        std::fprintf(stderr,
                     "zel_tail: --token-file %s: the token must be one line of 1 to 4,095 "
                     "printable bytes\n",
                     path);
        return -1;
    }
    out.assign(buf, len);
    explicit_bzero(buf, sizeof buf);
    return 0;
}

int set_up(nats_run& r) {
    if (r.bus->token_file != nullptr && read_token(r.bus->token_file, r.token) != 0)
        return kExitSetup;
    if (natsOptions_Create(&r.opts) != NATS_OK) {
        std::fputs("zel_tail: cannot create the NATS client options\n", stderr);
        return kExitSetup;
    }
    std::vector<const char*> urls;
    bool tls = false;
    for (const std::string& u : r.url->servers) {
        urls.push_back(u.c_str());
        tls = tls || u.starts_with("tls://");
        r.shown += (r.shown.empty() ? "" : ",") + u;
    }
    natsOptions* o = r.opts;
    natsStatus s = natsOptions_SetServers(o, urls.data(), static_cast<int>(urls.size()));
    const char* step = "the server list";
    auto set = [&](natsStatus rc, const char* what) {
        if (s == NATS_OK && rc != NATS_OK) {
            s = rc;
            step = what;
        }
    };
    set(natsOptions_SetName(o, "zel_tail"), "the client name");
    // Forever: the default of 60 tries closes the connection for good.
    set(natsOptions_SetMaxReconnect(o, -1), "the reconnect policy");
    set(natsOptions_SetReconnectWait(o, kFirstDelayMs), "the reconnect policy");
    set(natsOptions_SetReconnectJitter(o, 200, 500), "the reconnect policy");
    set(natsOptions_SetRetryOnFailedConnect(o, true, on_connected, nullptr), "the connect policy");
    set(natsOptions_SetTimeout(o, kConnectTimeoutMs), "the connect timeout");
    if (!r.token.empty()) set(natsOptions_SetToken(o, r.token.c_str()), "the token");
    if (r.bus->creds_file != nullptr)
        set(natsOptions_SetUserCredentialsFromFiles(o, r.bus->creds_file, nullptr), "--creds");
    if (tls) set(natsOptions_SetSecure(o, true), "TLS");
    if (r.tls->ca != nullptr) set(natsOptions_LoadCATrustedCertificates(o, r.tls->ca), "--ca");
    if (r.tls->cert != nullptr)
        set(natsOptions_LoadCertificatesChain(o, r.tls->cert, r.tls->key), "--cert and --key");
    if (s != NATS_OK) {
        std::fprintf(stderr, "zel_tail: cannot set up %s: %s\n", step,
                     failure_text(nullptr, s).c_str());
        return kExitSetup;
    }
    return 0;
}

// Where the server holds the durable's position: the last event it has
// acknowledged, so that a jump across a restart is still seen in that run.
void seed_from_ack_floor(nats_run& r) {
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = kApiWaitMs;
    jsConsumerInfo* ci = nullptr;
    jsErrCode code{};
    if (js_GetConsumerInfo(&ci, r.js, r.bus->stream, r.bus->durable, &jo, &code) != NATS_OK) return;
    const uint64_t floor = ci->AckFloor.Stream;
    jsConsumerInfo_Destroy(ci);
    if (floor == 0) return;
    natsMsg* m = nullptr;
    if (js_GetMsg(&m, r.js, r.bus->stream, floor, &jo, &code) != NATS_OK) return;
    const char* boot = nullptr;
    const char* seq = nullptr;
    natsMsgHeader_Get(m, "Zel-Boot", &boot);
    natsMsgHeader_Get(m, "Zel-Seq", &seq);
    message ev{};
    const char* why = nullptr;
    const int len = natsMsg_GetDataLength(m);
    if (read_bus_event(boot, seq, {natsMsg_GetData(m), static_cast<size_t>(len)}, ev, &why) == 0)
        r.runs.record(ev.boot, ev.seq);
    natsMsg_Destroy(m);
}

// The JetStream context, the stream's check and the durable pull consumer.
// 0, or -1 after saying why (the caller retries later).
int bind_consumer(nats_run& r) {
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = kApiWaitMs;
    if (r.js == nullptr && natsConnection_JetStream(&r.js, r.nc, &jo) != NATS_OK) {
        say_retry(r, "cannot use JetStream", failure_text(r.nc, NATS_ERR));
        return -1;
    }
    const std::string what = std::string("cannot read stream ") + r.bus->stream;
    jsStreamInfo* si = nullptr;
    jsErrCode code{};
    natsStatus s = js_GetStreamInfo(&si, r.js, r.bus->stream, &jo, &code);
    if (s == NATS_NOT_FOUND || code == JSStreamNotFoundErr) {
        say_retry(r, what.c_str(), "no such stream");
        return -1;
    }
    if (s != NATS_OK) {
        say_retry(r, what.c_str(), failure_text(r.nc, s));
        return -1;
    }
    // The durable reads what the stream holds: its one subject, or all of
    // them.
    std::string filter = si->Config->SubjectsLen == 1 ? si->Config->Subjects[0] : ">";
    jsStreamInfo_Destroy(si);
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = r.bus->stream;
    so.Config.AckPolicy = js_AckExplicit;
    so.Config.DeliverPolicy = js_DeliverAll;
    s = js_PullSubscribe(&r.sub, r.js, filter.c_str(), r.bus->durable, &jo, &so, &code);
    if (s != NATS_OK) {
        r.sub = nullptr;
        say_retry(
            r,
            (std::string("cannot use durable ") + r.bus->durable + " on stream " + r.bus->stream)
                .c_str(),
            failure_text(r.nc, s));
        return -1;
    }
    seed_from_ack_floor(r);
    char at[256] = "";
    natsConnection_GetConnectedUrl(r.nc, at, sizeof at);
    std::fprintf(stderr, "zel_tail: connected to %s (stream %s, durable %s)\n",
                 at[0] != '\0' ? at : r.shown.c_str(), r.bus->stream, r.bus->durable);
    std::fflush(stderr);
    r.last_why.clear();
    r.delay_ms = kFirstDelayMs;
    return 0;
}

// One message: 0 when it is settled (printed, a repeat, or refused and
// reported), or the status the run ends with (the message then unsettled).
int on_bus_message(nats_run& r, natsMsg* msg) {
    const char* boot = nullptr;
    const char* seq = nullptr;
    natsMsgHeader_Get(msg, "Zel-Boot", &boot);
    natsMsgHeader_Get(msg, "Zel-Seq", &seq);
    const int len = natsMsg_GetDataLength(msg);
    message m{};
    const char* why = nullptr;
    if (read_bus_event(boot, seq, {natsMsg_GetData(msg), static_cast<size_t>(len)}, m, &why) != 0) {
        // Left unacknowledged it would come back for ever and hold up the
        // events behind it; it is reported and passed over.
        uint64_t at = 0;
        jsMsgMetaData* meta = nullptr;
        if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
            at = meta->Sequence.Stream;
            jsMsgMetaData_Destroy(meta);
        }
        std::fprintf(stderr, "zel_tail: passed over message %llu of stream %s: %s\n",
                     static_cast<unsigned long long>(at), r.bus->stream, why);
        return 0;
    }
    return deliver_bus_event(r.runs, *r.sink, m);
}

// Fetches and handles one batch. Messages are acknowledged only once what
// they printed is flushed and saved; a message that ends the run is not.
void read_batch(nats_run& r) {
    natsMsgList list{};
    jsErrCode code{};
    const natsStatus s = natsSubscription_Fetch(&list, r.sub, kBatch, kFetchWaitMs, &code);
    if (s == NATS_TIMEOUT) return;
    if (s != NATS_OK) {
        // A lost connection is the loop's to report; anything else (the
        // durable deleted, say) is set up again after a delay.
        if (natsConnection_Status(r.nc) == NATS_CONN_STATUS_CONNECTED) {
            say_retry(r, "cannot fetch from the stream", failure_text(r.nc, s));
            drop_consumer(r);
        } else {
            nap(100);
        }
        return;
    }
    int settled = 0;
    for (; settled < list.Count; settled++) {
        if (const int rc = on_bus_message(r, list.Msgs[settled])) {
            r.status = rc;
            break;
        }
    }
    if (const int rc = r.sink->flush(monotonic_ms(), true)) {
        if (r.status < 0) r.status = rc;
        settled = 0;  // not written: the server keeps them for the next run
    }
    for (int i = 0; i < settled; i++) natsMsg_Ack(list.Msgs[i], nullptr);
    // The rest go back to the server at once, so that the next run gets them
    // now rather than once the consumer's acknowledgement wait runs out.
    for (int i = settled; i < list.Count; i++) natsMsg_Nak(list.Msgs[i], nullptr);
    natsConnection_FlushTimeout(r.nc, kAckFlushMs);
    natsMsgList_Destroy(&list);
}

// One pass: connect, watch the connection, set up the consumer, or read.
void pass(nats_run& r) {
    const int64_t now = monotonic_ms();
    if (r.nc == nullptr) {
        if (now < r.retry_at_ms) return nap(std::min<int64_t>(100, r.retry_at_ms - now));
        const natsStatus s = natsConnection_Connect(&r.nc, r.opts);
        if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
            const std::string why = failure_text(r.nc, s);
            if (r.nc != nullptr) drop_connection(r);
            say_retry(r, ("cannot connect to " + r.shown).c_str(), why);
        }
        return;
    }
    switch (natsConnection_Status(r.nc)) {
    case NATS_CONN_STATUS_CONNECTED:
        break;
    case NATS_CONN_STATUS_CLOSED: {
        // The library gave this connection up (a refused credential, say).
        const std::string why = failure_text(r.nc, NATS_CONNECTION_CLOSED);
        drop_connection(r);
        say_retry(r, ("cannot connect to " + r.shown).c_str(), why);
        return;
    }
    default: {
        // Connecting or reconnecting in the background: each new reason is
        // said once.
        const char* text = nullptr;
        natsConnection_GetLastError(r.nc, &text);
        const std::string why = text != nullptr && text[0] != '\0' ? failure_text(r.nc, NATS_ERR)
                                                                   : std::string("connection lost");
        if (r.was_connected) {
            std::fprintf(stderr, "zel_tail: disconnected from %s: %s; reconnecting\n",
                         r.shown.c_str(), why.c_str());
            std::fflush(stderr);
            r.was_connected = false;
            r.last_why = why;
        } else if (text != nullptr && text[0] != '\0' && why != r.last_why) {
            r.last_why = why;
            std::fprintf(stderr, "zel_tail: cannot connect to %s: %s; retrying\n", r.shown.c_str(),
                         why.c_str());
            std::fflush(stderr);
        }
        return nap(100);
    }
    }
    if (!r.was_connected) {
        r.was_connected = true;
        if (r.sub != nullptr) {  // the library restored the consumer's subscription
            char at[256] = "";
            natsConnection_GetConnectedUrl(r.nc, at, sizeof at);
            std::fprintf(stderr, "zel_tail: reconnected to %s\n", at);
            std::fflush(stderr);
            r.last_why.clear();
        }
    }
    if (r.sub == nullptr) {
        if (now < r.retry_at_ms) return nap(std::min<int64_t>(100, r.retry_at_ms - now));
        bind_consumer(r);
        return;
    }
    read_batch(r);
}

}  // namespace

int run_nats(const source_url& url, const tls_files& tls, const bus_options& bus, consumer& sink,
             const volatile std::sig_atomic_t& stop) {
    nats_run r;
    r.url = &url;
    r.tls = &tls;
    r.bus = &bus;
    r.sink = &sink;
    // A run from the position file, so that a jump in it is seen even
    // before the server's position is read.
    if (sink.resume().known) r.runs.record(sink.resume().boot, sink.resume().seq);
    int status = set_up(r);
    if (status == 0) {
        while (!stop && r.status < 0) pass(r);
        status = r.status >= 0 ? r.status : kExitStopped;
        if (r.nc != nullptr) drop_connection(r);
    }
    natsOptions_Destroy(r.opts);
    explicit_bzero(r.token.data(), r.token.size());
    nats_CloseAndWait(1000);
    const int final_rc = sink.flush(monotonic_ms(), true);
    return status != kExitStopped ? status : final_rc;
}

}  // namespace zel::tail
