// What the fixed tables of the opt-in decoders (reassembly, TCP streams)
// share: entries addressed by 16-bit index, a stack of free indices, a
// use-ordered list threaded through the entries, and a hash seeded per run.
// Header-only, no state of its own.
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

}  // namespace zel
