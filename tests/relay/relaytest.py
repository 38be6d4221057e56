"""Shared helpers for the relay's integration tests.

Everything here drives real programs and real sockets:

- make_pki(dir): a throwaway CA, a server certificate for localhost/127.0.0.1/::1
  and a client certificate, made with the openssl command line.
- EventSource: a Unix stream socket server standing in for the capture daemon;
  the relay connects to it and receives newline-terminated event lines.
- Relay: starts build/bin/zel_packet_monitor_wss with a clean environment,
  "--config=" (so no configuration file is read) and the PCAP_ variables given,
  collects its stderr lines in a thread, and stops it with SIGTERM.

Sanitizer options set by the Makefile (ASAN_OPTIONS and friends) are passed
through so that a sanitizer report turns into a non-zero exit status.
"""

import os
import re
import resource
import signal
import socket
import subprocess
import threading
import time

BIN = os.environ.get("ZEL_BIN", "")
RELAY = os.path.join(BIN, "zel_packet_monitor_wss")

# Environment variables that survive the clean environment of a relay run.
_PASS_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS")

# A token that passes the relay's 32-byte minimum.
TOKEN = "t0k3n-" + "x" * 40


def _openssl(*args, cwd):
    subprocess.run(("openssl",) + args, cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory, name="ca"):
    """Self-signed CA; returns (cert path, key path)."""
    cert, key = name + ".pem", name + ".key"
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=zel test " + name, "-keyout", key, "-out", cert,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    return os.path.join(directory, cert), os.path.join(directory, key)


def make_cert(directory, name, ca, san=None, client=False):
    """Leaf certificate signed by ca=(cert, key); returns (cert path, key path).

    san defaults to DNS:localhost, IP:127.0.0.1, IP:::1 for server certificates.
    """
    if san is None:
        san = "DNS:localhost,IP:127.0.0.1,IP:::1"
    cert, key, csr, ext = (name + ".pem", name + ".key", name + ".csr",
                           name + ".ext")
    usage = "clientAuth" if client else "serverAuth"
    with open(os.path.join(directory, ext), "w") as f:
        f.write("basicConstraints=CA:FALSE\n")
        f.write("extendedKeyUsage=%s\n" % usage)
        if san:
            f.write("subjectAltName=%s\n" % san)
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes",
             "-subj", "/CN=zel test " + name, "-keyout", key, "-out", csr,
             cwd=directory)
    _openssl("x509", "-req", "-in", csr, "-CA", ca[0], "-CAkey", ca[1],
             "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", cert,
             cwd=directory)
    return os.path.join(directory, cert), os.path.join(directory, key)


def make_pki(directory):
    """CA, server and client certificates in directory; returns a dict with
    keys ca, ca_key, server_cert, server_key, client_cert, client_key."""
    ca = make_ca(directory)
    server = make_cert(directory, "server", ca)
    client = make_cert(directory, "client", ca, san="", client=True)
    return {"ca": ca[0], "ca_key": ca[1],
            "server_cert": server[0], "server_key": server[1],
            "client_cert": client[0], "client_key": client[1]}


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accept_each(sock, on_conn):
    """Accepts connections on sock and hands each to on_conn until sock is
    closed; run it in a thread of its own."""
    while True:
        try:
            conn, _ = sock.accept()
        except OSError:
            return
        on_conn(conn)


def wait_until(predicate, timeout=10.0, step=0.02):
    """Polls predicate until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def cpu_busy(pid, seconds=1.0):
    """Share of one CPU that process pid used (user + system) over the next
    seconds, from /proc/<pid>/stat."""
    def ticks():
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    hz = os.sysconf("SC_CLK_TCK")
    t0, c0 = time.monotonic(), ticks()
    time.sleep(seconds)
    return (ticks() - c0) / hz / (time.monotonic() - t0)


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

    def close_clients(self):
        with self._lock:
            for conn in self.clients:
                conn.close()
            self.clients = []

    def close(self):
        self.close_clients()
        self._sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class Relay:
    """One run of zel_packet_monitor_wss with a given PCAP_ environment.
    Extra keyword arguments go to subprocess.Popen (user=, group=, ...)."""

    def __init__(self, env, args=("--config=",), nofile=None, **popen):
        """nofile: the relay's descriptor limit (soft and hard), set in the
        child before it starts."""
        clean = {k: os.environ[k] for k in _PASS_THROUGH if k in os.environ}
        clean.update(env)
        self.lines = []
        self.cursor = 0
        self._cond = threading.Condition()
        limit = None
        if nofile is not None:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        self.proc = subprocess.Popen([RELAY] + list(args), env=clean,
                                     preexec_fn=limit,
                                     stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, **popen)
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()

    def _collect(self):
        for raw in self.proc.stderr:
            with self._cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def wait_for(self, pattern, timeout=10.0, start=None):
        """Waits for a stderr line matching the regex pattern (re.search) at
        index start or later (default: after the last line matched so far).
        Returns the match and moves the cursor past that line; raises
        AssertionError with everything collected when it does not appear."""
        rx = re.compile(pattern)
        index = self.cursor if start is None else start
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                while index < len(self.lines):
                    m = rx.search(self.lines[index])
                    index += 1
                    if m:
                        self.cursor = index
                        return m
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None
                                 and not self._thread.is_alive()):
                    raise AssertionError(
                        "no stderr line matches %r; got:\n%s"
                        % (pattern, "\n".join(self.lines)))
                self._cond.wait(min(left, 0.2))

    def matching(self, pattern):
        """All stderr lines so far that match the regex pattern."""
        rx = re.compile(pattern)
        with self._cond:
            return [l for l in self.lines if rx.search(l)]

    def stderr(self):
        with self._cond:
            return "\n".join(self.lines)

    def stop(self, timeout=15.0):
        """SIGTERM, then waits; returns the exit status (negative for a
        signal). Kills it if it does not stop in time, and raises."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("relay did not stop after SIGTERM:\n"
                                 + self.stderr())
        self._thread.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return status

    def wait_exit(self, timeout=15.0):
        """Waits for the relay to exit on its own; returns the exit status."""
        status = self.proc.wait(timeout)
        self._thread.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return status


# --- Upstream side of client mode -------------------------------------------

class TlsListener:
    """A bare server on 127.0.0.1 for upstreams that misbehave below the
    WebSocket layer. accepted counts TCP connections. With tls=True each
    connection completes a TLS handshake and then goes to handler(conn, n)
    (n counts from 0) in a thread of its own; handler=None, or tls=False,
    keeps the connection open and silent until close()."""

    def __init__(self, cert, key, handler=None, tls=True):
        self.accepted = 0
        self._conns = []
        self._lock = threading.Lock()
        self._handler = handler
        self._ctx = None
        if tls:
            import ssl
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
        if self._ctx is not None:
            threading.Thread(target=self._serve, args=(conn, n),
                             daemon=True).start()

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


import asyncio  # noqa: E402
import logging  # noqa: E402
import ssl  # noqa: E402

import websockets  # noqa: E402
import websockets.legacy.server  # noqa: E402

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

    def __init__(self, cert, key, port=None, client_ca=None, host="127.0.0.1"):
        self.host = host
        self.port = port or free_port()
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
        self._server = self._loop.run_until_complete(websockets.serve(
            self._handler, self.host, self.port, ssl=self._ctx,
            create_protocol=lambda *a, **k: self._protocol(*a, **k),
            ping_interval=None,
            max_size=None, max_queue=None))
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
