#!/usr/bin/python3
"""A loopback FTP server for the tests: ftpd.py ROOT PORT USER PASSWORD [USER PASSWORD...]."""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, port, users = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
logging.basicConfig(level=logging.ERROR)


class UnbufferedFS(AbstractedFS):
    """A full disk fails the write itself, which aborts the transfer; a
    buffered file fails only at close, where this server then spins."""

    def open(self, filename, mode):
        return open(filename, mode, buffering=0)


authorizer = DummyAuthorizer()
for user, password in zip(users[::2], users[1::2]):
    authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
# File names are bytes: keep those that are not UTF-8 exactly as sent.
handler.unicode_errors = "surrogateescape"
handler.abstracted_fs = UnbufferedFS
handler.passive_ports = range(40000, 40100)
server = FTPServer(("127.0.0.1", port), handler)
print("ready", flush=True)
server.serve_forever()
