"""A real three-node NATS JetStream cluster on loopback, fresh for each test.

Cluster(tmpdir, token=None, tls=None) writes one configuration file and one
store folder per node under tmpdir, on free loopback ports, and start() runs
three nats-server processes and waits until the cluster is ready: every
/healthz answers 200 and /jsz names a meta leader. kill()/restart() end and
start one node; stream_leader() asks the monitoring port which node leads a
stream. stop() ends every node it started.

A cluster is never reused between tests, and a stream is never deleted and
created again on a running one: nats-server 2.9.10 can then leave a replica
silently missing messages after a restart.

token: the client token every node requires. tls: a zelpki.make_pki() dict;
the client port then requires TLS with its server certificate.

read_stream() reads every message of a stream through tests/support's
zel_nats_read (Debian has no nats command-line tool) and returns a list of
{"seq", "headers", "data"} dicts in stream order.
"""

import json
import os
import random
import shutil
import signal
import socket
import subprocess
import urllib.error
import urllib.request

import zelproc

NATS_SERVER = shutil.which("nats-server") or "/usr/sbin/nats-server"
NODES = ("n1", "n2", "n3")


# Below the kernel's ephemeral range (32768 and up): a port picked there
# can be taken by any outgoing connection before nats-server binds it.
_PORT_LOW, _PORT_HIGH = 20000, 32000
_taken = set()


def _listen_port():
    """A loopback port below the ephemeral range, free a moment ago and not
    handed out before by this process."""
    while True:
        port = random.randrange(_PORT_LOW, _PORT_HIGH)
        if port in _taken:
            continue
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        _taken.add(port)
        return port


def _get_json(url, timeout=1.0):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return json.loads(r.read().decode())


class Node:
    def __init__(self, name, directory):
        self.name = name
        self.directory = directory
        self.client_port = _listen_port()
        self.cluster_port = _listen_port()
        self.monitor_port = _listen_port()
        self.conf = os.path.join(directory, name + ".conf")
        self.log = os.path.join(directory, name + ".log")
        self.proc = None

    def monitor(self, path):
        return _get_json("http://127.0.0.1:%d%s" % (self.monitor_port, path))

    def healthy(self):
        try:
            with urllib.request.urlopen(
                    "http://127.0.0.1:%d/healthz" % self.monitor_port,
                    timeout=1.0) as r:
                return r.status == 200
        except (OSError, urllib.error.URLError):
            return False

    def running(self):
        return self.proc is not None and self.proc.poll() is None


class Cluster:
    def __init__(self, directory, token=None, tls=None, name="zeltest"):
        if not os.access(NATS_SERVER, os.X_OK):
            raise AssertionError("nats-server is not installed "
                                 "(scripts/install-deps --test)")
        self.directory = directory
        self.token = token
        self.tls = tls
        self.name = name
        self.nodes = [Node(n, directory) for n in NODES]
        for node in self.nodes:
            self._write_conf(node)

    def _write_conf(self, node):
        routes = ", ".join("nats-route://127.0.0.1:%d" % n.cluster_port
                           for n in self.nodes)
        lines = [
            "server_name: %s" % node.name,
            "listen: 127.0.0.1:%d" % node.client_port,
            "http: 127.0.0.1:%d" % node.monitor_port,
            'jetstream { store_dir: "%s", max_memory_store: 256MB, '
            "max_file_store: 4GB }" % os.path.join(self.directory, node.name),
            "cluster { name: %s, listen: 127.0.0.1:%d, routes: [%s] }"
            % (self.name, node.cluster_port, routes),
        ]
        if self.token is not None:
            lines.append('authorization { token: "%s" }' % self.token)
        if self.tls is not None:
            lines.append('tls { cert_file: "%s", key_file: "%s", timeout: 2 }'
                         % (self.tls["server_cert"], self.tls["server_key"]))
        with open(node.conf, "w") as f:
            f.write("\n".join(lines) + "\n")

    def urls(self, scheme="nats"):
        """The client URLs of all three nodes, comma-separated."""
        return ",".join("%s://127.0.0.1:%d" % (scheme, n.client_port)
                        for n in self.nodes)

    def node(self, name):
        return next(n for n in self.nodes if n.name == name)

    def _spawn(self, node):
        log = open(node.log, "ab")
        node.proc = subprocess.Popen([NATS_SERVER, "-c", node.conf],
                                     stdin=subprocess.DEVNULL, stdout=log,
                                     stderr=subprocess.STDOUT)
        log.close()

    def start(self, timeout=20.0):
        for node in self.nodes:
            self._spawn(node)
        try:
            self.wait_ready(timeout)
        except AssertionError:
            self.stop()  # setUp failed: no tearDown will
            raise
        return self

    def meta_leader(self):
        """The meta leader's name as one running node reports it, or None."""
        for node in self.nodes:
            if not node.running():
                continue
            try:
                leader = node.monitor("/jsz").get("meta_cluster", {}).get("leader")
            except (OSError, ValueError, urllib.error.URLError):
                continue
            if leader:
                return leader
        return None

    def wait_ready(self, timeout=20.0, nodes=None):
        """Every running node (or those named) healthy and a meta leader
        known; raises with the nodes' logs otherwise."""
        names = nodes or [n.name for n in self.nodes if n.running()]

        def ready():
            return (all(self.node(n).healthy() for n in names)
                    and self.meta_leader() is not None)
        if not zelproc.wait_until(ready, timeout, 0.05):
            raise AssertionError("NATS cluster not ready after %.0f s:\n%s"
                                 % (timeout, self.logs()))

    def stream_leader(self, stream):
        """Name of the node that leads stream, or None while it has none. Only
        a node that names itself is believed: a follower's view of who leads
        can lag behind a change of leader."""
        for node in self.nodes:
            if not node.running():
                continue
            try:
                jsz = node.monitor("/jsz?streams=true")
            except (OSError, ValueError, urllib.error.URLError):
                continue
            for account in jsz.get("account_details", []):
                for s in account.get("stream_detail", []):
                    if s.get("name") != stream:
                        continue
                    leader = (s.get("cluster") or {}).get("leader")
                    if leader and leader == node.name:
                        return leader
        return None

    def wait_stream_leader(self, stream, timeout=20.0, other_than=None):
        def leader():
            name = self.stream_leader(stream)
            return name if name and name != other_than else None
        name = zelproc.wait_until(leader, timeout, 0.05)
        if not name:
            raise AssertionError("stream %s has no leader after %.0f s" % (stream, timeout))
        return name

    def kill(self, name):
        """SIGKILL for one node, as a crash would end it."""
        node = self.node(name)
        if node.running():
            node.proc.send_signal(signal.SIGKILL)
            node.proc.wait(10)

    def restart(self, name, timeout=20.0):
        node = self.node(name)
        if node.running():
            raise AssertionError("node %s is still running" % name)
        self._spawn(node)
        if not zelproc.wait_until(node.healthy, timeout, 0.05):
            raise AssertionError("node %s not healthy after restart:\n%s"
                                 % (name, self.logs()))

    def logs(self):
        out = []
        for node in self.nodes:
            try:
                with open(node.log, errors="replace") as f:
                    out.append("--- %s\n%s" % (node.name, f.read()[-4000:]))
            except OSError:
                pass
        return "\n".join(out)

    def stop(self):
        for node in self.nodes:
            if node.running():
                node.proc.send_signal(signal.SIGTERM)
        for node in self.nodes:
            if node.proc is None:
                continue
            try:
                node.proc.wait(5)
            except subprocess.TimeoutExpired:
                node.proc.kill()
                node.proc.wait(5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def read_stream(reader, url, stream, env=None, timeout=60, extra=()):
    """Every message of stream, in stream order, read with the zel_nats_read
    program at path reader (extra: more of its options); a list of
    {"seq", "headers", "data"}, data bytes as Latin-1 characters."""
    p = subprocess.run([reader, "--url", url, "--stream", stream] + list(extra),
                       env=zelproc.clean_env(env or {}), capture_output=True,
                       timeout=timeout)
    if p.returncode != 0:
        raise AssertionError("zel_nats_read failed (%d): %s"
                             % (p.returncode, p.stderr.decode(errors="replace")))
    return [json.loads(l) for l in p.stdout.decode().splitlines() if l]

