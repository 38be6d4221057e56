"""Subscriber-side helpers for the relay's server-mode tests.

- server_env(): the PCAP_ environment of a listening relay.
- ServerRun: a relay in server mode with its stand-in event socket, started and
  waited for ("wss_listener_started", reader connected) and stopped with its
  exit status and shutdown counters.
- connect()/collect(): python3-websockets subscribers (asyncio) with an ssl
  context that trusts the throwaway CA.
- ServerTestCase: a unittest base with a class-wide PKI and start()/stop_cleanly().
- RawSubscriber: a TLS socket that speaks just enough WebSocket by hand to
  subscribe, so a test decides when (and whether) it reads.
"""

import asyncio
import base64
import os
import re
import socket
import ssl
import struct
import tempfile

import websockets

import relaytest
import zelpki
import zelproc

LISTEN_RE = r"wss_listener_started host=(\S+) port=(\d+) path=/events$"


def server_env(pki, socket_path, port, **overrides):
    env = {
        "PCAP_RELAY_MODE": "wss-server",
        "PCAP_WSS_ENABLED": "true",
        "PCAP_WSS_HOST": "127.0.0.1",
        "PCAP_WSS_PORT": str(port),
        "PCAP_WSS_ALLOWED_IPS": "127.0.0.1,::1",
        "PCAP_WSS_CERT_FILE": pki["server_cert"],
        "PCAP_WSS_KEY_FILE": pki["server_key"],
        "PCAP_SOCKET": socket_path,
    }
    env.update({k: str(v) for k, v in overrides.items()})
    return env


def client_context(pki, minimum=None, maximum=None):
    ctx = ssl.create_default_context(cafile=pki["ca"])
    if minimum is not None:
        ctx.minimum_version = minimum
    if maximum is not None:
        ctx.maximum_version = maximum
    return ctx


class ServerRun:
    """A listening relay fed by its own EventSource."""

    def __init__(self, workdir, pki, nofile=None, **overrides):
        self.pki = pki
        self.port = zelproc.free_port()
        self.socket_path = os.path.join(workdir, "events.sock")
        self.source = relaytest.EventSource(self.socket_path)
        env = server_env(pki, self.socket_path, self.port, **overrides)
        self.host = env["PCAP_WSS_HOST"]
        self.relay = relaytest.Relay(env, nofile=nofile)
        try:
            self.relay.wait_for(LISTEN_RE)
            if not self.source.wait_client():
                raise AssertionError("relay never connected to the event "
                                     "socket:\n" + self.relay.stderr())
        except BaseException:
            self.relay.stop()
            self.source.close()
            raise
        self.stopped = False

    def uri(self, path="/events", host=None):
        host = host or ("127.0.0.1" if self.host in ("127.0.0.1", "::")
                        else self.host)
        if ":" in host:
            host = "[%s]" % host
        return "wss://%s:%d%s" % (host, self.port, path)

    def stop(self):
        """SIGTERM; returns (exit status, (sent, dropped, queued) or None)."""
        self.stopped = True
        status = self.relay.stop()
        self.source.close()
        counters = None
        if self.relay.matching(relaytest.SHUTDOWN_RE):
            counters = relaytest.shutdown_counters(self.relay)
        return status, counters

    def close(self):
        if not self.stopped:
            self.stop()


def connect(run, path="/events", host=None, **kwargs):
    """A websockets connect() coroutine to the relay, trusting the test CA."""
    kwargs.setdefault("ssl", client_context(run.pki))
    kwargs.setdefault("open_timeout", 10)
    kwargs.setdefault("close_timeout", 5)
    kwargs.setdefault("ping_interval", None)
    kwargs.setdefault("max_size", 2 ** 20)
    return websockets.connect(run.uri(path, host), **kwargs)


async def collect(ws, count, timeout=20.0):
    """Receives count messages; returns them as str, fewer if the connection
    closes or the time runs out."""
    got = []
    try:
        async with asyncio.timeout(timeout):
            while len(got) < count:
                got.append(await ws.recv())
    except (websockets.ConnectionClosed, TimeoutError, asyncio.TimeoutError):
        pass
    return got


async def close_of(ws, timeout=10.0):
    """Waits for the server to close; returns (code, reason) as the client
    saw them, with any data messages still pending dropped."""
    try:
        async with asyncio.timeout(timeout):
            while True:
                await ws.recv()
    except websockets.ConnectionClosed:
        pass
    return ws.close_code, ws.close_reason


def lines(count, start=0, width=None):
    """Distinct event lines in a recognisable order; width pads each line to
    about that many bytes (varying a little so frames differ in size)."""
    out = []
    for i in range(start, start + count):
        head = '{"type":"sip.message","seq":%d' % i
        if width:
            head += ',"pad":"%s"' % ("x" * max(0, width - 40 + (i % 7) * 13))
        out.append(head + "}")
    return out


def seq_of(line):
    m = re.match(r'\{"type":"sip.message","seq":(\d+)', line)
    return int(m.group(1)) if m else None


class RawSubscriber:
    """A hand-made TLS WebSocket client that reads only when asked."""

    def __init__(self, run, path="/events", source_ip=None, rcvbuf=None,
                 headers=(), ctx=None):
        family = socket.AF_INET6 if ":" in (source_ip or "") else \
            socket.AF_INET
        raw = socket.socket(family, socket.SOCK_STREAM)
        if rcvbuf:
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source_ip:
            raw.bind((source_ip, 0))
        raw.settimeout(10)
        target = "::1" if family == socket.AF_INET6 else "127.0.0.1"
        raw.connect((target, run.port))
        ctx = ctx or client_context(run.pki)
        self.sock = ctx.wrap_socket(raw, server_hostname=target)
        key = base64.b64encode(os.urandom(16)).decode()
        request = ("GET %s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                   "Sec-WebSocket-Version: 13\r\n" % (path, target, run.port,
                                                       key))
        for h in headers:
            request += h + "\r\n"
        self.sock.sendall((request + "\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.status_line = head.split(b"\r\n", 1)[0].decode(errors="replace")

    @property
    def upgraded(self):
        return self.status_line.startswith("HTTP/1.1 101")

    def send_text(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        assert len(payload) < 126
        frame = bytes([0x81, 0x80 | len(payload)]) + mask + bytes(
            b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(frame)

    def read_to_end(self, timeout=15.0):
        """Reads until the server ends the connection; returns
        (text messages, (close code, reason) or None, ended) where ended is
        False when the server kept the connection open for timeout seconds
        without sending anything."""
        self.sock.settimeout(timeout)
        data, ended = self.buf, True
        while True:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                ended = False
                break
            except (ssl.SSLError, ConnectionResetError, OSError):
                break
            if not chunk:
                break
            data += chunk
        self.sock.close()
        texts, close, _ = parse_frames(data)
        return texts, close, ended


def parse_frames(data):
    texts, close, pos = [], None, 0
    while True:
        if len(data) - pos < 2:
            return texts, close, pos == len(data)
        b0, b1 = data[pos], data[pos + 1]
        n, hdr = b1 & 0x7F, 2
        if n == 126:
            if len(data) - pos < 4:
                return texts, close, False
            n, hdr = struct.unpack("!H", data[pos + 2:pos + 4])[0], 4
        elif n == 127:
            if len(data) - pos < 10:
                return texts, close, False
            n, hdr = struct.unpack("!Q", data[pos + 2:pos + 10])[0], 10
        if len(data) - pos - hdr < n:
            return texts, close, False
        payload = data[pos + hdr:pos + hdr + n]
        pos += hdr + n
        opcode = b0 & 0x0F
        if opcode == 1:
            texts.append(payload.decode())
        elif opcode == 8:
            code = struct.unpack("!H", payload[:2])[0] if n >= 2 else None
            close = (code, payload[2:].decode(errors="replace"))


class ServerTestCase(zelpki.PkiTestCase):
    """A test case with one throwaway PKI for the whole class and a fresh
    server-mode relay per start(), closed when the test ends."""

    def start(self, **overrides):
        run = ServerRun(tempfile.mkdtemp(dir=self.tmp.name), self.pki, **overrides)
        self.addCleanup(run.close)
        return run

    def stop_cleanly(self, run):
        """SIGTERM; asserts exit status 0 and a shutdown line, returns its counters."""
        status, counters = run.stop()
        self.assertEqual(status, 0, run.relay.stderr())
        self.assertIsNotNone(counters, run.relay.stderr())
        return counters
