"""The manifest and the pack over HTTPS, with a test certificate authority that only the test Wine
prefix trusts; a Cancel while the pack arrives at full speed; servers whose certificate comes from
an authority nobody trusts, or from the trusted one but for another host name or outside its
dates; and redirects: nothing asked for over HTTPS is ever taken from plain HTTP."""

import os
import shutil
import tempfile
import unittest

from harness import (ADD_ROOT_CERT, BUILD_DIR, CANCELLED, DONE, HTTP_PORT, HTTPS_PORT, LOG_CANCELLED,
                     LOG_DOWNLOAD_ERROR, LOG_DOWNLOADING, LOG_INVALID, LOG_MANIFEST, LOG_NO_UPDATE, LOG_VALID,
                     MANIFEST_URL_PATH, NO_MANIFEST, NO_UPDATE, PACK_URL_PATH, SOME_FAILED, UPDATER, UPDATER_TLS,
                     WORK_DIR, UpdaterCase, manifest_entries, manifest_xml, md5_hex, payload)
from http_server import TestServer
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

    def test_cancel_while_bytes_arrive_at_full_speed(self):
        self.start_server(HTTPS_PORT, self.trusted)
        self.assertCancelEndsAtFullSpeed(UPDATER_TLS)

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

    def test_redirect_from_https_to_plain_http_is_refused(self):
        # The plain server holds what an attacker on the path would serve: a manifest naming a
        # script of his, and the true bytes of the pack file, so that only the refusal can fail it.
        plain = self.start_server(HTTP_PORT)
        self.start_server(HTTPS_PORT, self.trusted)
        pack = {"skin.dds": payload("skin", 5000), "Grey/desc.lua": payload("desc", 300)}
        earlier = self.publish(pack)
        evil = payload("evil", 200)
        plain.add_file(PACK_URL_PATH + "evil.lua", evil)
        plain.add_file(MANIFEST_URL_PATH, manifest_xml(
            [("Grey/desc.lua", 200, md5_hex(evil), plain.base_url + PACK_URL_PATH + "evil.lua")]))
        # The manifest: refused like an unreachable server. The earlier copy is used when there is
        # one, and none is written from the refused answer.
        self.server.add_redirect(MANIFEST_URL_PATH, plain.base_url + MANIFEST_URL_PATH)
        for before, end, log, manifest in ((dict(pack, **{"Updater/manifest.xml": earlier}), NO_UPDATE,
                                            [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE], earlier),
                                           ({}, NO_MANIFEST, [LOG_MANIFEST, LOG_INVALID], None)):
            with self.subTest(earlier_copy=manifest is not None):
                outcome = self.run_updater(UPDATER_TLS, player=before)

                self.assertRun(outcome, end, log, pack if before else {}, manifest, [MANIFEST_URL_PATH])
                self.assertEqual([], plain.requests)

        # A pack file: its download fails and the old version stays.
        with self.subTest("pack file"):
            del self.server.redirects[MANIFEST_URL_PATH]
            new_skin = payload("skin v2", 6000)
            plain.add_file(PACK_URL_PATH + "skin.dds", new_skin)
            manifest = self.publish({"skin.dds": new_skin, "Grey/desc.lua": pack["Grey/desc.lua"]})
            self.server.add_redirect(PACK_URL_PATH + "skin.dds", plain.base_url + PACK_URL_PATH + "skin.dds", 307)
            skin_src = dict(manifest_entries(manifest))["skin.dds"]

            outcome = self.run_updater(UPDATER_TLS, player=pack)

            self.assertRun(outcome, SOME_FAILED, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % ("skin.dds", skin_src),
                                                  LOG_DOWNLOAD_ERROR % "skin.dds"], pack, manifest,
                           [MANIFEST_URL_PATH, PACK_URL_PATH + "skin.dds"])
            self.assertEqual([], plain.requests)

    def test_redirects_that_stay_on_https_or_go_to_it_are_followed(self):
        plain = self.start_server(HTTP_PORT)
        self.start_server(HTTPS_PORT, self.trusted)
        files = {"skin.dds": payload("skin", 6000), "readme.txt": payload("readme", 10)}
        manifest = self.publish(files)
        # The manifest moved to another path (a Location relative to the URL asked for), a pack
        # file to another host name of the same server, whose certificate is checked for that name.
        moved = "/moved/manifest_ZIR.xml"
        self.server.add_file(moved, manifest)
        self.server.add_redirect(MANIFEST_URL_PATH, moved, 301)
        other_host = "https://localhost:%d/elsewhere/skin.dds" % self.server.port
        self.server.add_file("/elsewhere/skin.dds", files["skin.dds"])
        self.server.add_redirect(PACK_URL_PATH + "skin.dds", other_host, 302)
        log = [LOG_MANIFEST, LOG_VALID] + [LOG_DOWNLOADING % entry for entry in manifest_entries(manifest)]
        # readme.txt comes before skin.dds in the manifest.
        requests = [MANIFEST_URL_PATH, moved, PACK_URL_PATH + "readme.txt", PACK_URL_PATH + "skin.dds",
                    "/elsewhere/skin.dds"]

        outcome = self.run_updater(UPDATER_TLS)

        self.assertRun(outcome, DONE, log, files, manifest, requests)
        self.assertEqual([], plain.requests)
        # The connection is kept across a redirect on the same host: one more for the other name.
        self.assertEqual(2, self.server.connections)

        # From plain HTTP to HTTPS: followed.
        with self.subTest("http to https"):
            plain.add_redirect(MANIFEST_URL_PATH, self.server.base_url + moved, 302)

            outcome = self.run_updater(UPDATER, player={})

            self.assertRun(outcome, DONE, log, files, manifest, requests[1:])
            self.assertEqual([MANIFEST_URL_PATH], plain.requests)

        # The target's certificate is checked like any other: one nobody trusts fails the file.
        with self.subTest("untrusted target"):
            untrusted = TestServer(0, *self.untrusted).start()
            self.addCleanup(untrusted.stop)
            untrusted.add_file("/elsewhere/skin.dds", files["skin.dds"])
            self.server.add_redirect(PACK_URL_PATH + "skin.dds", untrusted.base_url + "/elsewhere/skin.dds")
            before = {"readme.txt": files["readme.txt"]}

            outcome = self.run_updater(UPDATER_TLS, player=before)

            skin = LOG_DOWNLOADING % ("skin.dds", dict(manifest_entries(manifest))["skin.dds"])
            self.assertRun(outcome, SOME_FAILED, [LOG_MANIFEST, LOG_VALID, skin, LOG_DOWNLOAD_ERROR % "skin.dds"],
                           before, manifest)
            self.assertEqual([], untrusted.requests)

    def test_redirected_transfers_keep_their_bounds(self):
        self.start_server(HTTPS_PORT, self.trusted)
        pack = {"skin.dds": payload("skin", 5000)}
        earlier = self.publish(pack)
        new_skin = payload("skin v2", 5000)
        manifest = self.publish({"skin.dds": new_skin})
        skin_src = manifest_entries(manifest)[0][1]
        with_earlier = dict(pack, **{"Updater/manifest.xml": earlier})
        # Two URLs that send each other back: the run gives up after five redirects and uses the
        # earlier manifest.
        back = "/DIR_Ovuduza/back.xml"
        self.server.add_redirect(MANIFEST_URL_PATH, back)
        self.server.add_redirect(back, self.server.base_url + MANIFEST_URL_PATH)

        outcome = self.run_updater(UPDATER_TLS, player=with_earlier)

        self.assertRun(outcome, NO_UPDATE, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE], pack, earlier,
                       [MANIFEST_URL_PATH, back] * 3)

        # The status of the final answer is checked, and a target that never answers is given up
        # on after the network time-out.
        moved = "/moved/manifest_ZIR.xml"
        self.server.add_redirect(MANIFEST_URL_PATH, moved)
        for fault in ("404", "mute"):
            with self.subTest(target=fault):
                self.server.set_fault(moved, fault)

                outcome = self.run_updater(UPDATER_TLS, player=with_earlier)

                self.assertRun(outcome, NO_UPDATE, [LOG_MANIFEST, LOG_VALID, LOG_NO_UPDATE], pack, earlier,
                               [MANIFEST_URL_PATH, moved])
                if fault == "mute":
                    self.assertGivenUpAfterTheTimeout(outcome, moved)

        # Cancel ends the wait for it at once.
        del self.server.redirects[MANIFEST_URL_PATH]
        self.server.add_redirect(PACK_URL_PATH + "skin.dds", "/moved/skin.dds")
        self.server.set_fault("/moved/skin.dds", "mute")
        outcome = self.run_updater(UPDATER_TLS, player=pack, cancel_on_request="/moved/skin.dds")

        self.assertRun(outcome, CANCELLED, [LOG_MANIFEST, LOG_VALID, LOG_DOWNLOADING % ("skin.dds", skin_src),
                                            LOG_CANCELLED, LOG_DOWNLOAD_ERROR % "skin.dds"], pack, manifest,
                       [MANIFEST_URL_PATH, PACK_URL_PATH + "skin.dds", "/moved/skin.dds"])
        self.assertLess(outcome.events[-1]["ms"] - outcome.stop_ms, 500, outcome)


if __name__ == "__main__":
    unittest.main()
