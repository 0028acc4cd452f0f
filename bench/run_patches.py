#!/usr/bin/env python3
"""What patches save: bytes sent for an update between successive releases,
with patches (corvel-publish's default history) over today's whole copies
(--patch-history 0), each through nginx on loopback, counted from nginx's
own log ($body_bytes_sent of every request: list, signature, index, copies,
patches).

Cases (real releases from the npm registry, fetched once with `npm pack`;
a game-like archive generated here):
  patch      typescript 5.4.4 -> 5.4.5            (target <= 0.05)
  minor      typescript 5.3.3 -> 5.4.2            (target <= 0.40)
  exe        @esbuild/linux-x64 0.20.1 -> 0.20.2  (one 9.6 MB executable, target <= 0.15)
  tree       rxjs 7.8.0 -> 7.8.1                  (2,276 files, target <= 0.30)
  archive    48 MiB of records, 1 MiB rewritten, 64 KiB inserted at the front (target <= 0.05)
  behind2    typescript 5.4.3 -> 5.4.4 -> 5.4.5, installed 5.4.3 (target <= 0.50)
  fresh      typescript 5.4.5 into an empty folder (target: bytes and time within 5%)

Each run ends with the install compared file by file with the newer tree.

usage: bench/run_patches.py [CASE...]   (WORK, NATIVE; default: every case)
"""
import filecmp
import os
import random
import shutil
import socket
import subprocess
import sys
import tarfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("WORK", os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvel-bench"))
NATIVE = os.environ.get("NATIVE", os.path.join(ROOT, "build", "native-release"))
UPDATE = os.path.join(NATIVE, "tools", "update", "corvel-update")
PUBLISH = os.path.join(NATIVE, "tools", "publish", "corvel-publish")
BASE = os.path.join(WORK, "patches")

CASES = {
    "patch": (["typescript@5.4.4", "typescript@5.4.5"], 0.05),
    "minor": (["typescript@5.3.3", "typescript@5.4.2"], 0.40),
    "exe": (["@esbuild/linux-x64@0.20.1", "@esbuild/linux-x64@0.20.2"], 0.15),
    "tree": (["rxjs@7.8.0", "rxjs@7.8.1"], 0.30),
    "archive": (["archive@1", "archive@2"], 0.05),
    "behind2": (["typescript@5.4.3", "typescript@5.4.4", "typescript@5.4.5"], 0.50),
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def game_archive(dest, version):
    """48 MiB of 4 KiB records of game-like data (names, numbers, some
    noise); version 2 rewrites 256 records (1 MiB) and puts 64 KiB of new
    records in front."""
    rnd = random.Random(48)
    words = [bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(3, 10)))
             for _ in range(2000)]

    def record(seed):
        r = random.Random(seed)
        out = bytearray()
        while len(out) < 4096:
            out += b" ".join(r.choice(words) for _ in range(6)) + b";"
            out += r.randbytes(24)
            out += b"%d,%d,%.3f\n" % (r.randint(0, 1 << 20), r.randint(0, 99), r.random())
        return bytes(out[:4096])

    seeds = list(range(12288))
    if version == 2:
        for i in random.Random(2).sample(range(len(seeds)), 256):
            seeds[i] = 100000 + i
        seeds = list(range(200000, 200016)) + seeds
    os.makedirs(os.path.join(dest, "data"), exist_ok=True)
    with open(os.path.join(dest, "data", "world.pak"), "wb") as f:
        for s in seeds:
            f.write(record(s))


def tree(spec):
    """The unpacked release as a client directory, made once."""
    name, version = spec.rsplit("@", 1)
    dest = os.path.join(BASE, "trees", spec.replace("/", "_"))
    if os.path.exists(dest + ".done"):
        return dest
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    if name == "archive":
        game_archive(dest, int(version))
    else:
        pack = os.path.join(BASE, "packs")
        os.makedirs(pack, exist_ok=True)
        out = subprocess.run(["npm", "pack", "-q", spec], cwd=pack, check=True, capture_output=True, text=True)
        with tarfile.open(os.path.join(pack, out.stdout.strip().splitlines()[-1])) as t:
            t.extractall(dest, filter="data")
        inner = os.path.join(dest, "package")
        for entry in os.listdir(inner):
            os.rename(os.path.join(inner, entry), os.path.join(dest, entry))
        os.rmdir(inner)
    open(dest + ".done", "w").close()
    return dest


class Nginx:
    """nginx serving ROOT as /srv/ on HOST, each request logged as
    "uri status body_bytes bytes_with_headers"."""
    def __init__(self, root, dir=None, host="127.0.0.1"):
        self.dir = dir or os.path.join(BASE, "nginx")
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.port = free_port()
        self.log = os.path.join(self.dir, "sent.log")
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(f"""
{"user root;" if os.geteuid() == 0 else ""}
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log;
events {{ worker_connections 256; }}
http {{
    log_format sent escape=none '$request_uri $status $body_bytes_sent $bytes_sent';
    access_log {self.log} sent;
    keepalive_requests 100000;
    client_body_temp_path {self.dir}/body; proxy_temp_path {self.dir}/proxy; fastcgi_temp_path {self.dir}/fcgi;
    uwsgi_temp_path {self.dir}/uwsgi; scgi_temp_path {self.dir}/scgi;
    default_type application/octet-stream;
    server {{ listen {host}:{self.port}; location /srv/ {{ alias {root}/; }} }}
}}
""")
        self.proc = subprocess.Popen(["nginx", "-e", os.path.join(self.dir, "error.log"), "-c",
                                      os.path.join(self.dir, "nginx.conf"), "-p", self.dir + "/", "-g",
                                      "daemon off;"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            try:
                socket.create_connection((host, self.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.url = "http://%s:%d/srv/" % (host, self.port)

    def sent(self):
        with open(self.log) as f:
            lines = [line.split() for line in f if line.strip()]
        return sum(int(x[2]) for x in lines), len(lines), [x for x in lines if x[1] not in ("200", "206")]

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def publish_all(specs, history, srv):
    """The releases published one after the other into one server
    directory, as an operator does release by release; timed each."""
    shutil.rmtree(srv, ignore_errors=True)
    took = []
    for spec in specs:
        start = time.monotonic()
        subprocess.run([PUBLISH, "--patch-history", str(history), tree(spec), srv], check=True,
                       stdout=subprocess.DEVNULL)
        took.append(time.monotonic() - start)
    return took


def same_tree(want, got):
    for d, _, files in os.walk(want):
        for name in files:
            a = os.path.join(d, name)
            b = os.path.join(got, os.path.relpath(a, want))
            if not os.path.isfile(b) or not filecmp.cmp(a, b, shallow=False):
                return False
    return True


def update(srv, installed, newest):
    """An install of `installed` (nothing when None) updated from srv:
    bytes sent, requests, wall time."""
    inst = os.path.join(BASE, "install")
    shutil.rmtree(inst, ignore_errors=True)
    if installed:
        shutil.copytree(tree(installed), inst)
    else:
        os.makedirs(inst)
    server = Nginx(srv)
    try:
        start = time.monotonic()
        with open(os.path.join(BASE, "update.out"), "wb") as out:
            code = subprocess.call([UPDATE, "--force", "--dir", inst, server.url], stdout=out, stderr=out)
        wall = time.monotonic() - start
        sent, requests, bad = server.sent()
    finally:
        server.close()
    if code != 0 or not same_tree(tree(newest), inst):
        sys.exit("update from %s to %s failed (exit %d, see %s)" % (installed, newest, code,
                                                                  os.path.join(BASE, "update.out")))
    return sent, requests, wall, bad


def main():
    for tool in (UPDATE, PUBLISH):
        if not os.access(tool, os.X_OK):
            sys.exit("build the native-release preset first: %s is missing" % tool)
    wanted = sys.argv[1:] or list(CASES) + ["fresh"]
    print("%-8s %12s %12s %7s %8s %9s %s" % ("case", "patches B", "whole B", "ratio", "target", "requests", "publish s"))
    for name in wanted:
        if name == "fresh":
            specs = ["typescript@5.4.4", "typescript@5.4.5"]
            installed, target = None, None
        else:
            specs, target = CASES[name]
            installed = specs[0]
        ours_srv, ref_srv = os.path.join(BASE, "srv-patches"), os.path.join(BASE, "srv-whole")
        took = publish_all(specs, 3, ours_srv)
        publish_all(specs, 0, ref_srv)
        ours = update(ours_srv, installed, specs[-1])
        ref = update(ref_srv, installed, specs[-1])
        ratio = ours[0] / ref[0]
        if name == "fresh":
            print("%-8s %12d %12d %7.3f %8s %4d/%-4d  wall %.2f / %.2f s = %.3f" % (
                name, ours[0], ref[0], ratio, "1.05", ours[1], ref[1], ours[2], ref[2], ours[2] / ref[2]))
        else:
            print("%-8s %12d %12d %7.3f %8.2f %4d/%-4d  %s%s" % (
                name, ours[0], ref[0], ratio, target, ours[1], ref[1], " ".join("%.1f" % t for t in took),
                "" if not ours[3] else "  (refused: %s)" % " ".join(x[0] + ":" + x[1] for x in ours[3][:5])))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
