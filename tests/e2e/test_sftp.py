"""The sftp batch mode of the upload pass, against a real sshd and fakes."""
import os
import subprocess

import pytest

from harness import ERR, NEW, NOTICE, OLD, SCRATCH, WATERMARK

QUEUE = SCRATCH / "sftp_list"
SOURCES = SCRATCH / "sftp_files"  # a link to each file's descriptor, named as the file


def mtime(path):
    return int(os.stat(path).st_mtime)


def sftp_settings(world, sshd, url=None, **extra):
    values = dict(REMOTEURL=url or sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD)
    values.update(extra)
    world.settings(**values)


def fake_client(world, tool="sftp", **script):
    """A recording stand-in at the fixed path the program runs."""
    world.fake(tool, **script)
    os.symlink(world.fakebin / tool, f"/opt/vastrel/bin/{tool}")


def wrap_client(script):
    """Puts a shell wrapper in front of the real sftp client."""
    path = "/opt/vastrel/bin/sftp"
    os.unlink(path)
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\n{script}\n")
    os.chmod(path, 0o755)


@pytest.mark.parametrize("ruploaded", [0, 1])
def test_a_batch_sends_every_new_file_and_disposes_of_each(world, sshd, ruploaded):
    world.timestamp(WATERMARK)
    files = [world.file(f"f{i}.bin", os.urandom(1000 * i), mtime=NEW) for i in range(1, 4)]
    old = world.file("old", mtime=OLD)
    contents = {f.name: f.read_bytes() for f in files}
    sftp_settings(world, sshd, RUPLOADED=ruploaded)
    run = world.run()
    assert sshd.files() == contents
    for f in files:
        assert run.has(NOTICE, f"File {f} was uploaded")
        assert not f.exists() if ruploaded else mtime(f) == WATERMARK
    assert len(run.matching("was removed")) == (3 if ruploaded else 0)
    assert mtime(old) == OLD
    # The client reads each file the program opened, in queue order, through
    # a link named as the file.
    queued = [line.split(" ") for line in QUEUE.read_text().splitlines()]
    assert sorted(queued) == sorted(["put", f"{SOURCES}/{f.name}"] for f in files)
    assert [os.readlink(q[1]) for q in queued] == [f"/proc/self/fd/{3 + k}" for k in range(3)]
    second = world.run()
    assert second.log == [(NOTICE, "started"), (NOTICE, "exited")]
    assert not QUEUE.exists()


@pytest.mark.parametrize("url, target", [
    ("sftp://host/dir/sub", "u@host:/dir/sub/"),
    ("sftp://host/dir/", "u@host:/dir/"),
    ("sftp://host", "u@host:"),
    ("ftp+sftp://h:22/d", "u@h:22:/d/"),
])
@pytest.mark.parametrize("password", ["", "pw", "p w'x"])
def test_the_client_command_line(world, url, target, password):
    world.timestamp(WATERMARK)
    f = world.file("f", mtime=NEW)
    tool = "sshpass" if password else "sftp"
    fake_client(world, tool, exit=[0])
    world.settings(REMOTEURL=url, USERNAME="u", PASSWORD=password)
    run = world.run()
    [call] = world.calls(tool)
    client = ["-b", "-", "-S", "/opt/vastrel/bin/ssh", "-F", "/var/vastrel/ssh_config",
              "-o", "LogLevel=ERROR", "-o", "ConnectTimeout=30", "-o", "ServerAliveInterval=30",
              "-o", "ServerAliveCountMax=3", target]
    if password:
        expected = ["-e", "/opt/vastrel/bin/sftp", "-o", "BatchMode=no"] + client
    else:
        expected = client
    assert call["argv"][1:] == expected
    # The password reaches the feeder through its environment, never an argv.
    assert call["env"].get("SSHPASS") == (password or None)
    assert call["stdin"] == f"put {SOURCES}/f\n" and call["fds"]["3"] == str(f)
    assert call["fds"]["2"] == "/var/vastrel/sftp_error"
    assert run.has(NOTICE, f"File {f} was uploaded")


def test_no_new_file_starts_no_client_and_leaves_no_queue(world):
    fake_client(world, exit=[0])
    world.timestamp(WATERMARK)
    world.file("old", mtime=OLD)
    world.settings(REMOTEURL="sftp://host/d")
    SCRATCH.mkdir()
    QUEUE.write_text("put /stale/entry\n")
    run = world.run()
    assert world.calls("sftp") == [] and not QUEUE.exists()
    assert run.log == [(NOTICE, "started"), (NOTICE, "exited")]


def full_filesystem(sshd):
    full = sshd.home / "full"
    full.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0777", "tmpfs", str(full)],
                   check=True)
    return sshd.url("full")


def read_only_folder(sshd):
    ro = sshd.home / "ro"
    ro.mkdir(mode=0o755)  # owned by root: the user cannot write there
    return sshd.url("ro")


def remote_file(sshd):
    (sshd.home / "up" / "existing.txt").write_text("a remote file")
    return sshd.url("up/existing.txt")


def vanishing_file(sshd, world):
    wrap_client(f"rm -f '{world.scan}/a-small'\nexec /usr/bin/sftp \"$@\"")
    return sshd.url()


@pytest.mark.parametrize("fault, error", [
    ("full", "file upload has failed(write remote "),
    ("read_only", "file upload has failed(dest open"),
    ("remote_file", "file upload has failed("),
    ("vanishing", None),
])
def test_a_failed_put_fails_only_its_own_file(world, sshd, fault, error):
    world.timestamp(WATERMARK)
    small = world.file("a-small", b"x" * 100, mtime=NEW)
    big = world.file("b-big", os.urandom(200_000), mtime=NEW)
    big_content = big.read_bytes()
    url = {"full": lambda: full_filesystem(sshd), "read_only": lambda: read_only_folder(sshd),
           "remote_file": lambda: remote_file(sshd),
           "vanishing": lambda: vanishing_file(sshd, world)}[fault]()
    try:
        sftp_settings(world, sshd, url=url, RUPLOADED=1)
        run = world.run()
        failures = run.matching("file upload has failed")
        if fault == "vanishing":
            # Deleted once queued: the client reads the file the program
            # holds open, so it arrives whole, and only its name is gone.
            assert not failures and run.has(ERR, f"File {small} disappeared during upload")
            assert sshd.files() == {"a-small": b"x" * 100, "b-big": big_content}
            assert run.has(NOTICE, f"File {big} was removed") and not big.exists()
            return
        assert failures and all(p == ERR and m.startswith(error) for p, m in failures)
        assert big.exists() and mtime(big) == NEW
        if fault in ("read_only", "remote_file"):
            assert small.exists() and mtime(small) == NEW
            assert not run.matching("was uploaded|was removed")
        if fault == "read_only":
            assert len(failures) == 2  # each file fails on its own, in a batch of its own
        if fault == "remote_file":
            # No command started: the server's failure, not a file's.
            assert failures == failures[:1]
            assert run.has(ERR, "Server cannot be used now, 2 new files left for the next run")
        # A later good run sends every file that is still there.
        sshd.install_client()
        sftp_settings(world, sshd, RUPLOADED=1)
        run = world.run()
        assert big.name in sshd.files() and not big.exists()
    finally:
        if fault == "full":
            subprocess.run(["umount", str(sshd.home / "full")], check=True)


# With VERIFY, the files sent before the refused one are listed by a batch
# of their own; with a suffix too, a refused rename holds back none of the
# renames after it.
@pytest.mark.parametrize("position, verify, suffix", [
    (0, 0, ""), (1, 0, ""), (3, 0, ""), (1, 1, ""), (3, 1, ""), (1, 1, ".part")])
def test_a_file_the_server_refuses_holds_back_no_other(world, sshd, position, verify, suffix):
    world.timestamp(WATERMARK)
    contents = {f"{n}.txt": os.urandom(3000) for n in "abcd"}
    for name, content in contents.items():
        world.file(name, content, mtime=NEW)
    order = os.listdir(world.scan)
    blocker = order[position]
    (sshd.home / "up" / blocker).mkdir()
    sftp_settings(world, sshd, VERIFY=verify, PARTIAL_SUFFIX=suffix)
    run = world.run()
    sent = [n for n in order if n != blocker]
    assert run.matching("was uploaded") == [(NOTICE, f"File {world.scan / n} was uploaded")
                                            for n in sent]
    assert all(mtime(world.scan / n) == WATERMARK for n in sent)
    assert mtime(world.scan / blocker) == NEW
    [(priority, message)] = run.matching("failed")
    refusal = "remote rename" if suffix else "dest open"
    assert priority == ERR and message.startswith(f"file upload has failed({refusal}") \
        and blocker in message
    assert {n: (sshd.home / "up" / n).read_bytes() for n in sent} == \
        {n: contents[n] for n in sent}
    assert not run.matching("left for the next run")
    # The next pass tries the refused file alone and writes none of the others again.
    for name in sent:
        os.utime(sshd.home / "up" / name, (1000, 1000))
    again = world.run()
    assert len(again.matching("failed")) == 1 and not again.matching("was uploaded")
    assert all(int(os.stat(sshd.home / "up" / n).st_mtime) == 1000 for n in sent)


@pytest.mark.parametrize("password, port, message", [
    ("wrong", None, "file upload has failed(the server refused the password)"),
    (None, 1, "file upload has failed(ssh: connect to host 127.0.0.1 port 1: Connection refused; "
              "Connection closed; )"),
    # A first deployment whose ssh_config pins no host key: the feeder gives up.
    (None, "unpinned", "file upload has failed(the server's host key is not known: pin it in "
                       "/var/vastrel/ssh_config)"),
])
def test_login_and_connection_failures_are_logged_once(world, sshd, password, port, message):
    world.timestamp(WATERMARK)
    f = world.file("f", mtime=NEW)
    if port == "unpinned":
        (SCRATCH / "ssh_config").write_text(
            f"Port {sshd.port}\nUserKnownHostsFile {SCRATCH}/known_hosts\n")
    elif port:
        sshd.install_client(port=port)
    sftp_settings(world, sshd, PASSWORD=password or sshd.PASSWORD)
    run = world.run()
    assert run.matching("failed") == [(ERR, message)]
    assert run.has(ERR, "Server cannot be used now, 1 new files left for the next run")
    assert mtime(f) == NEW


def test_a_silent_failure_blames_host_or_credentials(world):
    fake_client(world, exit=[1])
    world.timestamp(WATERMARK)
    world.file("f", mtime=NEW)
    world.settings(REMOTEURL="sftp://h/d")
    run = world.run()
    assert run.matching("failed") == [(ERR, "file upload has failed(check host or credentials)")]


HOSTILE = ["a b", "a", "q'uote", 'd"q', "back\\slash", "h#ash", "st*r", "q?m", "g[1-2]",
           "semi;touch PWNED", "$(touch PWNED)", "`touch PWNED`", "-leading", "{a,b}",
           "p%41", "\u00fc", "  lead", "trail "]


# With VERIFY, each name is found in the batch's listing of the folder,
# where the client shows a byte outside ASCII as \ooo.
@pytest.mark.parametrize("suffix, verify", [("", 0), (".part", 0), ("", 1)])
def test_hostile_names_arrive_exactly_and_only_they_are_disposed_of(world, sshd, suffix, verify):
    world.timestamp(WATERMARK)
    decoys = {n: world.file(n, b"decoy", mtime=OLD) for n in ("b", "g1", "st", "str", "stXr")}
    sent = {n: world.file(n, f"content {n!r}".encode(), mtime=NEW) for n in HOSTILE if n != "a"}
    sent["a"] = world.file("a", b"the real a", mtime=NEW)
    control = world.file("new\nline", mtime=NEW)
    world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.HOSTILE_USER,
                   PASSWORD=f'"{sshd.HOSTILE_PASSWORD}"', RUPLOADED=1, PARTIAL_SUFFIX=suffix,
                   VERIFY=verify)
    run = world.run()
    assert sshd.files() == {n: (b"the real a" if n == "a" else f"content {n!r}".encode())
                            for n in sent}
    assert all(not p.exists() for p in sent.values())
    assert all(p.read_bytes() == b"decoy" and mtime(p) == OLD for p in decoys.values())
    assert control.exists() and run.has(
        ERR, f"File name {control} holds a control character, not sent")
    assert not list(world.tmp.rglob("PWNED")) and not os.path.exists("/tmp/pwned")


def test_a_file_appended_to_during_the_batch_stays_new(world, sshd):
    world.timestamp(WATERMARK)
    growing = world.file("growing", b"start", mtime=NEW)
    steady = world.file("steady", mtime=NEW)
    wrap_client(f"/usr/bin/sftp \"$@\"; rc=$?; echo more >> '{growing}'; exit $rc")
    sftp_settings(world, sshd, RUPLOADED=1)
    run = world.run()
    assert run.has(ERR, f"File {growing} changed during upload and will be sent again")
    assert growing.read_bytes() == b"startmore\n" and mtime(growing) != WATERMARK
    assert not steady.exists()


def test_refused_values_send_nothing(world):
    fake_client(world, exit=[0])
    world.timestamp(WATERMARK)
    f = world.file("f", mtime=NEW)
    for url, user, message in [
        ("sftp://" + "h" * 128, "u", "is longer than 127 characters after sftp://"),
        ("sftp://-oProxyCommand=x/d", "u", 'Host -oProxyCommand=x starts with "-", refused'),
        ("sftp://h/d", "-oX", 'User name -oX starts with "-", refused'),
        ("ftp://sftp-host/d", "u", "holds sftp but not sftp://, nothing is sent"),
    ]:
        world.settings(REMOTEURL=url, USERNAME=user)
        run = world.run()
        assert len(run.matching(message)) == 1, (url, run.log)
    assert world.calls("sftp") == [] and mtime(f) == NEW


def test_a_queue_that_cannot_be_written_is_logged_per_file(world):
    fake_client(world, exit=[0])
    world.timestamp(WATERMARK)
    f = world.file("f", mtime=NEW)
    QUEUE.mkdir(parents=True)
    world.settings(REMOTEURL="sftp://h/d")
    run = world.run()
    assert run.has(ERR, f"Cannot queue file {f} for sftp(Is a directory), not sent")
    assert world.calls("sftp") == [] and mtime(f) == NEW
