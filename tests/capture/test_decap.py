"""--decap against tshark, one table for every encapsulation (sip_scapy's
ENCAPSULATIONS): for each capture both must find the same messages with the
same method or status, Call-ID, innermost end points and capture time. Also
what the other new options do to the same captures: without --decap nothing
changes, --strict-sip refuses what a tunnel's bytes look like to the
default decoder, and --dedup, --ignore-methods count what they drop."""
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

ALL = ["--decap", "--ipv6", "--vlan", "--reassemble", "--tcp"]


def ms(epoch):
    sec, frac = epoch.split(".")
    return int(sec) * 1000 + int(frac[:3])


def endpoint(addr, port):
    return ("[%s]:%s" % (addr, port)) if ":" in addr else "%s:%s" % (addr, port)


def last(field):
    return field.split("|")[-1]


def tshark_messages(path):
    """(call id, label, source, destination, ms) of every SIP message tshark
    finds, with the innermost IP header's addresses and ports."""
    fields = ["frame.time_epoch", "frame.protocols", "sip.Call-ID", "sip.Method",
              "sip.Status-Code", "ip.src", "ip.dst", "ipv6.src", "ipv6.dst", "udp.srcport",
              "udp.dstport", "tcp.srcport", "tcp.dstport"]
    cmd = ["tshark", "-2", "-o", "tcp.reassemble_out_of_order:TRUE", "-r", path, "-Y", "sip",
           "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"]
    for f in fields:
        cmd += ["-e", f]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    out = []
    for line in r.stdout.splitlines():
        t, protos, cid, method, status, s4, d4, s6, d6, us, ud, ts, td = line.split("\t")
        layers = protos.split(":")
        six = max(i for i, p in enumerate(layers) if p in ("ip", "ipv6"))
        src, dst = (s6, d6) if layers[six] == "ipv6" else (s4, d4)
        sp, dp = (ts, td) if "tcp" in layers[six:] else (us, ud)
        out.append((cid, method or status, endpoint(last(src), last(sp)),
                    endpoint(last(dst), last(dp)), ms(t)))
    return sorted(out)


def replay(path, *flags):
    r = subprocess.run([os.path.join(BIN, "zel_replay"), "-R", *flags, path],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    recs = [json.loads(l) for l in r.stdout.splitlines()]
    return sorted((x["call_id"], x["label"], x["source"], x["destination"], x["timestamp_ms"])
                  for x in recs), r.stderr


class Encapsulations(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-decap-")
        cls.paths = sip_scapy.encapsulation_captures(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_same_messages_as_tshark(self):
        for name, path in self.paths.items():
            with self.subTest(capture=name):
                want = tshark_messages(path)
                got, stderr = replay(path, *ALL)
                self.assertTrue(want, "tshark found nothing in " + name)
                self.assertEqual(got, want)
                # Innermost end points only: no outer address in a record.
                for g in got:
                    self.assertNotIn("198.51.100.", g[2] + g[3])
                    self.assertNotIn("2001:db8:ff::", g[2] + g[3])

    def test_without_decap_as_before(self):
        # Only the UDP tunnels reach record building without --decap, with
        # their outer end points and a binary "method": the noise that
        # --strict-sip refuses.
        noisy = set()
        for name, path in self.paths.items():
            got, _ = replay(path, "--ipv6", "--vlan", "--reassemble", "--tcp")
            if got:
                noisy.add(name)
                self.assertTrue(all(g[2].startswith("198.51.100.1:") for g in got), got)
            strict, stderr = replay(path, "--ipv6", "--strict-sip")
            self.assertEqual(strict, [], name)
        self.assertEqual(noisy, {"vxlan", "gtpu", "gtpu-ext", "fragments-in-vxlan"})
        _, stderr = replay(self.paths["gtpu"], "--strict-sip")
        self.assertIn("not_sip=1", stderr)

    def test_refused_frames_are_counted(self):
        S = sip_scapy
        inner = S.inner("hostile")
        mpls_deep = S.Ether(type=0x8847) / b"".join(bytes(S.MPLS(label=k, s=0)) for k in range(16))
        cases = [
            # name, frame, link type, extra flags, expected stderr part
            ("five tunnels", S.gre_nest(5, "deep"), 1, [], "tunnel_depth=1"),
            ("17 labels", mpls_deep / S.MPLS(label=99, s=1) / inner, 1, [], "tunnel_depth=1"),
            ("gre routing", S.l2(S.outer4() / S.GRE(routing_present=1) / inner), 1, [],
             "not_ipv4=1"),
            ("gre version 1, no key", S.l2(S.outer4() / S.GRE(version=1) / inner), 1, [],
             "not_ipv4=1"),
            ("pptp ack only", S.l2(S.outer4() / S.GRE_PPTP(acknum_present=1, ack_number=3)), 1,
             [], "not_ipv4=1"),
            ("pptp lcp", S.l2(S.outer4() / S.GRE_PPTP(seqnum_present=1) /
                              S.Raw(b"\xff\x03\xc0\x21\x01\x01\x00\x04")), 1, [],
             "not_ipv4=1"),
            ("pptp length lies", S.l2(S.outer4() / S.GRE_PPTP(seqnum_present=1, payload_len=900) /
                                      S.Raw(b"\x21") / inner), 1, [], "header_lies=1"),
            ("gre key cut", S.l2(S.IP(proto=47) / S.Raw(b"\x20\x00\x08\x00\x00\x00")), 1, [],
             "header_lies=1"),
            ("gre unknown", S.l2(S.outer4() / S.GRE(proto=0x1234) / inner), 1, [], "not_ipv4=1"),
            ("erspan2 version", S.l2(S.outer4() / S.GRE(seqnum_present=1, proto=0x88BE) /
                                     S.ERSPAN_II(ver=3) / S.l2(inner)), 1, [], "not_ipv4=1"),
            ("gtp length lies", S.l2(S.outer4() / S.UDP(sport=2152, dport=2152) /
                                     S.GTP_U_Header(teid=1, length=4000) / inner), 1, [],
             "header_lies=1"),
            ("gtp empty extension", S.l2(S.outer4() / S.UDP(sport=2152, dport=2152) /
                                         S.GTP_U_Header(teid=1, E=1, next_ex=0x85, gtp_type=255) /
                                         S.Raw(b"\x00\x00\x00\x00") / inner), 1, [],
             "header_lies=1"),
            ("pppoe version", S.Ether() / S.PPPoE(version=2) / S.PPP(proto=0x21) / inner, 1, [],
             "not_ipv4=1"),
            ("pppoe length", S.Ether() / S.PPPoE(len=3000) / S.PPP(proto=0x21) / inner, 1, [],
             "truncated=1"),
            ("null family", S.raw_link(S.struct.pack("<I", 99), inner), 0, [], "not_ipv4=1"),
            ("ipv6 inside, no --ipv6", S.l2(S.outer4() / S.inner("v6", six=True)), 1, [],
             "not_ipv4=1"),
            ("loop without --decap", S.raw_link(S.struct.pack(">I", 2), inner), 108, None,
             "link_type=1"),
        ]
        for name, frame, linktype, flags, want in cases:
            with self.subTest(case=name):
                path = os.path.join(self.dir, "refused.pcap")
                sip_scapy.wrpcap(path, [frame], linktype=linktype)
                args = ["--strict-sip"] + (["--decap"] + flags if flags is not None else [])
                got, stderr = replay(path, *args)
                self.assertEqual(got, [])
                self.assertIn(want, stderr)


class Noise(unittest.TestCase):
    """The tunnel mix of the benchmark, small: every datagram twice."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-noise-")
        cls.path = os.path.join(cls.dir, "tunnels.pcap")
        sip_scapy.tunnels_capture(cls.path, 60)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_options_table(self):
        cases = [
            # flags, records, what the stderr lines must hold
            (["--decap"], 120 + 6, []),
            (["--decap", "--strict-sip"], 120, ["not_sip=6"]),
            (["--decap", "--dedup"], 60 + 6, ["duplicate=60", "dedup_evicted=0"]),
            (["--decap", "--dedup", "--strict-sip"], 60, ["duplicate=60", "not_sip=6"]),
            (["--decap", "--dedup=1", "--strict-sip"], 60, ["duplicate=60"]),
            (["--decap", "--dedup", "--ignore-methods=OPTIONS,BYE"], None, ["method_ignored="]),
        ]
        for flags, n, lines in cases:
            with self.subTest(flags=flags):
                r = subprocess.run([os.path.join(BIN, "zel_replay"), "-q", "-S", "s", *flags,
                                    self.path], capture_output=True, text=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr)
                if n is not None:
                    self.assertIn("records=%d " % n, r.stderr)
                for want in lines:
                    self.assertIn(want, r.stderr)

    def test_ignored_methods_and_their_responses(self):
        got, stderr = replay(self.path, "--decap", "--dedup", "--strict-sip",
                             "--ignore-methods=OPTIONS,INVITE")
        # Responses carry "CSeq: 1 INVITE": ignored with their requests.
        self.assertEqual({g[1] for g in got}, {"BYE"})

    def test_tcp_messages_need_a_start_line(self):
        # An HTTP exchange and an MSNSLP message on a followed port, each with
        # a Call-ID-like line: records before, refused now with --tcp alone.
        S = sip_scapy
        http = b"GET /x HTTP/1.1\r\nHost: h\r\nCall-ID: web\r\n\r\n"
        msn = (b"INVITE MSNMSGR:a@b MSNSLP/1.0\r\nCall-ID: msn\r\nContent-Length: 0\r\n\r\n")
        path = os.path.join(self.dir, "not-sip-tcp.pcap")
        frames = S.ether(S.tcp_flow(S.v4(1, 2), S.v4(2, 1), 40200,
                                    [(0, http + S.sip("OPTIONS", "real-one")), (1, msn)], 1000))
        S.wrpcap(path, S.stamp(frames, S.T0))
        got, _ = replay(path, "--tcp")
        self.assertEqual([g[0] for g in got], ["real-one"])
        _, stderr = replay(path, "--tcp", "--strict-sip")
        self.assertIn("not_sip=2", stderr)

    def test_bad_arguments(self):
        for arg, message in [("--dedup=0", "dedup must be"), ("--dedup=10001", "dedup must be"),
                             ("--dedup=5x", "dedup must be"),
                             ("--ignore-methods=", "ignore-methods must"),
                             ("--ignore-methods=A,,B", "ignore-methods must"),
                             ("--ignore-methods=IN VITE", "ignore-methods must")]:
            with self.subTest(arg=arg):
                r = subprocess.run([os.path.join(BIN, "zel_replay"), arg, self.path],
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)


if __name__ == "__main__":
    unittest.main()
