#!/usr/bin/env python3
"""A web server for tests, on 127.0.0.1, that misbehaves on purpose.

Python (import this module):

    with TestServer(root=folder) as server:          # certfile/keyfile for HTTPS
        server.add_file("/pack/a.dds", b"...")        # in memory, overrides root
        server.set_fault("/pack/a.dds", "drop:100")   # None clears one, clear_faults() all
        url = server.base_url + "/pack/a.dds"
        ...
        server.requests                               # paths seen, in order

Faults: "404" and "500" (small HTML body); "drop:N" (announce the full Content-Length, send N
body bytes, close the connection); "stall" (headers, then nothing until the server stops);
"hangup:MS" (headers, then nothing for MS ms, then the connection closes, as a server's idle
time-out does); "slow:CHUNK:DELAY_MS" (the whole body in CHUNK-byte pieces with a pause between
them); "nolength" (no Content-Length; closing the connection ends the body).

Routes, for programs that cannot call Python (under Wine, for instance):

    /bytes/N                          N deterministic bytes: byte i is i % 251
    /fault/404/REST, /fault/500/REST  that error instead of REST
    /fault/drop/N/REST                REST's body cut after N bytes
    /fault/stall/REST                 REST's headers, then nothing
    /fault/hangup/MS/REST             REST's headers, then nothing for MS ms, then a hang-up
    /fault/slow/CHUNK/MS/REST         REST's body, slowly
    /fault/nolength/REST              REST's body without a Content-Length
    /requests                         the paths seen so far, one a line (text/plain)

REST is any path of the server without its leading slash, e.g. /fault/drop/100/bytes/5000.
Everything else is an in-memory file, then a file under root, else 404.

Command line, for ctest fixtures:

    http_server.py serve --root DIR --port-file F --pid-file P [--log L] [--certfile C --keyfile K]
    http_server.py stop --pid-file P

"serve" first stops a server still recorded in P, then returns once the new one listens in the
background and its port is in F; "stop" ends it and waits until it is gone.
"""

import argparse
import http.server
import os
import select
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

ERROR_BODY = b"<html><body><h1>%d %s</h1></body></html>\n"
FAULT_ARGS = {"404": 0, "500": 0, "stall": 0, "nolength": 0, "drop": 1, "hangup": 1, "slow": 2}


def deterministic_bytes(count):
    """The body of /bytes/N: byte i is i % 251 (a prime, so no 256-byte period)."""
    pattern = bytes(range(251))
    return (pattern * (count // 251 + 1))[:count]


def parse_fault(fault):
    """("kind", args) from a fault string; ValueError when it means nothing."""
    parts = fault.split(":")
    kind, args = parts[0], parts[1:]
    if FAULT_ARGS.get(kind) != len(args) or not all(a.isdigit() for a in args):
        raise ValueError("unknown fault %r" % fault)
    return kind, [int(a) for a in args]


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, bodies delimited by Content-Length
    server_version = "TestServer/1"

    def setup(self):
        if self.server.ssl_context is not None:
            # The TLS handshake happens here, on the connection's own thread; bounded, because
            # stop() waits for this thread and cannot wake it during the handshake.
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

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("%s %s\n" % (self.log_date_time_string(), format % args))

    def do_GET(self):
        owner = self.server.owner
        owner._record(self.path)
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        fault = owner._fault_for(path)
        if path == "/requests":
            body = "".join(p + "\n" for p in owner.requests).encode()
            return self._send(body, None, content_type="text/plain")
        if fault is None and path.startswith("/fault/"):
            fault, path = self._fault_from_route(path)
            if fault is None:
                return self._send_error(404)
        body = owner._body_for(path)
        if fault is not None and fault[0] in ("404", "500"):
            return self._send_error(int(fault[0]))
        if body is None:
            return self._send_error(404)
        return self._send(body, fault)

    def _fault_from_route(self, path):
        """The fault and the remaining path of a /fault/... route, (None, None) when malformed."""
        words = path.split("/")[2:]
        n = FAULT_ARGS.get(words[0] if words else None)
        if n is None or len(words) < n + 2:
            return None, None
        try:
            fault = parse_fault(":".join(words[: n + 1]))
        except ValueError:
            return None, None
        return fault, "/" + "/".join(words[n + 1:])

    def _send_error(self, code):
        body = ERROR_BODY % (code, self.responses[code][0].encode())
        self._send(body, None, code=code, content_type="text/html")

    def _send(self, body, fault, code=200, content_type="application/octet-stream"):
        kind, args = fault if fault else (None, [])
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        if kind == "nolength":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.flush()
        if kind == "drop":
            self.wfile.write(body[: args[0]])
            self.wfile.flush()
            self.close_connection = True
        elif kind == "stall":
            self._stall(None)
        elif kind == "hangup":
            self._stall(args[0] / 1000.0)
        elif kind == "slow":
            self._send_slowly(body, max(1, args[0]), args[1] / 1000.0)
        else:
            self.wfile.write(body)

    def _stall(self, seconds):
        # Holds the connection until the time is up, the server stops or the client closes.
        self.close_connection = True
        stopping = self.server.owner._stopping
        deadline = None if seconds is None else time.monotonic() + seconds
        while not stopping.wait(0.05):
            if deadline is not None and time.monotonic() >= deadline:
                return
            readable, _, _ = select.select([self.connection], [], [], 0)
            if readable:
                try:
                    if not self.connection.recv(1):
                        return
                except (OSError, ValueError):
                    return

    def _send_slowly(self, body, chunk, delay):
        stopping = self.server.owner._stopping
        for start in range(0, len(body), chunk):
            if start and stopping.wait(delay):
                self.close_connection = True
                return
            self.wfile.write(body[start:start + chunk])
            self.wfile.flush()


def _shut(connection):
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class _Server(http.server.ThreadingHTTPServer):
    # server_close() joins only non-daemon connection threads, so stop() leaves none behind.
    daemon_threads = False
    block_on_close = True

    def __init__(self, address, owner, ssl_context):
        self.owner = owner
        self.ssl_context = ssl_context
        self.verbose = False
        self._connections = set()
        self._connections_lock = threading.Lock()
        self._closing = False
        super().__init__(address, _Handler)

    def track(self, connection, alive):
        with self._connections_lock:
            if not alive:
                self._connections.discard(connection)
            elif self._closing:  # accepted while stopping
                _shut(connection)
            else:
                self._connections.add(connection)

    def close_connections(self):
        # Wakes threads that wait on an idle keep-alive connection or a stalled one.
        with self._connections_lock:
            self._closing = True
            for connection in self._connections:
                _shut(connection)

    def handle_error(self, request, client_address):
        # A client that hangs up early (or rejects the certificate) is part of what is tested.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


class TestServer:
    """A web server on 127.0.0.1 serving files and faults, in threads of this process."""

    def __init__(self, root=None, port=0, certfile=None, keyfile=None):
        self.root = os.path.abspath(root) if root else None
        self._requested_port = port
        self._ssl_context = None
        if certfile:
            self._ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._ssl_context.load_cert_chain(certfile, keyfile)
        self._lock = threading.Lock()
        self._files = {}
        self._faults = {}
        self._requests = []
        self._stopping = threading.Event()
        self._server = None
        self._thread = None
        self.port = None
        self.base_url = None

    def start(self):
        if self._server is not None:
            return self
        self._stopping.clear()
        self._server = _Server(("127.0.0.1", self._requested_port), self, self._ssl_context)
        self.port = self._server.server_address[1]
        scheme = "https" if self._ssl_context else "http"
        self.base_url = "%s://127.0.0.1:%d" % (scheme, self.port)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.1,), daemon=True)
        self._thread.start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if server is None:
            return
        self._stopping.set()
        try:
            server.shutdown()
            self._thread.join()
        finally:
            server.close_connections()
            server.server_close()
            self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def verbose(self):
        return self._server.verbose if self._server else False

    @verbose.setter
    def verbose(self, value):
        if self._server:
            self._server.verbose = value

    def add_file(self, url_path, data):
        with self._lock:
            self._files[url_path] = bytes(data)

    def set_fault(self, url_path, fault):
        parsed = None if fault is None else parse_fault(fault)
        with self._lock:
            if parsed is None:
                self._faults.pop(url_path, None)
            else:
                self._faults[url_path] = parsed

    def clear_faults(self):
        with self._lock:
            self._faults.clear()

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    def _record(self, path):
        with self._lock:
            self._requests.append(path)

    def _fault_for(self, path):
        with self._lock:
            return self._faults.get(path)

    def _body_for(self, path):
        with self._lock:
            if path in self._files:
                return self._files[path]
        if path.startswith("/bytes/") and path[7:].isdigit():
            return deterministic_bytes(int(path[7:]))
        if self.root is None:
            return None
        local = os.path.normpath(os.path.join(self.root, path.lstrip("/")))
        if not local.startswith(self.root + os.sep) or not os.path.isfile(local):
            return None
        with open(local, "rb") as f:
            return f.read()


# ---- command line ----------------------------------------------------------------------------

def _write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def _serve(args):
    _stop(args)  # a server left by an interrupted or repeated run would otherwise live on
    for stale in (args.port_file, args.pid_file):
        if os.path.exists(stale):
            os.remove(stale)
    ready_r, ready_w = os.pipe()
    if os.fork():
        # Parent: wait for the daemon to report that it listens.
        os.close(ready_w)
        with os.fdopen(ready_r) as ready:
            status = ready.read()
        os.wait()  # the intermediate child, gone once the daemon runs
        if status != "ok":
            sys.stderr.write("http_server: could not start: %s\n" % status)
            return 1
        return 0
    # Daemon: own session, no ties to the caller's pipes (ctest waits on them).
    os.close(ready_r)
    os.setsid()
    if os.fork():
        os._exit(0)
    devnull = os.open(os.devnull, os.O_RDWR)
    log = os.open(args.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) if args.log else devnull
    os.dup2(devnull, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    try:
        server = TestServer(args.root, args.port, args.certfile, args.keyfile).start()
    except Exception as error:  # report any failure to the waiting parent
        os.write(ready_w, str(error).encode() or b"error")
        os._exit(1)
    server.verbose = bool(args.log)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    _write_atomically(args.pid_file, "%d\n" % os.getpid())
    _write_atomically(args.port_file, "%d\n" % server.port)
    os.write(ready_w, b"ok")
    os.close(ready_w)
    while not stop.wait(0.5):
        pass
    server.stop()
    for done in (args.port_file, args.pid_file):
        if os.path.exists(done):
            os.remove(done)
    os._exit(0)


def _is_our_server(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"http_server.py" in f.read()
    except OSError:
        return False


def _stop(args):
    try:
        with open(args.pid_file) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0  # nothing running
    if _is_our_server(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while _is_our_server(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if _is_our_server(pid):
            os.kill(pid, signal.SIGKILL)
    if os.path.exists(args.pid_file):
        os.remove(args.pid_file)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description="Misbehaving web server for tests.")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve")
    serve.add_argument("--root")
    serve.add_argument("--port", type=int, default=0)
    serve.add_argument("--port-file", required=True)
    serve.add_argument("--pid-file", required=True)
    serve.add_argument("--log")
    serve.add_argument("--certfile")
    serve.add_argument("--keyfile")
    stop = commands.add_parser("stop")
    stop.add_argument("--pid-file", required=True)
    args = parser.parse_args(argv)
    return _serve(args) if args.command == "serve" else _stop(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
