"""Loss is never silent: the daemon, stopped for a second under a burst of
SIP datagrams on lo, shows libpcap's drops in its stats line and in its
metrics file (read with Prometheus' own parser), and the records it counts
are exactly those its client read; --buffer-size gives the burst room;
--version. Needs root for live capture.

burst() is also what scripts/measure-capture-burst runs at several buffer
sizes."""
import collections
import itertools
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zelmetrics  # noqa: E402
import zelproc  # noqa: E402
from test_daemon import sip  # noqa: E402

DAEMON = os.path.join(os.environ.get("ZEL_BIN", ""), "zel_packet_monitor")
with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as _f:
    VERSION = "zel_packet_monitor %s\n" % re.search(
        r"project\(zel_packet_monitor VERSION (\S+)", _f.read()).group(1)

STATS_RE = (r"^zel_packet_monitor: stats received=(?P<received>\d+) dropped=(?P<dropped>\d+) "
            r"ifdropped=(?P<ifdropped>\d+) records=(?P<records>\d+) clients=(?P<clients>\d+) "
            r"clients_cut=(?P<clients_cut>\d+) ignored=(?P<ignored>\d+)"
            r"(?P<reasons>(?: [a-z0-9_]+=\d+)*)$")
# Ports of this file only, so that other suites can capture side by side;
# one burst at a time reuses them.
PORTS = itertools.cycle(range(47230, 47240))


def stats_fields(line):
    """{field: int} of one stats line, the ignored reasons under their
    names."""
    m = re.match(STATS_RE, line)
    if not m:
        raise AssertionError("not a stats line: %r" % line)
    out = {k: int(v) for k, v in m.groupdict().items() if k != "reasons"}
    for pair in m.group("reasons").split():
        name, value = pair.split("=")
        out[name] = int(value)
    return out


def read_metrics(path, switch_id="unknown"):
    """{(sample name, label items): value}, as Prometheus reads the file;
    every sample must carry switch_id, which the keys leave out."""
    out = {}
    for _, _, s in zelmetrics.samples(path):
        labels = dict(s.labels)
        if labels.pop("switch_id", None) != switch_id:
            raise AssertionError("sample without switch_id=%r: %r" % (switch_id, s))
        out[(s.name, tuple(sorted(labels.items())))] = s.value
    return out


class Reader:
    """An event-socket client that counts the records it reads."""

    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect(path)
        self.tail = b""
        self.pending = collections.deque()
        self.records = 0

    def _recv(self, timeout):
        """Takes in what arrives within timeout; False when nothing did."""
        self.s.settimeout(timeout)
        try:
            chunk = self.s.recv(1 << 20)
        except socket.timeout:
            return False
        lines = (self.tail + chunk).split(b"\n")
        self.tail = lines.pop()
        self.pending.extend(lines)
        self.records += len(lines)
        return bool(chunk)

    def read_until(self, call_id, timeout=10):
        """Reads up to and including the record of call_id."""
        want = ('"call_id":"%s"' % call_id).encode()
        while True:
            while self.pending:
                if want in self.pending.popleft():
                    return
            if not self._recv(timeout):
                raise AssertionError("no record of %s" % call_id)

    def drain(self, quiet):
        """Reads until nothing comes for `quiet` seconds or end of stream."""
        while self._recv(quiet):
            self.pending.clear()

    def close(self):
        self.s.close()


def burst_payload(i, size):
    """SIP datagram number i, padded to at least size bytes."""
    p = sip("burst-%d" % i)
    if len(p) < size:
        p = sip("burst-%d" % i, extra="X-Pad: %s\r\n" % ("p" * (size - len(p) - 9)))
    return p


def burst(buffer_kib=None, count=30000, pause=1.0, client=True, junk=3, size=0,
          iface="lo", to="127.0.0.1"):
    """Starts the daemon on `iface` with a stats line every second and a
    metrics file, and one client unless client=False. Sends to `to` `junk`
    datagrams that are not SIP and one SIP marker; then stops the daemon
    with SIGSTOP for `pause` seconds while `count` SIP datagrams (padded to
    `size` bytes) go out, resumes it, waits until the records stop coming
    and stops it with SIGTERM.

    Returns {"sent", "read" (records the client read, or None), "line" (the
    fields of a periodic stats line taken after the records stopped),
    "final" (the shutdown line's), "metrics" (read_metrics of the file after
    the stop), "status", "stderr"}."""
    port = next(PORTS)
    tmp = tempfile.mkdtemp(prefix="zel-burst-")
    sock = os.path.join(tmp, "events.sock")
    prom = os.path.join(tmp, "zel_capture.prom")
    argv = [DAEMON, "-i", iface, "-f", "udp port %d" % port, "-s", sock,
            "--stats-interval=1", "--metrics-file=" + prom]
    if buffer_kib is not None:
        argv.append("--buffer-size=%d" % buffer_kib)
    daemon = zelproc.Program(argv)
    reader = None
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        daemon.wait_for(r"^zel_packet_monitor: interface=")
        if client:
            reader = Reader(sock)
            # Accepted once a stats line says so: from then on it reads every
            # record published.
            daemon.wait_for(STATS_RE.replace(r"clients=(?P<clients>\d+)", "clients=1"))
        for i in range(junk):
            sender.sendto(b"not sip %d\r\n" % i, (to, port))
        sender.sendto(sip("marker"), (to, port))
        if reader:
            reader.read_until("marker")
        else:
            zelproc.wait_until(lambda: daemon.matching(r" records=1 "), timeout=10)
        payloads = [burst_payload(i, size) for i in range(count)]
        stopped = time.monotonic()
        daemon.proc.send_signal(signal.SIGSTOP)
        try:
            for p in payloads:
                sender.sendto(p, (to, port))
            time.sleep(max(0.0, pause - (time.monotonic() - stopped)))
        finally:
            daemon.proc.send_signal(signal.SIGCONT)
        if reader:
            reader.drain(quiet=1.5)
        # Two whole intervals after the records stopped: the periodic line
        # has counted everything.
        mark = len(daemon.lines)
        daemon.wait_for(STATS_RE, start=mark)
        line = stats_fields(daemon.wait_for(STATS_RE).group(0))
        status = daemon.stop()
        final = stats_fields(daemon.lines[-1])
        return {"sent": count + junk + 1, "read": reader.records if reader else None,
                "line": line, "final": final, "metrics": read_metrics(prom),
                "status": status, "stderr": daemon.stderr()}
    finally:
        sender.close()
        if reader:
            reader.close()
        if daemon.proc.poll() is None:
            daemon.proc.send_signal(signal.SIGCONT)
            daemon.kill()
        shutil.rmtree(tmp, ignore_errors=True)


class Burst(unittest.TestCase):
    def test_drops_shown_and_records_match_what_the_client_read(self):
        r = burst()
        line, final, m = r["line"], r["final"], r["metrics"]
        self.assertEqual(r["status"], 0, r["stderr"])
        self.assertGreater(line["dropped"], 0, r["stderr"])
        self.assertGreaterEqual(final["dropped"], line["dropped"])
        self.assertEqual(final["clients_cut"], 0, r["stderr"])
        self.assertEqual(final["records"], r["read"], r["stderr"])
        self.assertLess(final["records"], r["sent"])
        self.assertEqual((final["ignored"], final.get("no_call_id")), (3, 3), r["stderr"])
        self.assertEqual(m[("zel_capture_dropped_total", ())], final["dropped"])
        self.assertEqual(m[("zel_capture_received_total", ())], final["received"])
        self.assertEqual(m[("zel_capture_records_total", ())], final["records"])
        self.assertEqual(m[("zel_capture_clients_cut_total", ())], 0)
        self.assertEqual(m[("zel_capture_ignored_total", (("reason", "no_call_id"),))], 3)
        self.assertEqual(m[("zel_capture_ignored_total", (("reason", "fragment"),))], 0)

    def test_a_large_buffer_takes_the_whole_burst(self):
        r = burst(buffer_kib=64 * 1024, client=False)
        self.assertEqual(r["status"], 0, r["stderr"])
        self.assertEqual((r["final"]["dropped"], r["final"]["records"]), (0, r["sent"] - 3),
                         r["stderr"])


class MetricsFile(unittest.TestCase):
    def test_a_failing_write_is_reported_once_per_failure_and_capture_goes_on(self):
        tmp = tempfile.mkdtemp(prefix="zel-metrics-")
        folder = os.path.join(tmp, "textfile")
        prom = os.path.join(folder, "zel_capture.prom")
        d = zelproc.Program([DAEMON, "-i", "lo", "-f", "udp port %d" % next(PORTS),
                             "-s", os.path.join(tmp, "events.sock"), "--stats-interval=1",
                             "--metrics-file=" + prom])
        try:
            failed = "metrics: open %s: No such file or directory" % prom
            d.wait_for("^" + re.escape(failed) + "$")
            d.wait_for(STATS_RE)
            d.wait_for(STATS_RE)
            os.mkdir(folder)
            self.assertTrue(zelproc.wait_until(lambda: os.path.exists(prom)))
            os.unlink(prom)
            os.rmdir(folder)
            d.wait_for("^" + re.escape(failed) + "$")
            d.wait_for(STATS_RE)
            d.wait_for(STATS_RE)
            self.assertEqual(d.stop(), 0)
            self.assertEqual(d.matching("^metrics: "), [failed, failed], d.stderr())
        finally:
            if d.proc.poll() is None:
                d.kill()
            shutil.rmtree(tmp, ignore_errors=True)


class Version(unittest.TestCase):
    def test_version_in_command_line_order(self):
        usage = ("Usage: zel_packet_monitor [-i interface] [-f bpf] [-s socket] "
                 "[-S switch-id] [--no-raw]\n")
        cases = [
            (["--version"], 0, VERSION, ""),
            (["--version", "-x", "-S", ""], 0, VERSION, ""),
            (["-S", "", "--version"], 2, "", "switch-id must contain 1-127 bytes\n"),
            (["-h", "--version"], 0, "", usage),
        ]
        for argv, status, out, err in cases:
            with self.subTest(argv=argv):
                p = subprocess.run(["zel_packet_monitor"] + argv, executable=DAEMON,
                                   capture_output=True, timeout=20, env=zelproc.clean_env())
                # -h: the usage line, then the options (test_operator.py).
                got = p.stderr.decode()
                if err == usage:
                    got = got[:len(usage)]
                self.assertEqual((p.returncode, p.stdout.decode(), got), (status, out, err))


if __name__ == "__main__":
    unittest.main()
