// The AVX2 implementation of json_escape. It gives exactly the bytes of the
// plain one (json_escape_rules.hpp); only the way there differs.
//
// Recognising 32 bytes at once. A byte stands for itself when it is 0x20 to
// 0x7E and neither quote nor backslash. Compared as signed bytes, 0x80 to
// 0xFF are negative, so one "less than 0x20" compare catches them together
// with the control bytes. What is left to catch is '"' 22, '\\' 5C and DEL
// 7F, and the five bytes with a two-byte escape (TAB 09, LF 0A, '"' 22,
// '\\' 5C, CR 0D) all differ in their low nibble. So a 16-entry table
// indexed by the low nibble (VPSHUFB) gives every input byte the one value
// of its nibble that needs an escape, and a byte equal to its table entry
// is that value. Lanes whose index has bit 7 set shuffle to 0, so bytes
// from 0x80 up never match, and the filler 0x80 matches no byte below it.
// kPlainBreak has 0x7F at nibble F so that the plain-run test catches DEL
// with the same shuffle; kTwoByte leaves it out.
//
// Spreading two-byte escapes without a branch. CR LF ends every SIP line,
// so most blocks of SIP text hold escapes, nearly all of them two-byte
// ones. For such a block, a second shuffle by nibble (kTwoLetter) puts each
// escaped byte's letter in its place ('n' for LF, 'r' for CR, ...), and
// then every group of 8 input bytes is spread into up to 16 output bytes by
// one more shuffle: kSpread has an entry for each of the 256 patterns of
// escaped bytes among 8, listing for every output lane the input lane it
// takes, with lane 8 (a backslash) in front of each escaped byte. A block
// costs four table loads and four shuffles however many CR LFs it holds.
// A block with a six-byte escape (\u00XX) is rare in SIP and goes byte by
// byte.
//
// Clean runs 128 bytes per test. After a clean 32-byte block, the next four
// blocks are loaded, stored as they are and classified together, with one
// test of the four results: on long clean stretches (long Call-IDs and
// tokens, SDP and XML bodies, binary-free text) one branch per 128 bytes
// instead of four. The stores are harmless when the test fails, because
// the output position has not moved: the 32-byte loop starts again at the
// first of the four blocks and overwrites them, so a failed wide test costs
// re-reading at most 128 bytes: wider would waste more each time a run
// ends. Entering the wide loop only after a clean block keeps that waste
// off text that breaks every few bytes.
// The trade, measured with bench_record on the 2-vCPU EPYC of
// docs/performance.md (best of seven runs each): clean text of 1,100 and
// 16,384 bytes escapes 1.3 and 1.6 times faster with the wide loop, while
// whole records of the SIP mix with raw take about 5 % longer (the 4 KB
// INVITE 13 %), because SIP text breaks at every line end and most wide
// tests there fail.
//
// Bounds: the block loops run only while a whole input block and room for
// its worst case (every byte six wide) remain, so no store inside them can
// reach the capacity and nothing there needs the one-escape-at-a-time test
// of the plain version; the last bytes, and an output close to full, go to
// the plain version, which also writes the NUL.
#if defined(__x86_64__)

#include "json_escape_rules.hpp"

#include <array>
#include <cstdint>
#include <immintrin.h>

namespace zel::json_escape_rules {

namespace {

constexpr unsigned char X = 0x80;  // matches no byte below 0x80
alignas(16) constexpr unsigned char kPlainBreak[16] = {X, X,    '"',  X, X,    X,    X, X,
                                                       X, '\t', '\n', X, '\\', '\r', X, 0x7F};
alignas(16) constexpr unsigned char kTwoByte[16] = {X, X,    '"',  X, X,    X,    X, X,
                                                    X, '\t', '\n', X, '\\', '\r', X, X};
alignas(16) constexpr unsigned char kTwoLetter[16] = {0, 0,   '"', 0, 0,    0,   0, 0,
                                                      0, 't', 'n', 0, '\\', 'r', 0, 0};

// For every pattern of two-byte escapes among 8 input bytes, the shuffle
// that spreads them out: input byte k goes out as itself, or as lane 8 (a
// backslash) followed by lane k (its escape letter). `len` is the number of
// bytes it produces.
struct spread {
    std::array<unsigned char, 16> lanes;
    unsigned char len;
};
constexpr std::array<spread, 256> kSpread = [] {
    std::array<spread, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned o = 0;
        t[m].lanes.fill(0x80);
        for (unsigned k = 0; k < 8; ++k) {
            if (m & (1u << k)) t[m].lanes[o++] = 8;
            t[m].lanes[o++] = static_cast<unsigned char>(k);
        }
        t[m].len = static_cast<unsigned char>(o);
    }
    return t;
}();

[[gnu::target("avx2")]] inline __m256i lanes2(const unsigned char (&t)[16]) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// Bytes that do not stand for themselves, as a vector of 0xFF lanes.
[[gnu::target("avx2")]] inline __m256i breaks32(__m256i v, __m256i plain_break) {
    return _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v),
                           _mm256_cmpeq_epi8(_mm256_shuffle_epi8(plain_break, v), v));
}

[[gnu::target("avx2")]] inline __m128i breaks16(__m128i v) {
    const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(kPlainBreak));
    return _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                        _mm_cmpeq_epi8(_mm_shuffle_epi8(t, v), v));
}

// Eight bytes (lanes 0-7 of `chunk`, escape letters already in place of
// the bytes that need them, backslashes in lanes 8-15) spread out by mask
// `m`; the 16-byte store may run past the bytes that count, which the next
// write covers.
[[gnu::target("avx2")]] inline std::size_t put_spread(char* o, __m128i chunk, unsigned m) {
    const __m128i lanes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSpread[m].lanes.data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(chunk, lanes));
    return kSpread[m].len;
}

}  // namespace

// Whole 32-byte blocks first: a clean block is copied as it is, one whose
// escapes are all two-byte ones is spread out by table, one with a six-byte
// escape goes byte by byte; long clean stretches go 128 bytes per test.
[[gnu::target("avx2")]] std::size_t escape_avx2(char* out, std::size_t cap, const unsigned char* p,
                                                std::size_t len) {
    constexpr std::size_t kWorst = 6 * 32;
    const std::size_t last = cap - 1;
    const __m256i plain_break = lanes2(kPlainBreak);
    const __m256i two_byte = lanes2(kTwoByte);
    const __m256i two_letter = lanes2(kTwoLetter);
    const __m128i backslashes = _mm_set1_epi8('\\');
    std::size_t i = 0;
    std::size_t j = 0;
    while (len - i >= 32 && last - j >= kWorst) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i brk = breaks32(v, plain_break);
        const auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(brk));
        if (m == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), v);
            i += 32;
            j += 32;
            while (len - i >= 128 && last - j >= 128) {
                const auto* in = reinterpret_cast<const __m256i*>(p + i);
                auto* o = reinterpret_cast<__m256i*>(out + j);
                const __m256i a = _mm256_loadu_si256(in);
                const __m256i b = _mm256_loadu_si256(in + 1);
                const __m256i c = _mm256_loadu_si256(in + 2);
                const __m256i d = _mm256_loadu_si256(in + 3);
                _mm256_storeu_si256(o, a);
                _mm256_storeu_si256(o + 1, b);
                _mm256_storeu_si256(o + 2, c);
                _mm256_storeu_si256(o + 3, d);
                const __m256i any = _mm256_or_si256(
                    _mm256_or_si256(breaks32(a, plain_break), breaks32(b, plain_break)),
                    _mm256_or_si256(breaks32(c, plain_break), breaks32(d, plain_break)));
                if (!_mm256_testz_si256(any, any)) break;
                i += 128;
                j += 128;
            }
            continue;
        }
        const __m256i two = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(two_byte, v), v);
        if (_mm256_movemask_epi8(_mm256_andnot_si256(two, brk)) != 0) {
            for (const std::size_t stop = i + 32; i < stop; ++i) {
                const unsigned char c = p[i];
                if (kEscLen[c] == 1)
                    out[j] = static_cast<char>(c);
                else
                    write_escape(out + j, c);
                j += kEscLen[c];
            }
            continue;
        }
        const __m256i named = _mm256_blendv_epi8(v, _mm256_shuffle_epi8(two_letter, v), two);
        const __m128i lo = _mm256_castsi256_si128(named);
        const __m128i hi = _mm256_extracti128_si256(named, 1);
        j += put_spread(out + j, _mm_unpacklo_epi64(lo, backslashes), m & 0xFF);
        j += put_spread(out + j, _mm_unpackhi_epi64(lo, backslashes), (m >> 8) & 0xFF);
        j += put_spread(out + j, _mm_unpacklo_epi64(hi, backslashes), (m >> 16) & 0xFF);
        j += put_spread(out + j, _mm_unpackhi_epi64(hi, backslashes), m >> 24);
        i += 32;
    }
    // Short values (call ids, users, end points) are mostly one clean tail:
    // two overlapping loads settle it without the byte loop.
    const std::size_t r = len - i;
    if (r >= 8 && r < 32 && last - j >= 32) {
        __m128i a;
        __m128i b;
        if (r >= 16) {
            a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + len - 16));
        } else {
            a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i));
            b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + len - 8));
        }
        const __m128i any = _mm_or_si128(breaks16(a), breaks16(b));
        const unsigned used = r >= 16 ? 0xFFFFu : 0xFFu;
        if ((static_cast<unsigned>(_mm_movemask_epi8(any)) & used) == 0) {
            if (r >= 16) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), a);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j + r - 16), b);
            } else {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), a);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j + r - 8), b);
            }
            j += r;
            out[j] = '\0';
            return j;
        }
    }
    return j + escape_plain(out + j, cap - j, p + i, len - i);
}

}  // namespace zel::json_escape_rules

#endif
