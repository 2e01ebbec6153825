#!/usr/bin/env python3
"""Loopback test update server: serves files under --root on 127.0.0.1:--port.

Every request path is appended to <root>/requests.log.
"""
import argparse
import http.server
import os
import socketserver


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(self.server.root, "requests.log"), "a") as log:
            log.write(self.path + "\n")
        super().do_GET()

    def translate_path(self, path):
        path = path.split("?", 1)[0]
        return os.path.join(self.server.root, *[p for p in path.split("/") if p not in ("", "..")])

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.root = args.root
    server.serve_forever()


if __name__ == "__main__":
    main()
