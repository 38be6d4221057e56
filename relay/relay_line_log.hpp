// The relay's one sequenced line log: every line read from the event socket,
// held once, numbered, and read by each consumer (a subscriber, the upstream
// connection) at its own position. No consumer waits for another, and no
// line is copied per consumer.
//
// Invariants, under the log's lock between calls:
// - Sequence numbers start at 1 for each run and go up by one per appended
//   line; the log holds exactly the lines first..next-1, in order, and
//   next - first <= max_events, held bytes <= max_bytes.
// - An append that would break either bound first releases the oldest lines
//   until it fits; a line longer than max_bytes is refused, nothing released.
// - Every released line is counted at most once: `dropped` when an attached
//   lossy consumer (one that carries on past lines it missed, such as the
//   upstream) had not taken it; otherwise `released_unread` when no consumer
//   had taken it; otherwise it was delivered and is not counted. A
//   consumer that must never see a gap (a subscriber) is not lossy: it is
//   cut off when it is overtaken, and counted there.
// - A line's bytes live until the log has released it and every pin on it
//   is gone, so a writer may use a pinned line without the lock.
// - Consumer positions only move forward, except by line_log_rewind, which
//   never moves one before the oldest held line.
//
// Threads: line_log_append is for one producer thread (the reader); every
// other call is for the consumers' thread (the service thread), except init
// and destroy, which need exclusive use. A consumer's position is atomic
// because the producer reads it, under the lock, to count a release.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace zel {

// Writable bytes in front of every line: the WebSocket library's own 16
// (LWS_PRE) in front of whatever it is handed, then the longest frame header
// (14 bytes), rounded up to 16, so that a writer can frame a line in place.
inline constexpr size_t kLineHeadroom = 32;

// 16 random bytes drawn at start, as 32 lower-case hex characters.
inline constexpr size_t kBootIdLength = 32;
struct boot_id {
    char text[kBootIdLength + 1];
};

// Draws a fresh boot id from the kernel's random source. 0, or -1 when no
// random bytes could be had (errno set).
int boot_id_draw(boot_id& out);

// Whether text is a boot id in its written form (32 lower-case hex).
bool boot_id_valid(const char* text, size_t len);

// One line's allocation: the pin count, the headroom, then the bytes.
struct alignas(16) log_block {
    std::atomic<uint32_t> refs;  // the log's hold plus every pin
};

// A pinned line. data has kLineHeadroom writable bytes before it, which only
// the consumers' thread writes (a frame header; every writer puts the same
// unmasked header there, so subscribers sharing the line never disagree).
struct line_ref {
    unsigned char* data;
    size_t len;
    uint64_t seq;
    log_block* block;
};

// How a consumer reads, and what its deliveries are counted as.
enum class consumer_kind : uint8_t { subscriber, sequenced, upstream, count };

struct log_consumer {
    std::atomic<uint64_t> next{0};  // the next line it takes; written by its own thread
    consumer_kind kind = consumer_kind::subscriber;
    bool lossy = false;            // goes on past released lines; they count as dropped
    bool attached = false;         // in the log's list; consumers' thread only
    log_consumer* link = nullptr;  // guarded by the log's lock
};

struct line_log_counters {
    uint64_t appended;         // lines taken in since init
    uint64_t released_unread;  // released before any consumer took them
    uint64_t dropped;          // released before an attached lossy consumer took them
};

struct line_log {
    mutable std::mutex lock;  // guards everything below but `taken_high`
    struct slot {
        log_block* block;
        size_t len;
        uint64_t end_offset;  // bytes appended up to and including this line
    };
    std::unique_ptr<slot[]> slots;  // ring, indexed by (seq - 1) % capacity
    size_t capacity = 0;            // max_events
    size_t max_bytes = 0;
    uint64_t first = 1;  // oldest held line
    uint64_t next = 1;   // the next line appended gets this number
    size_t bytes = 0;    // held
    uint64_t appended_bytes = 0;
    line_log_counters counters{};
    log_consumer* consumers = nullptr;
    std::atomic<uint64_t> taken_high{1};  // one past the newest line any consumer has taken
    boot_id boot{};
};

// 0 after allocating the ring for max_events; -1 for a zero bound or when
// the ring cannot be had. boot is the run's id, kept for the consumers.
int line_log_init(line_log& log, size_t max_events, size_t max_bytes, const boot_id& boot);

// Releases every held line; no pin may be outstanding and no consumer attached.
void line_log_destroy(line_log& log);

// Copies line in as the next number, after releasing the oldest lines the
// bounds require. 0, or -1 with nothing changed for an empty line, one longer
// than max_bytes, or when memory runs out. When after is not null it gets
// the counters as the append left them, read under the same lock. Producer
// thread.
int line_log_append(line_log& log, std::span<const unsigned char> line,
                    line_log_counters* after = nullptr);

// The held range: first..next-1 (empty when first == next).
struct log_range {
    uint64_t first;
    uint64_t next;
};
log_range line_log_range(const line_log& log);

// Attaches c at position `from`, clamped to the held range (a position past
// next means the next new line). Returns the position taken.
uint64_t line_log_attach(line_log& log, log_consumer& c, uint64_t from);
void line_log_detach(line_log& log, log_consumer& c);

struct pin_result {
    size_t count;    // lines pinned into out
    bool overtaken;  // `from` is older than the oldest held line; nothing pinned
};

// Pins the lines from `from` on, at most out.size() of them and, after the
// first, no more than max_bytes in all. Release them with line_log_unpin.
pin_result line_log_pin(const line_log& log, uint64_t from, std::span<line_ref> out,
                        size_t max_bytes);
void line_log_unpin(std::span<line_ref> refs);

// The consumer has taken every line before `next`.
void line_log_advance(line_log& log, log_consumer& c, uint64_t next);

// Moves c back to `to` (its first unacknowledged line), or to the oldest
// held line when `to` is no longer held. Returns how many lines from `to` on
// are no longer held; the caller decides how they count.
uint64_t line_log_rewind(line_log& log, log_consumer& c, uint64_t to);

// How far c is behind the newest line, in lines and bytes (a consumer
// overtaken by release counts everything held and released after its position).
struct consumer_lag {
    uint64_t lines;
    uint64_t bytes;
};
consumer_lag line_log_lag(const line_log& log, const log_consumer& c);

// Lines some attached consumer has yet to take: next minus the lowest held
// position among them; 0 with none attached. Lines held only for a consumer
// that may come back are not counted.
uint64_t line_log_queued(const line_log& log);

line_log_counters line_log_read_counters(const line_log& log);

}  // namespace zel
