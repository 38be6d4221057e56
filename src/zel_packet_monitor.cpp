// zel_packet_monitor: the capture daemon. Parses the command line, opens
// the event socket and a filtered live capture, then alternates between
// accepting event-socket clients and dispatching up to 64 captured packets,
// until SIGINT/SIGTERM or a capture error. Single-threaded. Each packet
// goes through the chain wired here: decode_frame (datagram), parse_sip
// (sip_record), publish (event_socket); with --vlan, --ipv6, --reassemble
// or --tcp, frame_decoder takes decode_frame's place.
//
// Opt-in, for watching loss (capture_stats): a kernel capture buffer of
// the size given, a stats line every so many seconds and at the stop, a
// metrics file; --version; --client-buffer, how much each event-socket
// client may fall behind before it is cut off.
//
// Exit status: 2 for command-line errors, 1 when the event socket or the
// capture cannot be set up, 0 otherwise (help, version, signal, capture
// error).

#include "capture_stats.hpp"
#include "datagram.hpp"
#include "drop_counts.hpp"
#include "event_socket.hpp"
#include "frame_decoder.hpp"
#include "sip_record.hpp"
#include "zel_version.hpp"

#include <pcap/pcap.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <poll.h>
#include <string_view>
#include <unistd.h>

namespace zel {

namespace {

// Cleared only by on_signal; the loop tests it once per pass.
volatile std::sig_atomic_t running = 1;

constexpr int kReadTimeoutMs = 100;

// Long options without a letter: codes past every character value.
enum long_only : int {
    kOptBufferSize = 0x200,
    kOptStatsInterval,
    kOptMetricsFile,
    kOptVersion,
    kOptClientBuffer,
};

const option opts[] = {
    {"interface", required_argument, nullptr, 'i'},
    {"filter", required_argument, nullptr, 'f'},
    {"socket", required_argument, nullptr, 's'},
    {"switch-id", required_argument, nullptr, 'S'},
    {"no-raw", no_argument, nullptr, 'R'},
    {"help", no_argument, nullptr, 'h'},
    {"vlan", no_argument, nullptr, kOptVlan},
    {"ipv6", no_argument, nullptr, kOptIpv6},
    {"reassemble", no_argument, nullptr, kOptReassemble},
    {"tcp", no_argument, nullptr, kOptTcp},
    {"decap", no_argument, nullptr, kOptDecap},
    {"dedup", optional_argument, nullptr, kOptDedup},
    {"strict-sip", no_argument, nullptr, kOptStrictSip},
    {"ignore-methods", required_argument, nullptr, kOptIgnoreMethods},
    {"buffer-size", required_argument, nullptr, kOptBufferSize},
    {"stats-interval", required_argument, nullptr, kOptStatsInterval},
    {"metrics-file", required_argument, nullptr, kOptMetricsFile},
    {"version", no_argument, nullptr, kOptVersion},
    {"client-buffer", required_argument, nullptr, kOptClientBuffer},
    {nullptr, 0, nullptr, 0},
};

void usage(const char* p) {
    std::fprintf(stderr,
                 "Usage: %s [-i interface] [-f bpf] [-s socket] [-S switch-id] [--no-raw]\n", p);
}

// -h: the usage line as it always was, then every option, so that none has
// to be looked up in the manual page.
constexpr char kOptionList[] =
    "  -i, --interface=IFACE    capture device (default any)\n"
    "  -f, --filter=BPF         capture filter (default udp)\n"
    "  -s, --socket=PATH        event socket (default /run/zel-packet-monitor/events.sock)\n"
    "  -S, --switch-id=ID       switch id in every record, 1-127 bytes (default unknown)\n"
    "  -R, --no-raw             leave the SIP text out of the records\n"
    "  -h, --help               this text\n"
    "      --vlan               decode a second VLAN tag (QinQ)\n"
    "      --ipv6               decode IPv6\n"
    "      --reassemble         put IP fragments back together\n"
    "      --tcp                decode SIP over TCP\n"
    "      --decap              record the SIP inside GRE, ERSPAN, VXLAN, IP in IP,\n"
    "                           GTP-U, PPPoE and MPLS (at most 4 tunnels deep); also BSD\n"
    "                           loopback and raw IPv4/IPv6 link types\n"
    "      --dedup[=MS]         drop a packet equal to one seen less than MS ms before\n"
    "                           (default 50, at most 10000)\n"
    "      --strict-sip         only payloads that start with a SIP request or status line\n"
    "      --ignore-methods=LIST\n"
    "                           publish no request of these methods, no response whose\n"
    "                           CSeq names one (comma-separated, e.g. OPTIONS,NOTIFY)\n"
    "      --buffer-size=KIB    kernel capture buffer (default libpcap's, 2 MiB)\n"
    "      --stats-interval=S   stats line every S seconds and at the stop (default 0: none)\n"
    "      --metrics-file=PATH  Prometheus text file, rewritten every interval\n"
    "      --client-buffer=KIB  send buffer of each event socket client (default 4096)\n"
    "      --version            print the version and exit\n";

void help(const char* p) {
    usage(p);
    std::fputs(kOptionList, stderr);
}

// A version that never reached its reader must not look like success.
int print_version() {
    std::printf("zel_packet_monitor %s\n", kVersion);
    if (std::fflush(stdout) == 0) return 0;
    std::perror("stdout");
    return 1;
}

void on_signal(int) {
    running = 0;
}

// A closed terminal or a service manager's reload sends SIGHUP; its default
// action would end the daemon without removing the socket file or giving
// the final stats line.
void install_signals() {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGHUP, on_signal);
}

// Start-up failures after pcap_create end the process here; the socket file
// stays (the next start replaces it), the handle is released so that leak
// checkers see a tidy exit.
[[noreturn]] void fail_capture(pcap_t* pcap, const char* prefix, const char* text) {
    std::fprintf(stderr, "%s: %s\n", prefix, text);
    if (pcap != nullptr) pcap_close(pcap);
    std::exit(1);
}

// libpcap's texts rarely say which device they are about; an operator with
// several daemons needs to know. The interface is named unless the text
// already begins with it.
[[noreturn]] void fail_pcap(pcap_t* pcap, const char* iface, const char* text) {
    const std::size_t n = std::strlen(iface);
    if (n != 0 && std::strncmp(text, iface, n) == 0 && text[n] == ':')
        fail_capture(pcap, "pcap", text);
    std::fprintf(stderr, "pcap: %s: %s\n", iface, text);
    if (pcap != nullptr) pcap_close(pcap);
    std::exit(1);
}

// What the packet handler needs, handed to it as libpcap's user pointer.
struct capture_chain {
    int dlt = 0;  // read once after activation
    record_options options;
    drop_counts drops;
    record_buffer record;
    event_socket* events = nullptr;
    decode_options decoding;  // all off: packet() and decode_frame
    frame_decoder decoder;    // otherwise: packet_decoded()
};

// Build and publish one datagram (or TCP message that frame_decoder gives).
// The records of one dispatch go out together when it returns (flush).
void publish_datagram(void* user, const datagram& d) {
    auto& chain = *static_cast<capture_chain*>(user);
    const std::string_view record = parse_sip(d, chain.options, chain.record, chain.drops);
    if (!record.empty()) chain.events->queue(record);
}

// Decode, build, publish: one captured frame through the whole chain.
void packet(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    auto& chain = *reinterpret_cast<capture_chain*>(user);
    const auto d =
        decode_frame(chain.dlt, {bytes, h->caplen}, h->ts.tv_sec, h->ts.tv_usec, chain.drops);
    if (d) publish_datagram(&chain, *d);
}

// The same chain through the opt-in decoders: one frame can give several
// records (TCP) or complete an earlier one (fragments).
void packet_decoded(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    auto& chain = *reinterpret_cast<capture_chain*>(user);
    chain.decoder.decode(chain.dlt, {bytes, h->caplen}, h->ts.tv_sec, h->ts.tv_usec, chain.drops,
                         publish_datagram, &chain);
}

using steady = std::chrono::steady_clock;

// A failed accept (no descriptors left, typically) leaves its connection
// pending, so the listening socket stays readable and an immediate retry
// would spin at full CPU, printing "accept: ..." each time. The socket is
// therefore left alone this long after such a failure; capture and
// publication to the clients already connected go on meanwhile.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// How often clients are checked for having left: the read time-out's pace,
// one poll() over at most 32 descriptors.
constexpr auto kReapEvery = std::chrono::milliseconds(kReadTimeoutMs);

// Sleeps until a client is waiting (unless `server` is negative), captured
// packets are ready, a signal arrives or `timeout_ms` passes, whichever
// comes first; the loop then accepts and dispatches as usual. poll skips
// negative descriptors. Errors of poll itself only shorten the wait.
void wait_for_work(int server, int capture_fd, int timeout_ms) {
    pollfd fds[2] = {
        {server, POLLIN, 0},
        {capture_fd, POLLIN, 0},
    };
    (void)poll(fds, 2, timeout_ms);
}

// Whole milliseconds from `now` until `t`, rounded up so that a wait for
// `t` does not end just short of it.
int ms_until(steady::time_point t, steady::time_point now) {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(t - now).count());
}

// The whole program; main only hands over to it, so that all of it is in
// namespace zel.
int run(int argc, char** argv) {
    const char* iface = "any";
    const char* filter = "udp";
    const char* sock_path = "/run/zel-packet-monitor/events.sock";
    // 112 KiB of record buffer: kept off the stack.
    static capture_chain chain;
    stats_options stats_opts;
    std::uint32_t client_kib = kClientSendBuffer / 1024;

    int c;
    while ((c = getopt_long(argc, argv, "i:f:s:S:Rh", opts, nullptr)) != -1) {
        switch (c) {
        case 'i':
            iface = optarg;
            break;
        case 'f':
            filter = optarg;
            break;
        case 's':
            sock_path = optarg;
            break;
        case 'S':
            if (!set_switch_id(chain.options, optarg)) return 2;
            break;
        case 'R':
            chain.options.include_raw = false;
            break;
        case 'h':
            help(argv[0]);
            return 0;
        case kOptBufferSize:
            if (!set_buffer_size(stats_opts, optarg)) return 2;
            break;
        case kOptStatsInterval:
            if (!set_stats_interval(stats_opts, optarg)) return 2;
            break;
        case kOptMetricsFile:
            if (!set_metrics_file(stats_opts, optarg)) return 2;
            break;
        case kOptVersion:
            return print_version();
        case kOptClientBuffer:
            if (!set_client_buffer(&client_kib, optarg)) return 2;
            break;
        default: {
            const int taken = set_capture_option(chain.decoding, chain.options, c, optarg);
            if (taken < 0) return 2;
            if (taken > 0) break;
            if (set_decode_option(chain.decoding, c)) break;
            usage(argv[0]);
            return 2;
        }
        }
    }

    stats_opts.switch_id = chain.options.switch_id;
    install_signals();

    // The reassembly and TCP tables are reserved before anything else, so
    // that no packet ever waits for memory.
    if (chain.decoding.any() && chain.decoder.init(chain.decoding) < 0) return 1;
    const pcap_handler handler = chain.decoding.any() ? packet_decoded : packet;
    const loss_counts* losses = chain.decoding.any() ? &chain.decoder.losses() : nullptr;

    // Not destroyed when a start-up failure below ends the process with
    // exit(): the socket file then stays for the next start to replace.
    event_socket events;
    events.set_send_buffer(std::size_t{client_kib} * 1024);
    if (events.open_socket(sock_path) < 0) {
        std::perror("socket");
        return 1;
    }
    chain.events = &events;

    char err[PCAP_ERRBUF_SIZE];
    err[0] = '\0';
    pcap_t* pcap = pcap_create(iface, err);
    if (pcap == nullptr) fail_pcap(nullptr, iface, err);
    (void)pcap_set_snaplen(pcap, snapshot_length(chain.decoding));
    (void)pcap_set_promisc(pcap, 1);
    (void)pcap_set_timeout(pcap, kReadTimeoutMs);
    if (stats_opts.buffer_kib != 0)
        (void)pcap_set_buffer_size(pcap, static_cast<int>(stats_opts.buffer_kib * 1024));
    if (pcap_activate(pcap) < 0) fail_pcap(pcap, iface, pcap_geterr(pcap));

    bpf_program prog;
    if (pcap_compile(pcap, &prog, filter, 1, PCAP_NETMASK_UNKNOWN) < 0)
        fail_capture(pcap, "filter", pcap_geterr(pcap));
    if (pcap_setfilter(pcap, &prog) < 0) {
        pcap_freecode(&prog);
        fail_capture(pcap, "filter", pcap_geterr(pcap));
    }
    pcap_freecode(&prog);

    chain.dlt = pcap_datalink(pcap);

    // On Linux the capture's read time-out only runs once a packet has
    // arrived, so a blocking dispatch on an idle link never returns: no stop
    // request and no new client would be seen. The capture is therefore
    // non-blocking and each pass waits for it in poll() instead.
    if (pcap_setnonblock(pcap, 1, err) < 0) fail_pcap(pcap, iface, err);
    const int capture_fd = pcap_get_selectable_fd(pcap);

    std::fprintf(stderr, "zel_packet_monitor: interface=%s filter=%s socket=%s switch=%s\n", iface,
                 filter, sock_path, chain.options.switch_id);

    capture_stats stats;
    stats.start(stats_opts, steady::now());
    // While now is before this, accepting is paused (kAcceptPause).
    steady::time_point accept_resume{};
    steady::time_point next_reap{};
    while (running) {
        steady::time_point now = steady::now();
        if (now < accept_resume)
            wait_for_work(-1, capture_fd, ms_until(accept_resume, now));
        else
            wait_for_work(events.listener(), capture_fd, kReadTimeoutMs);
        now = steady::now();
        if (now >= accept_resume && events.accept_clients() < 0) accept_resume = now + kAcceptPause;
        // A client that left a quiet link would otherwise hold its slot,
        // and show in the clients gauge, until the next record.
        if (now >= next_reap) {
            events.drop_departed();
            next_reap = now + kReapEvery;
        }
        const int dispatched = pcap_dispatch(pcap, 64, handler, reinterpret_cast<u_char*>(&chain));
        events.flush();
        if (dispatched < 0) {
            std::fprintf(stderr, "capture: %s\n", pcap_geterr(pcap));
            break;
        }
        stats.tick(pcap, events, chain.drops, losses, steady::now());
    }

    stats.finish(pcap, events, chain.drops, losses);
    pcap_close(pcap);
    // Only our own file goes: another daemon may have taken the path over
    // meanwhile.
    events.close();
    return 0;
}

}  // namespace

}  // namespace zel

int main(int argc, char** argv) {
    return zel::run(argc, argv);
}
