"""Large files and far-future times: on 32-bit ARM these need 64-bit file
offsets and times, or stat fails (read as time 0: never sent, then removed)."""
import calendar
import os
import time

from harness import NOTICE

YEAR_2040 = calendar.timegm((2040, 1, 1, 0, 0, 0))


def test_a_file_over_2_gib_is_sent_and_kept_while_young(world):
    big = world.scan / "big.img"
    with open(big, "wb") as f:
        f.truncate(3 << 30)  # sparse: costs no space
    world.fake("curl", exit=[0])
    world.timestamp(int(time.time()) - 3600)
    world.settings(REMOTEURL="ftp://h/up/", TIMEUNIT=2, TIMECOUNT=1)
    run = world.run()
    assert [c["fds"]["3"] for c in world.calls("curl")] == [str(big)]
    assert run.has(NOTICE, f"File {big} was uploaded")
    removal = world.run("remove")
    assert big.exists() and not removal.matching("removed")


def test_a_file_dated_2040_is_sent_and_kept_as_a_future_file(world):
    future = world.file("future", mtime=YEAR_2040)
    world.fake("curl", exit=[0])
    world.timestamp(YEAR_2040 - 60)
    world.settings(REMOTEURL="ftp://h/up/", TIMECOUNT=1)
    run = world.run()
    assert run.has(NOTICE, f"File {future} was uploaded")
    assert int(os.stat(future).st_mtime) == YEAR_2040 - 60
    world.timestamp(0)
    os.utime(future, (YEAR_2040, YEAR_2040))
    removal = world.run("remove")
    assert future.exists() and not removal.matching("removed")
