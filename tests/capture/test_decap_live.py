"""Live, in network namespaces joined by a veth pair: the daemon with --decap
on one end records the SIP inside real kernel tunnels (gre, gretap, vxlan,
ipip, sit, ip6tnl: those the running kernel offers; it says on standard
error which it lacks) and inside frames of every encapsulation replayed
onto the link with tcpreplay, each under the capture filter
docs/operations.md gives for it; and --dedup on "any" over a bridge and its
veth port gives one record per message where the default gives two."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from event_record import parse_record  # noqa: E402
from test_daemon import DAEMON, Client, Daemon  # noqa: E402
import sip_scapy  # noqa: E402

BIN = os.environ["ZEL_BIN"]
TAG = "%d" % (os.getpid() % 100000)


# IPv4 in IPv6, with or without the encapsulation limit option that ip6tnl
# adds by default ("ip6 protochain 4" is not run by the kernel: libpcap
# then filters in user space and says so).
IP6TNL_FILTER = "ip6 proto 4 or (ip6 proto 60 and ip6[40] = 4)"


def ip(*args, check=True):
    r = subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30)
    if check and r.returncode != 0:
        raise AssertionError("ip %s: %s" % (" ".join(args), r.stderr))
    return r


def in_ns(ns, *cmd, **kw):
    return subprocess.run(["ip", "netns", "exec", ns, *cmd], capture_output=True, text=True,
                          timeout=60, **kw)


SENDER = """
import socket, sys
family = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
s = socket.socket(family, socket.SOCK_DGRAM)
for k in range(int(sys.argv[4])):
    s.sendto(sys.argv[3].encode().replace(b"|", b"\\r\\n"), (sys.argv[1], int(sys.argv[2])))
"""


def send_sip(ns, dst, call_id, count=1, port=5060):
    msg = ("OPTIONS sip:probe@%s SIP/2.0|Via: SIP/2.0/UDP h|From: <sip:100@h>;tag=1|"
           "To: <sip:200@h>|Call-ID: %s|CSeq: 1 OPTIONS||" % (dst, call_id))
    r = in_ns(ns, "/usr/bin/python3", "-c", SENDER, dst, str(port), msg, str(count))
    assert r.returncode == 0, r.stderr


def records(client, n, timeout=10):
    out = []
    while len(out) < n:
        line = client.line(timeout)
        if line is None:
            break
        out.append(parse_record(line))
    return out


class NamespaceCase(unittest.TestCase):
    def start_daemon(self, ns, *argv):
        tmp = tempfile.mkdtemp(prefix="zel-live-decap-")
        self.addCleanup(shutil.rmtree, tmp, True)
        sock = os.path.join(tmp, "events.sock")
        cmd = ["ip", "netns", "exec", ns, DAEMON, "-s", sock] + list(argv)
        d = Daemon(sock=sock, cmd=cmd)
        self.addCleanup(d.cleanup)
        line = d.read_err_line()
        self.assertIn("zel_packet_monitor: interface=", line)
        c = Client(sock)
        self.addCleanup(c.close)
        time.sleep(0.3)  # accepted between two dispatch calls
        return d, c


class Tunnels(NamespaceCase):
    """Namespace A (the daemon, 10.231.0.1, fd31::1) and B (10.231.0.2,
    fd31::2), one veth pair between them, and every kind of tunnel over it."""

    @classmethod
    def setUpClass(cls):
        cls.a, cls.b = "zelta" + TAG, "zeltb" + TAG
        cls.missing = set()
        # A set-up that fails half-way must not leave namespaces behind.
        try:
            cls.build()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def build(cls):
        ip("netns", "add", cls.a)
        ip("netns", "add", cls.b)
        ip("link", "add", "va", "netns", cls.a, "type", "veth", "peer", "name", "vb", "netns",
           cls.b)
        for ns, dev, me, peer in [(cls.a, "va", 1, 2), (cls.b, "vb", 2, 1)]:
            ip("-n", ns, "link", "set", "lo", "up")
            ip("-n", ns, "addr", "add", "10.231.0.%d/24" % me, "dev", dev)
            ip("-n", ns, "addr", "add", "fd31::%d/64" % me, "dev", dev, "nodad")
            ip("-n", ns, "link", "set", dev, "up")
            local, remote = "10.231.0.%d" % me, "10.231.0.%d" % peer
            for name, kind in [("zgre", ["type", "gre", "local", local, "remote", remote]),
                               ("ztap", ["type", "gretap", "local", local, "remote", remote]),
                               ("zvx", ["type", "vxlan", "id", "42", "local", local, "remote",
                                        remote, "dstport", "4789", "dev", dev]),
                               ("zipip", ["type", "ipip", "local", local, "remote", remote]),
                               ("zsit", ["type", "sit", "local", local, "remote", remote]),
                               ("z6tnl", ["type", "ip6tnl", "mode", "ip4ip6", "local",
                                          "fd31::%d" % me, "remote", "fd31::%d" % peer])]:
                # A kernel built without a tunnel type refuses it; the
                # replayed frames below still check its filter and decoding.
                if ip("-n", ns, "link", "add", name, *kind, check=False).returncode != 0:
                    cls.missing.add(name)
                    continue
                ip("-n", ns, "link", "set", name, "up")
            for k, name in enumerate(["zgre", "ztap", "zvx", "zipip", "z6tnl"], start=1):
                if name not in cls.missing:
                    ip("-n", ns, "addr", "add", "10.232.%d.%d/24" % (k, me), "dev", name)
            if "zsit" not in cls.missing:
                ip("-n", ns, "addr", "add", "fd32::%d/64" % me, "dev", "zsit", "nodad")
        if cls.missing:
            sys.stderr.write("kernel lacks tunnel types %s: checked with replayed frames only\n"
                             % ", ".join(sorted(cls.missing)))
        time.sleep(1)  # IPv6 addresses usable

    @classmethod
    def tearDownClass(cls):
        ip("netns", "del", cls.a, check=False)
        ip("netns", "del", cls.b, check=False)

    def test_kernel_tunnels_with_their_filters(self):
        # tunnel, the documented filter, inner destination, extra options
        cases = [
            ("gre", "zgre", "proto gre", "10.232.1.2", []),
            ("gretap", "ztap", "proto gre", "10.232.2.2", []),
            ("vxlan", "zvx", "udp port 4789", "10.232.3.2", []),
            ("ipip", "zipip", "ip proto 4", "10.232.4.2", []),
            ("ip6tnl", "z6tnl", IP6TNL_FILTER, "10.232.5.2", ["--ipv6"]),
            ("sit", "zsit", "ip proto 41", "fd32::2", ["--ipv6"]),
        ]
        self.assertLess(len(self.missing), len(cases), "no tunnel type at all in this kernel")
        for name, dev, bpf, dst, extra in cases:
            if dev in self.missing:
                continue
            with self.subTest(tunnel=name):
                d, c = self.start_daemon(self.a, "-i", "va", "-f", bpf, "--decap",
                                         "--strict-sip", *extra)
                # gretap and vxlan resolve the inner address first (ARP in
                # the tunnel): a first datagram may go before it is done.
                send_sip(self.a, dst, "live-" + name, count=3)
                got = records(c, 1)
                self.assertTrue(got, "no record through " + name)
                r = got[0]
                self.assertEqual(r["call_id"], "live-" + name)
                want_dst = ("[%s]:5060" % dst) if ":" in dst else "%s:5060" % dst
                self.assertEqual(r["destination"], want_dst)
                self.assertNotIn("10.231.0.", r["source"])
                # Without --decap no record has the inner end points (VXLAN
                # gives the outer ones, as before).
                rc, _ = d.stop()
                self.assertEqual(rc, 0)
                d, c = self.start_daemon(self.a, "-i", "va", "-f", bpf, *extra)
                send_sip(self.a, dst, "plain-" + name)
                self.assertNotIn(want_dst, [r["destination"] for r in records(c, 1, 1.5)])
                d.stop()

    def test_replayed_encapsulations_with_their_filters(self):
        filters = {"gre": "proto gre", "gre-key-seq-csum": "proto gre", "gretap": "proto gre",
                   "gre6": "proto gre", "erspan2": "proto gre", "erspan3": "proto gre",
                   "vxlan": "udp port 4789", "ipip": "ip proto 4", "ip6-in-ip4": "ip proto 41",
                   "ip4-in-ip6": IP6TNL_FILTER, "gtpu": "udp port 2152",
                   "gtpu-ext": "udp port 2152", "pppoe": "pppoes", "mpls": "mpls",
                   "gre-mpls": "proto gre"}
        tmp = tempfile.mkdtemp(prefix="zel-live-encap-")
        self.addCleanup(shutil.rmtree, tmp, True)
        paths = sip_scapy.encapsulation_captures(tmp)
        for name, bpf in filters.items():
            with self.subTest(encapsulation=name):
                r = subprocess.run([os.path.join(BIN, "zel_replay"), "--decap", "--ipv6",
                                    paths[name]], capture_output=True, text=True, timeout=30)
                want = sorted((x["call_id"], x["source"], x["destination"])
                              for x in map(json.loads, r.stdout.splitlines()))
                self.assertTrue(want)
                d, c = self.start_daemon(self.a, "-i", "va", "-f", bpf, "--decap", "--ipv6")
                rp = in_ns(self.a, "tcpreplay", "-q", "-i", "va", paths[name])
                self.assertEqual(rp.returncode, 0, rp.stderr)
                got = sorted((x["call_id"], x["source"], x["destination"])
                             for x in records(c, len(want)))
                self.assertEqual(got, want)
                d.stop()


class BridgeDuplicates(NamespaceCase):
    """A sender namespace and a bridge namespace: on "any" in the second,
    every datagram is captured on the veth port and again on the bridge."""

    @classmethod
    def setUpClass(cls):
        cls.s, cls.d = "zelds" + TAG, "zeldd" + TAG
        try:
            cls.build()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def build(cls):
        ip("netns", "add", cls.s)
        ip("netns", "add", cls.d)
        ip("link", "add", "vs", "netns", cls.s, "type", "veth", "peer", "name", "vd", "netns",
           cls.d)
        ip("-n", cls.d, "link", "add", "zbr", "type", "bridge")
        ip("-n", cls.d, "link", "set", "vd", "master", "zbr")
        for ns, dev, addr in [(cls.s, "vs", "10.233.0.1/24"), (cls.d, "zbr", "10.233.0.2/24")]:
            ip("-n", ns, "addr", "add", addr, "dev", dev)
        for ns, dev in [(cls.s, "lo"), (cls.s, "vs"), (cls.d, "lo"), (cls.d, "vd"),
                        (cls.d, "zbr")]:
            ip("-n", ns, "link", "set", dev, "up")
        time.sleep(1)  # the bridge port forwards

    @classmethod
    def tearDownClass(cls):
        ip("netns", "del", cls.s, check=False)
        ip("netns", "del", cls.d, check=False)

    def run_calls(self, *options):
        d, c = self.start_daemon(self.d, "-i", "any", "-f", "udp port 5060",
                                 "--stats-interval=60", *options)
        for k in range(10):
            send_sip(self.s, "10.233.0.2", "bridge-%s-%d" % ("-".join(options) or "plain", k))
        got = records(c, 20, timeout=3)
        rc, err = d.stop()
        self.assertEqual(rc, 0)
        return [r["call_id"] for r in got], err

    def test_each_message_once_with_dedup(self):
        ids, _ = self.run_calls()
        self.assertEqual(len(ids), 20)
        self.assertEqual(len(set(ids)), 10)
        ids, err = self.run_calls("--dedup")
        self.assertEqual(sorted(ids), sorted(set(ids)))
        self.assertEqual(len(ids), 10)
        stats = [l for l in err.splitlines() if " stats " in l or l.startswith("stats")]
        self.assertTrue(re.search(r" duplicate=10\b", err), err)
        self.assertTrue(re.search(r" lost=0\b", err), err)
        self.assertTrue(stats)


if __name__ == "__main__":
    unittest.main()
