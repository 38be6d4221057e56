#include "event_socket.hpp"

#include "unique_fd.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zel {

namespace {

// Drops one client: the slot is free again for the next accept.
void drop(int& slot)
{
    ::close(slot);
    slot = -1;
}

// libpcap hands frames over a ring block at a time, so records leave in
// bursts of dozens. The default Unix socket buffer holds about 40 records of
// 2 KB (every record and every newline is charged a whole kernel buffer),
// and a reader that was not scheduled for a fraction of a millisecond was
// cut off at any rate. A larger buffer rides out such gaps; a client that
// really stops reading is still cut off once it is full. SO_SNDBUFFORCE
// (CAP_NET_ADMIN, which the capture needs anyway) passes the system's cap;
// without it SO_SNDBUF gets what the cap allows. Failure leaves the default.
void widen_send_buffer(int fd)
{
    const int size = static_cast<int>(kClientSendBuffer);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Whether some process accepts connections at `addr` now: 1 if so, 0 if
// not, -1 (errno set) when no probe socket can be made. The probe never
// waits: a listener with a full backlog answers EAGAIN, which counts as
// alive, so a stuck daemon cannot hang our start. A stale socket or any
// other file answers ECONNREFUSED, a missing one ENOENT; those and every
// other failure count as nobody there. A live daemon accepts the probe as a
// client and drops it at its next publish.
int listener_alive(const sockaddr_un& addr)
{
    unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe.valid())
        return -1;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return 1;
    return errno == EAGAIN ? 1 : 0;
}

} // namespace

// All 32 slots start free, so that publish is safe even before main resets
// the table.
int clients[kMaxClients] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
};
static_assert(kMaxClients == 32, "the initialiser above lists 32 free slots");

int nonblock(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int open_socket(const char* path, socket_file* bound)
{
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd.valid())
        return -1;

    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // One byte of sun_path stays for the NUL, so the path may be 107 bytes.
    std::size_t n = std::strlen(path);
    if (n >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path, n + 1);

    // A daemon still serving this path keeps it: taking its file over would
    // hide it from new clients, and its stop would then delete ours. A stale
    // socket from an earlier run, or any other file, gives way.
    const int alive = listener_alive(addr);
    if (alive != 0) {
        if (alive > 0)
            errno = EADDRINUSE;
        return -1;
    }
    ::unlink(path);

    // bind creates the file with the process umask's mode; under the caller's
    // umask others could connect before chmod narrows it. A restrictive umask
    // around bind keeps the file at 0600 or less until the chmod below.
    mode_t old_mask = ::umask(0177);
    int rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int bind_errno = errno;
    ::umask(old_mask);
    if (rc < 0) {
        errno = bind_errno;
        return -1;
    }
    if (bound != nullptr) {
        struct stat st;
        bound->known = ::lstat(path, &st) == 0;
        bound->dev = bound->known ? st.st_dev : 0;
        bound->ino = bound->known ? st.st_ino : 0;
    }
    if (::listen(fd.get(), kListenBacklog) < 0)
        return -1;
    if (nonblock(fd.get()) < 0)
        return -1;

    (void)::chmod(path, 0660);
    return fd.release();
}

void remove_socket_file(const char* path, const socket_file& bound)
{
    struct stat st;
    if (bound.known && ::lstat(path, &st) == 0 && st.st_dev == bound.dev &&
        st.st_ino == bound.ino)
        (void)::unlink(path);
}

int accept_clients(int server)
{
    for (;;) {
        int fd = ::accept(server, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EAGAIN)
                return 0;
            std::perror("accept");
            return -1;
        }
        // A client left blocking would still never stall us: every send
        // passes MSG_DONTWAIT.
        (void)nonblock(fd);
        widen_send_buffer(fd);

        int* free_slot = nullptr;
        for (int& slot : clients) {
            if (slot < 0) {
                free_slot = &slot;
                break;
            }
        }
        if (free_slot == nullptr)
            ::close(fd);
        else
            *free_slot = fd;
    }
}

void publish(const char* json, std::size_t len)
{
    constexpr int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
    for (int& slot : clients) {
        if (slot < 0)
            continue;
        ssize_t sent = ::send(slot, json, len, flags);
        if (sent < 0 || static_cast<std::size_t>(sent) != len) {
            drop(slot);
            continue;
        }
        if (::send(slot, "\n", 1, flags) != 1)
            drop(slot);
    }
}

} // namespace zel
