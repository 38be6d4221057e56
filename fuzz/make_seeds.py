#!/usr/bin/python3
"""Writes the seed corpora in fuzz/corpus/<target>/: small realistic inputs
that start each fuzz target on the paths real traffic and real configuration
take. Run it again after changing an input layout; the files are committed."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

INVITE = (b"INVITE sip:1001@192.0.2.20 SIP/2.0\r\n"
          b"Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK776asdhds\r\n"
          b"From: \"Alice\" <sip:alice@example.com>;tag=1928301774\r\n"
          b"To: <sip:1001@example.com>\r\n"
          b"Call-ID: a84b4c76e66710@pc33.example.com\r\n"
          b"CSeq: 314159 INVITE\r\n"
          b"Content-Length: 0\r\n\r\n")
OK = (b"SIP/2.0 200 OK\r\n"
      b"f: <sip:alice@example.com>;tag=1\r\n"
      b"t: <tel:+15551234>\r\n"
      b"i: compact-\x01\"\\\t\xc3\xa9\r\n"
      b"CSeq: 1 REGISTER\r\n\r\n")
OPTIONS = b"OPTIONS sip:x SIP/2.0\nCALL-ID:   \t  \ni: abc\nFrom: sip:@h;x\n"
KEEPALIVE = b"\r\n\r\n"


def ipv4_udp(payload, src=(192, 0, 2, 10), dst=(192, 0, 2, 20), sport=5060, dport=5060,
             frag=0, options=b""):
    ihl = (20 + len(options)) // 4
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    total = ihl * 4 + len(udp)
    ip = struct.pack("!BBHHHBBH4B4B", 0x40 | ihl, 0, total, 1, frag, 64, 17, 0, *src, *dst)
    return ip + options + udp


def link(dlt_index, ip):
    if dlt_index == 0:  # Ethernet
        return b"\x00" * 12 + b"\x08\x00" + ip
    if dlt_index == 1:  # Linux cooked v1
        return b"\x00" * 14 + b"\x08\x00" + ip
    if dlt_index == 2:  # Linux cooked v2
        return b"\x08\x00" + b"\x00" * 18 + ip
    return ip            # raw IP (3) and the undecoded type (4)


def packet_input(dlt_index, frame, raw=True, switch=b"", sec=1700000000, usec=123456):
    return (bytes([dlt_index, 1 if raw else 0, len(switch)]) + switch +
            struct.pack("<II", sec, usec) + frame)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def packet_seeds():
    for i, kind in enumerate(["eth", "sll", "sll2", "raw", "other"]):
        write("fuzz_packet", f"invite_{kind}", packet_input(i, link(i, ipv4_udp(INVITE))))
    write("fuzz_packet", "ok_compact_sll2", packet_input(2, link(2, ipv4_udp(OK, sport=0)),
                                                          switch=b'sw"1\\'))
    write("fuzz_packet", "options_noraw", packet_input(3, ipv4_udp(OPTIONS), raw=False))
    write("fuzz_packet", "keepalive", packet_input(0, link(0, ipv4_udp(KEEPALIVE))))
    vlan = b"\x00" * 12 + b"\x81\x00\x00\x01\x08\x00" + ipv4_udp(INVITE)
    write("fuzz_packet", "vlan", packet_input(0, vlan))
    qinq = b"\x00" * 12 + b"\x88\xa8\x00\x01\x81\x00" + ipv4_udp(INVITE)
    write("fuzz_packet", "two_tags", packet_input(0, qinq))
    write("fuzz_packet", "options_ihl6",
          packet_input(3, ipv4_udp(INVITE, options=b"\x01\x01\x01\x00")))
    write("fuzz_packet", "fragment", packet_input(3, ipv4_udp(INVITE, frag=0x2000)))
    write("fuzz_packet", "big", packet_input(3, ipv4_udp(INVITE + b"x" * 17000)))
    write("fuzz_packet", "trailer", packet_input(0, link(0, ipv4_udp(OK)) + b"\x00" * 6))


def escape_seeds():
    # byte 0 picks the framing (0 the text as it is, 1 behind a first line
    # with a Call-ID to fall back on, 2 as the From and To values; bit 7
    # leaves raw out), bytes 1-2 the escape capacity.
    for i, msg in enumerate([INVITE, OK, OPTIONS, KEEPALIVE]):
        write("fuzz_escape_header", f"msg{i}", bytes([i % 3 | (0x80 if i == 1 else 0), 0x01, 0xff]) + msg)
    write("fuzz_escape_header", "all_bytes", bytes([1, 0, 3]) + bytes(range(256)))
    write("fuzz_escape_header", "long_value",
          bytes([1, 0x02, 0x00]) + b"CSeq:" + b"9" * 600 + b" \r \r\n")
    write("fuzz_escape_header", "user_value", bytes([2, 0, 40]) + b'"sip:x" <SIP:user@h>;tag=1')


def config_seeds():
    write("fuzz_relay_config", "client",
          b"# upstream\nPCAP_RELAY_MODE=wss-client\n"
          b"PCAP_RELAY_URL = wss://relay.example.com:8443/ingest?x=1\n"
          b"PCAP_RELAY_SWITCH_ID=\"sw 01 # not a comment\"\n"
          b"PCAP_RELAY_TOKEN=0123456789abcdef0123456789abcdef\n"
          b"PCAP_RELAY_RECONNECT_MIN_SECONDS= -3\n; done\n")
    write("fuzz_relay_config", "server",
          b"PCAP_RELAY_MODE=wss-server\r\nPCAP_WSS_ENABLED=true\r\n"
          b"PCAP_WSS_HOST=::1\r\nPCAP_WSS_PORT=9135\r\n"
          b"PCAP_WSS_ALLOWED_IPS= 127.0.0.1 , ::ffff:10.0.0.1,\r\n"
          b"PCAP_WSS_CERT_FILE=/etc/hostname\r\nPCAP_WSS_KEY_FILE='/etc/hostname'\r\n"
          b"PCAP_WSS_QUEUE_EVENTS=007\r\n")
    write("fuzz_relay_config", "url_v6", b"wss://[2001:db8::1]:443/events")
    write("fuzz_relay_config", "url_plain", b"wss://h")
    write("fuzz_relay_config", "ip4", b"192.0.2.1")
    write("fuzz_relay_config", "long_line", b"K=" + b"v" * 1100 + b"\nK2 = '\n")


def cutter_seeds():
    ev = b'{"type":"sip.message","call_id":"x"}'
    write("fuzz_line_cutter", "events", b"\x01\x00\x00\x00" + (ev + b"\n") * 5)
    write("fuzz_line_cutter", "crlf", b"\x07\x00\x00\x00a\r\n\n\r\nb\nc\r\r\n" + b"tail")
    write("fuzz_line_cutter", "overlong",
          b"\x03\x00\x00\x00" + b"\xfe\x80\xfe\x01" + b"\n" + ev + b"\n")
    write("fuzz_line_cutter", "exact_max", b"\x05\x00\x00\x00" + b"\xfe\x80" + b"\n")


def pcap_frames(path):
    """(link type, [frame bytes]) of a classic pcap file."""
    with open(path, "rb") as f:
        data = f.read()
    dlt = struct.unpack_from("<I", data, 20)[0]
    frames, off = [], 24
    while off + 16 <= len(data):
        caplen = struct.unpack_from("<I", data, off + 8)[0]
        frames.append(data[off + 16:off + 16 + caplen])
        off += 16 + caplen
    return dlt, frames


def decoder_seeds():
    """The scapy-written captures of the option tests, frame after frame."""
    import sys
    import tempfile
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
    import sip_scapy
    index = {1: 0, 113: 1, 276: 2, 12: 3, 0: 4, 108: 5, 228: 6, 229: 7}
    with tempfile.TemporaryDirectory() as tmp:
        for name, make, options in [
                ("fragments", sip_scapy.ethernet_capture, 0x07),
                ("tcp", sip_scapy.tcp_capture, 0x0A),
                ("cooked1_tags", lambda p: sip_scapy.cooked_capture(p, 1), 0x01),
                ("cooked2_tags", lambda p: sip_scapy.cooked_capture(p, 2), 0x01)]:
            path = os.path.join(tmp, name + ".pcap")
            make(path)
            dlt, frames = pcap_frames(path)
            body = b"".join(struct.pack("<HB", len(f), 1) + f for f in frames)
            write("fuzz_decoders", name, bytes([index[dlt], options]) + body)
        # Every encapsulation of --decap, with every option on; the tunnel
        # mix (each datagram twice) with --dedup.
        for name, path in sip_scapy.encapsulation_captures(tmp).items():
            dlt, frames = pcap_frames(path)
            body = b"".join(struct.pack("<HB", len(f), 1) + f for f in frames)
            write("fuzz_decoders", "decap_" + name, bytes([index[dlt], 0xDF]) + body)
        path = os.path.join(tmp, "tunnels.pcap")
        sip_scapy.tunnels_capture(path, 12)
        dlt, frames = pcap_frames(path)
        body = b"".join(struct.pack("<HB", len(f), 0) + f for f in frames)
        write("fuzz_decoders", "decap_tunnels_dedup", bytes([index[dlt], 0x70]) + body)


def line_log_seeds():
    write("fuzz_line_log", "count2", b"\x00\x02\x03\xff" + bytes([8, 8, 8, 1, 1, 1]))
    write("fuzz_line_log", "bytes10", b"\x00\x3f\x00\x0a" + bytes([8, 8, 8, 1, 20, 22, 1, 1]))
    write("fuzz_line_log", "mixed", b"\x00\x05\x01\x00" + bytes(range(0, 64)))


def tail_seeds():
    boot = b"0123456789abcdef0123456789abcdef"
    record = (b'{"type":"sip.message","switch_id":"sw","timestamp_ms":1796635423059,'
              b'"call_id":"a\\u00e9\\u0001","source":"127.0.0.1:5062","destination":'
              b'"127.0.0.1:5060","from":"1001","to":"","label":"INVITE","method":"INVITE",'
              b'"status":"","cseq":"1 INVITE","raw":""}')
    write("fuzz_tail_message", "event", b'{"seq":7,"boot":"' + boot + b'","event":' + record + b"}")
    write("fuzz_tail_message", "string_event",
          b'{"event":"not \\"json\\" \\ud83d\\ude00","seq":1,"boot":"' + boot + b'"}')
    write("fuzz_tail_message", "gap_expired",
          b'{"gap":{"boot":"' + boot + b'","from":4,"to":9,"reason":"expired"}}')
    write("fuzz_tail_message", "gap_restart",
          b'{ "gap" : { "boot":"' + boot + b'", "from":12, "to":null, "reason":"restart" } }')
    write("fuzz_tail_message", "nested",
          b'{"seq":2,"boot":"' + boot + b'","event":{"a":[1,-2.5e3,true,false,null,{"b":[]}]}}')
    write("fuzz_tail_message", "position", boot + b":18446744073709551615\n")
    write("fuzz_tail_message", "bus_data", record)
    write("fuzz_tail_message", "bus_servers", b"nats://n1:4222,tls://[::1]:7422,nats://n3/")


if __name__ == "__main__":
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)
    packet_seeds()
    decoder_seeds()
    escape_seeds()
    config_seeds()
    cutter_seeds()
    line_log_seeds()
    tail_seeds()
