#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that makes loopback look like a real network.

  delay_proxy.py UPSTREAM_PORT PORT_FILE [--delay-ms 25]

Every byte is held DELAY ms in each direction (a round trip of 2 x DELAY),
and a new connection costs one more round trip before its first byte goes
upstream (the handshake a real link pays). The proxy listens on a free port,
writes it to PORT_FILE, and counts accepted connections into PORT_FILE.count
as they come. Stop it with SIGTERM.
"""
import argparse
import asyncio
import os
import signal
import time


class Counter:
    def __init__(self, path):
        self.path = path
        self.count = 0
        self.write()

    def add(self):
        self.count += 1
        self.write()

    def write(self):
        with open(self.path + ".tmp", "w") as f:
            f.write(str(self.count))
        os.replace(self.path + ".tmp", self.path)


async def pipe(reader, writer, delay):
    """Copies reader to writer, each chunk delivered delay seconds after it
    arrived; chunks keep their order and are not held behind each other."""
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((time.monotonic() + delay, data or None))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
    finally:
        try:
            writer.close()
        except OSError:
            pass


async def handle(client_reader, client_writer, upstream_port, delay, counter):
    counter.add()
    # The handshake of a new connection: one round trip before anything moves.
    await asyncio.sleep(2 * delay)
    try:
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, up_writer, delay), pipe(up_reader, client_writer, delay),
                         return_exceptions=True)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("upstream_port", type=int)
    parser.add_argument("port_file")
    parser.add_argument("--delay-ms", type=float, default=25)
    args = parser.parse_args()
    delay = args.delay_ms / 1000
    counter = Counter(args.port_file + ".count")
    server = await asyncio.start_server(
        lambda r, w: handle(r, w, args.upstream_port, delay, counter), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.replace(args.port_file + ".tmp", args.port_file)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
