#!/usr/bin/python3
"""zel_tail as an operator runs it, against a python3-websockets stand-in
for the relay's sequenced endpoint (seq_server.py): what it prints, the
from= it resumes with after a dropped connection and after a restart, the
gap lines on standard error and exit 3 with --fail-on-gap, hostile
messages, usage and set-up errors, and a prompt stop on a signal."""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "lib"), here]
import seq_server as ss  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

BIN = os.environ["ZEL_BIN"]
TAIL = os.path.join(BIN, "zel_tail")
BOOT = "0123456789abcdef0123456789abcdef"
BOOT2 = "fedcba9876543210fedcba9876543210"
ROW = re.compile(r"^\d\d:\d\d:\d\d\.\d{3}  127\.0\.0\.1:5062 \u2192 127\.0\.0\.1:5060  "
                 r"INVITE     call-(\d+)@example +1001 \u2192 1002$")


class Tail(zp.Program):
    """zel_tail in the background; stdout lines collected like stderr's."""

    name = "zel_tail"

    def __init__(self, *args):
        super().__init__([TAIL, *args], env={"TZ": "UTC"}, stdout=subprocess.PIPE)
        self.out = []
        self._out_thread = threading.Thread(target=self._read_out, daemon=True)
        self._out_thread.start()

    def _read_out(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.out.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._cond.notify_all()

    def wait_out(self, n, timeout=10):
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.out) >= n, timeout):
                raise AssertionError("%d stdout lines, waited for %d:\n%s\nstderr:\n%s"
                                     % (len(self.out), n, "\n".join(self.out), "".join(self._raw)))
        return self.out[:n]

    def calls(self):
        return [int(ROW.match(line).group(1)) for line in self.out]

    def stop_timed(self, sig=signal.SIGTERM):
        """Sends sig; returns (exit status, seconds it took)."""
        t0 = time.monotonic()
        self.proc.send_signal(sig)
        status = self.proc.wait(10)
        took = time.monotonic() - t0
        self._out_thread.join(5)
        self._finish()
        return status, took


def events(boot, first, last):
    return [ss.event(n, boot, ss.record(n)) for n in range(first, last + 1)]


def read(path):
    with open(path) as f:
        return f.read()


class ZelTail(zelpki.PkiTestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zel-tail-", dir=self.tmp.name)
        self.state = os.path.join(self.dir, "state")
        self.server = ss.SeqServer(self.pki)
        self.addCleanup(self.server.stop)

    def tail(self, *extra):
        t = Tail("--ca", self.pki["ca"], *extra, self.server.url)
        self.addCleanup(lambda: t.proc.poll() is None and t.kill())
        return t

    def test_resumes_after_drop_reports_gaps_and_stops_on_signal(self):
        t = self.tail("--state", self.state)
        ws = self.server.wait_connections(1)
        self.assertEqual(self.server.paths[0], "/events")  # no position yet: new events only
        self.assertNotIn("Origin", self.server.headers[0])
        self.assertEqual(ws.subprotocol, ss.PROTOCOL)
        self.server.send(ws, *events(BOOT, 1, 3))
        t.wait_out(3)
        self.server.drop(ws)
        ws = self.server.wait_connections(2)
        self.assertEqual(self.server.paths[1], "/events?from=%s:3" % BOOT)
        t.wait_for(r"^zel_tail: disconnected from wss://127\.0\.0\.1:\d+/events: .*; retrying in")
        self.assertEqual(read(self.state), BOOT + ":3\n")  # saved at the drop

        self.server.send(ws, ss.gap(BOOT, 4, 9, "expired"), *events(BOOT, 10, 11))
        t.wait_out(5)
        t.wait_for(r"^zel_tail: gap boot=%s from=4 to=9 reason=expired$" % BOOT, start=0)
        self.server.close(ws, 1013, "Slow consumer; events lost")
        ws = self.server.wait_connections(3)
        self.assertEqual(self.server.paths[2], "/events?from=%s:11" % BOOT)
        t.wait_for(r"closed by the server: Slow consumer; events lost; retrying", start=0)

        # The relay restarted: the old run's rest is gone, the new run goes on.
        self.server.send(ws, ss.gap(BOOT, 12, None, "restart"), *events(BOOT2, 1, 2))
        t.wait_out(7)
        t.wait_for(r"^zel_tail: gap boot=%s from=12 to=null reason=restart$" % BOOT, start=0)
        self.assertEqual(t.calls(), [1, 2, 3, 10, 11, 1, 2])
        status, took = t.stop_timed()
        self.assertEqual(status, 0, t.stderr())
        self.assertLess(took, 2.0)
        self.assertEqual(read(self.state), BOOT2 + ":2\n")
        self.assertEqual([n for n in os.listdir(self.dir)], ["state"])  # no temporary left

    def test_restart_resumes_from_the_state_file_and_skips_repeats(self):
        t = self.tail("--state", self.state, "--json")
        ws = self.server.wait_connections(1)
        self.server.send(ws, *events(BOOT, 5, 6))
        t.wait_out(2)
        self.assertEqual(t.stop_timed(signal.SIGINT)[0], 0)
        self.assertEqual(read(self.state), BOOT + ":6\n")

        t = self.tail("--state", self.state, "--json")
        ws = self.server.wait_connections(2)
        self.assertEqual(self.server.paths[1], "/events?from=%s:6" % BOOT)
        raw = ss.event(8, BOOT, "a line that was no object \u00e9")
        self.server.send(ws, *events(BOOT, 6, 7), raw)
        lines = t.wait_out(2)
        # --json: the event exactly as sent, the repeat of 6 skipped.
        self.assertEqual(lines, [json.dumps(ss.record(7), separators=(",", ":")),
                                 json.dumps("a line that was no object \u00e9")])
        self.assertEqual(t.stop_timed()[0], 0)
        self.assertEqual(read(self.state), BOOT + ":8\n")

    def test_fail_on_gap_exits_3_and_keeps_the_position_before_it(self):
        for name, messages, want in (
                ("notice", [ss.gap(BOOT, 2, 4, "expired")], "from=2 to=4 reason=expired"),
                ("jump without notice", events(BOOT, 5, 5), "from=2 to=4 reason=unannounced")):
            with self.subTest(name):
                if os.path.exists(self.state):
                    os.unlink(self.state)
                t = self.tail("--state", self.state, "--fail-on-gap")
                ws = self.server.wait_connections(len(self.server.paths) + 1)
                self.server.send(ws, *events(BOOT, 1, 1), *messages)
                self.assertEqual(t.wait_exit(10), 3, t.stderr())
                self.assertEqual(t.calls(), [1])
                self.assertRegex(t.stderr(), r"zel_tail: gap boot=%s %s\n" % (BOOT, want))
                self.assertEqual(read(self.state), BOOT + ":1\n")

    def test_hostile_messages_end_the_connection_never_the_program(self):
        deep = "[" * 5000 + "]" * 5000
        cases = (
            ("not JSON", "hello", "not a well-formed JSON object"),
            ("binary", b"\x00\x01", "binary message"),
            ("overlong", "x" * (6 * 262144 + 2048), "message too long"),
            ("deep nesting", '{"seq":3,"boot":"%s","event":{"a":%s}}' % (BOOT, deep),
             "not a well-formed JSON object"),
            ("event on two lines", '{"seq":3,"boot":"%s","event":{"a":\n1}}' % BOOT,
             "event is not a one-line JSON object or string"),
            ("seq zero", '{"seq":0,"boot":"%s","event":{}}' % BOOT, "seq is not a positive integer"),
            ("bad gap", '{"gap":{"boot":"%s","from":4,"to":2,"reason":"expired"}}' % BOOT,
             "expired gap needs to >= from"),
        )
        t = self.tail()
        ws = self.server.wait_connections(1)
        self.server.send(ws, *events(BOOT, 1, 2))
        t.wait_out(2)
        last = 2
        for i, (name, message, why) in enumerate(cases):
            with self.subTest(name):
                if isinstance(message, bytes):
                    self.server.send_bytes(ws, message)
                else:
                    self.server.send(ws, message)
                ws = self.server.wait_connections(i + 2)
                t.wait_for(r"refused a message from the server: %s; retrying" % re.escape(why))
                self.assertEqual(self.server.paths[-1], "/events?from=%s:%d" % (BOOT, last))
                self.assertIsNone(t.proc.poll())
                # An event on the new connection: it was a good one, so the
                # backoff starts over for the next case.
                last += 1
                self.server.send(ws, *events(BOOT, last, last))
                t.wait_out(last)
        self.assertEqual(t.calls(), list(range(1, last + 1)))
        self.assertEqual(t.stop_timed()[0], 0)

    def test_a_server_without_the_subprotocol_is_refused_and_retried(self):
        plain = ss.SeqServer(self.pki, subprotocols=())
        self.addCleanup(plain.stop)
        t = Tail("--ca", self.pki["ca"], plain.url)
        self.addCleanup(lambda: t.proc.poll() is None and t.kill())
        t.wait_for(r"^zel_tail: cannot connect to wss://127\.0\.0\.1:\d+/events: the server did "
                   r"not accept the subprotocol zel-pcap-relay\.seq")
        plain.wait_connections(2, timeout=10)  # retried after the backoff
        self.assertEqual(t.stop_timed()[0], 0)

    def test_signal_while_waiting_to_reconnect_stops_within_two_seconds(self):
        t = self.tail()
        self.server.wait_connections(1)
        self.server.stop()
        t.wait_for(r"retrying in")
        t.wait_for(r"retrying in")  # a failed attempt, then the wait for the next
        status, took = t.stop_timed()
        self.assertEqual(status, 0)
        self.assertLess(took, 2.0)

    def test_usage_and_setup_errors(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        url = self.server.url
        cases = (
            ([], 2, "zel_tail: no URL given\nusage: zel_tail "),
            ([url, url], 2, "zel_tail: more than one URL\n"),
            (["--bogus", url], 2, "zel_tail: unknown option or missing argument: --bogus\n"),
            (["--cert", self.pki["client_cert"], url], 2, "zel_tail: --cert and --key go together\n"),
            (["http://x/events"], 2, "zel_tail: URL must begin with wss://, nats:// or tls://\n"),
            (["wss://x:99999/events"], 2, "zel_tail: URL port must be a number from 1 to 65535\n"),
            (["--state", self.dir, url], 1,
             "zel_tail: state file %s: is a directory; give the path of a file in it\n" % self.dir),
            (["--state", fifo, url], 1,
             "zel_tail: state file %s: is a FIFO; give the path of a regular file\n" % fifo),
            (["--state", "/nonexistent/dir/state", url], 1,
             "zel_tail: state file /nonexistent/dir/state: cannot create a file beside it: "
             "No such file or directory\n"),
            (["--ca", "/nonexistent.pem", url], 1,
             "zel_tail: --ca /nonexistent.pem: No such file or directory\n"),
            (["--ca", fifo, url], 1, "zel_tail: --ca %s: not a regular file\n" % fifo),
        )
        for args, status, message in cases:
            with self.subTest(args=args):
                err, out, rc = zp.run([TAIL, *args], {}, timeout=10)
                self.assertEqual(rc, status, err)
                self.assertTrue(err.startswith(message), err)
                self.assertEqual(out, "")
        err, out, rc = zp.run([TAIL, "--help"], {})
        self.assertEqual((rc, err), (0, ""))
        self.assertTrue(out.startswith("usage: zel_tail [--ca FILE]"))

    def test_client_certificate_is_presented(self):
        t = self.tail("--cert", self.pki["client_cert"], "--key", self.pki["client_key"])
        ws = self.server.wait_connections(1)
        self.server.send(ws, *events(BOOT, 1, 1))
        t.wait_out(1)
        self.assertEqual(t.stop_timed()[0], 0)


if __name__ == "__main__":
    unittest.main()
