"""The loopback benchmark's parts, each checked on its own without timing
anything: the counting reader against a stand-in event socket, the
pcap_stats shim inside zel_replay and inside the real daemon on lo, and the
harness's parsing, loss judgement and choice of rates."""
import importlib.machinery
import importlib.util
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BIN = os.environ["ZEL_BIN"]
SOURCE = os.environ["ZEL_SOURCE"]
SHIM = os.path.join(BIN, "libpcap_stats_shim.so")
READER = os.path.join(BIN, "zel_count_reader")
HARNESS = os.path.join(SOURCE, "scripts", "bench-loopback")


def load_harness():
    loader = importlib.machinery.SourceFileLoader("bench_loopback", HARNESS)
    found = importlib.util.spec_from_loader("bench_loopback", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


bl = load_harness()


def preload_env(stats_path):
    env = dict(os.environ, LD_PRELOAD=SHIM)
    if stats_path is not None:
        env["ZEL_PCAP_STATS_FILE"] = stats_path
    # Under AddressSanitizer the preloaded shim stands before the sanitizer's
    # runtime in the library list; it intercepts nothing the runtime needs.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
    return env


def without_times(summary):
    return re.sub(r" first_ns=\d+ last_ns=\d+$", "", summary)


class Dir(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zel-loop-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)


class ReaderTest(Dir):
    def listen(self):
        path = os.path.join(self.dir, "events.sock")
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(path)
        server.listen(1)
        server.settimeout(10)
        self.addCleanup(server.close)
        return path, server

    def start_reader(self, *args):
        p = subprocess.Popen([READER, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))
        return p

    def test_counts_whole_records_however_the_stream_is_cut(self):
        burst = [b"x" * 1999 + b"\n"] * 5000
        big = b"".join(burst)
        cases = [
            ("two records in one write", [b'{"a":1}\n{"b":2}\n'],
             "records=2 bytes=16 partial=0 end=eof"),
            ("one record over three writes", [b'{"a"', b":1}", b"\n"],
             "records=1 bytes=8 partial=0 end=eof"),
            ("a cut-off record at end of stream", [b'{"a":1}\n{"b"'],
             "records=1 bytes=12 partial=4 end=eof"),
            ("a cut-off record over two writes", [b'{"a":1}\n{"b"', b":2"],
             "records=1 bytes=14 partial=6 end=eof"),
            ("a tail that is completed later", [b'{"a"', b':1}\n{"b"', b":2}\n"],
             "records=2 bytes=16 partial=0 end=eof"),
            ("nothing at all", [], "records=0 bytes=0 partial=0 end=eof"),
            ("a burst larger than any one read", [big[i:i + 65536] for i in range(0, len(big), 65536)],
             "records=5000 bytes=10000000 partial=0 end=eof"),
        ]
        for name, chunks, want in cases:
            with self.subTest(name):
                path, server = self.listen()
                before = time.monotonic_ns()
                reader = self.start_reader(path)
                conn, _ = server.accept()
                self.assertEqual(reader.stdout.readline(), b"connected\n")
                for chunk in chunks:
                    conn.sendall(chunk)
                    time.sleep(0.005)  # lets the reader see separate reads
                conn.close()
                out, err = reader.communicate(timeout=30)
                after = time.monotonic_ns()
                self.assertEqual(reader.returncode, 0, err)
                line = out.decode().rstrip("\n")
                self.assertEqual(without_times(line), want)
                first, last = map(int, re.search(r"first_ns=(\d+) last_ns=(\d+)$", line).groups())
                if chunks:
                    # The harness compares these with its own monotonic clock.
                    self.assertTrue(before <= first <= last <= after, line)
                else:
                    self.assertEqual((first, last), (0, 0))
                os.unlink(path)
                server.close()

    def test_stops_after_the_input_is_over_and_the_stream_is_quiet(self):
        path, server = self.listen()
        reader = self.start_reader("-i", "100", path)
        conn, _ = server.accept()
        self.addCleanup(conn.close)
        self.assertEqual(reader.stdout.readline(), b"connected\n")
        conn.sendall(b"a\nb\nc")
        reader.send_signal(signal.SIGUSR1)
        out, err = reader.communicate(timeout=30)
        self.assertEqual(reader.returncode, 0, err)
        self.assertEqual(without_times(out.decode().rstrip("\n")),
                         "records=2 bytes=5 partial=1 end=idle")

    def test_sigterm_still_prints_the_count(self):
        path, server = self.listen()
        reader = self.start_reader(path)
        conn, _ = server.accept()
        self.addCleanup(conn.close)
        self.assertEqual(reader.stdout.readline(), b"connected\n")
        conn.sendall(b"a\n")
        time.sleep(0.1)
        reader.send_signal(signal.SIGTERM)
        out, err = reader.communicate(timeout=30)
        self.assertEqual(reader.returncode, 0, err)
        self.assertEqual(without_times(out.decode().rstrip("\n")),
                         "records=1 bytes=2 partial=0 end=signal")

    def test_waits_for_a_socket_that_appears_late(self):
        path = os.path.join(self.dir, "late.sock")
        reader = self.start_reader("-w", "20", path)
        time.sleep(0.2)
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(server.close)
        server.bind(path)
        server.listen(1)
        server.settimeout(20)
        conn, _ = server.accept()
        conn.sendall(b"late\n")
        conn.close()
        out, err = reader.communicate(timeout=30)
        self.assertEqual(reader.returncode, 0, err)
        self.assertTrue(out.startswith(b"connected\nrecords=1 bytes=5 partial=0 end=eof "), out)

    def test_usage_and_unreachable_socket(self):
        absent = os.path.join(self.dir, "absent.sock")
        cases = [
            ([], 2, "Usage: "),
            (["-i", "0", absent], 2, "zel_count_reader: IDLE_MS must be 1 to 3600000\n"),
            (["-w", "soon", absent], 2, "zel_count_reader: WAIT_S must be 0 to 3600\n"),
            (["a", "b"], 2, "Usage: "),
            (["-w", "0", absent], 1,
             "zel_count_reader: connect %s: No such file or directory\n" % absent),
            (["-w", "0", "/" + "x" * 120], 1, "zel_count_reader: socket path longer than 107 bytes\n"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                r = subprocess.run([READER, *args], capture_output=True, timeout=30)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout, b"")
                if text.endswith("\n"):
                    self.assertEqual(r.stderr.decode(), text)
                else:
                    self.assertIn(text, r.stderr.decode())


class ShimTest(Dir):
    def make_pcap(self, count):
        path = os.path.join(self.dir, "mix.pcap")
        r = subprocess.run([os.path.join(BIN, "zel_make_pcap"), "-n", str(count), path],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        return path

    def test_capture_file_handle_reports_that_it_has_no_counters(self):
        pcap = self.make_pcap(8)
        stats = os.path.join(self.dir, "stats.txt")
        plain = subprocess.run([os.path.join(BIN, "zel_replay"), pcap], capture_output=True,
                               timeout=60)
        for _ in range(2):
            r = subprocess.run([os.path.join(BIN, "zel_replay"), pcap], capture_output=True,
                               timeout=60, env=preload_env(stats))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, plain.stdout, "the host program's output is unchanged")
        with open(stats) as f:
            self.assertEqual(f.read(), "pcap_stats: Statistics aren't available from savefiles\n" * 2)

    def test_an_unwritable_or_unset_file_leaves_the_program_alone(self):
        pcap = self.make_pcap(8)
        for stats in (os.path.join(self.dir, "no", "such", "dir", "stats.txt"), "", None):
            with self.subTest(stats=stats):
                r = subprocess.run([os.path.join(BIN, "zel_replay"), "-q", pcap],
                                   capture_output=True, timeout=60, env=preload_env(stats))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertRegex(r.stderr.decode(), r"frames=8 records=8 ")
        self.assertEqual(os.listdir(self.dir), ["mix.pcap"])

    def test_daemon_writes_live_counters_when_it_stops_on_sigterm(self):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        self.addCleanup(probe.close)
        sock = os.path.join(self.dir, "events.sock")
        stats = os.path.join(self.dir, "stats.txt")
        daemon = subprocess.Popen(
            [os.path.join(BIN, "zel_packet_monitor"), "-i", "lo", "-s", sock,
             "-f", "udp and dst host 127.0.0.1 and dst port %d" % port],
            stderr=subprocess.PIPE, env=preload_env(stats))
        self.addCleanup(lambda: daemon.poll() is None and (daemon.kill(), daemon.wait()))
        self.assertIn(b"zel_packet_monitor: interface=lo ", daemon.stderr.readline())
        fds = "/proc/%d/fd" % daemon.pid
        before = len(os.listdir(fds))
        reader = self.connect_client(sock)
        deadline = time.monotonic() + 10
        # The daemon holds one more descriptor once it has accepted us;
        # only then does it send us anything.
        while len(os.listdir(fds)) == before and time.monotonic() < deadline:
            time.sleep(0.01)
        sip = (b"OPTIONS sip:a@b SIP/2.0\r\nCall-ID: shim-%d\r\nCSeq: 1 OPTIONS\r\n\r\n")
        for i in range(3):
            probe.sendto(sip % i, ("127.0.0.1", port))
        data = b""
        reader.settimeout(10)
        while data.count(b"\n") < 3:
            chunk = reader.recv(65536)
            if not chunk:
                break
            data += chunk
        self.assertEqual(data.count(b"\n"), 3)
        daemon.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(timeout=30), 0, daemon.stderr.read())
        daemon.stderr.close()
        with open(stats) as f:
            text = f.read()
        m = re.fullmatch(r"ps_recv=(\d+) ps_drop=(\d+) ps_ifdrop=(\d+)\n", text)
        self.assertIsNotNone(m, text)
        # lo hands libpcap each datagram twice, outgoing and looped, and it
        # keeps one; other traffic on lo that arrives between activation and
        # the filter is counted too, so only a lower bound holds.
        self.assertGreaterEqual(int(m.group(1)), 3, text)
        self.assertEqual(bl.parse_stats_file(text)["ps_recv"], int(m.group(1)))

    def connect_client(self, path):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(s.close)
        s.connect(path)
        return s


TCPREPLAY_OUT = """\
Warning in sendpacket.c:sendpacket_open_pf() line 952:
Unsupported physical layer type 0x0304 on lo.  Maybe it works, maybe it won't.  See tickets #123/318
Actual: 100000 packets (161391668 bytes) sent in 1.67 seconds
Rated: 96644112.5 Bps, 773.15 Mbps, 59880.23 pps
Flows: 100000 flows, 59880.23 fps, 100000 unique flow packets, 0 unique non-flow packets
Statistics for network device: lo
\tSuccessful packets:        99990
\tFailed packets:            10
\tTruncated packets:         0
\tRetried packets (ENOBUFS): 0
\tRetried packets (EAGAIN):  0
"""


class HarnessTest(unittest.TestCase):
    def test_parse_tcpreplay(self):
        self.assertEqual(bl.parse_tcpreplay(TCPREPLAY_OUT), {
            "attempted": 100000, "bytes": 161391668, "seconds": 1.67, "mbps": 773.15,
            "pps": 59880.23, "sent": 99990, "failed": 10})
        for broken in ("", "tcpreplay: Fatal Error: failed to open device lo\n",
                       TCPREPLAY_OUT.replace("Successful", "Sent")):
            with self.subTest(broken=broken[:30]):
                with self.assertRaises(bl.BenchError):
                    bl.parse_tcpreplay(broken)

    def test_parse_proc_stat(self):
        tail = " S 1 2 3 0 -1 4194304 99 0 0 0 24 63 0 0 20 0 1 0 1196974 3133440 412\n"
        cases = [
            ("1234 (zel_packet_monitor)" + tail, 87),
            ("1234 (a) b (c))" + tail, 87),
            ("7 ( )" + tail, 87),
        ]
        for text, want in cases:
            with self.subTest(text=text[:24]):
                self.assertEqual(bl.parse_proc_stat(text), want)
        with open("/proc/self/stat") as f:
            self.assertGreaterEqual(bl.parse_proc_stat(f.read()), 0)

    def test_parse_stats_file(self):
        self.assertEqual(bl.parse_stats_file("ps_recv=200000 ps_drop=17 ps_ifdrop=0\n"),
                         {"ps_recv": 200000, "ps_drop": 17, "ps_ifdrop": 0})
        for text in ("", "pcap_stats: Statistics aren't available from savefiles\n",
                     "ps_recv=1 ps_drop=0 ps_ifdrop=0\nps_recv=1 ps_drop=0 ps_ifdrop=0\n",
                     "ps_recv=1 ps_drop=0\n"):
            with self.subTest(text=text):
                with self.assertRaises(bl.BenchError):
                    bl.parse_stats_file(text)

    def test_parse_reader_and_replay_counts(self):
        self.assertEqual(
            bl.parse_reader("connected\nrecords=9 bytes=90 partial=3 end=idle first_ns=5 last_ns=7\n"),
            {"records": 9, "bytes": 90, "partial": 3, "end": "idle", "first_ns": 5, "last_ns": 7})
        for text in ("", "connected\n", "connected\nrecords=9 bytes=90\n"):
            with self.subTest(text=text):
                with self.assertRaises(bl.BenchError):
                    bl.parse_reader(text)
        self.assertEqual(bl.parse_replay_counts(
            "noise\nframes=10 records=8 seconds=0.001000 records_per_second=8000\n"), (10, 8))

    def test_judge(self):
        replay = {"attempted": 100, "sent": 100, "failed": 0}
        reader = {"records": 100, "partial": 0, "end": "idle"}
        stats = {"ps_recv": 200, "ps_drop": 0, "ps_ifdrop": 0}

        def changed(d, **kw):
            return dict(d, **kw)
        cases = [
            ("everything arrived", replay, reader, stats, (0, False, True)),
            ("one record missing", replay, changed(reader, records=99), stats, (1, False, False)),
            ("the daemon cut the reader off", replay, changed(reader, end="eof"), stats,
             (0, True, False)),
            ("a cut-off record", replay, changed(reader, records=99, partial=40), stats,
             (1, True, False)),
            ("libpcap dropped a copy", replay, reader, changed(stats, ps_drop=1), (0, False, False)),
            ("the interface dropped", replay, reader, changed(stats, ps_ifdrop=2), (0, False, False)),
            ("tcpreplay could not send all", changed(replay, sent=90, failed=10), reader, stats,
             (0, False, False)),
            ("foreign frames matched the filter", replay, changed(reader, records=101), stats,
             (-1, False, False)),
        ]
        for name, rp, rd, st, (lost, cut, lossless) in cases:
            with self.subTest(name):
                self.assertEqual(bl.judge(100, rp, rd, st),
                                 {"lost": lost, "cut": cut, "lossless": lossless})

    def test_next_rate(self):
        cases = [
            ("halve from topspeed first", 100000, [], 3, 50000),
            ("keep halving while lossy", 100000, [(50000, False)], 3, 25000),
            ("bisect up to topspeed", 100000, [(50000, True)], 3, 75000),
            ("bisect down", 100000, [(50000, True), (75000, False)], 3, 62500),
            ("bisect up again", 100000, [(50000, True), (75000, False), (62500, True)], 3, 68750),
            ("three bisection steps are enough", 100000,
             [(50000, True), (75000, False), (62500, True), (68750, True)], 3, None),
            ("one step when quick", 100000, [(50000, True), (75000, False)], 1, None),
            ("bisection steps count from the first lossless run", 100000,
             [(50000, False), (25000, False), (12500, True), (18750, True)], 3, 21875),
            ("close enough", 100000, [(25000, False), (12500, True), (18750, False), (15625, True),
                                      (17187, True), (17968, False)], 9, None),
            ("within five per cent", 100000, [(50000, False), (25000, True), (37500, False),
                                              (31250, False), (28125, False), (26562, False),
                                              (25781, False)], 9, None),
            ("not below the floor", 1500, [], 3, None),
            ("floor reached while lossy", 3000, [(1500, False)], 3, None),
        ]
        for name, top, tried, steps, want in cases:
            with self.subTest(name):
                self.assertEqual(bl.next_rate(top, tried, steps), want)

    def test_row_lines_up_with_the_header(self):
        replay = {"pps": 59880.23, "mbps": 773.15, "sent": 100000}
        reader = {"records": 99990}
        stats = {"ps_recv": 200000, "ps_drop": 20, "ps_ifdrop": 0}
        judged = {"lost": 10, "cut": False, "lossless": False}
        row = bl.format_row("62500", replay, 100000, reader, stats, judged, 1.234, 73.9)
        self.assertEqual(
            row, "62500         59880    773.1   100000   100000    99990      10   200000      20"
                 "         0   1.23    74 no")
        self.assertEqual(len(row.split()), len(bl.HEADER.split()))
        self.assertEqual(len(row), len(bl.HEADER) - len("lossless") + len("no"))


class HarnessRunTest(unittest.TestCase):
    """The script as an operator runs it, on the paths that end before any rate is measured."""

    def run_harness(self, args, tmp=None, **env):
        if tmp is None:
            tmp = tempfile.mkdtemp(prefix="zel-loop-run-")
            self.addCleanup(shutil.rmtree, tmp)
        # The harness preloads the shim into the daemon, as preload_env does.
        full = preload_env(None)
        del full["LD_PRELOAD"]
        full.update(TMPDIR=tmp, **env)
        r = subprocess.run([HARNESS, *args], capture_output=True, timeout=120, env=full)
        self.assertEqual(os.listdir(tmp), [], "temporary files left behind")
        return r

    def test_failures_are_reported_with_status_1(self):
        cases = [
            ("a tool is missing", [], {"PATH": "/nonexistent"},
             "bench-loopback: missing tool(s): tcpreplay, tcprewrite, tcpdump, taskset, chrt "
             "(scripts/install-deps installs them)\n"),
            ("no binaries", [], {"ZEL_BIN": "/nonexistent"},
             "bench-loopback: /nonexistent/zel_packet_monitor not found; "
             "build it with `make bench` (or set ZEL_BIN)\n"),
            ("no such capture file", ["-f", "/nonexistent.pcap"], {},
             "bench-loopback: /nonexistent.pcap: no such file\n"),
        ]
        for name, args, env, want in cases:
            with self.subTest(name):
                r = self.run_harness(args, **dict({"ZEL_BIN": BIN}, **env))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertEqual(r.stderr.decode(), want)
                self.assertEqual(r.stdout, b"")

    def test_a_bad_filter_ends_the_run_before_any_replay(self):
        r = self.run_harness(["-n", "10", "--bpf", "no such filter ("])
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertRegex(r.stderr.decode(), r"^bench-loopback: tcpdump cannot filter /\S+/replay.pcap: "
                                             r"tcpdump: can't parse filter expression: syntax error\n$")
        self.assertEqual(r.stdout, b"")

    def test_a_filter_that_leaves_nothing_to_count_ends_the_run(self):
        r = self.run_harness(["-n", "10", "--bpf", "udp and dst port 9"])
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stderr.decode(), "bench-loopback: no frame of generated, 10 messages "
                                            "that passes the filter yields a record; is --bpf "
                                            "right for it?\n")

    def test_a_daemon_that_fails_to_start_ends_the_run(self):
        # A temporary folder so deep that the daemon's socket path does not fit.
        top = tempfile.mkdtemp(prefix="zel-loop-run-")
        self.addCleanup(shutil.rmtree, top)
        deep = os.path.join(top, "d" * 100)
        os.mkdir(deep)
        r = self.run_harness(["-n", "10"], tmp=deep)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stderr.decode(),
                         "bench-loopback: zel_packet_monitor exited with status 1 while waiting "
                         "for the daemon's banner: socket: File name too long\n")
        self.assertIn(b"frames=10 records_expected=10 ", r.stdout)
        self.assertNotIn(b"topspeed", r.stdout)

    def test_a_short_series_prints_its_table(self):
        # Loss depends on the machine's load, so only the shape of the
        # report and the counts that do not are checked.
        r = self.run_harness(["-n", "50", "--quick"])
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[0], "file=generated, 50 messages frames=50 records_expected=50 "
                                   "filter=udp and src net 10.201.0.0/16 and dst port 5060")
        self.assertEqual(lines[3], bl.HEADER)
        rows = [l for l in lines[4:] if not l.startswith(("cut:", "highest"))]
        self.assertEqual(rows[0].split()[0], "topspeed")
        for row in rows:
            f = row.split()
            with self.subTest(row=row):
                self.assertEqual(len(f), 13)
                self.assertEqual((f[3], f[4]), ("50", "50"), "sent and expected")
                self.assertLessEqual(int(f[5]), 50)
                self.assertEqual(int(f[6]), 50 - int(f[5]))
                # Both copies of every frame on lo pass the filter, plus
                # whatever arrived before it was installed.
                self.assertGreaterEqual(int(f[7]), 100)
                self.assertIn(f[12], ("yes", "no", "cut"))
        self.assertRegex(lines[-1], r"^highest rate with no loss: (\d+ pps \(|none down to 1000 pps$)")
        self.assertEqual(r.stderr, b"")


if __name__ == "__main__":
    unittest.main()
