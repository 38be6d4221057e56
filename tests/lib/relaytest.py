"""The relay and its peers, for every suite that runs it.

Everything here drives real programs and real sockets:

- EventSource: a Unix stream socket server standing in for the capture daemon;
  the relay connects to it and receives newline-terminated event lines.
- Relay: build/bin/zel_packet_monitor_wss as a zelproc.Program, with a clean
  environment and "--config=", stopped with SIGTERM; shutdown_counters()
  reads its last shutdown line.
- Upstream, TlsListener: a python3-websockets TLS server standing in for the
  remote relay server, and a bare TLS listener for upstreams that misbehave
  below the WebSocket layer.
- read_metrics(), build_info(): the relay's metrics file as Prometheus' own
  parser (python3-prometheus-client) reads it.
"""

import asyncio
import fcntl
import logging
import os
import re
import resource
import socket
import ssl
import struct
import subprocess
import termios
import threading

import websockets
import websockets.legacy.server

import zelmetrics
import zelproc
from zelproc import accept_each, free_port, wait_until

BIN = os.environ.get("ZEL_BIN", "")
RELAY = os.path.join(BIN, "zel_packet_monitor_wss")

# A token that passes the relay's 32-byte minimum.
TOKEN = "t0k3n-" + "x" * 40

SHUTDOWN_RE = r"shutdown sent=(\d+) dropped=(\d+) queued=(\d+)$"

# Line lengths at the edges of the WebSocket length forms (7, 16 and 64
# bits), of a 16 KB write and of the 8-byte masking step, up to the longest
# line the relay carries.
FRAME_EDGE_LENGTHS = (1, 2, 7, 8, 9, 125, 126, 127, 500, 16367, 16370, 16384,
                      65535, 65536, 65537, 262144)


def frame_edge_lines():
    """Distinct text lines of every FRAME_EDGE_LENGTHS length, each followed
    by a run of ordinary 500-byte lines that share a write, as bytes."""
    out = []
    for i, n in enumerate(FRAME_EDGE_LENGTHS):
        head = b"%d:" % i
        out.append((head + bytes(33 + (i + k) % 94 for k in range(n)))[:n])
        out += [b"%d.%d:" % (i, k) + b"y" * 490 for k in range(40)]
    return out


class EventSource:
    """The capture daemon's side of the event socket.

    Accepts any number of clients in a thread; send() writes to every client
    connected at that moment, as the daemon does. close_clients() ends the
    current connections but keeps listening (a daemon that drops its clients);
    close() removes the socket (a daemon that is gone).
    """

    def __init__(self, path):
        self.path = path
        self.clients = []
        self.accepted = 0
        self._lock = threading.Lock()
        if os.path.exists(path):
            os.unlink(path)
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._sock.bind(path)
        self._sock.listen(8)
        self._thread = threading.Thread(target=accept_each,
                                        args=(self._sock, self._add), daemon=True)
        self._thread.start()

    def _add(self, conn):
        with self._lock:
            self.clients.append(conn)
            self.accepted += 1

    def wait_client(self, count=1, timeout=10.0):
        """True once at least count connections have been accepted in all."""
        return wait_until(lambda: self.accepted >= count, timeout)

    def send(self, data):
        """Writes raw bytes to every client accepted so far (the relay logs
        "unix_socket_connected" slightly before the accept is recorded here,
        so wait_client first)."""
        with self._lock:
            alive = []
            for conn in self.clients:
                try:
                    conn.sendall(data)
                    alive.append(conn)
                except OSError:  # that reader has gone; the daemon drops it too
                    conn.close()
            self.clients = alive

    def send_lines(self, lines):
        """Writes each line (bytes or str) followed by a newline."""
        blob = b"".join((l.encode() if isinstance(l, str) else l) + b"\n"
                        for l in lines)
        self.send(blob)

    def wait_read(self, timeout=10.0):
        """True once every client has read all that was sent to it: a Unix
        stream socket's output queue (SIOCOUTQ) holds what its reader has
        not taken yet."""
        def unread():
            with self._lock:
                return sum(struct.unpack("i", fcntl.ioctl(c, termios.TIOCOUTQ, b"\0" * 4))[0]
                           for c in self.clients)
        return wait_until(lambda: unread() == 0, timeout)

    def close_clients(self):
        with self._lock:
            for conn in self.clients:
                conn.close()
            self.clients = []

    def close(self):
        # As the daemon stops: listener and file first, so that a client
        # that reconnects the moment its connection ends finds nobody.
        self._sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.close_clients()


class Relay(zelproc.Program):
    """One run of zel_packet_monitor_wss with "--config=" (so no
    configuration file is read) and a clean environment holding only the
    PCAP_ variables given. Extra keyword arguments go to subprocess.Popen
    (user=, group=, ...)."""

    name = "relay"

    def __init__(self, env, args=("--config=",), nofile=None, **popen):
        """nofile: the relay's descriptor limit (soft and hard), set in the
        child before it starts."""
        limit = None
        if nofile is not None:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        super().__init__([RELAY] + list(args), env=env, preexec_fn=limit,
                         stdout=subprocess.PIPE, **popen)


UNACKNOWLEDGED_RE = r"wss_connection_error reason=.*; (\d+) lines written but not acknowledged$"


def unacknowledged(relay):
    """Lines the relay reported written upstream and never acknowledged, over
    all its connections and its stop."""
    return sum(int(re.search(UNACKNOWLEDGED_RE, l).group(1))
               for l in relay.matching(UNACKNOWLEDGED_RE))


def shutdown_counters(relay):
    """(sent, dropped, queued) of the relay's last shutdown line."""
    found = relay.matching(SHUTDOWN_RE)
    if not found:
        raise AssertionError("no shutdown line:\n" + relay.stderr())
    return tuple(int(x) for x in re.search(SHUTDOWN_RE, found[-1]).groups())


STATS_RE = (r"level=info component=zel_packet_monitor_wss stats sent=(\d+) "
            r"dropped=(\d+) queued=(\d+) (subscribers=\d+|connected=(?:true|false)) "
            r"read=\d+ released_unread=\d+ .*$")


def read_metrics(path):
    """{sample name: (family type, family help, value)} of the metrics file,
    through prometheus_client's text parser (zelmetrics). Every sample carries
    one switch_id label, the same in all, and each name comes once;
    zel_relay_build_info, which also carries the version, is left to
    build_info()."""
    out = {}
    ids = set()
    for kind, doc, sample in zelmetrics.samples(path):
        if sample.name == "zel_relay_build_info":
            continue
        if set(sample.labels) != {"switch_id"} or sample.name in out:
            raise AssertionError("unexpected sample %r in %s" % (sample, path))
        ids.add(sample.labels["switch_id"])
        out[sample.name] = (kind, doc, sample.value)
    if len(ids) > 1:
        raise AssertionError("several switch ids %r in %s" % (ids, path))
    return out


def build_info(path):
    """The labels of the metrics file's one zel_relay_build_info sample
    (whose value must be 1)."""
    found = [s for _, _, s in zelmetrics.samples(path) if s.name == "zel_relay_build_info"]
    if len(found) != 1 or found[0].value != 1:
        raise AssertionError("no single zel_relay_build_info 1 in %s: %r" % (path, found))
    return found[0].labels


def metric_values(path):
    """{sample name: value} of the metrics file; {} while it does not exist."""
    try:
        return {k: v[2] for k, v in read_metrics(path).items()}
    except FileNotFoundError:
        return {}


# --- Upstream side of client mode -------------------------------------------

class TlsListener:
    """A bare server on 127.0.0.1 for upstreams that misbehave below the
    WebSocket layer. accepted counts TCP connections. With tls=True each
    connection completes a TLS handshake and then goes to handler(conn, n)
    (n counts from 0) in a thread of its own, or in the accepting thread with
    threaded=False (no delay between the handshake and the handler);
    handler=None, or tls=False, keeps the connection open and silent until
    close()."""

    def __init__(self, cert, key, handler=None, tls=True, threaded=True):
        self.accepted = 0
        self._conns = []
        self._lock = threading.Lock()
        self._handler = handler
        self._threaded = threaded
        self._ctx = None
        if tls:
            self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._ctx.load_cert_chain(cert, key)
        self._sock = socket.socket()
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(8)
        self.port = self._sock.getsockname()[1]
        threading.Thread(target=accept_each, args=(self._sock, self._add),
                         daemon=True).start()

    def _add(self, conn):
        with self._lock:
            n = self.accepted
            self.accepted += 1
            self._conns.append(conn)
        if self._ctx is not None and self._threaded:
            threading.Thread(target=self._serve, args=(conn, n),
                             daemon=True).start()
        elif self._ctx is not None:
            self._serve(conn, n)

    def _serve(self, conn, n):
        try:
            tls = self._ctx.wrap_socket(conn, server_side=True)
            with self._lock:
                self._conns.append(tls)
            if self._handler is not None:
                self._handler(tls, n)
        except OSError:
            pass

    def close(self):
        self._sock.close()
        with self._lock:
            for conn in self._conns:
                conn.close()


def read_request(conn):
    """Reads an HTTP request head from conn; returns it (b"" at end)."""
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = conn.recv(65536)
        if not chunk:
            break
        head += chunk
    return head


# The server's handshake failures (the point of some tests) are not news.
logging.getLogger("websockets").setLevel(logging.CRITICAL)


class _CountingProtocol(websockets.legacy.server.WebSocketServerProtocol):
    """Server connection that counts the pings it answers."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.zel_pings = 0
        self.zel_messages = []
        self.zel_peer_cert = None

    async def pong(self, data=b""):
        self.zel_pings += 1
        await super().pong(data)


class Upstream:
    """A python3-websockets TLS server standing in for the remote relay server.

    sessions lists every accepted WebSocket connection in order; each has
    .path (with the query), .request_headers, .subprotocol, .zel_messages
    (received text messages as bytes), .zel_pings and .zel_peer_cert (the
    verified client certificate, when one was required).
    """

    def __init__(self, cert, key, port=None, client_ca=None, host="127.0.0.1",
                 subprotocols=None, rcvbuf=None):
        """subprotocols: offered names the server may choose; rcvbuf: a
        fixed receive buffer for every accepted connection (no autotuning),
        so that a paused session closes its TCP window soon."""
        self.host = host
        self.port = port or free_port()
        self._subprotocols = subprotocols
        self._rcvbuf = rcvbuf
        self.sessions = []
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        if client_ca:
            ctx.verify_mode = ssl.CERT_REQUIRED
            ctx.load_verify_locations(client_ca)
        self._ctx = ctx
        self._protocol = _CountingProtocol
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise AssertionError("upstream server did not start")

    def _run(self):
        asyncio.set_event_loop(self._loop)
        where = {"host": self.host, "port": self.port}
        if self._rcvbuf:
            # Set before listen, so that accepted sockets inherit it.
            family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
            sock = socket.socket(family, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self._rcvbuf)
            sock.bind((self.host, self.port))
            where = {"sock": sock}
        self._server = self._loop.run_until_complete(websockets.serve(
            self._handler, ssl=self._ctx,
            create_protocol=lambda *a, **k: self._protocol(*a, **k),
            ping_interval=None, subprotocols=self._subprotocols,
            max_size=None, max_queue=None, **where))
        self._ready.set()
        self._loop.run_forever()

    async def _handler(self, ws, path=None):
        ws.zel_peer_cert = ws.transport.get_extra_info("peercert")
        self.sessions.append(ws)
        try:
            async for message in ws:
                ws.zel_messages.append(message.encode()
                                       if isinstance(message, str) else None)
        except websockets.ConnectionClosed:
            pass

    def _call(self, coro_fn, timeout=10):
        fut = asyncio.run_coroutine_threadsafe(coro_fn(), self._loop)
        return fut.result(timeout)

    def wait_sessions(self, count=1, timeout=10.0):
        return wait_until(lambda: len(self.sessions) >= count, timeout)

    def messages(self):
        """Every message received so far, over all sessions, in order."""
        return [m for s in list(self.sessions) for m in s.zel_messages]

    def wait_messages(self, count, timeout=10.0):
        return wait_until(lambda: len(self.messages()) >= count, timeout)

    def send_all(self, text):
        """Sends a text message to every open session."""
        async def go():
            for ws in list(self.sessions):
                if ws.open:
                    await ws.send(text)
        self._call(go)

    def stall_all(self):
        """Stops reading every open session while keeping it open, as a hung
        server does: its receive buffer fills and TCP's window closes."""
        def go():
            for ws in list(self.sessions):
                ws.zel_stalled = True
                ws.transport.pause_reading()
        self._loop.call_soon_threadsafe(go)

    def abort_all(self):
        """Drops every open session at once, without a closing handshake,
        as a crashed or unplugged server does."""
        def go():
            for ws in list(self.sessions):
                ws.transport.abort()
        self._loop.call_soon_threadsafe(go)

    def close_all(self, code=1000):
        """Closes every open session from the server side."""
        async def go():
            for ws in list(self.sessions):
                await ws.close(code)
        self._call(go)

    def stop(self):
        async def go():
            # A stalled session would never finish a closing handshake.
            for ws in list(self.sessions):
                if getattr(ws, "zel_stalled", False):
                    ws.transport.abort()
            self._server.close()
            await self._server.wait_closed()
        try:
            self._call(go)
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)
            if not self._thread.is_alive():
                self._loop.close()
