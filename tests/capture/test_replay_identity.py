"""Records of the capture chain, byte for byte, as zel_replay writes them for
the benchmark capture and for hostile captures of every link type.

The hashes below are those of the records the chain gave when they were
taken; any change to the decoding or to the record bytes, however small,
changes one of them. A change that is meant to alter records must say so and
take new hashes. The captures are made afresh each run: the benchmark one by
zel_make_pcap, the hostile ones by a seeded generator here (their own hashes
are checked first, so that a changed generator is not mistaken for a changed
record path)."""
import hashlib
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest

BIN = os.environ["ZEL_BIN"]
SWITCH = 'bench "edge" \\ 7'

# zel_make_pcap -n 100000: the capture the benchmarks and bench-compare use.
BENCH_PCAP = "5c5346ac98f7996a01aa1562fd2a91071d54a34befd77f19b2e71724c0cdbfb8"
BENCH_RECORDS = {
    (): "b0367d035534e1381125de69b5710782c112d50c5337b197d27cf8153de8c6e6",
    ("-R",): "ce019c08f52b59f2aacb5acfd153a91f6ce631e052001e10abcfe3890f351733",
    ("-R", "-S", SWITCH): "63802eff6b5fb356214468496e4190ebf4bab0c226c83b3cd145487a1ee50a0a",
}

# Hostile captures: link type -> (capture hash, records, {replay flags: records hash}).
HOSTILE = {
    1: ("496541779f04d49ae6166dc53e1c7e571bd80c8e778be6e554c2391a8565b5f6", 322, {
        (): "0277ac0868d118913bd5e72289776636bfa0e1fc31fdf3cf386560c2ce7b2c2f",
        ("-R", "-S", SWITCH): "ff2083d8240ec33eeb151c753c47f410c358a69c3708083bad36d470ecd524d6"}),
    12: ("4ec6c8e2cc146db0e6d71ab974e78c923e301da2b47121cc29855f792c8899c7", 466, {
        (): "fdb5f6836b96d230457499953680837ebe168b732719ca595a4019ffa088456f",
        ("-R", "-S", SWITCH): "12d373fd84246757d3555c38b7df9572b74208a1a20d490fab13c937ee1fc41b"}),
    113: ("8c3828850659d94b470d53ea19699df85935140f61864f097a744ded102a3804", 406, {
        (): "c87445da150319453b5531ae3c95eff9f013a4672f6a685f2e998ba745980f62",
        ("-R", "-S", SWITCH): "e3c23247a6ec1dc00cbc3b1c08cf7f400d18ddcc3a1d9ccaf4c47251ba8e3389"}),
    276: ("72d917a90aa96c1af07bfd4d91578e2e22a79b930fc369192d152ca1bee2f2d3", 404, {
        (): "d014e3767d4d95f65c9e8feecf2d14b87829c5242ccab484bd63ad6d68f8a989",
        ("-R", "-S", SWITCH): "48463fa547b00f132624a4f626d1a7622db8c3b62768c445f52d2acb60afa515"}),
    # 802.11 is not decoded: no record at all (the hash of nothing).
    105: ("00eb3d1cdec3b265f310f0203793a85e91c87ba07b80fd29b4784a235b73494c", 0, {
        (): "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}),
}

PAYLOADS = [
    b"INVITE sip:1001@example.com SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.10\r\n"
    b"From: \"Alice\" <sip:1000@example.com>;tag=a1\r\nTo: <sip:1001@example.com>\r\n"
    b"Call-ID: 3848276298220188511@192.0.2.10\r\nCSeq: 1 INVITE\r\n\r\n",
    b"SIP/2.0 200 OK\r\nf: <sip:alice@example.com>;tag=1\r\nt: <tel:+15551234>\r\n"
    b"i: compact-\x01\"\\\t\xc3\xa9\r\nCSeq: 1 REGISTER\r\n\r\n",
    b"OPTIONS sip:x SIP/2.0\nCALL-ID:   \t  \ni: abc\nFrom: sip:@h;x\n",
    b"\r\n\r\n",
    b"NOTIFY sip:x SIP/2.0\r\nCall-ID: n\x00hidden\r\nFrom: \x00<sip:z@h>\r\n",
    b"SIP/2.0 4x\"\r\nCall-ID: q\r\nTo: " + b"\"" * 600 + b"\r\n",
    b"MESSAGE sip:m SIP/2.0\r\nContent-Length: 14\r\n\r\nCall-ID: body\r\n",
    b"BYE sip:b SIP/2.0\r\nCall-ID: " + bytes(range(256)) + b"\r\n",
]


def ipv4_udp(rng, payload):
    ihl = rng.choice([5, 5, 5, 6, 15, 4])
    options = bytes(max(ihl * 4, 20) - 20)
    udp_len = 8 + len(payload)
    if rng.random() < 0.1:
        udp_len = rng.choice([0, 7, 8, udp_len + 1, 0xFFFF])
    total = max(ihl * 4, 20) + 8 + len(payload)
    if rng.random() < 0.1:
        total = rng.choice([27, total + 1, 0xFFFF, total - 1])
    frag = rng.choice([0, 0, 0, 0x4000, 0x2000, 0x0001, 0x40B9])
    version = 4 if rng.random() < 0.95 else 6
    proto = 17 if rng.random() < 0.95 else 6
    src = bytes(rng.randrange(256) for _ in range(4))
    dst = bytes(rng.randrange(256) for _ in range(4))
    ip = struct.pack("!BBHHHBBH", version << 4 | ihl, 0, total & 0xFFFF, 1, frag, 64, proto, 0)
    udp = struct.pack("!HHHH", rng.randrange(65536), rng.choice([5060, 0, 65535]), udp_len & 0xFFFF, 0)
    return ip + src + dst + options + udp + payload + bytes(rng.choice([0, 0, 6]))


def link_header(rng, dlt):
    proto = 0x0800 if rng.random() < 0.95 else rng.choice([0x86DD, 0x0806, 0x8100])
    if dlt == 1:
        tags = rng.choice([[], [], [0x8100], [0x88A8], [0x88A8, 0x8100]])
        h = bytes(12)
        for t in tags:
            h += struct.pack("!HH", t, 5)
        return h + struct.pack("!H", proto)
    if dlt == 113:
        return bytes(14) + struct.pack("!H", proto)
    if dlt == 276:
        return struct.pack("!H", proto) + bytes(18)
    return b""


def hostile_capture(path, dlt, frames=2000):
    """A capture of `frames` frames of link type `dlt`: valid SIP datagrams,
    mutated ones, frames cut short of their length, a payload longer than
    16,384 bytes, and bytes that need every kind of escape."""
    rng = random.Random(dlt * 7919 + 13)
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, dlt))
        for i in range(frames):
            payload = PAYLOADS[i % len(PAYLOADS)]
            if i % 97 == 0:
                payload = payload + b"a" * 20000
            elif rng.random() < 0.3:
                payload += bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
            frame = bytearray(link_header(rng, dlt) + ipv4_udp(rng, payload))
            for _ in range(rng.choice([0, 0, 0, 1, 3])):
                frame[rng.randrange(len(frame))] = rng.randrange(256)
            caplen = len(frame)
            if rng.random() < 0.1:
                caplen = rng.randrange(caplen + 1)
            sec = 1700000000 + i
            usec = rng.randrange(1000000)
            f.write(struct.pack("<IIII", sec, usec, caplen, len(frame)))
            f.write(bytes(frame[:caplen]))


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def replay(flags, path):
    r = subprocess.run([os.path.join(BIN, "zel_replay"), *flags, path], capture_output=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    return hashlib.sha256(r.stdout).hexdigest(), r.stderr.rstrip(b"\n").split(b"\n")[-1]


class ReplayIdentity(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zel-identity-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_benchmark_capture(self):
        path = os.path.join(self.dir, "bench.pcap")
        subprocess.run([os.path.join(BIN, "zel_make_pcap"), "-n", "100000", path], check=True)
        self.assertEqual(sha256_file(path), BENCH_PCAP, "the generator's frames changed")
        for flags, want in BENCH_RECORDS.items():
            with self.subTest(flags=flags):
                got, stats = replay(flags, path)
                self.assertTrue(stats.startswith(b"frames=100000 records=100000 "), stats)
                self.assertEqual(got, want)

    def test_hostile_captures(self):
        for dlt, (capture_hash, count, records) in HOSTILE.items():
            path = os.path.join(self.dir, "hostile-%d.pcap" % dlt)
            hostile_capture(path, dlt)
            with self.subTest(dlt=dlt):
                self.assertEqual(sha256_file(path), capture_hash, "the generator's frames changed")
            for flags, want in records.items():
                with self.subTest(dlt=dlt, flags=flags):
                    got, stats = replay(flags, path)
                    self.assertTrue(stats.startswith(b"frames=2000 records=%d " % count), stats)
                    self.assertEqual(got, want)


if __name__ == "__main__":
    unittest.main()
