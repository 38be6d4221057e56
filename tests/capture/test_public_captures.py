"""Captures from other projects' test data (tests/capture/public, origins in
its README) through zel_replay with every decoder on, against tshark: each
SIP message tshark finds with a Call-ID must be a record with the same
method or status, Call-ID, innermost end points and time, and nothing else
may be. Most files hold a tunnel or link type without SIP: there every
frame must be counted under a reason, and the reasons show how far the
decoder went inside (not_udp, not_sip) rather than stopping at the tunnel."""
import functools
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_decap import replay, tshark_messages  # noqa: E402

tshark_messages = functools.lru_cache(maxsize=None)(tshark_messages)

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "public")
ALL = ["--decap", "--ipv6", "--reassemble", "--tcp", "--vlan"]

# file, SIP messages tshark finds, records, the reasons line with ALL and
# --strict-sip. Fewer records than messages only where a bound is counted.
CAPTURES = [
    ("ndpi-gre-pptp-sip.pcapng", 1, 1, "ignored=0"),
    ("pcpp-pppoe-sip.pcap", 4, 4, "ignored=0"),
    ("pcpp-sip-resp.pcap", 7, 7, "ignored=0"),
    ("zeek-raw-sip.pcap", 2, 2, "ignored=0"),
    # The INVITE's 65,536-byte body is over the TCP buffer: tcp_overflows.
    ("suricata-null-sip-tcp.pcap", 2, 1, "ignored=15 empty_payload=10 tcp_held=5"),
    ("zeek-gtp-udp2152-inside.pcap", 0, 0, "ignored=1 not_sip=1"),
    ("zeek-gtp-ipv6.pcap", 0, 0, "ignored=2 not_udp=1 not_sip=1"),
    ("zeek-gtp-ext-header.pcap", 0, 0, "ignored=2 fragment_held=1 tcp_held=1"),
    ("zeek-gtp-false.pcap", 0, 0, "ignored=1 not_sip=1"),
    ("ndpi-ipv6-in-gtp.pcap", 0, 0, "ignored=2 not_udp=1 not_sip=1"),
    ("zeek-gre-sample.pcap", 0, 0,
     "ignored=40 not_udp=10 empty_payload=14 tcp_held=8 not_sip=8"),
    ("zeek-gre-pptp.pcap", 0, 0, "ignored=2 not_sip=2"),
    ("suricata-gre-udp.pcap", 0, 0, "ignored=3 not_sip=3"),
    ("tcpdump-erspan-ii.pcap", 0, 0, "ignored=16 not_sip=16"),
    ("tcpdump-erspan-iii.pcap", 0, 0, "ignored=9 not_udp=9"),
    ("zeek-erspan-i.pcap", 0, 0, "ignored=10 not_udp=10"),
    ("tcpdump-vxlan.pcap", 0, 0, "ignored=10 not_ipv4=2 not_udp=8"),
    ("zeek-vxlan-triple.pcap", 0, 0, "ignored=1 not_sip=1"),
    ("zeek-vxlan-http.pcap", 0, 0, "ignored=12 empty_payload=9 tcp_held=1 not_sip=2"),
    ("zeek-4in4.pcap", 0, 0, "ignored=1 not_sip=1"),
    ("zeek-6in4.pcap", 0, 0, "ignored=1 not_sip=1"),
    ("zeek-4in6.pcap", 0, 0, "ignored=1 empty_payload=1"),
    ("ndpi-4in4-qinq.pcap", 0, 0, "ignored=5 not_sip=5"),
    ("zeek-mpls-in-vlan.pcap", 0, 0, "ignored=3 tcp_held=3"),
    ("pcpp-mpls.pcap", 0, 0, "ignored=2 not_udp=1 tcp_held=1"),
    ("zeek-pppoe-ipv6.pcap", 0, 0, "ignored=65 not_ipv4=40 not_udp=21 not_sip=4"),
    ("suricata-pppoe-http.pcap", 0, 0, "ignored=30 empty_payload=18 tcp_held=9 not_sip=3"),
    ("pcpp-null-loopback.pcapng", 0, 0, "ignored=3 not_ipv4=1 tcp_held=1 not_sip=1"),
    ("tcpdump-linktype-ipv4.pcap", 0, 0, "ignored=1 not_sip=1"),
    ("pcpp-linktype-ipv4.pcap", 0, 0, "ignored=2 not_sip=2"),
    ("tcpdump-raw-ipv6.pcap", 0, 0, "ignored=1 not_sip=1"),
]


class PublicCaptures(unittest.TestCase):
    def test_table_covers_the_directory(self):
        on_disk = {f for f in os.listdir(HERE) if f.endswith((".pcap", ".pcapng"))}
        self.assertEqual(on_disk, {c[0] for c in CAPTURES})

    def test_same_messages_as_tshark(self):
        seen = recorded = 0
        for name, messages, records, reasons in CAPTURES:
            path = os.path.join(HERE, name)
            with self.subTest(capture=name):
                want = [w for w in tshark_messages(path) if w[0]]
                self.assertEqual(len(want), messages)
                for strict in ([], ["--strict-sip"]):
                    got, stderr = replay(path, *ALL, *strict)
                    self.assertEqual(len(got), records, stderr)
                    self.assertEqual(sorted(set(got) - set(want)), [], strict)
                    if records == messages:
                        self.assertEqual(got, want)
                _, stderr = replay(path, *ALL, "--strict-sip")
                self.assertEqual(stderr.splitlines()[0], reasons)
                if records < messages:
                    self.assertIn("tcp_overflows=%d " % (messages - records), stderr)
                seen += len(want)
                recorded += len(got)
        print("\npublic captures: %d files, %d SIP messages by tshark, %d records"
              % (len(CAPTURES), seen, recorded), file=sys.stderr)

    def test_without_decap_nothing_false(self):
        # The default decoders, then the other options, on the same files:
        # what they record is one of tshark's messages, and what they cannot
        # open is counted (the reasons line needs --strict-sip).
        for name, _, _, _ in CAPTURES:
            path = os.path.join(HERE, name)
            with self.subTest(capture=name):
                want = set(tshark_messages(path))
                for flags in ([], ["--ipv6", "--reassemble", "--tcp", "--vlan"]):
                    got, _ = replay(path, *flags)
                    self.assertEqual(sorted(set(got) - want), [], flags)
                got, stderr = replay(path, "--ipv6", "--reassemble", "--tcp", "--vlan",
                                     "--strict-sip")
                frames = int(stderr.split("frames=")[1].split()[0])
                ignored = int(stderr.split("ignored=")[1].split()[0])
                self.assertEqual(ignored + len(got), frames, stderr)

if __name__ == "__main__":
    unittest.main()
