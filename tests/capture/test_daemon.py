"""Live tests of zel_packet_monitor: the real daemon capturing on the
loopback interface, real UDP datagrams, real clients on its Unix socket,
and its command line, standard error and exit status."""
import os
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from event_record import parse_record  # noqa: E402

DAEMON = os.path.join(os.environ["ZEL_BIN"], "zel_packet_monitor")
PROG = "zel_packet_monitor"
USAGE = ("Usage: zel_packet_monitor [-i interface] [-f bpf] [-s socket] "
         "[-S switch-id] [--no-raw]\n")
SWITCH_MSG = "switch-id must contain 1-127 bytes\n"
DEDUP_MSG = "dedup must be a whole number of milliseconds from 1 to 10000\n"
METHODS_MSG = ("ignore-methods must be 1-16 comma-separated methods of 1-31 token "
               "characters\n")
BUFFER_MSG = "buffer-size must be a whole number of KiB from 0 to 2097151\n"
STATS_MSG = "stats-interval must be a whole number of seconds from 0 to 86400\n"
METRICS_MSG = "metrics-file must be an absolute path of a file, at most 4084 bytes\n"
CLIENT_BUFFER_MSG = "client-buffer must be a whole number of KiB from 1024 to 1048576\n"
# The help text: the usage line, then a line per option (test_operator.py
# checks that every option is there).
HELP = object()
# Ports of this file only, so that other suites can capture side by side.
PORTS = iter(range(47110, 47190))


def run(args, timeout=20):
    """Runs the daemon to completion with argv[0] "zel_packet_monitor"."""
    p = subprocess.run([PROG] + args, executable=DAEMON, capture_output=True,
                       timeout=timeout)
    return p.returncode, p.stderr.decode()


class Daemon:
    """One running daemon on lo with its socket in a temporary folder."""

    def __init__(self, extra=(), iface="lo", port=None, sock=None, argv=None, cmd=None):
        self.port = port if port is not None else next(PORTS)
        self.tmp = tempfile.mkdtemp(prefix="zel-daemon-")
        self.sock = sock or os.path.join(self.tmp, "events.sock")
        if argv is None:
            argv = ["-i", iface, "-f", "udp port %d" % self.port, "-s", self.sock] + list(extra)
        if cmd is None:
            self.proc = subprocess.Popen([PROG] + argv, executable=DAEMON,
                                         stderr=subprocess.PIPE)
        else:
            self.proc = subprocess.Popen(cmd, stderr=subprocess.PIPE)
        self.err = b""
        self.returncode = None

    def read_err_line(self, timeout=20):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.err:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stderr], [], [], left)[0]:
                raise AssertionError("no line on stderr: %r" % self.err)
            chunk = os.read(self.proc.stderr.fileno(), 4096)
            if not chunk:
                raise AssertionError("daemon ended: %r rc=%s" % (self.err, self.proc.wait()))
            self.err += chunk
        line, _, _ = self.err.partition(b"\n")
        return line.decode() + "\n"

    def banner(self):
        return "zel_packet_monitor: interface=lo filter=udp port %d socket=%s switch=" % (
            self.port, self.sock)

    def stop(self):
        """SIGTERM; returns (exit status, whole stderr)."""
        if self.returncode is None:
            self.proc.send_signal(signal.SIGTERM)
            _, rest = self.proc.communicate(timeout=20)
            self.err += rest
            self.returncode = self.proc.returncode
        return self.returncode, self.err.decode()

    def cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


class Client:
    """Event-socket client that splits the stream into records and checks
    every one of them with a JSON parser."""

    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect(path)
        self.buf = b""
        self.eof = False
        # Set by sync(). Loopback queues each datagram on the sending CPU's
        # backlog, so under load a surplus probe can be captured after later
        # datagrams; once synced, such stragglers are passed over.
        self.synced = False

    def line(self, timeout=10):
        """Next record as bytes, or None on end of stream / time-out."""
        deadline = time.monotonic() + timeout
        while True:
            rec = self._next(deadline)
            if rec is None or not (self.synced and call_id(rec).startswith("probe-")):
                return rec

    def _next(self, deadline):
        while b"\n" not in self.buf and not self.eof:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.s.settimeout(left)
            try:
                chunk = self.s.recv(1 << 17)
            except socket.timeout:
                return None
            except ConnectionResetError:
                # A connection still in the backlog when the daemon stops.
                chunk = b""
            if not chunk:
                self.eof = True
            self.buf += chunk
        if b"\n" not in self.buf:
            return None
        rec, _, self.buf = self.buf.partition(b"\n")
        parse_record(rec)
        return rec

    def close(self):
        self.s.close()


def sip(call_id, first="OPTIONS sip:probe@127.0.0.1 SIP/2.0", extra=""):
    return ("%s\r\nVia: SIP/2.0/UDP 127.0.0.1\r\nFrom: <sip:100@h>;tag=1\r\n"
            "To: <sip:200@h>\r\nCall-ID: %s\r\nCSeq: 1 OPTIONS\r\n%s\r\n" % (
                first, call_id, extra)).encode()


class Sender:
    def __init__(self, port):
        self.port = port
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.bind(("127.0.0.1", 0))
        self.sport = self.s.getsockname()[1]

    def send(self, payload):
        self.s.sendto(payload, ("127.0.0.1", self.port))

    def close(self):
        self.s.close()


def call_id(rec):
    return parse_record(rec)["call_id"]


def sync(sender, clients, tag):
    """Returns once every client is accepted and capture is live: probes go
    out until each client has seen one (activation on lo takes a moment and
    clients are accepted between dispatches), then one marker that every
    client reads up to. Nothing before the marker is looked at again."""
    waiting = set(range(len(clients)))
    for k in range(200):
        sender.send(sip("probe-%s-%d" % (tag, k)))
        for i in list(waiting):
            rec = clients[i].line(timeout=0.05)
            while rec is not None:
                if call_id(rec).startswith("probe-"):
                    waiting.discard(i)
                    break
                rec = clients[i].line(timeout=0.01)
        if not waiting:
            break
    else:
        raise AssertionError("clients %s never saw a probe" % sorted(waiting))
    sender.send(sip("sync-" + tag))
    for c in clients:
        while True:
            rec = c.line()
            if rec is None:
                raise AssertionError("marker not seen")
            if call_id(rec) == "sync-" + tag:
                break
        c.synced = True


def record(switch, ts, call, src, dst, frm, to, label, method, status, cseq, raw):
    return ('{"type":"sip.message","switch_id":"%s","timestamp_ms":%d,"call_id":"%s",'
            '"source":"%s","destination":"%s","from":"%s","to":"%s","label":"%s",'
            '"method":"%s","status":"%s","cseq":"%s","raw":"%s"}' % (
                switch, ts, call, src, dst, frm, to, label, method, status, cseq, raw)).encode()


def esc(payload):
    return payload.decode().replace("\\", "\\\\").replace('"', '\\"').replace(
        "\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


class LiveCapture(unittest.TestCase):
    def start(self, *args, **kw):
        d = Daemon(*args, **kw)
        self.addCleanup(d.cleanup)
        return d

    def connect(self, d, n=1):
        out = []
        for _ in range(n):
            c = Client(d.sock)
            self.addCleanup(c.close)
            out.append(c)
        return out

    def sender(self, d):
        s = Sender(d.port)
        self.addCleanup(s.close)
        return s

    def assert_clean_stop(self, d, switch):
        rc, err = d.stop()
        self.assertEqual(err, d.banner() + switch + "\n")
        self.assertEqual(rc, 0)
        self.assertFalse(os.path.exists(d.sock), "socket file must be removed")

    def test_two_clients_read_exactly_the_sip_messages(self):
        d = self.start(["-S", 'pop "1"'])
        self.assertEqual(d.read_err_line(), d.banner() + 'pop "1"\n')
        clients = self.connect(d, 2)
        s = self.sender(d)
        sync(s, clients, "a")

        register = sip("reg-1", "REGISTER sip:127.0.0.1 SIP/2.0")
        invite = (b"INVITE sip:200@127.0.0.1 SIP/2.0\r\nf: \"Al\" <sip:100@h>;tag=9\r\n"
                  b"t: <tel:+200>\r\ni: inv-\t1\r\nCSeq: 7 INVITE\r\n\r\nv=0\r\n")
        ok = b"SIP/2.0 200 OK\r\nCall-ID: inv-\t1\r\nFrom: <sip:100@h>\r\nCSeq: 7 INVITE\r\n\r\n"
        before = int(time.time() * 1000) - 1000
        for payload in (register, b"\r\n\r\n", invite, b"not sip at all\r\n", ok,
                        sip("end-a")):
            s.send(payload)
        src = "127.0.0.1:%d" % s.sport
        dst = "127.0.0.1:%d" % d.port
        want = [
            (register, ("reg-1", "100", "200", "REGISTER", "REGISTER", "", "1 OPTIONS")),
            (invite, ("inv-\\t1", "100", "<tel:+200>", "INVITE", "INVITE", "", "7 INVITE")),
            (ok, ("inv-\\t1", "100", "", "200", "", "200", "7 INVITE")),
            (sip("end-a"), ("end-a", "100", "200", "OPTIONS", "OPTIONS", "", "1 OPTIONS")),
        ]
        for c in clients:
            for payload, (call, frm, to, label, method, status, cseq) in want:
                got = c.line()
                self.assertIsNotNone(got)
                ts = parse_record(got)["timestamp_ms"]
                self.assertGreater(ts, before)
                self.assertLess(ts, int(time.time() * 1000) + 1000)
                self.assertEqual(got, record('pop \\"1\\"', ts, call, src, dst, frm, to, label,
                                             method, status, cseq, esc(payload)))
        self.assert_clean_stop(d, 'pop "1"')
        for c in clients:
            self.assertIsNone(c.line())
            self.assertTrue(c.eof)

    def test_no_raw_short_and_long(self):
        for opt in ("-R", "--no-raw"):
            with self.subTest(opt=opt):
                d = self.start([opt])
                self.assertEqual(d.read_err_line(), d.banner() + "unknown\n")
                c, = self.connect(d)
                s = self.sender(d)
                sync(s, [c], "r")
                s.send(sip("nr-1"))
                got = c.line()
                self.assertIsNotNone(got)
                self.assertTrue(got.endswith(b',"cseq":"1 OPTIONS","raw":""}'), got)
                self.assertEqual(parse_record(got)["call_id"], "nr-1")
                self.assert_clean_stop(d, "unknown")

    def test_stalled_client_is_dropped_other_keeps_everything(self):
        d = self.start()
        d.read_err_line()
        fast, slow = self.connect(d, 2)
        s = self.sender(d)
        sync(s, [fast, slow], "s")
        sent = []
        # About 13 MB of records, well past the stalled client's widened send
        # buffer (8 MiB as the kernel counts it), in bursts small enough for
        # the capture ring; each burst is read by the fast client before the
        # next, as the capture hands them over a ring block at a time.
        for burst in range(32):
            first = burst * 25
            for i in range(first, first + 25):
                s.send(sip("big-%d" % i, extra="X-Pad: " + "p" * 16000 + "\r\n"))
            for i in range(first, first + 25):
                got = fast.line()
                self.assertIsNotNone(got, "fast client lost record %d" % i)
                self.assertEqual(call_id(got), "big-%d" % i)
                sent.append(got)
        # The stalled client holds a prefix of the same stream, then end of
        # stream; at most its very last bytes are an unterminated record.
        seen = []
        while True:
            rec = slow.line(timeout=10)
            if rec is None:
                break
            seen.append(rec)
        self.assertTrue(slow.eof, "stalled client was never dropped")
        self.assertLess(len(seen), len(sent))
        self.assertEqual(seen, sent[:len(seen)])
        self.assertTrue(sent[len(seen)].startswith(slow.buf))
        self.assert_clean_stop(d, "unknown")

    def test_33rd_client_reads_end_of_stream(self):
        d = self.start()
        d.read_err_line()
        clients = self.connect(d, 32)
        s = self.sender(d)
        sync(s, clients, "m")
        extra = Client(d.sock)
        self.addCleanup(extra.close)
        self.assertIsNone(extra.line(timeout=10))
        self.assertTrue(extra.eof)
        self.assertEqual(extra.buf, b"")
        s.send(sip("after-33"))
        for c in clients:
            got = c.line()
            self.assertIsNotNone(got)
            self.assertEqual(call_id(got), "after-33")
        self.assert_clean_stop(d, "unknown")

    def test_sigterm_removes_socket_and_closes_clients(self):
        d = self.start()
        d.read_err_line()
        c, = self.connect(d)
        s = self.sender(d)
        sync(s, [c], "t")
        self.assert_clean_stop(d, "unknown")
        self.assertIsNone(c.line())
        self.assertTrue(c.eof)
        late = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(late.close)
        with self.assertRaises(OSError):
            late.connect(d.sock)

    def test_second_daemon_leaves_a_live_socket_alone(self):
        d = self.start()
        d.read_err_line()
        self.assertEqual(run(["-i", "lo", "-s", d.sock], timeout=10),
                         (1, "socket: Address already in use\n"))
        # The path still leads to the first daemon, and its stop still
        # removes the file it made.
        c, = self.connect(d)
        sync(self.sender(d), [c], "2nd")
        self.assert_clean_stop(d, "unknown")

    def test_socket_file_replaced_while_running_is_left_in_place(self):
        for kind in ("file", "listener"):
            with self.subTest(kind=kind):
                d = self.start()
                d.read_err_line()
                other = os.path.join(d.tmp, "other")
                if kind == "file":
                    open(other, "w").close()
                else:
                    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    self.addCleanup(listener.close)
                    listener.bind(other)
                    listener.listen(1)
                os.rename(other, d.sock)
                ino = os.stat(d.sock).st_ino
                rc, err = d.stop()
                self.assertEqual((rc, err), (0, d.banner() + "unknown\n"))
                self.assertEqual(os.stat(d.sock).st_ino, ino)
                if kind == "listener":
                    Client(d.sock).close()

    def test_any_device_uses_cooked_capture(self):
        port = next(PORTS)
        tmp = tempfile.mkdtemp(prefix="zel-daemon-")
        self.addCleanup(shutil.rmtree, tmp, True)
        sock = os.path.join(tmp, "any.sock")
        d = self.start(argv=["-i", "any", "-f", "udp port %d" % port, "-s", sock],
                       port=port, sock=sock)
        self.assertEqual(d.read_err_line(),
                         "zel_packet_monitor: interface=any filter=udp port %d socket=%s "
                         "switch=unknown\n" % (port, sock))
        c, = self.connect(d)
        s = self.sender(d)
        sync(s, [c], "y")
        payload = sip("any-1", "BYE sip:200@127.0.0.1 SIP/2.0")
        s.send(payload)
        s.send(sip("end-y"))
        got = c.line()
        self.assertIsNotNone(got)
        ts = parse_record(got)["timestamp_ms"]
        self.assertEqual(got, record("unknown", ts, "any-1", "127.0.0.1:%d" % s.sport,
                                     "127.0.0.1:%d" % port, "100", "200", "BYE", "BYE", "",
                                     "1 OPTIONS", esc(payload)))
        self.assertEqual(call_id(c.line()), "end-y", "each datagram must give one record")
        rc, err = d.stop()
        self.assertEqual(rc, 0)
        self.assertFalse(os.path.exists(sock))

    def test_capture_error_stops_cleanly_with_status_0(self):
        # A veth pair whose end vanishes under the running capture.
        name = "zelcap%d" % (os.getpid() % 100000)
        subprocess.run(["ip", "link", "add", name, "type", "veth", "peer", "name", name + "p"],
                       check=True)
        self.addCleanup(subprocess.run, ["ip", "link", "del", name], capture_output=True)
        subprocess.run(["ip", "link", "set", name, "up"], check=True)
        tmp = tempfile.mkdtemp(prefix="zel-daemon-")
        self.addCleanup(shutil.rmtree, tmp, True)
        sock = os.path.join(tmp, "e.sock")
        d = self.start(argv=["-i", name, "-s", sock], sock=sock)
        banner = d.read_err_line()
        c, = self.connect(d)
        subprocess.run(["ip", "link", "del", name], check=True)
        _, rest = d.proc.communicate(timeout=20)
        err = (d.err + rest).decode()
        self.assertEqual(d.proc.returncode, 0)
        self.assertRegex(err[len(banner):], r"\Acapture: [^\n]+\n\Z")
        self.assertFalse(os.path.exists(sock))
        self.assertIsNone(c.line())


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zel-cli-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def banner_of(self, argv):
        """Starts the daemon, returns (first stderr line, exit status after
        SIGTERM, rest of stderr)."""
        d = Daemon(argv=argv)
        try:
            line = d.read_err_line()
            rc, err = d.stop()
            return line, rc, err[len(line):]
        finally:
            d.cleanup()

    def test_banner_with_defaults(self):
        # The default socket folder lives in a private /run so that the test
        # leaves the host's /run alone.
        script = ('mount -t tmpfs zel-test /run && mkdir /run/zel-packet-monitor && '
                  'exec "$0"')
        d = Daemon(cmd=["unshare", "--mount", "--propagation", "private", "sh", "-c",
                        script, DAEMON])
        try:
            self.assertEqual(d.read_err_line(),
                             "zel_packet_monitor: interface=any filter=udp "
                             "socket=/run/zel-packet-monitor/events.sock switch=unknown\n")
            rc, err = d.stop()
            self.assertEqual(rc, 0, err)
        finally:
            d.cleanup()

    def test_banner_with_each_option(self):
        sock = os.path.join(self.tmp, "e.sock")
        id127 = "s" * 126 + "\\"
        cases = [
            (["-i", "lo", "-f", "udp port 9", "-s", sock, "-S", "pop-1", "-R"],
             "interface=lo filter=udp port 9 socket=%s switch=pop-1" % sock),
            (["-ilo", "-fudp", "-s" + sock, "-Sx y"],
             "interface=lo filter=udp socket=%s switch=x y" % sock),
            (["--interface", "lo", "--filter", "udp and port 9", "--socket", sock,
              "--switch-id", id127, "--no-raw"],
             "interface=lo filter=udp and port 9 socket=%s switch=%s" % (sock, id127)),
            (["--interface=lo", "--filter=udp", "--socket=" + sock, "--switch-id=a=b"],
             "interface=lo filter=udp socket=%s switch=a=b" % sock),
            (["-i", "nonexistent0", "stray", "-i", "lo", "-f", "tcp", "-f", "udp",
              "-s", "/nope/x.sock", "-s", sock, "-S", "one", "-S", "two", "word"],
             "interface=lo filter=udp socket=%s switch=two" % sock),
            (["-i", "lo", "-s", sock, "--buffer-size=1024", "--stats-interval", "0",
              "--buffer-size", "0"],
             "interface=lo filter=udp socket=%s switch=unknown" % sock),
        ]
        for argv, want in cases:
            with self.subTest(argv=argv):
                line, rc, rest = self.banner_of(argv)
                self.assertEqual(line, "zel_packet_monitor: " + want + "\n")
                self.assertEqual((rc, rest), (0, ""))
                self.assertFalse(os.path.exists(sock))

    def test_usage_and_option_errors(self):
        long_id = "x" * 128
        cases = [
            (["-h"], 0, HELP),
            (["--help"], 0, HELP),
            (["-h", "-S", ""], 0, HELP),
            (["--dedup=0"], 2, DEDUP_MSG),
            (["--dedup", "--dedup=x", "-h"], 2, DEDUP_MSG),
            (["--ignore-methods=OPTIONS,"], 2, METHODS_MSG),
            (["--ignore-methods"], 2,
             PROG + ": option '--ignore-methods' requires an argument\n" + USAGE),
            (["--decap=1"], 2, PROG + ": option '--decap' doesn't allow an argument\n" + USAGE),
            (["-S", "", "-h"], 2, SWITCH_MSG),
            (["-S", long_id], 2, SWITCH_MSG),
            (["--switch-id="], 2, SWITCH_MSG),
            (["-S", "ok", "--switch-id", long_id, "-h"], 2, SWITCH_MSG),
            (["-x"], 2, PROG + ": invalid option -- 'x'\n" + USAGE),
            (["--bogus"], 2, PROG + ": unrecognized option '--bogus'\n" + USAGE),
            (["-i"], 2, PROG + ": option requires an argument -- 'i'\n" + USAGE),
            (["-s", "/tmp/x", "--filter"], 2,
             PROG + ": option '--filter' requires an argument\n" + USAGE),
            (["--no-raw=yes"], 2, PROG + ": option '--no-raw' doesn't allow an argument\n" + USAGE),
            (["--buffer-size=x"], 2, BUFFER_MSG),
            (["--buffer-size", "-1"], 2, BUFFER_MSG),
            (["--buffer-size= 8"], 2, BUFFER_MSG),
            (["--buffer-size="], 2, BUFFER_MSG),
            (["--buffer-size=2097152"], 2, BUFFER_MSG),
            (["--buffer-size=18446744073709551617"], 2, BUFFER_MSG),
            (["--buffer-size=8", "--stats-interval=86401", "-h"], 2, STATS_MSG),
            (["--stats-interval=1.5"], 2, STATS_MSG),
            (["--stats-interval=+1"], 2, STATS_MSG),
            (["--metrics-file="], 2, METRICS_MSG),
            (["--metrics-file", "zel.prom"], 2, METRICS_MSG),
            (["--metrics-file=/var/lib/node-exporter/"], 2, METRICS_MSG),
            (["--metrics-file=/" + "m" * 4084], 2, METRICS_MSG),
            (["--stats-interval"], 2,
             PROG + ": option '--stats-interval' requires an argument\n" + USAGE),
            (["--client-buffer=1023"], 2, CLIENT_BUFFER_MSG),
            (["--client-buffer=1048577"], 2, CLIENT_BUFFER_MSG),
            (["--client-buffer=", "-h"], 2, CLIENT_BUFFER_MSG),
            (["--client-buffer=4096k"], 2, CLIENT_BUFFER_MSG),
            (["--client-buffer=1024", "--client-buffer=1048576", "-h"], 0, HELP),
        ]
        for argv, status, err in cases:
            with self.subTest(argv=argv):
                got = run(argv)
                if err is HELP:
                    self.assertEqual(got[0], status)
                    self.assertTrue(got[1].startswith(USAGE), got[1])
                    self.assertGreater(got[1].count("\n"), 1, got[1])
                else:
                    self.assertEqual(got, (status, err))

    def test_socket_path_length(self):
        base = os.path.join(self.tmp, "")
        ok = base + "p" * (107 - len(base))
        self.assertEqual(len(ok), 107)
        line, rc, rest = self.banner_of(["-i", "lo", "-s", ok])
        self.assertEqual(line, "zel_packet_monitor: interface=lo filter=udp socket=%s "
                               "switch=unknown\n" % ok)
        self.assertEqual((rc, rest), (0, ""))
        self.assertEqual(run(["-i", "lo", "-s", ok + "q"]), (1, "socket: File name too long\n"))
        self.assertFalse(os.path.exists(ok + "q"))

    def test_socket_directory_missing(self):
        self.assertEqual(run(["-i", "lo", "-s", os.path.join(self.tmp, "no", "e.sock")]),
                         (1, "socket: No such file or directory\n"))

    def test_regular_file_is_replaced_by_socket(self):
        sock = os.path.join(self.tmp, "e.sock")
        with open(sock, "w") as f:
            f.write("stale")
        os.chmod(sock, 0o666)
        d = Daemon(argv=["-i", "lo", "-s", sock])
        try:
            d.read_err_line()
            st = os.stat(sock)
            self.assertTrue(stat.S_ISSOCK(st.st_mode))
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o660)
            self.assertEqual(d.stop()[0], 0)
        finally:
            d.cleanup()

    def test_filter_that_does_not_compile(self):
        sock = os.path.join(self.tmp, "e.sock")
        rc, err = run(["-i", "lo", "-f", "udp port nonsense(", "-s", sock])
        self.assertEqual(rc, 1)
        self.assertRegex(err, r"\Afilter: [^\n]+\n\Z")
        self.assertTrue(stat.S_ISSOCK(os.stat(sock).st_mode), "socket file stays")

    def test_unknown_interface(self):
        sock = os.path.join(self.tmp, "e.sock")
        rc, err = run(["-i", "zelnosuch0", "-s", sock])
        self.assertEqual(rc, 1)
        self.assertRegex(err, r"\Apcap: [^\n]+\n\Z")


if __name__ == "__main__":
    unittest.main()
