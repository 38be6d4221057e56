"""Server mode on the line log, as subscribers meet it: a stalled subscriber
beside a healthy one under a burst, and the sequenced protocol's envelopes,
resume after a dropped connection, and gap notices, read by
python3-websockets."""

import asyncio
import json
import os
import signal
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

import websockets  # noqa: E402

from subscribers import (RawSubscriber, ServerTestCase, collect, connect,  # noqa: E402
                         lines, seq_of)
import zelproc as zp  # noqa: E402

SEQ = "zel-pcap-relay.seq"
SLOW = (1013, "Slow consumer; events lost")


def envelopes(messages):
    return [json.loads(m) for m in messages]


class StalledBesideHealthy(ServerTestCase):
    def test_a_stalled_subscriber_costs_a_healthy_one_nothing(self):
        # The log holds the whole burst, so only the stalled one's own rule
        # (far behind for half a second with its socket choked) can end it.
        burst = lines(20000, width=500)
        run = self.start(PCAP_RELAY_QUEUE_MAX_EVENTS=30000)
        stalled = RawSubscriber(run, rcvbuf=4096)
        self.assertTrue(stalled.upgraded, stalled.status_line)

        async def go():
            async with connect(run, max_queue=None) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                run.relay.wait_for("wss_subscriber_connected")
                await asyncio.to_thread(run.source.send_lines, burst)
                return await collect(ws, len(burst), timeout=120)

        got = asyncio.run(go())
        self.assertEqual(len(got), len(burst))
        self.assertTrue(got == burst, "the healthy subscriber lost lines or order")
        run.relay.wait_for("level=warning .* wss_slow_consumer_disconnected$")
        texts, close, ended = stalled.read_to_end()
        self.assertTrue(ended, "the stalled subscriber was kept open:\n" + run.relay.stderr())
        self.assertEqual(close, SLOW)
        self.assertEqual([seq_of(t) for t in texts], list(range(len(texts))))
        sent, dropped, queued = self.stop_cleanly(run)
        self.assertEqual(len(run.relay.matching("wss_slow_consumer_disconnected")), 1)
        self.assertEqual((dropped, queued), (0, 0))
        self.assertEqual(sent, len(burst) + len(texts))


class Sequenced(ServerTestCase):
    def test_envelopes_and_resume_after_a_dropped_connection(self):
        run = self.start()
        first = lines(40) + ["not an object", "quote \" and \\ back"]

        async def go():
            ws = await connect(run, subprotocols=[SEQ])
            self.assertEqual(ws.subprotocol, SEQ)
            run.relay.wait_for("wss_subscriber_connected")
            run.source.send_lines(first)
            got = envelopes(await collect(ws, 30))
            # Dropped without a close, as a crashed subscriber or a cut cable.
            ws.transport.abort()
            run.source.send_lines(lines(100, start=40))
            boot, last = got[-1]["boot"], got[-1]["seq"]
            async with connect(run, "/events?from=%s:%d" % (boot, last),
                               subprotocols=[SEQ]) as again:
                rest = envelopes(await collect(again, len(first) + 100 - last))
                extra = await collect(again, 1, timeout=0.5)
            return got, rest, extra

        got, rest, extra = asyncio.run(go())
        boot = got[0]["boot"]
        self.assertRegex(boot, r"^[0-9a-f]{32}$")
        whole = got + rest
        self.assertEqual([e["seq"] for e in whole], list(range(1, 143)), "a gap or a repeat")
        self.assertEqual(extra, [])
        want = [json.loads(l) for l in first[:40]] + first[40:] + \
            [json.loads(l) for l in lines(100, start=40)]
        self.assertEqual([e["event"] for e in whole], want)
        self.assertEqual({e["boot"] for e in whole}, {boot})
        sent, _, _ = self.stop_cleanly(run)
        # Written to the dropped connection too, before the relay saw it go.
        self.assertGreaterEqual(sent, 142)

    def test_gap_notices_for_expired_lines_and_another_run(self):
        # 100 lines in the queue's bounds, 150 held for resume: after 300
        # lines, 151 to 300 are held.
        run = self.start(PCAP_RELAY_QUEUE_MAX_EVENTS=100, PCAP_RELAY_RETAIN_EVENTS=150)
        other = "0123456789abcdef0123456789abcdef"

        async def go():
            async with connect(run, subprotocols=[SEQ]) as ws:
                run.relay.wait_for("wss_subscriber_connected")
                # In steps the log can hold, so that this reader keeps up.
                got = []
                for start in range(0, 300, 100):
                    run.source.send_lines(lines(100, start=start))
                    got += await collect(ws, 100)
                self.assertEqual(len(got), 300)
                boot = json.loads(got[0])["boot"]
            out = {}
            for name, query in (("expired", "%s:120" % boot), ("restart", "%s:7" % other)):
                async with connect(run, "/events?from=" + query, subprotocols=[SEQ]) as ws:
                    out[name] = envelopes(await collect(ws, 151))
            return boot, out

        boot, out = asyncio.run(go())
        self.assertEqual(out["expired"][0], {"gap": {"boot": boot, "from": 121, "to": 150,
                                                     "reason": "expired"}})
        self.assertEqual(out["restart"][0], {"gap": {"boot": other, "from": 8, "to": None,
                                                     "reason": "restart"}})
        for name in out:
            self.assertEqual([e["seq"] for e in out[name][1:]], list(range(151, 301)), name)
        self.stop_cleanly(run)

    def test_queries_other_than_a_resume_are_refused(self):
        run = self.start()
        good = "0123456789abcdef0123456789abcdef"
        refused = [
            ("/events?from=%s:1" % good, None),  # plain protocol: no query at all
            ("/events?from=%s" % good, SEQ),
            ("/events?from=%s:" % good, SEQ),
            ("/events?from=%s:-1" % good, SEQ),
            ("/events?from=%s:18446744073709551616" % good, SEQ),
            ("/events?from=%s:1" % good.upper(), SEQ),
            ("/events?from=%s:1&x=1" % good, SEQ),
            ("/events?since=%s:1" % good, SEQ),
        ]

        async def attempt(path, proto):
            try:
                async with connect(run, path, subprotocols=[proto] if proto else None):
                    return True
            except (websockets.InvalidHandshake, OSError, asyncio.TimeoutError):
                return False

        async def go():
            return [await attempt(p, proto) for p, proto in refused] + \
                [await attempt("/events?from=%s:18446744073709551615" % good, SEQ)]

        results = asyncio.run(go())
        for (path, proto), ok in zip(refused, results):
            self.assertFalse(ok, "%s (%s) was admitted" % (path, proto))
        self.assertTrue(results[-1], "the largest seq was refused")
        self.stop_cleanly(run)


class Tail(zp.Program):
    """zel_tail --json in the background, its standard output collected."""

    name = "zel_tail"

    def __init__(self, *args):
        super().__init__([os.path.join(os.environ["ZEL_BIN"], "zel_tail"), *args],
                         stdout=subprocess.PIPE)
        self.out = []
        self._reader = threading.Thread(target=self._read_out, daemon=True)
        self._reader.start()

    def _read_out(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.out.append(json.loads(raw))
                self._cond.notify_all()

    def wait_out(self, n, timeout=20):
        with self._cond:
            self._cond.wait_for(lambda: len(self.out) >= n, timeout)
        return [e["seq"] for e in self.out]

    def stop_cleanly(self):
        self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(10)
        self._reader.join(5)
        self._finish()
        return status


class ZelTailResume(ServerTestCase):
    def test_zel_tail_resumes_where_it_stopped(self):
        run = self.start()
        state = os.path.join(self.tmp.name, "tail.state")

        def tail():
            t = Tail("--ca", self.pki["ca"], "--state", state, "--json", run.uri())
            self.addCleanup(lambda: t.proc.poll() is None and t.kill())
            run.relay.wait_for("wss_subscriber_connected")
            return t

        first = tail()
        run.source.send_lines(lines(50))
        self.assertEqual(first.wait_out(50), list(range(50)))
        self.assertEqual(first.stop_cleanly(), 0, first.stderr())
        run.source.send_lines(lines(50, start=50))  # while it is away
        second = tail()
        self.assertEqual(second.wait_out(50), list(range(50, 100)), second.stderr())
        run.source.send_lines(lines(10, start=100))
        self.assertEqual(second.wait_out(60), list(range(50, 110)))
        self.assertEqual(second.stop_cleanly(), 0)
        self.assertNotIn("gap", second.stderr())
        self.stop_cleanly(run)


if __name__ == "__main__":
    unittest.main()
