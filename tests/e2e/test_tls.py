"""The manifest and the pack over HTTPS, with a test certificate authority that only the test Wine
prefix trusts, and a server whose certificate comes from an authority nobody trusts."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (ADD_ROOT_CERT, BOX_DONE, BOX_FAILED, BUILD_DIR, EXIT_NO_MANIFEST, EXIT_OK,
                     HTTPS_PORT, LOG_INVALID, LOG_MANIFEST, LOG_VALID, STATUS_DONE, UPDATER_TLS,
                     WINE_RUN, WORK_DIR, UpdaterCase, log_downloading, manifest_entries, payload,
                     windows_path)

# Wine matches the host name against DNS entries only; the IP entry is what Windows uses.
SERVER_NAMES = "subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1\n"


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_authority(folder, name):
    """A CA (name.pem, name.key) and a server certificate it signed (name-server.pem/.key)."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=Livery pack test authority %s" % name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", name + ".key", "-out", name + ".pem", cwd=folder)
    with open(os.path.join(folder, name + ".ext"), "w") as f:
        f.write(SERVER_NAMES + "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", name + "-server.key", "-out", name + "-server.csr", cwd=folder)
    openssl("x509", "-req", "-in", name + "-server.csr", "-CA", name + ".pem", "-CAkey", name + ".key",
            "-CAcreateserial", "-days", "2", "-extfile", name + ".ext", "-out", name + "-server.pem",
            cwd=folder)
    return (os.path.join(folder, name + "-server.pem"), os.path.join(folder, name + "-server.key"))


def root_store(*args):
    """Runs add_root_cert.exe in the test prefix (never the host's certificate stores)."""
    result = subprocess.run([WINE_RUN, BUILD_DIR, ADD_ROOT_CERT] + list(args), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
    if result.returncode != 0:
        raise AssertionError("add_root_cert %s: %s" % (" ".join(args), result.stderr.decode(errors="replace")))


class HttpsTest(UpdaterCase):

    @classmethod
    def setUpClass(cls):
        os.makedirs(WORK_DIR, exist_ok=True)
        cls.certs = tempfile.mkdtemp(prefix="certs-", dir=WORK_DIR)
        cls.addClassCleanup(shutil.rmtree, cls.certs, True)
        cls.trusted = make_authority(cls.certs, "trusted")
        cls.untrusted = make_authority(cls.certs, "untrusted")
        ca = windows_path(os.path.join(cls.certs, "trusted.pem"))
        root_store(ca)
        cls.addClassCleanup(root_store, "--remove", ca)

    def test_install_over_https(self):
        self.start_server(port=HTTPS_PORT, certfile=self.trusted[0], keyfile=self.trusted[1])
        files = {"Grey/skin.dds": payload("skin", 6000), "readme.txt": payload("readme", 10)}
        manifest = self.publish(files)
        entries = manifest_entries(manifest)
        self.assertTrue(all(src.startswith("https://127.0.0.1:") for _, src in entries))

        outcome = self.run_updater(UPDATER_TLS)

        self.assertLog(outcome, [LOG_MANIFEST, LOG_VALID,
                                 log_downloading(*entries[0]),
                                 '[ OK ] Created directory: "%s"' % windows_path(os.path.join(self.player, "Grey")),
                                 log_downloading(*entries[1])])
        self.assertEqual(EXIT_OK, outcome.exit_code, outcome)
        self.assertStatuses(outcome, STATUS_DONE)
        self.assertBox(outcome, BOX_DONE, "information", "dialog")
        self.assertPlayerFiles(files, manifest)

    def test_certificate_from_an_unknown_authority_is_refused(self):
        server = self.start_server(port=HTTPS_PORT, certfile=self.untrusted[0], keyfile=self.untrusted[1])
        self.publish({"skin.dds": payload("skin", 6000)})

        outcome = self.run_updater(UPDATER_TLS)

        self.assertLog(outcome, [LOG_MANIFEST, LOG_INVALID])
        self.assertEqual(EXIT_NO_MANIFEST, outcome.exit_code, outcome)
        self.assertBox(outcome, BOX_FAILED, "error", "none")
        self.assertPlayerFiles({})
        self.assertEqual([], server.requests, "no request is sent over an untrusted connection")


if __name__ == "__main__":
    unittest.main()
