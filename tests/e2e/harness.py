"""The program's surroundings in the private namespace: its fixed paths, a
reader of its syslog lines, recording fake tools and a loopback FTP server.
Used by the end-to-end tests and by scripts/demo."""
import calendar
import json
import os
import re
import select
import shutil
import socket
import stat
import subprocess
import threading
import time
import urllib.parse
from pathlib import Path

BIN = os.environ.get("VASTREL_BIN", "")
SHIM = os.environ.get("VASTREL_SHIM", "")
# A static build cannot load the shim, which would then leak to the children.
PRELOAD = [] if os.environ.get("VASTREL_STATIC") == "1" or not SHIM else [f"LD_PRELOAD={SHIM}"]
# An armhf build runs under user-mode emulation: "qemu-arm -L SYSROOT".
EMULATOR = os.environ.get("VASTREL_EMULATOR", "").split()
if EMULATOR:
    EMULATOR[0] = shutil.which(EMULATOR[0]) or EMULATOR[0]  # tests may empty PATH
FAKE_TOOL = Path(__file__).with_name("fake_tool.py")
SIGNAL_TREE = Path(__file__).with_name("signal_tree.py")
# BusyBox's sed and killall, ahead of the host's, in the BusyBox stage.
BUSYBOX_PATH = os.environ.get("VASTREL_BUSYBOX_PATH", "")
NOTICE, ERR = 29, 27  # daemon.notice, daemon.err
LINE = re.compile(r"<(\d+)>.*? vastrel\[(\d+)\]: (.*)", re.S)
SCRATCH = Path("/var/vastrel")
TIMESTAMP = Path("/var/data/vastrel/timestamp")
SETTINGS = Path("/opt/vastrel/etc/settings")
# What curl reads on its standard input after any user line, by default.
CURL_BOUNDS = "connect-timeout = 30\nspeed-limit = 1\nspeed-time = 120\n"
DAY = 86400


def clock_floor():
    """The program's clock floor (when it was built), as its check tells it:
    a file dated before it is undated, taken as unsent and never aged."""
    if not BIN:
        return 0
    out = subprocess.run(EMULATOR + [BIN, "check"], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, errors="replace").stdout
    built = re.search(r"this program was built (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) UTC", out)
    assert built, "check does not tell when the program was built"
    return calendar.timegm(time.strptime(built.group(1), "%Y-%m-%d %H:%M:%S"))


FLOOR = clock_floor()
# The tests' watermark: after the floor, so that files dated up to a minute
# before it are still dated, and at most a minute after any real clock (the
# real clock is past the floor), so that a run whose clock is not pinned
# never finds it ahead. Files the kernel dates are new once the build's
# commit is a minute old.
WATERMARK = FLOOR + 60
NEW, OLD = WATERMARK + 100, WATERMARK - 50


class Run:
    def __init__(self, rc, log, sleeps):
        self.rc = rc
        self.log = log  # [(priority, message)]
        self.sleeps = sleeps  # [seconds]

    @property
    def messages(self):
        return [m for _, m in self.log]

    def has(self, priority, message):
        return (priority, message) in self.log

    def matching(self, pattern):
        return [(p, m) for p, m in self.log if re.search(pattern, m)]


class World:
    """The program's surroundings for one test."""

    def __init__(self, tmp, log_socket, extra_env=None):
        self.tmp = tmp
        self.sock = log_socket
        self.scan = tmp / "scan"
        self.scan.mkdir()
        self.fakebin = tmp / "fakebin"
        self.fakebin.mkdir()
        self.fakes = tmp / "fakes"
        self.fakes.mkdir()
        self.extra_env = dict(extra_env or {})
        self.others = []  # lines of other programs (test tools, sshd's sftp subsystem)
        for path in (Path("/opt/vastrel"), SCRATCH, TIMESTAMP.parent):
            remove(path)
        bindir = Path("/opt/vastrel/bin")
        bindir.mkdir(parents=True)
        SETTINGS.parent.mkdir(parents=True)
        TIMESTAMP.parent.mkdir(parents=True)
        shutil.copy(BIN, bindir / "vastrel")
        for op in ("upload", "remove"):
            (bindir / op).symlink_to("vastrel")
        self._drain()  # lines left from an earlier run would be read as this one's

    # Inputs ------------------------------------------------------------
    def settings(self, text=None, **values):
        if text is None:
            values.setdefault("SCANFOLDER", str(self.scan))
            text = "".join(f"MOD_VASTREL_{k}={v}\n" for k, v in values.items())
        SETTINGS.write_bytes(text.encode() if isinstance(text, str) else text)
        SETTINGS.chmod(0o600)  # as installed: root's, and only root's to change

    def timestamp(self, mtime):
        TIMESTAMP.write_text("")
        os.utime(TIMESTAMP, (mtime, mtime))

    def file(self, name, content=b"data", mtime=None, folder=None):
        path = (folder or self.scan) / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def fake(self, tool, **script):
        """Puts a recording stand-in for `tool` first on the program's PATH."""
        link = self.fakebin / tool
        if not link.exists():
            link.symlink_to(FAKE_TOOL)
        (self.fakes / f"{tool}.json").write_text(json.dumps(script))

    def calls(self, tool):
        path = self.fakes / f"{tool}.calls"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines()]

    # Running -----------------------------------------------------------
    def run(self, argv0="/opt/vastrel/bin/upload", now=None, env=None, timeout=120, args=()):
        return self.finish(self.start(argv0, now, env, args), timeout)

    def start(self, argv0="/opt/vastrel/bin/upload", now=None, env=None, args=()):
        """Starts the program at its fixed path under the name `argv0`, with
        `args`; its standard output and error go to files the run reads."""
        sleeps_path = self.tmp / f"sleeps-{time.monotonic_ns()}"
        sleeps_path.write_text("")
        run_env = {
            "PATH": ":".join(filter(None, [str(self.fakebin), BUSYBOX_PATH, "/usr/local/bin",
                                           "/usr/bin:/bin:/usr/sbin:/sbin"])),
            "HOME": str(self.tmp),
            "FAKE_DIR": str(self.fakes),
            "SHIM_SLEEP_LOG": str(sleeps_path),
        }
        if now is not None:
            run_env["SHIM_NOW"] = str(now)
        run_env.update(self.extra_env)
        run_env.update(env or {})
        program = "/opt/vastrel/bin/vastrel"
        if EMULATOR:
            # The emulator itself is native: the shim goes to the program only.
            preload = ["-E", PRELOAD[0]] if PRELOAD else []
            command, executable = EMULATOR + ["-0", argv0] + preload + [program], None
        else:
            command, executable = [argv0], program
            run_env.update(p.split("=", 1) for p in PRELOAD)
        proc = subprocess.Popen(command + list(args), executable=executable, env=run_env,
                                stdin=subprocess.DEVNULL, cwd=self.tmp,
                                stdout=open(f"{sleeps_path}.out", "wb"),
                                stderr=open(f"{sleeps_path}.err", "wb"))
        proc.sleeps_path = sleeps_path
        return proc

    def finish(self, proc, timeout=120, others=()):
        """Waits for a started run, reading the log meanwhile; with `others`,
        for those runs too, and returns the first run's lines only."""
        log = []
        procs = [proc, *others]
        deadline = time.monotonic() + timeout
        # Keep reading while the program runs: a full socket would block it.
        while any(p.poll() is None for p in procs):
            if time.monotonic() > deadline:
                for p in procs:
                    p.kill()  # a hang is the caller's finding: it sees the time taken
            if select.select([self.sock], [], [], 0.05)[0]:
                log.extend(self._receive())
        for p in procs:
            p.wait()
        log.extend(self._drain())
        sleeps = [float(x) for x in proc.sleeps_path.read_text().split()]
        mine = [(pri, msg) for pid, pri, msg in log if pid == proc.pid]
        run = Run(proc.returncode, mine, sleeps)
        run.all_lines = [(pid, pri, msg) for pid, pri, msg in log]
        run.stdout = Path(f"{proc.sleeps_path}.out").read_text("utf-8", "surrogateescape")
        run.stderr = Path(f"{proc.sleeps_path}.err").read_text("utf-8", "surrogateescape")
        return run

    def _drain(self):
        lines = []
        self.sock.setblocking(False)
        try:
            while True:
                lines.extend(self._receive())
        except BlockingIOError:
            return lines
        finally:
            self.sock.setblocking(True)

    def _receive(self):
        """The program's line, if the next datagram is one (test tools such
        as useradd log here too)."""
        data = self.sock.recv(65536).decode("utf-8", "surrogateescape").rstrip("\0")
        m = LINE.match(data)
        if not m:
            self.others.append(data)
        return [(int(m.group(2)), int(m.group(1)), m.group(3))] if m else []

    def sftp_arrivals(self):
        """The names of the files sshd's sftp subsystem opened for writing,
        in order."""
        return [os.path.basename(m) for line in self.others
                for m in re.findall(r'open "([^"\n]*)" flags WRITE', line)]


def remove(path):
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif os.path.lexists(path):
        path.unlink()


def die_with_parent():
    """Servers must not outlive the test or benchmark that started them."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, 15)  # PR_SET_PDEATHSIG, SIGTERM


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FtpServer:
    USER, PASSWORD = "alice", "s3cret"
    # Quotes, backslashes (with a "\n" that curl would read as a newline),
    # blanks and shell syntax; the settings reader cuts at a final double quote.
    HOSTILE_USER, HOSTILE_PASSWORD = "bob", "p'w\\n\"$(touch /tmp/pwned) `id`;x"

    def __init__(self, root, read_limit=None, tls_cert=None, short=None, no_size=False,
                 cut=None):
        self.root = root
        self.port = free_port()
        self.read_limit = read_limit
        self.tls_cert = tls_cert
        self.short = short  # bytes dropped from the end of every stored file
        self.no_size = no_size  # no SIZE command
        self.cut = cut  # where each of the first uploads is dropped: the file's size then
        self.start()

    def start(self):
        env = dict(os.environ, FTPD_LOGINS=str(self.root.parent / f"logins-{self.port}"),
                   FTPD_RECEIVED=str(self.root.parent / f"received-{self.port}"),
                   FTPD_BYTES=str(self.root.parent / f"bytes-{self.port}"),
                   FTPD_MADE=str(self.root.parent / f"made-{self.port}"))
        if self.read_limit:
            env["FTPD_READ_LIMIT"] = str(self.read_limit)
        if self.tls_cert:
            env["FTPD_TLS_CERT"] = str(self.tls_cert)
        if self.short:
            env["FTPD_SHORT"] = str(self.short)
        if self.no_size:
            env["FTPD_NO_SIZE"] = "1"
        if self.cut:
            env["FTPD_CUT"] = " ".join(map(str, self.cut))
        # In a session of its own, so that a test may stop it (SIGSTOP): a
        # stopped member of an orphaned process group would be woken again.
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", str(Path(__file__).with_name("ftpd.py")), str(self.root),
             str(self.port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            preexec_fn=die_with_parent, start_new_session=True, env=env)
        self.proc.stdin.write(f"{self.USER} {self.PASSWORD}\n"
                              f"{self.HOSTILE_USER} {self.HOSTILE_PASSWORD}\n".encode())
        self.proc.stdin.close()
        assert self.proc.stdout.readline().strip() == b"ready"

    def stop(self):
        self.proc.kill()
        self.proc.wait()

    def url(self, path=""):
        return f"ftp://127.0.0.1:{self.port}/{path}"

    def logins(self):
        path = self.root.parent / f"logins-{self.port}"
        return len(path.read_text().splitlines()) if path.exists() else 0

    def arrivals(self):
        """The names of the files stored, in the order they arrived."""
        path = self.root.parent / f"received-{self.port}"
        return path.read_text(errors="surrogateescape").splitlines() if path.exists() else []

    def bytes_received(self):
        """The bytes stored by every upload so far, cut ones too."""
        path = self.root.parent / f"bytes-{self.port}"
        return sum(map(int, path.read_text().split())) if path.exists() else 0

    def made(self):
        """The folders clients asked to make (MKD), in order."""
        path = self.root.parent / f"made-{self.port}"
        return path.read_text(errors="surrogateescape").splitlines() if path.exists() else []

    def reset(self):
        for child in self.root.iterdir():
            remove(child)
        Path(self.root.parent / f"bytes-{self.port}").unlink(missing_ok=True)
        Path(self.root.parent / f"made-{self.port}").unlink(missing_ok=True)
        Path(self.root.parent / f"logins-{self.port}").unlink(missing_ok=True)
        Path(self.root.parent / f"received-{self.port}").unlink(missing_ok=True)
        (self.root / "up").mkdir()
        (self.root / "down").mkdir()

    def files(self, folder="up"):
        return {p.name: p.read_bytes() for p in (self.root / folder).iterdir()}



def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def bind_log_socket():
    if os.path.lexists("/dev/log"):
        os.unlink("/dev/log")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.bind("/dev/log")
    os.chmod("/dev/log", 0o666)
    return sock


class SshServer:
    """OpenSSH's sshd on loopback with password users that exist only in the
    namespace's /etc, and the client tools linked where the program runs them."""
    USER, PASSWORD = "sftpuser", "s3cret"
    HOSTILE_USER, HOSTILE_PASSWORD = "sftpbob", "p'w \"$(touch /tmp/pwned)`id`;\\x"

    def __init__(self, base):
        self.base = base
        self.home = base / "home"
        self.home.mkdir()
        os.makedirs("/run/sshd", exist_ok=True)
        for user, password in ((self.USER, self.PASSWORD),
                               (self.HOSTILE_USER, self.HOSTILE_PASSWORD)):
            subprocess.run(["useradd", "-M", "-d", str(self.home), "-s", "/bin/sh", user],
                           check=True)
            subprocess.run(["chpasswd"], input=f"{user}:{password}\n".encode(), check=True)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        str(base / "hostkey")], check=True)
        self.port = free_port()
        config = base / "sshd_config"
        config.write_text(f"Port {self.port}\nListenAddress 127.0.0.1\nHostKey {base}/hostkey\n"
                          "PasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
                          "UsePAM no\nStrictModes no\nPidFile none\n"
                          # Its opens reach /dev/log: the order files arrive in.
                          "Subsystem sftp internal-sftp -l INFO\n")
        self.proc = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", str(config)],
                                     stderr=open(base / "sshd.log", "w"),
                                     preexec_fn=die_with_parent, start_new_session=True)
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    break
            time.sleep(0.05)

    def url(self, folder="up"):
        return f"sftp://127.0.0.1{self.home}/{folder}"

    def reset(self):
        for child in self.home.iterdir():
            remove(child)
        (self.home / "up").mkdir(mode=0o777)
        os.chmod(self.home / "up", 0o777)

    def install_client(self, port=None):
        """Links the real client tools under /opt/vastrel/bin and writes the
        ssh client configuration the program points them at."""
        for tool in ("sftp", "ssh", "sshpass"):
            link = Path("/opt/vastrel/bin") / tool
            if os.path.lexists(link):
                link.unlink()
            link.symlink_to(f"/usr/bin/{tool}")
        SCRATCH.mkdir(exist_ok=True)
        (SCRATCH / "ssh_config").write_text(
            f"Port {port or self.port}\nStrictHostKeyChecking no\nUserKnownHostsFile /dev/null\n"
            "ConnectTimeout 5\n")

    def files(self, folder="up"):
        return {p.name: p.read_bytes() for p in (self.home / folder).iterdir()}

    def signal_sessions(self, signal):
        """Stops (STOP) or resumes (CONT) every session of this server."""
        subprocess.run(self.signal_command(signal), shell=True, check=False)

    def wait_sessions_gone(self, timeout=20):
        """Waits until every session has ended (a resumed one may still be
        writing what reached it before it was stopped)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.proc.pid in parents():
            time.sleep(0.05)

    def signal_command(self, signal):
        """The shell command that signals this server's sessions and no other's."""
        return f"/usr/bin/python3 {SIGNAL_TREE} {self.proc.pid} {signal}"


def parents():
    """The parent of every process running."""
    found = set()
    for path in Path("/proc").glob("[0-9]*/stat"):
        try:
            found.add(int(path.read_text().rsplit(") ", 1)[1].split()[1]))
        except (OSError, IndexError, ValueError):
            pass  # ended meanwhile
    return found


class HttpServer:
    """Serves named contents over HTTP on loopback. `mode` "whole" sends each
    whole; "cut" promises all, sends half and closes the connection; "stall"
    sends half and then nothing until the client gives up. A PUT stores its
    body as the content of its path (`short` bytes less, still answered 201),
    and HEAD tells a content's size. Counts the connections it accepted."""

    def __init__(self, short=0):
        import http.server
        import threading
        self.contents = {}
        self.mode = "whole"
        self.short = short
        self.connections = 0
        self.released = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # keeps the connection for the next request

            def setup(self):
                server.connections += 1
                super().setup()

            def answer(self, code, length=0):
                self.send_response(code)
                self.send_header("Content-Length", str(length))
                self.end_headers()

            def do_PUT(self):
                data = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                name = urllib.parse.unquote(self.path.lstrip("/"))
                server.contents[name] = data[:max(0, len(data) - server.short)]
                self.answer(201)

            def do_HEAD(self):
                content = server.contents.get(urllib.parse.unquote(self.path.lstrip("/")))
                self.answer(404 if content is None else 200, len(content or b""))

            def do_GET(self):
                content = server.contents.get(self.path.lstrip("/"))
                if content is None:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Length", str(len(content)))
                self.end_headers()
                try:
                    if server.mode == "whole":
                        self.wfile.write(content)
                        return
                    self.wfile.write(content[:len(content) // 2])
                    self.wfile.flush()
                    if server.mode == "stall":
                        server.released.wait(20)
                except OSError:
                    pass  # the client gave up first
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self):
        self.released.set()
        self.httpd.shutdown()
        self.httpd.server_close()


class Relay:
    """A loopback TCP relay to `port`: counts the connections made and keeps
    every byte that crossed, both ways."""

    def __init__(self, port):
        self.connections = 0
        self.seen = bytearray()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.target = port
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            server = socket.create_connection(("127.0.0.1", self.target))
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    def _pipe(self, source, sink):
        try:
            while data := source.recv(65536):
                self.seen.extend(data)
                sink.sendall(data)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # either side gone: the other pipe ends too

    def close(self):
        self.sock.close()


class Writer:
    """A process that holds a file open for writing: it has written `first`
    and appends `rest` when told to finish, then closes the file."""

    SCRIPT = ("import sys\nf = open(sys.argv[1], 'ab', buffering=0)\n"
              "f.write(bytes.fromhex(sys.argv[2]))\nprint('ready', flush=True)\n"
              "sys.stdin.readline()\nf.write(bytes.fromhex(sys.argv[3]))\nf.close()\n")

    def __init__(self, path, first, rest=b""):
        self.proc = subprocess.Popen(["/usr/bin/python3", "-c", self.SCRIPT, str(path),
                                      first.hex(), rest.hex()],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.proc.stdout.readline().strip() == b"ready"

    def finish(self):
        if self.proc.poll() is None:
            self.proc.stdin.write(b"\n")
            self.proc.stdin.close()
        self.proc.wait()


def silent_listener():
    """A port that accepts connections and never says a word: the kernel
    completes the handshake for the backlog, nobody reads or writes."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(64)
    return sock
