#!/usr/bin/env python3
"""Runs a test program with a fault server on 127.0.0.1 beside it.

  with_server.py [--wine] -- PROGRAM ARGS...

The program finds the server through CORVEL_TEST_SERVER_URL and the
directory it serves (where it puts its fixtures) through
CORVEL_TEST_SERVER_ROOT; with --wine that directory is given as a Windows
path on drive Z:. The directory is removed afterwards.
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402


def main():
    args = sys.argv[1:]
    wine = False
    if args and args[0] == "--wine":
        wine = True
        args = args[1:]
    if args and args[0] == "--":
        args = args[1:]
    if not args:
        print("usage: with_server.py [--wine] -- PROGRAM ARGS...", file=sys.stderr)
        return 2
    root = tempfile.mkdtemp(prefix="corvel-srv-")
    server = fault_server.start(root)
    env = dict(os.environ)
    env["CORVEL_TEST_SERVER_URL"] = f"http://127.0.0.1:{server.server_port}/"
    env["CORVEL_TEST_SERVER_ROOT"] = ("Z:" + root.replace("/", "\\")) if wine else root
    # The server is on loopback: no proxy may take these requests.
    env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1,localhost"
    try:
        return subprocess.call(args, env=env)
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
