"""The event socket's folder removed while the relay is connected, and made
again later: the relay keeps retrying (about once a second, saying why once), does not
crash or spin, and recovers as soon as a daemon listens there again."""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import faultlib as fl  # noqa: E402
import relaytest as rt  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

CONNECTED = r"unix_socket_connected$"


class SocketFolder(unittest.TestCase):
    def test_folder_removed_and_recreated(self):
        top = tempfile.mkdtemp(prefix="zel-fault-dir-")
        self.addCleanup(shutil.rmtree, top, True)
        pki = zelpki.make_pki(top)
        folder = os.path.join(top, "run")
        os.mkdir(folder)
        sock = os.path.join(folder, "events.sock")
        up = rt.Upstream(pki["server_cert"], pki["server_key"])
        self.addCleanup(up.stop)
        source = rt.EventSource(sock)
        relay = rt.Relay({
            "PCAP_SOCKET": sock,
            "PCAP_RELAY_URL": "wss://localhost:%d/ingest" % up.port,
            "PCAP_RELAY_SWITCH_ID": "fault-sw",
            "PCAP_RELAY_TOKEN": rt.TOKEN,
            "PCAP_RELAY_CA_FILE": pki["ca"],
        })
        self.addCleanup(lambda: relay.proc.poll() is None and relay.stop())
        relay.wait_for(CONNECTED, timeout=15)
        relay.wait_for(r"wss_connected$", timeout=15, start=0)
        self.assertTrue(source.wait_client())
        source.send_lines(["before-1", "before-2"])
        self.assertTrue(up.wait_messages(2))

        # The daemon and its whole folder go away.
        source.close()
        shutil.rmtree(folder)
        cpu0 = zp.cpu_seconds(relay.proc.pid)
        time.sleep(4)
        self.assertIsNone(relay.proc.poll(), relay.stderr())
        # Retrying once a second is nearly free; a loop without its pause
        # would burn a whole core here.
        self.assertLess(zp.cpu_seconds(relay.proc.pid) - cpu0, 2.0)
        self.assertEqual(len(relay.matching(CONNECTED)), 1, relay.stderr())

        # Folder and daemon come back: the relay connects again by itself.
        os.mkdir(folder)
        source = rt.EventSource(sock)
        self.addCleanup(source.close)
        relay.wait_for(CONNECTED, timeout=10)
        self.assertTrue(source.wait_client())
        source.send_lines(["after-1", "after-2"])
        self.assertTrue(up.wait_messages(4), up.messages())
        self.assertEqual(up.messages(), [b"before-1", b"before-2",
                                         b"after-1", b"after-2"])
        self.assertEqual(relay.stop(), 0, relay.stderr())
        self.assertEqual(rt.shutdown_counters(relay), (4, 0, 0))
        # The one time the daemon went away is told, and why the relay could
        # not reach it, once; nothing else is.
        self.assertEqual(len(relay.matching(r"level=warning .* unix_socket_disconnected$")), 1)
        self.assertEqual([l.split(" ", 1)[1] for l in relay.matching(r"level=(error|warning)")
                          if not l.endswith(" unix_socket_disconnected")],
                         ["level=warning component=zel_packet_monitor_wss unix_socket_error "
                          "reason=No such file or directory path=%s" % sock])


if __name__ == "__main__":
    unittest.main(verbosity=2)
