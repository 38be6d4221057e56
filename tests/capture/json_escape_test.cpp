// JSON escaping: every byte's escape, cutting at the capacity, and the
// longest payload, through json_escape as the record builder calls it.
#include "json_escape.hpp"
#include "reference_sip.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

TEST(JsonEscape, Table) {
    struct Case {
        std::string in;
        std::size_t cap;
        std::string want;
    };
    const Case cases[] = {
        {"", 1, ""},
        {"abc", 1, ""},
        {"\"", 1, ""},
        {"\"", 2, ""},
        {"\"", 3, "\\\""},
        {"ab", 2, "a"},
        {"ab", 3, "ab"},
        {"a\x01"
         "b",
         4, "a"},
        {"a\x01"
         "b",
         7, "a"},
        {"a\x01"
         "b",
         8, "a\\u0001"},
        {"a\x01"
         "b",
         9, "a\\u0001b"},
        {"\t\"\\\n\r", 64, "\\t\\\"\\\\\\n\\r"},
        {"\b\f\x0b\x1f\x7f/", 64, "\\u0008\\u000c\\u000b\\u001f\\u007f/"},
        {"\xc3\xa9\xff", 64, "\\u00c3\\u00a9\\u00ff"},
        {"\0x"s, 64, "\\u0000x"},
        {" ~", 64, " ~"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(zel_test::reference_json_escape(c.in, 6 * c.in.size() + 1) + " cap " +
                     std::to_string(c.cap));
        char out[80];
        std::memset(out, 'X', sizeof out);
        const std::size_t n = zel::json_escape(out, c.cap, c.in.data(), c.in.size());
        EXPECT_EQ(std::string(out), c.want);
        EXPECT_EQ(n, c.want.size());
        // Nothing may be written beyond the capacity.
        EXPECT_EQ(out[c.cap], 'X');
    }
}

// Every byte value against the independent reference escaping.
TEST(JsonEscape, EveryByteMatchesReference) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    char out[6 * 256 + 1];
    zel::json_escape(out, sizeof out, all.data(), all.size());
    EXPECT_EQ(std::string(out), zel_test::reference_json_escape(all, sizeof out));
}

// Runs of plain bytes are scanned a word at a time: each byte value at each
// position of a longer run must still be found.
TEST(JsonEscape, EveryByteAtEveryPositionOfARun) {
    for (int c = 0; c < 256; ++c) {
        for (std::size_t at = 0; at < 17; ++at) {
            std::string in(17, '~');
            in[at] = static_cast<char>(c);
            char out[6 * 17 + 1];
            zel::json_escape(out, sizeof out, in.data(), in.size());
            ASSERT_EQ(std::string(out), zel_test::reference_json_escape(in, sizeof out))
                << "byte " << c << " at " << at;
        }
    }
}

// The largest payload of bytes that all take six-byte escapes fills the
// record's raw array exactly and is not cut.
TEST(JsonEscape, FullPayloadOfControlBytes) {
    const std::string ctrl(16384, '\x01');
    static char out[6 * 16384 + 1];
    EXPECT_EQ(zel::json_escape(out, sizeof out, ctrl.data(), ctrl.size()), 98304u);
    EXPECT_EQ(std::strlen(out), 98304u);
    EXPECT_EQ(std::string(out, 12), "\\u0001\\u0001");
}

}  // namespace
