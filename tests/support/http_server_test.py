#!/usr/bin/env python3
"""The test web server: what its faults put on the wire, and a stop that never hangs."""

import http.client
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from http_server import TestServer, deterministic_bytes  # noqa: E402


def get(server, path):
    """(status, headers, body) of one GET; body is what arrived before the connection ended."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        try:
            body = response.read()
        except http.client.IncompleteRead as cut:
            body = cut.partial
        return response.status, response.headers, body
    finally:
        connection.close()


class TestServerTest(unittest.TestCase):
    def setUp(self):
        self.server = TestServer().start()
        self.addCleanup(self.server.stop)

    def test_faults_on_the_wire(self):
        status, headers, body = get(self.server, "/fault/drop/100/bytes/5000")
        self.assertEqual((status, headers["Content-Length"], body), (200, "5000", deterministic_bytes(100)))
        status, headers, body = get(self.server, "/fault/nolength/bytes/5000")
        self.assertEqual((headers["Content-Length"], body), (None, deterministic_bytes(5000)))
        self.assertEqual(get(self.server, "/fault/slow/1000/20/bytes/3000")[2], deterministic_bytes(3000))
        self.server.add_file("/m.xml", b"<update/>")
        self.server.set_fault("/m.xml", "hangup:100")
        status, headers, body = get(self.server, "/m.xml")
        self.assertEqual((status, headers["Content-Length"], body), (200, "9", b""))
        self.server.set_fault("/m.xml", "500")
        self.assertEqual(get(self.server, "/m.xml")[0], 500)
        self.assertEqual(self.server.requests[-1], "/m.xml")

    def test_stop_ends_stalled_and_idle_connections(self):
        idle = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        idle.request("GET", "/bytes/1")
        idle.getresponse().read()  # the connection stays open (keep-alive)
        stalled = []
        reader = threading.Thread(target=lambda: stalled.append(get(self.server, "/fault/stall/bytes/10")))
        reader.start()
        time.sleep(0.3)
        self.assertTrue(reader.is_alive())
        threads = threading.active_count()
        stopper = threading.Thread(target=self.server.stop, daemon=True)
        stopper.start()
        stopper.join(3)
        self.assertFalse(stopper.is_alive(), "stop() hangs")
        reader.join(5)
        self.assertEqual(stalled[0][2], b"")
        # Gone: the serving thread and both connection threads (the reader's ended too).
        self.assertEqual(threading.active_count(), threads - 4)
        idle.close()


if __name__ == "__main__":
    unittest.main()
