// Event socket server of the capture daemon: the listening Unix stream
// socket, the table of up to 32 connected clients, and delivery of event
// records to all of them as newline-terminated lines.
//
// Promises: a client receives exactly the records published after it was
// accepted, in order, each once, each followed by one "\n". Nothing ever
// blocks: a client that cannot take a whole record and its newline at once
// is closed, and only the last bytes it saw before end of stream can be a
// partial record. Nothing is ever read from a client.
//
// Threads: everything here runs on the daemon's single thread; there are no
// locks.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace zel {

inline constexpr int kMaxClients = 32;
inline constexpr int kListenBacklog = 16;
// Send buffer asked for on every accepted client, so that a reader that is
// briefly not scheduled is not cut off by a burst of records.
inline constexpr std::size_t kClientSendBuffer = 4u << 20;

// Client slot table: -1 for a free slot, otherwise a connected client's
// descriptor. New clients take the lowest free slot; publish visits the
// slots in index order. Starts all free; main frees it again before the
// socket is opened.
extern int clients[kMaxClients];

// The file a listening socket was bound to, recorded right after bind, so
// that its owner removes that file and never one that has replaced it.
struct socket_file {
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
};

// Creates the listening socket at `path`, non-blocking, backlog 16, file
// mode 0660, and records its file in `*bound` when `bound` is not null. The
// file never has a wider mode than 0600 between bind and chmod. If a
// process accepts connections at `path` (or has a full backlog there), it
// keeps the path: the call fails with EADDRINUSE and touches nothing. Any
// other non-directory file there (a stale socket, a regular file) is
// removed first.
// Returns the descriptor, or -1 with errno from the failing step: a path of
// more than 107 bytes fails with ENAMETOOLONG before the file system is
// touched. A failed chmod is ignored.
int open_socket(const char* path, socket_file* bound = nullptr);

// Removes `path` if it is still the file recorded in `bound`; a file put
// there since (by another daemon or by hand) is left in place, as is
// everything when `bound` is not known. Call it while the listening socket
// is still open: the socket keeps its file's inode, and so its number, from
// being reused. Failures are silent.
void remove_socket_file(const char* path, const socket_file& bound);

// Adds O_NONBLOCK to the descriptor's status flags. Returns 0, or -1 when
// the flags cannot be read or written (errno set).
int nonblock(int fd);

// Accepts every connection pending at this moment into the lowest free
// slots, each non-blocking with a send buffer of kClientSendBuffer where the
// system allows (smaller, or the default, where it does not); a connection
// that finds all 32 slots taken is closed at once.
// Returns when accept fails: 0 when nothing more is pending (EAGAIN), -1
// after any other failure, which is reported on standard error as
// perror("accept"). The connection that could not be accepted stays
// pending, so the listening socket stays readable: the caller should pause
// before it tries again.
int accept_clients(int server);

// Sends the `len` record bytes, then "\n", to every client, each in one
// non-blocking send without SIGPIPE. A client whose send fails or falls
// short is closed and its slot freed, silently; the others still get the
// record.
void publish(const char* json, std::size_t len);

} // namespace zel
