"""Object storage (s3:// URLs) against a real Ceph RADOS Gateway on loopback:
keys of hostile names, per file and in the batch, verification by HEAD,
and the refusals that end a pass."""
import os
import time

import pytest

from harness import ERR, FLOOR, NEW, OLD, Relay
from objstore import KEY, SECRET

CHECK = "/opt/vastrel/bin/vastrel"
# Every character Signature V4 must encode, and UTF-8.
HOSTILE = ["a+b=c,d", "sp ace", "hash#q?", "pct%25x", "br[1]{2}", "caf\u00e9-\u00fc\u00df.jpg",
           "tilde~dot.-_"]
TOO_LARGE = "File {} is larger than one upload to object storage can hold (5 GiB), not sent"


def s3_settings(s3, url=None, secret=SECRET, **extra):
    # "sftp" in the key's prefix: an s3:// URL is never the sftp batch.
    return dict(REMOTEURL=url or f"s3://{s3.bucket}/sftp cam 1/", S3_ENDPOINT=s3.endpoint,
                USERNAME=KEY, PASSWORD=secret, **extra)


# The last case's prefix comes from the path fields.
@pytest.mark.parametrize("batch, verify", [(0, 1), (1, 0), (1, 1)])
def test_files_arrive_under_their_keys_and_only_what_arrived_is_deleted(
        world, s3, batch, verify):
    world.timestamp(OLD)
    contents = {name: os.urandom(1000 + k) for k, name in enumerate(HOSTILE)}
    if not batch:
        contents["big"] = os.urandom(50 << 20)
    for name, content in contents.items():
        world.file(name, content, mtime=NEW)
    huge = world.file("huge", b"", mtime=NEW)
    os.truncate(huge, (5 << 30) + 1)  # sparse: one byte more than a PUT holds
    fields = batch and verify
    url = f"s3://{s3.bucket}/{{device}} 1/{{Y}}/" if fields else None
    world.settings(**s3_settings(s3, url=url, CURL_BATCH=batch, VERIFY=verify, RUPLOADED=1,
                                 DEVICE="sftp cam"))
    run = world.run()
    assert run.rc == 0, run.log
    prefix = f"sftp cam 1/{time.gmtime(NEW).tm_year}/" if fields else "sftp cam 1/"
    assert s3.objects() == {prefix + name: content for name, content in contents.items()}
    assert sorted(p.name for p in world.scan.iterdir()) == ["huge"]
    assert run.has(ERR, TOO_LARGE.format(huge))
    assert [m for p, m in run.log if p == ERR] == [TOO_LARGE.format(huge)]


def test_a_batch_sends_over_one_connection(world, s3):
    proxy = Relay(s3.rgw_port)
    world.timestamp(OLD)
    for k in range(20):
        world.file(f"f{k}", b"x" * k, mtime=NEW)
    settings = s3_settings(s3, CURL_BATCH=1)
    settings["S3_ENDPOINT"] = f"http://127.0.0.1:{proxy.port}"
    world.settings(**settings)
    run = world.run()
    assert run.rc == 0, run.log
    assert len(s3.objects()) == 20
    assert proxy.connections == 1
    proxy.close()


@pytest.mark.shim  # a clock pinned
@pytest.mark.parametrize("batch", [0, 1])
@pytest.mark.parametrize("fault, code", [("secret", "SignatureDoesNotMatch"),
                                         ("bucket", "NoSuchBucket"),
                                         ("clock", None)])
def test_a_store_that_refuses_ends_the_pass_and_keeps_every_file(world, s3, batch, fault, code):
    world.timestamp(OLD)
    files = [world.file(f"f{k}", b"data", mtime=NEW) for k in range(3)]
    url = f"s3://nobucket{s3.bucket}/" if fault == "bucket" else None
    secret = "wrong" if fault == "secret" else SECRET
    world.settings(**s3_settings(s3, url=url, secret=secret, CURL_BATCH=batch, RUPLOADED=1))
    run = world.run(now=FLOOR - 86400 if fault == "clock" else None)
    assert all(f.exists() and int(f.stat().st_mtime) == NEW for f in files)
    assert s3.objects() == {}
    errors = [m for p, m in run.log if p == ERR]
    if fault == "clock":
        assert len(errors) == 1, run.log
        assert errors[0].endswith(", before this program was built: object storage refuses its "
                                  "signatures, nothing is sent")
        return
    refused = [m for m in errors if f"S3 error {code})" in m]
    assert len(refused) == 1, run.log
    assert "error: 40" in refused[0]
    assert errors[-1] == "Server cannot be used now, 2 new files left for the next run", run.log
    assert len(errors) == 2, run.log
    assert run.sleeps == []  # no attempt and no wait changes the store's answer


def test_check_tells_the_store_and_the_keys(world, s3):
    world.file("a b+c", b"x", mtime=NEW)
    world.settings(**s3_settings(s3, PARTIAL_SUFFIX=".part"))
    lines = world.run(CHECK, args=["check"]).stdout.splitlines()
    assert f"  object storage: bucket {s3.bucket}, region us-east-1" in lines
    assert f"  endpoint {s3.endpoint} (path-style requests: ENDPOINT/BUCKET/KEY)" in lines
    assert "  MOD_VASTREL_PARTIAL_SUFFIX does not apply: an object appears whole or not at all" \
        in lines
    assert any(line.endswith("a b+c  key sftp cam 1/a b+c") for line in lines), lines
    world.settings(REMOTEURL="s3:///x/")
    checked = world.run(CHECK, args=["check"])
    assert checked.rc == 1
    assert ("problem: MOD_VASTREL_S3_ENDPOINT is empty: an s3:// URL needs the storage's "
            "address, nothing is sent") in checked.stdout
    assert ("problem: Remote URL s3:///x/ names no bucket (s3://BUCKET/PREFIX/), nothing is "
            "sent") in checked.stdout
    assert "cannot sign" not in checked.stdout
    world.fake("curl", stdout=["curl 7.74.0 (arm-unknown-linux-gnueabihf) libcurl/7.74.0\n"])
    checked = world.run(CHECK, args=["check"])
    assert "problem: curl 7.74.0 cannot sign requests to object storage (7.75 or later can)" \
        in checked.stdout
