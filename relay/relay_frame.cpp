// Frames in bulk. The library's own text write makes one TLS record and one
// system call per line, and as a client it reads /dev/urandom for every mask
// and masks byte by byte; on loopback the system call alone costs more than
// encrypting 16 KB. Building the frames here lets one write carry up to 32
// lines of 500 bytes.
#include "relay_frame.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zel::frame {

namespace {

constexpr unsigned char kFinText = 0x81;
constexpr unsigned char kMaskBit = 0x80;

// A line too long for a batch is framed in front of its own bytes, in the
// headroom every line is allocated with, behind the room the library may use.
static_assert(kLineHeadroom >= LWS_PRE + kMaxHeader);

// How a byte goes into a JSON string: 0 as it is, 1 behind a backslash as
// the letter given, 2 as \u00XX. Bytes from 0x80 up pass as they are: the
// relay never judges a line's encoding.
struct escape_table {
    unsigned char kind[256];
    char letter[256];
};

constexpr escape_table make_escape_table() {
    escape_table t{};
    for (int c = 0; c < 0x20; c++) t.kind[c] = 2;
    const char named[][2] = {{'\b', 'b'}, {'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'},
                             {'\t', 't'}, {'"', '"'},  {'\\', '\\'}};
    for (const auto& n : named) {
        t.kind[static_cast<unsigned char>(n[0])] = 1;
        t.letter[static_cast<unsigned char>(n[0])] = n[1];
    }
    return t;
}

constexpr escape_table kEscape = make_escape_table();
constexpr size_t kEscapedSize[3] = {1, 2, 6};

bool object_shaped(const line_ref& line) {
    return line.data[0] == '{' && line.data[line.len - 1] == '}';
}

size_t string_size(const unsigned char* p, size_t n) {
    size_t size = 2;
    for (size_t i = 0; i < n; i++) size += kEscapedSize[kEscape.kind[p[i]]];
    return size;
}

// Copies runs of bytes that need nothing whole, escaping the rest.
size_t put_string(unsigned char* out, const unsigned char* p, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    unsigned char* o = out;
    *o++ = '"';
    size_t i = 0;
    while (i < n) {
        size_t run = i;
        while (run < n && kEscape.kind[p[run]] == 0) run++;
        std::memcpy(o, p + i, run - i);
        o += run - i;
        if (run == n) break;
        const unsigned char c = p[run];
        *o++ = '\\';
        if (kEscape.kind[c] == 1) {
            *o++ = static_cast<unsigned char>(kEscape.letter[c]);
        } else {
            std::memcpy(o, "u00", 3);
            o[3] = static_cast<unsigned char>(kHex[c >> 4]);
            o[4] = static_cast<unsigned char>(kHex[c & 15]);
            o += 5;
        }
        i = run + 1;
    }
    *o++ = '"';
    return static_cast<size_t>(o - out);
}

constexpr std::string_view kSeqOpen = "{\"seq\":";
constexpr std::string_view kBootKey = ",\"boot\":\"";
constexpr std::string_view kEventKey = "\",\"event\":";

size_t digits(uint64_t v) {
    size_t n = 1;
    while (v >= 10) {
        v /= 10;
        n++;
    }
    return n;
}

size_t put_digits(unsigned char* out, uint64_t v) {
    const size_t n = digits(v);
    for (size_t i = n; i > 0; i--) {
        out[i - 1] = static_cast<unsigned char>('0' + v % 10);
        v /= 10;
    }
    return n;
}

unsigned char* put_text(unsigned char* o, std::string_view t) {
    std::memcpy(o, t.data(), t.size());
    return o + t.size();
}

// Frames one message whose payload is put_payload's at out: the header first,
// the payload after it, masked where the writer masks. Returns the bytes used.
size_t put_frame(writer* w, unsigned char* out, const line_ref& line, const boot_id* boot,
                 size_t payload, int* rc) {
    unsigned char key[4];
    if (w->masked && mask_pool_next(&w->masks, key) != 0) {
        *rc = -1;
        return 0;
    }
    const size_t h = write_header(out, payload, w->masked ? key : nullptr);
    if (boot == nullptr && w->masked) {
        copy_masked(out + h, line.data, line.len, key);
    } else {
        put_payload(out + h, line, boot);
        if (w->masked) copy_masked(out + h, out + h, payload, key);
    }
    return h + payload;
}

// Writes n bytes at p as they are; the library encrypts them as one record
// (or as many as a longer line needs) and holds what the socket does not take.
int write_raw(lws* wsi, unsigned char* p, size_t n) {
    const int r = lws_write(wsi, p, n, LWS_WRITE_RAW);
    return r < 0 || static_cast<size_t>(r) != n ? -1 : 0;
}

// A message longer than a batch. A plain unmasked one is framed in place:
// its header goes into the line's headroom, behind the room the library may
// use, and every subscriber writes the same header there. One that is
// masked or enveloped must leave the line as it is (others read it, and a
// client may send it again after a reconnect), so it is built aside.
int write_alone(writer* w, lws* wsi, const line_ref& line, const boot_id* boot, size_t payload) {
    if (boot == nullptr && !w->masked) {
        const size_t h = header_size(line.len, false);
        unsigned char* start = line.data - h;
        write_header(start, line.len, nullptr);
        return write_raw(wsi, start, h + line.len);
    }
    const size_t need = LWS_PRE + kMaxHeader + payload;
    if (w->big_size < need) {
        w->big.reset(new (std::nothrow) unsigned char[need]);
        w->big_size = w->big != nullptr ? need : 0;
        if (w->big == nullptr) return -1;
    }
    int rc = 0;
    const size_t n = put_frame(w, w->big.get() + LWS_PRE, line, boot, payload, &rc);
    if (rc != 0) return -1;
    return write_raw(wsi, w->big.get() + LWS_PRE, n);
}

}  // namespace

size_t header_size(uint64_t len, bool masked) {
    const size_t key = masked ? 4 : 0;
    if (len <= 125) return 2 + key;
    if (len <= 0xffff) return 4 + key;
    return 10 + key;
}

size_t write_header(unsigned char* out, uint64_t len, const unsigned char* key) {
    const unsigned char mask = key != nullptr ? kMaskBit : 0;
    out[0] = kFinText;
    size_t h = 2;
    if (len <= 125) {
        out[1] = static_cast<unsigned char>(mask | len);
    } else if (len <= 0xffff) {
        out[1] = mask | 126;
        out[2] = static_cast<unsigned char>(len >> 8);
        out[3] = static_cast<unsigned char>(len);
        h = 4;
    } else {
        out[1] = mask | 127;
        for (int i = 0; i < 8; i++) out[2 + i] = static_cast<unsigned char>(len >> (56 - 8 * i));
        h = 10;
    }
    if (key != nullptr) {
        std::memcpy(out + h, key, 4);
        h += 4;
    }
    return h;
}

size_t max_payload(size_t room, bool masked) {
    const size_t key = masked ? 4 : 0;
    size_t best = 0;
    // Each length form holds only its own range, so the longest payload is
    // the best of the three forms that the room allows.
    if (room >= 2 + key) best = std::min<size_t>(room - 2 - key, 125);
    if (room >= 4 + key + 126) best = std::max(best, std::min<size_t>(room - 4 - key, 0xffff));
    if (room >= 10 + key + 0x10000) best = room - 10 - key;
    return best;
}

void copy_masked(unsigned char* dst, const unsigned char* src, size_t n,
                 const unsigned char key[4]) {
    uint32_t k32;
    std::memcpy(&k32, key, 4);
    const uint64_t k64 = static_cast<uint64_t>(k32) << 32 | k32;
    size_t i = 0;
    // Whole words keep the key's phase, since 8 is a multiple of 4; memcpy
    // makes the unaligned loads and stores legal and compiles to plain moves.
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        std::memcpy(&v, src + i, 8);
        v ^= k64;
        std::memcpy(dst + i, &v, 8);
    }
    for (; i < n; i++) dst[i] = src[i] ^ key[i & 3];
}

void mask_pool_init(mask_pool* pool) {
    pool->next = sizeof pool->keys;
}

int mask_pool_next(mask_pool* pool, unsigned char key[4]) {
    if (pool->next >= sizeof pool->keys) {
        if (RAND_bytes(pool->keys, sizeof pool->keys) != 1) return -1;
        pool->next = 0;
    }
    std::memcpy(key, pool->keys + pool->next, 4);
    pool->next += 4;
    return 0;
}

void writer_init(writer* w, bool masked) {
    w->masked = masked;
    mask_pool_init(&w->masks);
    w->big.reset();
    w->big_size = 0;
}

size_t payload_size(const line_ref& line, const boot_id* boot) {
    if (boot == nullptr) return line.len;
    const size_t event = object_shaped(line) ? line.len : string_size(line.data, line.len);
    return kSeqOpen.size() + digits(line.seq) + kBootKey.size() + kBootIdLength + kEventKey.size() +
           event + 1;
}

size_t put_payload(unsigned char* out, const line_ref& line, const boot_id* boot) {
    if (boot == nullptr) {
        std::memcpy(out, line.data, line.len);
        return line.len;
    }
    unsigned char* o = put_text(out, kSeqOpen);
    o += put_digits(o, line.seq);
    o = put_text(o, kBootKey);
    o = put_text(o, std::string_view(boot->text, kBootIdLength));
    o = put_text(o, kEventKey);
    if (object_shaped(line)) {
        std::memcpy(o, line.data, line.len);
        o += line.len;
    } else {
        o += put_string(o, line.data, line.len);
    }
    *o++ = '}';
    return static_cast<size_t>(o - out);
}

int write_lines(writer* w, lws* wsi, std::span<const line_ref> lines, const boot_id* boot,
                batch_result* out) {
    *out = batch_result{};
    unsigned char* const base = w->buf + LWS_PRE;
    size_t used = 0;
    int rc = 0;
    for (const line_ref& line : lines) {
        const size_t payload = payload_size(line, boot);
        const size_t framed = header_size(payload, w->masked) + payload;
        // The first line goes whatever its length, so that a line longer
        // than a batch goes out alone instead of blocking its consumer.
        if (used == 0 && framed > kBatchBytes) {
            out->lines = 1;
            out->bytes = framed;
            return write_alone(w, wsi, line, boot, payload);
        }
        if (used + framed > kBatchBytes) break;
        used += put_frame(w, base + used, line, boot, payload, &rc);
        if (rc != 0) return -1;
        out->lines++;
    }
    if (used == 0) return 0;
    out->bytes = used;
    return write_raw(wsi, base, used);
}

int write_text(writer* w, lws* wsi, std::string_view text) {
    if (text.empty() || text.size() > kBatchBytes - kMaxHeader) return -1;
    unsigned char key[4];
    if (w->masked && mask_pool_next(&w->masks, key) != 0) return -1;
    unsigned char* const base = w->buf + LWS_PRE;
    const size_t h = write_header(base, text.size(), w->masked ? key : nullptr);
    if (w->masked)
        copy_masked(base + h, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                    key);
    else
        std::memcpy(base + h, text.data(), text.size());
    return write_raw(wsi, base, h + text.size());
}

}  // namespace zel::frame
