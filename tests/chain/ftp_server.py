#!/usr/bin/env python3
"""A stand-in head-office FTP server for the tests, on 127.0.0.1.

usage: ftp_server.py PORT ROOT USER PASSWORD READYFILE
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
import logging

logging.basicConfig(level=logging.ERROR)
port, root, user, password, ready = sys.argv[1:6]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elr")
handler = FTPHandler
handler.authorizer = authorizer
handler.passive_ports = range(30000, 30100)
server = FTPServer(("127.0.0.1", int(port)), handler)
with open(ready, "w") as f:
    f.write("ready")
server.serve_forever()
