// zel_tail: follows a relay's sequenced event stream, or a NATS JetStream
// stream the relays publish into, and prints one line per event, resuming
// where it stopped after a dropped connection or, with --state (or the
// stream's durable consumer), after a restart; every gap is reported on
// standard error.
//
// Usage: zel_tail [--ca FILE] [--cert FILE --key FILE] [--state FILE] [--json]
//                 [--fail-on-gap] [--stream NAME --durable NAME]
//                 [--token-file FILE | --creds FILE] URL
// Exit status: 0 stopped by SIGINT or SIGTERM (or -h, --version), 1 a file,
// the TLS set-up or the output failed, 2 bad usage, 3 a gap with
// --fail-on-gap. The manual page is docs/man/zel_tail.1.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tail_consumer.hpp"
#include "tail_source.hpp"
#include "unique_fd.hpp"
#include "zel_version.hpp"

namespace zel::tail {

namespace {

// Written only by on_signal, read by the source's loop.
volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

constexpr const char* kUsage =
    "usage: zel_tail [--ca FILE] [--cert FILE --key FILE] [--state FILE] [--json] "
    "[--fail-on-gap] URL\n"
    "       zel_tail --stream NAME --durable NAME [--token-file FILE | --creds FILE] "
    "[--ca FILE] [--cert FILE --key FILE] [--state FILE] [--json] [--fail-on-gap] "
    "nats://HOST[:PORT][,...]\n";

enum option_id : int {
    kOptCa = 256,
    kOptCert,
    kOptKey,
    kOptState,
    kOptJson,
    kOptFailOnGap,
    kOptVersion,
    kOptStream,
    kOptDurable,
    kOptTokenFile,
    kOptCreds
};

const option kOptions[] = {
    {"ca", required_argument, nullptr, kOptCa},
    {"cert", required_argument, nullptr, kOptCert},
    {"key", required_argument, nullptr, kOptKey},
    {"state", required_argument, nullptr, kOptState},
    {"json", no_argument, nullptr, kOptJson},
    {"fail-on-gap", no_argument, nullptr, kOptFailOnGap},
    {"version", no_argument, nullptr, kOptVersion},
    {"stream", required_argument, nullptr, kOptStream},
    {"durable", required_argument, nullptr, kOptDurable},
    {"token-file", required_argument, nullptr, kOptTokenFile},
    {"creds", required_argument, nullptr, kOptCreds},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// A TLS file must be a readable regular file: a FIFO would block the
// library's read, a directory fails it with an unclear message.
int check_file(const char* option, const char* path) {
    if (path == nullptr) return 0;
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        std::fprintf(stderr, "zel_tail: %s %s: %s\n", option, path, std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "zel_tail: %s %s: not a regular file\n", option, path);
        return -1;
    }
    return 0;
}

// The bus options belong to nats:// and tls:// URLs, and those need them.
int check_bus_options(const source_url& url, const tls_files& tls, const bus_options& bus) {
    const char* wrong = nullptr;
    if (url.kind != scheme::nats) {
        if (bus.stream != nullptr || bus.durable != nullptr || bus.token_file != nullptr ||
            bus.creds_file != nullptr)
            wrong = "--stream, --durable, --token-file and --creds go with a nats:// or tls:// URL";
    } else if (bus.stream == nullptr || bus.durable == nullptr) {
        wrong = "a nats:// or tls:// URL needs --stream and --durable";
    } else if (!bus_name_valid(bus.stream)) {
        wrong = "--stream must be 1 to 255 printable bytes without blanks, '.', '*', '>', '/' "
                "or a backslash";
    } else if (!bus_name_valid(bus.durable)) {
        wrong = "--durable must be 1 to 255 printable bytes without blanks, '.', '*', '>', '/' "
                "or a backslash";
    } else if (bus.token_file != nullptr && bus.creds_file != nullptr) {
        wrong = "--token-file and --creds do not go together";
    } else if (tls.ca != nullptr || tls.cert != nullptr) {
        bool secure = false;
        for (const std::string& s : url.servers) secure = secure || s.starts_with("tls://");
        if (!secure) wrong = "--ca, --cert and --key need tls:// URLs";
    }
    if (wrong == nullptr) return 0;
    std::fprintf(stderr, "zel_tail: %s\n", wrong);
    return -1;
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed output is reported as a write error, with its reason.
    std::signal(SIGPIPE, SIG_IGN);
}

int run(int argc, char** argv) {
    consumer_options options;
    tls_files tls;
    bus_options bus;
    int opt;
    opterr = 0;
    while ((opt = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
        switch (opt) {
        case kOptCa:
            tls.ca = optarg;
            break;
        case kOptCert:
            tls.cert = optarg;
            break;
        case kOptKey:
            tls.key = optarg;
            break;
        case kOptState:
            options.state = optarg;
            break;
        case kOptJson:
            options.json = true;
            break;
        case kOptFailOnGap:
            options.fail_on_gap = true;
            break;
        case kOptStream:
            bus.stream = optarg;
            break;
        case kOptDurable:
            bus.durable = optarg;
            break;
        case kOptTokenFile:
            bus.token_file = optarg;
            break;
        case kOptCreds:
            bus.creds_file = optarg;
            break;
        case kOptVersion:
            std::printf("zel_tail %s\n", kVersion);
            return kExitStopped;
        case 'h':
            std::fputs(kUsage, stdout);
            return kExitStopped;
        default:
            std::fprintf(stderr, "zel_tail: unknown option or missing argument: %s\n",
                         argv[optind - 1]);
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    if (optind + 1 != argc) {
        std::fputs(optind >= argc ? "zel_tail: no URL given\n" : "zel_tail: more than one URL\n",
                   stderr);
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if ((tls.cert == nullptr) != (tls.key == nullptr)) {
        std::fputs("zel_tail: --cert and --key go together\n", stderr);
        return kExitUsage;
    }
    if (options.state != nullptr && options.state[0] == '\0') {
        std::fputs("zel_tail: --state needs a file name\n", stderr);
        return kExitUsage;
    }
    source_url url;
    const char* why = nullptr;
    if (parse_source_url(argv[optind], url, &why) != 0) {
        std::fprintf(stderr, "zel_tail: %s\n", why);
        return kExitUsage;
    }
    if (check_bus_options(url, tls, bus) != 0) return kExitUsage;
    if (check_file("--ca", tls.ca) != 0 || check_file("--cert", tls.cert) != 0 ||
        check_file("--key", tls.key) != 0 || check_file("--token-file", bus.token_file) != 0 ||
        check_file("--creds", bus.creds_file) != 0)
        return kExitSetup;

    consumer sink(options, stdout, stderr);
    if (const int rc = sink.load()) return rc;
    install_signals();
    return run_source(url, tls, bus, sink, stop_requested);
}

}  // namespace

// Here rather than beside the parsing, so that the library the tests link
// needs none of the sources' network libraries.
int run_source(const source_url& url, const tls_files& tls, const bus_options& bus,
               consumer& sink, const volatile std::sig_atomic_t& stop) {
    switch (url.kind) {
    case scheme::wss:
        return run_wss(url, tls, sink, stop);
    case scheme::nats:
        return run_nats(url, tls, bus, sink, stop);
    }
    return kExitSetup;
}

}  // namespace zel::tail

int main(int argc, char** argv) {
    return zel::tail::run(argc, argv);
}
