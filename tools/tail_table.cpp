#include "tail_table.hpp"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "tail_json.hpp"

namespace zel::tail {

namespace {

// Members of a record the line shows, in the order the line shows them.
enum field : size_t { kSource, kDestination, kLabel, kCallId, kFrom, kTo, kFieldCount };
constexpr std::string_view kFieldNames[kFieldCount] = {"source",  "destination", "label",
                                                       "call_id", "from",        "to"};
constexpr const char* kMissing[kFieldCount] = {"no string source", "no string destination",
                                               "no string label",  "no string call_id",
                                               "no string from",   "no string to"};

// Longest decoded value kept; the record's own values are far shorter.
constexpr size_t kMaxValue = 4096;

struct record_view {
    std::string values[kFieldCount];
    bool present[kFieldCount] = {};
    int64_t timestamp_ms = 0;
    bool has_time = false;
};

// A control character in the sense of the demo subscriber's show(): C0, DEL
// and the C1 block U+0080..U+009F (UTF-8 C2 80..C2 9F).
void append_escape(unsigned value, std::string& out) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", value);
    out += hex;
}

void pad(std::string& out, size_t shown, size_t width) {
    for (; shown < width; ++shown) out += ' ';
}

// Fills r from the event object; the reason when a member the line needs is
// missing or of the wrong type.
const char* read_record(std::string_view event, record_view& r) {
    if (event.empty() || event.front() != '{') return "not a JSON object";
    tail_json::for_each_member(event, 0, 0, [&](std::string_view key, std::string_view v) {
        if (key == "timestamp_ms") {
            r.has_time = tail_json::read_i64(v, r.timestamp_ms);
            return true;
        }
        for (size_t f = 0; f < kFieldCount; ++f) {
            if (key != kFieldNames[f] || r.present[f]) continue;
            if (v.empty() || v.front() != '"') return true;
            r.values[f].clear();
            tail_json::decode_string(v, r.values[f], kMaxValue);
            r.present[f] = true;
        }
        return true;
    });
    if (!r.has_time) return "no integer timestamp_ms";
    for (size_t f = 0; f < kFieldCount; ++f)
        if (!r.present[f]) return kMissing[f];
    return nullptr;
}

bool append_time(int64_t ms, std::string& out) {
    const int64_t floor_s = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    const int64_t frac = ms - floor_s * 1000;
    const time_t secs = static_cast<time_t>(floor_s);
    tm local{};
    if (localtime_r(&secs, &local) == nullptr) return false;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(frac));
    out += text;
    return true;
}

void unreadable(std::string_view event, const char* why, std::string& out) {
    out += "unreadable event (";
    out += why;
    out += "): ";
    // The first 80 characters, never cutting one in half.
    size_t end = 0, count = 0;
    while (end < event.size() && count < 80) {
        ++end;
        while (end < event.size() && (static_cast<unsigned char>(event[end]) & 0xC0) == 0x80) ++end;
        ++count;
    }
    append_shown(event.substr(0, end), out);
}

}  // namespace

size_t append_shown(std::string_view value, std::string& out) {
    size_t shown = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) {
            append_escape(c, out);
            shown += 4;
        } else if (c == 0xC2 && i + 1 < value.size() &&
                   static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(value[i + 1]) <= 0x9F) {
            append_escape(static_cast<unsigned char>(value[i + 1]), out);
            shown += 4;
            ++i;
        } else {
            out += static_cast<char>(c);
            if ((c & 0xC0) != 0x80) ++shown;
        }
    }
    return shown;
}

void table_line(std::string_view event, std::string& out) {
    record_view r;
    const char* why = read_record(event, r);
    if (why != nullptr) {
        unreadable(event, why, out);
        return;
    }
    const size_t start = out.size();
    if (!append_time(r.timestamp_ms, out)) {
        out.resize(start);
        unreadable(event, "timestamp_ms out of range", out);
        return;
    }
    out += "  ";
    append_shown(r.values[kSource], out);
    out += " \u2192 ";
    append_shown(r.values[kDestination], out);
    out += "  ";
    pad(out, append_shown(r.values[kLabel], out), 10);
    out += ' ';
    pad(out, append_shown(r.values[kCallId], out), 26);
    out += ' ';
    if (r.values[kFrom].empty()) out += '-';
    append_shown(r.values[kFrom], out);
    out += " \u2192 ";
    if (r.values[kTo].empty()) out += '-';
    append_shown(r.values[kTo], out);
}

}  // namespace zel::tail
