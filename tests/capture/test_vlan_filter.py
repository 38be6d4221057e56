"""Which capture filters let double-tagged (QinQ) SIP through on Linux, live:
scapy sends untagged, single-tagged and QinQ frames (outer 802.1ad or
802.1Q) into one end of a veth pair, and the daemon with --vlan captures on
the other end, or on `any`. The kernel takes the outer tag off into the
packet's metadata before the filter runs, so a plain `udp` never sees a
QinQ frame's UDP header; these are the filters the operations guide
recommends, tested as it states them."""
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import zelproc  # noqa: E402

from scapy.all import Dot1AD, Dot1Q, Ether, IP, Raw, UDP, conf, sendp  # noqa: E402

conf.verb = 0
DAEMON = os.path.join(os.environ["ZEL_BIN"], "zel_packet_monitor")
KINDS = ("untagged", "one_tag", "qinq_88a8", "qinq_8100")
QINQ = {"qinq_88a8", "qinq_8100"}
RECOMMENDED = "udp port 5060 or (vlan and vlan and udp port 5060)"
ON_ANY = "udp port 5060 or ether proto 0x8100 or ether proto 0x88a8"


def frame(kind, call_id):
    sip = ("OPTIONS sip:a@b SIP/2.0\r\nCall-ID: %s\r\nFrom: <sip:a@b>\r\nTo: <sip:c@d>\r\n"
           "CSeq: 1 OPTIONS\r\n\r\n" % call_id).encode()
    body = IP(src="10.9.0.1", dst="10.9.0.2") / UDP(sport=5060, dport=5060) / Raw(sip)
    eth = Ether(dst="02:00:00:00:00:02")
    return {
        "untagged": eth / body,
        "one_tag": eth / Dot1Q(vlan=10) / body,
        "qinq_88a8": eth / Dot1AD(vlan=100) / Dot1Q(vlan=10) / body,
        "qinq_8100": eth / Dot1Q(vlan=100) / Dot1Q(vlan=10) / body,
    }[kind]


class VlanFilters(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out, cls.into = "zvf%da" % os.getpid(), "zvf%db" % os.getpid()
        subprocess.run(["ip", "link", "add", cls.out, "type", "veth", "peer", "name", cls.into],
                       check=True)
        for dev in (cls.out, cls.into):
            subprocess.run(["ip", "link", "set", dev, "up"], check=True)
        cls.dir = tempfile.mkdtemp(prefix="zel-vlan-")

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["ip", "link", "del", cls.out], check=False)
        subprocess.run(["rm", "-rf", cls.dir], check=False)

    def captured(self, device, flt):
        """The kinds of frame that gave a record, each sent once."""
        sock = os.path.join(self.dir, "events.sock")
        d = zelproc.Program([DAEMON, "-i", device, "-f", flt, "-s", sock, "--vlan"])
        try:
            d.wait_for(r"^zel_packet_monitor: interface=")
            c = socket.socket(socket.AF_UNIX)
            c.connect(sock)
            time.sleep(0.3)  # accepted between two dispatch calls
            tag = "%d-%d" % (os.getpid(), time.monotonic_ns())
            for kind in KINDS:
                sendp(frame(kind, "%s-%s" % (kind, tag)), iface=self.out)
            c.settimeout(1.0)
            data = b""
            try:
                while True:
                    chunk = c.recv(1 << 16)
                    if not chunk:
                        break
                    data += chunk
            except socket.timeout:
                pass
            c.close()
        finally:
            self.assertEqual(d.stop(), 0)
        return {k for k in KINDS if ('"call_id":"%s-%s"' % (k, tag)).encode() in data}

    def test_table(self):
        cases = [
            # (device, filter, kinds that must give a record)
            ("veth", "udp port 5060", {"untagged", "one_tag"}),
            ("veth", "vlan", {"one_tag"} | QINQ),
            ("veth", "ether[12:2]=0x8100", QINQ),
            ("veth", RECOMMENDED, set(KINDS)),
            ("any", "udp port 5060", {"untagged", "one_tag"}),
            ("any", ON_ANY, set(KINDS)),
        ]
        for device, flt, want in cases:
            with self.subTest(device=device, filter=flt):
                got = self.captured(self.into if device == "veth" else "any", flt)
                if device == "any":
                    # Other traffic and both ends of the pair pass `any`;
                    # only what must come is checked.
                    self.assertLessEqual(want, got)
                else:
                    self.assertEqual(got, want)

    def test_vlan_keyword_is_refused_on_any(self):
        err, _, status = zelproc.run([DAEMON, "-i", "any", "-f", RECOMMENDED, "-s",
                                      os.path.join(self.dir, "refused.sock"), "--vlan"], {})
        self.assertEqual(status, 1)
        self.assertRegex(err, r"filter: no VLAN support for Linux cooked v\d\n$")


if __name__ == "__main__":
    unittest.main()
