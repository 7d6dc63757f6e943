"""A player's first install into an empty folder, the run after it, and manifests whose paths and
encodings go beyond ASCII."""

import os
import unittest

from harness import (BOX_DONE, BOX_NO_UPDATE, EXIT_OK, LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID,
                     PACK_URL_PATH, STATUS_DONE, UpdaterCase, log_created, log_downloading,
                     manifest_entries, payload)


class InstallTest(UpdaterCase):

    def test_first_install_then_nothing_to_update(self):
        self.start_server()
        pack = {
            "Liveries/A-10C/Desert/description.lua": payload("desc", 700),
            "Liveries/A-10C/Desert/skin.dds": payload("skin", 9000),
            "Liveries/F-16C/Grey/skin.dds": payload("grey", 4096),
            "readme.txt": payload("readme", 1500),
        }
        manifest = self.publish(pack)
        entries = manifest_entries(manifest)
        self.assertEqual(4, len(entries))

        first = self.run_updater()

        # Each new folder is created once, by the first download that needs it, and named by
        # its absolute path; the "Updater" folder is made before the log exists.
        folders = {
            "Liveries\\A-10C\\Desert\\description.lua": "Liveries/A-10C/Desert",
            "Liveries\\F-16C\\Grey\\skin.dds": "Liveries/F-16C/Grey",
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
        self.assertFinalStatus(first, STATUS_DONE)
        total = sum(len(data) for data in pack.values())
        self.assertTrue(first.bar_readings(), first)
        self.assertEqual({(0, total // 1024)}, {(low, high) for low, high, _ in first.bar_readings()})
        # The amount line is refreshed while the box is up (its modal loop runs the timer).
        self.assertEqual("%.2f MB of %.2f MB" % (total / 2**20, total / 2**20), first.dialogs[-1]["amount"])

        second = self.run_updater()

        self.assertLog(second, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE])
        self.assertEqual(EXIT_OK, second.exit_code, second)
        self.assertBox(second, BOX_NO_UPDATE, "information", "none")
        self.assertEqual([], second.dialogs, "no dialog when nothing is stale")
        self.assertPlayerFiles(pack, manifest)

    def test_utf16_manifest_with_paths_beyond_ascii(self):
        # The BOM and U+011A (its low byte is 0x1A, an end of file to a text-mode reader)
        # both have to survive the reading of the manifest.
        self.start_server()
        files = [("Livr\u00e9es\\\u00e9t\u00e9.dds", "Livr%C3%A9es/%C3%A9t%C3%A9.dds", payload("ete", 3000)),
                 ("\u011aeskoslovensko/k\u0159\u00eddlo.dds", "cz.dds", payload("cz", 2000))]
        lines = ['<?xml version="1.0" encoding="UTF-16"?>', '<update version="1.0">']
        for path, url, data in files:
            self.server.add_file(PACK_URL_PATH + url.replace("%C3%A9", "\u00e9"), data)
            lines.append('<file path="%s" size="%d" md5="%s" src="%s"/>'
                         % (path, len(data), md5_hex(data), self.server.base_url + PACK_URL_PATH + url))
        lines.append("</update>")
        manifest = self.publish_manifest("\r\n".join(lines).encode("utf-16"))
        self.assertEqual(b"\xff\xfe", manifest[:2])
        self.assertIn(b"\x1a\x01", manifest)

        outcome = self.run_updater()

        ete_src = self.server.base_url + PACK_URL_PATH + files[0][1]
        cz_src = self.server.base_url + PACK_URL_PATH + files[1][1]
        self.assertLog(outcome, [
            LOG_MANIFEST, LOG_VALID,
            log_downloading("Livr\u00e9es\\\u00e9t\u00e9.dds", ete_src),
            log_created(os.path.join(self.player, "Livr\u00e9es")),
            log_downloading("\u011aeskoslovensko\\k\u0159\u00eddlo.dds", cz_src),
            log_created(os.path.join(self.player, "\u011aeskoslovensko")),
        ])
        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertPlayerFiles({"Livr\u00e9es/\u00e9t\u00e9.dds": files[0][2],
                                "\u011aeskoslovensko/k\u0159\u00eddlo.dds": files[1][2]}, manifest)
        self.assertBox(outcome, BOX_DONE, "information", "dialog")


def md5_hex(data):
    import hashlib
    return hashlib.md5(data).hexdigest()


if __name__ == "__main__":
    unittest.main()
