// pcap_stats_shim: a benchmark-only preload library that reads libpcap's own
// counters out of a process that never prints them. It wraps pcap_close:
// before the real pcap_close releases the handle, pcap_stats is taken on it
// and one line is appended to the file named by ZEL_PCAP_STATS_FILE:
//   "ps_recv=%u ps_drop=%u ps_ifdrop=%u\n"   when libpcap has counters,
//   "pcap_stats: %s\n" with pcap_geterr's text when it has none (a capture
//                                              file, a handle never activated).
// Without ZEL_PCAP_STATS_FILE, or when the file cannot be opened, the shim
// only forwards the call: the host program behaves exactly as without it.
// Runs on whichever thread calls pcap_close; keeps no state of its own.
//
// Usage: LD_PRELOAD=.../libpcap_stats_shim.so ZEL_PCAP_STATS_FILE=FILE program
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace {

using close_fn = void (*)(pcap_t*);

constexpr const char* kFileVariable = "ZEL_PCAP_STATS_FILE";

// Appending lets a program that closes several handles leave one line each;
// the benchmark hands every run a fresh file.
void write_stats(pcap_t* p) {
    const char* path = std::getenv(kFileVariable);
    if (path == nullptr || path[0] == '\0') return;
    std::FILE* f = std::fopen(path, "ae");
    if (f == nullptr) return;
    pcap_stat st{};
    if (pcap_stats(p, &st) == 0)
        std::fprintf(f, "ps_recv=%u ps_drop=%u ps_ifdrop=%u\n", st.ps_recv, st.ps_drop,
                     st.ps_ifdrop);
    else
        std::fprintf(f, "pcap_stats: %s\n", pcap_geterr(p));
    std::fclose(f);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void pcap_close(pcap_t* p) {
    // Looked up on every call: a close happens once per handle, and no
    // static initialisation order can leave the pointer unset.
    auto real = reinterpret_cast<close_fn>(dlsym(RTLD_NEXT, "pcap_close"));
    if (p != nullptr) write_stats(p);
    if (real != nullptr) real(p);
}
