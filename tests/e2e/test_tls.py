"""The manifest and the pack over HTTPS, with a test certificate authority that only the test Wine
prefix trusts, a Cancel while the pack arrives at full speed, and a server whose certificate comes
from an authority nobody trusts."""

import os
import shutil
import tempfile
import unittest

from harness import (ADD_ROOT_CERT, BUILD_DIR, DONE, HTTPS_PORT, LOG_DOWNLOADING, LOG_INVALID, LOG_MANIFEST,
                     LOG_VALID, NO_MANIFEST, UPDATER_TLS, WORK_DIR, UpdaterCase, manifest_entries, payload)
from test_authority import make_authority, trust_authority


class HttpsTest(UpdaterCase):

    @classmethod
    def setUpClass(cls):
        os.makedirs(WORK_DIR, exist_ok=True)
        certs = tempfile.mkdtemp(prefix="certs-", dir=WORK_DIR)
        cls.addClassCleanup(shutil.rmtree, certs, True)
        cls.trusted, cls.untrusted = make_authority(certs, "trusted"), make_authority(certs, "untrusted")
        trust_authority(BUILD_DIR, ADD_ROOT_CERT, certs, "trusted")

    def test_install_over_https(self):
        self.start_server(HTTPS_PORT, self.trusted)
        files = {"skin.dds": payload("skin", 6000), "readme.txt": payload("readme", 10)}
        manifest = self.publish(files)

        outcome = self.run_updater(UPDATER_TLS)

        self.assertRun(outcome, DONE,
                       [LOG_MANIFEST, LOG_VALID] + [LOG_DOWNLOADING % entry for entry in manifest_entries(manifest)],
                       files, manifest)
        # One handshake for the whole run: the connection is kept from the manifest to the last file.
        self.assertEqual(1, self.server.connections_opened)

    def test_cancel_while_bytes_arrive_at_full_speed(self):
        self.start_server(HTTPS_PORT, self.trusted)
        self.assertCancelEndsAtFullSpeed(UPDATER_TLS)

    def test_certificate_from_an_unknown_authority_is_refused(self):
        self.start_server(HTTPS_PORT, self.untrusted)
        self.publish({"skin.dds": payload("skin", 6000)})

        outcome = self.run_updater(UPDATER_TLS)

        # No request is sent over an untrusted connection.
        self.assertRun(outcome, NO_MANIFEST, [LOG_MANIFEST, LOG_INVALID], {}, requests=[])


if __name__ == "__main__":
    unittest.main()
