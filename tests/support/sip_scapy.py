"""SIP test captures written with scapy: IPv6, IP fragments (in order,
reordered, duplicated, incomplete, overlapping), VLAN tags on Ethernet and on
Linux cooked captures, and SIP over TCP (split messages, several per segment,
retransmissions, reordering). Shared by the option tests, the performance
capture (make_mixed) and the demo.

Every message has its own Call-ID, so that a message found twice or not at
all shows in a comparison with tshark.

ENCAPSULATIONS is one table of every tunnel and link encapsulation --decap
reads, each a small capture of its own (its link type may differ).

As a program: sip_scapy.py mixed N FILE writes the mixed capture of
docs/performance.md (IPv4 and IPv6, 20 % fragmented, 20 % over TCP);
sip_scapy.py tunnels N FILE the same messages behind a mix of tunnels, each
datagram captured twice (as on "any" over a bridge), with keep-alives and
non-SIP payloads, for --decap --dedup --strict-sip."""
import struct
import random
import sys

from scapy.all import (GRE, IP, PPP, TCP, UDP, VXLAN, CookedLinux, Dot1AD, Dot1Q,  # noqa: E402
                       Ether, IPv6, IPv6ExtHdrDestOpt, IPv6ExtHdrFragment, PPPoE, Raw, conf,
                       fragment, fragment6, wrpcap)
from scapy.contrib.erspan import ERSPAN_II, ERSPAN_III  # noqa: E402
from scapy.contrib.gtp import GTP_U_Header, GTPPDUSessionContainer  # noqa: E402
from scapy.contrib.mpls import MPLS  # noqa: E402
from scapy.layers.ppp import GRE_PPTP  # noqa: E402

conf.verb = 0
try:
    from scapy.layers.l2 import CookedLinuxV2
except ImportError:  # older scapy: no SLL2
    CookedLinuxV2 = None

T0 = 1700000000.0


def sip(method, call_id, body=b"", via_host="192.0.2.1"):
    """One request (or, with method "200", a response) with its own Call-ID."""
    first = (b"SIP/2.0 200 OK" if method == "200"
             else ("%s sip:1002@example.com SIP/2.0" % method).encode())
    cseq = b"1 INVITE" if method == "200" else ("1 %s" % method).encode()
    return (first + b"\r\nVia: SIP/2.0/UDP " + via_host.encode() + b";branch=z9hG4bK" +
            call_id.encode() + b"\r\nFrom: <sip:1001@example.com>;tag=a1\r\n"
            b"To: <sip:1002@example.com>\r\nCall-ID: " + call_id.encode() +
            b"\r\nCSeq: " + cseq + b"\r\nContent-Length: " + str(len(body)).encode() +
            b"\r\n\r\n" + body)


def sdp(lines):
    return b"v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\n" + b"a=rtpmap:101 telephone-event/8000\r\n" * lines


def stamp(pkts, t):
    for k, p in enumerate(pkts):
        p.time = t + k * 0.001
    return pkts


def v4(a, b):
    return IP(src="10.1.0.%d" % a, dst="10.1.0.%d" % b)


def v6(a, b):
    return IPv6(src="2001:db8::%x" % a, dst="2001:db8::%x" % b)


def udp_fragments(ip, call_id, order="in order", size=1480):
    """The pieces of one large INVITE over UDP, arranged as `order` says."""
    payload = sip("INVITE", call_id, sdp(80))
    if ip.version == 4:
        ip.id = random.Random(call_id).randrange(1, 65535)
        pieces = fragment(ip / UDP(sport=5060, dport=5060) / payload, fragsize=size)
    else:
        frag = IPv6ExtHdrFragment(id=random.Random(call_id).randrange(1, 1 << 31))
        pieces = fragment6(ip / frag / UDP(sport=5060, dport=5060) / payload, size)
    pieces = list(pieces)
    if order == "reordered":
        pieces = pieces[1:] + pieces[:1]
    elif order == "duplicated":
        pieces = [pieces[0]] + pieces
    elif order == "incomplete":
        pieces = pieces[:1] + pieces[2:]
    return pieces


def overlapping_v4(call_id):
    """A datagram cut into overlapping pieces that agree on the bytes they share."""
    data = bytes(UDP(sport=5060, dport=5060, len=8 + len(sip("INVITE", call_id, sdp(40)))) /
                 sip("INVITE", call_id, sdp(40)))
    data = data[:6] + b"\x00\x00" + data[8:]  # no checksum
    ip = v4(7, 8)
    ip.id = 4242
    out = []
    for off, end in [(0, 800), (400, 1600), (1200, len(data))]:
        mf = 1 if end < len(data) else 0
        out.append(IP(src=ip.src, dst=ip.dst, id=ip.id, proto=17, flags=mf, frag=off // 8) /
                   Raw(data[off:end]))
    return out


def tcp_flow(ip_fwd, ip_back, sport, messages, cut, order="in order", retransmit=False,
             syn=True):
    """One TCP connection: `messages` (list of (side, bytes)) sent as one stream
    per side, cut into segments of `cut` bytes, in the given order."""
    seq = {0: 1000, 1: 5000}
    pkts = []
    if syn:
        pkts.append(ip_fwd / TCP(sport=sport, dport=5060, flags="S", seq=seq[0] - 1))
        pkts.append(ip_back / TCP(sport=5060, dport=sport, flags="SA", seq=seq[1] - 1,
                                  ack=seq[0]))
    for side, stream in messages:
        ip = ip_fwd if side == 0 else ip_back
        sp, dp = (sport, 5060) if side == 0 else (5060, sport)
        segs = []
        for off in range(0, len(stream), cut):
            segs.append(ip / TCP(sport=sp, dport=dp, flags="PA", seq=seq[side] + off,
                                 ack=seq[1 - side]) / stream[off:off + cut])
        if order == "reordered" and len(segs) > 1:
            segs[0], segs[1] = segs[1], segs[0]
        if retransmit:
            segs.insert(1, segs[0].copy())
        seq[side] += len(stream)
        pkts += segs
    return pkts


def ether(pkts, tags=()):
    out = []
    for p in pkts:
        l2 = Ether(src="02:00:00:00:00:01", dst="02:00:00:00:00:02")
        for k, vid in enumerate(tags):
            l2 = l2 / (Dot1AD(vlan=vid) if k == 0 and len(tags) == 2 else Dot1Q(vlan=vid))
        out.append(l2 / p)
    return out


def cooked(pkts, version, tags=()):
    out = []
    for p in pkts:
        inner = p
        for vid in reversed(tags):
            inner = Dot1Q(vlan=vid, type=0x0800 if inner is p else 0x8100) / inner
        proto = 0x8100 if tags else 0x0800
        if version == 1:
            head = CookedLinux(pkttype=0, lladdrtype=1, lladdrlen=6, src=b"\x02\0\0\0\0\1\0\0",
                               proto=proto)
        else:
            head = CookedLinuxV2(proto=proto, ifindex=2, lladdrtype=1, pkttype=0, lladdrlen=6,
                                 src=b"\x02\0\0\0\0\1\0\0")
        out.append(head / inner)
    return out


def udp(ip, call_id, method="OPTIONS"):
    return ip / UDP(sport=5060, dport=5060) / sip(method, call_id)


def ethernet_capture(path):
    """Fragments of every kind on IPv4 and IPv6, plain datagrams of both, QinQ,
    and an IPv6 datagram behind a destination options header."""
    pkts, t = [], T0
    for k, order in enumerate(["in order", "reordered", "duplicated", "incomplete"]):
        pkts += stamp(ether(udp_fragments(v4(1, 2), "f4-" + order.replace(" ", "-"), order)), t)
        pkts += stamp(ether(udp_fragments(v6(1, 2), "f6-" + order.replace(" ", "-"), order)), t + 1)
        t += 2
    pkts += stamp(ether(overlapping_v4("f4-overlap")), t)
    pkts += stamp(ether([udp(v4(3, 4), "plain4"), udp(v6(3, 4), "plain6"),
                         v6(5, 6) / IPv6ExtHdrDestOpt() / UDP(sport=5060, dport=5062) /
                         sip("MESSAGE", "dest-opts6")]), t + 1)
    pkts += stamp(ether([udp(v4(5, 6), "qinq4")], tags=(100, 200)), t + 2)
    pkts += stamp(ether([udp(v6(7, 8), "qinq6")], tags=(100, 200)), t + 3)
    wrpcap(path, pkts)


def tcp_capture(path):
    """SIP over TCP on IPv4 and IPv6: split messages, several in one segment,
    a retransmission, reordering, and both directions."""
    invite = sip("INVITE", "t-invite", sdp(30))
    ok = sip("200", "t-invite", sdp(5))
    pkts, t = [], T0
    flows = [
        (v4(1, 2), v4(2, 1), 40001, [(0, invite), (1, ok)], 300, "in order", False),
        (v4(1, 2), v4(2, 1), 40002, [(0, sip("REGISTER", "t-reg1") + sip("REGISTER", "t-reg2") +
                                      sip("OPTIONS", "t-opt"))], 4000, "in order", False),
        (v4(1, 2), v4(2, 1), 40003, [(0, sip("INVITE", "t-retx", sdp(20)))], 200, "in order", True),
        (v4(1, 2), v4(2, 1), 40004, [(0, sip("INVITE", "t-reorder", sdp(20)))], 300, "reordered",
         False),
        (v6(1, 2), v6(2, 1), 40005, [(0, sip("INVITE", "t6-split", sdp(30))),
                                     (1, sip("200", "t6-split"))], 250, "in order", False),
        (v6(1, 2), v6(2, 1), 40006, [(0, sip("BYE", "t6-a") + sip("BYE", "t6-b"))], 170,
         "reordered", True),
    ]
    for fwd, back, port, msgs, cut, order, retx in flows:
        pkts += stamp(ether(tcp_flow(fwd, back, port, msgs, cut, order, retx)), t)
        t += 1
    wrpcap(path, pkts)


def cooked_capture(path, version):
    """Cooked captures (the "any" device) with no, one and two VLAN tags."""
    pkts = []
    for k, tags in enumerate([(), (10,), (10, 20)]):
        pkts += stamp(cooked([udp(v4(1, 2), "sll%d-tags%d" % (version, len(tags)))], version,
                             tags), T0 + k)
    wrpcap(path, pkts)


def mixed_capture(path, n, seed=1):
    """n SIP messages: IPv4 and IPv6 half each; 20 % as fragmented INVITEs,
    20 % over TCP (split in two segments), the rest single datagrams."""
    rng = random.Random(seed)
    pkts = []
    t = T0
    for k in range(n):
        six = k % 2 == 1
        ip = (v6 if six else v4)(1 + k % 200, 2 + k % 150)
        back = (v6 if six else v4)(2 + k % 150, 1 + k % 200)
        kind = rng.random()
        cid = "mix-%d" % k
        if kind < 0.2:
            frames = udp_fragments(ip, cid)
        elif kind < 0.4:
            stream = sip("INVITE", cid, sdp(6))
            frames = tcp_flow(ip, back, 20000 + k % 40000, [(0, stream)], len(stream) // 2 + 1,
                              syn=False)
        else:
            frames = [ip / UDP(sport=5060, dport=5060) / sip(rng.choice(["OPTIONS", "200", "BYE"]),
                                                              cid, sdp(rng.randrange(4)))]
        for f in ether(frames):
            f.time = t
            t += 0.0001
            pkts.append(f)
    wrpcap(path, pkts)


def outer4():
    return IP(src="198.51.100.1", dst="198.51.100.2")


def outer6():
    return IPv6(src="2001:db8:ff::1", dst="2001:db8:ff::2")


def l2(p):
    return Ether(src="02:00:00:00:00:01", dst="02:00:00:00:00:02") / p


def inner(cid, six=False, method="INVITE"):
    ip = v6(0x11, 0x12) if six else v4(11, 12)
    return ip / UDP(sport=5070, dport=5080) / sip(method, cid)


def gre_nest(depth, cid):
    p = inner(cid)
    for k in range(depth):
        p = IP(src="198.51.100.%d" % (10 + k), dst="198.51.100.%d" % (20 + k)) / GRE() / p
    return l2(p)


def raw_link(family_bytes, pkt):
    return Raw(family_bytes + bytes(pkt))


def pptp(cid):
    """PPTP's GRE version 1: PPP with and without address and control bytes,
    a compressed protocol field, an acknowledgement number, IPv6 inside."""
    def gre(**kw):
        return l2(outer4() / GRE_PPTP(seqnum_present=1, sequence_number=1, call_id=7, **kw))
    return [gre() / Raw(b"\xff\x03\x00\x21") / inner(cid),
            gre(acknum_present=1, ack_number=1) / Raw(b"\x21") / inner(cid + "-acfc"),
            gre() / Raw(b"\xff\x03\x00\x57") / inner(cid + "-6", six=True)]


def tcp_in_gre(cid):
    stream = sip("INVITE", cid, sdp(20))
    return [l2(outer4() / GRE(key_present=1, key=9) / p)
            for p in tcp_flow(v4(11, 12), v4(12, 11), 40100, [(0, stream)], 300)]


def fragments_in_vxlan(cid):
    return [l2(outer4() / UDP(sport=49152, dport=4789) / VXLAN(vni=7) /
               Ether(src="02:00:00:00:00:03", dst="02:00:00:00:00:04") / f)
            for f in udp_fragments(v4(11, 12), cid)]


# name, link type, frames. Every capture holds SIP that only --decap (with
# --ipv6, --vlan, --reassemble and --tcp where its inner packets need them)
# finds, each message with its own Call-ID.
ENCAPSULATIONS = [
    ("gre", 1, lambda: [l2(outer4() / GRE() / inner("gre"))]),
    ("gre-key-seq-csum", 1, lambda: [l2(outer4() / GRE(key_present=1, key=77, seqnum_present=1,
                                                       sequence_number=5, chksum_present=1) /
                                        inner("gre-key-seq"))]),
    ("gretap", 1, lambda: [l2(outer4() / GRE(proto=0x6558) / l2(inner("gretap")))]),
    ("gretap-vlan", 1, lambda: [l2(outer4() / GRE(proto=0x6558) /
                                   Ether(src="02:00:00:00:00:05", dst="02:00:00:00:00:06") /
                                   Dot1Q(vlan=30) / inner("gretap-vlan"))]),
    ("gre6", 1, lambda: [l2(outer6() / GRE() / inner("gre6", six=True))]),
    ("erspan2", 1, lambda: [l2(outer4() / GRE(seqnum_present=1, sequence_number=1, proto=0x88BE) /
                               ERSPAN_II(ver=1, session_id=3) / l2(inner("erspan2")))]),
    ("erspan3", 1, lambda: [l2(outer4() / GRE(seqnum_present=1, sequence_number=1, proto=0x22EB) /
                               ERSPAN_III(session_id=4) / l2(inner("erspan3")))]),
    ("vxlan", 1, lambda: [l2(outer4() / UDP(sport=51000, dport=4789) / VXLAN(vni=4242) /
                             l2(inner("vxlan")))]),
    ("ipip", 1, lambda: [l2(outer4() / inner("ipip"))]),
    ("ip6-in-ip4", 1, lambda: [l2(outer4() / inner("sit", six=True))]),
    ("ip4-in-ip6", 1, lambda: [l2(outer6() / inner("ip6tnl"))]),
    ("gtpu", 1, lambda: [l2(outer4() / UDP(sport=2152, dport=2152) / GTP_U_Header(teid=0x1234) /
                            inner("gtpu"))]),
    ("gtpu-ext", 1, lambda: [l2(outer4() / UDP(sport=2152, dport=2152) /
                                GTP_U_Header(teid=0x99, E=1, next_ex=0x85) /
                                GTPPDUSessionContainer(type=1, QFI=9) / inner("gtpu-ext"))]),
    ("pppoe", 1, lambda: [Ether(src="02:00:00:00:00:01", dst="02:00:00:00:00:02") /
                          PPPoE(sessionid=0x11) / PPP(proto=0x21) / inner("pppoe"),
                          Ether(src="02:00:00:00:00:01", dst="02:00:00:00:00:02") /
                          PPPoE(sessionid=0x12) / Raw(b"\x00\x57") /
                          inner("pppoe6", six=True)]),
    ("mpls", 1, lambda: [Ether(src="02:00:00:00:00:01", dst="02:00:00:00:00:02", type=0x8847) /
                         MPLS(label=100, s=0) / MPLS(label=200, s=1) / inner("mpls")]),
    ("gre-mpls", 1, lambda: [l2(outer4() / GRE(proto=0x8847) / MPLS(label=300, s=1) /
                                inner("gre-mpls"))]),
    ("gre-depth4", 1, lambda: [gre_nest(4, "gre-depth4")]),
    ("pptp", 1, lambda: pptp("pptp")),
    ("tcp-in-gre", 1, lambda: tcp_in_gre("tcp-in-gre")),
    ("fragments-in-vxlan", 1, lambda: fragments_in_vxlan("frag-in-vxlan")),
    ("null", 0, lambda: [raw_link(struct.pack("<I", 2), inner("null4")),
                         raw_link(struct.pack("<I", 30), inner("null6", six=True))]),
    ("loop", 108, lambda: [raw_link(struct.pack(">I", 2), inner("loop4"))]),
    ("raw4", 228, lambda: [inner("raw4")]),
    ("raw6", 229, lambda: [inner("raw6", six=True)]),
]


def encapsulation_captures(directory):
    """Writes one capture per ENCAPSULATIONS row; returns {name: path}."""
    out = {}
    for k, (name, linktype, make) in enumerate(ENCAPSULATIONS):
        path = "%s/%s.pcap" % (directory, name)
        wrpcap(path, stamp(make(), T0 + k), linktype=linktype)
        out[name] = path
    return out


def tunnels_capture(path, n, seed=2):
    """n SIP messages over UDP behind a rotation of GRE, VXLAN, GTP-U, IP in IP,
    PPPoE and MPLS (a sixth plain), each captured twice 0.1 ms apart (the
    second copy one TTL lower), and between them CR LF keep-alives and
    non-SIP datagrams that carry a Call-ID-like line."""
    rng = random.Random(seed)
    wraps = [
        lambda p: l2(outer4() / GRE(key_present=1, key=1) / p),
        lambda p: l2(outer4() / UDP(sport=50000, dport=4789) / VXLAN(vni=5) / l2(p)),
        lambda p: l2(outer4() / UDP(sport=2152, dport=2152) / GTP_U_Header(teid=7) / p),
        lambda p: l2(outer4() / p),
        lambda p: Ether(src="02:00:00:00:00:01", dst="02:00:00:00:00:02") /
        PPPoE(sessionid=3) / PPP(proto=0x21) / p,
        lambda p: l2(p),
    ]
    pkts = []
    t = T0
    for k in range(n):
        ip = v4(1 + k % 200, 2 + k % 150)
        body = sip(rng.choice(["OPTIONS", "200", "BYE", "INVITE"]), "tun-%d" % k,
                   sdp(rng.randrange(4)))
        wrap = wraps[k % len(wraps)]
        for copy in range(2):
            ip.ttl = 64 - copy
            f = wrap(ip / UDP(sport=5060, dport=5060) / body)
            f.time = t
            t += 0.0001
            pkts.append(f)
        if k % 10 == 0:
            f = l2(ip / UDP(sport=5060, dport=5060) / b"\r\n\r\n")
            f.time = t
            pkts.append(f)
        if k % 10 == 5:
            f = l2(ip / UDP(sport=2727, dport=2427) / b"200 1234 OK\nI: 5A2F\n\n")
            f.time = t
            pkts.append(f)
    wrpcap(path, pkts)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "tunnels":
        tunnels_capture(sys.argv[3], int(sys.argv[2]))
        sys.exit(0)
    if len(sys.argv) == 4 and sys.argv[1] == "mixed":
        mixed_capture(sys.argv[3], int(sys.argv[2]))
    else:
        sys.exit("usage: sip_scapy.py mixed|tunnels N FILE")
