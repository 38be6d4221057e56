"""zel_replay against the real capture daemon: a generated capture file,
replayed onto lo while the daemon captures, must give the same records from
both (only the capture time differs), and the tool's flags, counts and exit
statuses are what an operator reads."""
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

BIN = os.environ["ZEL_BIN"]
STATS = re.compile(rb"^frames=(\d+) records=(\d+) seconds=\d+\.\d{6} records_per_second=\d+$")
# Only the generated frames come from 10.1.0.0/16; other tests' traffic on lo
# stays out of the capture.
FILTER = "udp and src net 10.1.0.0/16 and dst port 5060"


def run(args, **kw):
    return subprocess.run(args, capture_output=True, timeout=60, **kw)


def last_line(err):
    return err.rstrip(b"\n").split(b"\n")[-1]


def without_time(line):
    return re.sub(rb'"timestamp_ms":\d+,', b'"timestamp_ms":0,', line)


class ReplayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-replay-")
        cls.pcap = os.path.join(cls.dir, "mix.pcap")
        r = run([os.path.join(BIN, "zel_make_pcap"), "-n", "48", cls.pcap])
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def replay(self, *args):
        return run([os.path.join(BIN, "zel_replay"), *args])

    def test_same_records_as_the_daemon_on_lo(self):
        sock = os.path.join(self.dir, "events.sock")
        daemon = subprocess.Popen([os.path.join(BIN, "zel_packet_monitor"), "-i", "lo",
                                   "-f", FILTER, "-s", sock, "-S", "replay-check"],
                                  stderr=subprocess.PIPE)
        try:
            self.assertIn(b"zel_packet_monitor: interface=lo", daemon.stderr.readline())
            client = socket.socket(socket.AF_UNIX)
            client.connect(sock)
            time.sleep(0.3)  # accepted between two dispatch calls
            r = run(["tcpreplay", "-q", "-i", "lo", "--pps", "500", self.pcap])
            self.assertEqual(r.returncode, 0, r.stderr)
            client.settimeout(5)
            data = b""
            while data.count(b"\n") < 48:
                chunk = client.recv(1 << 20)
                if not chunk:
                    break
                data += chunk
            client.close()
        finally:
            daemon.terminate()
            daemon.wait(timeout=10)
        self.assertEqual(daemon.returncode, 0, daemon.stderr.read())
        live = data.split(b"\n")[:-1]

        r = self.replay("-S", "replay-check", self.pcap)
        self.assertEqual(r.returncode, 0, r.stderr)
        offline = r.stdout.split(b"\n")
        self.assertEqual(offline[-1], b"", "every record ends with a newline")
        self.assertEqual([without_time(l) for l in live], [without_time(l) for l in offline[:-1]])
        self.assertEqual(len(live), 48)

    def test_records_carry_the_frames_own_time(self):
        r = self.replay(self.pcap)
        self.assertEqual(r.returncode, 0)
        first = r.stdout.split(b"\n")[0]
        # The generator starts at 1733580000 s and steps 100 microseconds.
        self.assertIn(b'"switch_id":"unknown","timestamp_ms":1733580000000,', first)
        self.assertIn(b'"timestamp_ms":1733580000004,', r.stdout.split(b"\n")[47])

    def test_times_from_2038_on_stay_positive(self):
        # A classic capture holds seconds in 32 bits; from 2038 on they have
        # the top bit set, and must not come out negative.
        with open(self.pcap, "rb") as f:
            head, rec = f.read(24), f.read(16)
            (magic,) = struct.unpack("<I", head[:4])
            self.assertEqual(magic, 0xA1B2C3D4, "a little-endian microsecond capture")
            frame = f.read(struct.unpack("<IIII", rec)[2])
        cases = [
            (2147483647, 0, b'"timestamp_ms":2147483647000,'),
            (2147483648, 500000, b'"timestamp_ms":2147483648500,'),
            (4294967295, 999000, b'"timestamp_ms":4294967295999,'),
        ]
        for sec, usec, want in cases:
            with self.subTest(sec=sec):
                one = os.path.join(self.dir, "t%d.pcap" % sec)
                with open(one, "wb") as f:
                    f.write(head + struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame)
                r = self.replay(one)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(want, r.stdout)

    def test_help_and_version(self):
        usage = (b"zel_replay [-S switch-id] [-R] [-q] [--vlan] [--ipv6] "
                 b"[--reassemble] [--tcp] "
                 b"[--decap] [--dedup[=MS]] [--strict-sip] [--ignore-methods=LIST] FILE\n")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "CMakeLists.txt")) as f:
            version = re.search(r"project\(zel_packet_monitor VERSION (\S+)", f.read()).group(1)
        cases = [
            (["--help"], 0, b"", usage),
            (["-h", self.pcap], 0, b"", usage),
            (["--version"], 0, b"zel_replay %s\n" % version.encode(), None),
            (["--version", "-S", ""], 0, b"zel_replay %s\n" % version.encode(), None),
            (["--bogus", self.pcap], 2, b"", usage),
        ]
        for args, status, out, err_start in cases:
            with self.subTest(args=args):
                r = run([os.path.join(BIN, "zel_replay"), *args])
                self.assertEqual((r.returncode, r.stdout), (status, out), r.stderr)
                if err_start is None:
                    self.assertEqual(r.stderr, b"")
                else:
                    self.assertIn(err_start, r.stderr)
        # Every long option the usage line names is listed below it.
        text = run([os.path.join(BIN, "zel_replay"), "--help"]).stderr.decode()
        for name in re.findall(r"\[(--[a-z-]+)\]", text.splitlines()[0]) + ["--version"]:
            self.assertIn("  " + name if name != "--version" else "--version", text)

    def test_quiet_and_no_raw(self):
        full = self.replay(self.pcap)
        quiet = self.replay("-q", self.pcap)
        no_raw = self.replay("-R", self.pcap)
        for r in (full, quiet, no_raw):
            self.assertEqual(r.returncode, 0, r.stderr)
            m = STATS.match(last_line(r.stderr))
            self.assertIsNotNone(m, r.stderr)
            self.assertEqual(m.groups(), (b"48", b"48"))
        self.assertEqual(quiet.stdout, b"")
        lines = no_raw.stdout.split(b"\n")[:-1]
        self.assertEqual(len(lines), 48)
        for cut, whole in zip(lines, full.stdout.split(b"\n")):
            self.assertTrue(cut.endswith(b',"raw":""}'), cut[-40:])
            self.assertEqual(cut[:-len(b'"}')], whole[:whole.index(b',"raw":"') + len(b',"raw":"')])

    def test_usage_and_failures(self):
        cases = [
            (["-S", ""], 2, b"switch-id must contain 1-127 bytes\n"),
            (["-S", "x" * 128, self.pcap], 2, b"switch-id must contain 1-127 bytes\n"),
            ([], 2, b"Usage: "),
            (["-x", self.pcap], 2, b"Usage: "),
            ([os.path.join(self.dir, "absent.pcap")], 1, b"zel_replay: "),
        ]
        for args, status, text in cases:
            with self.subTest(args=args[:2]):
                r = self.replay(*args)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(text, r.stderr)
                self.assertEqual(r.stdout, b"")

    def test_truncated_file_gives_records_before_the_cut_and_status_1(self):
        cut = os.path.join(self.dir, "cut.pcap")
        with open(self.pcap, "rb") as f:
            data = f.read()
        with open(cut, "wb") as f:
            f.write(data[:len(data) // 2])
        r = self.replay("-q", cut)
        self.assertEqual(r.returncode, 1)
        m = STATS.match(last_line(r.stderr))
        self.assertIsNotNone(m, r.stderr)
        self.assertGreater(int(m.group(1)), 0)
        self.assertLess(int(m.group(1)), 48)
        self.assertIn(b"zel_replay: ", r.stderr)

    def test_an_empty_capture_gives_zero_counts(self):
        empty = os.path.join(self.dir, "empty.pcap")
        self.assertEqual(run([os.path.join(BIN, "zel_make_pcap"), "-n", "0", empty]).returncode, 0)
        r = self.replay(empty)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(STATS.match(last_line(r.stderr)).groups(), (b"0", b"0"))
        self.assertIn(b"records_per_second=0\n", r.stderr)


if __name__ == "__main__":
    unittest.main()
