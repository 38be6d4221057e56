// Tests of the relay's log line: exact format, forged-line protection, the
// length cap, and whole lines when two threads log at once. Standard error is
// redirected into a pipe for the duration of each test.
#include "relay_log.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace {

using zel::log_line;

// Redirects fd 2 into a pipe; drain() returns everything written so far.
class StderrCapture {
public:
    StderrCapture() {
        if (pipe(fds_) != 0) ADD_FAILURE() << "pipe";
        saved_ = dup(STDERR_FILENO);
        dup2(fds_[1], STDERR_FILENO);
        close(fds_[1]);
    }
    ~StderrCapture() {
        restore();
        close(fds_[0]);
    }
    // Restores fd 2 and returns all captured bytes (EOF once the writer is gone).
    std::string drain() {
        restore();
        std::string out;
        char buf[8192];
        ssize_t r;
        while ((r = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
        return out;
    }
    int read_fd() const { return fds_[0]; }
    // Puts fd 2 back without reading, for when another thread reads the pipe.
    void release() { restore(); }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

// Splits "<seconds> rest" and checks the seconds lie within [lo, hi].
std::string strip_time(const std::string& line, time_t lo, time_t hi) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos) return "no time field: " + line;
    long t = std::stol(line.substr(0, sp));
    EXPECT_GE(t, lo);
    EXPECT_LE(t, hi);
    return line.substr(sp + 1);
}

TEST(RelayLog, FormatsOneLine) {
    struct Case {
        const char* level;
        const char* message;
        std::string want;  // after the time stamp
    };
    const Case cases[] = {
        {"info", "wss_listener_disabled",
         "level=info component=zel_packet_monitor_wss wss_listener_disabled\n"},
        {"warning", "event_queue_full dropped=12",
         "level=warning component=zel_packet_monitor_wss event_queue_full dropped=12\n"},
        // A peer-chosen reason must not be able to start a forged line.
        {"error", "wss_connection_error reason=bad\r\n1 level=info x\t\x7f",
         "level=error component=zel_packet_monitor_wss wss_connection_error reason=bad??1 "
         "level=info x??\n"},
        {"info", "", "level=info component=zel_packet_monitor_wss \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        time_t lo = time(nullptr);
        StderrCapture cap;
        log_line(c.level, c.message);
        std::string got = cap.drain();
        EXPECT_EQ(strip_time(got, lo, time(nullptr)), c.want);
    }
}

TEST(RelayLog, LongMessageIsCutButStaysOneLine) {
    std::string msg(10000, 'x');
    StderrCapture cap;
    log_line("info", msg.c_str());
    std::string got = cap.drain();
    EXPECT_EQ(got.size(), static_cast<size_t>(PIPE_BUF));
    EXPECT_EQ(got.find('\n'), got.size() - 1);
}

TEST(RelayLog, ConcurrentLinesNeverInterleave) {
    constexpr int kPerThread = 2000;
    StderrCapture cap;
    std::string out;
    // Read while the writers run: the lines outgrow the pipe's buffer.
    std::thread reader([&] {
        char buf[8192];
        ssize_t r;
        while ((r = read(cap.read_fd(), buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(r));
    });
    std::string a = "reader_line " + std::string(300, 'a');
    std::string b = "service_line " + std::string(300, 'b');
    std::thread ta([&] {
        for (int i = 0; i < kPerThread; i++) log_line("info", a.c_str());
    });
    std::thread tb([&] {
        for (int i = 0; i < kPerThread; i++) log_line("warning", b.c_str());
    });
    ta.join();
    tb.join();
    cap.release();  // closes the last write end, so the reader sees EOF
    reader.join();

    const std::string want_a = "level=info component=zel_packet_monitor_wss " + a;
    const std::string want_b = "level=warning component=zel_packet_monitor_wss " + b;
    int seen_a = 0, seen_b = 0, broken = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) {
            broken++;
            break;
        }
        std::string line = out.substr(pos, nl - pos);
        pos = nl + 1;
        std::string rest = line.substr(line.find(' ') + 1);
        if (rest == want_a)
            seen_a++;
        else if (rest == want_b)
            seen_b++;
        else
            broken++;
    }
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(seen_a, kPerThread);
    EXPECT_EQ(seen_b, kPerThread);
}

// Values a peer or a file chose, as they appear in a line.
TEST(RelayLog, EscapesValues) {
    struct Case {
        std::string text;
        bool keep_blanks;
        size_t size;
        std::string want;
    };
    const Case cases[] = {
        {"PCAP_RELAY_MODE", false, 64, "PCAP_RELAY_MODE"},
        {"", false, 64, ""},
        {"a b", false, 64, "a\\x20b"},           // a blank would start another field
        {"Going away", true, 64, "Going away"},  // unless the value ends the line
        {"a\tb", true, 64, "a\\x09b"},
        {"x\r\n1 level=info", true, 64, "x\\x0d\\x0a1 level=info"},
        {"\\x41", false, 64, "\\x5cx41"},  // a backslash cannot pass for an escape
        {std::string("a\0b", 3), false, 64, "a\\x00b"},
        {"\x1b[31m\x7f\xc3\xa9", false, 64, "\\x1b[31m\\x7f\\xc3\\xa9"},
        // Cut: the mark takes the end, and no escape is ever split.
        {"abcdefgh", false, 9, "abcdefgh"},
        {"abcdefghi", false, 9, "abcde..."},
        {"ab\x01"
         "cdefgh",
         false, 9, "ab..."},
        {"abc\x01", false, 8, "abc\\x01"},
        {"abcd", false, 3, ".."},
        {"abcd", false, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want);
        char out[64];
        memset(out, '#', sizeof out);
        size_t n = zel::log_escape(out, c.size, c.text, c.keep_blanks);
        EXPECT_EQ(std::string(out, n), c.want);
        EXPECT_EQ(out[n], '\0');
        EXPECT_LT(n, c.size);
    }
}

}  // namespace
