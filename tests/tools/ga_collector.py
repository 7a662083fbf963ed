#!/usr/bin/env python3
"""Local HTTPS collector for the hit sender's tests: ga_collector.py CONTROL_PORT CERT KEY.
Talks to the test over 127.0.0.1:CONTROL_PORT: -> "PORT p"; <- "MODE status [delay ms]" or
"MODE never", -> "OK"; -> "REQUEST method path hex(headers) hex(body)" before each answer.
Ends when the test closes the connection or its process ends."""
import os
import socket
import ssl
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def no_delay(sock):
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    mode, delay, done, lock, control = "200", 0, threading.Event(), threading.Lock(), None

    @classmethod
    def tell(cls, line):
        with cls.lock:
            cls.control.sendall((line + "\n").encode("ascii"))

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        no_delay(self.connection)
        mode, delay = Handler.mode, Handler.delay
        Handler.tell("REQUEST %s %s %s %s" % (self.command, self.path, bytes(self.headers).hex() or "-", body.hex() or "-"))
        if mode == "never" or Handler.done.wait(delay / 1000.0):
            Handler.done.wait()
            self.close_connection = True
            return
        status, payload = int(mode), b"" if mode == "204" else b"collected"
        head = "HTTP/1.1 %d %s\r\nX-Collector: ga\r\n" % (status, self.responses[status][0])
        head += "Location: /elsewhere\r\n" if status in (302, 307) else ""
        head += "" if status == 204 else "Content-Length: %d\r\n" % len(payload)
        # One write, or Nagle and delayed ACKs cost ~90 ms a request.
        self.connection.sendall(head.encode("ascii") + b"\r\n" + payload)
        no_delay(self.connection)

    do_GET = do_POST


null = os.open(os.devnull, os.O_RDWR)
for fd in (0, 1, 2):  # started from inside Wine: hold none of the test runner's descriptors
    os.dup2(null, fd)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2], sys.argv[3])
server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
Handler.control = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
no_delay(Handler.control)
threading.Thread(target=server.serve_forever, daemon=True).start()
Handler.tell("PORT %d" % server.server_address[1])
for words in (raw.decode("ascii", "replace").split() for raw in Handler.control.makefile("rb")):
    if len(words) >= 2 and words[0] == "MODE":
        Handler.mode, Handler.delay = words[1], int(words[2]) if len(words) > 2 else 0
        Handler.tell("OK")
Handler.done.set()
os._exit(0)
