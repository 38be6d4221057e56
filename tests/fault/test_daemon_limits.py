"""The capture daemon under pressure: a tiny descriptor limit, where accept
fails ("accept: ..." on standard error, at most about ten times a second)
while the loop and the clients it already has go on; and a flood of datagrams from tcpreplay on lo, during
which a reader that never reads is dropped rather than waited for, and after
which SIGTERM still stops the daemon cleanly."""

import os
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import faultlib as fl  # noqa: E402
import zelproc as zp  # noqa: E402

FLOOD_SECONDS = 30


def write_pcap(path, port, count):
    """An Ethernet pcap of `count` distinct SIP datagrams to 127.0.0.1:port
    (lo reports Ethernet framing with zero addresses)."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i in range(count):
            payload = fl.sip("flood-%d" % i)
            udp = struct.pack("!HHHH", 40000, port, 8 + len(payload), 0) + payload
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i & 0xFFFF,
                             0x4000, 64, 17, 0, bytes([127, 0, 0, 1]),
                             bytes([127, 0, 0, 1]))
            frame = b"\x00" * 12 + b"\x08\x00" + ip + udp
            f.write(struct.pack("<IIII", i // 1000, (i % 1000) * 1000,
                                len(frame), len(frame)))
            f.write(frame)


class DaemonLimits(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zel-fault-daemon-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.sock = os.path.join(self.dir, "events.sock")
        self.port = fl.udp_port()

    def daemon(self, **kw):
        d = fl.Daemon(self.sock, self.port, **kw)
        self.addCleanup(lambda: d.proc.poll() is None and d.kill())
        d.wait_banner()
        return d

    def out_of_descriptors(self):
        """A daemon that has run out of descriptors with clients still
        waiting in its backlog; returns it, every reader and a sender."""
        # Room for the standard streams, the capture, the listening socket
        # and a handful of clients; what a sanitizer runtime may hold open
        # only makes the room smaller.
        limit = 12
        d = self.daemon(preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (limit, limit)))
        readers = [fl.EventReader(self.sock) for _ in range(limit + 4)]
        self.addCleanup(lambda: [r.close() for r in readers])
        sender = fl.SipSender(self.port)
        self.addCleanup(sender.close)
        self.assertTrue(zp.wait_until(lambda: "accept: " in d.stderr(), 15),
                        d.stderr())
        self.assertIn("accept: Too many open files\n", d.stderr())
        return d, readers, sender

    def test_descriptor_limit(self):
        d, readers, sender = self.out_of_descriptors()

        sender.send("first")
        served = lambda: [r for r in readers if "first" in fl.call_ids(r.lines)]  # noqa
        self.assertTrue(zp.wait_until(lambda: len(served()) > 0, 15), d.stderr())
        time.sleep(0.5)
        first = served()
        # Accepted clients are served; the ones still in the backlog are
        # not, and nobody was cut off.
        self.assertLess(len(first), len(readers))
        self.assertFalse(any(r.eof for r in readers))

        # The loop goes on: later records reach the same clients, and accept
        # keeps being retried (and keeps failing) on later passes.
        before = d.stderr().count("accept: ")
        for i in range(5):
            sender.send("more-%d" % i)
        want = ["first"] + ["more-%d" % i for i in range(5)]
        self.assertTrue(zp.wait_until(
            lambda: all(fl.call_ids(r.lines) == want for r in first), 15),
            [fl.call_ids(r.lines) for r in first])
        self.assertTrue(zp.wait_until(
            lambda: d.stderr().count("accept: ") > before, 15))
        self.assertEqual(d.proc.poll(), None)
        self.assertEqual(d.stop(), 0, d.stderr())
        self.assertFalse(os.path.exists(self.sock))

    def test_accept_backoff(self):
        # The waiting connection keeps the listening socket readable, so
        # retrying at once on every pass spun at full CPU and flooded
        # standard error; a pause after each failure bounds both, while
        # capture and publication go on at their own pace.
        d, readers, sender = self.out_of_descriptors()
        lines0, cpu0, t0 = (d.stderr().count("accept: "),
                            zp.cpu_seconds(d.proc.pid), time.monotonic())
        want = ["during-%d" % i for i in range(40)]
        for cid in want:
            sender.send(cid)
            time.sleep(0.05)
        lines = d.stderr().count("accept: ") - lines0
        cpu = zp.cpu_seconds(d.proc.pid) - cpu0
        elapsed = time.monotonic() - t0
        print("back-off: %d accept lines, %.2f s CPU in %.1f s" % (
            lines, cpu, elapsed), file=sys.stderr)
        self.assertLessEqual(lines, 12 * elapsed + 2)
        self.assertLess(cpu, 0.25 * elapsed)

        served = [r for r in readers if fl.call_ids(r.lines)]
        self.assertTrue(served)
        self.assertTrue(zp.wait_until(
            lambda: all(fl.call_ids(r.lines) == want for r in served), 15),
            [fl.call_ids(r.lines) for r in served])
        self.assertEqual(d.stop(), 0, d.stderr())

    def test_flood(self):
        pcap = os.path.join(self.dir, "flood.pcap")
        write_pcap(pcap, self.port, 2000)
        d = self.daemon()
        # A reader that keeps up as well as Python can, and one that never
        # reads at all.
        reader = fl.EventReader(self.sock, keep=1000)
        stalled = fl.EventReader(self.sock, read=False)
        stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.addCleanup(reader.close)
        self.addCleanup(stalled.close)
        replay = subprocess.run(
            ["tcpreplay", "-i", "lo", "--topspeed", "--loop=0",
             "--duration=%d" % FLOOD_SECONDS, pcap],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=FLOOD_SECONDS + 30)
        self.assertEqual(replay.returncode, 0, replay.stdout.decode())
        print("tcpreplay:", " ".join(replay.stdout.decode().split()),
              file=sys.stderr)
        self.assertEqual(d.proc.poll(), None, d.stderr())

        # What the reader got is whole records of ours, in publication
        # order, whether or not it was dropped for falling behind.
        self.assertTrue(zp.wait_until(lambda: reader.count > 0, 10))
        for cid in fl.call_ids(reader.lines):
            self.assertTrue(cid is not None and cid.startswith("flood-"), cid)
        print("flood: reader got %d records, %s" % (
            reader.count, "dropped" if reader.eof else "still connected"),
            file=sys.stderr)

        # The client that never read was dropped, not waited for.
        stalled.sock.settimeout(10)
        try:
            while stalled.sock.recv(1 << 16):
                pass
        except socket.timeout:
            self.fail("the stalled client was never dropped")

        # The daemon is not stuck: a new client gets a datagram sent now.
        # Captured frames still buffered in the kernel are published first,
        # and a Python client may fall behind those and be dropped in turn,
        # so a dropped client is replaced by a new one.
        sender = fl.SipSender(self.port)
        self.addCleanup(sender.close)
        fresh = [fl.EventReader(self.sock)]
        self.addCleanup(lambda: [f.close() for f in fresh])

        def published():
            if fresh[-1].eof:
                fresh.append(fl.EventReader(self.sock))
            sender.send("after-flood")
            return "after-flood" in fl.call_ids(fresh[-1].lines)
        t1 = time.monotonic()
        self.assertTrue(zp.wait_until(published, 60, step=0.5),
                        "daemon did not publish after the flood")
        print("flood: published again %.1f s after the flood, %d fresh "
              "client(s)" % (time.monotonic() - t1, len(fresh)), file=sys.stderr)
        t0 = time.monotonic()
        self.assertEqual(d.stop(timeout=15), 0, d.stderr())
        self.assertLess(time.monotonic() - t0, 15)
        self.assertFalse(os.path.exists(self.sock))


if __name__ == "__main__":
    unittest.main(verbosity=2)
