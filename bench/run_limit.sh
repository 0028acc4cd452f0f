#!/usr/bin/env bash
# corvel-update under --limit-rate: a fresh install of 24 files of 512 KiB
# (random, so each copy is about its size: 12 MiB) at 512K, about 24 s.
# A small Python server on loopback logs every block it sends with its time
# (64 KiB send buffer, 16 KiB writes, so its log is close to what left the
# socket); corvel-update runs on a pseudo-terminal so that its progress line
# carries the speed and the time left, each chunk of it timestamped.
# Prints: the average rate over the transfer (first to last byte sent), the
# largest amount sent in any 1 s window (slid by 10 ms), and the error of the
# time left shown at 10%, 50% and 90% of the bytes (shown minus actual time,
# to the last byte sent, and to the end of the run). Figures it can't find
# are reported as not measured. The server's log is what left its socket:
# the client's kernel receive buffers (autotuned on loopback) take bytes
# ahead of the reads the limit paces, so the 1 s windows seen here include
# those buffers filling.
# Usage: bench/run_limit.sh [RATE]   (WORK, NATIVE; RATE default 512K)
source "$(dirname "$0")/run_lib.sh"
rate=${1:-512K}
update=$NATIVE/tools/update/corvel-update
publish=$NATIVE/tools/publish/corvel-publish
mkdir -p "$WORK"
tree=$WORK/limit24
gen_files "$tree" 24 2 524288 524288 24
[ -f "$WORK/srv-limit24/files.lst.bz2" ] || "$publish" --jobs 2 "$tree" "$WORK/srv-limit24" > /dev/null
d=$WORK/inst-limit
rm -rf "$d" && mkdir -p "$d"

echo "== rate limit, $(date -u '+%F %H:%M UTC'), $(nproc) cores, --limit-rate $rate"
python3 - "$WORK" "$update" "$d" "$rate" <<'PY'
import http.server, os, pty, re, select, socket, subprocess, sys, threading, time

work, update, inst, rate = sys.argv[1:5]
root = os.path.join(work, "srv-limit24")
sent = []  # (time, bytes) of every block written
lock = threading.Lock()

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass
    def do_GET(self):
        path = os.path.join(root, self.path.lstrip("/").split("?")[0])
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            body = f.read()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        for i in range(0, len(body), 16384):
            self.wfile.write(body[i:i + 16384])
            self.wfile.flush()
            with lock:
                sent.append((time.monotonic(), len(body[i:i + 16384])))

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, daemon=True).start()
url = "http://127.0.0.1:%d/" % server.server_address[1]

# stderr on a terminal: the progress line shows the figures.
master, slave = pty.openpty()
began = time.monotonic()
proc = subprocess.Popen([update, "--force", "--limit-rate", rate, "--dir", inst, url],
                        stdout=subprocess.DEVNULL, stderr=slave)
os.close(slave)
chunks = []  # (time, text)
while True:
    ready, _, _ = select.select([master], [], [], 0.5)
    if ready:
        try:
            data = os.read(master, 65536)
        except OSError:
            data = b""
        if not data:
            break
        chunks.append((time.monotonic(), data.decode("utf-8", "replace")))
    elif proc.poll() is not None:
        break
code = proc.wait()
ended = time.monotonic()
server.shutdown()
print("corvel-update exit %d, %.1f s" % (code, ended - began))
if not sent:
    print("nothing was sent"); sys.exit(1)

limit = float(rate[:-1]) * {"K": 1024, "M": 1 << 20}[rate[-1].upper()] if rate[-1].isalpha() else float(rate)
total = sum(n for _, n in sent)
first, last = sent[0][0], sent[-1][0]
print("sent %d bytes in %.1f s: average %.0f B/s = %.3f of the limit (%.0f B/s)"
      % (total, last - first, total / (last - first), total / (last - first) / limit, limit))
# What the socket buffers hold is sent early, so the client's side is the
# first byte sent to the end of corvel-update (the last file's decoding is a
# few ms).
print("first byte sent to corvel-update's end: %.1f s: average %.0f B/s = %.3f of the limit"
      % (ended - first, total / (ended - first), total / (ended - first) / limit))
# Windows of the transfer, their start slid by 10 ms from skip seconds in:
# the least and the most sent in any of them.
times = [t for t, _ in sent]
sizes = [n for _, n in sent]
def windows(length, skip=0.0):
    low, high, acc, i, ends, start = None, 0, 0, 0, 0, first + skip
    while start + length <= last + 1e-9 or (low is None and start <= last):
        while ends < len(sent) and times[ends] < start + length:
            acc += sizes[ends]; ends += 1
        while i < ends and times[i] < start:
            acc -= sizes[i]; i += 1
        high = max(high, acc)
        low = acc if low is None else min(low, acc)
        start += 0.01
    return low, high
low1, high1 = windows(1.0)
print("largest 1 s window: %d bytes = %.2f of the limit" % (high1, high1 / limit))
low1, high1 = windows(1.0, 2.0)
print("largest 1 s window after the first 2 s: %d bytes = %.2f of the limit" % (high1, high1 / limit))
if last - first >= 10:
    low10, high10 = windows(10.0)
    print("10 s windows: %.3f .. %.3f of the limit" % (low10 / 10 / limit, high10 / 10 / limit))
else:
    print("10 s windows: not measured (the transfer took less than 10 s)")

# The speed the progress line shows (the engine's average of its reads over
# 5 s), from 6 s in: how close the paced reads keep to the limit.
speed_re = re.compile(r"([0-9]+(?:\.[0-9]+)?) (KB|MB)/s")
speeds = [float(m.group(1)) * (1024 if m.group(2) == "KB" else 1 << 20)
          for t, text in chunks if t >= began + 6 for m in speed_re.finditer(text)]
if speeds:
    print("speed shown from 6 s in: %.3f .. %.3f of the limit" % (min(speeds) / limit, max(speeds) / limit))
else:
    print("speed shown: not measured (the progress output showed no speed)")

# The time left shown at 10/50/90% of the bytes sent, against the time the
# last byte actually went.
left_re = re.compile(r"(?:(\d+) h)?\s*(?:(\d+) min)?\s*(?:(\d+) s)? left")
shown = []  # (time, seconds left)
for t, text in chunks:
    for m in left_re.finditer(text):
        h, mnt, s = (int(g) if g else 0 for g in m.groups())
        if any(m.groups()):
            shown.append((t, h * 3600 + mnt * 60 + s))
if not shown:
    print("time left: not measured (the progress output showed no time left)")
else:
    acc, k = 0, 0
    for frac in (0.10, 0.50, 0.90):
        while k < len(sent) and acc < frac * total:
            acc += sent[k][1]; k += 1
        at = sent[k - 1][0]
        after = [(t, s) for t, s in shown if t >= at]
        if not after:
            print("time left at %d%%: not measured (none shown after)" % (frac * 100)); continue
        t, s = after[0]
        # Against the last byte the server sent, and against the end of the
        # run (when the last bytes were read out of the socket buffers).
        sent_left, run_left = last - t, ended - t
        print("time left at %d%%: shown %d s; to the last byte sent %.1f s (error %+.1f s), "
              "to the run's end %.1f s (error %+.1f s, %+.0f%%)"
              % (frac * 100, s, sent_left, s - sent_left, run_left, s - run_left,
                 (s - run_left) / run_left * 100 if run_left > 0 else 0))
PY
(cd "$tree" && find d* -type f -print0 | xargs -0 md5sum) | (cd "$d" && md5sum -c --quiet) && echo "    installed tree verified"
rm -rf "$d"
