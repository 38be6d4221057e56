"""What subscribers of the relay's server mode receive, and when they are cut
off: the client limit, the read-only rule, slow consumers, lines with nobody
listening, the per-subscriber sent count and shutdown with subscribers on."""

import asyncio
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

import websockets  # noqa: E402

from subscribers import (RawSubscriber, ServerTestCase, close_of,  # noqa: E402
                         collect, connect, lines, seq_of)
from relaytest import frame_edge_lines  # noqa: E402
import relaytest as rt  # noqa: E402
import zelproc as zp  # noqa: E402

LIMIT = (1013, "Client limit reached")
SLOW = (1013, "Slow consumer; events lost")
READ_ONLY = (1008, "Read-only endpoint")


class DeliveryTest(ServerTestCase):
    def test_client_limit_refuses_without_counting(self):
        run = self.start(PCAP_WSS_MAX_CLIENTS=1)

        async def go():
            first = await connect(run)
            run.relay.wait_for("wss_subscriber_connected")
            # The second completes the handshake, then is told to go away.
            second = await connect(run)
            self.assertEqual(await close_of(second), LIMIT)
            run.source.send_lines(["one"])
            self.assertEqual(await collect(first, 1), ["one"])
            await first.close()
            # Had the refused one been counted, the place would still be
            # taken: a newcomer is admitted once the first has gone.
            third = None
            for _ in range(50):
                ws = await connect(run)
                try:
                    await asyncio.wait_for(ws.recv(), 0.3)
                except asyncio.TimeoutError:
                    third = ws  # still open: admitted
                    break
                except websockets.ConnectionClosed:
                    # The first's release may not have been seen yet.
                    self.assertEqual((ws.close_code, ws.close_reason), LIMIT)
                    await asyncio.sleep(0.1)
                else:
                    self.fail("a message before any line was sent")
            self.assertIsNotNone(third, "the place never came free")
            run.source.send_lines(["two"])
            self.assertEqual(await collect(third, 1), ["two"])
            await third.close()

        asyncio.run(go())
        self.assertEqual(len(run.relay.matching("wss_subscriber_connected")),
                         2)
        self.assertEqual(self.stop_cleanly(run), (2, 0, 0))

    def test_a_subscriber_that_speaks_is_closed_and_others_go_on(self):
        run = self.start()

        async def go():
            talker = await connect(run)
            listener = await connect(run)
            run.relay.wait_for("wss_subscriber_connected")
            run.relay.wait_for("wss_subscriber_connected")
            await talker.send("hello")
            self.assertEqual(await close_of(talker), READ_ONLY)
            run.source.send_lines(["after"])
            self.assertEqual(await collect(listener, 1), ["after"])
            await listener.close()

        asyncio.run(go())
        self.assertEqual(self.stop_cleanly(run)[0], 1)

    def test_binary_input_is_refused_too(self):
        run = self.start()

        async def go():
            async with connect(run) as ws:
                await ws.send(b"\x00\x01")
                return await close_of(ws)

        self.assertEqual(asyncio.run(go()), READ_ONLY)
        self.stop_cleanly(run)

    def test_overflow_closes_with_slow_consumer_and_never_a_gap(self):
        # 2,000 lines at once cannot fit a 2-line queue and a receive buffer
        # of a few lines: a subscriber that does not read is told it lost
        # events and has received at most a gapless prefix.
        count = 2000
        metrics = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "relay.prom")
        run = self.start(PCAP_WSS_QUEUE_EVENTS=2, PCAP_METRICS_FILE=metrics)
        stalled = RawSubscriber(run, rcvbuf=4096)
        self.assertTrue(stalled.upgraded, stalled.status_line)
        run.relay.wait_for("wss_subscriber_connected")
        run.source.send_lines(lines(count, width=1000))
        run.relay.wait_for("level=warning .* wss_slow_consumer_disconnected$")
        got, close, ended = stalled.read_to_end()
        self.assertTrue(ended)
        self.assertEqual(close, SLOW)
        self.assertEqual([seq_of(l) for l in got], list(range(len(got))))
        self.assertLess(len(got), count)
        self.stop_cleanly(run)
        # One subscriber cut off is one report, however many writable
        # callbacks come before its close completes.
        self.assertEqual(len(run.relay.matching("wss_slow_consumer_disconnected")), 1,
                         run.relay.stderr())
        self.assertEqual(rt.metric_values(metrics)["zel_relay_slow_consumer_disconnects_total"], 1)

    def test_queues_smaller_than_a_batch_serve_a_subscriber_that_reads(self):
        # A line waits in the main queue while a subscriber's queue is full
        # and its connection still takes data, so a queue shorter than the
        # 64-line batch cuts off only a subscriber that really falls behind.
        for queue in (1, 10, 63):
            for burst in (20, 200):
                with self.subTest(queue=queue, burst=burst):
                    run = self.start(PCAP_WSS_QUEUE_EVENTS=queue)

                    async def go():
                        async with connect(run) as ws:
                            run.relay.wait_for("wss_subscriber_connected")
                            run.source.send_lines(lines(burst))
                            got = await collect(ws, burst)
                            # Connected and served: nothing left to spin on.
                            busy = await asyncio.to_thread(
                                zp.cpu_busy, run.relay.proc.pid)
                            return got, busy

                    got, busy = asyncio.run(go())
                    self.assertEqual(got, lines(burst))
                    self.assertLess(busy, 0.2)
                    self.assertEqual(self.stop_cleanly(run), (burst, 0, 0))
                    self.assertEqual(run.relay.matching("wss_slow_consumer"), [])

    def test_stalled_subscriber_is_cut_off_and_a_reader_keeps_everything(self):
        run = self.start(PCAP_WSS_QUEUE_EVENTS=2)
        # A tiny receive buffer makes the stalled side choke after a few lines.
        stalled = RawSubscriber(run, rcvbuf=4096)
        self.assertTrue(stalled.upgraded, stalled.status_line)
        received = []

        async def reader(ws):
            while True:
                try:
                    received.append(await asyncio.wait_for(ws.recv(), 15))
                except Exception:
                    return

        async def go():
            deadline = time.monotonic() + 60
            async with connect(run) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                run.relay.wait_for("wss_subscriber_connected")
                task = asyncio.create_task(reader(ws))
                sent = 0
                # Lines keep arriving one at a time, slowly enough for a
                # reading subscriber with a 2-line queue.
                while sent < 3000:
                    run.source.send_lines(lines(1, start=sent, width=60000))
                    sent += 1
                    await asyncio.sleep(0.01)
                    if run.relay.matching("wss_slow_consumer_disconnected"):
                        break
                for i in range(5):
                    run.source.send_lines(lines(1, start=sent, width=60000))
                    sent += 1
                    await asyncio.sleep(0.01)
                while len(received) < sent and not task.done():
                    await asyncio.sleep(0.05)
                    if time.monotonic() > deadline:
                        break
                task.cancel()
                return sent

        sent = asyncio.run(go())
        self.assertTrue(run.relay.matching("wss_slow_consumer_disconnected"),
                        "the stalled subscriber was never cut off after %d "
                        "lines" % sent)
        self.assertEqual([seq_of(l) for l in received], list(range(sent)))
        texts, close, ended = stalled.read_to_end()
        self.assertTrue(ended, "the relay kept the stalled subscriber open")
        self.assertEqual([seq_of(t) for t in texts], list(range(len(texts))))
        self.assertLess(len(texts), sent)
        print("stalled subscriber: %d lines sent, %d received, close %r"
              % (sent, len(texts), close), file=sys.stderr)
        self.assertEqual(close, SLOW)
        counters = self.stop_cleanly(run)
        self.assertGreaterEqual(counters[0], sent + len(texts))

    def test_lines_at_every_frame_edge_arrive_whole_and_in_order(self):
        run = self.start()
        want = [l.decode() for l in frame_edge_lines()]

        async def go():
            async with connect(run) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                run.source.send_lines(frame_edge_lines())
                return await collect(ws, len(want), timeout=30)

        self.assertEqual(asyncio.run(go()), want)
        self.stop_cleanly(run)

    def test_lines_with_nobody_subscribed_are_discarded(self):
        run = self.start()
        run.source.send_lines(lines(50))
        # The reader has them once its queue no longer grows; give the
        # service loop its tick to fan them out to nobody.
        time.sleep(1.5)

        async def go():
            async with connect(run) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                run.source.send_lines(["late"])
                return await collect(ws, 1), await collect(ws, 1, timeout=0.5)

        first, rest = asyncio.run(go())
        self.assertEqual((first, rest), (["late"], []))
        self.assertEqual(self.stop_cleanly(run), (1, 0, 0))

    def test_sent_counts_every_subscriber(self):
        run = self.start()

        async def go():
            subs = [await connect(run) for _ in range(3)]
            for _ in subs:
                run.relay.wait_for("wss_subscriber_connected")
            run.source.send_lines(lines(5))
            got = [await collect(ws, 5) for ws in subs]
            for ws in subs:
                await ws.close()
            return got

        for got in asyncio.run(go()):
            self.assertEqual(got, lines(5))
        self.assertEqual(self.stop_cleanly(run), (15, 0, 0))

    def test_shutdown_with_subscribers_connected(self):
        # Under AddressSanitizer the exit status also says whether every
        # session queue, full or empty, was released.
        run = self.start()
        stalled = RawSubscriber(run, rcvbuf=4096)
        self.assertTrue(stalled.upgraded)

        async def go():
            ws = await connect(run)
            run.relay.wait_for("wss_subscriber_connected")
            run.relay.wait_for("wss_subscriber_connected")
            run.source.send_lines(lines(300, width=20000))
            got = await collect(ws, 300)
            status, counters = run.stop()
            return got, status, counters, await close_of(ws)

        got, status, counters, close = asyncio.run(go())
        self.assertEqual(status, 0, run.relay.stderr())
        self.assertEqual(got, lines(300, width=20000))
        self.assertIsNotNone(counters)
        self.assertEqual(counters[1], 0)
        self.assertNotEqual(close[0], 1013)
        # The stalled one saw a gapless prefix before the relay went away.
        texts, _, ended = stalled.read_to_end()
        self.assertTrue(ended)
        self.assertEqual([seq_of(t) for t in texts], list(range(len(texts))))
        self.assertGreaterEqual(counters[0], 300 + len(texts))
        # Queued: what the connected stalled one had yet to take; with what
        # was written to either, that makes every line twice.
        self.assertEqual(counters[0] + counters[2], 600)


if __name__ == "__main__":
    unittest.main()
