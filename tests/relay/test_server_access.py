"""Who gets a subscription from the relay's server mode, tried with real peers:
the IP allow-list before TLS, the handshake filters (exact "/events", no query,
no Origin, TLS only, only our protocol), 404 for plain HTTPS and the TLS
version floor."""

import asyncio
import http.client
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

import websockets  # noqa: E402

from subscribers import (RawSubscriber, ServerTestCase, client_context,  # noqa: E402
                         collect, connect)
import relaytest as rt  # noqa: E402
import zelproc as zp  # noqa: E402


def peer_closes_before_tls(port, source_ip, target):
    """Connects from source_ip without sending a byte. Returns True when the
    relay ends the connection on its own (refused before any TLS), False when
    it sits waiting for a ClientHello as it does for an admitted peer."""
    family = socket.AF_INET6 if ":" in source_ip else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((source_ip, 0))
        s.settimeout(10)
        s.connect((target, port))
        s.settimeout(1.5)
        try:
            return s.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False


class AccessTest(ServerTestCase):
    def assert_receives(self, run, host=None):
        async def go():
            async with connect(run, host=host) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                run.source.send_lines(["probe-line"])
                return await collect(ws, 1)
        self.assertEqual(asyncio.run(go()), ["probe-line"])

    def test_allow_list_checks_the_peer_before_tls(self):
        run = self.start(PCAP_WSS_ALLOWED_IPS="127.0.0.1")
        self.assertTrue(peer_closes_before_tls(run.port, "127.0.0.2",
                                               "127.0.0.1"))
        run.relay.wait_for("level=warning .* wss_peer_ip_rejected$")
        # The same silence from a listed peer is met with patience.
        self.assertFalse(peer_closes_before_tls(run.port, "127.0.0.1",
                                                "127.0.0.1"))
        # A refused peer never reaches the WebSocket layer either.
        with self.assertRaises(OSError):
            RawSubscriber(run, source_ip="127.0.0.2")
        self.assert_receives(run)
        self.assertEqual(len(run.relay.matching("wss_subscriber_connected")), 1)
        self.stop_cleanly(run)

    def test_dual_stack_listener_matches_ipv4_entries_in_mapped_form(self):
        run = self.start(PCAP_WSS_HOST="::", PCAP_WSS_ALLOWED_IPS="127.0.0.1")
        self.assert_receives(run, host="127.0.0.1")
        # ::1 is not on the list, and 127.0.0.2 is not 127.0.0.1.
        self.assertTrue(peer_closes_before_tls(run.port, "::1", "::1"))
        run.relay.wait_for("wss_peer_ip_rejected$")
        self.assertTrue(peer_closes_before_tls(run.port, "127.0.0.2",
                                               "127.0.0.1"))
        # Within a second of the first, a refusal is logged by the tick's
        # count line.
        run.relay.wait_for("wss_peer_ip_rejected( count=1)?$")
        self.stop_cleanly(run)

    def test_refusals_are_logged_at_most_once_a_second(self):
        run = self.start(PCAP_WSS_ALLOWED_IPS="127.0.0.2")
        pattern = r"level=warning .* wss_peer_ip_rejected( count=(\d+))?$"

        def refuse(seconds=0.0):
            count, end = 0, time.monotonic() + seconds
            while count == 0 or time.monotonic() < end:
                with socket.create_connection(("127.0.0.1", run.port), 10):
                    count += 1
            return count

        # A lone refusal is its one plain line, and the tick adds nothing.
        refuse()
        time.sleep(2.5)
        self.assertEqual([l.split(" ", 1)[1] for l in run.relay.matching(pattern)],
                         ["level=warning component=zel_packet_monitor_wss "
                          "wss_peer_ip_rejected"])
        started = time.monotonic()
        flood = refuse(3.0)
        elapsed = time.monotonic() - started
        time.sleep(2.5)  # the tick shows what the end of the flood held back
        found = [re.search(pattern, l) for l in run.relay.matching(pattern)]
        self.assertIsNone(found[1].group(1), "a new flood starts plain")
        self.assertTrue(all(m.group(1) for m in found[2:]))
        self.assertEqual(sum(int(m.group(2) or 1) for m in found), flood + 1)
        self.assertLessEqual(len(found) - 1, elapsed + 3, "more than one a second")
        print("%d refusals in %.1fs: %d lines" % (flood, elapsed, len(found) - 1),
              file=sys.stderr)
        self.stop_cleanly(run)

    def test_stats_line_and_metrics_file(self):
        metrics = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "relay-server.prom")
        run = self.start(PCAP_RELAY_STATS_SECONDS=1, PCAP_METRICS_FILE=metrics)
        self.assertTrue(peer_closes_before_tls(run.port, "127.0.0.2", "127.0.0.1"))

        async def go():
            async with connect(run) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                run.source.send_lines(["one", "two"])
                self.assertEqual(await collect(ws, 2), ["one", "two"])
                run.relay.wait_for(r"^\d+ level=info component=zel_packet_monitor_wss "
                                   r"stats sent=2 dropped=0 queued=0 subscribers=1 read=2 "
                                   r"released_unread=0 slow_consumers=0 delivered_plain=2 "
                                   r"delivered_sequenced=0$", timeout=5)
                self.assertTrue(zp.wait_until(
                    lambda: rt.metric_values(metrics).get("zel_relay_sent_total") == 2,
                    timeout=5))
                return rt.read_metrics(metrics)

        seen = asyncio.run(go())
        self.assertEqual({k: (v[0], v[2]) for k, v in seen.items()}, {
            "zel_relay_sent_total": ("counter", 2),
            "zel_relay_dropped_total": ("counter", 0),
            "zel_relay_queued": ("gauge", 0),
            "zel_relay_slow_consumer_disconnects_total": ("counter", 0),
            "zel_relay_peer_ip_rejected_total": ("counter", 1),
            "zel_relay_handshake_limit_refusals_total": ("counter", 0),
            "zel_relay_subscribers": ("gauge", 1),
            "zel_relay_lines_read_total": ("counter", 2),
            "zel_relay_released_unread_total": ("counter", 0),
            "zel_relay_delivered_plain_total": ("counter", 2),
            "zel_relay_delivered_sequenced_total": ("counter", 0),
        })
        self.assertEqual(self.stop_cleanly(run), (2, 0, 0))
        final = rt.metric_values(metrics)
        self.assertEqual((final["zel_relay_sent_total"], final["zel_relay_subscribers"]), (2, 0))

    def test_ipv6_entry_admits_ipv6_peer(self):
        run = self.start(PCAP_WSS_HOST="::1", PCAP_WSS_ALLOWED_IPS="::1")
        self.assert_receives(run, host="::1")
        self.stop_cleanly(run)

    def test_handshake_filters(self):
        run = self.start()
        refused = [
            # (path, extra connect() arguments)
            ("/events/", {}),
            ("/EVENTS", {}),
            ("/Events", {}),
            ("/events?since=0", {}),
            ("/event", {}),
            ("/", {}),
            ("/" + "e" * 63, {}),
            ("/events" + "/x" * 40, {}),
            ("/events", {"origin": "https://example.com"}),
            ("/events", {"origin": "null"}),
            # Naming a subprotocol must not route around the filters.
            ("/EVENTS", {"subprotocols": ["http"]}),
            ("/EVENTS", {"subprotocols": ["x"]}),
            ("/EVENTS", {"subprotocols": ["zel-pcap-relay"]}),
            ("/events", {"subprotocols": ["http"],
                         "origin": "https://example.com"}),
        ]

        async def attempt(path, kwargs):
            try:
                async with connect(run, path=path, **kwargs):
                    return "upgraded"
            except websockets.InvalidHandshake as exc:
                return "refused: %s" % type(exc).__name__
            except (ConnectionError, OSError) as exc:
                return "refused: %s" % type(exc).__name__

        for path, kwargs in refused:
            with self.subTest(path=path[:40], kwargs=kwargs):
                got = asyncio.run(attempt(path, kwargs))
                self.assertTrue(got.startswith("refused"), got)
        # Request targets a URI library would tidy up before sending, and an
        # Origin header with an empty value, which is still an Origin header.
        for path, headers in (("/events?", ()), ("/events#top", ()),
                              ("/events%00x", ()),
                              ("/events", ("Origin:",)),
                              ("/events", ("origin:   ",)),
                              ("/events", ("Origin: x",))):
            with self.subTest(path=path, headers=headers):
                sub = RawSubscriber(run, path=path, headers=headers)
                self.assertFalse(sub.upgraded, sub.status_line)
                sub.sock.close()
        self.assertEqual(run.relay.matching("wss_subscriber_connected"), [])
        # The exact path still works on the same listener.
        self.assert_receives(run)
        self.stop_cleanly(run)

    def test_plain_https_gets_404(self):
        run = self.start()
        for path in ("/events", "/", "/index.html"):
            with self.subTest(path=path):
                conn = http.client.HTTPSConnection(
                    "127.0.0.1", run.port, timeout=10,
                    context=client_context(self.pki))
                conn.request("GET", path)
                self.assertEqual(conn.getresponse().status, 404)
                conn.close()
        # A client that would rather speak h2 is answered the same way.
        out = subprocess.run(
            ["curl", "-s", "--http2", "--cacert", self.pki["ca"], "-o",
             os.devnull, "-w", "%{http_code}",
             "https://127.0.0.1:%d/events" % run.port],
            capture_output=True, text=True, timeout=30)
        self.assertEqual(out.stdout, "404", out.stderr)
        self.stop_cleanly(run)

    def test_listener_does_not_offer_http2(self):
        """WebSockets over HTTP/2 would reach the relay by another road than
        the upgrade the filters above are proven on, so h2 is not offered."""
        run = self.start()
        ctx = client_context(self.pki)
        ctx.set_alpn_protocols(["h2", "http/1.1"])
        with socket.create_connection(("127.0.0.1", run.port), 10) as raw:
            with ctx.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                self.assertNotEqual(tls.selected_alpn_protocol(), "h2")
        self.stop_cleanly(run)

    def test_plain_tcp_gets_no_websocket(self):
        run = self.start()
        request = (b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"Upgrade: websocket\r\nConnection: Upgrade\r\n"
                   b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   b"Sec-WebSocket-Version: 13\r\n\r\n")
        with socket.create_connection(("127.0.0.1", run.port), 10) as s:
            s.sendall(request)
            answer = b""
            try:
                while len(answer) < 4096:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    answer += chunk
            except (socket.timeout, ConnectionResetError):
                pass
        self.assertNotIn(b" 101 ", answer)
        self.assertEqual(run.relay.matching("wss_subscriber_connected"), [])
        self.stop_cleanly(run)

    def test_tls_versions(self):
        run = self.start()

        def s_client(flag):
            return subprocess.run(
                ["openssl", "s_client", "-connect", "127.0.0.1:%d" % run.port,
                 flag, "-cipher", "DEFAULT@SECLEVEL=0"],
                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                timeout=30)

        for flag in ("-tls1", "-tls1_1"):
            with self.subTest(flag=flag):
                out = s_client(flag)
                self.assertNotEqual(out.returncode, 0)
                # 70 is protocol_version: the floor is set, not just OpenSSL's
                # own default (which refuses with 80).
                self.assertIn("alert number 70", out.stdout + out.stderr)
        for flag, name in (("-tls1_2", "TLSv1.2"), ("-tls1_3", "TLSv1.3")):
            with self.subTest(flag=flag):
                out = s_client(flag)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn("New, %s, Cipher is" % name, out.stdout)
        # And a real subscriber over each allowed version.
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version):
                ctx = client_context(self.pki, minimum=version,
                                     maximum=version)
                sub = RawSubscriber(run, ctx=ctx)
                self.assertTrue(sub.upgraded, sub.status_line)
                self.assertEqual(sub.sock.version(), version.name.replace(
                    "TLSv1_", "TLSv1."))
                sub.sock.close()
        self.stop_cleanly(run)


if __name__ == "__main__":
    unittest.main()
