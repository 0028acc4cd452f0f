#!/usr/bin/env python3
"""corvel-publish end to end: a generated client tree published into a
temporary server directory, checked with Python's own md5 and bz2.

usage: publish_test.py PATH_TO_CORVEL_PUBLISH
"""
import bz2
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import suite
from e2e_base import write_tree  # noqa: E402

PUBLISH = None  # set from argv

# Relative paths (UTF-8 on disk) and their contents.
def _tree():
    rnd = bytes((i * 7919 + (i >> 3) * 31) & 0xFF for i in range(300_000))
    # 1.3 MB: two bzip2 blocks, and few enough bytes for the slow level
    # text gets (about 1 MB/s of CPU) in a publication made from nothing.
    words = b"".join(b"texture %d of the harbour %d\n" % (i, i * i % 977) for i in range(40_000))
    return {
        "Updater.exe": b"MZ updater v1",
        "system/engine.dll": rnd,
        "system/engine.ini": b"[engine]\r\nfps=60\r\n",
        "data/config.ini": b"volume=3\n",
        "data/textures/big.tex": words,
        "maps/estad\u00eda.map": b"estadia",
        "maps/\u00d1and\u00fa \u20ac.txt": b"euro",
        "maps/old/gone.map": b"to be removed",
        "empty.dat": b"",
    }


# The publication's own files beside the copies: the list, its archive, and
# the record of what the copies hold.
OWN_FILES = {b"files.lst", b"files.lst.bz2", b"files.lst.written"}

CRITICAL_ARGS = ["--critical", "system/*", "--critical", "data\\*.ini"]
CRITICAL = {"system/engine.dll", "system/engine.ini", "data/config.ini"}


def list_path(rel):
    return rel.encode("cp1252").replace(b"/", b"\\")


def expected_list(files, rev, self_name=None, critical=(), objects=True):
    def entry(rel):
        data = files[rel]
        return b"%s|%s|%d\r\n" % (list_path(rel), hashlib.md5(data).hexdigest().encode(), len(data))

    out = b"[settings]\r\nRev|%d\r\n%s[/settings]\r\n" % (rev, b"Objects|objects/\r\n" if objects else b"")
    if self_name:
        out += b"[self]\r\n" + entry(self_name) + b"[/self]\r\n"
    rest = [r for r in files if r != self_name]
    for name, members in (("files_critical", [r for r in rest if r in critical]),
                          ("files_normal", [r for r in rest if r not in critical])):
        out += b"[%s]\r\n" % name.encode()
        for rel in sorted(members, key=list_path):
            out += entry(rel)
        out += b"[/%s]\r\n" % name.encode()
    return out


def split_patches(text):
    """The list without its [patches] section, and the patch files that
    section names: name -> (from, to, patch bytes, copy bytes, sha256)."""
    start, end = text.find(b"[patches]\r\n"), text.find(b"[/patches]\r\n")
    if start < 0:
        return text, {}
    links = {}
    for line in text[start + len(b"[patches]\r\n"):end].split(b"\r\n"):
        if line:
            frm, to, size, copy, sha = line.decode().split("|")
            links[b"patches/%s-%s.zst" % (frm.encode(), to.encode())] = (frm, to, int(size), int(copy), sha)
    return text[:start] + text[end + len(b"[/patches]\r\n"):], links


def check_patch_files(test, server, text):
    """The server's patches/ holds exactly the patches the list names, each
    of the size and SHA-256 it gives; returns their names."""
    _, links = split_patches(text)
    found = set()
    patch_dir = os.path.join(server, b"patches")
    if os.path.isdir(patch_dir):
        found = {b"patches/" + f for f in os.listdir(patch_dir)}
    test.assertEqual(found, set(links))
    for name, (_, _, size, _, sha) in links.items():
        with open(os.path.join(server, name), "rb") as f:
            data = f.read()
        test.assertEqual((len(data), hashlib.sha256(data).hexdigest()), (size, sha), name)
    return found


def check_object_files(test, server, text, contents):
    """objects/ holds exactly the objects the publisher's record names, each
    decoding to its content; they cover the list's entries and come from
    `contents` (every content published or attempted). Returns their names."""
    server = os.fsencode(server)
    found = set()
    for dirpath, _, filenames in os.walk(os.path.join(server, b"objects")):
        for f in filenames:
            found.add(os.path.relpath(os.path.join(dirpath, f), server))
    with open(os.path.join(server, b"files.lst.written"), "rb") as f:
        recorded = {b"objects/%s/%s.zst" % (line.split(b"|")[3][:2], line.split(b"|")[3])
                    for line in f.read().split(b"\r\n") if line.startswith(b"|object|")}
    test.assertEqual(found, recorded)
    by_digest = {hashlib.md5(d).hexdigest().encode(): d for d in contents}
    listed = {line.split(b"|")[-2] for line in text.split(b"\r\n") if line.count(b"|") >= 2 and
              not line.startswith(b"[")}
    for digest in listed:
        if len(digest) == 32:
            test.assertIn(b"objects/%s/%s.zst" % (digest[:2], digest), found)
    for name in found:
        digest = os.path.basename(name)[:-4]
        test.assertIn(digest, by_digest, name)
        r = subprocess.run(["zstd", "-dc", os.path.join(server, name)], capture_output=True)
        test.assertEqual(r.returncode, 0, r.stderr)
        test.assertEqual(r.stdout, by_digest[digest], name)
    return found


def object_names(contents):
    digests = {hashlib.md5(d).hexdigest().encode() for d in contents}
    return {b"objects/%s/%s.zst" % (d[:2], d) for d in digests}


def kept_lists(test, server):
    """The earlier live lists kept for a revert, each a list."""
    names = set()
    folder = os.path.join(server, b"files.lst.history")
    for f in os.listdir(folder) if os.path.isdir(folder) else []:
        with open(os.path.join(folder, f), "rb") as fh:
            test.assertTrue(fh.read().startswith(b"[settings]\r\nRev|"), f)
        names.add(b"files.lst.history/" + f)
    return names


def snapshot(root):
    """Every file and directory under root: bytes path -> (content, inode, mtime)."""
    result = {}
    broot = os.fsencode(root)
    for dirpath, dirnames, filenames in os.walk(broot):
        for d in dirnames:
            result[os.path.relpath(os.path.join(dirpath, d), broot)] = ("dir", 0, 0)
        for f in filenames:
            p = os.path.join(dirpath, f)
            st = os.lstat(p)
            with open(p, "rb") as fh:
                result[os.path.relpath(p, broot)] = (fh.read(), st.st_ino, st.st_mtime_ns)
    return result


def decode_single_stream(data):
    d = bz2.BZ2Decompressor()
    out = d.decompress(data)
    if not d.eof or d.unused_data:
        raise AssertionError("not exactly one complete bzip2 stream")
    return out


class PublishCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="publish-e2e-")
        self.client = os.path.join(self.tmp, "client")
        self.server = os.path.join(self.tmp, "server")
        self.files = _tree()
        write_tree(self.client, self.files)

    def tearDown(self):
        for dirpath, dirnames, _ in os.walk(self.tmp):
            for d in dirnames:
                p = os.path.join(dirpath, d)
                if not os.path.islink(p):
                    os.chmod(p, 0o755)
        shutil.rmtree(self.tmp)

    def publish(self, *args, client=None, server=None, prefix=()):
        cmd = list(prefix) + [PUBLISH, *args, client or self.client, server or self.server]
        return subprocess.run(cmd, capture_output=True, timeout=300)

    def publish_ok(self, *args, **kw):
        r = self.publish(*args, **kw)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout.decode()

    def assert_server_matches(self, files, server=None, older=()):
        """`older`: contents of earlier publications whose objects stay."""
        server = os.fsencode(server or self.server)
        copies = set()
        for dirpath, _, filenames in os.walk(server):
            for f in filenames:
                copies.add(os.path.relpath(os.path.join(dirpath, f), server))
        wanted = {list_path(r).replace(b"\\", b"/") + b".bz2" for r in files}
        for rel, data in files.items():
            name = os.path.join(server, list_path(rel).replace(b"\\", b"/") + b".bz2")
            with open(name, "rb") as f:
                self.assertEqual(decode_single_stream(f.read()), data, rel)
        with open(os.path.join(server, b"files.lst"), "rb") as f:
            text = f.read()
        contents = list(files.values()) + list(older)
        objects = check_object_files(self, server, text, contents)
        self.assertEqual(objects, object_names(contents))
        self.assertEqual(copies, wanted | OWN_FILES | check_patch_files(self, server, text) | objects |
                         kept_lists(self, server))
        with open(os.path.join(server, b"files.lst.bz2"), "rb") as f:
            self.assertEqual(decode_single_stream(f.read()), text)
        return text


class FirstPublication(PublishCase):
    def test_list_and_copies(self):
        out = self.publish_ok("--rev", "7", "--self", "Updater.exe", *CRITICAL_ARGS)
        text = self.assert_server_matches(self.files)
        self.assertEqual(text, expected_list(self.files, 7, "Updater.exe", CRITICAL))
        # Copies carry the Windows-1252 bytes of their names.
        self.assertTrue(os.path.exists(os.path.join(os.fsencode(self.server), b"maps", b"estad\xeda.map.bz2")))
        self.assertIn("published %d files" % len(self.files), out)
        self.assertIn("%d compressed, 0 kept, 0 removed" % len(self.files), out)

    def test_same_input_same_bytes_whatever_the_threads(self):
        other = os.path.join(self.tmp, "server2")
        self.publish_ok("--jobs", "1", *CRITICAL_ARGS)
        self.publish_ok("--jobs", "4", *CRITICAL_ARGS, server=other)
        a, b = snapshot(self.server), snapshot(other)
        self.assertEqual(a.keys(), b.keys())
        for k in a:
            self.assertEqual(a[k][0], b[k][0], k)
        self.assertEqual(a[b"files.lst"][0], expected_list(self.files, 1, None, CRITICAL))

    def test_symlinks_inside_are_followed(self):
        os.symlink("engine.ini", os.path.join(self.client, "system", "alias.ini"))
        os.symlink("../maps", os.path.join(self.client, "data", "maps-link"))
        files = dict(self.files)
        files["system/alias.ini"] = files["system/engine.ini"]
        for rel in [r for r in self.files if r.startswith("maps/")]:
            files["data/maps-link/" + rel[5:]] = self.files[rel]
        self.publish_ok()
        self.assert_server_matches(files)


class Republication(PublishCase):
    def test_only_changed_copies_are_rewritten(self):
        self.publish_ok("--self", "Updater.exe")
        before = snapshot(self.server)

        changed = dict(self.files)
        changed["system/engine.ini"] = b"[engine]\r\nfps=30\r\n"  # same size, other bytes
        changed["maps/new \u00e9.map"] = b"new"
        changed["Updater.exe"] = b"MZ updater v2 longer"
        del changed["maps/old/gone.map"]
        write_tree(self.client, {k: changed[k] for k in ("system/engine.ini", "maps/new \u00e9.map", "Updater.exe")})
        os.remove(os.path.join(self.client, "maps", "old", "gone.map"))
        os.rmdir(os.path.join(self.client, "maps", "old"))

        out = self.publish_ok("--self", "Updater.exe")
        after = snapshot(self.server)
        self.assert_server_matches(changed, older=self.files.values())
        listed, patches = split_patches(after[b"files.lst"][0])
        self.assertEqual(listed, expected_list(changed, 1, "Updater.exe"))
        self.assertTrue(patches)  # the changed files' patches

        rewritten = {list_path(r).replace(b"\\", b"/") + b".bz2"
                     for r in ("system/engine.ini", "maps/new \u00e9.map", "Updater.exe")}
        for key, (data, ino, mtime) in after.items():
            if data == "dir" or key in OWN_FILES or key.startswith((b"patches", b"objects", b"files.lst.history")):
                continue
            if key in rewritten:
                self.assertNotEqual((ino, mtime), before.get(key, (None, 0, 0))[1:], key)
            else:
                self.assertEqual((data, ino, mtime), before[key], key)
        # The removed file's copy and its emptied directory are gone.
        self.assertNotIn(b"maps/old/gone.map.bz2", after)
        self.assertNotIn(b"maps/old", after)
        self.assertIn("3 compressed, 6 kept, 1 removed", out)

    def test_nothing_changed_keeps_every_copy(self):
        self.publish_ok(*CRITICAL_ARGS)
        before = snapshot(self.server)
        out = self.publish_ok(*CRITICAL_ARGS)
        after = snapshot(self.server)
        self.assertEqual(before.keys(), after.keys())
        for key in before:
            if key not in (b"files.lst", b"files.lst.bz2"):
                self.assertEqual(before[key], after[key], key)
        self.assertEqual(before[b"files.lst"][0], after[b"files.lst"][0])
        self.assertIn("0 compressed, %d kept" % len(self.files), out)

    def test_a_lost_or_damaged_list_entry_only_costs_recompression(self):
        self.publish_ok()
        # A copy deleted by hand comes back; the rest is kept.
        os.remove(os.path.join(self.server, "empty.dat.bz2"))
        out = self.publish_ok()
        self.assertIn("1 compressed", out)
        self.assert_server_matches(self.files)


class Refusals(PublishCase):
    """Every refusal exits with 2, names the file and changes nothing."""

    def check_refused(self, make, expect_in_message, *args):
        self.publish_ok()
        before = snapshot(self.server)
        make()
        r = self.publish(*args)
        err = r.stderr.decode("utf-8", errors="replace")
        self.assertEqual(r.returncode, 2, err)
        self.assertIn(expect_in_message, err)
        self.assertEqual(snapshot(self.server), before)

    def touch(self, rel_bytes, data=b"x"):
        path = os.path.join(os.fsencode(self.client), rel_bytes)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def test_names_the_list_cant_hold(self):
        cases = [
            (b"maps/a|b.map", "maps/a|b.map"),
            (b"ctl\x01name.txt", "ctl\\x01name.txt"),
            (b" lead.txt", "' lead.txt'"),
            (b"data/trail.txt ", "'data/trail.txt '"),
            (b"dir /x.txt", "'dir '"),
            ("\u65e5\u672c/\u8a9e.txt".encode(), "\u65e5\u672c"),  # CJK directory
            (b"latin1-\xe9.txt", "not valid UTF-8"),
            (b"Updater.EXE", "differ only in letter case"),
            (b"files.lst", "files.lst.bz2"),
            (b"files.lst.written/x", "files.lst.written"),
            # One directory on the players' disks: both spellings are named.
            (b"Maps/x.map", "the directories 'Maps' (of 'Maps/x.map') and 'maps' (of 'maps/"),
            # Devices in the spellings Windows also resolves.
            (b"data/NUL .txt", "'data/NUL .txt': the name is a Windows device name"),
            (b"com\xc2\xb9.dat", "device name"),  # COM and superscript 1
            (b"sub/CONOUT$/x", "device name"),
        ]
        for rel, shown in cases:
            with self.subTest(name=rel):
                self.check_refused(lambda: self.touch(rel), shown)
            # Remove the file and the directories made for it.
            path = os.path.join(os.fsencode(self.client), rel)
            os.remove(path)
            parent = os.path.dirname(path)
            while parent != os.fsencode(self.client) and not os.listdir(parent):
                os.rmdir(parent)
                parent = os.path.dirname(parent)

    def test_links_that_leave_the_client_directory(self):
        outside = os.path.join(self.tmp, "outside.txt")
        with open(outside, "wb") as f:
            f.write(b"secret")
        link = os.path.join(self.client, "data", "leak.txt")
        self.check_refused(lambda: os.symlink(outside, link), "data/leak.txt")
        os.remove(link)
        link = os.path.join(self.client, "up")
        self.check_refused(lambda: os.symlink("..", link), "'up'")
        os.remove(link)
        link = os.path.join(self.client, "maps", "loop")
        self.check_refused(lambda: os.symlink(".", link), "maps/loop")
        os.remove(link)
        link = os.path.join(self.client, "dangling")
        self.check_refused(lambda: os.symlink("nowhere", link), "'dangling'")

    def test_bad_options(self):
        self.check_refused(lambda: None, "--self", "--self", "missing.exe")
        self.check_refused(lambda: None, "--self", "--self", "data/config.ini")
        self.check_refused(lambda: self.touch(b"my updater.exe"), "letters, digits", "--self", "my updater.exe")
        self.check_refused(lambda: None, "--rev", "--rev", "2147483648")
        self.check_refused(lambda: None, "--jobs", "--jobs", "0")
        self.check_refused(lambda: None, "unknown option", "--fast")
        self.check_refused(lambda: None, "give them to --stage", "--promote", "day-2", "--rev", "2")

    def test_server_directory_inside_the_client_directory(self):
        r = self.publish(server=os.path.join(self.client, "srv"))
        self.assertEqual(r.returncode, 2)
        self.assertFalse(os.path.exists(os.path.join(self.client, "srv")))


class LargeFiles(PublishCase):
    """Run alone with --large (ctest publish_large_e2e): 2 GiB to compress."""

    def test_files_of_2_gib_and_more(self):
        # Past the signed 32-bit limit the size is still written in plain
        # decimal. Sparse zeros: the copy is a few KiB.
        size = 2 ** 31 + 1
        with open(os.path.join(self.client, "huge.pak"), "wb") as f:
            f.truncate(size)
        self.publish_ok()
        digest = hashlib.md5()
        with open(os.path.join(self.client, "huge.pak"), "rb") as f:
            for block in iter(lambda: f.read(1 << 24), b""):
                digest.update(block)
        with open(os.path.join(self.server, "files.lst"), "rb") as f:
            text = f.read()
        self.assertIn(b"huge.pak|" + digest.hexdigest().encode() + b"|2147483649\r\n", text)
        with open(os.path.join(self.server, "huge.pak.bz2"), "rb") as f:
            copy = f.read()
        self.assertLess(len(copy), 1 << 16)
        decoded = bz2.BZ2Decompressor()
        total = 0
        out = decoded.decompress(copy, max_length=1 << 24)
        while True:
            self.assertEqual(out.count(0), len(out))
            total += len(out)
            if decoded.eof:
                break
            out = decoded.decompress(b"", max_length=1 << 24)
        self.assertEqual(total, size)
        self.assertEqual(decoded.unused_data, b"")


class Unreadable(PublishCase):
    """A file the tool can't read: reported, exit 1, nothing half-published."""

    def test_unreadable_file_publishes_nothing(self):
        prefix = ()
        if os.geteuid() == 0:
            # Root reads everything: run the tool as nobody instead.
            setpriv = shutil.which("setpriv")
            if not setpriv:
                self.skipTest("running as root without setpriv")
            prefix = (setpriv, "--reuid=65534", "--regid=65534", "--clear-groups")
            os.chmod(self.tmp, 0o755)
            os.mkdir(self.server)
            os.chown(self.server, 65534, 65534)
            for dirpath, dirnames, filenames in os.walk(self.tmp):
                for d in dirnames:
                    os.chmod(os.path.join(dirpath, d), 0o755)
                for f in filenames:
                    os.chmod(os.path.join(dirpath, f), 0o644)
        self.publish_ok(prefix=prefix)
        before = snapshot(self.server)

        write_tree(self.client, {"system/engine.dll": b"changed", "newdir/new.bin": b"new file"})
        os.chmod(os.path.join(self.client, "newdir"), 0o755)
        for rel in ("system/engine.dll", "newdir/new.bin"):
            os.chmod(os.path.join(self.client, rel), 0o644)
        locked = os.path.join(self.client, "data", "config.ini")
        os.chmod(locked, 0)
        r = self.publish(prefix=prefix)
        err = r.stderr.decode(errors="replace")
        self.assertEqual(r.returncode, 1, err)
        self.assertIn("data/config.ini", err)
        self.assertEqual(snapshot(self.server), before)  # no temporaries, no new directory


def main():
    global PUBLISH
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    large = "--large" in sys.argv
    if large:
        sys.argv.remove("--large")
    PUBLISH = os.path.abspath(sys.argv.pop(1))
    if large:
        return suite.run_cases(LargeFiles)
    del globals()["LargeFiles"]  # not loaded with the module's other cases
    return suite.run(__name__)


if __name__ == "__main__":
    sys.exit(main())
