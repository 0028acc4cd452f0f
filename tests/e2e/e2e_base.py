"""What the end-to-end tests share: running programs (under wine for a
".exe", with their output in files), paths as a program takes them, reading
and writing trees of files, waiting on a condition, and a logging loopback
HTTP server on a free port.
"""
import http.server
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse


def is_wine(program):
    return program.lower().endswith(".exe")


def command(program, *args):
    return (["wine", program] if is_wine(program) else [program]) + list(args)


def host_path(program, path):
    """The path as the program takes it: Windows paths on Z: under wine."""
    return "Z:" + path.replace("/", "\\") if is_wine(program) else path


def child_env():
    env = dict(os.environ)
    env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1,localhost"
    env.setdefault("WINEPREFIX", os.path.expanduser("~/.wine-corvel"))
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_to_files(cmd, timeout=300, env=None):
    """Runs cmd with its output in files, not pipes: a wineserver that the
    command starts inherits and keeps its descriptors open, and reading a
    pipe to the end would then wait for the wineserver to exit."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run(cmd, stdout=out, stderr=err, timeout=timeout, env=env or child_env())
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(cmd, p.returncode, out.read(), err.read())


def wait_for_port(port, proc=None, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("server exited with %d" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("nothing listens on port %d" % port)


def _install_state():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "formats", "install-state-files.txt"), encoding="ascii") as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


# The files the updater keeps of its own beside the game's, one list with
# scripts/demo.
INSTALL_STATE = _install_state()
# Two of them: the install's record of the files the updater put in place
# (the trees below leave it out and the tests that look at it read it), and
# the serial of the last signed list it accepted.
RECORD = "files.lst.installed"
SERIAL = "files.lst.serial"
assert RECORD in INSTALL_STATE and SERIAL in INSTALL_STATE


def tree_of(root):
    """Every file below root: relative bytes path with "/" -> content."""
    result = {}
    broot = os.fsencode(root)
    for dirpath, _, filenames in os.walk(broot):
        for f in filenames:
            p = os.path.join(dirpath, f)
            if dirpath == broot and f == RECORD.encode():
                continue
            with open(p, "rb") as fh:
                result[os.path.relpath(p, broot)] = fh.read()
    return result


def on_disk(files):
    return {rel.encode("utf-8"): data for rel, data in files.items()}


def request_path(raw_target):
    """A request target (as bytes) to the path of bytes it names."""
    # Raw bytes above 0x7F arrive unescaped from some clients (WinInet).
    return urllib.parse.unquote_to_bytes(raw_target.split(b"?", 1)[0])


def write_tree(root, files):
    for rel, data in files.items():
        path = os.path.join(os.fsencode(root), rel.encode("utf-8"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_until(predicate, timeout, step=0.25):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def interrupted_run(cmd, ready, timeout=60):
    """Runs cmd until ready() holds, then interrupts it as Ctrl+C does;
    (exit status, output). None as the status when ready() never held or
    the program had ended before (the caller's assertion says which)."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(cmd, stdout=out, stderr=out, env=child_env())
        code = None
        try:
            if wait_until(ready, timeout, step=0.02) and proc.poll() is None:
                proc.send_signal(signal.SIGINT)
                # Far less than the minute the stall rule would take.
                code = proc.wait(timeout=15)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


def tree(root):
    """Every file below root as {relative path with "/": bytes}. A program
    may be working in root while it is polled: a file removed between the
    listing and its reading is not part of the tree."""
    out = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            if d == root and n == RECORD:
                continue
            try:
                out[os.path.relpath(p, root).replace(os.sep, "/")] = read(p)
            except FileNotFoundError:
                pass
    return out


# ---- servers -------------------------------------------------------------------


class _LoggingHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, fmt, *args):
        pass

    def translate_path(self, path):
        # Request bytes name files one to one, as nginx does; the stock
        # handler decodes them as UTF-8 and would miss Windows-1252 names.
        rel = request_path(path.encode("latin-1"))
        return os.fsdecode(os.path.join(os.fsencode(self.directory), rel.lstrip(b"/")))

    def send_head(self):
        with self.server.log_lock:
            self.server.log.append(request_path(self.path.encode("latin-1")))
        return super().send_head()


class PyServer:
    """Python's http.server, threading, serving one directory."""

    def __init__(self, root):
        handler = lambda *a, **kw: _LoggingHandler(*a, directory=root, **kw)  # noqa: E731
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self.httpd.log = []
        self.httpd.log_lock = threading.Lock()
        self.port = self.httpd.server_port
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def requests(self):
        with self.httpd.log_lock:
            return list(self.httpd.log)

    def clear_log(self):
        with self.httpd.log_lock:
            self.httpd.log.clear()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
