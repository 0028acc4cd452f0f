#!/usr/bin/env python3
"""Writes the update list of a client tree, without the .bz2 copies: enough
for a check of an installation that is already current (nothing is fetched
but the list). Faster than publishing a large tree.

usage: run_list.py CLIENT_DIR SERVER_DIR
"""
import bz2
import hashlib
import os
import sys


def main():
    client, server = sys.argv[1], sys.argv[2]
    lines = []
    for d, dirs, names in os.walk(client):
        dirs.sort()
        for n in sorted(names):
            p = os.path.join(d, n)
            with open(p, "rb") as f:
                data = f.read()
            rel = os.path.relpath(p, client).replace(os.sep, "\\")
            lines.append("%s|%s|%d" % (rel, hashlib.md5(data).hexdigest(), len(data)))
    text = ("[settings]\r\nRev|1\r\n[/settings]\r\n[files_critical]\r\n" + "\r\n".join(lines)
            + "\r\n[/files_critical]\r\n[files_normal]\r\n[/files_normal]\r\n")
    os.makedirs(server, exist_ok=True)
    with open(os.path.join(server, "files.lst.bz2"), "wb") as f:
        f.write(bz2.compress(text.encode("cp1252")))


if __name__ == "__main__":
    main()
