"""Shared pieces of the end-to-end tests: one player folder, one web server and one updater run
per case, observed through ui_probe.exe, the log file, the files on disk and the exit status.

Everything a case starts (web server, Wine programs) is stopped by its cleanups, also when an
assertion fails; the Xvfb and the wineserver belong to the ctest fixture.
"""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

BUILD_DIR = os.environ["E2E_BUILD_DIR"]
PROGRAM_DIR = os.environ["E2E_PROGRAM_DIR"]
WORK_DIR = os.environ["E2E_WORK_DIR"]
WINE_RUN = os.environ["E2E_WINE_RUN"]
MKMANIFEST = os.environ["E2E_MKMANIFEST"]
HTTP_PORT = int(os.environ["E2E_HTTP_PORT"])
HTTPS_PORT = int(os.environ["E2E_HTTPS_PORT"])
sys.path.insert(0, os.environ["E2E_SUPPORT_DIR"])
from http_server import TestServer  # noqa: E402

UPDATER = os.path.join(PROGRAM_DIR, "updater_e2e.exe")
UPDATER_TLS = os.path.join(PROGRAM_DIR, "updater_e2e_tls.exe")
PROBE = os.path.join(PROGRAM_DIR, "ui_probe.exe")
ADD_ROOT_CERT = os.path.join(PROGRAM_DIR, "add_root_cert.exe")

MANIFEST_URL_PATH = "/DIR_Ovuduza/manifest_ZIR.xml"
PACK_URL_PATH = "/pack/"
RUN_TIMEOUT_S = 60

# What the player sees.
BOX_FAILED = ("Impossible de telecharger les mise \u00e0 jour.\r\n\r\n"
              "V\u00e9rifiez votre connexion internet, ou ressayez plus tard.")
BOX_NO_UPDATE = "Pas de mise \u00e0 jour."
BOX_DONE = "Mise \u00e0 jour termin\u00e9e."
STATUS_UPDATING = "Mise \u00e0 jour..."
STATUS_DONE = "Mise \u00e0 jour termin\u00e9e."
STATUS_FAILED = "Mise \u00e0 jour \u00e9chou\u00e9e."

# Exit status of the updater.
EXIT_OK, EXIT_NO_MANIFEST, EXIT_SOME_FAILED, EXIT_CANCELLED = 0, 1, 2, 3

# Log lines.
LOG_MANIFEST = "[ OK ] Downloading update manifest file."
LOG_VALID = "[ OK ] Update manifest file is valid."
LOG_NO_UPDATE = "[ OK ] No update required."
LOG_CANCELLED = "[ OK ] User cancelled update."
LOG_INVALID = "[FAIL] Invalid or no update manifest. Aborting."


def log_created(folder):
    return '[ OK ] Created directory: "%s"' % windows_path(folder)


def log_downloading(path, src):
    return '[ OK ] Downloading "%s" from "%s"' % (path, src)


def log_download_error(path):
    return '[FAIL] Error during the download of "%s".' % path


def log_validate_error(path):
    return '[FAIL] Error during the validate of "%s".' % path


def log_bytes(lines):
    """The log file as written: UTF-8, every line ended by CR LF."""
    return b"".join(line.encode("utf-8") + b"\r\n" for line in lines)


def windows_path(unix_path):
    """The path under which Wine shows a Unix path to Windows programs (drive Z: is /)."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def read_tree(root):
    """{relative path with "/": bytes} of every file under root."""
    tree = {}
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                tree[os.path.relpath(full, root).replace(os.sep, "/")] = f.read()
    return tree


def write_tree(root, files):
    for path, data in files.items():
        full = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


def manifest_entries(manifest):
    """(path, src) of each file element of a manifest, in document order."""
    return [(e.get("path"), e.get("src")) for e in ElementTree.fromstring(manifest).iter("file")]


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


def payload(tag, size):
    """size bytes of content that differs for every tag."""
    seed = (tag.encode("utf-8") + b"|") * (size // (len(tag) + 1) + 1)
    return bytes((b + i * 7) % 256 for i, b in enumerate(seed[:size]))


class Outcome:
    """What one updater run left behind: exit status, probe events, log bytes."""

    def __init__(self, events, log):
        self.events = events
        self.log = log
        exits = [e for e in events if e["event"] == "exit"]
        self.exit_code = exits[-1]["code"] if exits else None
        self.boxes = [e for e in events if e["event"] == "box"]
        self.dialogs = [e for e in events if e["event"] == "dialog"]
        self.cancelled = any(e["event"] == "cancel" for e in events)
        self.second_exits = [e["exit"] for e in events if e["event"] == "second"]

    def bar_readings(self):
        """(low, high, pos) of every dialog state in which the bar answered."""
        return [(d["low"], d["high"], d["pos"]) for d in self.dialogs if d["low"] >= 0]

    def __repr__(self):
        return "exit %r, events:\n  %s\nlog:\n%s" % (
            self.exit_code, "\n  ".join(json.dumps(e, ensure_ascii=False) for e in self.events),
            self.log.decode("utf-8", "replace") if self.log is not None else "<none>")


class UpdaterCase(unittest.TestCase):
    """A fresh player folder and pack folder per case, and a web server on the fixed port."""

    def setUp(self):
        os.makedirs(WORK_DIR, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + "-", dir=WORK_DIR)
        self.addCleanup(shutil.rmtree, self.work, True)
        self.player = os.path.join(self.work, "player")
        self.pack = os.path.join(self.work, "pack")
        os.makedirs(self.player)
        os.makedirs(self.pack)
        self.runs = 0
        self.server = None

    def start_server(self, port=HTTP_PORT, certfile=None, keyfile=None):
        server = TestServer(port=port, certfile=certfile, keyfile=keyfile)
        try:
            server.start()
        except OSError as error:
            self.fail("cannot listen on 127.0.0.1:%d (%s); configure another port with "
                      "-DE2E_HTTP_PORT / -DE2E_HTTPS_PORT" % (port, error))
        self.addCleanup(server.stop)
        self.server = server
        return server

    def publish(self, files, server=None):
        """Puts files {path with "/": bytes} on the server and their manifest (made by the
        maintainers' tool) at the updater's manifest URL; returns the manifest's bytes."""
        server = server or self.server
        write_tree(self.pack, files)
        for path, data in files.items():
            server.add_file(PACK_URL_PATH + path, data)
        output = os.path.join(self.work, "manifest_ZIR.xml")
        subprocess.run([sys.executable, MKMANIFEST, "build", self.pack,
                        "--base-url", server.base_url + PACK_URL_PATH, "-o", output],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        with open(output, "rb") as f:
            manifest = f.read()
        server.add_file(MANIFEST_URL_PATH, manifest)
        return manifest

    def publish_manifest(self, manifest, server=None):
        """Serves a hand-written manifest (bytes) at the updater's manifest URL."""
        (server or self.server).add_file(MANIFEST_URL_PATH, manifest)
        return manifest

    def run_updater(self, exe=UPDATER, cancel_on_request=None, second_copy=False):
        """Runs the updater in the player folder under ui_probe.exe and returns its Outcome.

        cancel_on_request: a URL path; once the server has seen it, the probe clicks Cancel.
        second_copy: the probe starts a second updater while the dialog shows."""
        self.runs += 1
        report = os.path.join(self.work, "probe-%d.jsonl" % self.runs)
        trigger = os.path.join(self.work, "cancel-%d" % self.runs)
        command = [WINE_RUN, BUILD_DIR, PROBE, "--out", windows_path(report),
                   "--run", windows_path(exe), "--cwd", windows_path(self.player),
                   "--timeout", str((RUN_TIMEOUT_S - 15) * 1000)]
        if cancel_on_request:
            command += ["--cancel-when", windows_path(trigger)]
        if second_copy:
            command.append("--second")
        errors_path = os.path.join(self.work, "wine-%d.err" % self.runs)
        with open(errors_path, "wb") as errors:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=errors, start_new_session=True)
            try:
                self._wait(process, cancel_on_request, trigger)
            finally:
                if process.poll() is None:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        events = []
        if os.path.exists(report):
            with open(report, encoding="utf-8") as f:
                events = [json.loads(line) for line in f if line.strip()]
        outcome = Outcome(events, self.read_player("Updater/log_updater.lst"))
        if not (events and events[-1]["event"] == "exit"):
            with open(errors_path, "rb") as f:
                errors = f.read().decode("utf-8", "replace")[-2000:]
            self.fail("the run did not end: %r\nWine's standard error:\n%s" % (outcome, errors))
        return outcome

    def _wait(self, process, cancel_on_request, trigger):
        deadline = time.monotonic() + RUN_TIMEOUT_S
        while process.poll() is None:
            if time.monotonic() > deadline:
                self.fail("ui_probe.exe did not finish within %d s" % RUN_TIMEOUT_S)
            if cancel_on_request and not os.path.exists(trigger):
                if any(r.split("?")[0] == cancel_on_request for r in self.server.requests):
                    open(trigger, "wb").close()
            time.sleep(0.01)

    def read_player(self, path):
        full = os.path.join(self.player, *path.split("/"))
        if not os.path.exists(full):
            return None
        with open(full, "rb") as f:
            return f.read()

    # ---- assertions ----

    def assertLog(self, outcome, lines):
        self.assertEqual(log_bytes(lines), outcome.log, outcome)

    def assertTree(self, root, expected):
        """Exactly these files under root: nothing missing, nothing extra (no temporary file)."""
        actual = read_tree(root)
        self.assertEqual(sorted(expected), sorted(actual), "files under %s" % root)
        for path, data in expected.items():
            if data is not None:  # None: present, content checked elsewhere
                self.assertEqual(data, actual[path], "content of %s" % path)

    def assertPlayerFiles(self, expected, manifest=None):
        """The player folder holds the expected pack files plus the run log and, when given,
        this copy of the manifest."""
        expected = dict(expected)
        expected["Updater/log_updater.lst"] = None
        if manifest is not None:
            expected["Updater/manifest.xml"] = manifest
        self.assertTree(self.player, expected)

    def assertBox(self, outcome, text, icon, owner):
        self.assertEqual([(text, icon, owner)],
                         [(b["text"], b["icon"], b["owner"]) for b in outcome.boxes], outcome)

    def assertStatuses(self, outcome, final):
        """The status line showed "Mise à jour..." (when the probe was quick enough to see it),
        then final, and nothing else; the empty text of the first instants does not count."""
        seen = []
        for dialog in outcome.dialogs:
            if dialog["status"] and dialog["status"] not in seen[-1:]:
                seen.append(dialog["status"])
        self.assertIn(seen, ([final], [STATUS_UPDATING, final]), outcome)
