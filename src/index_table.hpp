// What the fixed tables of the opt-in decoders (reassembly, TCP streams)
// share: fixed_table, a bounded table of entries addressed by 16-bit index
// and found by key through a chained hash seeded per run, with a stack of
// free indices and a use-ordered list; and the list and hash helpers it is
// made of, for tables that need no lookup. Header-only.
//
// Threads: whoever owns the table.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zel {

inline constexpr std::uint16_t kNoIndex = 0xFFFF;

// Fills `stack` with the indices n-1 .. 0, so that index 0 is taken first.
inline void fill_free_stack(std::uint16_t* stack, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) stack[i] = static_cast<std::uint16_t>(n - 1 - i);
}

// A seed that differs from run to run, so that crafted addresses or ids
// cannot all pick one hash bucket.
inline std::uint32_t run_seed(const void* table) {
    return static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                      reinterpret_cast<std::uintptr_t>(table));
}

inline std::uint32_t hash_mix(std::uint32_t h, std::uint32_t v) {
    return h ^ (v + 0x9E3779B9u + (h << 6) + (h >> 2));
}

// The use-ordered list over an array of entries with `older` and `newer`
// indices: the oldest at one end, the newest at the other.
template <typename T>
void list_unlink(T* items, std::uint16_t i, std::uint16_t& oldest, std::uint16_t& newest) {
    (items[i].older == kNoIndex ? oldest : items[items[i].older].newer) = items[i].newer;
    (items[i].newer == kNoIndex ? newest : items[items[i].newer].older) = items[i].older;
    items[i].older = items[i].newer = kNoIndex;
}

template <typename T>
void list_push_newest(T* items, std::uint16_t i, std::uint16_t& oldest, std::uint16_t& newest) {
    items[i].older = newest;
    items[i].newer = kNoIndex;
    (newest == kNoIndex ? oldest : items[newest].newer) = i;
    newest = i;
}

// A bounded table of N entries of type E, found by key. The owner hashes
// its keys (mixing in `seed`) and compares them; the table keeps each
// entry's bucket, so an entry is removed without its key. The use-ordered
// list runs from `oldest` to `newest`: an entry is newest when inserted and
// when touched. The owner makes room (removes one, usually the oldest)
// before inserting into a full table, and releases what an entry holds
// before removing it. E needs std::uint16_t members `older`, `newer` and
// `chain`, and is reset to E{} on insertion.
//
// Promises: no allocation; lookup walks one bucket's chain (2N buckets),
// insertion, removal and touching are constant time but for the chain walk.
template <typename E, std::size_t N>
struct fixed_table {
    static_assert(N < kNoIndex, "indices must leave kNoIndex free");
    static constexpr std::size_t kBuckets = 2 * N;

    E entries[N];
    std::uint16_t home[N];  // each entry's bucket
    std::uint16_t bucket[kBuckets];
    std::uint16_t free[N];
    std::size_t free_count = 0;
    std::uint16_t oldest = kNoIndex, newest = kNoIndex;
    std::size_t used = 0;
    std::uint32_t seed = 0;

    // Empties the table and draws a new seed.
    void init() {
        for (std::uint16_t& b : bucket) b = kNoIndex;
        fill_free_stack(free, N);
        free_count = N;
        oldest = newest = kNoIndex;
        used = 0;
        seed = run_seed(this);
    }

    E& operator[](std::uint16_t i) { return entries[i]; }
    const E& operator[](std::uint16_t i) const { return entries[i]; }
    bool full() const { return free_count == 0; }

    // The entry in `hash`'s bucket for which same(entry) holds, or kNoIndex.
    template <typename Same>
    std::uint16_t find(std::uint32_t hash, Same same) const {
        for (std::uint16_t i = bucket[hash % kBuckets]; i != kNoIndex; i = entries[i].chain)
            if (same(entries[i])) return i;
        return kNoIndex;
    }

    // A fresh entry (E{}) under `hash`, newest in use order; the table must
    // not be full.
    std::uint16_t insert(std::uint32_t hash) {
        const std::uint16_t i = free[--free_count];
        entries[i] = E{};
        home[i] = static_cast<std::uint16_t>(hash % kBuckets);
        entries[i].chain = bucket[home[i]];
        bucket[home[i]] = i;
        list_push_newest(entries, i, oldest, newest);
        ++used;
        return i;
    }

    void remove(std::uint16_t i) {
        std::uint16_t* link = &bucket[home[i]];
        while (*link != i) link = &entries[*link].chain;
        *link = entries[i].chain;
        list_unlink(entries, i, oldest, newest);
        free[free_count++] = i;
        --used;
    }

    // Makes entry i the newest.
    void touch(std::uint16_t i) {
        list_unlink(entries, i, oldest, newest);
        list_push_newest(entries, i, oldest, newest);
    }
};

}  // namespace zel
