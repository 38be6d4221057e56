// Event socket server of the capture daemon: an object that owns the
// listening Unix stream socket and its file, the 32 client slots and the
// life of every connection in them, and delivers records to all clients
// as newline-terminated lines.
//
// Promises: a client receives exactly the records published after it was
// accepted, in order, each once, each followed by one "\n". Nothing ever
// blocks: a client that cannot take a whole record and its newline at once
// is closed, and only the last bytes it saw before end of stream can be a
// partial record. Nothing is ever read from a client. The socket file is
// removed when the object closes, but only if it is still the one this
// object made.
//
// Threads: an object is used by one thread (the daemon's only one); there
// are no locks.
#pragma once

#include "unique_fd.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <sys/types.h>
#include <sys/un.h>

namespace zel {

inline constexpr int kMaxClients = 32;
inline constexpr int kListenBacklog = 16;
// Send buffer asked for on every accepted client unless set_send_buffer
// says otherwise, so that a reader that is briefly not scheduled is not cut
// off by a burst of records.
inline constexpr std::size_t kClientSendBuffer = 4u << 20;
// Lines gathered for one send to every client (one capture dispatch's
// records, usually far less); a record that does not fit sends what is
// gathered first. Larger than the longest line (114,689 bytes).
inline constexpr std::size_t kBatchBytes = 1u << 20;

// Adds O_NONBLOCK to the descriptor's status flags. Returns 0, or -1 when
// the flags cannot be read or written (errno set).
int nonblock(int fd);

class event_socket {
public:
    event_socket() = default;
    event_socket(const event_socket&) = delete;
    event_socket& operator=(const event_socket&) = delete;
    // Closes as close() does.
    ~event_socket() { close(); }

    // Creates the listening socket at `path`, non-blocking, backlog 16, file
    // mode 0660, and remembers the file it made. The file never has a wider
    // mode than 0600 between bind and chmod. If a process accepts
    // connections at `path` (or has a full backlog there), it keeps the
    // path: the call fails with EADDRINUSE and touches nothing. Any other
    // non-directory file there (a stale socket, a regular file) is removed
    // first. Returns 0, or -1 with errno from the failing step: a path of
    // more than 107 bytes fails with ENAMETOOLONG before the file system is
    // touched, a socket already open with EBUSY. A failed chmod is ignored.
    int open_socket(const char* path);

    // The send buffer asked for on clients accepted from now on (bytes,
    // at most INT_MAX); kClientSendBuffer until set.
    void set_send_buffer(std::size_t bytes) { send_buffer_ = bytes; }

    // The listening descriptor, to wait on for new clients; -1 when closed.
    int listener() const { return listener_.get(); }

    // Accepts every connection pending at this moment into the lowest free
    // slots, each non-blocking with the send buffer set (kClientSendBuffer) where
    // the system allows (smaller, or the default, where it does not); a
    // connection that finds all 32 slots taken is closed at once.
    // Returns when accept fails: 0 when nothing more is pending (EAGAIN),
    // -1 after any other failure, which is reported on standard error as
    // perror("accept"). The connection that could not be accepted stays
    // pending, so the listening socket stays readable: the caller should
    // pause before it tries again.
    int accept_clients();

    // Gathers `record` and "\n" for the next flush, which sends every line
    // gathered so far to every client in one system call each. A record
    // that would overflow the gathered lines (kBatchBytes) flushes them
    // first. Nothing is copied while no client is connected. The buffer is
    // allocated once, at the first call.
    void queue(std::string_view record);

    // Sends the gathered lines to every client, visiting the slots in index
    // order, each with one non-blocking send without SIGPIPE. A client that
    // takes less than all of them, or whose send fails, is closed and its
    // slot freed, silently; the others still get them. Every client that
    // stays therefore sees whole lines, in order.
    void flush();

    // Closes, silently, every client that has closed its connection (hung
    // up both ways), without sending anything: one poll() over the slots
    // in use, which never waits. A client that only shut its writing side
    // still reads, and stays. Returns how many were closed.
    int drop_departed();

    // queue then flush: one record to every client at once.
    void publish(std::string_view record) {
        queue(record);
        flush();
    }

    // Removes the socket file if it is still the one open_socket made (a
    // file put there since, by another daemon or by hand, stays), then
    // closes the listening socket and every client. Idempotent; failures
    // are silent.
    void close();

    // The descriptor of the client in `slot` (0 to 31), or -1 when the
    // slot is free.
    int client(int slot) const { return clients_[static_cast<std::size_t>(slot)].get(); }

    // What the socket has done since it was made, for the daemon's stats:
    // records published (with or without clients), clients connected now
    // (one that has left keeps its slot until the next publish or
    // drop_departed), clients
    // closed because they could not take a whole line (not those found to
    // have left), and connections closed at once because all 32 slots were
    // taken.
    std::uint64_t records() const { return records_; }
    int connected() const { return connected_; }
    std::uint64_t clients_cut() const { return cut_; }
    std::uint64_t clients_refused() const { return refused_; }

private:
    unique_fd listener_;
    std::array<unique_fd, kMaxClients> clients_;
    int connected_ = 0;  // valid slots in clients_, so a record need not look at all 32
    // The path and the file bound to it, recorded right after bind, so that
    // close removes that file and never one that has replaced it.
    char path_[sizeof(sockaddr_un::sun_path)] = "";
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool file_known_ = false;
    std::size_t send_buffer_ = kClientSendBuffer;
    std::unique_ptr<char[]> batch_;  // kBatchBytes, from the first queue()
    std::size_t batched_ = 0;        // bytes gathered in batch_
    std::uint64_t records_ = 0;
    std::uint64_t cut_ = 0;
    std::uint64_t refused_ = 0;
};

}  // namespace zel
