// Event socket: creation, mode and removal of the socket file, the client
// slot table, and delivery to fast, slow, departed and surplus clients.
#include "event_socket.hpp"
#include "unique_fd.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

// Stands in for libc's chmod in this test program so that the test can see
// the socket file's mode in the moment before open_socket narrows it.
namespace {
mode_t mode_before_chmod = 07777;
}

extern "C" int chmod(const char* path, mode_t mode) noexcept {
    struct stat st;
    if (stat(path, &st) == 0) mode_before_chmod = st.st_mode & 07777;
    return fchmodat(AT_FDCWD, path, mode, 0);
}

namespace {

using zel::unique_fd;

class EventSocket : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel-evsock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/events.sock";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    static unique_fd connect_to(const std::string& path) {
        unique_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return unique_fd();
        return fd;
    }

    // What arrives until `limit` bytes are in, end of stream, or nothing
    // more comes for a short while.
    static std::string read_available(int fd, bool* eof = nullptr, int wait_ms = 200,
                                      std::size_t limit = SIZE_MAX) {
        std::string got;
        while (got.size() < limit) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, wait_ms) <= 0) return got;
            char buf[65536];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (eof != nullptr) *eof = true;
                return got;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    static int used_slots(const zel::event_socket& events) {
        int n = 0;
        for (int slot = 0; slot < zel::kMaxClients; ++slot) n += events.client(slot) >= 0;
        return n;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(EventSocket, SocketFileModeIs0660WhateverTheUmask) {
    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(077)}) {
        SCOPED_TRACE(mask);
        const mode_t before = umask(mask);
        mode_before_chmod = 07777;
        zel::event_socket events;
        const int rc = events.open_socket(path_.c_str());
        const mode_t after = umask(before);
        ASSERT_EQ(rc, 0) << std::strerror(errno);
        // Between bind and chmod nobody but the owner may connect.
        EXPECT_EQ(mode_before_chmod & 0177, 0u) << std::oct << mode_before_chmod;
        EXPECT_EQ(after, mask) << "umask must be restored";
        struct stat st;
        ASSERT_EQ(stat(path_.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0660u);
        EXPECT_NE(fcntl(events.listener(), F_GETFL) & O_NONBLOCK, 0);
    }
}

TEST_F(EventSocket, PathLengthLimit) {
    // 107 bytes is the longest path that fits with its NUL.
    std::string ok = dir_ + "/";
    ok += std::string(107 - ok.size(), 'p');
    ASSERT_EQ(ok.size(), 107u);
    zel::event_socket events;
    EXPECT_EQ(events.open_socket(ok.c_str()), 0) << std::strerror(errno);
    EXPECT_TRUE(connect_to(ok).valid());

    // One byte more fails before anything at that path is touched.
    std::string too_long = ok + "q";
    unique_fd file(open(too_long.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_TRUE(file.valid());
    errno = 0;
    zel::event_socket other;
    EXPECT_EQ(other.open_socket(too_long.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    struct stat st;
    ASSERT_EQ(stat(too_long.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(EventSocket, ReplacesFileAndReportsMissingDirectory) {
    unique_fd file(open(path_.c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_TRUE(file.valid());
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0) << std::strerror(errno);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    errno = 0;
    zel::event_socket other;
    EXPECT_EQ(other.open_socket((dir_ + "/missing/events.sock").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A daemon stuck with a full backlog is still alive: its path is refused
// at once rather than waited on or taken over.
TEST_F(EventSocket, ListenerWithFullBacklogKeepsItsPath) {
    unique_fd live(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(live.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(live.get(), 0), 0);
    std::vector<unique_fd> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.emplace_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        if (::connect(waiting.back().get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            break;
    }
    ASSERT_EQ(errno, EAGAIN) << "the backlog never filled";
    struct stat before, after;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);

    errno = 0;
    zel::event_socket events;
    EXPECT_EQ(events.open_socket(path_.c_str()), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// The socket file goes when the object closes or is destroyed, but only
// while it is still the one the object made: a file put in its place since
// stays. Clients see end of stream either way.
TEST_F(EventSocket, ClosingRemovesOnlyItsOwnFile) {
    struct Case {
        const char* name;
        bool replaced;
        bool destroyed;  // otherwise close()d, twice
    };
    const Case cases[] = {
        {"closed", false, false},
        {"destroyed", false, true},
        {"closed after the file was replaced", true, false},
        {"destroyed after the file was replaced", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unique_fd peer;
        {
            zel::event_socket events;
            ASSERT_EQ(events.open_socket(path_.c_str()), 0);
            peer = connect_to(path_);
            EXPECT_EQ(events.accept_clients(), 0);
            ASSERT_EQ(used_slots(events), 1);
            if (c.replaced) {
                ASSERT_EQ(unlink(path_.c_str()), 0);
                unique_fd file(open(path_.c_str(), O_CREAT | O_WRONLY, 0600));
                ASSERT_TRUE(file.valid());
            }
            if (!c.destroyed) {
                events.close();
                events.close();
                EXPECT_EQ(events.listener(), -1);
                EXPECT_EQ(used_slots(events), 0);
            }
        }
        bool eof = false;
        EXPECT_EQ(read_available(peer.get(), &eof), "");
        EXPECT_TRUE(eof);
        struct stat st;
        const bool present = lstat(path_.c_str(), &st) == 0;
        EXPECT_EQ(present, c.replaced);
        if (present) {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            ASSERT_EQ(unlink(path_.c_str()), 0);
        }
    }
}

// An object serves one socket: a second open leaves the first as it was.
TEST_F(EventSocket, SecondOpenIsRefused) {
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0);
    const int listener = events.listener();
    errno = 0;
    EXPECT_EQ(events.open_socket((dir_ + "/other.sock").c_str()), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(events.listener(), listener);
    EXPECT_TRUE(connect_to(path_).valid());
    struct stat st;
    EXPECT_NE(lstat((dir_ + "/other.sock").c_str(), &st), 0);
}

TEST_F(EventSocket, Nonblock) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    unique_fd r(p[0]), w(p[1]);
    EXPECT_EQ(zel::nonblock(r.get()), 0);
    EXPECT_NE(fcntl(r.get(), F_GETFL) & O_NONBLOCK, 0);
    errno = 0;
    EXPECT_EQ(zel::nonblock(-1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(EventSocket, EveryClientGetsEveryRecordInOrder) {
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0);
    EXPECT_EQ(events.accept_clients(), 0);  // idle: returns at once
    EXPECT_EQ(used_slots(events), 0);

    unique_fd a = connect_to(path_);
    unique_fd b = connect_to(path_);
    events.publish("lost");  // before accept: nobody gets it
    EXPECT_EQ(events.accept_clients(), 0);
    EXPECT_EQ(used_slots(events), 2);
    for (int slot = 0; slot < zel::kMaxClients; ++slot) {
        if (events.client(slot) >= 0) {
            EXPECT_NE(fcntl(events.client(slot), F_GETFL) & O_NONBLOCK, 0);
        }
    }
    events.publish("{\"n\":1}");
    events.publish(std::string_view("{\"n\":2}xx", 7));
    EXPECT_EQ(read_available(a.get()), "{\"n\":1}\n{\"n\":2}\n");
    EXPECT_EQ(read_available(b.get()), "{\"n\":1}\n{\"n\":2}\n");
}

// The records of one dispatch are gathered and leave together at flush:
// nothing before it, whole lines in order after it, and a batch larger than
// the gathering buffer goes out in order too.
TEST_F(EventSocket, QueuedRecordsLeaveTogetherAtFlush) {
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0);
    events.queue("nobody");  // no client: counted, not kept
    unique_fd a = connect_to(path_);
    EXPECT_EQ(events.accept_clients(), 0);
    events.queue("a");
    events.queue("bb");
    EXPECT_EQ(read_available(a.get()), "");
    events.flush();
    EXPECT_EQ(read_available(a.get()), "a\nbb\n");
    events.flush();  // nothing gathered: nothing sent
    EXPECT_EQ(read_available(a.get()), "");

    const std::string big(100000, 'x');
    std::string want;
    for (int i = 0; i < 12; ++i) {  // 1.2 MB: more than one batch
        const std::string line = std::to_string(i) + big;
        events.queue(line);
        want += line + "\n";
    }
    events.flush();
    EXPECT_EQ(read_available(a.get()), want);
    EXPECT_EQ(events.records(), 15u);
    EXPECT_EQ(events.clients_cut(), 0u);
}

TEST_F(EventSocket, SurplusClientIsClosedAndFreedSlotsAreReused) {
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0);
    std::vector<unique_fd> peers;
    // Accept as we go: a blocking connect waits once the backlog of 16 is full.
    for (int i = 0; i < zel::kMaxClients + 1; ++i) {
        peers.push_back(connect_to(path_));
        if (i % 8 == 7 || i == zel::kMaxClients) events.accept_clients();
    }
    EXPECT_EQ(used_slots(events), zel::kMaxClients);

    bool eof = false;
    EXPECT_EQ(read_available(peers.back().get(), &eof), "");
    EXPECT_TRUE(eof) << "33rd client must see end of stream at once";
    EXPECT_EQ(events.clients_refused(), 1u);

    // Departed clients keep their slots until a publish fails on them.
    peers[3].reset();
    peers[7].reset();
    unique_fd late = connect_to(path_);
    events.accept_clients();
    eof = false;
    EXPECT_EQ(read_available(late.get(), &eof), "");
    EXPECT_TRUE(eof);

    events.publish("r");  // must not raise SIGPIPE
    EXPECT_EQ(events.client(3), -1);
    EXPECT_EQ(events.client(7), -1);
    EXPECT_EQ(used_slots(events), zel::kMaxClients - 2);
    EXPECT_EQ(events.connected(), zel::kMaxClients - 2);
    EXPECT_EQ(events.clients_refused(), 2u);
    EXPECT_EQ(events.clients_cut(), 0u) << "clients that left lost nothing";

    unique_fd next = connect_to(path_);
    events.accept_clients();
    EXPECT_GE(events.client(3), 0) << "lowest free slot first";
    EXPECT_EQ(events.client(7), -1);
    events.publish("s");
    EXPECT_EQ(read_available(next.get()), "s\n");
    EXPECT_EQ(read_available(peers[0].get()), "r\ns\n");
}

// A client that stops reading is dropped once its buffer cannot take a
// record; it has seen a prefix of the stream, then end of stream. The
// reading client loses nothing.
TEST_F(EventSocket, SlowClientIsDroppedOthersKeepEverything) {
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0);
    unique_fd fast = connect_to(path_);
    unique_fd slow = connect_to(path_);
    events.accept_clients();
    ASSERT_EQ(used_slots(events), 2);

    std::string expected;
    // Well past what the widened send buffer of the slow client holds.
    constexpr int kRecords = 2000;
    for (int i = 0; i < kRecords; ++i) {
        std::string rec = std::to_string(i) + ":" + std::string(8000, 'a' + i % 26);
        events.publish(rec);
        expected += rec + "\n";
        ASSERT_EQ(read_available(fast.get(), nullptr, 2000, rec.size() + 1), rec + "\n")
            << "record " << i;
    }
    EXPECT_EQ(used_slots(events), 1);
    EXPECT_EQ(events.clients_cut(), 1u);
    EXPECT_EQ(events.records(), static_cast<std::uint64_t>(kRecords));

    bool eof = false;
    std::string seen = read_available(slow.get(), &eof);
    EXPECT_TRUE(eof);
    ASSERT_GT(seen.size(), 0u);
    EXPECT_LT(seen.size(), expected.size());
    EXPECT_EQ(expected.compare(0, seen.size(), seen), 0) << "slow client saw a prefix";
}

TEST_F(EventSocket, ClientThatIsLateToReadRidesOutABurst) {
    // libpcap delivers frames a ring block at a time, so records leave in
    // bursts; a reader that is not scheduled for a moment must find them
    // all waiting, not be cut off after the first few dozen.
    zel::event_socket events;
    ASSERT_EQ(events.open_socket(path_.c_str()), 0);
    unique_fd late = connect_to(path_);
    events.accept_clients();
    ASSERT_EQ(used_slots(events), 1);

    std::string expected;
    constexpr int kBurst = 1000;  // 2 MB, some fifty times the default buffer's share
    for (int i = 0; i < kBurst; ++i) {
        std::string rec = std::to_string(i) + ":" + std::string(2000, 'a' + i % 26);
        events.publish(rec);
        expected += rec + "\n";
    }
    EXPECT_EQ(used_slots(events), 1) << "the late reader was cut off";
    bool eof = false;
    EXPECT_EQ(read_available(late.get(), &eof, 200, expected.size()), expected);
    EXPECT_FALSE(eof);
}

}  // namespace

namespace {

// A client that has gone leaves its slot at the next drop_departed, with no
// record sent; one that only shut its own writing side still reads, and
// stays.
TEST_F(EventSocket, DepartedClientsLeaveWithoutARecord) {
    struct Case {
        const char* name;
        int how;  // -1: close; otherwise the shutdown() direction
        int want_connected;
    };
    const Case cases[] = {
        {"closed", -1, 0},
        {"shut both ways", SHUT_RDWR, 0},
        {"shut its writing side", SHUT_WR, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zel::event_socket events;
        ASSERT_EQ(events.open_socket(path_.c_str()), 0);
        unique_fd client = connect_to(path_);
        ASSERT_TRUE(client.valid());
        ASSERT_EQ(events.accept_clients(), 0);
        ASSERT_EQ(events.connected(), 1);
        EXPECT_EQ(events.drop_departed(), 0);  // still there
        if (c.how < 0)
            client.reset();
        else
            ASSERT_EQ(::shutdown(client.get(), c.how), 0);
        events.drop_departed();
        EXPECT_EQ(events.connected(), c.want_connected);
        EXPECT_EQ(used_slots(events), c.want_connected);
        EXPECT_EQ(events.records(), 0u);
        EXPECT_EQ(events.clients_cut(), 0u);
        events.close();
    }
}

// --client-buffer reaches every client accepted after it is set; the
// kernel reports twice what was asked (its bookkeeping share). Tests run as
// root, so SO_SNDBUFFORCE passes net.core.wmem_max.
TEST_F(EventSocket, SendBufferIsWhatWasSet) {
    for (const std::size_t bytes : {std::size_t{1} << 20, zel::kClientSendBuffer,
                                    std::size_t{64} << 20}) {
        SCOPED_TRACE(bytes);
        zel::event_socket events;
        if (bytes != zel::kClientSendBuffer) events.set_send_buffer(bytes);
        ASSERT_EQ(events.open_socket(path_.c_str()), 0);
        unique_fd client = connect_to(path_);
        ASSERT_EQ(events.accept_clients(), 0);
        int got = 0;
        socklen_t len = sizeof got;
        ASSERT_EQ(getsockopt(events.client(0), SOL_SOCKET, SO_SNDBUF, &got, &len), 0);
        EXPECT_EQ(static_cast<std::size_t>(got), 2 * bytes);
        events.close();
    }
}

}  // namespace
