#include "relay_reader.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "relay_log.hpp"
#include "unique_fd.hpp"

namespace zel::reader {

namespace {

// Connects to the event socket with a 1-second receive time-out, which bounds
// how long the read loop takes to notice `stopping`. -1 on any failure, with
// its error number in *err for the caller's report.
int unix_connect(const char* path, int* err) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    unique_fd guard(fd);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // The configuration limits the path to 107 bytes, so it stays terminated.
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    timeval tv{1, 0};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        *err = errno;
        return -1;
    }
    return guard.release();
}

// A missing socket, or one the relay may not open (the usual first-hour
// mistake), must be visible; but the retry runs once a second, so only the
// first failure and each change of reason is logged. `last` is the error
// last logged, 0 after a success.
void report_connect_failure(const char* path, int err, int* last) {
    if (err == *last) return;
    *last = err;
    char msg[384];
    std::snprintf(msg, sizeof msg, "unix_socket_error reason=%s path=%s", std::strerror(err), path);
    log_line("warning", msg);
}

// Waits about one second between connection attempts, in short steps so that
// shutdown is not held up by the wait.
void pause_before_retry(feed* st) {
    for (int i = 0; i < 10 && !st->stopping->load(); ++i) {
        timespec ts{0, 100 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

// A wake-up per receive still costs the service thread a context switch and
// a handful of system calls for every line or two when the daemon writes its
// lines one by one at tens of thousands a second, and the reader another
// switch for each of the daemon's writes. While the feed is that busy (three
// receives in a row less than this apart; two can be a chance meeting of a
// slow feed's lines), the reader instead sleeps this long after
// each receive, takes everything that arrived meanwhile in one receive, and
// wakes the service thread once for all of it. A line therefore waits at most
// this long; a quieter feed is announced at once.
constexpr int64_t kGatherNs = 500'000;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until(int64_t ns) {
    const timespec t{static_cast<time_t>(ns / 1'000'000'000),
                     static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// The lines appended since the service thread was last woken.
struct queue_sink {
    feed* st;
    size_t lines;
};

void sink_to_queue(void* arg, const unsigned char* line, size_t len) {
    auto* sink = static_cast<queue_sink*>(arg);
    queue_line(sink->st, line, len);
    sink->lines++;
}

void announce(queue_sink* pending) {
    if (pending->lines == 0) return;
    pending->lines = 0;
    feed* st = pending->st;
    if (st->wake_at != nullptr) {
        // The lines were appended under the log's lock, and the service
        // thread lowers wake_at before it takes that lock to look at the
        // log: whichever took the lock first, either it sees these lines or
        // this sees 0.
        const uint64_t at = st->wake_at->load(std::memory_order_seq_cst);
        if (at != 0 && st->appended < at) return;
    }
    wake_service(st);
}

// Reads one connection until end of stream, a receive error or `stopping`.
void read_connection(feed* st, int fd, line_cutter* cut) {
    line_cutter_reset(cut);
    queue_sink pending{st, 0};
    int64_t last_receive = INT64_MIN / 2;
    int quick = 0;      // receives in a row that came less than kGatherNs apart
    bool busy = false;  // gathering: sleep, then take what came without waiting
    bool more = false;  // the last receive filled the buffer: read again at once
    while (!st->stopping->load()) {
        if (busy && !more) sleep_until(last_receive + kGatherNs);
        size_t room = 0;
        unsigned char* space = line_cutter_space(cut, &room);
        ssize_t n = recv(fd, space, room, busy ? MSG_DONTWAIT : 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Nothing came while gathering: the feed paused, so the next
                // line is announced as soon as it arrives.
                announce(&pending);
                busy = more = false;
                quick = 0;
                continue;
            }
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        const int64_t now = monotonic_ns();
        if (!busy) {
            quick = now - last_receive < kGatherNs ? quick + 1 : 0;
            busy = quick >= 2;
        }
        last_receive = now;
        line_cutter_commit(cut, static_cast<size_t>(n), sink_to_queue, &pending);
        more = busy && static_cast<size_t>(n) == room;
        if (!more) announce(&pending);
    }
    announce(&pending);
}

}  // namespace

void line_cutter_reset(line_cutter* c) {
    c->used = 0;
    c->discarding = false;
}

unsigned char* line_cutter_space(line_cutter* c, size_t* room) {
    *room = kBufferSize - c->used;
    return c->buf + c->used;
}

void line_cutter_commit(line_cutter* c, size_t n, line_sink sink, void* arg) {
    // The held bytes are the unfinished line and contain no newline, so only
    // the new bytes need scanning; this keeps a line trickling in at a few
    // bytes per receive linear rather than quadratic.
    size_t scan = c->used;
    c->used += n;
    size_t start = 0;
    while (scan < c->used) {
        auto* nl = static_cast<unsigned char*>(std::memchr(c->buf + scan, '\n', c->used - scan));
        if (nl == nullptr) break;
        size_t i = static_cast<size_t>(nl - c->buf);
        if (c->discarding) {
            c->discarding = false;
        } else {
            size_t end = i;
            while (end > start && (c->buf[end - 1] == '\r' || c->buf[end - 1] == '\n')) --end;
            if (end > start) sink(arg, c->buf + start, end - start);
        }
        start = i + 1;
        scan = start;
    }
    if (start != 0) {
        std::memmove(c->buf, c->buf + start, c->used - start);
        c->used -= start;
    }
    if (c->used == kBufferSize) {
        // A full buffer without a newline: the line is over-long; skip the
        // rest of it rather than cut it into pieces that look like events.
        c->discarding = true;
        c->used = 0;
    }
}

void line_cutter_feed(line_cutter* c, const unsigned char* data, size_t len, line_sink sink,
                      void* arg) {
    while (len > 0) {
        size_t room = 0;
        unsigned char* space = line_cutter_space(c, &room);
        size_t n = len < room ? len : room;
        std::memcpy(space, data, n);
        line_cutter_commit(c, n, sink, arg);
        data += n;
        len -= n;
    }
}

void queue_line(feed* st, const unsigned char* line, size_t len) {
    line_log_counters now{};
    if (line_log_append(*st->log, {line, len}, &now) != 0) {
        log_line("error", "event_queue_allocation_failed");
        now = line_log_read_counters(*st->log);
    }
    st->appended = now.appended;
    const uint64_t dropped = now.dropped;
    if (dropped != st->last_reported_dropped && (dropped == 1 || dropped % 1000 == 0)) {
        char msg[128];
        std::snprintf(msg, sizeof msg, "event_queue_full dropped=%llu",
                      static_cast<unsigned long long>(dropped));
        log_line("warning", msg);
        st->last_reported_dropped = dropped;
    }
}

void wake_service(feed* st) {
    if (st->context != nullptr) lws_cancel_service(st->context);
}

void* reader_main(void* arg) {
    auto* st = static_cast<feed*>(arg);
    // 256 KiB is too much for some thread stacks (sanitizer builds among
    // them); one buffer serves every connection of the thread's life.
    static line_cutter cut;
    int last_error = 0;
    while (!st->stopping->load()) {
        int err = 0;
        int fd = unix_connect(st->socket_path, &err);
        if (fd < 0) {
            report_connect_failure(st->socket_path, err, &last_error);
            pause_before_retry(st);
            continue;
        }
        last_error = 0;
        {
            unique_fd guard(fd);
            log_line("info", "unix_socket_connected");
            read_connection(st, fd, &cut);
        }
        if (st->stopping->load()) break;
        // The daemon went away or dropped us: what it publishes until the
        // next connection is lost to the relay. A daemon that cut a slow
        // reader is still there, so the first attempt follows at once; a
        // daemon that stopped answers it with an error, and the retries go
        // back to once a second.
        log_line("warning", "unix_socket_disconnected");
    }
    return nullptr;
}

int reader_start(feed* st) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int rc = pthread_create(&st->thread, nullptr, reader_main, st);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

}  // namespace zel::reader
