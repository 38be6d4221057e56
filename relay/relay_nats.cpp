#include "relay_nats.hpp"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "nats_publisher.hpp"
#include "relay_log.hpp"

namespace zel::nats {

namespace {

// At stop, how long results already on their way may take to arrive.
constexpr int64_t kStopGraceMs = 1000;

// Lines pinned at once while publishing; a pass goes on pinning while the
// publisher has room.
constexpr size_t kPinLines = 256;

// Lines are held until this many are ready or the oldest has waited
// kHoldUs. At a few thousand lines a second a pass brings only a few, and
// publishing each pass's lines at once costs a wake of the library's
// flusher, timer, read loop and acknowledgement thread per handful of lines;
// gathered, those wakes are shared by a batch. A line therefore waits at most
// kHoldUs longer for its publish; at higher rates batches fill first and
// nothing waits.
constexpr uint64_t kBatchLines = 64;
constexpr int64_t kHoldUs = 4000;

// The service loop waits in whole milliseconds, and spins through the last
// fraction of one before a timer is due. A batch within this of its due time
// goes at once, so the hold timer only ends a wait and is gone before it
// would spin.
constexpr int64_t kHoldSlackUs = 1000;

int64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// The retry hold's and the batch hold's timers. The library hands its callback only the list entry,
// so the entry comes first and the state rides beside it.
struct retry_timer {
    lws_sorted_usec_list_t sul;
    relay_state* st;
};

// Called by libnats' threads (and the publisher's), with the publisher's
// lock held: only a signal. The context exists before the publisher starts
// and outlives its stop.
void wake(void* arg) {
    lws_cancel_service(static_cast<relay_state*>(arg)->context);
}

// A hold has ended: one more pass publishes again.
void retry_due(lws_sorted_usec_list_t* sul) {
    relay_state* st = lws_container_of(sul, retry_timer, sul)->st;
    if (!st->stopping.load()) lws_cancel_service(st->context);
}

// The URL list as the publisher takes it; --check-config has judged it.
std::vector<std::string> split_urls(std::string_view list) {
    std::vector<std::string> out;
    for (;;) {
        const size_t comma = list.find(',');
        out.emplace_back(list.substr(0, comma));
        if (comma == std::string_view::npos) return out;
        list.remove_prefix(comma + 1);
    }
}

publisher_config publisher_config_of(const relay_config& c, const boot_id& boot) {
    publisher_config p;
    p.servers = split_urls(c.nats_url);
    p.subject = c.nats_subject;
    p.stream = c.nats_stream;
    p.switch_id = c.switch_id;
    p.boot = boot.text;
    p.token_file = c.nats_token_file;
    p.creds_file = c.nats_creds_file;
    p.user = c.nats_user;
    p.password_file = c.nats_password_file;
    p.ca_file = c.nats_ca_file;
    p.cert_file = c.nats_cert_file;
    p.key_file = c.nats_key_file;
    p.max_pending = c.nats_max_pending;
    p.create_stream = c.nats_create_stream;
    p.replicas = static_cast<int64_t>(c.nats_replicas);
    p.max_age_seconds = static_cast<int64_t>(c.nats_max_age_seconds);
    p.max_bytes = static_cast<int64_t>(c.nats_max_bytes);
    return p;
}

class nats_mode final : public relay_mode {
public:
    // The stream is the log's one consumer from the first line on, also
    // while no connection is up, so that lines read meanwhile wait for it.
    explicit nats_mode(relay_state* st) : st_(st) {
        consumer_.kind = consumer_kind::upstream;
        consumer_.lossy = true;
        cursor_ = line_log_attach(st->log, consumer_, 1);
        timer_.st = st;
        hold_timer_.st = st;
    }

    ~nats_mode() override {
        if (pub_ != nullptr) pub_->stop(0);
        line_log_detach(st_->log, consumer_);
    }

    int init(std::string* err) {
        pub_ = make_publisher(publisher_config_of(st_->config, st_->log.boot), wake, st_, err);
        return pub_ != nullptr ? 0 : -1;
    }

    // No listener and no WebSocket client: nothing of the context is ours.
    void fill_context_info(lws_context_creation_info*) override {}

    void start() override {
        std::string err;
        if (pub_->start(&err) == 0) return;
        char msg[320];
        std::snprintf(msg, sizeof msg, "nats_disconnected reason=%s", err.c_str());
        log_line("error", msg);
        st_->stopping.store(true);
    }

    void service_pass() override {
        if (stopped_) return;
        pub_->take();
        uint64_t from = 0;
        if (pub_->rewind(&from)) {
            // Lines the log no longer holds are given up by the publisher
            // when it is offered a later one, and counted there.
            cursor_ = from;
            line_log_rewind(st_->log, consumer_, from);
        }
        holding_ = false;
        publish_held(false);
        settle();
        schedule_retry();
        reader_wake();
    }

    // Nothing of the relay's protocol reaches this mode but wake-ups, and
    // every pass already looks for work.
    int callback(lws*, lws_callback_reasons, void*, void*, size_t) override { return 0; }

    void stop() override {
        if (stopped_) return;
        lws_sul_schedule(st_->context, 0, &timer_.sul, retry_due, LWS_SET_TIMER_USEC_CANCEL);
        lws_sul_schedule(st_->context, 0, &hold_timer_.sul, retry_due, LWS_SET_TIMER_USEC_CANCEL);
        // Lines held for a batch go out now, within the stop's grace.
        pub_->take();
        publish_held(true);
        pub_->stop(kStopGraceMs);
        stopped_ = true;
        // Published and never settled as stored.
        const uint64_t first = pub_->settled_before();
        const uint64_t lost = first != 0 && cursor_ > first ? cursor_ - first : 0;
        stop_lost_ = lost;
        settle();
        if (lost > 0) {
            char msg[160];
            std::snprintf(msg, sizeof msg,
                          "nats_disconnected reason=relay stopping; %llu lines published but "
                          "not acknowledged",
                          static_cast<unsigned long long>(lost));
            log_line("error", msg);
        }
    }

    void fill_stats(relay_stats* out) const override {
        const publisher_stats s = pub_->stats();
        out->connected = s.connected;
        out->acknowledged = s.acknowledged;
        out->pending = s.pending;
        out->reconnects = s.reconnects;
    }

private:
    // Offers the lines from the cursor on while the publisher has room. A
    // line released before it was offered is skipped (the log counted it as
    // dropped); the publisher gives up the unsettled ones it skips. The log
    // consumer moves with the cursor: a pinned line is taken, so that one
    // released while it is published or its result is on its way is not
    // also counted as dropped. Published lines are not held by position but by the log's
    // bounds, which is why those bounds must cover a leader election.
    // Unless `now` is set, lines wait for a batch (kBatchLines, kHoldUs).
    void publish_held(bool now) {
        line_log& log = st_->log;
        // Asked every pass: it also tells the publisher whether results
        // are awaited, which decides how soon they wake this thread.
        size_t room = pub_->room(stats::monotonic_ms());
        if (!now && !batch_due()) return;
        line_ref pinned[kPinLines];
        while (room > 0) {
            pin_result got =
                line_log_pin(log, cursor_, {pinned, std::min(room, kPinLines)}, SIZE_MAX);
            if (got.overtaken) {
                cursor_ = line_log_range(log).first;
                continue;
            }
            if (got.count == 0) break;
            // Pinned lines are taken: the pins keep them for this pass even
            // if the reader releases them meanwhile.
            line_log_advance(log, consumer_, cursor_ + got.count);
            size_t done = 0;
            while (done < got.count &&
                   pub_->publish(pinned[done].seq, {pinned[done].data, pinned[done].len}) == 0)
                ++done;
            line_log_unpin({pinned, got.count});
            cursor_ += done;
            if (done < got.count) {
                // Refused: offered again next pass, unless released by then.
                skipped_ += line_log_rewind(log, consumer_, cursor_);
                break;
            }
            room -= done;
        }
        // Everything ready went out: the next line starts a new hold. Lines
        // left for want of room keep their age and go at the next chance.
        seen_next_ = line_log_range(log).next;
        if (cursor_ >= seen_next_) end_hold();
    }

    // While lines are held for a batch, the reader's wakes for more lines
    // only make passes that find the batch still short; it wakes this thread
    // again once the batch is full, and the hold timer covers the rest. Any
    // other time it wakes it at every receive, as for the other modes.
    void reader_wake() {
        std::atomic<uint64_t>& at = st_->reader_wake_at;
        if (holding_) {
            at.store(hold_first_ + kBatchLines - 1, std::memory_order_relaxed);
            return;
        }
        if (at.load(std::memory_order_relaxed) == 0) return;
        // Lowered before the log's lock is taken to look at it, and the
        // reader appends under that lock before it reads this: a line it
        // appended while the wake was raised, and did not announce, is seen
        // here and gets a pass of its own.
        at.store(0, std::memory_order_seq_cst);
        if (line_log_range(st_->log).next > seen_next_) lws_cancel_service(st_->context);
    }

    void end_hold() {
        held_since_us_ = -1;
        if (hold_due_us_ < 0) return;
        hold_due_us_ = -1;
        lws_sul_schedule(st_->context, 0, &hold_timer_.sul, retry_due, LWS_SET_TIMER_USEC_CANCEL);
    }

    // Whether the lines from the cursor on make a batch now; if not, the
    // hold timer is set for when the oldest of them has waited long enough.
    // A line counts from the first pass that finds it, which is the reader's
    // wake for it.
    bool batch_due() {
        const log_range r = line_log_range(st_->log);
        seen_next_ = r.next;
        if (r.next <= cursor_) {
            end_hold();
            return false;
        }
        const int64_t t = monotonic_us();
        if (held_since_us_ < 0) held_since_us_ = t;
        const int64_t due = held_since_us_ + kHoldUs;
        const uint64_t first = std::max(cursor_, r.first);
        if (r.next - first >= kBatchLines || t >= due - kHoldSlackUs) return true;
        holding_ = true;
        hold_first_ = first;
        if (hold_due_us_ != due) {
            hold_due_us_ = due;
            lws_sul_schedule(st_->context, 0, &hold_timer_.sul, retry_due,
                             static_cast<lws_usec_t>(due - t));
        }
        return false;
    }

    // The counters follow the publisher's: lines it gave up (failed, and
    // released by the log before they could be resent) are lost as
    // unacknowledged, like a client connection's unacknowledged lines.
    void settle() {
        const publisher_stats s = pub_->stats();
        st_->counters.unacknowledged = s.given_up + stop_lost_ + skipped_;
        st_->sent = s.acknowledged;
        st_->counters.delivered[static_cast<size_t>(consumer_kind::upstream)] = s.acknowledged;
        st_->counters.resent = s.resent;
    }

    // One timer for the current hold, moved only when the hold changes.
    void schedule_retry() {
        const int64_t at = pub_->retry_at_ms();
        if (at == retry_at_) return;
        retry_at_ = at;
        if (at < 0) {
            lws_sul_schedule(st_->context, 0, &timer_.sul, retry_due, LWS_SET_TIMER_USEC_CANCEL);
            return;
        }
        const int64_t wait_ms = std::max<int64_t>(1, at - stats::monotonic_ms());
        lws_sul_schedule(st_->context, 0, &timer_.sul, retry_due,
                         static_cast<lws_usec_t>(wait_ms) * LWS_US_PER_MS);
    }

    relay_state* const st_;
    log_consumer consumer_;  // its position: the cursor, back to the first unsettled line at a rewind
    uint64_t cursor_ = 1;    // the next line to offer the publisher
    std::unique_ptr<publisher> pub_;
    retry_timer timer_{};
    retry_timer hold_timer_{};
    int64_t retry_at_ = -1;
    int64_t held_since_us_ = -1;  // when the oldest line not yet published was first seen
    int64_t hold_due_us_ = -1;    // when the hold timer last set fires
    bool holding_ = false;        // this pass left lines held, the hold timer running
    uint64_t hold_first_ = 0;     // the first line held
    uint64_t seen_next_ = 1;      // the log's next line as this pass last saw it
    uint64_t stop_lost_ = 0;  // published, not acknowledged within the stop's grace
    uint64_t skipped_ = 0;    // taken, refused by the publisher, released before offered again
    bool stopped_ = false;
};

}  // namespace

std::unique_ptr<relay_mode> make_mode(relay_state* st) {
    std::unique_ptr<nats_mode> m(new (std::nothrow) nats_mode(st));
    if (m == nullptr) return nullptr;
    std::string err;
    if (m->init(&err) != 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return nullptr;
    }
    return m;
}

}  // namespace zel::nats
