#include "sip_record.hpp"

#include "json_escape.hpp"
#include "sip_text.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace zel {

namespace {

// Size of every extracted header value and user part, NUL included: a
// longer value is cut to 511 bytes.
constexpr std::size_t kValueSize = 512;
// Room for an end-point text; the longest IPv4 one, "255.255.255.255:65535",
// is 21 bytes, the longest IPv6 one 53 ("[" + 45 from inet_ntop + "]:65535").
constexpr std::size_t kEndpointSize = 64;
static_assert(1 + INET6_ADDRSTRLEN + 7 <= kEndpointSize);

// Escape capacities: six bytes per input byte of the array that holds the
// value, plus the NUL, so escaping never cuts a value.
constexpr std::size_t kEscSwitch = 6 * kSwitchIdSize + 1;        // 769
constexpr std::size_t kEscValue = 6 * kValueSize + 1;            // 3,073
constexpr std::size_t kEscEndpoint = 6 * kEndpointSize + 1;      // 385
constexpr std::size_t kEscLabel = 6 * 32 + 1;                    // 193
constexpr std::size_t kEscStatus = 6 * 8 + 1;                    // 49
constexpr std::size_t kEscRaw = 6 * kMaxPayload + 1;             // 98,305
constexpr std::size_t kJsonSize = sizeof(record_buffer::bytes);  // 114,689

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
// run past it, no field is ever cut and no record is longer than
// kMaxRecord.
static_assert(kHead.size() + kTs.size() + kCallId.size() + kSource.size() + kDest.size() +
                  kFrom.size() + kTo.size() + kLabel.size() + kMethod.size() + kStatus.size() +
                  kCseq.size() + kRaw.size() + kTail.size() + 20 + kEscSwitch + 4 * kEscValue +
                  2 * kEscEndpoint + 2 * kEscLabel + kEscStatus + kEscRaw <=
              kJsonSize);

struct record_writer {
    char* buf;
    std::size_t n = 0;

    void put(std::string_view s) {
        std::memcpy(buf + n, s.data(), s.size());
        n += s.size();
    }
    void escaped(std::size_t cap, const void* in, std::size_t len) {
        n += json_escape(buf + n, cap, in, len);
    }
    void escaped(std::size_t cap, std::string_view s) { escaped(cap, s.data(), s.size()); }
    void text(std::size_t cap, const char* s) { escaped(cap, s, std::strlen(s)); }
    // Decimal exactly as "%ld" prints it.
    void number(std::int64_t v) {
        n = static_cast<std::size_t>(std::to_chars(buf + n, buf + n + 20, v).ptr - buf);
    }
};

char* put_decimal(char* p, unsigned v) {
    char digits[5];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (k > 0) *p++ = digits[--k];
    return p;
}

// "a.b.c.d:port", as inet_ntop and "%s:%u" would write it, or for IPv6
// "[" + inet_ntop's text + "]:port", into `out` (kEndpointSize bytes, a NUL
// after the text). Returns the text's length. Digits, hex letters, '.', ':'
// and brackets need no JSON escape, so the record takes the text as it is.
std::size_t format_endpoint(char* out, const endpoint& e) {
    char* p = out;
    if (e.family == AF_INET6) {
        *p++ = '[';
        if (inet_ntop(AF_INET6, e.addr.data(), p, INET6_ADDRSTRLEN) == nullptr) *p = '\0';
        p += std::strlen(p);
        *p++ = ']';
        *p++ = ':';
        p = put_decimal(p, e.port);
        *p = '\0';
        return static_cast<std::size_t>(p - out);
    }
    for (int i = 0; i < 4; ++i) {
        p = put_decimal(p, e.addr[i]);
        *p++ = i < 3 ? '.' : ':';
    }
    p = put_decimal(p, e.port);
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

// The value of a line already known to start with a matching name of
// `nlen` bytes and its colon: leading blanks and tabs and trailing CRs and
// blanks removed.
std::string_view trimmed_value(const unsigned char* line, const unsigned char* line_end,
                               std::size_t nlen) {
    const unsigned char* v = line + nlen + 1;
    while (v < line_end && (*v == ' ' || *v == '\t')) ++v;
    const unsigned char* ve = line_end;
    while (ve > v && (ve[-1] == '\r' || ve[-1] == ' ')) --ve;
    return {reinterpret_cast<const char*>(v), static_cast<std::size_t>(ve - v)};
}

// A value as the record carries it: trimmed, cut to kValueSize - 1 bytes
// and ended at its first NUL, as a C string in a kValueSize array would
// hold it. A view into the payload, not a copy.
std::string_view record_value(const unsigned char* line, const unsigned char* line_end,
                              std::size_t nlen) {
    std::string_view v = trimmed_value(line, line_end, nlen);
    v = v.substr(0, kValueSize - 1);
    if (const void* nul = std::memchr(v.data(), '\0', v.size()))
        v = v.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - v.data()));
    return v;
}

// User part of the first "sip:" in `value` (up to "@", ">" or ";"), or all
// of `value`; `value` holds no NUL.
std::string_view user_part(std::string_view value) {
    // Every "sip:" ends in a colon, so the first colon after "sip" in any
    // case marks the first one.
    const auto* v = reinterpret_cast<const unsigned char*>(value.data());
    for (std::size_t k = 3; k < value.size(); ++k) {
        const void* colon = std::memchr(v + k, ':', value.size() - k);
        if (colon == nullptr) break;
        k = static_cast<std::size_t>(static_cast<const unsigned char*>(colon) - v);
        if (equal_nocase(v + k - 3, "sip", 3)) {
            const std::string_view user = value.substr(k + 1);
            std::size_t n = 0;
            while (n < user.size() && user[n] != '@' && user[n] != '>' && user[n] != ';') ++n;
            return user.substr(0, n);
        }
    }
    return value;
}

bool line_has_name(const unsigned char* p, std::size_t line_len, const char* name,
                   std::size_t nlen) {
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
bool settled(const header_lines& h, wanted long_form, wanted compact) {
    return h.has(long_form) && (h.has(compact) || !h.value[long_form].empty());
}

void find_headers(const unsigned char* sip, std::size_t len, header_lines& h) {
    const unsigned char* p = sip;
    const unsigned char* const end = sip + len;
    int unresolved = 4;  // Call-ID/i, From/f, To/t, CSeq
    while (p < end && unresolved > 0) {
        const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', end - p));
        const unsigned char* line_end = nl ? nl : end;
        const auto line_len = static_cast<std::size_t>(line_end - p);
        int cand[2] = {-1, -1};
        switch (lower(*p)) {
        case 'c':
            cand[0] = w_call_id;
            cand[1] = w_cseq;
            break;
        case 'i':
            cand[0] = w_i;
            break;
        case 'f':
            cand[0] = w_from;
            cand[1] = w_f;
            break;
        case 't':
            cand[0] = w_to;
            cand[1] = w_t;
            break;
        default:
            break;
        }
        for (int c : cand) {
            if (c < 0 || h.has(c) || !line_has_name(p, line_len, kWanted[c].name, kWanted[c].len))
                continue;
            h.found |= 1u << c;
            h.value[c] = record_value(p, line_end, kWanted[c].len);
            unresolved = !settled(h, w_call_id, w_i) + !settled(h, w_from, w_f) +
                         !settled(h, w_to, w_t) + !h.has(w_cseq);
            break;
        }
        if (nl == nullptr) break;
        p = nl + 1;
    }
}

// The value of wanted header `k`, or empty when no line had it.
std::string_view wanted_value(const header_lines& h, int k) {
    return h.has(k) ? h.value[k] : std::string_view{};
}

// The strict rule, before anything else is read: CR LF bytes before the
// start line are dropped from the payload as if they had not been sent,
// and a payload that is only such bytes stays a keep-alive
// (short_first_line). False after counting not_sip.
bool strict_start(std::span<const std::uint8_t>& payload, drop_counts& drops) {
    const std::size_t skip = leading_crlf(payload);
    if (skip == payload.size()) return true;
    payload = payload.subspan(skip);
    if (classify_start_line(payload) != start_line_kind::none) return true;
    drops.add(drop_reason::not_sip);
    return false;
}

}  // namespace

bool set_switch_id(record_options& options, const char* value) {
    const std::size_t len = std::strlen(value);
    if (len == 0 || len >= kSwitchIdSize) {
        std::fprintf(stderr, "switch-id must contain 1-%zu bytes\n", kSwitchIdSize - 1);
        return false;
    }
    std::memcpy(options.switch_id, value, len + 1);
    return true;
}

std::string_view parse_sip(const datagram& d, const record_options& options, record_buffer& out,
                           drop_counts& drops) {
    std::span<const std::uint8_t> payload = d.payload;
    if (options.strict_sip && !strict_start(payload, drops)) return {};
    const unsigned char* const sip = payload.data();
    const std::size_t len = std::min(payload.size(), kMaxPayload);
    const auto* nl = static_cast<const unsigned char*>(std::memchr(sip, '\n', len));
    const std::size_t first_len = nl ? static_cast<std::size_t>(nl - sip) : len;
    // Too short for any SIP first line; this drops CR LF keep-alives.
    if (first_len < 3) {
        drops.add(drop_reason::short_first_line);
        return {};
    }

    char method[32] = "";
    char status[8] = "";
    const char* label;
    if (len >= kSipResponse.size() &&
        std::memcmp(sip, kSipResponse.data(), kSipResponse.size()) == 0) {
        std::size_t k = 0;
        while (k < 3 && kSipResponse.size() + k < len && sip[kSipResponse.size() + k] != 0) {
            status[k] = static_cast<char>(sip[kSipResponse.size() + k]);
            ++k;
        }
        status[k] = '\0';
        label = status;
    } else {
        const std::size_t limit = std::min(first_len, sizeof method - 1);
        std::size_t k = 0;
        while (k < limit && sip[k] != ' ') ++k;
        std::memcpy(method, sip, k);
        method[k] = '\0';
        label = method;
    }

    // Each value is the first line's of that name (a compact form only
    // when the long form's value is empty), all found in a single walk, and
    // read in place in the payload.
    header_lines lines;
    find_headers(sip, len, lines);
    std::string_view call_id = wanted_value(lines, w_call_id);
    if (call_id.empty()) call_id = wanted_value(lines, w_i);
    // The Call-ID is what tells SIP apart from any other UDP payload.
    if (call_id.empty()) {
        drops.add(drop_reason::no_call_id);
        return {};
    }

    std::string_view from = wanted_value(lines, w_from);
    if (from.empty()) from = wanted_value(lines, w_f);
    std::string_view to = wanted_value(lines, w_to);
    if (to.empty()) to = wanted_value(lines, w_t);
    const std::string_view cseq = wanted_value(lines, w_cseq);
    if (!options.ignore_methods.empty() &&
        options.ignore_methods.contains(label == status ? cseq_method(cseq)
                                                        : std::string_view(method))) {
        drops.add(drop_reason::method_ignored);
        return {};
    }
    from = user_part(from);
    to = user_part(to);

    // Millisecond time stamp, wrapping instead of overflowing on absurd
    // input (offline captures can carry any time stamp).
    const auto timestamp_ms = static_cast<std::int64_t>(static_cast<std::uint64_t>(d.sec) * 1000u +
                                                        static_cast<std::uint64_t>(d.usec / 1000));
    record_writer w{out.bytes};
    w.put(kHead);
    w.text(kEscSwitch, options.switch_id);
    w.put(kTs);
    w.number(timestamp_ms);
    w.put(kCallId);
    w.escaped(kEscValue, call_id);
    w.put(kSource);
    w.n += format_endpoint(w.buf + w.n, d.source);
    w.put(kDest);
    w.n += format_endpoint(w.buf + w.n, d.destination);
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
    if (options.include_raw) w.escaped(kEscRaw, sip, len);
    w.put(kTail);
    return {out.bytes, w.n};
}

}  // namespace zel
