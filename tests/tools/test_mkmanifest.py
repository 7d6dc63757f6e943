"""tools/mkmanifest.py run as a program on real folders, against a real HTTP server on 127.0.0.1."""

import os
import pty
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "mkmanifest.py")
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
from http_server import TestServer  # noqa: E402

# Contents are MD5 known answers from RFC 1321.
PACK = {"a&b #1.txt": b"abc", "sub/deep/with space.txt": b"a", "sub/\u00e9.dds": b"",
        "Z.txt": b"message digest"}
EXPECTED_XML = """<?xml version="1.0" encoding="UTF-8"?>
<update version="1.0">
  <file path="Z.txt" size="14" md5="f96b697d7cb7938d525a2f31aaf161d0" src="https://packs.invalid/ZIR/Z.txt"/>
  <file path="a&amp;b #1.txt" size="3" md5="900150983cd24fb0d6963f7d28e17f72" src="https://packs.invalid/ZIR/a%26b%20%231.txt"/>
  <file path="sub\\deep\\with space.txt" size="1" md5="0cc175b9c0f1b6a831c399e269772661" src="https://packs.invalid/ZIR/sub/deep/with%20space.txt"/>
  <file path="sub\\\u00e9.dds" size="0" md5="d41d8cd98f00b204e9800998ecf8427e" src="https://packs.invalid/ZIR/sub/%C3%A9.dds"/>
</update>
""".encode("utf-8")


def run_tool(*args):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True,
                          timeout=120)


def run_on_terminal(*args):
    """The tool run with standard error on a pseudo-terminal: (status, stdout, what the terminal got)."""
    terminal, child_end = pty.openpty()
    with tempfile.TemporaryFile() as out:
        process = subprocess.Popen([sys.executable, TOOL, *args], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=child_end)
        os.close(child_end)
        seen = b""
        try:
            while True:
                chunk = os.read(terminal, 4096)
                if not chunk:
                    break
                seen += chunk
        except OSError:  # EIO: the program has closed its end
            pass
        finally:
            os.close(terminal)
        status = process.wait(120)
        out.seek(0)
        return status, out.read(), seen


def make_files(root, files):
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as stream:
            stream.write(data)


class MkManifestTest(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.root = temp.name
        self.pack = os.path.join(self.root, "pack")
        make_files(self.pack, PACK)
        self.server = TestServer().start()
        self.addCleanup(self.server.stop)
        self.url = self.server.base_url + "/"
        self.manifest = os.path.join(self.pack, "manifest_ZIR.xml")

    def publish(self):
        """Serves the pack folder as it is now, manifest included, under /pack/."""
        self.server.files.clear()
        for folder, _, names in os.walk(self.pack):
            for name in names:
                path = os.path.join(folder, name)
                with open(path, "rb") as stream:
                    self.server.add_file("/pack/" + os.path.relpath(path, self.pack), stream.read())

    def build(self):
        result = run_tool("build", self.pack, "--base-url", self.url + "pack", "-o", self.manifest)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.publish()
        with open(self.manifest, "rb") as stream:
            return stream.read()

    def test_build_writes_the_exact_manifest(self):
        result = subprocess.run([sys.executable, TOOL, "build", self.pack, "--base-url",
                                 "https://packs.invalid/ZIR", "-o", "-"], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, EXPECTED_XML)

    def test_built_pack_is_stable_served_and_checks_clean(self):
        os.symlink("Z.txt", os.path.join(self.pack, "link.txt"))
        first = self.build()  # the manifest lies inside the pack: it never lists itself
        self.assertEqual(self.build(), first)
        # Neither the link nor the manifest is listed: four files.
        result = run_tool("check", self.url + "pack/manifest_ZIR.xml")
        self.assertEqual((result.returncode, result.stdout),
                         (0, "4 files checked: 4 match, 0 with problems\n"), result.stderr)

    def test_check_reports_each_broken_file_once(self):
        self.build()
        make_files(self.pack, {"Z.txt": b"message digesT"})  # same size, other bytes
        os.remove(os.path.join(self.pack, "sub", "\u00e9.dds"))
        self.publish()
        self.server.set_fault("/pack/a&b #1.txt", "drop:1:0")
        self.server.set_fault("/pack/sub/deep/with space.txt", "stall:0")
        result = run_tool("check", self.manifest, "--timeout", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[-1], "4 files checked: 0 match, 4 with problems")
        expected = {"Z.txt": "md5 f96b697d", "a&b #1.txt": "closed after 1",
                    "sub\\deep\\with space.txt": "timed out", "sub\\\u00e9.dds": "HTTP status 404"}
        for path, reason in expected.items():
            hits = [line for line in lines if line.startswith(path + ": ")]
            self.assertEqual(len(hits), 1, lines)
            self.assertIn(reason, hits[0])

    def test_check_reads_a_local_pack_and_applies_the_updater_rules(self):
        self.build()
        self.assertEqual(run_tool("check", self.manifest, "--pack-dir", self.pack).returncode, 0)
        make_files(self.pack, {"sub/deep/with space.txt": b"ab"})
        result = run_tool("check", self.manifest, "--pack-dir", self.pack)
        self.assertEqual(result.returncode, 1)
        self.assertIn("sub\\deep\\with space.txt: size 1 in the manifest, 2 found; md5",
                      result.stdout)
        handwritten = {  # names and digests without regard to case; version must be 1.0
            '<UPDATE Version="1.0"><FILE PATH="Z.txt" Size="14" SRC="http://x/" '
            'md5="F96B697D7CB7938D525A2F31AAF161D0"/></UPDATE>': 0,
            '<update version="1.00"/>': 1, '<update><item/></update>': 1,
            '<update><file path="Z.txt" size="14" md5="" src="http://x/"/></update>': 1}
        for text, status in handwritten.items():
            with self.subTest(text=text):
                make_files(self.root, {"hand.xml": text.encode()})
                result = run_tool("check", os.path.join(self.root, "hand.xml"), "--pack-dir", self.pack)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertEqual("invalid manifest" in result.stderr, status == 1)

    def test_progress_line_shows_on_a_terminal_only_and_changes_no_output(self):
        self.build()
        for args, line in ((["build", self.pack, "--base-url", self.url, "-o", "-"], b"0 of 5 files hashed"),
                           (["check", self.url + "pack/manifest_ZIR.xml"], b"0 of 4 files checked")):
            with self.subTest(command=args[0]):
                piped = subprocess.run([sys.executable, TOOL, *args], capture_output=True, timeout=120)
                self.assertEqual(piped.stderr, b"")
                status, out, seen = run_on_terminal(*args)
                self.assertEqual((status, out), (piped.returncode, piped.stdout))
                # Drawn at the start, rewritten in place, wiped at the end.
                self.assertRegex(seen, rb"\A\r" + line + rb", 0\.0 of 0\.0 MiB[^\n]*\r +\r\Z")
                self.assertEqual(run_on_terminal(*args, "--quiet"), (status, out, b""))

    def test_build_refuses_files_players_cannot_write(self):
        cases = [(["a:b.dds"], "a:b"), (["x/.../y.dds"], "..."), (["bad|name"], "|"),
                 (["tab\tname"], "U+0009"), (["back\\slash"], "back\\slash"), (["trail."], "trail."),
                 (["trail "], "trail "), (["con"], "con"), (["Com1.txt"], "Com1"),
                 (["lpt9.x.dds"], "lpt9"), (["Updater/manifest.xml"], "Updater/manifest.xml"),
                 (["x" * 200 + "/" + "y" * 100], "259"), (["A.txt", "a.txt"], "A.txt"),
                 (["d", "D/e.txt"], "d clashes with D"), ([os.fsdecode(b"\xff.dds")], "UTF-8")]
        for names, shown in cases:
            with self.subTest(names=names), tempfile.TemporaryDirectory() as temp:
                pack, out = os.path.join(temp, "pack"), os.path.join(temp, "out")
                os.mkdir(out)
                make_files(pack, dict({"good.dds": b"ok"}, **{name: b"" for name in names}))
                result = run_tool("build", pack, "--base-url", "https://packs.invalid/",
                                  "-o", os.path.join(out, "manifest_ZIR.xml"))
                self.assertEqual(result.returncode, 2)
                self.assertIn(shown, result.stderr)
                self.assertEqual(os.listdir(out), [])


if __name__ == "__main__":
    unittest.main()
