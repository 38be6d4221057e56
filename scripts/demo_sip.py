#!/usr/bin/python3
"""The demo's scripted SIP traffic, sent as real UDP datagrams on loopback.

A registration with its digest challenge, a whole call, an OPTIONS
keep-alive, a CR LF keep-alive and a few malformed datagrams. Each datagram
says whether the capture daemon should turn it into an event.

Usage: demo_sip.py PORT   (sends to 127.0.0.1:PORT, prints "sent=N expected=M")
"""

import socket
import sys
import time

# The two user agents' source ports: two and four above the SIP port (5062
# and 5064 for 5060), so that demos run side by side on other ports never
# bind the same ones.
ALICE, BOB = 5062, 5064


def sip(first, call_id, cseq, from_user, to_user, extra="", body=""):
    head = [first,
            "Via: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK-%s-%s" % (call_id[:6], cseq.split()[0]),
            "Max-Forwards: 70",
            'From: "%s" <sip:%s@example.com>;tag=%s-tag' % (from_user.title(), from_user, from_user),
            "To: <sip:%s@example.com>" % to_user,
            "Call-ID: %s" % call_id,
            "CSeq: %s" % cseq]
    if extra:
        head.append(extra)
    head.append("Content-Length: %d" % len(body))
    return ("\r\n".join(head) + "\r\n\r\n" + body).encode()


SDP = ("v=0\r\no=alice 2890844526 2890844526 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
       "t=0 0\r\nm=audio 49170 RTP/AVP 0 8\r\na=rtpmap:0 PCMU/8000\r\n")


def script():
    """(source port, payload, expect an event) for every datagram, in order."""
    reg, call, opt = "reg-7f3a9c@127.0.0.1", "call-5d21e8@127.0.0.1", "opt-0b44aa@127.0.0.1"
    auth = 'Authorization: Digest username="alice", realm="example.com", nonce="8f1e", uri="sip:example.com", response="6629fae4"'
    return [
        (ALICE, sip("REGISTER sip:example.com SIP/2.0", reg, "1 REGISTER", "alice", "alice",
                    "Contact: <sip:alice@127.0.0.1:5062>;expires=3600"), True),
        (BOB, sip("SIP/2.0 401 Unauthorized", reg, "1 REGISTER", "alice", "alice",
                  'WWW-Authenticate: Digest realm="example.com", nonce="8f1e", qop="auth"'), True),
        (ALICE, sip("REGISTER sip:example.com SIP/2.0", reg, "2 REGISTER", "alice", "alice", auth), True),
        (BOB, sip("SIP/2.0 200 OK", reg, "2 REGISTER", "alice", "alice"), True),
        (ALICE, sip("INVITE sip:bob@example.com SIP/2.0", call, "101 INVITE", "alice", "bob",
                    "Content-Type: application/sdp", SDP), True),
        (BOB, sip("SIP/2.0 100 Trying", call, "101 INVITE", "alice", "bob"), True),
        (BOB, sip("SIP/2.0 180 Ringing", call, "101 INVITE", "alice", "bob"), True),
        (BOB, sip("SIP/2.0 200 OK", call, "101 INVITE", "alice", "bob", "Content-Type: application/sdp", SDP), True),
        (ALICE, sip("ACK sip:bob@127.0.0.1:5064 SIP/2.0", call, "101 ACK", "alice", "bob"), True),
        (ALICE, b"\r\n\r\n", False),                                  # CR LF keep-alive
        (ALICE, sip("OPTIONS sip:example.com SIP/2.0", opt, "1 OPTIONS", "alice", "alice"), True),
        (ALICE, bytes(range(256)), False),                            # binary noise, no Call-ID
        (ALICE, b"INVITE sip:bob@example.com SIP/2.0\r\nFrom: x\r\n\r\n", False),  # no Call-ID
        (ALICE, b"\x00\x01", False),                                  # runt
        (ALICE, b'HACK "quoted"\\ \x7f\xc3\xa9\r\ni: evil"\x01\r\nf: <sips:eve@x>\r\n', True),  # escaped, not trusted
        (BOB, sip("BYE sip:alice@127.0.0.1:5062 SIP/2.0", call, "102 BYE", "bob", "alice"), True),
        (ALICE, sip("SIP/2.0 200 OK", call, "102 BYE", "bob", "alice"), True),
    ]


def main():
    global ALICE, BOB
    port = int(sys.argv[1])
    ALICE, BOB = port + 2, port + 4
    senders = {}
    sent = expected = 0
    try:
        for src, payload, event in script():
            if src not in senders:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind(("127.0.0.1", src))
                senders[src] = s
            senders[src].sendto(payload, ("127.0.0.1", port))
            sent += 1
            expected += event
            time.sleep(0.05)
    finally:
        for s in senders.values():
            s.close()
    print("sent=%d expected=%d" % (sent, expected), flush=True)


if __name__ == "__main__":
    main()
