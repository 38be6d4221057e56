// Event lines for the relay throughput benchmark.
//
// Owns the one record shape that the benchmark's feeder writes and its
// receivers check: a sip.message event record of exactly kBenchLineSize bytes
// whose call id carries a 20-digit sequence number, so that a receiver can
// tell a whole, untouched line from a truncated or corrupted one and count the
// lines lost between two it did receive. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr size_t kBenchLineSize = 500;

// Writes one record for seq and timestamp_ms followed by '\n' to the start of
// out (kBenchLineSize + 1 bytes). Returns 0, or -1 with out untouched when it
// is too small or timestamp_ms is negative or too large to leave room for the
// record's fixed part.
int bench_line_format(std::span<char> out, uint64_t seq, int64_t timestamp_ms);

// 0 with *seq set when line (without its newline) is exactly one record as
// bench_line_format makes them; -1 for anything else: wrong length, any byte
// changed, a newline left on, a sequence number that does not fit 64 bits.
int bench_line_parse(std::string_view line, uint64_t* seq);

// Whole-pipeline runs feed the capture daemon SIP datagrams on loopback
// instead; the records the relay carries are then the daemon's own, which the
// receivers check byte for byte (all but the time stamp) against what the
// daemon must make of the datagram for seq.
inline constexpr size_t kBenchSipMax = 512;

// Writes the SIP message for seq, sent from src_port to dst_port on
// 127.0.0.1, to out; returns its length, or 0 when out is too small.
size_t bench_sip_format(std::span<char> out, uint64_t seq, int src_port, int dst_port);

// 0 with *seq set when line is exactly the record the daemon (switch id
// "zel-bench", raw included) makes of bench_sip_format's datagram for some
// seq, with any time stamp; -1 for anything else.
int bench_record_parse(std::string_view line, int src_port, int dst_port, uint64_t* seq);

// What one receiving connection has seen. Zero-initialise, then note every
// whole message in arrival order.
struct bench_seq_stats {
    uint64_t received = 0;
    uint64_t expected = 0;  // next sequence number wanted
    uint64_t gaps = 0;      // places where lines were skipped
    uint64_t lost = 0;      // lines skipped, tail included after finish
    uint64_t bad = 0;       // messages that are not one whole record
    uint64_t reorder = 0;   // records older than one already seen
};

// Counts one message that parsed to seq, or a bad one when parsed is false.
// A gap moves `expected` past the missing lines; a
// record older than `expected` is counted as reordered and changes nothing
// else, so one stray line cannot turn the rest of the stream into gaps.
void bench_seq_count(bench_seq_stats* st, bool parsed, uint64_t seq);

// bench_seq_count for a message in bench_line_format's shape.
void bench_seq_note(bench_seq_stats* st, std::string_view message);

// Adds the lines of a feed of `fed` lines that never arrived after the last
// one received. Call once, after the last message.
void bench_seq_finish(bench_seq_stats* st, uint64_t fed);
