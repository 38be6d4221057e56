// One line a second at most, whatever the rate of events; nothing is lost
// from the count, only from the line count.
#include "relay_throttle.hpp"

#include <cstdio>
#include <ctime>

#include "relay_log.hpp"

namespace zel {

namespace {

constexpr int64_t kIntervalUs = 1'000'000;

int64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

bool due(const log_throttle* t, int64_t now_us) {
    return !t->logged || now_us - t->last_us >= kIntervalUs;
}

void shown(log_throttle* t, int64_t now_us) {
    t->logged = true;
    t->last_us = now_us;
    t->held = 0;
}

void write_line(const char* level, const char* event, uint64_t count) {
    if (count == 0) {
        log_line(level, event);
        return;
    }
    char msg[128];
    std::snprintf(msg, sizeof msg, "%s count=%llu", event, static_cast<unsigned long long>(count));
    log_line(level, msg);
}

}  // namespace

int64_t throttle_event(log_throttle* t, int64_t now_us) {
    if (!due(t, now_us)) {
        t->held++;
        return -1;
    }
    // A quiet second with nothing held starts over with the plain line, so a
    // lone event always reads the same.
    const int64_t count = t->held == 0 ? 0 : static_cast<int64_t>(t->held) + 1;
    shown(t, now_us);
    return count;
}

uint64_t throttle_flush(log_throttle* t, int64_t now_us) {
    if (t->held == 0 || !due(t, now_us)) return 0;
    const uint64_t count = t->held;
    shown(t, now_us);
    return count;
}

void throttle_event_log(log_throttle* t, const char* level, const char* event) {
    const int64_t count = throttle_event(t, monotonic_us());
    if (count >= 0) write_line(level, event, static_cast<uint64_t>(count));
}

void throttle_flush_log(log_throttle* t, const char* level, const char* event) {
    const uint64_t count = throttle_flush(t, monotonic_us());
    if (count > 0) write_line(level, event, count);
}

}  // namespace zel
