#!/usr/bin/python3
"""Traffic of the demo's --signalling run: what the default capture misses.

  demo_signalling.py bob A4 A6     answers on A4/A6 port 5060: UDP over IPv4
                                   and IPv6, and SIP over TCP on A4; prints
                                   "bob: ready", stops after the last BYE
  demo_signalling.py alice B4 B6   (in the namespace) sends to bob: an IPv6
                                   call, a 4 KB INVITE over IPv4 and over
                                   IPv6 (fragmented at MTU 1,500), and a call
                                   over TCP; prints "sent=N expected=M"

Every request and every answer is one SIP message the daemon should report
with --ipv6 --reassemble --tcp, and none of them without."""
import socket
import sys
import time

PORT = 5060


def sip(first, call_id, cseq, body=""):
    return ("%s\r\nVia: SIP/2.0/UDP demo;branch=z9hG4bK-%s-%s\r\nFrom: <sip:alice@example.com>;tag=a\r\n"
            "To: <sip:bob@example.com>\r\nCall-ID: %s\r\nCSeq: %s\r\nContent-Length: %d\r\n\r\n%s"
            % (first, call_id, cseq.split()[0], call_id, cseq, len(body), body)).encode()


def answer(request):
    """The 200 OK for a request, with its Call-ID and CSeq."""
    head = request.split(b"\r\n\r\n", 1)[0].decode()
    fields = dict(l.split(": ", 1) for l in head.split("\r\n")[1:] if ": " in l)
    return sip("SIP/2.0 200 OK", fields["Call-ID"], fields["CSeq"])


def read_message(conn, buf):
    """One SIP message off a TCP stream (headers, then Content-Length bytes)."""
    while b"\r\n\r\n" not in buf:
        chunk = conn.recv(65536)
        if not chunk:
            return None, buf
        buf += chunk
    head, _, rest = buf.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    while len(rest) < length:
        rest += conn.recv(65536)
    return head + b"\r\n\r\n" + rest[:length], rest[length:]


def bob(a4, a6):
    u4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u4.bind((a4, PORT))
    u6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    u6.bind((a6, PORT))
    t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    t.bind((a4, PORT))
    t.listen(1)
    print("bob: ready", flush=True)
    for s in (u6, u6, u6, u4, u6):  # IPv6 call: INVITE, ACK, BYE; then the two big INVITEs
        data, peer = s.recvfrom(65536)
        if not data.startswith(b"ACK"):
            s.sendto(answer(data), peer)
    conn, _ = t.accept()
    buf = b""
    while True:
        msg, buf = read_message(conn, buf)
        if msg is None:
            break
        if not msg.startswith(b"ACK"):
            conn.sendall(answer(msg))
        if msg.startswith(b"BYE"):
            break
    conn.close()


def alice(b4, b6):
    sent = expected = 0
    sdp = "v=0\r\no=alice 1 1 IN IP4 10.77.0.2\r\ns=-\r\nc=IN IP4 10.77.0.2\r\nt=0 0\r\nm=audio 4000 RTP/AVP 0 8 101\r\n"
    big = sdp + "".join("a=candidate:%d 1 udp 2130706431 10.77.0.2 %d typ host\r\n" % (k, 4000 + k)
                        for k in range(70))
    u6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    u6.connect((b6, PORT))
    for msg, answered in [(sip("INVITE sip:bob@example.com SIP/2.0", "v6-call", "1 INVITE", sdp), True),
                          (sip("ACK sip:bob@example.com SIP/2.0", "v6-call", "1 ACK"), False),
                          (sip("BYE sip:bob@example.com SIP/2.0", "v6-call", "2 BYE"), True)]:
        u6.send(msg)
        sent += 1
        expected += 1 + answered
        if answered:
            u6.recv(65536)
    for family, addr, cid in [(socket.AF_INET, b4, "frag4-invite"), (socket.AF_INET6, b6, "frag6-invite")]:
        u = socket.socket(family, socket.SOCK_DGRAM)
        u.connect((addr, PORT))
        msg = sip("INVITE sip:bob@example.com SIP/2.0", cid, "1 INVITE", big)
        assert len(msg) > 4000
        u.send(msg)
        u.recv(65536)
        sent += 1
        expected += 2
    t = socket.create_connection((b4, PORT))
    t.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = b""
    for msg, answered in [(sip("INVITE sip:bob@example.com SIP/2.0", "tcp-call", "1 INVITE", sdp), True),
                          (sip("ACK sip:bob@example.com SIP/2.0", "tcp-call", "1 ACK"), False),
                          (sip("BYE sip:bob@example.com SIP/2.0", "tcp-call", "2 BYE"), True)]:
        t.sendall(msg[:60])  # the first segment ends mid-header
        time.sleep(0.02)
        t.sendall(msg[60:])
        sent += 1
        expected += 1 + answered
        if answered:
            _, buf = read_message(t, buf)
    t.close()
    print("sent=%d expected=%d" % (sent, expected), flush=True)


if __name__ == "__main__":
    {"bob": bob, "alice": alice}[sys.argv[1]](*sys.argv[2:4])
