"""scripts/release.sh refuses, before building anything, what must not become a published updater."""

import os
import subprocess
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "release.sh")


class ReleaseScriptTest(unittest.TestCase):

    def test_refuses_a_manifest_url_players_could_not_trust_or_the_build_would_mangle(self):
        for args in (["http://packs.example.org/DIR_Ovuduza/manifest_ZIR.xml"], ["ftp://packs.example.org/m.xml"],
                     ["https://packs.example.org/a b.xml"], ["https://packs.example.org/m.xml#x"], [],
                     ["--bogus", "https://packs.example.org/m.xml"]):
            with self.subTest(args=args):
                result = subprocess.run(["bash", SCRIPT, *args], capture_output=True, text=True, timeout=60)
                self.assertEqual(2, result.returncode, result.stderr)
                self.assertRegex(result.stderr, r"^(release\.sh: (refusing|not a manifest URL)|usage: )")


if __name__ == "__main__":
    unittest.main()
