#!/usr/bin/env python3
"""corvel-update behind a real cache: nginx as a caching reverse proxy (the
list kept LIST_SECONDS, every other answer an hour, under the same names)
in front of an origin nginx. A publication replaced on the origin while the
cache still holds the old list and copies must never leave a wrong file in
place: every run ends with the install equal to one publication or the
other, never a mix. Once the list's cache time has passed, runs converge to
the new publication without anyone purging the cache.

usage: cache_test.py PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE

A program whose name ends in ".exe" runs under wine.
"""
import os
import random
import shutil
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
import e2e_base as base  # noqa: E402
import update_test as ut  # noqa: E402

# Long enough for a run under wine to ask for the list within it.
LIST_SECONDS = 5
# How long runs may take to converge once the list's cache time has passed
# (a run under wine takes a few seconds).
CONVERGE_WITHIN = 90

_noise = random.Random(7)
A = {
    "game.exe": b"MZ game v1",
    "data/config.ini": b"volume=3\r\n",
    "data/maps/old.map": b"old map\n" * 100,
    "system/engine.dll": _noise.randbytes(300 * 1024),  # large enough to be resumable
    "data/quests.txt": b"".join(b"quest %d: slay %d wolves\n" % (i, i % 17) for i in range(8000)),
}
B = {
    "game.exe": A["game.exe"],
    "data/config.ini": b"volume=9\r\nmusic=off\r\n",
    "data/maps/new.map": b"new map\n" * 100,
    "system/engine.dll": _noise.randbytes(300 * 1024),
    # One line changed: a patch, which the cache may keep for good.
    "data/quests.txt": A["data/quests.txt"].replace(b"quest 4000: slay 5 wolves", b"quest 4000: slay 9 bears"),
}

# The list and its signature are kept a short time, every copy an hour: what
# a CDN with default rules does to files under fixed names. The key is the
# whole request URI, query included.
CACHE_HTTP = """
    proxy_cache_path {dir}/cache levels=1:2 keys_zone=corvel:4m max_size=256m inactive=2h use_temp_path=off;
    log_format cache escape=none '$request_uri $upstream_cache_status $status';
    access_log {dir}/cache.log cache;
"""
CACHE_SITE = """
        proxy_cache corvel;
        proxy_cache_key $scheme$proxy_host$request_uri;
        location ~ /files\\.lst\\.bz2(\\.sig)?$ {{
            proxy_pass http://127.0.0.1:%d;
            proxy_cache_valid 200 %ds;
        }}
        location / {{
            proxy_pass http://127.0.0.1:%d;
            proxy_cache_valid 200 1h;
        }}
"""


# The operators' configuration from the README, on the origin; the cache in
# front keeps whatever the origin's headers allow, for as long as they say.
OPERATOR_CONF = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                             "config", "nginx", "updater.conf")
HONOURING_SITE = """
        proxy_cache corvel;
        proxy_cache_key $scheme$proxy_host$request_uri;
        location / {{ proxy_pass http://127.0.0.1:%d; }}
"""


class BehindACache(unittest.TestCase):
    def origin_site(self):
        return None

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="cache-e2e-")
        self.client = os.path.join(self.tmp, "client")
        self.server_root = os.path.join(self.tmp, "srv")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(self.install)
        os.makedirs(self.server_root)
        self.publications = []
        self.servers = []
        try:
            origin = ut.Nginx(self.tmp, self.server_root, name="origin", site=self.origin_site())
            self.servers.append(origin)
            site = self.cache_site(origin.port)
            self.cache = ut.Nginx(self.tmp, None, name="cache", site=site, http=CACHE_HTTP)
            self.servers.append(self.cache)
        except (OSError, RuntimeError) as e:
            self.fail("nginx did not start: %s" % e)
        self.url = "http://127.0.0.1:%d/Updater/" % self.cache.port

    def cache_site(self, origin):
        return CACHE_SITE % (origin, LIST_SECONDS, origin)

    def tearDown(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def publish(self, files):
        """Publishes files over a copy of the last publication, beside the
        one the origin serves; serve() puts it in place at once."""
        shutil.rmtree(self.client, ignore_errors=True)
        base.write_tree(self.client, files)
        published = os.path.join(self.tmp, "pub-%d" % len(self.publications))
        if self.publications:
            shutil.copytree(self.publications[-1], published, symlinks=True)
        cmd = base.command(ut.PUBLISH, "--rev", "1", base.host_path(ut.PUBLISH, self.client),
                           base.host_path(ut.PUBLISH, published))
        r = base.run_to_files(cmd)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.publications.append(published)

    def serve(self):
        """The origin serves the last publication from now on (one rename of
        a link, as an operator's deployment would)."""
        link = os.path.join(self.server_root, "Updater.new")
        os.symlink(self.publications[-1], link)
        os.replace(link, os.path.join(self.server_root, "Updater"))

    def update(self):
        cmd = base.command(ut.UPDATE, "--dir", base.host_path(ut.UPDATE, self.install), self.url)
        r = base.run_to_files(cmd)
        return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")

    def cache_log(self):
        path = os.path.join(self.cache.dir, "cache.log")
        with open(path, "rb") as f:
            return [line.decode("latin-1").split() for line in f if line.strip()]

    def assert_never_wrong(self, run, out):
        """Each file holds one publication's bytes for its name, and the
        install as a whole is one publication; which one it is. (Compared
        by name: a diff of megabytes of bytes would take minutes.)"""
        have = {rel.decode(): data for rel, data in base.tree_of(self.install).items()}
        wrong = [rel for rel, data in have.items() if data not in (A.get(rel), B.get(rel))]
        if wrong:
            self.fail("run %d left wrong bytes in %s\n%s" % (run, sorted(wrong), out))
        for name, files in (("A", A), ("B", B)):
            if have == files:
                return name
        self.fail("run %d left a mix of both publications: %s\n%s" % (
            run, {rel: "A" if data == A.get(rel) else "B" for rel, data in sorted(have.items())}, out))

    def install_first(self, files):
        self.publish(files)
        self.serve()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.assert_never_wrong(1, out), "A")

    def test_a_republication_behind_a_cache_converges_without_a_purge(self):
        self.install_first(A)

        # The cache holds A's copies for an hour; the list is asked through
        # it once more so that it holds A's list for LIST_SECONDS from now.
        self.publish(B)
        urllib.request.urlopen(self.url + "files.lst.bz2", timeout=30).read()
        self.serve()
        republished = time.monotonic()
        states = []
        deadline = republished + LIST_SECONDS + CONVERGE_WITHIN
        while True:
            code, out = self.update()
            state = self.assert_never_wrong(len(states) + 2, out)
            states.append((round(time.monotonic() - republished, 1), code, state))
            if state == "B" and code == 0:
                break
            self.assertLess(time.monotonic(), deadline,
                            "no convergence %d s after the republication: %s\n%s" % (
                                deadline - republished, states, out))
            time.sleep(0.5)  # pacing the runs, not waiting for anything
        lists = [status for uri, status, _ in self.cache_log() if uri.endswith("files.lst.bz2")]
        print("runs after the republication (seconds, exit status, install): %s" % states)
        print("the cache's answers for the list: %s" % lists)
        print("converged %.1f s after the republication (list cached %d s)" % (states[-1][0], LIST_SECONDS))


class BehindACacheWithTheOperatorsHeaders(BehindACache):
    """The origin sends the README's headers: the cache asks it again for the
    list each time, keeps copies an hour and patches for good; the first run
    after a republication installs it whole."""

    def origin_site(self):
        return "root %s;\n        include %s;" % (self.server_root, OPERATOR_CONF)

    def cache_site(self, origin):
        return HONOURING_SITE % origin

    def test_a_republication_behind_a_cache_converges_without_a_purge(self):
        self.install_first(A)
        self.publish(B)
        self.serve()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.assert_never_wrong(2, out), "B")

        def header(name):
            with urllib.request.urlopen(self.url + name, timeout=30) as r:
                return r.headers.get("Cache-Control")
        patches = os.listdir(os.path.join(self.publications[-1], "patches"))
        self.assertTrue(patches, "the changed text file has a patch")
        for name, want in (("files.lst.bz2", "no-cache"),
                           ("data/config.ini.bz2", "public, max-age=3600"),
                           ("patches/" + patches[0], "public, max-age=31536000, immutable")):
            self.assertEqual(header(name), want, name)
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(self.url + "files.lst.written", timeout=30)
        self.assertEqual(refused.exception.code, 404)


def main():
    return suite.run_with_programs(__name__, __doc__, ut)


if __name__ == "__main__":
    sys.exit(main())
