"""Processes and waits shared by every Python test suite.

- clean_env() / run(): a program's environment reduced to what the test
  names, with the sanitizer settings of `make test` passed through so that a
  sanitizer report turns into a non-zero exit status.
- Program: a program started in the background whose standard error is
  collected line by line in a thread, with wait_for()/matching() on those
  lines and a SIGTERM stop that never hangs the suite.
- wait_until(), free_port(), accept_each(): bounded polling and loopback
  sockets.
- cpu_seconds(), cpu_busy(), rss_kib(): what /proc says about a process.
"""

import os
import re
import signal
import random
import socket
import subprocess
import threading
import time

# Environment variables that survive a clean environment.
SANITIZER_VARS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS",
                  "LSAN_OPTIONS")

# A sanitizer build is much slower and holds freed memory back on purpose;
# tests that measure memory or rates read this.
SANITIZED = any(k in os.environ for k in ("ASAN_OPTIONS", "TSAN_OPTIONS"))


def clean_env(env=()):
    """Only the sanitizer settings of this process, plus env."""
    clean = {k: os.environ[k] for k in SANITIZER_VARS if k in os.environ}
    clean.update(env)
    return clean


def run(argv, env, timeout=20):
    """Runs argv to its end in a clean environment plus env; returns
    (stderr, stdout, exit status) with the outputs decoded. A program that
    blocks (on a FIFO, a device) fails the case instead of hanging the
    suite."""
    p = subprocess.run(list(argv), env=clean_env(env), capture_output=True,
                       timeout=timeout)
    return (p.stderr.decode("utf-8", "replace"),
            p.stdout.decode("utf-8", "replace"), p.returncode)


class Program:
    """One background run of argv. env=None inherits this process's
    environment; a dict gives a clean one (clean_env). Standard input is
    empty and standard output discarded unless popen says otherwise; the
    remaining keyword arguments go to subprocess.Popen.

    lines holds every standard error line so far without its newline."""

    name = "program"

    def __init__(self, argv, env=None, **popen):
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.DEVNULL)
        self.lines = []
        self.cursor = 0
        self._raw = []
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(
            list(argv), env=None if env is None else clean_env(env),
            stderr=subprocess.PIPE, **popen)
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()

    def _collect(self):
        for raw in self.proc.stderr:
            text = raw.decode(errors="replace")
            with self._cond:
                self._raw.append(text)
                self.lines.append(text.rstrip("\n"))
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
        """Everything on standard error so far, as written."""
        with self._cond:
            return "".join(self._raw)

    def _finish(self):
        self._thread.join(5)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()

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
            raise AssertionError("%s did not stop after SIGTERM:\n%s"
                                 % (self.name, self.stderr()))
        self._finish()
        return status

    def kill(self):
        """SIGKILL, as a crash would end it."""
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)
        self._finish()

    def wait_exit(self, timeout=15.0):
        """Waits for it to exit on its own; returns the exit status."""
        status = self.proc.wait(timeout)
        self._finish()
        return status


def wait_until(predicate, timeout=10.0, step=0.02):
    """Polls predicate until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago. It is drawn below
    the kernel's ephemeral range (32768 up): a port from that range can be
    taken by any outgoing connection of a test running beside this one (some
    open thousands) before the program under test binds it."""
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(10000, 20000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port between 10000 and 20000")


def accept_each(sock, on_conn):
    """Accepts connections on sock and hands each to on_conn until sock is
    closed; run it in a thread of its own."""
    while True:
        try:
            conn, _ = sock.accept()
        except OSError:
            return
        on_conn(conn)


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_busy(pid, seconds=1.0):
    """Share of one CPU that process pid used (user + system) over the next
    seconds."""
    t0, c0 = time.monotonic(), cpu_seconds(pid)
    time.sleep(seconds)
    return (cpu_seconds(pid) - c0) / (time.monotonic() - t0)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)
