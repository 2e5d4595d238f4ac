"""Fixtures for running the real program at its real paths.

Everything runs inside the private mount namespace that ns-run sets up: the
test binds /dev/log to read the program's syslog lines, installs the binary
under /opt/vastrel/bin, and resets /opt/vastrel, /var/vastrel and
/var/data/vastrel before each test.
"""
import itertools
import os
import shutil
import tempfile
from pathlib import Path

import pytest

from harness import BIN, SHIM, FtpServer, SshServer, World, bind_log_socket


def pytest_configure(config):
    config.addinivalue_line("markers", "shim: the program sleeps or needs its clock pinned")
    if os.environ.get("VASTREL_IN_NS") != "1":
        pytest.exit("run the end-to-end tests through tests/e2e/ns-run", returncode=2)
    if not (BIN and SHIM):
        pytest.exit("VASTREL_BIN and VASTREL_SHIM must name the built program and shim", 2)


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VASTREL_STATIC") != "1":
        return
    skip = pytest.mark.skip(reason="a static build cannot load the sleep and clock shim")
    for item in items:
        if "shim" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def ftp_server(tmp_path_factory):
    server = FtpServer(tmp_path_factory.mktemp("ftproot"))
    yield server
    server.proc.terminate()
    server.proc.wait()


@pytest.fixture
def ftp(ftp_server):
    ftp_server.reset()
    return ftp_server


@pytest.fixture(scope="session")
def ssh_server():
    # Outside pytest's 0700 temporary root, so that the test user can reach it.
    base = Path(tempfile.mkdtemp(prefix="sshd-"))
    base.chmod(0o755)
    server = SshServer(base)
    yield server
    server.proc.terminate()
    server.proc.wait()


@pytest.fixture
def sshd(ssh_server, world):
    ssh_server.reset()
    ssh_server.install_client()
    return ssh_server


@pytest.fixture(scope="session")
def object_store():
    from objstore import ObjectStore
    # Outside pytest's temporary root: the store's paths must stay short
    # (a socket's path is at most 107 bytes).
    base = Path(tempfile.mkdtemp(prefix="ceph-"))
    store = ObjectStore(base)
    yield store
    store.close()
    shutil.rmtree(base, ignore_errors=True)


@pytest.fixture
def s3(object_store):
    """The store with a new empty bucket of the test's own, `s3.bucket`."""
    object_store.bucket = f"test{next(_buckets)}"  # at least 3 characters
    object_store.make_bucket(object_store.bucket)
    return object_store


_buckets = itertools.count()


@pytest.fixture(scope="session")
def log_socket():
    sock = bind_log_socket()
    yield sock
    sock.close()


@pytest.fixture
def world(tmp_path, log_socket):
    return World(tmp_path, log_socket)
