"""Every network, on both builds: vsftpd listening on ::1 only (passive
with EPSV, active with EPRT, MGET, FTPS), `localhost` wherever it answers,
a server that turns EPSV down, and where a passive reply's address may
lead. Connections go to loopback addresses only."""
import os
import re
import subprocess
import threading
import time

import pytest

from conftest import status_of, write_script
from ftpservers import PASSWORD, USER, free_port, running, start_pyftpdlib, start_vsftpd
from scripted_server import ScriptedServer
from test_data_scripted import DONE, LOGGED_IN, opening
from test_tls import certs, vsftpd_tls  # noqa: F401  (fixture)
from test_transfers import dos, put_on_server

DATA = os.urandom(300 * 1024 + 7)


def run_job(qelta, tmp_path, commands, settings=None, wrap=(), timeout=120):
    script = write_script(tmp_path / "job.ftp", commands,
                          {"Silent": 1, "TimeOut": 20, "Debug": 1, **(settings or {})})
    qelta.run(script, timeout=timeout, wrap=wrap)
    read = lambda suffix: (tmp_path / f"job{suffix}").read_bytes() \
        if (tmp_path / f"job{suffix}").exists() else b""
    return status_of(script), read(".log"), read(".err")


def succeeded(status, count):
    return status.get("exitcode") == "Success" and all(
        status.get(f"commandstatus{n}") == "Success" for n in range(1, count + 1))


@pytest.fixture(scope="module")
def vsftpd6():
    with running(start_vsftpd, "vsftpd6", (), True) as server:
        yield server


@pytest.fixture(scope="module")
def vsftpd4():
    with running(start_vsftpd, "vsftpd4") as server:
        yield server


def login6(server):
    return [f"CONN [::1]:{server.port}", f"USER {server.user}", f"PASS {server.password}",
            "CHWD pub", "TYPE I"]


# ---- IPv6 -------------------------------------------------------------------------------

def test_files_both_ways_over_ipv6(qelta, tmp_path, vsftpd6):
    put_on_server(vsftpd6, "d.bin", DATA)
    (vsftpd6.home / "pub" / "many").mkdir(exist_ok=True)
    many = {f"m{n}.txt": os.urandom(1000 + n) for n in range(3)}
    for name, data in many.items():
        put_on_server(vsftpd6, f"many/{name}", data)
    up = f"u-{qelta.kind}.bin"
    (tmp_path / "u.bin").write_bytes(DATA[::-1])
    (tmp_path / "in").mkdir()
    # Active first: after a PASV line every PORT line runs passively.
    commands = login6(vsftpd6) + [
        "PORT", f"RETR d.bin {dos(qelta, tmp_path / 'active.bin')}",
        "PASV", f"RETR d.bin {dos(qelta, tmp_path / 'passive.bin')}",
        "PASV", f"STOR {up} {dos(qelta, tmp_path / 'u.bin')}",
        "PASV", f"MGET many/*.txt {dos(qelta, tmp_path / 'in')}", "QUIT"]
    status, log, err = run_job(qelta, tmp_path, commands)
    assert succeeded(status, len(commands)), (status, err[-600:])
    assert (tmp_path / "active.bin").read_bytes() == DATA
    assert (tmp_path / "passive.bin").read_bytes() == DATA
    assert (vsftpd6.home / "pub" / up).read_bytes() == DATA[::-1]
    assert {p.name: p.read_bytes() for p in (tmp_path / "in").iterdir()} == many
    assert re.search(rb"\*\*\* EPRT \|2\|::1\|\d+\|\r\n", log), log[-600:]
    assert b"*** EPSV\r\n" in log and b"*** PASV" not in log and b"*** PORT" not in log


@pytest.mark.parametrize("cert,how,works", [("good", "pin", True), ("six", "ca", True),
                                            ("good", "ca", False)])
def test_ftps_over_ipv6(qelta, tmp_path, certs, cert, how, works):
    # "good" names 127.0.0.1 only: trusted by its pin, but its authority's
    # word does not make it ::1's. "six" names ::1 among its addresses.
    lines = vsftpd_tls(certs, cert=cert, reuse=qelta.kind == "linux")
    trust = ({"TLSFingerprint": certs.fingerprint(cert)} if how == "pin" else
             {"TLSCAFile": dos(qelta, certs.dir / "ca.pem")})
    with running(start_vsftpd, "vsftpd6-tls", lines, True) as server:
        put_on_server(server, "d.bin", DATA)
        commands = login6(server) + ["PASV", f"RETR d.bin {dos(qelta, tmp_path / 'd.bin')}",
                                     "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands, {"TLS": "Explicit", **trust})
    if works:
        assert succeeded(status, len(commands)), (status, err[-600:])
        assert (tmp_path / "d.bin").read_bytes() == DATA
        assert b"TLS control connection: TLSv1." in log
    else:
        assert status["exitcode"] == "Failure"
        assert b"Certificate of ::1 does not name it" in err, err[-600:]
        assert not (tmp_path / "d.bin").exists()


# ---- localhost, whichever family answers -----------------------------------------------

def hosts_namespace(tmp_path):
    """The program's own /etc/hosts, naming localhost ::1 and 127.0.0.1
    (Debian's names 127.0.0.1 only), in a mount namespace of its own."""
    if os.geteuid() != 0:
        pytest.skip("a hosts file of the test's own needs a mount namespace (root)")
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace here")
    hosts = tmp_path / "hosts"
    hosts.write_text("::1 localhost\n127.0.0.1 localhost\n")
    return ["unshare", "-m", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" /etc/hosts && exec "$@"', str(hosts)]


@pytest.mark.parametrize("listening", ["127.0.0.1", "::1", "nothing"])
@pytest.mark.parametrize("blocking", [0, 1])
def test_localhost_reaches_either_family(qelta, tmp_path, vsftpd4, vsftpd6, listening, blocking):
    wrap = hosts_namespace(tmp_path)
    server = {"127.0.0.1": vsftpd4, "::1": vsftpd6}.get(listening)
    port = server.port if server else free_port()
    commands = [f"CONN localhost:{port}", "USER anonymous", "PASS qelta@example.org", "QUIT"]
    status, log, err = run_job(qelta, tmp_path, commands, {"Blocking": blocking}, wrap=wrap)
    if server is None:
        assert status["exitcode"] == "Failure"
        # Every address is named in the failure, each also in the log.
        for where in (f"[::1]:{port}", f"127.0.0.1:{port}"):
            assert f"{where} (connection refused)".encode() in err, err
            assert f"Connecting to {where} failed: connection refused".encode() in log
        return
    assert succeeded(status, len(commands)), (status, err[-600:])
    # Where the other family's address came first, it was refused on the
    # way and said so.
    other = f"127.0.0.1:{port}" if listening == "::1" else f"[::1]:{port}"
    failures = re.findall(rb"Connecting to (\S+) failed: connection refused", log)
    assert failures in ([], [other.encode()]), log


def test_address_that_never_answers_gives_way_to_the_next(qelta, tmp_path, vsftpd4):
    # ::1 on the server's port is a listener whose queue is full: its SYNs
    # go unanswered, as where IPv6 is broken. The attempt gets its share
    # of TimeOut and 127.0.0.1 is tried next.
    import socket
    wrap = hosts_namespace(tmp_path)
    port = vsftpd4.port
    stuck = socket.socket(socket.AF_INET6)
    stuck.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    stuck.bind(("::1", port))
    stuck.listen(0)
    queued = []
    for _ in range(3):
        c = socket.socket(socket.AF_INET6)
        c.setblocking(False)
        c.connect_ex(("::1", port))
        queued.append(c)
    time.sleep(0.3)
    try:
        commands = [f"CONN localhost:{port}", "USER anonymous", "PASS qelta@example.org", "QUIT"]
        started = time.time()
        status, log, err = run_job(qelta, tmp_path, commands, {"TimeOut": 10}, wrap=wrap)
        took = time.time() - started
    finally:
        for c in queued + [stuck]:
            c.close()
    assert succeeded(status, len(commands)), (status, err[-600:])
    assert f"Connecting to [::1]:{port} failed: timed out (10060)".encode() in log, log[-600:]
    assert took < 10 + 5


# ---- EPSV refused ---------------------------------------------------------------------------

REFUSING_SERVER = r"""
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]

class NoEpsv(FTPHandler):
    def ftp_EPSV(self, line):
        self.respond("502 EPSV not implemented.")

auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elradfmwMT")
NoEpsv.authorizer = auth
NoEpsv.masquerade_address = "127.0.0.1"
FTPServer(("127.0.0.1", port), NoEpsv).serve_forever()
"""


def start_refusing_pyftpdlib(base):
    return start_pyftpdlib(base, main=REFUSING_SERVER)


@pytest.mark.parametrize("epsv", [1, 0])
def test_server_refusing_epsv_is_reached_through_pasv(qelta, tmp_path, epsv):
    from pathlib import Path
    with running(lambda base: start_refusing_pyftpdlib(Path(base)), "pyftpdlib-noepsv") as server:
        for n in range(3):
            (server.home / f"f{n}.bin").write_bytes(DATA[n:])
            (server.home / f"f{n}.bin").chmod(0o644)
        commands = [f"CONN 127.0.0.1:{server.port}", f"USER {USER}", f"PASS {PASSWORD}", "TYPE I"]
        for n in range(3):
            commands += ["PASV", f"RETR f{n}.bin {dos(qelta, tmp_path / f'f{n}.bin')}"]
        commands.append("QUIT")
        status, log, err = run_job(qelta, tmp_path, commands, {"EPSV": epsv})
    assert succeeded(status, len(commands)), (status, err[-600:])
    for n in range(3):
        assert (tmp_path / f"f{n}.bin").read_bytes() == DATA[n:]
    # Refused once, remembered for the connection, said once.
    assert log.count(b"*** EPSV") == epsv
    assert log.count(b"*** PASV") == 3
    assert log.count(b"PASV from now on") == epsv


def test_refused_epsv_data_connection_falls_back_to_pasv(qelta, tmp_path):
    closed = free_port()
    dest = tmp_path / "f.bin"
    steps = LOGGED_IN + [
        ("expect", b"EPSV"), ("send", f"229 Entering Extended Passive Mode (|||{closed}|)\r\n".encode()),
        ("expect", b"PASV"), ("pasv",), ("expect", b"RETR"), ("send", opening()),
        ("data", DATA), ("data-close",), ("send", DONE),
        ("expect", b"PASV"), ("pasv",), ("expect", b"RETR"), ("send", opening()),
        ("data", DATA), ("data-close",), ("send", DONE)]
    with ScriptedServer(steps) as server:
        commands = [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw",
                    "PASV", f"RETR f.bin {dos(qelta, dest)}", "PASV", f"RETR f.bin {dos(qelta, dest)}",
                    "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands)
        lines = server.received()
    assert succeeded(status, len(commands)), (status, err[-600:])
    assert dest.read_bytes() == DATA
    assert f"Connecting to 127.0.0.1:{closed} failed: connection refused".encode() in log
    assert log.count(b"EPSV data connection refused; PASV from now on") == 1
    assert sum(line.startswith(b"EPSV") for line in lines) == 1


# ---- Where a passive reply's address may lead ---------------------------------------

def test_passive_reply_address_is_tried_when_the_control_peer_refuses(qelta, tmp_path):
    # The data port listens on 127.0.0.2 only: the control peer (127.0.0.1)
    # refuses it, and the reply's loopback address, like the peer's, is
    # tried next.
    dest = tmp_path / "f.bin"
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv", "127.0.0.2", "127.0.0.2"),
                         ("expect", b"RETR"), ("send", opening()), ("data", DATA),
                         ("data-close",), ("send", DONE)]
    with ScriptedServer(steps) as server:
        commands = [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "PASV",
                    f"RETR f.bin {dos(qelta, dest)}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands)
    assert succeeded(status, len(commands)), (status, err[-600:])
    assert dest.read_bytes() == DATA
    assert re.search(rb"Connecting to 127\.0\.0\.1:\d+ failed: connection refused", log), log
    assert b"Trying the address the PASV reply named instead: 127.0.0.2" in log


def test_private_passive_reply_address_is_never_connected_to(qelta, tmp_path):
    # 10.9.8.7 is named while the data port (on 127.0.0.2) refuses the
    # control peer: a private address is not where a loopback peer leads.
    # With no other target, PASV ends as the connect begins, and the
    # refusal fails the RETR.
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv", "10.9.8.7", "127.0.0.2"),
                         ("expect", b"RETR")]
    with ScriptedServer(steps) as server:
        commands = [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "PASV",
                    f"RETR f.bin {dos(qelta, tmp_path / 'f.bin')}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands)
    assert status["exitcode"] == "Failure" and status.get("commandstatus5") != "Success"
    assert (b"The address the PASV reply named, 10.9.8.7, is not tried: it is a private "
            b"address and the control peer is not") in log
    assert b"Connecting to 10.9.8.7" not in log
    assert re.search(rb"Winsock error 10061 on Data Socket; tried 127\.0\.0\.1:\d+ "
                     rb"\(connection refused\)", err), err


# Replies whose numbers do not fit: the low bits of each would name the
# scripted data port, which an unchecked reader then connects to.
BAD_PASV = {
    "number beyond 255": lambda port: f"227 Entering Passive Mode (127,0,0,1,{256 + (port >> 8)},"
                                      f"{port & 255}).\r\n".encode(),
    "seven numbers": lambda port: f"227 Entering Passive Mode (127,0,0,1,{port >> 8},"
                                  f"{port & 255},9).\r\n".encode(),
}


@pytest.mark.parametrize("case", sorted(BAD_PASV))
def test_malformed_pasv_reply_fails_naming_it(qelta, tmp_path, case):
    reply = BAD_PASV[case]
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv", None, "127.0.0.1", reply),
                         ("expect", b"RETR"), ("send", opening()), ("data", DATA),
                         ("data-close",), ("send", DONE)]
    with ScriptedServer(steps) as server:
        commands = [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "PASV",
                    f"RETR f.bin {dos(qelta, tmp_path / 'f.bin')}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands, {"EPSV": 0})
    assert status["exitcode"] == "Failure" and status.get("commandstatus4") != "Success"
    assert b"PASV reply without six numbers from 0 to 255: 227 Entering Passive Mode (127,0,0,1," \
        in err, err
    assert not (tmp_path / "f.bin").exists()


def test_refused_epsv_over_ipv6_fails_saying_why(qelta, tmp_path):
    steps = LOGGED_IN + [("expect", b"EPSV"), ("send", b"502 EPSV not here.\r\n")]
    with ScriptedServer(steps, host="::1") as server:
        commands = [f"CONN [::1]:{server.port}", "USER bob", "PASS pw", "PASV",
                    f"RETR f.bin {dos(qelta, tmp_path / 'f.bin')}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands)
        lines = server.received()
    assert status["exitcode"] == "Failure" and status.get("commandstatus4") != "Success"
    assert b"EPSV refused (502 EPSV not here.); over IPv6 there is no PASV" in err, err
    assert not any(line.startswith(b"PASV") for line in lines)


# ---- Keepalive ------------------------------------------------------------------------

def keepalive_timers(port):
    """The keepalive timer (seconds left) of each established loopback
    connection whose peer is port, as ss shows it."""
    out = subprocess.run(["ss", "-tnoH", "state", "established"], capture_output=True,
                         text=True, timeout=10).stdout
    timers = []
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 4 and fields[3].endswith(f":{port}"):
            m = re.search(r"timer:\(keepalive,(?:(\d+)min)?(\d+)?(?:\.\d+)?(m?s)", line)
            seconds = (int(m.group(1) or 0) * 60 + int(m.group(2) or 0)) if m else None
            timers.append(seconds)
    return timers


def test_control_and_data_connections_keep_alive(qelta, tmp_path):
    # The transfer stalls; meanwhile both of the program's connections
    # must carry a keepalive timer of at most a minute.
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv",), ("expect", b"RETR"),
                         ("send", opening()), ("data", DATA[:1000]), ("hang",)]
    with ScriptedServer(steps) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "PASV",
                               f"RETR f.bin {dos(qelta, tmp_path / 'f.bin')}", "QUIT"],
                              {"Silent": 1, "TimeOut": 30, "EPSV": 0})
        run = threading.Thread(target=qelta.run, args=(script,), kwargs={"timeout": 60})
        run.start()
        deadline = time.time() + 30
        control = data = []
        while time.time() < deadline and not (control and data):
            time.sleep(0.2)
            control = keepalive_timers(server.port)
            data = keepalive_timers(server.passive_port) if server.passive_port else []
    run.join(timeout=60)
    for timers in (control, data):
        assert len(timers) == 1 and timers[0] is not None and timers[0] <= 60, (control, data)
