// Bounded drop-oldest FIFO. The lock covers list surgery and counter reads
// only: the new entry is allocated and copied before locking so a slow
// allocator never stalls the other thread, while discarded entries are freed
// under the lock because they must leave the list atomically with the append.
#include "zel_relay_queue.hpp"

#include <cstdlib>
#include <cstring>

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
    auto* bytes = static_cast<unsigned char*>(malloc(len));
    if (item == nullptr || bytes == nullptr) {
        free(bytes);
        free(item);
        return -1;
    }
    memcpy(bytes, data, len);
    item->data = bytes;
    item->len = len;

    pthread_mutex_lock(&q->lock);
    // bytes <= max_bytes and len <= max_bytes, so max_bytes - len cannot wrap
    // and the test cannot overflow the way bytes + len could.
    while (q->head != nullptr && (q->count >= q->max_count || q->bytes > q->max_bytes - len))
        discard_head(q);
    if (q->tail != nullptr)
        q->tail->next = item;
    else
        q->head = item;
    q->tail = item;
    q->count++;
    q->bytes += len;
    pthread_mutex_unlock(&q->lock);
    return 0;
}

zel_relay_item* zel_relay_queue_take(zel_relay_queue* q) {
    if (q == nullptr) return nullptr;
    pthread_mutex_lock(&q->lock);
    zel_relay_item* item = q->head != nullptr ? unlink_head(q) : nullptr;
    pthread_mutex_unlock(&q->lock);
    return item;
}

void zel_relay_item_free(zel_relay_item* item) {
    if (item == nullptr) return;
    free(item->data);
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
