#!/usr/bin/env python3
"""Objects beside the .bz2 copies: their bytes, and what they cost a
publication.

  bytes   one publication of each tree: bytes under objects/ against the
          .bz2 copies beside them. Trees: the patch bench's real releases
          (typescript 5.4.5, @esbuild/linux-x64 0.20.2, rxjs 7.8.1, fetched
          with `npm pack` by run_patches.py) and its game-like archive.
          Target <= 1.0 each.
  first   TREE published from nothing, --jobs 2: ours (copies and objects)
          against BASE, a corvel-publish built from the commit before
          objects (copies only). Target <= 4.0 (wall).
  change  the same after 1% of TREE's bytes changed (whole files, a few
          bytes rewritten in each), republished onto the first publication.
          Target <= 1.2 (wall).

The two sides of a pair run one after the other, RUNS times (default 3),
and each ratio is that of the medians; the load average is printed with
them.

usage: bench/run_objects.py [bytes] [first] [change]
  WORK (default ${TMPDIR:-/tmp}/corvel-bench), NATIVE (default
  build/native-release), BASE (corvel-publish to compare with),
  TREE (default WORK/tree1g, from run_gendata.py tree1g)
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_patches  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("WORK", os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvel-bench"))
NATIVE = os.environ.get("NATIVE", os.path.join(ROOT, "build", "native-release"))
PUBLISH = os.path.join(NATIVE, "tools", "publish", "corvel-publish")
BASE = os.environ.get("BASE", "")
TREE = os.environ.get("TREE", os.path.join(WORK, "tree1g"))
RUNS = int(os.environ.get("RUNS", "3"))
OUT = os.path.join(WORK, "objects")


def sizes(root, pick):
    total = 0
    for d, _, files in os.walk(root):
        for f in files:
            if pick(os.path.relpath(os.path.join(d, f), root)):
                total += os.path.getsize(os.path.join(d, f))
    return total


def bytes_case():
    print("%-28s %12s %12s %7s" % ("tree", ".bz2 copies", "objects", "ratio"))
    for spec in ["typescript@5.4.5", "@esbuild/linux-x64@0.20.2", "rxjs@7.8.1", "archive@2"]:
        tree = run_patches.tree(spec)
        srv = os.path.join(OUT, "bytes")
        shutil.rmtree(srv, ignore_errors=True)
        subprocess.run([PUBLISH, "--jobs", "2", tree, srv], check=True, stdout=subprocess.DEVNULL)
        copies = sizes(srv, lambda p: p.endswith(".bz2") and p != "files.lst.bz2")
        objects = sizes(srv, lambda p: p.startswith("objects" + os.sep))
        print("%-28s %12d %12d %7.3f" % (spec, copies, objects, objects / copies))
        sys.stdout.flush()


def timed(cmd):
    """Wall and CPU seconds of one command and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def changed_tree():
    """TREE with 1% of its bytes in changed files: hard links for the rest."""
    dest = os.path.join(OUT, "changed")
    if os.path.exists(dest + ".done"):
        return dest
    shutil.rmtree(dest, ignore_errors=True)
    subprocess.run(["cp", "-al", TREE, dest], check=True)
    files = sorted(os.path.join(d, f) for d, _, fs in os.walk(dest) for f in fs)
    goal, done = sizes(dest, lambda p: True) // 100, 0
    for i, path in enumerate(files[::7]):
        if done >= goal:
            break
        with open(path, "rb") as f:
            data = bytearray(f.read())
        os.remove(path)  # a new file: the link to TREE stays as it was
        at = len(data) // 2
        data[at:at + 16] = b"changed %7d " % i
        with open(path, "wb") as f:
            f.write(data)
        done += len(data)
    open(dest + ".done", "w").close()
    return dest


def pair(name, target, prepare, run):
    ours, ref = [], []
    load = os.getloadavg()[0]
    for _ in range(RUNS):
        for tool, results in ((PUBLISH, ours), (BASE, ref)):
            srv = prepare(tool)
            results.append(timed(run(tool, srv)))
    ow, rw = statistics.median(w for w, _ in ours), statistics.median(w for w, _ in ref)
    oc, rc = statistics.median(c for _, c in ours), statistics.median(c for _, c in ref)
    print("%-8s wall %.1f / %.1f s = %.2f (target %.1f)  CPU %.1f / %.1f s = %.2f  load %.1f..%.1f  runs %s" % (
        name, ow, rw, ow / rw, target, oc, rc, oc / rc, load, os.getloadavg()[0],
        " ".join("%.1f/%.1f" % (a[0], b[0]) for a, b in zip(ours, ref))))
    sys.stdout.flush()


def server_for(tool):
    return os.path.join(OUT, "srv-ours" if tool == PUBLISH else "srv-base")


def first_case():
    def prepare(tool):
        shutil.rmtree(server_for(tool), ignore_errors=True)
        return server_for(tool)
    pair("first", 4.0, prepare, lambda tool, srv: [tool, "--jobs", "2", TREE, srv])


def change_case():
    changed = changed_tree()
    pristine = {}

    def prepare(tool):
        srv = server_for(tool)
        if tool not in pristine:
            shutil.rmtree(srv, ignore_errors=True)
            subprocess.run([tool, "--jobs", "2", TREE, srv], check=True, stdout=subprocess.DEVNULL)
            pristine[tool] = srv + ".first"
            shutil.rmtree(pristine[tool], ignore_errors=True)
            shutil.copytree(srv, pristine[tool], symlinks=True)
        shutil.rmtree(srv, ignore_errors=True)
        shutil.copytree(pristine[tool], srv, symlinks=True)
        return srv
    pair("change", 1.2, prepare, lambda tool, srv: [tool, "--jobs", "2", changed, srv])


def main():
    if not os.access(PUBLISH, os.X_OK):
        sys.exit("build the native-release preset first: %s is missing" % PUBLISH)
    wanted = sys.argv[1:] or ["bytes", "first", "change"]
    if ("first" in wanted or "change" in wanted) and not os.access(BASE, os.X_OK):
        sys.exit("BASE must name a corvel-publish built without objects")
    os.makedirs(OUT, exist_ok=True)
    for name in wanted:
        {"bytes": bytes_case, "first": first_case, "change": change_case}[name]()


if __name__ == "__main__":
    main()
