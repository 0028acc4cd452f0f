#!/usr/bin/env python3
"""Copies a real tree for the Wine benchmark (idempotent: a finished copy is kept).

usage: gen_realtree.py OUT [FILES]
Documentation and Python library files of this machine (the first FILES,
default 22,000, in name order from /usr/share/doc, /usr/lib/python3*,
/usr/share/man, /usr/include): plain files of 1 byte..1 MiB whose path parts
use only portable characters and differ in more than letter case, as a player's folder of many small files.
"""
import glob
import os
import re
import shutil
import sys

out = sys.argv[1]
limit = int(sys.argv[2]) if len(sys.argv) > 2 else 22000
if os.path.exists(out + ".done"):
    sys.exit(0)
shutil.rmtree(out, ignore_errors=True)
portable = re.compile(r"^[A-Za-z0-9._+-]+$")
roots = ["/usr/share/doc"] + sorted(glob.glob("/usr/lib/python3*")) + ["/usr/share/man", "/usr/include"]
count = size = 0
seen = set()  # Windows names differ in more than letter case
for root in roots:
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, "/usr")
            if os.path.islink(path) or not os.path.isfile(path) or not os.access(path, os.R_OK):
                continue
            if not all(portable.match(part) for part in rel.split("/")):
                continue
            if rel.lower() in seen:
                continue
            n = os.path.getsize(path)
            if n == 0 or n > (1 << 20):
                continue
            os.makedirs(os.path.dirname(os.path.join(out, rel)), exist_ok=True)
            shutil.copyfile(path, os.path.join(out, rel))
            seen.add(rel.lower())
            count += 1
            size += n
            if count == limit:
                break
        if count == limit:
            break
    if count == limit:
        break
with open(out + ".done", "w") as f:
    f.write("%d files, %d bytes\n" % (count, size))
