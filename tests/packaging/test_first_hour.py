"""The operations guide's server-mode first hour, run as written: its
commands are read from docs/operations.md and executed under a temporary
root (every /etc/ path moved there, the zel-relay group replaced by one this
machine has), its configuration lines become the relay's file, the check
must pass, and the relay must start its listener with the certificate and
key those commands wrote. Editor and systemctl lines are the operator's
own; they are skipped."""
import grp
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import zelproc  # noqa: E402

DOC = os.path.join(HERE, "..", "..", "docs", "operations.md")
RELAY = os.path.join(os.environ["ZEL_BIN"], "zel_packet_monitor_wss")


def section(text, title):
    start = text.index(title)
    end = text.find("\n###", start + len(title))
    return text[start:end if end >= 0 else len(text)]


def code_blocks(text):
    """The indented blocks, each as a list of logical lines (backslash
    continuations joined, trailing comments dropped)."""
    blocks, cur = [], []
    for line in text.splitlines() + [""]:
        if line.startswith("    "):
            cur.append(line[4:])
        elif line.strip() == "" and cur and cur[-1].endswith("\\"):
            continue
        elif cur:
            blocks.append(cur)
            cur = []
    out = []
    for block in blocks:
        joined = "\n".join(block).replace("\\\n", " ")
        out.append([re.sub(r"\s+#.*$", "", l).strip() for l in joined.splitlines() if l.strip()])
    return out


class ServerModeFirstHour(unittest.TestCase):
    def test_commands_run_as_written(self):
        with open(DOC) as f:
            part = section(f.read(), "### The first hour, server mode")
        commands, settings = code_blocks(part)[:2]
        root = tempfile.mkdtemp(prefix="zel-first-hour-")
        self.addCleanup(shutil.rmtree, root, True)
        group = grp.getgrgid(os.getgid()).gr_name

        def local(text):
            return text.replace("/etc/", root + "/etc/").replace("zel-relay", group)
        os.makedirs(os.path.join(root, "etc"))
        conf = os.path.join(root, "etc", "zel-packet-monitor-wss.env")
        with open(conf, "w") as f:
            f.write(local("\n".join(settings)) + "\n")
        ran = []
        for cmd in commands:
            word = cmd.split()[0]
            if word in ("editor", "systemctl"):
                continue
            if word == "zel_packet_monitor_wss":
                cmd = cmd.replace(word, RELAY, 1)
            p = subprocess.run(["/bin/sh", "-ec", local(cmd)], capture_output=True, text=True,
                               timeout=60, env=zelproc.clean_env({"PATH": os.environ["PATH"]}))
            self.assertEqual(p.returncode, 0, "%s\n%s%s" % (cmd, p.stdout, p.stderr))
            ran.append(word)
            if word == "zel_packet_monitor_wss":
                self.assertRegex(p.stdout, r"^configuration valid mode=wss-server enabled=true ")
        self.assertEqual(ran, ["install", "openssl", "chgrp", "zel_packet_monitor_wss"])
        key = os.path.join(root, "etc", "ssl", "zel", "relay-server.key")
        self.assertEqual(os.stat(key).st_mode & 0o777, 0o640)
        self.assertEqual(os.stat(os.path.dirname(key)).st_mode & 0o777, 0o750)

        # The files the commands wrote are the ones the settings name: the
        # relay listens with them (on loopback for the test).
        relay = zelproc.Program([RELAY, "--config", conf], env={
            "PCAP_WSS_HOST": "127.0.0.1", "PCAP_WSS_PORT": str(zelproc.free_port()),
            "PCAP_SOCKET": os.path.join(root, "events.sock")})
        try:
            relay.wait_for(r"wss_listener_started host=127\.0\.0\.1 ", timeout=10)
        finally:
            self.assertEqual(relay.stop(), 0)


if __name__ == "__main__":
    unittest.main()
