// zel_tail's reading of hostile server messages and position files.
//
// The input is one WebSocket message. Whatever parse_message accepts must be
// what the tool relies on: a boot id of 32 lower-case hex digits, a seq from
// 1, an event view inside the input that is one line and starts as an object
// or a string, a gap whose range is ordered (expired) or open (restart). Every
// accepted event then goes through the table line, which must never hold a
// raw control byte; and the consumer takes it, printing to nowhere. The same
// bytes read as a position file either fail or print back as they were. As
// the data of a NATS message they are either refused or taken whole as one
// line; as a URL, a server list is bounded and names only NATS schemes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "tail_bus.hpp"
#include "tail_consumer.hpp"
#include "tail_message.hpp"
#include "tail_source.hpp"
#include "tail_state.hpp"
#include "tail_table.hpp"

namespace {

using namespace zel::tail;

bool hex_boot(const boot_id& b) {
    for (char c : b.hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

void check_message(std::string_view text) {
    message m{};
    const char* why = nullptr;
    if (parse_message(text, m, &why) != 0) {
        FUZZ_CHECK(why != nullptr, "refused without a reason");
        return;
    }
    if (m.kind == message_kind::gap) {
        FUZZ_CHECK(hex_boot(m.gap.boot), "gap boot not hex");
        FUZZ_CHECK(m.gap.from >= 1, "gap from 0");
        if (m.gap.reason == gap_reason::expired)
            FUZZ_CHECK(m.gap.to >= m.gap.from, "expired gap out of order");
        else
            FUZZ_CHECK(m.gap.to == 0, "restart gap with an end");
        return;
    }
    FUZZ_CHECK(hex_boot(m.boot), "boot not hex");
    FUZZ_CHECK(m.seq >= 1, "seq 0 accepted");
    FUZZ_CHECK(m.event.data() >= text.data() &&
                   m.event.data() + m.event.size() <= text.data() + text.size(),
               "event outside the message");
    FUZZ_CHECK(!m.event.empty() && (m.event.front() == '{' || m.event.front() == '"'),
               "event neither object nor string");
    FUZZ_CHECK(m.event.find_first_of("\r\n") == std::string_view::npos, "event spans lines");

    std::string line;
    table_line(m.event, line);
    for (char c : line) {
        const unsigned char u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u >= 0x20 && u != 0x7F, "raw control byte 0x%02x in the table line", u);
    }

    static std::FILE* sink = std::fopen("/dev/null", "w");
    consumer_options options;
    consumer c(options, sink, sink);
    FUZZ_CHECK(c.on_message(m) == 0, "an event ended the run");
    FUZZ_CHECK(c.resume().known && c.resume().seq == m.seq, "position not taken");
}

void check_position(std::string_view text) {
    position at{};
    if (parse_position(text, at) != 0) return;
    std::string_view body = text;
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    FUZZ_CHECK(format_position(at) == body, "position does not print back as read");
}

void check_bus(std::string_view text) {
    message m{};
    const char* why = nullptr;
    if (read_bus_event("0123456789abcdef0123456789abcdef", "7", text, m, &why) != 0) {
        FUZZ_CHECK(why != nullptr, "bus data refused without a reason");
    } else {
        FUZZ_CHECK(m.event.data() == text.data() && m.event.size() == text.size(),
                   "bus event not the whole data");
        FUZZ_CHECK(m.event.find_first_of("\r\n") == std::string_view::npos,
                   "bus event spans lines");
    }
    source_url u{};
    if (parse_source_url(text, u, &why) != 0 || u.kind != scheme::nats) return;
    FUZZ_CHECK(!u.servers.empty() && u.servers.size() <= kMaxBusServers, "server count");
    for (const std::string& s : u.servers)
        FUZZ_CHECK(s.starts_with("nats://") || s.starts_with("tls://"), "server scheme");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_message(text);
    check_position(text);
    check_bus(text);
    return 0;
}
