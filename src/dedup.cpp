#include "dedup.hpp"

#include "index_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace zel {

// A hash of 0 marks an empty entry; no packet hashes to it.
struct dedup_table::entry {
    std::uint64_t hash = 0;
    std::int64_t us = 0;
};

namespace {

static_assert((dedup_table::kBuckets & (dedup_table::kBuckets - 1)) == 0);

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

std::uint64_t fold(std::uint64_t h) {
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return h;
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Four independent lanes over 32-byte blocks, so that the multiplies of
// one packet overlap instead of waiting on each other; then the tail.
std::uint64_t hash_bytes(std::uint64_t seed, const std::uint8_t* p, std::size_t n) {
    std::uint64_t a = seed, b = seed ^ kMul, c = seed + n, d = ~seed;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = (a ^ load64(p + i)) * kMul;
        b = (b ^ load64(p + i + 8)) * kMul;
        c = (c ^ load64(p + i + 16)) * kMul;
        d = (d ^ load64(p + i + 24)) * kMul;
        a ^= a >> 32;
        b ^= b >> 32;
        c ^= c >> 32;
        d ^= d >> 32;
    }
    for (; i + 8 <= n; i += 8) a = fold(a ^ load64(p + i));
    if (i < n) {
        std::uint64_t tail = 0;
        std::memcpy(&tail, p + i, n - i);
        b = fold(b ^ tail);
    }
    return fold(a ^ fold(b ^ fold(c ^ fold(d ^ n))));
}

std::uint64_t packet_hash(std::uint64_t seed, const ip_packet& p) {
    std::uint8_t head[48];
    std::memcpy(head, p.source.addr.data(), 16);
    std::memcpy(head + 16, p.destination.addr.data(), 16);
    const std::uint32_t place[4] = {
        static_cast<std::uint32_t>(p.source.family) << 16 | p.protocol,
        p.fragment ? 1u + (p.more_fragments ? 2u : 0u) : 0u,
        p.fragment_id,
        p.fragment_offset,
    };
    std::memcpy(head + 32, place, 16);
    const std::uint64_t h = hash_bytes(seed, head, sizeof head);
    return hash_bytes(h, p.transport.data(), p.transport.size()) | 1;
}

}  // namespace

dedup_table::dedup_table() = default;
dedup_table::~dedup_table() = default;

int dedup_table::init(std::uint32_t window_ms) {
    static_assert(sizeof(entry) * kBuckets * kWays == kBytes);
    entries_.reset(new (std::nothrow) entry[kBuckets * kWays]);
    if (!entries_) return -1;
    window_us_ = std::uint64_t{std::clamp<std::uint32_t>(window_ms, 1, kMaxWindowMs)} * 1000;
    seed_ = std::uint64_t{run_seed(this)} << 32 | run_seed(entries_.get());
    return 0;
}

bool dedup_table::seen(const ip_packet& p, std::int64_t now_us, loss_counts& losses) {
    const std::uint64_t h = packet_hash(seed_, p);
    entry* const bucket = &entries_[(h >> 40) % kBuckets * kWays];
    // Unsigned distance both ways: no overflow whatever the time stamps.
    auto recent = [&](const entry& e) {
        const std::uint64_t d =
            static_cast<std::uint64_t>(now_us) - static_cast<std::uint64_t>(e.us);
        return e.hash != 0 && (d < window_us_ || 0 - d < window_us_);
    };
    entry* victim = nullptr;
    for (std::size_t k = 0; k < kWays; ++k) {
        entry& e = bucket[k];
        if (e.hash == h && recent(e)) {
            e.us = now_us;
            return true;
        }
        // A free or stale entry first, else the oldest.
        if (!recent(e)) {
            if (victim == nullptr || recent(*victim)) victim = &e;
        } else if (victim == nullptr || (recent(*victim) && e.us < victim->us)) {
            victim = &e;
        }
    }
    if (recent(*victim)) losses.add(loss_reason::dedup_evicted);
    victim->hash = h;
    victim->us = now_us;
    return false;
}

}  // namespace zel
