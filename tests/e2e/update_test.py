#!/usr/bin/env python3
"""corvel-update end to end: a generated client tree published with
corvel-publish, then installed and updated by corvel-update from nginx and
from Python's http.server on 127.0.0.1.

usage: update_test.py PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE

A program whose name ends in ".exe" runs under wine and is given Windows
paths (drive Z:).
"""
import bz2
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402
import suite  # noqa: E402
from e2e_base import (PyServer, child_env, command, free_port, host_path, is_wine, on_disk,  # noqa: E402
                      interrupted_run, request_path, tree_of, wait_for_port, wait_until, write_tree)
from publish_test import list_path  # noqa: E402

PUBLISH = None  # set from argv
UPDATE = None


def _tree(ascii_only=False):
    rnd = random.Random(1234).randbytes(3 * 1024 * 1024 + 17)
    files = {
        "game.exe": b"MZ game v1",
        "system/engine.dll": rnd,  # several bzip2 blocks
        "data/config.ini": b"volume=3\r\n",
        "data/empty.dat": b"",
        "data/maps/deep/level 1.map": b"level one\n" * 50,
        "caf\u00e9.txt": b"cafe con leche",
    }
    if ascii_only:
        files = {rel.replace("\u00e9", "e"): data for rel, data in files.items()}
    return files


CHANGED = "data/config.ini"


def _object_request(data):
    digest = hashlib.md5(data).hexdigest()
    return ("/Updater/objects/%s/%s.zst" % (digest[:2], digest)).encode()



ADDED = "data/nuevo \u00e9.txt"
# A publisher running under wine stores the copies' names as Unicode (UTF-8
# on disk), not as the Windows-1252 bytes the updater asks for, so servers
# that map request bytes to names can't find them: ASCII names only then.
ASCII_ONLY = False
REMOVED = "data/maps/deep/level 1.map"


# ---- servers -------------------------------------------------------------------

class Nginx:
    """Debian's nginx with a configuration of its own on a loopback port.
    site, when given, is the server block's configuration instead of serving
    root, and http more of the http block's; format strings that may name
    {dir}, nginx's own directory."""

    def __init__(self, tmp, root, rate=None, name="nginx", site=None, http="", tls=None):
        """tls: a PEM file with the server's key and certificate; then it
        serves HTTPS, offering HTTP/2."""
        self.dir = os.path.join(tmp, name)
        self.site = site
        self.http = http
        os.makedirs(self.dir)
        self.log = os.path.join(self.dir, "access.log")
        self.bytes_log = os.path.join(self.dir, "bytes.log")
        self.streams_log = os.path.join(self.dir, "streams.log")
        self.rate = rate
        self.tls = tls
        # nginx can't bind port 0 and tell us the port: take a free one, and
        # take another if someone else got there between our probe and nginx.
        for attempt in range(10):
            self.port = free_port()
            self.proc = self._start(root)
            if self._bound():
                break
            self.stop()
        else:
            raise RuntimeError("nginx found no free port; see %s" % os.path.join(self.dir, "error.log"))
        try:
            wait_for_port(self.port, self.proc)
        except Exception:
            self.stop()
            raise

    def _start(self, root):
        conf = os.path.join(self.dir, "nginx.conf")
        d = self.dir
        with open(conf, "w") as f:
            f.write(f"""
{"user root;" if os.geteuid() == 0 else ""}
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format requests escape=none '$request_uri';
    access_log {self.log} requests;
    log_format sent escape=none '$request_uri $status $body_bytes_sent';
    access_log {self.bytes_log} sent;
    log_format streams escape=none '$server_protocol $connection $request_uri';
    access_log {self.streams_log} streams;
    {"limit_rate %s;" % self.rate if self.rate else ""}
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    default_type application/octet-stream;
    {self.http.format(dir=d)}
    server {{
        listen 127.0.0.1:{self.port}{" ssl http2" if self.tls else ""};
        {"ssl_certificate %s; ssl_certificate_key %s;" % (self.tls, self.tls) if self.tls else ""}
        {self.site.format(dir=d) if self.site else "root %s;" % root}
    }}
}}
""")
        pid = os.path.join(d, "nginx.pid")
        if os.path.exists(pid):
            os.remove(pid)
        return subprocess.Popen(
            ["nginx", "-e", os.path.join(d, "error.log"), "-c", conf, "-p", d + "/", "-g", "daemon off;"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _bound(self, timeout=15):
        """nginx writes its pid file only once its sockets are bound; it
        exits when the port is taken."""
        pid = os.path.join(self.dir, "nginx.pid")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            if os.path.exists(pid) and os.path.getsize(pid) > 0:
                return True
            time.sleep(0.05)
        return False

    def requests(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return [request_path(line.rstrip(b"\n")) for line in f if line.strip()]

    def sent(self, path):
        """(status, body bytes sent) of each answer for a request path."""
        if not os.path.exists(self.bytes_log):
            return []
        out = []
        with open(self.bytes_log, "rb") as f:
            for line in f:
                uri, status, count = line.split()
                if request_path(uri) == path:
                    out.append((int(status), int(count)))
        return out

    def streams(self):
        """(protocol, connection number) of each request, in the order served."""
        if not os.path.exists(self.streams_log):
            return []
        with open(self.streams_log, "rb") as f:
            return [tuple(line.split()[:2]) for line in f if line.strip()]

    def clear_log(self):
        # nginx appends to the file it holds open: empty it in place.
        with open(self.log, "r+b") as f:
            f.truncate(0)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ---- cases ---------------------------------------------------------------------

def partial_copy_in(folder):
    """The partial copy a broken download left in folder, or None."""
    if not os.path.isdir(folder):
        return None
    for name in os.listdir(folder):
        if ".~corvel-resume-" in name and not name.endswith(".tag"):
            return os.path.join(folder, name)
    return None


class UpdateCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="update-e2e-")
        self.client = os.path.join(self.tmp, "client")
        self.server_root = os.path.join(self.tmp, "srv")
        self.published = os.path.join(self.server_root, "Updater")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(self.install)
        self.files = _tree(ASCII_ONLY)
        self.added = ADDED.replace("\u00e9", "e") if ASCII_ONLY else ADDED
        write_tree(self.client, self.files)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def publish(self, *args):
        cmd = command(PUBLISH, *args, host_path(PUBLISH, self.client), host_path(PUBLISH, self.published))
        r = subprocess.run(cmd, capture_output=True, timeout=300, env=child_env())
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))

    def update(self, url, *args):
        cmd = command(UPDATE, *args, "--dir", host_path(UPDATE, self.install), url)
        r = subprocess.run(cmd, capture_output=True, timeout=300, env=child_env())
        return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")

    def full_and_incremental(self, server, first_args, second_args, publish_args):
        url = "http://127.0.0.1:%d/Updater/" % server.port
        self.publish(*publish_args)

        code, out = self.update(url, *first_args)
        self.assertEqual(code, 0, out)
        self.assertEqual(tree_of(self.install), on_disk(self.files), out)
        # The list first, then every file as its object, no copy.
        wanted = [b"/Updater/files.lst.bz2"] + sorted({_object_request(data) for data in self.files.values()})
        got = server.requests()
        self.assertEqual(got[:1] + sorted(got[1:]), wanted)

        # Change one file, add one, remove one; republish.
        changed = dict(self.files)
        changed[CHANGED] = b"volume=9\r\nmusic=off\r\n"
        changed[self.added] = b"nuevo archivo"
        del changed[REMOVED]
        write_tree(self.client, {CHANGED: changed[CHANGED], self.added: changed[self.added]})
        os.remove(os.path.join(self.client, REMOVED))
        self.publish(*publish_args)
        server.clear_log()

        code, out = self.update(url, *second_args)
        self.assertEqual(code, 0, out)
        # The changed file comes as its patch from the content installed,
        # smaller than its copy; the new one as its object.
        patch = "patches/%s-%s.zst" % (hashlib.md5(self.files[CHANGED]).hexdigest(),
                                       hashlib.md5(changed[CHANGED]).hexdigest())
        self.assertEqual(sorted(server.requests()), sorted(
            [b"/Updater/files.lst.bz2", b"/Updater/" + patch.encode(), _object_request(changed[self.added])]))
        # The file the list no longer names was installed by the first run
        # and is unchanged: it goes; nothing else is left.
        expected = on_disk(changed)
        self.assertEqual(tree_of(self.install), expected, out)
        # A line per installed file, and no status lines without --verbose.
        installed = [line for line in out.splitlines() if line.startswith("installed  ")]
        self.assertEqual(len(installed), 2, out)
        self.assertIn("installed  " + CHANGED.replace("/", "\\"), installed, out)
        self.assertNotIn("Descargando", out)
        self.assertNotIn("Buscando", out)

        # A third run finds everything current and fetches only the list;
        # --verbose shows its statuses.
        server.clear_log()
        code, out = self.update(url, "--verbose", *second_args)
        self.assertEqual(code, 0, out)
        self.assertEqual(server.requests(), [b"/Updater/files.lst.bz2"])
        self.assertEqual(tree_of(self.install), expected, out)
        self.assertIn("Buscando Actualizaciones...", out)
        self.assertNotIn("installed  ", out)


class WithNginx(UpdateCase):
    def test_install_then_update_rev_1(self):
        try:
            server = Nginx(self.tmp, self.server_root)
        except (OSError, RuntimeError) as e:
            self.fail("nginx did not start: %s" % e)
        try:
            # Rev 1: every section is checked on every run.
            self.full_and_incremental(server, (), (), ("--rev", "1"))
        finally:
            server.stop()


    def test_killed_download_is_resumed_with_the_missing_bytes_only(self):
        """A run killed mid-download leaves a partial copy; the next run asks
        nginx for the rest (206) and installs the right file."""
        try:
            server = Nginx(self.tmp, self.server_root, rate="1m")
        except (OSError, RuntimeError) as e:
            self.fail("nginx did not start: %s" % e)
        try:
            self.publish("--rev", "1")
            url = "http://127.0.0.1:%d/Updater/" % server.port
            copy_path = b"/Updater/system/engine.dll.bz2"
            copy_size = os.path.getsize(os.path.join(self.published, "system", "engine.dll.bz2"))
            system = os.path.join(self.install, "system")

            def partial():
                return partial_copy_in(system)

            # The copy is continued here (--copies-only): objects start over.
            cmd = command(UPDATE, "--copies-only", "--dir", host_path(UPDATE, self.install), url)
            with tempfile.TemporaryFile() as out:
                proc = subprocess.Popen(cmd, stdout=out, stderr=out, env=child_env())
                deadline = time.monotonic() + 120
                while time.monotonic() < deadline and proc.poll() is None:
                    p = partial()
                    if p and os.path.getsize(p) > copy_size // 3:
                        break
                    time.sleep(0.02)
                self.assertIsNone(proc.poll(), "the run ended before it could be killed")
                proc.kill()
                proc.wait()
            kept = partial()
            self.assertIsNotNone(kept)
            have = os.path.getsize(kept)
            self.assertTrue(0 < have < copy_size, have)
            self.assertTrue(os.path.exists(kept + ".tag"))

            code, out = self.update(url, "--copies-only")
            self.assertEqual(code, 0, out)
            self.assertEqual(tree_of(self.install), on_disk(self.files), out)
            sent = server.sent(copy_path)
            self.assertEqual(sent[0][0], 200, sent)
            # The second run asked only for what the partial copy lacked.
            self.assertEqual(sent[1:], [(206, copy_size - have)], sent)
        finally:
            server.stop()


    def test_killed_while_patching_then_the_next_run_converges(self):
        """An install one publication behind gets a patch instead of the copy
        (zstd's own tool makes it, as the publisher does); a run killed while
        it fetches or applies the patch loses nothing, and the next run sweeps
        what it left, patches again and never asks for the copy."""
        try:
            server = Nginx(self.tmp, self.server_root, rate="1m")
        except (OSError, RuntimeError) as e:
            self.fail("nginx did not start: %s" % e)
        try:
            rel = "system/engine.dll"
            old = self.files[rel]
            new = random.Random(99).randbytes(2 * 1024 * 1024) + old
            write_tree(self.install, self.files)  # the install is current with the old publication
            write_tree(self.client, {rel: new})
            self.publish("--rev", "1")
            patch = os.path.join(self.tmp, "p.zst")
            with open(os.path.join(self.tmp, "old"), "wb") as f:
                f.write(old)
            with open(os.path.join(self.tmp, "new"), "wb") as f:
                f.write(new)
            subprocess.run(["zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + os.path.join(self.tmp, "old"),
                            os.path.join(self.tmp, "new"), "-o", patch], check=True, timeout=300, capture_output=True)
            with open(patch, "rb") as f:
                patch_bytes = f.read()
            md5_old, md5_new = hashlib.md5(old).hexdigest(), hashlib.md5(new).hexdigest()
            copy_size = os.path.getsize(os.path.join(self.published, "system", "engine.dll.bz2"))
            self.assertLess(len(patch_bytes), copy_size)
            os.makedirs(os.path.join(self.published, "patches"))
            with open(os.path.join(self.published, "patches", "%s-%s.zst" % (md5_old, md5_new)), "wb") as f:
                f.write(patch_bytes)
            with open(os.path.join(self.published, "files.lst"), "rb") as f:
                listed = f.read()
            listed += b"[patches]\r\n%s|%s|%d|%d|%s\r\n[/patches]\r\n" % (
                md5_old.encode(), md5_new.encode(), len(patch_bytes), copy_size,
                hashlib.sha256(patch_bytes).hexdigest().encode())
            with open(os.path.join(self.published, "files.lst.bz2"), "wb") as f:
                f.write(bz2.compress(listed))
            url = "http://127.0.0.1:%d/Updater/" % server.port
            system = os.path.join(self.install, "system")

            def ours():
                return [n for n in os.listdir(system) if ".~corvel" in n or n.endswith(".part")]

            def patch_begun():
                for n in ours():
                    p = os.path.join(system, n)
                    if n.endswith(".part") or os.path.getsize(p) > len(patch_bytes) // 3:
                        return True
                return False

            cmd = command(UPDATE, "--dir", host_path(UPDATE, self.install), url)
            with tempfile.TemporaryFile() as out:
                proc = subprocess.Popen(cmd, stdout=out, stderr=out, env=child_env())
                deadline = time.monotonic() + 120
                while time.monotonic() < deadline and proc.poll() is None and not patch_begun():
                    time.sleep(0.005)
                self.assertIsNone(proc.poll(), "the run ended before it could be killed")
                proc.kill()
                proc.wait()
            self.assertTrue(ours(), "the killed run left nothing to sweep")
            with open(os.path.join(system, "engine.dll"), "rb") as f:
                self.assertEqual(f.read(), old)

            code, out = self.update(url)
            self.assertEqual(code, 0, out)
            expected = dict(self.files)
            expected[rel] = new
            self.assertEqual(tree_of(self.install), on_disk(expected), out)
            self.assertEqual(server.sent(b"/Updater/system/engine.dll.bz2"), [])
            self.assertEqual(server.sent(b"/Updater/patches/%s-%s.zst" % (md5_old.encode(), md5_new.encode()))[-1],
                             (200, len(patch_bytes)))
        finally:
            server.stop()


class WithHttpServer(UpdateCase):
    def test_install_then_update_rev_0_forced(self):
        server = PyServer(self.server_root)
        try:
            # Rev 0: only a forced run looks at [files_normal].
            self.full_and_incremental(server, ("--force",), ("--force",), ("--rev", "0"))
        finally:
            server.stop()

    def test_a_reader_of_copies_only_installs_a_publication_with_objects(self):
        """A launcher that knows only the .bz2 copies (--copies-only reads the
        list as one does) installs the same tree from the same publication."""
        server = PyServer(self.server_root)
        try:
            self.publish("--rev", "1")
            self.assertTrue(os.path.isdir(os.path.join(self.published, "objects")))
            code, out = self.update("http://127.0.0.1:%d/Updater/" % server.port, "--copies-only")
            self.assertEqual(code, 0, out)
            self.assertEqual(tree_of(self.install), on_disk(self.files), out)
            got = server.requests()
            self.assertEqual(got[:1] + sorted(got[1:]), [b"/Updater/files.lst.bz2"] + sorted(
                b"/Updater/" + list_path(r).replace(b"\\", b"/") + b".bz2" for r in self.files))
        finally:
            server.stop()

    def test_rev_0_unforced_installs_only_critical_files(self):
        server = PyServer(self.server_root)
        try:
            self.publish("--rev", "0", "--critical", "system/*")
            code, out = self.update("http://127.0.0.1:%d/Updater/" % server.port)
            self.assertEqual(code, 0, out)
            self.assertEqual(tree_of(self.install), on_disk({"system/engine.dll": self.files["system/engine.dll"]}))
        finally:
            server.stop()

    def test_dir_may_name_a_folder_the_list_code_page_cannot_spell(self):
        """A player's folder in Polish under one in Cyrillic: --dir is read
        as the system gives it, and every file lands inside it."""
        server = PyServer(self.server_root)
        try:
            self.publish("--rev", "1")
            outer = "\u0141\u00f3d\u017a Drakmoor"  # Łódź Drakmoor
            self.install = os.path.join(self.tmp, outer, "\u0414\u0440\u0430\u043a\u043a\u043c\u043e\u0440")
            os.makedirs(self.install)
            code, out = self.update("http://127.0.0.1:%d/Updater/" % server.port)
            self.assertEqual(code, 0, out)
            self.assertEqual(tree_of(self.install), on_disk(self.files), out)
            self.assertEqual(sorted(os.listdir(self.tmp)), sorted(["client", "install", "srv", outer]))
            self.assertEqual(os.listdir(os.path.join(self.tmp, outer)), [os.path.basename(self.install)])
        finally:
            server.stop()


class Failures(UpdateCase):
    def test_server_down_exits_1_and_writes_nothing(self):
        port = free_port()  # closed again: nothing listens there
        code, out = self.update("http://127.0.0.1:%d/Updater/" % port, "--force")
        self.assertEqual(code, 1, out)
        self.assertIn("did not complete: cannot connect", out)
        self.assertEqual(os.listdir(self.install), [])

    def test_a_failed_file_is_printed_with_its_reason(self):
        server = PyServer(self.server_root)
        try:
            self.publish("--rev", "1")
            # A copy of the same size but other bytes stands where the file's should be.
            forged = bytes(reversed(self.files[CHANGED]))
            self.assertNotEqual(forged, self.files[CHANGED])
            with open(os.path.join(self.published, *CHANGED.split("/")) + ".bz2", "wb") as f:
                f.write(bz2.compress(forged))
            # The copy's path; an object's fallbacks: tests/e2e/object_test.cpp.
            code, out = self.update("http://127.0.0.1:%d/Updater/" % server.port, "--copies-only")
            self.assertEqual(code, 1, out)
            self.assertIn("failed     %s: digest mismatch" % CHANGED.replace("/", "\\"), out.splitlines())
            self.assertIn("did not complete: digest mismatch", out)
            self.assertNotIn(CHANGED.encode(), tree_of(self.install))
        finally:
            server.stop()

    def test_usage_errors_exit_2(self):
        for args in ((), ("ftp://127.0.0.1/Updater/",), ("--fast", "http://127.0.0.1/"),
                     ("http://127.0.0.1/a/", "file:///etc/"), ("--timeout", "0", "http://127.0.0.1/")):
            with self.subTest(args=args):
                r = subprocess.run(command(UPDATE, *args), capture_output=True, timeout=120, env=child_env())
                self.assertEqual(r.returncode, 2, r.stderr.decode(errors="replace"))
                self.assertIn(b"usage:", r.stderr)
        self.assertEqual(os.listdir(self.install), [])

    def test_limit_rate_takes_bytes_per_second_with_k_or_m_and_refuses_anything_else(self):
        for value in ("", "abc", "-1", "1.5M", "10G", "10KB", "K", "M1", " 512K", "2097152M", "99999999999999999999"):
            with self.subTest(value=value):
                r = subprocess.run(command(UPDATE, "--limit-rate", value, "http://127.0.0.1/Updater/"),
                                   capture_output=True, timeout=120, env=child_env())
                self.assertEqual(r.returncode, 2, r.stderr.decode(errors="replace"))
                self.assertIn(b"--limit-rate needs bytes per second", r.stderr)
                self.assertIn(b"usage:", r.stderr)
        r = subprocess.run(command(UPDATE, "http://127.0.0.1/Updater/", "--limit-rate"),
                           capture_output=True, timeout=120, env=child_env())
        self.assertEqual(r.returncode, 2, r.stderr.decode(errors="replace"))
        # Accepted: the run goes on to the server, which isn't there.
        port = free_port()
        for value in ("0", "1048576", "512K", "512k", "2M", "1m"):
            with self.subTest(value=value):
                code, out = self.update("http://127.0.0.1:%d/Updater/" % port, "--limit-rate", value)
                self.assertEqual(code, 1, out)
                self.assertIn("did not complete: cannot connect", out)
        self.assertEqual(os.listdir(self.install), [])

    def test_a_limited_run_installs_everything(self):
        server = PyServer(self.server_root)
        try:
            self.publish("--rev", "1")
            code, out = self.update("http://127.0.0.1:%d/Updater/" % server.port, "--limit-rate", "2M")
            self.assertEqual(code, 0, out)
            self.assertEqual(tree_of(self.install), on_disk(self.files), out)
        finally:
            server.stop()


class Interrupted(UpdateCase):
    def test_ctrl_c_during_a_stalled_download_exits_130_and_keeps_the_partial_copy(self):
        """Ctrl+C while the server holds a large copy back halfway (its stall
        window is a minute) ends the run at once with status 130; the copy so
        far stays, and the next run asks only for the rest."""
        if is_wine(UPDATE):
            self.skipTest("a signal to wine is not the console's Ctrl+C")
        server = fault_server.start(self.server_root)
        try:
            self.publish("--rev", "1")
            url = "http://127.0.0.1:%d/Updater/" % server.server_port
            copy = os.path.join(self.published, "system", "engine.dll.bz2")
            copy_size = os.path.getsize(copy)
            sent_first = copy_size // 2
            with open(copy + ".fault", "w") as f:
                f.write("stall %d" % sent_first)
            system = os.path.join(self.install, "system")

            def partial():
                return partial_copy_in(system)

            def all_arrived():
                p = partial()
                return p is not None and os.path.getsize(p) >= sent_first

            # The copy is continued here (--copies-only): objects start over.
            cmd = command(UPDATE, "--copies-only", "--dir", host_path(UPDATE, self.install), url)
            code, text = interrupted_run(cmd, all_arrived)
            self.assertEqual(code, 130, text)
            self.assertIn("stopped", text)
            kept = partial()
            self.assertIsNotNone(kept, text)
            self.assertEqual(os.path.getsize(kept), sent_first)
            self.assertTrue(os.path.exists(kept + ".tag"))
            self.assertNotIn(b"system/engine.dll", tree_of(self.install))

            os.remove(copy + ".fault")
            code, text = self.update(url, "--copies-only")
            self.assertEqual(code, 0, text)
            self.assertEqual(tree_of(self.install), on_disk(self.files), text)
            with open(os.path.join(self.server_root, "bytes.log")) as f:
                sent = [line.split()[1:] for line in f if line.startswith("/Updater/system/engine.dll.bz2 ")]
            self.assertEqual(sent, [["200", str(sent_first)], ["206", str(copy_size - sent_first)]])
        finally:
            server.stop()


def main():
    global PUBLISH, UPDATE, ASCII_ONLY
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    PUBLISH = os.path.abspath(sys.argv.pop(1))
    UPDATE = os.path.abspath(sys.argv.pop(1))
    ASCII_ONLY = is_wine(PUBLISH)
    if ASCII_ONLY:
        print("publisher under wine: names limited to ASCII")
    return suite.run(__name__)


if __name__ == "__main__":
    sys.exit(main())
