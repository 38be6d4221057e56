// Line cutting of the event stream and the reader's reporting of the log's drops.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "relay_reader.hpp"

namespace {

using namespace zel;
using namespace zel::reader;

using Lines = std::vector<std::string>;

void collect(void* arg, const unsigned char* line, size_t len) {
    static_cast<Lines*>(arg)->emplace_back(reinterpret_cast<const char*>(line), len);
}

// The cutter is too large for a test's stack frame.
std::unique_ptr<line_cutter> new_cutter() {
    auto c = std::make_unique<line_cutter>();
    line_cutter_reset(c.get());
    return c;
}

Lines cut(const std::vector<std::string>& chunks) {
    auto c = new_cutter();
    Lines out;
    for (const std::string& chunk : chunks)
        line_cutter_feed(c.get(), reinterpret_cast<const unsigned char*>(chunk.data()),
                         chunk.size(), collect, &out);
    return out;
}

const std::string longest(kMaxLine, 'x');
const std::string too_long(kMaxLine + 1, 'y');

struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines want;
};

TEST(LineCutter, CutsTrimsAndSkipsAsReceivesArrive) {
    const std::vector<Case> cases = {
        {"crlf", {"a\r\n"}, {"a"}},
        {"lf", {"a\n"}, {"a"}},
        {"only crlf or lf", {"\r\n\n\r\r\n"}, {}},
        {"several in one receive", {"one\ntwo\r\nthree\n"}, {"one", "two", "three"}},
        {"split over receives", {"sp", "li", "t\n"}, {"split"}},
        {"cr and lf in different receives", {"a\r", "\nb\n"}, {"a", "b"}},
        {"every trailing cr removed", {"a\r\r\r\n"}, {"a"}},
        {"inner cr and leading space kept", {" a\rb \n"}, {" a\rb "}},
        {"nul bytes are data", {std::string("a\0b\n", 4)}, {std::string("a\0b", 3)}},
        {"unfinished line never delivered", {"done\nhalf"}, {"done"}},
        {"longest line whole", {longest + "\n"}, {longest}},
        {"longest line in pieces",
         {longest.substr(0, 1000), longest.substr(1000), "\n"},
         {longest}},
        {"over-long line skipped to its newline", {too_long + "tail\nnext\n"}, {"next"}},
        {"over-long line trickling in",
         {too_long.substr(0, 7), too_long.substr(7), "more\n", "ok\n"},
         {"ok"}},
        {"twice the buffer without newline", {too_long + too_long + "\nafter\n"}, {"after"}},
        {"line before an over-long one", {"first\n" + too_long + "\nlast\n"}, {"first", "last"}},
    };
    for (const Case& c : cases) EXPECT_EQ(cut(c.chunks), c.want) << c.name;
}

TEST(LineCutter, ResetLosesThePartialLine) {
    auto c = new_cutter();
    Lines out;
    std::string a = "partial";
    line_cutter_feed(c.get(), reinterpret_cast<const unsigned char*>(a.data()), a.size(), collect,
                     &out);
    line_cutter_reset(c.get());
    std::string b = "fresh\n";
    line_cutter_feed(c.get(), reinterpret_cast<const unsigned char*>(b.data()), b.size(), collect,
                     &out);
    EXPECT_EQ(out, Lines{"fresh"});
}

// The rule stated on whole streams: every newline ends a segment; a segment
// that could not fit the buffer (262,145 bytes or more) is dropped, the others
// lose their trailing CRs and count when something is left; an unterminated
// tail is never a line.
Lines reference(const std::string& stream) {
    Lines out;
    size_t start = 0;
    for (size_t nl; (nl = stream.find('\n', start)) != std::string::npos; start = nl + 1) {
        size_t end = nl;
        if (end - start >= kBufferSize) continue;
        while (end > start && stream[end - 1] == '\r') --end;
        if (end > start) out.push_back(stream.substr(start, end - start));
    }
    return out;
}

// However a stream is chopped into receives, the same lines come out, and they
// are the lines of the whole-stream rule.
TEST(LineCutter, ChunkingDoesNotChangeTheLines) {
    std::mt19937 rng(7);
    std::string stream;
    for (int i = 0; i < 60; ++i) {
        switch (rng() % 6) {
        case 0:
            stream += "\r\n";
            break;
        case 1:
            stream += std::string(rng() % 70000, 'L') + "\n";
            break;
        case 2:
            stream += too_long.substr(0, kMaxLine - rng() % 3) + "\r\n";
            break;
        case 3:
            stream += too_long + std::string(rng() % 5000, 'z') + "\n";
            break;
        case 4:
            stream += std::string(kMaxLine - 1 + rng() % 3, 'e') + "\n";
            break;
        default:
            stream += "{\"n\":" + std::to_string(i) + "}\n";
            break;
        }
    }
    Lines whole = cut({stream});
    ASSERT_EQ(whole, reference(stream));
    for (int round = 0; round < 10; ++round) {
        std::vector<std::string> chunks;
        for (size_t at = 0; at < stream.size();) {
            size_t n = 1 + rng() % (round % 2 ? 61 : 300000);
            chunks.push_back(stream.substr(at, n));
            at += n;
        }
        ASSERT_EQ(cut(chunks), whole) << "round " << round;
    }
}

// queue_line against a real log that an upstream reads (so releases count
// as dropped); no context, so no wake-up is attempted.
class QueueLine : public ::testing::Test {
protected:
    void TearDown() override {
        line_log_detach(log, upstream);
        line_log_destroy(log);
    }

    void start(size_t events, size_t bytes) {
        ASSERT_EQ(line_log_init(log, events, bytes, boot_id{}), 0);
        upstream.lossy = true;
        line_log_attach(log, upstream, 1);
        f.log = &log;
    }

    std::string push_all(const std::vector<std::string>& lines) {
        testing::internal::CaptureStderr();
        for (const std::string& l : lines)
            queue_line(&f, reinterpret_cast<const unsigned char*>(l.data()), l.size());
        return testing::internal::GetCapturedStderr();
    }

    uint64_t dropped() const { return line_log_read_counters(log).dropped; }
    uint64_t held() const {
        const log_range r = line_log_range(log);
        return r.next - r.first;
    }

    // The log lines without their time stamps.
    static std::vector<std::string> events(const std::string& err) {
        std::vector<std::string> out;
        size_t at = 0;
        while (at < err.size()) {
            size_t nl = err.find('\n', at);
            std::string line = err.substr(at, nl - at);
            at = nl == std::string::npos ? err.size() : nl + 1;
            out.push_back(line.substr(line.find(' ') + 1));
        }
        return out;
    }

    line_log log;
    log_consumer upstream;
    feed f{};
};

TEST_F(QueueLine, ReportsDropsAtOneAndEveryThousand) {
    start(1, 1000);
    std::vector<std::string> lines(2501, "e");
    std::vector<std::string> want = {
        "level=warning component=zel_packet_monitor_wss event_queue_full dropped=1",
        "level=warning component=zel_packet_monitor_wss event_queue_full dropped=1000",
        "level=warning component=zel_packet_monitor_wss event_queue_full dropped=2000",
    };
    EXPECT_EQ(events(push_all(lines)), want);
    EXPECT_EQ(dropped(), 2500u);
    EXPECT_EQ(held(), 1u);
}

TEST_F(QueueLine, DropCountJumpingOverAThousandIsNotReported) {
    // 1005 one-byte lines into 995 places drop 10; one line of the whole byte
    // limit then drops the other 995 at once, so the count goes 10 -> 1005.
    start(995, 1000);
    std::vector<std::string> first(1005, "a");
    std::string err = push_all(first);  // 10 dropped: reported once, at 1
    ASSERT_EQ(dropped(), 10u);
    err = push_all({std::string(1000, 'b')});
    EXPECT_EQ(dropped(), 1005u);
    EXPECT_EQ(err, "");
}

TEST_F(QueueLine, LineOverTheByteLimitIsReportedAndSkipped) {
    start(10, 8);
    std::vector<std::string> want = {
        "level=error component=zel_packet_monitor_wss event_queue_allocation_failed",
    };
    EXPECT_EQ(events(push_all({"keep", "123456789", "kept"})), want);
    EXPECT_EQ(held(), 2u);
    EXPECT_EQ(dropped(), 0u);
}

}  // namespace
