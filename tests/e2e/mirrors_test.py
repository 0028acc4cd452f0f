#!/usr/bin/env python3
"""corvel-update with several servers, each a fault server on 127.0.0.1 (or a
port that refuses, or one that accepts and never answers): the run takes its
list from the first that gives a usable one, each copy from the first that
gives a good one, names every server it skipped with its reason, and stays
within the waiting rules. Signed publications (corvel-publish --sign).

usage: mirrors_test.py PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE

Under wine (".exe") only the two-server cases run.
"""
import bz2
import hashlib
import os
import random
import re
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402
import suite  # noqa: E402
import e2e_base as base  # noqa: E402
from signed_update_test import sign_text  # noqa: E402

PUBLISH = None
UPDATE = None

_rnd = random.Random(20)
V1 = {"game.exe": b"MZ game v1", "data/big.pak": _rnd.randbytes(600 * 1024)}
V1.update({"data/f%02d.dat" % i: _rnd.randbytes(48 * 1024) for i in range(24)})
V2 = dict(V1, **{"game.exe": b"MZ game v2", "data/f03.dat": _rnd.randbytes(48 * 1024)})
CORRUPT = "data/f05.dat"
DIES_AT = "data/f02.dat"
STATE = base.SERIAL


def copy_name(rel):
    return rel + ".bz2"


class Silent:
    """A port that accepts connections (the kernel's backlog) and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.url = "http://127.0.0.1:%d/Updater/" % self.sock.getsockname()[1]

    def stop(self):
        self.sock.close()


class Refusing:
    """A port bound and never listened on: every connection is refused."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d/Updater/" % self.sock.getsockname()[1]

    def stop(self):
        self.sock.close()


class Served:
    """A fault server on a copy of one publication."""

    def __init__(self, tmp, name, publication, faults=None, corrupt=None):
        self.root = os.path.join(tmp, name)
        shutil.copytree(publication, os.path.join(self.root, "Updater"))
        for rel, fault in (faults or {}).items():
            with open(os.path.join(self.root, "Updater", rel + ".fault"), "w") as f:
                f.write(fault)
        if corrupt:
            # A copy that decodes into other bytes: what a cache keeps after a publication.
            with open(os.path.join(self.root, "Updater", copy_name(corrupt)), "wb") as f:
                f.write(bz2.compress(b"an older copy\n" * 100))
        self.server = fault_server.start(self.root)
        self.url = "http://127.0.0.1:%d/Updater/" % self.server.server_port

    def requests(self):
        path = os.path.join(self.root, "requests.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [line.split(b" ")[1].decode("latin-1") for line in f.read().splitlines()]

    def stop(self):
        self.server.stop()


class MirrorsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="mirrors-e2e-")
        cls.key = os.path.join(cls.tmp, "operator.key")
        r = base.run_to_files(base.command(PUBLISH, "keygen", base.host_path(PUBLISH, cls.key)))
        assert r.returncode == 0, r.stderr
        cls.public = r.stdout.decode().strip()
        cls.v1 = cls.publish("v1", V1)
        cls.v2 = cls.publish("v2", V2)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def publish(cls, name, files):
        client = os.path.join(cls.tmp, "client-" + name)
        base.write_tree(client, files)
        out = os.path.join(cls.tmp, "pub")  # one directory: the serials grow
        r = base.run_to_files(base.command(PUBLISH, "--sign", base.host_path(PUBLISH, cls.key), "--rev", "1",
                                           base.host_path(PUBLISH, client), base.host_path(PUBLISH, out)))
        assert r.returncode == 0, r.stderr
        snapshot = os.path.join(cls.tmp, "pub-" + name)
        shutil.copytree(out, snapshot)
        return snapshot

    def setUp(self):
        self.case = tempfile.mkdtemp(prefix="case-", dir=self.tmp)
        self.install = os.path.join(self.case, "install")
        os.makedirs(self.install)
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.stop()

    def serve(self, kind, publication=None, **kw):
        if kind == "refusing":
            s = Refusing()
        elif kind == "silent":
            s = Silent()
        else:
            s = Served(self.case, "srv%d" % len(self.servers), publication, **kw)
        self.servers.append(s)
        return s

    def update(self, *urls, key=True, extra=(), copies_only=True):
        # Copies go from server to server (objects: tests/e2e/object_test.cpp
        # on one server, test_objects_only_from_server_to_server here).
        extra = ("--copies-only",) * copies_only + (("--public-key", self.public) if key else ()) + extra
        self.log = os.path.join(self.case, "run.log")
        cmd = base.command(UPDATE, *extra, "--log", base.host_path(UPDATE, self.log),
                           "--dir", base.host_path(UPDATE, self.install), *urls)
        began = time.monotonic()
        r = base.run_to_files(cmd, timeout=300)
        took = time.monotonic() - began
        return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace"), took

    def installed(self):
        tree = base.tree_of(self.install)
        tree.pop(STATE.encode(), None)
        return tree

    def serial_of(self, publication):
        with open(os.path.join(publication, "files.lst.bz2.sig")) as f:
            return int(re.search(r"^serial (\d+)$", f.read(), re.M).group(1))

    def test_first_server_fails_and_the_next_serves(self):
        # name, first server, what the report names, most seconds the run may take
        cases = [
            ("refuses", lambda: self.serve("refusing"), "cannot connect", 30),
            ("never answers", lambda: self.serve("silent"), r"cannot connect \(.*no answer within 10 s\)", 40),
            ("answers 500", lambda: self.serve("fault", self.v2, faults={"files.lst.bz2": "status 500"}),
             "server error 500", 30),
            ("has nothing", lambda: self.serve("fault", os.path.join(self.tmp, "client-v1")), "server error 404", 30),
        ]
        if base.is_wine(UPDATE):
            cases = [c for c in cases if c[0] in ("refuses", "has nothing")]
        for name, first, reason, most in cases:
            with self.subTest(name):
                self.setUp()
                bad = first()
                good = self.serve("fault", self.v2)
                code, out, err, took = self.update(bad.url, good.url)
                self.assertEqual(code, 0, out + err)
                self.assertEqual(self.installed(), base.on_disk(V2))
                self.assertRegex(out, r"skipped +%s: %s" % (re.escape(bad.url), reason))
                self.assertIn("files.lst.bz2", "".join(good.requests()))
                self.assertLess(took, most, name)
                if name == "never answers":
                    self.assertGreater(took, 9, "the bound was waited for")
                self.tearDown()

    def test_a_publication_behind_is_skipped(self):
        base.write_tree(self.install, V1)
        with open(os.path.join(self.install, STATE), "w") as f:
            f.write("%d\n" % self.serial_of(self.v2))
        old = self.serve("fault", self.v1)
        good = self.serve("fault", self.v2)
        code, out, err, _ = self.update(old.url, good.url)
        self.assertEqual(code, 0, out + err)
        self.assertEqual(self.installed(), base.on_disk(V2))
        self.assertRegex(out, r"skipped +%s: not trusted: the list is older" % re.escape(old.url))
        self.assertEqual([r for r in old.requests() if not r.startswith("/Updater/files.lst")], [])

    def test_a_corrupt_copy_comes_from_the_next_server(self):
        first = self.serve("fault", self.v2, corrupt=CORRUPT)
        second = self.serve("fault", self.v2)
        code, out, err, _ = self.update(first.url, second.url)
        self.assertEqual(code, 0, out + err)
        self.assertEqual(self.installed(), base.on_disk(V2))
        wanted = "/Updater/" + copy_name(CORRUPT)
        self.assertEqual([r for r in first.requests() if r.startswith(wanted)],
                         [wanted, wanted + "?md5=" + hashlib.md5(V2[CORRUPT]).hexdigest()])
        # Only the corrupt copy came from the second server, and the list
        # only from the first; the log counts the first's two wrong copies.
        self.assertEqual(second.requests(), [wanted])
        with open(self.log, encoding="utf-8") as f:
            self.assertRegex(f.read(), r"server +%s: 2 failures, first digest mismatch\n" % re.escape(first.url))

    def test_objects_only_from_server_to_server(self):
        # Published without copies (--no-bz2-copies): an object the first
        # server lacks comes from the next one's objects, not as a copy that
        # no server has.
        first, second = self.serve("fault", self.v2), self.serve("fault", self.v2)
        obj = "objects/%s/%s.zst" % (hashlib.md5(V2[CORRUPT]).hexdigest()[:2], hashlib.md5(V2[CORRUPT]).hexdigest())
        for s in (first, second):
            for rel in V2:
                os.remove(os.path.join(s.root, "Updater", copy_name(rel)))
        os.remove(os.path.join(first.root, "Updater", obj))
        code, out, err, _ = self.update(first.url, second.url, copies_only=False)
        self.assertEqual(code, 0, out + err)
        self.assertEqual(self.installed(), base.on_disk(V2))
        self.assertEqual(second.requests(), ["/Updater/" + obj])

    def test_a_staged_object_the_first_server_lacks(self):
        # Fetched ahead from the next server's objects (no copy stands for it).
        client, pub = os.path.join(self.case, "client-next"), os.path.join(self.case, "pub")
        base.write_tree(client, dict(V2, **{"data/f07.dat": b"next day " * 999}))
        shutil.copytree(self.v2, pub)
        r = base.run_to_files(base.command(PUBLISH, "--sign", base.host_path(PUBLISH, self.key), "--stage", "day-2",
                                           base.host_path(PUBLISH, client), base.host_path(PUBLISH, pub)))
        self.assertEqual(r.returncode, 0, r.stderr)
        md5 = hashlib.md5(b"next day " * 999).hexdigest()
        first, second = self.serve("fault", pub), self.serve("fault", pub)
        os.remove(os.path.join(first.root, "Updater", "objects", md5[:2], md5 + ".zst"))
        base.write_tree(self.install, V2)
        code, out, err, _ = self.update(first.url, second.url, copies_only=False)
        self.assertEqual(code, 0, out + err)
        self.assertIn("next       day-2: ready", out)
        self.assertEqual(second.requests(), ["/Updater/objects/%s/%s.zst" % (md5[:2], md5)])

    def test_a_server_that_dies_mid_install(self):
        # Cut and gone (refused), or hung (accepting, answering nothing): a hung
        # server costs the run one answer bound (--timeout) in all, whether its
        # requests wait at once (8 fetchers) or come one after another (one
        # under a rate limit), against the same run with both servers healthy.
        bound = 3
        for fault, extra in (("then-die", ()), ("then-hang", ()), ("then-hang", ("--limit-rate", "100M"))):
            with self.subTest(fault=fault, extra=extra):
                extra = ("--timeout", str(bound)) + extra
                healthy = self.update(self.serve("fault", self.v2).url, self.serve("fault", self.v2).url, extra=extra)
                self.tearDown()
                self.setUp()
                first = self.serve("fault", self.v2, faults={copy_name(DIES_AT): fault})
                second = self.serve("fault", self.v2)
                code, out, err, took = self.update(first.url, second.url, extra=extra)
                self.assertEqual(code, 0, out + err)
                self.assertNotIn("failed", out)
                self.assertEqual(self.installed(), base.on_disk(V2))
                self.assertIn("/Updater/" + copy_name("data/f20.dat"), second.requests())
                with open(self.log, encoding="utf-8") as f:
                    self.assertRegex(f.read(), r"server +%s: \d+ failures?, first .*, asked last" % re.escape(first.url))
                self.assertLess(took - healthy[3], 1.8 * bound, "waited on the dead server more than once")
                self.tearDown()
                self.setUp()

    def test_no_usable_list_names_the_first_servers_reason(self):
        base.write_tree(self.install, V1)
        refusing = self.serve("refusing")
        broken = self.serve("fault", self.v2, faults={"files.lst.bz2": "status 500"})
        code, out, err, _ = self.update(refusing.url, broken.url)
        self.assertEqual(code, 1, out + err)
        self.assertIn("the update did not complete: cannot connect", err)
        self.assertRegex(out, r"skipped +%s: server error 500" % re.escape(broken.url))
        self.assertEqual(self.installed(), base.on_disk(V1))

    def test_mirrors_named_by_a_signed_list(self):
        # The list of the first server names the second in its [settings],
        # signed anew; a corrupt copy then comes from the mirror, and only
        # with the key: an unverified list names no server.
        first = self.serve("fault", self.v2, corrupt=CORRUPT)
        mirror = self.serve("fault", self.v2)
        published = os.path.join(first.root, "Updater")
        with open(os.path.join(published, "files.lst"), "rb") as f:
            text = f.read().replace(b"[/settings]", b"Mirror|ftp://127.0.0.1/x/\r\nMirror|" +
                                    mirror.url.encode() + b"\r\n[/settings]")
        archive = bz2.compress(text)
        with open(os.path.join(published, "files.lst.bz2"), "wb") as f:
            f.write(archive)
        with open(self.key) as f:
            seed = bytes.fromhex(f.read().split()[1])
        with open(os.path.join(published, "files.lst.bz2.sig"), "wb") as f:
            f.write(sign_text(seed, self.serial_of(self.v2), None, archive))
        for key in (True, False):
            with self.subTest(key=key):
                shutil.rmtree(self.install)
                os.makedirs(self.install)
                code, out, err, _ = self.update(first.url, key=key)
                wanted = "/Updater/" + copy_name(CORRUPT)
                if key:
                    self.assertEqual(code, 0, out + err)
                    self.assertEqual(self.installed(), base.on_disk(V2))
                    self.assertEqual(mirror.requests(), [wanted])
                else:
                    self.assertEqual(code, 1, out + err)
                    self.assertIn("failed     %s: digest mismatch" % CORRUPT.replace("/", "\\"), out)
                    self.assertEqual(len(mirror.requests()), 1)


def main():
    global PUBLISH, UPDATE
    PUBLISH, UPDATE = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    return suite.run(__name__)


if __name__ == "__main__":
    sys.exit(main())
