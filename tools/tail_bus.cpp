#include "tail_bus.hpp"

#include <cstring>

#include "tail_json.hpp"

namespace zel::tail {

int read_bus_event(const char* boot, const char* seq, std::string_view data, message& out,
                   const char** why) {
    if (boot == nullptr || seq == nullptr) {
        *why = "no Zel-Boot or Zel-Seq header (not published by a relay?)";
        return -1;
    }
    message m{};
    m.kind = message_kind::event;
    if (!parse_boot(boot, m.boot)) {
        *why = "Zel-Boot is not 32 lower-case hex digits";
        return -1;
    }
    const size_t n = std::strlen(seq);
    uint64_t v = 0;
    bool digits = n > 0 && n <= 19;
    for (size_t i = 0; digits && i < n; i++) {
        digits = seq[i] >= '0' && seq[i] <= '9';
        v = v * 10 + static_cast<uint64_t>(seq[i] - '0');
    }
    if (!digits || v == 0 || v > static_cast<uint64_t>(INT64_MAX) || (n > 1 && seq[0] == '0')) {
        *why = "Zel-Seq is not a number from 1 to 2^63-1";
        return -1;
    }
    m.seq = v;
    if (data.size() > kMaxMessageBytes) {
        *why = "message too long";
        return -1;
    }
    if (data.empty() || (data.front() != '{' && data.front() != '"') ||
        data.find_first_of("\r\n") != std::string_view::npos ||
        tail_json::scan_value(data, 0) != data.size()) {
        *why = "data is not a one-line JSON object or string";
        return -1;
    }
    m.event = data;
    out = m;
    return 0;
}

step run_table::check(const boot_id& boot, uint64_t seq, uint64_t* missing_from,
                      uint64_t* missing_to) const {
    const auto it = runs_.find(boot);
    if (it == runs_.end() || seq == it->second.seq + 1) return step::next;
    if (seq <= it->second.seq) return step::duplicate;
    *missing_from = it->second.seq + 1;
    *missing_to = seq - 1;
    return step::skipped;
}

void run_table::record(const boot_id& boot, uint64_t seq) {
    ++clock_;
    if (auto it = runs_.find(boot); it != runs_.end()) {
        it->second = {seq, clock_};
        return;
    }
    // Full: the scan for the least recent is paid once per new run, not per
    // event.
    if (runs_.size() >= kMaxRuns) {
        auto oldest = runs_.begin();
        for (auto it = runs_.begin(); it != runs_.end(); ++it)
            if (it->second.used < oldest->second.used) oldest = it;
        runs_.erase(oldest);
        ++forgotten_;
    }
    runs_.emplace(boot, run{seq, clock_});
}

int deliver_bus_event(run_table& runs, consumer& sink, const message& m) {
    uint64_t from = 0, to = 0;
    const step s = runs.check(m.boot, m.seq, &from, &to);
    if (const int rc = sink.on_placed_event(m, s, from, to)) return rc;
    if (s != step::duplicate) runs.record(m.boot, m.seq);
    return 0;
}

}  // namespace zel::tail
