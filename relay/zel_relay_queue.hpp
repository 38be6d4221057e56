// Bounded, mutex-protected, drop-oldest FIFO of shared byte strings.
//
// Used for the relay's main queue (reader thread pushes, service thread takes)
// and for every subscriber queue (service thread only). A push never blocks and
// never fails for lack of room: it discards the oldest entries until both the
// entry limit and the byte limit admit the new one, counting each discard in
// `dropped`. A push fails (-1, queue unchanged) only for bad arguments, an entry
// longer than the byte limit, or memory exhaustion. Every function may be called
// from any thread between init and destroy; destroy needs exclusive use.
//
// A line's bytes are allocated once, by the push that copies them in, with
// kLineHeadroom writable bytes in front (room for a WebSocket frame header, so
// a writer can frame a line in place), and are shared by every queue entry
// that holds the line: zel_relay_queue_push_shared adds an entry for a line
// that is already held, which costs one small entry and no copy of its bytes.
// The bytes go when the last entry or taken item holding them is freed. (A
// subscriber queue used to hold a copy of every line; with 16 subscribers a
// line was copied 17 times before it was written.) Entries, discards, counts
// and limits are per queue exactly as before: a line shared by two queues
// counts against both.
//
// The C-style names are the module's contract; like all relay code they live
// in namespace zel.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zel {

// Writable bytes in front of every line: the WebSocket library's own 16
// (LWS_PRE) in front of whatever it is handed, then the longest frame header
// (14 bytes), rounded up to 16.
inline constexpr size_t kLineHeadroom = 32;

// One line's bytes, shared by every entry that holds the line. The count is
// atomic because the reader thread creates a line and discards it when the
// main queue overflows, while the service thread takes and shares it. Aligned
// so that the bytes after it start on a 16-byte boundary as malloc's do.
struct alignas(16) zel_relay_line {
    std::atomic<uint32_t> refs;
    // kLineHeadroom bytes, then the line, follow in the same allocation.
};

struct zel_relay_item {
    unsigned char* data;   // the line's bytes (kLineHeadroom writable bytes before them)
    size_t len;            // always >= 1
    zel_relay_item* next;  // next newer entry; null for the tail and for taken items
    zel_relay_line* line;  // the shared allocation that data points into
};

struct zel_relay_queue {
    pthread_mutex_t lock;  // guards every field below
    zel_relay_item* head;  // oldest entry, null when empty
    zel_relay_item* tail;  // newest entry, null when empty
    size_t count;
    size_t bytes;      // sum of len over all entries
    size_t max_count;  // >= 1
    size_t max_bytes;  // >= 1
    uint64_t dropped;  // entries discarded since init; never reset
};

// 0 on success; -1 for a null queue or a zero limit; otherwise the error number
// of pthread_mutex_init.
int zel_relay_queue_init(zel_relay_queue* q, size_t max_count, size_t max_bytes);

// Appends a copy of data[0..len). 0 when appended (possibly after discarding
// older entries); -1 with the queue unchanged when q or data is null, len is 0,
// len exceeds max_bytes, or allocation fails. Allocation happens outside the lock.
int zel_relay_queue_push(zel_relay_queue* q, const void* data, size_t len);

// Appends an entry for the line that item holds, sharing its bytes. The same
// results as zel_relay_queue_push; item stays the caller's.
int zel_relay_queue_push_shared(zel_relay_queue* q, const zel_relay_item* item);

// The oldest item, unlinked and owned by the caller (release it with
// zel_relay_item_free), or null when the queue is empty or q is null.
zel_relay_item* zel_relay_queue_take(zel_relay_queue* q);

// The oldest item, as take gives it, but only when it is at most max_len
// bytes long; otherwise null, with the queue unchanged. Checked and taken
// under one lock, so another thread's discard cannot slip a longer line in
// between.
zel_relay_item* zel_relay_queue_take_upto(zel_relay_queue* q, size_t max_len);

// Frees an item and, when no other entry holds it, its line; accepts null.
void zel_relay_item_free(zel_relay_item* item);

// Current entry count and drop count, read under the lock (may be stale at once).
size_t zel_relay_queue_count(zel_relay_queue* q);
uint64_t zel_relay_queue_dropped(zel_relay_queue* q);

// Length of the oldest entry without taking it; 0 when the queue is empty or q
// is null. Another thread's push may discard that entry right after.
size_t zel_relay_queue_head_len(zel_relay_queue* q);

// True when an entry of len bytes would be appended without discarding any
// older one; false for a null queue or a len that no push accepts.
bool zel_relay_queue_fits(zel_relay_queue* q, size_t len);

// Discards every entry (each counts as dropped) and destroys the mutex; accepts null.
void zel_relay_queue_destroy(zel_relay_queue* q);

}  // namespace zel
