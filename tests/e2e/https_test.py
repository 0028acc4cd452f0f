#!/usr/bin/env python3
"""corvel-update over HTTPS against a local server whose certificate comes
from a test CA made here: trusted through SSL_CERT_FILE or CURL_CA_BUNDLE it
installs; a certificate from another CA, or a name it was not issued for,
is a failure that installs nothing (and never a retry over plain HTTP).

usage: https_test.py [--trustca TRUSTCA_EXE] PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE

Under Wine, WinInet trusts the prefix's root store rather than the
environment: --trustca names the helper that adds a CA there (and removes
it again when the test ends).
"""
import datetime
import http.server
import ipaddress
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
from e2e_base import write_tree  # noqa: E402
import e2e_base as base  # noqa: E402
import update_test as ut  # noqa: E402


run = base.run_to_files

TRUSTCA = None  # the Wine helper, or None natively
FILES = {"game.exe": b"MZ game", "data/config.ini": b"volume=3\r\n"}


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def make_ca(cn):
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(_name(cn)).issuer_name(_name(cn))
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                                         data_encipherment=False, key_agreement=False, key_cert_sign=True,
                                         crl_sign=True, encipher_only=False, decipher_only=False), critical=True)
            .sign(key, hashes.SHA256()))
    return key, cert


def make_server_cert(ca_key, ca_cert, ip):
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(_name(ip)).issuer_name(ca_cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
            # The address as an IP entry (libcurl) and as a name (Wine's
            # WinInet matches names only).
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address(ip)), x509.DNSName(ip)]),
                           critical=False)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .sign(ca_key, hashes.SHA256()))
    return key, cert


def pem(path, *objects):
    with open(path, "wb") as f:
        for o in objects:
            if isinstance(o, x509.Certificate):
                f.write(o.public_bytes(serialization.Encoding.PEM))
            else:
                f.write(o.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                        serialization.NoEncryption()))


class HttpsServer(base.PyServer):
    def __init__(self, root, certfile):
        super().__init__(root)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)


class Https(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="https-e2e-")
        client = os.path.join(self.tmp, "client")
        self.root = os.path.join(self.tmp, "srv")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(self.install)
        write_tree(client, FILES)
        r = run(base.command(ut.PUBLISH, base.host_path(ut.PUBLISH, client),
                           base.host_path(ut.PUBLISH, os.path.join(self.root, "Updater"))))
        self.assertEqual(r.returncode, 0, r.stderr)
        ca_key, self.ca = make_ca("Corvel Test CA")
        self.server_pem = os.path.join(self.tmp, "server.pem")
        key, cert = make_server_cert(ca_key, self.ca, "127.0.0.1")
        pem(self.server_pem, key, cert)
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def serve(self, certfile):
        server = HttpsServer(self.root, certfile)
        self.servers.append(server)
        return server

    def trust(self, cert):
        """Makes the CA trusted for this test: the variable natively, the
        prefix's root store under Wine. Returns the variable to set."""
        path = os.path.join(self.tmp, "trusted-%d.pem" % len(self.servers))
        pem(path, cert)
        if TRUSTCA is None:
            return path
        der = path + ".der"
        with open(der, "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.DER))
        add = base.command(TRUSTCA, "add", base.host_path(TRUSTCA, der))
        r = run(add, timeout=120)
        if r.returncode != 0 and not r.stderr:
            # Wine itself failed to start the helper (exit 1, nothing said:
            # seen once while a wineserver was shutting down); setup only.
            r = run(add, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.addCleanup(run, base.command(TRUSTCA, "remove", base.host_path(TRUSTCA, der)), timeout=120)
        return path

    def update(self, url, env_name, ca_file):
        env = base.child_env()
        for name in ("SSL_CERT_FILE", "CURL_CA_BUNDLE", "SSL_CERT_DIR"):
            env.pop(name, None)
        env[env_name] = ca_file
        cmd = base.command(ut.UPDATE, "--force", "--dir", base.host_path(ut.UPDATE, self.install), url)
        r = run(cmd, timeout=300, env=env)
        return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")

    def test_trusted_ca_installs_through_either_variable(self):
        server = self.serve(self.server_pem)
        url = "https://127.0.0.1:%d/Updater/" % server.port
        ca_file = self.trust(self.ca)
        for variable in ("SSL_CERT_FILE", "CURL_CA_BUNDLE"):
            with self.subTest(variable=variable):
                shutil.rmtree(self.install)
                os.makedirs(self.install)
                code, out = self.update(url, variable, ca_file)
                self.assertEqual(code, 0, out)
                self.assertEqual(base.tree_of(self.install), base.on_disk(FILES), out)

    def test_untrusted_certificates_fail_and_install_nothing(self):
        server = self.serve(self.server_pem)
        # The client trusts another CA only.
        other_key, other = make_ca("Corvel Other CA")
        code, out = self.update("https://127.0.0.1:%d/Updater/" % server.port, "SSL_CERT_FILE", self.trust(other))
        self.assertEqual(code, 1, out)
        self.assertEqual(os.listdir(self.install), [])
        # A trusted CA's certificate for another address.
        ca_key, ca = make_ca("Corvel Test CA 2")
        ca2 = self.trust(ca)
        key, cert = make_server_cert(ca_key, ca, "127.0.0.2")
        wrong_name = os.path.join(self.tmp, "wrong-name.pem")
        pem(wrong_name, key, cert)
        server = self.serve(wrong_name)
        code, out = self.update("https://127.0.0.1:%d/Updater/" % server.port, "SSL_CERT_FILE", ca2)
        self.assertEqual(code, 1, out)
        self.assertEqual(os.listdir(self.install), [])
        # Neither server got as far as a request.
        for s in self.servers:
            self.assertEqual(s.requests(), [])


class Http2(unittest.TestCase):
    """Over TLS, libcurl and nginx agree on HTTP/2 (ALPN), and the install's
    requests travel as streams of one connection instead of one connection
    (and one round trip at a time) each."""

    def setUp(self):
        if TRUSTCA is not None:
            self.skipTest("WinInet under Wine speaks HTTP/1.1 only")
        self.tmp = tempfile.mkdtemp(prefix="h2-e2e-")
        self.files = {"d%d/f%03d.dat" % (i % 3, i): os.urandom(200 + 97 * i) for i in range(60)}
        client = os.path.join(self.tmp, "client")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(self.install)
        write_tree(client, self.files)
        root = os.path.join(self.tmp, "srv")
        r = run(base.command(ut.PUBLISH, client, os.path.join(root, "Updater")))
        self.assertEqual(r.returncode, 0, r.stderr)
        ca_key, ca = make_ca("Corvel Test CA")
        server_pem = os.path.join(self.tmp, "server.pem")
        key, cert = make_server_cert(ca_key, ca, "127.0.0.1")
        pem(server_pem, key, cert)
        self.ca_file = os.path.join(self.tmp, "ca.pem")
        pem(self.ca_file, ca)
        try:
            self.server = ut.Nginx(self.tmp, root, tls=server_pem)
        except (OSError, RuntimeError) as e:
            self.fail("nginx did not start: %s" % e)

    def tearDown(self):
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_install_goes_as_streams_of_one_connection(self):
        env = base.child_env()
        for name in ("SSL_CERT_FILE", "CURL_CA_BUNDLE", "SSL_CERT_DIR"):
            env.pop(name, None)
        env["SSL_CERT_FILE"] = self.ca_file
        cmd = base.command(ut.UPDATE, "--force", "--dir", self.install, "https://127.0.0.1:%d/Updater/" % self.server.port)
        r = run(cmd, timeout=300, env=env)
        out = r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")
        self.assertEqual(r.returncode, 0, out)
        self.assertEqual(base.tree_of(self.install), base.on_disk(self.files), out)
        streams = self.server.streams()
        self.assertEqual(len(streams), len(self.files) + 1)
        self.assertEqual({protocol for protocol, _ in streams}, {b"HTTP/2.0"})
        per_connection = {}
        for _, connection in streams:
            per_connection[connection] = per_connection.get(connection, 0) + 1
        # Each request waits for the first connection to learn it multiplexes
        # rather than open one of its own.
        self.assertLessEqual(len(per_connection), 2, per_connection)
        self.assertGreaterEqual(max(per_connection.values()), len(streams) // 2, per_connection)


def main():
    global TRUSTCA
    if len(sys.argv) > 2 and sys.argv[1] == "--trustca":
        TRUSTCA = os.path.abspath(sys.argv[2])
        del sys.argv[1:3]
    return suite.run_with_programs(__name__, __doc__, ut)


if __name__ == "__main__":
    sys.exit(main())
