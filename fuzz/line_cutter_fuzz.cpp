// libFuzzer target for the relay's event line cutter: for any byte stream and
// any way of chopping it into receives, the lines handed on must be those of
// the whole-stream rule (each newline ends a segment; a segment of 262,145
// bytes or more is dropped; trailing CRs are removed; empty results and an
// unterminated tail are not lines).
//
// Input: a control byte 0x01 followed by k expands to k * 2048 'a' bytes, so
// that short inputs reach the over-long line limit; every other byte is data.
// Receive sizes come from a generator seeded by the input itself.
//
// Build and run (g++ has no libFuzzer; clang does):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined \
//     -Irelay fuzz/line_cutter_fuzz.cpp relay/relay_reader.cpp \
//     relay/relay_log.cpp relay/zel_relay_queue.cpp \
//     $(pkg-config --cflags --libs libwebsockets) -o line_cutter_fuzz
//   ./line_cutter_fuzz -max_len=4096 -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "relay_reader.hpp"

namespace {

using Lines = std::vector<std::string>;

void collect(void *arg, const unsigned char *line, size_t len) {
    static_cast<Lines *>(arg)->emplace_back(reinterpret_cast<const char *>(line), len);
}

Lines reference(const std::string &stream) {
    Lines out;
    size_t start = 0;
    for (size_t nl; (nl = stream.find('\n', start)) != std::string::npos; start = nl + 1) {
        size_t end = nl;
        if (end - start >= reader_buffer_size) continue;
        while (end > start && stream[end - 1] == '\r') --end;
        if (end > start) out.push_back(stream.substr(start, end - start));
    }
    return out;
}

line_cutter cutter;  // too large for the stack; reset for every input

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string stream;
    uint32_t seed = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        seed = (seed ^ data[i]) * 16777619u;
        if (data[i] == 0x01 && i + 1 < size) {
            stream.append(size_t(data[++i]) * 2048, 'a');
        } else {
            stream.push_back(static_cast<char>(data[i]));
        }
    }
    std::mt19937 rng(seed);
    line_cutter_reset(&cutter);
    Lines got;
    for (size_t at = 0; at < stream.size();) {
        size_t n = 1 + rng() % (rng() % 2 ? 16 : 300000);
        if (n > stream.size() - at) n = stream.size() - at;
        line_cutter_feed(&cutter, reinterpret_cast<const unsigned char *>(stream.data() + at), n,
                         collect, &got);
        at += n;
    }
    if (got != reference(stream)) std::abort();
    return 0;
}
