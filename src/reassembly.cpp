#include "reassembly.hpp"

#include "index_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace zel {

namespace {

// Which bytes of a datagram have arrived is kept per 8-byte unit, the
// granularity of fragment offsets: every piece but the last starts and ends
// on a unit boundary, so the first copy of a unit is the first copy of each
// of its bytes.
constexpr std::size_t kUnits = (reassembly::kMaxDatagram + 7) / 8;
constexpr std::size_t kUnitWords = (kUnits + 63) / 64;
constexpr std::size_t kBlocksPerSlot =
    (reassembly::kMaxDatagram + reassembly::kBlock - 1) / reassembly::kBlock;
constexpr std::size_t kBlocks = reassembly::kPoolBytes / reassembly::kBlock;
constexpr std::uint16_t kNone = kNoIndex;
static_assert(kBlocks < kNone && reassembly::kBlock % 8 == 0);

struct slot {
    // Identity: addresses, id, link (VLANs, tunnel), and for IPv4 the protocol.
    sa_family_t family = 0;
    std::uint8_t key_protocol = 0;
    std::array<std::uint8_t, 16> src{};
    std::array<std::uint8_t, 16> dst{};
    std::uint32_t id = 0;
    link_key link;
    // The reassembled datagram's first header (the piece at offset 0 says).
    std::uint8_t protocol = 0;
    std::int64_t first_us = 0;
    std::uint32_t total = 0;                     // its length, once the last piece came; 0 before
    std::uint32_t max_end = 0;                   // the furthest byte any piece reached
    std::uint32_t units = 0;                     // units filled
    std::uint16_t older = kNone, newer = kNone;  // age list, first piece's order
    std::uint16_t chain = kNone;                 // next in its hash bucket
    std::uint16_t block[kBlocksPerSlot];
};

}  // namespace

struct reassembly::tables {
    // Datagrams in progress, oldest first piece first; seeded per run so
    // that crafted ids cannot pick one bucket.
    fixed_table<slot, kSlots> slots;
    std::uint64_t filled[kSlots][kUnitWords];
    std::uint16_t free_blocks[kBlocks];
    std::size_t free_block_count = 0;
    std::unique_ptr<std::uint8_t[]> pool;
    std::uint8_t out[kMaxDatagram];

    std::uint8_t* block_bytes(std::uint16_t b) { return pool.get() + std::size_t{b} * kBlock; }

    std::uint32_t hash(const ip_packet& f, std::uint8_t key_protocol) const {
        std::uint32_t h = hash_mix(slots.seed, f.fragment_id);
        h = hash_mix(h, static_cast<std::uint32_t>(f.source.family) << 8 | key_protocol);
        h = hash_mix(h, static_cast<std::uint32_t>(f.link.vlan[0]) << 16 | f.link.vlan[1]);
        h = hash_mix(h, f.link.tunnel);
        for (std::size_t i = 0; i < 16; i += 4) {
            std::uint32_t a, b;
            std::memcpy(&a, f.source.addr.data() + i, 4);
            std::memcpy(&b, f.destination.addr.data() + i, 4);
            h = hash_mix(hash_mix(h, a), b);
        }
        return h;
    }

    static std::uint8_t key_protocol(const ip_packet& f) {
        // IPv6 pieces carry the next header in each fragment header, but it
        // is not part of a datagram's identity there.
        return f.source.family == AF_INET ? f.protocol : 0;
    }

    std::uint16_t find(const ip_packet& f) const {
        const std::uint8_t kp = key_protocol(f);
        return slots.find(hash(f, kp), [&](const slot& s) {
            return s.id == f.fragment_id && s.family == f.source.family && s.key_protocol == kp &&
                   s.src == f.source.addr && s.dst == f.destination.addr && s.link == f.link;
        });
    }

    void release(std::uint16_t i) {
        for (std::uint16_t& b : slots[i].block) {
            if (b != kNone) free_blocks[free_block_count++] = b;
            b = kNone;
        }
        slots.remove(i);
    }

    // The oldest datagram in progress other than `keep` goes.
    void evict_oldest(std::uint16_t keep, loss_counts& losses) {
        std::uint16_t i = slots.oldest;
        if (i != kNone && i == keep) i = slots[i].newer;
        if (i == kNone) return;  // never: a bound is only hit with others in progress
        release(i);
        losses.add(loss_reason::fragments_evicted);
    }

    std::uint16_t open(const ip_packet& f, std::int64_t now_us, loss_counts& losses) {
        if (slots.full()) evict_oldest(kNone, losses);
        const std::uint8_t kp = key_protocol(f);
        const std::uint16_t i = slots.insert(hash(f, kp));
        slot& s = slots[i];
        std::fill(std::begin(s.block), std::end(s.block), kNone);
        std::memset(filled[i], 0, sizeof filled[i]);
        s.family = f.source.family;
        s.key_protocol = kp;
        s.src = f.source.addr;
        s.dst = f.destination.addr;
        s.id = f.fragment_id;
        s.link = f.link;
        s.protocol = f.protocol;
        s.first_us = now_us;
        return i;
    }

    // Copies bytes [from, to) of datagram `i` out of `src` (which starts at
    // datagram byte `origin`) into its blocks, taking blocks as needed.
    void store(std::uint16_t i, const std::uint8_t* src, std::uint32_t origin, std::uint32_t from,
               std::uint32_t to, loss_counts& losses) {
        while (from < to) {
            const std::uint32_t k = from / kBlock;
            const std::uint32_t stop = std::min<std::uint32_t>(to, (k + 1) * kBlock);
            if (slots[i].block[k] == kNone) {
                if (free_block_count == 0) evict_oldest(i, losses);
                slots[i].block[k] = free_blocks[--free_block_count];
            }
            std::memcpy(block_bytes(slots[i].block[k]) + from % kBlock, src + (from - origin),
                        stop - from);
            from = stop;
        }
    }

    // Whether bytes [from, to) of datagram `i`, all held, equal those of
    // `src` (which starts at datagram byte `origin`).
    bool same_bytes(std::uint16_t i, const std::uint8_t* src, std::uint32_t origin,
                    std::uint32_t from, std::uint32_t to) {
        while (from < to) {
            const std::uint32_t k = from / kBlock;
            const std::uint32_t stop = std::min<std::uint32_t>(to, (k + 1) * kBlock);
            if (std::memcmp(block_bytes(slots[i].block[k]) + from % kBlock, src + (from - origin),
                            stop - from) != 0)
                return false;
            from = stop;
        }
        return true;
    }

    // Whether piece `f`, ending at `end`, says the same as every piece of
    // datagram `i` it overlaps. Held bytes end at the datagram's end where
    // it is known (the rest of its last unit was never written).
    bool agrees(std::uint16_t i, const ip_packet& f, std::uint32_t end) {
        const std::uint32_t off = f.fragment_offset;
        const std::uint32_t stop = slots[i].total != 0 ? std::min(end, slots[i].total) : end;
        const std::uint32_t last = (end - 1) / 8;
        for (std::uint32_t u = off / 8; u <= last;) {
            if (!unit_filled(i, u)) {
                ++u;
                continue;
            }
            std::uint32_t v = u;
            while (v <= last && unit_filled(i, v)) ++v;
            const std::uint32_t from = std::max(u * 8, off);
            const std::uint32_t to = std::min(v * 8, stop);
            if (from < to && !same_bytes(i, f.transport.data(), off, from, to)) return false;
            u = v;
        }
        return true;
    }

    bool unit_filled(std::uint16_t i, std::uint32_t u) const {
        return (filled[i][u / 64] >> (u % 64) & 1) != 0;
    }
    void fill_unit(std::uint16_t i, std::uint32_t u) {
        filled[i][u / 64] |= std::uint64_t{1} << (u % 64);
    }

    void expire(std::int64_t now_us, loss_counts& losses) {
        while (slots.oldest != kNone && now_us - slots[slots.oldest].first_us > kExpireUs) {
            release(slots.oldest);
            losses.add(loss_reason::fragments_expired);
        }
    }
};

reassembly::reassembly() = default;
reassembly::~reassembly() = default;

int reassembly::init(std::size_t pool_bytes) {
    const std::size_t blocks = std::clamp(pool_bytes / kBlock, kBlocksPerSlot * 2, kBlocks);
    t_.reset(new (std::nothrow) tables);
    if (!t_) return -1;
    t_->pool.reset(new (std::nothrow) std::uint8_t[blocks * kBlock]);
    if (!t_->pool) {
        t_.reset();
        return -1;
    }
    t_->slots.init();
    fill_free_stack(t_->free_blocks, blocks);
    t_->free_block_count = blocks;
    return 0;
}

std::size_t reassembly::in_progress() const {
    return t_ ? t_->slots.used : 0;
}

std::optional<ip_packet> reassembly::add(const ip_packet& f, std::int64_t now_us,
                                         drop_counts& drops, loss_counts& losses) {
    tables& t = *t_;
    t.expire(now_us, losses);

    const std::uint32_t off = f.fragment_offset;
    const std::size_t len = f.transport.size();
    if (len == 0 || (f.more_fragments && len % 8 != 0) || off + len > kMaxDatagram) {
        drops.add(drop_reason::fragment_bad);
        return std::nullopt;
    }
    const auto end = static_cast<std::uint32_t>(off + len);
    std::uint16_t i = t.find(f);
    // A first piece unlike the one held is a new datagram under a reused
    // id (the earlier one lost a piece): what is held is stale, and must
    // never be completed by the new one's pieces.
    if (i != kNone && off == 0 && t.unit_filled(i, 0) && !t.agrees(i, f, end)) {
        t.release(i);
        losses.add(loss_reason::fragments_restarted);
        i = kNone;
    }
    if (i == kNone) i = t.open(f, now_us, losses);
    slot& s = t.slots[i];
    // Pieces must agree on where the datagram ends.
    if (f.more_fragments ? (s.total != 0 && end > s.total)
                         : ((s.total != 0 && s.total != end) || s.max_end > end)) {
        drops.add(drop_reason::fragment_bad);
        return std::nullopt;
    }
    // Pieces that overlap with different bytes (teardrop): no copy can be
    // trusted, so the whole datagram goes.
    if (!t.agrees(i, f, end)) {
        t.release(i);
        losses.add(loss_reason::fragments_conflicting);
        drops.add(drop_reason::fragment_bad);
        return std::nullopt;
    }
    if (!f.more_fragments) s.total = end;
    if (off == 0) s.protocol = f.protocol;
    s.max_end = std::max(s.max_end, end);

    // Only the runs of units not seen before are copied: the others agree.
    const std::uint32_t last = (end - 1) / 8;
    for (std::uint32_t u = off / 8; u <= last;) {
        if (t.unit_filled(i, u)) {
            ++u;
            continue;
        }
        std::uint32_t v = u;
        for (; v <= last && !t.unit_filled(i, v); ++v) t.fill_unit(i, v);
        t.store(i, f.transport.data(), off, u * 8, std::min(v * 8, end), losses);
        s.units += v - u;
        u = v;
    }

    if (s.total == 0 || s.units != (s.total + 7) / 8) {
        drops.add(drop_reason::fragment_held);
        return std::nullopt;
    }
    for (std::uint32_t k = 0; k * kBlock < s.total; ++k)
        std::memcpy(t.out + k * kBlock, t.block_bytes(s.block[k]),
                    std::min<std::size_t>(kBlock, s.total - k * kBlock));
    std::optional<ip_packet> whole(std::in_place);
    whole->source.family = whole->destination.family = s.family;
    whole->source.addr = s.src;
    whole->destination.addr = s.dst;
    whole->link = s.link;
    whole->protocol = s.protocol;
    whole->transport = {t.out, s.total};
    t.release(i);
    return whole;
}

}  // namespace zel
