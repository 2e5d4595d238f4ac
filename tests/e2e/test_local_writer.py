"""A local writer of the scan folder: a name swapped for a link after the
listing, a link planted under a fetched name, fetches cut short, and files
still being written. The tools read and write only the files the program
decided about, and nothing is deleted under its writer."""
import os
import time

import pytest

from harness import DAY, ERR, NEW, NOTICE, OLD, WATERMARK, HttpServer, Writer



def outside_file(tmp_path):
    """A root-only file outside the scan folder, dated long ago (a read
    would move its access time), and its bytes."""
    secret = tmp_path / "root-only"
    content = b"SECRET-" + os.urandom(4000)
    secret.write_bytes(content)
    secret.chmod(0o600)
    os.utime(secret, (1_000_000, 1_000_000))
    return secret, content


@pytest.mark.parametrize("mode", ["curl", "curl-batch", "sftp"])
def test_a_link_swapped_in_after_the_listing_is_never_read(world, ftp, sshd, tmp_path, mode):
    secret, secret_bytes = outside_file(tmp_path)
    world.timestamp(WATERMARK)
    contents = {n: os.urandom(3000) for n in ("a.txt", "b.txt", "c.txt")}
    for k, (name, content) in enumerate(contents.items()):
        world.file(name, content, mtime=NEW + k)  # c.txt last when oldest go first
    swap = (f"ln -s '{secret}' '{world.scan}/c.tmp' && mv -T '{world.scan}/c.tmp' "
            f"'{world.scan}/c.txt'")
    tool = "sftp" if mode == "sftp" else "curl"
    # A stand-in swaps the link in as the first transfer starts, then runs the real tool.
    world.fake(tool, exit=[None], real=f"/usr/bin/{tool}", shell=[swap, ""])
    if mode == "sftp":
        os.unlink("/opt/vastrel/bin/sftp")
        os.symlink(world.fakebin / "sftp", "/opt/vastrel/bin/sftp")
        world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD,
                       RUPLOADED=1, SEND_ORDER=1)
    else:
        world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                       RUPLOADED=1, SEND_ORDER=1, CURL_BATCH=int(mode == "curl-batch"))
    run = world.run()
    arrived = (sshd if mode == "sftp" else ftp).files()
    assert (os.stat(secret).st_mtime, os.stat(secret).st_atime) == (1_000_000, 1_000_000)
    assert all(secret_bytes[:32] not in content for content in arrived.values())
    assert {n: arrived[n] for n in ("a.txt", "b.txt")} == {n: contents[n] for n in ("a.txt", "b.txt")}
    c = world.scan / "c.txt"
    assert c.is_symlink() and not run.has(NOTICE, f"File {c} was removed")
    # Pinned before the swap (a batch), c.txt's own bytes went; after it, nothing did.
    pinned = run.has(ERR, f"File {c} is no longer the regular file that was listed, left as it is")
    refused = run.has(ERR, f"File {c} is no longer the regular file that was listed, not sent")
    assert pinned != refused and ("c.txt" in arrived) == pinned
    assert pinned or mode == "curl"


def test_a_link_planted_under_a_fetched_name_is_replaced_not_written_through(world, ftp,
                                                                            tmp_path):
    secret, before = outside_file(tmp_path)
    (ftp.root / "down" / "x.bin").write_bytes(b"fetched bytes")
    (world.scan / "x.bin").symlink_to(secret)
    world.settings(DOWNLOAD=1, DOWNLOAD_URL=ftp.url("down/x.bin"), DOWNLOAD_USER=ftp.USER,
                   DOWNLOAD_PASSWD=ftp.PASSWORD, REMOTEURL="")
    world.run()
    assert secret.read_bytes() == before
    x = world.scan / "x.bin"
    assert not x.is_symlink() and x.read_bytes() == b"fetched bytes"


def test_only_what_the_scan_folders_writers_could_read_is_sent(world, ftp, tmp_path):
    secret, secret_bytes = outside_file(tmp_path)
    world.timestamp(WATERMARK)
    linked = world.scan / "linked.bin"
    os.link(secret, linked)  # as the folder's writer would, with a file it cannot read
    os.utime(linked, (NEW, NEW))
    shared = world.file("shared.bin", b"readable by all", mtime=NEW)
    shared.chmod(0o644)
    os.chown(world.scan, 65534, -1)
    world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD)
    checked = world.run("/opt/vastrel/bin/vastrel", args=["check"])
    assert "skipped by upload: 1 new files that the scan folder's writers could not read" \
        in checked.stdout
    run = world.run()
    assert ftp.files() == {"shared.bin": b"readable by all"}
    assert run.has(ERR, f"File {linked} could not be read by the scan folder's writers, not sent")
    assert (os.stat(secret).st_mtime, os.stat(secret).st_atime) == (NEW, NEW)
    # A folder only root writes: sent, as before.
    os.chown(world.scan, 0, -1)
    world.run()
    assert ftp.files() == {"shared.bin": b"readable by all", "linked.bin": secret_bytes}


@pytest.mark.parametrize("fault", ["cut", "stall"])
def test_a_fetch_cut_short_leaves_the_folder_as_it_was(world, ftp, fault):
    http = HttpServer()
    try:
        whole = os.urandom(200_000)
        http.contents["r.bin"] = whole
        world.timestamp(WATERMARK)
        local = world.file("r.bin", b"a local file not yet sent", mtime=NEW)
        world.settings(DOWNLOAD=1, DOWNLOAD_URL=http.url("r.bin"), REMOTEURL=ftp.url("up/"),
                       USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD, STALL_TIMEOUT=1,
                       CONNECT_TIMEOUT=2)
        http.mode = fault
        run = world.run()
        code = "(18)" if fault == "cut" else "(28)"
        assert [m for _, m in run.matching("getting file")] and code in run.matching(
            "getting file")[0][1]
        # The local file is sent as it was; nothing cut stands anywhere.
        assert ftp.files() == {"r.bin": b"a local file not yet sent"}
        assert run.has(NOTICE, f"File {local} was uploaded")
        assert sorted(p.name for p in world.scan.iterdir()) == ["r.bin"]
        http.mode = "whole"
        run = world.run()
        assert local.read_bytes() == whole and ftp.files() == {"r.bin": whole}
    finally:
        http.stop()


# A file still being written --------------------------------------------------

@pytest.mark.parametrize("mode", ["curl", "curl-batch", "sftp"])
def test_a_file_open_for_writing_is_never_deleted(world, ftp, sshd, mode):
    world.timestamp(WATERMARK)
    path = world.scan / "w.bin"
    first, rest = os.urandom(3000), os.urandom(5000)
    writer = Writer(path, first, rest)
    try:
        os.utime(path, (NEW, NEW))
        if mode == "sftp":
            world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD,
                           RUPLOADED=1)
        else:
            world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                           RUPLOADED=1, CURL_BATCH=int(mode == "curl-batch"))
        server = sshd if mode == "sftp" else ftp
        run = world.run()
        assert run.has(NOTICE, f"File {path} is open for writing, not removed")
        assert path.exists() and server.files()["w.bin"] == first
    finally:
        writer.finish()
    run = world.run()  # its last write made it new again
    assert run.has(NOTICE, f"File {path} was removed") and not path.exists()
    assert server.files()["w.bin"] == first + rest


# Where leases are refused (NFSv4 without a delegation, CIFS without an
# oplock: EAGAIN, as for a writer) open files are found through /proc.
LEASES = {"granted": {}, "refused": {"SHIM_NO_LEASES": "1"}}
REFUSED = "Scan folder's file system refuses leases, open files are found through /proc"


@pytest.mark.shim
@pytest.mark.parametrize("leases", LEASES)
def test_with_a_minimum_age_only_settled_files_are_sent(world, ftp, leases):
    env = LEASES[leases]
    # After the watermark, and not before the real clock, which dates held's last write.
    now = max(int(time.time()), NEW + 3600)
    world.timestamp(WATERMARK)
    young = world.file("young", b"just written", mtime=now - 5)
    done = world.file("done", b"finished long ago", mtime=now - 3600)
    ahead = world.file("ahead", b"dated a year ahead", mtime=now + 365 * DAY)  # age unknown
    held = world.scan / "held"
    writer = Writer(held, b"first part ", b"and the rest")
    try:
        os.utime(held, (now - 3600, now - 3600))
        world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                       MIN_AGE=60)
        run = world.run(now=now, env=env)
        assert ftp.files() == {"done": b"finished long ago", "ahead": b"dated a year ahead"}
        assert [int(os.stat(p).st_mtime) for p in (young, held, done, ahead)] == [
            now - 5, now - 3600, WATERMARK, WATERMARK]
        notice = [REFUSED] if leases == "refused" else []
        assert sorted(m for _, m in run.log) == sorted(
            ["started", *notice, f"File {done} was uploaded", f"File {ahead} was uploaded",
             "exited"])
        checked = world.run("/opt/vastrel/bin/vastrel", args=["check"], now=now, env=env)
        assert "still settling: 2 new files" in checked.stdout
        assert ("file system refuses leases" in checked.stdout) == (leases == "refused")
    finally:
        writer.finish()
    world.run(now=now + 120, env=env)  # both settled since
    assert ftp.files() == {"done": b"finished long ago", "young": b"just written",
                           "held": b"first part and the rest", "ahead": b"dated a year ahead"}


@pytest.mark.shim
@pytest.mark.parametrize("leases", LEASES)
def test_remove_passes_by_an_aged_file_open_for_writing(world, leases):
    now = NEW + 7200
    path = world.scan / "log.txt"
    closed = world.file("closed.txt", b"written and closed", mtime=now - 7200)
    writer = Writer(path, b"still appending")
    try:
        os.utime(path, (now - 7200, now - 7200))
        world.settings(TIMECOUNT=1)
        run = world.run("/opt/vastrel/bin/remove", now=now, env=LEASES[leases])
        assert run.has(NOTICE, f"File {path} is open for writing, not removed") and path.exists()
        assert run.has(NOTICE, f"File {closed} were removed") and not closed.exists()
    finally:
        writer.finish()
    os.utime(path, (now - 7200, now - 7200))
    run = world.run("/opt/vastrel/bin/remove", now=now)
    assert run.has(NOTICE, f"File {path} were removed") and not path.exists()
