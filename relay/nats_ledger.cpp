#include "nats_ledger.hpp"

#include <cstdio>

namespace zel::nats {

ledger::ledger(size_t capacity) : ring_(capacity > 0 ? capacity : 1) {}

size_t ledger::room() const {
    if (draining_ || rewind_due_) return 0;
    if (probing_) return outstanding_ == 0 ? 1 : 0;
    // Entries waiting to be offered again already hold their slots.
    return ring_.size() - resend_;
}

// Lines leave from the front only, so that `acknowledged` counts a line once
// every line before it is settled too.
void ledger::settle_front() {
    while (count_ > 0 && (at(0).st == state::acked || at(0).st == state::gone)) {
        if (at(0).st == state::acked) counters_.acknowledged++;
        head_ = (head_ + 1) % ring_.size();
        --count_;
        if (resend_ > 0) --resend_;
    }
}

// Index of the entry for seq, or count_. Entries are in increasing seq order.
size_t ledger::find(uint64_t seq) const {
    size_t lo = 0, hi = count_;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (at(mid).seq < seq)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < count_ && at(lo).seq == seq ? lo : count_;
}

offer_action ledger::offer(uint64_t seq) {
    if (room() == 0 || (next_ != 0 && seq < next_)) return offer_action::refused;

    // Entries before seq that wait to be offered again are gone from the
    // caller's log: a failed one is given up; an acknowledged one settles.
    while (resend_ < count_ && at(resend_).seq < seq) {
        entry& e = at(resend_);
        if (e.st == state::failed) {
            e.st = state::gone;
            counters_.given_up++;
        }
        ++resend_;
    }
    settle_front();

    offer_action action = offer_action::publish;
    if (resend_ < count_ && at(resend_).seq == seq) {
        entry& e = at(resend_);
        if (e.st == state::acked) {
            action = offer_action::skip;
        } else {
            e.st = state::outstanding;
            ++outstanding_;
            counters_.resent++;
        }
        ++resend_;
    } else {
        if (count_ == ring_.size()) return offer_action::refused;
        at(count_) = {seq, state::outstanding};
        ++count_;
        resend_ = count_;
        ++outstanding_;
    }
    next_ = seq + 1;
    settle_front();
    return action;
}

bool ledger::result(uint64_t seq, result_kind kind) {
    size_t i = find(seq);
    if (i == count_ || at(i).st != state::outstanding) return false;
    --outstanding_;
    if (kind == result_kind::failed) {
        at(i).st = state::failed;
        counters_.failures++;
        draining_ = true;
    } else {
        at(i).st = state::acked;
        if (kind == result_kind::duplicate) counters_.duplicates++;
        probing_ = false;
    }
    if (draining_ && outstanding_ == 0) {
        draining_ = false;
        rewind_due_ = true;
    }
    settle_front();
    return true;
}

void ledger::pause() {
    if (rewind_due_) return;
    if (outstanding_ == 0)
        rewind_due_ = true;
    else
        draining_ = true;
}

bool ledger::take_rewind(uint64_t* from) {
    if (!rewind_due_) return false;
    rewind_due_ = false;
    if (count_ == 0) return false;  // nothing unsettled: go on where the caller is
    // The front is never acknowledged (it would have settled), so publishing
    // goes back to it; the entries after it are matched as they are offered.
    resend_ = 0;
    next_ = at(0).seq;
    *from = next_;
    counters_.rewinds++;
    probing_ = true;
    return true;
}

std::string subject_safe(std::string_view switch_id) {
    std::string out(switch_id);
    for (char& c : out) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
        if (!keep) c = '_';
    }
    return out;
}

std::string default_subject(std::string_view switch_id) {
    return "zel.sip." + subject_safe(switch_id);
}

bool publish_subject_valid(std::string_view subject) {
    if (subject.empty() || subject.size() > 255) return false;
    size_t token_start = 0;
    for (size_t i = 0; i <= subject.size(); i++) {
        if (i == subject.size() || subject[i] == '.') {
            std::string_view token = subject.substr(token_start, i - token_start);
            if (token.empty() || token == "*" || token == ">") return false;
            token_start = i + 1;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(subject[i]);
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

bool subject_matches(std::string_view filter, std::string_view subject) {
    for (;;) {
        size_t fd = filter.find('.');
        size_t sd = subject.find('.');
        std::string_view ft = filter.substr(0, fd);
        std::string_view st = subject.substr(0, sd);
        if (ft == ">") return !subject.empty();
        if (ft != "*" && ft != st) return false;
        if (fd == std::string_view::npos || sd == std::string_view::npos)
            return fd == std::string_view::npos && sd == std::string_view::npos;
        filter.remove_prefix(fd + 1);
        subject.remove_prefix(sd + 1);
    }
}

bool header_value_valid(std::string_view value) {
    for (char ch : value) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

size_t format_msg_id(char* out, size_t size, std::string_view switch_id, std::string_view boot,
                     uint64_t seq) {
    int n = std::snprintf(out, size, "%.*s:%.*s:%llu", static_cast<int>(switch_id.size()),
                          switch_id.data(), static_cast<int>(boot.size()), boot.data(),
                          static_cast<unsigned long long>(seq));
    if (n < 0 || static_cast<size_t>(n) >= size) return 0;
    return static_cast<size_t>(n);
}

}  // namespace zel::nats
