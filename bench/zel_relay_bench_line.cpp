#include "zel_relay_bench_line.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The same thirteen members, in the same order, as the capture daemon's
// records, so the relay carries lines of a realistic shape; only the padding
// in "raw" varies, to make every line exactly kBenchLineSize bytes.
constexpr std::string_view kPrefix =
    "{\"type\":\"sip.message\",\"switch_id\":\"zel-bench\",\"timestamp_ms\":";
constexpr std::string_view kMid = ",\"call_id\":\"zelbench-";
constexpr size_t kSeqDigits = 20;  // UINT64_MAX has 20 digits
constexpr std::string_view kTail =
    "@127.0.0.1\",\"source\":\"127.0.0.1:5060\",\"destination\":\"127.0.0.1:5062\","
    "\"from\":\"alice\",\"to\":\"bob\",\"label\":\"INVITE\",\"method\":\"INVITE\","
    "\"status\":\"\",\"cseq\":\"1 INVITE\",\"raw\":\"";
constexpr std::string_view kEnd = "\"}";
constexpr size_t kMaxTsDigits = 19;  // INT64_MAX

constexpr size_t kFixed = kPrefix.size() + kMid.size() + kSeqDigits + kTail.size() + kEnd.size();
static_assert(kFixed + kMaxTsDigits < kBenchLineSize, "the fixed part must leave room for padding");

// Padding needs no JSON escaping, so any prefix of it keeps the record valid.
constexpr std::string_view kPadUnit =
    "INVITE sip:bob@127.0.0.1:5062 SIP/2.0 Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-bench ";

constexpr std::array<char, kBenchLineSize> make_padding() {
    std::array<char, kBenchLineSize> pad{};
    for (size_t i = 0; i < pad.size(); i++) pad[i] = kPadUnit[i % kPadUnit.size()];
    return pad;
}
constexpr std::array<char, kBenchLineSize> kPadding = make_padding();

size_t padding_for(size_t ts_digits) {
    return kBenchLineSize - kFixed - ts_digits;
}

char* put(char* p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

// Digits of v, most significant first, without leading zeros; returns the count.
size_t decimal(uint64_t v, char (&buf)[kSeqDigits]) {
    char rev[kSeqDigits];
    size_t n = 0;
    do {
        rev[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t i = 0; i < n; i++) buf[i] = rev[n - 1 - i];
    return n;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool take(std::string_view& s, std::string_view want) {
    if (s.substr(0, want.size()) != want) return false;
    s.remove_prefix(want.size());
    return true;
}

// Takes the part both record shapes share, up to the call id's sequence
// number: 0 with the time stamp's length and the number, or -1.
int take_head(std::string_view& s, size_t* ts_len, uint64_t* seq) {
    if (!take(s, kPrefix)) return -1;
    size_t n = 0;
    while (n < s.size() && is_digit(s[n])) n++;
    // A leading zero would make the number invalid JSON.
    if (n == 0 || n > kMaxTsDigits || (n > 1 && s[0] == '0')) return -1;
    s.remove_prefix(n);
    if (!take(s, kMid) || s.size() < kSeqDigits) return -1;
    uint64_t v = 0;
    for (size_t i = 0; i < kSeqDigits; i++) {
        if (!is_digit(s[i])) return -1;
        const uint64_t d = static_cast<uint64_t>(s[i] - '0');
        if (v > (UINT64_MAX - d) / 10) return -1;
        v = v * 10 + d;
    }
    s.remove_prefix(kSeqDigits);
    *ts_len = n;
    *seq = v;
    return 0;
}

}  // namespace

int bench_line_format(std::span<char> out, uint64_t seq, int64_t timestamp_ms) {
    if (out.size() < kBenchLineSize + 1 || timestamp_ms < 0) return -1;
    char ts[kSeqDigits];
    const size_t ts_len = decimal(static_cast<uint64_t>(timestamp_ms), ts);
    if (ts_len > kMaxTsDigits) return -1;

    char* p = out.data();
    p = put(p, kPrefix);
    p = put(p, {ts, ts_len});
    p = put(p, kMid);
    // Fixed width keeps the record's length independent of the sequence number.
    char digits[kSeqDigits];
    const size_t n = decimal(seq, digits);
    std::memset(p, '0', kSeqDigits - n);
    std::memcpy(p + (kSeqDigits - n), digits, n);
    p += kSeqDigits;
    p = put(p, kTail);
    p = put(p, {kPadding.data(), padding_for(ts_len)});
    p = put(p, kEnd);
    *p = '\n';
    return 0;
}

int bench_line_parse(std::string_view line, uint64_t* seq) {
    if (seq == nullptr || line.size() != kBenchLineSize) return -1;
    std::string_view s = line;
    size_t ts_len = 0;
    uint64_t v = 0;
    if (take_head(s, &ts_len, &v) != 0) return -1;
    if (!take(s, kTail)) return -1;
    if (!take(s, {kPadding.data(), padding_for(ts_len)})) return -1;
    if (s != kEnd) return -1;
    *seq = v;
    return 0;
}

namespace {

// The datagram and the record's tail after the call id's digits: the same
// message twice, once as sent and once as the record's JSON-escaped "raw".
constexpr const char* kSipFormat = "INVITE sip:bob@127.0.0.1:%d SIP/2.0\r\n"
                                   "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-%020llu\r\n"
                                   "From: <sip:alice@127.0.0.1>;tag=1\r\n"
                                   "To: <sip:bob@127.0.0.1>\r\n"
                                   "Call-ID: zelbench-%020llu@127.0.0.1\r\n"
                                   "CSeq: 1 INVITE\r\n"
                                   "Content-Length: 0\r\n\r\n";
constexpr const char* kRecordTail =
    "@127.0.0.1\",\"source\":\"127.0.0.1:%d\",\"destination\":\"127.0.0.1:%d\","
    "\"from\":\"alice\",\"to\":\"bob\",\"label\":\"INVITE\",\"method\":\"INVITE\","
    "\"status\":\"\",\"cseq\":\"1 INVITE\",\"raw\":\""
    "INVITE sip:bob@127.0.0.1:%d SIP/2.0\\r\\n"
    "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-%020llu\\r\\n"
    "From: <sip:alice@127.0.0.1>;tag=1\\r\\n"
    "To: <sip:bob@127.0.0.1>\\r\\n"
    "Call-ID: zelbench-%020llu@127.0.0.1\\r\\n"
    "CSeq: 1 INVITE\\r\\n"
    "Content-Length: 0\\r\\n\\r\\n\"}";

}  // namespace

size_t bench_sip_format(std::span<char> out, uint64_t seq, int src_port, int dst_port) {
    const auto s = static_cast<unsigned long long>(seq);
    const int n = std::snprintf(out.data(), out.size(), kSipFormat, dst_port, src_port, s, s);
    return n > 0 && static_cast<size_t>(n) < out.size() ? static_cast<size_t>(n) : 0;
}

int bench_record_parse(std::string_view line, int src_port, int dst_port, uint64_t* seq) {
    if (seq == nullptr) return -1;
    std::string_view s = line;
    size_t ts_len = 0;
    uint64_t v = 0;
    if (take_head(s, &ts_len, &v) != 0) return -1;
    char tail[1024];
    const auto q = static_cast<unsigned long long>(v);
    const int n =
        std::snprintf(tail, sizeof tail, kRecordTail, src_port, dst_port, dst_port, src_port, q, q);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof tail) return -1;
    if (s != std::string_view(tail, static_cast<size_t>(n))) return -1;
    *seq = v;
    return 0;
}

void bench_seq_note(bench_seq_stats* st, std::string_view message) {
    uint64_t seq = 0;
    const bool parsed = bench_line_parse(message, &seq) == 0;
    bench_seq_count(st, parsed, seq);
}

void bench_seq_count(bench_seq_stats* st, bool parsed, uint64_t seq) {
    st->received++;
    if (!parsed) {
        st->bad++;
        return;
    }
    if (seq < st->expected) {
        st->reorder++;
        return;
    }
    if (seq > st->expected) {
        st->gaps++;
        st->lost += seq - st->expected;
    }
    st->expected = seq + 1;
}

void bench_seq_finish(bench_seq_stats* st, uint64_t fed) {
    if (st->expected < fed) {
        st->gaps++;
        st->lost += fed - st->expected;
        st->expected = fed;
    }
}
