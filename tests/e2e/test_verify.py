"""MOD_VASTREL_VERIFY: a sent file is disposed of only once the server tells
that it holds the file's size, against real servers that store less than
they are sent and still report success."""
import os

import pytest

from harness import ERR, NOTICE, FtpServer, HttpServer

WATERMARK = 1_700_000_000
NEW = WATERMARK + 100
CHECK = "/opt/vastrel/bin/vastrel"
SHORT = 10  # bytes the short FTP server drops from every file
UNTOLD = "The server tells no file's size: set MOD_VASTREL_VERIFY=0 for it"


def mtime(path):
    return int(os.stat(path).st_mtime)


def read_metric(folder, name):
    for line in (folder / "vastrel_upload.prom").read_text().splitlines():
        if line.startswith(name + " "):
            return int(line.split()[1])
    return None


@pytest.fixture
def odd_ftp(tmp_path, request):
    """An FTP server of its own that stores SHORT bytes less than it is
    sent, or (param "no_size") does not answer SIZE."""
    (tmp_path / "root").mkdir()
    server = FtpServer(tmp_path / "root", short=SHORT if request.param == "short" else None,
                       no_size=request.param == "no_size")
    server.reset()
    yield server
    server.stop()


@pytest.mark.parametrize("odd_ftp", ["short"], indirect=True)
@pytest.mark.parametrize("batch, suffix, verify", [
    (0, "", 1), (1, "", 1), (0, ".part", 1), (1, ".part", 1), (0, "", 0), (1, "", 0)])
def test_a_file_the_ftp_server_holds_short_stays_new_until_it_holds_it_whole(
        world, ftp, odd_ftp, tmp_path, batch, suffix, verify):
    world.timestamp(WATERMARK)
    files = [world.file(n, os.urandom(4096), mtime=NEW) for n in ("a", "b")]
    metrics = tmp_path / "metrics"
    metrics.mkdir()
    settings = dict(USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD, RUPLOADED=1, CURL_BATCH=batch,
                    PARTIAL_SUFFIX=suffix, VERIFY=verify, METRICS_DIR=str(metrics))
    world.settings(REMOTEURL=odd_ftp.url("up/"), **settings)
    run = world.run()
    if not verify:  # the tool's word alone: the server's short copies are all that is left
        assert not any(f.exists() for f in files)
        assert [len(c) for c in odd_ftp.files().values()] == [4096 - SHORT] * 2
        checked = world.run(CHECK, args=["check"])
        assert ("  Sent files are deleted on the tool's word alone; MOD_VASTREL_VERIFY=1 asks "
                "the server for their size first") in checked.stdout.splitlines()
        return
    for f in files:
        assert run.has(ERR, f"File {f} is on the server with {4096 - SHORT} of 4096 bytes, "
                            "kept as new")
        assert f.exists() and mtime(f) == NEW
        assert not run.has(NOTICE, f"File {f} was uploaded")
    # With a suffix a short file keeps its temporary name.
    assert sorted(odd_ftp.files()) == [f"a{suffix}", f"b{suffix}"]
    assert not run.matching("failed") and run.sleeps == []
    assert not run.has(ERR, UNTOLD)
    assert read_metric(metrics, "vastrel_upload_files_short") == 2
    # A run for each file short of its rename at most: never a login per request.
    assert odd_ftp.logins() <= (2 if suffix or not batch else 1)
    contents = {f.name: f.read_bytes() for f in files}
    world.settings(REMOTEURL=ftp.url("up/"), **settings)
    again = world.run()
    assert ftp.files() == contents
    for f in files:
        assert again.has(NOTICE, f"File {f} was removed") and not f.exists()
    assert read_metric(metrics, "vastrel_upload_files_short") == 0


# With a suffix the sizes are of the temporary names, and a batch of its own
# renames the whole ones.
@pytest.mark.parametrize("verify, suffix", [(0, ""), (1, ""), (1, ".part")])
def test_a_file_the_sftp_server_holds_short_stays_new(world, sshd, verify, suffix):
    world.timestamp(WATERMARK)
    whole = world.file("whole", os.urandom(4096), mtime=NEW)
    short = world.file("short", os.urandom(4096), mtime=NEW)
    # The server's name leads to /dev/null: it reports success and holds nothing.
    os.symlink("/dev/null", sshd.home / "up" / f"short{suffix}")
    world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD,
                   RUPLOADED=1, VERIFY=verify, PARTIAL_SUFFIX=suffix)
    run = world.run()
    assert "short" not in sshd.files() or not suffix  # never renamed short
    assert run.has(NOTICE, f"File {whole} was removed") and not whole.exists()
    if not verify:
        assert not short.exists()
        return
    [(_, line)] = run.matching("is on the server with")
    assert line.startswith(f"File {short} is on the server with ") and \
        line.endswith(" of 4096 bytes, kept as new")
    assert short.exists() and mtime(short) == NEW
    os.unlink(sshd.home / "up" / f"short{suffix}")
    content = short.read_bytes()
    again = world.run()
    assert again.has(NOTICE, f"File {short} was removed")
    assert sshd.files()["short"] == content


@pytest.mark.parametrize("mode, suffix", [
    ("curl", ""), ("batch", ""), ("curl", ".part"), ("batch", ".part"), ("sftp", ""),
    ("sftp", ".part")])
def test_honest_servers_have_every_file_verified_and_disposed_of(world, ftp, sshd, mode, suffix):
    world.timestamp(WATERMARK)
    contents = {"empty": b"", "small": b"x", "big": os.urandom(100_000), "with space": b"s p"}
    files = [world.file(n, c, mtime=NEW) for n, c in contents.items()]
    server = sshd if mode == "sftp" else ftp
    world.settings(REMOTEURL=server.url() if mode == "sftp" else ftp.url("up/"),
                   USERNAME=server.USER, PASSWORD=server.PASSWORD, RUPLOADED=1, VERIFY=1,
                   CURL_BATCH=int(mode == "batch"), PARTIAL_SUFFIX=suffix)
    checked = world.run(CHECK, args=["check"])
    assert ("  sent files are verified: the server's size of each must match before it is "
            "deleted") in checked.stdout.splitlines()
    run = world.run()
    assert server.files() == contents
    for f in files:
        assert run.has(NOTICE, f"File {f} was removed") and not f.exists()
    assert [m for p, m in run.log if p == ERR] == []
    if mode == "batch" and not suffix:
        assert ftp.logins() == 1


@pytest.mark.parametrize("odd_ftp", ["no_size"], indirect=True)
@pytest.mark.parametrize("batch", [0, 1])
def test_a_server_that_tells_no_size_keeps_every_file(world, odd_ftp, batch):
    world.timestamp(WATERMARK)
    files = [world.file(n, b"data", mtime=NEW) for n in ("a", "b")]
    world.settings(REMOTEURL=odd_ftp.url("up/"), USERNAME=odd_ftp.USER,
                   PASSWORD=odd_ftp.PASSWORD, RUPLOADED=1, VERIFY=1, CURL_BATCH=batch)
    run = world.run()
    for f in files:
        assert run.has(ERR, f"File {f}: the server did not tell its size, kept as new")
        assert f.exists() and mtime(f) == NEW
    assert run.matching("tells no file's size") == [(ERR, UNTOLD)]


@pytest.mark.parametrize("short", [0, SHORT])
@pytest.mark.parametrize("batch", [0, 1])
def test_an_http_server_is_asked_by_head_over_the_connection_of_the_upload(
        world, batch, short):
    server = HttpServer(short=short)
    world.timestamp(WATERMARK)
    contents = {n: os.urandom(4096) for n in ("a", "b c")}
    files = [world.file(n, c, mtime=NEW) for n, c in contents.items()]
    world.settings(REMOTEURL=server.url("up/"), USERNAME="u", PASSWORD="p", RUPLOADED=1,
                   VERIFY=1, CURL_BATCH=batch)
    run = world.run()
    server.stop()
    assert server.connections == (1 if batch else len(files))
    for f in files:
        if short:
            assert run.has(ERR, f"File {f} is on the server with {4096 - short} of 4096 bytes, "
                                "kept as new")
            assert mtime(f) == NEW
        else:
            assert run.has(NOTICE, f"File {f} was removed") and not f.exists()
            assert server.contents == {f"up/{n}": c for n, c in contents.items()}
