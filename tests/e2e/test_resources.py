"""What the shell and the loader read from the built updater.exe: its icon and its manifest."""

import os
import re
import subprocess
import unittest

from harness import BUILD_DIR

EXE = os.path.join(BUILD_DIR, "bin", "updater.exe")


def extract(*args):
    return subprocess.run(["wrestool", "-x", *args, EXE], capture_output=True, check=True, timeout=60).stdout


class ResourcesTest(unittest.TestCase):

    def test_icon_has_four_bitmaps_and_a_256_pixel_png(self):
        icon = os.path.join(BUILD_DIR, "updater-icon.ico")
        with open(icon, "wb") as f:
            f.write(extract("--type=14", "--name=1", "--language=1033"))
        listing = subprocess.run(["icotool", "-l", icon], capture_output=True, text=True, check=True).stdout
        self.assertEqual([("16", "32"), ("24", "32"), ("32", "32"), ("48", "32"), ("256", "32")],
                         re.findall(r"--width=(\d+) --height=\1 --bit-depth=(\d+)", listing), listing)
        with open(icon, "rb") as f:
            self.assertEqual(1, f.read().count(b"\x89PNG\r\n\x1a\n"), "the 256 pixel image is a PNG")

    def test_manifest_asks_for_common_controls_six_as_invoker(self):
        manifest = extract("--raw", "--type=24", "--name=1", "--language=1033").decode("utf-8")
        self.assertRegex(manifest, r'name="Microsoft\.Windows\.Common-Controls" version="6\.0\.0\.0"')
        self.assertRegex(manifest, r'level="asInvoker" uiAccess="false"')


if __name__ == "__main__":
    unittest.main()
