"""scripts/release.sh and the build refuse, before building anything, what must not become a published updater."""

import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MANGLED_URL = "https://packs.example.org/m.xml#x"  # refused by the build's rule, after the tree check


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=120)


def flat(text):  # CMake wraps its messages
    return " ".join(text.split())


class ReleaseScriptTest(unittest.TestCase):

    def test_refuses_a_manifest_url_players_could_not_trust_or_the_build_would_mangle(self):
        for args in (["http://packs.example.org/DIR_Ovuduza/manifest_ZIR.xml"], ["ftp://packs.example.org/m.xml"],
                     [], ["--bogus", "https://packs.example.org/m.xml"], ["--check"]):
            with self.subTest(args=args):
                result = run("bash", os.path.join(ROOT, "scripts", "release.sh"), *args)
                self.assertEqual(2, result.returncode, result.stderr)
                self.assertRegex(result.stderr, r"^(release\.sh: (refusing|not a manifest URL)|usage: )")

    def test_refuses_a_tree_that_differs_from_its_commit(self):
        # A throwaway repository with this checkout's scripts and build rules: the real one is left alone.
        with tempfile.TemporaryDirectory() as repo:
            for folder in ("scripts", "cmake", "support"):
                shutil.copytree(os.path.join(ROOT, folder), os.path.join(repo, folder))
            sh = lambda command: subprocess.run(["bash", "-c", command], cwd=repo, check=True, capture_output=True)
            sh("mkdir updater && git init -q && git add . && git -c user.name=t -c user.email=t@example.org commit -qm t")
            # Each step changes the tree further.
            for change, options, expected in (
                    ("echo >notes.txt", [], "refusing UPDATER_MANIFEST_URL"),  # outside the build's sources
                    ("echo >updater/extra.h", [], "refusing to build: the tree differs from commit"),
                    ("rm updater/extra.h; echo >>cmake/mingw-i686.cmake", [], " M cmake/mingw-i686.cmake"),
                    ("", ["--allow-dirty"], "refusing UPDATER_MANIFEST_URL")):
                sh(change)
                with self.subTest(change=change, options=options):
                    result = run("bash", os.path.join(repo, "scripts", "release.sh"), *options, MANGLED_URL)
                    self.assertEqual(2, result.returncode, result.stderr)
                    self.assertIn(expected, result.stderr)

    def test_the_build_refuses_settings_it_would_compile_in_as_something_else(self):
        url, timeout = "https://packs.example.org:8443/a'b(c)*+,=%41&!@~-._:?x", "30000"  # accepted
        with tempfile.TemporaryDirectory() as build:
            for bad_url, bad_timeout, expected in (
                    (None, None, None),
                    ("https://h.example/a\\b.xml", None, "holds '\\'"),
                    ('https://h.example/a"b.xml', None, "holds '\"'"),
                    ("https://h.example/m.xml#top", None, "holds '#'"),
                    ("https://h.example/a;b.xml", None, "holds ';'"),
                    ("https://h.example/a b.xml", None, "holds a space"),
                    ("https://h.example/a[b.xml", None, "holds '['"),
                    ("https://h.example/$(b).xml", None, "holds '$'"),
                    ("https://h.example/\u00e9.xml", None, "holds the byte 0xc3"),
                    (None, "0", "is not a whole number of milliseconds"),
                    (None, "30s", "is not a whole number of milliseconds")):
                with self.subTest(url=bad_url, timeout=bad_timeout):
                    result = run("cmake", "-S", ROOT, "-B", build, "--toolchain",
                                 os.path.join(ROOT, "cmake", "mingw-i686.cmake"), "-DBUILD_TESTING=OFF",
                                 f"-DUPDATER_MANIFEST_URL={bad_url or url}",
                                 f"-DUPDATER_NETWORK_TIMEOUT_MS={bad_timeout or timeout}")
                    if expected is None:
                        self.assertEqual(0, result.returncode, result.stderr)
                        continue
                    self.assertNotEqual(0, result.returncode)
                    setting = "UPDATER_MANIFEST_URL" if bad_url else "UPDATER_NETWORK_TIMEOUT_MS"
                    self.assertIn(f'{setting} "{bad_url or bad_timeout}" {expected}', flat(result.stderr))


if __name__ == "__main__":
    unittest.main()
