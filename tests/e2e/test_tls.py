"""The manifest and the pack over HTTPS, with a test certificate authority that only the test Wine
prefix trusts, and a server whose certificate comes from an authority nobody trusts."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (ADD_ROOT_CERT, DONE, HTTPS_PORT, LOG_DOWNLOADING, LOG_INVALID, LOG_MANIFEST, LOG_VALID,
                     NO_MANIFEST, UPDATER_TLS, WINE_RUN, WORK_DIR, UpdaterCase, manifest_entries, payload,
                     windows_path)


def make_authority(folder, name):
    """A certificate authority name.pem and a server certificate it signed: (cert, key) files."""
    def request(*args):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", *args],
                       cwd=folder, check=True, timeout=60, capture_output=True)
    request("-subj", "/CN=Livery pack test authority " + name, "-keyout", name + ".key", "-out", name + ".pem",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    # Wine matches the host name against DNS entries only; the IP entry is what Windows uses.
    request("-subj", "/CN=127.0.0.1", "-CA", name + ".pem", "-CAkey", name + ".key",
            "-addext", "subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1",
            "-addext", "basicConstraints=CA:FALSE", "-addext", "extendedKeyUsage=serverAuth",
            "-keyout", name + "-server.key", "-out", name + "-server.pem")
    return os.path.join(folder, name + "-server.pem"), os.path.join(folder, name + "-server.key")


class HttpsTest(UpdaterCase):

    @classmethod
    def setUpClass(cls):
        os.makedirs(WORK_DIR, exist_ok=True)
        certs = tempfile.mkdtemp(prefix="certs-", dir=WORK_DIR)
        cls.addClassCleanup(shutil.rmtree, certs, True)
        cls.trusted, cls.untrusted = make_authority(certs, "trusted"), make_authority(certs, "untrusted")
        subprocess.run(WINE_RUN + [ADD_ROOT_CERT, windows_path(os.path.join(certs, "trusted.pem"))],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=60)

    def test_install_over_https(self):
        self.start_server(HTTPS_PORT, self.trusted)
        files = {"skin.dds": payload("skin", 6000), "readme.txt": payload("readme", 10)}
        manifest = self.publish(files)

        outcome = self.run_updater(UPDATER_TLS)

        self.assertRun(outcome, DONE,
                       [LOG_MANIFEST, LOG_VALID] + [LOG_DOWNLOADING % entry for entry in manifest_entries(manifest)],
                       files, manifest)

    def test_certificate_from_an_unknown_authority_is_refused(self):
        self.start_server(HTTPS_PORT, self.untrusted)
        self.publish({"skin.dds": payload("skin", 6000)})

        outcome = self.run_updater(UPDATER_TLS)

        # No request is sent over an untrusted connection.
        self.assertRun(outcome, NO_MANIFEST, [LOG_MANIFEST, LOG_INVALID], {}, requests=[])


if __name__ == "__main__":
    unittest.main()
