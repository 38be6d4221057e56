"""The relay in bus mode (PCAP_RELAY_MODE=nats), fed through its event
socket, against a real three-node nats-server cluster on loopback, fresh for
each case; the stream is read back with zel_nats_read.

Run: ZEL_BIN=build/bin /usr/bin/python3 tests/relay/test_nats_mode.py [Class]
"""

import os
import re
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import natscluster  # noqa: E402
import relaytest  # noqa: E402
import zelpki  # noqa: E402
import zelproc  # noqa: E402

READ = os.path.join(os.environ.get("ZEL_BIN", ""), "zel_nats_read")
SWITCH = "sw-nats"
LOG_LINE = re.compile(r"^\d+ level=(info|warning|error) component=zel_packet_monitor_wss \S")


def line(n):
    """Line n as the test's daemon writes it: varied lengths, some bytes a
    relay must pass on unchanged."""
    return '{"n":%d,"text":"%s \\u00e9 \\t"}' % (n, "x" * (n % 300))


class Feeder(threading.Thread):
    """Writes lines first..last into the event socket at rate lines/s in
    batches of about 10 ms, as the capture daemon would."""

    def __init__(self, source, first, last, rate):
        super().__init__(daemon=True)
        self.source, self.first, self.last, self.rate = source, first, last, rate

    def run(self):
        t0, n = time.monotonic(), self.first
        while n <= self.last:
            due = min(self.last, self.first + int((time.monotonic() - t0) * self.rate))
            if due >= n:
                self.source.send_lines([line(i) for i in range(n, due + 1)])
                n = due + 1
            time.sleep(0.01)


class BusCase(unittest.TestCase):
    token = None
    tls = False

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.pki = zelpki.make_pki(self.tmp.name) if self.tls else None
        self.cluster = natscluster.Cluster(self.tmp.name, token=self.token, tls=self.pki).start()
        self.sock = os.path.join(self.tmp.name, "events.sock")
        self.source = relaytest.EventSource(self.sock)
        self.metrics = os.path.join(self.tmp.name, "relay.prom")
        self.relay = None

    def tearDown(self):
        if self.relay is not None and self.relay.proc.poll() is None:
            self.relay.kill()
        self.source.close()
        self.cluster.stop()
        self.tmp.cleanup()

    def start_relay(self, scheme="nats", **over):
        env = {"PCAP_RELAY_MODE": "nats", "PCAP_NATS_URL": self.cluster.urls(scheme),
               "PCAP_NATS_STREAM": "ZEL", "PCAP_NATS_CREATE_STREAM": "true",
               "PCAP_RELAY_SWITCH_ID": SWITCH, "PCAP_SOCKET": self.sock,
               "PCAP_RELAY_STATS_SECONDS": "1", "PCAP_METRICS_FILE": self.metrics}
        env.update(over)
        self.relay = relaytest.Relay(env)
        self.assertTrue(self.source.wait_client(), self.relay.stderr())
        return self.relay

    def wait_sent(self, count, timeout=60):
        ok = zelproc.wait_until(
            lambda: relaytest.metric_values(self.metrics).get("zel_relay_sent_total", 0) >= count,
            timeout, step=0.2)
        self.assertTrue(ok, "sent %s of %d:\n%s" % (
            relaytest.metric_values(self.metrics).get("zel_relay_sent_total"), count,
            self.relay.stderr()[-3000:]))

    def read(self, scheme="nats", extra=()):
        return natscluster.read_stream(READ, self.cluster.urls(scheme), "ZEL", extra=list(extra))

    def assert_whole(self, msgs, count):
        """Lines 1..count stored once each, in order, byte for byte, each with
        its identity; one boot id for the run."""
        seqs = [int(m["headers"]["Zel-Seq"]) for m in msgs]
        self.assertEqual(len(seqs), len(set(seqs)), "a line was stored twice")
        missing = sorted(set(range(1, count + 1)) - set(seqs))
        self.assertEqual(missing[:20], [], "%d lines lost" % len(missing))
        self.assertEqual(seqs, list(range(1, count + 1)), "stored out of order")
        boots = {m["headers"]["Zel-Boot"] for m in msgs}
        self.assertEqual(len(boots), 1)
        boot = boots.pop()
        self.assertRegex(boot, r"^[0-9a-f]{32}$")
        for m in msgs:
            n = int(m["headers"]["Zel-Seq"])
            self.assertEqual(m["headers"], {"Nats-Msg-Id": "%s:%s:%d" % (SWITCH, boot, n),
                                            "Zel-Boot": boot, "Zel-Seq": str(n),
                                            "Zel-Switch": SWITCH})
            self.assertEqual(m["data"].encode("latin-1").decode(), line(n))


class BusDelivery(BusCase):
    def test_every_line_arrives_once_in_order_with_its_identity(self):
        count = 20000
        # The log holds the whole burst: the stream takes lines more slowly
        # than the test writes them.
        relay = self.start_relay(PCAP_NATS_REPLICAS="3", PCAP_RELAY_QUEUE_MAX_EVENTS="50000")
        for first in range(1, count + 1, 1000):
            self.source.send_lines([line(n) for n in range(first, first + 1000)])
        self.wait_sent(count)
        relay.wait_for(r"stats sent=%d dropped=0 queued=0 connected=true read=%d "
                       r"released_unread=0 acknowledged=%d resent=0 pending=0 reconnects=0$"
                       % (count, count, count), 5)
        self.assertEqual(relay.stop(), 0)
        self.assertEqual(relaytest.shutdown_counters(relay), (count, 0, 0))
        for l in relay.stderr().splitlines():
            self.assertRegex(l, LOG_LINE)
        self.assertEqual(len(relay.matching(r"nats_connected$")), 1)
        m = relaytest.metric_values(self.metrics)
        self.assertEqual((m["zel_relay_sent_total"], m["zel_relay_acknowledged_total"],
                          m["zel_relay_lines_read_total"], m["zel_relay_pending"],
                          m["zel_relay_resent_total"], m["zel_relay_dropped_total"]),
                         (count, count, count, 0, 0, 0))
        self.assert_whole(self.read(), count)

    def test_a_trickle_goes_out_and_lines_held_for_a_batch_go_out_at_stop(self):
        # Fewer lines than a batch, written one receive at a time: the hold
        # timer, not a full batch, must publish them, with the reader's wakes
        # held back meanwhile. Then a few more and a stop at once, inside the
        # hold: lines held for a batch are published at stop, not left queued.
        relay = self.start_relay()
        self.source.send_lines([line(1)])
        self.wait_sent(1, timeout=20)
        for n in range(2, 41):
            self.source.send_lines([line(n)])
            time.sleep(0.002)
        self.wait_sent(40)
        self.source.send_lines([line(n) for n in range(41, 46)])
        time.sleep(0.001)
        self.assertEqual(relay.stop(), 0)
        sent, dropped, queued = relaytest.shutdown_counters(relay)
        read = int(relaytest.metric_values(self.metrics)["zel_relay_lines_read_total"])
        self.assertEqual((sent, dropped, queued), (read, 0, 0), relay.stderr()[-2000:])
        self.assertGreaterEqual(read, 40)
        self.assert_whole(self.read(), read)

    def test_lines_the_log_could_not_hold_are_counted_once(self):
        # A burst far above what the stream takes, into a small log: every
        # line read is stored, or counted as dropped or unacknowledged, and
        # never both (a line released while its acknowledgement was on its
        # way was once counted dropped and stored).
        count = 30000
        relay = self.start_relay(PCAP_RELAY_QUEUE_MAX_EVENTS="2000", PCAP_NATS_MAX_PENDING="1024")
        relay.wait_for(r"nats_connected$", 15)
        self.source.send_lines([line(n) for n in range(1, count + 1)])
        self.assertTrue(self.source.wait_read(30))
        time.sleep(3)
        self.assertEqual(relay.stop(), 0)
        sent, dropped, queued = relaytest.shutdown_counters(relay)
        m = relaytest.metric_values(self.metrics)
        stored = {int(x["headers"]["Zel-Seq"]) for x in self.read()}
        self.assertGreater(dropped, 0)
        self.assertEqual(len(stored), sent)
        self.assertEqual(sent + dropped + queued + int(m["zel_relay_unacknowledged_total"]), count,
                         relay.stderr()[-2000:])

    def test_a_missing_stream_is_reported_and_lines_wait_for_it(self):
        # Without PCAP_NATS_CREATE_STREAM the stream must exist; the lines
        # read meanwhile are held, not lost, and the stop reports them queued.
        relay = self.start_relay(PCAP_NATS_CREATE_STREAM="false")
        relay.wait_for(r"level=error component=zel_packet_monitor_wss nats_stream_missing$", 15)
        self.source.send_lines([line(n) for n in range(1, 51)])
        self.assertTrue(self.source.wait_read())
        time.sleep(0.5)
        self.assertEqual(relay.stop(), 0)
        self.assertEqual(relaytest.shutdown_counters(relay), (0, 0, 50))


class BusLeaderLoss(BusCase):
    def test_stream_leader_killed_mid_stream_loses_nothing_and_stores_nothing_twice(self):
        count = 30000
        relay = self.start_relay(PCAP_NATS_REPLICAS="3", PCAP_RELAY_QUEUE_MAX_EVENTS="100000")
        self.cluster.wait_stream_leader("ZEL")
        feeder = Feeder(self.source, 1, count, 5000)
        feeder.start()
        time.sleep(1.5)
        # Asked again just before: a new stream's leader may move once.
        leader = self.cluster.wait_stream_leader("ZEL")
        self.cluster.kill(leader)
        time.sleep(5.0)
        self.cluster.restart(leader)
        feeder.join(30)
        self.wait_sent(count, timeout=120)
        self.assertEqual(relay.stop(), 0)
        self.assertEqual(relaytest.shutdown_counters(relay), (count, 0, 0))
        # Which the relay sees depends on where it was connected and how
        # soon a new leader answered: publishes that failed (and were sent
        # again), or its own connection lost and paused. Either way it must
        # have noticed, and nothing may be lost or stored twice.
        failed = relay.matching(r"nats_publish_failed reason=\S.* resend_from=\d+$")
        lost = relay.matching(r"nats_disconnected reason=\S")
        self.assertTrue(failed or lost, relay.stderr()[-3000:])
        if failed:
            self.assertGreater(relaytest.metric_values(self.metrics)["zel_relay_resent_total"], 0)
        self.assert_whole(self.read(), count)


class BusAccess(BusCase):
    token = "s3cr3t-" + "k" * 30

    def test_token_from_a_file_works_and_a_wrong_one_is_named(self):
        good = os.path.join(self.tmp.name, "token")
        with open(good, "w") as f:
            f.write(self.token + "\n")
        relay = self.start_relay(PCAP_NATS_TOKEN_FILE=good)
        self.source.send_lines([line(n) for n in range(1, 101)])
        self.wait_sent(100)
        self.assertEqual(relay.stop(), 0)
        self.assertNotIn("k" * 30, relay.stderr())
        self.assertEqual(len(self.read(extra=["--token-file", good])), 100)

        bad = os.path.join(self.tmp.name, "bad")
        with open(bad, "w") as f:
            f.write("wrong-" + "w" * 30 + "\n")
        self.source.close_clients()
        relay = self.start_relay(PCAP_NATS_TOKEN_FILE=bad)
        relay.wait_for(r"level=warning component=zel_packet_monitor_wss "
                       r"nats_disconnected reason=.*[Aa]uthorization [Vv]iolation", 15)
        self.assertEqual(relay.stop(), 0)
        self.assertNotIn("w" * 30, relay.stderr())


class BusTls(BusCase):
    tls = True

    def test_tls_with_a_ca_and_a_client_certificate(self):
        relay = self.start_relay(scheme="tls", PCAP_NATS_CA_FILE=self.pki["ca"],
                                 PCAP_NATS_CERT_FILE=self.pki["client_cert"],
                                 PCAP_NATS_KEY_FILE=self.pki["client_key"])
        self.source.send_lines([line(n) for n in range(1, 201)])
        self.wait_sent(200)
        self.assertEqual(relay.stop(), 0)
        self.assert_whole(self.read("tls", ["--ca", self.pki["ca"]]), 200)


if __name__ == "__main__":
    unittest.main(verbosity=2)
