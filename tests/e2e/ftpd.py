#!/usr/bin/python3
"""A loopback FTP server for the tests: ftpd.py ROOT PORT, with one "USER PASSWORD" pair
a line on standard input (kept off the command line, which tests scan for passwords).
FTPD_READ_LIMIT (bytes a second) throttles uploads, so that a test can stop
the server while a transfer is under way; FTPD_LOGINS names a file that gets
a line for every login, FTPD_RECEIVED one that gets the name of every file
stored, in the order they arrive, FTPD_MADE one that gets each folder a
client asks to make (MKD). FTPD_TLS_CERT (a PEM file with the key)
makes it an explicit FTPS server that requires TLS on both channels.
FTPD_SHORT=N drops the last N bytes of every stored file and still replies
226; FTPD_NO_SIZE=1 turns off every command that tells a size (SIZE, the
listings). FTPD_CUT="P1 P2 ..." drops the data connection of the k-th
upload once the file it writes holds Pk bytes (an append counts what was
there); FTPD_BYTES names a file that gets the bytes each upload stored, a
line each."""
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


cuts = [int(p) for p in os.environ.get("FTPD_CUT", "").split()]


class WholeWrites(io.FileIO):
    """The server ignores what write() returns: a short write at a filling
    disk would drop the rest of the chunk and still end in "226". Writing
    on until the disk refuses makes it abort the transfer instead."""

    def __init__(self, *args):
        super().__init__(*args)
        self.stored = 0
        self.cut = cuts.pop(0) if cuts else None

    def close(self):
        if not self.closed:
            record("FTPD_BYTES", str(self.stored))
        super().close()

    def write(self, data):
        if self.cut is not None and self.tell() + len(data) >= self.cut:
            # A link that drops: what came before the cut is kept, the
            # transfer aborted (the server closes the data connection).
            self.stored += self.whole_write(memoryview(data)[:max(0, self.cut - self.tell())])
            raise OSError(errno.ECONNRESET, "Connection dropped")
        written = self.whole_write(data)
        self.stored += written
        return written

    def whole_write(self, data):
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


def record(variable, text):
    if os.environ.get(variable):
        with open(os.environ[variable], "a", errors="surrogateescape") as f:
            f.write(text + "\n")


class Recording:
    def on_login(self, username):
        record("FTPD_LOGINS", username)

    def ftp_MKD(self, path):
        record("FTPD_MADE", path)
        return super().ftp_MKD(path)

    def on_file_received(self, file):
        record("FTPD_RECEIVED", os.path.basename(file))
        if os.environ.get("FTPD_SHORT"):
            os.truncate(file, max(0, os.path.getsize(file) - int(os.environ["FTPD_SHORT"])))


class CountingHandler(Recording, FTPHandler):
    pass


authorizer = DummyAuthorizer()
for user, password in users:
    authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = CountingHandler
if os.environ.get("FTPD_TLS_CERT"):
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class EarlyHandshake(TLS_DTPHandler):
        """curl starts the data connection's TLS handshake before it sends
        STOR; the server's handler would close a data connection that is
        readable before a transfer was asked for."""

        def readable(self):
            return self._ssl_accepting or super().readable()

    class TlsHandler(Recording, TLS_FTPHandler):
        certfile = os.environ["FTPD_TLS_CERT"]
        dtp_handler = EarlyHandshake
        tls_control_required = True
        tls_data_required = True

    handler = TlsHandler
handler.authorizer = authorizer
# File names are bytes: keep those that are not UTF-8 exactly as sent.
handler.unicode_errors = "surrogateescape"
handler.abstracted_fs = UnbufferedFS
# Passive ports from the whole ephemeral range: a range of 100 ran out under
# a pass of 200 transfers on one connection (ports linger in TIME_WAIT).
if os.environ.get("FTPD_READ_LIMIT"):
    ThrottledDTPHandler.read_limit = int(os.environ["FTPD_READ_LIMIT"])
    handler.dtp_handler = ThrottledDTPHandler
if os.environ.get("FTPD_NO_SIZE"):
    handler.proto_cmds = {k: v for k, v in handler.proto_cmds.items()
                          if k not in ("SIZE", "LIST", "MLSD", "MLST", "STAT")}
server = FTPServer(("127.0.0.1", port), handler)
print("ready", flush=True)
server.serve_forever()
