// Drives the relay's NATS publisher the way the relay's log consumer does,
// without the relay: lines numbered from 1 (or --first) are held in memory for the whole
// run (a log that never releases), offered in order as the publisher has
// room, and offered again from wherever it rewinds to. The wake callback
// writes to an eventfd that the loop polls, as lws_cancel_service wakes the
// service thread.
//
// zel_nats_publish --url URLS --stream NAME --subject SUBJ --switch ID
//     [--boot HEX] [--count N] [--rate LINES_PER_S] [--bytes N] [--create]
//     [--replicas R] [--token-file F] [--ca F] [--max-pending N]
//     [--timeout SECONDS] [--first SEQ]
// Prints its log lines on stderr and, at the end, one JSON object of counters
// on stdout. Exit status 0 once every line is acknowledged, 1 when the time
// runs out first, 2 for a configuration the publisher refuses.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "nats_publisher.hpp"
#include "relay_stats.hpp"

namespace {

void wake(void* arg) {
    uint64_t one = 1;
    ssize_t n = write(*static_cast<int*>(arg), &one, sizeof one);
    (void)n;
}

size_t thread_count() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

std::string make_line(uint64_t seq, size_t bytes) {
    std::string line = "{\"n\":" + std::to_string(seq) + ",\"pad\":\"";
    while (line.size() + 2 < bytes) line.push_back(static_cast<char>('a' + seq % 26));
    line += "\"}";
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    zel::nats::publisher_config cfg;
    cfg.boot = "0123456789abcdef0123456789abcdef";
    uint64_t count = 1000;
    uint64_t first = 1;  // a later first line stands for a run whose earlier lines were lost
    double rate = 0;
    size_t bytes = 200;
    double timeout_s = 60;
    for (int i = 1; i < argc; i++) {
        std::string k = argv[i];
        if (k == "--create") {
            cfg.create_stream = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zel_nats_publish: %s needs a value\n", k.c_str());
            return 2;
        }
        std::string v = argv[++i];
        if (k == "--url") {
            for (size_t p = 0; p <= v.size();) {
                size_t c = v.find(',', p);
                if (c == std::string::npos) c = v.size();
                cfg.servers.push_back(v.substr(p, c - p));
                p = c + 1;
            }
        } else if (k == "--stream") cfg.stream = v;
        else if (k == "--subject") cfg.subject = v;
        else if (k == "--switch") cfg.switch_id = v;
        else if (k == "--boot") cfg.boot = v;
        else if (k == "--first") first = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--count") count = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--rate") rate = std::strtod(v.c_str(), nullptr);
        else if (k == "--bytes") bytes = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--replicas") cfg.replicas = std::strtoll(v.c_str(), nullptr, 10);
        else if (k == "--token-file") cfg.token_file = v;
        else if (k == "--ca") cfg.ca_file = v;
        else if (k == "--max-pending") cfg.max_pending = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--timeout") timeout_s = std::strtod(v.c_str(), nullptr);
        else {
            std::fprintf(stderr, "zel_nats_publish: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (cfg.subject.empty()) cfg.subject = zel::nats::default_subject(cfg.switch_id);

    std::vector<std::string> lines;
    lines.reserve(count);
    if (first == 0) first = 1;
    for (uint64_t s = first; s < first + count; s++) lines.push_back(make_line(s, bytes));

    int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::string err;
    auto pub = zel::nats::make_publisher(cfg, wake, &efd, &err);
    if (!pub) {
        std::fprintf(stderr, "zel_nats_publish: %s\n", err.c_str());
        return 2;
    }
    size_t threads_before = thread_count();
    if (pub->start(&err) != 0) {
        std::fprintf(stderr, "zel_nats_publish: %s\n", err.c_str());
        return 1;
    }

    const int64_t t0 = zel::stats::monotonic_ms();
    const int64_t deadline = t0 + static_cast<int64_t>(timeout_s * 1000);
    uint64_t next = first;  // the consumer's position in the "log"
    size_t threads_peak = 0;
    uint64_t passes = 0;
    int status = 1;
    while (zel::stats::monotonic_ms() < deadline) {
        passes++;
        pub->take();
        uint64_t from = 0;
        if (pub->rewind(&from)) next = from;
        int64_t now = zel::stats::monotonic_ms();
        // Lines become available at the configured rate, as a feed would
        // bring them.
        uint64_t available = count;
        if (rate > 0) {
            double due = static_cast<double>(now - t0) * rate / 1000.0;
            available = due < static_cast<double>(count) ? static_cast<uint64_t>(due) : count;
        }
        size_t room = pub->room(now);
        while (room > 0 && next - first < available) {
            const std::string& l = lines[next - first];
            if (pub->publish(next, {reinterpret_cast<const unsigned char*>(l.data()), l.size()}) != 0)
                break;
            next++;
            room--;
        }
        size_t t = thread_count();
        if (t > threads_peak) threads_peak = t;
        if (pub->stats().acknowledged >= count) {
            status = 0;
            break;
        }
        int wait_ms = 100;
        if (rate > 0 && next - first < count) wait_ms = 1;
        int64_t retry = pub->retry_at_ms();
        if (retry > 0 && retry - now < wait_ms) wait_ms = static_cast<int>(retry > now ? retry - now : 0);
        pollfd p{efd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) > 0) {
            uint64_t v;
            ssize_t n = read(efd, &v, sizeof v);
            (void)n;
        }
    }
    zel::nats::publisher_stats st = pub->stats();
    int64_t elapsed = zel::stats::monotonic_ms() - t0;
    size_t unsettled = pub->stop(1000);
    std::printf(
        "{\"acknowledged\":%llu,\"duplicates\":%llu,\"failures\":%llu,\"resent\":%llu,"
        "\"rewinds\":%llu,\"given_up\":%llu,\"reconnects\":%llu,\"unsettled\":%zu,"
        "\"elapsed_ms\":%lld,\"passes\":%llu,\"threads_before\":%zu,\"threads_peak\":%zu}\n",
        static_cast<unsigned long long>(st.acknowledged),
        static_cast<unsigned long long>(st.duplicates),
        static_cast<unsigned long long>(st.failures), static_cast<unsigned long long>(st.resent),
        static_cast<unsigned long long>(st.rewinds), static_cast<unsigned long long>(st.given_up),
        static_cast<unsigned long long>(st.reconnects), unsettled,
        static_cast<long long>(elapsed), static_cast<unsigned long long>(passes), threads_before,
        threads_peak);
    close(efd);
    return status;
}
