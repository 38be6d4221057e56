// zel_replay: the capture daemon's decoding and record building run over a
// capture file instead of a live interface. Every frame goes through the
// daemon's own packet handler with the file's link type and the frame's
// own time stamp, and every record is written to standard output followed
// by a newline, exactly as an event-socket client of the daemon reads it.
// The last line on standard error counts frames and records and gives the
// rate. Useful offline: "what would the daemon have said about this file?"
//
// Usage: zel_replay [-S switch-id] [-R] [-q] FILE
//   -S, -R as in the daemon; -q counts records without writing them.
// Exit status: 0 done, 1 the file cannot be read (or breaks off) or the
// output cannot be written, 2 bad usage.
#include "capture_settings.hpp"
#include "datagram.hpp"
#include "event_socket.hpp"

#include <pcap/pcap.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <memory>

namespace {

// Counted on the only thread; the sink and the frame handler touch them.
unsigned long long frames = 0;
unsigned long long records = 0;

// One large stdio buffer, set up before the first frame: the per-record
// path only copies into it.
char out_buffer[1 << 20];

void usage(const char* p)
{
    std::fprintf(stderr, "Usage: %s [-S switch-id] [-R] [-q] FILE\n", p);
}

void write_record(const char* json, std::size_t len)
{
    ++records;
    fwrite_unlocked(json, 1, len, stdout);
    fputc_unlocked('\n', stdout);
}

void count_record(const char*, std::size_t)
{
    ++records;
}

void on_frame(u_char* dlt, const pcap_pkthdr* h, const u_char* data)
{
    ++frames;
    zel::packet(dlt, h, data);
}

struct pcap_closer {
    void operator()(pcap_t* p) const { pcap_close(p); }
};

} // namespace

int main(int argc, char** argv)
{
    bool quiet = false;
    int opt;
    while ((opt = getopt(argc, argv, "S:Rqh")) != -1) {
        switch (opt) {
        case 'S':
            if (!zel::set_switch_id(optarg))
                return 2;
            break;
        case 'R':
            zel::include_raw = false;
            break;
        case 'q':
            quiet = true;
            break;
        case 'h':
            usage(argv[0]);
            return 0;
        default:
            usage(argv[0]);
            return 2;
        }
    }
    if (optind + 1 != argc) {
        usage(argv[0]);
        return 2;
    }

    char err[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, pcap_closer> pcap(pcap_open_offline(argv[optind], err));
    if (!pcap) {
        std::fprintf(stderr, "zel_replay: %s\n", err);
        return 1;
    }
    int dlt = pcap_datalink(pcap.get());
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    zel::record_sink = quiet ? count_record : write_record;

    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    if (pcap_loop(pcap.get(), -1, on_frame, reinterpret_cast<u_char*>(&dlt)) == -1) {
        std::fprintf(stderr, "zel_replay: %s\n", pcap_geterr(pcap.get()));
        status = 1;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "zel_replay: standard output: %s\n", std::strerror(errno));
        status = 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const double seconds = took.count();
    std::fprintf(stderr, "frames=%llu records=%llu seconds=%.6f records_per_second=%.0f\n",
                 frames, records, seconds, seconds > 0 ? static_cast<double>(records) / seconds : 0.0);
    return status;
}
