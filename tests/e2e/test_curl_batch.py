"""Curl mode over one connection (MOD_VASTREL_CURL_BATCH), against the real
curl and the real FTP server."""
import os

import pytest

from harness import ERR, NEW, NOTICE, OLD, SCRATCH, WATERMARK
from test_upload import HOSTILE_NAMES



def mtime(path):
    return int(os.stat(path).st_mtime)


# With VERIFY, each name is found in the run's listing of the folder.
@pytest.mark.parametrize("suffix, verify", [("", 0), (".part", 0), ("", 1)])
def test_hostile_names_arrive_whole_over_one_login(world, ftp, suffix, verify):
    world.timestamp(WATERMARK)
    decoys = [world.file(n, b"decoy", mtime=OLD) for n in ("g1", "g2", "a", "b", "leading")]
    files = {n: world.file(n, f"content of {n!r}".encode(), mtime=NEW) for n in HOSTILE_NAMES}
    world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.HOSTILE_USER,
                   PASSWORD=f'"{ftp.HOSTILE_PASSWORD}"', RUPLOADED=1, CURL_BATCH=1,
                   PARTIAL_SUFFIX=suffix, VERIFY=verify)
    run = world.run()
    sendable = [n for n in HOSTILE_NAMES if "\n" not in n]
    assert ftp.files() == {n: f"content of {n!r}".encode() for n in sendable}
    assert ftp.logins() == 1
    for n in sendable:
        assert not files[n].exists()
        assert run.has(NOTICE, f"File {files[n]} was uploaded")
        assert run.has(NOTICE, f"File {files[n]} was removed")
    control = files["new\nline"]
    assert run.has(ERR, f"File name {control} holds a control character, not sent")
    assert control.exists() and mtime(control) == NEW
    assert all(d.exists() and mtime(d) == OLD for d in decoys)
    assert not run.matching("failed") and run.sleeps == []
    assert not list(world.tmp.rglob("PWNED")) and not os.path.exists("/tmp/pwned")
    # Nothing that held the credentials is left behind.
    assert {p.name for p in SCRATCH.iterdir()} <= {"lock", "curl_error", "curl_results",
                                                   "curl_listing"}


# With VERIFY, the files sent before the refused one are listed by a run of
# their own.
@pytest.mark.shim
@pytest.mark.parametrize("verify", [0, 1])
def test_a_refused_file_has_its_other_attempts_alone_and_the_rest_is_sent(world, ftp, verify):
    world.timestamp(WATERMARK)
    files = {n: world.file(n, f"content {n}".encode(), mtime=NEW) for n in ("a", "blocker", "c")}
    (ftp.root / "up" / "blocker").mkdir()  # the server refuses to store over it
    world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                   CURL_BATCH=1, VERIFY=verify)
    run = world.run()
    failures = run.matching("file upload has failed")
    assert failures == [(ERR, "file upload has failed(curl: (25) Failed FTP upload: 550)")] * 3
    assert run.sleeps == [5, 5, 5]
    for name in ("a", "c"):
        assert (ftp.root / "up" / name).read_bytes() == f"content {name}".encode()
        assert run.has(NOTICE, f"File {files[name]} was uploaded")
        assert mtime(files[name]) == WATERMARK
    assert mtime(files["blocker"]) == NEW
    # One run, the refused file's own two attempts, and one run for what follows it.
    assert ftp.logins() <= 4 + verify
    assert not run.matching("left for the next run")
