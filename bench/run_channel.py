#!/usr/bin/env python3
"""Switching to a channel and back: bytes the server sends for each switch
against the bytes of the differing files' objects.

A signed live publication of 48 files of 1 MiB (half random, half text) is
installed fresh; a channel "beta" changes 64 KiB in four of them, replaces
two and adds one. corvel-update --channel beta, then corvel-update back to
the live one, each against Python's http.server on loopback counting the
bytes of every response. Each switch prints the list bytes (live list,
channel list, signatures, patch index), the content bytes, and those
against the sum of the objects of the files that differ (the reference: a
switch that fetched each differing file whole as its object). Target: only
the differing files' patches or objects are asked for (content <= 1.0x the
reference), and the install equals the tree switched to.

usage: bench/run_channel.py   (WORK, NATIVE as the other benches; any build
type: bytes don't depend on it)
"""
import hashlib
import http.server
import os
import random
import shutil
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("WORK", os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvel-bench"))
NATIVE = os.environ.get("NATIVE", os.path.join(ROOT, "build", "native-release"))
UPDATE = os.path.join(NATIVE, "tools", "update", "corvel-update")
PUBLISH = os.path.join(NATIVE, "tools", "publish", "corvel-publish")
BASE = os.path.join(WORK, "channel")
MIB = 1 << 20
LISTS = ("/Updater/files.lst", "/Updater/channels/beta/files.lst")


class CountingHandler(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, outputfile):
        sent = 0
        while True:
            block = source.read(1 << 16)
            if not block:
                break
            outputfile.write(block)
            sent += len(block)
        with self.server.lock:
            self.server.sent.append((self.path, sent))

    def log_message(self, *args):
        pass


def content(rnd, i):
    if i % 2:
        return rnd.randbytes(MIB)
    words = [bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(3, 10))) for _ in range(512)]
    text = b" ".join(rnd.choice(words) for _ in range(MIB // 5))
    return text[:MIB]


def write_tree(root, files):
    shutil.rmtree(root, ignore_errors=True)
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def trees():
    rnd = random.Random(29)
    live = {"data/f%02d.pak" % i: content(rnd, i) for i in range(48)}
    beta = dict(live)
    for i in range(4):
        name = "data/f%02d.pak" % i
        at = MIB // 2
        beta[name] = live[name][:at] + rnd.randbytes(64 << 10) + live[name][at + (64 << 10):]
    for i in (4, 5):
        beta["data/f%02d.pak" % i] = content(rnd, i + 1)
    beta["data/beta.pak"] = rnd.randbytes(MIB)
    return live, beta


def check(*cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (r.returncode, " ".join(cmd), r.stdout.decode(errors="replace")))
    return r.stdout.decode()


def object_bytes(server, files):
    total = 0
    for data in files.values():
        md5 = hashlib.md5(data).hexdigest()
        total += os.path.getsize(os.path.join(server, "objects", md5[:2], md5 + ".zst"))
    return total


def same_tree(install, files):
    for name, data in files.items():
        with open(os.path.join(install, name), "rb") as f:
            if f.read() != data:
                return False
    on_disk = {os.path.relpath(os.path.join(d, n), install).replace(os.sep, "/")
               for d, _, names in os.walk(install) for n in names}
    return {n for n in on_disk if n.startswith("data/")} == set(files)


def main():
    live, beta = trees()
    shutil.rmtree(BASE, ignore_errors=True)
    os.makedirs(BASE)
    srv_root = os.path.join(BASE, "srv")
    server = os.path.join(srv_root, "Updater")
    install = os.path.join(BASE, "install")
    os.makedirs(install)
    key = os.path.join(BASE, "operator.key")
    public = check(PUBLISH, "keygen", key).strip()
    write_tree(os.path.join(BASE, "live"), live)
    write_tree(os.path.join(BASE, "beta"), beta)
    check(PUBLISH, "--sign", key, "--rev", "1", os.path.join(BASE, "live"), server)
    check(PUBLISH, "--sign", key, "--channel", "beta", os.path.join(BASE, "beta"), server)

    httpd = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), lambda *a, **kw: CountingHandler(*a, directory=srv_root, **kw))
    httpd.sent, httpd.lock = [], threading.Lock()
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/Updater/" % httpd.server_port
    update = [UPDATE, "--public-key", public, "--no-next", "--dir", install]

    check(*update, url)
    print("| switch | requests | list bytes | content bytes | objects of the differing files | ratio | only those |")
    print("|---|---|---|---|---|---|---|")
    failed = False
    for label, extra, before, after in (("live -> beta", ["--channel", "beta"], live, beta),
                                        ("beta -> live", [], beta, live)):
        httpd.sent.clear()
        check(*update, *extra, url)
        differing = {n: d for n, d in after.items() if before.get(n) != d}
        reference = object_bytes(server, differing)
        lists = sum(b for p, b in httpd.sent if p.startswith(LISTS))
        fetched = [(p, b) for p, b in httpd.sent if not p.startswith(LISTS)]
        got = sum(b for _, b in fetched)
        wanted = {hashlib.md5(d).hexdigest() for d in differing.values()}
        only = len(fetched) == len(differing) and all(
            any(p.endswith(("/%s.zst" % m, "-%s.zst" % m)) for m in wanted) for p, _ in fetched)
        ok = only and got <= reference and same_tree(install, after)
        failed |= not ok
        print("| %s | %d | %d | %d | %d | %.3f | %s |" % (label, len(httpd.sent), lists, got, reference,
                                                        got / reference, "yes" if ok else "NO"))
    httpd.shutdown()
    shutil.rmtree(BASE, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
