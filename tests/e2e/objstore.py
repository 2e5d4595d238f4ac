"""A single-node Ceph object store on loopback for the tests, the soak and
the benchmarks: one monitor, one OSD that keeps its data in memory, and the
RADOS Gateway, all with their files in one folder and every path given on
their command lines, so that nothing of the host's (/etc/ceph, /var/lib/ceph)
is read or written. No manager: the gateway does not need one.

As a script, for the benchmarks by hand: objstore.py FOLDER starts it and
prints "ENDPOINT KEY SECRET BUCKET", then holds it until its input ends."""
import os
import signal
import socket
import subprocess
import sys
import time
import uuid
from pathlib import Path

from harness import die_with_parent, free_port

KEY, SECRET = "VASTRELTESTKEY000001", "vastrel-test-secret-0123456789abcdefghij"
BUCKET = "cams"
REGION = "us-east-1"


def _config(base, mon_port, rgw_port):
    """Every setting found to bring the store up in seconds and small: no
    authentication (crc, or the gateway never authenticates), a memory
    OSD, pools of 8 placement groups of one copy, a fast monitor."""
    return f"""[global]
fsid = {uuid.uuid4()}
mon host = v2:127.0.0.1:{mon_port}
public addr = 127.0.0.1
ms bind ipv6 = false
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc
run dir = {base}/run
admin socket = {base}/run/$name.asok
log file = {base}/log/$name.log
pid file = {base}/run/$name.pid
keyring = {base}/keyring
crash dir = {base}/crash
mon data = {base}/mon/$id
osd data = {base}/osd/$id
osd objectstore = memstore
memstore device bytes = 2147483648
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon allow pool size one = true
mon warn on pool no redundancy = false
mon osd down out interval = 0
paxos propose interval = 0.1
osd crush chooseleaf type = 0
osd memory target = 268435456
osd op num shards = 1
osd op num threads per shard = 1
osd max object name len = 460
osd max object namespace len = 64
rgw frontends = beast endpoint=127.0.0.1:{rgw_port}
rgw enable lc threads = false
rgw enable gc threads = false
rgw data = {base}/rgw
rgw dns name = 127.0.0.1
"""


class ObjectStore:
    """The store's daemons and its user's credentials; `endpoint` is the
    gateway's http://127.0.0.1:PORT."""

    def __init__(self, base):
        self.base = Path(base)
        for sub in ("run", "log", "crash", "mon", "osd/0", "rgw"):
            (self.base / sub).mkdir(parents=True, exist_ok=True)
        self.mon_port, self.rgw_port = free_port(), free_port()
        self.endpoint = f"http://127.0.0.1:{self.rgw_port}"
        self.conf = self.base / "ceph.conf"
        self.conf.write_text(_config(self.base, self.mon_port, self.rgw_port))
        (self.base / "keyring").write_text("")
        self.procs = {}
        self.bucket = BUCKET  # the one objects() and clear() look at
        self._make_monitor()
        self._start("mon", ["ceph-mon", "-f", "-i", "a"])
        osd_uuid = str(uuid.uuid4())
        self._ceph("osd", "new", osd_uuid)
        self._tool(["ceph-osd", "-i", "0", "--mkfs", "--osd-uuid", osd_uuid])
        self._start("osd", ["ceph-osd", "-f", "-i", "0"])
        self._tool(["radosgw-admin", "user", "create", "--uid=vastrel", "--display-name=vastrel",
                    f"--access-key={KEY}", f"--secret={SECRET}"])
        self.start_gateway()
        self.make_bucket(BUCKET)

    # The daemons ---------------------------------------------------------
    def _tool(self, argv, **kwargs):
        return subprocess.run(argv + ["-c", str(self.conf)], check=True, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120, **kwargs)

    def _ceph(self, *args):
        return self._tool(["ceph", "--connect-timeout", "60", *args])

    def _make_monitor(self):
        monmap = self.base / "monmap"
        fsid = next(line.split("= ")[1] for line in self.conf.read_text().splitlines()
                    if line.startswith("fsid"))
        subprocess.run(["monmaptool", "--create", "--fsid", fsid, "--addv", "a",
                        f"[v2:127.0.0.1:{self.mon_port}]", str(monmap)],
                       check=True, capture_output=True)
        self._tool(["ceph-mon", "--mkfs", "-i", "a", "--monmap", str(monmap)])

    def _start(self, name, argv):
        self.procs[name] = subprocess.Popen(
            argv + ["-c", str(self.conf)], stdin=subprocess.DEVNULL,
            stdout=open(self.base / f"log/{name}.out", "ab"), stderr=subprocess.STDOUT,
            preexec_fn=die_with_parent, start_new_session=True)

    def start_gateway(self):
        """Starts the gateway and waits until it answers."""
        self._start("rgw", ["radosgw", "-f", "-n", "client.rgw"])
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            assert self.procs["rgw"].poll() is None, self.log("rgw")
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.rgw_port)) == 0:
                    return
            time.sleep(0.05)
        raise AssertionError("the gateway did not start: " + self.log("rgw"))

    def stop_gateway(self):
        self._stop("rgw")

    def restart_gateway_if_gone(self):
        """After a fault that may have killed or stopped it."""
        proc = self.procs.get("rgw")
        if proc is None or proc.poll() is not None:
            self.procs.pop("rgw", None)
            self.start_gateway()

    def _stop(self, name):
        proc = self.procs.pop(name, None)
        if proc is None:
            return
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def close(self):
        """Stops the gateway, then the OSD, then the monitor."""
        for name in ("rgw", "osd", "mon"):
            self._stop(name)

    def log(self, name):
        path = self.base / f"log/{name}.out"
        return path.read_text(errors="replace")[-2000:] if path.exists() else ""

    # Requests ------------------------------------------------------------
    def curl(self, method, path, *args, secret=SECRET, data=None):
        """A signed request as the tests' user; (HTTP status, body)."""
        config = f'user = "{KEY}:{secret}"\n'
        url = f"{self.endpoint}/{path}"
        out = subprocess.run(
            ["curl", "-sS", "-g", "--aws-sigv4", f"aws:amz:{REGION}:s3", "-K", "-",
             "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-X", method, "-w", "\n%{http_code}",
             *args, url], input=config.encode(), capture_output=True, check=True, timeout=60)
        body, _, status = out.stdout.rpartition(b"\n")
        return int(status), body

    def make_bucket(self, bucket):
        status, body = self.curl("PUT", bucket)
        assert status == 200, body

    def listing(self, bucket=None):
        """{key: (ETag, LastModified)} of every object of the bucket: what
        tells that an object was written again."""
        import re
        import urllib.parse
        bucket = bucket or self.bucket
        found = {}
        last = ""
        while True:
            query = "?marker=" + urllib.parse.quote(last, safe="") if last else ""
            status, body = self.curl("GET", f"{bucket}{query}")
            assert status == 200, body
            entries = re.findall(rb"<Contents>(.*?)</Contents>", body, re.S)
            for entry in entries:
                key = html_unescape(re.search(rb"<Key>(.*?)</Key>", entry, re.S).group(1))
                stamp = tuple(re.search(rb"<%s>(.*?)</%s>" % (tag, tag), entry, re.S).group(1)
                              for tag in (b"ETag", b"LastModified"))
                found[key] = stamp
                last = key
            if b"<IsTruncated>true</IsTruncated>" not in body or not entries:
                return found

    def keys(self, bucket=None):
        """Every key of the bucket, by listing it."""
        return list(self.listing(bucket))

    def objects(self, bucket=None):
        """{key: bytes} of every object in the bucket."""
        bucket = bucket or self.bucket
        found = {}
        for key in self.keys(bucket):
            status, content = self.curl("GET", f"{bucket}/{encode_key(key)}")
            assert status == 200, content
            found[key] = content
        return found

    def clear(self, bucket=None):
        bucket = bucket or self.bucket
        for key in self.objects(bucket):
            status, body = self.curl("DELETE", f"{bucket}/{encode_key(key)}")
            assert status == 204, body


def encode_key(key):
    """A key as Signature V4 wants it in a path: "/" kept, everything else
    outside A-Za-z0-9-._~ percent-encoded."""
    import urllib.parse
    return urllib.parse.quote(key, safe="/-._~")


def html_unescape(raw):
    import html
    return html.unescape(raw.decode("utf-8", "surrogateescape"))


if __name__ == "__main__":
    store = ObjectStore(sys.argv[1])
    print(store.endpoint, KEY, SECRET, BUCKET, flush=True)
    sys.stdin.read()
    store.close()
