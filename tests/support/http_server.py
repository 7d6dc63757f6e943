#!/usr/bin/env python3
"""A web server for tests, on 127.0.0.1, that misbehaves on purpose.

In Python: TestServer(root=None, port=0, certfile=None, keyfile=None).start(), then add_file(path,
data), set_fault(path, fault), base_url, requests (the paths seen, in order) and stop().

Faults: "404", "500"; "drop:N" (the full Content-Length, N body bytes, hang-up); "stall" (headers,
then nothing until the server stops); "hangup:MS" (headers, MS ms of silence, hang-up, as a
server's idle time-out does); "slow:CHUNK:MS" (the body in CHUNK-byte pieces MS ms apart);
"nolength" (no Content-Length: the hang-up ends the body).

Routes for programs under Wine: /bytes/N (byte i is i % 251), /fault/KIND[/ARG...]/REST (REST with
that fault, e.g. /fault/drop/100/bytes/5000), /requests (the paths seen, one a line). Any other path
is an added file, then a file under root, else 404.

For ctest fixtures: "serve --port-file F --pid-file P [--root DIR] [--log L]" stops a server still
recorded in P, then returns once a new one listens in the background with its port in F;
"stop --pid-file P" ends it and waits until it is gone.
"""

import argparse
import http.server
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

FAULT_ARGS = {"404": 0, "500": 0, "stall": 0, "nolength": 0, "drop": 1, "hangup": 1, "slow": 2}


def parse_fault(text):
    """(kind, [numbers]) of a fault such as "drop:100"; None when it means nothing."""
    kind, *args = text.split(":")
    if FAULT_ARGS.get(kind) != len(args) or not all(a.isdigit() for a in args):
        return None
    return kind, [int(a) for a in args]


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
        if self.server.owner.verbose:
            super().log_message(format, *args)

    def do_GET(self):
        owner = self.server.owner
        owner.requests.append(self.path)
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        fault = owner.faults.get(path)
        if path == "/requests":
            return self._send("".join(p + "\n" for p in owner.requests).encode())
        if fault is None and path.startswith("/fault/"):
            words = path.split("/")[2:]
            count = FAULT_ARGS.get(words[0], -1)
            fault = parse_fault(":".join(words[:count + 1]))
            path = "/" + "/".join(words[count + 1:]) if fault else ""  # a malformed route is a 404
        body = owner.body_for(path)
        code = int(fault[0]) if fault and fault[0] in ("404", "500") else 200 if body is not None else 404
        if code != 200:
            return self._send(b"<html><body><h1>%d %s</h1></body></html>\n" % (code, self.responses[code][0].encode()),
                              code=code)
        self._send(body, fault)

    def _send(self, body, fault=None, code=200):
        kind, args = fault or (None, [])
        self.send_response(code)
        if kind == "nolength":
            self.send_header("Connection", "close")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.close_connection = kind not in (None, "slow")
        stopping = self.server.owner.stopping
        if kind == "drop":
            self.wfile.write(body[:args[0]])
        elif kind in ("stall", "hangup"):
            stopping.wait(args[0] / 1000 if args else None)
        elif kind == "slow":
            for start in range(0, len(body), max(1, args[0])):
                if start and stopping.wait(args[1] / 1000):
                    return
                self.wfile.write(body[start:start + max(1, args[0])])
        else:
            self.wfile.write(body)


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

    def handle_error(self, request, client_address):
        # A client that hangs up early (or rejects the certificate) is part of what is tested.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


class TestServer:
    """A web server on 127.0.0.1 serving files and faults, in threads of this process."""

    def __init__(self, root=None, port=0, certfile=None, keyfile=None):
        self.root = os.path.abspath(root) if root else None
        self.port = port
        self.ssl_context = None
        if certfile:
            self.ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ssl_context.load_cert_chain(certfile, keyfile)
        self.files, self.faults, self.requests = {}, {}, []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.verbose = False
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

    def set_fault(self, url_path, fault):
        self.faults[url_path] = parse_fault(fault)
        if self.faults[url_path] is None:
            raise ValueError("unknown fault %r" % fault)

    def body_for(self, path):
        if path in self.files:
            return self.files[path]
        if path.startswith("/bytes/") and path[7:].isdigit():
            return (bytes(range(251)) * (int(path[7:]) // 251 + 1))[:int(path[7:])]
        local = os.path.normpath(os.path.join(self.root or "/nonexistent", path.lstrip("/")))
        if self.root and local.startswith(self.root + os.sep) and os.path.isfile(local):
            with open(local, "rb") as f:
                return f.read()
        return None


def _serve(args):
    _stop(args)  # a server left by an interrupted or repeated run would otherwise live on
    ready_r, ready_w = os.pipe()
    if os.fork():
        os.close(ready_w)
        with os.fdopen(ready_r) as ready:
            status = ready.read()
        os.wait()  # the intermediate child, gone once the daemon runs
        if status != "ok":
            sys.stderr.write("http_server: could not start: %s\n" % status)
        return 0 if status == "ok" else 1
    # The daemon: its own session, none of the caller's pipes (ctest waits on them).
    os.close(ready_r)
    os.setsid()
    if os.fork():
        os._exit(0)
    log = os.open(args.log or os.devnull, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    try:
        server = TestServer(args.root).start()
    except Exception as error:  # reported to the waiting parent
        os.write(ready_w, str(error).encode() or b"error")
        os._exit(1)
    server.verbose = bool(args.log)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    for path, value in ((args.pid_file, os.getpid()), (args.port_file, server.port)):
        with open(path, "w") as f:
            f.write("%d\n" % value)
    os.write(ready_w, b"ok")
    os.close(ready_w)
    while not stop.wait(0.5):
        pass
    server.stop()
    os.remove(args.port_file)
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
            pid = int(f.read())
    except (OSError, ValueError):
        return 0  # nothing running
    if _is_our_server(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while _is_our_server(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if _is_our_server(pid):
            os.kill(pid, signal.SIGKILL)
    os.remove(args.pid_file)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description="Misbehaving web server for tests.")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve")
    serve.add_argument("--root")
    serve.add_argument("--port-file", required=True)
    serve.add_argument("--log")
    for command in (serve, commands.add_parser("stop")):
        command.add_argument("--pid-file", required=True)
    args = parser.parse_args(argv)
    return _serve(args) if args.command == "serve" else _stop(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
