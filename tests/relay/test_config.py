"""Runs the real relay with controlled environments and command lines and
compares what a user sees: standard error, standard output, exit status.

Every case starts from an empty environment (only sanitizer settings are
passed through) and names its configuration file explicitly, with "--config"
or "--config=" or PCAP_CONFIG_FILE, so files in the default locations never
take part; the default locations have their own test script.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import zelproc  # noqa: E402

BIN = os.path.join(os.environ.get("ZEL_BIN", ""), "zel_packet_monitor_wss")

# 32 bytes; searched for in every output, since the token must never appear.
TOKEN = "zeltoken" * 4
SECRET_MARK = "zeltoken"

CLIENT = {
    "PCAP_RELAY_URL": "wss://relay.example:8443/ingest",
    "PCAP_RELAY_SWITCH_ID": "sw-1",
    "PCAP_RELAY_TOKEN": TOKEN,
}
CLIENT_OK = ("configuration valid mode=wss-client enabled=true host=relay.example "
             "port=8443 path=/ingest switch_id=sw-1\n")

TOO_LONG_HOST_PORT = "invalid numeric PCAP_WSS_HOST or PCAP_WSS_PORT\n"
ALLOWED_BAD = "PCAP_WSS_ALLOWED_IPS requires up to 64 exact IP addresses\n"
READABLE = "readable PCAP_WSS_CERT_FILE and PCAP_WSS_KEY_FILE are required\n"
PORT_BAD = "invalid WSS host or port\n"
SHORT_TOKEN = "relay token must contain at least 32 bytes\n"
LONG_TOKEN = "relay token must contain at most 4095 bytes\n"
TOKEN_CONTROL = "relay token must not contain control characters\n"
URL_CONTROL = "PCAP_RELAY_URL must not contain control characters or blanks\n"
STATS_BAD = "PCAP_RELAY_STATS_SECONDS must be an integer from 0 to 86400\n"
METRICS_BAD = "PCAP_METRICS_FILE must be an absolute path of a file\n"
USAGE = "usage: %s [--config <path>] [--check-config]\n" % BIN
# The project's one version, as its top CMakeLists.txt declares it.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as _f:
    VERSION = "zel_packet_monitor_wss %s\n" % re.search(
        r"project\(zel_packet_monitor VERSION (\S+)", _f.read()).group(1)
DISABLED_LOG = re.compile(r"\A\d+ level=info component=zel_packet_monitor_wss wss_listener_disabled\n\Z")


def duplicate_log(*repeats, then=""):
    """Standard error holding exactly the warnings for the (key as logged,
    first line, ignored line) repeats, then the text `then`."""
    return re.compile(r"\A" + "".join(
        r"\d+ level=warning component=zel_packet_monitor_wss config_duplicate_key key=%s "
        r"first_line=%d ignored_line=%d\n" % (re.escape(k), first, later) for k, first, later in repeats)
        + re.escape(then) + r"\Z")


def client_ok(host="relay.example", port=8443, path="/ingest", switch_id="sw-1"):
    return ("configuration valid mode=wss-client enabled=true host=%s port=%d path=%s switch_id=%s\n"
            % (host, port, path, switch_id))


def server_ok(host="127.0.0.1", port=9135):
    return ("configuration valid mode=wss-server enabled=true host=%s port=%d path=/events switch_id=\n"
            % (host, port))


SERVER_OFF = "configuration valid mode=wss-server enabled=false host= port=0 path= switch_id=\n"


def run_relay(env, args):
    return zelproc.run([BIN] + list(args), env)


class Fixture(unittest.TestCase):
    """A temporary directory with a readable certificate and key, token files
    (one ending in CR LF), a FIFO nobody writes to, and helpers to write
    configuration files."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-config-test-")
        cls.cert = cls.write("cert.pem", "not parsed here\n")
        cls.key = cls.write("key.pem", "not parsed here\n")
        cls.token_crlf = cls.write("token-crlf", TOKEN + "\r\n")
        cls.token_short = cls.write("token-short", "t" * 31 + "\r\n")
        cls.token_tab = cls.write("token-tab", "a" * 20 + "\t" + "b" * 20 + "\n")
        cls.token_big = cls.write("token-big", "k" * 5000)
        cls.token_max = cls.write("token-max", "k" * 4095 + "\r\n\n")
        cls.token_4096 = cls.write("token-4096", "k" * 4096 + "\r\n")
        cls.token_nul = cls.write("token-nul", TOKEN[:5] + "\0" + TOKEN + "\n")
        cls.fifo = os.path.join(cls.dir, "fifo")
        os.mkfifo(cls.fifo)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    @classmethod
    def write(cls, name, text):
        path = os.path.join(cls.dir, name)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def server(self, **over):
        env = {
            "PCAP_RELAY_MODE": "wss-server",
            "PCAP_WSS_ENABLED": "true",
            "PCAP_WSS_ALLOWED_IPS": "127.0.0.1",
            "PCAP_WSS_CERT_FILE": self.cert,
            "PCAP_WSS_KEY_FILE": self.key,
        }
        return merge(env, over)

    def check_table(self, cases):
        for c in cases:
            name, env, args, want_err, want_out, want_rc = c
            with self.subTest(name):
                err, out, rc = run_relay(env, args)
                if isinstance(want_err, re.Pattern):
                    self.assertRegex(err, want_err)
                else:
                    self.assertEqual(err, want_err)
                self.assertEqual(out, want_out)
                self.assertEqual(rc, want_rc)
                self.assertNotIn(SECRET_MARK, err + out)


def merge(base, over):
    env = dict(base)
    for k, v in over.items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


def client(**over):
    return merge(CLIENT, over)


CHECK = ["--config=", "--check-config"]


class ClientKeys(Fixture):
    def test_messages(self):
        C = CHECK
        cases = [
            # name, env, args, stderr, stdout, status
            ("valid client", client(), C, "", CLIENT_OK, 0),
            ("mode bogus", client(PCAP_RELAY_MODE="bogus"), C,
             "PCAP_RELAY_MODE must be wss-client or wss-server\n", "", 2),
            ("mode is case-sensitive", client(PCAP_RELAY_MODE="WSS-CLIENT"), C,
             "PCAP_RELAY_MODE must be wss-client or wss-server\n", "", 2),
            ("mode empty is the default", client(PCAP_RELAY_MODE=""), C, "", CLIENT_OK, 0),

            ("queue events leading zeros", client(PCAP_RELAY_QUEUE_MAX_EVENTS="007"), C, "", CLIENT_OK, 0),
            ("queue events zero", client(PCAP_RELAY_QUEUE_MAX_EVENTS="0"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events all zeros", client(PCAP_RELAY_QUEUE_MAX_EVENTS="000"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events plus sign", client(PCAP_RELAY_QUEUE_MAX_EVENTS="+5"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events minus sign", client(PCAP_RELAY_QUEUE_MAX_EVENTS="-5"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events leading blank", client(PCAP_RELAY_QUEUE_MAX_EVENTS=" 5"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events trailing blank", client(PCAP_RELAY_QUEUE_MAX_EVENTS="5 "), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events blank only", client(PCAP_RELAY_QUEUE_MAX_EVENTS=" "), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events letters", client(PCAP_RELAY_QUEUE_MAX_EVENTS="5k"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue events largest 64-bit", client(PCAP_RELAY_QUEUE_MAX_EVENTS="18446744073709551615"), C,
             "", CLIENT_OK, 0),
            ("queue events overflow", client(PCAP_RELAY_QUEUE_MAX_EVENTS="18446744073709551616"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("queue bytes zero", client(PCAP_RELAY_QUEUE_MAX_BYTES="0"), C,
             "PCAP_RELAY_QUEUE_MAX_BYTES must be a positive integer\n", "", 2),
            ("socket 107 bytes", client(PCAP_SOCKET="/" + "s" * 106), C, "", CLIENT_OK, 0),
            ("socket 108 bytes", client(PCAP_SOCKET="/" + "s" * 107), C, "PCAP_SOCKET is too long\n", "", 2),

            ("url unset", client(PCAP_RELAY_URL=None), C, "PCAP_RELAY_URL must use wss://\n", "", 2),
            ("url https", client(PCAP_RELAY_URL="https://h/"), C, "PCAP_RELAY_URL must use wss://\n", "", 2),
            ("url scheme case", client(PCAP_RELAY_URL="WSS://h/"), C, "PCAP_RELAY_URL must use wss://\n", "", 2),
            ("url too long", client(PCAP_RELAY_URL="wss://h/" + "p" * 1016), C,
             "PCAP_RELAY_URL is too long\n", "", 2),
            ("url 1023 bytes", client(PCAP_RELAY_URL="wss://h/" + "p" * 1015), C, "",
             client_ok(host="h", port=443, path="/" + "p" * 1015), 0),
            ("url empty authority", client(PCAP_RELAY_URL="wss://"), C, "PCAP_RELAY_URL has no host\n", "", 2),
            ("url empty authority with path", client(PCAP_RELAY_URL="wss:///x"), C,
             "PCAP_RELAY_URL has no host\n", "", 2),
            ("url ipv6 no port", client(PCAP_RELAY_URL="wss://[::1]"), C, "",
             client_ok(host="::1", port=443, path="/"), 0),
            ("url ipv6 with port", client(PCAP_RELAY_URL="wss://[2001:db8::5]:9443/in"), C, "",
             client_ok(host="2001:db8::5", port=9443, path="/in"), 0),
            ("url ipv6 junk after bracket", client(PCAP_RELAY_URL="wss://[::1]x:99/p"), C, "",
             client_ok(host="::1", port=443, path="/p"), 0),
            ("url ipv6 missing bracket", client(PCAP_RELAY_URL="wss://[::1:443/p"), C,
             "invalid IPv6 WSS URL\n", "", 2),
            ("url ipv6 bracket only in path", client(PCAP_RELAY_URL="wss://[::1/a]"), C,
             "invalid IPv6 WSS URL\n", "", 2),
            ("url ipv6 empty brackets", client(PCAP_RELAY_URL="wss://[]:443/"), C, PORT_BAD, "", 2),
            ("url ipv6 colon no digits", client(PCAP_RELAY_URL="wss://[::1]:/p"), C, PORT_BAD, "", 2),
            ("url no port no path", client(PCAP_RELAY_URL="wss://relay.example"), C, "",
             client_ok(port=443, path="/"), 0),
            ("url query and fragment kept", client(PCAP_RELAY_URL="wss://h:1/a/b?x=1&y=%20#f"), C, "",
             client_ok(host="h", port=1, path="/a/b?x=1&y=%20#f"), 0),
            ("url user info stays in host", client(PCAP_RELAY_URL="wss://u@h:2/"), C, "",
             client_ok(host="u@h", port=2, path="/"), 0),
            ("url port 65535", client(PCAP_RELAY_URL="wss://h:65535/"), C, "",
             client_ok(host="h", port=65535, path="/"), 0),
            ("url port 0", client(PCAP_RELAY_URL="wss://h:0/"), C, PORT_BAD, "", 2),
            ("url port 65536", client(PCAP_RELAY_URL="wss://h:65536/"), C, PORT_BAD, "", 2),
            ("url port negative", client(PCAP_RELAY_URL="wss://h:-443/"), C, PORT_BAD, "", 2),
            ("url port no digits", client(PCAP_RELAY_URL="wss://h:/x"), C, PORT_BAD, "", 2),
            ("url port letters", client(PCAP_RELAY_URL="wss://h:abc"), C, PORT_BAD, "", 2),
            # A number that wraps to 443 in 32 bits must still be refused.
            ("url port wraps 32 bits", client(PCAP_RELAY_URL="wss://h:4294967739/"), C, PORT_BAD, "", 2),
            ("url port beyond 64 bits", client(PCAP_RELAY_URL="wss://h:99999999999999999999/"), C,
             PORT_BAD, "", 2),
            ("url port digits then letters", client(PCAP_RELAY_URL="wss://h:8443x/p"), C, "",
             client_ok(host="h", port=8443, path="/p"), 0),
            ("url empty host before port", client(PCAP_RELAY_URL="wss://:443/"), C, PORT_BAD, "", 2),
            ("url host 255 bytes", client(PCAP_RELAY_URL="wss://" + "h" * 255), C, "",
             client_ok(host="h" * 255, port=443, path="/"), 0),
            ("url host 256 bytes", client(PCAP_RELAY_URL="wss://" + "h" * 256), C, PORT_BAD, "", 2),
            # Host and path go into the request line and Host header as written.
            ("url CR LF in path", client(PCAP_RELAY_URL="wss://h/in\r\nx-evil: 1"), C, URL_CONTROL, "", 2),
            ("url blank in host", client(PCAP_RELAY_URL="wss://h x/"), C, URL_CONTROL, "", 2),
            ("url tab before scheme", client(PCAP_RELAY_URL="\twss://h/"), C, URL_CONTROL, "", 2),
            ("url DEL", client(PCAP_RELAY_URL="wss://h/\x7f"), C, URL_CONTROL, "", 2),
            ("url byte above 0x7f", client(PCAP_RELAY_URL="wss://h/caf\u00e9"), C, URL_CONTROL, "", 2),
            ("url ipv6 host 256 bytes", client(PCAP_RELAY_URL="wss://[" + "h" * 256 + "]"), C, PORT_BAD, "", 2),

            ("switch id unset", client(PCAP_RELAY_SWITCH_ID=None), C, "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("switch id empty", client(PCAP_RELAY_SWITCH_ID=""), C, "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("switch id 255 bytes", client(PCAP_RELAY_SWITCH_ID="w" * 255), C, "",
             client_ok(switch_id="w" * 255), 0),
            ("switch id 256 bytes", client(PCAP_RELAY_SWITCH_ID="w" * 256), C,
             "PCAP_RELAY_SWITCH_ID is too long\n", "", 2),
            ("switch id CR LF", client(PCAP_RELAY_SWITCH_ID="sw\r\nx-evil: 1"), C,
             "PCAP_RELAY_SWITCH_ID must not contain control characters\n", "", 2),
            ("switch id tab", client(PCAP_RELAY_SWITCH_ID="sw\t1"), C,
             "PCAP_RELAY_SWITCH_ID must not contain control characters\n", "", 2),
            ("switch id DEL", client(PCAP_RELAY_SWITCH_ID="sw\x7f"), C,
             "PCAP_RELAY_SWITCH_ID must not contain control characters\n", "", 2),
            ("switch id UTF-8 and blanks", client(PCAP_RELAY_SWITCH_ID="sw ü ~"), C, "",
             client_ok(switch_id="sw ü ~"), 0),

            ("ca file 1024 bytes", client(PCAP_RELAY_CA_FILE="c" * 1024), C,
             "PCAP_RELAY_CA_FILE is too long\n", "", 2),
            ("ca file not checked", client(PCAP_RELAY_CA_FILE="/nonexistent/ca.pem"), C, "", CLIENT_OK, 0),
            ("client cert too long", client(PCAP_RELAY_CLIENT_CERT="c" * 1024), C,
             "PCAP_RELAY_CLIENT_CERT is too long\n", "", 2),
            ("client key too long", client(PCAP_RELAY_CLIENT_CERT="c", PCAP_RELAY_CLIENT_KEY="k" * 1024), C,
             "PCAP_RELAY_CLIENT_KEY is too long\n", "", 2),
            ("client cert without key", client(PCAP_RELAY_CLIENT_CERT="/c.pem"), C,
             "client certificate and key must be set together\n", "", 2),
            ("client key without cert", client(PCAP_RELAY_CLIENT_KEY="/k.pem"), C,
             "client certificate and key must be set together\n", "", 2),
            ("client cert and key", client(PCAP_RELAY_CLIENT_CERT="/c.pem", PCAP_RELAY_CLIENT_KEY="/k.pem"), C,
             "", CLIENT_OK, 0),

            ("token unset", client(PCAP_RELAY_TOKEN=None), C, SHORT_TOKEN, "", 2),
            ("token 31 bytes", client(PCAP_RELAY_TOKEN="t" * 31), C, SHORT_TOKEN, "", 2),
            ("token 4095 bytes", client(PCAP_RELAY_TOKEN="t" * 4095), C, "", CLIENT_OK, 0),
            ("token 4096 bytes", client(PCAP_RELAY_TOKEN="t" * 4096), C, "PCAP_RELAY_TOKEN is too long\n", "", 2),
            ("token CR LF inside", client(PCAP_RELAY_TOKEN=TOKEN + "\r\nx-evil: 1"), C,
             "relay token must not contain control characters\n", "", 2),
            ("token DEL", client(PCAP_RELAY_TOKEN=TOKEN + "\x7f"), C,
             "relay token must not contain control characters\n", "", 2),
            ("token file CR LF stripped", client(PCAP_RELAY_TOKEN=None, PCAP_RELAY_TOKEN_FILE=self.token_crlf), C,
             "", CLIENT_OK, 0),
            ("token file 31 bytes", client(PCAP_RELAY_TOKEN_FILE=self.token_short), C, SHORT_TOKEN, "", 2),
            ("token file tab inside", client(PCAP_RELAY_TOKEN_FILE=self.token_tab), C,
             "relay token must not contain control characters\n", "", 2),
            ("token file beyond 4095 bytes", client(PCAP_RELAY_TOKEN_FILE=self.token_big), C, LONG_TOKEN, "", 2),
            ("token file 4096 bytes and CR LF", client(PCAP_RELAY_TOKEN_FILE=self.token_4096), C, LONG_TOKEN, "", 2),
            ("token file 4095 bytes and CR LF", client(PCAP_RELAY_TOKEN_FILE=self.token_max), C, "", CLIENT_OK, 0),
            ("token file NUL inside", client(PCAP_RELAY_TOKEN_FILE=self.token_nul), C, TOKEN_CONTROL, "", 2),
            ("token file missing", client(PCAP_RELAY_TOKEN_FILE=os.path.join(self.dir, "absent")), C,
             "open PCAP_RELAY_TOKEN_FILE: No such file or directory\n", "", 2),
            # regression: a directory was reported as failing to open
            ("token file directory", client(PCAP_RELAY_TOKEN_FILE=self.dir), C,
             "read PCAP_RELAY_TOKEN_FILE: Is a directory\n", "", 2),
            ("token file FIFO", client(PCAP_RELAY_TOKEN_FILE=self.fifo), C,
             "open PCAP_RELAY_TOKEN_FILE: Invalid argument\n", "", 2),
            ("token file device", client(PCAP_RELAY_TOKEN_FILE="/dev/zero"), C,
             "open PCAP_RELAY_TOKEN_FILE: Invalid argument\n", "", 2),
            ("token file empty uses variable", client(PCAP_RELAY_TOKEN_FILE=""), C, "", CLIENT_OK, 0),

            ("stats seconds 0 is off", client(PCAP_RELAY_STATS_SECONDS="0"), C, "", CLIENT_OK, 0),
            ("stats seconds 86400", client(PCAP_RELAY_STATS_SECONDS="86400"), C, "", CLIENT_OK, 0),
            ("stats seconds 86401", client(PCAP_RELAY_STATS_SECONDS="86401"), C, STATS_BAD, "", 2),
            ("stats seconds minus sign", client(PCAP_RELAY_STATS_SECONDS="-1"), C, STATS_BAD, "", 2),
            ("stats seconds blank", client(PCAP_RELAY_STATS_SECONDS=" 5"), C, STATS_BAD, "", 2),
            ("stats seconds unit", client(PCAP_RELAY_STATS_SECONDS="5s"), C, STATS_BAD, "", 2),
            ("stats seconds beyond 64 bits", client(PCAP_RELAY_STATS_SECONDS="18446744073709551616"), C,
             STATS_BAD, "", 2),
            ("metrics file folder not checked", client(PCAP_METRICS_FILE="/nonexistent/relay.prom"), C,
             "", CLIENT_OK, 0),
            ("metrics file 1023 bytes", client(PCAP_METRICS_FILE="/" + "m" * 1022), C, "", CLIENT_OK, 0),
            ("metrics file 1024 bytes", client(PCAP_METRICS_FILE="/" + "m" * 1023), C,
             "PCAP_METRICS_FILE is too long\n", "", 2),
            ("metrics file relative", client(PCAP_METRICS_FILE="relay.prom"), C, METRICS_BAD, "", 2),
            ("metrics file names a folder", client(PCAP_METRICS_FILE="/var/lib/"), C, METRICS_BAD, "", 2),

            ("reconnect numbers never fail",
             client(PCAP_RELAY_RECONNECT_MIN_SECONDS="-x", PCAP_RELAY_RECONNECT_MAX_SECONDS="junk"), C,
             "", CLIENT_OK, 0),

            # server-mode keys are not read in client mode
            ("server keys ignored",
             client(PCAP_WSS_ENABLED="maybe", PCAP_WSS_PORT="0", PCAP_WSS_HOST="name",
                    PCAP_WSS_ALLOWED_IPS=",", PCAP_WSS_MAX_CLIENTS="x"), C, "", CLIENT_OK, 0),
        ]
        self.check_table(cases)

    def test_first_failure_decides(self):
        C = CHECK
        cases = [
            ("mode before queue", client(PCAP_RELAY_MODE="x", PCAP_RELAY_QUEUE_MAX_EVENTS="0"), C,
             "PCAP_RELAY_MODE must be wss-client or wss-server\n", "", 2),
            ("events before bytes", client(PCAP_RELAY_QUEUE_MAX_EVENTS="0", PCAP_RELAY_QUEUE_MAX_BYTES="0"), C,
             "PCAP_RELAY_QUEUE_MAX_EVENTS must be a positive integer\n", "", 2),
            ("bytes before socket", client(PCAP_RELAY_QUEUE_MAX_BYTES="0", PCAP_SOCKET="s" * 200), C,
             "PCAP_RELAY_QUEUE_MAX_BYTES must be a positive integer\n", "", 2),
            ("socket before stats", client(PCAP_SOCKET="s" * 200, PCAP_RELAY_STATS_SECONDS="x"), C,
             "PCAP_SOCKET is too long\n", "", 2),
            ("stats before metrics file", client(PCAP_RELAY_STATS_SECONDS="x", PCAP_METRICS_FILE="m"), C,
             STATS_BAD, "", 2),
            ("metrics file before url", client(PCAP_METRICS_FILE="m", PCAP_RELAY_URL="u" * 2000), C,
             METRICS_BAD, "", 2),
            ("socket before url", client(PCAP_SOCKET="s" * 200, PCAP_RELAY_URL="u" * 2000), C,
             "PCAP_SOCKET is too long\n", "", 2),
            ("url length before switch id", client(PCAP_RELAY_URL="u" * 2000, PCAP_RELAY_SWITCH_ID=None), C,
             "PCAP_RELAY_URL is too long\n", "", 2),
            ("switch id length before ca", client(PCAP_RELAY_SWITCH_ID="w" * 300, PCAP_RELAY_CA_FILE="c" * 2000), C,
             "PCAP_RELAY_SWITCH_ID is too long\n", "", 2),
            ("all copies before required switch id",
             client(PCAP_RELAY_SWITCH_ID=None, PCAP_RELAY_CLIENT_KEY="k" * 2000), C,
             "PCAP_RELAY_CLIENT_KEY is too long\n", "", 2),
            ("switch id before url syntax", client(PCAP_RELAY_SWITCH_ID=None, PCAP_RELAY_URL="http://x"), C,
             "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("switch id control before cert pair",
             client(PCAP_RELAY_SWITCH_ID="a\nb", PCAP_RELAY_CLIENT_CERT="/c"), C,
             "PCAP_RELAY_SWITCH_ID must not contain control characters\n", "", 2),
            ("cert pair before token", client(PCAP_RELAY_CLIENT_CERT="/c", PCAP_RELAY_TOKEN=None), C,
             "client certificate and key must be set together\n", "", 2),
            ("token file before token variable",
             client(PCAP_RELAY_TOKEN_FILE=self.token_short, PCAP_RELAY_TOKEN=TOKEN), C, SHORT_TOKEN, "", 2),
            ("short token before url", client(PCAP_RELAY_TOKEN="t", PCAP_RELAY_URL="http://x"), C,
             SHORT_TOKEN, "", 2),
            ("token control before url", client(PCAP_RELAY_TOKEN=TOKEN + "\n", PCAP_RELAY_URL="http://x"), C,
             "relay token must not contain control characters\n", "", 2),
            ("token before url control", client(PCAP_RELAY_TOKEN="t", PCAP_RELAY_URL="wss://h/\n"), C,
             SHORT_TOKEN, "", 2),
        ]
        self.check_table(cases)


class ServerKeys(Fixture):
    def test_messages(self):
        C = CHECK
        s = self.server
        ips64 = ",".join("10.0.0.%d" % i for i in range(64))
        ips65 = ips64 + ",10.0.1.1"
        cases = [
            ("valid server", s(), C, "", server_ok(), 0),
            ("listener off by default", s(PCAP_WSS_ENABLED=None), C, "", SERVER_OFF, 0),
            ("listener off ignores every other key",
             s(PCAP_WSS_ENABLED="false", PCAP_WSS_HOST="name", PCAP_WSS_PORT="0", PCAP_WSS_ALLOWED_IPS=None,
               PCAP_WSS_CERT_FILE=None, PCAP_WSS_MAX_CLIENTS="x"), C, "", SERVER_OFF, 0),
            ("listener off logs and exits", s(PCAP_WSS_ENABLED="false"), ["--config="], DISABLED_LOG, "", 0),
            # Both modes' keys are read before the listener's switch.
            ("stats keys read in server mode", s(PCAP_WSS_ENABLED="false", PCAP_RELAY_STATS_SECONDS="-1"), C,
             STATS_BAD, "", 2),
            ("metrics file read in server mode", s(PCAP_METRICS_FILE="relay.prom"), C, METRICS_BAD, "", 2),
            ("stats keys valid in server mode", s(PCAP_RELAY_STATS_SECONDS="60", PCAP_METRICS_FILE="/m.prom"), C,
             "", server_ok(), 0),
            ("enabled yes", s(PCAP_WSS_ENABLED="yes"), C, "PCAP_WSS_ENABLED must be true or false\n", "", 2),
            ("enabled TRUE", s(PCAP_WSS_ENABLED="TRUE"), C, "PCAP_WSS_ENABLED must be true or false\n", "", 2),
            # client-mode keys are not read in server mode
            ("client keys ignored",
             s(PCAP_RELAY_URL="http://x", PCAP_RELAY_TOKEN="t", PCAP_RELAY_SWITCH_ID="a\nb",
               PCAP_RELAY_TOKEN_FILE="/nonexistent"), C, "", server_ok(), 0),

            ("host ipv6", s(PCAP_WSS_HOST="::1"), C, "", server_ok(host="::1"), 0),
            ("host mapped ipv4", s(PCAP_WSS_HOST="::ffff:127.0.0.1"), C, "", server_ok(host="::ffff:127.0.0.1"), 0),
            ("host all addresses", s(PCAP_WSS_HOST="0.0.0.0"), C, "", server_ok(host="0.0.0.0"), 0),
            ("host too long", s(PCAP_WSS_HOST="1" * 256), C, "PCAP_WSS_HOST is too long\n" + TOO_LONG_HOST_PORT, "", 2),
            ("host name", s(PCAP_WSS_HOST="localhost"), C, TOO_LONG_HOST_PORT, "", 2),
            ("host with port", s(PCAP_WSS_HOST="127.0.0.1:80"), C, TOO_LONG_HOST_PORT, "", 2),
            ("host with prefix", s(PCAP_WSS_HOST="10.0.0.0/8"), C, TOO_LONG_HOST_PORT, "", 2),
            ("host with zone", s(PCAP_WSS_HOST="fe80::1%lo"), C, TOO_LONG_HOST_PORT, "", 2),
            ("host bracketed", s(PCAP_WSS_HOST="[::1]"), C, TOO_LONG_HOST_PORT, "", 2),
            ("port leading zeros", s(PCAP_WSS_PORT="007"), C, "", server_ok(port=7), 0),
            ("port 65535", s(PCAP_WSS_PORT="65535"), C, "", server_ok(port=65535), 0),
            ("port 0", s(PCAP_WSS_PORT="0"), C,
             "PCAP_WSS_PORT must be a positive integer\n" + TOO_LONG_HOST_PORT, "", 2),
            ("port plus sign", s(PCAP_WSS_PORT="+9135"), C,
             "PCAP_WSS_PORT must be a positive integer\n" + TOO_LONG_HOST_PORT, "", 2),
            ("port trailing blank", s(PCAP_WSS_PORT="9135 "), C,
             "PCAP_WSS_PORT must be a positive integer\n" + TOO_LONG_HOST_PORT, "", 2),
            ("port 65536", s(PCAP_WSS_PORT="65536"), C, TOO_LONG_HOST_PORT, "", 2),
            ("port 2^64", s(PCAP_WSS_PORT="18446744073709551616"), C,
             "PCAP_WSS_PORT must be a positive integer\n" + TOO_LONG_HOST_PORT, "", 2),
            ("bad host hides bad port", s(PCAP_WSS_HOST="name", PCAP_WSS_PORT="0"), C, TOO_LONG_HOST_PORT, "", 2),

            ("allowed unset", s(PCAP_WSS_ALLOWED_IPS=None), C, "PCAP_WSS_ALLOWED_IPS is required\n", "", 2),
            ("allowed empty", s(PCAP_WSS_ALLOWED_IPS=""), C, "PCAP_WSS_ALLOWED_IPS is required\n", "", 2),
            ("allowed v4 and v6 with blanks", s(PCAP_WSS_ALLOWED_IPS=" 192.0.2.1 ,\t2001:db8::1  "), C,
             "", server_ok(), 0),
            ("allowed trailing comma", s(PCAP_WSS_ALLOWED_IPS="192.0.2.1,"), C, "empty allowed IP\n", "", 2),
            ("allowed trailing comma and blank", s(PCAP_WSS_ALLOWED_IPS="192.0.2.1, "), C, ALLOWED_BAD, "", 2),
            ("allowed lone comma", s(PCAP_WSS_ALLOWED_IPS=","), C, ALLOWED_BAD, "", 2),
            ("allowed empty entry", s(PCAP_WSS_ALLOWED_IPS="192.0.2.1,,192.0.2.2"), C, ALLOWED_BAD, "", 2),
            ("allowed blank entry", s(PCAP_WSS_ALLOWED_IPS="192.0.2.1,  ,192.0.2.2"), C, ALLOWED_BAD, "", 2),
            ("allowed blank only", s(PCAP_WSS_ALLOWED_IPS="   "), C, ALLOWED_BAD, "", 2),
            ("allowed leading comma", s(PCAP_WSS_ALLOWED_IPS=",192.0.2.1"), C, ALLOWED_BAD, "", 2),
            ("allowed prefix", s(PCAP_WSS_ALLOWED_IPS="10.0.0.0/8"), C, ALLOWED_BAD, "", 2),
            ("allowed host name", s(PCAP_WSS_ALLOWED_IPS="192.0.2.1,localhost"), C, ALLOWED_BAD, "", 2),
            ("allowed with port", s(PCAP_WSS_ALLOWED_IPS="192.0.2.1:443"), C, ALLOWED_BAD, "", 2),
            ("allowed with zone", s(PCAP_WSS_ALLOWED_IPS="fe80::1%eth0"), C, ALLOWED_BAD, "", 2),
            ("allowed 64 entries", s(PCAP_WSS_ALLOWED_IPS=ips64), C, "", server_ok(), 0),
            ("allowed 65 entries", s(PCAP_WSS_ALLOWED_IPS=ips65), C, ALLOWED_BAD, "", 2),
            ("allowed 64 entries and trailing comma", s(PCAP_WSS_ALLOWED_IPS=ips64 + ","), C,
             "empty allowed IP\n", "", 2),
            ("allowed 4096 bytes", s(PCAP_WSS_ALLOWED_IPS="1" * 4096), C, "PCAP_WSS_ALLOWED_IPS is too long\n", "", 2),

            ("cert unset", s(PCAP_WSS_CERT_FILE=None), C, READABLE, "", 2),
            ("key unset", s(PCAP_WSS_KEY_FILE=None), C, READABLE, "", 2),
            ("cert missing", s(PCAP_WSS_CERT_FILE=os.path.join(self.dir, "absent.pem")), C, READABLE, "", 2),
            ("key missing", s(PCAP_WSS_KEY_FILE=os.path.join(self.dir, "absent.pem")), C, READABLE, "", 2),
            ("cert too long", s(PCAP_WSS_CERT_FILE="c" * 1024), C, "PCAP_WSS_CERT_FILE is too long\n", "", 2),
            ("key too long", s(PCAP_WSS_KEY_FILE="k" * 1024), C, "PCAP_WSS_KEY_FILE is too long\n", "", 2),

            ("max clients 0", s(PCAP_WSS_MAX_CLIENTS="0"), C, "PCAP_WSS_MAX_CLIENTS must be a positive integer\n", "", 2),
            ("client queue events x", s(PCAP_WSS_QUEUE_EVENTS="x"), C,
             "PCAP_WSS_QUEUE_EVENTS must be a positive integer\n", "", 2),
            ("client queue bytes -1", s(PCAP_WSS_QUEUE_BYTES="-1"), C,
             "PCAP_WSS_QUEUE_BYTES must be a positive integer\n", "", 2),
            ("client limits with leading zeros",
             s(PCAP_WSS_MAX_CLIENTS="01", PCAP_WSS_QUEUE_EVENTS="02", PCAP_WSS_QUEUE_BYTES="03"), C,
             "", server_ok(), 0),
        ]
        self.check_table(cases)

    def test_first_failure_decides(self):
        C = CHECK
        s = self.server
        cases = [
            ("socket before enabled", s(PCAP_SOCKET="s" * 200, PCAP_WSS_ENABLED="x"), C,
             "PCAP_SOCKET is too long\n", "", 2),
            ("enabled before host", s(PCAP_WSS_ENABLED="x", PCAP_WSS_HOST="name"), C,
             "PCAP_WSS_ENABLED must be true or false\n", "", 2),
            ("host before allowed", s(PCAP_WSS_HOST="name", PCAP_WSS_ALLOWED_IPS=None), C,
             TOO_LONG_HOST_PORT, "", 2),
            ("allowed before cert", s(PCAP_WSS_ALLOWED_IPS="x", PCAP_WSS_CERT_FILE=None), C, ALLOWED_BAD, "", 2),
            ("cert length before key length", s(PCAP_WSS_CERT_FILE="c" * 2000, PCAP_WSS_KEY_FILE="k" * 2000), C,
             "PCAP_WSS_CERT_FILE is too long\n", "", 2),
            ("key length before readability", s(PCAP_WSS_CERT_FILE=None, PCAP_WSS_KEY_FILE="k" * 2000), C,
             "PCAP_WSS_KEY_FILE is too long\n", "", 2),
            ("cert before limits", s(PCAP_WSS_CERT_FILE=None, PCAP_WSS_MAX_CLIENTS="0"), C, READABLE, "", 2),
            ("max clients before queue events", s(PCAP_WSS_MAX_CLIENTS="0", PCAP_WSS_QUEUE_EVENTS="0"), C,
             "PCAP_WSS_MAX_CLIENTS must be a positive integer\n", "", 2),
            ("queue events before queue bytes", s(PCAP_WSS_QUEUE_EVENTS="0", PCAP_WSS_QUEUE_BYTES="0"), C,
             "PCAP_WSS_QUEUE_EVENTS must be a positive integer\n", "", 2),
        ]
        self.check_table(cases)


class NatsKeys(Fixture):
    """The bus mode's keys: each refusal one sentence and exit 2, secrets
    never shown, the default subject made from the switch id."""

    def test_messages(self):
        C = CHECK
        sec = self.write("nats-token", TOKEN + "\n")
        empty = self.write("nats-empty", "\n")
        urls = "nats://127.0.0.1:4222,tls://n2.example:4222"

        def nats(**over):
            return merge({"PCAP_RELAY_MODE": "nats", "PCAP_NATS_URL": urls,
                          "PCAP_RELAY_SWITCH_ID": "sw-1", "PCAP_NATS_STREAM": "ZEL"}, over)

        def ok(switch_id="sw-1", subject="zel.sip.sw-1"):
            return ("configuration valid mode=nats enabled=true host= port=0 path= switch_id=%s "
                    "subject=%s stream=ZEL\n" % (switch_id, subject))

        URLS = "PCAP_NATS_URL must list nats:// or tls:// URLs separated by commas\n"
        STREAM = ("PCAP_NATS_STREAM must be a name of printable characters without blanks, "
                  "'.', '*', '>', '/' or '\\'\n")
        SUBJECT = ("PCAP_NATS_SUBJECT must be dot-separated tokens of printable characters "
                   "without blanks or wildcards, at most 255 bytes\n")
        ONE = ("set only one of PCAP_NATS_TOKEN_FILE, PCAP_NATS_CREDS_FILE and "
               "PCAP_NATS_USER\n")
        PENDING = "PCAP_NATS_MAX_PENDING must be an integer from 1 to 65536\n"
        REPLICAS = "PCAP_NATS_REPLICAS must be an integer from 1 to 5\n"
        self.check_table([
            ("valid", nats(), C, "", ok(), 0),
            ("every key", nats(PCAP_NATS_TOKEN_FILE=sec, PCAP_NATS_CA_FILE=self.cert,
                               PCAP_NATS_CERT_FILE=self.cert, PCAP_NATS_KEY_FILE=self.key,
                               PCAP_NATS_MAX_PENDING="65536", PCAP_NATS_CREATE_STREAM="true",
                               PCAP_NATS_REPLICAS="5", PCAP_NATS_MAX_AGE_SECONDS="3153600000",
                               PCAP_NATS_MAX_BYTES="9223372036854775807"), C, "", ok(), 0),
            ("unknown mode keeps its sentence", nats(PCAP_RELAY_MODE="NATS"), C,
             "PCAP_RELAY_MODE must be wss-client or wss-server\n", "", 2),
            ("switch id required", nats(PCAP_RELAY_SWITCH_ID=None), C,
             "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("switch id control", nats(PCAP_RELAY_SWITCH_ID="a\rb"), C,
             "PCAP_RELAY_SWITCH_ID must not contain control characters\n", "", 2),
            ("subject made safe", nats(PCAP_RELAY_SWITCH_ID="pbx.example com*"), C, "",
             ok("pbx.example com*", "zel.sip.pbx_example_com_"), 0),
            ("switch id too long for the default subject", nats(PCAP_RELAY_SWITCH_ID="w" * 250), C,
             "PCAP_RELAY_SWITCH_ID is too long for the default PCAP_NATS_SUBJECT; set "
             "PCAP_NATS_SUBJECT\n", "", 2),
            ("subject given", nats(PCAP_NATS_SUBJECT="site.a.sip"), C, "",
             ok(subject="site.a.sip"), 0),
            ("subject wildcard", nats(PCAP_NATS_SUBJECT="zel.*"), C, SUBJECT, "", 2),
            ("subject empty token", nats(PCAP_NATS_SUBJECT="zel..x"), C, SUBJECT, "", 2),
            ("subject blank", nats(PCAP_NATS_SUBJECT="zel x"), C, SUBJECT, "", 2),
            ("url unset", nats(PCAP_NATS_URL=None), C, "PCAP_NATS_URL is required\n", "", 2),
            ("url scheme", nats(PCAP_NATS_URL="wss://h:1"), C, URLS, "", 2),
            ("url empty entry", nats(PCAP_NATS_URL="nats://h:1,"), C, URLS, "", 2),
            ("url blank after comma", nats(PCAP_NATS_URL="nats://h:1, nats://g:1"), C, URLS, "", 2),
            ("url no host", nats(PCAP_NATS_URL="nats://:4222"), C, URLS, "", 2),
            ("url CR LF", nats(PCAP_NATS_URL="nats://h\r\n:1"), C, URLS, "", 2),
            ("url too long", nats(PCAP_NATS_URL="nats://" + "h" * 4089), C,
             "PCAP_NATS_URL is too long\n", "", 2),
            ("stream unset", nats(PCAP_NATS_STREAM=None), C, "PCAP_NATS_STREAM is required\n", "", 2),
            ("stream dot", nats(PCAP_NATS_STREAM="Z.L"), C, STREAM, "", 2),
            ("stream slash", nats(PCAP_NATS_STREAM="../x"), C, STREAM, "", 2),
            ("token file missing", nats(PCAP_NATS_TOKEN_FILE=self.dir + "/none"), C,
             "open PCAP_NATS_TOKEN_FILE: No such file or directory\n", "", 2),
            ("token file a FIFO", nats(PCAP_NATS_TOKEN_FILE=self.fifo), C,
             "PCAP_NATS_TOKEN_FILE must name a regular file\n", "", 2),
            ("token file a folder", nats(PCAP_NATS_TOKEN_FILE=self.dir), C,
             "PCAP_NATS_TOKEN_FILE must name a regular file\n", "", 2),
            ("token file empty", nats(PCAP_NATS_TOKEN_FILE=empty), C,
             "PCAP_NATS_TOKEN_FILE must hold 1 to 4095 bytes of text\n", "", 2),
            ("token file too big", nats(PCAP_NATS_TOKEN_FILE=self.token_big), C,
             "PCAP_NATS_TOKEN_FILE holds more than 4095 bytes\n", "", 2),
            ("token and user", nats(PCAP_NATS_TOKEN_FILE=sec, PCAP_NATS_USER="u",
                                    PCAP_NATS_PASSWORD_FILE=sec), C, ONE, "", 2),
            ("token and creds", nats(PCAP_NATS_TOKEN_FILE=sec, PCAP_NATS_CREDS_FILE=self.cert),
             C, ONE, "", 2),
            ("user and password", nats(PCAP_NATS_USER="u", PCAP_NATS_PASSWORD_FILE=sec), C, "",
             ok(), 0),
            ("user without password", nats(PCAP_NATS_USER="u"), C,
             "PCAP_NATS_USER and PCAP_NATS_PASSWORD_FILE must be set together\n", "", 2),
            ("password file a FIFO", nats(PCAP_NATS_USER="u", PCAP_NATS_PASSWORD_FILE=self.fifo),
             C, "PCAP_NATS_PASSWORD_FILE must name a regular file\n", "", 2),
            ("creds a folder", nats(PCAP_NATS_CREDS_FILE=self.dir), C,
             "PCAP_NATS_CREDS_FILE must name a readable regular file\n", "", 2),
            ("ca missing", nats(PCAP_NATS_CA_FILE=self.dir + "/none"), C,
             "PCAP_NATS_CA_FILE must name a readable regular file\n", "", 2),
            ("cert without key", nats(PCAP_NATS_CERT_FILE=self.cert), C,
             "PCAP_NATS_CERT_FILE and PCAP_NATS_KEY_FILE must be set together\n", "", 2),
            ("key a FIFO", nats(PCAP_NATS_CERT_FILE=self.cert, PCAP_NATS_KEY_FILE=self.fifo), C,
             "PCAP_NATS_KEY_FILE must name a readable regular file\n", "", 2),
            ("max pending 0", nats(PCAP_NATS_MAX_PENDING="0"), C, PENDING, "", 2),
            ("max pending above", nats(PCAP_NATS_MAX_PENDING="65537"), C, PENDING, "", 2),
            ("max pending letters", nats(PCAP_NATS_MAX_PENDING="4k"), C, PENDING, "", 2),
            ("create stream yes", nats(PCAP_NATS_CREATE_STREAM="yes"), C,
             "PCAP_NATS_CREATE_STREAM must be true or false\n", "", 2),
            ("replicas 0", nats(PCAP_NATS_REPLICAS="0"), C, REPLICAS, "", 2),
            ("replicas 6", nats(PCAP_NATS_REPLICAS="6"), C, REPLICAS, "", 2),
            ("max age above", nats(PCAP_NATS_MAX_AGE_SECONDS="3153600001"), C,
             "PCAP_NATS_MAX_AGE_SECONDS must be an integer from 0 to 3153600000\n", "", 2),
            ("max bytes above int64", nats(PCAP_NATS_MAX_BYTES="9223372036854775808"), C,
             "PCAP_NATS_MAX_BYTES must be an integer from 0 to 9223372036854775807\n", "", 2),
            ("max bytes negative", nats(PCAP_NATS_MAX_BYTES="-1"), C,
             "PCAP_NATS_MAX_BYTES must be an integer from 0 to 9223372036854775807\n", "", 2),
            # Keys of the other modes are not read in this one.
            ("client keys ignored", nats(PCAP_RELAY_URL="https://x", PCAP_WSS_PORT="0"), C, "",
             ok(), 0),
        ])


class CommandLine(Fixture):
    def test_arguments(self):
        good = self.write("good.conf", "PCAP_RELAY_SWITCH_ID=from-good\n")
        other = self.write("other.conf", "PCAP_RELAY_SWITCH_ID=from-other\n")
        absent = os.path.join(self.dir, "absent.conf")
        env = client(PCAP_RELAY_SWITCH_ID=None)
        cases = [
            ("-h", {}, ["-h"], USAGE, "", 0),
            ("--help", {}, ["--help"], USAGE, "", 0),
            ("-h before invalid", {}, ["-h", "--bogus"], USAGE, "", 0),
            ("-h after invalid", {}, ["--bogus", "-h"], USAGE, "", 2),
            ("--version whatever else is there", {"PCAP_RELAY_MODE": "x"},
             ["--bogus", "-h", "--config", absent, "--version", "--check-config"], "", VERSION, 0),
            ("--version as the path of -c", env, ["-c", "--version"],
             "failed to open config file: --version\n", "", 2),
            ("-h before a bad config", {"PCAP_RELAY_MODE": "x"}, ["--config", absent, "-h"], USAGE, "", 0),
            ("positional argument", {}, ["extra"], USAGE, "", 2),
            ("single-dash long option", {}, ["-check-config"], USAGE, "", 2),
            ("--config prefix is not an option", {}, ["--configx"], USAGE, "", 2),
            ("-c without path", {}, ["--check-config", "-c"], "option -c requires an argument\n", "", 2),
            ("--config without path", {}, ["--config"], "option --config requires an argument\n", "", 2),
            ("-c takes the next argument verbatim", env, ["-c", "-h"],
             "failed to open config file: -h\n", "", 2),
            ("-c path", env, ["-c", good, "--check-config"], "", client_ok(switch_id="from-good"), 0),
            ("--config path", env, ["--config", good, "--check-config"], "", client_ok(switch_id="from-good"), 0),
            ("--config=path", env, ["--config=" + good, "--check-config"], "", client_ok(switch_id="from-good"), 0),
            ("later path replaces earlier", env, ["-c", good, "--config=" + other, "--check-config"], "",
             client_ok(switch_id="from-other"), 0),
            ("earlier missing path is never opened", env, ["-c", absent, "-c", good, "--check-config"], "",
             client_ok(switch_id="from-good"), 0),
            ("check-config anywhere", env, ["--check-config", "-c", good], "", client_ok(switch_id="from-good"), 0),
            ("missing required file", env, ["-c", absent, "--check-config"],
             "failed to open config file: %s\n" % absent, "", 2),
            ("config file directory", env, ["-c", self.dir, "--check-config"],
             "failed to open config file: %s\n" % self.dir, "", 2),
            ("config file FIFO", env, ["-c", self.fifo, "--check-config"],
             "failed to open config file: %s\n" % self.fifo, "", 2),
            ("config file device", env, ["-c", "/dev/zero", "--check-config"],
             "failed to open config file: /dev/zero\n", "", 2),
            ("PCAP_CONFIG_FILE FIFO", merge(env, {"PCAP_CONFIG_FILE": self.fifo}), ["--check-config"],
             "failed to open config file: %s\n" % self.fifo, "", 2),
            ("check-config with invalid keys", client(PCAP_RELAY_MODE="x"), CHECK,
             "PCAP_RELAY_MODE must be wss-client or wss-server\n", "", 2),
        ]
        self.check_table(cases)

    def test_report_that_cannot_be_written_fails(self):
        full = zelproc.clean_env(client())
        with open("/dev/full", "w") as out:
            p = subprocess.run([BIN] + CHECK, env=full, stdout=out, stderr=subprocess.PIPE, timeout=20)
        self.assertEqual(p.stderr.decode(), "stdout: No space left on device\n")
        self.assertEqual(p.returncode, 1)


class ConfigFile(Fixture):
    def conf(self, name, text):
        return self.write(name, text)

    def test_line_grammar(self):
        base = client(PCAP_RELAY_SWITCH_ID=None)

        def with_file(name, text, **over):
            return merge(base, dict(over, PCAP_CONFIG_FILE=self.conf(name, text)))

        sid = "PCAP_RELAY_SWITCH_ID=f9"
        longest = sid + " " * (65536 - len(sid))  # trailing blanks are not part of the value
        cases = [
            ("plain", with_file("plain", "PCAP_RELAY_SWITCH_ID=f1\n"), ["--check-config"], "",
             client_ok(switch_id="f1"), 0),
            ("comments and blank lines",
             with_file("comments", "\n   \n  # PCAP_RELAY_MODE=x\n\t; PCAP_RELAY_MODE=x\n#x\nPCAP_RELAY_SWITCH_ID=f2\n"),
             ["--check-config"], "", client_ok(switch_id="f2"), 0),
            ("line without equals ignored",
             with_file("noeq", "PCAP_RELAY_MODE wss-server\nPCAP_RELAY_SWITCH_ID=f3\n"),
             ["--check-config"], "", client_ok(switch_id="f3"), 0),
            ("blanks around key and value, CR LF",
             with_file("blanks", "  PCAP_RELAY_SWITCH_ID \t =  f4 x \t\r\n"),
             ["--check-config"], "", client_ok(switch_id="f4 x"), 0),
            ("no final newline", with_file("nonl", "PCAP_RELAY_SWITCH_ID=f5"),
             ["--check-config"], "", client_ok(switch_id="f5"), 0),
            ("double quotes keep # = and blanks",
             with_file("dq", 'PCAP_RELAY_SWITCH_ID=" a #b = c "\n'),
             ["--check-config"], "", client_ok(switch_id=" a #b = c "), 0),
            ("single quotes", with_file("sq", "PCAP_RELAY_SWITCH_ID=' s '\n"),
             ["--check-config"], "", client_ok(switch_id=" s "), 0),
            ("no unescaping inside quotes", with_file("esc", 'PCAP_RELAY_SWITCH_ID="a\\"b"\n'),
             ["--check-config"], "", client_ok(switch_id='a\\"b'), 0),
            ("lone quote kept", with_file("lone", 'PCAP_RELAY_SWITCH_ID="\n'),
             ["--check-config"], "", client_ok(switch_id='"'), 0),
            ("mismatched quotes kept", with_file("mis", "PCAP_RELAY_SWITCH_ID=\"ab'\n"),
             ["--check-config"], "", client_ok(switch_id="\"ab'"), 0),
            ("hash after value is not a comment", with_file("hash", "PCAP_RELAY_SWITCH_ID=a # b\n"),
             ["--check-config"], "", client_ok(switch_id="a # b"), 0),
            ("value keeps later equals", with_file("eq", "PCAP_RELAY_SWITCH_ID=a=b\n"),
             ["--check-config"], "", client_ok(switch_id="a=b"), 0),
            ("repeated key keeps first",
             with_file("rep", "PCAP_RELAY_SWITCH_ID=first\nPCAP_RELAY_SWITCH_ID=second\n"),
             ["--check-config"], duplicate_log(("PCAP_RELAY_SWITCH_ID", 1, 2)),
             client_ok(switch_id="first"), 0),
            ("empty value sets nothing usable",
             with_file("emptyval", "PCAP_RELAY_SWITCH_ID=\n"),
             ["--check-config"], "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("empty key ignored", with_file("emptykey", "=x\n  = y\nPCAP_RELAY_SWITCH_ID=f6\n"),
             ["--check-config"], "", client_ok(switch_id="f6"), 0),
            ("environment wins over file",
             with_file("envwins", "PCAP_RELAY_MODE=wss-server\nPCAP_RELAY_SWITCH_ID=file\n",
                       PCAP_RELAY_MODE="wss-client", PCAP_RELAY_SWITCH_ID="env"),
             ["--check-config"], "", client_ok(switch_id="env"), 0),
            ("file sets other keys",
             with_file("keys", "PCAP_RELAY_SWITCH_ID=f7\nPCAP_RELAY_URL='wss://[::1]:7/q'\n",
                       PCAP_RELAY_URL=None),
             ["--check-config"], "", client_ok(host="::1", port=7, path="/q", switch_id="f7"), 0),
            ("file token never printed",
             with_file("tok", "PCAP_RELAY_SWITCH_ID=f8\nPCAP_RELAY_TOKEN=" + TOKEN + "\n", PCAP_RELAY_TOKEN=None),
             ["--check-config"], "", client_ok(switch_id="f8"), 0),
            # Lines are read whole: no tail of a long line is a line of its own.
            ("long comment stays a comment",
             with_file("longcomment", "#" + "c" * 1022 + "PCAP_RELAY_URL=wss://evil.example/\n" + sid + "\n",
                       PCAP_RELAY_URL=None),
             ["--check-config"], "PCAP_RELAY_URL must use wss://\n", "", 2),
            ("long value arrives whole",
             with_file("longtoken", sid + "\nPCAP_RELAY_TOKEN=" + "k" * 4096 + "\n", PCAP_RELAY_TOKEN=None),
             ["--check-config"], "PCAP_RELAY_TOKEN is too long\n", "", 2),
            ("line of 65536 bytes read", with_file("longest", longest + "\n"),
             ["--check-config"], "", client_ok(switch_id="f9"), 0),
            ("line of 65537 bytes skipped whole",
             with_file("toolong", longest + " \n" + "#" + "c" * 70000 + sid + "x\nPCAP_RELAY_SWITCH_ID=next\n"),
             ["--check-config"], "", client_ok(switch_id="next"), 0),
            ("missing PCAP_CONFIG_FILE", merge(base, {"PCAP_CONFIG_FILE": os.path.join(self.dir, "absent")}),
             ["--check-config"], "failed to open config file: %s\n" % os.path.join(self.dir, "absent"), "", 2),
            ("--config= suppresses PCAP_CONFIG_FILE",
             merge(base, {"PCAP_CONFIG_FILE": os.path.join(self.dir, "absent")}), CHECK,
             "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("--config= does not read the variable's file",
             with_file("ignored", "PCAP_RELAY_SWITCH_ID=never\n"), CHECK,
             "PCAP_RELAY_SWITCH_ID is required\n", "", 2),
            ("command line beats PCAP_CONFIG_FILE",
             merge(base, {"PCAP_CONFIG_FILE": os.path.join(self.dir, "absent")}),
             ["-c", self.conf("cmd", "PCAP_RELAY_SWITCH_ID=cmd\n"), "--check-config"], "",
             client_ok(switch_id="cmd"), 0),
            ("file selects server mode",
             with_file("srv", "PCAP_RELAY_MODE=wss-server\nPCAP_WSS_ENABLED=false\n"), [], DISABLED_LOG, "", 0),
        ]
        self.check_table(cases)


class DuplicateKeys(Fixture):
    """regression: a key repeated in the file was ignored without a word; each
    later line now logs a warning with the key and both line numbers, and
    the first line still counts."""

    def test_warnings(self):
        base = client(PCAP_RELAY_SWITCH_ID=None)

        def with_file(name, text, **over):
            return merge(base, dict(over, PCAP_CONFIG_FILE=self.write(name, text)))

        sid = "PCAP_RELAY_SWITCH_ID="
        C = ["--check-config"]
        cases = [
            ("no repeat, no warning", with_file("d-none", sid + "a\nPCAP_SOCKET=/s\n"), C, "",
             client_ok(switch_id="a"), 0),
            ("three lines, two warnings", with_file("d-three", sid + "a\n" + sid + "b\n" + sid + "c\n"), C,
             duplicate_log((sid[:-1], 1, 2), (sid[:-1], 1, 3)), client_ok(switch_id="a"), 0),
            ("comments, blanks and a skipped long line are counted",
             with_file("d-count", "# c\n\n" + "x" * 70000 + "\n" + sid + "a\n;\n" + sid + "b\n"), C,
             duplicate_log((sid[:-1], 4, 6)), client_ok(switch_id="a"), 0),
            ("blanks around the key are the same key",
             with_file("d-blank", "  PCAP_RELAY_SWITCH_ID = a\n" + sid + "b\n"), C,
             duplicate_log((sid[:-1], 1, 2)), client_ok(switch_id="a"), 0),
            ("commented repeat is no repeat", with_file("d-comment", sid + "a\n#" + sid + "b\n"), C, "",
             client_ok(switch_id="a"), 0),
            ("keys differ in case", with_file("d-case", sid + "a\npcap_relay_switch_id=b\n"), C, "",
             client_ok(switch_id="a"), 0),
            ("repeated empty value", with_file("d-empty", sid + "\n" + sid + "b\n"), C,
             duplicate_log((sid[:-1], 1, 2), then="PCAP_RELAY_SWITCH_ID is required\n"), "", 2),
            ("environment wins, repeat still reported",
             with_file("d-env", sid + "a\n" + sid + "b\n", PCAP_RELAY_SWITCH_ID="env"), C,
             duplicate_log((sid[:-1], 1, 2)), client_ok(switch_id="env"), 0),
            ("appended mode line after the shipped one",
             with_file("d-mode", sid + "a\nPCAP_RELAY_MODE=wss-client\nPCAP_RELAY_MODE=wss-server\n"), C,
             duplicate_log(("PCAP_RELAY_MODE", 2, 3)), client_ok(switch_id="a"), 0),
            # The key is the file's text: it cannot forge a field or a line.
            ("hostile key escaped",
             with_file("d-hostile", sid + "a\nK x\x1b[31m\\\u00e9=1\nK x\x1b[31m\\\u00e9=2\n"), C,
             duplicate_log((r"K\x20x\x1b[31m\x5c\xc3\xa9", 2, 3)), client_ok(switch_id="a"), 0),
            ("long key cut", with_file("d-long", sid + "a\n" + "K" * 500 + "=1\n" + "K" * 500 + "=2\n"), C,
             duplicate_log(("K" * 156 + "...", 2, 3)), client_ok(switch_id="a"), 0),
            # Keys are remembered up to a bound; lines beyond it are counted.
            ("keys beyond the bound counted",
             with_file("d-many", sid + "a\n" + "".join("Z%d=1\n" % i for i in range(4096)) + "Z4095=2\n"),
             C, re.compile(r"\A\d+ level=warning component=zel_packet_monitor_wss config_keys_untracked "
                           r"lines=2\n\Z"), client_ok(switch_id="a"), 0),
        ]
        self.check_table(cases)


class Unreadable(unittest.TestCase):
    """Files the process may not read. Root reads everything, so the relay is
    copied into a world-readable directory and run as nobody."""

    def test_permission_denied(self):
        self.assertEqual(os.getuid(), 0, "this test drops privileges and must start as root")
        d = tempfile.mkdtemp(prefix="zel-unreadable-")
        self.addCleanup(shutil.rmtree, d)
        os.chmod(d, 0o755)
        relay = os.path.join(d, "zel_packet_monitor_wss")
        shutil.copy(BIN, relay)
        os.chmod(relay, 0o755)
        locked = os.path.join(d, "locked")
        with open(locked, "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(locked, 0)
        readable = os.path.join(d, "readable")
        with open(readable, "w") as f:
            f.write("x\n")
        os.chmod(readable, 0o644)

        server = {"PCAP_RELAY_MODE": "wss-server", "PCAP_WSS_ENABLED": "true",
                  "PCAP_WSS_ALLOWED_IPS": "127.0.0.1"}
        cases = [
            ("token file", client(PCAP_RELAY_TOKEN_FILE=locked), CHECK,
             "open PCAP_RELAY_TOKEN_FILE: Permission denied\n", 2),
            ("required config file", client(), ["-c", locked, "--check-config"],
             "failed to open config file: %s\n" % locked, 2),
            ("server certificate", dict(server, PCAP_WSS_CERT_FILE=locked, PCAP_WSS_KEY_FILE=readable), CHECK,
             READABLE, 2),
            ("server key", dict(server, PCAP_WSS_CERT_FILE=readable, PCAP_WSS_KEY_FILE=locked), CHECK,
             READABLE, 2),
            ("readable files pass", dict(server, PCAP_WSS_CERT_FILE=readable, PCAP_WSS_KEY_FILE=readable), CHECK,
             "", 0),
        ]
        for name, env, args, want_err, want_rc in cases:
            with self.subTest(name):
                full = zelproc.clean_env(env)
                p = subprocess.run([relay] + args, env=full, capture_output=True, timeout=20,
                                   user=65534, group=65534, extra_groups=[], cwd=d)
                self.assertEqual(p.stderr.decode(), want_err)
                self.assertEqual(p.returncode, want_rc)
                self.assertNotIn(SECRET_MARK, (p.stderr + p.stdout).decode())


if __name__ == "__main__":
    unittest.main()
