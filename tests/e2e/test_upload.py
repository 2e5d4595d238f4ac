"""The "upload" operation in curl mode, against a real FTP server and fakes."""
import fcntl
import os
import subprocess

import pytest

from harness import CURL_BOUNDS, ERR, NEW, NOTICE, OLD, SCRATCH, WATERMARK, mode_of



def upload_settings(world, ftp, **extra):
    values = dict(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD)
    values.update(extra)
    world.settings(**values)


def mtime(path):
    return int(os.stat(path).st_mtime)


@pytest.mark.parametrize("ruploaded", [0, 1])
def test_new_files_are_sent_once_and_disposed_of(world, ftp, ruploaded):
    world.timestamp(WATERMARK)
    new = world.file("new.bin", os.urandom(50_000), mtime=NEW)
    equal = world.file("equal", mtime=WATERMARK)
    old = world.file("old", mtime=OLD)
    (world.scan / "sub").mkdir()
    world.file("inner", mtime=NEW, folder=world.scan / "sub")
    upload_settings(world, ftp, RUPLOADED=ruploaded)
    content = new.read_bytes()
    run = world.run()
    assert run.rc == 0
    assert ftp.files() == {"new.bin": content}
    expected = [(NOTICE, f"File {new} was uploaded")]
    if ruploaded:
        expected.append((NOTICE, f"File {new} was removed"))
        assert not new.exists()
    else:
        assert mtime(new) == WATERMARK and os.stat(new).st_atime == WATERMARK
    assert run.log == [(NOTICE, "started")] + expected + [(NOTICE, "exited")]
    assert equal.exists() and old.exists()
    assert mode_of(SCRATCH) == 0o700
    second = world.run()
    assert second.log == [(NOTICE, "started"), (NOTICE, "exited")]


def test_without_timestamp_every_file_is_sent_and_stamped_to_zero(world, ftp):
    f = world.file("f", mtime=12345)
    upload_settings(world, ftp)
    world.run()
    assert ftp.files() == {"f": b"data"}
    assert mtime(f) == 0
    world.timestamp(WATERMARK)  # dated 0, it stays sent
    assert not world.run().matching("was uploaded") and ftp.arrivals() == ["f"]


def test_exact_curl_command_with_credentials_on_stdin(world):
    world.fake("curl", exit=[0])
    f = world.file("report.txt", mtime=NEW)
    world.timestamp(WATERMARK)
    world.settings(REMOTEURL="ftp://host/dir", USERNAME="user", PASSWORD="pw")
    world.run()
    [call] = world.calls("curl")
    # curl reads the file the program opened: its descriptor 3.
    assert call["argv"][1:] == ["-fSs", "-K", "-", "ftp://host/dir", "-T", "/proc/self/fd/3"]
    assert call["fds"]["3"] == str(f)
    assert call["stdin"] == 'user="user:pw"\n' + CURL_BOUNDS
    assert call["fds"]["0"].startswith("pipe:")
    assert call["fds"]["2"] == "/var/vastrel/curl_error"


@pytest.mark.shim
@pytest.mark.parametrize("stderr, exits, lines, sleeps", [
    ("curl: (7) Failed to connect\n", [7, 7, 7], 3, [5, 5, 5]),
    ("", [7, 7, 7], 0, [5, 5, 5]),
    ("curl: (9) Access denied\n", [9, 0], 1, [5]),
])
def test_failed_attempts_are_retried_three_times(world, stderr, exits, lines, sleeps):
    world.fake("curl", exit=exits, stderr=[stderr])
    f = world.file("f", mtime=NEW)
    world.timestamp(WATERMARK)
    world.settings(REMOTEURL="ftp://host/")
    run = world.run()
    assert len(world.calls("curl")) == len(exits)
    assert run.sleeps == sleeps
    failures = run.matching("file upload has failed")
    assert failures == [(ERR, f"file upload has failed({stderr.strip()})")] * lines
    sent = exits[-1] == 0
    assert (run.has(NOTICE, f"File {f} was uploaded")) == sent
    assert mtime(f) == (WATERMARK if sent else NEW)


@pytest.mark.shim
def test_empty_remote_url_fails_every_attempt(world):
    f = world.file("f", mtime=NEW)
    world.settings()
    run = world.run()
    assert run.sleeps == [5, 5, 5]
    assert len(run.matching("file upload has failed")) == 3
    assert mtime(f) == NEW


def test_failed_delete_is_logged_and_the_file_stamped(world, ftp):
    world.timestamp(WATERMARK)
    f = world.file("busy", mtime=NEW)
    # A mount point cannot be unlinked (EBUSY); its times can still be set.
    subprocess.run(["mount", "--bind", str(f), str(f)], check=True)
    try:
        upload_settings(world, ftp, RUPLOADED=1)
        run = world.run()
        assert run.has(ERR, f"Removing file {f} has failed(Device or resource busy)")
        assert mtime(f) == WATERMARK
    finally:
        subprocess.run(["umount", str(f)], check=True)


def test_a_second_run_does_nothing_while_one_holds_the_lock(world):
    world.fake("curl", exit=[0])
    world.file("f", mtime=NEW)
    world.settings(REMOTEURL="ftp://host/")
    SCRATCH.mkdir()
    with open(SCRATCH / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run = world.run()
    assert run.log == [(NOTICE, "started"),
                       (NOTICE, "another upload run is in progress, this run ends without work"),
                       (NOTICE, "exited")]
    assert world.calls("curl") == []


def test_a_file_that_changes_during_its_upload_stays_new(world):
    f = world.file("growing", b"first part", mtime=NEW)
    world.fake("curl", exit=[0], shell=[f"echo more >> '{f}'"])
    world.timestamp(WATERMARK)
    world.settings(REMOTEURL="ftp://host/", RUPLOADED=1)
    run = world.run()
    assert run.has(ERR, f"File {f} changed during upload and will be sent again")
    assert not run.matching("was uploaded")
    assert f.read_bytes() == b"first partmore\n"
    assert mtime(f) != WATERMARK


def test_scratch_folder_that_cannot_be_made_is_logged(world):
    world.fake("curl", exit=[0])
    world.file("f", mtime=NEW)
    world.settings(REMOTEURL="ftp://host/")
    SCRATCH.write_text("in the way")
    run = world.run()
    assert run.has(ERR, "Cannot create scratch folder /var/vastrel(Not a directory)")
    assert world.calls("curl") == []


HOSTILE_NAMES = ["a b", "q'uote", 'd"q', "back\\slash", "semi;touch PWNED", "$(touch PWNED)",
                 "`touch PWNED`", "g[1-2]", "{a,b}", "-leading", "h#ash", "q?m", "p%41", "star*",
                 "\u00fc-utf8", "new\nline", "amp&&touch PWNED"]


@pytest.mark.shim
@pytest.mark.parametrize("suffix", ["", ".part"])
def test_hostile_names_arrive_whole_and_run_nothing(world, ftp, suffix):
    world.timestamp(WATERMARK)
    decoys = [world.file(n, b"decoy", mtime=OLD) for n in ("g1", "g2", "a", "b", "leading")]
    files = {n: world.file(n, f"content of {n!r}".encode(), mtime=NEW) for n in HOSTILE_NAMES}
    world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.HOSTILE_USER,
                   PASSWORD=f'"{ftp.HOSTILE_PASSWORD}"', RUPLOADED=1, PARTIAL_SUFFIX=suffix)
    run = world.run()
    arrived = ftp.files()
    # curl refuses a newline in the remote name: that file fails and stays.
    sendable = [n for n in HOSTILE_NAMES if "\n" not in n]
    assert arrived == {n: f"content of {n!r}".encode() for n in sendable}
    for n in sendable:
        assert not files[n].exists()
    assert files["new\nline"].exists() and mtime(files["new\nline"]) == NEW
    assert all(d.exists() and mtime(d) == OLD for d in decoys)
    assert not list(world.tmp.rglob("PWNED")) and not os.path.exists("/tmp/pwned")
    assert not list(world.scan.glob("PWNED"))
    assert run.rc == 0


def test_over_long_command_lines_are_refused_per_file(world):
    world.fake("curl", exit=[0])
    world.timestamp(WATERMARK)
    quoted = world.file("'" * 150, mtime=NEW)  # each quote takes four characters quoted
    fine = world.file("fine", mtime=NEW)
    world.settings(REMOTEURL="ftp://host/" + "d" * 600 + "/")
    run = world.run()
    assert run.has(ERR, f"Command line for file {quoted} is longer than 1023 characters, not sent")
    assert [c["fds"]["3"] for c in world.calls("curl")] == [str(fine)]
    assert mtime(quoted) == NEW and run.sleeps == []


@pytest.mark.parametrize("key, value", [("REMOTEURL", "-o/etc/passwd"), ("USERNAME", "-x")])
def test_values_read_as_options_are_refused(world, key, value):
    world.fake("curl", exit=[0])
    world.file("f", mtime=NEW)
    world.settings(**{"REMOTEURL": "ftp://host/", key: value})
    run = world.run()
    assert world.calls("curl") == []
    assert len(run.matching('starts with "-", refused')) == 1


def test_a_suffix_with_a_url_that_cannot_rename_sends_nothing(world):
    world.fake("curl", exit=[0])
    f = world.file("f", mtime=NEW)
    world.settings(REMOTEURL="https://host/up/", PARTIAL_SUFFIX=".part")
    run = world.run()
    assert world.calls("curl") == [] and mtime(f) == NEW
    assert len(run.matching(r"^Remote URL https://host/up/ cannot rename")) == 1


def test_url_with_sftp_in_the_host_selects_sftp_mode(world):
    world.fake("curl", exit=[0])
    world.file("f", mtime=NEW)
    world.settings(REMOTEURL="ftp://mysftphost/")
    run = world.run()
    assert world.calls("curl") == []
    assert run.has(ERR, "Remote URL ftp://mysftphost/ holds sftp but not sftp://, nothing is sent")


@pytest.mark.parametrize("first_call", [
    dict(exit=2, stderr="curl: option --create-file-mode: is unknown\n"),  # older than 7.75
    dict(exit=0, stderr=""),  # sends, and reports no transfer
])
def test_a_curl_that_cannot_report_each_transfer_sends_one_file_at_a_time(world, first_call):
    world.fake("curl", exit=[first_call["exit"], 0], stderr=[first_call["stderr"], ""])
    files = [world.file(n, mtime=NEW) for n in ("a", "b")]
    world.timestamp(WATERMARK)
    world.settings(REMOTEURL="ftp://host/up/", CURL_BATCH=1)
    run = world.run()
    calls = world.calls("curl")
    assert calls[0]["argv"][1:] == ["-fSs", "--create-file-mode", "0644", "-K", "-"]
    assert sorted(c["argv"][1:] for c in calls[1:]) == sorted(
        ["-fSs", "-K", "-", f"ftp://host/up/{f.name}", "-T", "/proc/self/fd/3"] for f in files)
    assert run.has(NOTICE, "curl cannot report each transfer (7.75 or later can), "
                           "files are sent one at a time")
    assert len(run.matching("was uploaded")) == 2 and not run.matching("failed")
