"""The relay's default configuration files: which one is read, that only one
is read, that missing ones are silent, and that an explicit choice turns them
off. The files live at fixed system paths, so this script moves aside
whatever is there, writes its own, and puts everything back afterwards.

The files written here only set PCAP_RELAY_SWITCH_ID, which a client-mode
run always sets in its own environment (and server mode never reads), so a
relay started by another test meanwhile is not affected.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import zelproc  # noqa: E402

BIN = os.path.join(os.environ.get("ZEL_BIN", ""), "zel_packet_monitor_wss")
CONF_DIR = "/opt/quarna_v6/zel_packet_monitor/conf"
DEFAULTS = [
    CONF_DIR + "/zel_packet_monitor_wss.conf",
    CONF_DIR + "/zel-packet-monitor-wss.conf",
    "/etc/zel-packet-monitor-wss.env",
]
BASE = {
    "PCAP_RELAY_URL": "wss://relay.example/in",
    "PCAP_RELAY_TOKEN": "zeltoken" * 4,
}
REQUIRED = "PCAP_RELAY_SWITCH_ID is required\n"
# Stand-ins for file contents in place(): a directory or a FIFO at that path.
DIRECTORY = object()
FIFO = object()


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        os.rmdir(path)
    elif os.path.lexists(path):
        os.remove(path)


def report(switch_id):
    return ("configuration valid mode=wss-client enabled=true host=relay.example port=443 "
            "path=/in switch_id=%s\n" % switch_id)


def run_relay(env, args):
    return zelproc.run([BIN] + args, env)


class DefaultFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.saved = tempfile.mkdtemp(prefix="zel-saved-defaults-")
        cls.moved = []  # (original path, saved copy)
        for i, path in enumerate(DEFAULTS):
            if os.path.lexists(path):
                keep = os.path.join(cls.saved, str(i))
                shutil.move(path, keep)
                cls.moved.append((path, keep))
        # Directories this script creates, deepest last, so they can be removed.
        cls.made_dirs = []
        d = CONF_DIR
        missing = []
        while not os.path.isdir(d):
            missing.append(d)
            d = os.path.dirname(d)
        for d in reversed(missing):
            os.mkdir(d)
            cls.made_dirs.append(d)

    @classmethod
    def tearDownClass(cls):
        for path in DEFAULTS:
            remove(path)
        for path, keep in cls.moved:
            shutil.move(keep, path)
        for d in reversed(cls.made_dirs):
            os.rmdir(d)
        shutil.rmtree(cls.saved)

    def setUp(self):
        for path in DEFAULTS:
            remove(path)

    def place(self, files):
        """files: {index into DEFAULTS: content, DIRECTORY or FIFO}"""
        for path in DEFAULTS:
            remove(path)
        for i, text in files.items():
            if text is DIRECTORY:
                os.mkdir(DEFAULTS[i])
            elif text is FIFO:
                os.mkfifo(DEFAULTS[i])
            else:
                with open(DEFAULTS[i], "w") as f:
                    f.write(text)

    def test_choice(self):
        other = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
        other.write("# sets nothing\n")
        other.close()
        self.addCleanup(os.remove, other.name)
        sid = "PCAP_RELAY_SWITCH_ID=%s\n"
        cases = [
            # name, files present, extra env, args, stderr, stdout, status
            ("none present is silent", {}, {}, ["--check-config"], REQUIRED, "", 2),
            ("none present, valid config", {}, {"PCAP_RELAY_SWITCH_ID": "env"}, ["--check-config"], "",
             report("env"), 0),
            ("third only", {2: sid % "etc"}, {}, ["--check-config"], "", report("etc"), 0),
            ("second before third", {1: sid % "second", 2: sid % "etc"}, {}, ["--check-config"], "",
             report("second"), 0),
            ("first before the others", {0: sid % "first", 1: sid % "second", 2: sid % "etc"}, {},
             ["--check-config"], "", report("first"), 0),
            ("only the first found is read", {0: "# nothing\n", 2: sid % "etc"}, {}, ["--check-config"],
             REQUIRED, "", 2),
            # Not regular files: skipped like unreadable ones, never waited on.
            ("a directory is skipped", {0: DIRECTORY, 2: sid % "etc"}, {}, ["--check-config"], "",
             report("etc"), 0),
            ("a FIFO is skipped", {1: FIFO, 2: sid % "etc"}, {}, ["--check-config"], "", report("etc"), 0),
            ("environment wins over a default file", {0: sid % "first"}, {"PCAP_RELAY_SWITCH_ID": "env"},
             ["--check-config"], "", report("env"), 0),
            ("PCAP_CONFIG_FILE turns defaults off", {0: sid % "first"}, {"PCAP_CONFIG_FILE": other.name},
             ["--check-config"], REQUIRED, "", 2),
            ("--config= turns defaults off", {0: sid % "first", 2: sid % "etc"}, {},
             ["--config=", "--check-config"], REQUIRED, "", 2),
            ("--config= also ignores PCAP_CONFIG_FILE", {0: sid % "first"},
             {"PCAP_CONFIG_FILE": "/nonexistent/zel.conf"}, ["--config=", "--check-config"], REQUIRED, "", 2),
            ("command line path turns defaults off", {0: sid % "first"}, {}, ["-c", other.name, "--check-config"],
             REQUIRED, "", 2),
        ]
        for name, files, extra, args, want_err, want_out, want_rc in cases:
            with self.subTest(name):
                self.place(files)
                err, out, rc = run_relay(dict(BASE, **extra), args)
                self.assertEqual(err, want_err)
                self.assertEqual(out, want_out)
                self.assertEqual(rc, want_rc)


if __name__ == "__main__":
    unittest.main()
