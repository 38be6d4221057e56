// Bounded drop-oldest FIFO of shared lines. The lock covers list surgery and
// counter reads only: the new entry is allocated and copied before locking so
// a slow allocator never stalls the other thread, while discarded entries are
// freed under the lock because they must leave the list atomically with the
// append.
#include "zel_relay_queue.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace zel {

namespace {

// Caller holds q->lock and the queue is not empty.
zel_relay_item* unlink_head(zel_relay_queue* q) {
    zel_relay_item* item = q->head;
    q->head = item->next;
    if (q->head == nullptr) q->tail = nullptr;
    item->next = nullptr;
    q->count--;
    q->bytes -= item->len;
    return item;
}

// Caller holds q->lock.
void discard_head(zel_relay_queue* q) {
    zel_relay_item_free(unlink_head(q));
    q->dropped++;
}

// Links a ready entry in at the tail, discarding from the head until both
// limits admit it. The caller has checked len <= max_bytes.
void append(zel_relay_queue* q, zel_relay_item* item) {
    pthread_mutex_lock(&q->lock);
    // bytes <= max_bytes and len <= max_bytes, so max_bytes - len cannot wrap
    // and the test cannot overflow the way bytes + len could.
    while (q->head != nullptr && (q->count >= q->max_count || q->bytes > q->max_bytes - item->len))
        discard_head(q);
    if (q->tail != nullptr)
        q->tail->next = item;
    else
        q->head = item;
    q->tail = item;
    q->count++;
    q->bytes += item->len;
    pthread_mutex_unlock(&q->lock);
}

unsigned char* line_bytes(zel_relay_line* line) {
    return reinterpret_cast<unsigned char*>(line) + sizeof(zel_relay_line) + kLineHeadroom;
}

}  // namespace

int zel_relay_queue_init(zel_relay_queue* q, size_t max_count, size_t max_bytes) {
    if (q == nullptr || max_count == 0 || max_bytes == 0) return -1;
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    q->bytes = 0;
    q->max_count = max_count;
    q->max_bytes = max_bytes;
    q->dropped = 0;
    return pthread_mutex_init(&q->lock, nullptr);
}

int zel_relay_queue_push(zel_relay_queue* q, const void* data, size_t len) {
    // max_bytes is written only by init, so reading it unlocked is safe and
    // lets an oversized entry fail before anything is allocated.
    if (q == nullptr || data == nullptr || len == 0 || len > q->max_bytes) return -1;

    auto* item = static_cast<zel_relay_item*>(calloc(1, sizeof(zel_relay_item)));
    // The line is allocated with its headroom so that no writer has to copy
    // it again to put a frame header in front.
    void* raw = malloc(sizeof(zel_relay_line) + kLineHeadroom + len);
    if (item == nullptr || raw == nullptr) {
        free(raw);
        free(item);
        return -1;
    }
    auto* line = new (raw) zel_relay_line{};
    line->refs.store(1, std::memory_order_relaxed);
    item->line = line;
    item->data = line_bytes(line);
    item->len = len;
    memcpy(item->data, data, len);
    append(q, item);
    return 0;
}

int zel_relay_queue_push_shared(zel_relay_queue* q, const zel_relay_item* shared) {
    if (q == nullptr || shared == nullptr || shared->line == nullptr || shared->len == 0 ||
        shared->len > q->max_bytes)
        return -1;
    auto* item = static_cast<zel_relay_item*>(calloc(1, sizeof(zel_relay_item)));
    if (item == nullptr) return -1;
    // The holder passing the line in keeps it alive, so a relaxed increment
    // suffices; the release in zel_relay_item_free orders the last use.
    shared->line->refs.fetch_add(1, std::memory_order_relaxed);
    item->line = shared->line;
    item->data = shared->data;
    item->len = shared->len;
    append(q, item);
    return 0;
}

zel_relay_item* zel_relay_queue_take(zel_relay_queue* q) {
    if (q == nullptr) return nullptr;
    pthread_mutex_lock(&q->lock);
    zel_relay_item* item = q->head != nullptr ? unlink_head(q) : nullptr;
    pthread_mutex_unlock(&q->lock);
    return item;
}

zel_relay_item* zel_relay_queue_take_upto(zel_relay_queue* q, size_t max_len) {
    if (q == nullptr) return nullptr;
    pthread_mutex_lock(&q->lock);
    zel_relay_item* item = q->head != nullptr && q->head->len <= max_len ? unlink_head(q) : nullptr;
    pthread_mutex_unlock(&q->lock);
    return item;
}

void zel_relay_item_free(zel_relay_item* item) {
    if (item == nullptr) return;
    zel_relay_line* line = item->line;
    if (line != nullptr && line->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        line->~zel_relay_line();
        free(line);
    }
    free(item);
}

size_t zel_relay_queue_count(zel_relay_queue* q) {
    if (q == nullptr) return 0;
    pthread_mutex_lock(&q->lock);
    size_t n = q->count;
    pthread_mutex_unlock(&q->lock);
    return n;
}

uint64_t zel_relay_queue_dropped(zel_relay_queue* q) {
    if (q == nullptr) return 0;
    pthread_mutex_lock(&q->lock);
    uint64_t n = q->dropped;
    pthread_mutex_unlock(&q->lock);
    return n;
}

size_t zel_relay_queue_head_len(zel_relay_queue* q) {
    if (q == nullptr) return 0;
    pthread_mutex_lock(&q->lock);
    size_t n = q->head != nullptr ? q->head->len : 0;
    pthread_mutex_unlock(&q->lock);
    return n;
}

bool zel_relay_queue_fits(zel_relay_queue* q, size_t len) {
    if (q == nullptr || len == 0 || len > q->max_bytes) return false;
    pthread_mutex_lock(&q->lock);
    // The same test as push, so a line that fits here is never a discard there.
    bool fits = q->count < q->max_count && q->bytes <= q->max_bytes - len;
    pthread_mutex_unlock(&q->lock);
    return fits;
}

void zel_relay_queue_destroy(zel_relay_queue* q) {
    if (q == nullptr) return;
    pthread_mutex_lock(&q->lock);
    while (q->head != nullptr) discard_head(q);
    pthread_mutex_unlock(&q->lock);
    pthread_mutex_destroy(&q->lock);
}

}  // namespace zel
