"""The progress dialog while files arrive: where the bar starts, Cancel in the middle of a run,
and a second copy of the program started while the first one shows its dialog."""

import unittest

from harness import (BOX_DONE, EXIT_CANCELLED, EXIT_NO_MANIFEST, EXIT_OK, LOG_CANCELLED,
                     LOG_MANIFEST, LOG_VALID, PACK_URL_PATH, STATUS_DONE, STATUS_UPDATING,
                     UpdaterCase, log_download_error, log_downloading, manifest_entries, md5_hex, payload,
                     write_tree)


class ProgressDialogTest(UpdaterCase):

    def setUp(self):
        super().setUp()
        self.start_server()

    def test_bar_counts_the_files_already_current(self):
        files = {"a.dds": payload("a", 3072), "b.dds": payload("b", 1024)}
        manifest = self.publish(files)
        write_tree(self.player, {"a.dds": files["a.dds"]})

        outcome = self.run_updater()

        # The bar runs from 0 to 4 KiB and starts at 3 for the current file: b's one chunk of
        # 1 KiB then brings it to 4. (The start alone shows when b fails: see the failure tests.)
        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertEqual((0, 4, 4), outcome.bar_readings()[-1], outcome)
        self.assertStatuses(outcome, STATUS_DONE)
        self.assertBox(outcome, BOX_DONE, "information", "dialog")
        self.assertPlayerFiles(files, manifest)

    def test_totals_beyond_the_bar_range_are_clamped(self):
        # 600 current entries of size -1 (stored as 4294967295 bytes) make a total of ~2.3 TiB,
        # whose KiB no longer fit the bar's signed 32-bit range: range and start stop just below its
        # top, so the last file's step cannot overflow the control's position.
        files = {"a.dds": payload("a", 2048), "b.dds": payload("b", 1024)}
        (a_path, a_src), (b_path, b_src) = manifest_entries(self.publish(files))
        line = '<file path="%s" size="%s" md5="%s" src="%s"/>'
        entries = [line % (a_path, "-1", md5_hex(files["a.dds"]), a_src)] * 600
        entries.append(line % (b_path, "1024", md5_hex(files["b.dds"]), b_src))
        self.publish_manifest(('<update version="1.0">%s</update>' % "".join(entries)).encode())
        write_tree(self.player, {"a.dds": files["a.dds"]})

        outcome = self.run_updater()

        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertEqual((0, 2**31 - 5, 2**31 - 5), outcome.bar_readings()[-1], outcome)

    def test_cancel_during_the_second_of_three_downloads(self):
        files = {"1.dds": payload("one", 5000), "2.dds": payload("two", 160 * 1024),
                 "3.dds": payload("three", 7000)}
        manifest = self.publish(files)
        (p1, s1), (p2, s2), (p3, s3) = manifest_entries(manifest)
        old = {"2.dds": payload("old two", 9000), "3.dds": payload("old three", 100)}
        write_tree(self.player, old)
        self.server.set_fault(PACK_URL_PATH + "2.dds", "slow:4096:40")

        outcome = self.run_updater(cancel_on_request=PACK_URL_PATH + "2.dds")

        self.assertTrue(outcome.cancelled, outcome)
        # The cancel fails the file in flight and every later one, each with its own line.
        self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID,
                                 log_downloading(p1, s1),
                                 log_downloading(p2, s2), LOG_CANCELLED, log_download_error(p2),
                                 log_downloading(p3, s3), log_download_error(p3)])
        self.assertEqual(EXIT_CANCELLED, outcome.exit_code, outcome)
        self.assertEqual([], outcome.boxes, "a cancelled run ends without a message box")
        self.assertStatuses(outcome, STATUS_UPDATING)
        self.assertNotIn(PACK_URL_PATH + "3.dds", self.server.requests)
        # The finished file is new; the cancelled ones keep their old versions, no part left over.
        self.assertPlayerFiles(dict(old, **{"1.dds": files["1.dds"]}), manifest)

    def test_second_copy_while_the_dialog_shows(self):
        files = {"big.dds": payload("big", 64 * 1024)}
        manifest = self.publish(files)
        (path, src), = manifest_entries(manifest)
        self.server.set_fault(PACK_URL_PATH + "big.dds", "slow:4096:30")

        outcome = self.run_updater(second_copy=True)

        # The second copy ends at once with 1 and touches nothing: the first copy's log is
        # exactly that of a lone run, and no request of the second reached the server.
        self.assertEqual([EXIT_NO_MANIFEST], outcome.second_exits, outcome)
        self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID, log_downloading(path, src)])
        self.assertEqual(["/DIR_Ovuduza/manifest_ZIR.xml", PACK_URL_PATH + "big.dds"], self.server.requests)
        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertBox(outcome, BOX_DONE, "information", "dialog")
        self.assertPlayerFiles(files, manifest)


if __name__ == "__main__":
    unittest.main()
