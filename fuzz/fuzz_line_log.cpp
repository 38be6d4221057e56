// The line log under arbitrary sequences of appends and consumer steps with
// arbitrary bounds, checked after every operation against a plain model: the
// same lines under the same numbers, both bounds held, every release counted
// once as dropped (the lossy consumer wanted it), released unread (nobody
// had taken it) or not at all, and a pin always giving the model's bytes.
//
// Input: bytes 0-1 the event bound, bytes 2-3 the byte bound, then one
// operation per byte: low bit 0 appends a line of (byte >> 1) bytes (0 is a
// refused append); 1 moves the lossy consumer: bit 1 clear reads up to
// (byte >> 2) lines from its position, set rewinds it by that many.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "fuzz_check.hpp"
#include "relay_line_log.hpp"

namespace {

using namespace zel;

struct model {
    std::map<std::uint64_t, std::string> held;  // by number
    std::size_t bytes = 0;
    std::uint64_t next = 1, taken_high = 1, dropped = 0, unread = 0;
};

void check(line_log& log, const model& m) {
    const log_range r = line_log_range(log);
    const std::uint64_t first = m.held.empty() ? m.next : m.held.begin()->first;
    FUZZ_CHECK(r.first == first && r.next == m.next, "range %llu..%llu, model %llu..%llu",
               static_cast<unsigned long long>(r.first), static_cast<unsigned long long>(r.next),
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(m.next));
    FUZZ_CHECK(log.bytes == m.bytes && log.bytes <= log.max_bytes &&
                   r.next - r.first <= log.capacity,
               "a bound is broken");
    const line_log_counters c = line_log_read_counters(log);
    FUZZ_CHECK(
        c.dropped == m.dropped && c.released_unread == m.unread,
        "dropped %llu unread %llu, model %llu %llu", static_cast<unsigned long long>(c.dropped),
        static_cast<unsigned long long>(c.released_unread),
        static_cast<unsigned long long>(m.dropped), static_cast<unsigned long long>(m.unread));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t max_events = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % 64;
    const std::size_t max_bytes = (static_cast<std::size_t>(data[2]) << 8 | data[3]) % 1024;
    line_log log;
    const int rc = line_log_init(log, max_events, max_bytes, boot_id{});
    if (max_events == 0 || max_bytes == 0) {
        FUZZ_CHECK(rc == -1, "init with a zero bound succeeded");
        return 0;
    }
    FUZZ_CHECK(rc == 0, "init failed");
    log_consumer c;
    c.lossy = true;
    line_log_attach(log, c, 1);
    model m;
    unsigned serial = 0;
    for (std::size_t i = 4; i < size; ++i) {
        const std::uint8_t op = data[i];
        if ((op & 1) == 0) {
            const std::size_t len = op >> 1;
            std::string line(len, '\0');
            for (std::size_t b = 0; b < len; ++b) line[b] = static_cast<char>(serial + b);
            ++serial;
            const int r = line_log_append(
                log, {reinterpret_cast<const unsigned char*>(line.data()), line.size()});
            if (len == 0 || len > max_bytes) {
                FUZZ_CHECK(r == -1, "bad append accepted");
                continue;
            }
            FUZZ_CHECK(r == 0, "append of %zu bytes failed", len);
            while (!m.held.empty() && (m.held.size() >= max_events || m.bytes + len > max_bytes)) {
                const auto oldest = m.held.begin();
                if (c.next.load() <= oldest->first)
                    ++m.dropped;
                else if (oldest->first >= m.taken_high)
                    ++m.unread;
                m.bytes -= oldest->second.size();
                m.held.erase(oldest);
            }
            m.held[m.next++] = line;
            m.bytes += len;
        } else if ((op & 2) == 0) {
            std::uint64_t pos = c.next.load();
            line_ref refs[64];
            const pin_result p = line_log_pin(log, pos, {refs, std::size_t(op >> 2)}, SIZE_MAX);
            const bool gone = !m.held.empty() && pos < m.held.begin()->first;
            FUZZ_CHECK(p.overtaken == gone, "overtaken %d, model %d", p.overtaken, gone);
            for (std::size_t k = 0; k < p.count; ++k) {
                const std::string& want = m.held.at(pos + k);
                FUZZ_CHECK(refs[k].seq == pos + k && refs[k].len == want.size() &&
                               std::memcmp(refs[k].data, want.data(), want.size()) == 0,
                           "pin gave the wrong line");
            }
            line_log_unpin({refs, p.count});
            if (gone) {
                line_log_rewind(log, c, pos);
            } else {
                line_log_advance(log, c, pos + p.count);
                m.taken_high = std::max(m.taken_high, pos + p.count);
            }
        } else {
            const std::uint64_t pos = c.next.load();
            const std::uint64_t to = pos > std::uint64_t(op >> 2) ? pos - (op >> 2) : 1;
            const std::uint64_t first = m.held.empty() ? m.next : m.held.begin()->first;
            const std::uint64_t lost = line_log_rewind(log, c, to);
            FUZZ_CHECK(lost == (to < first ? first - to : 0), "rewind lost count wrong");
            FUZZ_CHECK(c.next.load() == std::max(to, first), "rewind landed wrong");
        }
        check(log, m);
    }
    line_log_detach(log, c);
    line_log_destroy(log);
    return 0;
}
