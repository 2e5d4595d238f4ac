"""Shows one upload and one removal run end to end (started by scripts/demo)."""
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from harness import ERR, SETTINGS, FtpServer, SshServer, World, bind_log_socket  # noqa: E402


def show_run(title, run):
    print(f"\n$ {title}    (exit status {run.rc})")
    for priority, message in run.log:
        print(f"  syslog {'err   ' if priority == ERR else 'notice'} vastrel: {message}")


def show_folder(title, folder):
    print(f"\n{title}")
    for path in sorted(folder.iterdir()):
        st = path.stat()
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(st.st_mtime))
        print(f"  {path.name:<16} {st.st_size:>6} bytes  modified {stamp} UTC")


def main():
    tmp = Path(tempfile.mkdtemp())
    log = bind_log_socket()
    (tmp / "ftproot").mkdir()
    ftp = FtpServer(tmp / "ftproot")
    ftp.reset()
    (tmp / "device").mkdir()
    world = World(tmp / "device", log)
    now = int(time.time())
    world.timestamp(now - 3600)
    for name, size, age in [("report-1.csv", 1200, 600), ("report-2.csv", 800, 60),
                            ("photo.jpg", 40000, 300), ("old-log.txt", 300, 3 * 86400)]:
        world.file(name, os.urandom(size), mtime=now - age)
    world.settings(REMOTEURL=ftp.url("up/"), USERNAME=ftp.USER, PASSWORD=ftp.PASSWORD,
                   RUPLOADED=0, TIMEUNIT=2, TIMECOUNT=1)
    print(f"Settings file {SETTINGS}:")
    print("".join(f"  {line}\n" for line in SETTINGS.read_text().splitlines()), end="")
    print("Watermark: /var/data/vastrel/timestamp, modified one hour ago")
    show_folder(f"Scan folder {world.scan} before:", world.scan)

    check = world.run("/opt/vastrel/bin/vastrel", args=["check"])
    print(f"\n$ /opt/vastrel/bin/vastrel check    (exit status {check.rc}; it only looks, "
          "and logs nothing)")
    print("".join(f"  {line}\n" for line in check.stdout.splitlines()), end="")

    show_run("/opt/vastrel/bin/upload", world.run("/opt/vastrel/bin/upload"))
    show_folder(f"Arrived on the FTP server (127.0.0.1:{ftp.port}, folder up/):", ftp.root / "up")
    show_folder("Scan folder after: sent files are back-dated to the watermark", world.scan)
    show_run("/opt/vastrel/bin/upload   (again: nothing is new)", world.run("/opt/vastrel/bin/upload"))

    show_run("/opt/vastrel/bin/remove   (files older than one day)",
             world.run("/opt/vastrel/bin/remove"))
    show_folder("Scan folder after removal:", world.scan)

    # The same job over sftp: one batch for all new files, then deleted.
    sshd_base = Path(tempfile.mkdtemp(prefix="sshd-"))
    sshd_base.chmod(0o755)
    sshd = SshServer(sshd_base)
    sshd.reset()
    sshd.install_client()
    for name in ("scan-0001.pdf", "scan-0002.pdf"):
        world.file(name, os.urandom(5000), mtime=now - 30)
    world.settings(REMOTEURL=sshd.url(), USERNAME=sshd.USER, PASSWORD=sshd.PASSWORD, RUPLOADED=1)
    print(f"\nNow over sftp to a loopback sshd (port {sshd.port}, from /var/vastrel/ssh_config),")
    print(f"with MOD_VASTREL_REMOTEURL={sshd.url()} and MOD_VASTREL_RUPLOADED=1")
    show_run("/opt/vastrel/bin/upload", world.run("/opt/vastrel/bin/upload"))
    show_folder("Arrived on the sftp server:", sshd.home / "up")
    show_folder("Scan folder after: the sent files are deleted", world.scan)
    sshd.proc.terminate()
    ftp.proc.terminate()


main()
