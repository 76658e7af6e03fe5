#!/usr/bin/env python3
"""Test server for the HTTP transcript, on 127.0.0.1 only.

Usage: http_server.py READY_FILE CERT KEY

Serves plain HTTP and HTTPS (with the given self-signed certificate) on ports the system picks, and
holds a third port bound without listening, so that connecting to it is refused. Once all three
are ready it writes "HTTP HTTPS CLOSED" (the port numbers) to READY_FILE, through a rename so the
file appears whole. It serves until it is killed. A request for /hang writes READY_FILE.hang when it
arrives and is never answered.

Every response is written by hand, so the status line and header lines are exactly the ones
listed here (no Date or Server line).
"""
import os
import socket
import ssl
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# 3 MiB of bytes that follow no short period, so a lost or repeated chunk shows.
BIG = bytes(((i * 131) ^ (i >> 9) ^ (i >> 17)) & 0xFF for i in range(3 * 1024 * 1024))
ALL_BYTES = bytes(range(256))
HANG_MARK = ""  # the file /hang writes when a request arrives: READY_FILE + ".hang"
TEXT = "line 1\r\nl\u00edne 2\n\nend".encode("utf-8")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def respond(self, status, headers, body=b""):
        """headers: raw header lines, written as given."""
        head = "HTTP/1.1 %s\r\n" % status
        for line in headers:
            head += line + "\r\n"
        if not any(h.lower().startswith("content-length") for h in headers):
            head += "Content-Length: %d\r\n" % len(body)
        head += "\r\n"
        self.wfile.write(head.encode("latin-1"))
        if self.command != "HEAD":
            self.wfile.write(body)

    def request_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def handle_any(self):
        body = self.request_body()
        path = self.path
        if path == "/bytes":
            self.respond("200 OK", ["Content-Type: application/octet-stream"], ALL_BYTES)
        elif path == "/big":
            self.respond("200 OK", ["Content-Type: application/octet-stream"], BIG)
        elif path == "/text":
            self.respond("200 OK", ["Content-Type: text/plain; charset=utf-8"], TEXT)
        elif path == "/empty":
            self.respond("200 OK", [])
        elif path == "/headers":
            self.respond("200 OK", ["Set-Cookie: a=1", "X-Tight:value", "set-cookie:   b=2; Path=/",
                                    "X-Empty:", "X-Blanks: \t two words "], b"ok")
        elif path == "/redirect":
            self.respond("302 Found", ["Location: /bytes", "X-First: yes"], b"moved")
        elif path == "/redirect-post":
            self.respond("303 See Other", ["Location: /echo"])
        elif path == "/loop":
            self.respond("302 Found", ["Location: /loop"])
        elif path == "/hang":
            # Tells the test that the request has arrived, then answers nothing until the client
            # goes away.
            with open(HANG_MARK + ".tmp", "w") as f:
                f.write("arrived\n")
            os.rename(HANG_MARK + ".tmp", HANG_MARK)
            while self.rfile.read(1):
                pass
        elif path == "/missing":
            self.respond("404 Not Found", ["Content-Type: text/plain"], b"no such page")
        elif path.startswith("/echo-body"):
            self.respond("200 OK", ["Content-Type: application/octet-stream"], body)
        elif path.startswith("/echo"):
            # The method, the target, the request headers but Host (lower-case names, sorted),
            # an empty line and the body.
            lines = [self.command + " " + self.path]
            for name, value in sorted((n.lower(), v) for n, v in self.headers.items()):
                if name != "host":
                    lines.append(name + ": " + value)
            out = ("\n".join(lines) + "\n\n").encode("latin-1") + body
            self.respond("200 OK", ["Content-Type: text/plain"], out)
        else:
            self.respond("500 Unknown Path", [], b"unknown path " + path.encode("latin-1"))

    def __getattr__(self, name):
        if name.startswith("do_"):
            return self.handle_any
        raise AttributeError(name)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a refused TLS handshake or a dropped connection is expected


def main():
    global HANG_MARK
    ready, cert, key = sys.argv[1:4]
    HANG_MARK = ready + ".hang"
    plain = Server(("127.0.0.1", 0), Handler)
    secure = Server(("127.0.0.1", 0), Handler)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    secure.socket = ctx.wrap_socket(secure.socket, server_side=True)
    closed = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    closed.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
    for s in (plain, secure):
        threading.Thread(target=s.serve_forever, daemon=True).start()
    ports = "%d %d %d\n" % (plain.server_address[1], secure.server_address[1], closed.getsockname()[1])
    with open(ready + ".tmp", "w") as f:
        f.write(ports)
    os.rename(ready + ".tmp", ready)
    threading.Event().wait()


if __name__ == "__main__":
    main()
