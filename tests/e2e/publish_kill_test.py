#!/usr/bin/env python3
"""corvel-publish killed (SIGKILL) at each step of a publication, then a
client run against the half-published directory, then a complete
publication, which must converge.

usage: publish_kill_test.py PATH_TO_CORVEL_PUBLISH_STOPS PATH_TO_CORVEL_UPDATE

corvel-publish-stops is corvel-publish with stop points: with
CORVEL_PUBLISH_STOP_AT=STEP[:N] it kills itself with SIGKILL the Nth time it
reaches STEP, so every interruption lands at a known point without timing.
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
from e2e_base import PyServer, child_env, tree_of, write_tree  # noqa: E402
from publish_test import (OWN_FILES, check_object_files, check_patch_files, decode_single_stream,  # noqa: E402
                          expected_list, kept_lists, list_path, object_names, split_patches)

PUBLISH = None  # set from argv
UPDATE = None

V1 = {
    "a.dat": b"first version of a, 32 bytes...",
    "big/noise.pak": bytes((i * 2654435761 >> 7) & 0xFF for i in range(400_000)),
    "data/keep.ini": b"volume=3\r\n",
    "old/gone.map": b"dropped in the second version",
    "z.txt": b"zeta",
}
V2 = dict(V1)
V2["a.dat"] = b"second version of a, 32 bytes.."  # same size, other bytes
V2["z.txt"] = b"zeta, longer now"
V2["new/dir/added.txt"] = b"added in the second version"
del V2["old/gone.map"]
assert len(V1["a.dat"]) == len(V2["a.dat"])

V3 = dict(V2)
V3["a.dat"] = b"third version of a, 32 bytes..."
V3["z.txt"] = b"zeta, longer now and longer still"

# (step, occurrence): every point where a kill leaves a different state.
# V1 -> V2 changes two small files: each gets a patch ("patched", "patch");
# it has three new contents, each an object ("packed", "object").
STOPS = [("compressed", 1), ("compressed", 3), ("packed", 1), ("packed", 3), ("patched", 1), ("patched", 2),
         ("object", 1), ("object", 2), ("marked", 1), ("copy", 1), ("copy", 2), ("patch", 1), ("patch", 2),
         ("copies", 1), ("list", 1), ("lists", 1), ("prune", 1)]
ALL_CONTENTS = [d for v in (V1, V2, V3) for d in v.values()]


def copy_name(rel):
    return list_path(rel).replace(b"\\", b"/") + b".bz2"


def parse_list(text):
    """path (bytes, "\\") -> md5 hex of every entry of a list."""
    entries = {}
    for line in text.split(b"\r\n"):
        fields = line.split(b"|")
        if len(fields) == 3 and len(fields[1]) == 32:
            entries[fields[0]] = fields[1].decode()
    return entries


class KillCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="publish-kill-")
        self.client = os.path.join(self.tmp, "client")
        self.root = os.path.join(self.tmp, "srv")
        self.server = os.path.join(self.root, "up")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(self.install)
        self.http = PyServer(self.root)
        self.url = "http://127.0.0.1:%d/up/" % self.http.port

    def tearDown(self):
        self.http.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def set_client(self, files):
        shutil.rmtree(self.client, ignore_errors=True)
        write_tree(self.client, files)

    def stop_env(self, stop):
        env = child_env()
        env.pop("CORVEL_PUBLISH_STOP_AT", None)
        if stop:
            env["CORVEL_PUBLISH_STOP_AT"] = "%s:%d" % stop
        # The old contents' scratch directory a kill leaves goes with the test's.
        env["TMPDIR"] = os.path.join(self.tmp, "scratch")
        os.makedirs(env["TMPDIR"], exist_ok=True)
        return env

    def publish(self, stop=None, history=3):
        return subprocess.run([PUBLISH, "--rev", "1", "--jobs", "1", "--patch-history", str(history), self.client,
                               self.server], capture_output=True, timeout=300, env=self.stop_env(stop))

    def publish_ok(self, files, history=3):
        self.set_client(files)
        r = self.publish(history=history)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout.decode()

    def publish_killed(self, files, stop, history=3):
        self.set_client(files)
        r = self.publish(stop, history)
        err = r.stderr.decode(errors="replace")
        self.assertEqual(r.returncode, -signal.SIGKILL, err)
        self.assertIn("stopping at %s:%d" % stop, err)

    def update(self):
        r = subprocess.run([UPDATE, "--dir", self.install, self.url], capture_output=True, timeout=300,
                           env=child_env())
        return r.returncode, (r.stdout + r.stderr).decode("utf-8", "replace")

    def served_list(self):
        with open(os.path.join(self.server, "files.lst.bz2"), "rb") as f:
            return decode_single_stream(f.read())

    def assert_server_holds_exactly(self, files, objects=None):
        """`objects`: the contents whose objects the history keeps, when
        known exactly; else those the record names (checked against it)."""
        server = os.fsencode(self.server)
        found = set()
        for dirpath, dirnames, filenames in os.walk(server):
            for f in filenames:
                found.add(os.path.relpath(os.path.join(dirpath, f), server))
            for d in dirnames:  # no directory left empty
                self.assertTrue(os.listdir(os.path.join(dirpath, d)), d)
        with open(os.path.join(server, b"files.lst"), "rb") as f:
            text = f.read()
        patches = check_patch_files(self, server, text)
        kept = check_object_files(self, server, text, ALL_CONTENTS)
        if objects is not None:
            self.assertEqual(kept, object_names(objects))
        self.assertEqual(found, {copy_name(r) for r in files} | OWN_FILES | patches | kept | kept_lists(self, server))
        for rel, data in files.items():
            with open(os.path.join(server, copy_name(rel)), "rb") as f:
                self.assertEqual(decode_single_stream(f.read()), data, rel)
        self.assertEqual(split_patches(text)[0], expected_list(files, 1))
        self.assertEqual(self.served_list(), text)
        self.assert_patches_apply(split_patches(text)[1])
        return split_patches(text)[1]

    def assert_patches_apply(self, links):
        """Each listed patch rebuilds its `to` content from its `from` one."""
        contents = {hashlib.md5(d).hexdigest(): d for v in (V1, V2, V3) for d in v.values()}
        for name, (frm, to, _, _, _) in links.items():
            old = os.path.join(self.tmp, "old")
            new = os.path.join(self.tmp, "new")
            with open(old, "wb") as f:
                f.write(contents[frm])
            r = subprocess.run(["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + old,
                                os.path.join(os.fsencode(self.server), name), "-o", new], capture_output=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(new, "rb") as f:
                self.assertEqual(hashlib.md5(f.read()).hexdigest(), to, name)

    def update_after(self, kill):
        """Runs kill(), then a client run, which may fail but must install
        nothing the served list doesn't name. Returns the list, status, output."""
        kill()
        listed = self.served_list()
        before = tree_of(self.install)
        code, out = self.update()
        self.assert_client_installed_only_listed_content(listed, before, code, out)
        return listed, code, out

    def assert_client_installed_only_listed_content(self, listed, before, code, out):
        """Every file the run left is what it held before or what the list it
        read names; with exit 0, every listed file is current."""
        entries = parse_list(listed)
        after = tree_of(self.install)
        for rel, data in after.items():
            key = rel.replace(b"/", b"\\")
            if data == before.get(rel):
                continue
            if rel.startswith(b"files.lst.next/"):
                # Content pre-downloaded for an announced stage, named by its digest.
                self.assertEqual(hashlib.md5(data).hexdigest().encode(), os.path.basename(rel), out)
                continue
            self.assertIn(key, entries, "unlisted file installed: %r\n%s" % (rel, out))
            self.assertEqual(hashlib.md5(data).hexdigest(), entries[key],
                             "installed %r with content the list doesn't name\n%s" % (rel, out))
        if code == 0:
            for key, digest in entries.items():
                rel = key.replace(b"\\", b"/")
                self.assertIn(rel, after, out)
                self.assertEqual(hashlib.md5(after[rel]).hexdigest(), digest, out)



class Interrupted(KillCase):
    def test_every_interruption_converges(self):
        for stop in STOPS:
            with self.subTest(stop="%s:%d" % stop):
                shutil.rmtree(self.server, ignore_errors=True)
                shutil.rmtree(self.install, ignore_errors=True)
                os.makedirs(self.install)
                self.publish_ok(V1)
                code, out = self.update()
                self.assertEqual(code, 0, out)

                self.update_after(lambda: self.publish_killed(V2, stop))

                self.publish_ok(V2)
                links = self.assert_server_holds_exactly(V2, list(V1.values()) + list(V2.values()))
                if stop[0] in ("compressed", "patched"):  # before any copy moved: the record still trusts V1's
                    self.assertEqual(len(links), 2)
                code, out = self.update()
                self.assertEqual(code, 0, out)
                for rel, data in V2.items():
                    self.assertEqual(tree_of(self.install)[rel.encode()], data, rel)

    def test_a_kill_while_pruning_converges(self):
        # History 1: publishing V3 drops the V1 -> V2 patches and V2's own
        # objects after its list.
        for stop in (("unpatched", 1), ("object-pruned", 1)):
            with self.subTest(stop="%s:%d" % stop):
                shutil.rmtree(self.server, ignore_errors=True)
                self.publish_ok(V1, history=1)
                first = self.assert_server_holds_exactly(V1, V1.values())
                self.publish_ok(V2, history=1)
                second = self.assert_server_holds_exactly(V2, V2.values())
                self.assertEqual(len(second), 2, "both small changes get a patch")
                self.assertFalse(first)
                self.publish_killed(V3, stop, history=1)
                self.publish_ok(V3, history=1)
                third = self.assert_server_holds_exactly(V3, V3.values())
                self.assertEqual(len(third), 2)
                self.assertFalse(set(second) & set(third))

    def test_killed_twice_in_a_row_still_converges(self):
        self.publish_ok(V1)
        self.publish_killed(V2, ("copy", 1))
        self.publish_killed(V1, ("compressed", 1))
        self.publish_ok(V2)
        self.assert_server_holds_exactly(V2)

    def test_rollback_after_an_interruption_rewrites_the_newer_copy(self):
        # The newer a.dat is written (and maybe recorded), the list still
        # names the older one; republishing the older content of the same
        # size must replace the copy, or every client fails a.dat for good.
        for stop in (("copy", 1), ("copies", 1), ("list", 1)):
            with self.subTest(stop="%s:%d" % stop):
                shutil.rmtree(self.server, ignore_errors=True)
                shutil.rmtree(self.install, ignore_errors=True)
                os.makedirs(self.install)
                newer = dict(V1)
                newer["a.dat"] = V2["a.dat"]
                self.publish_ok(V1)
                self.publish_killed(newer, stop)
                out = self.publish_ok(V1)
                self.assertIn("1 compressed", out)
                self.assert_server_holds_exactly(V1)
                code, out = self.update()
                self.assertEqual(code, 0, out)
                self.assertEqual(tree_of(self.install)[b"a.dat"], V1["a.dat"])


# Update day: (operation, stop) for a kill in each of stage, promote and
# revert, from the first object to the live list renamed. A stage reaches
# "list" and "lists" twice: its own list, then the live one re-signed.
DAY_STOPS = [("stage", ("packed", 1)), ("stage", ("object", 1)), ("stage", ("copy", 1)), ("stage", ("patch", 1)),
             ("stage", ("list", 1)), ("stage", ("list", 2)), ("stage", ("lists", 2)),
             ("promote", ("marked", 1)), ("promote", ("copy", 1)), ("promote", ("copies", 1)),
             ("promote", ("list", 1)), ("promote", ("lists", 1)),
             ("revert", ("compressed", 1)), ("revert", ("marked", 1)), ("revert", ("copy", 2)),
             ("revert", ("copies", 1)), ("revert", ("list", 1)), ("revert", ("lists", 1))]
DAY_ARGS = {"stage": ["--stage", "day-2"], "promote": ["--promote", "day-2"], "revert": ["--revert"]}


class UpdateDayInterrupted(KillCase):
    def day(self, op, stop=None):
        dirs = [self.client, self.server] if op == "stage" else [self.server]
        r = subprocess.run([PUBLISH, "--jobs", "1"] + DAY_ARGS[op] + dirs, capture_output=True, timeout=300,
                           env=self.stop_env(stop))
        err = r.stderr.decode(errors="replace")
        if stop:
            self.assertEqual(r.returncode, -signal.SIGKILL, err)
        else:
            self.assertEqual(r.returncode, 0, err)

    def assert_live(self, files):
        """The live list names `files`, each copy and object holds its entry."""
        server = os.fsencode(self.server)
        text = self.served_list()
        self.assertEqual(parse_list(text), {list_path(r): hashlib.md5(d).hexdigest() for r, d in files.items()})
        for name in object_names(files.values()):
            self.assertTrue(os.path.isfile(os.path.join(server, name)), name)
        for rel, data in files.items():
            with open(os.path.join(server, copy_name(rel)), "rb") as f:
                self.assertEqual(decode_single_stream(f.read()), data, rel)
        return text

    def test_every_interruption_of_update_day_converges(self):
        for op, stop in DAY_STOPS:
            with self.subTest(op=op, stop="%s:%d" % stop):
                shutil.rmtree(self.server, ignore_errors=True)
                shutil.rmtree(self.install, ignore_errors=True)
                os.makedirs(self.install)
                self.publish_ok(V1)
                self.set_client(V2)
                if op != "stage":
                    self.day("stage")
                if op == "revert":
                    self.day("promote")
                code, out = self.update()
                self.assertEqual(code, 0, out)

                listed, code, out = self.update_after(lambda: self.day(op, stop))
                if op == "stage":  # players see nothing change
                    self.assertEqual(code, 0, out)
                    self.assertEqual(parse_list(listed), parse_list(self.assert_live(V1)))

                self.day(op)
                want = V2 if op == "promote" else V1
                text = self.assert_live(want)
                check_object_files(self, os.fsencode(self.server), text, ALL_CONTENTS)
                self.assertEqual(b"Next|day-2\r\n" in text, op == "stage")
                self.assertEqual(os.path.exists(os.path.join(self.server, "stage")), op == "stage")
                code, out = self.update()
                self.assertEqual(code, 0, out)
                for rel, data in want.items():
                    self.assertEqual(tree_of(self.install)[rel.encode()], data, rel)

    def test_a_publication_after_a_killed_promotion_rewrites_the_promoted_copy(self):
        # The renamed copy holds the staged content while the list still
        # names the older one; the record must not vouch for the older.
        newer = dict(V1)
        newer["a.dat"] = V2["a.dat"]
        self.publish_ok(V1)
        self.set_client(newer)
        self.day("stage")
        self.day("promote", ("copy", 1))
        shutil.rmtree(os.path.join(self.server, "stage"))
        self.assertIn("1 compressed", self.publish_ok(V1))
        self.assert_server_holds_exactly(V1)

    def test_names_that_leave_the_server_directory_are_refused(self):
        self.publish_ok(V1)
        before = tree_of(self.tmp)
        for name in ("../out", "a/b", "..", "Day", "-x", "a" * 33, ""):
            for args in (["--stage", name, self.client, self.server], ["--channel", name, self.client, self.server],
                         ["--promote", name, self.server]):
                with self.subTest(args=args[:2]):
                    r = subprocess.run([PUBLISH] + args, capture_output=True, timeout=60, env=child_env())
                    self.assertEqual(r.returncode, 2, r.stderr)
        self.assertEqual(tree_of(self.tmp), before)


def main():
    global PUBLISH, UPDATE
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    PUBLISH, UPDATE = sys.argv[1], sys.argv[2]
    return suite.run(__name__)


if __name__ == "__main__":
    sys.exit(main())
