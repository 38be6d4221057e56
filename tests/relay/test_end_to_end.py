"""End to end: the real capture daemon on lo, real UDP SIP datagrams, the relay
in client mode and a TLS WebSocket server that must receive exactly the
records the daemon publishes (compared with a direct client of the daemon's
event socket).

Run as root: ZEL_BIN=build/bin /usr/bin/python3 tests/relay/test_end_to_end.py
"""

import json
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import relaytest as rt  # noqa: E402
from test_client_mode import RelayCase  # noqa: E402
import zelproc as zp  # noqa: E402

DAEMON = os.path.join(rt.BIN, "zel_packet_monitor")


def sip(method_line, call_id, cseq):
    return ("%s\r\n"
            "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK-%s\r\n"
            "From: \"Alice\" <sip:alice@example.com>;tag=a1\r\n"
            "To: <sip:bob@example.com>\r\n"
            "Call-ID: %s\r\n"
            "CSeq: %s\r\n"
            "Content-Length: 0\r\n\r\n"
            % (method_line, call_id, call_id, cseq)).encode()


class DirectClient:
    """Reads the daemon's event socket itself, for comparison."""

    def __init__(self, path):
        self.lines = []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            *done, buf = buf.split(b"\n")
            self.lines.extend(done)

    def close(self):
        self.sock.close()


class EndToEnd(RelayCase):

    def test_daemon_records_reach_the_upstream_unchanged(self):
        port = zp.free_port()
        sip_port = zp.free_port()
        daemon = zp.Program(
            [DAEMON, "-i", "lo", "-f", "udp dst port %d" % sip_port,
             "-s", self.sock, "-S", "e2e-switch"])
        self.addCleanup(lambda: daemon.proc.poll() is None and daemon.kill())
        daemon.wait_for("", timeout=30)
        self.assertIn("zel_packet_monitor: interface=lo", daemon.lines[0])
        self.assertTrue(zp.wait_until(lambda: os.path.exists(self.sock)))

        direct = DirectClient(self.sock)
        self.addCleanup(direct.close)
        up = self.upstream(port=port)
        relay = self.relay(port)
        relay.wait_for("unix_socket_connected")
        relay.wait_for("wss_connected")

        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(out.close)
        target = ("127.0.0.1", sip_port)

        # The daemon accepts clients between capture batches; prime until both
        # of its clients are served.
        n = 0
        while not (direct.lines and up.messages()):
            self.assertLess(n, 100, "daemon never served both clients")
            out.sendto(sip("OPTIONS sip:bob@example.com SIP/2.0",
                           "prime-%d" % n, "1 OPTIONS"), target)
            n += 1
            time.sleep(0.2)

        sent = []
        for i in range(20):
            call = "e2e-call-%d" % i
            if i % 2:
                out.sendto(sip("SIP/2.0 200 OK", call, "1 INVITE"), target)
            else:
                out.sendto(sip("INVITE sip:bob@example.com SIP/2.0", call,
                               "1 INVITE"), target)
            sent.append(call)
        out.sendto(b"not SIP at all, no call id", target)

        def e2e(lines):
            return [l for l in lines if b"e2e-call-" in l]
        self.assertTrue(zp.wait_until(lambda: len(e2e(up.messages())) >= 20,
                                      timeout=20), up.messages())
        self.assertTrue(zp.wait_until(lambda: len(e2e(direct.lines)) >= 20))
        time.sleep(0.3)
        self.assertEqual(e2e(up.messages()), e2e(direct.lines))
        records = [json.loads(m) for m in e2e(up.messages())]
        self.assertEqual([r["call_id"] for r in records], sent)
        for r in records:
            self.assertEqual(r["type"], "sip.message")
            self.assertEqual(r["switch_id"], "e2e-switch")

        sent_count = self.stop(relay)[0]
        self.assertEqual(sent_count, len(up.messages()))
        self.assertEqual(daemon.stop(15), 0)


if __name__ == "__main__":
    unittest.main()
