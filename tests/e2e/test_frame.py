"""The frame of every run: log, dispatch and the FTP idle wait."""
import shutil
import subprocess

import pytest

from harness import ERR, NOTICE


def test_a_normal_run_starts_and_exits_at_notice(world):
    world.settings()
    run = world.run("/opt/vastrel/bin/remove")
    assert run.rc == 0
    assert run.log[0] == (NOTICE, "started")
    assert run.log[-1] == (NOTICE, "exited")
    assert "unknown operation" not in run.messages


@pytest.mark.parametrize("argv0", ["/usr/sbin/upload", "upload"])
def test_dispatch_takes_the_last_path_component(world, argv0):
    world.settings(REMOTEURL="ftp://127.0.0.1:1/", SCANFOLDER="/nonexistent")
    run = world.run(argv0)
    assert run.rc == 0
    assert (ERR, "Cannot open dir: /nonexistent") in run.log
    assert "unknown operation" not in run.messages


@pytest.mark.parametrize("argv0", ["Upload", "upload.sh", "/opt/vastrel/bin/vastrel"])
def test_unknown_names_are_logged_and_end_well(world, argv0):
    run = world.run(argv0)
    assert run.rc == 0
    assert run.log == [(NOTICE, "started"), (NOTICE, "unknown operation"), (NOTICE, "exited")]


TIMEOUT = "waiting for disconnection all FTP client failed because of 20 minutes timeout passed"


@pytest.mark.shim
@pytest.mark.parametrize("check_ftp, killall_exit, probes, sleeps, rc", [
    (0, [0], 0, [], 0),                 # wait switched off: no probe at all
    (1, [1], 1, [], 0),                 # no ftpd: the run goes straight on
    (1, [0, 0, 1], 3, [60, 60], 0),     # clients leave after two minutes
    (1, [0], 20, [60] * 20, 1),         # clients never leave
])
def test_ftp_idle_wait(world, check_ftp, killall_exit, probes, sleeps, rc):
    world.fake("killall", exit=killall_exit)
    world.settings(CHECKFTP=check_ftp)
    run = world.run("unknown-name")
    calls = world.calls("killall")
    assert len(calls) == probes
    assert all(c["argv"][1:] == ["-0", "ftpd"] for c in calls)
    assert run.sleeps == sleeps
    assert run.rc == rc
    if rc == 1:
        assert run.log == [(NOTICE, "started"), (NOTICE, TIMEOUT)]
    else:
        assert run.log[-1] == (NOTICE, "exited")


@pytest.mark.shim
def test_the_real_killall_finds_a_process_named_ftpd(world):
    ftpd = world.tmp / "ftpd"
    shutil.copy("/bin/sleep", ftpd)
    world.settings(CHECKFTP=1)
    proc = subprocess.Popen([str(ftpd), "60"])
    try:
        busy = world.run("remove")
    finally:
        proc.kill()
        proc.wait()
    idle = world.run("remove")
    assert (busy.rc, busy.sleeps) == (1, [60] * 20)
    assert (idle.rc, idle.sleeps) == (0, [])


def test_ftp_probe_that_cannot_run_counts_as_idle(world):
    world.settings(CHECKFTP=1)
    run = world.run("remove", env={"PATH": "/nonexistent"})
    assert run.rc == 0 and run.sleeps == []
    assert run.log[-1] == (NOTICE, "exited")


def test_children_get_devnull_and_no_inherited_descriptors(world):
    world.fake("killall", exit=[1])
    world.settings(CHECKFTP=1)
    world.run("remove")
    fds = world.calls("killall")[0]["fds"]
    # The syslog socket and the settings file are not passed on.
    assert fds == {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}
