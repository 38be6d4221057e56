#include "tail_consumer.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "tail_state.hpp"
#include "tail_table.hpp"

namespace zel::tail {

namespace {

// At most one save a second: each is a create, a sync and a rename. A crash
// (not a signal) may therefore print up to a second of events again after a
// restart; never fewer.
constexpr int64_t kSaveIntervalMs = 1000;

}  // namespace

consumer::consumer(const consumer_options& options, std::FILE* out, std::FILE* err)
    : options_(options), out_(out), err_(err) {}

int consumer::load() {
    if (options_.state == nullptr) return 0;
    std::string why;
    position at{};
    if (load_state(options_.state, at, why) < 0) {
        std::fprintf(err_, "zel_tail: %s\n", why.c_str());
        return kExitSetup;
    }
    seen_ = at;
    saved_ = at;
    return 0;
}

int consumer::on_message(const message& m) {
    if (m.kind == message_kind::gap)
        return on_gap(m.gap, m.gap.reason == gap_reason::expired ? "expired" : "restart");
    return on_event(m);
}

int consumer::on_gap(const gap_notice& g, const char* reason_text) {
    char to[24] = "null";
    if (g.to != 0) std::snprintf(to, sizeof to, "%" PRIu64, g.to);
    std::fprintf(err_, "zel_tail: gap boot=%.*s from=%" PRIu64 " to=%s reason=%s\n",
                 static_cast<int>(g.boot.text().size()), g.boot.text().data(), g.from, to,
                 reason_text);
    std::fflush(err_);
    announced_ = true;
    return options_.fail_on_gap ? kExitGap : 0;
}

int consumer::on_event(const message& m) {
    uint64_t from = 0, to = 0;
    switch (classify(seen_, announced_, m.boot, m.seq, &from, &to)) {
    case step::duplicate:
        ++duplicates_;
        return 0;
    case step::skipped:
        if (const int rc = on_gap({m.boot, from, to, gap_reason::expired}, "unannounced"))
            return rc;
        break;
    case step::new_run:
        if (const int rc = on_gap({seen_.boot, from, 0, gap_reason::restart}, "unannounced"))
            return rc;
        break;
    case step::next:
        break;
    }
    print(m);
    return 0;
}

int consumer::on_placed_event(const message& m, step s, uint64_t missing_from,
                              uint64_t missing_to) {
    if (s == step::duplicate) {
        ++duplicates_;
        return 0;
    }
    if (s == step::skipped) {
        if (const int rc = on_gap({m.boot, missing_from, missing_to, gap_reason::expired},
                                  "unannounced"))
            return rc;
    }
    print(m);
    return 0;
}

void consumer::print(const message& m) {
    line_.clear();
    if (options_.json)
        line_.append(m.event);
    else
        table_line(m.event, line_);
    line_ += '\n';
    std::fwrite(line_.data(), 1, line_.size(), out_);
    seen_ = {true, m.boot, m.seq};
    announced_ = false;
    unflushed_ = true;
}

int consumer::flush(int64_t now_ms, bool force) {
    if (unflushed_) {
        if (std::fflush(out_) != 0 || std::ferror(out_)) {
            std::fprintf(err_, "zel_tail: standard output: %s\n", std::strerror(errno));
            return kExitSetup;
        }
        unflushed_ = false;
    }
    if (options_.state == nullptr || !seen_.known) return 0;
    if (saved_.known && saved_.boot == seen_.boot && saved_.seq == seen_.seq) return 0;
    if (!force && now_ms - saved_ms_ < kSaveIntervalMs) return 0;
    std::string why;
    if (save_state(options_.state, seen_, why) != 0) {
        std::fprintf(err_, "zel_tail: %s\n", why.c_str());
        return kExitSetup;
    }
    saved_ = seen_;
    saved_ms_ = now_ms;
    return 0;
}

}  // namespace zel::tail
