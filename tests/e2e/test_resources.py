"""What the shell and the loader read from the built updater.exe: its icon and its manifest, read
on Linux from the file itself (no Wine)."""

import os
import re
import subprocess
import tempfile
import unittest

EXE = os.environ["E2E_UPDATER_EXE"]


def extract(*args):
    return subprocess.run(["wrestool", "-x", *args, EXE], capture_output=True, check=True, timeout=60).stdout


class ResourcesTest(unittest.TestCase):

    def test_icon_has_four_bitmaps_and_a_256_pixel_png(self):
        icon = extract("--type=14", "--name=1", "--language=1033")
        with tempfile.NamedTemporaryFile(suffix=".ico") as f:
            f.write(icon)
            f.flush()
            listing = subprocess.run(["icotool", "-l", f.name], capture_output=True, text=True, check=True).stdout
        self.assertEqual([("16", "32"), ("24", "32"), ("32", "32"), ("48", "32"), ("256", "32")],
                         re.findall(r"--width=(\d+) --height=\1 --bit-depth=(\d+)", listing), listing)
        self.assertEqual(1, icon.count(b"\x89PNG\r\n\x1a\n"), "the 256 pixel image is a PNG")

    def test_manifest_asks_for_common_controls_six_as_invoker(self):
        manifest = extract("--raw", "--type=24", "--name=1", "--language=1033").decode("utf-8")
        self.assertRegex(manifest, r'name="Microsoft\.Windows\.Common-Controls" version="6\.0\.0\.0"')
        self.assertRegex(manifest, r'level="asInvoker" uiAccess="false"')


if __name__ == "__main__":
    unittest.main()
