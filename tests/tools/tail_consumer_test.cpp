// What zel_tail prints and keeps: the table line against the demo
// subscriber's columns, the consumer over whole message sequences (output,
// gap lines, exit statuses, skipped repeats), and the position file's
// atomic replacement and refusals.
#include "tail_consumer.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "tail_state.hpp"
#include "tail_table.hpp"

namespace {

using namespace zel::tail;

const std::string kBoot = "0123456789abcdef0123456789abcdef";
const std::string kOther = "ffffffffffffffffffffffffffffffff";

// A record as the daemon writes it, with label and call_id given.
std::string record(const std::string& label, const std::string& call_id,
                   const std::string& from = "1001", const std::string& to = "1002") {
    return R"({"type":"sip.message","switch_id":"sw","timestamp_ms":1796635423059,"call_id":")" +
           call_id + R"(","source":"127.0.0.1:5062","destination":"127.0.0.1:5060","from":")" +
           from + R"(","to":")" + to + R"(","label":")" + label +
           R"(","method":"","status":"","cseq":"1 INVITE","raw":""})";
}

class TailTable : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

struct TableCase {
    std::string event, want;
};

TEST_F(TailTable, ColumnsOfTheDemoSubscriber) {
    const std::string arrow = " \u2192 ";
    const std::string ends = "09:23:43.059  127.0.0.1:5062" + arrow + "127.0.0.1:5060  ";
    const TableCase cases[] = {
        {record("INVITE", "a84b@pc33"),
         ends + "INVITE     a84b@pc33                  1001" + arrow + "1002"},
        {record("200", "c", "", ""),
         ends + "200        c                          -" + arrow + "-"},
        // Wider than the column: nothing is cut.
        {record("VERYLONGMETHOD", std::string(30, 'x')),
         ends + "VERYLONGMETHOD " + std::string(30, 'x') + " 1001" + arrow + "1002"},
        // Control characters (C0, DEL, C1) shown as \xNN and counted as four.
        {record("A\\u0001\\u007f", "\\u001b[2J\\u0085"),
         ends + "A\\x01\\x7f  \\x1b[2J\\x85                1001" + arrow + "1002"},
        // Padding counts characters, not bytes (the expected lines are what the
        // demo subscriber prints for the same records, TZ=UTC).
        {record("\\u00e9", "\\u00e9\\u00e9"), ends + "\xc3\xa9          \xc3\xa9\xc3\xa9" +
                                                  std::string(24, ' ') + " 1001" + arrow + "1002"},
        {R"("a plain line")", R"(unreadable event (not a JSON object): "a plain line")"},
        {R"({"timestamp_ms":"1"})",
         R"(unreadable event (no integer timestamp_ms): {"timestamp_ms":"1"})"},
        {R"({"timestamp_ms":1,"source":"s","destination":"d","label":"l","call_id":"c","from":"f"})",
         R"(unreadable event (no string to): {"timestamp_ms":1,"source":"s","destination":"d","label":"l","call_id":"c","from)"},
        {R"({"timestamp_ms":1,"source":1})",
         R"(unreadable event (no string source): {"timestamp_ms":1,"source":1})"},
    };
    for (const TableCase& c : cases) {
        std::string out;
        table_line(c.event, out);
        EXPECT_EQ(out, c.want) << c.event;
    }
}

// The consumer's streams, in memory.
struct captured {
    char* out_buf = nullptr;
    size_t out_len = 0;
    char* err_buf = nullptr;
    size_t err_len = 0;
    FILE* out = open_memstream(&out_buf, &out_len);
    FILE* err = open_memstream(&err_buf, &err_len);
    ~captured() {
        std::fclose(out);
        std::fclose(err);
        std::free(out_buf);
        std::free(err_buf);
    }
    std::string text(FILE* f, char*& buf, size_t& len) {
        std::fflush(f);
        return std::string(buf, len);
    }
    std::string stdout_text() { return text(out, out_buf, out_len); }
    std::string stderr_text() { return text(err, err_buf, err_len); }
};

std::string ev(const std::string& boot, int seq, const std::string& event = "{}") {
    return R"({"seq":)" + std::to_string(seq) + R"(,"boot":")" + boot + R"(","event":)" + event +
           "}";
}

std::string gap(const std::string& boot, int from, const std::string& to, const char* reason) {
    return R"({"gap":{"boot":")" + boot + R"(","from":)" + std::to_string(from) + R"(,"to":)" + to +
           R"(,"reason":")" + reason + R"("}})";
}

struct SequenceCase {
    const char* name;
    bool fail_on_gap;
    std::vector<std::string> messages;
    std::string want_out;
    std::string want_err;
    int want_status;  // of the last message
    uint64_t want_seq;
};

TEST(TailConsumer, MessageSequences) {
    const std::string g = "zel_tail: gap boot=";
    const SequenceCase cases[] = {
        {"in order",
         false,
         {ev(kBoot, 1, "{\"n\":1}"), ev(kBoot, 2, "\"two\"")},
         "{\"n\":1}\n\"two\"\n",
         "",
         0,
         2},
        {"repeats are skipped",
         false,
         {ev(kBoot, 1), ev(kBoot, 2), ev(kBoot, 2), ev(kBoot, 1)},
         "{}\n{}\n",
         "",
         0,
         2},
        {"expired notice",
         false,
         {ev(kBoot, 3), gap(kBoot, 4, "9", "expired"), ev(kBoot, 10)},
         "{}\n{}\n",
         g + kBoot + " from=4 to=9 reason=expired\n",
         0,
         10},
        {"restart notice",
         false,
         {ev(kBoot, 3), gap(kBoot, 4, "null", "restart"), ev(kOther, 1)},
         "{}\n{}\n",
         g + kBoot + " from=4 to=null reason=restart\n",
         0,
         1},
        {"unannounced jump",
         false,
         {ev(kBoot, 3), ev(kBoot, 7)},
         "{}\n{}\n",
         g + kBoot + " from=4 to=6 reason=unannounced\n",
         0,
         7},
        {"unannounced new run",
         false,
         {ev(kBoot, 3), ev(kOther, 1)},
         "{}\n{}\n",
         g + kBoot + " from=4 to=null reason=unannounced\n",
         0,
         1},
        {"fail on a notice",
         true,
         {ev(kBoot, 3), gap(kBoot, 4, "9", "expired")},
         "{}\n",
         g + kBoot + " from=4 to=9 reason=expired\n",
         kExitGap,
         3},
        {"fail on a jump, event held back",
         true,
         {ev(kBoot, 3), ev(kBoot, 5)},
         "{}\n",
         g + kBoot + " from=4 to=4 reason=unannounced\n",
         kExitGap,
         3},
    };
    for (const SequenceCase& c : cases) {
        captured io;
        consumer_options o;
        o.json = true;
        o.fail_on_gap = c.fail_on_gap;
        consumer sink(o, io.out, io.err);
        int status = 0;
        for (const std::string& text : c.messages) {
            message m{};
            const char* why = nullptr;
            ASSERT_EQ(parse_message(text, m, &why), 0) << c.name << ": " << text;
            status = sink.on_message(m);
        }
        EXPECT_EQ(sink.flush(0, true), 0);
        EXPECT_EQ(io.stdout_text(), c.want_out) << c.name;
        EXPECT_EQ(io.stderr_text(), c.want_err) << c.name;
        EXPECT_EQ(status, c.want_status) << c.name;
        EXPECT_EQ(sink.resume().seq, c.want_seq) << c.name;
    }
}

class TailState : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel-tail-state-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/pos";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2) out.push_back(e->d_name);
        closedir(d);
        return out;
    }
    void write(const std::string& text) { std::ofstream(path_) << text; }

    std::string dir_, path_;
};

TEST_F(TailState, SavedWholeAndReadBack) {
    position at{};
    std::string err;
    EXPECT_EQ(load_state(path_.c_str(), at, err), 1) << err;  // no file yet
    EXPECT_FALSE(at.known);
    ASSERT_TRUE(parse_boot(kBoot, at.boot));
    for (uint64_t seq : {1ull, 18446744073709551615ull, 7ull}) {
        at = {true, at.boot, seq};
        ASSERT_EQ(save_state(path_.c_str(), at, err), 0) << err;
        position back{};
        ASSERT_EQ(load_state(path_.c_str(), back, err), 0) << err;
        EXPECT_EQ(back.seq, seq);
        EXPECT_EQ(back.boot, at.boot);
    }
    std::ifstream f(path_);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, kBoot + ":7\n");
    // Only the file itself: no temporary left beside it.
    EXPECT_EQ(names(), std::vector<std::string>{"pos"});
}

TEST_F(TailState, HostilePathsAndContentsRefused) {
    struct Case {
        const char* name;
        std::string setup;  // shell command run in the folder
        std::string want;   // part of the sentence
    };
    const Case cases[] = {
        {"directory", "mkdir pos", "is a directory"},
        {"FIFO", "mkfifo pos", "is a FIFO"},
        {"symlink", "ln -s elsewhere pos", "is a symbolic link"},
        {"garbage", "printf 'hello\\n' > pos", "not a position"},
        {"seq 0", "printf '" + kBoot + ":0\\n' > pos", "not a position"},
        {"upper case", "printf '0123456789ABCDEF0123456789abcdef:1' > pos", "not a position"},
        {"two lines", "printf '" + kBoot + ":1\\n\\n' > pos", "not a position"},
        {"too large", "head -c 65 /dev/zero > pos", "too large"},
    };
    for (const Case& c : cases) {
        std::system(("rm -rf " + path_ + " && cd " + dir_ + " && " + c.setup).c_str());
        position at{};
        std::string err;
        EXPECT_EQ(load_state(path_.c_str(), at, err), -1) << c.name;
        EXPECT_NE(err.find(c.want), std::string::npos) << c.name << ": " << err;
        EXPECT_NE(err.find(path_), std::string::npos) << c.name << ": " << err;
        at = {true, {}, 1};
        ASSERT_TRUE(parse_boot(kBoot, at.boot));
        if (c.want.starts_with("is a")) {
            EXPECT_EQ(save_state(path_.c_str(), at, err), -1) << c.name;
            EXPECT_NE(err.find(c.want), std::string::npos) << c.name << ": " << err;
        }
    }
}

TEST_F(TailState, EmptyFileIsNoPositionAndAFolderThatTakesNoFileFailsAtLoad) {
    write("");
    position at{};
    std::string err;
    EXPECT_EQ(load_state(path_.c_str(), at, err), 1) << err;
    const std::string missing = dir_ + "/no/such/folder/pos";
    EXPECT_EQ(load_state(missing.c_str(), at, err), -1);
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
}

TEST_F(TailState, ConsumerSavesOnlyWhatItFlushedAtMostOnceASecond) {
    captured io;
    consumer_options o;
    o.json = true;
    o.state = path_.c_str();
    consumer sink(o, io.out, io.err);
    ASSERT_EQ(sink.load(), 0);
    message m{};
    const char* why = nullptr;
    for (int seq = 1; seq <= 3; ++seq) {
        const std::string text = ev(kBoot, seq);  // m points into it
        ASSERT_EQ(parse_message(text, m, &why), 0);
        ASSERT_EQ(sink.on_message(m), 0);
        ASSERT_EQ(sink.flush(10'000 + seq, false), 0);
    }
    position at{};
    std::string err;
    ASSERT_EQ(load_state(path_.c_str(), at, err), 0) << err;
    EXPECT_EQ(at.seq, 1u);  // the later flushes fell within the second
    ASSERT_EQ(sink.flush(10'004, true), 0);
    ASSERT_EQ(load_state(path_.c_str(), at, err), 0) << err;
    EXPECT_EQ(at.seq, 3u);

    // A new consumer on the same file resumes there and skips what it had.
    captured io2;
    consumer again(o, io2.out, io2.err);
    ASSERT_EQ(again.load(), 0);
    EXPECT_EQ(again.resume().seq, 3u);
    const std::string repeat = ev(kBoot, 3);
    ASSERT_EQ(parse_message(repeat, m, &why), 0);
    ASSERT_EQ(again.on_message(m), 0);
    EXPECT_EQ(io2.stdout_text(), "");
}

}  // namespace
