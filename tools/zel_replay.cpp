// zel_replay: the capture daemon's chain run over a capture file instead of
// a live interface. Every frame goes through the daemon's own decoding and
// record building with the file's link type and the frame's own time
// stamp, and every record is written to standard output followed by a
// newline, exactly as an event-socket client of the daemon reads it.
// The last line on standard error counts frames and records and gives the
// rate. Useful offline: "what would the daemon have said about this file?"
//
// Usage: zel_replay [-S switch-id] [-R] [-q] [--vlan] [--ipv6] [--reassemble] [--tcp]
//                   [--decap] [--dedup[=MS]] [--strict-sip] [--ignore-methods=LIST] FILE
//   -S, -R and the long options as in the daemon; -q counts records
//   without writing them. With any decoding option, the line before the
//   last counts what the duplicate, reassembly and TCP tables gave up; with
//   --decap, --dedup, --strict-sip or --ignore-methods, the line before
//   that counts what was dropped, by reason.
//   -h/--help and --version as in the daemon.
// Exit status: 0 done, 1 the file cannot be read (or breaks off) or the
// output cannot be written, 2 bad usage.
#include "datagram.hpp"
#include "drop_counts.hpp"
#include "frame_decoder.hpp"
#include "sip_record.hpp"
#include "zel_version.hpp"

#include <pcap/pcap.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <string_view>

namespace zel {

namespace {

// One large stdio buffer, set up before the first frame: the per-record
// path only copies into it.
char out_buffer[1 << 20];

void usage(const char* p) {
    std::fprintf(stderr,
                 "Usage: %s [-S switch-id] [-R] [-q] [--vlan] [--ipv6] [--reassemble] [--tcp] "
                 "[--decap] [--dedup[=MS]] [--strict-sip] [--ignore-methods=LIST] FILE\n",
                 p);
}

constexpr char kOptionList[] =
    "  -S, --switch-id=ID  switch id in every record, 1-127 bytes (default unknown)\n"
    "  -R, --no-raw        leave the SIP text out of the records\n"
    "  -q                  count records, write none\n"
    "      --vlan          decode a second VLAN tag (QinQ)\n"
    "      --ipv6          decode IPv6\n"
    "      --reassemble    put IP fragments back together\n"
    "      --tcp           decode SIP over TCP\n"
    "      --decap         record the SIP inside GRE, ERSPAN, VXLAN, IP in IP, GTP-U,\n"
    "                      PPPoE and MPLS (at most 4 tunnels deep); also BSD loopback\n"
    "                      and raw IPv4/IPv6 link types\n"
    "      --dedup[=MS]    drop a packet equal to one seen less than MS ms before\n"
    "                      (default 50, at most 10000)\n"
    "      --strict-sip    only payloads that start with a SIP request or status line\n"
    "      --ignore-methods=LIST\n"
    "                      publish no request of these methods, no response whose\n"
    "                      CSeq names one (comma-separated, e.g. OPTIONS,NOTIFY)\n"
    "  -h, --help          this text\n"
    "      --version       print the version and exit\n";

void help(const char* p) {
    usage(p);
    std::fputs(kOptionList, stderr);
}

// A version that never reached its reader must not look like success.
int print_version() {
    std::printf("zel_replay %s\n", kVersion);
    if (std::fflush(stdout) == 0) return 0;
    std::perror("stdout");
    return 1;
}

// Past every character value, as the daemon's own long-only codes.
constexpr int kOptVersion = 0x300;

const option opts[] = {
    {"switch-id", required_argument, nullptr, 'S'},
    {"no-raw", no_argument, nullptr, 'R'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {"vlan", no_argument, nullptr, kOptVlan},
    {"ipv6", no_argument, nullptr, kOptIpv6},
    {"reassemble", no_argument, nullptr, kOptReassemble},
    {"tcp", no_argument, nullptr, kOptTcp},
    {"decap", no_argument, nullptr, kOptDecap},
    {"dedup", optional_argument, nullptr, kOptDedup},
    {"strict-sip", no_argument, nullptr, kOptStrictSip},
    {"ignore-methods", required_argument, nullptr, kOptIgnoreMethods},
    {nullptr, 0, nullptr, 0},
};

// The daemon's chain with standard output in place of the event socket,
// handed to the frame handler as libpcap's user pointer.
struct replay_chain {
    int dlt = 0;
    bool quiet = false;  // count records, write none
    record_options options;
    drop_counts drops;
    record_buffer record;
    unsigned long long frames = 0;
    unsigned long long records = 0;
    decode_options decoding;  // all off: packet() and decode_frame
    frame_decoder decoder;    // otherwise: packet_decoded()
};

// Writes the record and its newline, as an event-socket client reads it.
void publish(std::string_view record) {
    fwrite_unlocked(record.data(), 1, record.size(), stdout);
    fputc_unlocked('\n', stdout);
}

void record_datagram(void* user, const datagram& d) {
    auto& chain = *static_cast<replay_chain*>(user);
    const std::string_view record = parse_sip(d, chain.options, chain.record, chain.drops);
    if (record.empty()) return;
    ++chain.records;
    if (!chain.quiet) publish(record);
}

// A classic capture file holds a frame's seconds in 32 bits that libpcap
// hands over sign-extended, so from 2038 on they arrive negative. Capture
// files hold no times before 1970: read them as unsigned. (pcapng's 64-bit
// times arrive whole and never negative.)
std::int64_t capture_seconds(const pcap_pkthdr* h) {
    const auto sec = static_cast<std::int64_t>(h->ts.tv_sec);
    return sec < 0 ? static_cast<std::int64_t>(static_cast<std::uint32_t>(sec)) : sec;
}

void packet(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    auto& chain = *reinterpret_cast<replay_chain*>(user);
    ++chain.frames;
    const auto d =
        decode_frame(chain.dlt, {bytes, h->caplen}, capture_seconds(h), h->ts.tv_usec, chain.drops);
    if (d) record_datagram(&chain, *d);
}

void packet_decoded(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    auto& chain = *reinterpret_cast<replay_chain*>(user);
    ++chain.frames;
    chain.decoder.decode(chain.dlt, {bytes, h->caplen}, capture_seconds(h), h->ts.tv_usec,
                         chain.drops, record_datagram, &chain);
}

struct pcap_closer {
    void operator()(pcap_t* p) const { pcap_close(p); }
};

// The whole program; main only hands over to it, so that all of it is in
// namespace zel.
int run(int argc, char** argv) {
    // 112 KiB of record buffer: kept off the stack.
    static replay_chain chain;
    int opt;
    while ((opt = getopt_long(argc, argv, "S:Rqh", opts, nullptr)) != -1) {
        switch (opt) {
        case 'S':
            if (!set_switch_id(chain.options, optarg)) return 2;
            break;
        case 'R':
            chain.options.include_raw = false;
            break;
        case 'q':
            chain.quiet = true;
            break;
        case 'h':
            help(argv[0]);
            return 0;
        case kOptVersion:
            return print_version();
        default: {
            const int taken = set_capture_option(chain.decoding, chain.options, opt, optarg);
            if (taken < 0) return 2;
            if (taken > 0) break;
            if (set_decode_option(chain.decoding, opt)) break;
            usage(argv[0]);
            return 2;
        }
        }
    }
    if (optind + 1 != argc) {
        usage(argv[0]);
        return 2;
    }
    if (chain.decoding.any() && chain.decoder.init(chain.decoding) < 0) return 1;
    const pcap_handler handler = chain.decoding.any() ? packet_decoded : packet;

    char err[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, pcap_closer> pcap(pcap_open_offline(argv[optind], err));
    if (!pcap) {
        std::fprintf(stderr, "zel_replay: %s\n", err);
        return 1;
    }
    chain.dlt = pcap_datalink(pcap.get());
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    if (pcap_loop(pcap.get(), -1, handler, reinterpret_cast<u_char*>(&chain)) == -1) {
        std::fprintf(stderr, "zel_replay: %s\n", pcap_geterr(pcap.get()));
        status = 1;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "zel_replay: standard output: %s\n", std::strerror(errno));
        status = 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const double seconds = took.count();
    // With the options that drop what is not wanted, what each dropped, so
    // that a replay shows it as the daemon's stats line would.
    if (chain.decoding.decap || chain.decoding.dedup_ms != 0 || chain.options.strict_sip ||
        !chain.options.ignore_methods.empty()) {
        std::uint64_t ignored = 0;
        for (std::uint64_t n : chain.drops.count) ignored += n;
        std::fprintf(stderr, "ignored=%llu", static_cast<unsigned long long>(ignored));
        for (std::size_t k = 0; k < kDropReasons; ++k)
            if (chain.drops.count[k] != 0)
                std::fprintf(stderr, " %.*s=%llu", static_cast<int>(kDropReasonNames[k].size()),
                             kDropReasonNames[k].data(),
                             static_cast<unsigned long long>(chain.drops.count[k]));
        std::fputc('\n', stderr);
    }
    if (chain.decoding.any()) {
        for (std::size_t k = 0; k < kLossReasons; ++k)
            std::fprintf(stderr, "%s%.*s=%llu", k ? " " : "",
                         static_cast<int>(kLossNames[k].size()), kLossNames[k].data(),
                         static_cast<unsigned long long>(chain.decoder.losses().count[k]));
        std::fputc('\n', stderr);
    }
    std::fprintf(stderr, "frames=%llu records=%llu seconds=%.6f records_per_second=%.0f\n",
                 chain.frames, chain.records, seconds,
                 seconds > 0 ? static_cast<double>(chain.records) / seconds : 0.0);
    return status;
}

}  // namespace

}  // namespace zel

int main(int argc, char** argv) {
    return zel::run(argc, argv);
}
