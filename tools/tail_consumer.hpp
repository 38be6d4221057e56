// tail_consumer: what zel_tail does with each message a source hands it,
// whatever the source: prints the event (table line or its JSON), keeps the
// position of the last event printed and saves it, reports every gap on
// standard error, and decides when a gap ends the run (--fail-on-gap).
//
// Promises: an event is printed at most once per run and in order (a repeat
// of one already printed is skipped); the saved position never runs ahead of
// what has been written to the output and flushed; a gap the source skipped
// over without a notice is reported like a notice, with reason=unannounced.
// A gap that ends the run is reported, and the position stays before it.
// Single-threaded: the thread that runs the source.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tail_message.hpp"

namespace zel::tail {

// Exit statuses of zel_tail.
enum exit_status : int {
    kExitStopped = 0,  // stopped by SIGINT or SIGTERM
    kExitSetup = 1,    // something could not be set up or written
    kExitUsage = 2,
    kExitGap = 3,  // a gap, with --fail-on-gap
};

struct consumer_options {
    bool json = false;  // print the event's JSON, not the table line
    bool fail_on_gap = false;
    const char* state = nullptr;  // position file, or null
};

class consumer {
public:
    // out and err are the output and the diagnostics stream.
    consumer(const consumer_options& options, std::FILE* out, std::FILE* err);

    // Reads the position file, if one is given. 0, or kExitSetup after
    // saying why on err.
    int load();

    // Where the next connection resumes: the last event printed.
    const position& resume() const { return seen_; }

    // One message. 0 to go on, or the status to exit with.
    int on_message(const message& m);

    // One event from a source that places it itself (the bus, where many runs
    // interleave and the last event printed says nothing about the next):
    // `s` is what the source found, with the missing events for skipped.
    // A skip is reported as an unannounced gap before the event is printed.
    // 0 to go on, or the status to exit with (the event then not printed).
    int on_placed_event(const message& m, step s, uint64_t missing_from, uint64_t missing_to);

    // Flushes the output, and saves the position when it moved and a second
    // has passed since the last save (at once with force). now_ms is on the
    // monotonic clock. 0, or kExitSetup after saying why.
    int flush(int64_t now_ms, bool force);

    // Events skipped as repeats so far.
    uint64_t duplicates() const { return duplicates_; }

private:
    int on_event(const message& m);
    void print(const message& m);
    int on_gap(const gap_notice& g, const char* reason_text);

    consumer_options options_;
    std::FILE* out_;
    std::FILE* err_;
    position seen_{};         // last event written to out_
    position saved_{};        // last position in the file
    bool announced_ = false;  // a gap notice came since the last event
    bool unflushed_ = false;
    int64_t saved_ms_ = INT64_MIN / 2;
    uint64_t duplicates_ = 0;
    std::string line_;  // the line being built, reused
};

}  // namespace zel::tail
