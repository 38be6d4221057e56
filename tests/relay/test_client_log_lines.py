"""What client mode's log says about an upstream that refuses or closes.

regression: a refused connection was logged as the library's bare "Unable
to connect", naming neither the address nor the cause, and a clean close by
the upstream left no trace of its close code and reason.
"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

import relaytest as rt  # noqa: E402
import zelpki  # noqa: E402
import zelproc as zp  # noqa: E402

PREFIX = r"^\d+ level=%s component=zel_packet_monitor_wss "


class ClientLogLines(zelpki.PkiTestCase):
    def relay(self, host, port):
        env = {
            "PCAP_SOCKET": os.path.join(self.tmp.name, "absent.sock"),
            "PCAP_RELAY_URL": "wss://%s:%d/ingest" % (host, port),
            "PCAP_RELAY_SWITCH_ID": "log-lines", "PCAP_RELAY_TOKEN": rt.TOKEN,
            "PCAP_RELAY_CA_FILE": self.pki["ca"],
            "PCAP_RELAY_RECONNECT_MIN_SECONDS": "1", "PCAP_RELAY_RECONNECT_MAX_SECONDS": "1",
        }
        relay = rt.Relay(env)
        self.addCleanup(lambda: relay.proc.poll() is None and relay.stop())
        return relay

    def test_refused_connection_names_address_and_cause(self):
        port = zp.free_port()
        cases = [("127.0.0.1", "127.0.0.1:%d" % port), ("::1", r"\[::1\]:%d" % port)]
        for host, where in cases:
            with self.subTest(host):
                relay = self.relay("[%s]" % host if ":" in host else host, port)
                relay.wait_for(PREFIX % "error" + "wss_connection_error reason=Unable to connect to "
                               "%s: Connection refused$" % where, timeout=10)
                relay.wait_for(r" wss_disconnected retry_seconds=1$")
                self.assertEqual(relay.stop(), 0)

    def test_clean_close_logs_code_and_reason(self):
        cases = [
            # name, close code, reason sent, as logged
            ("normal", 1000, "bye", "code=1000 reason=bye"),
            ("going away with blanks", 1001, "server restarting now", "code=1001 reason=server restarting now"),
            # The peer's bytes cannot forge a line or a field's end.
            ("hostile reason", 4000, "a\r\n1 level=info x\\\u00e9",
             r"code=4000 reason=a\x0d\x0a1 level=info x\x5c\xc3\xa9"),
            ("longest reason", 1000, "r" * 123, "code=1000 reason=" + "r" * 123),
        ]
        up = rt.Upstream(self.pki["server_cert"], self.pki["server_key"])
        self.addCleanup(up.stop)
        relay = self.relay("localhost", up.port)
        for n, (name, code, reason, logged) in enumerate(cases):
            with self.subTest(name):
                relay.wait_for(r" wss_connected$", timeout=15)
                self.assertTrue(up.wait_sessions(n + 1))
                ws = up.sessions[n]

                async def close():
                    await ws.close(code, reason)
                up._call(close)
                relay.wait_for(PREFIX % "warning" + "wss_upstream_closed %s$" % re.escape(logged))
                relay.wait_for(r" wss_disconnected retry_seconds=1$")
        self.assertEqual(relay.stop(), 0)


if __name__ == "__main__":
    unittest.main()
