"""A player's first install into an empty folder, from a UTF-16 manifest whose paths go beyond
ASCII, the run after it, and a pack of which only some files are stale; a player's runs one after
another in one folder while the pack moves on, and after a run that was cancelled or failed."""

import os
import socket
import unittest

from harness import (CANCELLED, DONE, LOG_CREATED, LOG_DOWNLOADING, LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID,
                     MANIFEST_URL_PATH, NO_UPDATE, PACK_URL_PATH, SOME_FAILED, UpdaterCase, french_environment,
                     manifest_entries, manifest_xml, md5_hex, payload, windows_path)


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

        # A French player's regional settings, whose decimal sign is a comma, and a proxy named by
        # the system (here one that refuses every connection) change nothing.
        with socket.socket() as dead:
            dead.bind(("127.0.0.1", 0))
            proxy = "http://127.0.0.1:%d" % dead.getsockname()[1]
            first = self.run_updater(env=dict(french_environment(), http_proxy=proxy, https_proxy=proxy))
        self.assertEqual((0x040C, ","), (first.locale["lcid"], first.locale["decimal"]), "French settings")

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
        # The amount line shows the final figures by the time the box comes, with a period.
        self.assertEqual("%.2f MB of %.2f MB" % (total / 2**20, total / 2**20), first.dialogs[-1]["amount"], first)

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
        self.assertEqual(1, self.server.connections)


class RunsInARowTest(UpdaterCase):
    """Real runs one after another in one player folder, each starting from what the last left."""

    def setUp(self):
        super().setUp()
        self.start_server()

    def serve(self, files, order, md5=None):
        """Serves files and a hand-written manifest listing them in order, with their digests or
        those md5 gives; returns the manifest."""
        for path, data in files.items():
            self.server.add_file(PACK_URL_PATH + path, data)
        md5 = dict({path: md5_hex(data) for path, data in files.items()}, **(md5 or {}))
        manifest = manifest_xml([(path, len(files[path]), md5[path], self.server.base_url + PACK_URL_PATH + path)
                                 for path in order])
        self.server.add_file(MANIFEST_URL_PATH, manifest)
        return manifest

    def assertFetched(self, outcome, end, manifest, stale, files):
        """The run fetched the manifest, then exactly the stale paths in that order, and left files."""
        src = dict(manifest_entries(manifest))
        self.assertRun(outcome, end, [LOG_MANIFEST, LOG_VALID] + [LOG_DOWNLOADING % (p, src[p]) for p in stale]
                       + ([] if stale else [LOG_NO_UPDATE]), files, manifest,
                       [MANIFEST_URL_PATH] + [PACK_URL_PATH + p for p in stale])

    def test_the_pack_moves_on_between_runs(self):
        first = {"a.dds": payload("a", 3000), "b.dds": payload("b", 2000), "c.dds": payload("c", 300000),
                 "kept.lua": payload("kept", 700), "retired with a long name.dds": payload("retired", 500)}
        earlier = self.serve(first, sorted(first))
        self.assertFetched(self.run_updater(), DONE, earlier, sorted(first), first)

        # The pack moves on: b and c change, "new" comes, one file is no longer listed. The newer
        # manifest is shorter than the copy it replaces, and, as Windows tools write them, has
        # digests in capitals (b, checked on the bytes kept in memory) and in mixed case (c, too
        # large for that: read back).
        second = dict(first, **{"b.dds": payload("b2", 2000), "c.dds": payload("c2", 300000),
                                "new.dds": payload("new", 9000)})
        del second["retired with a long name.dds"]
        c_md5 = "".join(digit.upper() if i % 2 else digit for i, digit in enumerate(md5_hex(second["c.dds"])))
        newer = self.serve(second, ["b.dds", "a.dds", "new.dds", "c.dds", "kept.lua"],
                           {"b.dds": md5_hex(second["b.dds"]).upper(), "c.dds": c_md5})
        self.assertLess(len(newer), len(earlier))
        self.assertNotIn(c_md5.lower(), newer.decode())
        # Behind the updater's back kept.lua changes, to the same size and with its times put back:
        # only its content can tell.
        kept = os.path.join(self.player, "kept.lua")
        times = os.stat(kept)
        with open(kept, "r+b") as f:
            f.write(payload("kept changed", 700))
        os.utime(kept, ns=(times.st_atime_ns, times.st_mtime_ns))

        # Only what changed or came is fetched, in the manifest's order, and the newer manifest
        # replaces the copy byte for byte; the file no longer listed is left alone.
        retired = {"retired with a long name.dds": first["retired with a long name.dds"]}
        self.assertFetched(self.run_updater(), DONE, newer, ["b.dds", "new.dds", "c.dds", "kept.lua"],
                           dict(second, **retired))
        # And the run after it has nothing to do.
        self.assertFetched(self.run_updater(), NO_UPDATE, newer, [], dict(second, **retired))

    def test_the_run_after_a_cancelled_or_failed_run_completes_the_pack(self):
        pack = {"1.dds": payload("one", 5000), "2.dds": payload("two", 20000), "3.dds": payload("three", 7000),
                "4.dds": payload("four", 3000)}
        manifest = self.serve(pack, sorted(pack))
        # 1 is current, 2 and 4 missing, 3 stale: the first run stops at 3, whose old version stays.
        player = {"1.dds": pack["1.dds"], "3.dds": payload("old three", 6000)}
        for stop, end, still_stale in (("cancel", CANCELLED, ["3.dds", "4.dds"]),
                                       ("broken connection", SOME_FAILED, ["3.dds"])):
            with self.subTest(stop=stop):
                self.server.faults.clear()
                self.server.set_fault(PACK_URL_PATH + "3.dds", "stall:4096" if stop == "cancel" else "drop:4096:300")
                stopped = self.run_updater(player=player,
                                           cancel_on_request=PACK_URL_PATH + "3.dds" if stop == "cancel" else None)
                self.assertEqual(end[0], stopped.exit_code, stopped)
                self.server.faults.clear()

                self.assertFetched(self.run_updater(), DONE, manifest, still_stale, pack)


if __name__ == "__main__":
    unittest.main()
