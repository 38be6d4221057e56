"""Live: the daemon with --ipv6 and --tcp on lo gives records for an IPv6
UDP datagram and for SIP over a real TCP connection (a message split over
two segments, then two messages in one), and nothing of either without the
options; a 1 MB burst over TCP (frames larger than 65,535 bytes, each
landing on part of a message) gives every message."""
import json
import os
import random
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from event_record import parse_record  # noqa: E402
from test_daemon import Client, Daemon, sip  # noqa: E402


def free_port():
    """A port no TCP listener holds, for the filter, the listener and UDP."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def records(client, n, timeout=10):
    out = []
    while len(out) < n:
        line = client.line(timeout)
        if line is None:
            break
        out.append(parse_record(line))
    return out


class LiveOptions(unittest.TestCase):
    def start(self, *options):
        port = free_port()
        tmp = tempfile.mkdtemp(prefix="zel-options-")
        self.addCleanup(shutil.rmtree, tmp, True)
        sock = os.path.join(tmp, "events.sock")
        # TCP and IPv6 as well as UDP: the filter names the port only.
        d = Daemon(port=port, sock=sock,
                   argv=["-i", "lo", "-f", "port %d" % port, "-s", sock] + list(options))
        self.addCleanup(d.cleanup)
        d.read_err_line()
        c = Client(d.sock)
        self.addCleanup(c.close)
        time.sleep(0.3)  # accepted between two dispatch calls
        return d, c

    def tcp_pair(self, port):
        """A TCP connection to `port` on lo: (client end, server end)."""
        srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(srv.close)
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        srv.bind(("127.0.0.1", port))
        srv.listen(1)
        cli = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(cli.close)
        conn, _ = srv.accept()
        self.addCleanup(conn.close)
        return cli, conn

    def traffic(self, port):
        """An IPv6 datagram, then a TCP call: INVITE in two segments, then
        200 OK and BYE in one segment back."""
        u = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        self.addCleanup(u.close)
        u.bind(("::1", 0))
        u.sendto(sip("live-v6"), ("::1", port))

        cli, conn = self.tcp_pair(port)
        cli.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        invite = sip("live-tcp", "INVITE sip:200@127.0.0.1 SIP/2.0", "Content-Length: 5\r\n") + b"v=0\r\n"
        cli.sendall(invite[:40])
        time.sleep(0.05)
        cli.sendall(invite[40:])
        got = b""
        while len(got) < len(invite):
            got += conn.recv(4096)
        conn.sendall(sip("live-tcp", "SIP/2.0 200 OK") + sip("live-tcp", "BYE sip:100@h SIP/2.0"))
        return u.getsockname()[1], cli.getsockname()[1]

    def test_ipv6_datagram_and_tcp_call_give_records(self):
        d, c = self.start("--ipv6", "--tcp")
        uport, cport = self.traffic(d.port)
        got = [(r["call_id"], r["label"], r["source"], r["destination"]) for r in records(c, 4)]
        server = "127.0.0.1:%d" % d.port
        client = "127.0.0.1:%d" % cport
        self.assertEqual(got, [
            ("live-v6", "OPTIONS", "[::1]:%d" % uport, "[::1]:%d" % d.port),
            ("live-tcp", "INVITE", client, server),
            ("live-tcp", "200", server, client),
            ("live-tcp", "BYE", server, client),
        ])
        rc, _ = d.stop()
        self.assertEqual(rc, 0)

    def test_tcp_burst_of_one_megabyte(self):
        d, c = self.start("--tcp", "-R", "--buffer-size=65536", "--stats-interval=3600")
        rng = random.Random(23)
        msgs = [sip("burst-%d" % k, "MESSAGE sip:200@127.0.0.1 SIP/2.0",
                    "Content-Length: %d\r\n" % n) + b"x" * n
                for k, n in enumerate(rng.randrange(1000) for _ in range(1719))]
        cli, conn = self.tcp_pair(d.port)
        # The server end reads everything until the client's FIN.
        threading.Thread(target=lambda: all(iter(lambda: conn.recv(1 << 20), b"")),
                         daemon=True).start()
        cli.sendall(b"".join(msgs))
        cli.shutdown(socket.SHUT_WR)
        ids = set()
        while len(ids) < len(msgs) and (line := c.line(10)) is not None:
            ids.add(json.loads(line)["call_id"])
        rc, err = d.stop()
        stats = [l for l in err.splitlines() if " stats " in l][-1]
        self.assertEqual(len(ids), len(msgs), stats)
        self.assertNotIn("truncated=", stats)
        self.assertIn(" lost=0", stats)
        self.assertEqual(rc, 0)

    def test_without_options_neither_is_seen(self):
        d, c = self.start()
        self.traffic(d.port)
        self.assertEqual(records(c, 1, timeout=2), [])


if __name__ == "__main__":
    unittest.main()
