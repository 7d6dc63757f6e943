"""A player's first install into an empty folder, from a UTF-16 manifest whose paths go beyond
ASCII, the run after it, and a pack of which only some files are stale."""

import os
import socket
import unittest

from harness import (DONE, LOG_CREATED, LOG_DOWNLOADING, LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID, MANIFEST_URL_PATH,
                     NO_UPDATE, PACK_URL_PATH, UpdaterCase, manifest_entries, payload, windows_path)


class InstallTest(UpdaterCase):

    def setUp(self):
        super().setUp()
        self.start_server()

    def test_first_install_then_nothing_to_update(self):
        pack = {"Liveries/A-10C/Desert/description.lua": payload("desc", 700),
                "Liveries/A-10C/Desert/skin.dds": payload("skin", 300000),
                "Liveries/F-16C/Gris foncé/skin.dds": payload("grey", 4096),
                "Ěeskoslovensko/křídlo.dds": payload("wing", 2000),
                "readme.txt": payload("readme", 1500)}
        # The maintainers' manifest, saved as UTF-16. U+011A is stored as the bytes 1A 01, and 0x1A
        # ends the data for a reader in text mode: the whole document must still be read. Paths and
        # URLs beyond ASCII reach the log as UTF-8.
        manifest = self.publish(pack).decode("utf-8").replace('"UTF-8"', '"UTF-16"').encode("utf-16")
        self.assertIn(b"\x1a\x01", manifest)
        self.server.add_file(MANIFEST_URL_PATH, manifest)
        # Without a Content-Length the end of the connection is the end of the body.
        self.server.set_fault(PACK_URL_PATH + "readme.txt", "nolength")

        # A proxy named by the system (here one that refuses every connection) changes nothing.
        with socket.socket() as dead:
            dead.bind(("127.0.0.1", 0))
            proxy = "http://127.0.0.1:%d" % dead.getsockname()[1]
            first = self.run_updater(env={"http_proxy": proxy, "https_proxy": proxy})

        # Each new folder is created once, by the first download that needs it, and named by its
        # absolute path; the "Updater" folder is made before the log exists.
        log = [LOG_MANIFEST, LOG_VALID]
        for path, src in manifest_entries(manifest):
            log.append(LOG_DOWNLOADING % (path, src))
            if path.endswith(("description.lua", "foncé\\skin.dds", "křídlo.dds")):
                log.append(LOG_CREATED % windows_path(os.path.join(self.player, path.rsplit("\\", 1)[0])))
        self.assertRun(first, DONE, log, pack, manifest)
        # The bar counts KiB: each 4 KiB read moves it by 4, and what a file's last read brings
        # beyond whole KiB is never shown.
        total = sum(len(data) for data in pack.values())
        steps = sum(len(data) // 4096 * 4 + len(data) % 4096 // 1024 for data in pack.values())
        self.assertEqual((0, total // 1024, steps), first.bar, first)
        # The amount line is refreshed while the box is up (its modal loop runs the timer).
        self.assertEqual("%.2f MB of %.2f MB" % (total / 2**20, total / 2**20), first.dialogs[-1]["amount"])

        self.assertRun(self.run_updater(), NO_UPDATE, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE], pack, manifest)

    def test_only_the_stale_files_of_a_mixed_pack_are_fetched_in_order(self):
        # Sizes far apart, so the threads that check the pack finish out of order; stale files
        # (missing or changed) and current ones alternate irregularly through the manifest.
        sizes = [16 << 20, 700, 3 << 20, 5000, 90, 8 << 20, 1024, 40000, 2 << 20]
        missing, changed = {1, 4}, {2, 7}
        pack = {"f%d.dds" % i: payload("f%d" % i, size) for i, size in enumerate(sizes)}
        manifest = self.publish(pack)
        player = {path: payload("old " + path, 300) if i in changed else pack[path]
                  for i, path in enumerate(sorted(pack)) if i not in missing}

        outcome = self.run_updater(player=player)

        stale = sorted(missing | changed)
        self.assertRun(outcome, DONE, [LOG_MANIFEST, LOG_VALID] +
                       [LOG_DOWNLOADING % manifest_entries(manifest)[i] for i in stale], pack, manifest,
                       [MANIFEST_URL_PATH] + [PACK_URL_PATH + "f%d.dds" % i for i in stale])
        # A run that is not cancelled keeps its connection from the manifest to the last file.
        self.assertEqual(1, self.server.connections_opened)


if __name__ == "__main__":
    unittest.main()
