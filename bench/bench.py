"""The benchmarks behind bench/run; each prints the program's time, the
floor's time for the same work, their ratio and the goal."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from harness import (SCRATCH, SETTINGS, TIMESTAMP, FtpServer, SshServer, World,  # noqa: E402
                     bind_log_socket)

MIB = 1 << 20
REPEAT = 5
results = []
# Another build of the program (VASTREL_BIN_BEFORE): jobs 1 and 3 then run
# it too, interleaved with this one, and report this one against it.
BEFORE = os.environ.get("VASTREL_BIN_BEFORE", "")
PROGRAM = Path("/opt/vastrel/bin/vastrel")


class LogDrain:
    """Reads /dev/log as a syslog daemon would, so logging never blocks."""

    def __init__(self, sock):
        self.sock, self.lines = sock, 0
        threading.Thread(target=self._run, daemon=True).start()

    def caught_up(self, count, limit=10):
        """True once `count` lines were read: the last ones may still wait
        in the socket when the program has ended."""
        end = time.monotonic() + limit
        while self.lines < count and time.monotonic() < end:
            time.sleep(0.01)
        return self.lines >= count

    def _run(self):
        # One reused buffer: the kernel queues only a few datagrams
        # (net.unix.max_dgram_qlen), so a slow reader would throttle the
        # program as no syslog daemon does.
        buffer = bytearray(8192)
        while True:
            self.sock.recv_into(buffer)
            self.lines += 1


def timed(command, **kwargs):
    """Wall seconds of one command."""
    start = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    return time.perf_counter() - start


def program(name):
    """Wall seconds and peak RSS (KiB, from GNU time: a child forked from
    Python reports Python's pages as its own) of one run of the program."""
    env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "HOME": "/root"}
    rss_file = Path(tempfile.mkdtemp()) / "rss"
    elapsed = timed(["/usr/bin/time", "-f", "%M", "-o", str(rss_file), f"/opt/vastrel/bin/{name}"],
                    env=env, stdin=subprocess.DEVNULL)
    return elapsed, int(rss_file.read_text().split()[-1])


def program_before(name):
    """One run of the other build in place of this one; None without it."""
    if not BEFORE:
        return None
    ours = PROGRAM.with_name("vastrel.ours")
    shutil.copy2(PROGRAM, ours)
    shutil.copy2(BEFORE, PROGRAM)
    try:
        return program(name)
    finally:
        os.replace(ours, PROGRAM)


def report_against_before(name, ours, before, goal):
    if before:
        report(f"{name}, this build against VASTREL_BIN_BEFORE", ours, before, goal)


def shell(line):
    return timed(["/bin/sh", "-c", line], stdin=subprocess.DEVNULL), 0


def report(name, ours, floor, goal, extra=""):
    """Ratio of the fastest of the interleaved runs (least disturbed by the
    rest of the machine), with the ratio of the medians beside it."""
    ratio = min(ours) / min(floor)
    verdict = "meets" if ratio <= goal else "MISSES"
    line = (f"{name}: vastrel {min(ours):.3f} s, floor {min(floor):.3f} s, ratio {ratio:.2f} "
            f"(medians {statistics.median(ours) / statistics.median(floor):.2f}; "
            f"goal <= {goal}: {verdict}){extra}")
    results.append(line)
    print(line, flush=True)


def make_files(folder, count, size, mtime):
    """Creates the files in a fresh folder, then moves it into place."""
    fresh = Path(tempfile.mkdtemp(dir=folder.parent))
    data = os.urandom(size) if size else b""
    for i in range(count):
        path = fresh / f"file-{i:06d}.dat"
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (mtime, mtime))
    if folder.exists():
        shutil.rmtree(folder)
    fresh.rename(folder)


def make_new_again(world, files):
    """Every file newer than the watermark again, as before the first run."""
    world.timestamp(1)
    for f in files:
        os.utime(f, (100, 100))


def bench_selection(world):
    now = int(time.time())
    make_files(world.scan, 100_000, 0, now - 7200)
    world.timestamp(now - 3600)
    world.settings(REMOTEURL="ftp://127.0.0.1:1/up/")
    ours, floor, before = [], [], []
    for _ in range(REPEAT):
        ours.append(program("upload"))
        floor.append(shell(f"find {world.scan} -maxdepth 1 -type f -newer {TIMESTAMP} > /dev/null"))
        if BEFORE:
            before.append(program_before("upload")[0])
    t_ours = [t for t, _ in ours]
    report("1. upload over 100,000 files, none new, against find -newer", t_ours,
           [t for t, _ in floor], 0.8, f"; {min(t_ours) / 100_000 * 1e6:.2f} us a file")
    report_against_before("1b. the same upload", t_ours, before, 1.03)
    return max(rss for _, rss in ours)


def bench_removal(world, drain):
    old = int(time.time()) - 10 * 86400
    world.settings(TIMEUNIT=2, TIMECOUNT=1)
    ref = world.tmp / "ref"
    ref.write_text("")
    os.utime(ref, (old + 1, old + 1))
    ours, floor = [], []
    for _ in range(REPEAT):
        make_files(world.scan, 100_000, 0, old)
        before = drain.lines
        ours.append(program("remove"))
        assert not any(world.scan.iterdir()) and drain.caught_up(before + 100_000)
        make_files(world.scan, 100_000, 0, old)
        floor.append(shell(f"find {world.scan} -maxdepth 1 -type f ! -newer {ref} -delete"))
    t_ours = [t for t, _ in ours]
    report("2. remove of 100,000 aged files (one log line each), against find -delete",
           t_ours, [t for t, _ in floor], 1.8, f"; {min(t_ours) / 100_000 * 1e6:.2f} us a file")
    return max(rss for _, rss in ours)


def bench_order(world):
    """Oldest first against listing order over 100,000 new files, in sftp
    mode with a client that exits 0 at once: selection, ordering, queueing
    and disposal are all that is timed."""
    stand_in_sftp()
    make_files(world.scan, 100_000, 0, 100)
    files = sorted(world.scan.iterdir())

    def shuffle_times():
        """Modification times that the listing order does not follow."""
        for k, f in enumerate(files):
            t = 100 + (k * 7919) % 100_000
            os.utime(f, (t, t))
    shuffle_times()
    listing, ordered = [], []
    for _ in range(REPEAT):
        for order, times in ((0, listing), (1, ordered)):
            world.settings(REMOTEURL="sftp://127.0.0.1/up", SEND_ORDER=order)
            world.timestamp(1)
            times.append(program("upload"))
            assert not any(mtime > 1 for mtime in (int(os.stat(f).st_mtime) for f in files[:50]))
            shuffle_times()
    peak = max(rss for _, rss in ordered) / 1024
    report("7. sftp pass over 100,000 new files, oldest first, against listing order",
           [t for t, _ in ordered], [t for t, _ in listing], 1.3,
           f"; peak memory {peak:.2f} MiB oldest first, "
           f"{max(rss for _, rss in listing) / 1024:.2f} MiB in listing order (goal <= 8 MiB: "
           f"{'meets' if peak <= 8 else 'MISSES'})")


def stand_in_sftp():
    """An sftp client that exits 0 at once: the program's own work is all
    that is timed."""
    client = Path("/opt/vastrel/bin/sftp")
    client.unlink(missing_ok=True)
    client.write_text("#!/bin/sh\nexit 0\n")
    client.chmod(0o755)
    Path("/opt/vastrel/bin/ssh").unlink(missing_ok=True)
    Path("/opt/vastrel/bin/ssh").symlink_to("/usr/bin/ssh")


def bench_min_age(world):
    """A pass that selects 1,000 settled new files with MOD_VASTREL_MIN_AGE=1
    (each probed for a writer) against the same pass without the key."""
    stand_in_sftp()
    now = int(time.time())
    make_files(world.scan, 1000, 4096, now - 100)
    files = list(world.scan.iterdir())
    probed, plain = [], []
    for _ in range(3 * REPEAT):
        for key, times in ((1, probed), (0, plain)):
            world.settings(REMOTEURL="sftp://127.0.0.1/up", MIN_AGE=key)
            world.timestamp(now - 3600)
            for f in files:
                os.utime(f, (now - 100, now - 100))
            times.append(program("upload")[0])
    report("8. sftp pass selecting 1,000 new files with MOD_VASTREL_MIN_AGE=1 (each probed for "
           "a writer), against the same pass without it", probed, plain, 1.05)


def fill_disk(folder, count, base):
    """`count` files of 4 KiB (a page each), their times not following their
    names, in a fresh `folder`."""
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir()
    data = os.urandom(4096)
    for k in range(count):
        path = folder / f"file-{k:06d}.dat"
        with open(path, "wb") as f:
            f.write(data)
        t = base + (k * 7919) % count
        os.utime(path, (t, t))


def bench_floor(world, drain):
    """remove with MOD_VASTREL_KEEP_FREE: over 100,000 files with the floor
    met (against the same run without the key), and over 100,000 files of
    which the oldest 50,000 must go for space (against a shell pipeline)."""
    disk = world.tmp / "disk"
    disk.mkdir()
    # 200,000 pages: 100,000 files use half; a floor of 75% needs 50,000 back.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=800000k,nr_inodes=1m", "tmpfs",
                    str(disk)], check=True)
    scan = disk / "scan"
    base = int(time.time()) - 200_000
    world.settings(SCANFOLDER=str(scan), TIMEUNIT=4, TIMECOUNT=100)
    world.timestamp(base + 200_000)  # every file sent
    try:
        fill_disk(scan, 100_000, base)
        met, off = [], []
        for _ in range(REPEAT):
            for key, times in ((10, met), (0, off)):
                world.settings(SCANFOLDER=str(scan), TIMEUNIT=4, TIMECOUNT=100, KEEP_FREE=key)
                times.append(program("remove")[0])
        assert len(os.listdir(scan)) == 100_000
        report("9. remove over 100,000 files with MOD_VASTREL_KEEP_FREE=10 already met, against "
               "the same run without the key", met, off, 1.05)
        ours, floor, rss = [], [], []
        pipeline = (f"find {scan} -maxdepth 1 -type f -printf '%T@ %p\\n' | sort -n | "
                    f"head -n 50000 | cut -d' ' -f2- | xargs -d '\\n' rm")
        for _ in range(REPEAT):
            fill_disk(scan, 100_000, base)
            world.settings(SCANFOLDER=str(scan), TIMEUNIT=4, TIMECOUNT=100, KEEP_FREE=75)
            before = drain.lines
            elapsed, peak = program("remove")
            ours.append(elapsed)
            rss.append(peak)
            assert len(os.listdir(scan)) == 50_000 and drain.caught_up(before + 50_000)
            fill_disk(scan, 100_000, base)
            floor.append(shell(pipeline)[0])
            assert len(os.listdir(scan)) == 50_000
        peak = max(rss) / 1024
        report("10. remove deleting the oldest 50,000 of 100,000 files for space (one log line "
               "each), against find | sort | head | cut | xargs rm", ours, floor, 0.8,
               f"; peak memory {peak:.2f} MiB (goal <= 8 MiB: {'meets' if peak <= 8 else 'MISSES'})")
    finally:
        shutil.rmtree(scan, ignore_errors=True)
        subprocess.run(["umount", str(disk)], check=True)


def bench_sftp(world, sshd, count, size, label, goal=1.05):
    remote = sshd.home / "up"
    batch = world.tmp / "batch"
    ours, floor, transcript, before = [], [], [], []
    make_files(world.scan, count, size, 0)
    files = sorted(world.scan.iterdir())
    batch.write_text("".join(f"put {f}\n" for f in files))
    world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD)
    client = (f"/opt/vastrel/bin/sshpass -p {sshd.PASSWORD} /opt/vastrel/bin/sftp -o BatchMode=no "
              f"-b - -S /opt/vastrel/bin/ssh -F /var/vastrel/ssh_config -o LogLevel=ERROR "
              f"{sshd.USER}@127.0.0.1:{remote}/ < {batch}")
    for _ in range(REPEAT):
        make_new_again(world, files)
        sshd.reset()
        ours.append(program("upload")[0])
        assert len(list(remote.iterdir())) == count
        sshd.reset()
        floor.append(shell(f"{client} > /dev/null")[0])
        sshd.reset()
        transcript.append(shell(f"{client} > {world.tmp / 'transcript'}")[0])
        if BEFORE:
            make_new_again(world, files)
            sshd.reset()
            before.append(program_before("upload")[0])
            assert len(list(remote.iterdir())) == count
    t_floor = min(floor)
    others = []
    sshd.reset()
    obscured = subprocess.run(["rclone", "obscure", sshd.PASSWORD], capture_output=True,
                              text=True, check=True).stdout.strip()
    others.append(("rclone copy", shell(
        f"rclone copy --sftp-host 127.0.0.1 --sftp-port {sshd.port} --sftp-user {sshd.USER} "
        f"--sftp-pass {obscured} --sftp-set-modtime=false {world.scan} :sftp:{remote} "
        f"> /dev/null 2>&1")[0]))
    sshd.reset()
    others.append(("lftp mirror -R", shell(
        f"lftp -e 'set sftp:connect-program \"ssh -a -x -F /var/vastrel/ssh_config\"; "
        f"mirror -R --no-perms {world.scan} {remote}; quit' "
        f"-u {sshd.USER},{sshd.PASSWORD} sftp://127.0.0.1:{sshd.port} > /dev/null 2>&1")[0]))
    extra = "".join(f"; {name} {t:.3f} s ({t / t_floor:.2f} of the bare batch)"
                    for name, t in others)
    report(f"3. sftp batch of {label} (its transcript kept), against the same client given "
           "the batch by hand", ours, floor, goal, extra)
    report(f"3t. the bare batch of {label} with its transcript kept, against it with the "
           "transcript thrown away", transcript, floor, 1.03)
    report_against_before(f"3b. the sftp batch of {label}", ours, before, 1.03)


def bench_suffix(world, count, label, settings, check, bare):
    """The program with MOD_VASTREL_PARTIAL_SUFFIX set against it unset, and
    beside it the bare tool given the same two jobs by hand: what the
    protocol's rename costs of itself."""
    make_files(world.scan, count, 4096, 0)
    files = sorted(world.scan.iterdir())
    plain, renamed, bare_plain, bare_renamed = [], [], [], []
    for _ in range(REPEAT):
        for suffix, times, bare_times in (("", plain, bare_plain), (".part", renamed, bare_renamed)):
            world.settings(**settings, PARTIAL_SUFFIX=suffix)
            make_new_again(world, files)
            times.append(program("upload")[0])
            check()
            bare_times.append(shell(bare(files, suffix))[0])
            check()
    ratio = min(bare_renamed) / min(bare_plain)
    report(f"6. {label} with the partial suffix, against the same without it", renamed, plain,
           1.3, f"; the bare tool alone: {ratio:.2f}")


def bench_verify(world, count, label, settings, check):
    """The program with MOD_VASTREL_VERIFY set against it unset: what asking
    the server for each file's size costs, interleaved run by run."""
    make_files(world.scan, count, 4096, 0)
    files = sorted(world.scan.iterdir())
    plain, verified = [], []
    for _ in range(REPEAT):
        for verify, times in ((0, plain), (1, verified)):
            world.settings(**settings, VERIFY=verify)
            make_new_again(world, files)
            times.append(program("upload")[0])
            assert all(os.stat(f).st_mtime == 1 for f in files)  # every file disposed of
            check()
    report(f"7. {label} with MOD_VASTREL_VERIFY=1, against the same without it", verified,
           plain, 1.10)


def bench_resume(world, base):
    """MOD_VASTREL_RESUME over FTP, one 50 MiB file: the bytes the server
    received when its transfer is cut at 40% and at 80% of the file (three
    attempts), with the key against without; then an uncut transfer's time
    with the key against without, interleaved run by run."""
    size = 50 * MIB
    make_files(world.scan, 1, size, 0)
    files = sorted(world.scan.iterdir())
    received = {}
    for resume in (0, 1):
        root = Path(tempfile.mkdtemp(dir=base)) / "root"
        root.mkdir()
        cut = FtpServer(root, cut=(size * 2 // 5, size * 4 // 5))
        cut.reset()
        world.settings(REMOTEURL=cut.url("up/"), USERNAME=cut.USER, PASSWORD=cut.PASSWORD,
                       PARTIAL_SUFFIX=".part", VERIFY=1, RESUME=resume)
        make_new_again(world, files)
        program("upload")
        assert cut.files() == {files[0].name: files[0].read_bytes()}
        received[resume] = cut.bytes_received() / size
        cut.stop()
    line = (f"8a. one 50 MiB file to FTP, cut at 40% and 80%: bytes received {received[1]:.2f} "
            f"times its size with MOD_VASTREL_RESUME=1 (goal <= 1.1: "
            f"{'meets' if received[1] <= 1.1 else 'MISSES'}), {received[0]:.2f} without")
    results.append(line)
    print(line, flush=True)
    root = Path(tempfile.mkdtemp(dir=base)) / "root"
    root.mkdir()
    ftp = FtpServer(root)
    plain, resumed = [], []
    for _ in range(3 * REPEAT):  # a run of 50 ms on loopback: more runs for a steady fastest
        for resume, times in ((0, plain), (1, resumed)):
            ftp.reset()
            world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                           PARTIAL_SUFFIX=".part", VERIFY=1, RESUME=resume)
            make_new_again(world, files)
            times.append(program("upload")[0])
            assert sorted(ftp.files()) == [files[0].name]
    ftp.stop()
    report("8b. one 50 MiB file to FTP, uncut, with MOD_VASTREL_RESUME=1 against without",
           resumed, plain, 1.02)


FIELDS = "{device}/{Y}/{m}/{d}/"


def bench_fields(world, count, label, settings, url, root, made, reset):
    """The program sending into a folder a device and a day of its own
    (made on the run) against the same batch into a fixed folder,
    interleaved; then the same files spread over 10 days, with the folders
    the run asked the server to make counted by `made`."""
    make_files(world.scan, count, 4096, 0)
    files = sorted(world.scan.iterdir())
    names = sorted(f.name for f in files)

    def sent():
        assert sorted(p.name for p in root.rglob("*") if p.is_file()) == names
    fixed, fields = [], []
    for rep in range(REPEAT):
        # Each goes first in turn: a run leaves its data connections' ports
        # waiting on loopback, which the next run can stall on.
        jobs = (("", fixed), (FIELDS, fields))
        for path, times in jobs if rep % 2 == 0 else reversed(jobs):
            world.settings(**settings, REMOTEURL=url + path, DEVICE="cam")
            make_new_again(world, files)
            reset()
            times.append(program("upload")[0])
            sent()
    report(f"8. {label} into {FIELDS} (one day), against the same into a fixed folder", fields,
           fixed, 1.05)
    world.settings(**settings, REMOTEURL=url + FIELDS, DEVICE="cam")
    make_new_again(world, files)
    for k, f in enumerate(files):
        os.utime(f, (100 + (k % 10) * 86400, 100 + (k % 10) * 86400))
    reset()
    elapsed = program("upload")[0]
    sent()
    folders = sum(1 for p in root.rglob("*") if p.is_dir())
    asked = made()
    verdict = "meets" if len(asked) <= folders and len(set(asked)) == len(asked) else "MISSES"
    line = (f"8s. {label} spread over 10 days: {elapsed:.3f} s, {len(asked)} folders made for "
            f"{folders} folders on the server (goal at most one each: {verdict})")
    results.append(line)
    print(line, flush=True)
    reset()  # the jobs after it expect the server's folder as they found it


def sftp_made():
    """The folders the last sftp batch asked to make: its transcript's
    echoed "-mkdir" commands."""
    lines = (SCRATCH / "sftp_output").read_text(errors="surrogateescape").splitlines()
    return [line.split(" ", 2)[2] for line in lines if line.startswith("sftp> -mkdir ")]


def curl_batch_by_hand(world, ftp):
    """curl given a batch as the program writes it, with or without the suffix."""
    def command(files, suffix):
        head = (f'user="{ftp.USER}:{ftp.PASSWORD}"\nglobofff\nfail-early\nparallel\n'
                'parallel-max = 1\nwrite-out = "%{exitcode} %{errormsg}\\n"\n')
        head = head.replace("globofff", "globoff")
        nxt = "next\nfail\nsilent\nshow-error\nno-progress-meter\n" + head.split("fail-early")[0]
        text = head
        for k, f in enumerate(files):
            if suffix and k:
                text += nxt + 'write-out = "%{exitcode} %{errormsg}\\n"\n'
            url = ftp.url("up/") + (f.name + suffix if suffix else "")
            text += f'upload-file = "{f}"\nurl = "{url}"\n'
            if suffix:
                text += f'quote = "-RNFR {f.name}{suffix}"\nquote = "-RNTO {f.name}"\n'
        config = world.tmp / f"batch{suffix}"
        config.write_text(text)
        return f"curl -fSs -K - < {config} > /dev/null"
    return command


def sftp_batch_by_hand(world, sshd):
    """The client given the batch as the program queues it."""
    def command(files, suffix):
        lines = "".join(f"put {f}\n" if not suffix else
                        f"put {f} ./{f.name}{suffix}\nrename ./{f.name}{suffix} ./{f.name}\n"
                        for f in files)
        batch = world.tmp / f"sftp-batch{suffix}"
        batch.write_text(lines)
        return (f"/opt/vastrel/bin/sshpass -p {sshd.PASSWORD} /opt/vastrel/bin/sftp "
                f"-o BatchMode=no -b - -S /opt/vastrel/bin/ssh -F /var/vastrel/ssh_config "
                f"-o LogLevel=ERROR {sshd.USER}@127.0.0.1:{sshd.home / 'up'}/ < {batch} "
                "> /dev/null")
    return command


def bench_curl(world, ftp):
    make_files(world.scan, 200, 4096, 0)
    files = sorted(world.scan.iterdir())
    config = world.tmp / "curl-config"
    config.write_text(f'user="{ftp.USER}:{ftp.PASSWORD}"\nconnect-timeout = 30\n'
                      "speed-limit = 1\nspeed-time = 120\n")
    loop = "".join(f"curl -fSs -K - {ftp.url('up/')} -T {f} 2>/var/vastrel/curl_error "
                   f"< {config}\n" for f in files)
    script = world.tmp / "loop.sh"
    script.write_text(loop)
    mirror = (f"lftp -e 'mirror -R --no-perms {world.scan} /up; quit' "
              f"-u {ftp.USER},{ftp.PASSWORD} 127.0.0.1:{ftp.port} > /dev/null 2>&1")
    per_file, batch, floor, lftp = [], [], [], []
    for _ in range(REPEAT):
        for batch_key, times in ((0, per_file), (1, batch)):
            world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                           CURL_BATCH=batch_key)
            make_new_again(world, files)
            ftp.reset()
            times.append(program("upload")[0])
            assert len(ftp.files()) == 200
            logins = ftp.logins()
        ftp.reset()
        floor.append(shell(f"sh {script}")[0])
        ftp.reset()
        lftp.append(shell(mirror)[0])
    report("4. curl mode, 200 files of 4 KiB to FTP, against a shell loop of the same curls",
           per_file, floor, 1.05,
           f"; lftp mirror -R {min(lftp):.3f} s ({min(floor) / min(lftp):.1f} times faster "
           "than the loop)")
    report("4b. curl mode with MOD_VASTREL_CURL_BATCH=1, the same 200 files, against lftp "
           "mirror -R", batch, lftp, 0.7)
    report("4c. the same batch against the shell loop of per-file curls", batch, floor, 0.15,
           f"; against the program's own per-file mode "
           f"{min(batch) / min(per_file):.2f}; logins in the last batch pass: {logins}")


def bench_s3(world):
    """The curl batch to a real object store (Ceph's gateway) against bare
    curl given the same signed PUTs over one connection, and beside it
    rclone copying the same files to the same gateway."""
    from objstore import KEY, SECRET, ObjectStore, encode_key
    store = ObjectStore(Path(tempfile.mkdtemp(prefix="ceph-")))
    make_files(world.scan, 1000, 4096, 0)
    files = sorted(world.scan.iterdir())
    head = (f'user = "{KEY}:{SECRET}"\nconnect-timeout = 30\nspeed-limit = 1\nspeed-time = 120\n'
            'aws-sigv4 = "aws:amz:us-east-1:s3"\n'
            'header = "x-amz-content-sha256: UNSIGNED-PAYLOAD"\n'
            'globoff\nfail-early\nparallel\nparallel-max = 1\nno-progress-meter\n'
            'write-out = "%{exitcode} %{errormsg}\\n"\n')
    # A CA bundle of the machine's own for AWS tools makes rclone refuse its plain HTTP.
    rclone_env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    rclone_env.update(RCLONE_CONFIG_STORE_TYPE="s3", RCLONE_CONFIG_STORE_PROVIDER="Ceph",
                      RCLONE_CONFIG_STORE_ACCESS_KEY_ID=KEY,
                      RCLONE_CONFIG_STORE_SECRET_ACCESS_KEY=SECRET,
                      RCLONE_CONFIG_STORE_ENDPOINT=store.endpoint)
    has_rclone = shutil.which("rclone") is not None
    batch, floor, rclone = [], [], []
    runs = iter(range(10 * REPEAT))

    def fresh_bucket():
        store.bucket = f"bench{next(runs)}"
        store.make_bucket(store.bucket)
        return store.bucket

    def arrived(bucket):
        assert len(store.keys(bucket)) == len(files)
    for _ in range(REPEAT):
        bucket = fresh_bucket()
        world.settings(REMOTEURL=f"s3://{bucket}/up/", S3_ENDPOINT=store.endpoint, USERNAME=KEY,
                       PASSWORD=SECRET, CURL_BATCH=1)
        make_new_again(world, files)
        batch.append(program("upload")[0])
        arrived(bucket)
        bucket = fresh_bucket()
        config = world.tmp / "s3-batch"
        config.write_text(head + "".join(
            f'upload-file = "{f}"\nurl = "{store.endpoint}/{bucket}/up/{encode_key(f.name)}"\n'
            for f in files))
        floor.append(shell(f"curl -fSs -K - < {config} > /dev/null")[0])
        arrived(bucket)
        if has_rclone:
            bucket = fresh_bucket()
            start = time.perf_counter()
            subprocess.run(["rclone", "copy", str(world.scan), f"store:{bucket}/up"], check=True,
                           env=rclone_env, stdin=subprocess.DEVNULL)
            rclone.append(time.perf_counter() - start)
            arrived(bucket)
    store.close()
    extra = (f"; rclone copy {min(rclone):.3f} s ({min(rclone) / min(floor):.2f} times the bare "
             "curl batch)" if has_rclone else "; rclone is not installed")
    report("8. curl batch of 1,000 files of 4 KiB to Ceph's gateway (s3://), against bare curl "
           "given the same signed PUTs over one connection", batch, floor, 1.05, extra)


def main():
    base = Path(tempfile.mkdtemp())
    log = bind_log_socket()
    world = World(base, log)
    drain = LogDrain(log)
    print(f"machine: {os.uname().machine}, {os.cpu_count()} cores, "
          f"{subprocess.run(['uname', '-r'], capture_output=True, text=True).stdout.strip()}",
          flush=True)
    only = sys.argv[1:]  # e.g. "scan", "curl", "sftp", "order", "settle", "floor", "verify",
    # "resume", "s3", "fields": only those
    if not only or "order" in only:
        SCRATCH.mkdir(exist_ok=True)
        (SCRATCH / "ssh_config").write_text("")
        bench_order(world)
    if not only or "settle" in only:
        SCRATCH.mkdir(exist_ok=True)
        (SCRATCH / "ssh_config").write_text("")
        bench_min_age(world)
    if not only or "floor" in only:
        bench_floor(world, drain)
    if not only or "scan" in only:
        rss = [bench_selection(world), bench_removal(world, drain)]
        peak = max(rss) / 1024
        line = (f"5. peak memory of the program in runs 1 and 2: {peak:.2f} MiB "
                f"(goal <= 4 MiB: {'meets' if peak <= 4 else 'MISSES'})")
        results.append(line)
        print(line, flush=True)
    if not only or "resume" in only:
        SCRATCH.mkdir(exist_ok=True)
        bench_resume(world, base)
    if not only or "s3" in only:
        SCRATCH.mkdir(exist_ok=True)
        bench_s3(world)
    if only and not {"curl", "sftp", "verify", "fields"} & set(only):
        print("\nSummary:\n" + "\n".join(results))
        return
    (base / "ftproot").mkdir()
    ftp = FtpServer(base / "ftproot")
    ftp.reset()
    SCRATCH.mkdir(exist_ok=True)

    def sent_to_ftp():
        assert sorted(ftp.files()) == sorted(f.name for f in world.scan.iterdir())
        ftp.reset()
    if not only or "curl" in only:
        bench_curl(world, ftp)
        bench_suffix(world, 200, "curl batch of 200 files of 4 KiB",
                     dict(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                          CURL_BATCH=1), sent_to_ftp, curl_batch_by_hand(world, ftp))
    if not only or "fields" in only:
        bench_fields(world, 1000, "curl batch of 1,000 files of 4 KiB",
                     dict(USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD, CURL_BATCH=1),
                     ftp.url("up/"), ftp.root / "up", ftp.made, ftp.reset)
    if not only or "verify" in only:
        to_ftp = dict(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD)
        bench_verify(world, 1000, "curl batch of 1,000 files of 4 KiB",
                     dict(to_ftp, CURL_BATCH=1), sent_to_ftp)
        bench_verify(world, 200, "curl per file, 200 files of 4 KiB", to_ftp, sent_to_ftp)
    if only and not {"sftp", "verify", "fields"} & set(only):
        print("\nSummary:\n" + "\n".join(results))
        return
    sshd_base = Path(tempfile.mkdtemp(prefix="sshd-"))
    sshd_base.chmod(0o755)
    sshd = SshServer(sshd_base)
    sshd.reset()
    sshd.install_client()
    to_sshd = dict(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD)

    def sent_to_sshd():
        assert sorted(sshd.files()) == sorted(f.name for f in world.scan.iterdir())
        sshd.reset()
    if not only or "sftp" in only:
        bench_sftp(world, sshd, 1000, 4096, "1,000 files of 4 KiB", 1.03)
        bench_suffix(world, 1000, "sftp batch of 1,000 files of 4 KiB", to_sshd, sent_to_sshd,
                     sftp_batch_by_hand(world, sshd))
    if not only or "verify" in only:
        bench_verify(world, 1000, "sftp batch of 1,000 files of 4 KiB", to_sshd, sent_to_sshd)
    if not only or "fields" in only:
        bench_fields(world, 1000, "sftp batch of 1,000 files of 4 KiB",
                     dict(USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD), sshd.url() + "/",
                     sshd.home / "up", sftp_made, sshd.reset)
    if not only:
        bench_sftp(world, sshd, 10, 50 * MIB, "10 files of 50 MiB")
    print("\nSummary:\n" + "\n".join(results))


main()
