#include "event_socket.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zel {

namespace {

// libpcap hands frames over a ring block at a time, so records leave in
// bursts of dozens. The default Unix socket buffer holds only some dozens
// of 2 KB lines (each is charged a whole kernel buffer), and a reader that
// was not scheduled for a fraction of a millisecond was cut off at any
// rate. Sending each line in one sendmsg instead of two did not change
// that: without this buffer the loopback benchmark still lost its reader
// in 13 of 19 runs, down to 1,967 packets/s. A larger buffer rides out such
// gaps; a client that really stops reading is still cut off once it is
// full. SO_SNDBUFFORCE (CAP_NET_ADMIN, which the capture needs anyway)
// passes the system's cap; without it SO_SNDBUF gets what the cap allows.
// Failure leaves the default.
void widen_send_buffer(int fd, std::size_t bytes) {
    const int size = static_cast<int>(bytes);
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
int listener_alive(const sockaddr_un& addr) {
    unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return -1;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return 1;
    return errno == EAGAIN ? 1 : 0;
}

}  // namespace

int nonblock(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int event_socket::open_socket(const char* path) {
    if (listener_.valid()) {
        errno = EBUSY;
        return -1;
    }
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd.valid()) return -1;

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
        if (alive > 0) errno = EADDRINUSE;
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
    // A failure from here on leaves the file bound, as the next start
    // replaces it; only a socket that is open owns its file.
    struct stat st;
    const bool known = ::lstat(path, &st) == 0;
    if (::listen(fd.get(), kListenBacklog) < 0) return -1;
    if (nonblock(fd.get()) < 0) return -1;

    (void)::chmod(path, 0660);
    listener_ = std::move(fd);
    std::memcpy(path_, path, n + 1);
    file_known_ = known;
    dev_ = known ? st.st_dev : 0;
    ino_ = known ? st.st_ino : 0;
    return 0;
}

void event_socket::close() {
    // Checked while the listening socket is still open: it keeps its file's
    // inode, and so its number, from being reused by a file made since.
    struct stat st;
    if (listener_.valid() && file_known_ && ::lstat(path_, &st) == 0 && st.st_dev == dev_ &&
        st.st_ino == ino_)
        (void)::unlink(path_);
    file_known_ = false;
    listener_.reset();
    for (unique_fd& c : clients_) c.reset();
    connected_ = 0;
}

int event_socket::accept_clients() {
    for (;;) {
        unique_fd client(::accept(listener_.get(), nullptr, nullptr));
        if (!client.valid()) {
            if (errno == EAGAIN) return 0;
            std::perror("accept");
            return -1;
        }
        // A client left blocking would still never stall us: every send
        // passes MSG_DONTWAIT.
        (void)nonblock(client.get());
        widen_send_buffer(client.get(), send_buffer_);
        // The lowest free slot takes it; with all 32 taken it is closed here.
        for (unique_fd& slot : clients_) {
            if (!slot.valid()) {
                slot = std::move(client);
                ++connected_;
                break;
            }
        }
        if (client.valid()) ++refused_;
    }
}

int event_socket::drop_departed() {
    if (connected_ == 0) return 0;
    pollfd fds[kMaxClients];
    int slot_of[kMaxClients];
    nfds_t n = 0;
    for (int i = 0; i < kMaxClients; i++) {
        const int fd = clients_[static_cast<std::size_t>(i)].get();
        if (fd < 0) continue;
        // No events asked for: POLLHUP and POLLERR are always reported, and
        // whatever a client sends us is never read.
        fds[n] = {fd, 0, 0};
        slot_of[n++] = i;
    }
    if (::poll(fds, n, 0) <= 0) return 0;
    int dropped = 0;
    for (nfds_t k = 0; k < n; k++) {
        if ((fds[k].revents & (POLLHUP | POLLERR)) == 0) continue;
        clients_[static_cast<std::size_t>(slot_of[k])].reset();
        --connected_;
        ++dropped;
    }
    return dropped;
}

void event_socket::queue(std::string_view record) {
    ++records_;
    if (connected_ == 0) return;
    if (batched_ + record.size() + 1 > kBatchBytes) flush();
    if (!batch_) batch_ = std::make_unique_for_overwrite<char[]>(kBatchBytes);
    std::memcpy(batch_.get() + batched_, record.data(), record.size());
    batched_ += record.size();
    batch_[batched_++] = '\n';
}

// The lines of a whole dispatch leave in one system call per client, and
// are charged to its socket as one buffer rather than one per line.
void event_socket::flush() {
    if (batched_ == 0) return;
    const std::size_t len = batched_;
    batched_ = 0;
    for (unique_fd& slot : clients_) {
        if (!slot.valid()) continue;
        const ssize_t sent = ::send(slot.get(), batch_.get(), len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 || static_cast<std::size_t>(sent) != len) {
            // A client that has gone away lost nothing by being closed; one
            // that could not keep up loses what comes until it is back.
            if (!(sent < 0 && (errno == EPIPE || errno == ECONNRESET))) ++cut_;
            slot.reset();
            --connected_;
        }
    }
}

}  // namespace zel
