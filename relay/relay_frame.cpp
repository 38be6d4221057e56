// Frames in bulk. The library's own text write makes one TLS record and one
// system call per line, and as a client it reads /dev/urandom for every mask
// and masks byte by byte; on loopback the system call alone costs more than
// encrypting 16 KB. Building the frames here lets one write carry up to 32
// lines of 500 bytes.
#include "relay_frame.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace zel::frame {

namespace {

constexpr unsigned char kFinText = 0x81;
constexpr unsigned char kMaskBit = 0x80;

// A line too long for a batch is framed in front of its own bytes, in the
// headroom every line is allocated with, behind the room the library may use.
static_assert(kLineHeadroom >= LWS_PRE + kMaxHeader);

// Masks or copies one line into the buffer at out; returns the bytes used.
size_t put_frame(writer* w, unsigned char* out, const zel_relay_item* item, int* rc) {
    unsigned char key[4];
    if (w->masked && mask_pool_next(&w->masks, key) != 0) {
        *rc = -1;
        return 0;
    }
    const size_t h = write_header(out, item->len, w->masked ? key : nullptr);
    if (w->masked)
        copy_masked(out + h, item->data, item->len, key);
    else
        std::memcpy(out + h, item->data, item->len);
    return h + item->len;
}

// Writes n bytes at p as they are; the library encrypts them as one record
// (or as many as a longer line needs) and holds what the socket does not take.
int write_raw(lws* wsi, unsigned char* p, size_t n) {
    const int r = lws_write(wsi, p, n, LWS_WRITE_RAW);
    return r < 0 || static_cast<size_t>(r) != n ? -1 : 0;
}

// A line longer than a batch, framed in place: its frame header goes into
// the line's headroom, and a client masks its bytes where they are (a
// client's lines are held by its queue alone; a subscriber's are shared, and
// every subscriber writes the same unmasked header).
int write_alone(writer* w, lws* wsi, zel_relay_item* item) {
    unsigned char key[4];
    if (w->masked && mask_pool_next(&w->masks, key) != 0) return -1;
    const size_t h = header_size(item->len, w->masked);
    unsigned char* start = item->data - h;
    write_header(start, item->len, w->masked ? key : nullptr);
    if (w->masked) copy_masked(item->data, item->data, item->len, key);
    return write_raw(wsi, start, h + item->len);
}

}  // namespace

size_t header_size(uint64_t len, bool masked) {
    const size_t key = masked ? 4 : 0;
    if (len <= 125) return 2 + key;
    if (len <= 0xffff) return 4 + key;
    return 10 + key;
}

size_t write_header(unsigned char* out, uint64_t len, const unsigned char* key) {
    const unsigned char mask = key != nullptr ? kMaskBit : 0;
    out[0] = kFinText;
    size_t h = 2;
    if (len <= 125) {
        out[1] = static_cast<unsigned char>(mask | len);
    } else if (len <= 0xffff) {
        out[1] = mask | 126;
        out[2] = static_cast<unsigned char>(len >> 8);
        out[3] = static_cast<unsigned char>(len);
        h = 4;
    } else {
        out[1] = mask | 127;
        for (int i = 0; i < 8; i++) out[2 + i] = static_cast<unsigned char>(len >> (56 - 8 * i));
        h = 10;
    }
    if (key != nullptr) {
        std::memcpy(out + h, key, 4);
        h += 4;
    }
    return h;
}

size_t max_payload(size_t room, bool masked) {
    const size_t key = masked ? 4 : 0;
    size_t best = 0;
    // Each length form holds only its own range, so the longest payload is
    // the best of the three forms that the room allows.
    if (room >= 2 + key) best = std::min<size_t>(room - 2 - key, 125);
    if (room >= 4 + key + 126) best = std::max(best, std::min<size_t>(room - 4 - key, 0xffff));
    if (room >= 10 + key + 0x10000) best = room - 10 - key;
    return best;
}

void copy_masked(unsigned char* dst, const unsigned char* src, size_t n,
                 const unsigned char key[4]) {
    uint32_t k32;
    std::memcpy(&k32, key, 4);
    const uint64_t k64 = static_cast<uint64_t>(k32) << 32 | k32;
    size_t i = 0;
    // Whole words keep the key's phase, since 8 is a multiple of 4; memcpy
    // makes the unaligned loads and stores legal and compiles to plain moves.
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        std::memcpy(&v, src + i, 8);
        v ^= k64;
        std::memcpy(dst + i, &v, 8);
    }
    for (; i < n; i++) dst[i] = src[i] ^ key[i & 3];
}

void mask_pool_init(mask_pool* pool) {
    pool->next = sizeof pool->keys;
}

int mask_pool_next(mask_pool* pool, unsigned char key[4]) {
    if (pool->next >= sizeof pool->keys) {
        if (RAND_bytes(pool->keys, sizeof pool->keys) != 1) return -1;
        pool->next = 0;
    }
    std::memcpy(key, pool->keys + pool->next, 4);
    pool->next += 4;
    return 0;
}

void writer_init(writer* w, bool masked) {
    w->masked = masked;
    mask_pool_init(&w->masks);
}

int write_batch(writer* w, lws* wsi, zel_relay_queue* q, batch_result* out) {
    *out = batch_result{};
    unsigned char* const base = w->buf + LWS_PRE;
    size_t used = 0;
    int rc = 0;
    for (;;) {
        // The first line is taken whatever its length, so that a line longer
        // than a batch goes out alone instead of blocking the queue.
        const size_t limit = used == 0 ? SIZE_MAX : max_payload(kBatchBytes - used, w->masked);
        if (limit == 0) break;
        zel_relay_item* item = zel_relay_queue_take_upto(q, limit);
        if (item == nullptr) break;
        out->lines++;
        if (used == 0 && header_size(item->len, w->masked) + item->len > kBatchBytes) {
            out->bytes = header_size(item->len, w->masked) + item->len;
            rc = write_alone(w, wsi, item);
            zel_relay_item_free(item);
            return rc;
        }
        used += put_frame(w, base + used, item, &rc);
        zel_relay_item_free(item);
        if (rc != 0) return -1;
    }
    if (used == 0) return 0;
    out->bytes = used;
    return write_raw(wsi, base, used);
}

}  // namespace zel::frame
