#!/usr/bin/env python3
"""A link of RATE bit/s with DELAY ms each way between two network
namespaces, for kernels without netem: each namespace gets a TUN device,
and this program carries the packets between them, each direction a FIFO
that serializes at RATE (tail drop past QUEUE bytes waiting, as a router
port would) and then holds each packet DELAY ms. TCP end to end sees the
round trip and the rate. A large MTU (64,000) keeps the packet rate near
2,000/s at 1 Gbit/s, which Python carries on a fraction of a core.

  link = DelayLink(rate=1e9, delay_ms=5)     # as root; 10 ms round trip
  link.server_ip, link.client_ip, link.exec_client(cmd)
  with link.in_server(): ...                 # start servers there
  link.close()                               # namespaces, devices, forwarder

The forwarder stops by itself when its parent goes (stdin closes) or after
--max-seconds; it prints its counters and CPU time to its --stats file.

  bench/delayline.py check [--rate 1g] [--delay-ms 5] [--mtu 64000]
      round trip (TCP connect) and one 256 MiB download over the link, with the
      forwarder's CPU: whether the delay line keeps up on this machine.
"""
import argparse
import collections
import contextlib
import ctypes
import fcntl
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

TUNSETIFF = 0x400454CA
IFF_TUN, IFF_NO_PI = 0x0001, 0x1000
MTU = 64000
CLONE_NEWNET = 0x40000000


def open_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_NONBLOCK)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


class Direction:
    """One way of the link: serialization at RATE, then DELAY, FIFO."""

    def __init__(self, rate, delay, queue_bytes):
        self.byte_time, self.delay, self.queue_bytes = 8.0 / rate, delay, queue_bytes
        self.busy_until = 0.0
        self.line = collections.deque()  # (release time, packet)
        self.packets = self.bytes = self.drops = 0

    def push(self, packet, now):
        self.busy_until = max(self.busy_until, now)
        if (self.busy_until - now) / self.byte_time > self.queue_bytes:
            self.drops += 1
            return
        self.busy_until += len(packet) * self.byte_time
        self.line.append((self.busy_until + self.delay, packet))
        self.packets += 1
        self.bytes += len(packet)


def forward(a_name, b_name, rate, delay, queue_bytes, max_seconds, stats_path, ready_path):
    # The wire must not wait for the CPU: on a loaded machine at nice 0 one
    # connection got 730-870 Mbit/s through it, 950+ at SCHED_FIFO. It
    # sleeps in select between packets, so the priority costs others little.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        priority = "SCHED_FIFO 10"
    except OSError:
        os.nice(-10)
        priority = "nice %d" % os.nice(0)
    fds = {open_tun(a_name): None, open_tun(b_name): None}
    fa, fb = list(fds)
    ways = {fa: (Direction(rate, delay, queue_bytes), fb), fb: (Direction(rate, delay, queue_bytes), fa)}
    with open(ready_path, "w") as f:
        f.write("ready\n")
    stdin = sys.stdin.fileno()
    end = time.monotonic() + max_seconds
    try:
        while True:
            now = time.monotonic()
            if now > end:
                break
            due = [w.line[0][0] for w, _ in ways.values() if w.line]
            timeout = max(0.0, min(due) - now) if due else 1.0
            readable, _, _ = select.select([fa, fb, stdin], [], [], timeout)
            if stdin in readable and not os.read(stdin, 4096):
                break  # the parent went
            now = time.monotonic()
            for fd in readable:
                if fd == stdin:
                    continue
                way = ways[fd][0]
                for _ in range(64):
                    try:
                        way.push(os.read(fd, 65536), now)
                    except BlockingIOError:
                        break
            now = time.monotonic()
            for way, out in ways.values():
                while way.line and way.line[0][0] <= now:
                    try:
                        os.write(out, way.line.popleft()[1])
                    except OSError:
                        pass  # the device is going away or the packet is unroutable: lost, as on a wire
    finally:
        usage = os.times()
        with open(stats_path, "w") as f:
            json.dump({"cpu": usage.user + usage.system, "priority": priority,
                       "a_to_b": [ways[fa][0].packets, ways[fa][0].bytes, ways[fa][0].drops],
                       "b_to_a": [ways[fb][0].packets, ways[fb][0].bytes, ways[fb][0].drops]}, f)


def sh(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class DelayLink:
    """Two namespaces (server, client) joined by the delay line; close()
    removes both, which takes their devices with them."""

    def __init__(self, rate=1e9, delay_ms=5.0, queue_bytes=4 << 20, max_seconds=3600, tag=None, mtu=MTU):
        tag = tag or "cvl%d" % (os.getpid() % 100000)
        self.server_ns, self.client_ns = tag + "s", tag + "c"
        net = os.getpid() % 250
        self.server_ip, self.client_ip = "10.232.%d.1" % net, "10.232.%d.2" % net
        self.dir = tempfile.mkdtemp(prefix=tag)
        self.stats_path = os.path.join(self.dir, "stats.json")
        self.proc = None
        self.namespaces = []
        try:
            for ns in (self.server_ns, self.client_ns):
                sh("ip", "netns", "add", ns)
                self.namespaces.append(ns)
            ready = os.path.join(self.dir, "ready")
            self.proc = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "forward", tag + "S", tag + "C", str(rate),
                 str(delay_ms), str(queue_bytes), str(max_seconds), self.stats_path, ready],
                stdin=subprocess.PIPE)
            deadline = time.monotonic() + 15
            while not os.path.exists(ready):
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the delay line did not start")
                time.sleep(0.05)
            for dev, ns, ip, peer in ((tag + "S", self.server_ns, self.server_ip, self.client_ip),
                                      (tag + "C", self.client_ns, self.client_ip, self.server_ip)):
                sh("ip", "link", "set", dev, "netns", ns)
                for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", dev, "mtu", str(mtu)],
                            ["ip", "addr", "add", ip, "peer", peer, "dev", dev], ["ip", "link", "set", dev, "up"]):
                    sh("ip", "netns", "exec", ns, *cmd)
        except BaseException:
            self.close()
            raise

    @contextlib.contextmanager
    def in_server(self):
        """This thread in the server's namespace: what it starts (a server
        that Python then probes) listens there."""
        libc = ctypes.CDLL(None, use_errno=True)
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        there = os.open("/var/run/netns/" + self.server_ns, os.O_RDONLY)
        try:
            if libc.setns(there, CLONE_NEWNET):
                raise OSError(ctypes.get_errno(), "setns")
            try:
                yield
            finally:
                if libc.setns(home, CLONE_NEWNET):
                    raise OSError(ctypes.get_errno(), "setns back")
        finally:
            os.close(there)
            os.close(home)

    def exec_client(self, cmd):
        return ["ip", "netns", "exec", self.client_ns] + list(cmd)

    def stats(self):
        """The forwarder's counters once it has stopped (close())."""
        with open(self.stats_path) as f:
            return json.load(f)

    def close(self):
        if self.proc:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for ns in self.namespaces:
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        self.namespaces = []


def parse_rate(text):
    units = {"k": 1e3, "m": 1e6, "g": 1e9}
    return float(text[:-1]) * units[text[-1].lower()] if text[-1].lower() in units else float(text)


def check(args):
    link = DelayLink(parse_rate(args.rate), args.delay_ms, mtu=args.mtu)
    server = None
    try:
        body = os.path.join(link.dir, "big")
        with open(body, "wb") as f:
            for _ in range(256):
                f.write(os.urandom(1 << 20))
        with open(os.path.join(link.dir, "small"), "wb") as f:
            f.write(b"x")
        port = 8000 + os.getpid() % 1000  # inside a namespace of our own: nothing else listens there
        with link.in_server():
            server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", link.server_ip,
                                       "--directory", link.dir, str(port)],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        url = "http://%s:%d/" % (link.server_ip, port)
        for _ in range(100):
            if subprocess.run(link.exec_client(["curl", "-s", "-o", "/dev/null", url + "small"])).returncode == 0:
                break
            time.sleep(0.1)
        # No ping here: a TCP handshake is one round trip.
        rtts = sorted(float(subprocess.run(link.exec_client(["curl", "-s", "-o", "/dev/null", "-w", "%{time_connect}",
                                                             url + "small"]),
                                           capture_output=True, text=True).stdout) for _ in range(5))
        print("round trip (TCP connect, 5 tries): min %.1f ms, median %.1f ms" % (rtts[0] * 1e3, rtts[2] * 1e3))
        out = subprocess.run(link.exec_client(["curl", "-s", "-o", "/dev/null", "-w",
                                               "%{size_download} %{time_total}", url + "big"]),
                             capture_output=True, text=True).stdout.split()
        size, took = int(out[0]), float(out[1])
        print("one connection, %d bytes in %.2f s: %.0f Mbit/s" % (size, took, size * 8 / took / 1e6))
    finally:
        if server:
            server.terminate()
            server.wait()
        link.close()
    s = link.stats()
    shutil.rmtree(link.dir, ignore_errors=True)
    down, up = s["a_to_b"], s["b_to_a"]
    print("forwarder (%s) CPU %.2f s; server->client %d packets, %d bytes, %d dropped; client->server %d packets"
          % (s["priority"], s["cpu"], down[0], down[1], down[2], up[0]))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "forward":
        a, b, rate, delay_ms, queue, max_s, stats, ready = sys.argv[2:10]
        forward(a, b, float(rate), float(delay_ms) / 1000, int(queue), float(max_s), stats, ready)
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=["check"])
    parser.add_argument("--rate", default="1g")
    parser.add_argument("--delay-ms", type=float, default=5.0, help="each way")
    parser.add_argument("--mtu", type=int, default=MTU)
    check(parser.parse_args())


if __name__ == "__main__":
    main()
