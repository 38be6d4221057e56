#include "tail_state.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tail_json.hpp"
#include "unique_fd.hpp"

namespace zel::tail {

namespace {

// 32 hex, a colon, 20 digits and a newline, with room to spare: anything
// longer is not a position.
constexpr size_t kMaxStateBytes = 64;

std::string sentence(const char* path, const char* what) {
    return std::string("state file ") + path + ": " + what;
}

std::string system_sentence(const char* path, const char* step, int err) {
    return std::string("state file ") + path + ": " + step + ": " + std::strerror(err);
}

// Why a path of this type cannot hold a position, or null for a regular file.
const char* refusal(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "is a directory; give the path of a file in it";
    if (S_ISFIFO(mode)) return "is a FIFO; give the path of a regular file";
    if (S_ISLNK(mode))
        return "is a symbolic link; give the real path (saving would replace the link)";
    if (S_ISSOCK(mode)) return "is a socket; give the path of a regular file";
    return "is a device; give the path of a regular file";
}

// The folder of path ("." for a bare name).
std::string folder_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

// A name beside path that nobody else picks: path + ".<16 hex>.tmp".
int temp_name(const char* path, std::string& out) {
    unsigned char random[8];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    char hex[17];
    for (size_t i = 0; i < sizeof random; ++i) std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    out = std::string(path) + "." + hex + ".tmp";
    return 0;
}

// Creates the temporary file exclusively and writes text into it, synced.
// The caller removes it on failure.
int write_temp(const std::string& temp, std::string_view text, const char* path, std::string& err) {
    unique_fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        err = system_sentence(path, "cannot create a file beside it", errno);
        return -1;
    }
    if (write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        err = system_sentence(path, "write", errno != 0 ? errno : EIO);
        return -1;
    }
    if (fsync(fd.get()) != 0) {
        err = system_sentence(path, "fsync", errno);
        return -1;
    }
    return 0;
}

int check_type(const char* path, std::string& err) {
    struct stat st {};
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT) return 1;
        err = system_sentence(path, "cannot look at it", errno);
        return -1;
    }
    if (const char* why = refusal(st.st_mode)) {
        err = sentence(path, why);
        return -1;
    }
    return 0;
}

// Proves the folder takes new files: one is made and removed.
int probe_folder(const char* path, std::string& err) {
    std::string temp;
    if (temp_name(path, temp) != 0) {
        err = system_sentence(path, "getrandom", errno);
        return -1;
    }
    const int rc = write_temp(temp, "", path, err);
    unlink(temp.c_str());
    return rc;
}

}  // namespace

std::string format_position(const position& at) {
    char seq[24];
    std::snprintf(seq, sizeof seq, "%" PRIu64, at.seq);
    return std::string(at.boot.text()) + ":" + seq;
}

int parse_position(std::string_view text, position& out) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const size_t colon = text.find(':');
    position p{};
    if (colon == std::string_view::npos || !parse_boot(text.substr(0, colon), p.boot)) return -1;
    const std::string_view seq = text.substr(colon + 1);
    // Digits only, no leading zero: the form the file is written in.
    if (seq.empty() || seq[0] == '0' || !tail_json::read_u64(seq, p.seq)) return -1;
    p.known = true;
    out = p;
    return 0;
}

int load_state(const char* path, position& out, std::string& err) {
    out = position{};
    const int type = check_type(path, err);
    if (type < 0) return -1;
    if (type == 1) return probe_folder(path, err) == 0 ? 1 : -1;
    // O_NONBLOCK: should a FIFO take the file's place after the look, the
    // open still returns, and fstat refuses it.
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        err = system_sentence(path, "cannot open it", errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        err = system_sentence(path, "fstat", errno);
        return -1;
    }
    if (const char* why = refusal(st.st_mode)) {
        err = sentence(path, why);
        return -1;
    }
    if (static_cast<size_t>(st.st_size) > kMaxStateBytes) {
        err = sentence(path, "too large to be a position written by zel_tail");
        return -1;
    }
    char buf[kMaxStateBytes + 1];
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) {
        err = system_sentence(path, "read", errno);
        return -1;
    }
    if (probe_folder(path, err) != 0) return -1;
    if (n == 0) return 1;
    if (parse_position(std::string_view(buf, static_cast<size_t>(n)), out) != 0) {
        err = sentence(path, "not a position (want <32 hex digits>:<seq>)");
        return -1;
    }
    return 0;
}

int save_state(const char* path, const position& at, std::string& err) {
    if (check_type(path, err) < 0) return -1;
    std::string temp;
    if (temp_name(path, temp) != 0) {
        err = system_sentence(path, "getrandom", errno);
        return -1;
    }
    if (write_temp(temp, format_position(at) + "\n", path, err) != 0) {
        unlink(temp.c_str());
        return -1;
    }
    if (rename(temp.c_str(), path) != 0) {
        err = system_sentence(path, "rename", errno);
        unlink(temp.c_str());
        return -1;
    }
    // The rename itself is only durable once the folder is.
    unique_fd dir(open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) fsync(dir.get());
    return 0;
}

}  // namespace zel::tail
