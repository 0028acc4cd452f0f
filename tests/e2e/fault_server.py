#!/usr/bin/env python3
"""A static HTTP server on 127.0.0.1 that can also misbehave on purpose.

It serves the files below ROOT. A file's behaviour can be changed by a
sidecar file of the same name with ".fault" appended, holding one line:

  status CODE        answer with CODE and a small HTML page instead
  cut N              declare the whole length, send N bytes, close
  cut-chunked N      chunked encoding, send N bytes, close without the last chunk
  stall N [MS]       send N bytes of the body, then nothing (until the client gives up);
                     with MS, only after MS milliseconds without an answer
  slow N MS          the same as trickle N MS
  reset              close the connection without any answer
  redirect URL       answer 302 with URL as the new location
  trickle N MS       send the body (or the range asked for) N bytes at a time,
                     MS milliseconds apart
  flood N            answer 200 declaring N bytes and send N zero bytes, whatever
                     the file holds (a server streaming a huge or endless body)
  ignore-range       answer every request with the whole file (200), Range or not
  range-416          answer 416 to every request that carries a Range
  then-drop          answer normally, then close the connection when the next
                     request arrives on it, without an answer (a kept
                     connection the server closed while the client was idle)
  then-stop          answer normally, close the connection and stop listening:
                     every later request finds no server
  then-die           answer normally, then cut every open connection and stop
                     listening (a server that dies in the middle of an install)
  then-hang          answer normally, then accept every later request and answer
                     none (a server that hangs in the middle of an install)

"close" after any of these, or alone, has the answer say "Connection: close" and
the connection end after it, as many simple servers and proxies do.

Files are served with an ETag (from their content) and a Last-Modified date;
a Range "bytes=N-" is honoured (206) unless an If-Range names another ETag,
as static servers do. Every body sent is logged to ROOT/bytes.log as
"PATH STATUS BYTES", BYTES counting what was actually written.

Every request is logged to ROOT/requests.log as "METHOD PATH AGENT", and to
ROOT/connections.log as "CONNECTION PATH", CONNECTION numbering the accepted
connections from 1: connections are kept open between requests (HTTP/1.1), so
the log shows which requests a client sent over one connection.
"""
import argparse
import email.utils
import hashlib
import http.server
import os
import socket
import sys
import threading
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "CorvelTestServer/1.0"
    answer_close = False

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    def setup(self):
        super().setup()
        with self.server.log_lock:
            self.server.connections += 1
            self.connection_number = self.server.connections
            self.server.open_sockets.add(self.connection)

    def finish(self):
        with self.server.log_lock:
            self.server.open_sockets.discard(self.connection)
        try:
            super().finish()
        except OSError:
            pass  # cut by then-die

    def _log_request(self):
        with self.server.log_lock:
            with open(os.path.join(self.server.root, "requests.log"), "ab") as log:
                agent = self.headers.get("User-Agent", "")
                log.write(f"{self.command} {self.path} {agent}\n".encode("latin-1", "replace"))
            with open(os.path.join(self.server.root, "connections.log"), "ab") as log:
                log.write(f"{self.connection_number} {self.path}\n".encode("latin-1", "replace"))

    def _log_bytes(self, status, count):
        with self.server.log_lock:
            with open(os.path.join(self.server.root, "bytes.log"), "ab") as log:
                log.write(f"{self.path} {status} {count}\n".encode("latin-1", "replace"))

    def _trickle(self, status, body, step, pause):
        sent = 0
        try:
            for i in range(0, len(body), step):
                if self.server.stopping.is_set():
                    break
                self.wfile.write(body[i : i + step])
                self.wfile.flush()
                sent += len(body[i : i + step])
                time.sleep(pause)
        except OSError:
            pass  # the client gave up
        finally:
            self._log_bytes(status, sent)
        self.close_connection = True

    def _write_body(self, status, data):
        sent = 0
        try:
            self.wfile.write(data)
            self.wfile.flush()
            sent = len(data)
        finally:
            self._log_bytes(status, sent)

    def end_headers(self):
        if self.answer_close:
            self.send_header("Connection", "close")
        super().end_headers()

    def do_GET(self):
        self.answer_close = False
        if getattr(self, "drop_next", False):
            self.close_connection = True
            return
        self._log_request()
        if self.server.hung.is_set():
            return self._hold()
        # Request bytes map to file names one to one, as static servers do.
        # The request line arrives decoded as Latin-1: encoding it back gives
        # the bytes the client sent, raw or percent-encoded.
        raw = urllib.parse.unquote_to_bytes(urllib.parse.urlsplit(self.path).path.encode("latin-1"))
        rel = raw.lstrip(b"/")
        path = os.path.join(os.fsencode(self.server.root), rel)
        if not os.path.exists(path):
            # Fixtures written by a Windows program under Wine carry their
            # names in UTF-8 on this disk.
            try:
                alt = os.path.join(os.fsencode(self.server.root), rel.decode("cp1252").encode("utf-8"))
            except UnicodeDecodeError:
                alt = path
            if os.path.exists(alt):
                path = alt
        if b"/../" in b"/" + rel + b"/" or not os.path.isfile(path):
            return self._page(404, "Not Found")
        fault = None
        if os.path.isfile(path + b".fault"):
            with open(path + b".fault", "rb") as f:
                fault = f.read().decode().split()
            if fault and fault[-1] == "close":
                self.answer_close = True
                fault = fault[:-1] or None
        with open(path, "rb") as f:
            body = f.read()
        if fault and fault[0] == "then-drop":
            self.drop_next = True
        if fault and fault[0] == "status":
            return self._page(int(fault[1]), "Fault")
        if fault and fault[0] == "redirect":
            self.send_response(302)
            self.send_header("Location", fault[1])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if fault and fault[0] == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.close_connection = True
            return
        if fault and fault[0] == "flood":
            self.send_response(200)
            self.send_header("Content-Length", fault[1])
            self.end_headers()
            return self._trickle(200, bytes(int(fault[1])), 65536, 0)
        if fault and fault[0] == "cut-chunked":
            n = int(fault[1])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            part = body[:n]
            self.wfile.write(b"%x\r\n" % len(part) + part + b"\r\n")
            self.wfile.flush()
            self.close_connection = True
            return
        etag = '"%s-%x"' % (hashlib.sha1(body).hexdigest()[:16], len(body))
        modified = email.utils.formatdate(int(os.path.getmtime(path)), usegmt=True)
        wanted = self.headers.get("Range")
        condition = self.headers.get("If-Range")
        ranged = wanted is not None and not (fault and fault[0] == "ignore-range")
        if ranged and fault and fault[0] == "range-416":
            self.send_response(416)
            self.send_header("Content-Range", f"bytes */{len(body)}")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return self._log_bytes(416, 0)
        if ranged and (condition is None or condition == etag):
            first = int(wanted.split("=", 1)[1].split("-", 1)[0])
            if first >= len(body):
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{len(body)}")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return self._log_bytes(416, 0)
            self.send_response(206)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Range", f"bytes {first}-{len(body) - 1}/{len(body)}")
            self.send_header("Content-Length", str(len(body) - first))
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", modified)
            self.end_headers()
            if fault and fault[0] in ("trickle", "slow"):
                return self._trickle(206, body[first:], int(fault[1]), int(fault[2]) / 1000)
            return self._write_body(206, body[first:])
        if fault and fault[0] == "stall" and len(fault) > 2:
            time.sleep(int(fault[2]) / 1000)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        self.end_headers()
        if fault and fault[0] == "cut":
            self._write_body(200, body[: int(fault[1])])
            self.close_connection = True
            return
        if fault and fault[0] in ("trickle", "slow"):
            return self._trickle(200, body, int(fault[1]), int(fault[2]) / 1000)
        if fault and fault[0] == "stall":
            self._write_body(200, body[: int(fault[1])])
            return self._hold()
        self._write_body(200, body)
        if fault and fault[0] == "then-hang":
            self.server.hung.set()
        if fault and fault[0] == "then-stop":
            self.close_connection = True
            threading.Thread(target=self.server.stop, daemon=True).start()
        if fault and fault[0] == "then-die":
            self.close_connection = True
            threading.Thread(target=self.server.die, daemon=True).start()

    def _hold(self):
        """Holds the connection open without sending, until the client gives
        up or the server stops."""
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            time.sleep(0.1)
            try:
                self.connection.settimeout(0)
                if self.connection.recv(1) == b"":
                    break
            except BlockingIOError:
                pass
            except OSError:
                break
        self.close_connection = True

    def _page(self, code, title):
        body = f"<html><head><title>{code} {title}</title></head><body><h1>{title}</h1></body></html>\n".encode()
        self.send_response(code)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root, port=0):
        super().__init__(("127.0.0.1", port), Handler)
        self.root = root
        self.log_lock = threading.Lock()
        self.connections = 0
        self.stopping = threading.Event()
        self.hung = threading.Event()
        self.open_sockets = set()

    def handle_error(self, request, client_address):
        if self.stopping.is_set() and isinstance(sys.exc_info()[1], OSError):
            return  # a connection cut by then-die
        super().handle_error(request, client_address)

    def die(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()  # later connections are refused
        with self.log_lock:
            sockets = list(self.open_sockets)
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()


def start(root, port=0):
    """Starts a server in a background thread; returns it (port in .server_port)."""
    server = Server(root, port)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    args = parser.parse_args()
    server = Server(args.root, args.port)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(server.server_port))
        os.replace(args.port_file + ".tmp", args.port_file)
    print(f"serving {args.root} on http://127.0.0.1:{server.server_port}/", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
