// bench_record: the capture daemon's per-packet path, from the captured
// frame through decoding to the finished record, on the benchmark mix with and
// without raw, plus json_escape on its own next to memcpy of the same bytes
// (the physical limit). A counting allocator around the whole binary shows
// that the per-packet path allocates nothing: each benchmark reports
// allocs_per_record and fails if it is not zero.
#include "datagram.hpp"
#include "drop_counts.hpp"
#include "json_escape.hpp"
#include "sip_mix.hpp"
#include "sip_record.hpp"

#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Every allocation of the process, from any thread.
std::atomic<unsigned long long> allocations{0};

}  // namespace

void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

unsigned long long sunk_bytes = 0;
unsigned long long sunk_records = 0;

// Where the daemon would publish.
void sink(std::string_view record) {
    sunk_bytes += record.size();
    ++sunk_records;
    benchmark::DoNotOptimize(record.data());
}

zel::record_buffer record_out;

struct frame {
    std::string bytes;
    pcap_pkthdr h{};
};

// The mix, one of each kind in turn, built once before timing.
const std::vector<frame>& mix() {
    static const std::vector<frame> frames = [] {
        std::vector<frame> v;
        for (std::uint32_t i = 0; i < 256; ++i) {
            frame f;
            f.bytes = zel_test::sip_frame(i);
            f.h.ts.tv_sec = 1733580000 + i;
            f.h.ts.tv_usec = 123456;
            f.h.caplen = f.h.len = static_cast<bpf_u_int32>(f.bytes.size());
            v.push_back(std::move(f));
        }
        return v;
    }();
    return frames;
}

void run_frames(benchmark::State& state, bool raw, int only_kind) {
    const std::vector<frame>& frames = mix();
    std::vector<const frame*> chosen;
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (only_kind < 0 || static_cast<int>(i % zel_test::kSipKinds) == only_kind)
            chosen.push_back(&frames[i]);
    zel::record_options options;
    options.include_raw = raw;
    zel::drop_counts drops;
    sunk_bytes = sunk_records = 0;
    std::size_t in_bytes = 0;

    const unsigned long long before = allocations.load();
    std::size_t k = 0;
    for (auto _ : state) {
        const frame* f = chosen[k];
        const auto d =
            zel::decode_frame(zel::kDltEthernet,
                              {reinterpret_cast<const std::uint8_t*>(f->bytes.data()), f->h.caplen},
                              f->h.ts.tv_sec, f->h.ts.tv_usec, drops);
        if (d) {
            const std::string_view record = zel::parse_sip(*d, options, record_out, drops);
            if (!record.empty()) sink(record);
        }
        in_bytes += f->bytes.size();
        if (++k == chosen.size()) k = 0;
    }
    const unsigned long long allocs = allocations.load() - before;

    if (sunk_records != static_cast<unsigned long long>(state.iterations()))
        state.SkipWithError("a frame of the mix gave no record");
    if (allocs != 0) state.SkipWithError("the per-packet path allocated");
    state.SetItemsProcessed(static_cast<std::int64_t>(sunk_records));
    state.SetBytesProcessed(static_cast<std::int64_t>(in_bytes));
    state.counters["allocs_per_record"] =
        benchmark::Counter(static_cast<double>(allocs) / static_cast<double>(state.iterations()));
    state.counters["record_bytes"] =
        benchmark::Counter(static_cast<double>(sunk_bytes) / static_cast<double>(sunk_records));
}

void BM_packet_mix_raw(benchmark::State& state) {
    run_frames(state, true, -1);
}
void BM_packet_mix_no_raw(benchmark::State& state) {
    run_frames(state, false, -1);
}
void BM_packet_kind_raw(benchmark::State& state) {
    static const char* const names[] = {"options_400", "invite_1100", "ok_700", "large_4000"};
    state.SetLabel(names[state.range(0)]);
    run_frames(state, true, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_packet_mix_raw);
BENCHMARK(BM_packet_mix_no_raw);
BENCHMARK(BM_packet_kind_raw)->DenseRange(0, zel_test::kSipKinds - 1);

// Input for the escape benchmarks: SIP text as it is on the wire but without
// CR LF (printable bytes that need no escape), and uniformly random bytes.
std::string escape_input(bool printable, std::size_t n) {
    std::string s;
    std::uint32_t seq = 0;
    while (s.size() < n) {
        for (char c : zel_test::sip_payload(zel_test::sip_kind_of(seq), seq))
            if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\') s += c;
        ++seq;
    }
    s.resize(n);
    if (!printable) {
        std::uint64_t x = 88172645463325252ull;
        for (char& c : s) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            c = static_cast<char>(x & 0xFF);
        }
    }
    return s;
}

// A buffer as large as the record's raw array.
char escape_out[6 * zel::kMaxPayload + 1];

void BM_json_escape(benchmark::State& state) {
    const bool printable = state.range(0) != 0;
    const std::string in = escape_input(printable, static_cast<std::size_t>(state.range(1)));
    state.SetLabel(printable ? "printable" : "binary");
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            zel::json_escape(escape_out, sizeof escape_out, in.data(), in.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
}

void BM_memcpy(benchmark::State& state) {
    const std::string in = escape_input(true, static_cast<std::size_t>(state.range(1)));
    state.SetLabel("same bytes");
    for (auto _ : state) {
        std::memcpy(escape_out, in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
}
BENCHMARK(BM_json_escape)->ArgsProduct({{1, 0}, {1100, 16384}});
BENCHMARK(BM_memcpy)->ArgsProduct({{1}, {1100, 16384}});

// Every implementation built in, on the same inputs, whichever one this
// processor would pick: the figures that decide which variants are worth
// keeping.
void BM_escape_variant(benchmark::State& state, zel::escape_variant v) {
    const bool printable = state.range(0) != 0;
    const std::string in = escape_input(printable, static_cast<std::size_t>(state.range(1)));
    state.SetLabel(printable ? "printable" : "binary");
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    for (auto _ : state) {
        benchmark::DoNotOptimize(v.fn(escape_out, sizeof escape_out, p, in.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
}

const bool variants_registered = [] {
    for (const zel::escape_variant& v : zel::json_escape_variants())
        if (v.fn != nullptr)
            benchmark::RegisterBenchmark((std::string("BM_escape_variant/") + v.name).c_str(),
                                         BM_escape_variant, v)
                ->ArgsProduct({{1, 0}, {1100, 16384}});
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
