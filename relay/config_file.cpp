// The configuration file's line grammar. The file pre-loads the environment
// and never wins over it: setenv without overwrite, so the real environment,
// and an earlier line of the same file, always keep their value. A key the
// file repeats is reported, since the later line silently doing nothing is
// the surprise an operator appending a line meets.
#include "config_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "relay_log.hpp"

namespace zel::config {
namespace {

// Longest configuration line, newline not counted. Far beyond any key's own
// limit, so a value that is too long arrives whole and is refused by its key.
constexpr size_t kMaxConfLine = 65536;
// Distinct keys whose first line is remembered to report a repeat. Far more
// than the relay has keys; a key beyond it is applied as usual, only a repeat
// of it goes unreported, and how many there were is logged.
constexpr size_t kMaxTrackedKeys = 4096;
// Longest key text shown in a log line, escapes included.
constexpr size_t kMaxShownKey = 160;

// The POSIX locale's white space, fixed so no locale setting can change what
// a configuration line means.
constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Parses one configuration line in place and pre-loads the environment.
// Returns the line's key, or null for a line that names none.
const char* apply_conf_line(char* line) {
    char* p = line;
    while (is_space(*p)) p++;
    if (*p == '\0' || *p == '#' || *p == ';') return nullptr;

    char* eq = strchr(p, '=');
    if (eq == nullptr) return nullptr;

    char* key_end = eq;
    while (key_end > p && is_space(key_end[-1])) key_end--;
    *key_end = '\0';

    char* value = eq + 1;
    while (is_space(*value)) value++;
    size_t len = strlen(value);
    while (len > 0 && is_space(value[len - 1])) len--;
    value[len] = '\0';
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
        value[len - 1] = '\0';
        value++;
    }

    if (*p == '\0') return nullptr;
    // overwrite = 0: the real environment, and earlier lines, always win.
    setenv(p, value, 0);
    return p;
}

// The first line of every key the file names, to report the later ones.
class key_lines {
public:
    void saw(const char* key, uint64_t line) {
        auto it = first_.find(key);
        if (it != first_.end()) {
            char shown[kMaxShownKey];
            log_escape(shown, sizeof shown, key, false);
            char msg[256];
            snprintf(msg, sizeof msg,
                     "config_duplicate_key key=%s first_line=%" PRIu64 " ignored_line=%" PRIu64,
                     shown, it->second, line);
            log_line("warning", msg);
        } else if (first_.size() < kMaxTrackedKeys) {
            first_.emplace(key, line);
        } else {
            untracked_++;
        }
    }

    // Once the file is read: how many key lines could not be compared.
    void finish() const {
        if (untracked_ == 0) return;
        char msg[128];
        snprintf(msg, sizeof msg, "config_keys_untracked lines=%" PRIu64, untracked_);
        log_line("warning", msg);
    }

private:
    std::unordered_map<std::string, uint64_t> first_;
    uint64_t untracked_ = 0;  // lines of keys first met beyond kMaxTrackedKeys
};

// Reads one line whole into buf (kMaxConfLine + 1 bytes), without its
// newline. A longer line is consumed through its newline and reported as
// too long, so no tail of it is ever taken for a line of its own. Returns 1
// for a line, 0 for a line that was too long, -1 at the end of the file.
int read_conf_line(FILE* f, char* buf) {
    size_t len = 0;
    bool too_long = false;
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (len < kMaxConfLine)
            buf[len++] = static_cast<char>(c);
        else
            too_long = true;
    }
    if (c == EOF && len == 0 && !too_long) return -1;
    buf[len] = '\0';
    return too_long ? 0 : 1;
}

}  // namespace

// A FIFO would block the open or the reads, a device like /dev/zero never
// ends, and a directory reads as an empty file. The type is taken from the
// opened descriptor, so nothing can be swapped in between test and use; the
// stat before only spares us opening a device or FIFO at all, since that has
// effects of its own (a watchdog armed, a FIFO writer released). O_NONBLOCK
// stays set: a regular file that blocks on read (/proc/kmsg) then fails
// instead.
unique_file open_regular(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    FILE* f = err == 0 ? fdopen(fd, "r") : nullptr;
    if (f == nullptr) {
        if (err == 0) err = errno;
        close(fd);
        errno = err;
    }
    return unique_file(f);
}

int load_conf_file(const char* path, bool required) {
    if (path == nullptr || *path == '\0') return 0;
    unique_file f = open_regular(path);
    if (!f) {
        if (!required) return 1;
        fprintf(stderr, "failed to open config file: %s\n", path);
        return -1;
    }
    // One buffer for the whole file; a line is text up to its first zero byte.
    auto line = std::make_unique_for_overwrite<char[]>(kMaxConfLine + 1);
    key_lines keys;
    uint64_t number = 0;  // counts every line, skipped ones too, as an editor does
    int rc;
    while ((rc = read_conf_line(f.get(), line.get())) >= 0) {
        number++;
        if (rc != 1) continue;
        if (const char* key = apply_conf_line(line.get()); key != nullptr) keys.saw(key, number);
    }
    keys.finish();
    return 0;
}

}  // namespace zel::config
