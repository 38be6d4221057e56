"""How much of the relay's listener peers on the allow-list can hold without
finishing a handshake: 16 connections per address and 64 in all, then they
are refused at once. While one address holds its share a subscriber from
another gets in at once, and when descriptors run out the listener waits
instead of spinning on accept. Every way a connection can end gives its place
back."""

import asyncio
import http.client
import os
import resource
import select
import socket
import ssl
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from subscribers import (RawSubscriber, ServerTestCase, client_context,  # noqa: E402
                         collect, connect)
import relaytest as rt  # noqa: E402
import zelproc as zp  # noqa: E402

PER_ADDRESS = 16
OVERALL = 64
# Addresses the tests connect from; all are on the allow-list.
SOURCES = ["127.0.0.%d" % i for i in range(1, 10)]
# A spinning listener used 77 % of a core; an idle one uses next to nothing.
BUSY_LIMIT = 0.2
# Lines the relay may write in a quiet second: at most one count line per
# kind of refusal.
QUIET_LINES = 2


class Idle:
    """Plain TCP connections from one source address that never send a byte."""

    def __init__(self, port, source, count):
        self.socks = []
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.bind((source, 0))
            try:
                s.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass
            self.socks.append(s)

    def open_count(self):
        """Connections the relay has not closed: the relay sends nothing
        before TLS, so any readable one has been closed."""
        poller = select.poll()
        for s in self.socks:
            poller.register(s, select.POLLIN)
        return len(self.socks) - len(poller.poll(0))

    def close(self):
        for s in self.socks:
            s.close()
        self.socks = []


def settled(batches, timeout=20.0, quiet=0.5):
    """The number of connections still open once it has not changed for
    quiet seconds (the relay has decided on every one)."""
    deadline = time.monotonic() + timeout
    last, since = None, time.monotonic()
    while time.monotonic() < deadline:
        n = sum(b.open_count() for b in batches)
        if n != last:
            last, since = n, time.monotonic()
        elif time.monotonic() - since >= quiet:
            break
        time.sleep(0.05)
    return last


class LimitsTest(ServerTestCase):
    def setUp(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))

    def start_limited(self, nofile=1024, **env):
        return self.start(nofile=nofile, PCAP_WSS_ALLOWED_IPS=",".join(SOURCES), **env)

    def subscribe_within(self, run, seconds):
        """Seconds until a subscriber from 127.0.0.1, trying again while it
        is refused, got its first line; or why it never did."""
        async def once(left):
            async with connect(run, open_timeout=left) as ws:
                run.source.send_lines(["probe"])
                return await collect(ws, 1, timeout=left)

        started = time.monotonic()
        outcome = "never tried"
        while time.monotonic() - started < seconds:
            left = seconds - (time.monotonic() - started)
            try:
                if asyncio.run(once(left)) == ["probe"]:
                    return time.monotonic() - started
                outcome = "no line"
            except Exception as exc:  # noqa: BLE001 - reported by the caller
                outcome = repr(exc)
                time.sleep(0.05)
        return outcome

    def test_idle_peers_hold_a_bounded_share(self):
        cases = [
            # (name, descriptor limit, connections per source address, how
            #  many the relay keeps open, a subscriber gets in while held)
            ("one address, past every limit", 1024, {"127.0.0.2": 1100},
             PER_ADDRESS, True),
            ("six addresses", 1024, {a: 20 for a in SOURCES[1:7]}, OVERALL,
             False),
            # The library's table is full before the slots are: accept waits.
            ("descriptors run out first", 48, {a: 16 for a in SOURCES[1:5]},
             None, False),
        ]
        for name, nofile, plan, want_open, meanwhile in cases:
            with self.subTest(name):
                metrics = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "relay.prom")
                run = self.start_limited(nofile=nofile, PCAP_METRICS_FILE=metrics)
                pid = run.relay.proc.pid
                batches = [Idle(run.port, a, n) for a, n in plan.items()]
                try:
                    held = settled(batches)
                    if want_open is not None:
                        self.assertEqual(held, want_open)
                    before = len(run.relay.lines)
                    busy = zp.cpu_busy(pid)
                    logged = run.relay.lines[before:]
                    self.assertLess(busy, BUSY_LIMIT, "listener spins")
                    self.assertLessEqual(len(logged), QUIET_LINES, logged)
                    if meanwhile:
                        took = self.subscribe_within(run, 2)
                        self.assertIsInstance(took, float, took)
                        self.assertLess(took, 2)
                finally:
                    for b in batches:
                        b.close()
                # Once the peers leave, their places come free at once.
                took = self.subscribe_within(run, 5)
                self.assertIsInstance(took, float, took)
                self.assertLess(took, 2)
                print("%s: %s held, %.0f %% CPU" % (name, held, busy * 100),
                      file=sys.stderr)
                self.stop_cleanly(run)
                refused = run.relay.matching("wss_handshake_limit_reached")
                self.assertLessEqual(len(refused), 10)
                # Every peer not held was refused, and counted; a subscriber
                # retrying may add a few.
                counted = rt.metric_values(metrics)["zel_relay_handshake_limit_refusals_total"]
                if want_open is not None:
                    self.assertGreaterEqual(counted, sum(plan.values()) - want_open)

    def test_every_kind_of_end_gives_the_place_back(self):
        run = self.start_limited(nofile=1024)
        source = "127.0.0.2"
        ctx = client_context(self.pki)

        def tls():
            raw = socket.socket()
            raw.bind((source, 0))
            raw.settimeout(10)
            raw.connect(("127.0.0.1", run.port))
            return ctx.wrap_socket(raw, server_hostname="127.0.0.1")

        def plain_close():
            s = socket.socket()
            s.bind((source, 0))
            s.connect(("127.0.0.1", run.port))
            s.close()

        def tls_close():
            tls().close()

        def https_404():
            conn = http.client.HTTPSConnection("127.0.0.1", run.port, timeout=10,
                                               context=ctx,
                                               source_address=(source, 0))
            conn.request("GET", "/")
            self.assertEqual(conn.getresponse().status, 404)
            conn.close()

        def refused_upgrade():
            sub = RawSubscriber(run, path="/other", source_ip=source)
            self.assertFalse(sub.upgraded)
            sub.sock.close()

        def subscriber():
            sub = RawSubscriber(run, source_ip=source)
            self.assertTrue(sub.upgraded, sub.status_line)
            sub.sock.close()

        def garbage():
            s = socket.socket()
            s.bind((source, 0))
            s.settimeout(10)
            s.connect(("127.0.0.1", run.port))
            s.sendall(b"GET / HTTP/1.1\r\n\r\n")
            try:
                s.recv(100)
            except OSError:
                pass
            s.close()

        # More of each than one address may hold at once: a place kept by
        # any of them would lock the address out before the end.
        for end in (plain_close, tls_close, https_404, refused_upgrade,
                    subscriber, garbage):
            for _ in range(PER_ADDRESS + 1):
                # The relay learns of a close a moment after it happens (a
                # sanitizer build much later), so a refusal is retried for a
                # while; a place that is never given back refuses for good.
                deadline = time.monotonic() + 10
                while True:
                    try:
                        end()
                        break
                    except (ssl.SSLError, OSError) as exc:
                        if time.monotonic() >= deadline:
                            self.fail("%s refused: %r" % (end.__name__, exc))
                        time.sleep(0.2)
        time.sleep(0.5)  # the relay sees the last closes
        held = Idle(run.port, source, PER_ADDRESS + 1)
        self.assertEqual(settled([held]), PER_ADDRESS)
        # The library's handshake time-out reaps them, and that gives the
        # places back too.
        deadline = time.monotonic() + 60
        while held.open_count() > 0 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(held.open_count(), 0, "idle connections never reaped")
        held.close()
        again = Idle(run.port, source, PER_ADDRESS + 1)
        self.assertEqual(settled([again]), PER_ADDRESS)
        again.close()
        self.stop_cleanly(run)


if __name__ == "__main__":
    unittest.main()
