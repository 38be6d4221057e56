// The bounded drop-oldest queue under arbitrary sequences of push and take
// with arbitrary limits, checked after every operation against a plain
// model: same entries in the same order, same drop count, and the
// invariants between operations (head/tail/count agree, both limits hold,
// bytes is the sum of the entries' lengths).
//
// Input: bytes 0-1 the entry limit, bytes 2-3 the byte limit, then one
// operation per byte: low bit 0 pushes an entry of (byte >> 1) bytes (0 is a
// refused push), 1 takes; every 16th push uses a null data pointer.
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "fuzz_check.hpp"
#include "zel_relay_queue.hpp"

namespace {

using namespace zel;

void check_invariants(zel_relay_queue* q, const std::deque<std::string>& model,
                      std::uint64_t dropped) {
    FUZZ_CHECK((q->head == nullptr) == (q->tail == nullptr), "head/tail disagree");
    FUZZ_CHECK((q->head == nullptr) == (q->count == 0), "head/count disagree");
    FUZZ_CHECK(q->count <= q->max_count && q->bytes <= q->max_bytes, "a limit is broken");
    FUZZ_CHECK(q->count == model.size(), "count %zu, model %zu", q->count, model.size());
    FUZZ_CHECK(q->dropped == dropped, "dropped %llu, model %llu",
               static_cast<unsigned long long>(q->dropped),
               static_cast<unsigned long long>(dropped));
    std::size_t sum = 0, k = 0;
    const zel_relay_item* last = nullptr;
    for (const zel_relay_item* it = q->head; it != nullptr; it = it->next, ++k) {
        FUZZ_CHECK(k < model.size(), "list longer than count");
        FUZZ_CHECK(it->len == model[k].size() &&
                       std::memcmp(it->data, model[k].data(), it->len) == 0,
                   "entry %zu differs from the model", k);
        sum += it->len;
        last = it;
    }
    FUZZ_CHECK(last == q->tail, "tail is not the last entry");
    FUZZ_CHECK(sum == q->bytes, "bytes %zu, entries sum to %zu", q->bytes, sum);
    FUZZ_CHECK(zel_relay_queue_count(q) == q->count && zel_relay_queue_dropped(q) == q->dropped,
               "locked readers disagree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    std::size_t max_count = static_cast<std::size_t>(data[0]) << 8 | data[1];
    std::size_t max_bytes = static_cast<std::size_t>(data[2]) << 8 | data[3];
    zel_relay_queue q;
    int rc = zel_relay_queue_init(&q, max_count % 64, max_bytes % 1024);
    if (max_count % 64 == 0 || max_bytes % 1024 == 0) {
        FUZZ_CHECK(rc == -1, "init with a zero limit succeeded");
        return 0;
    }
    FUZZ_CHECK(rc == 0, "init failed");
    max_count %= 64;
    max_bytes %= 1024;

    std::deque<std::string> model;
    std::size_t model_bytes = 0;
    std::uint64_t dropped = 0;
    unsigned pushes = 0, serial = 0;
    for (std::size_t i = 4; i < size; ++i) {
        std::uint8_t op = data[i];
        if ((op & 1) == 0) {
            std::size_t len = op >> 1;
            std::string entry(len, '\0');
            for (std::size_t b = 0; b < len; ++b) entry[b] = static_cast<char>(serial + b);
            ++serial;
            bool null_data = ++pushes % 16 == 0;
            int r = zel_relay_queue_push(&q, null_data ? nullptr : entry.data(), len);
            if (null_data || len == 0 || len > max_bytes) {
                FUZZ_CHECK(r == -1, "bad push accepted");
            } else {
                FUZZ_CHECK(r == 0, "push of %zu bytes failed", len);
                while (!model.empty() &&
                       (model.size() >= max_count || model_bytes + len > max_bytes)) {
                    model_bytes -= model.front().size();
                    model.pop_front();
                    ++dropped;
                }
                model.push_back(entry);
                model_bytes += len;
            }
        } else {
            zel_relay_item* item = zel_relay_queue_take(&q);
            if (model.empty()) {
                FUZZ_CHECK(item == nullptr, "take from an empty queue gave an item");
            } else {
                FUZZ_CHECK(item != nullptr, "take gave nothing");
                FUZZ_CHECK(item->next == nullptr, "taken item still linked");
                FUZZ_CHECK(item->len == model.front().size() &&
                               std::memcmp(item->data, model.front().data(), item->len) == 0,
                           "take gave the wrong entry");
                model_bytes -= model.front().size();
                model.pop_front();
            }
            zel_relay_item_free(item);
        }
        check_invariants(&q, model, dropped);
    }
    // Destroy frees what is left (LeakSanitizer checks) and counts it dropped.
    std::size_t left = model.size();
    zel_relay_queue_destroy(&q);
    FUZZ_CHECK(q.dropped == dropped + left && q.head == nullptr && q.count == 0,
               "destroy did not discard everything");
    return 0;
}
