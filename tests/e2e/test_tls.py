"""The manifest and the pack over HTTPS, with a test certificate authority that only the test Wine
prefix trusts; servers whose certificate comes from an authority nobody trusts, or from the
trusted one but for another host name or outside its dates."""

import os
import shutil
import tempfile
import unittest

from harness import (ADD_ROOT_CERT, BUILD_DIR, DONE, HTTPS_PORT, LOG_DOWNLOAD_ERROR, LOG_DOWNLOADING, LOG_INVALID,
                     LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID, MANIFEST_URL_PATH, NO_MANIFEST, NO_UPDATE, PACK_URL_PATH,
                     SOME_FAILED, UPDATER_TLS, WORK_DIR, UpdaterCase, manifest_entries, manifest_xml, md5_hex,
                     payload)
from test_authority import make_authority, server_certificate, trust_authority


class HttpsTest(UpdaterCase):

    @classmethod
    def setUpClass(cls):
        os.makedirs(WORK_DIR, exist_ok=True)
        certs = tempfile.mkdtemp(prefix="certs-", dir=WORK_DIR)
        cls.addClassCleanup(shutil.rmtree, certs, True)
        cls.trusted, cls.untrusted = make_authority(certs, "trusted"), make_authority(certs, "untrusted")
        trust_authority(BUILD_DIR, ADD_ROOT_CERT, certs, "trusted")
        # From the trusted authority, but not for this server or not for now.
        cls.refused = {"another host": server_certificate(certs, "trusted", "other-host", "DNS:other.example"),
                       "expired": server_certificate(certs, "trusted", "expired", valid_days=(-1, -0.5)),
                       "not yet valid": server_certificate(certs, "trusted", "early", valid_days=(0.5, 1))}

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

    def test_certificates_of_the_trusted_authority_not_valid_here_and_now_are_refused(self):
        # Each is refused before any request is sent: for the manifest, whose earlier copy is then
        # used, and for a pack file, which keeps its earlier version while the next file arrives.
        skin, wing, old_skin = payload("skin", 6000), payload("wing", 3000), payload("old skin", 5000)
        for certificate, target in [(c, t) for c in self.refused for t in ("manifest", "pack file")]:
            with self.subTest(certificate=certificate, target=target):
                # A pack file's server has a port of its own; the manifest's is the updater's.
                refused = self.start_server(0, self.refused[certificate]) if target == "pack file" else None
                server = self.start_server(HTTPS_PORT, self.trusted if refused else self.refused[certificate])
                refused = refused or server
                try:
                    self.check_refusal(refused, target == "manifest", skin, wing, old_skin)
                finally:  # the next row listens on the same port
                    server.stop()
                    refused.stop()

    def check_refusal(self, refused, of_manifest, skin, wing, old_skin):
        entries = [("skin.dds", len(skin), md5_hex(skin), refused.base_url + PACK_URL_PATH + "skin.dds"),
                   ("wing.dds", len(wing), md5_hex(wing), self.server.base_url + PACK_URL_PATH + "wing.dds")]
        manifest = manifest_xml(entries)
        self.server.add_file(MANIFEST_URL_PATH, manifest)
        refused.add_file(PACK_URL_PATH + "skin.dds", skin)
        self.server.add_file(PACK_URL_PATH + "wing.dds", wing)
        if of_manifest:
            current = {"skin.dds": skin, "wing.dds": wing}
            outcome = self.run_updater(UPDATER_TLS, player=dict(current, **{"Updater/manifest.xml": manifest}))
            self.assertRun(outcome, NO_UPDATE, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE], current, manifest, [])
        else:
            outcome = self.run_updater(UPDATER_TLS, player={"skin.dds": old_skin})
            (skin_entry, wing_entry) = manifest_entries(manifest)
            self.assertRun(outcome, SOME_FAILED, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % skin_entry,
                                                  LOG_DOWNLOAD_ERROR % "skin.dds", LOG_DOWNLOADING % wing_entry],
                           {"skin.dds": old_skin, "wing.dds": wing}, manifest,
                           [MANIFEST_URL_PATH, PACK_URL_PATH + "wing.dds"])
            self.assertEqual([], refused.requests, "requests over the refused connection")


if __name__ == "__main__":
    unittest.main()
