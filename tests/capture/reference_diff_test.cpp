// Differential tests: the capture core's json_escape (every variant built
// in) and whole records from parse_sip against the plain reference versions,
// on hand-picked adversarial inputs and on many random ones. Header lookup
// and user extraction are checked through the records they shape. The generators
// lean on the bytes and shapes where a fast scanner goes wrong: runs that
// end right at a capacity limit, escapes straddling it, CR/blank/tab mixes
// at line ends, NUL bytes, names that are prefixes of other names, lines
// exactly as long as a name, and payloads without a final newline.
#include "json_escape.hpp"
#include "record_capture.hpp"
#include "reference_sip.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr unsigned char kCanary = 0xA5;
constexpr std::size_t kGuard = 64;

using escape_call = std::size_t (*)(char*, std::size_t, const unsigned char*, std::size_t);

std::size_t public_escape(char* out, std::size_t cap, const unsigned char* in, std::size_t len) {
    return zel::json_escape(out, cap, in, len);
}

// Runs one escape implementation into an array of exactly `cap` bytes
// followed by a guard zone, and fails the test if anything was written past
// `cap` or the NUL is not where the returned length says.
std::string escape_with(escape_call fn, const char* name, const std::string& in, std::size_t cap) {
    const std::vector<unsigned char> bytes(in.begin(), in.end());
    std::vector<unsigned char> buf(cap + kGuard, kCanary);
    const std::size_t n = fn(reinterpret_cast<char*>(buf.data()), cap, bytes.data(), bytes.size());
    for (std::size_t i = cap; i < buf.size(); ++i)
        if (buf[i] != kCanary) {
            ADD_FAILURE() << name << " wrote past cap " << cap << " at " << i;
            break;
        }
    EXPECT_LT(n, cap) << name;
    if (n >= cap) return "";
    EXPECT_EQ(buf[n], 0) << name << ": no NUL right after the " << n << " bytes reported";
    return std::string(reinterpret_cast<char*>(buf.data()), n);
}

// json_escape's result; every other implementation built in must agree.
std::string fast_escape(const std::string& in, std::size_t cap) {
    const std::string got = escape_with(public_escape, "json_escape", in, cap);
    for (const zel::escape_variant& v : zel::json_escape_variants()) {
        if (v.fn != nullptr) {
            EXPECT_EQ(escape_with(v.fn, v.name, in, cap), got) << v.name << " differs, cap " << cap;
        }
    }
    return got;
}

TEST(ReferenceDiff, EveryEscapeVariantIsChecked) {
    // On x86-64 the vector versions must be among those compared; a build
    // that lost them would otherwise pass on the scalar one alone.
    std::size_t present = 0;
    for (const zel::escape_variant& v : zel::json_escape_variants()) present += v.fn != nullptr;
#if defined(__x86_64__)
    EXPECT_GE(present, 2u);
#else
    EXPECT_GE(present, 1u);
#endif
}

// Printable text with a sprinkling of every kind of escape.
std::string random_text(std::mt19937_64& rng, std::size_t len, int escape_percent) {
    static const std::string specials = "\"\\\n\r\t\x01\x7f\x80\xff\x00\x1f\x08\x0c"s;
    std::uniform_int_distribution<int> pct(0, 99);
    std::uniform_int_distribution<int> printable(0x20, 0x7E);
    std::uniform_int_distribution<std::size_t> special(0, specials.size() - 1);
    std::string s;
    for (std::size_t i = 0; i < len; ++i)
        s += pct(rng) < escape_percent ? specials[special(rng)] : static_cast<char>(printable(rng));
    return s;
}

// Lines of printable text ended by CR LF, with quotes, backslashes and tabs
// among them: only two-byte escapes, packed as densely as SIP text has them
// or denser, so that the vector path spreads them rather than falling back.
std::string random_lines(std::mt19937_64& rng, std::size_t len) {
    static const std::string specials = "\"\\\t";
    std::uniform_int_distribution<int> pct(0, 99);
    std::uniform_int_distribution<int> printable(0x20, 0x7E);
    std::uniform_int_distribution<std::size_t> line_len(0, 60);
    std::uniform_int_distribution<std::size_t> special(0, specials.size() - 1);
    std::string s;
    std::size_t until_eol = line_len(rng);
    while (s.size() < len) {
        if (until_eol-- == 0) {
            s += "\r\n";
            until_eol = line_len(rng);
        } else {
            s += pct(rng) < 4 ? specials[special(rng)] : static_cast<char>(printable(rng));
        }
    }
    s.resize(len);
    return s;
}

std::string random_bytes(std::mt19937_64& rng, std::size_t len) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s;
    for (std::size_t i = 0; i < len; ++i) s += static_cast<char>(byte(rng));
    return s;
}

TEST(ReferenceDiff, EscapeAdversarialAtEveryCapacity) {
    const std::vector<std::string> inputs = {
        "",
        "a",
        "\"",
        "a\x01"
        "b",
        "abcdefghijklmnopqrstuvwxyz0123456789ABCDEF",  // one long run
        "0123456789abcdef0123456789abcdef\"",          // escape right after 32 plain bytes
        "\\\\\\\\\\\\\\\\",
        "\x00\x00\x00"s,
        "\xc3\xa9\xe2\x82\xac",
        "line one\r\nline two\r\n\r\n",
        "tab\there \x7f del",
        std::string(64, ' ') + "\t" + std::string(15, '~'),
        std::string(200, 'x') + "\n" + std::string(3, '\x1b'),
    };
    for (const std::string& in : inputs)
        for (std::size_t cap = 1; cap <= 6 * in.size() + 8; ++cap)
            ASSERT_EQ(fast_escape(in, cap), zel_test::reference_json_escape(in, cap))
                << "input of " << in.size() << " bytes, cap " << cap;
}

TEST(ReferenceDiff, EscapeRandom) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::size_t> len_of(0, 300);
    for (int round = 0; round < 6000; ++round) {
        const std::size_t len = len_of(rng);
        std::string in;
        switch (round % 5) {
        case 0:
            in = random_text(rng, len, 0);
            break;
        case 1:
            in = random_text(rng, len, 5);
            break;
        case 2:
            in = random_text(rng, len, 50);
            break;
        case 3:
            in = random_lines(rng, len);
            break;
        default:
            in = random_bytes(rng, len);
            break;
        }
        // Capacities around the full escaped size, where the cut happens, and
        // the full size itself, where nothing may be cut.
        const std::size_t full = zel_test::reference_json_escape(in, 6 * len + 1).size() + 1;
        std::uniform_int_distribution<std::size_t> cap_of(1, full + 8);
        for (std::size_t cap : {full, full - 1 > 0 ? full - 1 : 1, cap_of(rng), cap_of(rng)})
            ASSERT_EQ(fast_escape(in, cap), zel_test::reference_json_escape(in, cap))
                << "round " << round << " cap " << cap;
    }
}

TEST(ReferenceDiff, EscapeWholePayloadSizes) {
    // The sizes the record builder really uses: the largest payload of
    // control bytes exactly fills the raw array, and a 16,384-byte mix.
    std::mt19937_64 rng(11);
    const std::string controls(16384, '\x01');
    EXPECT_EQ(fast_escape(controls, 98305), zel_test::reference_json_escape(controls, 98305));
    const std::string mix = random_text(rng, 16384, 3);
    EXPECT_EQ(fast_escape(mix, 98305), zel_test::reference_json_escape(mix, 98305));
    const std::string lines = random_lines(rng, 16384);
    EXPECT_EQ(fast_escape(lines, 98305), zel_test::reference_json_escape(lines, 98305));
    const std::string binary = random_bytes(rng, 16384);
    EXPECT_EQ(fast_escape(binary, 98305), zel_test::reference_json_escape(binary, 98305));
}

// One header line of a random shape: a real or near-miss name in random
// case, odd separators, values with blanks, tabs, CRs and NULs at both ends.
std::string random_line(std::mt19937_64& rng) {
    static const char* const names[] = {
        "Call-ID", "i",        "From",   "f",       "To", "t",       "CSeq", "Call-Id",
        "CALL-ID", "call-idx", "Call-I", "Tofu",    "T",  "F",       "I",    "cseq",
        "Cseq2",   "Via",      "v",      "Contact", "",   "Fromage", "To ",  "X-Call-ID"};
    static const char* const seps[] = {":", ": ", ":\t", " :", ":  \t ", "::", "\t:", ""};
    static const char* const ends[] = {"",    "\r", " ",   "\r\r", " \r",
                                       "\r ", "\t", " \t", "\t\r", "\x00"};
    std::uniform_int_distribution<std::size_t> pick_name(0, std::size(names) - 1);
    std::uniform_int_distribution<std::size_t> pick_sep(0, std::size(seps) - 1);
    std::uniform_int_distribution<std::size_t> pick_end(0, std::size(ends) - 1);
    std::uniform_int_distribution<int> coin(0, 3);
    std::uniform_int_distribution<std::size_t> value_len(0, coin(rng) == 0 ? 700 : 40);

    std::string name = names[pick_name(rng)];
    for (char& c : name)
        if (coin(rng) == 0)
            c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                                      ? std::tolower(static_cast<unsigned char>(c))
                                      : std::toupper(static_cast<unsigned char>(c)));
    std::string line = name + seps[pick_sep(rng)];
    line += random_text(rng, value_len(rng), coin(rng) == 0 ? 20 : 1);
    const std::string end = ends[pick_end(rng)];
    line += end.empty() && coin(rng) == 0 ? "\x00"s : end;
    return line;
}

std::string random_message(std::mt19937_64& rng) {
    static const char* const first_lines[] = {"INVITE sip:1001@example.com SIP/2.0",
                                              "SIP/2.0 200 OK",
                                              "SIP/2.0 180",
                                              "SIP/2.0 ",
                                              "SIP/2.0\r",
                                              "OPTIONS sip:x SIP/2.0",
                                              "AVERYLONGMETHODNAMEWITHOUTANYBLANKINIT",
                                              " INVITE",
                                              "ab",
                                              "",
                                              "\r",
                                              "BYE\x00 sip:y SIP/2.0",
                                              "SIP/2.0 2\x00"
                                              "0"};
    std::uniform_int_distribution<std::size_t> pick_first(0, std::size(first_lines) - 1);
    std::uniform_int_distribution<int> lines(0, 12);
    std::uniform_int_distribution<int> coin(0, 3);
    std::string m = std::string(first_lines[pick_first(rng)]) + (coin(rng) ? "\r\n" : "\n");
    const int n = lines(rng);
    for (int k = 0; k < n; ++k) {
        m += random_line(rng);
        m += coin(rng) ? "\r\n" : "\n";
        if (coin(rng) == 0 && k == n / 2)
            m += "\r\n";  // a body follows; the lookup does not stop here
    }
    if (coin(rng) == 0 && !m.empty()) m.pop_back();  // no final newline
    if (coin(rng) == 0) m += random_line(rng);
    return m;
}

class RecordDiff : public ::testing::Test {
protected:
    // parse_sip's record for one payload, against the reference.
    void check(const std::string& payload, const char* src, const char* dst, std::int64_t sec,
               std::int64_t usec, const std::string& where) {
        zel::drop_counts drops;
        const auto got = zel_test::record_of(payload, src, dst, sec, usec, options, drops);
        const auto want = zel_test::reference_record(payload, src, dst, sec, usec,
                                                     options.switch_id, options.include_raw);
        if (!want) {
            ASSERT_FALSE(got) << where << ": a record for a dropped payload";
            return;
        }
        ASSERT_TRUE(got) << where;
        ASSERT_EQ(*got, *want) << where;
    }

    // Header lines given alone, as the whole payload and behind a first
    // line with a Call-ID to fall back on, so that their values show in a
    // record even when they lack a Call-ID of their own.
    void check_lines(const std::string& lines, const std::string& where) {
        if (!lines.empty())
            check(lines.substr(0, zel::kMaxPayload), "192.0.2.1:5060", "192.0.2.2:5060", 1, 2,
                  where + " alone");
        const std::string framed = "OPTIONS sip:x SIP/2.0\r\n" + lines + "\r\ni: fallback\r\n";
        check(framed.substr(0, zel::kMaxPayload), "192.0.2.1:5060", "192.0.2.2:5060", 1, 2,
              where + " framed");
    }

    zel::record_options options;
};

TEST_F(RecordDiff, HeaderLookupAdversarial) {
    struct Case {
        std::string sip;
        const char* name;
    };
    const std::vector<Case> cases = {
        {"To:", "To"},  // line exactly one longer than the name
        {"To", "To"},   // line as long as the name
        {"t:x", "To"},
        {"Call-ID :x\nCall-ID:y", "Call-ID"},
        {"call-id:\t \t a b \t\r \r\r", "Call-ID"},
        {"Call-ID:\n", "Call-ID"},
        {"\nCall-ID:z", "Call-ID"},
        {"X\r\nCall-ID: a\x00"
         "b\r\n"s,
         "Call-ID"},
        {"CSeq: 1 INVITE", "CSeq"},
        {"Call-ID:" + std::string(600, 'q') + " \r", "Call-ID"},
        {"Call-ID:" + std::string(511, 'q') + "Z", "Call-ID"},
        {"\xc3"
         "all-ID: no\nC\xc1LL-ID: no\nCALL-ID: yes"s,
         "Call-ID"},
        {"From: a\nFrom: b", "From"},
        {"", "To"},
    };
    for (const Case& c : cases)
        check_lines(c.sip, std::string(c.name) + " in \"" + c.sip.substr(0, 60) + "\"");
}

TEST_F(RecordDiff, HeaderLookupRandom) {
    std::mt19937_64 rng(13);
    for (int round = 0; round < 4000; ++round)
        check_lines(random_message(rng), "round " + std::to_string(round));
}

TEST_F(RecordDiff, SipUserAdversarialAndRandom) {
    std::vector<std::string> values = {
        "", "sip:", "sip", "<sip:1001@h>;tag=a", "\"sip:x\" <sip:y@h>", "SIP:Up@h", "sIp:a;b@c",
        "<tel:+1555>", "sips:bob@h", "sip:host:5060>", "xsip:a", "sip:" + std::string(600, 'u'),
        std::string(600, 'v'), "sip:@", "sip:>",
        "si"
        "p:u",
        // Colons that are not the end of a "sip:", before and around one.
        "a:sip:u@h", "si:sip:u", "::sip:x", "sip:sip:y@h", "ip:sip:z", ":", "s:", "sI:P:"};
    std::mt19937_64 rng(17);
    for (int round = 0; round < 3000; ++round) {
        std::string v = random_text(rng, round % 50, 10);
        v.erase(std::remove(v.begin(), v.end(), '\0'), v.end());
        std::uniform_int_distribution<std::size_t> at(0, v.size());
        const char* const uris[] = {"sip:", "SIP:", "Sip:", "sip", "@", ">", ";"};
        for (int k = 0; k < 3; ++k)
            v.insert(at(rng) % (v.size() + 1), uris[(round + k) % std::size(uris)]);
        values.push_back(v);
    }
    // The value as From and as the compact t of a message whose To is
    // empty, so that both users are taken from it.
    for (const std::string& v : values)
        check_lines("Call-ID: c\r\nFrom: " + v + "\r\nTo:\r\nt: " + v,
                    "value \"" + v.substr(0, 60) + "\"");
}

TEST_F(RecordDiff, RandomMessages) {
    std::mt19937_64 rng(19);
    const char* const switches[] = {"unknown", "edge-1", "q\"uo\\te", "\x7f\x01tab\there"};
    for (int round = 0; round < 3000; ++round) {
        ASSERT_TRUE(zel::set_switch_id(options, switches[round % std::size(switches)]));
        options.include_raw = round % 3 != 0;
        std::string payload = random_message(rng);
        // Many random messages lack a Call-ID; give most of them one so the
        // record path is exercised, not only the drop.
        if (round % 4 != 0)
            payload += (round % 2 ? "\r\nCall-ID: " : "\ni:") + random_text(rng, 20, 5) + "\r\n";
        if (payload.empty()) continue;
        if (payload.size() > zel::kMaxPayload) payload.resize(zel::kMaxPayload);
        check(payload, "192.0.2.10:5060", "198.51.100.7:65535", 1700000000 + round,
              (round * 7919) % 1000000, "round " + std::to_string(round));
    }
}

TEST_F(RecordDiff, HeaderOrderAndCompactForms) {
    // Shapes where a lookup that stops early, or takes a compact form too
    // soon, gives a different record.
    const std::vector<std::string> payloads = {
        "INVITE sip:a SIP/2.0\r\nFrom: <sip:f@h>\r\nTo: <sip:t@h>\r\nCSeq: 1 INVITE\r\n"
        "Call-ID:   \r\ni: late\r\n",
        "INVITE sip:a SIP/2.0\r\ni: compact\r\nf: <sip:cf@h>\r\nt: <sip:ct@h>\r\nCSeq: 2 X\r\n"
        "Call-ID: long\r\nFrom: <sip:lf@h>\r\nTo: <sip:lt@h>\r\n",
        "SIP/2.0 180 Ringing\r\nFrom:\r\nTo: \t\r\nCSeq: 3 Y\r\nCall-ID: c\r\n"
        "f: <sip:second@h>\r\nt: <sip:third@h>\r\nFrom: <sip:ignored@h>\r\n",
        "BYE sip:b SIP/2.0\nCall-ID: \x00hidden\ni: shown\nFrom: \x00\nf: ff\n"s,
        "OPTIONS sip:o SIP/2.0\r\nCALL-ID: up\r\ncall-id: low\r\ncseq: 9 OPTIONS\r\n"
        "CSEQ: 10\r\nTO: <sip:x@h>\r\nfrom: <SIP:y@h>",
        "MESSAGE sip:m SIP/2.0\r\nCall-ID: m\r\n\r\nFrom: <sip:in-body@h>\r\nTo: body\r\n",
    };
    for (std::size_t k = 0; k < payloads.size(); ++k)
        check(payloads[k], "10.0.0.1:5060", "10.0.0.2:5060", 1, 2, "payload " + std::to_string(k));
}

TEST_F(RecordDiff, LargestPayloads) {
    std::mt19937_64 rng(23);
    std::string invite =
        "INVITE sip:a@b SIP/2.0\r\nCall-ID: big\r\nFrom: <sip:" + std::string(600, 'f') +
        "@h>\r\nTo: " + std::string(600, '"') + "\r\nCSeq: " + random_bytes(rng, 600) + "\r\n\r\n";
    invite += random_bytes(rng, zel::kMaxPayload - invite.size());
    check(invite, "1.2.3.4:1", "5.6.7.8:2", 0, 999999, "random body");
    std::string controls = "i:x\n" + std::string(zel::kMaxPayload - 4, '\x02');
    check(controls, "1.2.3.4:1", "5.6.7.8:2", 4102444800, 0, "control bytes");
}

}  // namespace
