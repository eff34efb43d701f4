#!/usr/bin/env python3
"""Stand-in for one of the suite's helper programs in the demo: answers "201 running" to every
request on its local port, like the recorder (5680) and the server helper (9296) do."""
import socketserver
import sys


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.recv(256)
        self.request.sendall(b"201 running")


socketserver.TCPServer.allow_reuse_address = True
with socketserver.TCPServer(("127.0.0.1", int(sys.argv[1])), Handler) as server:
    server.serve_forever()
