#!/usr/bin/env bash
# The mirror cases: a fresh signed install of 200 files of 16-128 KiB plus one
# of 4 MiB from a good server alone, then with a failing server before it.
# Prints what each failing server added to the run (best of RUNS) against
# its target, and checks that the install is whole and no entry failed.
#   NATIVE=build/native bench/run_mirrors.sh      (default: build/native-release)
source "$(dirname "$0")/run_lib.sh"
mkdir -p "$WORK"
python3 - "$ROOT" "$NATIVE" "$WORK/mirrors" "$RUNS" <<'PY'
import os, random, shutil, subprocess, sys, time
root, native, work, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
import e2e_base as base
import mirrors_test as m

publish = os.path.join(native, "tools", "publish", "corvel-publish")
update = os.path.join(native, "tools", "update", "corvel-update")
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
rng = random.Random(7)
files = {"data/f%03d.dat" % i: rng.randbytes(rng.randint(16, 128) * 1024) for i in range(200)}
files["data/big.pak"] = rng.randbytes(4 << 20)
old = dict(files, **{"data/f000.dat": b"older"})
key = os.path.join(work, "k")
public = base.run_to_files([publish, "keygen", key]).stdout.decode().strip()
def publish_tree(name, tree):
    client = os.path.join(work, "client-" + name)
    base.write_tree(client, tree)
    subprocess.run([publish, "--sign", key, "--rev", "1", client, os.path.join(work, "pub")], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copytree(os.path.join(work, "pub"), os.path.join(work, "pub-" + name))
    return os.path.join(work, "pub-" + name)
behind, current = publish_tree("old", old), publish_tree("new", files)
with open(os.path.join(current, "files.lst.bz2.sig")) as f:
    serial = [l.split()[1] for l in f if l.startswith("serial ")][0]

def one(first, state=False):
    install = os.path.join(work, "install")
    shutil.rmtree(install, ignore_errors=True)
    os.makedirs(install)
    if state:
        with open(os.path.join(install, "files.lst.serial"), "w") as f:
            f.write(serial + "\n")
    servers = [s for s in (first() if first else None, m.Served(work + "/c", "good%d" % time.monotonic_ns(), current))
               if s is not None]
    began = time.monotonic()
    r = base.run_to_files([update, "--public-key", public, "--dir", install] + [s.url for s in servers])
    took = time.monotonic() - began
    out = r.stdout.decode()
    ok = r.returncode == 0 and "failed" not in out and len(base.tree_of(install)) == len(files) + 1
    for s in servers:
        s.stop()
    return took, ok

def best(first, state=False):
    results = [one(first, state) for _ in range(runs)]
    return min(t for t, _ in results), all(ok for _, ok in results)

alone, ok = best(None)
print("%-34s %6.2f s  %s" % ("good server alone", alone, "ok" if ok else "FAILED"))
cases = [
    ("first refuses", lambda: m.Refusing(), False, 1.0),
    ("first accepts, never answers", lambda: m.Silent(), False, 12.0),
    ("first dies mid-install", lambda: m.Served(work + "/c", "dies%d" % time.monotonic_ns(), current,
                                                faults={"data/f050.dat.bz2": "then-die"}), False, 10.0),
    ("first one publication behind", lambda: m.Served(work + "/c", "old%d" % time.monotonic_ns(), behind), True, None),
    ("first has a corrupt copy", lambda: m.Served(work + "/c", "bad%d" % time.monotonic_ns(), current,
                                                  corrupt="data/f100.dat"), False, None),
]
for name, first, state, target in cases:
    took, ok = best(first, state)
    added = took - alone
    verdict = "ok" if ok and (target is None or added <= target) else "MISSED"
    print("%-34s %6.2f s  added %6.2f s  (target %s)  install %s  %s" %
          (name, took, added, "<= %.0f s" % target if target else "whole, no failure",
           "whole" if ok else "FAILED", verdict))
PY
