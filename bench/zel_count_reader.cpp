// zel_count_reader: one event-socket client that only counts, so that in a
// capture benchmark the reader is never what falls behind. It connects to
// the daemon's socket, says "connected" on standard output, then counts
// newline-terminated records and bytes until the stream ends.
//
// It stops on the first of:
//   end of stream (the daemon closed it: stop, or it dropped a slow client),
//   SIGUSR1 ("the input is over") followed by IDLE_MS without a byte,
//   SIGINT or SIGTERM.
// Then one summary line goes to standard output:
//   "records=N bytes=N partial=N end=eof|idle|signal|error first_ns=N last_ns=N"
// partial counts the bytes after the last newline (a cut-off record, never
// counted as one); first_ns and last_ns are the CLOCK_MONOTONIC times of the
// first and the last byte received, 0 when none came.
//
// Usage: zel_count_reader [-w WAIT_S] [-i IDLE_MS] SOCKET
//   -w  how long a missing or not yet listening socket is retried (default 5)
//   -i  quiet time after SIGUSR1 that ends the count (default 1000)
// Exit status: 0 summary printed after eof, idle or signal; 1 the socket
// cannot be reached in time or a read fails (the summary is still printed
// for a read failure); 2 bad usage. Single-threaded.
#include "unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Set by the signal handlers, read by the loop.
volatile std::sig_atomic_t input_over = 0;
volatile std::sig_atomic_t stop_now = 0;

constexpr int kPollMs = 50;
constexpr int kRetryMs = 10;

// Large enough that one read takes many records; counting is a memchr walk.
char buffer[1 << 20];

void usage(const char* p) {
    std::fprintf(stderr, "Usage: %s [-w WAIT_S] [-i IDLE_MS] SOCKET\n", p);
}

void on_usr1(int) {
    input_over = 1;
}

void on_stop(int) {
    stop_now = 1;
}

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// No SA_RESTART: a signal cuts a poll short, and the bounded poll covers a
// signal that lands between the flag test and the next poll.
void install(int sig, void (*fn)(int)) {
    struct sigaction sa {};
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

bool parse_number(const char* text, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    out = v;
    return true;
}

// Returns the connected descriptor, or -1 once wait_s have passed without a
// listener at path (the reason is printed).
int connect_with_retry(const char* path, long wait_s) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "zel_count_reader: socket path longer than %zu bytes\n",
                     sizeof addr.sun_path - 1);
        return -1;
    }
    std::memcpy(addr.sun_path, path, std::strlen(path) + 1);
    const long long deadline = now_ns() + wait_s * 1000000000LL;
    for (;;) {
        zel::unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid()) {
            std::fprintf(stderr, "zel_count_reader: socket: %s\n", std::strerror(errno));
            return -1;
        }
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return fd.release();
        const int e = errno;
        const bool not_yet = e == ENOENT || e == ECONNREFUSED;
        if (!not_yet || now_ns() >= deadline || stop_now) {
            std::fprintf(stderr, "zel_count_reader: connect %s: %s\n", path, std::strerror(e));
            return -1;
        }
        ::usleep(kRetryMs * 1000);
    }
}

struct counts {
    unsigned long long records = 0;
    unsigned long long bytes = 0;
    unsigned long long partial = 0;
    long long first_ns = 0;
    long long last_ns = 0;
};

void count_chunk(counts& c, const char* p, std::size_t n) {
    c.bytes += n;
    const char* end = p + n;
    for (;;) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (nl == nullptr) break;
        ++c.records;
        c.partial = 0;
        p = static_cast<const char*>(nl) + 1;
    }
    c.partial += static_cast<unsigned long long>(end - p);
}

}  // namespace

int main(int argc, char** argv) {
    long wait_s = 5;
    long idle_ms = 1000;
    int opt;
    while ((opt = getopt(argc, argv, "w:i:h")) != -1) {
        switch (opt) {
        case 'w':
            if (!parse_number(optarg, 0, 3600, wait_s)) {
                std::fprintf(stderr, "zel_count_reader: WAIT_S must be 0 to 3600\n");
                return 2;
            }
            break;
        case 'i':
            if (!parse_number(optarg, 1, 3600000, idle_ms)) {
                std::fprintf(stderr, "zel_count_reader: IDLE_MS must be 1 to 3600000\n");
                return 2;
            }
            break;
        case 'h':
            usage(argv[0]);
            return 0;
        default:
            usage(argv[0]);
            return 2;
        }
    }
    if (optind + 1 != argc) {
        usage(argv[0]);
        return 2;
    }

    install(SIGUSR1, on_usr1);
    install(SIGINT, on_stop);
    install(SIGTERM, on_stop);

    zel::unique_fd fd(connect_with_retry(argv[optind], wait_s));
    if (!fd.valid()) return 1;
    std::printf("connected\n");
    std::fflush(stdout);

    counts c;
    const char* end = "eof";
    int status = 0;
    long long over_since = 0;
    for (;;) {
        if (stop_now) {
            end = "signal";
            break;
        }
        const long long now = now_ns();
        if (input_over) {
            if (over_since == 0) over_since = now;
            const long long quiet_from = c.last_ns > over_since ? c.last_ns : over_since;
            if (now - quiet_from >= idle_ms * 1000000LL) {
                end = "idle";
                break;
            }
        }
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (ready <= 0) continue;  // time-out or a signal; the flags are tested above
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            const long long t = now_ns();
            if (c.first_ns == 0) c.first_ns = t;
            c.last_ns = t;
            count_chunk(c, buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR || errno == EAGAIN) continue;
        std::fprintf(stderr, "zel_count_reader: recv: %s\n", std::strerror(errno));
        end = "error";
        status = 1;
        break;
    }
    std::printf("records=%llu bytes=%llu partial=%llu end=%s first_ns=%lld last_ns=%lld\n",
                c.records, c.bytes, c.partial, end, c.first_ns, c.last_ns);
    std::fflush(stdout);
    return status;
}
