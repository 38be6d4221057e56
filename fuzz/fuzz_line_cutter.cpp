// The relay reader's line cutting: any chunking of a byte stream must yield
// exactly the lines that the framing rules give for the whole stream, the
// same lines the one-shot feed gives, and nothing for an unterminated tail.
//
// Input: bytes 0-3 seed the chunk sizes; the rest is the stream, where the
// pair 0xFE n stands for n x 2,048 bytes of 'a' so that lines longer than the
// reader's buffer (262,145 bytes) are reached from small inputs.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "relay_reader.hpp"

namespace {

using namespace zel::reader;

// Room for two over-long lines and some more; bigger streams only slow it down.
constexpr std::size_t kMaxStream = 640u << 10;

using lines = std::vector<std::string>;

void collect(void* arg, const unsigned char* line, size_t len) {
    FUZZ_CHECK(len >= 1 && len <= kMaxLine, "line of %zu bytes handed on", len);
    static_cast<lines*>(arg)->emplace_back(reinterpret_cast<const char*>(line), len);
}

// The framing rules applied to the whole stream: a line ends at LF; trailing
// CRs are not part of it; an empty line is skipped; a line that reaches the
// reader's buffer size before its LF is dropped whole; the tail after the
// last LF is never a line.
lines reference_cut(std::string_view s) {
    lines out;
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = s.find('\n', start);
        if (nl == std::string_view::npos) break;
        std::string_view line = s.substr(start, nl - start);
        start = nl + 1;
        if (line.size() >= kBufferSize) continue;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) out.emplace_back(line);
    }
    return out;
}

struct rng {
    std::uint32_t x;
    std::uint32_t next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

line_cutter cutter_a, cutter_b;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    std::uint32_t seed = 0;
    std::memcpy(&seed, data, 4);
    std::string stream;
    for (std::size_t i = 4; i < size && stream.size() < kMaxStream; ++i) {
        if (data[i] == 0xFE && i + 1 < size) {
            stream.append(std::size_t{data[i + 1]} * 2048, 'a');
            ++i;
        } else {
            stream.push_back(static_cast<char>(data[i]));
        }
    }

    const lines want = reference_cut(stream);

    // Whole stream through the feed helper.
    lines fed;
    line_cutter_reset(&cutter_a);
    line_cutter_feed(&cutter_a, reinterpret_cast<const unsigned char*>(stream.data()),
                     stream.size(), collect, &fed);
    FUZZ_CHECK(fed == want, "one-shot feed: %zu lines, rules give %zu", fed.size(), want.size());

    // The same stream as receives of arbitrary sizes, each no larger than the
    // room the cutter offers, as recv would fill it.
    lines chunked;
    rng r{seed | 1};
    line_cutter_reset(&cutter_b);
    std::size_t pos = 0;
    while (pos < stream.size()) {
        size_t room = 0;
        unsigned char* space = line_cutter_space(&cutter_b, &room);
        FUZZ_CHECK(room >= 1 && room <= kBufferSize, "room %zu", room);
        std::uint32_t pick = r.next();
        std::size_t n = (pick & 3) == 0 ? room : 1 + (pick >> 2) % ((pick & 4) ? 7 : 70000);
        n = std::min({n, room, stream.size() - pos});
        std::memcpy(space, stream.data() + pos, n);
        line_cutter_commit(&cutter_b, n, collect, &chunked);
        pos += n;
    }
    FUZZ_CHECK(chunked == want, "chunked: %zu lines, rules give %zu", chunked.size(), want.size());
    return 0;
}
