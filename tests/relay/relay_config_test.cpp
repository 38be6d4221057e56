// Unit tests of the configuration's values that no output shows: stored
// addresses, sizes, reconnect delays, token bytes and the fields a mode
// leaves zero. Messages and exit statuses are covered by running the program.
#include "relay_config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using namespace zel;
using namespace zel::config;

using Env = std::vector<std::pair<const char*, const char*>>;

// Leaves exactly the given PCAP_ variables set.
void set_env(const Env& env) {
    std::vector<std::string> names;
    for (char** e = environ; *e != nullptr; e++)
        if (strncmp(*e, "PCAP_", 5) == 0) names.emplace_back(*e, strchr(*e, '=') - *e);
    for (const std::string& n : names) unsetenv(n.c_str());
    for (const auto& [k, v] : env) setenv(k, v, 1);
}

std::string hex(const peer_ip& ip) {
    std::string out;
    char b[3];
    for (unsigned char c : ip.bytes) {
        snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

constexpr const char* kToken = "zeltokenzeltokenzeltokenzeltoken";
const Env kClient = {
    {"PCAP_RELAY_URL", "wss://h/"}, {"PCAP_RELAY_SWITCH_ID", "s"}, {"PCAP_RELAY_TOKEN", kToken}};

Env with(Env base, const Env& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

TEST(RelayConfig, ParseIp) {
    struct Case {
        const char* text;
        int want_rc;
        const char* want_hex;
    };
    const Case cases[] = {
        {"192.0.2.1", 0, "00000000000000000000ffffc0000201"},
        {"::ffff:192.0.2.1", 0, "00000000000000000000ffffc0000201"},  // same as the dotted form
        {"0.0.0.0", 0, "00000000000000000000ffff00000000"},
        {"2001:db8::1", 0, "20010db8000000000000000000000001"},
        {"::", 0, "00000000000000000000000000000000"},
        {"::1", 0, "00000000000000000000000000000001"},
        {"10.0.0.0/8", -1, nullptr},
        {"fe80::1%lo", -1, nullptr},
        {"1.2.3", -1, nullptr},
        {"256.1.1.1", -1, nullptr},
        {" 1.2.3.4", -1, nullptr},
        {"", -1, nullptr},
        {nullptr, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        peer_ip ip;
        memset(&ip, 0xAB, sizeof ip);
        ASSERT_EQ(parse_ip(c.text, &ip), c.want_rc);
        if (c.want_hex) {
            EXPECT_EQ(hex(ip), c.want_hex);
        }
    }
}

// Failures and their messages are covered by running the program; these
// rows check the values that pass.
TEST(RelayConfig, ParseSize) {
    struct Case {
        const char* value;  // null: unset
        int want_rc;
        size_t want;
    };
    const Case cases[] = {
        {nullptr, 0, 42},
        {"", 0, 42},
        {"1", 0, 1},
        {"007", 0, 7},
        {"18446744073709551615", 0, SIZE_MAX},
        {"18446744073709551616", -1, 0},
        {"0", -1, 0},
        {"0x10", -1, 0},
        {"1e3", -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        set_env(c.value ? Env{{"PCAP_TEST_SIZE", c.value}} : Env{});
        size_t out = 0;
        ASSERT_EQ(parse_size("PCAP_TEST_SIZE", 42, &out), c.want_rc);
        if (c.want_rc == 0) {
            EXPECT_EQ(out, c.want);
        }
    }
}

TEST(RelayConfig, ReconnectDelaysAreLenient) {
    struct Case {
        const char* min;  // null: unset
        const char* max;
        uint32_t want_min;
        uint32_t want_max;
    };
    // clang-format off
    const Case cases[] = {
        {nullptr, nullptr, 1, 60},
        {"0", "0", 1, 1},
        {"5", "2", 5, 5},
        {"3", "0", 3, 3},
        {"10", "100", 10, 100},
        {"  +7s", "", 7, 60},
        {"x", "y", 1, 1},
        {"", "90", 1, 90},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.min ? c.min : "(unset)") + " / " + (c.max ? c.max : "(unset)"));
        Env env = kClient;
        if (c.min) env.push_back({"PCAP_RELAY_RECONNECT_MIN_SECONDS", c.min});
        if (c.max) env.push_back({"PCAP_RELAY_RECONNECT_MAX_SECONDS", c.max});
        set_env(env);
        relay_config cfg;
        ASSERT_EQ(load_config(&cfg), 0);
        EXPECT_EQ(cfg.reconnect_min, c.want_min);
        EXPECT_EQ(cfg.reconnect_max, c.want_max);
    }
}

TEST(RelayConfig, ClientDefaultsAndUntouchedServerFields) {
    set_env(with(kClient, {{"PCAP_WSS_PORT", "1"}, {"PCAP_WSS_ALLOWED_IPS", "192.0.2.1"}}));
    relay_config cfg;
    memset(&cfg, 0x5A, sizeof cfg);  // load_config must clear what it does not fill
    ASSERT_EQ(load_config(&cfg), 0);
    EXPECT_FALSE(cfg.server_mode);
    EXPECT_FALSE(cfg.enabled);
    EXPECT_STREQ(cfg.socket_path, "/run/zel-packet-monitor/events.sock");
    EXPECT_EQ(cfg.queue_events, 10000u);
    EXPECT_EQ(cfg.queue_bytes, 268435456u);
    EXPECT_STREQ(cfg.host, "h");
    EXPECT_EQ(cfg.port, 443);
    EXPECT_STREQ(cfg.path, "/");
    EXPECT_STREQ(cfg.token, kToken);
    EXPECT_STREQ(cfg.ca_file, "");
    EXPECT_EQ(cfg.allowed_count, 0u);
    EXPECT_EQ(cfg.max_clients, 0u);
    EXPECT_STREQ(cfg.server_cert, "");
}

TEST(RelayConfig, ServerValuesStored) {
    char cert[] = "/tmp/zel-config-unit-XXXXXX";
    int fd = mkstemp(cert);
    ASSERT_GE(fd, 0);
    close(fd);
    set_env({{"PCAP_RELAY_MODE", "wss-server"},
             {"PCAP_WSS_ENABLED", "true"},
             {"PCAP_WSS_HOST", "::"},
             {"PCAP_WSS_PORT", "08443"},
             {"PCAP_WSS_ALLOWED_IPS", " 192.0.2.1 ,\t2001:db8::1,192.0.2.1"},
             {"PCAP_WSS_CERT_FILE", cert},
             {"PCAP_WSS_KEY_FILE", cert},
             {"PCAP_WSS_QUEUE_BYTES", "4096"},
             {"PCAP_RELAY_QUEUE_MAX_EVENTS", "5"},
             {"PCAP_RELAY_SWITCH_ID", "ignored"},
             {"PCAP_RELAY_TOKEN", kToken}});
    relay_config cfg;
    int rc = load_config(&cfg);
    unlink(cert);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(cfg.server_mode);
    EXPECT_TRUE(cfg.enabled);
    EXPECT_STREQ(cfg.host, "::");
    EXPECT_EQ(cfg.port, 8443);
    EXPECT_STREQ(cfg.path, "/events");
    ASSERT_EQ(cfg.allowed_count, 3u);  // in order, duplicates kept
    EXPECT_EQ(hex(cfg.allowed[0]), "00000000000000000000ffffc0000201");
    EXPECT_EQ(hex(cfg.allowed[1]), "20010db8000000000000000000000001");
    EXPECT_EQ(hex(cfg.allowed[2]), "00000000000000000000ffffc0000201");
    EXPECT_EQ(cfg.max_clients, 16u);
    EXPECT_EQ(cfg.client_queue_events, 256u);
    EXPECT_EQ(cfg.client_queue_bytes, 4096u);
    EXPECT_EQ(cfg.queue_events, 5u);
    // Client-mode keys are not read in server mode.
    EXPECT_STREQ(cfg.switch_id, "");
    EXPECT_STREQ(cfg.token, "");
    EXPECT_EQ(cfg.reconnect_min, 0u);
}

TEST(RelayConfig, DisabledListenerReadsNothingMore) {
    set_env({{"PCAP_RELAY_MODE", "wss-server"}, {"PCAP_WSS_HOST", "::1"}, {"PCAP_WSS_PORT", "1"}});
    relay_config cfg;
    ASSERT_EQ(load_config(&cfg), 0);
    EXPECT_TRUE(cfg.server_mode);
    EXPECT_FALSE(cfg.enabled);
    EXPECT_STREQ(cfg.host, "");
    EXPECT_EQ(cfg.port, 0);
    EXPECT_STREQ(cfg.path, "");
}

TEST(RelayConfig, TokenFileBytes) {
    struct Case {
        std::string content;
        int want_rc;
        std::string want;  // the token kept; nothing on failure
    };
    const Case cases[] = {
        {std::string(kToken) + "\r\n", 0, kToken},
        {std::string(kToken) + "\n\r\n\r", 0, kToken},  // every trailing CR and LF goes
        // blanks are part of the token
        {std::string(kToken) + " \n", 0, std::string(kToken) + " "},
        {std::string(4095, 'k') + "\r\n", 0, std::string(4095, 'k')},  // the longest arrives whole
        {std::string(4095, 'k') + std::string(9000, '\n'), 0, std::string(4095, 'k')},
        {std::string(4096, 'k') + "\r\n", -1, ""},  // never cut
        {std::string(5000, 'k'), -1, ""},
        {std::string(kToken) + std::string(1, '\0') + "tail", -1, ""},  // never cut at a zero byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.size());
        char path[] = "/tmp/zel-token-unit-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, c.content.data(), c.content.size()),
                  static_cast<ssize_t>(c.content.size()));
        close(fd);
        set_env({{"PCAP_RELAY_TOKEN_FILE", path}, {"PCAP_RELAY_TOKEN", "unused"}});
        relay_config cfg;
        memset(&cfg, 0, sizeof cfg);
        int rc = read_secret(&cfg);
        unlink(path);
        ASSERT_EQ(rc, c.want_rc);
        EXPECT_EQ(std::string(cfg.token), c.want);
    }
}

}  // namespace
