"""The progress dialog while files arrive: a bar range beyond 32 bits, Cancel in the middle of a
run, and a second copy of the program started while the first one shows its dialog and a slow
server keeps it waiting."""

import unittest

from harness import (DONE, LOG_DOWNLOADING, LOG_MANIFEST, LOG_VALID, MANIFEST_URL_PATH, NETWORK_TIMEOUT_MS,
                     PACK_URL_PATH, UpdaterCase, manifest_entries, manifest_xml, md5_hex, payload)


class ProgressDialogTest(UpdaterCase):

    def setUp(self):
        super().setUp()
        self.start_server()

    def test_totals_beyond_the_bar_range_are_clamped(self):
        # 600 current entries of size -1 (stored as 4294967295 bytes) make a total of ~2.3 TiB,
        # whose KiB no longer fit the bar's signed 32-bit range: range and start stop just below its
        # top, so the last file's step cannot overflow the control's position.
        files = {"a.dds": payload("a", 2048), "b.dds": payload("b", 1024)}
        (a_path, a_src), (b_path, b_src) = manifest_entries(self.publish(files))
        manifest = manifest_xml([(a_path, -1, md5_hex(files["a.dds"]), a_src)] * 600
                                + [(b_path, 1024, md5_hex(files["b.dds"]), b_src)])
        self.server.add_file(MANIFEST_URL_PATH, manifest)

        outcome = self.run_updater(player={"a.dds": files["a.dds"]})

        self.assertRun(outcome, DONE, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % (b_path, b_src)], files, manifest)
        self.assertEqual((0, 2**31 - 5, 2**31 - 5), outcome.bar, outcome)

    def test_cancel_during_the_second_of_three_downloads(self):
        # Every way to stop: the button, Escape, the close box, the OK command Enter sends when no
        # button is the default, and a quit message, which counts as a cancel but is not logged. Each
        # comes while the server has stopped sending, after the headers or before them (however
        # soon it comes, only a wait can take it).
        cases = [(way, "stall:0") for way in ("click", "escape", "close", "ok", "quit")] + [("click", "mute")]
        for way, fault in cases:
            with self.subTest(way=way, fault=fault):
                outcome = self.cancel_second_of_three(way=way, fault=fault)

                # Cancel is live while the download runs, and greyed once the stop is taken (a
                # quit message is no command: nothing to grey). A stalled server never holds a stop:
                # the run ends at once, not when the network time-out would end the wait.
                self.assertTrue(outcome.dialogs[0]["cancel_enabled"], outcome)
                self.assertEqual(way != "quit", outcome.greyed, outcome)
                self.assertLess(outcome.events[-1]["ms"] - outcome.stop_ms, 500, outcome)

    def test_cancel_while_bytes_arrive_at_full_speed(self):
        self.assertCancelEndsAtFullSpeed()

    def test_slow_server_and_a_second_copy_while_the_dialog_shows(self):
        # A server that pauses a third of the network time-out between pieces, longer in all than
        # the time-out, is slow but alive: the file arrives whole. Its 4 s leave time for a second
        # copy to start, even on a busy machine where starting a Wine process takes a while.
        files = {"big.dds": payload("big", 160 * 1024)}
        manifest = self.publish(files)
        self.server.set_fault(PACK_URL_PATH + "big.dds", "slow:32768:%d" % (NETWORK_TIMEOUT_MS // 3))

        outcome = self.run_updater(second_copy=True)

        # The second copy ends at once with 1 and touches nothing: the first copy's log is
        # exactly that of a lone run, and no request of the second reached the server.
        self.assertEqual([1], outcome.second_exits, outcome)
        self.assertRun(outcome, DONE, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % manifest_entries(manifest)[0]],
                       files, manifest, [MANIFEST_URL_PATH, PACK_URL_PATH + "big.dds"])
        self.assertIn(2, [d["focus"] for d in outcome.dialogs], "the focus is on Cancel")


if __name__ == "__main__":
    unittest.main()
