"""A randomised, seeded soak of the real program with faults injected.

After every run, every file that ever entered the scan folder is in one of
three places: still there with the content last written to it (it will be
sent again or was never new); still there stamped to the watermark with a
byte-identical copy on the server; or deleted by the program with a
byte-identical copy on the server. "remove" deletes exactly the aged files.
No injected command runs, the program never crashes, and it always exits 0.
In runs with a partial suffix, every file the run wrote on the server under
a real name is byte-identical to a version the device had under that name;
and a remote folder named like one file holds back no other file. No byte of
a root-only file outside the scan folder, linked in place of a listed file
after the listing, ever reaches the server; and no fetch cut short ever
stands in the scan folder. The scan folder lies in a folder of a local
writer, who in most runs writes it too and between runs hard-links a file of
root's into it, swaps it for a link to a folder of root's, or squats the
names of the download pass's private folder: nothing outside the scan folder
changes, the hard link stays there unsent, a run reached through the link
refuses and does nothing, and the pass fetches past the squats and leaves no
private folder behind. A file that a slow writer holds open across runs
is never deleted under it, and with MOD_VASTREL_MIN_AGE no version of it is
sent while it is still being written. Clocks go wrong too (files dated 1970,
a run's clock before the program was built, a watermark ahead of the clock):
an undated file is never deleted by age and is on the server after the first
run whose server could be used, a run whose clock is behind deletes nothing
by age, and every run tells the log exactly which of these it met.

The third server is object storage (Ceph's gateway, s3:// URLs, curl per
file and in the batch): its bucket is mirrored into a local folder after
each run, so that the same invariants hold of its objects. Its faults: the
gateway stopped before the run, killed or stopped mid-pass, a wrong secret
(the hostile settings), a clock before the floor (nothing is sent, and the
run says so once).

With --small-fs the scan folder is on a file system of 4 MiB of its own
(with its parent) that writers (and something outside the folder) fill
between runs, and remove
runs between uploads with a floor of free space: after every remove run the
floor is met whenever the folder's own files could reach it, and no unsent
file was deleted while a sent one remained or while the floor was out of
reach, undated files went only after unsent ones, and within each kind the
oldest went first; with free space above the floor, nothing went for it.

    soak.py --runs N --seed S [--small-fs]   (inside tests/e2e/ns-run; see scripts/soak)
"""
import argparse
import collections
import hashlib
import os
import pwd
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from harness import (DAY, ERR, FLOOR, NOTICE, SCRATCH, TIMESTAMP, FtpServer,  # noqa: E402
                     HttpServer, SshServer, World, bind_log_socket)
from objstore import BUCKET, KEY, SECRET, ObjectStore, encode_key  # noqa: E402

FRAGMENTS = ["plain", "a b", "q'uote", 'd"q', "back\\slash", ";touch PWNED", "$(touch PWNED)",
             "`touch PWNED`", "g[1-2]", "{a,b}", "h#ash", "st*r", "q?m", "p%41", "new\nline",
             "\udcff\udcfe", "tab\tx", "&&touch PWNED", "\u00fc", "-lead", "  "]
FAULTS = ["tool_fail", "server_down", "kill_mid", "full", "writer", "overlap",
          "hostile_settings", "check_ftp", "vanish", "stalled", "remote_dir", "link_swap",
          "cut_fetch", "slow_writer", "hard_link", "parent_swap", "fetch_squat",
          "clock_behind", "dated_1970", "watermark_ahead"]
# The faults of the clock, which remove runs draw too.
CLOCK_FAULTS = FAULTS[-3:]
# Those after which a run may have left new files unsent: its server could
# not be used, or it was never reached.
SERVER_FAULTS = {"tool_fail", "server_down", "kill_mid", "full", "stalled", "parent_swap"}
# Object storage: what it cannot have (a full remote disk, a folder in the
# way), and what more leaves files unsent there (a wrong secret, a clock
# whose signatures it refuses).
S3_NO_FAULTS = {"full", "remote_dir"}
S3_SERVER_FAULTS = SERVER_FAULTS | {"hostile_settings", "clock_behind"}
# How the program reads a file's time against the watermark and its clock
# floor; the free-space rule takes them in this order.
SENT, UNSENT, UNDATED = 0, 1, 2
CLOCK_SLACK = 60  # how far ahead of the clock a time may lie unremarked
SUFFIX = ".part"
# The program's own bounds keep every run finite: short ones here.
CONNECT_TIMEOUT, STALL_TIMEOUT = 2, 3
# Per attempt: connecting, the stall bound and curl's 5 s speed window,
# with room for a loaded machine. Only one file's attempts can wait so
# before a pass ends; sleeps are intercepted.
RUN_LIMIT = 60 + 3 * (CONNECT_TIMEOUT + STALL_TIMEOUT + 6)
# The local user who writes the scan folder (as an FTP or share daemon
# would), and owns the folder above it.
WRITER = 65534
# Who may write the scan folder in a run: (owner, group, mode).
SCAN_OWNERS = {"root": (0, 0, 0o755), "writer": (WRITER, 0, 0o755),
               "group": (0, WRITER, 0o775)}
FETCH_FOLDER = re.compile(r"\.vastrel-fetch-[0-9a-f]{16}")


class Failure(Exception):
    pass


class Tracked:
    """One file in the scan folder and every content it has had."""

    def __init__(self, path, content, history):
        self.path = path
        self.versions = [content]
        self.lock = threading.Lock()
        self.history = history
        self.remember()

    def remember(self):
        """Every content the device had under each name, as digests."""
        for content in self.versions:
            self.history[self.path.name].add(hashlib.sha256(content).digest())


class Soak:
    def __init__(self, seed, base, small_fs=False):
        self.seed = seed
        self.rng = random.Random(seed)
        self.base = base
        (base / "world").mkdir()
        self.world = World(base / "world", bind_log_socket())
        self.small_fs = small_fs
        self.make_disk()
        if small_fs:
            (self.world.scan / "spill").mkdir()  # what else fills the same disk
        (base / "ftproot").mkdir()
        self.ftp = FtpServer(base / "ftproot")
        self.ftp.reset()
        sshd_base = Path(tempfile.mkdtemp(prefix="sshd-"))
        sshd_base.chmod(0o755)
        self.sshd = SshServer(sshd_base)
        self.sshd.reset()
        self.store = ObjectStore(Path(tempfile.mkdtemp(prefix="ceph-")))
        self.mirror = StoreMirror(self.store, base / "s3mirror")
        for root in (self.ftp.root, self.sshd.home):
            (root / "full").mkdir()
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k,mode=0777", "tmpfs",
                            str(root / "full")], check=True)
        self.metrics = base / "metrics"
        self.metrics.mkdir()
        self.tracked = {}
        self.history = collections.defaultdict(set)
        self.counter = 0
        self.stats = collections.Counter()
        # Where a smuggled command could write: the shells' working folders
        # (the run's own and the scan folder, both under the world) and the
        # top of /tmp and /.
        self.marker_trees = [self.world.tmp]
        self.marker_tops = [Path("/tmp"), Path("/")]
        self.untouchables = self._make_untouchables()
        self.make_vault()
        self.http = HttpServer()  # the download server, which may cut its fetches short
        self.slow = None  # (Tracked, open file, pieces still to write) of a slow writer
        # The mode of a resuming run that was cut: the next run resumes in it.
        self.resume_mode = None
        self.linked, self.squats = None, {}  # a writer's hard link and squatted names

    # Scan folder ----------------------------------------------------------
    def make_disk(self):
        """The scan folder's disk (with --small-fs, a file system of its
        own): the folder in one that its writer owns (disk/cam/scan), as
        in a home folder, next to a folder of root's (the vault)."""
        disk = self.world.tmp / "disk"
        disk.mkdir()
        if self.small_fs:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,nr_inodes=300,mode=0755",
                            "tmpfs", str(disk)], check=True)
        cam = disk / "cam"
        cam.mkdir()
        os.chown(cam, WRITER, 0)
        self.world.scan.rmdir()
        self.world.scan = cam / "scan"
        self.world.scan.mkdir()
        self.vault = disk / "vault"
        self.vault.mkdir(mode=0o700)

    def make_vault(self):
        """Root-only files (0600) in a root-only folder on the scan folder's
        disk, each starting with the secret: what the writer links in
        (a link in place of a listed file; a hard link to `key`, which root
        has just written) or points the scan folder at."""
        self.secret = b"ROOT-ONLY-" + os.urandom(22)
        for name in ("root-only", "key", "victim-a", "victim-b"):
            path = self.vault / name
            path.write_bytes(self.secret + os.urandom(self.rng.choice([10, 4096])))
            path.chmod(0o600)
            os.utime(path, (1000, 1000))
            self.untouchables[path] = untouched_state(path)
        self.root_only = self.vault / "root-only"
        self.key = self.vault / "key"
        self.vault_names = sorted(os.listdir(self.vault))

    def set_scan_owner(self, force_writer=False):
        """Who may write the scan folder in this run: root alone, or a
        writer as its owner or its group."""
        owner = self.rng.choice(["root", "writer", "writer", "group"])
        if force_writer and owner == "root":
            owner = "writer"
        uid, gid, mode = SCAN_OWNERS[owner]
        os.chown(self.world.scan, uid, gid)
        os.chmod(self.world.scan, mode)
        self.stats[f"runs with the scan folder written by {owner}"] += 1

    def _make_untouchables(self):
        """Entries the program must never touch: a subfolder, a link, a name
        whose path would be cut."""
        scan = self.world.scan
        sub = scan / "sub"
        sub.mkdir()
        (sub / "inner").write_bytes(b"inner")
        outside = self.world.tmp / "outside"
        outside.write_bytes(b"outside")
        (scan / "link").symlink_to(outside)
        long_name = scan / ("L" * (256 - len(str(scan))))
        long_name.write_bytes(b"long")
        for p in (sub / "inner", outside, long_name):
            os.utime(p, (1000, 1000))
        return {p: untouched_state(p, atime=False) for p in (sub / "inner", outside, long_name)}

    def new_name(self):
        self.counter += 1
        fragment = self.rng.choice(FRAGMENTS)
        if fragment == "-lead":
            return f"-lead{self.counter:05d}"
        return f"{self.counter:05d}{fragment}"

    def add_file(self, mtime=None, size=None):
        """A new file; with `mtime`, dated so (as a camera whose clock is unset dates its own)."""
        if size is None:
            size = self.rng.choice([0, 10, 4096, 30_000, 200_000])
        content = os.urandom(size)
        path = self.world.scan / self.new_name()
        try:
            path.write_bytes(content)
            if mtime is not None:
                os.utime(path, (mtime, mtime))
        except OSError:  # a full disk: the writer's file is lost at its source
            path.unlink(missing_ok=True)
            self.stats["files refused by a full disk"] += 1
            return
        self.tracked[path] = Tracked(path, content, self.history)
        self.stats["files added"] += 1
        self.stats["files added dated before the floor"] += mtime is not None

    def append(self, t):
        with t.lock:
            try:
                fd = os.open(t.path, os.O_WRONLY | os.O_APPEND)
            except FileNotFoundError:
                return
            extra = os.urandom(self.rng.randint(1, 100))
            try:
                written = os.write(fd, extra)
            except OSError:  # a full disk
                written = 0
            os.close(fd)
            if written:
                t.versions.append(t.versions[-1] + extra[:written])
                t.remember()

    def victims(self):
        """The tracked files that the test may delete, rename or swap: not
        the one a slow writer holds open."""
        return [p for p in self.tracked if not (self.slow and self.slow[0].path == p)]

    def start_slow_writer(self):
        """A file written in pieces across runs, open all the while, as a
        share or a recorder writes one."""
        path = self.world.scan / self.new_name()
        handle = open(path, "ab", buffering=0)
        first = os.urandom(self.rng.choice([10, 3000]))
        first = first[:self.write_some(handle, first)]
        if not first:  # a full disk: the writer gives up on its file
            handle.close()
            path.unlink(missing_ok=True)
            self.stats["files refused by a full disk"] += 1
            return
        t = Tracked(path, first, self.history)
        self.tracked[path] = t
        self.slow = (t, handle, self.rng.randint(1, 4))
        self.stats["slow writers started"] += 1

    @staticmethod
    def write_some(handle, data):
        """How much of data reached the file; a full disk may take a part."""
        try:
            return handle.write(data) or 0
        except OSError:
            return 0

    def slow_writer_goes_on(self):
        """The next piece, or the end: the file closes with its last piece."""
        t, handle, pieces = self.slow
        with t.lock:
            piece = os.urandom(self.rng.randint(1, 2000))
            piece = piece[:self.write_some(handle, piece)]
            if piece:
                t.versions.append(t.versions[-1] + piece)
                t.remember()
        if pieces <= 1:
            handle.close()
            self.slow = None
            self.stats["slow writers finished"] += 1
        else:
            self.slow = (t, handle, pieces - 1)

    def spill(self):
        """Something outside the folder grows or shrinks on the same disk."""
        filler = self.world.scan / "spill" / "filler"
        size = self.rng.choice([0, 0, 500_000, 1_500_000, 3_500_000])
        try:
            filler.write_bytes(b"\0" * size)
        except OSError:
            pass  # it filled the disk
        self.stats["disk filled from outside"] += size > 0

    def start_recording(self):
        """A recorder's large file, open for writing across a remove run."""
        path = self.world.scan / self.new_name()
        handle = open(path, "ab", buffering=0)
        data = os.urandom(self.rng.choice([600_000, 1_500_000]))
        self.tracked[path] = Tracked(path, data[:self.write_some(handle, data)], self.history)
        self.stats["recordings held across a remove run"] += 1
        return path, handle

    def events(self):
        for _ in range(self.rng.randint(0, 4)):
            self.add_file()
        if self.small_fs and self.rng.random() < 0.2:
            self.spill()
        if self.slow and self.rng.random() < 0.7:
            self.slow_writer_goes_on()
        paths = self.victims()
        if paths and self.rng.random() < 0.3:
            self.append(self.tracked[self.rng.choice(paths)])
            self.stats["appends"] += 1
        if paths and self.rng.random() < 0.15:
            path = self.rng.choice(paths)
            path.unlink()
            del self.tracked[path]
            self.stats["deleted by the test"] += 1
        paths = self.victims()
        if paths and self.rng.random() < 0.15:
            old = self.rng.choice(paths)
            new = self.world.scan / self.new_name()
            old.rename(new)
            t = self.tracked.pop(old)
            t.path = new
            t.remember()
            self.tracked[new] = t
            self.stats["renames"] += 1
        self.move_watermark()

    def move_watermark(self):
        now = int(time.time())
        choice = self.rng.random()
        if choice < 0.55:
            self.world.timestamp(now - 1)
        elif choice < 0.65:
            self.watermark_ahead()  # nothing dated is new
            self.stats["watermark forward"] += 1
        elif choice < 0.8:
            # Stamped files new again; never before the program's floor, where the
            # files stamped to it would read as undated once it moves.
            self.world.timestamp(max(FLOOR, now - self.rng.randint(2, 3 * 86400)))
            self.stats["watermark backward"] += 1
        elif choice < 0.9:
            TIMESTAMP.unlink(missing_ok=True)
            self.stats["watermark missing"] += 1

    def watermark_ahead(self):
        """The watermark in the future of any clock a run reads (a clock set
        back after it was written): minutes to two days ahead."""
        self.world.timestamp(int(time.time()) + self.rng.randint(2 * 60, 2 * DAY))

    def clock_faults(self, faults, index):
        """Sets up the clock's faults before a run: files dated 1970 (a
        camera after a reboot), a watermark ahead. Returns the run's pinned
        clock before the program's floor, or None."""
        if "dated_1970" in faults:
            for _ in range(self.rng.randint(1, 3)):
                self.add_file(mtime=self.rng.choice([self.rng.randint(1, 10**6),
                                                     self.rng.randint(1, FLOOR - DAY)]))
        if "watermark_ahead" in faults:
            self.watermark_ahead()
        if "clock_behind" not in faults:
            return None
        return self.rng.choice([100_000 + index, self.rng.randint(0, FLOOR - DAY)])

    # One run --------------------------------------------------------------
    def settings(self, mode, target, faults):
        hostile = "hostile_settings" in faults
        extra = {}
        if mode == "s3":  # hostile settings: a wrong secret, which the store refuses
            url = f"s3://{BUCKET}/{target}/"
            user, password = KEY, (self.ftp.HOSTILE_PASSWORD if hostile else SECRET)
            extra["S3_ENDPOINT"] = self.store.endpoint
        elif mode == "curl":
            url = self.ftp.url(f"{target}/")
            user, password = ((self.ftp.HOSTILE_USER, self.ftp.HOSTILE_PASSWORD) if hostile
                              else (self.ftp.USER, self.ftp.PASSWORD))
        else:
            url = self.sshd.url(target)
            user, password = ((self.sshd.HOSTILE_USER, self.sshd.HOSTILE_PASSWORD) if hostile
                              else (self.sshd.USER, self.sshd.PASSWORD))
        values = {"SCANFOLDER": str(self.world.scan), "REMOTEURL": url, "USERNAME": user,
                  "PASSWORD": f'"{password}"', "RUPLOADED": self.rng.choice([0, 1]),
                  "CHECKFTP": int("check_ftp" in faults), "CONNECT_TIMEOUT": CONNECT_TIMEOUT,
                  "STALL_TIMEOUT": STALL_TIMEOUT,
                  "CURL_BATCH": self.rng.choice([0, 1]) if mode != "sftp" else 0,
                  "PARTIAL_SUFFIX": self.rng.choice(["", SUFFIX]), **extra}
        if self.resume_mode:  # goes on from the partials a cut run left
            values.update(CURL_BATCH=0, PARTIAL_SUFFIX=SUFFIX)
        self.fetched = None
        self.whole_fetch = None
        if "cut_fetch" in faults:
            self.cut_fetch(values)
        elif "fetch_squat" in faults:
            self.fetch_whole(values)
        if "slow_writer" in faults and not self.slow:
            self.start_slow_writer()
        # With a minimum age, what was written in the last second waits.
        values["MIN_AGE"] = self.rng.choice([0, 0, 1])
        self.min_age = values["MIN_AGE"]
        if self.min_age:
            self.stats["upload runs with a minimum age"] += 1
        self.fleet = self.rng.random() < 1 / 3
        if self.fleet:
            # Generous enough that the soak's small files never wait on it.
            values.update(SEND_ORDER=self.rng.choice([1, 2]), RATE_LIMIT=100_000,
                          METRICS_DIR=str(self.metrics))
            self.stats["upload runs with an order, a rate limit and metrics"] += 1
        if values["CURL_BATCH"]:
            self.stats["upload runs (curl, one run a pass)"] += 1
        if values["PARTIAL_SUFFIX"]:
            self.stats["upload runs with a partial suffix"] += 1
            # Resuming onto a cut partial: what lands under a real name must
            # still be a version the device had, byte for byte.
            values["RESUME"] = 1 if self.resume_mode else self.rng.choice([0, 1])
            cut = values["RESUME"] and ("kill_mid" in faults or "stalled" in faults)
            self.resume_mode = mode if cut and not values["CURL_BATCH"] and mode != "s3" else None
            if values["RESUME"]:
                self.stats["upload runs resuming cut transfers"] += 1
                if cut:
                    # Slow enough that the kill or the stop lands inside a file,
                    # and one file large enough to be cut.
                    values["RATE_LIMIT"] = 1000
                    self.add_file(size=(1 << 20) // (8 if self.small_fs else 1))
        end = "\r\n" if hostile else "\n"
        lines = [f"MOD_VASTREL_{k}={v}" for k, v in values.items()]
        if hostile:
            lines.insert(self.rng.randint(0, len(lines)), "X" * 20000)
            lines.insert(self.rng.randint(0, len(lines)), "garbage \x00\x01\xff no key")
            lines.insert(self.rng.randint(0, len(lines)), "mod_vastrel_scanfolder =/etc")
        self.world.settings(end.join(lines).encode("utf-8", "surrogateescape") + end.encode())
        return values["PARTIAL_SUFFIX"]

    def inject(self, mode, faults, remote_dir):
        """Sets up the faults before the run; returns what undoes them."""
        undo = []
        self.blocker = None
        self.linked = self.link_root_file() if "hard_link" in faults else None
        self.squats = self.squat_fetch_names() if "fetch_squat" in faults else {}
        if "remote_dir" in faults:
            sendable = [p for p in self.tracked if not has_control(p.name)]
            if sendable:
                blocker = remote_dir / self.rng.choice(sendable).name
                if not os.path.lexists(blocker):
                    blocker.mkdir()
                    self.blocker = blocker.name
                    undo.append(lambda: blocker.rmdir())
        tool = "sftp" if mode == "sftp" else "curl"
        self.sshd.install_client()  # the real client tools again
        (self.world.fakebin / "curl").unlink(missing_ok=True)
        # Always in front of the real tool, with no time limit of its own:
        # the program's bounds must end every transfer.
        script = {"real": f"/usr/bin/{tool}"}
        if "tool_fail" in faults:
            script["exit"] = [self.rng.choice([None, None, 1, 7, 28, 55]) for _ in range(6)]
            script["stderr"] = [self.rng.choice(["", "injected failure\n"]) for _ in range(6)]
        else:
            script["exit"] = [None]
        killed = None
        if "kill_mid" in faults:
            delay = self.rng.choice(["0", "0.01", "0.05", "0.2"])
            killed = {"curl": self.ftp.proc, "s3": self.store.procs["rgw"]}.get(mode)
            kill = f"kill -9 {killed.pid}" if killed else self.sshd.signal_command("KILL")
            script["background"] = [f"sleep {delay}; {kill}"]
        shell = []
        if "vanish" in faults and self.victims():
            victim = self.rng.choice(self.victims())
            shell.append(f"rm -f '{self._sh(victim)}'")
            self.tracked.pop(victim)
            self.stats["vanished during a run"] += 1
        if "link_swap" in faults and self.victims():
            shell.append(self.swap_in_link())
        if shell:
            script["shell"] = ["; ".join(shell)]
        self.world.fake(tool, **script)
        (self.world.fakes / f"{tool}.calls").unlink(missing_ok=True)
        if tool == "sftp":
            Path("/opt/vastrel/bin/sftp").unlink()
            Path("/opt/vastrel/bin/sftp").symlink_to(self.world.fakebin / "sftp")
        if "server_down" in faults:
            if mode == "s3":
                self.store.stop_gateway()
                undo.append(self.store.start_gateway)
            elif mode == "curl":
                self.ftp.stop()
                undo.append(self.ftp.start)
            else:
                self.sshd.install_client(port=1)
        if killed:
            undo.append(lambda: self._reap_if_killed(killed))
        if "kill_mid" in faults and mode == "curl":
            undo.append(self._restart_ftp_if_dead)
        if "kill_mid" in faults and mode == "s3":
            undo.append(self.store.restart_gateway_if_gone)
        if "stalled" in faults:
            undo.append(self.stall(mode, script))  # may add a background stop
        if script.get("background"):
            # A run can end before a call's delayed kill or stop lands; done
            # late, it would hit the next run's server or session instead.
            marks = self.world.fakes / "background"
            shutil.rmtree(marks, ignore_errors=True)
            marks.mkdir()
            script["background"] = [f"touch {marks}/$$.started; {command}; touch {marks}/$$.done"
                                    for command in script["background"]]
            self.world.fake(tool, **script)
            undo.insert(0, lambda: self._wait_background(marks, tool))
        return undo

    def swap_in_link(self):
        """The command that puts a link to the root-only file in place of a
        listed file (a new one where there is one), as a transfer starts."""
        watermark = int(os.stat(TIMESTAMP).st_mtime) if TIMESTAMP.exists() else 0
        new = [p for p in self.victims()
               if standing(int(os.stat(p).st_mtime), watermark) != SENT]
        victim = self.rng.choice(new or self.victims())
        self.tracked.pop(victim)
        self.counter += 1
        link = victim.parent / f"swap{self.counter}"
        self.stats["links swapped in after the listing"] += 1
        return (f"ln -s '{self.root_only}' '{link}' && "
                f"mv -T '{link}' '{self._sh(victim)}'")

    # A local writer's attacks on root ------------------------------------------
    def link_root_file(self):
        """Root writes its key afresh (in place: a full small disk takes no
        new block), and the writer hard-links it into the scan folder under
        an ordinary new name. Returns the link, or None when the disk is
        full."""
        with open(self.key, "r+b", buffering=0) as f:
            f.write(self.secret + os.urandom(os.fstat(f.fileno()).st_size - len(self.secret)))
        os.utime(self.key, ns=(1000 * 10**9, time.time_ns()))  # read since: a new atime
        self.untouchables[self.key] = untouched_state(self.key)
        self.counter += 1
        link = self.world.scan / f"{self.counter:05d}report"
        try:
            os.link(self.key, link)
        except OSError:  # a link takes an inode of a small file system
            self.stats["hard links refused by a full disk"] += 1
            return None
        self.stats["root-only files hard-linked in"] += 1
        return link

    def squat_fetch_names(self):
        """The writer takes the fixed name of the fetch folder of earlier
        versions (a link to the vault) and names a pass could draw (a
        folder of its own holding a file; a link to the vault). Returns
        each entry with what it must still be after the run."""
        scan = self.world.scan
        old = scan / ".vastrel-fetch"
        theirs = scan / f".vastrel-fetch-{self.rng.getrandbits(64):016x}"
        squats = [old, theirs, theirs / "theirs"]
        if self.rng.random() < 0.5:
            squats.append(scan / f".vastrel-fetch-{self.rng.getrandbits(64):016x}")
        try:
            old.symlink_to(self.vault)
            theirs.mkdir(mode=0o700)
            (theirs / "theirs").write_bytes(b"theirs")
            if len(squats) > 3:
                squats[3].symlink_to(self.vault)
        except OSError:  # a full small file system
            self.stats["fetch names squatted in part (full disk)"] += 1
        for path in squats[1:3]:
            if os.path.lexists(path):
                os.chown(path, WRITER, 0)
        self.stats["fetch folder names squatted"] += 1
        return {p: squat_state(p) for p in squats}

    def swap_parent(self):
        """The writer, owner of the folder above the scan folder, renames the
        scan folder away and puts a link to the vault in its place. Returns
        what puts it back, or None when the disk is full."""
        scan = self.world.scan
        away = scan.with_name("scan.away")
        scan.rename(away)
        try:
            scan.symlink_to(self.vault)
        except OSError:  # a link takes an inode of a small file system
            away.rename(scan)
            self.stats["parent swaps refused by a full disk"] += 1
            return None
        self.stats["scan folders swapped for a link by their parent's owner"] += 1

        def restore():
            scan.unlink()
            away.rename(scan)
        return restore

    def check_refused(self, what, run):
        """A run that reached the scan folder through the writer's link did
        nothing with it, and said so, naming a folder on the way that
        someone other than root can change, and its owner."""
        pattern = re.compile(re.escape(f"Scan folder {self.world.scan} is reached through ") +
                             r"(.*), which user (\d+) can change, nothing is done")
        for _, priority, message in run.all_lines:
            found = pattern.fullmatch(message)
            if (priority == ERR and found and Path(found[1]) in self.world.scan.parents and
                    os.stat(found[1]).st_uid == int(found[2])):
                return
        raise Failure(f"{what}: the scan folder reached through a link was not refused\n"
                      f"log: {run.log}")

    def check_hard_link(self, index, mode, run, faults, watermark):
        """The hard link to root's key stays where it is, neither stamped nor
        deleted (the key's content and times are checked always), and, new
        and alone, was refused as unreadable by the scan folder's writers."""
        def fail(what):
            raise Failure(f"run {index} ({mode}): the hard link {self.linked}: {what}\n"
                          f"log: {run.log}")

        if not os.path.lexists(self.linked):
            fail("deleted")
        if os.lstat(self.linked).st_ino != os.stat(self.key).st_ino:
            fail("replaced")
        refusal = f"File {self.linked} could not be read by the scan folder's writers, not sent"
        new = self.untouchables[self.key][1] // 10**9 > watermark
        if (ERR, refusal) in run.log:
            self.stats["hard links refused as unreadable"] += 1
        elif new and faults == ["hard_link"] and not self.min_age:
            fail("not refused as unreadable")

    def check_squats(self, index, mode, run):
        """The squatted names stand as they were: only the pass's own leftovers go."""
        for path, state in self.squats.items():
            if squat_state(path) != state:
                raise Failure(f"run {index} ({mode}): the squatted {path} changed from {state} "
                              f"to {squat_state(path)}\nlog: {run.log}")

    def check_fetched(self, index, mode, run, faults):
        """A whole fetch stands in the scan folder (or was sent and removed),
        tracked from now on as any new file: squatted names never stop the
        pass, but a refused scan folder does, and a failed curl or a full
        small disk may."""
        path, content = self.whole_fetch
        messages = {m for _, _, m in run.all_lines}
        if os.path.lexists(path) or f"File {path} was removed" in messages:
            self.tracked[path] = Tracked(path, content, self.history)
            self.stats["whole fetches past squatted names"] += 1
            return
        failed = any(m.startswith("getting file ") for m in messages)
        if ("parent_swap" in faults or ("tool_fail" in faults and mode != "sftp") or
                (self.small_fs and failed)):
            return
        raise Failure(f"run {index} ({mode}): the download pass did not fetch {path.name}\n"
                      f"log: {run.log}")

    def undo_attacks(self):
        """The writer takes back its link and squats once they are checked."""
        if self.linked:
            self.linked.unlink()
        for path in sorted(self.squats, reverse=True):  # what a folder holds first
            if path.is_dir() and not path.is_symlink():
                path.rmdir()
            elif os.path.lexists(path):
                path.unlink()

    def cut_fetch(self, values):
        """A download whose server cuts the fetch short: of a file the folder
        holds (which must survive) or of a new name (which must not appear)."""
        if self.tracked and self.rng.random() < 0.5:
            name = self.rng.choice(list(self.tracked)).name
        else:
            self.counter += 1
            name = f"fetched{self.counter}"
        if not all(c.isalnum() or c in "-._" for c in name):
            self.counter += 1
            name = f"fetched{self.counter}"
        self.http.contents = {name: os.urandom(self.rng.choice([2, 200_000]))}
        self.http.mode = self.rng.choice(["cut", "stall"])
        values.update(DOWNLOAD=1, DOWNLOAD_URL=self.http.url(name))
        self.fetched = None if (self.world.scan / name) in self.tracked else name
        self.stats[f"fetches cut short ({self.http.mode})"] += 1

    def fetch_whole(self, values):
        """A download that arrives whole under a new name, which must then
        stand in the scan folder as any other new file."""
        self.counter += 1
        name = f"fetched{self.counter}"
        content = os.urandom(self.rng.choice([10, 30_000]))
        self.http.contents = {name: content}
        self.http.mode = "whole"
        values.update(DOWNLOAD=1, DOWNLOAD_URL=self.http.url(name))
        self.history[name].add(hashlib.sha256(content).digest())  # it may be sent at once
        self.whole_fetch = (self.world.scan / name, content)

    def _wait_background(self, marks, tool):
        """Waits until every call's background command has ended. A call
        that exits at once may end the run before its command has marked
        itself started: each call recorded starts one."""
        deadline = time.monotonic() + 30
        calls = len(self.world.calls(tool))
        while len(list(marks.glob("*.started"))) < calls and time.monotonic() < deadline:
            time.sleep(0.01)
        for started in marks.glob("*.started"):
            done = started.with_suffix(".done")
            while not done.exists() and time.monotonic() < deadline:
                time.sleep(0.01)

    def stall(self, mode, script):
        """Stops a server (SIGSTOP) until the run has ended: the FTP server
        or the gateway before the run (unless it is down already), or the
        sshd listener before it, or its sessions while the batch is under
        way. Returns what resumes it."""
        if mode != "sftp" or self.rng.random() < 0.5:
            proc = {"curl": self.ftp.proc, "s3": self.store.procs.get("rgw")}.get(mode,
                                                                                 self.sshd.proc)
            if proc is None:
                return lambda: None
            if proc.poll() is None:
                proc.send_signal(signal.SIGSTOP)
            return lambda: proc.poll() is None and proc.send_signal(signal.SIGCONT)
        delay = self.rng.choice(["0.05", "0.2", "0.5"])
        script["background"] = [f"sleep {delay}; {self.sshd.signal_command('STOP')}"]
        return lambda: self.sshd.signal_sessions("CONT")

    @staticmethod
    def _sh(path):
        return str(path).replace("'", "'\\''")

    def _reap_if_killed(self, proc):
        """A SIGKILL sent is not yet an exit (the gateway's threads end one
        by one): once a call's kill has run, waits for the server to be
        gone, so that what restarts it does not take it as alive."""
        if any((self.world.fakes / "background").glob("*.done")):
            proc.wait(timeout=60)

    def _restart_ftp_if_dead(self):
        if self.ftp.proc.poll() is not None or not self._ftp_alive():
            self.ftp.stop()
            self.ftp.start()

    def _ftp_alive(self):
        import socket
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.ftp.port)) == 0

    def writer(self, stop):
        """Appends to files while the program runs, as an FTP client would."""
        while not stop.is_set():
            paths = list(self.tracked)
            if paths:
                self.append(self.tracked[self.rng.choice(paths)])
            time.sleep(self.rng.choice([0.002, 0.01, 0.03]))

    def snapshot(self):
        return {p: (os.stat(p).st_mtime_ns if os.path.exists(p) else None) for p in self.tracked}

    def upload_run(self, index):
        mode = self.resume_mode or self.rng.choice(["curl", "sftp", "s3"])
        faults = [f for f in FAULTS if self.rng.random() < 0.12]
        if mode == "s3":
            faults = [f for f in faults if f not in S3_NO_FAULTS]
        server_faults = S3_SERVER_FAULTS if mode == "s3" else SERVER_FAULTS
        target = "full" if "full" in faults else "up"
        for f in faults:
            self.stats[f"fault {f}" + (" (s3)" if mode == "s3" else "")] += 1
        self.set_scan_owner(force_writer="hard_link" in faults)
        remote_root = {"curl": self.ftp.root, "s3": self.mirror.root}.get(mode, self.sshd.home)
        pinned = self.clock_faults(faults, index)
        suffix = self.settings(mode, target, faults)
        remote_before = remote_files(remote_root / target)
        undo = self.inject(mode, faults, remote_root / target)
        watermark = int(os.stat(TIMESTAMP).st_mtime) if TIMESTAMP.exists() else 0
        clock = int(time.time()) if pinned is None else pinned
        before = self.snapshot()
        undated_files = self.undated_files(mode, faults, watermark, clock, remote_root / target)
        counted = self.standings(watermark)[UNDATED]
        stop = threading.Event()
        writer = None
        if "writer" in faults:
            writer = threading.Thread(target=self.writer, args=(stop,))
            writer.start()
        restore = self.swap_parent() if "parent_swap" in faults else None
        started = time.monotonic()
        proc = self.world.start(now=pinned)
        others = []
        if "overlap" in faults:
            time.sleep(self.rng.choice([0, 0.01, 0.05]))
            others.append(self.world.start(now=pinned))
        run = self.world.finish(proc, others=others, timeout=RUN_LIMIT)
        elapsed = time.monotonic() - started
        if restore:
            restore()
        stop.set()
        if writer:
            writer.join()
        for action in undo:
            action()
        if mode == "s3":
            self.mirror.sync()
        if elapsed > RUN_LIMIT:
            raise Failure(f"run {index} ({mode}) took {elapsed:.0f} s, over {RUN_LIMIT} s\n"
                          f"log: {run.log}")
        self.stats["longest upload run (s)"] = max(self.stats["longest upload run (s)"],
                                                   round(elapsed))
        self.stats["transfers resumed"] += len(run.matching(" resumed at "))
        if restore:
            self.check_refused(f"run {index} ({mode})", run)
        if self.whole_fetch:
            self.check_fetched(index, mode, run, faults)
        self.check_upload(index, mode, run, others, watermark, before, remote_root / target)
        if not server_faults & set(faults):
            self.check_undated_sent(index, f"{mode}, faults {faults}", run, undated_files,
                                    remote_root / target)
        if not {"overlap", "parent_swap"} & set(faults):  # this run went, and reached the folder
            # Files others write or swap meanwhile may be counted as they were.
            changing = {"writer", "vanish", "link_swap"} & set(faults)
            self.check_clock_notices(f"run {index} ({mode})", run, clock, pinned, watermark,
                                     None if changing else counted, remove=False,
                                     s3=mode == "s3")
        if suffix:
            self.check_real_names(index, mode, run, remote_before, remote_root / target)
        self.check_nothing_foreign(index, mode, run, remote_before, remote_root / target)
        self.check_slow_writer(index, mode, run, remote_before, remote_root / target)
        if faults == ["remote_dir"] and not self.min_age:  # a minimum age holds back on purpose
            self.check_none_held_back(index, mode, run, watermark, before, remote_root / target)
        # The run counts what it saw: a file that another process changes or
        # deletes while the run goes is counted as the run last saw it.
        if self.fleet and not {"overlap", "writer", "vanish", "link_swap",
                               "parent_swap"} & set(faults):
            self.check_metrics(index, f"{mode}, faults {faults}", run, watermark)
        if self.linked:
            self.check_hard_link(index, mode, run, faults, watermark)
        self.check_squats(index, mode, run)
        self.undo_attacks()
        self.stats[f"upload runs ({mode})"] += 1

    def check_upload(self, index, mode, run, others, watermark, before, remote_dir):
        def fail(what):
            raise Failure(f"run {index} ({mode}): {what}\nlog: {run.log}")

        if run.rc != 0 or any(o.returncode != 0 for o in others):
            fail(f"exit status {run.rc}, {[o.returncode for o in others]}")
        messages = {m for _, _, m in run.all_lines}
        for path, t in list(self.tracked.items()):
            name = path.name
            remote = remote_dir / name
            if not os.path.lexists(path):
                if f"File {path} was removed" not in messages:
                    fail(f"{path!r} vanished without being removed")
                if not remote.exists() or remote.read_bytes() != t.versions[-1]:
                    fail(f"{path!r} was deleted without an identical copy at {remote}")
                del self.tracked[path]
                self.stats["deleted after sending"] += 1
                continue
            content = path.read_bytes()
            if content != t.versions[-1]:
                fail(f"content of {path!r} changed by someone else")
            mtime_ns = os.stat(path).st_mtime_ns
            if mtime_ns != before.get(path) and mtime_ns == watermark * 10**9:
                if not remote.exists() or remote.read_bytes() != content:
                    fail(f"{path!r} was stamped without an identical copy at {remote}")
                self.stats["stamped after sending"] += 1
            if f"File {path} was uploaded" in messages:
                if not remote.exists() or remote.read_bytes() not in t.versions:
                    fail(f"{path!r} reported sent, but {remote} holds no version of it")

    def undated_files(self, mode, faults, watermark, clock, remote_dir):
        """The tracked files the run must send whatever the watermark (the
        undated ones), each with its number of versions; but those it may
        rightly pass by: a name it refuses or a remote folder blocks, a copy
        there this run's sftp user may not replace, a file that a minimum
        age holds back."""
        user = self.sshd.HOSTILE_USER if "hostile_settings" in faults else self.sshd.USER
        found = []
        for path in self.victims():
            mtime = int(os.stat(path).st_mtime)
            if (not undated(mtime, watermark) or has_control(path.name) or
                    path.name == self.blocker or
                    (mode == "sftp" and self.not_replaceable(remote_dir / path.name, user)) or
                    (mode == "s3" and not is_utf8(path.name)) or
                    (self.min_age and -CLOCK_SLACK <= clock - mtime < self.min_age)):
                continue
            t = self.tracked[path]
            found.append((t, len(t.versions)))
        return found

    def check_undated_sent(self, index, mode, run, undated_files, remote_dir):
        """A run whose server could be used sent every undated file it
        found, whatever the watermark: a version of it is on the server."""
        for t, versions in undated_files:
            if len(t.versions) != versions:
                continue  # written meanwhile: dated now, and new
            remote = remote_dir / t.path.name
            if not remote.is_file() or remote.read_bytes() not in t.versions:
                raise Failure(f"run {index} ({mode}): the undated {t.path!r} is not on the "
                              f"server\nlog: {run.log}")
            self.stats["undated files sent by the first run that could"] += 1

    def check_clock_notices(self, what, run, clock, pinned, watermark, undated_count, remove,
                            s3=False):
        """The run told what its clock made of the times (a clock before the
        floor: remove runs, and the refusal of upload runs to object
        storage; a watermark ahead of the clock; how many undated files it
        found, unless None), and told nothing otherwise."""
        clock_text = re.escape(utc(clock)) if pinned is not None else r"[-0-9: ]+"
        behind = (" object storage refuses its signatures, nothing is sent", ERR) if s3 else \
            (" nothing is removed by age", NOTICE)
        notices = [
            (rf"The watermark {re.escape(utc(watermark))} lies after the clock {clock_text}",
             "lies after the clock", watermark - clock > CLOCK_SLACK, NOTICE),
            (rf"The clock reads {re.escape(utc(clock))}, before this program was built:"
             f"{behind[0]}", "before this program was built", (remove or s3) and clock < FLOOR,
             behind[1]),
        ]
        if undated_count is not None:
            notices.append((rf"{undated_count} files dated before {utc(FLOOR, '%Y-%m-%d')} are "
                            "taken as unsent", "are taken as unsent", undated_count > 0, NOTICE))
        for exact, loose, expected, priority in notices:
            told = [(p, m) for p, m in run.log if loose in m]
            if expected and not any(p == priority and re.fullmatch(exact, m) for p, m in told):
                raise Failure(f"{what}: no notice /{exact}/\nlog: {run.log}")
            if not expected and told:
                raise Failure(f"{what}: told {told}, which is not so\nlog: {run.log}")
        self.stats["runs whose clock notices were checked"] += 1

    def check_real_names(self, index, mode, run, remote_before, remote_dir):
        """A run with a suffix wrote no cut or foreign file under a real name."""
        for name, stamp in remote_files(remote_dir).items():
            if name.endswith(SUFFIX) or remote_before.get(name) == stamp:
                continue
            content = (remote_dir / name).read_bytes()
            if hashlib.sha256(content).digest() not in self.history[name]:
                raise Failure(f"run {index} ({mode}): {remote_dir / name} holds {len(content)} "
                              f"bytes that were never a version of it\nlog: {run.log}")
            self.stats["real names checked after a suffix run"] += 1

    def check_nothing_foreign(self, index, mode, run, remote_before, remote_dir):
        """No byte of a root-only file reached the server, no fetch cut short
        stands in the scan folder, and no pass left its private folder."""
        for name, stamp in remote_files(remote_dir).items():
            changed = remote_before.get(name) != stamp
            if changed and self.secret in (remote_dir / name).read_bytes():
                raise Failure(f"run {index} ({mode}): a root-only file's bytes reached "
                              f"{remote_dir / name}\nlog: {run.log}")
        if self.fetched and os.path.lexists(self.world.scan / self.fetched):
            raise Failure(f"run {index} ({mode}): a fetch cut short stands in the scan folder: "
                          f"{self.fetched}\nlog: {run.log}")
        left = [e.name for e in os.scandir(self.world.scan)
                if FETCH_FOLDER.fullmatch(e.name) and Path(e.path) not in self.squats]
        if left:
            raise Failure(f"run {index} ({mode}): a pass left its fetch folder {left}\n"
                          f"log: {run.log}")

    def check_slow_writer(self, index, mode, run, remote_before, remote_dir):
        """A file still open for writing is never deleted under its writer;
        with a minimum age, no version of it is sent while it is."""
        if not self.slow:
            return
        path = self.slow[0].path
        if not path.exists():
            raise Failure(f"run {index} ({mode}): {path!r} was deleted while being written\n"
                          f"log: {run.log}")
        changed = remote_files(remote_dir).get(path.name) != remote_before.get(path.name)
        if self.min_age and changed:
            raise Failure(f"run {index} ({mode}): {path!r} was sent while being written, "
                          f"with a minimum age\nlog: {run.log}")
        self.stats["runs with a file being written"] += 1

    def metric(self, name, file="vastrel_upload.prom"):
        for line in (self.metrics / file).read_text().splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
        raise Failure(f"{name} missing from {file}")

    def standings(self, watermark):
        """How many of the scan folder's regular files the program reads as
        sent, unsent and undated."""
        return collections.Counter(standing(int(e.stat().st_mtime), watermark)
                                   for e in os.scandir(self.world.scan)
                                   if e.is_file(follow_symlinks=False) and len(e.path) <= 255)

    def check_metrics(self, index, mode, run, watermark):
        """The metrics file says what the soak saw the run do."""
        sent = len(run.matching(" was uploaded$"))
        standings = self.standings(watermark)
        left = standings[UNSENT] + standings[UNDATED]
        figures = (self.metric("vastrel_upload_files_sent"), self.metric("vastrel_upload_files_left"))
        if figures != (sent, left):
            raise Failure(f"run {index} ({mode}): metrics say sent and left {figures}, the soak "
                          f"saw {(sent, left)}\nlog: {run.log}")
        self.stats["metrics files checked"] += 1

    def check_none_held_back(self, index, mode, run, watermark, before, remote_dir):
        """With no other fault, every other new file was sent."""
        messages = {m for _, _, m in run.all_lines}
        for path, mtime_ns in before.items():
            if (mtime_ns is None or standing(mtime_ns // 10**9, watermark) == SENT or
                    has_control(path.name)):
                continue
            if mode == "sftp" and self.not_replaceable(remote_dir / path.name):
                continue  # refused on its own, as the blocker is
            if mode == "s3" and not is_utf8(path.name):
                continue  # a key must be UTF-8: the store refuses it, as its own failure
            if path.name != self.blocker and f"File {path} was uploaded" not in messages:
                raise Failure(f"run {index} ({mode}): {path!r} was held back\nlog: {run.log}")
        self.stats["runs where a remote folder held back no other file"] += 1

    def not_replaceable(self, remote, user=None):
        """A copy that the other sshd user wrote (runs with hostile settings
        log in as it): this run's user (by default the usual one) may not
        write over it."""
        try:
            st = os.lstat(remote)
        except FileNotFoundError:
            return False
        uid = pwd.getpwnam(user or self.sshd.USER).pw_uid
        return st.st_uid != uid and not st.st_mode & 0o002

    def remove_run(self, index):
        unit = self.rng.choice([0, 1, 2])
        count = self.rng.choice([0, 1, 2, 24, 48])
        with_metrics = self.rng.random() < 1 / 3
        keep_free = self.rng.choice([0, 20, 40, 60]) if self.small_fs else 0
        keep_unsent = self.rng.choice([0, 1]) if self.small_fs else 0
        faults = [f for f in CLOCK_FAULTS if self.rng.random() < 0.25]  # cheap runs: more often
        for f in faults:
            self.stats[f"fault {f} (remove runs)"] += 1
        pinned = self.clock_faults(faults, index)
        self.set_scan_owner()
        recording = self.start_recording() if self.small_fs and self.rng.random() < 0.5 else None
        self.world.settings(TIMEUNIT=unit, TIMECOUNT=count, SCANFOLDER=str(self.world.scan),
                            METRICS_DIR=str(self.metrics) if with_metrics else "",
                            KEEP_FREE=keep_free, KEEP_UNSENT=keep_unsent)
        age = count * {2: 86400}.get(unit, 3600)
        now = int(time.time()) if pinned is None else pinned
        watermark = int(os.stat(TIMESTAMP).st_mtime) if TIMESTAMP.exists() else 0
        expected = set()
        present = {}  # each candidate of either rule: its time and standing (SENT...)
        # Below the floor before the run, or the free-space rule deletes nothing.
        below = keep_free and not self.floor_met(keep_free)
        for entry in os.scandir(self.world.scan):
            st = os.stat(entry.path, follow_symlinks=False)
            regular = entry.is_file(follow_symlinks=False)
            held = self.slow and self.slow[0].path == Path(entry.path) or \
                recording and recording[0] == Path(entry.path)
            if not regular or len(entry.path) > 255 or held:
                continue
            kind = standing(int(st.st_mtime), watermark)  # whole seconds, as the watermark
            present[Path(entry.path)] = (st.st_mtime_ns, entry.name, kind, st.st_nlink)
            # Nothing ages while the clock reads before the floor, nor an undated file ever.
            ages = kind == SENT or kind == UNSENT and not keep_unsent
            if ages and now >= FLOOR and int(st.st_mtime) + age < now:
                expected.add(Path(entry.path))
        restore = self.swap_parent() if self.rng.random() < 0.12 else None
        if restore:
            expected = set()  # nothing is done
            self.stats["fault parent_swap (remove runs)"] += 1
        run = self.world.run("/opt/vastrel/bin/remove", now=now)
        if not restore:
            undated_count = sum(v[2] == UNDATED for v in present.values())
            self.check_clock_notices(f"remove run {index}", run, now, pinned, watermark,
                                     undated_count, remove=True)
            self.stats["undated files that remove runs found"] += undated_count
        if restore:
            restore()
            self.check_refused(f"remove run {index}", run)
        if recording:
            recording[1].close()  # the recording ends after the run
            if not recording[0].exists():
                raise Failure(f"remove run {index}: {recording[0]} was deleted under its recorder")
        gone = {p for p in present if not os.path.lexists(p)}
        exact = not below or restore
        if run.rc != 0 or not expected <= gone or (exact and gone != expected):
            raise Failure(f"remove run {index}: expected {expected}, removed {gone}")
        if restore:
            return
        if keep_free:
            self.check_floor(index, run, keep_free, present, gone - expected)
        if with_metrics and self.metric("vastrel_remove_files_deleted",
                                        "vastrel_remove.prom") != len(gone):
            raise Failure(f"remove run {index}: the metrics do not count {len(gone)} deleted")
        for path in gone:
            self.tracked.pop(path, None)
        self.stats["remove runs"] += 1
        self.stats["removed as aged"] += len(expected)
        self.stats["removed for space"] += len(gone - expected)

    def floor_met(self, keep_free):
        """Whether the scan folder's file system has the floor's share of
        blocks and inodes free."""
        fs = os.statvfs(self.world.scan)
        return (fs.f_bavail * 100 >= keep_free * fs.f_blocks and
                (fs.f_files == 0 or fs.f_favail * 100 >= keep_free * fs.f_files))

    def check_floor(self, index, run, keep_free, present, for_space):
        """The floor is met unless the folder's files could not reach it;
        sent files go first and unsent ones only to reach it; oldest first."""
        def fail(what):
            raise Failure(f"remove run {index} (floor {keep_free}%): {what}\nlog: {run.log}")

        met = self.floor_met(keep_free)
        kept = {p: v for p, v in present.items() if os.path.lexists(p) and v[3] == 1}
        went = {kind: [present[p][:2] for p in for_space if present[p][2] == kind]
                for kind in (SENT, UNSENT, UNDATED)}
        stayed = {kind: [v[:2] for v in kept.values() if v[2] == kind]
                  for kind in (SENT, UNSENT, UNDATED)}
        unsent_gone = went[UNSENT] + went[UNDATED]
        if unsent_gone and stayed[SENT]:
            fail(f"unsent files {unsent_gone} went while sent ones {stayed[SENT]} stayed")
        self.stats["undated files removed for space"] += len(went[UNDATED])
        if went[UNDATED] and stayed[UNSENT]:
            fail(f"undated files {went[UNDATED]} went while unsent ones {stayed[UNSENT]} stayed")
        if unsent_gone and not met:
            fail(f"unsent files {unsent_gone} went, and the floor is still not met")
        if not met and stayed[SENT]:
            fail(f"below the floor with sent files left: {stayed[SENT]}")
        for kind in (SENT, UNSENT, UNDATED):
            if went[kind] and stayed[kind] and max(went[kind]) > min(stayed[kind]):
                fail(f"{max(went[kind])} went before the older {min(stayed[kind])}")
        self.stats["remove runs below or at a floor checked"] += 1

    def check_always(self, index):
        for path, state in self.untouchables.items():
            if untouched_state(path, atime=state[2] is not None) != state:
                raise Failure(f"run {index}: {path} was touched")
        if sorted(os.listdir(self.vault)) != self.vault_names:
            raise Failure(f"run {index}: the vault holds {os.listdir(self.vault)}")
        # os.walk passes over folders that vanish meanwhile (other programs'
        # temporary folders under /tmp).
        found = [d for tree in self.marker_trees for d, _, names in os.walk(tree)
                 if "PWNED" in names]
        found += [top for top in self.marker_tops if (top / "PWNED").exists()]
        if found:
            raise Failure(f"run {index}: an injected command ran (in {found})")

    def run(self, runs):
        for index in range(runs):
            self.events()
            if self.rng.random() < (0.4 if self.small_fs else 0.15):
                self.remove_run(index)
            else:
                self.upload_run(index)
            self.check_always(index)


def untouched_state(path, atime=True):
    """A file's content and mtime, and its atime when asked: read without
    touching it (O_NOATIME), so that only another reader moves it. None
    when it is gone."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOATIME)
    except FileNotFoundError:
        return None
    try:
        st = os.fstat(fd)
        content = b"".join(iter(lambda: os.read(fd, 1 << 16), b""))
    finally:
        os.close(fd)
    return content, st.st_mtime_ns, st.st_atime_ns if atime else None


def squat_state(path):
    """What tells that an entry was replaced, changed or removed."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    target = os.readlink(path) if os.path.islink(path) else None
    return st.st_ino, st.st_mode, st.st_uid, st.st_mtime_ns, target


def undated(mtime, watermark):
    """Whether the program takes a file of this time (whole seconds) as
    undated: after 0, before its clock floor, and not the watermark itself."""
    return 0 < mtime < FLOOR and mtime != watermark


def standing(mtime, watermark):
    if mtime > watermark:
        return UNSENT
    return UNDATED if undated(mtime, watermark) else SENT


def utc(seconds, form="%Y-%m-%d %H:%M:%S"):
    return time.strftime(form, time.gmtime(seconds))


def is_utf8(name):
    try:
        name.encode()
        return True
    except UnicodeEncodeError:  # bytes that are not UTF-8, as surrogates
        return False


def has_control(name):
    return any(ord(c) < 0x20 or ord(c) == 0x7f for c in name)


def remote_files(folder):
    """Each regular file in a remote folder, with what tells a rewrite."""
    found = {}
    for entry in os.scandir(folder):
        if entry.is_file(follow_symlinks=False):
            st = entry.stat(follow_symlinks=False)
            found[entry.name] = (st.st_mtime_ns, st.st_size, st.st_ino)
    return found


class StoreMirror:
    """The soak's bucket as a local folder (ROOT/up for s3://BUCKET/up/),
    so that every check of the server's files reads objects as it reads
    the FTP and sftp folders: each object written since the last look
    (its ETag and time) is fetched and put in place by rename, which, as
    a rewrite on a server, gives its file a new identity."""

    def __init__(self, store, root):
        self.store, self.root = store, root
        (root / "up").mkdir(parents=True)
        self.seen = {}

    def sync(self):
        for key, stamp in self.store.listing(BUCKET).items():
            if self.seen.get(key) == stamp:
                continue
            status, content = self.store.curl("GET", f"{BUCKET}/{encode_key(key)}")
            if status != 200:
                raise Failure(f"the store lists {key!r} and does not give it: {status}")
            fresh = self.root / "fetching"
            fresh.write_bytes(content)
            os.replace(fresh, self.root / key)
            self.seen[key] = stamp


def replay(args, seed):
    variant = " --small-fs" if args.small_fs else ""
    return f"replay: scripts/soak {args.runs} {seed}{variant}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--small-fs", action="store_true")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    base = Path(tempfile.mkdtemp(prefix="soak-"))
    start = time.monotonic()
    soak = Soak(seed, base, args.small_fs)
    try:
        soak.run(args.runs)
    except Failure as failure:
        print(f"soak: FAILED with seed {seed} ({replay(args, seed)})\n{failure}")
        return 1
    except BaseException:
        print(f"soak: the test itself broke with seed {seed} ({replay(args, seed)})")
        raise
    finally:
        soak.store.close()
    faults = sum(v for k, v in soak.stats.items() if k.startswith("fault "))
    print(f"soak: seed {seed}, {args.runs} runs, {faults} faults injected, "
          f"{time.monotonic() - start:.0f} s")
    for key, value in sorted(soak.stats.items()):
        print(f"  {key}: {value}")
    print(f"{args.runs} passed, 0 failed")
    return 0


sys.exit(main())
