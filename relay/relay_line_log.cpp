// The line log. The lock covers the ring and the counters only: a new line is
// allocated and copied before locking, so a slow allocator never stalls the
// consumers, and a line released under the lock is freed there only when no
// writer holds a pin on it.
#include "relay_line_log.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zel {

namespace {

unsigned char* block_bytes(log_block* b) {
    return reinterpret_cast<unsigned char*>(b) + sizeof(log_block) + kLineHeadroom;
}

void unref(log_block* b) {
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        b->~log_block();
        std::free(b);
    }
}

line_log::slot& slot_of(line_log& log, uint64_t seq) {
    return log.slots[(seq - 1) % log.capacity];
}

const line_log::slot& slot_of(const line_log& log, uint64_t seq) {
    return log.slots[(seq - 1) % log.capacity];
}

// Caller holds the lock and the log is not empty. A line that an attached
// lossy consumer still wanted is lost to it; one that nobody ever took was
// read for nobody; any other was delivered and goes quietly.
void release_oldest(line_log& log) {
    const uint64_t seq = log.first;
    line_log::slot& s = slot_of(log, seq);
    bool lost = false;
    for (const log_consumer* c = log.consumers; c != nullptr; c = c->link)
        if (c->lossy && c->next.load(std::memory_order_acquire) <= seq) lost = true;
    if (lost)
        log.counters.dropped++;
    else if (seq >= log.taken_high.load(std::memory_order_acquire))
        log.counters.released_unread++;
    log.bytes -= s.len;
    unref(s.block);
    s = line_log::slot{};
    log.first++;
}

}  // namespace

int boot_id_draw(boot_id& out) {
    unsigned char raw[kBootIdLength / 2];
    size_t got = 0;
    while (got < sizeof raw) {
        const ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof raw; i++) {
        out.text[2 * i] = kHex[raw[i] >> 4];
        out.text[2 * i + 1] = kHex[raw[i] & 15];
    }
    out.text[kBootIdLength] = '\0';
    return 0;
}

bool boot_id_valid(const char* text, size_t len) {
    if (len != kBootIdLength) return false;
    return std::all_of(text, text + len,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

int line_log_init(line_log& log, size_t max_events, size_t max_bytes, const boot_id& boot) {
    if (max_events == 0 || max_bytes == 0) return -1;
    // Sized once: the ring never grows, so an append never allocates it.
    log.slots.reset(new (std::nothrow) line_log::slot[max_events]());
    if (log.slots == nullptr) return -1;
    log.capacity = max_events;
    log.max_bytes = max_bytes;
    log.first = log.next = 1;
    log.bytes = 0;
    log.appended_bytes = 0;
    log.counters = line_log_counters{};
    log.consumers = nullptr;
    log.taken_high.store(1);
    log.boot = boot;
    return 0;
}

void line_log_destroy(line_log& log) {
    std::lock_guard guard(log.lock);
    while (log.first != log.next) {
        line_log::slot& s = slot_of(log, log.first);
        unref(s.block);
        s = line_log::slot{};
        log.first++;
    }
    log.bytes = 0;
    log.consumers = nullptr;
}

int line_log_append(line_log& log, std::span<const unsigned char> line, line_log_counters* after) {
    // max_bytes and the ring are written only by init, so reading them
    // unlocked is safe and refuses an oversized line before allocating.
    if (line.empty() || line.size() > log.max_bytes || log.capacity == 0) return -1;
    void* raw = std::malloc(sizeof(log_block) + kLineHeadroom + line.size());
    if (raw == nullptr) return -1;
    auto* block = new (raw) log_block{};
    block->refs.store(1, std::memory_order_relaxed);
    std::memcpy(block_bytes(block), line.data(), line.size());

    std::lock_guard guard(log.lock);
    // bytes <= max_bytes and the length <= max_bytes, so the subtraction
    // cannot wrap the way bytes + length could overflow.
    while (log.first != log.next &&
           (log.next - log.first >= log.capacity || log.bytes > log.max_bytes - line.size()))
        release_oldest(log);
    log.appended_bytes += line.size();
    slot_of(log, log.next) = {block, line.size(), log.appended_bytes};
    log.bytes += line.size();
    log.next++;
    log.counters.appended++;
    if (after != nullptr) *after = log.counters;
    return 0;
}

log_range line_log_range(const line_log& log) {
    std::lock_guard guard(log.lock);
    return {log.first, log.next};
}

uint64_t line_log_attach(line_log& log, log_consumer& c, uint64_t from) {
    std::lock_guard guard(log.lock);
    const uint64_t at = std::clamp(from, log.first, log.next);
    c.next.store(at, std::memory_order_release);
    c.link = log.consumers;
    log.consumers = &c;
    c.attached = true;
    return at;
}

void line_log_detach(line_log& log, log_consumer& c) {
    if (!c.attached) return;
    std::lock_guard guard(log.lock);
    for (log_consumer** p = &log.consumers; *p != nullptr; p = &(*p)->link)
        if (*p == &c) {
            *p = c.link;
            break;
        }
    c.link = nullptr;
    c.attached = false;
}

pin_result line_log_pin(const line_log& log, uint64_t from, std::span<line_ref> out,
                        size_t max_bytes) {
    std::lock_guard guard(log.lock);
    if (from < log.first) return {0, true};
    size_t n = 0, bytes = 0;
    for (uint64_t seq = from; seq < log.next && n < out.size(); seq++) {
        const line_log::slot& s = slot_of(log, seq);
        if (n > 0 && bytes + s.len > max_bytes) break;
        // The log's own hold keeps the block alive while the lock is held, so
        // a relaxed increment suffices; unref's release orders the last use.
        s.block->refs.fetch_add(1, std::memory_order_relaxed);
        out[n++] = {block_bytes(s.block), s.len, seq, s.block};
        bytes += s.len;
    }
    return {n, false};
}

void line_log_unpin(std::span<line_ref> refs) {
    for (line_ref& r : refs) {
        if (r.block != nullptr) unref(r.block);
        r = line_ref{};
    }
}

void line_log_advance(line_log& log, log_consumer& c, uint64_t next) {
    c.next.store(next, std::memory_order_release);
    uint64_t high = log.taken_high.load(std::memory_order_relaxed);
    while (high < next &&
           !log.taken_high.compare_exchange_weak(high, next, std::memory_order_release)) {
    }
}

uint64_t line_log_rewind(line_log& log, log_consumer& c, uint64_t to) {
    std::lock_guard guard(log.lock);
    const uint64_t at = std::clamp(to, log.first, log.next);
    c.next.store(at, std::memory_order_release);
    return to < log.first ? log.first - to : 0;
}

consumer_lag line_log_lag(const line_log& log, const log_consumer& c) {
    std::lock_guard guard(log.lock);
    const uint64_t pos = c.next.load(std::memory_order_relaxed);
    if (pos >= log.next) return {0, 0};
    uint64_t taken_bytes = 0;  // bytes appended before pos, as far as the log knows
    if (pos >= log.first) {
        const line_log::slot& s = slot_of(log, pos);
        taken_bytes = s.end_offset - s.len;
    } else if (log.first != log.next) {
        // Overtaken: at least everything from the oldest held line on.
        const line_log::slot& s = slot_of(log, log.first);
        taken_bytes = s.end_offset - s.len;
    }
    return {log.next - pos, log.appended_bytes - taken_bytes};
}

uint64_t line_log_queued(const line_log& log) {
    std::lock_guard guard(log.lock);
    uint64_t low = log.next;
    for (const log_consumer* c = log.consumers; c != nullptr; c = c->link)
        low = std::min(low, c->next.load(std::memory_order_relaxed));
    return log.next - std::max(low, log.first);
}

line_log_counters line_log_read_counters(const line_log& log) {
    std::lock_guard guard(log.lock);
    return log.counters;
}

}  // namespace zel
