"""The relay's NATS publisher against a real three-node nats-server cluster on
loopback, fresh for each case, driven by tests/support's zel_nats_publish and
read back with zel_nats_read.

Run: ZEL_BIN=build/bin /usr/bin/python3 tests/relay/test_nats_publisher.py [Class]
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import natscluster  # noqa: E402
import zelpki  # noqa: E402
import zelproc  # noqa: E402

BIN = os.environ.get("ZEL_BIN", "")
PUBLISH = os.path.join(BIN, "zel_nats_publish")
READ = os.path.join(BIN, "zel_nats_read")
BOOT = "0123456789abcdef0123456789abcdef"
LOG_LINE = re.compile(r"^\d+ level=(info|warning|error) component=zel_packet_monitor_wss \S")


def publish_args(cluster, count, *extra, scheme="nats", switch="sw-1"):
    return [PUBLISH, "--url", cluster.urls(scheme), "--stream", "ZEL", "--switch", switch,
            "--boot", BOOT, "--count", str(count), "--create"] + list(extra)


def run_publish(argv, timeout=120):
    p = subprocess.run(argv, env=zelproc.clean_env(), capture_output=True, text=True,
                       timeout=timeout)
    counters = json.loads(p.stdout) if p.stdout.strip() else None
    return p.returncode, counters, p.stderr


def line_bytes(n, size=200):
    """The line zel_nats_publish makes for sequence number n."""
    line = '{"n":%d,"pad":"' % n
    line += chr(ord("a") + n % 26) * max(0, size - 2 - len(line))
    return line + '"}'


class NatsCase(unittest.TestCase):
    token = None
    tls = False

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        pki = zelpki.make_pki(self.tmp.name) if self.tls else None
        self.pki = pki
        self.cluster = natscluster.Cluster(self.tmp.name, token=self.token, tls=pki).start()

    def tearDown(self):
        self.cluster.stop()
        self.tmp.cleanup()

    def read(self, *extra):
        return natscluster.read_stream(READ, self.cluster.urls(), "ZEL", extra=list(extra))

    def assert_whole(self, msgs, count, switch="sw-1"):
        """Every line 1..count stored once, in order, with its identity."""
        seqs = [int(m["headers"]["Zel-Seq"]) for m in msgs]
        self.assertEqual(len(seqs), len(set(seqs)), "a line was stored twice")
        missing = sorted(set(range(1, count + 1)) - set(seqs))
        self.assertEqual(missing[:20], [], "%d lines lost" % len(missing))
        self.assertEqual(seqs, list(range(1, count + 1)), "stored out of order")
        for m in msgs[:50] + msgs[-50:]:
            n = int(m["headers"]["Zel-Seq"])
            self.assertEqual(m["headers"], {
                "Nats-Msg-Id": "%s:%s:%d" % (switch, BOOT, n),
                "Zel-Boot": BOOT, "Zel-Seq": str(n), "Zel-Switch": switch})
            self.assertEqual(m["data"], line_bytes(n))


class NatsDelivery(NatsCase):
    def test_every_line_arrives_once_in_order_with_its_identity(self):
        status, c, err = run_publish(publish_args(self.cluster, 20000, "--replicas", "3",
                                                  "--max-pending", "512"))
        self.assertEqual(status, 0, err)
        self.assertEqual((c["acknowledged"], c["failures"], c["resent"], c["unsettled"]),
                         (20000, 0, 0, 0), c)
        for line in err.splitlines():
            self.assertRegex(line, LOG_LINE)
        self.assertIn("nats_connected", err)
        # The library's threads wake the loop in batches, not once per line.
        self.assertLess(c["passes"], 20000 // 4, c)
        self.assert_whole(self.read(), 20000)

    def test_subject_is_made_safe_and_a_missing_stream_is_reported(self):
        # A switch id with a dot, a space and non-ASCII bytes: the subject
        # replaces them, the headers carry the id as given.
        switch = "pbx.example com \u00e9"
        argv = publish_args(self.cluster, 50, switch=switch)
        status, c, err = run_publish(argv)
        self.assertEqual(status, 0, err)
        msgs = self.read("--subject", "zel.sip.pbx_example_com___")
        self.assertEqual(len(msgs), 50)
        self.assertEqual(msgs[0]["headers"]["Zel-Switch"].encode("latin-1").decode(), switch)

        # Without --create the stream must exist and hold the subject.
        argv = [a for a in publish_args(self.cluster, 5) if a != "--create"]
        argv[argv.index("--stream") + 1] = "ABSENT"
        status, c, err = run_publish(argv + ["--timeout", "3"])
        self.assertEqual(status, 1, err)
        self.assertIn("level=error component=zel_packet_monitor_wss nats_stream_missing", err)
        self.assertEqual(c["acknowledged"], 0)


class NatsLeaderLoss(NatsCase):
    def test_stream_leader_killed_mid_stream_loses_nothing_and_stores_nothing_twice(self):
        count = 25000
        proc = subprocess.Popen(publish_args(self.cluster, count, "--replicas", "3",
                                             "--rate", "5000", "--timeout", "90"),
                                env=zelproc.clean_env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            leader = self.cluster.wait_stream_leader("ZEL")
            time.sleep(1.0)
            self.cluster.kill(leader)
            time.sleep(5.0)
            self.cluster.restart(leader)
            out, err = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        self.assertEqual(proc.returncode, 0, err)
        c = json.loads(out)
        self.assertEqual(c["acknowledged"], count, c)
        self.assertGreater(c["rewinds"], 0, "the kill caused no failure: %s" % c)
        self.assertRegex(err, r"nats_publish_failed reason=\S.* resend_from=\d+")
        self.assert_whole(self.read(), count)

    def test_connected_node_killed_reconnects_and_resends_in_order(self):
        count = 15000
        proc = subprocess.Popen(publish_args(self.cluster, count, "--replicas", "3",
                                             "--rate", "5000", "--timeout", "90"),
                                env=zelproc.clean_env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(1.0)
            # The publisher's node: the one with a client connection.
            def connected_node():
                for node in self.cluster.nodes:
                    try:
                        if node.monitor("/connz").get("num_connections", 0) > 0:
                            return node.name
                    except OSError:
                        pass
                return None
            name = zelproc.wait_until(connected_node, 10)
            self.assertTrue(name)
            self.cluster.kill(name)
            time.sleep(3.0)
            self.cluster.restart(name)
            out, err = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        self.assertEqual(proc.returncode, 0, err)
        c = json.loads(out)
        self.assertEqual(c["acknowledged"], count, c)
        self.assertGreaterEqual(c["reconnects"], 1, c)
        self.assertRegex(err, r"nats_disconnected reason=\S")
        self.assert_whole(self.read(), count)


class NatsAccess(NatsCase):
    token = "s3cr3t-" + "k" * 30

    def test_token_from_a_file_works_and_a_wrong_one_is_named(self):
        good = os.path.join(self.tmp.name, "token")
        with open(good, "w") as f:
            f.write(self.token + "\r\n")
        status, c, err = run_publish(publish_args(self.cluster, 100, "--token-file", good))
        self.assertEqual(status, 0, err)
        self.assertNotIn(self.token, err)
        self.assertEqual(len(natscluster.read_stream(
            READ, self.cluster.urls(), "ZEL", extra=["--token-file", good])), 100)

        bad = os.path.join(self.tmp.name, "bad")
        with open(bad, "w") as f:
            f.write("wrong-" + "w" * 30 + "\n")
        status, c, err = run_publish(publish_args(self.cluster, 10, "--token-file", bad,
                                                  "--timeout", "4"))
        self.assertEqual(status, 1, err)
        self.assertRegex(err, r"level=warning component=zel_packet_monitor_wss "
                              r"nats_disconnected reason=.*[Aa]uthorization [Vv]iolation")
        self.assertNotIn("w" * 30, err)

        # A FIFO in the token's place is refused at once, not waited on.
        fifo = os.path.join(self.tmp.name, "fifo")
        os.mkfifo(fifo)
        status, c, err = run_publish(publish_args(self.cluster, 1, "--token-file", fifo),
                                     timeout=10)
        self.assertEqual(status, 2, err)
        self.assertIn("PCAP_NATS_TOKEN_FILE must name a regular file", err)


class NatsTls(NatsCase):
    tls = True

    def test_tls_with_a_ca_works_and_an_unknown_ca_is_refused(self):
        status, c, err = run_publish(publish_args(self.cluster, 200, "--ca", self.pki["ca"],
                                                  scheme="tls"))
        self.assertEqual(status, 0, err)
        self.assertEqual(len(natscluster.read_stream(
            READ, self.cluster.urls("tls"), "ZEL", extra=["--ca", self.pki["ca"]])), 200)

        other = zelpki.make_ca(self.tmp.name, "other")
        status, c, err = run_publish(publish_args(self.cluster, 1, "--ca", other[0],
                                                  "--timeout", "4", scheme="tls"))
        self.assertEqual(status, 1, err)
        # libnats 3.4.1 keeps only its last text once it gives a server up.
        self.assertRegex(err, r"level=warning component=zel_packet_monitor_wss "
                              r"nats_disconnected reason=\S")
        # Named once per reason, not at every retry.
        reasons = re.findall(r"nats_disconnected reason=(.*)", err)
        self.assertEqual(len(reasons), len(set(reasons)), err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
