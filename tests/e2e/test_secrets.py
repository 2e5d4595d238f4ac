"""No password stands in the argument list of any process while a transfer
runs, and none is left under /var/vastrel: checked from inside the running
transfer, against the real FTP server and the real sshd."""
import os

import pytest

from harness import CURL_BOUNDS, NEW, NOTICE, SCRATCH, WATERMARK



def curl_quoted(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def assert_hidden(world, tool, password):
    calls = world.calls(tool)
    assert calls
    for call in calls:
        assert call["cmdlines"] and not [c for c in call["cmdlines"] if password in c]
    for path in SCRATCH.rglob("*"):
        assert not path.is_file() or password.encode() not in path.read_bytes(), path


@pytest.mark.parametrize("hostile", [False, True])
def test_curl_reads_the_password_on_its_stdin_only(world, ftp, hostile):
    user, password = ((ftp.HOSTILE_USER, ftp.HOSTILE_PASSWORD) if hostile
                      else (ftp.USER, ftp.PASSWORD))
    (ftp.root / "down" / "fetched.txt").write_bytes(b"remote content")
    world.timestamp(WATERMARK)
    sent = world.file("sent.bin", os.urandom(20_000), mtime=NEW)
    content = sent.read_bytes()
    world.fake("curl", exit=[None], real="/usr/bin/curl", scan=True)
    world.settings(DOWNLOAD=1, DOWNLOAD_URL=ftp.url("down/"), DOWNLOAD_USER=user,
                   DOWNLOAD_PASSWD=f'"{password}"', REMOTEURL=ftp.url("up/"), USERNAME=user,
                   PASSWORD=f'"{password}"', RUPLOADED=1)
    run = world.run()
    # The listing, the fetch and the upload each read the user option exactly.
    calls = world.calls("curl")
    assert [c["argv"][-2] == "-T" or c["argv"][-1] for c in calls] == [
        ftp.url("down/"), ftp.url("down/fetched.txt"), True, True]
    for call in calls:
        assert call["stdin"] == f'user="{curl_quoted(user)}:{curl_quoted(password)}"\n' + CURL_BOUNDS
    assert_hidden(world, "curl", password)
    assert run.has(NOTICE, f"File {sent} was uploaded")
    assert ftp.files() == {"sent.bin": content, "fetched.txt": b"remote content"}


@pytest.mark.parametrize("hostile", [False, True])
def test_the_password_feeder_reads_the_password_from_its_environment(world, sshd, hostile):
    user, password = ((sshd.HOSTILE_USER, sshd.HOSTILE_PASSWORD) if hostile
                      else (sshd.USER, sshd.PASSWORD))
    world.timestamp(WATERMARK)
    sent = world.file("sent.bin", os.urandom(20_000), mtime=NEW)
    content = sent.read_bytes()
    world.fake("sftp", exit=[None], real="/usr/bin/sftp", scan=True)
    os.unlink("/opt/vastrel/bin/sftp")
    os.symlink(world.fakebin / "sftp", "/opt/vastrel/bin/sftp")
    world.settings(REMOTEURL=sshd.url(), USERNAME=user, PASSWORD=f'"{password}"')
    run = world.run()
    assert_hidden(world, "sftp", password)
    assert run.has(NOTICE, f"File {sent} was uploaded")
    assert sshd.files() == {"sent.bin": content}
