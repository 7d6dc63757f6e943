"""A web server on 127.0.0.1 that can misbehave on purpose: the tests' and the demo's.

TestServer(port=0, certfile=None, keyfile=None).start(), then add_file(path, data),
set_fault(path, fault), add_redirect(path, location, status=302), base_url, requests (the paths
asked for, percent-decoded, in order), request_times (when each was asked for, on the system's
clock: time.time()), connections (how many were accepted; over TLS, once their handshake
succeeded), sent ({path: body bytes handed to the connection}, summed over its requests),
on_request (None, or called with each path as it is asked for) and stop(), which also ends every
connection still open.
Any path not added is a 404; a redirect answers with its status, its Location as given and a short
body, and keeps the connection open.

Faults: "404", "500"; "drop:N:MS" (the full Content-Length, N body bytes, MS ms later a hang-up);
"reset:N:MS" (the same, ended by a reset instead); "slow:CHUNK:MS" (the body in CHUNK-byte pieces MS
ms apart); "nolength" (no Content-Length: the hang-up ends the body); "stall:N" (the headers and N
body bytes, then nothing until the server stops); "mute" (no answer at all until the server stops).

As a program: python3 http_server.py ROOT PORT [FAULT] serves the files under ROOT (read at the
start) on 127.0.0.1:PORT, each with FAULT (e.g. slow:65536:64, about 1 MB/s), until it is ended.
"""

import http.server
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

_PIECE = 65536

FAULT_ARGS = {"404": 0, "500": 0, "drop": 2, "reset": 2, "slow": 2, "nolength": 0, "stall": 1, "mute": 0}


def _shut(connection):
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, bodies delimited by Content-Length

    def setup(self):
        if self.server.ssl_context:
            # The handshake runs on the connection's own thread, bounded: stop() joins it.
            self.request.settimeout(5)
            self.request = self.server.ssl_context.wrap_socket(self.request, server_side=True)
            self.request.settimeout(None)
        super().setup()
        self.server.track(self.request, True)

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.track(self.request, False)
            self.request.close()  # the TLS socket: the server closes only the plain one it accepted

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        owner = self.server.owner
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        owner.request_times.append(time.time())
        owner.requests.append(path)
        if owner.on_request:
            owner.on_request(path)
        if path in owner.redirects:
            # Headers and body in one write, as a web server sends a short answer: the client has
            # all of it together and may keep the connection when it leaves the body unread.
            status, location = owner.redirects[path]
            body = b"<html><body>Moved</body></html>\n"
            self.wfile.write(b"HTTP/1.1 %d Moved\r\nLocation: %s\r\nContent-Length: %d\r\n\r\n%s"
                             % (status, location.encode(), len(body), body))
            return
        kind, args = owner.faults.get(path, (None, []))
        body = owner.files.get(path)
        if kind == "mute":
            owner.stopping.wait()
            self.close_connection = True
            return
        code = int(kind) if kind in ("404", "500") else 200 if body is not None else 404
        if code != 200:
            kind, body = None, b"<html><body><h1>%d</h1></body></html>\n" % code
        self.send_response(code)
        if kind == "nolength":
            self.send_header("Connection", "close")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        # Closed after the answer when the client asked for it, and for every fault that ends a body early.
        self.close_connection = self.close_connection or kind not in (None, "slow")
        if kind in ("drop", "reset", "stall"):
            self.wfile.write(body[:args[0]])
            stopped = owner.stopping.wait(None if kind == "stall" else args[1] / 1000)
            if kind == "reset" and not stopped:
                # A zero linger time makes the close a reset; finish() then has nothing left to close.
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.connection.close()
        elif kind == "slow":
            for start in range(0, len(body), args[0]):
                if start and owner.stopping.wait(args[1] / 1000):
                    return
                self.wfile.write(body[start:start + args[0]])
        else:
            # In pieces, so that sent tells how much of a body left before the client hung up.
            view = memoryview(body)
            for start in range(0, len(body), _PIECE):
                piece = view[start:start + _PIECE]
                self.wfile.write(piece)
                owner.sent[path] = owner.sent.get(path, 0) + len(piece)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = False  # server_close() then joins every connection thread

    def __init__(self, owner, port, ssl_context):
        self.owner, self.ssl_context, self.connections = owner, ssl_context, set()
        super().__init__(("127.0.0.1", port), _Handler)

    def track(self, connection, alive):
        # Every open connection is known, so stop() can wake threads that wait on one; a
        # connection accepted while stopping is shut at once.
        with self.owner.lock:
            if not alive:
                self.connections.discard(connection)
            elif self.owner.stopping.is_set():
                _shut(connection)
            else:
                self.connections.add(connection)
                self.owner.connections += 1

    def handle_error(self, request, client_address):
        # A client that hangs up early (or rejects the certificate) is part of what is tested.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


class TestServer:
    """A web server on 127.0.0.1 serving added files and faults, in threads of this process."""

    def __init__(self, port=0, certfile=None, keyfile=None):
        self.port = port
        self.ssl_context = None
        if certfile:
            self.ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ssl_context.load_cert_chain(certfile, keyfile)
        self.files, self.faults, self.redirects, self.on_request = {}, {}, {}, None
        self.requests, self.request_times, self.sent = [], [], {}
        self.connections = 0
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self._server = None

    def start(self):
        self._server = _Server(self, self.port, self.ssl_context)
        self.port = self._server.server_address[1]
        self.base_url = "%s://127.0.0.1:%d" % ("https" if self.ssl_context else "http", self.port)
        threading.Thread(target=self._server.serve_forever, args=(0.1,), daemon=True).start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if server is None:
            return
        self.stopping.set()
        server.shutdown()
        with self.lock:
            for connection in server.connections:
                _shut(connection)
        server.server_close()

    def add_file(self, url_path, data):
        self.files[url_path] = bytes(data)

    def add_redirect(self, url_path, location, status=302):
        self.redirects[url_path] = (status, location)

    def set_fault(self, url_path, fault):
        kind, *args = fault.split(":")
        if FAULT_ARGS.get(kind) != len(args) or not all(a.isdigit() for a in args):
            raise ValueError("unknown fault %r" % fault)
        self.faults[url_path] = (kind, [int(a) for a in args])


if __name__ == "__main__":
    import os
    import signal
    root, port, faults = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    server = TestServer(port)
    for folder, _, names in os.walk(root):
        for name in names:
            url_path = "/" + os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
            with open(os.path.join(folder, name), "rb") as f:
                server.add_file(url_path, f.read())
            for fault in faults:
                server.set_fault(url_path, fault)
    ending = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, ending)  # blocked in every thread, taken by sigwait
    server.start()
    signal.sigwait(ending)
    server.stop()
