"""What a fleet of devices needs: the send order, the metrics file, the rate
limit, the start spread and the integrator's curl settings, against the
real servers and tools."""
import fcntl
import os
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families

from harness import ERR, NEW, NOTICE, OLD, SCRATCH, WATERMARK, FtpServer, Relay, free_port, remove

CHECK = "/opt/vastrel/bin/vastrel"


def mtime(path):
    return int(os.stat(path).st_mtime)


# Send order ---------------------------------------------------------------

@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("mode", ["curl", "curl-batch", "sftp"])
def test_files_go_in_the_chosen_order(world, ftp, sshd, mode, order):
    world.timestamp(WATERMARK)
    # Names do not follow the times; "a" and "f" tie, and the name decides.
    times = {"e": NEW + 5, "b": NEW + 1, "f": NEW + 3, "a": NEW + 3, "d": NEW + 9, "c": NEW + 2}
    for name, t in times.items():
        world.file(name, f"content {name}", mtime=t)
    sign = 1 if order == 1 else -1
    expected = sorted(times, key=lambda n: (sign * times[n], n))
    if mode == "sftp":
        world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD,
                       SEND_ORDER=order)
    else:
        world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                       CURL_BATCH=int(mode == "curl-batch"), SEND_ORDER=order)
    checked = world.run(CHECK, args=["check"]).stdout.splitlines()
    start = next(k for k, line in enumerate(checked) if "first to go" in line)
    listed = [line.strip().split("  ", 1)[1] for line in checked[start + 1:start + 6]]
    run = world.run()
    logged = [m[len(f"File {world.scan}/"):-len(" was uploaded")]
              for _, m in run.matching("was uploaded")]
    arrived = world.sftp_arrivals() if mode == "sftp" else ftp.arrivals()
    assert logged == expected and arrived == expected
    assert listed == expected[:5]


# A place of its own for each device ----------------------------------------

def day_of(t):
    return time.strftime("%Y/%m/%d", time.gmtime(t))


def fields_settings(world, ftp, sshd, mode, path, **extra):
    """The settings of `mode` with `path` (holding fields) under the servers'
    "up" folder; returns that folder on the server's side."""
    if mode == "sftp":
        world.settings(REMOTEURL=f"{sshd.url('up')}/{path}", USERNAME=sshd.USER,
                       PASSWORD=sshd.PASSWORD, **extra)
        return sshd.home / "up"
    world.settings(REMOTEURL=ftp.url("up/") + path, USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                   CURL_BATCH=int(mode == "curl-batch"), **extra)
    return ftp.root / "up"


def tree(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}


# With VERIFY the batches list each folder they sent into.
@pytest.mark.parametrize("path, suffix, verify", [("{device}/{Y}/{m}/{d}/", ".part", 0),
                                                  ("{device}/{Y}/{device}-{name}", "", 0),
                                                  ("{device}/{Y}/{m}/{d}/", "", 1),
                                                  ("{device}/{Y}/{device}-{name}", ".part", 1)])
@pytest.mark.parametrize("mode", ["curl", "curl-batch", "sftp"])
def test_each_device_sends_into_a_place_of_its_own(world, ftp, sshd, mode, path, suffix, verify):
    world.timestamp(WATERMARK)
    expected = {}
    # Two devices send files of the same names, of two days; then the first
    # sends again into the folders it made.
    for device, files in [("cam1", {"IMG_0001.JPG": NEW, "IMG_0002.JPG": NEW + 86400}),
                          ("cam 2", {"IMG_0001.JPG": NEW, "IMG_0002.JPG": NEW + 86400}),
                          ("cam1", {"IMG_0003.JPG": NEW})]:
        for name, t in files.items():
            content = os.urandom(3000)
            world.file(name, content, mtime=t)
            last = name if "{d}" in path else f"{device}-{name}"
            expected[f"{device}/{day_of(t) if '{d}' in path else day_of(t)[:4]}/{last}"] = content
        root = fields_settings(world, ftp, sshd, mode, path, DEVICE=device, RUPLOADED=1,
                               PARTIAL_SUFFIX=suffix, VERIFY=verify)
        checked = world.run(CHECK, args=["check"]).stdout
        assert f"  device {device} (MOD_VASTREL_DEVICE)" in checked
        assert f"{device.replace(' ', '%20')}/{day_of(NEW)[:4]}/" in checked.split("where they")[1]
        run = world.run()
        assert len(run.matching("was removed")) == len(files) and not run.matching("failed")
        assert tree(root) == expected


@pytest.mark.shim
@pytest.mark.parametrize("mode", ["curl", "curl-batch", "sftp"])
def test_a_folder_that_cannot_be_made_fails_only_its_own_files(world, ftp, sshd, mode):
    world.timestamp(WATERMARK)
    later = [world.file(n, mtime=NEW + 86400) for n in ("a", "b")]
    sooner = {n: world.file(n, f"content {n}".encode(), mtime=NEW) for n in ("c", "d")}
    root = fields_settings(world, ftp, sshd, mode, "{device}/{Y}/{m}/{d}/", DEVICE="cam",
                           SEND_ORDER=2)
    blocker = root / "cam" / day_of(NEW + 86400)
    for parent in reversed(blocker.relative_to(root).parents[:-1]):
        (root / parent).mkdir(exist_ok=True)
        os.chmod(root / parent, 0o777)
    blocker.write_bytes(b"a file")
    run = world.run()
    sent = {f"cam/{day_of(NEW)}/{n}": f"content {n}".encode() for n in sooner}
    assert tree(root) == {**sent, str(blocker.relative_to(root)): b"a file"}
    assert all(mtime(f) == NEW + 86400 for f in later)
    assert all(mtime(f) == WATERMARK for f in sooner.values())
    assert run.matching("file upload has failed") and not run.matching("left for the next run")
    if mode == "sftp":
        return
    # Every folder refused: a second one, with nothing sent between, ends
    # curl's pass as a refused folder always did.
    world.file("e", mtime=NEW + 2 * 86400)
    remove(root / "cam")
    (root / "cam").write_bytes(b"a file")
    run = world.run()
    assert run.has(ERR, "Server cannot be used now, 1 new files left for the next run")
    assert len(run.matching("file upload has failed")) == 6


@pytest.mark.shim
def test_an_undated_file_takes_the_runs_date_once_the_clock_gives_one(world, ftp):
    world.timestamp(WATERMARK)
    clip = world.file("boot-clip.mp4", mtime=100)  # written after a reboot at 1970
    world.file("dated", mtime=NEW)
    root = fields_settings(world, ftp, None, "curl", "{device}/{Y}/{m}/{d}/", DEVICE="cam")
    run = world.run(now=300)
    assert run.matching("needs a date") == [
        (NOTICE, "The clock reads 1970-01-01 00:05:00, before this program was built: files "
                 "whose remote path needs a date wait")]
    assert tree(root) == {f"cam/{day_of(NEW)}/dated": b"data"} and mtime(clip) == 100
    later = NEW + 2 * 86400
    assert world.run(now=later).has(NOTICE, f"File {clip} was uploaded")
    assert tree(root)[f"cam/{day_of(later)}/boot-clip.mp4"] == b"data"


# Metrics ------------------------------------------------------------------

def read_metrics(path):
    values = {}
    for family in text_string_to_metric_families(path.read_text()):
        assert family.type == "gauge" and family.documentation
        for sample in family.samples:
            label = sample.labels.get("outcome")
            values[f"{sample.name}{{{label}}}" if label else sample.name] = sample.value
    return values


def outcome(values, prefix):
    [chosen] = [k for k, v in values.items() if k.startswith(f"{prefix}_outcome{{") and v == 1]
    return chosen[len(prefix) + len("_outcome{"):-1]


@pytest.mark.shim
def test_the_metrics_tell_what_each_run_did(world, ftp, tmp_path):
    folder = tmp_path / "metrics"
    folder.mkdir()
    upload, remove = folder / "vastrel_upload.prom", folder / "vastrel_remove.prom"
    world.timestamp(WATERMARK)
    base = dict(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                METRICS_DIR=str(folder))
    # A clean run, read over and over while it runs: never a half-written file.
    world.file("a", b"x" * 10, mtime=NEW)
    world.file("b", b"y" * 20, mtime=NEW)
    world.settings(**base)
    reads, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            if upload.exists():
                reads.append(read_metrics(upload))
    thread = threading.Thread(target=reader)
    thread.start()
    try:
        world.run(now=WATERMARK + 1000)
        first = read_metrics(upload)
        for _ in range(20):
            world.run(now=WATERMARK + 1000)
    finally:
        stop.set()
        thread.join()
    assert reads and all(len(r) == len(first) for r in reads)
    assert outcome(first, "vastrel_upload") == "all_sent"
    assert (first["vastrel_upload_files_sent"], first["vastrel_upload_bytes_sent"]) == (2, 30)
    assert first["vastrel_upload_files_left"] == 0
    assert first["vastrel_upload_end_timestamp_seconds"] == WATERMARK + 1000
    assert first["vastrel_upload_last_success_timestamp_seconds"] == WATERMARK + 1000
    # A file the server refuses, and one that cannot go under its own name.
    (ftp.root / "up" / "blocker").mkdir()
    world.file("blocker", b"z" * 5, mtime=NEW + 7)
    world.file("new\nline", mtime=NEW)
    world.file("c", b"c", mtime=NEW)
    world.settings(**base, CURL_BATCH=1)
    world.run(now=WATERMARK + 2000)
    values = read_metrics(upload)
    assert outcome(values, "vastrel_upload") == "some_failed"
    assert [values[f"vastrel_upload_files_{k}"] for k in ("sent", "failed", "refused", "left")] \
        == [1, 1, 1, 2]
    assert values["vastrel_upload_bytes_left"] == 5 + 4
    assert values["vastrel_upload_oldest_left_timestamp_seconds"] == NEW
    assert values["vastrel_upload_last_success_timestamp_seconds"] == WATERMARK + 1000
    # A dead server, a busy lock and an FTP wait that gives up.
    world.settings(**dict(base, REMOTEURL="ftp://127.0.0.1:1/up/"))
    world.run(now=WATERMARK + 3000)
    assert outcome(read_metrics(upload), "vastrel_upload") == "server_unusable"
    with open(SCRATCH / "lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        world.run(now=WATERMARK + 4000)
    assert outcome(read_metrics(upload), "vastrel_upload") == "busy"
    world.fake("killall", exit=[0])
    world.settings(**base, CHECKFTP=1)
    assert world.run(now=WATERMARK + 5000).rc == 1
    values = read_metrics(upload)
    assert outcome(values, "vastrel_upload") == "ftp_wait_timeout"
    assert values["vastrel_upload_end_timestamp_seconds"] == WATERMARK + 5000
    assert values["vastrel_upload_last_success_timestamp_seconds"] == WATERMARK + 1000
    # A remove that deletes files never sent (newer than the watermark).
    now = NEW + 7 + 3600 + 10  # a, b and c were sent and stamped; two were never sent
    world.settings(SCANFOLDER=str(world.scan), TIMEUNIT=1, TIMECOUNT=1, METRICS_DIR=str(folder))
    removed = world.run("/opt/vastrel/bin/remove", now=now)
    values = read_metrics(remove)
    assert len(removed.matching("were removed")) == values["vastrel_remove_files_deleted"] == 5
    assert values["vastrel_remove_unsent_files_deleted"] == 2  # blocker and "new\nline"
    assert outcome(values, "vastrel_remove") == "done"
    assert sorted(p.name for p in folder.iterdir()) == [remove.name, upload.name]
    # A folder that cannot be written is one line, never a failed run.
    world.settings(**dict(base, METRICS_DIR="/nonexistent"))
    run = world.run()
    assert run.rc == 0 and len(run.matching("^Cannot write metrics file")) == 1


# Rate limit -------------------------------------------------------------------

def test_the_rate_limit_reaches_every_transfer(world, ftp):
    world.timestamp(WATERMARK)
    f = world.file("f", mtime=NEW)
    for tool in ("curl", "sftp"):
        world.fake(tool, exit=[0], stdout=["0 \n"])
    os.symlink(world.fakebin / "sftp", "/opt/vastrel/bin/sftp")
    for extra in (dict(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/one"), dict(CURL_BATCH=1)):
        world.settings(REMOTEURL="ftp://h/up/", RATE_LIMIT=256, **extra)
        world.run()
        os.utime(f, (NEW, NEW))
    world.settings(REMOTEURL="sftp://h/up", RATE_LIMIT=256)
    world.run()
    # The fetch, the upload, the batch run; the sftp client in Kbit/s.
    assert [c["stdin"].count("limit-rate = 256K\n") for c in world.calls("curl")] == [1, 1, 1]
    [client] = world.calls("sftp")
    assert client["argv"][1:5] == ["-b", "-", "-l", "2048"]
    # A real transfer keeps to it: 1 MiB at 256 KiB/s takes about 4 s.
    os.unlink(world.fakebin / "curl")
    big = world.file("big", os.urandom(1 << 20), mtime=NEW)
    world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                   RATE_LIMIT=256)
    start = time.monotonic()
    run = world.run()
    elapsed = time.monotonic() - start
    assert run.has(NOTICE, f"File {big} was uploaded") and 3 <= elapsed <= 8


# Start spread -------------------------------------------------------------------

@pytest.mark.shim
def test_the_start_spread_is_fixed_per_device_and_comes_first(world):
    world.timestamp(WATERMARK)
    world.fake("curl", exit=[0])
    world.settings(REMOTEURL="ftp://h/up/", START_SPREAD=3600)
    delays = []
    for machine in ("0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210"):
        Path("/etc/machine-id").write_text(machine + "\n")
        runs = [world.run(), world.run()]
        assert runs[0].sleeps == runs[1].sleeps and len(runs[0].sleeps) == 1
        delay = runs[0].sleeps[0]
        assert 0 <= delay < 3600 and runs[0].log[1] == (
            NOTICE, f"Start spread: this run waits {int(delay)} seconds before it starts")
        delays.append(delay)
    assert delays[0] != delays[1]
    # The lock is taken only after the wait: a held one is found afterwards.
    with open(SCRATCH / "lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        run = world.run()
    messages = run.messages
    assert messages.index(f"Start spread: this run waits {int(delays[1])} seconds before it "
                          "starts") < messages.index(
        "another upload run is in progress, this run ends without work")


# The integrator's curl settings ---------------------------------------------------

@pytest.fixture
def ftps(tmp_path):
    """An explicit-FTPS server with a certificate from a test CA made now."""
    tls = tmp_path / "tls"
    tls.mkdir()
    script = (
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
        "-subj /CN=vastrel-test-ca && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
        "-subj /CN=127.0.0.1 && printf 'subjectAltName=IP:127.0.0.1\\n' > ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out server.crt -days 2 -extfile ext && cat server.crt server.key > server.pem")
    subprocess.run(script, shell=True, cwd=tls, check=True, capture_output=True)
    (tmp_path / "root").mkdir()
    server = FtpServer(tmp_path / "root", tls_cert=tls / "server.pem")
    server.reset()
    server.ca = tls / "ca.pem"
    server.proxy = Relay(server.port)
    yield server
    server.stop()


@pytest.mark.shim
def test_the_integrators_curl_settings_reach_every_curl(world, ftps):
    world.timestamp(WATERMARK)
    files = [world.file(n, f"content {n}", mtime=NEW) for n in ("a", "b")]
    SCRATCH.mkdir(exist_ok=True)
    config = SCRATCH / "curl_config"
    url = f"ftp://127.0.0.1:{ftps.proxy.port}/up/"
    # Each file of a suffix batch is a transfer of its own, which must read
    # the settings again.
    world.settings(REMOTEURL=url, USERNAME=ftps.USER, PASSWORD=ftps.PASSWORD, CURL_BATCH=1,
                   PARTIAL_SUFFIX=".part")
    config.write_text("# explicit FTPS with the test CA\nssl-reqd\n")
    run = world.run()
    failures = run.matching("file upload has failed")
    assert failures and all("(60) SSL certificate problem" in m for _, m in failures)
    assert all(mtime(f) == NEW for f in files) and ftps.files() == {}
    config.write_text(f'ssl-reqd\ncacert = "{ftps.ca}"\n')
    run = world.run()
    assert ftps.files() == {f.name: f.read_bytes() for f in files}
    assert all(run.has(NOTICE, f"File {f} was uploaded") for f in files)
    assert ftps.proxy.seen and ftps.PASSWORD.encode() not in ftps.proxy.seen
    # Every transfer reads them, also one that needs a new connection.
    world.fake("curl", exit=[0], stdout=["0 \n0 \n"])
    for f in files:
        os.utime(f, (NEW, NEW))
    world.run()
    [call] = world.calls("curl")
    assert call["argv"][1:7] == ["-fSs", "--create-file-mode", "0644", "-K", str(config), "-K"]
    assert call["stdin"].count("\nnext\n") == 1
    assert call["stdin"].split("\nnext\n")[1].count(f'config = "{config}"\n') == 1
    # A line that would change what the program relies on blocks the run.
    config.write_text(f'ssl-reqd\ncacert = "{ftps.ca}"\n  --next\n-o /tmp/x\n')
    checked = world.run(CHECK, args=["check"])
    problems = [line for line in checked.stdout.splitlines() if "problem:" in line]
    assert checked.rc == 1 and len(problems) == 2
    assert "line 3 sets next" in problems[0] and "line 4 sets output" in problems[1]
