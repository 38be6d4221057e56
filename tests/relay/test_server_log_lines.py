"""The lines a subscriber leaves in the relay's log: who connected, who left,
why, and how many lines it was sent.

regression: `wss_subscriber_connected` named nobody and a subscriber's end
was not logged at all, so an operator could not tell which host came and
went, nor what it had received.
"""

import asyncio
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from subscribers import RawSubscriber, ServerTestCase, collect, connect  # noqa: E402

LINE = r" level=info component=zel_packet_monitor_wss "


def peer_of(sock):
    host, port = sock.getsockname()[:2]
    return ("[%s]:%d" if ":" in host else "%s:%d") % (host, port)


class SubscriberLines(ServerTestCase):
    def test_connect_and_disconnect_lines(self):
        async def peer_closes(run):
            async with connect(run) as ws:
                run.relay.wait_for(r"wss_subscriber_connected ")
                run.source.send_lines(["a", "b"])
                self.assertEqual(await collect(ws, 2), ["a", "b"])
                return peer_of(ws.transport.get_extra_info("socket"))

        async def peer_vanishes(run):
            sub = RawSubscriber(run)
            self.assertTrue(sub.upgraded)
            run.relay.wait_for(r"wss_subscriber_connected ")
            peer = peer_of(sub.sock)
            sub.sock.close()  # no close frame, no TLS close
            return peer

        async def peer_writes(run):
            sub = RawSubscriber(run)
            run.relay.wait_for(r"wss_subscriber_connected ")
            peer = peer_of(sub.sock)
            sub.send_text("hello")
            sub.read_to_end()
            return peer

        async def relay_stops(run):
            sub = RawSubscriber(run)
            run.relay.wait_for(r"wss_subscriber_connected ")
            run.source.send_lines(["a"])
            peer = peer_of(sub.sock)
            # The line is written before the stop: it must count.
            await asyncio.sleep(0.5)
            self.stop_cleanly(run)
            return peer

        cases = [
            # name, what the subscriber does (returns its address), reason, sent
            ("peer closes", peer_closes, "peer_closed", 2),
            ("peer vanishes", peer_vanishes, "connection_lost", 0),
            ("peer writes", peer_writes, "read_only", 0),
            ("relay stops", relay_stops, "relay_stopping", 1),
        ]
        for name, act, reason, sent in cases:
            with self.subTest(name):
                run = self.start()
                peer = asyncio.run(act(run))
                run.relay.wait_for(
                    LINE + "wss_subscriber_connected peer=%s$" % re.escape(peer), start=0)
                run.relay.wait_for(
                    LINE + "wss_subscriber_disconnected peer=%s reason=%s sent=%d$"
                    % (re.escape(peer), reason, sent), start=0, timeout=15)
                self.assertEqual(len(run.relay.matching("wss_subscriber_disconnected")), 1)


if __name__ == "__main__":
    unittest.main()
