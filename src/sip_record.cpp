#include "sip_record.hpp"

#include "capture_settings.hpp"
#include "event_socket.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <span>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zel {

namespace {

// Escape capacities: six bytes per input byte of the array that holds the
// value, plus the NUL, so escaping never cuts a value.
constexpr std::size_t kEscSwitch = 6 * kSwitchIdSize + 1;  // 769
constexpr std::size_t kEscValue = 6 * kValueSize + 1;      // 3,073
constexpr std::size_t kEscEndpoint = 6 * 64 + 1;           // 385
constexpr std::size_t kEscLabel = 6 * 32 + 1;              // 193
constexpr std::size_t kEscStatus = 6 * 8 + 1;              // 49
constexpr std::size_t kEscRaw = 6 * kMaxPayload + 1;       // 98,305
constexpr std::size_t kJsonSize = kMaxRecord + 1;          // 114,689

constexpr std::string_view kHead = "{\"type\":\"sip.message\",\"switch_id\":\"";
constexpr std::string_view kTs = "\",\"timestamp_ms\":";
constexpr std::string_view kCallId = ",\"call_id\":\"";
constexpr std::string_view kSource = "\",\"source\":\"";
constexpr std::string_view kDest = "\",\"destination\":\"";
constexpr std::string_view kFrom = "\",\"from\":\"";
constexpr std::string_view kTo = "\",\"to\":\"";
constexpr std::string_view kLabel = "\",\"label\":\"";
constexpr std::string_view kMethod = "\",\"method\":\"";
constexpr std::string_view kStatus = "\",\"status\":\"";
constexpr std::string_view kCseq = "\",\"cseq\":\"";
constexpr std::string_view kRaw = "\",\"raw\":\"";
constexpr std::string_view kTail = "\"}";

// Each field is escaped straight into the record with its own capacity;
// the record array must hold all of them at their longest, so no write can
// run past it and no field is ever cut.
static_assert(kHead.size() + kTs.size() + kCallId.size() + kSource.size() + kDest.size() +
                      kFrom.size() + kTo.size() + kLabel.size() + kMethod.size() +
                      kStatus.size() + kCseq.size() + kRaw.size() + kTail.size() + 20 +
                      kEscSwitch + 4 * kEscValue + 2 * kEscEndpoint + 2 * kEscLabel +
                      kEscStatus + kEscRaw <=
              kJsonSize);

// Escaped length of every byte: 1 (itself), 2 (backslash form) or 6 (\u00XX).
constexpr std::array<unsigned char, 256> kEscLen = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 0x20 && c <= 0x7E) ? 1 : 6;
    t['"'] = 2;
    t['\\'] = 2;
    t['\n'] = 2;
    t['\r'] = 2;
    t['\t'] = 2;
    return t;
}();

// Letter after the backslash of the two-byte escapes.
constexpr std::array<char, 256> kEscChar = [] {
    std::array<char, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    return t;
}();

constexpr char hex[] = "0123456789abcdef";

using escape_fn = std::size_t (*)(char*, std::size_t, const unsigned char*, std::size_t);

// Writes the escape of one byte that does not stand for itself at out[j],
// if it fits with room left for the NUL; returns its length or 0.
[[gnu::always_inline]] inline std::size_t put_escape(char* out, std::size_t cap, std::size_t j,
                                                     unsigned char c)
{
    const std::size_t needed = kEscLen[c];
    if (j + needed >= cap)
        return 0;
    out[j] = '\\';
    if (needed == 2) {
        out[j + 1] = kEscChar[c];
    } else {
        out[j + 1] = 'u';
        out[j + 2] = '0';
        out[j + 3] = '0';
        out[j + 4] = hex[c >> 4];
        out[j + 5] = hex[c & 0x0F];
    }
    return needed;
}

// The escape loop, shared by every block width. `block` copies W input
// bytes to the output unconditionally and returns a bit mask of the bytes
// among them that need an escape; it is only used while W more input bytes
// exist and W more output bytes fit before the NUL's place, so its
// unconditional store never passes cap - 1 and whatever it wrote past the
// clean run is overwritten by the escape or the NUL that follows. Near the
// end of the input or of the room, bytes go one at a time.
template <std::size_t W, typename Block>
[[gnu::always_inline]] inline std::size_t escape_loop(char* out, std::size_t cap,
                                                      const unsigned char* p, std::size_t len,
                                                      Block block)
{
    std::size_t i = 0;
    std::size_t j = 0;
    const std::size_t last = cap - 1;  // out[last] is the NUL's last possible place
    for (;;) {
        while (W != 0 && len - i >= W && last - j >= W) {
            const std::uint32_t bad = block(p + i, out + j);
            if (bad == 0) {
                i += W;
                j += W;
                continue;
            }
            const auto clean = static_cast<std::size_t>(__builtin_ctz(bad));
            i += clean;
            j += clean;
            goto escape;
        }
        // One byte at a time: the tail of the input, or the last bytes of room.
        while (i < len && kEscLen[p[i]] == 1) {
            if (j == last)
                goto done;
            out[j++] = static_cast<char>(p[i++]);
        }
        if (i == len)
            goto done;
    escape:
        // Escapes often come in runs (CR LF, binary data): stay scalar for them.
        do {
            // CR LF ends every line of a SIP message: one step for the pair.
            if (p[i] == '\r' && len - i >= 2 && p[i + 1] == '\n' && last - j >= 4) {
                std::memcpy(out + j, "\\r\\n", 4);
                j += 4;
                i += 2;
                continue;
            }
            const std::size_t n = put_escape(out, cap, j, p[i]);
            if (n == 0)
                goto done;
            j += n;
            ++i;
        } while (i < len && kEscLen[p[i]] != 1);
    }
done:
    out[j] = '\0';
    return j;
}

#if defined(__x86_64__)
// A byte stands for itself when it is 0x20 to 0x7E and neither quote nor
// backslash. Compared as signed bytes, 0x80 to 0xFF are negative, so one
// "less than 0x20" test catches them together with the control bytes.
std::size_t escape_sse2(char* out, std::size_t cap, const unsigned char* p, std::size_t len)
{
    return escape_loop<16>(out, cap, p, len, [](const unsigned char* in, char* o) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        const __m128i bad = _mm_or_si128(
                _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                             _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F))),
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                             _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
        return static_cast<std::uint32_t>(_mm_movemask_epi8(bad));
    });
}

// The five bytes with a two-byte escape (TAB 09, LF 0A, '"' 22, '\\' 5C,
// CR 0D) differ in their low nibble, so one shuffle by low nibble both
// recognises them (the table gives the byte back only for itself) and
// names their escape letter. 0x7F sits at nibble F in the first table so
// that the plain-run test catches it with the same shuffle; bytes from 0x80
// up shuffle to 0 and never match.
constexpr unsigned char X = 0x80;  // matches no byte below 0x80
alignas(16) constexpr unsigned char kPlainBreak[16] = {X, X, '"', X, X, X, X, X,
                                                      X, '\t', '\n', X, '\\', '\r', X, 0x7F};
alignas(16) constexpr unsigned char kTwoByte[16] = {X, X, '"', X, X, X, X, X,
                                                   X, '\t', '\n', X, '\\', '\r', X, X};
alignas(16) constexpr unsigned char kTwoLetter[16] = {0, 0, '"', 0, 0, 0, 0, 0,
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
            if (m & (1u << k))
                t[m].lanes[o++] = 8;
            t[m].lanes[o++] = static_cast<unsigned char>(k);
        }
        t[m].len = static_cast<unsigned char>(o);
    }
    return t;
}();

[[gnu::target("avx2")]] inline __m256i lanes2(const unsigned char (&t)[16])
{
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// Bytes that do not stand for themselves, as a vector of 0xFF lanes.
[[gnu::target("avx2")]] inline __m256i breaks32(__m256i v, __m256i plain_break)
{
    return _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v),
                           _mm256_cmpeq_epi8(_mm256_shuffle_epi8(plain_break, v), v));
}

[[gnu::target("avx2")]] inline __m128i breaks16(__m128i v)
{
    const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(kPlainBreak));
    return _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                        _mm_cmpeq_epi8(_mm_shuffle_epi8(t, v), v));
}

// Eight bytes (lanes 0-7 of `chunk`, escape letters already in place of
// the bytes that need them, backslashes in lanes 8-15) spread out by mask
// `m`; the 16-byte store may run past the bytes that count, which the next
// write covers.
[[gnu::target("avx2")]] inline std::size_t put_spread(char* o, __m128i chunk, unsigned m)
{
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSpread[m].lanes.data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(chunk, lanes));
    return kSpread[m].len;
}

// Whole 32-byte blocks while at least one more input block and room for
// its worst case (every byte six wide) remain, so nothing inside the loop
// can reach the capacity: there the result is the same as byte by byte. A
// clean block is copied as it is; one whose escapes are all two-byte ones
// (the CR LF of every SIP line) is spread out by table with no branch per
// escape; one with a six-byte escape goes byte by byte. Long clean stretches
// go 128 bytes per test. The last bytes and a nearly full output go to the
// byte loop, which also writes the NUL.
[[gnu::target("avx2")]] std::size_t escape_avx2(char* out, std::size_t cap,
                                                const unsigned char* p, std::size_t len)
{
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
                if (!_mm256_testz_si256(any, any))
                    break;
                i += 128;
                j += 128;
            }
            continue;
        }
        const __m256i two = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(two_byte, v), v);
        if (_mm256_movemask_epi8(_mm256_andnot_si256(two, brk)) != 0) {
            for (const std::size_t stop = i + 32; i < stop; ++i) {
                if (kEscLen[p[i]] == 1)
                    out[j++] = static_cast<char>(p[i]);
                else
                    j += put_escape(out, cap, j, p[i]);
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
    return j + escape_loop<0>(out + j, cap - j, p + i, len - i,
                              [](const unsigned char*, char*) { return 0u; });
}

// Chosen once, before main, by what this processor can do.
const escape_fn escape_impl = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? escape_avx2 : escape_sse2;
}();
#endif

std::size_t escape_scalar(char* out, std::size_t cap, const unsigned char* p, std::size_t len)
{
    return escape_loop<0>(out, cap, p, len, [](const unsigned char*, char*) { return 0u; });
}

#if !defined(__x86_64__)
constexpr escape_fn escape_impl = escape_scalar;
#endif

// ASCII-only folding: bytes from 0x80 up must never match a letter, whatever
// the locale says.
constexpr unsigned char lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool equal_nocase(const unsigned char* p, const char* name, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (lower(p[i]) != lower(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// Copies at most cap - 1 bytes and terminates; cap is at least 1.
void copy_cut(char* out, std::size_t cap, const void* in, std::size_t n)
{
    n = std::min(n, cap - 1);
    std::memcpy(out, in, n);
    out[n] = '\0';
}

struct record_writer {
    char* buf;
    std::size_t n = 0;

    void put(std::string_view s)
    {
        std::memcpy(buf + n, s.data(), s.size());
        n += s.size();
    }
    void escaped(std::size_t cap, const void* in, std::size_t len)
    {
        n += json_escape(buf + n, cap, in, len);
    }
    void escaped(std::size_t cap, std::string_view s) { escaped(cap, s.data(), s.size()); }
    void text(std::size_t cap, const char* s) { escaped(cap, s, std::strlen(s)); }
    // Decimal exactly as "%ld" prints it.
    void number(std::int64_t v)
    {
        n = static_cast<std::size_t>(std::to_chars(buf + n, buf + n + 20, v).ptr - buf);
    }
};

// The record array is large and this runs on one thread only.
char json[kJsonSize];

} // namespace

std::span<const escape_variant> json_escape_variants()
{
    static const escape_variant all[] = {
#if defined(__x86_64__)
            {"sse2", escape_sse2},
            {"avx2", __builtin_cpu_supports("avx2") ? escape_avx2 : nullptr},
#endif
            {"scalar", escape_scalar},
    };
    return all;
}

std::size_t json_escape(char* out, std::size_t cap, const void* in, std::size_t len)
{
    if (cap == 0)
        return 0;
    return escape_impl(out, cap, static_cast<const unsigned char*>(in), len);
}

namespace {

// The value of a line already known to start with a matching name of
// `nlen` bytes and its colon: leading blanks and tabs and trailing CRs and
// blanks removed.
std::string_view trimmed_value(const unsigned char* line, const unsigned char* line_end,
                               std::size_t nlen)
{
    const unsigned char* v = line + nlen + 1;
    while (v < line_end && (*v == ' ' || *v == '\t'))
        ++v;
    const unsigned char* ve = line_end;
    while (ve > v && (ve[-1] == '\r' || ve[-1] == ' '))
        --ve;
    return {reinterpret_cast<const char*>(v), static_cast<std::size_t>(ve - v)};
}

// A value as the record carries it: what header_value would give into a
// kValueSize array, read as a C string, so it is cut to kValueSize - 1
// bytes and ends at its first NUL. A view into the payload, not a copy.
std::string_view record_value(const unsigned char* line, const unsigned char* line_end,
                              std::size_t nlen)
{
    std::string_view v = trimmed_value(line, line_end, nlen);
    v = v.substr(0, kValueSize - 1);
    if (const void* nul = std::memchr(v.data(), '\0', v.size()))
        v = v.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - v.data()));
    return v;
}

// User part of the first "sip:" in `value` (up to "@", ">" or ";"), or all
// of `value`; `value` holds no NUL.
std::string_view user_part(std::string_view value)
{
    // Every "sip:" ends in a colon, so the first colon after "sip" in any
    // case marks the first one.
    const auto* v = reinterpret_cast<const unsigned char*>(value.data());
    for (std::size_t k = 3; k < value.size(); ++k) {
        const void* colon = std::memchr(v + k, ':', value.size() - k);
        if (colon == nullptr)
            break;
        k = static_cast<std::size_t>(static_cast<const unsigned char*>(colon) - v);
        if (equal_nocase(v + k - 3, "sip", 3)) {
            const std::string_view user = value.substr(k + 1);
            std::size_t n = 0;
            while (n < user.size() && user[n] != '@' && user[n] != '>' && user[n] != ';')
                ++n;
            return user.substr(0, n);
        }
    }
    return value;
}

bool line_has_name(const unsigned char* p, std::size_t line_len, const char* name,
                   std::size_t nlen)
{
    return line_len > nlen && p[nlen] == ':' && equal_nocase(p, name, nlen);
}

// The headers a record needs, by their index in kWanted.
enum wanted { w_call_id, w_i, w_from, w_f, w_to, w_t, w_cseq, w_count };
struct wanted_name {
    const char* name;
    std::size_t len;
};
constexpr wanted_name kWanted[w_count] = {
        {"Call-ID", 7}, {"i", 1}, {"From", 4}, {"f", 1}, {"To", 2}, {"t", 1}, {"CSeq", 4},
};

// Where each wanted header's first line is, found in one walk over the
// payload instead of one walk per name. A line can match at most one name
// (the colon must stand right after it), so the names to test are picked
// by the line's first letter.
// Only the values whose bit is set in `found` are written.
struct header_lines {
    unsigned found = 0;
    std::string_view value[w_count];

    bool has(int k) const { return (found & (1u << k)) != 0; }
};

// True when a long form's value is settled: it was found with a value
// whose first byte is not NUL, or its compact form was found as well.
bool settled(const header_lines& h, wanted long_form, wanted compact)
{
    return h.has(long_form) && (h.has(compact) || !h.value[long_form].empty());
}

void find_headers(const unsigned char* sip, std::size_t len, header_lines& h)
{
    const unsigned char* p = sip;
    const unsigned char* const end = sip + len;
    int unresolved = 4;  // Call-ID/i, From/f, To/t, CSeq
    while (p < end && unresolved > 0) {
        const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', end - p));
        const unsigned char* line_end = nl ? nl : end;
        const auto line_len = static_cast<std::size_t>(line_end - p);
        int cand[2] = {-1, -1};
        switch (lower(*p)) {
        case 'c': cand[0] = w_call_id; cand[1] = w_cseq; break;
        case 'i': cand[0] = w_i; break;
        case 'f': cand[0] = w_from; cand[1] = w_f; break;
        case 't': cand[0] = w_to; cand[1] = w_t; break;
        default: break;
        }
        for (int c : cand) {
            if (c < 0 || h.has(c) ||
                !line_has_name(p, line_len, kWanted[c].name, kWanted[c].len))
                continue;
            h.found |= 1u << c;
            h.value[c] = record_value(p, line_end, kWanted[c].len);
            unresolved = !settled(h, w_call_id, w_i) + !settled(h, w_from, w_f) +
                         !settled(h, w_to, w_t) + !h.has(w_cseq);
            break;
        }
        if (nl == nullptr)
            break;
        p = nl + 1;
    }
}

// The value of wanted header `k`, or empty when no line had it.
std::string_view wanted_value(const header_lines& h, int k)
{
    return h.has(k) ? h.value[k] : std::string_view{};
}

} // namespace

void header_value(const unsigned char* sip, std::size_t len, const char* name, char* out,
                  std::size_t cap)
{
    out[0] = '\0';
    const std::size_t nlen = std::strlen(name);
    const unsigned char* p = sip;
    const unsigned char* const end = sip + len;
    while (p < end) {
        const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', end - p));
        const unsigned char* line_end = nl ? nl : end;
        if (line_has_name(p, static_cast<std::size_t>(line_end - p), name, nlen)) {
            const std::string_view v = trimmed_value(p, line_end, nlen);
            copy_cut(out, cap, v.data(), v.size());
            return;
        }
        if (nl == nullptr)
            return;
        p = nl + 1;
    }
}

void sip_user(const char* value, char* out, std::size_t cap)
{
    const std::string_view user = user_part(value);
    copy_cut(out, cap, user.data(), user.size());
}

void parse_sip(const unsigned char* sip, std::size_t len, const char* src, const char* dst,
               std::int64_t sec, std::int64_t usec)
{
    len = std::min(len, kMaxPayload);
    const auto* nl = static_cast<const unsigned char*>(std::memchr(sip, '\n', len));
    const std::size_t first_len = nl ? static_cast<std::size_t>(nl - sip) : len;
    // Too short for any SIP first line; this drops CR LF keep-alives.
    if (first_len < 3)
        return;

    char method[32] = "";
    char status[8] = "";
    const char* label;
    constexpr std::string_view kResponse = "SIP/2.0 ";
    if (len >= kResponse.size() && std::memcmp(sip, kResponse.data(), kResponse.size()) == 0) {
        std::size_t k = 0;
        while (k < 3 && kResponse.size() + k < len && sip[kResponse.size() + k] != 0) {
            status[k] = static_cast<char>(sip[kResponse.size() + k]);
            ++k;
        }
        status[k] = '\0';
        label = status;
    } else {
        const std::size_t limit = std::min(first_len, sizeof method - 1);
        std::size_t k = 0;
        while (k < limit && sip[k] != ' ')
            ++k;
        std::memcpy(method, sip, k);
        method[k] = '\0';
        label = method;
    }

    // The same values as header_value name by name (a compact form only
    // when the long form's value is empty), from a single walk, and read
    // in place in the payload.
    header_lines lines;
    find_headers(sip, len, lines);
    std::string_view call_id = wanted_value(lines, w_call_id);
    if (call_id.empty())
        call_id = wanted_value(lines, w_i);
    // The Call-ID is what tells SIP apart from any other UDP payload.
    if (call_id.empty())
        return;

    std::string_view from = wanted_value(lines, w_from);
    if (from.empty())
        from = wanted_value(lines, w_f);
    std::string_view to = wanted_value(lines, w_to);
    if (to.empty())
        to = wanted_value(lines, w_t);
    const std::string_view cseq = wanted_value(lines, w_cseq);
    from = user_part(from);
    to = user_part(to);

    // Millisecond time stamp, wrapping instead of overflowing on absurd
    // input (offline captures can carry any time stamp).
    const auto timestamp_ms = static_cast<std::int64_t>(
            static_cast<std::uint64_t>(sec) * 1000u + static_cast<std::uint64_t>(usec / 1000));

    record_writer w{json};
    w.put(kHead);
    w.text(kEscSwitch, switch_id);
    w.put(kTs);
    w.number(timestamp_ms);
    w.put(kCallId);
    w.escaped(kEscValue, call_id);
    w.put(kSource);
    w.text(kEscEndpoint, src);
    w.put(kDest);
    w.text(kEscEndpoint, dst);
    w.put(kFrom);
    w.escaped(kEscValue, from);
    w.put(kTo);
    w.escaped(kEscValue, to);
    w.put(kLabel);
    w.text(kEscLabel, label);
    w.put(kMethod);
    w.text(kEscLabel, method);
    w.put(kStatus);
    w.text(kEscStatus, status);
    w.put(kCseq);
    w.escaped(kEscValue, cseq);
    w.put(kRaw);
    if (include_raw)
        w.escaped(kEscRaw, sip, len);
    w.put(kTail);

    if (w.n < 1 || w.n > kMaxRecord)
        return;
    record_sink(json, w.n);
}

} // namespace zel
