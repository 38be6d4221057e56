"""A stand-in for the relay's sequenced subscriber endpoint, on
python3-websockets over TLS: it accepts connections offering the subprotocol
zel-pcap-relay.seq (or, with subprotocols=[], none), records each request's
path, and sends, drops or closes exactly when the test says so. It runs its
own event loop in a thread; every method is called from the test's thread.
"""

import asyncio
import json
import ssl
import threading

import websockets

PROTOCOL = "zel-pcap-relay.seq"


def event(seq, boot, record):
    """A sequenced message; record is a dict (an object event) or a str (a
    line that was not an object)."""
    return json.dumps({"seq": seq, "boot": boot, "event": record}, separators=(",", ":"))


def gap(boot, first, last, reason):
    return json.dumps({"gap": {"boot": boot, "from": first, "to": last, "reason": reason}},
                      separators=(",", ":"))


def record(n, **fields):
    """An event record shaped like the daemon's, numbered n."""
    r = {"type": "sip.message", "switch_id": "sw", "timestamp_ms": 1796635423059 + n,
         "call_id": "call-%d@example" % n, "source": "127.0.0.1:5062",
         "destination": "127.0.0.1:5060", "from": "1001", "to": "1002", "label": "INVITE",
         "method": "INVITE", "status": "", "cseq": "%d INVITE" % n, "raw": ""}
    r.update(fields)
    return r


class SeqServer:
    def __init__(self, pki, subprotocols=(PROTOCOL,)):
        self.paths = []  # request path of every connection, in order
        self.headers = []
        self._conns = []
        self._cond = threading.Condition()
        self._loop = asyncio.new_event_loop()
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(pki["server_cert"], pki["server_key"])
        self._ssl = ctx
        self._subprotocols = list(subprotocols)
        started = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(started,), daemon=True)
        self._thread.start()
        started.wait(10)
        self.url = "wss://127.0.0.1:%d/events" % self.port

    def _run(self, started):
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(websockets.serve(
            self._handler, "127.0.0.1", 0, ssl=self._ssl,
            subprotocols=self._subprotocols or None, max_size=None))
        self.port = self._server.sockets[0].getsockname()[1]
        started.set()
        self._loop.run_forever()

    async def _handler(self, ws, path):
        with self._cond:
            self.paths.append(path)
            self.headers.append(dict(ws.request_headers))
            self._conns.append(ws)
            self._cond.notify_all()
        try:
            await ws.wait_closed()
        finally:
            with self._cond:
                self._cond.notify_all()

    def wait_connections(self, n, timeout=15):
        """Waits until n connections have been accepted; returns the newest."""
        with self._cond:
            if not self._cond.wait_for(lambda: len(self._conns) >= n, timeout):
                raise AssertionError("only %d connections, waited for %d"
                                     % (len(self._conns), n))
            return self._conns[n - 1]

    def _call(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(10)

    def send(self, ws, *texts):
        async def go():
            for t in texts:
                await ws.send(t)
        self._call(go())

    def send_bytes(self, ws, data):
        self._call(ws.send(data))

    def drop(self, ws):
        """Ends the TCP connection without a close frame, as a crash would."""
        self._loop.call_soon_threadsafe(ws.transport.abort)

    def close(self, ws, code=1000, reason=""):
        self._call(ws.close(code, reason))

    def open_count(self):
        with self._cond:
            return sum(1 for ws in self._conns if ws.open)

    def stop(self):
        if not self._thread.is_alive():
            return

        async def go():
            self._server.close()
            await self._server.wait_closed()
        try:
            self._call(go())
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)
            if not self._thread.is_alive():
                self._loop.close()
