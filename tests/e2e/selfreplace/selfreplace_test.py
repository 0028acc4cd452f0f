#!/usr/bin/env python3
"""Self-replacement under Wine: a host program that runs the real update
run is published as [self], gets ended, swapped and restarted by the real
Update.bat (taskkill, ping, rename, start, del), run by the system's cmd.exe
in a folder whose name cmd would misread; a signed run refuses a new build
that doesn't carry its key.

usage: selfreplace_test.py CORVEL_PUBLISH_EXE SELFHOST_V1_EXE SELFHOST_V2_EXE
"""
import bz2
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import suite  # noqa: E402
from e2e_base import RECORD, child_env, command, host_path, read, wait_until  # noqa: E402
import fault_server  # noqa: E402

PUBLISH = V1 = V2 = None  # set from argv
NAME = "selfhost.exe"
SERIAL = "files.lst.serial"


class SelfReplace(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="selfreplace-e2e-")
        # A folder name that cmd would take as its own syntax, were it on a
        # command line or in the script.
        self.install = os.path.join(self.tmp, "Mis Juegos (x86) & Co %TEMP%")
        self.client = os.path.join(self.tmp, "client")
        self.published = os.path.join(self.tmp, "srv", "Updater")
        for d in (self.install, self.client):
            os.makedirs(d)
        self.v1, self.v2 = read(V1), read(V2)
        self.assertNotEqual(self.v1, self.v2)
        shutil.copyfile(V1, os.path.join(self.install, NAME))
        with open(os.path.join(self.client, "data.txt"), "wb") as f:
            f.write(b"managed file")
        self.server = fault_server.start(os.path.join(self.tmp, "srv"))
        with open(os.path.join(self.install, "selfhost.url"), "w") as f:
            f.write("http://127.0.0.1:%d/Updater/\n" % self.server.server_port)
        self.host = None

    def publish(self, new_build, signed=True):
        """new_build as [self]; signed with a test key that the running
        build trusts (selfhost.key)."""
        with open(os.path.join(self.client, NAME), "wb") as f:
            f.write(new_build)
        key, sign = os.path.join(self.tmp, "test.key"), []
        if signed and not os.path.exists(key):
            r = subprocess.run(command(PUBLISH, "keygen", host_path(PUBLISH, key)), capture_output=True, timeout=120,
                               env=child_env())
            with open(os.path.join(self.install, "selfhost.key"), "wb") as f:
                f.write(r.stdout.strip())
        if signed:
            sign = ["--sign", host_path(PUBLISH, key)]
        r = subprocess.run(command(PUBLISH, *sign, "--rev", "1", "--self", NAME, host_path(PUBLISH, self.client),
                                   host_path(PUBLISH, self.published)),
                           capture_output=True, timeout=120, env=child_env())
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))

    def with_key(self, build, key):
        """build with key written in its slot; None spoils the slot."""
        slot = b"corvel-updater-public-key:" + b"0" * 64
        self.assertIn(slot, build)  # debug information may hold a copy too
        return build.replace(slot, b"x" * len(slot) if key is None else slot[:-64] + key)

    def tearDown(self):
        # End any host still waiting (a failed swap leaves one behind).
        subprocess.run(["wine", "taskkill", "/IM", NAME, "/F"], capture_output=True, timeout=60, env=child_env())
        if self.host is not None and self.host.poll() is None:
            self.host.kill()
            self.host.wait()
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def log(self):
        path = os.path.join(self.install, "selfhost.log")
        return read(path).decode().split("\n")[:-1] if os.path.exists(path) else []

    def start_v1(self):
        self.host = subprocess.Popen(["wine", NAME], cwd=self.install, env=child_env(),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_new_build_is_swapped_in_and_restarted(self):
        self.publish(self.v2)  # makes the key
        self.v2 = self.with_key(self.v2, read(os.path.join(self.install, "selfhost.key")))
        self.publish(self.v2)
        self.start_v1()
        path = os.path.join(self.install, NAME)
        done = wait_until(lambda: "finished 2 ok" in self.log()
                          and not os.path.exists(os.path.join(self.install, "Update.bat")), 90)
        log = self.log()
        self.assertTrue(done, "log: %r; files: %r" % (log, sorted(os.listdir(self.install))))
        # v1 was ended by the script's taskkill, well before its own 30 s wait ran out.
        self.assertIsNotNone(self.host.poll(), "v1 still running")
        self.assertNotIn("not ended 1", log)
        self.assertEqual(log[0], "started 1")
        self.assertIn("started 2", log)
        self.assertEqual(read(path), self.v2)
        # v2's own run found itself current: it started once and ran no script.
        # The install's record names the file the run put in place, never
        # the updater itself.
        self.assertEqual(log.count("started 2"), 1)
        self.assertEqual(sorted(os.listdir(self.install)),
                         sorted([NAME, "data.txt", "selfhost.log", "selfhost.url", "selfhost.key", SERIAL, RECORD]))
        self.assertEqual(read(os.path.join(self.install, "data.txt")), b"managed file")
        self.assertEqual(read(os.path.join(self.install, RECORD)),
                         b"data.txt|%s|12\n" % hashlib.md5(b"managed file").hexdigest().encode())

    def test_new_build_without_the_key_fails_and_the_running_one_stays(self):
        self.publish(self.with_key(self.v2, None))
        self.start_v1()
        self.host.wait(120)
        self.assertEqual(self.host.returncode, 1)
        self.assertEqual(self.log(), ["started 1", "finished 1 failed",
                                      "reason not trusted: the new updater is not signed for this server"])
        self.assertEqual(read(os.path.join(self.install, NAME)), self.v1)
        self.assertEqual(sorted(os.listdir(self.install)),
                         sorted([NAME, "data.txt", "selfhost.log", "selfhost.url", "selfhost.key", SERIAL, RECORD]))

    def test_copy_that_fails_its_digest_writes_no_script(self):
        # A [self] entry whose digest the published copy doesn't match.
        self.publish(self.v2, signed=False)
        lst = os.path.join(self.published, "files.lst")
        text = read(lst)
        digest = hashlib.md5(self.v2).hexdigest().encode()
        self.assertIn(digest, text)
        text = text.replace(digest, b"0" * 32)
        with open(lst, "wb") as f:
            f.write(text)
        with open(lst + ".bz2", "wb") as f:
            f.write(bz2.compress(text))

        self.start_v1()
        self.host.wait(120)
        self.assertEqual(self.host.returncode, 1)
        self.assertEqual(self.log()[:2], ["started 1", "finished 1 failed"])
        self.assertEqual(len(self.log()), 3)  # and its reason
        self.assertEqual(read(os.path.join(self.install, NAME)), self.v1)
        # No script, no .New, no download left behind; the other file still came.
        self.assertEqual(sorted(os.listdir(self.install)),
                         sorted([NAME, "data.txt", "selfhost.log", "selfhost.url", RECORD]))


def main():
    global PUBLISH, V1, V2
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    PUBLISH, V1, V2 = (os.path.abspath(sys.argv.pop(1)) for _ in range(3))
    return suite.run(__name__)


if __name__ == "__main__":
    sys.exit(main())
