"""The "remove" operation against a real folder, with the clock pinned."""
import os

import pytest

from harness import ERR, NOTICE

NOW = 1_800_000_000
HOUR, DAY = 3600, 86400


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
