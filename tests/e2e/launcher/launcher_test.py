#!/usr/bin/env python3
"""The real launcher window end to end under Wine, on an X display (run it
under xvfb-run): a fresh install from a loopback server, the desktop
shortcut, the play button starting system\\gc.exe, and the launcher
replacing itself through Update.bat and coming back current.

usage: launcher_test.py [--sign SECRET_KEY PUBLIC_KEY] CORVEL_PUBLISH LAUNCHER_EXE GC_EXE LNKREAD_EXE

LAUNCHER_EXE is the test build, which takes its update server from
CORVEL_TEST_UPDATE_URL and its public key from CORVEL_TEST_PUBLIC_KEY; the
test's server binds a free loopback port and names it there. With --sign
the launcher gets PUBLIC_KEY, the pair of SECRET_KEY: every publication is
signed, each install must record the accepted serial, and a tampered list
installs nothing.
"""
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import suite  # noqa: E402
from e2e_base import child_env, command, host_path, read, run_to_files, tree, wait_until, write_tree  # noqa: E402
import fault_server  # noqa: E402

PUBLISH = LAUNCHER = GC = LNKREAD = SIGN_KEY = PUBLIC_KEY = None  # set from argv
STATE = "files.lst.serial"
LOG = "CorvelUpdater.log"
EXE = "CorvelUpdater.exe"
TITLE = "Corvel - Updater"
SHORTCUT = "Drakmoor - Corvel.lnk"
NOTES = "idle-notes.txt"  # what the window showed in its idle view, a line each
# The play button's rectangle in the window's client area.
PLAY_X, PLAY_Y, PLAY_W, PLAY_H = 356, 416, 285, 90


def env():
    e = child_env()
    # No menu entries or desktop files of Wine's own for the shortcut.
    if "winemenubuilder" not in e["WINEDLLOVERRIDES"]:
        e["WINEDLLOVERRIDES"] += ";winemenubuilder.exe=d"
    return e


def windows():
    """X windows titled exactly as the launcher's, visible ones only."""
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE],
                       capture_output=True, text=True, timeout=30)
    return r.stdout.split()


def geometry(window):
    r = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                       capture_output=True, text=True, timeout=30)
    values = dict(line.split("=", 1) for line in r.stdout.split() if "=" in line)
    return int(values["X"]), int(values["Y"])


def screenshot(name):
    """Saves the screen for a failure message; returns its path or a note."""
    path = os.path.join(tempfile.gettempdir(), "launcher-e2e-%s.png" % name)
    r = subprocess.run(["import", "-window", "root", path], capture_output=True, timeout=60)
    return path if r.returncode == 0 else "(no screenshot)"


def requested_paths(root):
    path = os.path.join(root, "requests.log")
    if not os.path.exists(path):
        return []
    return [line.split(b" ")[1] for line in read(path).split(b"\n") if len(line.split(b" ")) > 1]


def list_requests(root, name=b"/Updater/files.lst.bz2"):
    return sum(1 for p in requested_paths(root) if p == name)


class LauncherCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.install = os.path.join(self.tmp, "install")
        self.client = os.path.join(self.tmp, "client")
        self.srv = os.path.join(self.tmp, "srv")
        for d in (self.install, self.client, self.srv):
            os.makedirs(d)
        self.launcher = read(LAUNCHER)
        shutil.copyfile(LAUNCHER, os.path.join(self.install, EXE))
        self.files = {
            "system/gc.exe": read(GC),
            "system/gc.ini": b"[game]\r\nserver=Corvel\r\n",
            "data/config.ini": b"volume=3\r\n",
            "data/empty.dat": b"",
            "data/maps/deep/level1.map": os.urandom(200 * 1024) + b"level one\n" * 5000,
            "LEEME.txt": b"Bienvenido\r\n",
        }
        self.server = None
        self.proc = None
        self.started = time.time()

    def tearDown(self):
        # A launcher restarted by Update.bat is no child of ours: end it by name.
        run_to_files(["wine", "taskkill", "/IM", EXE, "/F"], timeout=60, env=env())
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.server is not None:
            self.server.stop()
        # Every launcher start writes the shortcut; ours point into tmp, soon gone.
        for path in self.shortcuts():
            os.remove(path)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def publish(self, *extra):
        write_tree(self.client, self.files)
        if SIGN_KEY:
            extra = ("--sign", host_path(PUBLISH, SIGN_KEY)) + extra
        r = run_to_files(command(PUBLISH, "--rev", "1", *extra, host_path(PUBLISH, self.client),
                                 host_path(PUBLISH, os.path.join(self.srv, "Updater"))),
                         timeout=180, env=env())
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        if self.server is None:
            self.server = fault_server.start(self.srv)

    def start_launcher(self):
        # A launcher that Update.bat restarts inherits these through cmd.
        e = env()
        e["CORVEL_TEST_UPDATE_URL"] = "http://127.0.0.1:%d/Updater/" % self.server.server_port
        e["CORVEL_TEST_IDLE_NOTES"] = host_path(EXE, os.path.join(self.tmp, NOTES))
        if PUBLIC_KEY:
            e["CORVEL_TEST_PUBLIC_KEY"] = PUBLIC_KEY
        self.proc = subprocess.Popen(["wine", EXE], cwd=self.install, env=e,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def notes(self):
        path = os.path.join(self.tmp, NOTES)
        return read(path).decode().splitlines() if os.path.exists(path) else []

    def shortcuts(self):
        """Shortcuts written since the start, in whichever directory Wine makes the desktop."""
        prefix = env()["WINEPREFIX"]
        return [path for path in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Desktop", SHORTCUT))
                if os.path.getmtime(path) >= self.started - 2]

    def installed_tree(self):
        """The install directory; signed, without the state file, which must
        then hold the published serial (the window verified the list)."""
        have = tree(self.install)
        # The launcher's own log of its runs lies beside it, not in the list.
        have.pop(LOG, None)
        if SIGN_KEY:
            sig = read(os.path.join(self.srv, "Updater", "files.lst.bz2.sig")).decode()
            serial = [line.split()[1] for line in sig.splitlines() if line.startswith("serial ")][0]
            if have.pop(STATE, None) != serial.encode() + b"\n":
                have[STATE] = b"(missing or not the published serial)"
        return have

    def installed(self, expected):
        """True once the install directory holds exactly the expected files."""
        return self.installed_tree() == expected

    def describe(self, expected):
        have = self.installed_tree()
        missing = sorted(set(expected) - set(have))
        extra = sorted(set(have) - set(expected))
        differ = sorted(k for k in set(expected) & set(have) if have[k] != expected[k])
        return "missing %r, extra %r, different %r" % (missing, extra, differ)


class InstallAndPlay(LauncherCase):
    def test_installs_writes_shortcut_and_play_starts_client(self):
        self.publish()
        self.start_launcher()
        expected = dict(self.files, **{EXE: self.launcher})
        done = wait_until(lambda: self.installed(expected), 120)
        self.assertTrue(done, self.describe(expected) + "; " + screenshot("install"))
        # The window is still open, idle, and has logged its run.
        self.assertIsNone(self.proc.poll(), "launcher ended after installing")
        self.assertIn(b"installed  ", read(os.path.join(self.install, LOG)))

        # The shortcut points at this exe and starts it in its own directory.
        links = self.shortcuts()
        self.assertEqual(len(links), 1, "shortcuts written since the start: %r" % links)
        r = run_to_files(["wine", LNKREAD, host_path(LNKREAD, links[0])], timeout=60, env=env())
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        target, workdir = r.stdout.decode().splitlines()[:2]
        self.assertEqual(target.lower(), host_path(EXE, os.path.join(self.install, EXE)).lower())
        self.assertEqual(workdir.lower(), host_path(EXE, self.install).lower() + "\\")

        # Play: the stand-in client starts in system\, the window closes.
        record = os.path.join(self.install, "system", "gc_started.txt")
        self.assertTrue(wait_until(lambda: len(windows()) == 1, 30), "windows: %r" % windows())
        window = windows()[0]
        x, y = geometry(window)
        cx, cy = x + PLAY_X + PLAY_W // 2, y + PLAY_Y + PLAY_H // 2
        # The view turns idle a moment after the last file: click again if
        # the first one came while the button was not yet there.
        clicks = 0
        while clicks < 3 and not os.path.exists(record):
            time.sleep(1)
            subprocess.run(["xdotool", "mousemove", "--sync", str(cx), str(cy)], timeout=30)
            time.sleep(0.5)
            subprocess.run(["xdotool", "click", "1"], timeout=30)
            clicks += 1
            wait_until(lambda: os.path.exists(record), 10)
        self.assertTrue(os.path.exists(record), "no gc_started.txt after %d clicks at (%d, %d); %s"
                        % (clicks, cx, cy, screenshot("play")))
        lines = read(record).decode().splitlines()
        self.assertEqual(lines[0].lower(), host_path(EXE, os.path.join(self.install, "system")).lower())
        self.assertEqual(lines[1].lower(), "system\\gc.exe")
        self.proc.wait(30)
        self.assertEqual(self.proc.returncode, 0)
        self.assertEqual(windows(), [])
        # Nothing else came or went.
        expected["system/gc_started.txt"] = read(record)
        self.assertTrue(self.installed(expected), self.describe(expected))


class SelfReplacement(LauncherCase):
    def test_new_build_is_swapped_in_restarted_and_current(self):
        # Another build of the launcher: the same program with bytes after its image.
        new = self.launcher + b"\0" * 64 + b"launcher e2e rev 1\n"
        if PUBLIC_KEY:
            # A build for this server carries its key (the loopback build takes
            # its key from the environment, so its image holds none).
            new += b"corvel-updater-public-key:" + PUBLIC_KEY.encode() + b"\n"
        self.files[EXE] = new
        self.publish("--self", EXE)
        self.start_launcher()
        path = os.path.join(self.install, EXE)

        def swapped_and_back():
            return (os.path.exists(path) and read(path) == new
                    and not os.path.exists(os.path.join(self.install, "Update.bat"))
                    and not os.path.exists(path + ".New")
                    and self.proc.poll() is not None
                    and list_requests(self.srv) >= 2 and len(windows()) == 1)

        done = wait_until(swapped_and_back, 90, step=0.5)
        self.assertTrue(done, "%s; old launcher %s; list requests %d; windows %r; %s" % (
            self.describe(self.files), "ended" if self.proc.poll() is not None else "running",
            list_requests(self.srv), windows(), screenshot("selfreplace")))
        # The restarted build found itself current: its run fetched everything
        # it needed and wrote no further script.
        self.assertTrue(wait_until(lambda: self.installed(self.files), 60), self.describe(self.files))
        time.sleep(3)
        self.assertEqual(list_requests(self.srv), 2)
        self.assertTrue(self.installed(self.files), self.describe(self.files))
        self.assertEqual(len(windows()), 1)


@unittest.skipUnless(SIGN_KEY or "--sign" in sys.argv, "a launcher with a public key only")
class SignedTamperedList(LauncherCase):
    def test_list_changed_by_one_byte_installs_nothing(self):
        self.publish()
        listed = os.path.join(self.srv, "Updater", "files.lst.bz2")
        data = bytearray(read(listed))
        data[len(data) // 2] ^= 0x01
        with open(listed, "wb") as f:
            f.write(bytes(data))
        self.start_launcher()
        # Refused after a second try: the list removed again, nothing else
        # fetched or written, the window still open.
        def installed():
            return {name: data for name, data in tree(self.install).items() if name != LOG}
        refused = wait_until(lambda: list_requests(self.srv, b"/Updater/files.lst.bz2.sig") == 2
                             and installed() == {EXE: self.launcher}, 90, step=0.5)
        self.assertTrue(refused, "requests %r; install %r; %s" % (
            requested_paths(self.srv), sorted(installed()), screenshot("tampered")))
        # The log says why (the window's idle view does too, in Spanish).
        log = os.path.join(self.install, LOG)
        self.assertTrue(wait_until(lambda: os.path.exists(log) and b"end        failed: not trusted" in read(log), 30))
        self.assertEqual(requested_paths(self.srv), [b"/Updater/files.lst.bz2", b"/Updater/files.lst.bz2.sig"] * 2)
        self.assertEqual(len(windows()), 1)


class CloseDuringRun(LauncherCase):
    def test_closing_mid_download_stops_the_run_and_the_program_ends(self):
        # 2 MiB that bzip2 can't shrink, sent 1 KiB per 50 ms: the whole body
        # would take well over a minute.
        self.files["data/big.dat"] = os.urandom(2 * 1024 * 1024)
        old = b"the old big file\n"
        os.makedirs(os.path.join(self.install, "data"))
        with open(os.path.join(self.install, "data", "big.dat"), "wb") as f:
            f.write(old)
        self.publish()
        # Its object is gone (a server that lost it): the run falls back to the
        # copy, sent slowly, and is in it when the window closes.
        digest = hashlib.md5(self.files["data/big.dat"]).hexdigest()
        os.remove(os.path.join(self.srv, "Updater", "objects", digest[:2], digest + ".zst"))
        with open(os.path.join(self.srv, "Updater", "data", "big.dat.bz2.fault"), "w") as f:
            f.write("slow 1024 50")
        self.start_launcher()

        def downloading():
            path = os.path.join(self.srv, "requests.log")
            return os.path.exists(path) and b" /Updater/data/big.dat.bz2 " in read(path)

        self.assertTrue(wait_until(downloading, 120), screenshot("close-wait"))
        self.assertTrue(wait_until(lambda: len(windows()) == 1, 30), "windows: %r" % windows())
        x, y = geometry(windows()[0])
        # The exit button, at (822, 14), 120 x 40.
        subprocess.run(["xdotool", "mousemove", "--sync", str(x + 882), str(y + 34)], timeout=30)
        time.sleep(0.5)
        subprocess.run(["xdotool", "click", "1"], timeout=30)
        ended = wait_until(lambda: self.proc.poll() is not None, 30)
        self.assertTrue(ended, "launcher still running 30 s after closing; " + screenshot("close"))
        self.assertEqual(self.proc.returncode, 0)
        # The old file is intact, and nothing but published files (and the
        # launcher) is left but the partial copy kept for the next run (a
        # prefix of the published copy) and its validator: no temporaries.
        have = tree(self.install)
        self.assertEqual(have.get("data/big.dat"), old)
        with open(os.path.join(self.srv, "Updater", "data", "big.dat.bz2"), "rb") as f:
            published = f.read()
        partials = sorted(n for n in have if ".~corvel-resume-" in n)
        self.assertEqual(len(partials), 2, partials)
        self.assertTrue(partials[0].startswith("data/big.dat.~corvel-resume-"), partials)
        self.assertEqual(partials[1], partials[0] + ".tag")
        self.assertTrue(published.startswith(have[partials[0]]), "the partial copy is not the copy's beginning")
        self.assertIn(b"end        failed: stopped", have.get(LOG, b""))
        for name, content in have.items():
            # files.lst.serial: the state a signed install keeps; the log of the run.
            if name in (EXE, "data/big.dat", "files.lst.serial", LOG) or name in partials:
                continue
            self.assertEqual(self.files.get(name), content, "left behind or wrong: %s" % name)


class PreDownload(LauncherCase):
    def test_stage_fetched_after_the_view_killed_then_continued_and_ready(self):
        self.publish()
        live = dict(self.files, **{EXE: self.launcher})
        # 600 KB in all: a small changed file, and a new one held at half.
        self.files["data/config.ini"] = b"volume=9\r\n"
        self.files["data/next.pak"] = os.urandom(600 * 1024 - 10)
        self.publish("--stage", "day-2")
        small, big = (hashlib.md5(self.files[k]).hexdigest() for k in ("data/config.ini", "data/next.pak"))
        big_object = "/Updater/objects/%s/%s.zst" % (big[:2], big)
        big_path, bytes_log = os.path.join(self.srv, big_object[1:]), os.path.join(self.srv, "bytes.log")
        with open(big_path + ".fault", "w") as f:
            f.write("stall %d" % (os.path.getsize(big_path) // 2))
        folder = os.path.join(self.install, "files.lst.next")
        staging = lambda: sorted(os.listdir(folder)) if os.path.isdir(folder) else []  # noqa: E731
        sent = lambda: [ln.split()[0] for ln in read(bytes_log).decode().splitlines()  # noqa: E731
                        if "/objects/" in ln] if os.path.exists(bytes_log) else []
        game = lambda: {k: v for k, v in self.installed_tree().items() if not k.startswith("files.lst.next/")}  # noqa

        self.start_launcher()
        self.assertTrue(wait_until(lambda: small in staging() and big_object in sent() and self.notes(), 120),
                        "staging %r; %s" % (staging(), screenshot("next")))
        # The run had closed (its view, JUGAR back) before the stage began.
        self.assertIn("end        everything is current", read(os.path.join(self.install, LOG)).decode())
        self.assertRegex("\n".join(self.notes()), r"^(Descargando la próxima actualización: \d+ / 600 KB\n?)+$")
        run_to_files(["wine", "taskkill", "/IM", EXE, "/F"], timeout=60, env=env())
        self.proc.wait(30)
        self.assertEqual(game(), live, self.describe(live))

        for path in (big_path + ".fault", bytes_log):
            os.remove(path)
        self.start_launcher()
        ready = lambda: self.notes()[-1:] == ["Próxima actualización lista"]  # noqa: E731
        self.assertTrue(wait_until(ready, 120),
                        "notes %r; staging %r; %s" % (self.notes(), staging(), screenshot("ready")))
        self.assertEqual({n: hashlib.md5(read(os.path.join(folder, n))).hexdigest() for n in staging()},
                         {small: small, big: big})
        self.assertEqual(game(), live, self.describe(live))
        # What was staged before the kill is not asked for again.
        self.assertEqual(sent(), [big_object])


def main():
    global PUBLISH, LAUNCHER, GC, LNKREAD, SIGN_KEY, PUBLIC_KEY
    args = sys.argv[1:]
    if len(args) > 2 and args[0] == "--sign":
        SIGN_KEY = os.path.abspath(args[1])
        PUBLIC_KEY = args[2]
        del args[0:3]
    if len(args) != 4:
        print(__doc__)
        return 2
    PUBLISH, LAUNCHER, GC, LNKREAD = (os.path.abspath(a) for a in args)
    if not os.environ.get("DISPLAY"):
        print("launcher_test.py needs an X display (run it under xvfb-run)")
        return 2
    try:
        return suite.run(__name__)
    finally:
        # Alone, leave no Wine process behind; inside a kept session the
        # session's end does that, and killing its server here would undo it.
        if not os.environ.get("CORVEL_WINE_SESSION"):
            subprocess.run(["wineserver", "-k"], capture_output=True, timeout=60, env=env())


if __name__ == "__main__":
    sys.exit(main())
