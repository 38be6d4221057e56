// The relay's own WebSocket framing: header forms at every length boundary,
// the longest payload a room takes, word-wise masking against the byte rule,
// the sequenced envelope of a line, and whole buffers of frames written with
// write_lines read back by the library's own parser over a loopback
// connection, both server to client (unmasked) and client to server
// (masked), plain and enveloped, on lines of 1 to 262,144 bytes.
#include "relay_frame.hpp"

#include <gtest/gtest.h>
#include <libwebsockets.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace zel;

std::vector<unsigned char> bytes(std::initializer_list<int> v) {
    return std::vector<unsigned char>(v.begin(), v.end());
}

struct HeaderCase {
    uint64_t len;
    bool masked;
    std::vector<unsigned char> want;
};

TEST(RelayFrame, HeaderForms) {
    // clang-format off
    const HeaderCase cases[] = {
        {1, false, bytes({0x81, 0x01})},
        {125, false, bytes({0x81, 0x7d})},
        {126, false, bytes({0x81, 0x7e, 0x00, 0x7e})},
        {65535, false, bytes({0x81, 0x7e, 0xff, 0xff})},
        {65536, false, bytes({0x81, 0x7f, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00})},
        {262144, false, bytes({0x81, 0x7f, 0, 0, 0, 0, 0, 0x04, 0x00, 0x00})},
        {1, true, bytes({0x81, 0x81, 0xa1, 0xb2, 0xc3, 0xd4})},
        {126, true, bytes({0x81, 0xfe, 0x00, 0x7e, 0xa1, 0xb2, 0xc3, 0xd4})},
        {65536, true, bytes({0x81, 0xff, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0xa1, 0xb2, 0xc3, 0xd4})},
    };
    // clang-format on
    const unsigned char key[4] = {0xa1, 0xb2, 0xc3, 0xd4};
    for (const HeaderCase& c : cases) {
        unsigned char out[frame::kMaxHeader];
        const size_t n = frame::write_header(out, c.len, c.masked ? key : nullptr);
        EXPECT_EQ(std::vector<unsigned char>(out, out + n), c.want) << c.len << " " << c.masked;
        EXPECT_EQ(frame::header_size(c.len, c.masked), n);
    }
}

TEST(RelayFrame, LongestPayloadFillsTheRoomExactly) {
    for (bool masked : {false, true}) {
        for (size_t room = 0; room <= 70000; room++) {
            const size_t p = frame::max_payload(room, masked);
            if (p > 0) {
                ASSERT_LE(frame::header_size(p, masked) + p, room) << room;
            }
            ASSERT_GT(frame::header_size(p + 1, masked) + p + 1, room) << room << " " << masked;
        }
    }
}

TEST(RelayFrame, WordMaskingMatchesTheByteRule) {
    const unsigned char key[4] = {0x12, 0x9a, 0xff, 0x01};
    std::vector<unsigned char> src(300);
    for (size_t i = 0; i < src.size(); i++) src[i] = static_cast<unsigned char>(i * 7 + 3);
    for (size_t off = 0; off < 8; off++) {
        for (size_t n = 0; n + off <= src.size(); n += 13) {
            std::vector<unsigned char> got(n + 1, 0xee),
                in_place(src.begin() + off, src.begin() + off + n);
            frame::copy_masked(got.data(), src.data() + off, n, key);
            frame::copy_masked(in_place.data(), in_place.data(), n, key);
            for (size_t i = 0; i < n; i++)
                ASSERT_EQ(got[i], src[off + i] ^ key[i % 4]) << off << " " << n;
            EXPECT_EQ(got[n], 0xee) << "wrote past the end";
            EXPECT_TRUE(std::equal(in_place.begin(), in_place.end(), got.begin()));
        }
    }
}

// The envelope as a consumer reads it: an object-shaped line goes in as it
// is, anything else as a JSON string with every byte that JSON requires
// escaped, and bytes from 0x80 up untouched.
TEST(RelayFrame, SequencedEnvelope) {
    struct Case {
        std::string line;
        uint64_t seq;
        std::string event;
    };
    const Case cases[] = {
        {"{\"a\":1}", 1, "{\"a\":1}"},
        {"{}", 18446744073709551615u, "{}"},
        {"{not json at all}", 7, "{not json at all}"},  // never parsed
        {"plain text", 10, "\"plain text\""},
        {"{", 2, "\"{\""},
        {"}", 3, "\"}\""},
        {"say \"hi\" \\ bye", 4, "\"say \\\"hi\\\" \\\\ bye\""},
        {std::string("a\x01\x1f\n\r\t\b\f", 9), 5, "\"a\\u0001\\u001f\\n\\r\\t\\b\\f\\u0000\""},
        {"caf\xc3\xa9 \x7f", 6, "\"caf\xc3\xa9 \x7f\""},
    };
    boot_id boot{};
    std::memcpy(boot.text, "0123456789abcdef0123456789abcdef", 33);
    for (const Case& c : cases) {
        std::string line = c.line;
        line_ref ref{reinterpret_cast<unsigned char*>(line.data()), line.size(), c.seq, nullptr};
        const std::string want =
            "{\"seq\":" + std::to_string(c.seq) +
            ",\"boot\":\"0123456789abcdef0123456789abcdef\",\"event\":" + c.event + "}";
        std::string out(frame::payload_size(ref, &boot), '\0');
        EXPECT_EQ(frame::put_payload(reinterpret_cast<unsigned char*>(out.data()), ref, &boot),
                  out.size());
        EXPECT_EQ(out, want) << c.line;
        EXPECT_EQ(frame::payload_size(ref, nullptr), line.size());
    }
}

// ---- write_lines read by the library ----------------------------------------

// One loopback WebSocket pair in one context: the relay's writer on one end,
// the library's parser on the other.
struct pair_state {
    lws* server = nullptr;
    lws* client = nullptr;
    lws* sender = nullptr;
    bool masked = false;
    line_log log;
    uint64_t pos = 1;
    const boot_id* boot = nullptr;  // enveloped when set
    frame::writer writer{};
    size_t batches = 0;  // writes that carried more than one line
    bool failed = false;
    std::string partial;
    std::vector<std::string> got;
    bool binary_seen = false;
};

pair_state* g_pair;

int pair_callback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
    pair_state* p = g_pair;
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        p->server = wsi;
        return 0;
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        p->client = wsi;
        return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE:
    case LWS_CALLBACK_CLIENT_WRITEABLE:
        if (wsi != p->sender) return 0;
        do {
            line_ref pinned[64];
            const pin_result got = line_log_pin(p->log, p->pos, pinned, frame::kBatchBytes);
            if (got.count == 0) break;
            frame::batch_result r;
            const int rc = frame::write_lines(&p->writer, wsi, {pinned, got.count}, p->boot, &r);
            line_log_unpin({pinned, got.count});
            if (rc != 0) {
                p->failed = true;
                return -1;
            }
            p->pos += r.lines;
            if (r.lines > 1) p->batches++;
        } while (!lws_send_pipe_choked(wsi));
        if (p->pos < line_log_range(p->log).next) lws_callback_on_writable(wsi);
        return 0;
    case LWS_CALLBACK_RECEIVE:
    case LWS_CALLBACK_CLIENT_RECEIVE:
        if (lws_frame_is_binary(wsi)) p->binary_seen = true;
        p->partial.append(static_cast<const char*>(in), len);
        if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
            p->got.push_back(std::move(p->partial));
            p->partial.clear();
        }
        return 0;
    default:
        return 0;
    }
}

const lws_protocols kPairProtocols[] = {
    {"zel-frame-test", pair_callback, 0, 4096, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

std::string line_of(size_t len, size_t seed) {
    std::string s(len, ' ');
    for (size_t i = 0; i < len; i++) s[i] = static_cast<char>('!' + (i * 31 + seed * 17) % 94);
    return s;
}

// Sends lines from one end of a fresh pair and returns what the other end's
// parser delivered as whole text messages.
std::vector<std::string> round_trip(bool client_sends, const std::vector<std::string>& lines,
                                    pair_state* p) {
    g_pair = p;
    p->masked = client_sends;
    frame::writer_init(&p->writer, client_sends);
    EXPECT_EQ(line_log_init(p->log, 100000, 1 << 30, boot_id{}), 0);

    lws_set_log_level(LLL_ERR, nullptr);
    lws_context_creation_info info{};
    info.port = 0;  // any free port
    info.iface = "127.0.0.1";
    info.protocols = kPairProtocols;
    info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
    lws_context* ctx = lws_create_context(&info);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) return {};
    lws_client_connect_info ci{};
    ci.context = ctx;
    ci.address = "127.0.0.1";
    ci.port = lws_get_vhost_listen_port(lws_get_vhost_by_name(ctx, "default"));
    ci.path = "/";
    ci.host = "127.0.0.1";
    ci.protocol = kPairProtocols[0].name;
    EXPECT_NE(lws_client_connect_via_info(&ci), nullptr);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((p->server == nullptr || p->client == nullptr) &&
           std::chrono::steady_clock::now() < deadline)
        lws_service(ctx, 0);
    p->sender = client_sends ? p->client : p->server;
    for (const std::string& l : lines)
        EXPECT_EQ(
            line_log_append(p->log, {reinterpret_cast<const unsigned char*>(l.data()), l.size()}),
            0);
    if (p->sender != nullptr) lws_callback_on_writable(p->sender);
    while (p->got.size() < lines.size() && !p->failed &&
           std::chrono::steady_clock::now() < deadline)
        lws_service(ctx, 0);
    lws_context_destroy(ctx);
    line_log_destroy(p->log);
    return p->got;
}

std::vector<std::string> boundary_lines() {
    std::vector<std::string> lines;
    size_t seed = 0;
    for (size_t len : {1, 2, 7, 8, 9, 125, 126, 127, 500, 16367, 16368, 16370, 16383, 16384, 65535,
                       65536, 65537, 262144})
        lines.push_back(line_of(len, seed++));
    // Enough ordinary lines for many full buffers, with odd ones between them.
    for (size_t i = 0; i < 400; i++) lines.push_back(line_of(i % 50 == 0 ? 9000 : 500, seed++));
    lines.push_back(line_of(1, seed++));
    return lines;
}

// Server to client unmasked, client to server masked: the library's parser
// on the other end must see every line as one whole text message, in order,
// with more than one line in some writes.
TEST(RelayFrameWire, FramesReadByTheLibrarysParserBothWays) {
    const std::vector<std::string> lines = boundary_lines();
    for (bool client_sends : {false, true}) {
        SCOPED_TRACE(client_sends ? "client to server" : "server to client");
        pair_state p;
        EXPECT_EQ(round_trip(client_sends, lines, &p), lines);
        EXPECT_FALSE(p.failed);
        EXPECT_FALSE(p.binary_seen);
        EXPECT_GT(p.batches, 0u) << "no write carried more than one line";
    }
}

// The same lines enveloped, some of them as strings (they do not end in
// '}'): every one arrives as its own whole envelope, also those longer
// than a buffer, which are built aside rather than in the shared line.
TEST(RelayFrameWire, EnvelopesReadByTheLibrarysParserBothWays) {
    std::vector<std::string> lines = boundary_lines();
    for (size_t i = 0; i < lines.size(); i += 3) lines[i] = "{" + lines[i] + "}";
    boot_id boot{};
    ASSERT_EQ(boot_id_draw(boot), 0);
    for (bool client_sends : {false, true}) {
        SCOPED_TRACE(client_sends ? "client to server" : "server to client");
        pair_state p;
        p.boot = &boot;
        const std::vector<std::string> got = round_trip(client_sends, lines, &p);
        ASSERT_EQ(got.size(), lines.size());
        for (size_t i = 0; i < lines.size(); i++) {
            std::string line = lines[i];
            line_ref ref{reinterpret_cast<unsigned char*>(line.data()), line.size(), i + 1,
                         nullptr};
            std::string want(frame::payload_size(ref, &boot), '\0');
            frame::put_payload(reinterpret_cast<unsigned char*>(want.data()), ref, &boot);
            ASSERT_EQ(got[i], want) << i;
        }
        EXPECT_FALSE(p.failed);
    }
}

}  // namespace
