"""Shared pieces of the end-to-end tests: a fresh player folder, a web server and updater runs per
case, observed through drive_updater.exe (support/), the log file, the files on disk and the exit status.

Whatever a case starts (web server, Wine programs) its cleanups stop, also when an assertion
fails; the Xvfb and the wineserver belong to the ctest fixture.
"""

import hashlib
import itertools
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "support"))
from driver_report import read_report  # noqa: E402
from http_server import TestServer  # noqa: E402

BUILD_DIR = os.environ["E2E_BUILD_DIR"]
PROGRAM_DIR = os.environ["E2E_PROGRAM_DIR"]
HTTP_PORT = int(os.environ["E2E_HTTP_PORT"])
HTTPS_PORT = int(os.environ["E2E_HTTPS_PORT"])
NETWORK_TIMEOUT_MS = int(os.environ["E2E_TIMEOUT_MS"])  # compiled into the test updaters
DRIVER = os.environ["E2E_DRIVER"]
ADD_ROOT_CERT = os.environ["E2E_ADD_ROOT_CERT"]
WORK_DIR = os.path.join(PROGRAM_DIR, "work")
LIB_SH = ["bash", os.path.join(SOURCE_DIR, "support", "lib.sh")]
WINE_RUN = LIB_SH + ["wine_run", BUILD_DIR]
MKMANIFEST = os.path.join(SOURCE_DIR, "tools", "mkmanifest.py")
UPDATER, UPDATER_TLS = (os.path.join(PROGRAM_DIR, name + ".exe") for name in ("updater_e2e", "updater_e2e_tls"))

MANIFEST_URL_PATH = "/DIR_Ovuduza/manifest_ZIR.xml"
PACK_URL_PATH = "/pack/"
RUN_TIMEOUT_S = 60  # the driver itself ends a run after 45 s
# Large enough that a close which reads the rest of it outlasts the half-second bound under every
# Wine tested (on loopback 5 to 15 s over HTTP, 0.6 to 3 s over HTTPS), and sends all of it.
FULL_SPEED_BODY_MIB = 256

LOG_MANIFEST = "[ OK ] Downloading update manifest file."
LOG_VALID = "[ OK ] Update manifest file is valid."
LOG_NO_UPDATE = "[ OK ] No update required."
LOG_CANCELLED = "[ OK ] User cancelled update."
LOG_INVALID = "[FAIL] Invalid or no update manifest. Aborting."
LOG_CREATED = '[ OK ] Created directory: "%s"'
LOG_DOWNLOADING = '[ OK ] Downloading "%s" from "%s"'
LOG_FAILED_TO_OPEN = '[FAIL] Failed to open file "%s".'
LOG_DOWNLOAD_ERROR = '[FAIL] Error during the download of "%s".'
LOG_VALIDATE_ERROR = '[FAIL] Error during the validate of "%s".'

UPDATING = "Mise à jour..."
FAILED = ("Impossible de telecharger les mise à jour.\r\n\r\n"
          "Vérifiez votre connexion internet, ou ressayez plus tard.")
# How a run ends: exit status, its one message box as (text, icon, owner window), and the last
# status line of the dialog; None where there is no box or no dialog.
DONE = (0, ("Mise à jour terminée.", "information", "dialog"), "Mise à jour terminée.")
NO_UPDATE = (0, ("Pas de mise à jour.", "information", "none"), None)
NO_MANIFEST = (1, (FAILED, "error", "none"), None)
SOME_FAILED = (2, (FAILED, "error", "dialog"), "Mise à jour échouée.")
CANCELLED = (3, None, UPDATING)


def windows_path(unix_path):
    """The path under which Wine shows a Unix path to Windows programs, as lib.sh gives it."""
    done = subprocess.run(LIB_SH + ["windows_path", unix_path], check=True, stdout=subprocess.PIPE)
    return os.fsdecode(done.stdout)


def french_environment():
    """What a French player's environment gives Wine: French regional settings and code page."""
    subprocess.run(LIB_SH + ["french_locale", BUILD_DIR], check=True, timeout=60)
    return {"LOCPATH": os.path.join(BUILD_DIR, "locale"), "LANG": "fr_FR.UTF-8", "LC_ALL": "fr_FR.UTF-8"}


def read_tree(root):
    """{relative path with "/": bytes} of every file under root."""
    tree = {}
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                tree[os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")] = f.read()
    return tree


def write_tree(root, files):
    for path, data in files.items():
        full = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


def digests(tree):
    return {path: md5_hex(data) for path, data in tree.items()}


def payload(tag, size):
    """size bytes of content that differs for every tag."""
    return random.Random(tag).randbytes(size)


def manifest_entries(manifest):
    """(path, src) of each file element of a manifest, in document order."""
    return [(e.get("path"), e.get("src")) for e in ElementTree.fromstring(manifest).iter("file")]


def manifest_xml(entries, encoding="UTF-8"):
    """A hand-written manifest of (path, size, md5, src) entries."""
    lines = ['<?xml version="1.0" encoding="%s"?>' % encoding, '<update version="1.0">']
    lines += ['<file path="%s" size="%s" md5="%s" src="%s"/>' % entry for entry in entries]
    return "\r\n".join(lines + ["</update>"]).encode(encoding)


class Outcome:
    """What one updater run left behind: the driver's events, the exit status, the log's bytes."""

    def __init__(self, events, log, requests, request_times):
        self.events, self.log, self.requests = events, log, requests  # requests: the paths asked for
        self.request_times = request_times  # when each was asked for, on the system's clock in s
        self.exit_code = events[-1].get("code") if events else None
        self.boxes = [(e["text"], e["icon"], e["owner"]) for e in events if e["event"] == "box"]
        self.box_time = next((e["unix_ms"] / 1000 for e in events if e["event"] == "box"), None)  # system clock, s
        self.locale = next((e for e in events if e["event"] == "locale"), None)  # what the program starts with
        self.dialogs = [e for e in events if e["event"] == "dialog"]
        self.second_exits = [e["exit"] for e in events if e["event"] == "second"]
        # Cancel greyed, seen from inside the program: when, or None.
        self.greyed_ms = next((e["ms"] for e in events if e["event"] == "greyed"), None)
        self.greyed = self.greyed_ms is not None
        self.stop_ms = next((e["ms"] for e in events if e["event"] == "stop"), None)  # when the driver asked
        bar = [(d["low"], d["high"], d["pos"]) for d in self.dialogs if d["low"] >= 0]
        self.bar = bar[-1] if bar else None  # the last reading of (low, high, position)

    def __repr__(self):
        return "exit %r, events:\n  %s\nlog:\n%s" % (
            self.exit_code, "\n  ".join(json.dumps(e, ensure_ascii=False) for e in self.events),
            self.log.decode("utf-8", "replace") if self.log is not None else "<none>")


class UpdaterCase(unittest.TestCase):
    """A fresh player folder and pack folder per case, and a web server on a fixed port."""

    def setUp(self):
        os.makedirs(WORK_DIR, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + "-", dir=WORK_DIR)
        self.addCleanup(shutil.rmtree, self.work, True)
        self.player = os.path.join(self.work, "player")
        self.pack = os.path.join(self.work, "pack")
        os.makedirs(self.player)
        self.runs = 0

    def start_server(self, port=HTTP_PORT, cert=()):
        try:
            self.server = TestServer(port, *cert).start()
        except OSError as error:
            self.fail("cannot listen on 127.0.0.1:%d (%s); configure another port with "
                      "-DE2E_HTTP_PORT / -DE2E_HTTPS_PORT" % (port, error))
        self.addCleanup(self.server.stop)
        return self.server

    def publish(self, files):
        """Puts files {path with "/": bytes} on the server and their manifest, made by the
        maintainers' tool, at the updater's manifest URL; returns the manifest's bytes."""
        write_tree(self.pack, files)
        for path, data in files.items():
            self.server.add_file(PACK_URL_PATH + path, data)
        output = os.path.join(self.work, "manifest_ZIR.xml")
        subprocess.run([sys.executable, MKMANIFEST, "build", self.pack, "--base-url",
                        self.server.base_url + PACK_URL_PATH, "-o", output],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        with open(output, "rb") as f:
            manifest = f.read()
        self.server.add_file(MANIFEST_URL_PATH, manifest)
        return manifest

    def run_updater(self, exe=UPDATER, player=None, cancel_on_request=None, cancel_by="click", second_copy=False,
                    env=None, kill_when=None):
        """Runs exe in the player folder under drive_updater.exe and returns its Outcome.
        player: {path: bytes}, what the folder holds before the run (by default it is left as it is).
        cancel_on_request: a URL path; once the server has seen it, the driver asks the dialog to
        stop the cancel_by way (see drive_updater.cpp). second_copy: the driver starts a second
        updater while the dialog shows. env: variables added to the updater's environment.
        kill_when: a condition on the player folder; once it holds, the run is killed outright (the
        driver and the updater, SIGKILL), as a crash or a power cut would end it."""
        if player is not None:
            shutil.rmtree(self.player)
            os.makedirs(self.player)
            write_tree(self.player, player)
        self.runs += 1
        report, trigger, errors_path = (os.path.join(self.work, "%s-%d" % (name, self.runs))
                                        for name in ("driver", "cancel", "wine-stderr"))
        command = WINE_RUN + [DRIVER, "--poll-ms", "20"]
        command += ["--cancel", cancel_by, windows_path(trigger)] if cancel_on_request else []
        command += ["--second"] if second_copy else []
        command += [windows_path(exe), windows_path(self.player)]
        server = getattr(self, "server", None)
        seen = len(server.requests) if server else 0
        if cancel_on_request:  # the driver asks to stop once the trigger file exists
            server.on_request = lambda path: path == cancel_on_request and open(trigger, "ab").close()
        with open(report, "wb") as out, open(errors_path, "wb") as errors:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=errors,
                                       start_new_session=True, env=dict(os.environ, **(env or {})))
        killed = False
        try:
            deadline = time.monotonic() + RUN_TIMEOUT_S
            while kill_when and process.poll() is None and time.monotonic() < deadline:
                if kill_when():
                    os.killpg(process.pid, signal.SIGKILL)
                    killed = True
                    break
                time.sleep(0.02)  # a poll of the folder: the condition itself is what is waited for
            process.wait(max(0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            pass
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            if server:
                server.on_request = None
        events = read_report(report)
        outcome = Outcome(events, read_tree(self.player).get("Updater/log_updater.lst"),
                          server.requests[seen:] if server else [], server.request_times[seen:] if server else [])
        if killed:
            return outcome
        if not events or events[-1]["event"] != "exit":
            with open(errors_path, "rb") as f:
                errors = f.read()[-2000:].decode("utf-8", "replace")
            self.fail("the run did not end: %r\nWine's standard error:\n%s" % (outcome, errors))
        return outcome

    def cancel_second_of_three(self, big_mib=1, way="click", fault=None, exe=UPDATER):
        """Three stale files, the second of big_mib MiB (fault on it when given), in a player
        folder with old versions of the last two; the driver asks the dialog to stop the way given
        as soon as the second is asked for. Checks what every cancel leaves and returns the Outcome:
        the file in flight and every later one fail, each with its own line, and the run ends
        without a box; the finished file is new, the cancelled ones keep their old versions, with
        no part left over; the third is never asked for."""
        # Random bytes repeated: a large body costs little to make, and still matches no old file.
        files = {"1.dds": payload("one", 5000), "2.dds": payload("two", 1 << 20) * big_mib,
                 "3.dds": payload("three", 7000)}
        self.server.faults.clear()
        self.server.sent.clear()
        manifest = self.publish(files)
        (p1, s1), (p2, s2), (p3, s3) = manifest_entries(manifest)
        if fault:
            self.server.set_fault(PACK_URL_PATH + "2.dds", fault)
        old = {"2.dds": payload("old two", 9000), "3.dds": payload("old three", 100)}

        outcome = self.run_updater(exe, player=old, cancel_on_request=PACK_URL_PATH + "2.dds", cancel_by=way)

        cancelled = [] if way == "quit" else [LOG_CANCELLED]  # a quit message counts, unlogged
        self.assertRun(outcome, CANCELLED, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % (p1, s1),
                                            LOG_DOWNLOADING % (p2, s2)] + cancelled +
                       [LOG_DOWNLOAD_ERROR % p2, LOG_DOWNLOADING % (p3, s3), LOG_DOWNLOAD_ERROR % p3],
                       dict(old, **{"1.dds": files["1.dds"]}), manifest,
                       [MANIFEST_URL_PATH, PACK_URL_PATH + "1.dds", PACK_URL_PATH + "2.dds"])
        return outcome

    def assertCancelEndsAtFullSpeed(self, exe=UPDATER):
        """Cancel while a large file arrives as fast as the server sends it: the click is taken
        within 50 ms, the run ends within half a second of it, and the rest of the body is never
        sent. A close on the program's thread that reads that rest fails both."""
        outcome = self.cancel_second_of_three(FULL_SPEED_BODY_MIB, exe=exe)
        self.assertTrue(outcome.dialogs[0]["cancel_enabled"], outcome)
        self.assertLess(outcome.greyed_ms - outcome.stop_ms, 50, outcome)
        self.assertLess(outcome.events[-1]["ms"] - outcome.stop_ms, 500, outcome)
        # Only what came before the click and what the connection's buffers took may have left.
        self.assertLess(self.server.sent[PACK_URL_PATH + "2.dds"], (FULL_SPEED_BODY_MIB << 20) // 2, outcome)

    def assertRun(self, outcome, end, log, files, manifest=None, requests=None):
        """The run ended as end says (exit status, box, the dialog's status lines), wrote exactly
        the log lines, with CR LF, and left exactly these files in the player folder besides its
        log and, when given, this copy of the manifest (so no temporary file either); and when
        given, asked the server for exactly these paths."""
        exit_code, box, status = end
        self.assertEqual(b"".join(line.encode("utf-8") + b"\r\n" for line in log), outcome.log, outcome)
        self.assertEqual(exit_code, outcome.exit_code, outcome)
        self.assertEqual([box] if box else [], outcome.boxes, outcome)
        # The status line shows "Mise à jour..." (when the driver is quick enough to see it), then
        # the final text; the empty text of the first instants does not count.
        seen = [text for text, _ in itertools.groupby(d["status"] for d in outcome.dialogs if d["status"])]
        if status is None:
            self.assertEqual([], outcome.dialogs, outcome)
        else:
            self.assertIn(seen, ([status], [UPDATING, status]), outcome)
        expected = dict(files, **{"Updater/log_updater.lst": outcome.log})
        if manifest is not None:
            expected["Updater/manifest.xml"] = manifest
        self.assertEqual(digests(expected), digests(read_tree(self.player)), "files of the player folder")
        if requests is not None:
            self.assertEqual(requests, outcome.requests, "paths asked for")

    def assertGivenUpAfterTheTimeout(self, outcome, path):
        """The transfer of path, which got no byte for good, was given up between once and twice
        the network time-out after the server saw its request: the box that follows, on the same
        clock, came no sooner and not much later. (The updater's own wait starts as it sends the
        request, a moment before the server sees it.)"""
        waited = outcome.box_time - outcome.request_times[outcome.requests.index(path)]
        self.assertGreaterEqual(waited, 0.9 * NETWORK_TIMEOUT_MS / 1000, outcome)
        self.assertLess(waited, 2 * NETWORK_TIMEOUT_MS / 1000, outcome)
