"""What an operator (or another service account) can do to both programs
from outside, and what they must do about it: files planted in the metrics
folder, the services' umask, SIGHUP, a client leaving a quiet link, an event
socket the relay cannot reach or loses, and the daemon's own help and
start-up errors. The real programs, on lo, read as a user reads them."""

import os
import re
import shutil
import signal
import socket
import stat
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import relaytest as rt  # noqa: E402
import zelmetrics  # noqa: E402
import zelproc as zp  # noqa: E402

BIN = os.environ["ZEL_BIN"]
DAEMON = os.path.join(BIN, "zel_packet_monitor")
SOURCE = os.path.join(HERE, "..", "..", "src", "zel_packet_monitor.cpp")
DAEMON_STATS = r"^zel_packet_monitor: stats received="
RELAY_STATS = rt.STATS_RE
# A port nothing on lo sends to: the daemon captures nothing.
QUIET = "udp port 47299"
NOBODY = 65534


def daemon(folder, *extra, umask=None):
    return zp.Program([DAEMON, "-i", "lo", "-f", QUIET, "-s", os.path.join(folder, "events.sock"),
                       "-S", "ops-sw", *extra], umask=-1 if umask is None else umask)


def relay(folder, umask=None, **env):
    base = {
        "PCAP_SOCKET": os.path.join(folder, "events.sock"),
        "PCAP_RELAY_URL": "wss://127.0.0.1:%d/ingest" % zp.free_port(),
        "PCAP_RELAY_SWITCH_ID": "ops-relay",
        "PCAP_RELAY_TOKEN": rt.TOKEN,
    }
    base.update(env)
    return rt.Relay(base, umask=-1 if umask is None else umask)


def stop_within(test, prog, seconds, sig=signal.SIGTERM):
    """Sends sig and requires an exit status of 0 within seconds."""
    t0 = time.monotonic()
    prog.proc.send_signal(sig)
    try:
        status = prog.proc.wait(seconds)
    except Exception:
        prog.kill()
        raise AssertionError("no stop within %s s of %s:\n%s" % (seconds, sig, prog.stderr()))
    prog._finish()
    test.assertEqual(status, 0, prog.stderr())
    return time.monotonic() - t0


class PlantedInTheMetricsFolder(unittest.TestCase):
    """Both programs write into one folder that both accounts may write to,
    as the documented textfile set-up has it. Whatever stands at the old
    fixed temporary name or at a file's own name, neither stops working nor
    ignores SIGTERM."""

    def test_table(self):
        cases = [
            # (what, where: "tmp" = the old fixed PATH.tmp, "file" = PATH)
            ("fifo", "tmp"), ("symlink", "tmp"), ("directory", "tmp"),
            ("fifo", "file"), ("symlink", "file"), ("directory", "file"),
        ]
        for what, where in cases:
            with self.subTest(what=what, where=where):
                self.one_case(what, where)

    def one_case(self, what, where):
        folder = tempfile.mkdtemp(prefix="zel-planted-")
        self.addCleanup(shutil.rmtree, folder, True)
        target = os.path.join(folder, "elsewhere")
        with open(target, "w") as f:
            f.write("untouched")
        paths = {"daemon": os.path.join(folder, "zel_capture.prom"),
                 "relay": os.path.join(folder, "zel_relay.prom")}
        for p in paths.values():
            at = p + ".tmp" if where == "tmp" else p
            if what == "fifo":
                os.mkfifo(at)
            elif what == "symlink":
                os.symlink(target, at)
            else:
                os.mkdir(at)
        d = daemon(folder, "--stats-interval=1", "--metrics-file=" + paths["daemon"])
        self.addCleanup(lambda: d.proc.poll() is None and d.kill())
        r = relay(folder, PCAP_RELAY_STATS_SECONDS="1", PCAP_METRICS_FILE=paths["relay"])
        try:
            # Each keeps its once-a-second cadence: nothing blocked.
            for _ in range(2):
                d.wait_for(DAEMON_STATS, timeout=5)
                r.wait_for(RELAY_STATS, timeout=5)
            stop_within(self, d, 3)
            stop_within(self, r, 3)
        finally:
            for p in (d, r):
                if p.proc.poll() is None:
                    p.kill()
        with open(target) as f:
            self.assertEqual(f.read(), "untouched")
        if what == "directory" and where == "file":
            self.assertTrue(d.matching(r"^metrics: rename .*: Is a directory$"), d.stderr())
            self.assertTrue(r.matching(r"metrics_file_error .*reason=rename: Is a directory$"),
                            r.stderr())
        else:
            for p in paths.values():
                self.assertTrue(stat.S_ISREG(os.lstat(p).st_mode), os.listdir(folder))
        self.assertEqual([n for n in os.listdir(folder) if ".tmp." in n], [])


class MetricsUnderTheUnitsUmask(unittest.TestCase):
    """The units run with UMask=0007; node_exporter, another account, must
    still read both files."""

    def test_both_files_are_0644(self):
        folder = tempfile.mkdtemp(prefix="zel-umask-")
        self.addCleanup(shutil.rmtree, folder, True)
        files = {"daemon": os.path.join(folder, "zel_capture.prom"),
                 "relay": os.path.join(folder, "zel_relay.prom")}
        progs = {}
        for name, start in (
                ("daemon", lambda: daemon(folder, "--metrics-file=" + files["daemon"],
                                          umask=0o007)),
                ("relay", lambda: relay(folder, umask=0o007, PCAP_METRICS_FILE=files["relay"]))):
            progs[name] = p = start()
            self.addCleanup(lambda p=p: p.proc.poll() is None and p.kill())
        for name, path in files.items():
            with self.subTest(program=name):
                self.assertTrue(zp.wait_until(lambda: os.path.exists(path), timeout=10),
                                progs[name].stderr())
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644)
        for p in progs.values():
            self.assertEqual(p.stop(), 0)


class Sighup(unittest.TestCase):
    """SIGHUP (a closed terminal, a reload) stops both programs as SIGTERM
    does: socket file removed, last stats line, shutdown line."""

    def test_table(self):
        folder = tempfile.mkdtemp(prefix="zel-hup-")
        self.addCleanup(shutil.rmtree, folder, True)
        sock = os.path.join(folder, "events.sock")
        cases = [
            ("daemon", lambda: daemon(folder, "--stats-interval=60"),
             r"zel_packet_monitor: interface=lo", DAEMON_STATS),
            ("relay", lambda: relay(folder), r"wss_connecting$", rt.SHUTDOWN_RE),
        ]
        for name, start, ready, last in cases:
            with self.subTest(program=name):
                p = start()
                try:
                    p.wait_for(ready, timeout=10)
                    stop_within(self, p, 3, signal.SIGHUP)
                finally:
                    if p.proc.poll() is None:
                        p.kill()
                self.assertTrue(p.matching(last), p.stderr())
                self.assertFalse(os.path.exists(sock))


class ClientsGauge(unittest.TestCase):
    """The last reader leaves a link where nothing is captured: the clients
    gauge falls to 0 without waiting for a record."""

    def test_departure_seen_without_a_packet(self):
        folder = tempfile.mkdtemp(prefix="zel-gauge-")
        self.addCleanup(shutil.rmtree, folder, True)
        prom = os.path.join(folder, "zel_capture.prom")
        d = daemon(folder, "--stats-interval=1", "--metrics-file=" + prom)
        self.addCleanup(d.stop)
        d.wait_for(r"zel_packet_monitor: interface=lo")

        def clients():
            try:
                return {s.name: s.value for _, _, s in zelmetrics.samples(prom)}.get(
                    "zel_capture_clients")
            except (FileNotFoundError, ValueError):
                return None
        c = socket.socket(socket.AF_UNIX)
        c.connect(os.path.join(folder, "events.sock"))
        self.assertTrue(zp.wait_until(lambda: clients() == 1, timeout=5), d.stderr())
        c.close()
        self.assertTrue(zp.wait_until(lambda: clients() == 0, timeout=5), d.stderr())
        self.assertEqual(d.stop(), 0)
        self.assertIn(" clients=0 clients_cut=0 ", d.matching(DAEMON_STATS)[-1])


class RelayAndTheEventSocket(unittest.TestCase):
    """Why the relay cannot reach the event socket is logged once per
    reason, not once a second; a lost connection is retried at once."""

    ERROR = r"level=warning component=zel_packet_monitor_wss unix_socket_error reason=(.*) path=(.*)$"

    def test_reasons_logged_once_each(self):
        top = tempfile.mkdtemp(prefix="zel-reach-")
        self.addCleanup(shutil.rmtree, top, True)
        os.chmod(top, 0o755)
        folder = os.path.join(top, "run")
        os.mkdir(folder)
        sock = os.path.join(folder, "events.sock")
        r = relay(folder)
        self.addCleanup(lambda: r.proc.poll() is None and r.stop())
        steps = [
            # (make the situation, reason logged)
            (lambda: None, "No such file or directory"),
            (lambda: open(sock, "w").close(), "Connection refused"),
        ]
        for make, reason in steps:
            with self.subTest(reason=reason):
                make()
                m = r.wait_for(self.ERROR, timeout=5)
                self.assertEqual(m.groups(), (reason, sock))
                time.sleep(2.5)  # two more failed attempts: not logged again
                self.assertEqual(len(r.matching("unix_socket_error reason=%s " % reason)), 1,
                                 r.stderr())
        os.unlink(sock)
        source = rt.EventSource(sock)
        self.addCleanup(source.close)
        r.wait_for(r"unix_socket_connected$", timeout=5)
        self.assertEqual(r.stop(), 0)

    def test_permission_denied_is_named(self):
        # The likeliest first-hour mistake: the relay's account is not in the
        # socket's group.
        top = tempfile.mkdtemp(prefix="zel-perm-")
        self.addCleanup(shutil.rmtree, top, True)
        os.chmod(top, 0o755)
        folder = os.path.join(top, "run")
        os.mkdir(folder, 0o700)
        sock = os.path.join(folder, "events.sock")
        source = rt.EventSource(sock)
        self.addCleanup(source.close)
        r = rt.Relay({"PCAP_SOCKET": sock,
                      "PCAP_RELAY_URL": "wss://127.0.0.1:%d/ingest" % zp.free_port(),
                      "PCAP_RELAY_SWITCH_ID": "ops-relay", "PCAP_RELAY_TOKEN": rt.TOKEN},
                     user=NOBODY, group=NOBODY)
        self.addCleanup(lambda: r.proc.poll() is None and r.stop())
        m = r.wait_for(self.ERROR, timeout=5)
        self.assertEqual(m.groups(), ("Permission denied", sock))
        os.chmod(folder, 0o755)
        os.chmod(sock, 0o666)
        r.wait_for(r"unix_socket_connected$", timeout=5)

    def test_lost_connection_is_retried_at_once(self):
        folder = tempfile.mkdtemp(prefix="zel-again-")
        self.addCleanup(shutil.rmtree, folder, True)
        source = rt.EventSource(os.path.join(folder, "events.sock"))
        self.addCleanup(source.close)
        r = relay(folder)
        self.addCleanup(lambda: r.proc.poll() is None and r.stop())
        self.assertTrue(source.wait_client(1))
        for n in (2, 3):
            # As the daemon cuts a reader that fell behind: it still listens.
            t0 = time.monotonic()
            source.close_clients()
            self.assertTrue(source.wait_client(n, timeout=5))
            # The old wait was a whole second; at once is far below it.
            self.assertLess(time.monotonic() - t0, 0.6, r.stderr())
        self.assertEqual(len(r.matching(r"unix_socket_connected$")), 3)


class DaemonForOperators(unittest.TestCase):
    def test_help_lists_every_option(self):
        with open(SOURCE) as f:
            names = re.findall(r'^\s*\{"([a-z0-9-]+)", (?:no|required)_argument', f.read(), re.M)
        self.assertGreaterEqual(len(names), 15)
        p = zp.run([DAEMON, "--help"], {})
        self.assertEqual(p[2], 0)
        lines = p[0].splitlines()
        self.assertEqual(lines[0], "Usage: %s [-i interface] [-f bpf] [-s socket] "
                                   "[-S switch-id] [--no-raw]" % DAEMON)
        for name in names:
            self.assertTrue(any(re.search(r"--%s\b" % name, l) for l in lines[1:]), name)

    def test_pcap_errors_name_the_interface(self):
        folder = tempfile.mkdtemp(prefix="zel-pcap-")
        self.addCleanup(shutil.rmtree, folder, True)
        cases = [
            (["-i", "nosuch0"], "pcap: nosuch0: No such device exists\n"),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                err, _, status = zp.run([DAEMON, *args, "-s", os.path.join(folder, "s.sock")], {})
                self.assertEqual((status, err), (1, want))


if __name__ == "__main__":
    unittest.main()
