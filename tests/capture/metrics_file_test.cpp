// metrics_file: whatever stands in the folder (a FIFO, a link, a directory,
// at the file's name or at the old fixed temporary name) a write never
// blocks, never writes through a link, and leaves no temporary file; the
// file is 0644 whatever the umask; an empty text is refused.
#include "metrics_file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class MetricsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel-metrics-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/zel.prom";
        // A write that blocks ends the test program instead of hanging it.
        alarm(10);
    }
    void TearDown() override {
        alarm(0);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.emplace_back(e->d_name);
        closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }

    static std::string slurp(const std::string& p) {
        std::ifstream f(p);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    std::string dir_, path_;
};

enum class planted { fifo, symlink, directory };

TEST_F(MetricsFile, NothingPlantedBlocksOrRedirectsAWrite) {
    struct Case {
        const char* name;
        planted what;
        bool at_file;  // else at the old fixed temporary name PATH.tmp
        int want_rc;
        const char* want_step;
        int want_error;
    };
    const Case cases[] = {
        {"FIFO at PATH.tmp", planted::fifo, false, 0, nullptr, 0},
        {"link at PATH.tmp", planted::symlink, false, 0, nullptr, 0},
        {"directory at PATH.tmp", planted::directory, false, 0, nullptr, 0},
        {"FIFO at PATH", planted::fifo, true, 0, nullptr, 0},
        {"link at PATH", planted::symlink, true, 0, nullptr, 0},
        {"directory at PATH", planted::directory, true, -1, "rename", EISDIR},
    };
    const std::string text = "# HELP m m\n# TYPE m gauge\nm 1\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string at = c.at_file ? path_ : path_ + ".tmp";
        const std::string target = dir_ + "/target";
        std::ofstream(target) << "untouched";
        switch (c.what) {
        case planted::fifo:
            ASSERT_EQ(mkfifo(at.c_str(), 0666), 0);
            break;
        case planted::symlink:
            ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
            break;
        case planted::directory:
            ASSERT_EQ(mkdir(at.c_str(), 0777), 0);
            break;
        }
        zel::metrics_failure why{};
        const int rc = zel::write_metrics_file(path_.c_str(), text.data(), text.size(), &why);
        EXPECT_EQ(rc, c.want_rc);
        if (c.want_step != nullptr) {
            EXPECT_STREQ(why.step, c.want_step);
            EXPECT_EQ(why.error, c.want_error);
        } else {
            struct stat st;
            ASSERT_EQ(lstat(path_.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(slurp(path_), text);
        }
        EXPECT_EQ(slurp(target), "untouched");
        // Only what was there before, and the file: no temporary left.
        std::vector<std::string> want = {"target"};
        if (!c.at_file) want.push_back("zel.prom.tmp");
        if (c.at_file || rc == 0) want.push_back("zel.prom");
        std::sort(want.begin(), want.end());
        EXPECT_EQ(names(), want);
        std::string cmd = "rm -rf '" + dir_ + "'/*";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
}

// node_exporter reads the file as another account: 0644 under any umask,
// the services' 0007 among them.
TEST_F(MetricsFile, ModeIs0644WhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{0007}, mode_t{0077}, mode_t{0777}}) {
        SCOPED_TRACE(mask);
        const mode_t old = umask(mask);
        zel::metrics_failure why{};
        const int rc = zel::write_metrics_file(path_.c_str(), "m 1\n", 4, &why);
        umask(old);
        ASSERT_EQ(rc, 0);
        struct stat st;
        ASSERT_EQ(stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
}

// What a formatter returns when its buffer was too small must never pass
// for the figures: nothing is written, the file there stays.
TEST_F(MetricsFile, EmptyTextIsAFailureAndWritesNothing) {
    zel::metrics_failure why{};
    ASSERT_EQ(zel::write_metrics_file(path_.c_str(), "m 1\n", 4, &why), 0);
    EXPECT_EQ(zel::write_metrics_file(path_.c_str(), "", 0, &why), -1);
    EXPECT_STREQ(why.step, "format");
    EXPECT_EQ(why.error, ENOBUFS);
    EXPECT_EQ(slurp(path_), "m 1\n");
    EXPECT_EQ(names(), std::vector<std::string>{"zel.prom"});
}

}  // namespace
