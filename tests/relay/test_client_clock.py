"""Client mode's backoff against a wall clock that is stepped while the relay
waits for its next attempt (an NTP correction, an operator's `date -s`).

The relay runs under libfaketime, whose offset for the wall clock is re-read
from a file on every call while the monotonic clock stays real, so the test
steps the relay's wall clock alone without touching the machine's. The
upstream is a loopback port nobody listens on, so every attempt fails at once
and the relay goes from one backoff wait to the next.

regression: the wait was measured on the wall clock, so a step back of N
seconds held the next attempt for N seconds more, and a step forward let it
start at once.
"""

import os
import re
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import zelproc  # noqa: E402

BIN = os.path.join(os.environ.get("ZEL_BIN", ""), "zel_packet_monitor_wss")
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
DELAY = 3  # PCAP_RELAY_RECONNECT_MIN_SECONDS = MAX


class SteppedWallClock(unittest.TestCase):
    def test_backoff_follows_elapsed_time(self):
        self.assertTrue(os.path.exists(FAKETIME), "libfaketime is missing: scripts/install-deps --test")
        cases = [
            # name, wall clock offset written after a backoff step
            ("stepped back an hour", "-3600"),
            ("stepped forward an hour", "+3600"),
        ]
        for name, offset in cases:
            with self.subTest(name):
                self.check_step(offset)

    def check_step(self, offset):
        d = tempfile.mkdtemp(prefix="zel-clock-")
        clock_file = os.path.join(d, "faketime")
        with open(clock_file, "w") as f:
            f.write("+0\n")
        env = {
            "LD_PRELOAD": FAKETIME, "FAKETIME_TIMESTAMP_FILE": clock_file, "FAKETIME_NO_CACHE": "1",
            "FAKETIME_DONT_FAKE_MONOTONIC": "1",
            "PCAP_RELAY_URL": "wss://127.0.0.1:%d/in" % zelproc.free_port(),
            "PCAP_RELAY_SWITCH_ID": "clock", "PCAP_RELAY_TOKEN": "zeltoken" * 4,
            "PCAP_SOCKET": os.path.join(d, "absent.sock"),
            "PCAP_RELAY_RECONNECT_MIN_SECONDS": str(DELAY), "PCAP_RELAY_RECONNECT_MAX_SECONDS": str(DELAY),
        }
        relay = zelproc.Program([BIN, "--config="], env)
        try:
            relay.wait_for(r" wss_disconnected retry_seconds=%d$" % DELAY, timeout=10)
            with open(clock_file + ".new", "w") as f:
                f.write(offset + "\n")
            os.rename(clock_file + ".new", clock_file)
            stepped = time.monotonic()
            # The next attempt comes after the delay, up to a second of jitter
            # and a service pass of at most a second, whatever the wall clock did.
            relay.wait_for(r" wss_connecting$", timeout=DELAY + 6)
            waited = time.monotonic() - stepped
            self.assertGreaterEqual(waited, DELAY - 1, relay.stderr())
            self.assertLessEqual(waited, DELAY + 3, relay.stderr())
        finally:
            status = relay.stop()
            os.remove(clock_file)
            os.rmdir(d)
        self.assertEqual(status, 0)
        self.assertTrue(re.search(r" shutdown sent=0 ", relay.stderr()), relay.stderr())


if __name__ == "__main__":
    unittest.main()
