"""A throwaway PKI made with the openssl command line: a CA, server
certificates for localhost, 127.0.0.1 and ::1, and client certificates;
PkiTestCase gives a test class one for all its tests.
"""

import os
import subprocess
import tempfile
import unittest


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


class PkiTestCase(unittest.TestCase):
    """A test case with one throwaway PKI (make_pki) for the whole class, in
    the temporary directory cls.tmp, removed when the class is done."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.pki = make_pki(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()
