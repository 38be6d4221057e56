// metrics_file (both programs): replacing a Prometheus text file so that a
// reader (node_exporter's textfile collector) never sees half of one. The
// text goes to PATH.tmp in the same folder, which the collector ignores,
// and a rename puts it in place in one step. Also the rules both programs'
// stats settings share, and a metric family's HELP and TYPE lines.
//
// A failed write names its step and error number and leaves no temporary
// file behind; the caller decides how loud to be, and same_failure lets it
// report a lasting fault once rather than at every interval. Any thread may
// write its own files; nothing here is shared.
#pragma once

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zel {

inline constexpr char kMetricsTempSuffix[] = ".tmp";
// Longest path whose temporary name still fits PATH_MAX with its NUL.
inline constexpr std::size_t kMaxMetricsPath = PATH_MAX - sizeof kMetricsTempSuffix;

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
    const char* step;  // "open", "write" or "rename"; null for none
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

// Writes text to path through path + ".tmp" and a rename. 0 on success; -1
// with *why set, and no temporary file left behind. A path longer than
// kMaxMetricsPath fails at "open" with ENAMETOOLONG.
inline int write_metrics_file(const char* path, const char* text, std::size_t len,
                              metrics_failure* why) {
    using metrics_detail::fail;
    char temp[PATH_MAX];
    const int n = std::snprintf(temp, sizeof temp, "%s%s", path, kMetricsTempSuffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp) return fail(why, "open", ENAMETOOLONG);
    // O_NOFOLLOW: a link planted at the temporary name must not aim the write
    // elsewhere.
    const int fd = ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return fail(why, "open", errno);
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
