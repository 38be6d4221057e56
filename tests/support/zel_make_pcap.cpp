// zel_make_pcap: writes a capture file of realistic SIP signalling (the
// benchmark mix: OPTIONS, INVITE with SDP, 200 OK with SDP and a 4 kB
// INVITE, in turn) as Ethernet frames, 100 microseconds apart, for
// zel_replay, tshark and tcpreplay to read. Every frame yields one record.
//
// Usage: zel_make_pcap [-n COUNT] FILE   (COUNT defaults to 100000)
// Exit status: 0 written, 1 the file cannot be written, 2 bad usage.
#include "sip_mix.hpp"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr long kDefaultCount = 100000;
constexpr std::int64_t kFirstSecond = 1733580000;  // 2024-12-07 14:00:00 UTC
constexpr int kStepUsec = 100;

void usage(const char* p) {
    std::fprintf(stderr, "Usage: %s [-n COUNT] FILE\n", p);
}

struct pcap_closer {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
struct dumper_closer {
    void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
};

}  // namespace

int main(int argc, char** argv) {
    long count = kDefaultCount;
    int opt;
    while ((opt = getopt(argc, argv, "n:h")) != -1) {
        switch (opt) {
        case 'n': {
            char* end = nullptr;
            count = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || count < 0 || count > 100000000) {
                std::fprintf(stderr, "zel_make_pcap: COUNT must be 0 to 100000000\n");
                return 2;
            }
            break;
        }
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
    const char* path = argv[optind];

    std::unique_ptr<pcap_t, pcap_closer> dead(pcap_open_dead(DLT_EN10MB, 65535));
    if (!dead) {
        std::fprintf(stderr, "zel_make_pcap: cannot set up libpcap\n");
        return 1;
    }
    std::unique_ptr<pcap_dumper_t, dumper_closer> out(pcap_dump_open(dead.get(), path));
    if (!out) {
        std::fprintf(stderr, "zel_make_pcap: %s\n", pcap_geterr(dead.get()));
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        const std::string frame = zel_test::sip_frame(static_cast<std::uint32_t>(i));
        pcap_pkthdr h{};
        const std::int64_t usec = static_cast<std::int64_t>(i) * kStepUsec;
        h.ts.tv_sec = static_cast<time_t>(kFirstSecond + usec / 1000000);
        h.ts.tv_usec = static_cast<suseconds_t>(usec % 1000000);
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(out.get()), &h,
                  reinterpret_cast<const u_char*>(frame.data()));
    }
    if (pcap_dump_flush(out.get()) != 0) {
        std::fprintf(stderr, "zel_make_pcap: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    return 0;
}
