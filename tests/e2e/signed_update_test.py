#!/usr/bin/env python3
"""Signed publications end to end: corvel-publish keygen and --sign, then
corvel-update with the public key against Python's http.server on
127.0.0.1, attacked in every way a network attacker can: a changed list, a
signature by another key, none at all, an expired one, an older genuine
publication replayed, and a copy whose SHA-256 is not the signed one. Each
attack must end as a failure that changes no managed file and leaves
nothing behind. Signatures are checked and forged with Python's own
Ed25519 (the cryptography package), independently of libsodium.

usage: signed_update_test.py PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE
"""
import bz2
import hashlib
import http.server
import io
import os
import random
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402
import suite  # noqa: E402
from e2e_base import write_tree  # noqa: E402
import e2e_base as base  # noqa: E402
import update_test as ut  # noqa: E402


run = base.run_to_files

FILES = {
    "game.exe": b"MZ game v1",
    "system/engine.dll": bytes(range(256)) * 3000,
    "data/config.ini": b"volume=3\r\n",
}
CHANGED = "data/config.ini"
STATE = base.SERIAL


class _OnceHandler(base._LoggingHandler):
    def send_head(self):
        # A path queued in server.once is answered once with those bytes.
        path = base.request_path(self.path.encode("latin-1"))
        with self.server.log_lock:
            body = self.server.once.pop(path, None)
            if body is not None:
                self.server.log.append(path)
        if body is None:
            return super().send_head()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        return io.BytesIO(body)


class OnceServer(base.PyServer):
    """http.server that can answer chosen paths once with other bytes (a
    publication swapping the list and its signature under a client)."""

    def __init__(self, root):
        handler = lambda *a, **kw: _OnceHandler(*a, directory=root, **kw)  # noqa: E731
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self.httpd.log = []
        self.httpd.once = {}
        self.httpd.log_lock = threading.Lock()
        self.port = self.httpd.server_port
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()


def sign_text(seed, serial, expires, list_bytes):
    signed = "corvel-list-signature 1\nserial %d\n" % serial
    if expires is not None:
        signed += "expires %d\n" % expires
    signed += "sha256 %s\n" % hashlib.sha256(list_bytes).hexdigest()
    signature = Ed25519PrivateKey.from_private_bytes(seed).sign(signed.encode())
    return (signed + "ed25519 %s\n" % signature.hex()).encode()


class SignedCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="signed-e2e-")
        self.client = os.path.join(self.tmp, "client")
        self.root = os.path.join(self.tmp, "srv")
        self.published = os.path.join(self.root, "Updater")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(self.install)
        write_tree(self.client, FILES)
        self.key = os.path.join(self.tmp, "operator.key")
        self.public = self.keygen(self.key)
        self.key_arg = base.host_path(ut.PUBLISH, self.key)
        self.server = OnceServer(self.root)
        self.url = "http://127.0.0.1:%d/Updater/" % self.server.port

    def tearDown(self):
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_publish(self, *args, client=None, server=None):
        cmd = base.command(ut.PUBLISH, *args, base.host_path(ut.PUBLISH, client or self.client),
                         base.host_path(ut.PUBLISH, server or self.published))
        return run(cmd, timeout=300, env=base.child_env())

    def publish(self, *args):
        r = self.run_publish(*args)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))

    def keygen(self, path):
        r = run(base.command(ut.PUBLISH, "keygen", base.host_path(ut.PUBLISH, path)), timeout=120, env=base.child_env())
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        out = r.stdout.decode().strip()
        self.assertRegex(out, r"^[0-9a-f]{64}$")
        return out

    def seed(self, path=None):
        with open(path or self.key) as f:
            m = re.fullmatch(r"corvel-ed25519-secret-key ([0-9a-f]{64})\n", f.read())
        self.assertIsNotNone(m)
        return bytes.fromhex(m.group(1))

    def update(self, *args, key=True):
        extra = ("--public-key", self.public) if key else ()
        cmd = base.command(ut.UPDATE, *extra, *args, "--dir", base.host_path(ut.UPDATE, self.install), self.url)
        r = run(cmd, timeout=300, env=base.child_env())
        return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")

    def server_file(self, name):
        with open(os.path.join(self.published, name), "rb") as f:
            return f.read()

    def put_server_file(self, name, data):
        with open(os.path.join(self.published, name), "wb") as f:
            f.write(data)

    def install_v1(self):
        self.publish("--sign", self.key_arg, "--rev", "1")
        code, out = self.update()
        self.assertEqual(code, 0, out)
        installed = base.tree_of(self.install)
        self.assertEqual({k: v for k, v in installed.items() if k != STATE.encode()}, base.on_disk(FILES))
        self.server.clear_log()
        return installed

    def publish_v2(self, *extra):
        write_tree(self.client, {CHANGED: b"volume=9\r\n"})
        self.publish("--sign", self.key_arg, "--rev", "1", *extra)
        self.server.clear_log()

    def assert_refused(self, before, reason):
        code, out = self.update("--verbose")
        self.assertEqual(code, 1, out)
        self.assertIn("Actualizaci", out)
        self.assertIn(reason, out)
        # Every managed file and the state byte for byte as before; no
        # temporary, list or signature left behind.
        self.assertEqual(base.tree_of(self.install), before, out)
        return out

    def assert_no_copy_fetched(self):
        fetched = [p for p in self.server.requests() if not p.startswith(b"/Updater/files.lst.bz2")]
        self.assertEqual(fetched, [])


class Install(SignedCase):
    def test_signed_publication_installs_and_updates(self):
        self.publish("--sign", self.key_arg, "--rev", "1", "--valid-days", "30")
        # The list carries each file's SHA-256; the signature verifies with
        # an Ed25519 implementation other than ours.
        listing = self.server_file("files.lst").decode("cp1252")
        for rel, data in FILES.items():
            self.assertIn("%s|%s|%s|%d\r\n" % (hashlib.sha256(data).hexdigest(), rel.replace("/", "\\"),
                                               hashlib.md5(data).hexdigest(), len(data)), listing)
        sig = self.server_file("files.lst.bz2.sig").decode()
        m = re.fullmatch(r"(corvel-list-signature 1\nserial (\d+)\nexpires (\d+)\nsha256 ([0-9a-f]{64})\n)"
                         r"ed25519 ([0-9a-f]{128})\n", sig)
        self.assertIsNotNone(m, sig)
        self.assertEqual(m.group(4), hashlib.sha256(self.server_file("files.lst.bz2")).hexdigest())
        self.assertAlmostEqual(int(m.group(3)) - int(m.group(2)), 30 * 86400, delta=5)
        Ed25519PublicKey.from_public_bytes(bytes.fromhex(self.public)).verify(
            bytes.fromhex(m.group(5)), m.group(1).encode())
        serial1 = int(m.group(2))

        code, out = self.update()
        self.assertEqual(code, 0, out)
        expected = base.on_disk(FILES)
        expected[STATE.encode()] = b"%d\n" % serial1
        self.assertEqual(base.tree_of(self.install), expected, out)
        self.assertEqual(self.server.requests()[:2], [b"/Updater/files.lst.bz2", b"/Updater/files.lst.bz2.sig"])

        # A second signed publication has a higher serial, which the install
        # records.
        self.publish_v2()
        serial2 = int(re.search(r"serial (\d+)", self.server_file("files.lst.bz2.sig").decode()).group(1))
        self.assertGreater(serial2, serial1)
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(base.tree_of(self.install)[CHANGED.encode()], b"volume=9\r\n")
        self.assertEqual(base.tree_of(self.install)[STATE.encode()], b"%d\n" % serial2)

    def test_keyless_client_ignores_signatures_and_keyed_client_needs_them(self):
        # A build without a key installs a signed publication as any other
        # and never asks for the signature.
        self.publish("--sign", self.key)
        code, out = self.update("--force", key=False)
        self.assertEqual(code, 0, out)
        self.assertEqual(base.tree_of(self.install), base.on_disk(FILES), out)
        self.assertNotIn(b"/Updater/files.lst.bz2.sig", self.server.requests())
        # Republished unsigned: the old signature is removed with it, and a
        # client with a key refuses the list.
        self.publish()
        self.assertFalse(os.path.exists(os.path.join(self.published, "files.lst.bz2.sig")))
        before = base.tree_of(self.install)
        write_tree(self.client, {CHANGED: b"volume=9\r\n"})
        self.publish()
        self.server.clear_log()
        self.assert_refused(before, "refused")
        self.assert_no_copy_fetched()

    def test_publication_swapped_mid_fetch_is_fetched_again(self):
        self.publish("--sign", self.key_arg, "--rev", "1")
        old_sig = self.server_file("files.lst.bz2.sig")
        self.publish_v2()
        # The first signature answer belongs to the previous publication.
        self.server.httpd.once[b"/Updater/files.lst.bz2.sig"] = old_sig
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(base.tree_of(self.install)[CHANGED.encode()], b"volume=9\r\n")
        self.assertEqual(self.server.requests()[:4], [b"/Updater/files.lst.bz2", b"/Updater/files.lst.bz2.sig"] * 2)


class Attacks(SignedCase):
    def test_list_changed_by_one_byte(self):
        before = self.install_v1()
        self.publish_v2()
        data = bytearray(self.server_file("files.lst.bz2"))
        data[len(data) // 2] ^= 0x01
        self.put_server_file("files.lst.bz2", bytes(data))
        self.assert_refused(before, "does not match its signature")
        # Fetched once more before giving up, then nothing else.
        self.assertEqual(self.server.requests(), [b"/Updater/files.lst.bz2", b"/Updater/files.lst.bz2.sig"] * 2)

    def test_signature_from_another_key(self):
        before = self.install_v1()
        other = os.path.join(self.tmp, "attacker.key")
        self.keygen(other)
        self.publish_v2()
        os.remove(os.path.join(self.published, "files.lst.bz2.sig"))
        r = self.run_publish("--sign", base.host_path(ut.PUBLISH, other), "--rev", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_refused(before, "not the publisher's")
        self.assert_no_copy_fetched()

    def test_missing_signature(self):
        before = self.install_v1()
        self.publish_v2()
        os.remove(os.path.join(self.published, "files.lst.bz2.sig"))
        self.assert_refused(before, "refused")
        self.assert_no_copy_fetched()

    def test_expired_signature(self):
        before = self.install_v1()
        self.publish_v2()
        now = int(time.time())
        self.put_server_file("files.lst.bz2.sig",
                             sign_text(self.seed(), now + 1000, now - 60, self.server_file("files.lst.bz2")))
        self.assert_refused(before, "expired")
        self.assert_no_copy_fetched()

    def test_older_publication_replayed_after_a_newer_one(self):
        self.publish("--sign", self.key_arg, "--rev", "1")
        old = os.path.join(self.tmp, "old-publication")
        shutil.copytree(self.published, old)
        self.publish_v2()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        before = base.tree_of(self.install)
        self.assertEqual(before[CHANGED.encode()], b"volume=9\r\n")
        # The attacker serves the genuine, older publication.
        shutil.rmtree(self.published)
        shutil.copytree(old, self.published)
        self.server.clear_log()
        self.assert_refused(before, "older than one this install already accepted")
        self.assert_no_copy_fetched()

    def test_copy_whose_md5_matches_but_sha256_does_not(self):
        before = self.install_v1()
        self.publish_v2()
        # A list signed with the operator's key whose SHA-256 for the changed
        # file is not its content's: the copy matches its MD5 only.
        listing = self.server_file("files.lst")
        good = hashlib.sha256(b"volume=9\r\n").hexdigest().encode()
        self.assertIn(good, listing)
        forged = listing.replace(good, hashlib.sha256(b"something else").hexdigest().encode())
        packed = bz2.compress(forged)
        self.put_server_file("files.lst.bz2", packed)
        serial = int(time.time()) + 100
        self.put_server_file("files.lst.bz2.sig", sign_text(self.seed(), serial, None, packed))
        # The list itself is genuine, so its serial is recorded; the entry fails.
        before[STATE.encode()] = b"%d\n" % serial
        out = self.assert_refused(before, "did not complete")
        self.assertIn(b"/Updater/data/config.ini.bz2", self.server.requests(), out)

    def test_copies_decoded_ahead_are_held_to_their_sha256(self):
        """Twelve new files, fetched and decoded ahead on several connections:
        the one in the middle whose signed SHA-256 is not its content's fails
        alone, every other one installs, nothing temporary stays."""
        before = self.install_v1()
        new = {"ahead/f%02d.bin" % i: random.Random(i).randbytes(20000) for i in range(12)}
        write_tree(self.client, new)
        self.publish("--sign", self.key_arg, "--rev", "1")
        listing = self.server_file("files.lst")
        good = hashlib.sha256(new["ahead/f05.bin"]).hexdigest().encode()
        self.assertIn(good, listing)
        packed = bz2.compress(listing.replace(good, hashlib.sha256(b"something else").hexdigest().encode()))
        self.put_server_file("files.lst.bz2", packed)
        serial = int(time.time()) + 100
        self.put_server_file("files.lst.bz2.sig", sign_text(self.seed(), serial, None, packed))
        code, out = self.update("--verbose")
        self.assertEqual(code, 1, out)
        expected = dict(before)
        expected[STATE.encode()] = b"%d\n" % serial
        expected.update(base.on_disk({k: v for k, v in new.items() if k != "ahead/f05.bin"}))
        self.assertEqual(base.tree_of(self.install), expected, out)

    def test_resumed_copy_is_held_to_its_sha256_too(self):
        """A copy cut in one run and continued (206) in the next is checked
        against the signed SHA-256 like any other: it fails, is fetched once
        more whole, fails again, and the old file stays."""
        before = self.install_v1()
        big = random.Random(9).randbytes(600 * 1024)
        write_tree(self.client, {"system/engine.dll": big})
        self.publish("--sign", self.key_arg, "--rev", "1")
        listing = self.server_file("files.lst")
        good = hashlib.sha256(big).hexdigest().encode()
        self.assertIn(good, listing)
        packed = bz2.compress(listing.replace(good, hashlib.sha256(b"something else").hexdigest().encode()))
        self.put_server_file("files.lst.bz2", packed)
        serial = int(time.time()) + 100
        self.put_server_file("files.lst.bz2.sig", sign_text(self.seed(), serial, None, packed))
        before[STATE.encode()] = b"%d\n" % serial
        copy = os.path.join(self.published, "system", "engine.dll.bz2")
        with open(copy + ".fault", "w") as f:
            f.write("cut 200000")
        server = fault_server.start(self.root)
        try:
            url = "http://127.0.0.1:%d/Updater/" % server.server_port
            cmd = ut.command(ut.UPDATE, "--public-key", self.public, "--dir", ut.host_path(ut.UPDATE, self.install), url)
            r = run(cmd, timeout=300, env=ut.child_env())
            self.assertEqual(r.returncode, 1)
            partials = [n for n in os.listdir(os.path.join(self.install, "system")) if ".~corvel-resume-" in n]
            self.assertEqual(len(partials), 2, partials)
            os.remove(copy + ".fault")
            r = run(cmd, timeout=300, env=ut.child_env())
            out = (r.stdout + r.stderr).decode("utf-8", "replace")
            self.assertEqual(r.returncode, 1, out)
            self.assertEqual(ut.tree_of(self.install), before, out)
            with open(os.path.join(self.root, "bytes.log")) as f:
                statuses = [line.split()[1] for line in f if line.startswith("/Updater/system/engine.dll.bz2 ")]
            self.assertEqual(statuses, ["200", "206", "200"])
        finally:
            server.stop()

    def test_signed_entry_without_sha256_fails(self):
        before = self.install_v1()
        self.publish_v2()
        listing = self.server_file("files.lst")
        stripped = re.sub(rb"(?m)^[0-9a-f]{64}\|", b"", listing)
        packed = bz2.compress(stripped)
        self.put_server_file("files.lst.bz2", packed)
        serial = int(time.time()) + 100
        self.put_server_file("files.lst.bz2.sig", sign_text(self.seed(), serial, None, packed))
        before[STATE.encode()] = b"%d\n" % serial
        self.assert_refused(before, "did not complete")


def served_serial(sig_bytes):
    return int(re.search(rb"serial (\d+)", sig_bytes).group(1))


class KeyLife(SignedCase):
    """The serial is the publisher's own; keys rotate and are revoked inside
    signed lists, through real publications."""

    def publish_change(self, content, *args):
        write_tree(self.client, {CHANGED: content})
        r = self.run_publish(*args, "--rev", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.server.clear_log()
        return r.stderr.decode(errors="replace")

    def test_planted_serial_does_not_poison_the_next_publication(self):
        self.install_v1()
        serial1 = served_serial(self.server_file("files.lst.bz2.sig"))
        planted = ("corvel-list-signature 1\nserial 9223372036854775806\nsha256 %s\ned25519 %s\n" % (
            hashlib.sha256(self.server_file("files.lst.bz2")).hexdigest(), "0" * 128)).encode()
        self.put_server_file("files.lst.bz2.sig", planted)
        err = self.publish_change(b"volume=9\r\n", "--sign", self.key_arg)
        self.assertIn("not signed by these keys", err)
        serial2 = served_serial(self.server_file("files.lst.bz2.sig"))
        self.assertTrue(serial1 < serial2 < 2 ** 40, serial2)
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(base.tree_of(self.install)[STATE.encode()], b"%d\n" % serial2)
        # Even the publisher's own record can't push it past the last serial:
        # refused before anything changes.
        with open(self.key + ".serial", "w") as f:
            f.write("9223372036854775807\n")
        served = base.tree_of(self.published)
        write_tree(self.client, {CHANGED: b"volume=1\r\n"})
        r = self.run_publish("--sign", self.key_arg)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn(b"no serial to follow", r.stderr)
        self.assertEqual(base.tree_of(self.published), served)

    def test_rotation_then_revocation(self):
        self.install_v1()
        new_key = os.path.join(self.tmp, "new.key")
        new_public = self.keygen(new_key)
        new_arg = base.host_path(ut.PUBLISH, new_key)
        keyring = os.path.join(self.install, "files.lst.keys")
        # The transition: signed by both, the list names the new key.
        self.publish_change(b"volume=2\r\n", "--sign", new_arg, "--also-sign", self.key_arg)
        self.assertEqual(len(re.findall(rb"(?m)^ed25519 ", self.server_file("files.lst.bz2.sig"))), 2)
        self.assertIn(("Key|%s\r\n" % new_public).encode(), self.server_file("files.lst"))
        code, out = self.update()
        self.assertEqual(code, 0, out)
        with open(keyring) as f:
            self.assertEqual(f.read(), "key %s\n" % new_public)
        # A launcher built with the new key reads the same publication.
        fresh = os.path.join(self.tmp, "fresh")
        cmd = base.command(ut.UPDATE, "--public-key", new_public, "--dir", base.host_path(ut.UPDATE, fresh), self.url)
        os.makedirs(fresh)
        r = run(cmd, timeout=300, env=base.child_env())
        self.assertEqual(r.returncode, 0, r.stderr)

        # Then the new key alone, and the old one revoked.
        self.publish_change(b"volume=3\r\n", "--sign", new_arg)
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(base.tree_of(self.install)[CHANGED.encode()], b"volume=3\r\n")
        old_public = self.public
        self.publish_change(b"volume=4\r\n", "--sign", new_arg, "--revoke", old_public)
        code, out = self.update()
        self.assertEqual(code, 0, out)
        with open(keyring) as f:
            self.assertEqual(f.read(), "key %s\nrevoke %s\n" % (new_public, old_public))

        # Whoever holds the old key publishes with it alone: refused.
        self.publish_change(b"volume=5\r\n", "--sign", self.key_arg)
        before = base.tree_of(self.install)
        self.assert_refused(before, "revoked key")
        self.assert_no_copy_fetched()


class KeyFiles(SignedCase):
    def test_keygen_makes_a_private_new_file_and_never_overwrites(self):
        # The printed public key is the secret seed's, by another implementation.
        derived = Ed25519PrivateKey.from_private_bytes(self.seed()).public_key()
        self.assertEqual(derived.public_bytes(Encoding.Raw, PublicFormat.Raw).hex(), self.public)
        if not base.is_wine(ut.PUBLISH):
            self.assertEqual(stat.S_IMODE(os.stat(self.key).st_mode), 0o600)
        with open(self.key, "rb") as f:
            content = f.read()
        r = run(base.command(ut.PUBLISH, "keygen", base.host_path(ut.PUBLISH, self.key)), timeout=120, env=base.child_env())
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stdout, b"")
        with open(self.key, "rb") as f:
            self.assertEqual(f.read(), content)

    def test_unusable_key_files_publish_nothing(self):
        bad = os.path.join(self.tmp, "bad.key")
        with open(bad, "w") as f:
            f.write("corvel-ed25519-secret-key 1234\n")
        os.chmod(bad, 0o600)
        cases = [(os.path.join(self.tmp, "missing.key"), "can't use"), (bad, "not a secret key")]
        # Under Wine the mode bits show as an access list granting everyone
        # read, which the Windows build refuses just the same.
        readable = os.path.join(self.tmp, "readable.key")
        shutil.copy(self.key, readable)
        os.chmod(readable, 0o644)
        cases.append((readable, "other users"))
        for path, message in cases:
            with self.subTest(path=path):
                r = self.run_publish("--sign", base.host_path(ut.PUBLISH, path))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr.decode(errors="replace"))
                self.assertFalse(os.path.exists(self.published))


class UpdateDay(SignedCase):
    """A stage fetched ahead into the install's own folder, then promoted:
    the run after the promotion asks only for the list."""

    BIG = "data/world.pak"

    def stage(self, *extra):
        write_tree(self.client, {CHANGED: b"volume=9\r\n", self.BIG: random.Random(5).randbytes(3 << 20)})
        self.publish("--sign", self.key_arg, "--rev", "1", "--stage", "day-2", *extra)

    def staged(self):
        folder = os.path.join(self.install, "files.lst.next")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def game_files(self):
        return {k: v for k, v in base.tree_of(self.install).items()
                if k != STATE.encode() and not k.startswith(b"files.lst.next")}

    def test_staged_then_promoted_installs_without_a_download(self):
        self.install_v1()
        self.stage()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertIn("next       day-2: ready", out)
        self.assertEqual(self.game_files(), base.on_disk(FILES), out)
        # The staged list's serial is its own: the install keeps the live one's.
        live_serial = re.search(rb"serial (\d+)", self.server_file("files.lst.bz2.sig")).group(1)
        self.assertEqual(base.read(os.path.join(self.install, STATE)), live_serial + b"\n")
        new = {CHANGED: b"volume=9\r\n", self.BIG: random.Random(5).randbytes(3 << 20)}
        self.assertEqual(self.staged(), sorted(hashlib.md5(v).hexdigest() for v in new.values()))

        r = run(base.command(ut.PUBLISH, "--sign", self.key_arg, "--promote", "day-2",
                             base.host_path(ut.PUBLISH, self.published)), timeout=300, env=base.child_env())
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        # A file that can't be replaced now (here a folder in its place):
        # the run fails, and its staged content waits for the next one.
        blocker = os.path.join(self.install, *self.BIG.split("/"), "x")
        write_tree(os.path.dirname(blocker), {"x": b"x"})
        code, out = self.update()
        self.assertNotEqual(code, 0, out)
        self.assertIn(hashlib.md5(new[self.BIG]).hexdigest(), self.staged(), out)
        shutil.rmtree(os.path.dirname(blocker))
        self.server.clear_log()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.game_files(), base.on_disk({**FILES, **new}), out)
        self.assertEqual(self.staged(), [], out)
        # Recorded as put in place by the updater, as a download is.
        record = base.read(os.path.join(self.install, base.RECORD))
        self.assertIn(b"data\\world.pak|%s|" % hashlib.md5(new[self.BIG]).hexdigest().encode(), record)
        asked = self.server.requests()
        self.assertTrue(asked and all(p.startswith(b"/Updater/files.lst") for p in asked), asked)

    def test_staged_content_also_installed_elsewhere_stays_staged(self):
        # The stage wants an installed file's content at a new path too: it
        # is fetched ahead, and a run before the promotion must hash the file
        # that holds it, not take the staged copy for it and fetch it again.
        self.install_v1()
        write_tree(self.client, {"backup/engine.dll": FILES["system/engine.dll"]})
        self.publish("--sign", self.key_arg, "--rev", "1", "--stage", "day-2")
        held = [hashlib.md5(FILES["system/engine.dll"]).hexdigest()]
        for _ in range(2):
            self.server.clear_log()
            code, out = self.update()
            self.assertEqual(code, 0, out)
            self.assertEqual(self.staged(), held, out)
        self.assertEqual([p for p in self.server.requests() if b"/objects/" in p], [])

    def test_staged_content_or_list_that_fails_is_not_taken(self):
        self.install_v1()
        self.stage()
        # A staged list signed by another key: ignored, with its reason, and
        # the run's result unchanged.
        good_sig = self.server_file("stage/day-2/files.lst.bz2.sig")
        other = os.path.join(self.tmp, "other.key")
        self.keygen(other)
        self.put_server_file("stage/day-2/files.lst.bz2.sig", sign_text(
            self.seed(other), 99, None, self.server_file("stage/day-2/files.lst.bz2")))
        log = os.path.join(self.tmp, "run.log")
        code, out = self.update("--log", base.host_path(ut.UPDATE, log))
        self.assertEqual(code, 0, out)
        self.assertRegex(base.read(log).decode(), r"next       day-2: the staged list was not used: .*signature")
        self.assertEqual(self.staged(), [])

        # One object missing: the rest is staged, the missing one waits for
        # the next run, and no copy is asked for it (none stands for it).
        self.put_server_file("stage/day-2/files.lst.bz2.sig", good_sig)
        small = hashlib.md5(b"volume=9\r\n").hexdigest()
        obj = os.path.join(self.published, "objects", small[:2], small + ".zst")
        os.rename(obj, obj + ".away")
        self.server.clear_log()
        code, out = self.update("--log", base.host_path(ut.UPDATE, log))
        self.assertEqual(code, 0, out)
        self.assertEqual(self.staged(), [hashlib.md5(random.Random(5).randbytes(3 << 20)).hexdigest()])
        self.assertRegex(base.read(log).decode(), r"next       day-2: %s: .*404" % small)
        self.assertEqual([p for p in self.server.requests() if b"files.lst.next" in p], [])
        os.rename(obj + ".away", obj)

        # Staged, then one content spoiled before the promotion: refused,
        # removed, and fetched as usual.
        code, out = self.update()
        self.assertEqual(code, 0, out)
        spoiled = os.path.join(self.install, "files.lst.next", hashlib.md5(b"volume=9\r\n").hexdigest())
        with open(spoiled, "wb") as f:
            f.write(b"volume=0\r\n")
        run(base.command(ut.PUBLISH, "--sign", self.key_arg, "--promote", "day-2",
                         base.host_path(ut.PUBLISH, self.published)), timeout=300, env=base.child_env())
        self.server.clear_log()
        code, out = self.update("--log", base.host_path(ut.UPDATE, log))
        self.assertEqual(code, 0, out)
        self.assertEqual(self.game_files()[CHANGED.encode()], b"volume=9\r\n")
        self.assertIn("staged content refused", base.read(log).decode())
        fetched = [p for p in self.server.requests() if not p.startswith(b"/Updater/files.lst")]
        self.assertEqual(len(fetched), 1, fetched)

    def test_stopped_pre_download_continues_next_run(self):
        self.install_v1()
        self.stage()
        self.server.stop()
        server = fault_server.start(self.root)
        try:
            url = "http://127.0.0.1:%d/Updater/" % server.server_port
            md5 = hashlib.md5(random.Random(5).randbytes(3 << 20)).hexdigest()
            obj = os.path.join(self.published, "objects", md5[:2], md5 + ".zst")
            with open(obj + ".fault", "w") as f:
                f.write("stall %d" % (os.path.getsize(obj) // 2))
            cmd = base.command(ut.UPDATE, "--public-key", self.public, "--dir",
                               base.host_path(ut.UPDATE, self.install), url)
            small = hashlib.md5(b"volume=9\r\n").hexdigest()
            code, text = base.interrupted_run(cmd, lambda: small in self.staged())
            self.assertEqual(code, 130, text)
            self.assertEqual(self.game_files(), base.on_disk(FILES), text)
            os.remove(obj + ".fault")
            os.remove(os.path.join(self.root, "bytes.log"))
            cmd = base.command(ut.UPDATE, "--public-key", self.public, "--dir",
                               base.host_path(ut.UPDATE, self.install), url)
            r = run(cmd, timeout=300, env=base.child_env())
            text = (r.stdout + r.stderr).decode("utf-8", "replace")
            self.assertEqual(r.returncode, 0, text)
            self.assertIn("next       day-2: ready", text)
            with open(os.path.join(self.root, "bytes.log")) as f:
                objects = [line.split()[0] for line in f if "/objects/" in line]
            # What was staged before the stop is not asked for again.
            self.assertEqual(objects, ["/Updater/objects/%s/%s.zst" % (md5[:2], md5)], text)
        finally:
            server.stop()


# A channel beside the live publication: switching each way fetches only
# what differs; a refused or replayed channel list installs nothing, and a
# closed channel falls back to the live one.
BETA = {CHANGED: b"volume=7\r\n", "data/beta.pak": b"beta content " * 500}
LISTS = (b"/Updater/files.lst", b"/Updater/channels/beta/files.lst")


class Channel(SignedCase):
    def publish_beta(self, files):
        client = os.path.join(self.tmp, "client-beta")
        shutil.rmtree(client, ignore_errors=True)
        write_tree(client, {**FILES, **files})
        r = self.run_publish("--sign", self.key_arg, "--channel", "beta", client=client)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.server.clear_log()

    def game_files(self):
        return {k: v for k, v in base.tree_of(self.install).items()
                if k != STATE.encode() and not k.startswith(b"files.lst.channels")}

    def fetched(self):
        return [p for p in self.server.requests() if not p.startswith(LISTS)]

    def assert_fetched_only(self, contents, out):
        # One object or patch per differing file, named by its new content.
        fetched = self.fetched()
        wanted = [hashlib.md5(v).hexdigest().encode() + b".zst" for v in contents.values()]
        self.assertEqual(len(fetched), len(wanted), (fetched, out))
        self.assertTrue(all(p.startswith((b"/Updater/objects/", b"/Updater/patches/")) and
                            p.endswith(tuple(wanted)) for p in fetched), fetched)

    def test_switching_to_a_channel_and_back_installs_only_what_differs(self):
        self.install_v1()
        self.publish_beta(BETA)
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 0, out)
        self.assertIn("channel    beta", out)
        self.assertEqual(self.game_files(), base.on_disk({**FILES, **BETA}), out)
        self.assert_fetched_only(BETA, out)
        # Each list's serial in its own store.
        for store, sig in ((STATE, ""), ("files.lst.channels/beta.serial", "channels/beta/")):
            sig += "files.lst.bz2.sig"
            serial = re.search(rb"serial (\d+)", self.server_file(sig)).group(1)
            self.assertEqual(base.read(os.path.join(self.install, store)), serial + b"\n")

        self.server.clear_log()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        # The channel's own file goes as any file a publication drops.
        self.assertEqual(self.game_files(), base.on_disk(FILES), out)
        self.assert_fetched_only({CHANGED: FILES[CHANGED]}, out)

    def test_a_channel_list_that_fails_is_refused_and_a_closed_channel_falls_back(self):
        self.install_v1()
        self.publish_beta(BETA)
        before = self.game_files()
        good_list, good_sig = (self.server_file("channels/beta/files.lst.bz2" + s) for s in ("", ".sig"))
        other = os.path.join(self.tmp, "other.key")
        self.keygen(other)
        self.put_server_file("channels/beta/files.lst.bz2.sig", sign_text(self.seed(other), 99, None, good_list))
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 1, out)
        self.assertIn("signature", out)
        # The live list was accepted (its serial recorded); nothing of the channel's.
        self.assertEqual(self.game_files(), before, out)
        self.assertFalse(os.path.exists(os.path.join(self.install, "files.lst.channels", "beta.serial")))
        self.assertEqual(self.fetched(), [])

        # An older genuine channel list, replayed after a newer one was accepted.
        self.put_server_file("channels/beta/files.lst.bz2.sig", good_sig)
        self.publish_beta({**BETA, CHANGED: b"volume=8\r\n"})
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 0, out)
        installed = self.game_files()
        self.put_server_file("channels/beta/files.lst.bz2", good_list)
        self.put_server_file("channels/beta/files.lst.bz2.sig", good_sig)
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 1, out)
        self.assertIn("older", out)
        self.assertEqual(self.game_files(), installed, out)

        # Closed: the live list no longer names it; the live one is followed, said so.
        shutil.rmtree(os.path.join(self.published, "channels"))
        self.publish("--sign", self.key_arg, "--rev", "1")
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 0, out)
        self.assertIn("no longer offers the channel beta", out)
        self.assertEqual(self.game_files(), base.on_disk(FILES), out)

        self.assertEqual(self.update("--channel", "../x")[0], 2)



def main():
    return suite.run_with_programs(__name__, __doc__, ut)


if __name__ == "__main__":
    sys.exit(main())
