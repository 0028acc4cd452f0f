#!/usr/bin/env python3
"""Peak memory of a whole corvel-update run on a list of ENTRIES entries.

  bench/run_list_memory.py [CORVEL_UPDATE] [ENTRIES]

The list names ENTRIES files in 1,000 directories, none of them installed,
so every entry is checked and becomes pending: the most the run ever holds
for a list. The server stops once it has sent the list: the first copy can't
be reached, which ends the install loop as it does for a player who lost the
connection, so
the run covers download, decode, every section read, the sweep and the check,
without a million transfers. Prints the decoded list's size, the peak
resident set (/usr/bin/time -v) and the bound 32 MiB + 1.2 x the list.
"""
import bz2
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import fault_server  # noqa: E402


def main():
    update = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/native-release/tools/update/corvel-update")
    entries = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
    work = tempfile.mkdtemp(prefix="corvel-listmem-")
    try:
        srv = os.path.join(work, "srv")
        inst = os.path.join(work, "inst")
        os.makedirs(srv)
        os.makedirs(inst)
        lines = ["[settings]", "Rev|1", "[/settings]", "[files_critical]"]
        for i in range(entries):
            digest = "%032x" % ((i * 0x9E3779B97F4A7C15) & ((1 << 128) - 1))
            lines.append("d%03d\\f%07d.dat|%s|%d" % (i % 1000, i, digest, 1000 + i % 100000))
        lines += ["[/files_critical]", "[files_normal]", "[/files_normal]", ""]
        text = "\r\n".join(lines).encode("ascii")
        with open(os.path.join(srv, "files.lst.bz2"), "wb") as f:
            f.write(bz2.compress(text, 9))
        with open(os.path.join(srv, "files.lst.bz2.fault"), "w") as f:
            f.write("then-stop\n")

        server = fault_server.start(srv)
        env = dict(os.environ, no_proxy="127.0.0.1,localhost", NO_PROXY="127.0.0.1,localhost")
        out_path = os.path.join(work, "out.txt")
        with open(out_path, "wb") as out:
            subprocess.call(["/usr/bin/time", "-v", update, "--verbose", "--dir", inst,
                             "http://127.0.0.1:%d/" % server.server_port], stdout=out, stderr=out, env=env)
        server.stop()
        report = open(out_path, encoding="utf-8", errors="replace").read()
        if os.environ.get("SHOW_OUTPUT"): print(report[-2000:])
        if "failed     d000\\f0000000.dat" not in report:
            print("the run ended before its install loop:\n" + report[-2000:])
            return 2
        rss_kib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1))
        list_mib = len(text) / 2**20
        rss_mib = rss_kib / 1024
        bound = 32 + 1.2 * list_mib
        print("entries %d, decoded list %.1f MiB, peak RSS %.1f MiB, bound 32 + 1.2 x list = %.1f MiB: %s"
              % (entries, list_mib, rss_mib, bound, "ok" if rss_mib <= bound else "OVER"))
        leftovers = [n for n in os.listdir(inst)]
        if leftovers:
            print("left in the install directory:", leftovers)
        return 0 if rss_mib <= bound else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
