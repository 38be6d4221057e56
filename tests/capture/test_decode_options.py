"""zel_replay with --vlan, --ipv6, --reassemble and --tcp against tshark, which
reassembles IP and TCP itself: on scapy-written captures of every kind
(fragments in order, reordered, duplicated, incomplete and overlapping on IPv4
and IPv6; TCP with split messages, several per segment, retransmissions and
reordering; QinQ; tagged cooked captures) both must find exactly the same
messages, end points and capture times. Without the options none of these
gives a record, as before."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ["ZEL_BIN"]
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import sip_scapy  # noqa: E402

OPTIONS = ["--vlan", "--ipv6", "--reassemble", "--tcp"]


def endpoint(addr, port):
    return ("[%s]:%s" % (addr, port)) if ":" in addr else "%s:%s" % (addr, port)


def ms(epoch):
    sec, frac = epoch.split(".")
    return int(sec) * 1000 + int(frac[:3])


def tshark_messages(path):
    """(call id, cseq, source, destination, ms) of every SIP message tshark
    finds, in the frame that completes it."""
    r = subprocess.run(
        ["tshark", "-2", "-o", "tcp.reassemble_out_of_order:TRUE", "-r", path, "-Y", "sip",
         "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|", "-e", "frame.time_epoch",
         "-e", "sip.Call-ID", "-e", "sip.CSeq", "-e", "ip.src", "-e", "ip.dst", "-e", "ipv6.src",
         "-e", "ipv6.dst", "-e", "udp.srcport", "-e", "udp.dstport", "-e", "tcp.srcport",
         "-e", "tcp.dstport"], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    out = []
    for line in r.stdout.splitlines():
        t, cids, cseqs, s4, d4, s6, d6, us, ud, ts, td = line.split("\t")
        src = endpoint(s4 or s6, us or ts)
        dst = endpoint(d4 or d6, ud or td)
        for cid, cseq in zip(cids.split("|"), cseqs.split("|")):
            out.append((cid, cseq, src, dst, ms(t)))
    return sorted(out)


def replay(path, *flags):
    r = subprocess.run([os.path.join(BIN, "zel_replay"), "-R", *flags, path],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    recs = [json.loads(l) for l in r.stdout.splitlines()]
    return sorted((x["call_id"], x["cseq"], x["source"], x["destination"], x["timestamp_ms"])
                  for x in recs), r.stderr


class AgainstTshark(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-options-")
        cls.captures = {}
        for name, make in [("ethernet", sip_scapy.ethernet_capture),
                           ("tcp", sip_scapy.tcp_capture),
                           ("cooked1", lambda p: sip_scapy.cooked_capture(p, 1)),
                           ("cooked2", lambda p: sip_scapy.cooked_capture(p, 2))]:
            cls.captures[name] = os.path.join(cls.dir, name + ".pcap")
            make(cls.captures[name])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_same_messages_as_tshark(self):
        # How many messages each capture holds, so that a capture tshark
        # cannot read is not taken for agreement.
        expected = {"ethernet": 12, "tcp": 11, "cooked1": 3, "cooked2": 3}
        for name, path in self.captures.items():
            with self.subTest(capture=name):
                want = tshark_messages(path)
                got, _ = replay(path, *OPTIONS)
                self.assertEqual(got, want)
                self.assertEqual(len(got), expected[name])

    def test_incomplete_datagrams_give_nothing(self):
        got, stderr = replay(self.captures["ethernet"], *OPTIONS)
        ids = {g[0] for g in got}
        self.assertNotIn("f4-incomplete", ids)
        self.assertNotIn("f6-incomplete", ids)
        self.assertIn("fragments_expired=0 fragments_evicted=0", stderr)

    def test_default_path_sees_none_of_it(self):
        for name, path in self.captures.items():
            with self.subTest(capture=name):
                got, stderr = replay(path)
                # Only the plain IPv4 datagram on Ethernet was visible before.
                self.assertEqual([g[0] for g in got],
                                 ["plain4"] if name == "ethernet" else
                                 ["sll%s-tags0" % name[-1]] if name.startswith("cooked") else [])
                self.assertNotIn("fragments_expired", stderr)

    def test_each_option_alone(self):
        path = self.captures["ethernet"]
        ids = lambda *flags: {g[0] for g in replay(path, *flags)[0]}  # noqa: E731
        self.assertEqual(ids("--ipv6"), {"plain4", "plain6", "dest-opts6"})
        self.assertEqual(ids("--vlan"), {"plain4", "qinq4"})
        self.assertEqual(ids("--reassemble"),
                         {"plain4", "f4-in-order", "f4-reordered", "f4-duplicated", "f4-overlap"})
        self.assertEqual({g[0] for g in replay(self.captures["tcp"], "--tcp")[0]},
                         {"t-invite", "t-reg1", "t-reg2", "t-opt", "t-retx", "t-reorder"})


if __name__ == "__main__":
    unittest.main()
