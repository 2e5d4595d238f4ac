"""A dead, silent or stalled server never stops a run, and a killed run
never misleads the next: real curl, sftp and ssh against real and silent
servers, with the two time bounds set short."""
import os
import signal
import time
from pathlib import Path

import pytest

from harness import ERR, NEW, NOTICE, WATERMARK, FtpServer, silent_listener

BOUNDS = dict(CONNECT_TIMEOUT=1, STALL_TIMEOUT=2)
# Per attempt: the connect bound, the stall bound, and curl's own 5 s speed
# window, with room for a slow machine; never curl's or ssh's own minutes.
ATTEMPT_LIMIT = 1 + 2 + 6 + 5


def mtime(path):
    return int(os.stat(path).st_mtime)


def gone_or_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(") ", 1)[1][0] == "Z"
    except FileNotFoundError:
        return True


def real_tool(world, tool, **script):
    """The real tool behind a recording wrapper."""
    world.fake(tool, exit=[None], real=f"/usr/bin/{tool}", **script)


def timed_run(world, attempts):
    start = time.monotonic()
    run = world.run()
    assert time.monotonic() - start < attempts * ATTEMPT_LIMIT, run.log
    return run


@pytest.fixture
def stoppable_ftp(tmp_path):
    """A throttled FTP server of its own, so that stopping it spares the others."""
    (tmp_path / "root").mkdir()
    server = FtpServer(tmp_path / "root", read_limit=512 * 1024)
    server.reset()
    yield server
    server.proc.send_signal(signal.SIGCONT)
    server.stop()


@pytest.mark.shim
@pytest.mark.parametrize("mode", ["curl", "sftp"])
def test_a_server_that_never_answers_ends_the_pass_in_bounded_time(world, sshd, ftp, mode):
    world.timestamp(WATERMARK)
    files = [world.file(f"f{i}", b"x" * 1000, mtime=NEW) for i in range(3)]
    silent = silent_listener()
    port = silent.getsockname()[1]
    try:
        if mode == "curl":
            real_tool(world, "curl")
            world.settings(REMOTEURL=f"ftp://127.0.0.1:{port}/up/", USERNAME="u", PASSWORD="p",
                           **BOUNDS)
            run = timed_run(world, 3)
            # One file's three attempts, then the pass ends: nothing else is tried.
            assert len({c["fds"]["3"] for c in world.calls("curl")}) == 1
            assert len(world.calls("curl")) == 3 and run.sleeps == [5, 5, 5]
            assert all("(28)" in m for _, m in run.matching("file upload has failed"))
            assert run.has(ERR, "Server cannot be used now, 2 new files left for the next run")
        else:
            sshd.install_client(port=port)
            world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD,
                           **BOUNDS)
            run = timed_run(world, 1)
            [(priority, message)] = run.matching("file upload has failed")
            assert priority == ERR and "timed out" in message
    finally:
        silent.close()
    assert not run.matching("was uploaded")
    assert all(mtime(f) == NEW for f in files)
    # A real server at the next run: every file goes, byte-identical.
    if mode == "curl":
        world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD)
    else:
        sshd.install_client()
    world.run()
    server = ftp if mode == "curl" else sshd
    assert server.files() == {f.name: b"x" * 1000 for f in files}


def once_arrived(path, command):
    """A shell line that runs `command` once a MiB of `path` has arrived:
    the stop then falls in the middle of the data, whatever the machine's pace."""
    return (f"i=0; while [ \"$(stat -c %s '{path}' 2>/dev/null || echo 0)\" -lt 1048576 ] && "
            f"[ $i -lt 600 ]; do i=$((i + 1)); sleep 0.05; done; {command}")


def stop_ftp_mid_transfer(world, server, batch, suffix):
    stop = once_arrived(server.root / "up" / f"big.bin{suffix}", f"kill -STOP {server.proc.pid}")
    real_tool(world, "curl", background=[stop, ""])
    world.settings(REMOTEURL=server.url("up/"), USERNAME=server.USER, PASSWORD=server.PASSWORD,
                   CURL_BATCH=int(batch), PARTIAL_SUFFIX=suffix, **BOUNDS)


def stop_sshd_mid_transfer(world, sshd, suffix):
    # The client's own rate limit keeps the transfer going for several seconds.
    wrapper = "/opt/vastrel/bin/sftp"
    os.unlink(wrapper)
    stop = once_arrived(sshd.home / "up" / f"big.bin{suffix}", sshd.signal_command("STOP"))
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\n({stop}) &\nexec /usr/bin/sftp -l 16000 \"$@\"\n")
    os.chmod(wrapper, 0o755)
    world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD,
                   PARTIAL_SUFFIX=suffix, **BOUNDS)


@pytest.mark.shim
@pytest.mark.parametrize("suffix", ["", ".part"])
@pytest.mark.parametrize("mode", ["curl", "curl-batch", "sftp"])
def test_a_server_stopped_mid_transfer_fails_the_file_which_a_later_run_sends(
        world, sshd, stoppable_ftp, mode, suffix):
    world.timestamp(WATERMARK)
    # Larger than every socket buffer on the way, so the sender must stall.
    big = world.file("big.bin", os.urandom(48 << 20), mtime=NEW)
    content = big.read_bytes()
    small = [world.file(f"small{i}", b"s" * 100, mtime=NEW) for i in range(3)]
    if mode.startswith("curl"):
        stop_ftp_mid_transfer(world, stoppable_ftp, mode == "curl-batch", suffix)
        run = timed_run(world, 3)
        stoppable_ftp.proc.send_signal(signal.SIGCONT)
    else:
        stop_sshd_mid_transfer(world, sshd, suffix)
        run = timed_run(world, 1)
        sshd.signal_sessions("CONT")
        sshd.wait_sessions_gone()
    assert run.matching("file upload has failed")
    assert mtime(big) == NEW and not run.has(NOTICE, f"File {big} was uploaded")
    # Whatever was reported sent arrived whole; the rest is still new.
    server = stoppable_ftp if mode.startswith("curl") else sshd
    arrived = server.files()
    if suffix:
        assert "big.bin" not in arrived  # a cut file stands only under its temporary name
    for f in small:
        if run.has(NOTICE, f"File {f} was uploaded"):
            assert arrived[f.name] == f.read_bytes()
        else:
            assert mtime(f) == NEW
    # The server back: the next run sends it whole.
    if mode.startswith("curl"):
        os.unlink(world.fakebin / "curl")
        stoppable_ftp.read_limit = None
        stoppable_ftp.stop()
        stoppable_ftp.start()
    else:
        sshd.install_client()
    run = world.run()
    assert run.has(NOTICE, f"File {big} was uploaded"), run.log
    assert server.files()["big.bin"] == content
    assert not [name for name in server.files() if name.endswith(".part")]


@pytest.mark.shim
@pytest.mark.parametrize("fault", ["refused", "one_file_denied"])
def test_only_a_server_failure_ends_the_pass(world, ftp, fault):
    world.timestamp(WATERMARK)
    names = ["a", "blocker", "c"]
    files = {n: world.file(n, f"content {n}".encode(), mtime=NEW) for n in names}
    real_tool(world, "curl")
    if fault == "refused":
        url = "ftp://127.0.0.1:1/up/"
    else:
        (ftp.root / "up" / "blocker").mkdir()  # the server refuses to store over it
        url = ftp.url("up/")
    world.settings(REMOTEURL=url, USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD)
    run = world.run()
    tried = [c["fds"]["3"] for c in world.calls("curl")]  # the file curl read
    if fault == "refused":
        assert len(tried) == 3 and len(set(tried)) == 1
        assert run.has(ERR, "Server cannot be used now, 2 new files left for the next run")
        assert all(mtime(f) == NEW for f in files.values())
        world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD)
        world.run()
        assert ftp.files() == {n: f"content {n}".encode() for n in files}
    else:
        # The refused file has its three attempts; every other file is sent.
        assert sorted(set(tried)) == sorted(str(f) for f in files.values())
        assert tried.count(str(files["blocker"])) == 3
        assert not run.matching("left for the next run")
        for name in ("a", "c"):
            assert (ftp.root / "up" / name).read_bytes() == f"content {name}".encode()
        assert mtime(files["blocker"]) == NEW


def group_gone(group):
    """True once no process of the group runs (ended ones may wait to be reaped)."""
    for path in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = path.read_text().rsplit(") ", 1)[1].split()
        except (OSError, IndexError):
            continue  # ended meanwhile
        if int(fields[2]) == group and fields[0] != "Z":
            return False
    return True


def soon(check):
    for _ in range(200):
        if check():
            return True
        time.sleep(0.01)
    return False


# KILL leaves the transfer to the next run; TERM (as HUP and INT) is passed
# on to it, and the run ends once it has.
@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGTERM])
def test_a_stopped_run_neither_blocks_nor_misleads_the_next(world, ftp, stop):
    world.timestamp(WATERMARK)
    files = {n: world.file(n, f"content {n}".encode(), mtime=NEW) for n in ("a", "b")}
    silent = silent_listener()
    port = silent.getsockname()[1]
    try:
        # The first run's curl hangs on a server that never answers.
        real_tool(world, "curl")
        world.settings(REMOTEURL=f"ftp://127.0.0.1:{port}/up/", USERNAME=ftp.USER,
                       PASSWORD=ftp.PASSWORD, CONNECT_TIMEOUT=300, RUPLOADED=1)
        proc = world.start()
        for _ in range(500):
            if world.calls("curl"):
                break
            time.sleep(0.02)
        [call] = world.calls("curl")
        group = os.getpgid(call["pid"])
        proc.send_signal(stop)
        stopped = world.finish(proc)
        if stop == signal.SIGKILL:
            assert os.path.exists(f"/proc/{call['pid']}")  # its transfer runs on
        else:
            assert soon(lambda: group_gone(group))
            assert stopped.log[-2:] == [(NOTICE, f"Stopped by signal {int(stop)}"),
                                        (NOTICE, "exited")]
            assert not [m for p, m in stopped.log if p == ERR]
            assert [mtime(f) for f in files.values()] == [NEW, NEW]
        os.unlink(world.fakebin / "curl")
        world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                       RUPLOADED=1)
        run = world.run()
    finally:
        silent.close()
    if stop == signal.SIGKILL:
        [(priority, message)] = run.matching("killed run")
        assert priority == ERR and message.startswith("A transfer left running by a killed run")
        assert soon(lambda: gone_or_zombie(call["pid"]))
    else:
        assert not run.matching("killed run")
    assert ftp.files() == {"a": b"content a", "b": b"content b"}
    for name, path in files.items():
        assert run.has(NOTICE, f"File {path} was uploaded") and not path.exists()
