"""Folders and the settings file reached only along folders that no one but
root can change: a user who owns a folder on the way cannot swap a name in
it for a link and make root read, write or delete elsewhere."""
import os
import shutil
from pathlib import Path

import pytest

from harness import ERR, NEW, NOTICE, OLD, SETTINGS, TIMESTAMP, WATERMARK

CHECK = "/opt/vastrel/bin/vastrel"
USER = 65534
TREE = Path("/opt/vastrel/tree")  # root's 0755 all the way; reset with /opt/vastrel


def tree():
    """A folder of the user's in root's tree, and a victim folder beside it."""
    home, victim = TREE / "home", TREE / "victim"
    for folder in (home, victim):
        folder.mkdir(parents=True)
    os.chown(home, USER, USER)
    return home, victim


def problems(run):
    return [p.split("problem: ", 1)[1] for p in run.stdout.splitlines() if "problem: " in p]


@pytest.mark.parametrize("op", ["upload", "remove"])
def test_a_scan_folder_swapped_for_a_link_by_its_parents_owner_is_refused(world, op):
    home, victim = tree()
    v = world.file("v", mtime=OLD, folder=victim)
    before = os.stat(v)
    scan = home / "upload"
    scan.symlink_to(victim)
    world.timestamp(WATERMARK)
    world.fake("curl", exit=[0])
    world.settings(SCANFOLDER=scan, REMOTEURL="ftp://h/up/", RUPLOADED=1, TIMECOUNT=1)
    run = world.run(f"/opt/vastrel/bin/{op}")
    line = f"Scan folder {scan} is reached through {home}, which user {USER} can change, nothing is done"
    assert run.rc == 0
    assert run.log == [(NOTICE, "started"), (ERR, line), (NOTICE, "exited")]
    after = os.stat(v)
    assert (after.st_mtime_ns, after.st_size) == (before.st_mtime_ns, before.st_size)
    assert os.listdir(victim) == ["v"] and world.calls("curl") == []
    assert line in problems(world.run(CHECK, args=["check"]))


@pytest.mark.parametrize("op", ["upload", "remove"])
def test_a_link_of_roots_in_a_folder_only_root_writes_is_followed(world, op):
    real = TREE / "data" / "scan"
    real.mkdir(parents=True)
    (TREE / "var").symlink_to("data")  # as a read-only image links to a data partition
    scan = TREE / "var" / "scan"
    # Dated 0: sent while no watermark stood, aged whatever the clock.
    f = world.file("f", mtime=NEW if op == "upload" else 0, folder=real)
    world.timestamp(WATERMARK)
    world.fake("curl", exit=[0])
    world.settings(SCANFOLDER=scan, REMOTEURL="ftp://h/up/", TIMECOUNT=1)
    run = world.run(f"/opt/vastrel/bin/{op}")
    done = f"File {scan}/f was uploaded" if op == "upload" else f"File {scan}/f were removed"
    assert run.log == [(NOTICE, "started"), (NOTICE, done), (NOTICE, "exited")]
    assert f.exists() == (op == "upload")


def own(path):
    os.chown(path, USER, USER)


def group_writable(path):
    path.chmod(0o620)


def others_writable(path):
    path.chmod(0o606)


def linked_in_open_folder(path):
    real = TREE / "settings"
    TREE.mkdir()
    path.rename(real)
    path.symlink_to(real)
    path.parent.chmod(0o777)


@pytest.mark.parametrize("change", [own, group_writable, others_writable, linked_in_open_folder])
def test_settings_that_others_can_change_steer_nothing(world, change):
    world.file("f", mtime=NEW)
    world.timestamp(WATERMARK)
    for tool in ("curl", "killall"):
        world.fake(tool, exit=[0])
    metrics = world.tmp / "metrics"
    metrics.mkdir()
    world.settings(REMOTEURL="ftp://h/up/", CHECKFTP=1, METRICS_DIR=metrics)
    change(SETTINGS)
    run = world.run()
    line = f"Settings file {SETTINGS} can be changed by others than root, nothing is done"
    assert run.rc == 0
    assert run.log == [(NOTICE, "started"), (ERR, line), (NOTICE, "exited")]
    assert world.calls("curl") == [] and world.calls("killall") == []
    assert list(metrics.iterdir()) == []
    assert line in problems(world.run(CHECK, args=["check"]))


@pytest.fixture
def data_folder_of_the_user():
    """/var/data, which holds the watermark's folder, owned by the user."""
    data = TIMESTAMP.parent.parent
    yield data
    os.chown(data, 0, 0)
    if TIMESTAMP.parent.is_symlink():
        TIMESTAMP.parent.unlink()
        TIMESTAMP.parent.mkdir()


@pytest.mark.parametrize("folder", ["metrics", "timestamp"])
def test_a_metrics_or_timestamp_folder_swapped_for_a_link_is_refused(
        world, data_folder_of_the_user, folder):
    home, victim = tree()
    f = world.file("f", mtime=OLD)
    world.fake("curl", exit=[0])
    values = dict(REMOTEURL="ftp://h/up/")
    if folder == "metrics":
        world.timestamp(WATERMARK)
        (home / "metrics").symlink_to(victim)
        values["METRICS_DIR"] = home / "metrics"
        line = (f"Metrics folder {home}/metrics is reached through {home}, which user {USER} "
                "can change, nothing is written")
    else:
        # The real watermark would make f old: read as 0 instead, f is new.
        os.utime(world.file("timestamp", "", folder=victim), (WATERMARK, WATERMARK))
        shutil.rmtree(TIMESTAMP.parent)
        TIMESTAMP.parent.symlink_to(victim)
        own(data_folder_of_the_user)
        line = (f"Timestamp folder {TIMESTAMP.parent} is reached through "
                f"{data_folder_of_the_user}, which user {USER} can change, it is not read")
    world.settings(**values)
    run = world.run()
    assert run.rc == 0 and (ERR, line) in run.log
    assert run.has(NOTICE, f"File {f} was uploaded") == (folder == "timestamp")
    assert os.listdir(victim) == ([] if folder == "metrics" else ["timestamp"])
    assert line in problems(world.run(CHECK, args=["check"]))
