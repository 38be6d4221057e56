"""Valgrind memcheck over one whole run of each program: the capture daemon
capturing on lo and publishing to a client, and the relay in client mode and
in server mode carrying lines to its peer. Any memory error or definitely
lost block makes valgrind exit 99, which fails the test."""

import asyncio
import os
import shutil
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import faultlib as fl  # noqa: E402
import relaytest as rt  # noqa: E402
import subscribers as sub  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

VALGRIND = ["valgrind", "--tool=memcheck", "--error-exitcode=99",
            "--leak-check=full", "--errors-for-leak-kinds=definite",
            "--show-leak-kinds=definite", "--track-fds=no", "--quiet"]
SLOW = 120  # seconds any one step may take under valgrind


class Memcheck(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zel-fault-valgrind-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def relay_under_valgrind(self):
        """Points the relay helper at a wrapper that runs it under valgrind."""
        wrapper = os.path.join(self.dir, "relay-valgrind")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec %s %s \"$@\"\n" % (" ".join(VALGRIND), fl.RELAY))
        os.chmod(wrapper, stat.S_IRWXU)
        saved = rt.RELAY
        rt.RELAY = wrapper
        self.addCleanup(setattr, rt, "RELAY", saved)

    def test_capture_daemon(self):
        sock = os.path.join(self.dir, "events.sock")
        port = fl.udp_port()
        d = fl.Daemon(sock, port, wrapper=VALGRIND)
        self.addCleanup(lambda: d.proc.poll() is None and d.kill())
        d.wait_banner(timeout=SLOW)
        reader = fl.EventReader(sock)
        self.addCleanup(reader.close)
        sender = fl.SipSender(port)
        self.addCleanup(sender.close)
        ids = ["vg-%d" % i for i in range(20)]
        # Until the first record, the client may still be in the backlog.
        self.assertTrue(zp.wait_until(
            lambda: (sender.send(ids[0]), fl.call_ids(reader.lines))[1],
            SLOW, step=0.5), d.stderr())
        for cid in ids[1:]:
            sender.send(cid, pad=3000)
        self.assertTrue(zp.wait_until(
            lambda: fl.call_ids(reader.lines)[-1:] == [ids[-1]], SLOW))
        self.assertEqual(d.stop(timeout=SLOW), 0, d.stderr())

    def test_relay_client_mode(self):
        pki = zelpki.make_pki(self.dir)
        self.relay_under_valgrind()
        sock = os.path.join(self.dir, "client.sock")
        source = rt.EventSource(sock)
        self.addCleanup(source.close)
        up = rt.Upstream(pki["server_cert"], pki["server_key"])
        self.addCleanup(up.stop)
        relay = rt.Relay({
            "PCAP_SOCKET": sock,
            "PCAP_RELAY_URL": "wss://localhost:%d/ingest" % up.port,
            "PCAP_RELAY_SWITCH_ID": "vg",
            "PCAP_RELAY_TOKEN": rt.TOKEN,
            "PCAP_RELAY_CA_FILE": pki["ca"],
        })
        self.addCleanup(lambda: relay.proc.poll() is None and relay.stop(SLOW))
        relay.wait_for(r"wss_connected$", timeout=SLOW)
        self.assertTrue(source.wait_client(timeout=SLOW))
        lines = sub.lines(200, width=500)
        source.send_lines(lines)
        self.assertTrue(up.wait_messages(len(lines), timeout=SLOW))
        # A server-side close on the way exercises reconnection too.
        up.close_all()
        relay.wait_for(r"wss_connected$", timeout=SLOW)
        source.send_lines(["after"])
        self.assertTrue(up.wait_messages(len(lines) + 1, timeout=SLOW))
        self.assertEqual(relay.stop(SLOW), 0, relay.stderr())
        self.assertEqual(rt.shutdown_counters(relay), (len(lines) + 1, 0, 0))

    def test_relay_server_mode(self):
        pki = zelpki.make_pki(self.dir)
        self.relay_under_valgrind()
        sock = os.path.join(self.dir, "server.sock")
        source = rt.EventSource(sock)
        self.addCleanup(source.close)
        port = zp.free_port()
        relay = rt.Relay(sub.server_env(pki, sock, port))
        self.addCleanup(lambda: relay.proc.poll() is None and relay.stop(SLOW))
        relay.wait_for(sub.LISTEN_RE, timeout=SLOW)
        self.assertTrue(source.wait_client(timeout=SLOW))

        class Run:
            pass
        run = Run()
        run.pki, run.port = pki, port
        run.uri = lambda path="/events", host=None: \
            "wss://127.0.0.1:%d%s" % (port, path)
        lines = sub.lines(200, width=500)

        async def go():
            async with sub.connect(run, open_timeout=SLOW) as a:
                relay.wait_for(r"wss_subscriber_connected peer=\S+$", timeout=SLOW)
                source.send_lines(lines)
                got = await sub.collect(a, len(lines), timeout=SLOW)
                # A second subscriber that leaves without reading, and one
                # that writes and is closed as read-only.
                b = await sub.connect(run, open_timeout=SLOW)
                await b.close()
                c = await sub.connect(run, open_timeout=SLOW)
                await c.send("hello")
                await sub.close_of(c, timeout=SLOW)
                return got

        self.assertEqual(asyncio.run(go()), lines)
        self.assertEqual(relay.stop(SLOW), 0, relay.stderr())
        sent, dropped, queued = rt.shutdown_counters(relay)
        self.assertEqual((dropped, queued), (0, 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
