"""The "remove" operation against a real folder, with the clock pinned, and
its floor of free space on small file systems of their own."""
import contextlib
import os
import re
import subprocess
import time

import pytest

from harness import DAY, ERR, FLOOR, NEW, NOTICE, WATERMARK

NOW = FLOOR + 400 * DAY  # every file of the age test dated after the floor
HOUR = 3600


@pytest.mark.shim
@pytest.mark.parametrize("unit, count, age", [
    (1, 24, DAY), (0, 2, 2 * HOUR), (7, 1, HOUR), (2, 3, 3 * DAY),
    (3, 1, 30 * DAY), (4, 1, 360 * DAY), (1, 0, 0),
])
def test_files_older_than_the_age_are_removed(world, unit, count, age):
    old = world.file("old", mtime=NOW - age - 1)
    edge = world.file("edge", mtime=NOW - age)  # exactly the age: stays
    young = world.file("young", mtime=NOW - age + 1)
    future = world.file("future", mtime=NOW + 10 * 365 * DAY)
    world.settings(TIMEUNIT=unit, TIMECOUNT=count)
    run = world.run("remove", now=NOW)
    assert run.rc == 0
    assert not old.exists()
    assert edge.exists() and young.exists() and future.exists()
    assert run.log == [(NOTICE, "started"), (NOTICE, f"File {old} were removed"),
                       (NOTICE, "exited")]


def test_subfolders_and_links_are_never_touched(world):
    sub = world.scan / "sub"
    sub.mkdir()
    inner = world.file("inner", mtime=1, folder=sub)
    outside = world.file("outside", mtime=1, folder=world.tmp)
    (world.scan / "link").symlink_to(outside)
    os.utime(sub, (1, 1))
    stamped = world.file("stamped-to-zero", mtime=0)
    world.settings(TIMEUNIT=4, TIMECOUNT=1)
    run = world.run("remove")
    assert inner.exists() and outside.exists() and (world.scan / "link").is_symlink()
    assert not stamped.exists()
    assert run.matching("were removed") == [(NOTICE, f"File {stamped} were removed")]


def test_a_path_that_would_be_cut_is_skipped_and_logged(world):
    name = "n" * (255 - len(str(world.scan)))  # one character over the limit
    world.file(name, mtime=1)
    world.settings(TIMECOUNT=1)
    run = world.run("remove")
    assert (world.scan / name).exists()
    assert run.matching("longer than 255") == [
        (ERR, f"Path of file {name} in {world.scan} is longer than 255 characters, skipped")]


@pytest.mark.parametrize("folder", ["", "/nonexistent"])
def test_a_folder_that_cannot_be_opened_is_logged(world, folder):
    world.settings(SCANFOLDER=folder)
    run = world.run("remove")
    assert run.log == [(NOTICE, "started"), (ERR, f"Cannot open dir: {folder}"),
                       (NOTICE, "exited")]


# The floor of free space ---------------------------------------------------------

KIB = 1024


@contextlib.contextmanager
def small_disk(world, size="4m", inodes=1000):
    """The scan folder on a file system of its own: 4 MiB are 1024 pages."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},nr_inodes={inodes}", "tmpfs",
                    str(world.scan)], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", str(world.scan)], check=True)


def fill(world, sent, unsent, size=400 * KIB):
    """Sent files (at or before the watermark) and unsent ones, each list
    oldest first; names do not follow the times."""
    for k, name in enumerate(sent):
        world.file(name, b"s" * size, mtime=WATERMARK - 50 + k)
    for k, name in enumerate(unsent):
        world.file(name, b"u" * size, mtime=WATERMARK + 100 + k)


def left(world):
    return sorted(p.name for p in world.scan.iterdir() if p.is_file())


@pytest.mark.parametrize("keep, gone, line", [
    (10, [], None),  # 21.9% available: above the floor
    (40, ["d", "b"], (NOTICE, "Scan folder's file system was below 40% free: 2 files "
                              "(819200 bytes) removed")),
    (70, ["d", "b", "c", "a", "z"], (ERR, "Scan folder's file system was below 70% free: 5 files "
                                          "(2048000 bytes) removed, 1 of them never sent")),
])
def test_below_the_floor_sent_files_go_first_oldest_first(world, keep, gone, line):
    with small_disk(world):
        world.timestamp(WATERMARK)
        fill(world, sent=["d", "b", "c", "a"], unsent=["z", "y", "x", "w"])
        assert os.statvfs(world.scan).f_bavail == 224  # 800 of 1024 pages used
        world.settings(TIMEUNIT=4, TIMECOUNT=100, KEEP_FREE=keep)  # nothing ages
        checked = world.run("/opt/vastrel/bin/vastrel", args=["check"])
        run = world.run("/opt/vastrel/bin/remove")
        assert left(world) == sorted(set("dbcazyxw") - set(gone))
        assert run.matching("were removed") == [
            (NOTICE, f"File {world.scan / n} were removed") for n in gone]
        assert run.matching("file system") == ([line] if line else [])
        # check names them in the order remove then deletes them.
        plan = checked.stdout.split("and for space", 1)[1:] or [""]
        listed = re.findall(r"^    \S+ \S+ UTC  (\S+)$", plan[0], re.M)
        assert listed == gone[:5] and f"floor {keep}%" in checked.stdout


def test_unsent_files_are_kept_when_something_else_fills_the_disk(world):
    with small_disk(world):
        world.timestamp(WATERMARK)
        (world.scan / "sub").mkdir()
        world.file("filler", b"f" * 500 * 4 * KIB, folder=world.scan / "sub")
        fill(world, sent=["b", "a"], unsent=["y", "x"])
        world.settings(TIMEUNIT=4, TIMECOUNT=100, KEEP_FREE=70)
        run = world.run("/opt/vastrel/bin/remove")
        assert left(world) == ["x", "y"] and (world.scan / "sub" / "filler").exists()
        assert run.matching("file system") == [
            (ERR, "Scan folder's file system is below 70% free and removing this folder's files "
                  "cannot reach it; 2 unsent files kept")]


def test_the_inode_floor(world):
    with small_disk(world, inodes=40):
        world.timestamp(WATERMARK)
        fill(world, sent=[f"s{k:02d}" for k in range(20)], unsent=[f"u{k}" for k in range(10)],
             size=1)
        free = os.statvfs(world.scan).f_favail
        world.settings(TIMEUNIT=4, TIMECOUNT=100, KEEP_FREE=40)  # 16 of 40 inodes available
        world.run("/opt/vastrel/bin/remove")
        assert left(world) == sorted(f"s{k:02d}" for k in range(16 - free, 20)) + \
            [f"u{k}" for k in range(10)]


@pytest.mark.shim
@pytest.mark.parametrize("keep_unsent", [0, 1])
def test_keep_unsent_leaves_unsent_files_to_the_floor(world, keep_unsent):
    world.timestamp(WATERMARK)
    sent = world.file("sent", mtime=WATERMARK - 10)
    unsent = world.file("unsent", mtime=WATERMARK + 10)  # old, but never sent
    world.settings(TIMECOUNT=1, KEEP_UNSENT=keep_unsent)
    world.run("/opt/vastrel/bin/remove", now=WATERMARK + 7200)
    assert not sent.exists() and unsent.exists() == bool(keep_unsent)


FLOOR_40 = "Scan folder's file system is below 40% free and removing this folder's files cannot "


@pytest.mark.parametrize("sent, filler, reader, gone, kept, lines", [
    # 31 of 256 pages available, 103 wanted: the unsent files free 50, the recording nothing.
    ([], 100, None, [], 3, [FLOOR_40 + "reach it; 3 unsent files kept"]),
    # 40 available: the sent files bring 90, the oldest unsent file that can go 115.
    (["b", "a"], 41, None, ["b", "a", "y"], 0,
     ["Scan folder's file system was below 40% free: 3 files (307200 bytes) removed, 1 of them "
      "never sent"]),
    # 65 available: y and x would bring 115, but a reader holds y, whose delete frees nothing.
    ([], 66, "y", ["y"], 2,
     [FLOOR_40 + "reach it; 2 unsent files kept", "Scan folder's file system was below 40% "
      "free: 1 files (102400 bytes) removed, 1 of them never sent"]),
])
def test_a_recording_held_open_frees_nothing_for_the_floor(world, tmp_path, sent, filler, reader,
                                                           gone, kept, lines):
    metrics = tmp_path / "metrics"
    metrics.mkdir()
    with small_disk(world, size="1m"), contextlib.ExitStack() as held:
        world.timestamp(WATERMARK)
        (world.scan / "sub").mkdir()
        world.file("filler", b"f" * filler * 4 * KIB, folder=world.scan / "sub")
        recording = world.file("rec", b"r" * 300 * KIB, mtime=WATERMARK + 50)
        fill(world, sent=sent, unsent=["y", "x"], size=100 * KIB)
        world.settings(TIMEUNIT=4, TIMECOUNT=100, KEEP_FREE=40, METRICS_DIR=str(metrics))
        held.enter_context(open(recording, "ab"))  # its recorder still writes it
        if reader:
            held.enter_context(open(world.scan / reader, "rb"))
        checked = world.run("/opt/vastrel/bin/vastrel", args=["check"])
        run = world.run("/opt/vastrel/bin/remove")
        assert left(world) == sorted(set(sent + ["rec", "y", "x"]) - set(gone))
        assert run.matching("file system") == [(ERR, line) for line in lines]
        assert re.search(rf"^vastrel_remove_unsent_files_kept {kept}$",
                         (metrics / "vastrel_remove.prom").read_text(), re.M)
        if not reader:  # check cannot tell a reader: it plans as a run that frees what it counts
            assert (f"{kept} unsent files would be kept" in checked.stdout) == bool(kept)
            assert (f"for space {len(gone)} files" in checked.stdout) == bool(gone)


# A device without a battery-backed clock ----------------------------------------

@pytest.mark.shim
@pytest.mark.parametrize("ruploaded", [0, 1])
def test_a_file_written_while_the_clock_read_1970_is_unsent_until_sent(world, ftp, tmp_path,
                                                                       ruploaded):
    metrics = tmp_path / "metrics"
    metrics.mkdir()
    base = dict(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                RUPLOADED=ruploaded, METRICS_DIR=metrics, KEEP_UNSENT=1)
    date = time.strftime("%Y-%m-%d", time.gmtime(FLOOR))
    with small_disk(world):
        world.timestamp(WATERMARK)  # set while the clock was right
        fill(world, sent=["s"], unsent=["u"])
        clip = world.file("boot-clip.mp4", b"c" * 400 * KIB, mtime=100)  # after a reboot at 1970
        # At 1970: nothing ages; for space a sent file goes first, the undated one last.
        world.settings(**base, TIMECOUNT=1, KEEP_FREE=85)
        checked = world.run("/opt/vastrel/bin/vastrel", args=["check"], now=200)
        behind = ("The clock reads 1970-01-01 00:03:20, before this program was built: nothing is "
                  "removed by age")
        assert f"problem: {behind}" in checked.stdout
        assert f"of the new files, 1 are dated before {date} and taken as unsent" in checked.stdout
        assert "1970-01-01 00:01:40 UTC  boot-clip.mp4" in checked.stdout.split("first to go")[1]
        run = world.run("/opt/vastrel/bin/remove", now=200)
        assert run.has(NOTICE, behind)
        assert run.has(NOTICE, f"1 files dated before {date} are taken as unsent")
        assert run.matching("were removed") == [
            (NOTICE, f"File {world.scan / n} were removed") for n in ("s", "u")]
        assert "vastrel_remove_clock_behind 1\n" in (metrics / "vastrel_remove.prom").read_text()
        # Once the clock is set, its unknown age never reaches a retention.
        world.settings(**base, TIMEUNIT=2, TIMECOUNT=9999)
        assert not world.run("/opt/vastrel/bin/remove", now=NEW + DAY).matching("removed")
        # The next upload whose server is up sends it, whatever the clock.
        run = world.run(now=300)
        assert run.has(NOTICE, f"File {clip} was uploaded")
        assert run.has(NOTICE, f"1 files dated before {date} are taken as unsent")
        ahead = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(WATERMARK))
        assert run.has(NOTICE, f"The watermark {ahead} lies after the clock 1970-01-01 00:05:00")
        assert "vastrel_upload_files_undated 1\n" in (metrics / "vastrel_upload.prom").read_text()
        assert clip.exists() == (not ruploaded)
        if not ruploaded:
            assert os.stat(clip).st_mtime == WATERMARK
        assert not world.run(now=300).matching("was uploaded")
        assert ftp.arrivals() == ["boot-clip.mp4"]
