#!/usr/bin/env python3
"""Fresh installs from objects against the bzip2 copies and against curl +
zstd, side by side in one run, from nginx (connections kept open).

  loop   SIZE in FILES files of bench data (run_gendata.py's mix: 40% random
         bytes, 60% text), published once by --build's corvel-publish, on
         loopback:
           ref   curl --parallel --parallel-max 8 of every file's object
                 (objects/ab/<md5>.zst, as the list names it) + zstd -d of
                 each on 2 cores (xargs -P 2)
           bz2   corvel-update --force into an empty folder from a server
                 whose list names no objects (the same copies, no objects/)
           obj   corvel-update --force into an empty folder from the
                 publication as written (objects named in the list)
         wall (median of RUNS) and CPU (user + system of the command and its
         children); ratios obj/ref (target <= 1.0 wall) and obj/bz2
         (targets <= 0.25 wall, <= 0.3 CPU).
  link   through a link of 1 Gbit/s with a 10 ms round trip: the server
         and the clients in network namespaces of their own, joined by
         bench/delayline.py (TUN devices and a forwarder that paces and
         delays, 5 ms each way; this kernel has no netem):
           obj   as above
           curl  curl --parallel --parallel-max 8 of the objects, fetching
                 only (what 8 connections carry through the link)
         each against the wire time of the bytes nginx sent for it (headers
         included) at 1 Gbit/s, target obj <= 1.15. Needs root.
  wine   256 MiB in 512 files (run_gendata.py tree512): --windows's
         corvel-update.exe under Wine against the native corvel-update, both
         from the publication as written; target <= 1.2 (wall).

Which path each corvel-update run took is read from nginx's log: requests
under objects/ against .bz2 copies. Until the updater fetches objects, the
"obj" rows install from the copies and are printed as such: they are then
references only.

Every install is checked against the list's MD5s after its run (untimed).
Runs of a case alternate between its commands; medians are printed with
every run and the load average. The machine may be shared: read the load.

usage: bench/run_install_objects.py --build DIR [--windows DIR] [--size 1G]
           [--files N] [--runs 3] [--work DIR] [--inst DIR] [loop] [link] [wine]
"""
import argparse
import hashlib
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_patches  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINK_RATE = 1e9  # bits/s of the shaped link
LINK_DELAY_MS = 10  # round trip: half each way


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(text[:-1]) * units[text[-1].upper()] if text[-1].upper() in units else int(text)


def load():
    return "%.1f" % os.getloadavg()[0]


def bench_tree(work, size, files):
    """SIZE bytes in FILES files, sizes 4 kB..8 MB as tree1g's; 1 GiB in
    2,000 files is tree1g itself."""
    gendata = [sys.executable, os.path.join(ROOT, "bench", "run_gendata.py"), work]
    if (size, files) == (1 << 30, 2000):
        subprocess.run(gendata + ["tree1g"], check=True)
        return os.path.join(work, "tree1g")
    if (size, files) == (256 << 20, 512):
        subprocess.run(gendata + ["tree512"], check=True)
        return os.path.join(work, "tree512")
    root = os.path.join(work, "treeobj-%d-%d" % (size, files))
    if not os.path.exists(root + ".done"):
        import run_gendata
        rng = random.Random(size ^ files)
        raw = [2 ** rng.uniform(12, 23) for _ in range(files)]
        sizes = [max(1, int(s * size / sum(raw))) for s in raw]
        sizes[0] += size - sum(sizes)
        run_gendata.tree(root, sizes)
    return root


def read_list(srv):
    """(path, md5, size) of every entry of SRV's files.lst."""
    entries, section = [], None
    with open(os.path.join(srv, "files.lst"), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("[/"):
                section = None
            elif line.startswith("["):
                section = line
            elif section in ("[files_critical]", "[files_normal]") and line:
                path, md5, size = line.split("|")[:3]
                entries.append((path.replace("\\", "/"), md5, int(size)))
    return entries


def publish(build, tree, work):
    """The publication as written (obj) and a server beside it whose list
    names no objects (bz2): its other files are hard links to obj's."""
    name = os.path.basename(tree)
    obj, bz2 = os.path.join(work, "srvobj-" + name), os.path.join(work, "srvbz2-" + name)
    publisher = os.path.join(build, "tools", "publish", "corvel-publish")
    # Another publisher may write other objects: publish again with a new one.
    stamp = "%s %d %d" % (publisher, os.stat(publisher).st_size, os.stat(publisher).st_mtime_ns)
    try:
        with open(obj + ".by") as f:
            fresh = f.read() == stamp
    except FileNotFoundError:
        fresh = False
    if not fresh:
        for d in (obj, bz2):
            shutil.rmtree(d, ignore_errors=True)
        for f in (obj + ".by", bz2 + ".done"):
            if os.path.exists(f):
                os.remove(f)
        start = time.monotonic()
        subprocess.run([publisher, "--jobs", "2", tree, obj], check=True, stdout=subprocess.DEVNULL)
        print("published %s in %.1f s" % (name, time.monotonic() - start))
        with open(obj + ".by", "w") as f:
            f.write(stamp)
    if not os.path.exists(bz2 + ".done"):
        shutil.rmtree(bz2, ignore_errors=True)
        shutil.copytree(obj, bz2, copy_function=os.link,
                        ignore=lambda d, names: [n for n in names if d == obj and n in ("objects", "files.lst",
                                                                                      "files.lst.bz2")])
        with open(os.path.join(obj, "files.lst"), encoding="utf-8") as f:
            text = "".join(line for line in f if not line.startswith("Objects|"))
        with open(os.path.join(bz2, "files.lst"), "w", encoding="utf-8", newline="") as f:
            f.write(text)
        subprocess.run(["bzip2", "-9", "-k", "-f", os.path.join(bz2, "files.lst")], check=True)
        open(bz2 + ".done", "w").close()
    objects = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(os.path.join(obj, "objects"))
                  for f in fs)
    copies = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(bz2) for f in fs
                 if f.endswith(".bz2") and f != "files.lst.bz2")
    print("%s: %d entries, %d bytes installed; objects %d bytes, .bz2 copies %d bytes (%.3f)" % (
        name, len(read_list(obj)), sum(e[2] for e in read_list(obj)), objects, copies, objects / copies))
    return obj, bz2


class Server:
    """One nginx serving WORK as /srv/; the requests since the last mark."""

    def __init__(self, work, tag, host="127.0.0.1"):
        self.nginx = run_patches.Nginx(work, dir=os.path.join(work, "nginx-" + tag), host=host)
        self.url = self.nginx.url
        self.offset = 0

    def mark(self):
        self.offset = os.path.getsize(self.nginx.log)

    def since_mark(self):
        """(requests under objects/, .bz2 copies, other, bytes with headers, failed)."""
        with open(self.nginx.log) as f:
            f.seek(self.offset)
            lines = [line.split() for line in f if line.strip()]
        objs = sum("/objects/" in x[0] for x in lines)
        copies = sum(x[0].endswith(".bz2") and not x[0].endswith("files.lst.bz2") for x in lines)
        failed = sum(x[1] not in ("200", "206") for x in lines)
        return objs, copies, len(lines) - objs - copies, sum(int(x[3]) for x in lines), failed

    def close(self):
        self.nginx.close()


def verify(entries, inst):
    """The install holds every entry with its MD5 (untimed)."""
    for path, md5, _ in entries:
        h = hashlib.md5()
        try:
            with open(os.path.join(inst, path), "rb") as f:
                while chunk := f.read(1 << 20):
                    h.update(chunk)
        except FileNotFoundError:
            return "missing " + path
        if h.hexdigest() != md5:
            return "wrong content " + path
    return ""


def timed(cmd, out):
    """Wall and CPU seconds (user + system, children included) of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    with open(out, "ab") as log:
        rc = subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), rc


def curl_config(entries, url, srv, inst, path):
    """curl's work list: each file's object into INST/<path>.zst."""
    with open(path, "w") as f:
        for p, md5, _ in entries:
            f.write('url = "%sobjects/%s/%s.zst"\noutput = "%s/%s.zst"\n' % (
                url + os.path.basename(srv) + "/", md5[:2], md5, inst, p))


def run_case(title, commands, server, entries, inst, runs, work, wire=False, fetch_only=()):
    """Runs every command RUNS times, alternating; returns {name: (wall, cpu)}
    medians and prints each with its runs and the path it took. FETCH_ONLY
    commands install nothing: not verified."""
    print("== %s, %s, load %s" % (title, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), load()))
    results = {name: [] for name, _ in commands}
    seen = {}
    out = os.path.join(work, "install-objects.out")
    for _ in range(runs):
        for name, cmd in commands:
            shutil.rmtree(inst, ignore_errors=True)
            os.makedirs(inst)
            server.mark()
            wall, cpu, rc = timed(cmd, out)
            objs, copies, other, sent, failed = server.since_mark()
            bad = ("" if name in fetch_only else verify(entries, inst)) or ("exit status %d" % rc if rc else "")
            results[name].append((wall, cpu, sent))
            seen[name] = (objs, copies, other, failed, bad)
            if bad:
                print("   %s FAILED: %s (output in %s)" % (name, bad, out))
    medians = {}
    for name, cmd in commands:
        walls, cpus = [r[0] for r in results[name]], [r[1] for r in results[name]]
        sent = statistics.median(r[2] for r in results[name])
        medians[name] = (statistics.median(walls), statistics.median(cpus), sent)
        objs, copies, other, failed, bad = seen[name]
        line = "  %-4s wall %7.2f s  CPU %7.2f s  (runs %s)  requests: %d objects, %d .bz2 copies, %d other%s" % (
            name, medians[name][0], medians[name][1], " ".join("%.2f" % w for w in walls), objs, copies, other,
            ", %d failed" % failed if failed else "")
        if wire:
            line += "; %d bytes sent, wire %.2f s, wall/wire %.2f" % (
                sent, sent * 8 / LINK_RATE, medians[name][0] / (sent * 8 / LINK_RATE))
        print(line + ("  INSTALL WRONG: " + bad if bad else ""))
        print("       " + " ".join(cmd))
    print("  load now %s" % load())
    return medians, seen


def objects_path(seen):
    objs, copies = seen["obj"][0], seen["obj"][1]
    if objs and not copies:
        return "objects (%d object requests)" % objs
    if objs:
        return "mixed: %d objects, %d .bz2 copies" % (objs, copies)
    return "the .bz2 copies: this updater fetches no objects, so obj is a reference only"


def three_commands(update, entries, url, obj, bz2, inst, work, prefix=()):
    config = os.path.join(work, "install-objects.curl")
    curl_config(entries, url, obj, inst, config)
    ref = ("curl -s --create-dirs --parallel --parallel-max 8 -K %s && "
           "find %s -name '*.zst' -print0 | xargs -0 -P 2 -n 16 zstd -d -q --rm" % (config, inst))
    return [("ref", list(prefix) + ["bash", "-c", ref]),
            ("bz2", list(prefix) + [update, "--force", "--dir", inst, url + os.path.basename(bz2) + "/"]),
            ("obj", list(prefix) + [update, "--force", "--dir", inst, url + os.path.basename(obj) + "/"])]


def ratios(medians, seen):
    (ow, oc, _), (rw, _, _), (bw, bc, _) = medians["obj"], medians["ref"], medians["bz2"]
    print("  obj/ref wall %.2f (target <= 1.0); obj/bz2 wall %.2f (target <= 0.25), CPU %.2f (target <= 0.3)" % (
        ow / rw, ow / bw, oc / bc))
    print("  obj installed from " + objects_path(seen))


def loop_case(args, update, entries, obj, bz2):
    server = Server(args.work, "loop")
    try:
        inst = os.path.join(args.inst or args.work, "inst-objects")
        commands = three_commands(update, entries, server.url, obj, bz2, inst, args.work)
        medians, seen = run_case("fresh install, loopback", commands, server, entries, inst, args.runs, args.work)
        ratios(medians, seen)
        shutil.rmtree(inst, ignore_errors=True)
    finally:
        server.close()


def requests_floor(sizes, rtt, connections, rate):
    """Seconds to fetch SIZES in order on CONNECTIONS kept connections, one
    request at a time each (HTTP/1.1, no pipelining): a round trip of
    waiting per request, then the transfer sharing RATE with the others
    transferring; no TCP ramp, no processing. The link's own floor."""
    queue, t, busy = list(reversed(sizes)), 0.0, []  # busy: [waiting until, bytes left]
    while queue or busy:
        while queue and len(busy) < connections:
            busy.append([t + rtt, queue.pop()])
        moving = [b for b in busy if b[0] <= t]
        share = rate / 8 / len(moving) if moving else 0
        dt = min([b[0] - t for b in busy if b[0] > t] + [b[1] / share for b in moving])
        for b in moving:
            b[1] -= share * dt
        t += dt
        busy = [b for b in busy if b[0] > t or b[1] > 1e-6]
    return t


def link_case(args, update, entries, obj):
    """obj and curl fetching the objects through bench/delayline.py's link
    (this kernel has no netem), each against the wire time of what nginx
    sent for it."""
    import delayline
    try:
        link = delayline.DelayLink(LINK_RATE, LINK_DELAY_MS / 2)
    except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
        print("== link: skipped, no namespaces or TUN devices here (needs root): %s" % e)
        return
    server = None
    try:
        with link.in_server():
            server = Server(args.work, "link", host=link.server_ip)
        inst = os.path.join(args.inst or args.work, "inst-objects")
        config = os.path.join(args.work, "install-objects-link.curl")
        curl_config(entries, server.url, obj, inst, config)
        url = server.url + os.path.basename(obj) + "/"
        commands = [("obj", link.exec_client([update, "--force", "--dir", inst, url])),
                    ("curl", link.exec_client(["curl", "-s", "--create-dirs", "--parallel", "--parallel-max", "8",
                                               "-K", config]))]
        title = "fresh install through %g Gbit/s, %d ms round trip (delay line)" % (LINK_RATE / 1e9, LINK_DELAY_MS)
        medians, seen = run_case(title, commands, server, entries, inst, args.runs, args.work, wire=True,
                                 fetch_only=("curl",))
        print("  obj wall / wire time %.2f (target <= 1.15); obj installed from %s" % (
            medians["obj"][0] / (medians["obj"][2] * 8 / LINK_RATE), objects_path(seen)))
        md5s = list(dict.fromkeys(md5 for _, md5, _ in entries))
        sizes = [os.path.getsize(os.path.join(obj, "objects", md5[:2], md5 + ".zst")) for md5 in md5s]
        for connections in (8, 16):
            floor = requests_floor(sizes, LINK_DELAY_MS / 1000, connections, LINK_RATE)
            print("  floor of %d connections, one request each at a time: %.2f s, %.3f of the objects' wire time" % (
                connections, floor, floor / (sum(sizes) * 8 / LINK_RATE)))
        # Waiting past the round trip is the server's and the client's turn-around, not the link.
        shutil.rmtree(inst, ignore_errors=True)
        out = subprocess.run(commands[1][1] + ["-w", "%{time_pretransfer} %{time_starttransfer}\\n"],
                             capture_output=True, text=True).stdout.split()
        waits = sorted(float(b) - float(a) for a, b in zip(out[0::2], out[1::2]))
        print("  curl once more: request to first byte, median %.1f ms, 90th %.1f ms, of %d (round trip %d ms)" % (
            waits[len(waits) // 2] * 1e3, waits[len(waits) * 9 // 10] * 1e3, len(waits), LINK_DELAY_MS))
        shutil.rmtree(inst, ignore_errors=True)
    finally:
        if server:
            server.close()
        link.close()
        try:
            s = link.stats()
            down, up = s["a_to_b"], s["b_to_a"]
            print("  delay line (%s): CPU %.1f s; server->client %d packets, %d dropped; client->server %d packets" % (
                s["priority"], s["cpu"], down[0], down[2], up[0]))
        except FileNotFoundError:
            pass
        shutil.rmtree(link.dir, ignore_errors=True)


def wine_case(args, update):
    exe = os.path.join(args.windows or "", "tools", "update", "corvel-update.exe")
    if not os.path.exists(exe):
        print("== wine: skipped, no %s (give --windows, a windows-release build)" % exe)
        return
    tree = bench_tree(args.work, 256 << 20, 512)
    obj, _ = publish(args.build, tree, args.work)
    entries = read_list(obj)
    for key, value in (("WINEDEBUG", "-all"), ("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d")):
        os.environ.setdefault(key, value)
    subprocess.run(["wine", "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)  # Wine's services up before timing
    server = Server(args.work, "wine")
    try:
        inst = os.path.join(args.inst or args.work, "inst-objects")
        url = server.url + os.path.basename(obj) + "/"
        commands = [("wine", ["wine", exe, "--force", "--dir", inst, url]),
                    ("native", [update, "--force", "--dir", inst, url])]
        medians, seen = run_case("Wine / native, fresh install 256 MiB in 512 files", commands, server, entries,
                                 inst, args.runs, args.work)
        # Wine's CPU leaves out wineserver, which is not the run's child.
        print("  wine/native wall %.2f (target <= 1.2)" % (medians["wine"][0] / medians["native"][0]))
        for name in ("wine", "native"):
            objs, copies = seen[name][:2]
            print("  %s installed from %s" % (name, "objects" if objs and not copies else
                                                 "the .bz2 copies" if not objs else "both"))
        shutil.rmtree(inst, ignore_errors=True)
    finally:
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="native release build with corvel-update, corvel-publish")
    parser.add_argument("--windows", help="windows-release build with tools/update/corvel-update.exe")
    parser.add_argument("--size", default="1G")
    parser.add_argument("--files", type=int, help="default: 2,000 per GiB")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--inst", help="where the installs go (default: --work); a tmpfs leaves the disk out, "
                        "and the inode search ext4 makes after the last run's 2,000 files were deleted")
    parser.add_argument("--work", default=os.environ.get(
        "WORK", os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvel-bench")))
    parser.add_argument("cases", nargs="*", help="loop, link, wine (default: all)")
    args = parser.parse_args()
    if set(args.cases) - {"loop", "link", "wine"}:
        parser.error("cases are loop, link and wine")
    args.build = os.path.abspath(args.build)
    args.windows = args.windows and os.path.abspath(args.windows)
    update = os.path.join(args.build, "tools", "update", "corvel-update")
    if not os.access(update, os.X_OK):
        sys.exit("no corvel-update in " + args.build)
    cases = args.cases or ["loop", "link", "wine"]
    os.makedirs(args.work, exist_ok=True)
    size = parse_size(args.size)
    files = args.files or max(1, round(2000 * size / (1 << 30)))
    print("cores %d, load %s, %s" % (os.cpu_count(), load(), time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
    if "loop" in cases or "link" in cases:
        tree = bench_tree(args.work, size, files)
        obj, bz2 = publish(args.build, tree, args.work)
        entries = read_list(obj)
        if "loop" in cases:
            loop_case(args, update, entries, obj, bz2)
        if "link" in cases:
            link_case(args, update, entries, obj)
    if "wine" in cases:
        wine_case(args, update)


if __name__ == "__main__":
    main()
