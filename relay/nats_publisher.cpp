#include "nats_publisher.hpp"

#include <fcntl.h>
#include <nats/nats.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "relay_log.hpp"
#include "relay_stats.hpp"
#include "unique_fd.hpp"

namespace zel::nats {

constexpr size_t kSecretMax = 4095;

int read_secret_file(const std::string& path, const char* what, std::string* out,
                     std::string* err) {
    // Non-blocking, so that a FIFO put in the secret's place cannot hold the
    // relay; only a regular file is read.
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        *err = std::string("open ") + what + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = std::string(what) + " must name a regular file";
        return -1;
    }
    char buf[kSecretMax + 1];
    size_t used = 0;
    while (used < sizeof buf) {
        ssize_t n = read(fd.get(), buf + used, sizeof buf - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *err = std::string("read ") + what + ": " + std::strerror(errno);
            return -1;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    while (used > 0 && (buf[used - 1] == '\n' || buf[used - 1] == '\r')) --used;
    if (used > kSecretMax) {
        *err = std::string(what) + " holds more than 4095 bytes";
        return -1;
    }
    if (used == 0 || std::memchr(buf, '\0', used) != nullptr) {
        *err = std::string(what) + " must hold 1 to 4095 bytes of text";
        return -1;
    }
    out->assign(buf, used);
    explicit_bzero(buf, sizeof buf);
    return 0;
}

namespace {

int readable_file(const std::string& path, const char* what, std::string* err) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = std::string(what) + " must name a readable regular file";
        return -1;
    }
    return 0;
}

}  // namespace

namespace {

// The server drops a message id from its duplicate window after this long; a
// line resent later would be stored twice, so a stream we create keeps ids
// for at least this long.
constexpr int64_t kMinDuplicateWindowNs = 120LL * 1000 * 1000 * 1000;

// Reconnect delays: doubling from the first to the last, each with up to a
// quarter more at random, so that a fleet of relays does not return at once.
constexpr int64_t kReconnectFirstMs = 100;
constexpr int64_t kReconnectLastMs = 2000;

// Retries after a failed publish: a cluster electing a leader answers "no
// responders" at once, so resending at once would spin.
constexpr int64_t kRetryFirstMs = 100;
constexpr int64_t kRetryLastMs = 2000;

// How long a stream check or creation may wait for the cluster, and how long
// between checks while the stream is missing or the cluster cannot answer.
constexpr int64_t kApiWaitMs = 2000;
constexpr int64_t kRecheckMs = 2000;

// A first connection attempt to one server gives up after this long; the
// first attempt runs on the module's thread, which stop() joins.
constexpr int64_t kConnectTimeoutMs = 1000;

// The library's threads wake the service thread for this many results even
// when it is not waiting for them, so that `acknowledged` stays current.
constexpr size_t kWakeBatch = 256;

constexpr size_t kReasonMax = 256;

enum class event_kind : uint8_t {
    connected,
    disconnected,
    reconnected,
    closed,
    stream_ready,
    stream_missing,
    stream_unusable,
    connect_failed,
    async_error,
};

struct event {
    event_kind kind;
    char reason[kReasonMax];
};

struct ack {
    uint64_t seq;
    result_kind kind;
};

void copy_reason(char (&out)[kReasonMax], const char* text) {
    std::snprintf(out, sizeof out, "%s", text != nullptr && text[0] != '\0' ? text : "unknown");
}

// The library's last error text for this thread, or its status text.
const char* status_text(natsStatus s) {
    natsStatus last = NATS_OK;
    const char* text = nats_GetLastError(&last);
    if (text != nullptr && text[0] != '\0' && last == s) return text;
    return natsStatus_GetText(s);
}

// Handles that free themselves.
struct opts_deleter {
    void operator()(natsOptions* o) const { natsOptions_Destroy(o); }
};

class publisher_impl final : public publisher {
public:
    publisher_impl(const publisher_config& cfg, wake_fn wake, void* wake_arg)
        : cfg_(cfg), wake_(wake), wake_arg_(wake_arg), ledger_(cfg.max_pending) {
        acks_.reserve(cfg.max_pending + 1);
        taken_.reserve(cfg.max_pending + 1);
        std::snprintf(id_prefix_, sizeof id_prefix_, "%s:%s:", cfg.switch_id.c_str(),
                      cfg.boot.c_str());
    }

    ~publisher_impl() override { stop(0); }

    int setup(std::string* err);
    int start(std::string* err) override;
    void take() override;
    bool rewind(uint64_t* from) override;
    size_t room(int64_t now_ms) override;
    int publish(uint64_t seq, std::span<const unsigned char> line) override;
    int64_t retry_at_ms() const override { return hold_until_ms_ > 0 ? hold_until_ms_ : -1; }
    publisher_stats stats() const override;
    uint64_t settled_before() const override { return ledger_.first_unsettled(); }
    size_t stop(int64_t grace_ms) override;

private:
    // Library threads.
    static void on_ack(jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure);
    static void on_connected(natsConnection*, void* closure);
    static void on_disconnected(natsConnection* nc, void* closure);
    static void on_reconnected(natsConnection*, void* closure);
    static void on_closed(natsConnection*, void* closure);
    static void on_error(natsConnection* nc, natsSubscription*, natsStatus s, void* closure);
    static int64_t reconnect_delay(natsConnection*, int attempts, void* closure);
    void post_event(event_kind kind, const char* reason);
    void wake_locked(bool urgent);

    // The module's thread.
    void control_main();
    bool check_stream();

    void fail_publish(uint64_t seq, const char* reason);

    const publisher_config cfg_;
    const wake_fn wake_;
    void* const wake_arg_;
    std::string token_;
    std::string password_;
    std::unique_ptr<natsOptions, opts_deleter> opts_;
    char id_prefix_[600];

    // Written by the module's thread before `ready_` is set, read-only after.
    natsConnection* nc_ = nullptr;
    jsCtx* js_ = nullptr;
    std::atomic<bool> ready_{false};

    std::thread control_;
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;  // service thread

    // Guarded by mu_: what the library's threads and the module's thread
    // hand to the service thread, and whether it has been woken for it.
    std::mutex mu_;
    std::condition_variable cv_;  // the module's thread and stop() wait on it
    std::vector<ack> acks_;       // at most max_pending: one per outstanding publish
    std::vector<event> events_;   // bounded by kEventsMax, the rest counted
    uint64_t events_lost_ = 0;
    bool woken_ = false;            // a wake is pending since the last take()
    bool want_any_ = false;         // the service thread waits for results
    bool closed_ = false;           // stop() has ended wakes
    bool connected_shared_ = false;  // for the module's thread
    bool stream_checked_ = false;    // for the module's thread
    bool released_ = false;          // the service thread no longer uses nc_ and js_
    static constexpr size_t kEventsMax = 64;

    // Service thread only.
    std::vector<ack> taken_;
    ledger ledger_;
    bool connected_ = false;
    bool stream_ready_ = false;
    uint64_t reconnects_ = 0;
    int64_t hold_until_ms_ = 0;
    int64_t retry_delay_ms_ = kRetryFirstMs;
    char first_failure_[kReasonMax] = "";  // of the current failure, for the log line
    uint64_t last_logged_from_ = 0;
    char last_down_reason_[kReasonMax] = "";
    char last_logged_reason_[kReasonMax] = "";
    std::minstd_rand jitter_{std::random_device{}()};  // reconnect thread only
};

// A wake for every failure and event, for a batch of results, and for any
// result while the service thread waits for them; at most one until take().
void publisher_impl::wake_locked(bool urgent) {
    if (closed_ || woken_) return;
    if (!urgent && !want_any_ && acks_.size() < kWakeBatch) return;
    woken_ = true;
    wake_(wake_arg_);
}

void publisher_impl::post_event(event_kind kind, const char* reason) {
    std::lock_guard lock(mu_);
    if (events_.size() >= kEventsMax) {
        events_lost_++;
    } else {
        events_.push_back({kind, {}});
        copy_reason(events_.back().reason, reason);
    }
    if (kind == event_kind::connected || kind == event_kind::reconnected) connected_shared_ = true;
    if (kind == event_kind::disconnected || kind == event_kind::closed) connected_shared_ = false;
    cv_.notify_all();
    wake_locked(true);
}

// Runs on the acknowledgement subscription's delivery thread, or on the
// library's timer thread for a time-out. The line's seq rides in its own
// Zel-Seq header.
void publisher_impl::on_ack(jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure) {
    auto* self = static_cast<publisher_impl*>(closure);
    const char* seq_text = nullptr;
    uint64_t seq = 0;
    if (msg != nullptr && natsMsgHeader_Get(msg, "Zel-Seq", &seq_text) == NATS_OK && seq_text)
        seq = std::strtoull(seq_text, nullptr, 10);
    result_kind kind = result_kind::failed;
    if (pa != nullptr) kind = pa->Duplicate ? result_kind::duplicate : result_kind::ok;
    char reason[kReasonMax] = "";
    if (kind == result_kind::failed && pae != nullptr) {
        if (pae->ErrText != nullptr && pae->ErrText[0] != '\0')
            std::snprintf(reason, sizeof reason, "%s", pae->ErrText);
        else
            std::snprintf(reason, sizeof reason, "%s", natsStatus_GetText(pae->Err));
    }
    natsMsg_Destroy(msg);
    if (seq == 0) return;

    std::lock_guard lock(self->mu_);
    self->acks_.push_back({seq, kind});
    if (kind == result_kind::failed && self->first_failure_[0] == '\0')
        copy_reason(self->first_failure_, reason);
    // Only stop() waits on cv_ for results; the module's thread waits on it
    // too, for other things, and a signal per result would wake it for
    // nothing once per line.
    if (self->stopping_.load()) self->cv_.notify_all();
    self->wake_locked(kind == result_kind::failed);
}

void publisher_impl::on_connected(natsConnection*, void* closure) {
    static_cast<publisher_impl*>(closure)->post_event(event_kind::connected, "");
}

void publisher_impl::on_disconnected(natsConnection* nc, void* closure) {
    const char* text = nullptr;
    natsStatus s = natsConnection_GetLastError(nc, &text);
    if (text == nullptr || text[0] == '\0') text = s != NATS_OK ? natsStatus_GetText(s) : nullptr;
    static_cast<publisher_impl*>(closure)->post_event(event_kind::disconnected,
                                                      text != nullptr ? text : "connection lost");
}

void publisher_impl::on_reconnected(natsConnection*, void* closure) {
    static_cast<publisher_impl*>(closure)->post_event(event_kind::reconnected, "");
}

// The library closes a connection for good when its handshake or credential
// is refused; its last error says which.
void publisher_impl::on_closed(natsConnection* nc, void* closure) {
    const char* text = nullptr;
    natsConnection_GetLastError(nc, &text);
    static_cast<publisher_impl*>(closure)->post_event(
        event_kind::closed, text != nullptr && text[0] != '\0' ? text : "connection closed");
}

void publisher_impl::on_error(natsConnection* nc, natsSubscription*, natsStatus s,
                              void* closure) {
    const char* text = nullptr;
    natsConnection_GetLastError(nc, &text);
    if (text == nullptr || text[0] == '\0') text = natsStatus_GetText(s);
    static_cast<publisher_impl*>(closure)->post_event(event_kind::async_error, text);
}

// Runs on the library's reconnect thread; `attempts` counts passes over the
// whole server list.
int64_t publisher_impl::reconnect_delay(natsConnection*, int attempts, void* closure) {
    auto* self = static_cast<publisher_impl*>(closure);
    int64_t delay = kReconnectFirstMs;
    for (int i = 1; i < attempts && delay < kReconnectLastMs; i++) delay *= 2;
    if (delay > kReconnectLastMs) delay = kReconnectLastMs;
    std::uniform_int_distribution<int64_t> extra(0, delay / 4);
    return delay + extra(self->jitter_);
}

int publisher_impl::setup(std::string* err) {
    const publisher_config& c = cfg_;
    if (c.servers.empty()) return *err = "no NATS server URL", -1;
    for (const std::string& url : c.servers)
        if (url.rfind("nats://", 0) != 0 && url.rfind("tls://", 0) != 0)
            return *err = "a NATS URL must begin with nats:// or tls://", -1;
    if (!publish_subject_valid(c.subject)) return *err = "invalid NATS subject", -1;
    if (c.stream.empty() || c.stream.size() > 255 ||
        c.stream.find_first_of(". *>\t\r\n") != std::string::npos || !header_value_valid(c.stream))
        return *err = "invalid NATS stream name", -1;
    if (c.switch_id.empty() || c.switch_id.size() > 255 || !header_value_valid(c.switch_id))
        return *err = "the switch id must be 1 to 255 bytes without control bytes", -1;
    if (c.boot.empty() || c.boot.size() > 64 || !header_value_valid(c.boot))
        return *err = "invalid boot id", -1;
    if (c.max_pending == 0 || c.max_pending > (1u << 24))
        return *err = "max pending must be 1 to 16777216", -1;
    int creds = (c.token_file.empty() ? 0 : 1) + (c.creds_file.empty() ? 0 : 1) +
                (c.user.empty() && c.password_file.empty() ? 0 : 1);
    if (creds > 1) return *err = "use one of a token, a credentials file, or a user", -1;
    if (c.user.empty() != c.password_file.empty())
        return *err = "a NATS user and its password file must be set together", -1;
    if (c.cert_file.empty() != c.key_file.empty())
        return *err = "a NATS client certificate and key must be set together", -1;
    if (!c.token_file.empty() &&
        read_secret_file(c.token_file, "PCAP_NATS_TOKEN_FILE", &token_, err) != 0)
        return -1;
    if (!c.password_file.empty() &&
        read_secret_file(c.password_file, "PCAP_NATS_PASSWORD_FILE", &password_, err) != 0)
        return -1;
    if (!c.creds_file.empty() && readable_file(c.creds_file, "PCAP_NATS_CREDS_FILE", err) != 0)
        return -1;

    // Without spinning on its locks: its threads and ours share few cores,
    // and a lock's holder is often a thread waiting to run, so a spin only
    // burns the time that holder needs. Takes effect when the library is
    // first opened; later calls change nothing.
    nats_Open(0);
    natsOptions* raw = nullptr;
    if (natsOptions_Create(&raw) != NATS_OK) return *err = "cannot create NATS options", -1;
    opts_.reset(raw);
    natsOptions* o = raw;
    std::vector<const char*> urls;
    for (const std::string& u : c.servers) urls.push_back(u.c_str());

    natsStatus s = natsOptions_SetServers(o, urls.data(), static_cast<int>(urls.size()));
    const char* step = "NATS server list";
    auto set = [&](natsStatus r, const char* what) {
        if (s == NATS_OK && r != NATS_OK) {
            s = r;
            step = what;
        }
    };
    set(natsOptions_SetName(o, "zel_packet_monitor_wss"), "NATS client name");
    // Forever: the default of 60 tries closes the connection for good.
    set(natsOptions_SetMaxReconnect(o, -1), "NATS reconnect");
    set(natsOptions_SetCustomReconnectDelay(o, reconnect_delay, this), "NATS reconnect delay");
    set(natsOptions_SetRetryOnFailedConnect(o, true, on_connected, this), "NATS connect retry");
    set(natsOptions_SetTimeout(o, kConnectTimeoutMs), "NATS connect timeout");
    // No buffering while disconnected: a publish then fails at once and is
    // resent in order later, where a buffered one could be stored after lines
    // that failed before it.
    set(natsOptions_SetReconnectBufSize(o, 0), "NATS reconnect buffer");
    set(natsOptions_SetDisconnectedCB(o, on_disconnected, this), "NATS callbacks");
    set(natsOptions_SetReconnectedCB(o, on_reconnected, this), "NATS callbacks");
    set(natsOptions_SetClosedCB(o, on_closed, this), "NATS callbacks");
    set(natsOptions_SetErrorHandler(o, on_error, this), "NATS callbacks");
    if (!token_.empty()) set(natsOptions_SetToken(o, token_.c_str()), "NATS token");
    if (!c.user.empty())
        set(natsOptions_SetUserInfo(o, c.user.c_str(), password_.c_str()), "NATS user");
    if (!c.creds_file.empty())
        set(natsOptions_SetUserCredentialsFromFiles(o, c.creds_file.c_str(), nullptr),
            "PCAP_NATS_CREDS_FILE");
    bool tls = !c.ca_file.empty() || !c.cert_file.empty();
    for (const std::string& u : c.servers) tls = tls || u.rfind("tls://", 0) == 0;
    if (tls) set(natsOptions_SetSecure(o, true), "NATS TLS");
    if (!c.ca_file.empty())
        set(natsOptions_LoadCATrustedCertificates(o, c.ca_file.c_str()), "PCAP_NATS_CA_FILE");
    if (!c.cert_file.empty())
        set(natsOptions_LoadCertificatesChain(o, c.cert_file.c_str(), c.key_file.c_str()),
            "PCAP_NATS_CERT_FILE and PCAP_NATS_KEY_FILE");
    if (!c.expected_hostname.empty())
        set(natsOptions_SetExpectedHostname(o, c.expected_hostname.c_str()),
            "NATS expected hostname");
    if (s != NATS_OK) {
        *err = std::string(step) + ": " + natsStatus_GetText(s);
        return -1;
    }
    return 0;
}

int publisher_impl::start(std::string* err) {
    try {
        control_ = std::thread([this] { control_main(); });
    } catch (const std::system_error& e) {
        *err = std::string("cannot start the NATS thread: ") + e.what();
        return -1;
    }
    return 0;
}

// The module's thread: connects (the library retries in the background after
// a first attempt that finds no server; a refused handshake or credential
// ends the library's connection, and this thread starts a new one after a
// delay), then checks the stream until it succeeds. It alone creates and
// destroys the connection; it destroys one only once the service thread has
// released it.
void publisher_impl::control_main() {
    int64_t delay = kReconnectFirstMs;
    std::string last_reason;
    auto report = [&](const char* text) {
        if (text == nullptr || text[0] == '\0' || last_reason == text) return;
        last_reason = text;
        post_event(event_kind::connect_failed, text);
    };
    auto pause = [&](int64_t ms) {
        std::unique_lock lock(mu_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_.load(); });
    };
    while (!stopping_.load()) {
        natsConnection* nc = nullptr;
        natsStatus s = natsConnection_Connect(&nc, opts_.get());
        if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
            const char* text = nats_GetLastError(nullptr);
            report(text != nullptr && text[0] != '\0' ? text : natsStatus_GetText(s));
            if (nc != nullptr) natsConnection_Destroy(nc);
            if (!pause(delay)) return;
            delay = delay * 2 > kReconnectLastMs ? kReconnectLastMs : delay * 2;
            continue;
        }
        jsOptions jo;
        jsOptions_Init(&jo);
        jo.Wait = kApiWaitMs;
        jo.PublishAsync.AckHandler = on_ack;
        jo.PublishAsync.AckHandlerClosure = this;
        // The ledger bounds what is outstanding; a library bound of its own
        // would block the service thread in the publish call when reached.
        jo.PublishAsync.MaxPending = 0;
        jsCtx* js = nullptr;
        if (natsConnection_JetStream(&js, nc, &jo) != NATS_OK) {
            report("cannot create the JetStream context");
            natsConnection_Close(nc);
            natsConnection_Destroy(nc);
            if (!pause(delay)) return;
            continue;
        }
        {
            std::lock_guard lock(mu_);
            nc_ = nc;
            js_ = js;
            released_ = false;
            stream_checked_ = false;
        }
        ready_.store(true);
        if (s == NATS_OK) {
            delay = kReconnectFirstMs;
            last_reason.clear();
            post_event(event_kind::connected, "");
        } else {
            // Why the first attempt failed (a refused credential, say): the
            // library goes on in the background and may later say only that
            // no server is left.
            const char* text = nullptr;
            natsConnection_GetLastError(nc, &text);
            report(text);
        }

        // Reports a failing background connect when its reason changes, so
        // that a refused credential is named rather than retried in silence.
        for (;;) {
            bool do_check = false, released = false;
            {
                std::unique_lock lock(mu_);
                cv_.wait_for(lock, std::chrono::milliseconds(kRecheckMs), [&] {
                    return stopping_.load() || released_ ||
                           (connected_shared_ && !stream_checked_);
                });
                if (stopping_.load()) return;
                released = released_;
                do_check = connected_shared_ && !stream_checked_;
            }
            if (released) break;
            if (!do_check) {
                if (natsConnection_Status(nc) != NATS_CONN_STATUS_CONNECTED) {
                    const char* text = nullptr;
                    natsConnection_GetLastError(nc, &text);
                    report(text);
                }
                continue;
            }
            last_reason.clear();
            delay = kReconnectFirstMs;
            if (check_stream()) {
                std::lock_guard lock(mu_);
                stream_checked_ = true;
            } else if (!pause(kRecheckMs)) {
                return;
            }
        }
        // The library closed this connection for good and the service thread
        // no longer uses it: start afresh.
        {
            std::lock_guard lock(mu_);
            if (stopping_.load()) return;  // stop() destroys it
            nc_ = nullptr;
            js_ = nullptr;
            connected_shared_ = false;
        }
        jsCtx_Destroy(js);
        natsConnection_Destroy(nc);
        if (!pause(delay)) return;
        delay = delay * 2 > kReconnectLastMs ? kReconnectLastMs : delay * 2;
    }
}

// True once the stream holds the subject, after creating it if asked.
// Posts stream_missing or stream_unusable when it cannot be used yet.
bool publisher_impl::check_stream() {
    jsStreamInfo* si = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&si, js_, cfg_.stream.c_str(), nullptr, &code);
    if (s == NATS_NOT_FOUND || code == JSStreamNotFoundErr) {
        if (!cfg_.create_stream) {
            post_event(event_kind::stream_missing, "");
            return false;
        }
        jsStreamConfig sc;
        jsStreamConfig_Init(&sc);
        const char* subjects[] = {cfg_.subject.c_str()};
        sc.Name = cfg_.stream.c_str();
        sc.Subjects = subjects;
        sc.SubjectsLen = 1;
        sc.Storage = js_FileStorage;
        sc.Replicas = cfg_.replicas;
        sc.MaxAge = cfg_.max_age_seconds * 1000LL * 1000 * 1000;
        sc.MaxBytes = cfg_.max_bytes > 0 ? cfg_.max_bytes : -1;
        sc.Duplicates = kMinDuplicateWindowNs;
        // Created only when missing: an existing stream, ours or another's,
        // is never replaced, deleted or created again.
        s = js_AddStream(&si, js_, &sc, nullptr, &code);
        if (s != NATS_OK && code != JSStreamNameExistErr) {
            char reason[kReasonMax];
            std::snprintf(reason, sizeof reason, "cannot create stream %s: %s",
                          cfg_.stream.c_str(), status_text(s));
            post_event(event_kind::stream_unusable, reason);
            return false;
        }
        if (s != NATS_OK) {
            // Another relay created it meanwhile: check that one.
            return false;
        }
    } else if (s != NATS_OK) {
        char reason[kReasonMax];
        std::snprintf(reason, sizeof reason, "stream %s: %s", cfg_.stream.c_str(),
                      status_text(s));
        post_event(event_kind::stream_unusable, reason);
        return false;
    }
    bool holds = false;
    if (si != nullptr && si->Config != nullptr)
        for (int i = 0; i < si->Config->SubjectsLen && !holds; i++)
            holds = subject_matches(si->Config->Subjects[i], cfg_.subject);
    jsStreamInfo_Destroy(si);
    if (!holds) {
        char reason[kReasonMax];
        std::snprintf(reason, sizeof reason, "stream %s does not hold subject %s",
                      cfg_.stream.c_str(), cfg_.subject.c_str());
        post_event(event_kind::stream_unusable, reason);
        return false;
    }
    post_event(event_kind::stream_ready, "");
    return true;
}

void publisher_impl::take() {
    std::vector<event> events;
    {
        std::lock_guard lock(mu_);
        taken_.swap(acks_);
        events.swap(events_);
        woken_ = false;
    }
    for (const ack& a : taken_) {
        ledger_.result(a.seq, a.kind);
    }
    taken_.clear();
    // A line stored since the last failure ends the retry back-off.
    if (!ledger_.probing() && !ledger_.draining() && ledger_.counters().rewinds > 0)
        retry_delay_ms_ = kRetryFirstMs;

    for (const event& e : events) {
        char line[kReasonMax + 64];
        switch (e.kind) {
        case event_kind::connected:
        case event_kind::reconnected:
            if (e.kind == event_kind::reconnected) reconnects_++;
            connected_ = true;
            last_down_reason_[0] = '\0';
            log_line("info", "nats_connected");
            break;
        case event_kind::disconnected:
        case event_kind::closed:
        case event_kind::connect_failed:
            if (e.kind != event_kind::connect_failed) connected_ = false;
            if (e.kind == event_kind::closed && ready_.load() && !stopping_.load()) {
                // Given up by the library: hand the connection back to the
                // module's thread, which makes a new one.
                ready_.store(false);
                stream_ready_ = false;
                std::lock_guard lock(mu_);
                released_ = true;
                cv_.notify_all();
            }
            ledger_.pause();
            // A cluster that keeps refusing is named once, not at every retry.
            if (std::strcmp(e.reason, last_down_reason_) != 0) {
                copy_reason(last_down_reason_, e.reason);
                std::snprintf(line, sizeof line, "nats_disconnected reason=%s", e.reason);
                log_line("warning", line);
            }
            break;
        case event_kind::stream_ready:
            stream_ready_ = true;
            break;
        case event_kind::stream_missing:
            log_line("error", "nats_stream_missing");
            break;
        case event_kind::stream_unusable:
            std::snprintf(line, sizeof line, "nats_stream_missing reason=%s", e.reason);
            log_line("error", line);
            break;
        case event_kind::async_error:
            std::snprintf(line, sizeof line, "nats_error reason=%s", e.reason);
            log_line("error", line);
            break;
        }
    }
}

bool publisher_impl::rewind(uint64_t* from) {
    if (!ledger_.take_rewind(from)) return false;
    char reason[kReasonMax];
    {
        std::lock_guard lock(mu_);
        copy_reason(reason, first_failure_[0] != '\0' ? first_failure_ : "connection lost");
        first_failure_[0] = '\0';
    }
    // Retries that fail the same way from the same line are one report: a
    // cluster away for minutes would otherwise log every retry.
    if (*from != last_logged_from_ || std::strcmp(reason, last_logged_reason_) != 0) {
        char line[kReasonMax + 64];
        std::snprintf(line, sizeof line, "nats_publish_failed reason=%s resend_from=%llu", reason,
                      static_cast<unsigned long long>(*from));
        log_line("warning", line);
        last_logged_from_ = *from;
        copy_reason(last_logged_reason_, reason);
    }
    // A retry waits, doubling while retries keep failing.
    hold_until_ms_ = stats::monotonic_ms() + retry_delay_ms_;
    retry_delay_ms_ = retry_delay_ms_ * 2 > kRetryLastMs ? kRetryLastMs : retry_delay_ms_ * 2;
    return true;
}

size_t publisher_impl::room(int64_t now_ms) {
    size_t n = 0;
    if (connected_ && stream_ready_ && ready_.load() && !stopped_) {
        if (hold_until_ms_ > 0 && now_ms < hold_until_ms_) {
            n = 0;
        } else {
            hold_until_ms_ = 0;
            n = ledger_.room();
        }
    }
    // While the ledger waits for results, every result is worth a wake.
    bool waiting = ledger_.draining() || (ledger_.outstanding() > 0 && ledger_.room() == 0);
    std::lock_guard lock(mu_);
    want_any_ = waiting;
    if (waiting && !acks_.empty() && !woken_ && !closed_) {
        woken_ = true;
        wake_(wake_arg_);
    }
    return n;
}

void publisher_impl::fail_publish(uint64_t seq, const char* reason) {
    ledger_.result(seq, result_kind::failed);
    std::lock_guard lock(mu_);
    if (first_failure_[0] == '\0') copy_reason(first_failure_, reason);
}

int publisher_impl::publish(uint64_t seq, std::span<const unsigned char> line) {
    if (!ready_.load() || stopped_) return -1;
    offer_action action = ledger_.offer(seq);
    if (action == offer_action::refused) return -1;
    if (action == offer_action::skip) return 0;

    natsMsg* msg = nullptr;
    char seq_text[24];
    std::snprintf(seq_text, sizeof seq_text, "%llu", static_cast<unsigned long long>(seq));
    char msg_id[sizeof id_prefix_ + 24];
    std::snprintf(msg_id, sizeof msg_id, "%s%s", id_prefix_, seq_text);
    natsStatus s = natsMsg_Create(&msg, cfg_.subject.c_str(), nullptr,
                                  reinterpret_cast<const char*>(line.data()),
                                  static_cast<int>(line.size()));
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Zel-Boot", cfg_.boot.c_str());
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Zel-Seq", seq_text);
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Zel-Switch", cfg_.switch_id.c_str());
    if (s == NATS_OK) {
        jsPubOptions po;
        jsPubOptions_Init(&po);
        po.MsgId = msg_id;
        po.MaxWait = cfg_.ack_wait_ms;
        s = js_PublishMsgAsync(js_, &msg, &po);
    }
    natsMsg_Destroy(msg);  // null once the library has taken it
    if (s != NATS_OK) fail_publish(seq, status_text(s));
    return 0;
}

publisher_stats publisher_impl::stats() const {
    const ledger_counters& c = ledger_.counters();
    return {c.acknowledged, c.duplicates, c.failures,    c.resent,     c.rewinds,
            c.given_up,     reconnects_,  ledger_.outstanding(), connected_, stream_ready_};
}

size_t publisher_impl::stop(int64_t grace_ms) {
    if (stopped_) return ledger_.outstanding();
    stopped_ = true;
    stopping_.store(true);
    {
        std::lock_guard lock(mu_);
        cv_.notify_all();
    }
    // Results already on their way count as stored rather than lost.
    const int64_t deadline = stats::monotonic_ms() + grace_ms;
    for (;;) {
        take();
        if (ledger_.outstanding() == 0) break;
        int64_t left = deadline - stats::monotonic_ms();
        if (left <= 0) break;
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(left), [&] { return !acks_.empty(); });
    }
    size_t unsettled = ledger_.outstanding();
    {
        std::lock_guard lock(mu_);
        closed_ = true;
    }
    // Closing first ends a stream check the module's thread may be waiting
    // on; the connection is destroyed only once that thread has ended.
    natsConnection* nc = nullptr;
    {
        std::lock_guard lock(mu_);
        nc = nc_;
    }
    if (nc != nullptr) natsConnection_Close(nc);
    if (control_.joinable()) control_.join();
    if (js_ != nullptr) jsCtx_Destroy(js_);
    if (nc_ != nullptr) natsConnection_Destroy(nc_);
    js_ = nullptr;
    nc_ = nullptr;
    opts_.reset();
    // Every library thread, and with them every callback into this object,
    // has ended once this returns.
    nats_CloseAndWait(2000);
    if (!token_.empty()) explicit_bzero(token_.data(), token_.size());
    if (!password_.empty()) explicit_bzero(password_.data(), password_.size());
    return unsettled;
}

}  // namespace

std::unique_ptr<publisher> make_publisher(const publisher_config& cfg, wake_fn wake,
                                          void* wake_arg, std::string* err) {
    auto p = std::make_unique<publisher_impl>(cfg, wake, wake_arg);
    if (p->setup(err) != 0) return nullptr;
    return p;
}

}  // namespace zel::nats
