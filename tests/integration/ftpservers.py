"""Real FTP servers from Debian for the tests, each started on a free
loopback port with its own configuration in a temporary folder (vsftpd and
pyftpdlib unprivileged; pure-ftpd as root in a mount namespace of its own),
and a recording proxy that keeps every byte the server sent on the control
connection."""
import contextlib
import os
import pwd
import shlex
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
VSFTPD = "/usr/sbin/vsftpd"
USER = "alice"
PASSWORD = "s3cret-Pw9"


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=10, greets=True, host="127.0.0.1"):
    """greets: the server speaks first in clear (not so with implicit TLS)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            with socket.create_connection((host, port), timeout=0.5) as s:
                if greets:
                    s.recv(512)  # its greeting, so the real run is not the first
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start")


class Server:
    def __init__(self, kind, port, home, user, password, proc):
        self.kind, self.port, self.home = kind, port, Path(home)
        self.user, self.password, self.proc = user, password, proc
        self.start_dir = None  # a folder to CHWD into after logging in

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def _drop_to_nobody():
    """The command prefix that runs a server as nobody when we are root."""
    if os.geteuid() != 0:
        return [], None
    nobody = pwd.getpwnam("nobody")
    return (["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
             "--clear-groups"], nobody)


def start_vsftpd(base, extra=(), ipv6=False):
    """Anonymous vsftpd; the writable folder is home/pub. vsftpd refuses a
    writable root, and a configuration file that is not its user's. extra:
    more configuration lines. ipv6: it listens on ::1 only."""
    if not os.path.exists(VSFTPD):
        pytest.skip("vsftpd is not installed")
    base = Path(base)
    root, empty, pub = base / "root", base / "empty", base / "root" / "pub"
    for d in (root, empty, pub):
        d.mkdir(parents=True, exist_ok=True)
    root.chmod(0o755)
    pub.chmod(0o777)
    host = "::1" if ipv6 else "127.0.0.1"
    port = free_port(host)
    listen = (["listen=NO", "listen_ipv6=YES", "listen_address6=::1"] if ipv6 else
              ["listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1"])
    conf = base / "vsftpd.conf"
    conf.write_text("\n".join([
        *listen, f"listen_port={port}",
        "background=NO", "seccomp_sandbox=NO", "run_as_launching_user=YES",
        "anonymous_enable=YES", "local_enable=NO", "no_anon_password=NO",
        f"anon_root={root}", "write_enable=YES", "anon_upload_enable=YES",
        "anon_mkdir_write_enable=YES", "anon_other_write_enable=YES",
        "anon_world_readable_only=NO", f"secure_chroot_dir={empty}", "xferlog_enable=NO",
        "syslog_enable=NO", "connect_from_port_20=NO", "pasv_address=127.0.0.1",
        "check_shell=NO", "userlist_enable=NO", "hide_ids=YES", *extra, "",
    ]))
    prefix, nobody = _drop_to_nobody()
    if nobody:
        for p in (base, conf, pub):
            os.chown(p, nobody.pw_uid, nobody.pw_gid)
    proc = subprocess.Popen(prefix + [VSFTPD, str(conf)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for_port(port, proc, greets="implicit_ssl=YES" not in extra, host=host)
    except RuntimeError:
        proc.kill()
        raise
    return Server("vsftpd", port, root, "anonymous", "qelta@example.org", proc)


PYFTPD_MAIN = r"""
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elradfmwMT")
handler = FTPHandler
if len(sys.argv) > 5:
    from pyftpdlib.handlers import TLS_FTPHandler
    handler = TLS_FTPHandler
    handler.certfile = sys.argv[5]
    handler.tls_control_required = handler.tls_data_required = True
handler.authorizer = auth
handler.banner = "pyftpdlib ready."
handler.masquerade_address = "127.0.0.1"
server = FTPServer(("127.0.0.1", port), handler)
server.serve_forever()
"""


def start_pyftpdlib(base, certfile=None, main=PYFTPD_MAIN):
    """certfile: a PEM of certificate and key; TLS is then required. main:
    a server script of the test's own, taking the same arguments. The free
    port may be taken by another test's connection before the server binds
    it (two workers run at once): a server that exits at once gets another."""
    for attempt in range(3):
        try:
            return _start_pyftpdlib(base, certfile, main)
        except RuntimeError as e:
            if "exited" not in str(e) or attempt == 2:
                raise


def _start_pyftpdlib(base, certfile, main):
    base = Path(base)
    home = base / "home"
    (home / "pub").mkdir(parents=True, exist_ok=True)
    port = free_port()
    prefix, nobody = _drop_to_nobody()
    if nobody:
        for p in (base, home, home / "pub"):
            os.chown(p, nobody.pw_uid, nobody.pw_gid)
    proc = subprocess.Popen(prefix + ["/usr/bin/python3", "-c", main, str(port), str(home),
                                      USER, PASSWORD] + ([str(certfile)] if certfile else []),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        wait_for_port(port, proc)
    except RuntimeError:
        proc.kill()
        raise
    return Server("pyftpdlib", port, home, USER, PASSWORD, proc)


STARTERS = {"vsftpd": start_vsftpd, "pyftpdlib": start_pyftpdlib}

@contextlib.contextmanager
def running(start, kind, *args):
    """A server of its own folder, stopped and removed afterwards. The
    folder is straight under /tmp: pytest's own folders are closed to the
    server's unprivileged user."""
    base = tempfile.mkdtemp(prefix=f"qelta-{kind}-")
    try:
        server = start(base, *args)
        yield server
        server.stop()
    finally:
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(params=sorted(STARTERS))
def ftp_server(request):
    with running(STARTERS[request.param], request.param) as server:
        yield server


@pytest.fixture
def vsftpd():
    """One vsftpd, where one server is enough."""
    with running(start_vsftpd, "vsftpd") as server:
        yield server


class PureFtpd(Server):
    """pure-ftpd forks a process per session: all of them go at the end."""

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 15)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait()


def start_pureftpd(base, certfile=None):
    """Anonymous pure-ftpd, run from its unpacked package (it conflicts with
    vsftpd). It serves anonymous users only as root, chrooted into the ftp
    account's home; that home (/srv/ftp) is shared by the machine, so the
    server gets a mount namespace of its own in which our folder is bound
    over it, and nothing outside sees its files. It refuses APPE to
    anonymous users, so it is not one of the `ftp_server` kinds."""
    if os.geteuid() != 0:
        pytest.skip("pure-ftpd serves anonymous FTP only as root (it must chroot)")
    try:
        ftp_home = pwd.getpwnam("ftp").pw_dir
    except KeyError:
        pytest.skip("no ftp account, whose home pure-ftpd serves to anonymous users")
    if not os.path.isdir(ftp_home):
        pytest.skip(f"the ftp account's home {ftp_home} is missing")
    unpacked = subprocess.run([str(ROOT / "scripts" / "unpack-deb"), "pure-ftpd"],
                              capture_output=True, text=True, timeout=300)
    if unpacked.returncode != 0:
        pytest.skip(f"pure-ftpd could not be unpacked: {unpacked.stderr.strip()[-200:]}")
    binary = Path(unpacked.stdout.strip()) / "usr" / "sbin" / "pure-ftpd"
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace here for pure-ftpd's root")
    root, pub = Path(base) / "root", Path(base) / "root" / "pub"
    pub.mkdir(parents=True)
    root.chmod(0o755)
    pub.chmod(0o777)
    port = free_port()
    # -e anonymous only, -H no name look-ups; uploads are allowed (no -i).
    # With a certificate, -Y 2 refuses sessions without TLS.
    tls = f" -Y 2 -2 {shlex.quote(str(certfile))}" if certfile else ""
    serve = (f"mount --bind {shlex.quote(str(root))} {shlex.quote(ftp_home)} && "
             f"exec {shlex.quote(str(binary))} -S 127.0.0.1,{port} -e -H{tls}")
    proc = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", serve],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    server = PureFtpd("pure-ftpd", port, root, "anonymous", "qelta@example.org", proc)
    try:
        wait_for_port(port, proc)
    except RuntimeError:
        server.stop()
        raise
    return server


@pytest.fixture
def pure_ftpd():
    with running(start_pureftpd, "pure-ftpd") as server:
        yield server


ALL_STARTERS = dict(STARTERS, **{"pure-ftpd": start_pureftpd})


@pytest.fixture(params=sorted(ALL_STARTERS))
def any_ftp_server(request):
    """Each of the three servers; pure-ftpd is anonymous and refuses APPE."""
    with running(ALL_STARTERS[request.param], request.param) as server:
        yield server


class RecordingProxy:
    """Passes one control connection through to the server and keeps every
    byte each side sent, in order."""

    def __init__(self, port):
        self.upstream = port
        self.from_server = bytearray()
        self.from_client = bytearray()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _pump(self, src, dst, record):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if record is not None:
                    record += data
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def _run(self):
        self.listener.settimeout(60)
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        server = socket.create_connection(("127.0.0.1", self.upstream))
        back = threading.Thread(target=self._pump, args=(server, client, self.from_server))
        back.start()
        self._pump(client, server, self.from_client)
        back.join(timeout=10)
        client.close()
        server.close()

    def close(self):
        self.listener.close()
        self.thread.join(timeout=10)
