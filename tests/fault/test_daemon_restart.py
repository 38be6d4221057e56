"""The capture daemon killed with SIGKILL and started again while the relay
runs, once in client mode and once in server mode: the relay logs
"unix_socket_connected" again, lines flow again, nothing crashes, and the
shutdown counters agree with what the peer received."""

import asyncio
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import faultlib as fl  # noqa: E402
import relaytest as rt  # noqa: E402
import subscribers as sub  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

CONNECTED = r"level=info component=zel_packet_monitor_wss unix_socket_connected$"


class DaemonRestart(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-fault-restart-")
        cls.pki = zelpki.make_pki(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def start_daemon(self, sock, port):
        d = fl.Daemon(sock, port)
        self.addCleanup(lambda: d.proc.poll() is None and d.kill())
        d.wait_banner()
        return d

    def send_until(self, sender, prefix, count, got, timeout=20):
        """Sends datagrams prefix-0.. until `got()` holds count of them.
        A datagram sent while the relay is between connections is lost by
        design, so sending goes on until they are seen."""
        want = ["%s-%d" % (prefix, i) for i in range(count)]
        for cid in want:
            sender.send(cid)
        ok = zp.wait_until(lambda: set(want) <= set(got()), timeout)
        self.assertTrue(ok, "missing %s" % sorted(set(want) - set(got())))

    def kill_and_restart(self, relay, sock, port):
        # The relay tries again at once when its connection ends, and may
        # still reach the dying daemon's listener; its refusal by the stale
        # socket file shows the old daemon is gone.
        relay.wait_for(r"unix_socket_error reason=Connection refused ", timeout=15)
        d = self.start_daemon(sock, port)
        relay.wait_for(CONNECTED, timeout=15)
        return d

    def test_client_mode(self):
        sock = os.path.join(self.dir, "client.sock")
        port = fl.udp_port()
        up = rt.Upstream(self.pki["server_cert"], self.pki["server_key"])
        self.addCleanup(up.stop)
        d = self.start_daemon(sock, port)
        relay = rt.Relay({
            "PCAP_SOCKET": sock,
            "PCAP_RELAY_URL": "wss://localhost:%d/ingest" % up.port,
            "PCAP_RELAY_SWITCH_ID": "fault-sw",
            "PCAP_RELAY_TOKEN": rt.TOKEN,
            "PCAP_RELAY_CA_FILE": self.pki["ca"],
        })
        self.addCleanup(lambda: relay.proc.poll() is None and relay.stop())
        relay.wait_for(CONNECTED, timeout=15)
        relay.wait_for(r"wss_connected$", timeout=15, start=0)
        sender = fl.SipSender(port)
        self.addCleanup(sender.close)
        got = lambda: fl.call_ids(up.messages())  # noqa: E731

        for round_ in range(3):
            self.send_until(sender, "c%d" % round_, 5, got)
            d.kill()
            # The socket file stays behind a killed daemon; the next start
            # replaces it.
            self.assertTrue(os.path.exists(sock))
            d = self.kill_and_restart(relay, sock, port)
        self.send_until(sender, "after", 5, got)

        self.assertEqual(d.stop(), 0, d.stderr())
        self.assertEqual(relay.stop(), 0, relay.stderr())
        # One connection to each of the four daemons (kill_and_restart waits
        # for each); more when the relay, trying again at once, reached a
        # killed daemon's listener in its last moment.
        self.assertGreaterEqual(len(relay.matching(CONNECTED)), 4, relay.stderr())
        self.assertEqual(relay.matching(r"level=error"), [])
        sent, dropped, queued = rt.shutdown_counters(relay)
        # Every line the relay wrote reached the server (nothing was cut off
        # on the upstream side), none dropped, none left.
        self.assertEqual((sent, dropped, queued), (len(up.messages()), 0, 0))
        # Nothing twice: each datagram was published once per connection.
        ids = got()
        self.assertEqual(len(ids), len(set(ids)), ids)

    def test_server_mode(self):
        sock = os.path.join(self.dir, "server.sock")
        port = fl.udp_port()
        wss_port = zp.free_port()
        d = self.start_daemon(sock, port)
        env = sub.server_env(self.pki, sock, wss_port)
        relay = rt.Relay(env)
        self.addCleanup(lambda: relay.proc.poll() is None and relay.stop())
        relay.wait_for(sub.LISTEN_RE, timeout=15)
        relay.wait_for(CONNECTED, timeout=15, start=0)
        sender = fl.SipSender(port)
        self.addCleanup(sender.close)

        received = []

        class Run:  # what subscribers.connect needs
            pass
        run = Run()
        run.pki, run.port, run.host = self.pki, wss_port, "127.0.0.1"
        run.uri = lambda path="/events", host=None: \
            "wss://127.0.0.1:%d%s" % (wss_port, path)

        async def subscriber(stop):
            async with sub.connect(run) as ws:
                while not stop.is_set():
                    try:
                        received.append(await asyncio.wait_for(ws.recv(), 0.2))
                    except asyncio.TimeoutError:
                        pass

        async def scenario():
            stop = asyncio.Event()
            task = asyncio.create_task(subscriber(stop))
            loop = asyncio.get_running_loop()
            nonlocal d
            await loop.run_in_executor(None, relay.wait_for,
                                       r"wss_subscriber_connected peer=\S+$", 15, 0)
            for round_ in range(3):
                await loop.run_in_executor(
                    None, self.send_until, sender, "s%d" % round_, 5,
                    lambda: fl.call_ids(received))
                d.kill()
                d = await loop.run_in_executor(None, self.kill_and_restart,
                                               relay, sock, port)
            await loop.run_in_executor(None, self.send_until, sender,
                                       "after", 5,
                                       lambda: fl.call_ids(received))
            stop.set()
            await task

        asyncio.run(scenario())
        self.assertEqual(d.stop(), 0, d.stderr())
        self.assertEqual(relay.stop(), 0, relay.stderr())
        # One connection to each of the four daemons (kill_and_restart waits
        # for each); more when the relay, trying again at once, reached a
        # killed daemon's listener in its last moment.
        self.assertGreaterEqual(len(relay.matching(CONNECTED)), 4, relay.stderr())
        self.assertEqual(relay.matching(r"level=error|slow_consumer"), [])
        sent, dropped, queued = rt.shutdown_counters(relay)
        self.assertEqual((sent, dropped, queued), (len(received), 0, 0))
        ids = fl.call_ids(received)
        self.assertEqual(len(ids), len(set(ids)), ids)


if __name__ == "__main__":
    unittest.main(verbosity=2)
