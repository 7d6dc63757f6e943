"""Runs that go wrong: no manifest, a manifest server that misbehaves, a manifest naming paths
outside the player's folder, pack files that cannot be fetched or do not match. Whatever goes
wrong, nothing the player had is lost."""

import collections
import os
import re
import subprocess
import unittest

from harness import (DONE, FAILED, LOG_DOWNLOAD_ERROR, LOG_DOWNLOADING, LOG_FAILED_TO_OPEN, LOG_INVALID, LOG_MANIFEST,
                     LOG_NO_UPDATE, LOG_VALID, LOG_VALIDATE_ERROR, MANIFEST_URL_PATH, NO_MANIFEST, NO_UPDATE,
                     PACK_URL_PATH, SOME_FAILED, UpdaterCase, manifest_entries, manifest_xml, md5_hex, payload,
                     read_tree, write_tree)


class ManifestFailureTest(UpdaterCase):

    def test_without_a_usable_manifest_nothing_is_written(self):
        # Nothing listens on the port and there is no earlier copy.
        self.assertRun(self.run_updater(), NO_MANIFEST, [LOG_MANIFEST, LOG_INVALID], {})

        # A manifest the reader refuses (here one that climbs out of the player's folder; the
        # reader's own tests hold every such path) is refused whole: not even its harmless entry is
        # fetched or written.
        server = self.start_server()
        ok, evil = payload("ok", 100), payload("evil", 100)
        server.add_file(PACK_URL_PATH + "ok.dds", ok)
        server.add_file(PACK_URL_PATH + "evil.dds", evil)
        manifest = manifest_xml([("ok.dds", 100, md5_hex(ok), server.base_url + PACK_URL_PATH + "ok.dds"),
                                 ("../evil.dds", 100, md5_hex(evil), server.base_url + PACK_URL_PATH + "evil.dds")])
        server.add_file(MANIFEST_URL_PATH, manifest)

        self.assertRun(self.run_updater(), NO_MANIFEST, [LOG_MANIFEST, LOG_INVALID], {}, manifest, [MANIFEST_URL_PATH])

    def test_server_faults_keep_the_earlier_manifest(self):
        # The server now lists a newer pack, but its manifest cannot be fetched: the earlier,
        # byte-identical copy is what the run uses, and by it everything is current.
        pack = {"skin.dds": payload("skin", 5000), "Grey/desc.lua": payload("desc", 300)}
        server = self.start_server()
        earlier, newer = self.publish(pack), self.publish({"skin.dds": payload("skin v2", 6000)})
        server.stop()
        # A server that accepts the request and then stops answering, before its headers or in the
        # middle of the body, is given up on after the network time-out.
        for fault in ("404", "500", "drop:40:0", "mute", "stall:40", "no server"):
            with self.subTest(fault=fault):
                if fault != "no server":
                    server = self.start_server()
                    server.add_file(MANIFEST_URL_PATH, newer)
                    server.set_fault(MANIFEST_URL_PATH, fault)
                try:
                    outcome = self.run_updater(player=dict(pack, **{"Updater/manifest.xml": earlier}))
                finally:
                    server.stop()

                self.assertRun(outcome, NO_UPDATE, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE], pack, earlier,
                               [] if fault == "no server" else [MANIFEST_URL_PATH])
                if fault in ("mute", "stall:40"):
                    self.assertGivenUpAfterTheTimeout(outcome, MANIFEST_URL_PATH)


class PackFileFailureTest(UpdaterCase):

    # 3 MiB already current, 1 MiB stale and 1 KiB missing: the bar runs from 0 to 4097 KiB and
    # starts at 3072, where it stays unless b arrives; c arrives after b whatever happened to b.
    # The amount line counts what did arrive.
    FILES = {"a.dds": payload("a", 3 << 20), "b.dds": payload("b", 1 << 20), "c.dds": payload("c", 1024)}
    OLD = {"a.dds": FILES["a.dds"], "b.dds": payload("old b", 1500)}
    WRONG = payload("not b", 1 << 20)  # served with 200, but not what the digest describes

    def setUp(self):
        super().setUp()
        self.start_server()
        self.manifest = self.publish(self.FILES)
        (_, self.b_src), (_, self.c_src) = manifest_entries(self.manifest)[1:]

    def assertBFailed(self, outcome, errors, before, b_after, position, done_mb):
        """b failed with the errors given, c arrived, and b_after (None: nothing) is left as b."""
        log = [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % ("b.dds", self.b_src)] + [e % "b.dds" for e in errors]
        after = dict(before, **{"b.dds": b_after, "c.dds": self.FILES["c.dds"]})
        self.assertRun(outcome, SOME_FAILED, log + [LOG_DOWNLOADING % ("c.dds", self.c_src)],
                       {path: data for path, data in after.items() if data is not None}, self.manifest)
        self.assertEqual((0, 4097, position), outcome.bar, outcome)
        self.assertEqual(done_mb + " MB of 4.00 MB", outcome.dialogs[-1]["amount"], outcome)

    def test_stale_file_that_fails_keeps_the_old_version(self):
        Row = collections.namedtuple("Row", "fault errors before b_after position done_mb")
        # b's content is wrong throughout; each fault but the first keeps it from arriving at all.
        self.server.add_file(PACK_URL_PATH + "b.dds", self.WRONG)
        rows = [Row(None, [LOG_VALIDATE_ERROR], self.OLD, self.WRONG, 4097, "4.00")]
        # A server that stops answering, before its headers (mute) or in the middle of the body
        # (stall), is given up on after the network time-out.
        rows += [Row(fault, [LOG_DOWNLOAD_ERROR], self.OLD, self.OLD["b.dds"], 3073, "3.00")
                 for fault in ("404", "500", "mute", "stall:600")]
        # A connection that breaks while a read waits (4 KiB, a pause, then a hang-up or a reset):
        # the KiB that came stay counted. When b was missing, what came of it is not left either.
        rows += [Row(fault, [LOG_DOWNLOAD_ERROR], before, before.get("b.dds"), 3077, "3.00")
                 for fault, before in (("drop:4096:300", self.OLD), ("reset:4096:300", self.OLD),
                                       ("drop:4096:300", {"a.dds": self.OLD["a.dds"]}))]
        for row in rows:
            with self.subTest(fault=row.fault, b_missing="b.dds" not in row.before):
                self.server.faults.clear()
                if row.fault:
                    self.server.set_fault(PACK_URL_PATH + "b.dds", row.fault)

                outcome = self.run_updater(player=row.before)

                self.assertBFailed(outcome, row.errors, row.before, row.b_after, row.position, row.done_mb)
                if row.fault in ("mute", "stall:600"):
                    self.assertGivenUpAfterTheTimeout(outcome, PACK_URL_PATH + "b.dds")

    def test_run_killed_while_a_missing_file_arrives_is_repaired_by_the_next(self):
        # A missing file is written under its own name as it arrives. A run killed outright in the
        # middle of it (no time to clean up) leaves what had arrived there, and no temporary file;
        # the next run finds it stale by its digest, fetches it again and completes the pack.
        self.server.set_fault(PACK_URL_PATH + "b.dds", "stall:4096")
        b_path = os.path.join(self.player, "b.dds")
        self.run_updater(player={"a.dds": self.OLD["a.dds"]},
                         kill_when=lambda: os.path.exists(b_path) and os.path.getsize(b_path) >= 4096)
        left = read_tree(self.player)
        self.assertEqual(self.FILES["b.dds"][:4096], left.pop("b.dds"))
        self.assertEqual({"a.dds", "Updater/manifest.xml", "Updater/log_updater.lst"}, set(left))

        self.server.faults.clear()
        outcome = self.run_updater()

        self.assertRun(outcome, DONE, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % ("b.dds", self.b_src),
                                       LOG_DOWNLOADING % ("c.dds", self.c_src)], self.FILES, self.manifest,
                       [MANIFEST_URL_PATH, PACK_URL_PATH + "b.dds", PACK_URL_PATH + "c.dds"])

    def test_without_md5_hashing_nothing_is_checked_or_fetched(self):
        # No crypto provider can be loaded, as in a 64-bit prefix whose 32-bit half was never set
        # up: no file is to blame, so none is fetched (each would fail its check); the cause is logged.
        outcome = self.run_updater(player=self.OLD, env={"WINE_DLL_OVERRIDES": "rsaenh="})

        log = outcome.log.decode("utf-8").split("\r\n")
        self.assertRegex(log[2], r"^\[FAIL\] MD5 hashing is not available \(error 0x[0-9a-f]{8}\)\. Aborting\.$")
        self.assertRun(outcome, (2, (FAILED, "error", "none"), None), [LOG_MANIFEST, LOG_VALID, log[2]], self.OLD,
                       self.manifest, [MANIFEST_URL_PATH])

    def test_file_that_cannot_be_replaced_keeps_the_old_version(self):
        # Root ignores the read-only bit; an immutable file it cannot rename over. It is reported
        # like one that cannot be opened.
        write_tree(self.player, self.OLD)
        b_path = os.path.join(self.player, "b.dds")
        if subprocess.run(["chattr", "+i", b_path]).returncode:
            self.skipTest("chattr +i does not work here")
        self.addCleanup(subprocess.run, ["chattr", "-i", b_path])

        outcome = self.run_updater()

        self.assertBFailed(outcome, [LOG_FAILED_TO_OPEN, LOG_DOWNLOAD_ERROR], self.OLD, self.OLD["b.dds"], 4097,
                           "4.00")


if __name__ == "__main__":
    unittest.main()
