"""Server mode against hostile peers while an allowed subscriber reads: a
TLS client that completes the handshake and sends garbage, 100 connections
that never say anything (half plain TCP, half after a TLS handshake, each
half from its own address), and an upgrade request with a megabyte of
headers. Each one is closed by the relay (the idle ones it holds by its
handshake time-outs, those past its per-address bound at once) and the
subscriber gets every line throughout."""

import asyncio
import os
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import faultlib as fl  # noqa: E402
import subscribers as sub  # noqa: E402
import zelpki  # noqa: E402

IDLE = 100
# What one address may hold in handshake at once; the rest are refused.
PER_ADDRESS = 16
# lws closes a connection that has not finished its TLS or HTTP handshake
# after its own time-out (20 s by default); allow for a slow sanitizer build.
REAP_SECONDS = 90


def ended(sock, timeout):
    """True when the peer closes (EOF, reset or TLS error) within timeout."""
    sock.settimeout(timeout)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except socket.timeout:
        return False
    except (ssl.SSLError, OSError):
        return True


class HostilePeers(unittest.TestCase):
    def setUp(self):
        top = tempfile.mkdtemp(prefix="zel-fault-hostile-")
        self.addCleanup(shutil.rmtree, top, True)
        self.pki = zelpki.make_pki(top)
        self.run_ = sub.ServerRun(
            top, self.pki,
            PCAP_WSS_ALLOWED_IPS="127.0.0.1,127.0.0.2,127.0.0.3")
        self.addCleanup(self.run_.close)
        self.ctx = sub.client_context(self.pki)

    def tls(self, source="127.0.0.1"):
        raw = socket.create_connection(("127.0.0.1", self.run_.port), timeout=10,
                                       source_address=(source, 0))
        return self.ctx.wrap_socket(raw, server_hostname="127.0.0.1")

    def idle(self, count, source, handshake):
        """count silent connections from source (after a TLS handshake when
        handshake is set); returns (held, refused at once)."""
        held, refused = [], 0
        for _ in range(count):
            try:
                if handshake:
                    held.append(self.tls(source))
                else:
                    held.append(socket.create_connection(
                        ("127.0.0.1", self.run_.port), timeout=10,
                        source_address=(source, 0)))
            except (ssl.SSLError, OSError):
                refused += 1
        # A plain connection refused at once is seen only by reading.
        still = []
        for s in held:
            if ended(s, 0.05):
                s.close()
                refused += 1
            else:
                still.append(s)
        return still, refused

    def test_hostile_peers_beside_a_subscriber(self):
        run = self.run_
        got = []
        lines = sub.lines(600)
        stop_feed = threading.Event()

        async def subscriber(ready):
            async with sub.connect(run) as ws:
                ready.set()
                while len(got) < len(lines):
                    try:
                        got.append(await asyncio.wait_for(ws.recv(), 120))
                    except asyncio.TimeoutError:
                        return

        def feed():
            # Spread over the whole attack so lines flow while it lasts.
            for i in range(0, len(lines), 10):
                if stop_feed.wait(0.2):
                    return
                run.source.send_lines(lines[i:i + 10])

        def attack():
            results = {}
            # Garbage after a completed TLS handshake.
            g = self.tls()
            try:
                g.sendall(os.urandom(65536))
            except (ssl.SSLError, OSError):
                pass  # the relay hung up mid-garbage, which is the point
            results["garbage"] = ended(g, 30)
            g.close()
            # A megabyte of headers in the upgrade request.
            h = self.tls()
            req = (b"GET /events HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                   b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                   b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
            try:
                h.sendall(req + b"X-Big: " + b"a" * (1 << 20) + b"\r\n\r\n")
            except (ssl.SSLError, OSError):
                pass  # cut off while still sending: that is a refusal too
            results["huge"] = ended(h, 30)
            h.close()
            # Idle connections: plain TCP, and TLS with no request after it.
            idle, refused = self.idle(IDLE // 2, "127.0.0.2", False)
            tls_idle, tls_refused = self.idle(IDLE - IDLE // 2, "127.0.0.3", True)
            idle += tls_idle
            results["idle_held"] = len(idle)
            results["idle_refused"] = refused + tls_refused
            t0 = time.monotonic()
            left = idle
            while left and time.monotonic() - t0 < REAP_SECONDS:
                left = [s for s in left if not ended(s, 0.05)]
            results["idle_left"] = len(left)
            results["reap_seconds"] = time.monotonic() - t0
            for s in idle:
                s.close()
            return results

        async def scenario():
            ready = asyncio.Event()
            task = asyncio.create_task(subscriber(ready))
            await ready.wait()
            loop = asyncio.get_running_loop()
            await loop.run_in_executor(None, run.relay.wait_for,
                                       r"wss_subscriber_connected peer=\S+$", 10, 0)
            feeder = threading.Thread(target=feed)
            feeder.start()
            results = await loop.run_in_executor(None, attack)
            await loop.run_in_executor(None, feeder.join)
            await task
            return results

        results = asyncio.run(scenario())
        stop_feed.set()
        print("hostile peers:", results, file=sys.stderr)
        self.assertTrue(results["garbage"], "garbage sender left open")
        self.assertTrue(results["huge"], "huge upgrade request left open")
        self.assertEqual(results["idle_left"], 0, "idle connections not reaped")
        self.assertEqual(results["idle_held"], 2 * PER_ADDRESS)
        self.assertEqual(results["idle_refused"], IDLE - 2 * PER_ADDRESS)
        self.assertEqual(got, lines)
        self.assertIsNone(run.relay.proc.poll(), run.relay.stderr())
        status, counters = run.stop()
        self.assertEqual(status, 0, run.relay.stderr())
        self.assertEqual(counters, (len(lines), 0, 0))
        # Only the one real subscriber was ever admitted.
        self.assertEqual(len(run.relay.matching("wss_subscriber_connected")), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
