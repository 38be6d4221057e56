// metrics_file (both programs): replacing a Prometheus text file so that a
// reader (node_exporter's textfile collector) never sees half of one. The
// text goes to a new PATH.tmp.XXXXXX (random, created exclusively) in the
// same folder, which the collector ignores, and a rename puts it in place
// in one step. The file is mode 0644 whatever the umask: metrics are not
// secret, and the collector runs as another account. Also the rules both
// programs' stats settings share, a metric family's HELP and TYPE lines and
// the switch_id label's value.
//
// Nothing here can block: whatever another account plants in the folder (a
// FIFO, a link, a directory) makes a write fail, never wait. A failed
// write names its step and error number and leaves no temporary file
// behind; the caller decides how loud to be, and same_failure lets it
// report a lasting fault once rather than at every interval. Any thread may
// write its own files; nothing here is shared.
#pragma once

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {

// mkostemp's template: six random characters after ".tmp.".
inline constexpr char kMetricsTempSuffix[] = ".tmp.XXXXXX";
// Longest path whose temporary name still fits PATH_MAX with its NUL.
inline constexpr std::size_t kMaxMetricsPath = PATH_MAX - sizeof kMetricsTempSuffix;
// What a metrics file is given, whatever the umask (node_exporter reads it
// as another account).
inline constexpr mode_t kMetricsFileMode = 0644;

// A day: beyond it a stats line tells nothing a restart would not, and the
// bound keeps the schedule's arithmetic far from overflow.
inline constexpr std::uint32_t kMaxStatsSeconds = 86400;
// Between metrics files when no stats interval is set.
inline constexpr std::uint32_t kDefaultMetricsSeconds = 10;

// Whether a metrics path of len bytes (at least one) is absolute and names
// a file. Relative to what? A service's working folder is nobody's choice.
// The file is replaced through a temporary one beside it, so it needs a name.
inline bool metrics_path_names_file(const char* path, std::size_t len) {
    return path[0] == '/' && path[len - 1] != '/';
}

// Room for any label value escaped by escape_label_value: each byte can
// become two.
inline constexpr std::size_t label_value_room(std::size_t max_bytes) {
    return 2 * max_bytes + 1;
}

// Writes `in` into out (size bytes, at least 1) as a Prometheus label value
// without its quotes: backslash, double quote and newline escaped as the
// text format wants, any other control byte and any byte past ASCII shown
// as '?' (a reader's parser refuses text that is not UTF-8). Always
// terminated; cut at a whole character when out is too small.
inline void escape_label_value(const char* in, char* out, std::size_t size) {
    std::size_t n = 0;
    for (const char* p = in; *p != '\0'; p++) {
        const auto c = static_cast<unsigned char>(*p);
        const char* esc = c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : nullptr;
        const std::size_t need = esc != nullptr ? 2 : 1;
        if (n + need >= size) break;
        if (esc != nullptr) {
            out[n++] = esc[0];
            out[n++] = esc[1];
        } else {
            out[n++] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
        }
    }
    out[n] = '\0';
}

struct metric {
    const char* name;
    const char* type;  // "counter" or "gauge"
    const char* help;  // no backslash or newline, which HELP would need escaped
    std::uint64_t value;
};

// Appends m's "# HELP" and "# TYPE" lines to buf at *used; false, with both
// left as they were, when they do not fit whole.
inline bool append_metric_family(char* buf, std::size_t size, std::size_t* used, const metric& m) {
    const int n = std::snprintf(buf + *used, size - *used, "# HELP %s %s\n# TYPE %s %s\n", m.name,
                                m.help, m.name, m.type);
    if (n < 0 || static_cast<std::size_t>(n) >= size - *used) {
        buf[*used] = '\0';
        return false;
    }
    *used += static_cast<std::size_t>(n);
    return true;
}

// The step of a metrics file write that failed and its error number.
struct metrics_failure {
    const char* step;  // "format", "open", "write" or "rename"; null for none
    int error;
};

inline bool same_failure(const metrics_failure& a, const metrics_failure& b) {
    return a.step != nullptr && b.step != nullptr && std::strcmp(a.step, b.step) == 0 &&
           a.error == b.error;
}

namespace metrics_detail {

// Writes all of text to fd, across short writes and signals.
inline int write_all(int fd, const char* text, std::size_t len) {
    std::size_t off = 0;
    while (off < len) {
        const ssize_t w = ::write(fd, text + off, len - off);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        off += static_cast<std::size_t>(w);
    }
    return 0;
}

inline int fail(metrics_failure* why, const char* step, int err) {
    why->step = step;
    why->error = err;
    return -1;
}

}  // namespace metrics_detail

// Writes text to path through a new temporary file beside it and a
// rename. 0 on success; -1 with *why set, and no temporary file left
// behind. An empty text (what a formatter returns when its buffer was too
// small) is refused at "format" with ENOBUFS: an empty file must never
// pass for the figures. A path longer than kMaxMetricsPath fails at "open"
// with ENAMETOOLONG.
inline int write_metrics_file(const char* path, const char* text, std::size_t len,
                              metrics_failure* why) {
    using metrics_detail::fail;
    if (len == 0) return fail(why, "format", ENOBUFS);
    char temp[PATH_MAX];
    const int n = std::snprintf(temp, sizeof temp, "%s%s", path, kMetricsTempSuffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp) return fail(why, "open", ENAMETOOLONG);
    // A fixed temporary name let anyone with write access to the folder
    // plant a FIFO there, and the open then waited for a reader forever,
    // with signals restarting it. A fresh name created exclusively cannot
    // be anything planted; O_NONBLOCK and the regular-file check keep that
    // true even on a file system that does not honour O_EXCL.
    const int fd = ::mkostemp(temp, O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(why, "open", errno);
    struct stat st;
    const int stat_rc = ::fstat(fd, &st);
    if (stat_rc != 0 || !S_ISREG(st.st_mode)) {
        const int err = stat_rc != 0 ? errno : EINVAL;
        ::close(fd);
        ::unlink(temp);
        return fail(why, "open", err);
    }
    // mkostemp makes 0600; the umask must not narrow the collector out.
    if (::fchmod(fd, kMetricsFileMode) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp);
        return fail(why, "open", err);
    }
    const int wrote = metrics_detail::write_all(fd, text, len);
    const int write_err = errno;
    if (::close(fd) != 0 && wrote == 0) {
        const int err = errno;
        ::unlink(temp);
        return fail(why, "write", err);
    }
    if (wrote != 0) {
        ::unlink(temp);
        return fail(why, "write", write_err);
    }
    if (::rename(temp, path) != 0) {
        const int err = errno;
        ::unlink(temp);
        return fail(why, "rename", err);
    }
    return 0;
}

}  // namespace zel
