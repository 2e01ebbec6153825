#!/usr/bin/env python3
"""Loopback test update server.

Usage: testserver.py --port P --root DIR [--tls PORT CERT KEY]...

Serves the files under DIR on 127.0.0.1:P (never any other address) with HTTP/1.1, one thread
per connection, until killed. Only GET (and HEAD) are answered.

Every request's path (as sent, query included) is appended as one line to DIR/requests.log, so
a test can check which paths were asked for.

The server is also its own HTTP proxy: a request in proxy form ("GET http://127.0.0.1:P/path")
is answered like the plain one and logged with the whole URL, so a test sees which requests
came through a proxy. Proxy requests for any other host are refused with 502: nothing is ever
forwarded off this address.

Each --tls serves the same files over HTTPS on 127.0.0.1:PORT with the certificate chain CERT
(PEM, the server's certificate first) and its key KEY. The proxy tunnels CONNECT to those ports
only (logged as "CONNECT 127.0.0.1:PORT"), so HTTPS through a proxy can be tested too.

A file is served as it is, with its real Content-Length. A path that names no file and has no
side file below is answered 404. A side file "<file>.behave" (key=value lines, '#' starts a
comment) chooses a scenario for the path "<file>"; the file itself need not exist for status and
redirect scenarios:

  status=<code>        answer with this code and a short HTML error page (e.g. 404, 500)
  redirect=<path>      answer 302 with Location: <path> (chains and loops by pointing side
                       files at each other)
  nolength=1           no Content-Length; the body ends when the connection is closed
  chunked=1            Transfer-Encoding: chunked
  announce=<n>         send Content-Length: n whatever the real size, then the real body and
                       close (n larger than the body: a transfer that does not complete)
  rate=<bytes/s>       send the body slowly, in small pieces at about this rate
  stall=<n>            send the headers and the first n bytes of the body, then hold until the
                       file "<file>.release" exists, then send the rest; a hold ends by itself
                       after 120 s or when the client goes away
  mute=1               read the request and send nothing at all, held like stall=
  delay=<ms>           wait this long before answering
  endless=1            no Content-Length, then the file's bytes over and over (paced by rate=)
                       until the client goes away or the hold limit has passed

Keys combine where that makes sense (e.g. nolength=1 with stall=100).
"""
import argparse
import http.server
import os
import select
import socket
import socketserver
import ssl
import threading
import time
import urllib.parse

HOLD_LIMIT = 120.0
CHUNK = 64 * 1024


def read_behaviour(path):
    behaviour = {}
    try:
        with open(path + ".behave") as side:
            for line in side:
                line = line.split("#", 1)[0].strip()
                if "=" in line:
                    key, value = line.split("=", 1)
                    behaviour[key.strip()] = value.strip()
    except OSError:
        pass
    return behaviour


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def do_CONNECT(self):
        with self.server.log_lock:
            with open(os.path.join(self.server.root, "requests.log"), "a") as log:
                log.write("CONNECT " + self.path + "\n")
        if self.path not in ["127.0.0.1:%d" % port for port in self.server.tls_ports]:
            self.send_simple(502)
            return
        port = int(self.path.rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port)) as upstream:
            self.send_response(200)
            self.end_headers()
            self.wfile.flush()
            self.tunnel(upstream)
        self.close_connection = True

    def tunnel(self, upstream):
        ends = [self.connection, upstream]
        while True:
            readable, _, _ = select.select(ends, [], [], HOLD_LIMIT)
            if not readable:
                return
            for end in readable:
                data = end.recv(CHUNK)
                if not data:
                    return
                (upstream if end is self.connection else self.connection).sendall(data)

    # --- helpers

    def url_path(self):
        """The path of the request; None for a proxy request meant for another host."""
        if self.path.startswith("/"):
            return self.path
        target = urllib.parse.urlsplit(self.path)
        if target.scheme != "http" or target.netloc != "127.0.0.1:%d" % self.server.port:
            return None
        return target.path or "/"

    def local_path(self):
        parts = self.url_path().split("?", 1)[0].split("#", 1)[0].split("/")
        parts = [p for p in parts if p not in ("", ".", "..")]
        return os.path.join(self.server.root, *parts)

    def log_request_path(self):
        with self.server.log_lock:
            with open(os.path.join(self.server.root, "requests.log"), "a") as log:
                log.write(self.path + "\n")

    def client_gone(self):
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
            if readable:
                return self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True
        return False

    def hold(self, path):
        """Waits for <path>.release, the hold limit or the client's disconnection."""
        deadline = time.monotonic() + HOLD_LIMIT
        while time.monotonic() < deadline:
            if os.path.exists(path + ".release") or self.client_gone():
                return
            time.sleep(0.05)

    def send_simple(self, code, headers=(), body=b""):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def write_body(self, source, length, behaviour, chunked):
        """Copies length bytes of the open file source to the client (paced by rate=)."""
        rate = int(behaviour.get("rate", "0") or 0)
        piece = CHUNK
        if rate > 0:
            piece = max(1, min(CHUNK, rate // 10))
        while length > 0:
            block = source.read(min(piece, length))
            if not block:
                break
            length -= len(block)
            if chunked:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(block), block))
            else:
                self.wfile.write(block)
            if rate > 0:
                self.wfile.flush()
                time.sleep(len(block) / rate)
        self.wfile.flush()

    # --- the answer

    def answer(self, send_body):
        self.log_request_path()
        if self.url_path() is None:
            self.send_simple(502, body=b"<html><body><h1>502</h1></body></html>\n")
            return
        path = self.local_path()
        behaviour = read_behaviour(path)
        if "delay" in behaviour:
            time.sleep(int(behaviour["delay"]) / 1000.0)
        if behaviour.get("mute") == "1":
            self.hold(path)
            if self.client_gone():
                self.close_connection = True
                return
        if "status" in behaviour:
            code = int(behaviour["status"])
            body = b"<html><body><h1>%d</h1></body></html>\n" % code
            self.send_simple(code, body=body if send_body else b"")
            return
        if "redirect" in behaviour:
            self.send_simple(302, headers=[("Location", behaviour["redirect"])])
            return
        if not os.path.isfile(path):
            self.send_simple(404, body=b"<html><body><h1>404</h1></body></html>\n")
            return
        with open(path, "rb") as served:
            self.send_file(path, served, os.fstat(served.fileno()).st_size, behaviour, send_body)

    def send_file(self, path, source, size, behaviour, send_body):
        chunked = behaviour.get("chunked") == "1"
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif behaviour.get("nolength") == "1" or behaviour.get("endless") == "1":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", behaviour.get("announce", str(size)))
            if "announce" in behaviour:
                self.send_header("Connection", "close")
                self.close_connection = True
        self.end_headers()
        if not send_body:
            return
        if behaviour.get("endless") == "1":
            self.send_endlessly(source, size, behaviour)
            return
        if "stall" in behaviour:
            first = min(size, int(behaviour["stall"]))
            self.write_body(source, first, behaviour, chunked)
            self.hold(path)
            size -= first
        self.write_body(source, size, behaviour, chunked)
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def send_endlessly(self, source, size, behaviour):
        deadline = time.monotonic() + HOLD_LIMIT
        try:
            while size > 0 and time.monotonic() < deadline and not self.client_gone():
                source.seek(0)
                self.write_body(source, size, behaviour, False)
        except OSError:
            pass  # the client hung up mid-body, as it should


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that aborts a transfer is an everyday event here, not an error.
        pass


class TlsServer(Server):
    """The same server behind TLS; the handshake runs in the connection's own thread."""

    def get_request(self):
        connection, address = super().get_request()
        return self.context.wrap_socket(connection, server_side=True,
                                        do_handshake_on_connect=False), address

    def finish_request(self, request, client_address):
        try:
            request.settimeout(30)
            request.do_handshake()
            request.settimeout(None)
        except (OSError, ssl.SSLError):
            return  # a client that refuses the certificate: nothing to serve
        super().finish_request(request, client_address)


def start(server_class, port, args, log_lock, tls_ports):
    server = server_class(("127.0.0.1", port), Handler)
    server.root = os.path.abspath(args.root)
    server.port = port
    server.log_lock = log_lock
    server.tls_ports = tls_ports
    return server


def main():
    parser = argparse.ArgumentParser(description="Loopback test update server")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--tls", nargs=3, action="append", default=[],
                        metavar=("PORT", "CERT", "KEY"))
    args = parser.parse_args()
    log_lock = threading.Lock()
    tls_ports = [int(port) for port, _, _ in args.tls]
    for port, cert, key in args.tls:
        server = start(TlsServer, int(port), args, log_lock, tls_ports)
        server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.context.load_cert_chain(cert, key)
        threading.Thread(target=server.serve_forever, daemon=True).start()
    start(Server, args.port, args, log_lock, tls_ports).serve_forever()


if __name__ == "__main__":
    main()
