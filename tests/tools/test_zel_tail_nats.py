#!/usr/bin/python3
"""zel_tail reading a NATS JetStream stream through a durable consumer, on a
real three-node nats-server cluster on loopback, fresh for each case. Lines
go in with tests/support's zel_nats_publish (the relay's own publisher, with
the four headers); what zel_tail prints, its gap lines, exit statuses and
its resumption after a stop are what is checked.

Run: ZEL_BIN=build/bin /usr/bin/python3 tests/tools/test_zel_tail_nats.py [Class]
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "lib")]
import natscluster  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

BIN = os.environ["ZEL_BIN"]
TAIL = os.path.join(BIN, "zel_tail")
PUBLISH = os.path.join(BIN, "zel_nats_publish")
BOOT = "0123456789abcdef0123456789abcdef"
BOOT2 = "fedcba9876543210fedcba9876543210"
GAP = r"^zel_tail: gap boot=%s from=%d to=%d reason=unannounced$"


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

    def wait_out(self, n, timeout=20):
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.out) >= n, timeout):
                raise AssertionError("%d stdout lines, waited for %d; stderr:\n%s"
                                     % (len(self.out), n, "".join(self._raw)))

    def numbers(self):
        """The line numbers zel_nats_publish put in the events printed."""
        with self._cond:
            return [json.loads(line)["n"] for line in self.out]

    def stop_timed(self, sig=signal.SIGTERM):
        t0 = time.monotonic()
        self.proc.send_signal(sig)
        status = self.proc.wait(10)
        took = time.monotonic() - t0
        self._out_thread.join(5)
        self._finish()
        return status, took


class NatsTailCase(unittest.TestCase):
    token = None
    tls = False

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.pki = zelpki.make_pki(self.tmp.name) if self.tls else None
        self.cluster = natscluster.Cluster(self.tmp.name, token=self.token,
                                           tls=self.pki).start()
        self.addCleanup(self.tmp.cleanup)
        self.addCleanup(self.cluster.stop)

    def publish(self, first, count, boot=BOOT, switch="sw-1", *extra):
        """Lines first.. of one run; every switch on one subject, so that
        runs interleave in the stream as a fleet's do."""
        argv = [PUBLISH, "--url", self.cluster.urls("tls" if self.tls else "nats"),
                "--stream", "ZEL", "--switch", switch, "--boot", boot,
                "--first", str(first), "--count", str(count), "--create",
                "--replicas", "3", "--subject", "zel.sip.fleet"] + list(extra)
        p = subprocess.run(argv, env=zp.clean_env(), capture_output=True, text=True,
                           timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)

    def tail(self, *args, url=None):
        t = Tail(*args, url or self.cluster.urls())
        self.addCleanup(lambda: t.proc.poll() is None and t.kill())
        return t


class TailNatsResume(NatsTailCase):
    def test_stopped_mid_way_resumes_without_repeats_or_misses(self):
        self.publish(1, 3000)
        t = self.tail("--json", "--stream", "ZEL", "--durable", "reader")
        t.wait_for(r"^zel_tail: connected to nats://127\.0\.0\.1:\d+ "
                   r"\(stream ZEL, durable reader\)$")
        t.wait_out(700)
        status, took = t.stop_timed(signal.SIGINT)
        self.assertEqual(status, 0, t.stderr())
        self.assertLess(took, 2.0)
        first = t.numbers()
        self.assertLess(len(first), 3000, "not stopped mid-way")

        self.publish(3001, 500)
        t = self.tail("--json", "--stream", "ZEL", "--durable", "reader")
        t.wait_out(3500 - len(first))
        time.sleep(0.5)  # anything repeated would have come by now
        status, took = t.stop_timed()
        self.assertEqual(status, 0, t.stderr())
        self.assertLess(took, 2.0)
        second = t.numbers()
        self.assertEqual(first + second, list(range(1, 3501)))
        self.assertEqual(t.matching("gap"), [])

    def test_table_lines_and_runs_of_two_switches_checked_apart(self):
        # zel_nats_publish's events are not SIP records: the table says so,
        # as it does for such an event from the WebSocket source.
        self.publish(1, 5, BOOT, "sw-1")
        self.publish(1, 5, BOOT2, "sw-2")
        self.publish(8, 2, BOOT2, "sw-2")  # 6 and 7 of sw-2's run never came
        t = self.tail("--stream", "ZEL", "--durable", "table")
        t.wait_out(12)
        t.wait_for(GAP % (BOOT2, 6, 7), start=0)
        self.assertEqual(len(t.matching("gap")), 1, t.stderr())
        self.assertTrue(all(l.startswith("unreadable event (no integer timestamp_ms): {\"n\":")
                            for l in t.out), t.out)
        self.assertEqual(t.stop(), 0)


class TailNatsGap(NatsTailCase):
    def test_seq_jump_reported_and_fail_on_gap_holds_the_position(self):
        self.publish(1, 20)
        self.publish(31, 10)  # the same run: 21-30 never reached the stream
        t = self.tail("--json", "--stream", "ZEL", "--durable", "watch")
        t.wait_out(30)
        t.wait_for(GAP % (BOOT, 21, 30), start=0)
        self.assertEqual(t.numbers(), list(range(1, 21)) + list(range(31, 41)))
        self.assertEqual(t.stop(), 0)

        strict = self.tail("--json", "--fail-on-gap", "--stream", "ZEL", "--durable", "strict")
        self.assertEqual(strict.wait_exit(20), 3, strict.stderr())
        self.assertEqual(strict.numbers(), list(range(1, 21)))
        self.assertEqual(strict.matching("gap"),
                         ["zel_tail: gap boot=%s from=21 to=30 reason=unannounced" % BOOT],
                         strict.stderr())
        # The held-back event was not acknowledged: a second run meets the
        # same gap at once, seeing the run's last event from the server.
        again = self.tail("--json", "--fail-on-gap", "--stream", "ZEL", "--durable", "strict")
        self.assertEqual(again.wait_exit(20), 3, again.stderr())
        self.assertEqual(again.numbers(), [])
        again.wait_for(GAP % (BOOT, 21, 30), start=0)


class TailNatsAccess(NatsTailCase):
    token = "s3cret-token"

    def write(self, name, text):
        path = os.path.join(self.tmp.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_token_file_reads_and_a_wrong_token_is_reported(self):
        p = subprocess.run([PUBLISH, "--url", self.cluster.urls(), "--stream", "ZEL",
                            "--switch", "sw-1", "--boot", BOOT, "--count", "10", "--create",
                            "--token-file", self.write("pub-token", self.token + "\n")],
                           env=zp.clean_env(), capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        good = self.tail("--json", "--stream", "ZEL", "--durable", "d",
                         "--token-file", self.write("token", self.token + "\n"))
        good.wait_out(10)
        self.assertEqual(good.numbers(), list(range(1, 11)))
        self.assertEqual(good.stop(), 0)

        wrong = self.tail("--json", "--stream", "ZEL", "--durable", "d",
                          "--token-file", self.write("wrong", "not-the-token\n"))
        wrong.wait_for(r"^zel_tail: cannot connect to nats://127\.0\.0\.1:\d+,.*: .*"
                       r"[Aa]uthorization [Vv]iolation.*\(check --token-file or --creds\)")
        status, took = wrong.stop_timed()
        self.assertEqual(status, 0)
        self.assertLess(took, 2.0)
        self.assertEqual(wrong.out, [])
        self.assertNotIn("not-the-token", wrong.stderr())

    def test_usage_and_file_errors(self):
        urls = self.cluster.urls()
        cases = [
            (["--stream", "ZEL", urls], 2, "a nats:// or tls:// URL needs --stream and --durable"),
            (["--stream", "Z.E", "--durable", "d", urls], 2, "--stream must be"),
            (["--stream", "ZEL", "--durable", "d>", urls], 2, "--durable must be"),
            (["--stream", "ZEL", "--durable", "d", "--ca", "/etc/hostname", urls], 2,
             "--ca, --cert and --key need tls:// URLs"),
            (["--stream", "ZEL", "--durable", "d", "--token-file", "/etc/hostname",
              "--creds", "/etc/hostname", urls], 2, "--token-file and --creds do not go together"),
            (["--stream", "ZEL", "wss://127.0.0.1/events"], 2,
             "--stream, --durable, --token-file and --creds go with a nats:// or tls:// URL"),
            (["--stream", "ZEL", "--durable", "d", "nats://a,http://b"], 2,
             "each NATS server URL must begin with nats:// or tls://"),
            (["--stream", "ZEL", "--durable", "d", "--token-file", self.tmp.name, urls], 1,
             "--token-file %s: not a regular file" % self.tmp.name),
            (["--stream", "ZEL", "--durable", "d", "--token-file", self.write("empty", "\n"),
              urls], 1, "the token must be one line of 1 to 4,095 printable bytes"),
        ]
        for args, want_status, want in cases:
            p = subprocess.run([TAIL] + args, env=zp.clean_env(), capture_output=True,
                               text=True, timeout=10)
            self.assertEqual(p.returncode, want_status, (args, p.stderr))
            self.assertIn(want, p.stderr, args)


class TailNatsTls(NatsTailCase):
    tls = True

    def test_reads_over_tls_with_the_ca(self):
        self.publish(1, 10, BOOT, "sw-1", "--ca", self.pki["ca"])
        t = self.tail("--json", "--ca", self.pki["ca"], "--stream", "ZEL", "--durable", "d",
                      url=self.cluster.urls("tls"))
        t.wait_out(10)
        self.assertEqual(t.numbers(), list(range(1, 11)))
        t.wait_for(r"^zel_tail: connected to tls://127\.0\.0\.1:\d+ ", start=0)
        self.assertEqual(t.stop(), 0)


if __name__ == "__main__":
    unittest.main()
