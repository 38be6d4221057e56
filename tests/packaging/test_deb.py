#!/usr/bin/python3
"""What an operator gets from the Debian package, on this very machine (root):
`make deb` builds it without the test libraries, lintian finds no error, apt
installs it with runtime libraries only, the programs, units, accounts and
configuration work as installed, removal stops and disables, and purge leaves
nothing but the accounts. Everything is put back as it was, failed or not,
so the test can run again; a run killed half-way is cleaned up by the next.
"""

import grp
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ["ZEL_BUILD"]
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEB_TREE = os.path.join(BUILD, "deb-package")
PACKAGE = "zel-packet-monitor"
CONFIG = "/etc/zel-packet-monitor-wss.env"
UNITS = ("zel-packet-monitor.service", "zel-packet-monitor-wss.service")
USERS, GROUPS = ("zel-capture", "zel-relay"), ("zel-events",)
# Present while a run has the package installed or the accounts made: the
# next run then knows they are its own to clean up.
MARKER = "/var/tmp/zel-packet-monitor-deb-test.running"
APT = ["apt-get", "-y", "-q", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=120"]
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def cmd(argv, check=True, **kw):
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive", LC_ALL="C.UTF-8")
    for k in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL"):  # a make of our own, not a job of ctest's
        env.pop(k, None)
    env.update(kw.pop("env", {}))
    r = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=kw.pop("timeout", 600), **kw)
    if check and r.returncode != 0:
        raise AssertionError("%s exited %d\n%s%s" % (" ".join(argv), r.returncode, r.stdout, r.stderr))
    return r


def installed():
    r = cmd(["dpkg-query", "-W", "-f=${db:Status-Abbrev}", PACKAGE], check=False)
    return r.returncode == 0 and r.stdout.strip() not in ("", "un")


def account_names():
    names = []
    for name in USERS:
        try:
            pwd.getpwnam(name)
            names.append(name)
        except KeyError:
            pass
    for name in GROUPS + USERS:
        try:
            grp.getgrnam(name)
            names.append("group " + name)
        except KeyError:
            pass
    return names


def purge():
    if installed():
        cmd(APT + ["purge", PACKAGE])


def delete_accounts(keep):
    for name in USERS:
        if name not in keep:
            cmd(["userdel", name], check=False)
    for name in GROUPS + USERS:
        if "group " + name not in keep:
            cmd(["groupdel", name], check=False)


def leftovers(paths):
    """What of the package's files, the maintainer scripts' records and the
    units' links is still on the system."""
    left = [p for p in paths if os.path.lexists(p) and not os.path.isdir(p)]
    left += [p for p in ("/usr/share/doc/" + PACKAGE,) if os.path.lexists(p)]
    for top in ("/etc", "/var/lib/systemd"):
        for dirpath, dirnames, filenames in os.walk(top):
            left += [os.path.join(dirpath, n) for n in dirnames + filenames if n.startswith(PACKAGE)]
    if cmd(["dpkg-statoverride", "--list", CONFIG], check=False).returncode == 0:
        left.append("statoverride " + CONFIG)
    return left


def setUpModule():
    global ACCOUNTS_BEFORE, DEB
    if os.path.exists(MARKER):  # an earlier run was killed before its cleanup
        with open(MARKER) as f:
            keep = f.read().splitlines()
        purge()
        delete_accounts(keep)
        os.unlink(MARKER)
    elif installed():
        raise RuntimeError("refusing to run: %s is installed on this machine, not by this test" % PACKAGE)
    ACCOUNTS_BEFORE = account_names()
    # A tree of its own, tests off, and GoogleTest and Google Benchmark
    # declared missing: the package must build on a machine without them.
    r = cmd(["make", "-C", SOURCE, "--no-print-directory", "deb", "BUILD_DEB=" + DEB_TREE, "JOBS=2",
             "CMAKE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"],
            check=False)
    if r.returncode != 0:
        raise AssertionError("make deb exited %d\n%s%s" % (r.returncode, r.stdout[-4000:], r.stderr[-4000:]))
    debs = [f for f in os.listdir(DEB_TREE) if f.endswith(".deb")]
    version = cmd(["sed", "-n", "s/^CMAKE_PROJECT_VERSION:STATIC=//p", os.path.join(BUILD, "CMakeCache.txt")]).stdout
    arch = cmd(["dpkg", "--print-architecture"]).stdout.strip()
    expected = "%s_%s_%s.deb" % (PACKAGE, version.strip(), arch)
    if debs != [expected]:
        raise AssertionError("make deb made %s, not %s" % (debs, expected))
    DEB = os.path.join(DEB_TREE, expected)


def tearDownModule():
    purge()
    delete_accounts(ACCOUNTS_BEFORE)
    if os.path.exists(MARKER):
        os.unlink(MARKER)


class Package(unittest.TestCase):
    def field(self, name):
        return cmd(["dpkg-deb", "-f", DEB, name]).stdout.strip()

    def test_lintian_finds_no_error_and_every_warning_is_explained(self):
        r = cmd(["lintian", DEB], check=False)
        tags = re.findall(r"^([EW]): %s: (\S+)" % PACKAGE, r.stdout, re.M)
        self.assertEqual([t for t in tags if t[0] == "E"], [], r.stdout)
        with open(os.path.join(SOURCE, "docs/operations.md")) as f:
            docs = f.read()
        for _, tag in tags:
            self.assertIn("`%s`" % tag, docs, "lintian warning %s is not explained in docs/operations.md" % tag)

    def test_depends_on_runtime_libraries_only(self):
        names = re.findall(r"(?:^|[,|])\s*([a-z0-9][a-z0-9.+-]*)", self.field("Depends"))
        # dpkg-shlibdeps found each program's libraries.
        for lib in ("libpcap0.8", "libwebsockets17", "libssl3", "libnats3.4", "libc6"):
            self.assertIn(lib, names)
        for name in names:
            with self.subTest(name):
                self.assertTrue(name in ("systemd", "systemd-sysusers")
                                or (name.startswith("lib") and not name.endswith("-dev")), name)


class InstallRemovePurge(unittest.TestCase):
    """One pass through an operator's life with the package, in order."""

    def test_install_configure_remove_purge(self):
        with open(MARKER, "w") as f:
            f.write("".join(name + "\n" for name in ACCOUNTS_BEFORE))
        r = cmd(APT + ["install", DEB])
        # Everything it needs was there: only the package itself is new.
        new = re.search(r"^The following NEW packages will be installed:\n((?:  .*\n)+)", r.stdout, re.M)
        self.assertEqual(new.group(1).split() if new else None, [PACKAGE], r.stdout)
        files = cmd(["dpkg", "-L", PACKAGE]).stdout.split()
        for path in ("/usr/sbin/zel_packet_monitor", "/usr/bin/zel_packet_monitor_wss", "/usr/bin/zel_replay",
                     "/usr/bin/zel_tail", "/usr/share/man/man1/zel_tail.1.gz",
                     "/lib/systemd/system/zel-packet-monitor.service",
                     "/lib/systemd/system/zel-packet-monitor-wss.service",
                     "/usr/lib/sysusers.d/zel-packet-monitor.conf", "/usr/share/man/man8/zel_packet_monitor.8.gz",
                     "/usr/share/man/man8/zel_packet_monitor_wss.8.gz", "/usr/share/man/man1/zel_replay.1.gz",
                     "/usr/share/doc/zel-packet-monitor/copyright", "/usr/share/doc/zel-packet-monitor/changelog.gz",
                     CONFIG, "/etc/default/zel-packet-monitor"):
            with self.subTest(path):
                self.assertIn(path, files)

        with self.subTest("accounts"):
            capture, relay = pwd.getpwnam("zel-capture"), pwd.getpwnam("zel-relay")
            members = grp.getgrnam("zel-events").gr_mem
            self.assertEqual(sorted(members), ["zel-capture", "zel-relay"])
            self.assertTrue(0 < capture.pw_uid < 1000 and 0 < relay.pw_uid < 1000)

        with self.subTest("--version"):
            version = cmd(["dpkg-query", "-W", "-f=${Version}", PACKAGE]).stdout
            for prog in ("zel_packet_monitor", "zel_packet_monitor_wss", "zel_tail"):
                out = cmd([prog, "--version"], env={"PATH": SYSTEM_PATH}).stdout
                self.assertEqual(out, "%s %s\n" % (prog, version))

        with self.subTest("systemd-analyze verify"):
            r = cmd(["systemd-analyze", "verify"] + ["/lib/systemd/system/" + u for u in UNITS], check=False)
            self.assertEqual((r.returncode, r.stderr), (0, ""))

        with self.subTest("the relay reads its configuration, edited, as its own user"):
            st = os.stat(CONFIG)
            self.assertEqual((st.st_mode & 0o777, st.st_uid, grp.getgrgid(st.st_gid).gr_name), (0o640, 0, "zel-relay"))
            tmp = tempfile.mkdtemp(prefix="zel-deb-token-")
            self.addCleanup(shutil.rmtree, tmp, True)
            os.chmod(tmp, 0o755)
            token = os.path.join(tmp, "token")
            with open(token, "w") as f:
                f.write("k" * 48 + "\n")
            os.chmod(token, 0o644)
            with open(CONFIG) as f:
                text = f.read()
            text, n = re.subn(r"(?m)^PCAP_RELAY_TOKEN_FILE=.*$", "PCAP_RELAY_TOKEN_FILE=" + token, text)
            text, m = re.subn(r"(?m)^PCAP_RELAY_URL=.*$", "PCAP_RELAY_URL=wss://127.0.0.1:8443/ingest", text)
            self.assertEqual((n, m), (1, 1))
            with open(CONFIG, "w") as f:  # in place: owner and mode stay
                f.write(text)
            r = cmd(["setpriv", "--reuid=zel-relay", "--regid=zel-relay", "--init-groups",
                     "zel_packet_monitor_wss", "--config", CONFIG, "--check-config"],
                    env={"PATH": SYSTEM_PATH}, check=False)
            self.assertEqual((r.returncode, r.stderr, r.stdout), (0, "", "configuration valid mode=wss-client "
                             "enabled=true host=127.0.0.1 port=8443 path=/ingest switch_id=lon-sbc-01\n"))

        # What an operator does next; removal must take it back.
        cmd(["systemctl", "enable"] + list(UNITS))
        links = ["/etc/systemd/system/multi-user.target.wants/" + u for u in UNITS]
        self.assertTrue(all(os.path.islink(p) for p in links))

        cmd(APT + ["remove", PACKAGE])
        with self.subTest("remove disables and keeps the configuration"):
            self.assertEqual([p for p in links if os.path.lexists(p)], [])
            self.assertFalse(os.path.exists("/usr/sbin/zel_packet_monitor"))
            self.assertTrue(os.path.exists(CONFIG))

        cmd(APT + ["purge", PACKAGE])
        with self.subTest("purge leaves nothing but the accounts"):
            self.assertEqual(leftovers(files), [])
            for name in USERS:
                pwd.getpwnam(name)
            grp.getgrnam("zel-events")


if __name__ == "__main__":
    unittest.main(verbosity=2)
