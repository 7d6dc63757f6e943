"""The progress dialog while files arrive: a bar range beyond 32 bits, Cancel in the middle of a
run, and a second copy of the program started while the first one shows its dialog and a slow
server keeps it waiting."""

import unittest

from harness import (CANCELLED, DONE, LOG_CANCELLED, LOG_DOWNLOAD_ERROR, LOG_DOWNLOADING, LOG_MANIFEST,
                     LOG_VALID, MANIFEST_URL_PATH, NETWORK_TIMEOUT_MS, PACK_URL_PATH, UpdaterCase, manifest_entries,
                     manifest_xml, md5_hex, payload)


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
        files = {"1.dds": payload("one", 5000), "2.dds": payload("two", 32 << 20), "3.dds": payload("three", 7000)}
        manifest = self.publish(files)
        (p1, s1), (p2, s2), (p3, s3) = manifest_entries(manifest)
        old = {"2.dds": payload("old two", 9000), "3.dds": payload("old three", 100)}
        # Every way to stop: the button, Escape, the close box, the OK command Enter sends when no
        # button is the default, and a quit message, which counts as a cancel but is not logged. Each
        # comes while the server has stopped sending, after the headers or before them (however
        # soon it comes, only a wait can take it); and between two chunks of a transfer at full speed.
        cases = [(way, "stall:0") for way in ("click", "escape", "close", "ok", "quit")]
        cases += [("click", "mute"), ("click", None)]
        for way, fault in cases:
            with self.subTest(way=way, fault=fault):
                self.server.faults.clear()
                if fault:
                    self.server.set_fault(PACK_URL_PATH + "2.dds", fault)

                outcome = self.run_updater(player=old, cancel_on_request=PACK_URL_PATH + "2.dds", cancel_by=way)

                # The cancel fails the file in flight and every later one, each with its own line,
                # and the run ends without a box. The finished file is new; the cancelled ones keep
                # their old versions, with no part left over; the third is never asked for.
                cancelled = [] if way == "quit" else [LOG_CANCELLED]
                self.assertRun(outcome, CANCELLED, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % (p1, s1),
                                                    LOG_DOWNLOADING % (p2, s2)] + cancelled +
                               [LOG_DOWNLOAD_ERROR % p2, LOG_DOWNLOADING % (p3, s3), LOG_DOWNLOAD_ERROR % p3],
                               dict(old, **{"1.dds": files["1.dds"]}), manifest,
                               [MANIFEST_URL_PATH, PACK_URL_PATH + "1.dds", PACK_URL_PATH + "2.dds"])
                # Cancel is live while the download runs, and greyed once the stop is taken (a
                # quit message is no command: nothing to grey). A stalled server never holds a stop:
                # the run ends at once, not when the network time-out would end the wait. While
                # bytes flow, the click is taken within 50 ms, and the transfer ends with it.
                self.assertTrue(outcome.dialogs[0]["cancel_enabled"], outcome)
                self.assertEqual(way != "quit", outcome.greyed, outcome)
                if fault:
                    self.assertLess(outcome.events[-1]["ms"] - outcome.stop_ms, 500, outcome)
                else:
                    self.assertLess(outcome.greyed_ms - outcome.stop_ms, 50, outcome)

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
