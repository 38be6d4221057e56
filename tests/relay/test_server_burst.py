"""A burst on the event socket with the default limits: 10,000 lines written at
once must reach two fast subscribers completely and in order, with neither cut
off as a slow consumer, while a third subscriber that connects during the
burst is served too."""

import asyncio
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

import websockets  # noqa: E402

from subscribers import ServerRun, connect, lines, seq_of  # noqa: E402
import zelpki  # noqa: E402

BURST = 10000
# About the size of a SIP event record without its raw text.
WIDTH = 400


class BurstTest(unittest.TestCase):
    def test_burst_reaches_fast_subscribers_whole(self):
        with tempfile.TemporaryDirectory() as tmp:
            pki = zelpki.make_pki(tmp)
            run = ServerRun(tmp, pki)
            try:
                self.check_burst(run)
            finally:
                run.close()

    def check_burst(self, run):
        burst = lines(BURST, width=WIDTH)
        final = "final-line"
        got = {"a": [], "b": [], "late": []}
        late_connected_at = []

        async def read(name, ws, until):
            try:
                async for message in ws:
                    got[name].append(message)
                    if message == until:
                        return
            except websockets.ConnectionClosed:
                pass

        async def late(first):
            # Connect once the first subscriber is well into the burst.
            while len(got["a"]) < 1000 and not first.done():
                await asyncio.sleep(0.005)
            async with connect(run) as ws:
                late_connected_at.append(len(got["a"]))
                await asyncio.wait_for(read("late", ws, final), 120)

        async def go():
            a = await connect(run, max_queue=None)
            b = await connect(run, max_queue=None)
            run.relay.wait_for("wss_subscriber_connected")
            run.relay.wait_for("wss_subscriber_connected")
            ta = asyncio.create_task(read("a", a, final))
            tb = asyncio.create_task(read("b", b, final))
            tl = asyncio.create_task(late(ta))
            started = time.monotonic()
            await asyncio.to_thread(run.source.send_lines, burst)
            # The final line goes out after the burst, so the late subscriber
            # has something to wait for even if the burst was already over.
            await asyncio.sleep(0.2)
            for _ in range(1200):
                if len(run.relay.matching("wss_subscriber_connected")) >= 3:
                    break
                await asyncio.sleep(0.05)
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and not all(
                    len(got[n]) >= BURST or t.done()
                    for n, t in (("a", ta), ("b", tb))):
                await asyncio.sleep(0.01)
            elapsed = time.monotonic() - started
            run.source.send_lines([final])
            await asyncio.wait([ta, tb, tl], timeout=30)
            for t in (ta, tb, tl):
                if not t.done():
                    t.cancel()
            closes = [(ws.close_code, ws.close_reason) for ws in (a, b)]
            await a.close()
            await b.close()
            return elapsed, closes

        elapsed, closes = asyncio.run(go())
        print("burst: %d lines of ~%d bytes, 2 subscribers: a=%d b=%d in "
              "%.2fs; late subscriber joined after a had %s and got %d"
              % (BURST, WIDTH, len(got["a"]), len(got["b"]), elapsed,
                 late_connected_at, len(got["late"])), file=sys.stderr)
        self.assertEqual(run.relay.matching("wss_slow_consumer_disconnected"),
                         [])
        for name in ("a", "b"):
            with self.subTest(subscriber=name):
                self.assertEqual(len(got[name]), BURST + 1, closes)
                self.assertTrue(got[name][:BURST] == burst,
                                "lines lost or out of order")
        # The late one sees a gapless tail of the burst, then the final line.
        late_lines = got["late"]
        self.assertEqual(late_lines[-1:], [final])
        seqs = [seq_of(l) for l in late_lines[:-1]]
        if seqs:
            self.assertEqual(seqs, list(range(seqs[0], BURST)))
        status, counters = run.stop()
        self.assertEqual(status, 0, run.relay.stderr())
        self.assertEqual(counters, (2 * (BURST + 1) + len(late_lines), 0, 0))


if __name__ == "__main__":
    unittest.main()
