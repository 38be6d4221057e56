"""zel_relay_bench against a real relay, with feeds too small to lose a line.

Every run feeds fewer lines than any queue of the relay can hold, so nothing
may be dropped whatever the machine's load: the harness must report every line
delivered whole and in order on every connection, and the relay's own shutdown
counters must agree with it. No figure of speed is asserted.
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "lib"))
import relaytest  # noqa: E402
import zelpki  # noqa: E402
import zelproc  # noqa: E402

BIN = os.environ.get("ZEL_BIN", "")
BENCH = os.path.join(BIN, "zel_relay_bench")
RELAY = os.path.join(BIN, "zel_packet_monitor_wss")
DAEMON = os.path.join(BIN, "zel_packet_monitor")
LINES = 3000


def result_fields(stdout):
    """The key=value pairs of the harness's "result" line."""
    for line in stdout.splitlines():
        if line.startswith("result "):
            return dict(kv.split("=", 1) for kv in line.split()[1:])
    raise AssertionError("no result line in:\n" + stdout)


class BenchRun(zelpki.PkiTestCase):
    def run_case(self, mode, subscribers=1, token=relaytest.TOKEN,
                 harness_token=relaytest.TOKEN, extra=(), lines=LINES,
                 rate=20000, default_queue=False, pipeline=False):
        """Starts a relay, runs the harness to the end; returns (harness
        exit status, stdout, stderr, relay exit status). Rate 0 feeds as
        fast as the relay reads. With pipeline, the harness sends datagrams
        to a capture daemon on lo that the relay reads (server mode)."""
        work = tempfile.mkdtemp(dir=self.tmp.name)
        sock = os.path.join(work, "events.sock")
        log = os.path.join(work, "relay.log")
        port = zelproc.free_port()
        env = zelproc.clean_env()
        env["PCAP_SOCKET"] = sock
        args = [BENCH, "--socket", sock, "--mode", mode, "--port", str(port),
                "--lines", str(lines), "--rate", str(rate), "--seconds", "30"]
        if pipeline:
            sip_port = zelproc.free_port()
            args[1:3] = ["--udp-feed", str(sip_port)]
            daemon = subprocess.Popen(
                [DAEMON, "-i", "lo", "-f", "udp dst port %d" % sip_port,
                 "-s", sock, "-S", "zel-bench"], stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            self.addCleanup(daemon.stderr.close)
            self.addCleanup(daemon.wait)
            self.addCleanup(daemon.terminate)
            self.assertIn("interface=lo", daemon.stderr.readline())
        if mode == "server":
            env.update({
                "PCAP_RELAY_MODE": "wss-server", "PCAP_WSS_ENABLED": "true",
                "PCAP_WSS_HOST": "127.0.0.1", "PCAP_WSS_PORT": str(port),
                "PCAP_WSS_ALLOWED_IPS": "127.0.0.1",
                "PCAP_WSS_CERT_FILE": self.pki["server_cert"],
                "PCAP_WSS_KEY_FILE": self.pki["server_key"]})
            if not default_queue:
                # Room for the whole feed, so no subscriber can be cut off.
                env["PCAP_WSS_QUEUE_EVENTS"] = str(lines)
            args += ["--subscribers", str(subscribers), "--ca", self.pki["ca"]]
        else:
            env.update({
                "PCAP_RELAY_MODE": "wss-client",
                "PCAP_RELAY_URL": "wss://127.0.0.1:%d/ingest" % port,
                "PCAP_RELAY_SWITCH_ID": "sw-bench", "PCAP_RELAY_TOKEN": token,
                "PCAP_RELAY_CA_FILE": self.pki["ca"],
                "PCAP_RELAY_RECONNECT_MAX_SECONDS": "1"})
            args += ["--cert", self.pki["server_cert"],
                     "--key", self.pki["server_key"],
                     "--token", harness_token, "--switch-id", "sw-bench"]
        args += list(extra)
        with open(log, "wb") as err:
            relay = subprocess.Popen([RELAY, "--config="], env=env,
                                     stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=err)
        try:
            if mode == "server":
                self.wait_listening(log, relay)
            if pipeline:
                self.wait_listening(log, relay, "unix_socket_connected")
            bench = subprocess.run(
                args + ["--relay-pid", str(relay.pid), "--relay-log", log],
                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                timeout=120, env=env)
        finally:
            if relay.poll() is None:
                relay.terminate()
            relay_status = relay.wait(30)
        with open(log) as f:
            self.relay_log = f.read()
        return bench.returncode, bench.stdout, bench.stderr, relay_status

    @staticmethod
    def wait_listening(log, relay, event="wss_listener_started"):
        """Subscribers can connect once the relay has logged its listener
        (or the feed can start once it has connected to the daemon)."""
        def listening():
            with open(log) as f:
                return event in f.read()
        if not zelproc.wait_until(
                lambda: listening() or relay.poll() is not None, 10):
            raise AssertionError("relay did not start listening")
        if not listening():
            with open(log) as f:
                raise AssertionError("relay exited:\n" + f.read())

    def test_every_line_arrives_and_counters_agree(self):
        cases = [
            # mode, subscribers, messages the relay writes in all
            ("server", 1, LINES),
            ("server", 3, 3 * LINES),
            ("client", 1, LINES),
        ]
        for mode, subs, sent in cases:
            with self.subTest(mode=mode, subscribers=subs):
                status, out, err, relay_status = self.run_case(mode, subs)
                self.assertEqual(status, 0, out + err + self.relay_log)
                self.assertEqual(relay_status, 0, self.relay_log)
                got = result_fields(out)
                want = {
                    "mode": mode, "conns": str(subs), "fed": str(LINES),
                    "delivered": str(sent), "lost": "0", "corrupt": "0",
                    "closed": "0", "relay_sent": str(sent),
                    "relay_dropped": "0", "relay_queued": "0"}
                self.assertEqual({k: got.get(k) for k in want}, want, out)
                # One row per connection, each with the whole feed.
                rows = [l.split() for l in out.splitlines()
                        if l.split() and l.split()[0].isdigit()]
                self.assertEqual(len(rows), subs, out)
                for row in rows:
                    self.assertEqual(row[1:6], [str(LINES), "0", "0", "0", "0"],
                                     out)

    def test_burst_reaches_two_subscribers_with_the_default_queue(self):
        # 10,000 lines as fast as the relay reads them fit the main queue,
        # so two subscribers that read as fast as they can must get all of
        # them, in order, without being cut off by a 256-line queue.
        burst = 10000
        status, out, err, relay_status = self.run_case(
            "server", 2, lines=burst, rate=0, default_queue=True)
        self.assertEqual(status, 0, out + err + self.relay_log)
        got = result_fields(out)
        want = {"fed": str(burst), "delivered": str(2 * burst), "lost": "0",
                "corrupt": "0", "closed": "0", "relay_dropped": "0"}
        self.assertEqual({k: got.get(k) for k in want}, want, out)
        self.assertNotIn("wss_slow_consumer_disconnected", self.relay_log)

    def test_whole_pipeline_checks_the_daemons_records(self):
        # The harness's datagrams through a real daemon: every record must
        # be the daemon's exact record of its datagram, in order.
        status, out, err, relay_status = self.run_case("server", pipeline=True)
        self.assertEqual(status, 0, out + err + self.relay_log)
        got = result_fields(out)
        want = {"fed": str(LINES), "delivered": str(LINES), "lost": "0",
                "corrupt": "0", "closed": "0", "relay_sent": str(LINES)}
        self.assertEqual({k: got.get(k) for k in want}, want, out)

    def test_relay_with_wrong_token_is_refused_and_reported(self):
        status, out, err, relay_status = self.run_case(
            "client", token="w" * 40, extra=("--connect-seconds", "4"))
        self.assertEqual(status, 1, out + err)
        self.assertRegex(err, r"the relay did not connect upstream in 4 s "
                              r"\([1-9]\d* refused\)")
        self.assertEqual(relay_status, 0, self.relay_log)


if __name__ == "__main__":
    unittest.main()
