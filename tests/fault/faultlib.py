"""Shared pieces of the fault-injection tests: the real capture daemon on lo
with its socket in a private folder, SIP datagrams sent to it over UDP, and
an event-socket reader. Process handling, the relay and its peers come from
tests/lib (zelproc, zelpki, relaytest, subscribers).

Every peer here is on loopback, and every wait is bounded."""

import os
import re
import socket
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zelproc  # noqa: E402

BIN = os.environ["ZEL_BIN"]
DAEMON = os.path.join(BIN, "zel_packet_monitor")
RELAY = os.path.join(BIN, "zel_packet_monitor_wss")

def udp_port():
    """A UDP port for one daemon's capture filter that nobody else uses:
    free right now, and outside 47000-47999 where other suites keep fixed
    ports of their own. Tests run side by side, so a fixed list here would
    let one test's datagrams reach another's daemon."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if not 47000 <= port <= 47999:
            return port


def sip(call_id, method="OPTIONS", pad=0):
    return ("%s sip:probe@127.0.0.1 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-%s\r\n"
            "From: <sip:alice@example.com>;tag=1\r\n"
            "To: <sip:bob@example.com>\r\n"
            "Call-ID: %s\r\n"
            "CSeq: 1 %s\r\n"
            "X-Pad: %s\r\n\r\n"
            % (method, call_id, call_id, method, "p" * pad)).encode()


class SipSender:
    def __init__(self, port):
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def send(self, call_id, **kw):
        self.sock.sendto(sip(call_id, **kw), ("127.0.0.1", self.port))

    def close(self):
        self.sock.close()


class Daemon(zelproc.Program):
    """zel_packet_monitor capturing "udp port P" on lo, in this process's
    environment; stderr is collected in a thread so that a chatty daemon
    never blocks on its pipe."""

    name = "daemon"

    def __init__(self, sock_path, port, preexec_fn=None, wrapper=()):
        self.sock_path = sock_path
        self.port = port
        argv = list(wrapper) + [DAEMON, "-i", "lo", "-f", "udp port %d" % port,
                                "-s", sock_path, "-S", "fault"]
        super().__init__(argv, preexec_fn=preexec_fn)

    def wait_banner(self, timeout=30):
        if not zelproc.wait_until(
                lambda: "zel_packet_monitor: interface=lo" in self.stderr()
                or self.proc.poll() is not None, timeout):
            raise AssertionError("no banner: " + self.stderr())
        if self.proc.poll() is not None:
            raise AssertionError("daemon ended at start, status %s: %s"
                                 % (self.proc.returncode, self.stderr()))
        # The banner comes after the capture is active, so datagrams sent
        # from now on are seen.

    def stop(self, timeout=30):
        """SIGTERM; returns the exit status (raises if it does not stop)."""
        return super().stop(timeout)


class EventReader:
    """A client of the daemon's event socket, reading in a thread."""

    def __init__(self, path, read=True, keep=None):
        """keep: hold only the last `keep` lines (count keeps counting)."""
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.lines = []
        self.count = 0
        self.keep = keep
        self.eof = False
        self._buf = b""
        if read:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                chunk = self.sock.recv(1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                self.eof = True
                return
            self._buf += chunk
            *done, self._buf = self._buf.split(b"\n")
            self.count += len(done)
            self.lines.extend(done)
            if self.keep is not None and len(self.lines) > self.keep:
                del self.lines[:-self.keep]

    def close(self):
        self.sock.close()


def call_ids(lines):
    """The call id of every record line (bytes or str), in order."""
    out = []
    for l in lines:
        if isinstance(l, bytes):
            l = l.decode()
        m = re.search(r'"call_id":"([^"]*)"', l)
        out.append(m.group(1) if m else None)
    return out
