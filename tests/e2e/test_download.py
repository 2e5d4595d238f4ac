"""The download pass ahead of an upload, against a real FTP server and fakes."""
import os
import re

import pytest

from harness import CURL_BOUNDS, ERR, NOTICE, SCRATCH

LIST = SCRATCH / "list"


def fetched(world):
    """The files in the scan folder (its private fetch folder aside)."""
    return {p.name for p in world.scan.iterdir() if p.is_file()}


def serve(ftp, names):
    for name in names:
        (ftp.root / "down" / name).write_bytes(f"remote {name}".encode())


def download_settings(world, ftp, url, **extra):
    values = dict(DOWNLOAD=1, DOWNLOAD_URL=url, DOWNLOAD_USER=ftp.USER,
                  DOWNLOAD_PASSWD=ftp.PASSWORD, REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER,
                  PASSWORD=ftp.PASSWORD)
    values.update(extra)
    world.settings(**values)


# "unknown": a file system that gives no entry's type in its listings.
@pytest.mark.parametrize("types", ["listed", pytest.param("unknown", marks=pytest.mark.shim)])
def test_a_remote_folder_is_fetched_and_sent_in_the_same_run(world, ftp, types):
    env = {"SHIM_DT_UNKNOWN": "1"} if types == "unknown" else {}
    serve(ftp, ["a.txt", "b.txt"])
    (world.scan / "sub").mkdir()
    world.file("inner", folder=world.scan / "sub")
    (world.scan / "link").symlink_to(world.tmp / "elsewhere")
    world.timestamp(1_000_000_000)
    download_settings(world, ftp, ftp.url("down/"), TIMEUNIT=4, TIMECOUNT=1)
    run = world.run(env=env)
    assert fetched(world) == {"a.txt", "b.txt"}
    assert ftp.files() == ftp.files("down")
    assert sorted(run.matching("^downloading")) == [
        (NOTICE, f"downloading {ftp.url('down/a.txt')}"),
        (NOTICE, f"downloading {ftp.url('down/b.txt')}")]
    assert len(run.matching("was uploaded")) == 2
    assert not LIST.exists()
    assert not [m for p, m in run.log if p == ERR]
    # Sent, the files are stamped a year and more old: remove takes them alone.
    removal = world.run("remove", env=env)
    assert len(removal.matching("were removed")) == 2
    assert sorted(p.name for p in world.scan.iterdir()) == ["link", "sub"]


def test_a_single_file_url_fetches_that_file(world, ftp):
    serve(ftp, ["one.txt", "other.txt"])
    world.file("one.txt", b"local copy is overwritten", mtime=1)
    download_settings(world, ftp, ftp.url("down/one.txt"), REMOTEURL="")
    world.timestamp(2_000_000_000)
    run = world.run()
    assert (world.scan / "one.txt").read_bytes() == b"remote one.txt"
    assert not (world.scan / "other.txt").exists()
    assert run.matching("^downloading") == [(NOTICE, f"downloading {ftp.url('down/one.txt')}")]


def test_commands_and_credentials_of_a_folder_download(world):
    world.fake("curl", stdout=["a.txt\r\nb.txt\r\n", ""], exit=[0])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/", DOWNLOAD_USER="u", DOWNLOAD_PASSWD="p",
                   REMOTEURL="ftp://h/up/")
    world.run()
    calls = world.calls("curl")
    assert calls[0]["argv"][1:] == ["-K", "-", "-fSs", "--list-only", "ftp://h/d/"]
    assert calls[0]["stdin"] == 'user="u:p"\n' + CURL_BOUNDS
    # CRLF listings give clean URLs; every fetch runs in the private folder.
    assert [c["argv"][1:] for c in calls[1:3]] == [["-K", "-", "-fSOs", "ftp://h/d/a.txt"],
                                                  ["-K", "-", "-fSOs", "ftp://h/d/b.txt"]]
    [cwd] = {c["cwd"] for c in calls[1:3]}
    assert re.fullmatch(re.escape(f"{world.scan}/.vastrel-fetch-") + "[0-9a-f]{16}", cwd)
    assert not os.path.exists(cwd)


def test_without_credentials_curl_reads_only_its_bounds(world):
    world.fake("curl", stdout=["x\n", ""], exit=[0])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/", REMOTEURL="ftp://h/up/")
    world.run()
    first = world.calls("curl")[0]
    assert first["argv"][1:3] == ["-K", "-"] and first["stdin"] == CURL_BOUNDS


@pytest.mark.parametrize("exit_code, stderr, logged", [
    (19, "", []),
    (9, "curl: (9) Server denied you to change to the given directory\n",
     [(ERR, "getting list of files has failed(curl: (9) Server denied you to change to the "
            "given directory)")]),
    # The shell cannot write the list and starts no curl: the error file
    # holds an earlier run's text, which is not this failure's.
    (None, "", []),
])
def test_a_failed_listing_ends_the_pass(world, exit_code, stderr, logged):
    world.fake("curl", exit=[exit_code, 0], stderr=[stderr, ""])
    if exit_code is None:
        LIST.mkdir(parents=True)
        (SCRATCH / "curl_error").write_text("curl: (6) Could not resolve host: earlier\n")
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/", REMOTEURL="ftp://h/up/")
    run = world.run()
    assert len(world.calls("curl")) == (exit_code is not None)
    assert run.matching("getting") == logged
    assert LIST.exists()


def test_a_failed_fetch_is_logged_with_all_its_error_lines(world, ftp):
    world.fake("curl", stdout=["gone\nthere\n", "", ""], exit=[0, 78, 0],
               stderr=["", "curl: (78) No such file\nsecond line\n", ""])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/", REMOTEURL="ftp://h/up/")
    run = world.run()
    assert run.matching("getting file") == [
        (ERR, "getting file ftp://h/d/gone has failed(curl: (78) No such file; second line; )")]
    assert run.has(NOTICE, "downloading ftp://h/d/there")


@pytest.mark.shim
def test_hostile_listed_names_are_fetched_exactly_or_skipped(world, ftp):
    names = ["semi;touch${IFS}PWNED", "q'uote", "$(touch${IFS}PWNED)", "`touch${IFS}PWNED`",
             "g[1-2]", "{a,b}", "-leading", 'd"q', "amp&x"]
    skipped = ["sp ace", "h#ash", "q?m", "p%41", "back\\slash"]
    serve(ftp, names + skipped)
    download_settings(world, ftp, ftp.url("down/"), DOWNLOAD_USER=ftp.HOSTILE_USER,
                      DOWNLOAD_PASSWD=f'"{ftp.HOSTILE_PASSWORD}"', REMOTEURL="")
    run = world.run()
    assert fetched(world) == set(names)
    for name in names:
        assert (world.scan / name).read_bytes() == f"remote {name}".encode()
    assert sorted(m for _, m in run.matching("cannot be fetched")) == sorted(
        f"Listed name {n} cannot be fetched under its own name, skipped" for n in skipped)
    assert not list(world.tmp.rglob("PWNED")) and not os.path.exists("/tmp/pwned")


def test_over_long_values_are_refused_not_cut(world):
    world.fake("curl", stdout=["n" * 120 + "\nshort\n", ""], exit=[0])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/", REMOTEURL="ftp://h/up/")
    run = world.run()
    [(priority, message)] = run.matching("longer than 127")
    assert priority == ERR and message.startswith("Download list line ftp://h/d/nnn")
    assert [c["argv"][-1] for c in world.calls("curl")[1:]] == ["ftp://h/d/short"]

    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/", DOWNLOAD_USER="u" * 100,
                   DOWNLOAD_PASSWD="p" * 20, REMOTEURL="ftp://h/up/")
    run = world.run()
    assert run.has(ERR, "Download credential line is longer than 127 characters, "
                        "nothing is downloaded")


def test_an_empty_scan_folder_downloads_nothing(world):
    world.fake("curl", exit=[0])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/x", SCANFOLDER="")
    run = world.run()
    assert run.has(ERR, "Scan folder is not set, nothing is downloaded")
    assert world.calls("curl") == []


def test_a_fetch_folder_that_cannot_be_made_downloads_nothing(world):
    world.fake("curl", exit=[0])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/d/x", SCANFOLDER="/nonexistent")
    run = world.run()
    assert run.matching(r"^Cannot use fetch folder /nonexistent/\.vastrel-fetch-[0-9a-f]{16}"
                        r"\(No such file or directory\), nothing is downloaded$")
    assert world.calls("curl") == [] and not run.matching("getting file|downloading")


@pytest.mark.parametrize("planted", ["link", "open to all", "another user's", "file",
                                     "leftovers"])
def test_a_squatted_fetch_folder_never_stops_the_downloads(world, ftp, planted):
    serve(ftp, ["x.bin"])
    etc_before = sorted(os.listdir("/etc")), os.stat("/etc").st_mtime_ns
    old = world.scan / ".vastrel-fetch"  # the fixed name of earlier versions
    theirs = world.scan / ".vastrel-fetch-0123456789abcdef"
    ours = world.scan / ".vastrel-fetch-fedcba9876543210"  # left by a killed run
    kept = {old}
    if planted == "link":
        old.symlink_to("/etc")
    elif planted == "open to all":
        old.mkdir(mode=0o777)
        old.chmod(0o777)
    elif planted == "another user's":
        old.mkdir(mode=0o700)
        os.chown(old, 65534, 65534)
    elif planted == "file":
        old.write_bytes(b"in the way")
    else:
        kept = {theirs}
        for folder in (theirs, ours):
            folder.mkdir(mode=0o700)
            (folder / "x.bin").write_bytes(b"partial")
        os.chown(theirs, 65534, 65534)
    download_settings(world, ftp, ftp.url("down/x.bin"), REMOTEURL="")
    world.run()
    assert (world.scan / "x.bin").read_bytes() == b"remote x.bin"
    assert (world.scan / "x.bin").stat().st_mode & 0o777 == 0o644
    left = {p for p in world.scan.iterdir() if p.name.startswith(".vastrel-fetch")}
    assert left == kept and (sorted(os.listdir("/etc")), os.stat("/etc").st_mtime_ns) == etc_before
    if planted == "leftovers":
        assert (theirs / "x.bin").read_bytes() == b"partial"


def test_a_hash_in_the_url_is_escaped_for_sed(world):
    world.fake("curl", stdout=["f\n", ""], exit=[0])
    world.settings(DOWNLOAD=1, DOWNLOAD_URL="ftp://h/a#b&c\\d/", REMOTEURL="ftp://h/up/")
    world.run()
    assert world.calls("curl")[1]["argv"][-1] == "ftp://h/a#b&c\\d/f"
