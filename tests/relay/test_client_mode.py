"""The relay in client mode against real peers: a stand-in event socket on one
side and a python3-websockets TLS server on the other.

Run: ZEL_BIN=build/bin /usr/bin/python3 tests/relay/test_client_mode.py [Class]
"""

import json
import os
import re
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import relaytest as rt  # noqa: E402
import websockets.legacy.http as wlh  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

LOG_LINE = re.compile(
    r"^\d+ level=(info|warning|error) component=zel_packet_monitor_wss \S")
# libwebsockets' own error/warning lines, e.g. "[2026/12/07 09:28:04:0503] E: ..."
LIBRARY_LINE = re.compile(r"^\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{4}\] [EW]: ")

SWITCH_ID = "switch-7 \u00e9"  # a space and a non-ASCII byte pair travel as given


def listening_sockets(pid):
    """Inodes of TCP sockets of process pid that are in the LISTEN state."""
    listening = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            next(f)
            for row in f:
                fields = row.split()
                if fields[3] == "0A":
                    listening.add(fields[9])
    mine = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        m = re.match(r"socket:\[(\d+)\]", target)
        if m and m.group(1) in listening:
            mine.add(m.group(1))
    return mine


class RelayCase(zelpki.PkiTestCase):
    """Common set-up: one PKI per class, a socket path and a relay per test."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.dir = cls.tmp.name

    def setUp(self):
        self.sock = os.path.join(self.dir, "%s.sock" % self._testMethodName[5:20])

    def source(self):
        src = rt.EventSource(self.sock)
        self.addCleanup(src.close)
        return src

    def upstream(self, cert=None, key=None, port=None, client_ca=None,
                 host="127.0.0.1"):
        up = rt.Upstream(cert or self.pki["server_cert"],
                         key or self.pki["server_key"], port=port,
                         client_ca=client_ca, host=host)
        self.addCleanup(up.stop)
        return up

    def relay(self, port, path="/ingest", host="localhost", **extra):
        env = {
            "PCAP_SOCKET": self.sock,
            "PCAP_RELAY_URL": "wss://%s:%d%s" % (host, port, path),
            "PCAP_RELAY_SWITCH_ID": SWITCH_ID,
            "PCAP_RELAY_TOKEN": rt.TOKEN,
            "PCAP_RELAY_CA_FILE": self.pki["ca"],
            "PCAP_RELAY_RECONNECT_MIN_SECONDS": "1",
            "PCAP_RELAY_RECONNECT_MAX_SECONDS": "2",
        }
        env.update(extra)
        relay = rt.Relay(env)
        self.addCleanup(self._reap, relay)
        return relay

    @staticmethod
    def _reap(relay):
        if relay.proc.poll() is None:
            relay.proc.kill()
            relay.proc.wait()

    def stop(self, relay):
        """SIGTERM; asserts exit 0 and the one log format; returns the
        shutdown line's (sent, dropped, queued)."""
        status = relay.stop()
        self.assertEqual(status, 0, relay.stderr())
        for line in relay.lines:
            self.assertTrue(LOG_LINE.match(line) or LIBRARY_LINE.match(line),
                            "stray stderr line %r" % line)
        m = relay.wait_for(rt.SHUTDOWN_RE, start=0, timeout=1)
        return tuple(int(g) for g in m.groups())

    def events(self, relay, name):
        return relay.matching(r"component=zel_packet_monitor_wss %s\b" % name)


class ClientMode(RelayCase):

    def test_backlog_is_sent_oldest_first_once_connected(self):
        port = zp.free_port()  # nobody listens yet
        src = self.source()
        relay = self.relay(port, PCAP_RELAY_QUEUE_MAX_EVENTS="500",
                           PCAP_RELAY_QUEUE_MAX_BYTES="100000")
        self.assertTrue(src.wait_client())
        lines = [('{"seq":%d,"pad":"%s"}' % (i, "p" * (i % 40))).encode()
                 for i in range(2600)]
        src.send_lines(lines)
        src.send_lines([b"x" * 100001])  # more than the queue's byte limit
        relay.wait_for("event_queue_allocation_failed", start=0)
        self.assertEqual(
            [l.split(" ", 1)[1] for l in self.events(relay, "event_queue_full")],
            ["level=warning component=zel_packet_monitor_wss "
             "event_queue_full dropped=%d" % n for n in (1, 1000, 2000)])
        self.assertEqual(self.events(relay, "wss_connected"), [])

        up = self.upstream(port=port)
        relay.wait_for("wss_connected", timeout=15)
        self.assertTrue(up.wait_messages(500), len(up.messages()))
        time.sleep(0.5)  # nothing else may follow the backlog
        self.assertEqual(up.messages(), lines[2100:])
        self.assertEqual(self.stop(relay), (500, 2100, 0))

    def test_lines_at_every_frame_edge_arrive_whole_and_in_order(self):
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port)
        relay.wait_for("wss_connected", timeout=15)
        self.assertTrue(src.wait_client())
        lines = rt.frame_edge_lines()
        src.send_lines(lines)
        self.assertTrue(up.wait_messages(len(lines), timeout=30), len(up.messages()))
        self.assertEqual(up.messages(), lines)

    def test_handshake_headers_path_and_exact_messages(self):
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port, path="/ingest/v2?site=lab&x=%20y")
        relay.wait_for("wss_connected")
        self.assertTrue(up.wait_sessions(1))
        s = up.sessions[0]
        self.assertEqual(s.path, "/ingest/v2?site=lab&x=%20y")
        self.assertEqual(s.request_headers.get_all("authorization"),
                         ["Bearer " + rt.TOKEN])
        # The websockets library hands header bytes over surrogate-escaped.
        self.assertEqual([v.encode("ascii", "surrogateescape") for v in
                          s.request_headers.get_all("x-zel-switch-id")],
                         [SWITCH_ID.encode()])
        self.assertIsNone(s.subprotocol)
        self.assertNotIn("sec-websocket-protocol", s.request_headers)

        special = [
            '{"call_id":"a\\"b\\\\c","from":"\u00e9\u6f22\U0001F600"}'.encode(),
            b"\ttabs and  spaces inside \t",
            b"{" + b"7" * 100000 + b"}",
            b"x",
        ]
        burst = [('{"n":%d}' % i).encode() for i in range(5000)]
        self.assertTrue(src.wait_client())
        src.send_lines(special)
        src.send(b"".join(l + b"\r\n" for l in burst))
        want = special + burst
        self.assertTrue(up.wait_messages(len(want), timeout=60),
                        len(up.messages()))
        self.assertEqual(up.messages(), want)
        self.assertEqual(len(up.sessions), 1)
        self.assertEqual(self.stop(relay), (len(want), 0, 0))

    def test_server_messages_ignored_and_server_close_reconnects(self):
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port)
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client())
        up.wait_sessions(1)
        for i in range(3):
            up.send_all('{"ack":%d}' % i)
        up.send_all("x" * 70000)
        src.send_lines([b"still-here"])
        self.assertTrue(up.wait_messages(1))
        self.assertEqual(len(up.sessions), 1)
        self.assertTrue(up.sessions[0].open)

        up.close_all()
        relay.wait_for(r"wss_disconnected retry_seconds=1$")
        relay.wait_for("wss_connected", timeout=15)
        self.assertTrue(up.wait_sessions(2))
        second = up.sessions[1]
        self.assertEqual(second.request_headers.get_all("authorization"),
                         ["Bearer " + rt.TOKEN])
        self.assertEqual(len(second.request_headers.get_all("x-zel-switch-id")), 1)
        src.send_lines([b"after-reconnect"])
        self.assertTrue(up.wait_messages(2))
        self.assertEqual(second.zel_messages, [b"after-reconnect"])
        self.assertEqual(self.stop(relay), (2, 0, 0))

    def test_event_source_restart_is_followed(self):
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port)
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client(1))
        src.send_lines([b"one"])
        self.assertTrue(up.wait_messages(1))
        # The daemon drops its clients mid-line; the partial line is lost.
        src.send(b"partial-without-newline")
        time.sleep(0.3)
        src.close_clients()
        relay.wait_for("level=warning component=zel_packet_monitor_wss "
                       "unix_socket_disconnected$")
        self.assertTrue(src.wait_client(2))
        relay.wait_for("unix_socket_connected", start=0)
        relay.wait_for("unix_socket_connected")
        src.send_lines([b"two"])
        self.assertTrue(up.wait_messages(2))
        self.assertEqual(up.messages(), [b"one", b"two"])
        self.assertEqual(self.stop(relay), (2, 0, 0))
        # The relay's own stop is no loss of the source.
        self.assertEqual(len(self.events(relay, "unix_socket_disconnected")), 1)

    def test_backoff_sequence_then_reset_by_a_handshake(self):
        port = zp.free_port()
        relay = self.relay(port)
        for _ in range(3):
            relay.wait_for("wss_disconnected", timeout=15)
        delays = [int(l.rsplit("=", 1)[1])
                  for l in self.events(relay, "wss_disconnected")]
        self.assertEqual(delays[:3], [1, 2, 2])
        # One backoff step per attempt, however the library reports the end.
        attempts = len(self.events(relay, "wss_connecting"))
        self.assertIn(len(delays), (attempts, attempts - 1), relay.stderr())

        up = self.upstream(port=port)
        relay.wait_for("wss_connected", timeout=15)
        up.wait_sessions(1)
        up.close_all()
        relay.wait_for("wss_disconnected")
        self.assertEqual(
            self.events(relay, "wss_disconnected")[-1].rsplit("=", 1)[1], "1")
        self.stop(relay)

    def test_ip_literal_hosts_are_verified_as_addresses(self):
        src = self.source()
        cases = (("::1", "[::1]"), ("127.0.0.1", "127.0.0.1"))
        for runs, (host, url_host) in enumerate(cases, 1):
            with self.subTest(host):
                up = self.upstream(host=host)
                relay = self.relay(up.port, host=url_host, path="/ip?v=1")
                relay.wait_for("wss_connected")
                self.assertTrue(src.wait_client(runs))
                src.send_lines([host.encode()])
                self.assertTrue(up.wait_messages(1))
                self.assertEqual(up.sessions[0].path, "/ip?v=1")
                self.assertEqual(up.messages(), [host.encode()])
                self.stop(relay)

    def test_server_certificate_must_be_vouched_for(self):
        other_ca = zelpki.make_ca(self.dir, "stranger-ca")
        cases = [
            ("signed by another CA",
             zelpki.make_cert(self.dir, "stranger", other_ca)),
            ("trusted CA, other host name",
             zelpki.make_cert(self.dir, "elsewhere",
                          (self.pki["ca"], self.pki["ca_key"]),
                          san="DNS:elsewhere.example")),
        ]
        for name, (cert, key) in cases:
            with self.subTest(name):
                up = self.upstream(cert, key)
                relay = self.relay(up.port)
                relay.wait_for(r"level=error .* wss_connection_error reason=\S")
                relay.wait_for(r"wss_disconnected retry_seconds=1$")
                self.assertEqual(up.sessions, [])
                self.assertEqual(self.events(relay, "wss_connected"), [])
                self.stop(relay)

    def test_mutual_tls(self):
        up = self.upstream(client_ca=self.pki["ca"])
        with self.subTest("with client certificate"):
            relay = self.relay(up.port,
                               PCAP_RELAY_CLIENT_CERT=self.pki["client_cert"],
                               PCAP_RELAY_CLIENT_KEY=self.pki["client_key"])
            relay.wait_for("wss_connected")
            self.assertTrue(up.wait_sessions(1))
            subject = dict(x[0] for x in up.sessions[0].zel_peer_cert["subject"])
            self.assertEqual(subject["commonName"], "zel test client")
            self.stop(relay)
        with self.subTest("without client certificate"):
            relay = self.relay(up.port)
            relay.wait_for("wss_connection_error reason=")
            relay.wait_for("wss_disconnected")
            self.assertEqual(len(up.sessions), 1)
            self.assertEqual(self.events(relay, "wss_connected"), [])
            self.stop(relay)

    def test_unloadable_client_certificate_is_a_start_up_failure(self):
        # The library refuses to build its TLS client context; nothing may
        # be started and the relay must not claim an orderly shutdown.
        missing = os.path.join(self.dir, "missing")
        # libwebsockets 4.1 itself leaks 72 bytes on this failure path. The
        # suppression excuses stacks through the library, and none of the
        # relay's own allocations happen below it before this exit.
        supp = os.path.join(self.dir, "lws-leak.supp")
        with open(supp, "w") as f:
            f.write("leak:libwebsockets.so\n")
        relay = self.relay(zp.free_port(),
                           PCAP_RELAY_CLIENT_CERT=missing + ".pem",
                           PCAP_RELAY_CLIENT_KEY=missing + ".key",
                           LSAN_OPTIONS="suppressions=" + supp)
        self.assertEqual(relay.wait_exit(), 1)
        ours = [l for l in relay.lines if LOG_LINE.match(l)]
        self.assertEqual(ours, [])

    def test_sigterm_while_event_socket_absent(self):
        up = self.upstream()
        relay = self.relay(up.port)
        relay.wait_for("wss_connected")
        self.assertEqual(listening_sockets(relay.proc.pid), set())
        time.sleep(1.5)  # a few silent retries of the absent socket
        self.assertEqual(self.events(relay, "unix_socket_connected"), [])
        self.assertEqual(self.stop(relay), (0, 0, 0))
        self.assertEqual(self.events(relay, "unix_socket_disconnected"), [])

    def test_stats_line_and_metrics_file(self):
        metrics = os.path.join(self.dir, "relay-client.prom")
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port, PCAP_RELAY_STATS_SECONDS="1",
                           PCAP_METRICS_FILE=metrics)
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client())
        src.send_lines([b"a", b"b", b"c"])
        self.assertTrue(up.wait_messages(3))
        relay.wait_for(r"^\d+ level=info component=zel_packet_monitor_wss "
                       r"stats sent=3 dropped=0 queued=0 connected=true read=3 "
                       r"released_unread=0 resent=0$", timeout=5)
        self.assertTrue(zp.wait_until(
            lambda: rt.metric_values(metrics).get("zel_relay_sent_total") == 3,
            timeout=5))
        seen = rt.read_metrics(metrics)
        self.assertEqual({k: v[0] for k, v in seen.items()}, {
            "zel_relay_sent_total": "counter",
            "zel_relay_dropped_total": "counter",
            "zel_relay_queued": "gauge",
            "zel_relay_unacknowledged_total": "counter",
            "zel_relay_connection_attempts_total": "counter",
            "zel_relay_connected": "gauge",
            "zel_relay_lines_read_total": "counter",
            "zel_relay_released_unread_total": "counter",
            "zel_relay_resent_total": "counter",
        })
        self.assertEqual(seen["zel_relay_connected"][2], 1)
        self.assertEqual(seen["zel_relay_connection_attempts_total"][2], 1)
        self.assertEqual(self.stop(relay), (3, 0, 0))
        # Written once more at the stop, with the shutdown line's figures.
        final = rt.metric_values(metrics)
        self.assertEqual((final["zel_relay_sent_total"], final["zel_relay_dropped_total"],
                          final["zel_relay_queued"], final["zel_relay_connected"]),
                         (3, 0, 0, 0))
        self.assertEqual(os.listdir(os.path.dirname(metrics)).count(
            "relay-client.prom.tmp"), 0)

    def test_metrics_file_that_cannot_be_written(self):
        # Reported once, not at every interval; the relay carries on, and
        # writes the file once it can.
        folder = os.path.join(self.dir, "not-yet")
        metrics = os.path.join(folder, "relay.prom")
        up = self.upstream()
        relay = self.relay(up.port, PCAP_RELAY_STATS_SECONDS="1",
                           PCAP_METRICS_FILE=metrics)
        relay.wait_for("wss_connected")
        for _ in range(3):
            relay.wait_for(rt.STATS_RE)
        self.assertEqual(
            [l.split(" ", 1)[1] for l in self.events(relay, "metrics_file_error")],
            ["level=error component=zel_packet_monitor_wss metrics_file_error "
             "path=%s reason=open: No such file or directory" % metrics])
        os.mkdir(folder)
        self.assertTrue(zp.wait_until(lambda: os.path.exists(metrics), timeout=5))
        self.stop(relay)
        self.assertEqual(len(self.events(relay, "metrics_file_error")), 1)

    def test_longest_accepted_token_goes_out_whole(self):
        token = "".join(chr(33 + i % 94) for i in range(4095))
        # websockets refuses header lines over 4,110 bytes; a real upstream
        # that takes such tokens allows more.
        self.addCleanup(setattr, wlh, "MAX_LINE", wlh.MAX_LINE)
        wlh.MAX_LINE = 8192
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port, PCAP_RELAY_TOKEN=token)
        relay.wait_for("wss_connected")
        self.assertTrue(up.wait_sessions(1))
        self.assertEqual(up.sessions[0].request_headers.get_all("authorization"),
                         ["Bearer " + token])
        self.assertTrue(src.wait_client())
        src.send_lines([b"with-a-long-token"])
        self.assertTrue(up.wait_messages(1))
        self.assertEqual(self.stop(relay), (1, 0, 0))

    def test_sigterm_during_backoff_wait(self):
        src = self.source()
        relay = self.relay(zp.free_port(),
                           PCAP_RELAY_RECONNECT_MIN_SECONDS="5",
                           PCAP_RELAY_RECONNECT_MAX_SECONDS="8")
        self.assertTrue(src.wait_client())
        src.send_lines([b"a", b"b", b"c"])
        relay.wait_for(r"wss_disconnected retry_seconds=5$", start=0)
        time.sleep(0.5)  # let the reader queue the three lines
        self.assertEqual(self.stop(relay), (0, 0, 3))
        self.assertEqual(len(self.events(relay, "wss_connecting")), 1)


def redirect(codes, target_port):
    """TlsListener handler: answers the n-th upgrade with codes[n % len]
    and a Location on the target port."""
    def handler(conn, n):
        rt.read_request(conn)
        conn.sendall(("HTTP/1.1 %d Moved\r\nLocation: wss://localhost:%d/ingest\r\n"
                      "Content-Length: 0\r\n\r\n"
                      % (codes[n % len(codes)], target_port)).encode())
        time.sleep(5)
    return handler


def reset_at_once(conn, n):
    """TlsListener handler: resets the connection as soon as TLS is up, the
    way an upstream refusing a missing client certificate can."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def attempts(relay):
    """(event, value, epoch second) of each attempt-related log line."""
    rx = re.compile(r"^(\d+) level=\w+ component=zel_packet_monitor_wss "
                    r"(wss_connecting|wss_connection_error reason=|"
                    r"wss_disconnected retry_seconds=)(.*)$")
    out = []
    for line in relay.lines:
        m = rx.match(line)
        if m:
            out.append((m.group(2).split(" ")[0], m.group(3), int(m.group(1))))
    return out


class ClientAttemptFailures(RelayCase):
    """Attempts that fail before the handshake completes: each ends in one
    wss_connection_error line saying why and one backoff step, and is tried
    again. The cases run side by side; the slowest waits out the 20 s
    handshake deadline."""

    def listener(self, **kw):
        lst = rt.TlsListener(self.pki["server_cert"], self.pki["server_key"], **kw)
        self.addCleanup(lst.close)
        return lst

    def test_failed_attempts_say_why_and_back_off(self):
        target = self.listener()  # where the redirects point: never contacted
        codes = (301, 302, 307, 308)
        cases = [
            # (name, port or None, URL host, reasons in order, seconds from
            #  wss_connecting to the error)
            # The library drops the socket after about 5 s without a word;
            # the relay notices within a second, or its deadline ends it.
            ("upgrade never answered", self.listener().port, "localhost",
             [r"(connection ended before the WebSocket handshake completed|"
              r"no WebSocket handshake within 20 s)"], (4, 22)),
            # The library's own time-out for a silent ClientHello stays.
            ("ClientHello never answered", self.listener(tls=False).port,
             "localhost", [r"Timed out waiting SSL"], (4, 8)),
            ("redirects", self.listener(handler=redirect(codes, target.port)).port,
             "localhost",
             [r"upgrade answered with HTTP %d; redirects are not followed" % c
              for c in codes], (0, 2)),
            ("host name does not resolve", zp.free_port(), "nonexistent.invalid",
             [r"cannot resolve nonexistent\.invalid: \S.*"] * 2, None),
            # Some of these resets leave the library with a closed socket and
            # no callback; the attempt must not wait out the 20 s deadline.
            ("reset right after TLS",
             self.listener(handler=reset_at_once, threaded=False).port,
             "localhost", [r"\S.*"] * 6, (0, 3)),
        ]
        relays = [(case, self.relay(case[1], host=case[2])) for case in cases]
        for (name, _, _, reasons, elapsed), relay in relays:
            with self.subTest(name):
                for reason in reasons:
                    relay.wait_for(r"level=error component=zel_packet_monitor_wss "
                                   r"wss_connection_error reason=%s$" % reason,
                                   timeout=30)
                # Tried again after its one backoff step.
                relay.wait_for(r"wss_connecting|wss_connection_error", timeout=10)
        for (name, _, _, reasons, elapsed), relay in relays:
            with self.subTest(name):
                self.stop(relay)
                seen = attempts(relay)
                errors = [s for s in seen if s[0] == "wss_connection_error"]
                backoffs = [s for s in seen if s[0] == "wss_disconnected"]
                # Every error is followed by exactly one backoff step.
                for i, s in enumerate(seen):
                    if s[0] == "wss_connection_error":
                        self.assertEqual([x[0] for x in seen[i + 1:i + 2]],
                                         ["wss_disconnected"], seen)
                self.assertEqual(len(errors), len(backoffs), seen)
                self.assertEqual([b[1] for b in backoffs[:3]], ["1", "2", "2"][:len(backoffs)])
                # Every attempt that ended took its case's time.
                for i, s in enumerate(seen):
                    if elapsed and s[0] == "wss_connecting" and i + 1 < len(seen):
                        took = seen[i + 1][2] - s[2]
                        self.assertEqual(seen[i + 1][0], "wss_connection_error", seen)
                        self.assertTrue(elapsed[0] <= took <= elapsed[1], (took, seen))
                self.assertEqual(self.events(relay, "wss_connected"), [])
        self.assertEqual(target.accepted, 0)


class ClientStall(RelayCase):
    """An upstream that stops reading is cut within seconds, not at the 60 s
    idle hang-up, and the rest goes to a fresh connection; "sent" counts only
    what TCP acknowledged, and the lines cut off are reported, by the cut or
    by the relay's stop."""

    def test_upstream_that_stops_reading_is_replaced(self):
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port, PCAP_RELAY_QUEUE_MAX_EVENTS="100000")
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client())
        fed = [0]
        done = threading.Event()

        def feed():  # about 2,000 lines a second of 500 bytes
            while not done.is_set():
                src.send_lines([('{"seq":%d,"pad":"%s"}' % (fed[0] + i, "x" * 480)).encode()
                                for i in range(20)])
                fed[0] += 20
                time.sleep(0.01)
        feeder = threading.Thread(target=feed)
        feeder.start()
        self.addCleanup(feeder.join)
        self.addCleanup(done.set)
        self.assertTrue(up.wait_messages(500))
        up.stall_all()
        stalled = time.monotonic()
        m = relay.wait_for(
            r"level=error component=zel_packet_monitor_wss wss_connection_error "
            r"reason=upstream stalled: nothing acknowledged for 10 s; "
            r"(\d+) lines written but not acknowledged$", timeout=45)
        took = time.monotonic() - stalled
        cut_off = int(m.group(1))
        relay.wait_for(r"wss_disconnected retry_seconds=1$")
        relay.wait_for("wss_connected")
        self.assertLess(took, 30)  # the idle hang-up would take 55 s or more
        self.assertTrue(up.wait_sessions(2))
        done.set()
        feeder.join()
        src.send_lines([b"after"])
        self.assertTrue(zp.wait_until(
            lambda: up.sessions[1].zel_messages[-1:] == [b"after"], timeout=30))
        sent, dropped, queued = self.stop(relay)
        # Every line read is sent, reported cut off (at the stall, or by the
        # stop), dropped or queued, once.
        self.assertEqual(fed[0] + 1, sent + rt.unacknowledged(relay) + dropped + queued,
                         relay.stderr())
        # "sent" may count lines that the stalled upstream's kernel took and
        # its program never read, never lines that did not get that far.
        received = len(up.messages())
        self.assertGreaterEqual(sent, received)
        self.assertGreater(cut_off, 0)

    def test_stop_while_lines_are_unacknowledged(self):
        metrics = os.path.join(self.dir, "stall-stop.prom")
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port, PCAP_RELAY_QUEUE_MAX_EVENTS="100000",
                           PCAP_METRICS_FILE=metrics)
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client())
        lines = [('{"seq":%d,"pad":"%s"}' % (i, "x" * 480)).encode() for i in range(6000)]
        src.send_lines(lines[:500])
        self.assertTrue(up.wait_messages(500))
        up.stall_all()
        # Far more than the stalled upstream's buffers and the relay's unsent
        # bound take, so lines are in flight when the relay stops, well
        # before the 10 s stall limit would cut them.
        src.send_lines(lines[500:])
        self.assertTrue(src.wait_read())
        time.sleep(2)
        began = time.monotonic()
        sent, dropped, queued = self.stop(relay)
        self.assertLess(time.monotonic() - began, 5)  # a moment, not a hang
        m = relay.wait_for(r"level=error component=zel_packet_monitor_wss wss_connection_error "
                           r"reason=relay stopping; (\d+) lines written but not acknowledged$",
                           start=0, timeout=1)
        self.assertGreater(int(m.group(1)), 0)
        self.assertEqual(self.events(relay, "wss_disconnected"), [])
        lost = rt.unacknowledged(relay)
        self.assertEqual(len(lines), sent + lost + dropped + queued, relay.stderr())
        self.assertEqual(rt.metric_values(metrics)["zel_relay_unacknowledged_total"], lost)


NOBODY = 65534


class ClientSequence(RelayCase):
    """PCAP_RELAY_SEQUENCE: each line in its envelope to an upstream that
    chose the sequenced protocol, and what a dropped connection had not had
    acknowledged sent again on the next one."""

    def test_resends_what_the_dropped_connection_had_not_acknowledged(self):
        metrics = os.path.join(self.dir, "relay-seq.prom")
        src = self.source()
        # A fixed 64 KB receive buffer: once the upstream stops reading, TCP
        # soon leaves the relay's writes unacknowledged.
        up = rt.Upstream(self.pki["server_cert"], self.pki["server_key"],
                         subprotocols=["zel-pcap-relay.seq"], rcvbuf=65536)
        self.addCleanup(up.stop)
        relay = self.relay(up.port, PCAP_RELAY_SEQUENCE="true", PCAP_METRICS_FILE=metrics)
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client())
        self.assertTrue(up.wait_sessions(1))
        self.assertEqual(up.sessions[0].subprotocol, "zel-pcap-relay.seq")
        total = 3000
        lines = ['{"n":%d}' % n for n in range(1, 50)] + ["not an object"]
        lines += ['{"n":%d,"pad":"%s"}' % (n, "x" * 1000) for n in range(51, total + 1)]
        src.send_lines(lines[:50])
        self.assertTrue(up.wait_messages(50))
        up.stall_all()
        src.send_lines(lines[50:])
        time.sleep(2)  # the window closes with lines still unacknowledged
        up.abort_all()
        m = relay.wait_for(r"wss_connection_error reason=.*; (\d+) lines written but not "
                           r"acknowledged$", timeout=10)
        unacked = int(m.group(1))
        relay.wait_for("wss_connected", timeout=15)
        self.assertTrue(up.wait_sessions(2))
        second = up.sessions[1]
        self.assertTrue(zp.wait_until(
            lambda: second.zel_messages and
            json.loads(second.zel_messages[-1])["seq"] == total, timeout=30))
        sessions = [[json.loads(m) for m in s.zel_messages] for s in up.sessions[:2]]
        boot = sessions[0][0]["boot"]
        self.assertRegex(boot, r"^[0-9a-f]{32}$")
        for got in sessions:
            seqs = [e["seq"] for e in got]
            self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))), "a gap")
            for e in got:
                self.assertEqual(e["boot"], boot)
                want = lines[e["seq"] - 1]
                self.assertEqual(e["event"], json.loads(want) if want.startswith("{") else want)
        self.assertEqual(sessions[0][0]["seq"], 1)
        resumed_at = sessions[1][0]["seq"]
        sent, dropped, queued = self.stop(relay)
        print("resend: %d lines unacknowledged at the drop; first connection read %d, "
              "second began at %d" % (unacked, len(sessions[0]), resumed_at), file=sys.stderr)
        self.assertGreater(unacked, 0)
        # The second connection began exactly at the first line the first one
        # had not had acknowledged: every line counted sent before it was.
        self.assertEqual(sent, resumed_at - 1 + len(sessions[1]))
        self.assertEqual((dropped, queued), (0, 0))
        self.assertEqual(rt.metric_values(metrics)["zel_relay_resent_total"], unacked)
        self.assertEqual(rt.metric_values(metrics)["zel_relay_unacknowledged_total"], 0)

    def test_an_upstream_that_declines_the_protocol_gets_plain_lines(self):
        src = self.source()
        up = self.upstream()
        relay = self.relay(up.port, PCAP_RELAY_SEQUENCE="true")
        relay.wait_for("wss_connected")
        self.assertTrue(src.wait_client())
        self.assertTrue(up.wait_sessions(1))
        self.assertEqual(up.sessions[0].request_headers.get("Sec-WebSocket-Protocol"),
                         "zel-pcap-relay.seq")
        src.send_lines([b'{"a":1}', b"b"])
        self.assertTrue(up.wait_messages(2))
        self.assertEqual(up.messages(), [b'{"a":1}', b"b"])
        self.assertEqual(self.stop(relay), (2, 0, 0))


class NonDumpable(unittest.TestCase):
    """The relay holds the token, so it makes itself non-dumpable in both
    modes: no core file, no ptrace by its own user, and the files in its
    /proc directory belong to root instead of the user it runs as (needs
    root)."""

    def setUp(self):
        if os.geteuid() != 0:
            self.fail("needs root to run the relay as another user")
        self.dir = tempfile.mkdtemp(prefix="zel-dump-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        os.chmod(self.dir, 0o755)
        self.pki = zelpki.make_pki(self.dir)
        for f in os.listdir(self.dir):  # readable by nobody
            os.chmod(os.path.join(self.dir, f), 0o644)

    def test_both_modes_are_non_dumpable(self):
        sock = os.path.join(self.dir, "events.sock")
        cases = [
            ("wss-client", {"PCAP_RELAY_URL": "wss://localhost:%d/in" % zp.free_port(),
                            "PCAP_RELAY_SWITCH_ID": "dump-test",
                            "PCAP_RELAY_TOKEN": rt.TOKEN},
             "wss_disconnected"),
            ("wss-server", {"PCAP_WSS_ENABLED": "true",
                            "PCAP_WSS_PORT": str(zp.free_port()),
                            "PCAP_WSS_ALLOWED_IPS": "127.0.0.1",
                            "PCAP_WSS_CERT_FILE": self.pki["server_cert"],
                            "PCAP_WSS_KEY_FILE": self.pki["server_key"]},
             "wss_listener_started"),
        ]
        for mode, env, started in cases:
            with self.subTest(mode):
                env = dict(env, PCAP_RELAY_MODE=mode, PCAP_SOCKET=sock)
                relay = rt.Relay(env, user=NOBODY, group=NOBODY, extra_groups=[])
                self.addCleanup(RelayCase._reap, relay)
                relay.wait_for(started, start=0)
                proc = "/proc/%d" % relay.proc.pid
                with open(proc + "/status") as f:
                    uids = [l.split()[1:] for l in f if l.startswith("Uid:")][0]
                self.assertEqual(set(uids), {str(NOBODY)})
                self.assertEqual([os.stat(proc + f).st_uid
                                  for f in ("/environ", "/mem", "/fd")], [0, 0, 0])
                self.assertEqual(relay.stop(), 0, relay.stderr())


class _SilentProtocol(rt._CountingProtocol):
    """Server connection that counts pings and never answers them."""

    async def pong(self, data=b""):
        self.zel_pings += 1


class ClientIdle(RelayCase):
    """Pings every 20 s; an upstream that answers them stays connected, one
    that stops answering is hung up (after 60 s) and reconnected."""

    def test_pings_keep_an_answering_upstream_and_drop_a_silent_one(self):
        answering = self.upstream()
        silent = self.upstream()
        silent._protocol = _SilentProtocol
        relay_a = self.relay(answering.port)
        relay_s = self.relay(silent.port)
        relay_a.wait_for("wss_connected")
        relay_s.wait_for("wss_connected")
        self.assertTrue(zp.wait_until(
            lambda: answering.sessions and answering.sessions[0].zel_pings >= 1,
            timeout=30))

        relay_s.wait_for(r"wss_disconnected retry_seconds=1$", timeout=100)
        relay_s.wait_for("wss_connected")
        self.assertTrue(silent.wait_sessions(2))
        self.assertGreaterEqual(silent.sessions[0].zel_pings, 2)

        self.assertEqual(self.events(relay_a, "wss_disconnected"), [])
        self.assertEqual(len(answering.sessions), 1)
        self.assertTrue(answering.sessions[0].open)
        self.assertGreaterEqual(answering.sessions[0].zel_pings, 2)
        self.stop(relay_a)
        self.stop(relay_s)


if __name__ == "__main__":
    unittest.main()
