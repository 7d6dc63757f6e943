"""A player's first install into an empty folder, the run after it, and manifests whose paths and
encodings go beyond ASCII."""

import os
import unittest
import urllib.parse

from harness import (BOX_DONE, BOX_NO_UPDATE, EXIT_OK, LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID,
                     PACK_URL_PATH, STATUS_DONE, UpdaterCase, log_created, log_downloading,
                     manifest_entries, md5_hex, payload)


class InstallTest(UpdaterCase):

    def test_first_install_then_nothing_to_update(self):
        self.start_server()
        pack = {
            "Liveries/A-10C/Desert/description.lua": payload("desc", 700),
            "Liveries/A-10C/Desert/skin.dds": payload("skin", 300000),
            "Liveries/F-16C/Gris fonc\u00e9/skin.dds": payload("grey", 4096),
            "readme.txt": payload("readme", 1500),
        }
        manifest = self.publish(pack)
        entries = manifest_entries(manifest)

        first = self.run_updater()

        # Each new folder is created once, by the first download that needs it, and named by
        # its absolute path; the "Updater" folder is made before the log exists.
        folders = {
            "Liveries\\A-10C\\Desert\\description.lua": "Liveries/A-10C/Desert",
            "Liveries\\F-16C\\Gris fonc\u00e9\\skin.dds": "Liveries/F-16C/Gris fonc\u00e9",
        }
        expected = [LOG_MANIFEST, LOG_VALID]
        for path, src in entries:
            expected.append(log_downloading(path, src))
            if path in folders:
                expected.append(log_created(os.path.join(self.player, folders[path])))
        self.assertLog(first, expected)
        self.assertEqual(EXIT_OK, first.exit_code, first)
        self.assertPlayerFiles(pack, manifest)
        self.assertBox(first, BOX_DONE, "information", "dialog")
        self.assertStatuses(first, STATUS_DONE)
        total = sum(len(data) for data in pack.values())
        self.assertEqual((0, total // 1024), first.bar_readings()[-1][:2], first)
        # The amount line is refreshed while the box is up (its modal loop runs the timer).
        self.assertEqual("%.2f MB of %.2f MB" % (total / 2**20, total / 2**20), first.dialogs[-1]["amount"])

        second = self.run_updater()

        self.assertLog(second, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE])
        self.assertEqual(EXIT_OK, second.exit_code, second)
        self.assertBox(second, BOX_NO_UPDATE, "information", "none")
        self.assertEqual([], second.dialogs, "no dialog when nothing is stale")
        self.assertPlayerFiles(pack, manifest)

    def test_utf16_manifest_with_paths_beyond_ascii(self):
        # A hand-written UTF-16 manifest with a BOM. U+011A is stored as the bytes 1A 01, and
        # 0x1A ends the data for a reader in text mode: the whole document must still be read.
        # Paths and URLs beyond ASCII reach the log as UTF-8.
        self.start_server()
        ete = ("Livr\u00e9es\\\u00e9t\u00e9.dds", PACK_URL_PATH + "Livr%C3%A9es/%C3%A9t%C3%A9.dds",
               payload("ete", 3000))
        wing = ("\u011aeskoslovensko/k\u0159\u00eddlo.dds", PACK_URL_PATH + "k%C5%99%C3%ADdlo.dds",
                payload("wing", 2000))
        lines = ['<?xml version="1.0" encoding="UTF-16"?>', '<update version="1.0">']
        for path, url, data in (ete, wing):
            self.server.add_file(urllib.parse.unquote(url), data)
            lines.append('<file path="%s" size="%d" md5="%s" src="%s"/>'
                         % (path, len(data), md5_hex(data), self.server.base_url + url))
        lines.append("</update>")
        manifest = self.publish_manifest("\r\n".join(lines).encode("utf-16"))
        self.assertTrue(manifest.startswith(b"\xff\xfe") and b"\x1a\x01" in manifest)

        outcome = self.run_updater()

        self.assertLog(outcome, [
            LOG_MANIFEST, LOG_VALID,
            log_downloading(ete[0], self.server.base_url + ete[1]),
            log_created(os.path.join(self.player, "Livr\u00e9es")),
            log_downloading("\u011aeskoslovensko\\k\u0159\u00eddlo.dds", self.server.base_url + wing[1]),
            log_created(os.path.join(self.player, "\u011aeskoslovensko")),
        ])
        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertPlayerFiles({"Livr\u00e9es/\u00e9t\u00e9.dds": ete[2],
                                "\u011aeskoslovensko/k\u0159\u00eddlo.dds": wing[2]}, manifest)
        self.assertBox(outcome, BOX_DONE, "information", "dialog")


if __name__ == "__main__":
    unittest.main()
