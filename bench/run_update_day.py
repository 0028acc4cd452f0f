#!/usr/bin/env python3
"""Update day measured, side by side in one run, on loopback.

  promote  A 256 MiB client (run_gendata.py's tree512: 512 files, 40% random
           bytes, 60% text) published signed; its next version (a quarter of
           the files rewritten, 4 files added, 2 removed) staged with
           `--stage day-2`. One install, fresh, then pre-downloaded by a
           plain `corvel-update` run. Each of RUNS rounds (reference and
           subject alternating, both from a warm page cache):
             ref   `md5sum` over the staged client's files (256 MiB: every
                   byte the promoted install holds), and, printed beside it,
                   over the pre-downloaded contents alone
             ours  the server and the install restored as they were before
                   the promotion (untimed), `corvel-publish --promote day-2`
                   (timed, shown), then one `corvel-update` run (the figure):
                   targets <= 5 s and <= 1.2 x ref; the install is then
                   compared with the staged list (untimed); the same again
                   with corvel-update not given the key (MD5 only)
           Each request of that run is printed with its bytes (target: the
           list, its signature and index only), then `corvel-publish
           --revert` and one run more: it must leave the install current
           with the reverted list, asking only for the contents that differ.
  limit    A stage of 12 MiB (24 files of 512 KiB random bytes) fetched
           ahead by `corvel-update --limit-rate 512K` into an install of the
           live publication: average rate over the objects' bytes, first to
           last block the server wrote (64 KiB send buffer, 16 KiB writes),
           and over the whole run; target within 10% of the limit.

The server is tests/e2e/fault_server.py on a free loopback port, its bytes
logged in memory per request. Medians of RUNS (default 3); the load average
is printed with every figure, as the machine may be shared.

With BEFORE set to another build directory, its corvel-update runs each
round of `promote` too, right after ours, from the same restored state.

usage: bench/run_update_day.py [promote] [limit]   (WORK, NATIVE, RUNS, BEFORE)
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import fault_server  # noqa: E402
import run_gendata  # noqa: E402
from run_install_objects import timed, verify  # noqa: E402

WORK = os.environ.get("WORK", os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvel-bench"))
NATIVE = os.environ.get("NATIVE", os.path.join(ROOT, "build", "native-release"))
RUNS = int(os.environ.get("RUNS", "3"))
# An earlier build's corvel-update, measured beside ours (optional).
BEFORE = os.environ.get("BEFORE") and os.path.join(os.environ["BEFORE"], "tools", "update", "corvel-update")
UPDATE = os.path.join(NATIVE, "tools", "update", "corvel-update")
PUBLISH = os.path.join(NATIVE, "tools", "publish", "corvel-publish")
BASE = os.path.join(WORK, "update-day")
LOG = os.path.join(BASE, "runs.log")
RATE = 512 << 10


class Logged(fault_server.Handler):
    """Keeps each body's bytes in the server's memory (path, status, bytes,
    end time) and, with small_buffers, each block written with its time."""

    def setup(self):
        if self.server.small_buffers:
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
        super().setup()

    def _log_request(self):
        pass

    def _log_bytes(self, status, count):
        with self.server.log_lock:
            self.server.sent.append((self.path, status, count, time.monotonic()))

    def _write_body(self, status, data):
        sent = 0
        try:
            for i in range(0, len(data), 16384):
                block = data[i:i + 16384]
                self.wfile.write(block)
                self.wfile.flush()
                sent += len(block)
                if self.server.small_buffers:
                    with self.server.log_lock:
                        self.server.blocks.append((time.monotonic(), self.path, len(block)))
        finally:
            self._log_bytes(status, sent)


def serve(root, small_buffers=False):
    server = fault_server.start(root)
    server.RequestHandlerClass = Logged
    server.sent, server.blocks, server.small_buffers = [], [], small_buffers
    return server, "http://127.0.0.1:%d/" % server.server_port


def load():
    return "load %.1f" % os.getloadavg()[0]


def run(cmd, what, cpu=None):
    """One command, its output appended to LOG; wall seconds, its CPU seconds
    appended to cpu. Fails loudly."""
    wall, used, rc = timed(cmd, LOG)
    if rc != 0:
        sys.exit("%s failed (exit %d), see %s" % (what, rc, LOG))
    if cpu is not None:
        cpu.append(used)
    return wall


def restore(pristine, dest):
    shutil.rmtree(dest, ignore_errors=True)
    subprocess.run(["cp", "-a", pristine, dest], check=True)


def read_list(srv):
    """(path, md5, size) of every entry of SRV's files.lst; a signed list's
    lines start with the SHA-256."""
    entries, section = [], None
    with open(os.path.join(srv, "files.lst"), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("["):
                section = line if not line.startswith("[/") else None
            elif section in ("[files_critical]", "[files_normal]") and line:
                fields = line.split("|")
                if len(fields[0]) == 64:
                    fields = fields[1:]
                entries.append((fields[0].replace("\\", "/"), fields[1], int(fields[2])))
    return entries


def files_of(root):
    return sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs)


def md5sum_wall(paths, cpu=None):
    """One md5sum over paths: wall seconds, its CPU seconds appended to cpu."""
    with open(os.path.join(BASE, "paths"), "wb") as f:
        f.write(b"\0".join(p.encode() for p in paths))
    return run(["sh", "-c", "xargs -0 md5sum < \"$0\" > /dev/null", os.path.join(BASE, "paths")], "md5sum", cpu)


def requests_since(server, mark):
    with server.log_lock:
        return list(server.sent[mark:])


def show_requests(title, requests):
    print("  %s: %d requests, %d bytes" % (title, len(requests), sum(r[2] for r in requests)))
    for path, status, count, _ in requests:
        print("    %-60s %d %10d" % (path, status, count))


def update_trees():
    """v1 (tree512) and v2: every 4th file rewritten, 4 added, 2 removed."""
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "run_gendata.py"), WORK, "tree512"], check=True)
    v1, v2 = os.path.join(WORK, "tree512"), os.path.join(BASE, "v2")
    if not os.path.exists(v2 + ".done"):
        shutil.rmtree(v2, ignore_errors=True)
        shutil.copytree(v1, v2, copy_function=os.link)
        for i, path in enumerate(files_of(v2)):
            size = os.path.getsize(path)
            os.remove(path)
            if i in (7, 301):
                continue  # removed
            if i % 4 == 0:
                with open(path, "wb") as f:
                    run_gendata.write_mix(f, size)
            else:
                os.link(os.path.join(v1, os.path.relpath(path, v2)), path)
        os.makedirs(os.path.join(v2, "new"))
        for i in range(4):
            with open(os.path.join(v2, "new", "added%d.dat" % i), "wb") as f:
                run_gendata.write_mix(f, 512 << 10)
        open(v2 + ".done", "w").close()
    return v1, v2


def keygen():
    key, public = os.path.join(BASE, "operator.key"), os.path.join(BASE, "operator.pub")
    if not os.path.exists(public):
        out = subprocess.run([PUBLISH, "keygen", key], check=True, capture_output=True, text=True).stdout
        with open(public, "w") as f:
            f.write(out.strip())
    with open(public) as f:
        return key, f.read().strip()


def case_promote():
    v1, v2 = update_trees()
    key, public = keygen()
    staged_srv, ready = os.path.join(BASE, "srv-staged"), os.path.join(BASE, "inst-ready")
    srv, inst = os.path.join(BASE, "srv"), os.path.join(BASE, "inst")
    os.makedirs(srv, exist_ok=True)
    server, url = serve(srv)
    update = [UPDATE, "--public-key", public, "--dir", inst, url]
    try:
        if not os.path.exists(ready + ".done"):
            for d in (staged_srv, ready, srv, inst):
                shutil.rmtree(d, ignore_errors=True)
            start = time.monotonic()
            run([PUBLISH, "--jobs", "2", "--sign", key, v1, srv], "publish v1")
            run([PUBLISH, "--jobs", "2", "--sign", key, "--stage", "day-2", v2, srv], "stage v2")
            print("published and staged in %.1f s" % (time.monotonic() - start))
            os.makedirs(inst)
            mark = len(server.sent)
            wall = run(update, "fresh install + pre-download")
            got = requests_since(server, mark)
            print("fresh install and pre-download: %.1f s, %d requests, %d bytes" % (
                wall, len(got), sum(r[2] for r in got)))
            subprocess.run(["cp", "-a", srv, staged_srv], check=True)
            subprocess.run(["cp", "-a", inst, ready], check=True)
            open(ready + ".done", "w").close()
        staged = files_of(os.path.join(ready, "files.lst.next"))
        print("pre-downloaded: %d contents, %d bytes; staged client: %d files, %d bytes" % (
            len(staged), sum(map(os.path.getsize, staged)), len(files_of(v2)), sum(map(os.path.getsize, files_of(v2)))))

        # (name, command): ours; ours without the key (the signature and the
        # SHA-256 of each file not checked: MD5 only); with BEFORE, an
        # earlier build.
        subjects = [("ours", update), ("ours-nokey", [UPDATE, "--dir", inst, url])] + (
            [("before", [BEFORE] + update[1:])] if BEFORE else [])
        ref, ref_cpu, ref_ahead, promote, revert, revert_run = [], [], [], [], [], []
        walls = {name: [] for name, _ in subjects}
        cpus = {name: [] for name, _ in subjects}
        promoted = {p: m for p, m, _ in read_list(os.path.join(staged_srv, "stage", "day-2"))}
        for r in range(RUNS):
            ref.append(md5sum_wall(files_of(v2), ref_cpu))
            ref_ahead.append(md5sum_wall(staged))
            line = "round %d: md5sum %.2f s (pre-downloaded alone %.2f s)" % (r + 1, ref[-1], ref_ahead[-1])
            for name, program in subjects:
                restore(staged_srv, srv)
                restore(ready, inst)
                promote.append(run([PUBLISH, "--jobs", "2", "--sign", key, "--promote", "day-2", srv], "promote"))
                mark = len(server.sent)
                walls[name].append(run(program, "run after promotion", cpus[name]))
                after = requests_since(server, mark)
                wrong = verify(read_list(srv), inst)
                line += "; promote %.2f s, %s %.2f s = %.2f (CPU %.2f / %.2f s)%s" % (
                    promote[-1], name, walls[name][-1], walls[name][-1] / ref[-1], cpus[name][-1], ref_cpu[-1],
                                                               " (install: %s)" % wrong if wrong else "")
                if r == 0 and name == "ours":
                    show_requests("requests after the promotion", after)
            print(line + ", " + load(), flush=True)
            # The revert, from the install ours left current.
            revert.append(run([PUBLISH, "--jobs", "2", "--sign", key, "--revert", srv], "revert"))
            mark = len(server.sent)
            revert_run.append(run(update, "run after revert"))
            back = requests_since(server, mark)
            wrong = verify(read_list(srv), inst)
            live = read_list(srv)
            differing = {m for p, m, _ in live if promoted.get(p) != m}
            contents = [x for x in back if not (x[0].endswith((".lst.bz2", ".sig")) or "index" in x[0])]
            stray = [x[0] for x in contents if not any(m in x[0] for m in differing)]
            if r == 0:
                show_requests("requests after the revert", back)
            print("  revert %.2f s, then one run %.2f s: %d files differ from the promoted list, %d contents "
                  "fetched (%d bytes), %d for anything else%s; %s, %s" % (
                      revert[-1], revert_run[-1], len(differing), len(contents), sum(x[2] for x in contents),
                      len(stray), " (" + " ".join(stray) + ")" if stray else "",
                      "install: " + wrong if wrong else "install current", load()), flush=True)
        m_ref = statistics.median(ref)
        for name, _ in subjects:
            m = statistics.median(walls[name])
            c, c_ref = statistics.median(cpus[name]), statistics.median(ref_cpu)
            print("promotion to all current, %s: median %.2f s (runs %s) against md5sum %.2f s (runs %s) = %.2f "
                  "(targets 5 s, 1.2); CPU %.2f / %.2f s = %.2f" % (
                      name, m, " ".join("%.2f" % x for x in walls[name]), m_ref, " ".join("%.2f" % x for x in ref),
                      m / m_ref, c, c_ref, c / c_ref))
        print("md5sum of the pre-downloaded contents alone %.2f s; promote %.2f s; revert %.2f s, its run %.2f s" % (
            statistics.median(ref_ahead), statistics.median(promote), statistics.median(revert),
            statistics.median(revert_run)))
    finally:
        server.stop()


def case_limit():
    base = os.path.join(BASE, "limit")
    v1, v2 = os.path.join(base, "v1"), os.path.join(base, "v2")
    staged_srv, ready = os.path.join(base, "srv-staged"), os.path.join(base, "inst-ready")
    srv, inst = os.path.join(base, "srv"), os.path.join(base, "inst")
    os.makedirs(srv, exist_ok=True)
    server, url = serve(srv, small_buffers=True)
    try:
        if not os.path.exists(ready + ".done"):
            for d in (v1, v2, staged_srv, ready, srv, inst):
                shutil.rmtree(d, ignore_errors=True)
            os.makedirs(v1)
            with open(os.path.join(v1, "readme.txt"), "w") as f:
                f.write("update day\n")
            shutil.copytree(v1, v2)
            os.makedirs(os.path.join(v2, "data"))
            for i in range(24):
                with open(os.path.join(v2, "data", "f%02d.bin" % i), "wb") as f:
                    f.write(os.urandom(512 << 10))
            run([PUBLISH, "--jobs", "2", v1, srv], "publish")
            run([PUBLISH, "--jobs", "2", "--stage", "day-2", v2, srv], "stage")
            os.makedirs(inst)
            run([UPDATE, "--no-next", "--dir", inst, url], "install")
            subprocess.run(["cp", "-a", srv, staged_srv], check=True)
            subprocess.run(["cp", "-a", inst, ready], check=True)
            open(ready + ".done", "w").close()
        server_rates, run_rates = [], []
        for r in range(RUNS):
            restore(staged_srv, srv)
            restore(ready, inst)
            with server.log_lock:
                server.blocks.clear()
            mark = len(server.sent)
            wall = run([UPDATE, "--limit-rate", "512K", "--dir", inst, url], "pre-download")
            got = [x for x in requests_since(server, mark) if "/objects/" in x[0]]
            with server.log_lock:
                blocks = [b for b in server.blocks if "/objects/" in b[1]]
            total = sum(x[2] for x in got)
            span = blocks[-1][0] - blocks[0][0]
            server_rates.append(total / span)
            run_rates.append(total / wall)
            ready_files = len(files_of(os.path.join(inst, "files.lst.next")))
            print("round %d: %d objects, %d bytes in %.2f s (server, first to last block) = %.0f B/s (%.3f of "
                  "the limit); whole run %.2f s = %.0f B/s (%.3f); %d contents staged, %s" % (
                      r + 1, len(got), total, span, total / span, total / span / RATE, wall, total / wall,
                      total / wall / RATE, ready_files, load()))
        print("pre-download under --limit-rate 512K: median %.0f B/s = %.3f of the limit (server), "
              "%.0f B/s = %.3f (whole run); target within 10%%" % (
                  statistics.median(server_rates), statistics.median(server_rates) / RATE,
                  statistics.median(run_rates), statistics.median(run_rates) / RATE))
    finally:
        server.stop()


def main():
    cases = sys.argv[1:] or ["promote", "limit"]
    os.makedirs(BASE, exist_ok=True)
    print("== update day, %s, %d cores, %s, RUNS=%d" % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                                                      os.cpu_count(), load(), RUNS))
    for case in cases:
        {"promote": case_promote, "limit": case_limit}[case]()


if __name__ == "__main__":
    main()
