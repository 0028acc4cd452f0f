#!/usr/bin/env python3
"""Channels end to end: corvel-publish --channel beside a signed live
publication, then corvel-update --channel NAME onto the channel and back,
each switch asking the server for the lists and the differing files only;
a channel list that fails its signature or is older than one accepted is
refused, and a channel the server closed falls back to the live one.

usage: channel_test.py PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE
"""
import hashlib
import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
import e2e_base as base  # noqa: E402
import signed_update_test as st  # noqa: E402
import update_test as ut  # noqa: E402
from e2e_base import write_tree  # noqa: E402

BETA = {st.CHANGED: b"volume=7\r\n", "data/beta.pak": b"beta content " * 500}
LISTS = (b"/Updater/files.lst", b"/Updater/channels/beta/files.lst")


class Channel(st.SignedCase):
    def setUp(self):
        super().setUp()
        self.beta_client = os.path.join(self.tmp, "client-beta")

    def publish_beta(self, files):
        shutil.rmtree(self.beta_client, ignore_errors=True)
        write_tree(self.beta_client, {**st.FILES, **files})
        r = self.run_publish("--sign", self.key_arg, "--channel", "beta", client=self.beta_client)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.server.clear_log()

    def game_files(self):
        return {k: v for k, v in base.tree_of(self.install).items()
                if k != st.STATE.encode() and not k.startswith(b"files.lst.channels")}

    def fetched(self):
        return [p for p in self.server.requests() if not p.startswith(LISTS)]

    def assert_fetched_only(self, contents, out):
        # One object or patch per differing file, none for a file both lists share.
        fetched = self.fetched()
        self.assertEqual(len(fetched), len(contents), (fetched, out))
        self.assertTrue(all(p.startswith((b"/Updater/objects/", b"/Updater/patches/")) for p in fetched), fetched)
        shared = [hashlib.md5(v).hexdigest().encode() for k, v in st.FILES.items() if k not in BETA]
        self.assertFalse([p for p in fetched if any(md5 in p for md5 in shared)], fetched)

    def serial_of(self, sig_name):
        return re.search(rb"serial (\d+)", self.server_file(sig_name)).group(1) + b"\n"

    def test_switching_to_a_channel_and_back_installs_only_what_differs(self):
        self.install_v1()
        self.publish_beta(BETA)
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 0, out)
        self.assertEqual(self.game_files(), base.on_disk({**st.FILES, **BETA}), out)
        self.assert_fetched_only(BETA, out)
        # Each list's serial in its own store.
        self.assertEqual(base.read(os.path.join(self.install, st.STATE)), self.serial_of("files.lst.bz2.sig"))
        self.assertEqual(base.read(os.path.join(self.install, "files.lst.channels", "beta.serial")),
                         self.serial_of("channels/beta/files.lst.bz2.sig"))

        self.server.clear_log()
        code, out = self.update()
        self.assertEqual(code, 0, out)
        # The channel's own file goes as any file a publication drops.
        self.assertEqual(self.game_files(), base.on_disk(st.FILES), out)
        self.assert_fetched_only({st.CHANGED: None}, out)

    def test_a_channel_list_that_fails_is_refused_and_a_closed_channel_falls_back(self):
        self.install_v1()
        self.publish_beta(BETA)
        before = self.game_files()
        good_list, good_sig = self.server_file("channels/beta/files.lst.bz2"), \
            self.server_file("channels/beta/files.lst.bz2.sig")
        other = os.path.join(self.tmp, "other.key")
        self.keygen(other)
        self.put_server_file("channels/beta/files.lst.bz2.sig", st.sign_text(self.seed(other), 99, None, good_list))
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 1, out)
        self.assertIn("signature", out)
        # The live list was accepted (its serial recorded); nothing of the channel's.
        self.assertEqual(self.game_files(), before, out)
        self.assertFalse(os.path.exists(os.path.join(self.install, "files.lst.channels", "beta.serial")))
        self.assertEqual(self.fetched(), [])

        # An older genuine channel list, replayed after a newer one was accepted.
        self.put_server_file("channels/beta/files.lst.bz2.sig", good_sig)
        self.publish_beta({**BETA, st.CHANGED: b"volume=8\r\n"})
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 0, out)
        installed = self.game_files()
        self.put_server_file("channels/beta/files.lst.bz2", good_list)
        self.put_server_file("channels/beta/files.lst.bz2.sig", good_sig)
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 1, out)
        self.assertIn("older", out)
        self.assertEqual(self.game_files(), installed, out)

        # Closed: the live list no longer names it; the live one is followed, said so.
        shutil.rmtree(os.path.join(self.published, "channels"))
        self.publish("--sign", self.key_arg, "--rev", "1")
        code, out = self.update("--channel", "beta")
        self.assertEqual(code, 0, out)
        self.assertIn("no longer offers the channel beta", out)
        self.assertEqual(self.game_files(), base.on_disk(st.FILES), out)

        for bad in ("Beta", "../x", "-b"):
            code, out = self.update("--channel", bad)
            self.assertEqual(code, 2, (bad, out))


def main():
    return suite.run_with_programs(__name__, __doc__, ut)


if __name__ == "__main__":
    sys.exit(main())
