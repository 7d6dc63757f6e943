"""Runs that go wrong: no manifest, a manifest server that misbehaves, pack files that cannot be
fetched or do not match, and manifests that name paths outside the player's folder. Whatever goes
wrong, nothing the player had is lost."""

import os
import shutil
import unittest

from harness import (BOX_FAILED, BOX_NO_UPDATE, BUILD_DIR, EXIT_NO_MANIFEST, EXIT_OK, EXIT_SOME_FAILED,
                     LOG_INVALID, LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID, MANIFEST_URL_PATH,
                     PACK_URL_PATH, STATUS_FAILED, UpdaterCase, log_download_error, log_downloading,
                     log_validate_error, manifest_entries, md5_hex, payload, write_tree)


class ManifestUnavailableTest(UpdaterCase):
    """The manifest cannot be fetched: an earlier copy is used when there is one."""

    def test_no_server_and_no_earlier_manifest(self):
        outcome = self.run_updater()  # nothing listens on the port

        self.assertLog(outcome, [LOG_MANIFEST, LOG_INVALID])
        self.assertEqual(EXIT_NO_MANIFEST, outcome.exit_code, outcome)
        self.assertBox(outcome, BOX_FAILED, "error", "none")
        self.assertEqual([], outcome.dialogs)
        self.assertPlayerFiles({})

    def test_no_server_with_earlier_manifest_and_current_files(self):
        pack = {"skin.dds": payload("skin", 5000), "Grey/desc.lua": payload("desc", 300)}
        server = self.start_server()
        manifest = self.publish(pack)
        server.stop()
        write_tree(self.player, dict(pack, **{"Updater/manifest.xml": manifest}))

        outcome = self.run_updater()

        self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE])
        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertBox(outcome, BOX_NO_UPDATE, "information", "none")
        self.assertPlayerFiles(pack, manifest)

    def test_manifest_server_faults_keep_the_earlier_copy(self):
        # The server now lists a newer pack, but its manifest cannot be fetched: the earlier,
        # byte-identical copy is what the run uses, and by it everything is current.
        server = self.start_server()
        pack = {"skin.dds": payload("skin", 5000)}
        earlier = self.publish(pack)
        self.publish({"skin.dds": payload("skin v2", 6000)})
        for fault in ("404", "500", "drop:40"):
            with self.subTest(fault=fault):
                shutil.rmtree(self.player)
                write_tree(self.player, dict(pack, **{"Updater/manifest.xml": earlier}))
                server.set_fault(MANIFEST_URL_PATH, fault)
                requests_before = len(server.requests)

                outcome = self.run_updater()

                self.assertEqual([MANIFEST_URL_PATH], server.requests[requests_before:])
                self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE])
                self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
                self.assertBox(outcome, BOX_NO_UPDATE, "information", "none")
                self.assertPlayerFiles(pack, earlier)


class PackFileFailureTest(UpdaterCase):
    """A stale file that cannot be fetched keeps the player's old version."""

    def setUp(self):
        super().setUp()
        self.start_server()
        # 3072 bytes already current, 1024 stale: the bar runs from 0 to 4 and starts at 3.
        self.files = {"a.dds": payload("a", 3072), "b.dds": payload("b", 1024)}
        self.manifest = self.publish(self.files)
        self.old = {"a.dds": self.files["a.dds"], "b.dds": payload("old b", 1500)}
        self.b_src = manifest_entries(self.manifest)[1][1]

    def test_fetch_faults_keep_the_old_version(self):
        for fault in ("404", "500", "drop:600"):
            with self.subTest(fault=fault):
                write_tree(self.player, self.old)
                self.server.set_fault(PACK_URL_PATH + "b.dds", fault)

                outcome = self.run_updater()

                self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID, log_downloading("b.dds", self.b_src),
                                         log_download_error("b.dds")])
                self.assertEqual(EXIT_SOME_FAILED, outcome.exit_code, outcome)
                self.assertStatuses(outcome, STATUS_FAILED)
                self.assertBox(outcome, BOX_FAILED, "error", "dialog")
                # Fewer than 1024 bytes arrived, so the bar still shows where it started.
                self.assertEqual((0, 4, 3), outcome.bar_readings()[-1], outcome)
                self.assertPlayerFiles(self.old, self.manifest)

    def test_downloaded_file_that_still_differs(self):
        # The server answers 200 with other bytes than the manifest's digest describes.
        write_tree(self.player, self.old)
        wrong = payload("not b", 1024)
        self.server.add_file(PACK_URL_PATH + "b.dds", wrong)

        outcome = self.run_updater()

        self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID, log_downloading("b.dds", self.b_src),
                                 log_validate_error("b.dds")])
        self.assertEqual(EXIT_SOME_FAILED, outcome.exit_code, outcome)
        self.assertStatuses(outcome, STATUS_FAILED)
        self.assertBox(outcome, BOX_FAILED, "error", "dialog")
        self.assertPlayerFiles({"a.dds": self.files["a.dds"], "b.dds": wrong}, self.manifest)


class RefusedPathTest(UpdaterCase):
    """A manifest naming a path outside the player's folder is refused whole: nothing is written
    anywhere, not even its harmless entries."""

    def test_paths_outside_the_player_folder(self):
        server = self.start_server()
        server.add_file(PACK_URL_PATH + "ok.dds", payload("ok", 100))
        server.add_file(PACK_URL_PATH + "evil.dds", payload("evil", 100))
        outside = os.path.join(self.work, "evil.dds")
        drive_c = os.path.join(BUILD_DIR, "wineprefix", "drive_c", "evil.dds")
        for path in ("..\\evil.dds", "sub/../../evil.dds", "C:\\evil.dds"):
            with self.subTest(path=path):
                manifest = self.publish_manifest((
                    '<?xml version="1.0" encoding="UTF-8"?>\n<update version="1.0">\n'
                    '<file path="ok.dds" size="100" md5="%s" src="%s"/>\n'
                    '<file path="%s" size="100" md5="%s" src="%s"/>\n</update>\n'
                    % (md5_hex(payload("ok", 100)), server.base_url + PACK_URL_PATH + "ok.dds",
                       path, md5_hex(payload("evil", 100)), server.base_url + PACK_URL_PATH + "evil.dds")
                ).encode())
                requests_before = len(server.requests)

                outcome = self.run_updater()

                self.assertLog(outcome, [LOG_MANIFEST, LOG_INVALID])
                self.assertEqual(EXIT_NO_MANIFEST, outcome.exit_code, outcome)
                self.assertBox(outcome, BOX_FAILED, "error", "none")
                self.assertPlayerFiles({}, manifest)
                self.assertEqual([MANIFEST_URL_PATH], server.requests[requests_before:])
                self.assertFalse(os.path.exists(outside))
                self.assertFalse(os.path.exists(drive_c))


if __name__ == "__main__":
    unittest.main()
