#!/usr/bin/env python3
"""What resuming saves: one entry whose copy is SIZE_MIB (default 512) MiB of
random bytes, served by nginx on loopback at RATE (default 64m bytes/s, a
fast home link; "0" for no limit).

  full     a fresh install, the copy fetched whole
  cut      a fresh install killed (SIGKILL) once the partial copy holds
           CUT_PERCENT (default 90) % of the copy
  resumed  the next run, which asks only for the rest

Reported from nginx's own log: the body bytes it sent and its request time
for the copy, resumed over full (target <= 0.15 each), and the runs' wall
times (which also decode and hash the whole file both times).

usage: bench/run_resume.py      (WORK, NATIVE, SIZE_MIB, RATE, CUT_PERCENT)
"""
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("WORK", os.path.join(os.environ.get("TMPDIR", "/tmp"), "corvel-bench"))
NATIVE = os.environ.get("NATIVE", os.path.join(ROOT, "build", "native-release"))
SIZE_MIB = int(os.environ.get("SIZE_MIB", "512"))
RATE = os.environ.get("RATE", "64m")
CUT = int(os.environ.get("CUT_PERCENT", "90"))
UPDATE = os.path.join(NATIVE, "tools", "update", "corvel-update")
PUBLISH = os.path.join(NATIVE, "tools", "publish", "corvel-publish")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    base = os.path.join(WORK, "resume%d" % SIZE_MIB)
    client, srv, inst = (os.path.join(base, d) for d in ("client", "srv", "install"))
    data = os.path.join(client, "pack.dat")
    if not os.path.exists(os.path.join(srv, "files.lst.bz2")):
        os.makedirs(client, exist_ok=True)
        rnd = random.Random(512)
        with open(data, "wb") as f:
            for _ in range(SIZE_MIB):
                f.write(rnd.randbytes(1 << 20))
        subprocess.run([PUBLISH, "--rev", "1", client, srv], check=True, stdout=subprocess.DEVNULL)
    copy = os.path.join(srv, "pack.dat.bz2")
    copy_size = os.path.getsize(copy)

    ngx = os.path.join(base, "nginx")
    shutil.rmtree(ngx, ignore_errors=True)
    os.makedirs(ngx)
    port = free_port()
    log = os.path.join(ngx, "sent.log")
    with open(os.path.join(ngx, "nginx.conf"), "w") as f:
        f.write(f"""
{"user root;" if os.geteuid() == 0 else ""}
worker_processes 1;
pid {ngx}/nginx.pid;
error_log {ngx}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format sent escape=none '$request_uri $status $body_bytes_sent $request_time';
    access_log {log} sent;
    client_body_temp_path {ngx}/body; proxy_temp_path {ngx}/proxy; fastcgi_temp_path {ngx}/fastcgi;
    uwsgi_temp_path {ngx}/uwsgi; scgi_temp_path {ngx}/scgi;
    default_type application/octet-stream;
    {"limit_rate %s;" % RATE if RATE != "0" else ""}
    server {{ listen 127.0.0.1:{port}; location /srv/ {{ alias {srv}/; }} }}
}}
""")
    server = subprocess.Popen(["nginx", "-e", os.path.join(ngx, "error.log"), "-c", os.path.join(ngx, "nginx.conf"),
                               "-p", ngx + "/", "-g", "daemon off;"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        url = "http://127.0.0.1:%d/srv/" % port
        cmd = [UPDATE, "--dir", inst, url]

        def copy_lines():
            with open(log) as f:
                return [line.split() for line in f if line.startswith("/srv/pack.dat.bz2 ")]

        def run():
            start = time.monotonic()
            with open(os.path.join(base, "update.out"), "wb") as out:
                code = subprocess.call(cmd, stdout=out, stderr=out)
            return code, time.monotonic() - start

        shutil.rmtree(inst, ignore_errors=True)
        os.makedirs(inst)
        code, full_wall = run()
        assert code == 0, "full run failed"
        full = copy_lines()[-1]

        shutil.rmtree(inst, ignore_errors=True)
        os.makedirs(inst)
        with open(os.path.join(base, "update.out"), "wb") as out:
            proc = subprocess.Popen(cmd, stdout=out, stderr=out)
        partial = None
        while proc.poll() is None:
            names = [n for n in os.listdir(inst) if ".~corvel-resume-" in n and not n.endswith(".tag")]
            if names:
                partial = os.path.join(inst, names[0])
                if os.path.getsize(partial) >= copy_size * CUT // 100:
                    proc.send_signal(signal.SIGKILL)
                    break
            time.sleep(0.005)
        proc.wait()
        assert partial and os.path.exists(partial), "no partial copy was left"
        have = os.path.getsize(partial)

        code, resumed_wall = run()
        assert code == 0, "resumed run failed"
        resumed = copy_lines()[-1]
        assert resumed[1] == "206", resumed
        with open(data, "rb") as a, open(os.path.join(inst, "pack.dat"), "rb") as b:
            assert a.read() == b.read(), "installed file differs"

        fb, ft, rb, rt = int(full[2]), float(full[3]), int(resumed[2]), float(resumed[3])
        print("== resume, %s UTC, %d cores, rate %s, load %s" % (
            time.strftime("%F %H:%M", time.gmtime()), os.cpu_count(), RATE, open("/proc/loadavg").read().split()[0]))
        print("copy %d bytes; killed with %d bytes (%.1f%%) kept" % (copy_size, have, 100.0 * have / copy_size))
        print("bytes sent   full %11d   resumed %11d   = %.3f  (target <= 0.15)" % (fb, rb, rb / fb))
        print("request time full %9.3f s   resumed %9.3f s   = %.3f  (target <= 0.15)" % (ft, rt, rt / ft))
        print("run wall     full %9.3f s   resumed %9.3f s   = %.3f  (decode and MD5 of the whole file in both)" % (
            full_wall, resumed_wall, resumed_wall / full_wall))
    finally:
        server.terminate()
        server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
