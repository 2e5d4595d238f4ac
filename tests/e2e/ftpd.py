#!/usr/bin/python3
"""A loopback FTP server for the tests: ftpd.py ROOT PORT, with one "USER PASSWORD" pair
a line on standard input (kept off the command line, which tests scan for passwords).
FTPD_READ_LIMIT (bytes a second) throttles uploads, so that a test can stop
the server while a transfer is under way; FTPD_LOGINS names a file that gets
a line for every login."""
import errno
import io
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

root, port = sys.argv[1], int(sys.argv[2])
users = [line.rstrip("\n").split(" ", 1) for line in sys.stdin if line.strip()]
logging.basicConfig(level=logging.ERROR)


class WholeWrites(io.FileIO):
    """The server ignores what write() returns: a short write at a filling
    disk would drop the rest of the chunk and still end in "226". Writing
    on until the disk refuses makes it abort the transfer instead."""

    def write(self, data):
        view = memoryview(data)
        done = 0
        while done < len(view):
            written = super().write(view[done:])
            if not written:
                raise OSError(errno.ENOSPC, "No space left on device")
            done += written
        return done


class UnbufferedFS(AbstractedFS):
    """A full disk fails the write itself, which aborts the transfer; a
    buffered file fails only at close, where this server then spins."""

    def open(self, filename, mode):
        if mode == "rb":
            return open(filename, mode, buffering=0)
        return WholeWrites(filename, mode.replace("b", ""))


class CountingHandler(FTPHandler):
    def on_login(self, username):
        if os.environ.get("FTPD_LOGINS"):
            with open(os.environ["FTPD_LOGINS"], "a") as f:
                f.write(username + "\n")


authorizer = DummyAuthorizer()
for user, password in users:
    authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = CountingHandler
handler.authorizer = authorizer
# File names are bytes: keep those that are not UTF-8 exactly as sent.
handler.unicode_errors = "surrogateescape"
handler.abstracted_fs = UnbufferedFS
# Passive ports from the whole ephemeral range: a range of 100 ran out under
# a pass of 200 transfers on one connection (ports linger in TIME_WAIT).
if os.environ.get("FTPD_READ_LIMIT"):
    ThrottledDTPHandler.read_limit = int(os.environ["FTPD_READ_LIMIT"])
    handler.dtp_handler = ThrottledDTPHandler
server = FTPServer(("127.0.0.1", port), handler)
print("ready", flush=True)
server.serve_forever()
