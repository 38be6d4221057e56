// One log line per call, built in a buffer and handed to write(2) at once.
// The buffer is no larger than PIPE_BUF so that, when standard error is a
// pipe (a service manager, a test harness), the kernel keeps each line whole
// even while the reader thread and the service thread log at the same moment.
#include "relay_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

namespace zel {

namespace {

constexpr size_t kLineMax = PIPE_BUF;

// Some messages carry text that a peer chose (a close reason, an error text);
// a CR or LF there would forge a second log line, so control bytes are shown
// as '?'. Plain text passes unchanged.
constexpr bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

}  // namespace

size_t log_escape(char* out, size_t size, std::string_view text, bool keep_blanks) {
    if (size == 0) return 0;
    auto plain = [keep_blanks](unsigned char c) {
        return (c > 0x20 && c < 0x7F && c != '\\') || (keep_blanks && c == ' ');
    };
    // Measure first: only a text that cannot fit gives up room for the mark.
    size_t whole = 0;
    for (char ch : text) whole += plain(static_cast<unsigned char>(ch)) ? 1 : 4;
    constexpr std::string_view kCut = "...";
    const size_t room = size - 1;
    const bool cut = whole > room;
    const size_t limit = !cut ? room : room > kCut.size() ? room - kCut.size() : 0;

    static constexpr char kHex[] = "0123456789abcdef";
    size_t n = 0;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (n + (plain(c) ? 1 : 4) > limit) break;
        if (plain(c)) {
            out[n++] = ch;
        } else {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = kHex[c >> 4];
            out[n++] = kHex[c & 0xF];
        }
    }
    for (size_t k = 0; cut && k < kCut.size() && n < room; k++) out[n++] = kCut[k];
    out[n] = '\0';
    return n;
}

void log_line(const char* level, const char* message) {
    if (level == nullptr) level = "";
    if (message == nullptr) message = "";

    char line[kLineMax];
    int head = snprintf(line, sizeof line, "%ld level=%s component=zel_packet_monitor_wss ",
                        static_cast<long>(time(nullptr)), level);
    if (head < 0) return;
    size_t n = static_cast<size_t>(head);
    if (n > sizeof line - 1) n = sizeof line - 1;  // an absurd level; keep room for '\n'

    // A message too long for one atomic write is cut, never split in two.
    for (const char* p = message; *p != '\0' && n < sizeof line - 1; p++)
        line[n++] = is_control(static_cast<unsigned char>(*p)) ? '?' : *p;
    line[n++] = '\n';

    size_t off = 0;
    while (off < n) {
        ssize_t w = write(STDERR_FILENO, line + off, n - off);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report a failing standard error
        }
        off += static_cast<size_t>(w);
    }
}

}  // namespace zel
