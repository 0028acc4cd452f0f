#!/usr/bin/env python3
"""Generates the benchmark inputs (idempotent: existing outputs are kept).

usage: run_gendata.py WORK_DIR [what...]
  big1g    WORK/data/big1g.bin       1 GiB, text blocks mixed with random data
  mix256   WORK/data/mix256.bin      256 MiB, the same mix (and .bz2 of it)
  tree1g   WORK/tree1g/              1 GiB in 2,000 files, sizes 4 kB..8 MB
  tree20k  WORK/tree20k/             20,000 files of 4 KiB
  net600   WORK/net600/              600 files of 4..64 KiB
  tree512  WORK/tree512/             256 MiB in 512 files of 64 KiB..1 MiB
  tree512m WORK/tree512m/            512 MiB in 1,000 files, sizes 4 kB..8 MB
  tree20k1 WORK/tree20k1/            20,000 files of 1 KiB
"""
import os
import random
import subprocess
import sys

rng = random.Random(2026)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(4000)]
TEXT = b" ".join(rng.choice(words) for _ in range(2_000_000))


def write_mix(f, size):
    """Chunks of 64 KiB..1 MiB: 40% random (already compressed assets), 60% text."""
    left = size
    while left:
        n = min(left, rng.randint(64 << 10, 1 << 20))
        if rng.random() < 0.4:
            f.write(rng.randbytes(n))
        else:
            start = rng.randrange(0, len(TEXT) - n)
            f.write(TEXT[start:start + n])
        left -= n


def big_file(path, size):
    if os.path.exists(path):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "wb") as f:
        write_mix(f, size)
    os.rename(path + ".tmp", path)


def tree(root, sizes):
    done = root + ".done"
    if os.path.exists(done):
        return
    for i, size in enumerate(sizes):
        path = os.path.join(root, "d%02d" % (i % 40), "file%05d.dat" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            write_mix(f, size)
    open(done, "w").close()


def main():
    work = sys.argv[1]
    what = sys.argv[2:] or ["big1g", "mix256", "tree1g", "tree20k"]
    if "big1g" in what:
        big_file(os.path.join(work, "data", "big1g.bin"), 1 << 30)
    if "mix256" in what:
        path = os.path.join(work, "data", "mix256.bin")
        big_file(path, 256 << 20)
        if not os.path.exists(path + ".bz2"):
            subprocess.run(["bzip2", "-9", "-k", "-f", path], check=True)
    if "tree1g" in what:
        raw = [2 ** rng.uniform(12, 23) for _ in range(2000)]
        scale = (1 << 30) / sum(raw)
        sizes = [max(1, int(s * scale)) for s in raw]
        sizes[0] += (1 << 30) - sum(sizes)
        tree(os.path.join(work, "tree1g"), sizes)
    if "tree20k" in what:
        tree(os.path.join(work, "tree20k"), [4096] * 20000)
    if "net600" in what:
        tree(os.path.join(work, "net600"), [rng.randint(4 << 10, 64 << 10) for _ in range(600)])
    if "tree512" in what:
        raw = [rng.uniform(64 << 10, 1 << 20) for _ in range(512)]
        scale = (256 << 20) / sum(raw)
        sizes = [max(1, int(s * scale)) for s in raw]
        sizes[0] += (256 << 20) - sum(sizes)
        tree(os.path.join(work, "tree512"), sizes)
    if "tree512m" in what:
        raw = [2 ** rng.uniform(12, 23) for _ in range(1000)]
        scale = (512 << 20) / sum(raw)
        sizes = [max(1, int(s * scale)) for s in raw]
        sizes[0] += (512 << 20) - sum(sizes)
        tree(os.path.join(work, "tree512m"), sizes)
    if "tree20k1" in what:
        tree(os.path.join(work, "tree20k1"), [1024] * 20000)


if __name__ == "__main__":
    main()
