// WebSocket text frames that the relay builds itself, so that one TLS record
// and one system call carry as many lines as fit in 16 KB instead of one line
// each. Every line is still one final text frame (FIN, opcode 1) holding
// exactly the line's bytes: unmasked from server to client, masked from
// client to server with keys that OpenSSL's RAND_bytes draws in bulk. The
// buffer goes out with lws_write(LWS_WRITE_RAW) through the connection's TLS;
// pings and closes keep the library's own path, and the library writes
// nothing of ours while it still holds part of an earlier write.
//
// A consumer on the sequenced protocol gets each line in an envelope,
// {"seq":N,"boot":"<boot id>","event":<line>}, where a line that is not
// shaped like a JSON object ('{' first, '}' last) goes in as a JSON string.
// The line itself is never parsed.
//
// Service thread only: a writer's buffers are reused by every connection of
// its mode, one write at a time.
#pragma once

#include <libwebsockets.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "relay_line_log.hpp"

namespace zel::frame {

// Payload and headers of one buffer. 16 KB is TLS's largest record, so a
// bigger buffer would only be cut into records again.
inline constexpr size_t kBatchBytes = 16384;

// Buffers written per writable callback at most, in either mode: enough to
// keep the socket full, few enough that the service loop keeps turning (the
// reader refills the queue, one subscriber with a long queue cannot hold
// the others' writes back).
inline constexpr int kBatchesPerWritable = 8;
inline constexpr size_t kMaxHeader = 14;  // 2 + 8 length bytes + 4 key bytes

// Size of the header of a frame of len payload bytes.
size_t header_size(uint64_t len, bool masked);

// Writes the header of a final text frame of len bytes to out (room for
// kMaxHeader bytes), with the mask bit and key when key is not null. Returns
// its size.
size_t write_header(unsigned char* out, uint64_t len, const unsigned char* key);

// The longest payload whose frame, header included, fits in room bytes.
size_t max_payload(size_t room, bool masked);

// dst[i] = src[i] ^ key[i % 4] for n bytes, a word at a time; dst may be src.
void copy_masked(unsigned char* dst, const unsigned char* src, size_t n,
                 const unsigned char key[4]);

// Mask keys from RAND_bytes, 1,024 per draw.
struct mask_pool {
    unsigned char keys[4096];
    size_t next;  // offset of the next unused key; sizeof keys when none is left
};

void mask_pool_init(mask_pool* pool);

// Copies the next key to key; -1 when RAND_bytes fails.
int mask_pool_next(mask_pool* pool, unsigned char key[4]);

// One mode's scratch buffers and, for a client, its key pool.
struct writer {
    bool masked;  // client to server
    mask_pool masks;
    alignas(16) unsigned char buf[LWS_PRE + kBatchBytes];
    // A message longer than a batch that cannot be framed in its line's
    // headroom (masked, or in an envelope) is built here; grown on demand.
    std::unique_ptr<unsigned char[]> big;
    size_t big_size;
};

void writer_init(writer* w, bool masked);

// The message payload of one line: the line alone (boot null) or its
// envelope with that boot id.
size_t payload_size(const line_ref& line, const boot_id* boot);
// Writes it to out (room for payload_size bytes); returns its size.
size_t put_payload(unsigned char* out, const line_ref& line, const boot_id* boot);

// What one write_lines did.
struct batch_result {
    size_t lines;  // lines from the front of the span written (or lost if it failed)
    size_t bytes;  // bytes handed to lws_write
};

// Writes the longest run from the front of lines whose messages fit in one
// buffer of kBatchBytes, or the first alone when it does not fit in one, to
// wsi as one write. 0 when that write was taken whole (out->lines is 0 for
// an empty span); -1 when no key or memory could be had or the library
// failed or took less, and the connection must then be closed.
int write_lines(writer* w, lws* wsi, std::span<const line_ref> lines, const boot_id* boot,
                batch_result* out);

// Writes text (at most kBatchBytes - kMaxHeader bytes) as one message.
int write_text(writer* w, lws* wsi, std::string_view text);

}  // namespace zel::frame
