// tail_bus: what zel_tail makes of a message read from a NATS JetStream
// stream, and where it stands in each relay run the stream carries. A relay
// publishes each line unchanged as the message data, with its run in the
// Zel-Boot header and the line's number in that run in Zel-Seq; one stream
// holds many switches' runs interleaved, so order is checked per run.
//
// Promises: read_bus_event accepts only a 32 lower-case hex boot id, a seq of
// 1 to 2^63-1 in plain digits and data that is one JSON object or string on
// one line, and says in a short fixed text what was wrong otherwise. The run
// table holds at most kMaxRuns runs; the one seen least recently falls off
// when a new one comes, counted in forgotten().
// Pure data: single-threaded use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "tail_consumer.hpp"
#include "tail_message.hpp"

namespace zel::tail {

// An event from the header values (null when the header is absent) and the
// data: 0 with *out an event message viewing data, or -1 with *why.
int read_bus_event(const char* boot, const char* seq, std::string_view data, message& out,
                   const char** why);

class run_table {
public:
    // A fleet restarts its relays now and then; runs older than the last
    // kMaxRuns seen are no longer followed (a late event of one reads as new).
    static constexpr size_t kMaxRuns = 4096;

    // What (boot, seq) is to the runs seen: next (the one after the last had,
    // or the first of a run not seen), duplicate (at or before it), or skipped
    // with *missing_from/*missing_to the events between that never came.
    // Never new_run: a run starting is ordinary on a shared stream.
    step check(const boot_id& boot, uint64_t seq, uint64_t* missing_from,
               uint64_t* missing_to) const;

    // Records (boot, seq) as the last event had in its run.
    void record(const boot_id& boot, uint64_t seq);

    size_t size() const { return runs_.size(); }
    uint64_t forgotten() const { return forgotten_; }

private:
    struct run {
        uint64_t seq;
        uint64_t used;  // stamp of the last record, for the least recent
    };
    // Boot ids are random: any eight of their hex digits spread well.
    struct boot_hash {
        size_t operator()(const boot_id& b) const {
            size_t h = 0;
            for (int i = 0; i < 16; i++) h = h * 31 + static_cast<unsigned char>(b.hex[i]);
            return h;
        }
    };

    std::unordered_map<boot_id, run, boot_hash> runs_;
    uint64_t clock_ = 0;
    uint64_t forgotten_ = 0;
};

// Hands one event to the consumer, placed against its run, and records it
// once printed. 0, or the consumer's status (the event then not recorded,
// so that the run's position stays before a gap that ended it).
int deliver_bus_event(run_table& runs, consumer& sink, const message& m);

}  // namespace zel::tail
