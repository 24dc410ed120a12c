"""Connections=N: MGET, MGTC, MPUT and a wildcard DELR share their files
among several connections to real servers, and what a caller sees stays
whole: every file once and byte-identical, one status, a statistics line
per file, each connection's lines tagged in the log. A server that allows
fewer connections, and one that drops an extra connection mid-file, are
outlasted."""
import json
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import status_of, write_script
from ftpservers import ftp_server, running, start_pyftpdlib, start_vsftpd  # noqa: F401
from test_multi import login, publish
from test_retry import DROPPING_SERVER, knob
from test_transfers import dos

FILES = {f"f{n:03}.dat": os.urandom(1000 + 37 * n) for n in range(24)}
# A DELE is over so soon that the first connection could delete 24 files
# before another has logged in.
DELETED = {f"f{n:03}.dat": b"x" for n in range(200)}


def job(qelta, tmp_path, commands, settings):
    script = write_script(tmp_path / "job.ftp", commands,
                          {"Silent": 1, "TimeOut": 30, "DeleteOverRide": 1,
                           "StatFile": dos(qelta, tmp_path / "job.sta"),
                           "ReportFile": dos(qelta, tmp_path / "job.json"), **settings})
    qelta.run(script, timeout=120)
    read = lambda name: (tmp_path / name).read_bytes() if (tmp_path / name).exists() else b""
    return status_of(script), read("job.log"), read("job.err"), read("job.sta")


def tags(log):
    return set(re.findall(rb"^\[(\d+)\] ", log, re.M))


# (the command, whether the server's folder ends empty, where the files end)
CASES = {
    "MGET": ("MGET pub/*.dat {local}", False, "local"),
    "MGTC": ("MGTC pub/*.dat {local}", False, "local"),
    "MPUT": ("MPUT pub/ {local}\\*.dat", False, "remote"),
    "DELR": ("DELR pub/*.dat", True, None),
}


@pytest.mark.parametrize("case", CASES)
def test_several_connections_move_every_file_once(qelta, tmp_path, ftp_server, case):
    command, emptied, where = CASES[case]
    files = DELETED if case == "DELR" else FILES
    local = tmp_path / "files"
    local.mkdir()
    if case == "MPUT":
        for name, data in FILES.items():
            (local / name).write_bytes(data)
        pub = publish(ftp_server, {})
    else:
        pub = publish(ftp_server, files)
    commands = login(ftp_server) + ["TYPE I", "PASV", command.format(local=dos(qelta, local)), "QUIT"]
    status, log, err, stats = job(qelta, tmp_path, commands, {"Connections": 4})
    n = len(commands) - 1
    assert status["exitcode"] == "Success", err
    assert status[f"commandstatus{n}"] == "Success"
    assert len(tags(log)) > 1, log
    if where == "local":
        assert {p.name: p.read_bytes() for p in local.iterdir()} == FILES
    if where == "remote":
        assert {p.name: p.read_bytes() for p in pub.iterdir()} == FILES
    if emptied:
        assert list(pub.iterdir()) == []
    records = [json.loads(line) for line in (tmp_path / "job.json").read_text().splitlines()]
    done = [r for r in records if r.get("keyword") in ("RETR", "STOR", "DELR") and "*" not in r["argument"]]
    assert len(done) == len(files) and all(r["status"] == "Success" for r in done)
    assert records[-1]["totals"]["bytes"] == (0 if case == "DELR" else sum(map(len, FILES.values())))
    if where:
        # One numbered line per file, numbered once for the run.
        numbers = [int(line.split()[0]) for line in stats.splitlines() if line[:1].isdigit()]
        assert numbers == list(range(1, len(FILES) + 1)), stats


def test_a_server_that_allows_two_gets_the_job_done_with_two(qelta, tmp_path):
    with running(start_vsftpd, "vsftpd", ["max_per_ip=2"]) as server:
        publish(server, FILES)
        local = tmp_path / "in"
        local.mkdir()
        commands = login(server) + ["TYPE I", "PASV", f"MGET pub/*.dat {dos(qelta, local)}",
                                    "PASV", f"MGET pub/*.dat {dos(qelta, local)}", "QUIT"]
        status, log, err, _ = job(qelta, tmp_path, commands, {"Connections": 4})
    assert status["exitcode"] == "Success", err
    assert {p.name: p.read_bytes() for p in local.iterdir()} == FILES
    # Said once, and the second MGET does not ask for more again.
    assert log.count(b"refused") == 1, log
    assert b"2 of 4 connections refused" in log
    assert b"going on with 2" in log
    assert log.count(b"] 421 ") == 2
    assert set(re.findall(rb"^\[(\d+)\] 150 ", log, re.M)) == {b"1", b"2"}


# The first extra connection to log in loses its control connection in
# the middle of its first file.
DROP_AN_EXTRA = DROPPING_SERVER.replace(
    'if "r" in mode and take("drop"):',
    'if "r" in mode and getattr(self.cmd_channel, "number", 0) == 2 and take("drop"):',
).replace(
    "class Handler(FTPHandler):\n",
    "class Handler(FTPHandler):\n"
    "    logins = 0\n"
    "    def on_login(self, username):\n"
    "        Handler.logins += 1\n"
    "        self.number = Handler.logins\n",
)


@pytest.mark.parametrize("retry,resume", [(1, 0), (1, 1), (0, 0)])
def test_an_extra_connection_dropped_mid_file(qelta, tmp_path, retry, resume):
    big = {f"b{n}.dat": os.urandom(3 * 2**20) for n in range(6)}
    with running(lambda base: start_pyftpdlib(base, main=DROP_AN_EXTRA), "pyftpdlib") as server:
        publish(server, big)
        knob(server, "drop", 1)
        local = tmp_path / "in"
        local.mkdir()
        commands = login(server) + ["TYPE I", "PASV", f"MGET pub/*.dat {dos(qelta, local)}", "QUIT"]
        status, log, err, _ = job(qelta, tmp_path, commands,
                                  {"Connections": 3, "Retry": retry, "RetryDelay": 0,
                                   "Resume": resume})
        lines = (server.home.parent / "commands.log").read_text().splitlines()
        sent = [line for line in lines if line.startswith("RETR")]
    got = {p.name: p.read_bytes() for p in local.iterdir()}
    if retry:
        assert status["exitcode"] == "Success", err
        assert got == big
        # The cut file is fetched again; none that arrived is.
        assert len(sent) == len(big) + 1
        assert b"*** Retry: " in log
        # Under Resume the cut file goes on from what arrived.
        assert any(line.startswith("REST ") and line != "REST 0" for line in lines) == bool(resume)
    else:
        assert status["exitcode"] == "Failure"
        # What arrived is whole; the cut file left nothing behind.
        assert all(big[name] == data for name, data in got.items())
        assert len(got) < len(big)
        assert not [p for p in local.iterdir() if ".qpart" in p.name]


# The first extra connection to log in never answers a RETR.
SILENT_EXTRA = DROP_AN_EXTRA.replace(
    "    def respond(self, resp, logfun=None):\n",
    "    def ftp_RETR(self, file):\n"
    "        if getattr(self, 'number', 0) != 2:\n"
    "            return super().ftp_RETR(file)\n"
    "    def respond(self, resp, logfun=None):\n",
)


@pytest.mark.parametrize("end", ["watchdog", "SIGINT"])
def test_a_run_whose_extra_connection_hangs_ends(linux_qelta, tmp_path, end):
    with running(lambda base: start_pyftpdlib(base, main=SILENT_EXTRA), "pyftpdlib") as server:
        publish(server, FILES)
        local = tmp_path / "in"
        local.mkdir()
        commands = login(server) + ["TYPE I", "PASV", f"MGET pub/*.dat {dos(linux_qelta, local)}", "QUIT"]
        script = write_script(tmp_path / "job.ftp", commands,
                              {"Silent": 1, "Connections": 2, "TimeOut": 10 if end == "watchdog" else 60})
        child = subprocess.Popen([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if end == "SIGINT":
            # Once the run's own files are in, its end waits for the hanging one.
            deadline = time.monotonic() + 20
            while len(list(local.iterdir())) < len(FILES) - 1 and time.monotonic() < deadline:
                time.sleep(0.05)
            child.send_signal(signal.SIGINT)
        child.wait(timeout=5 if end == "SIGINT" else 30)
    assert status_of(script)["exitcode"] == "Failure"
    err = (tmp_path / "job.err").read_bytes()
    assert (b"[2] QELTA Internal Timeout" if end == "watchdog" else b"User Cancelled") in err
    # What arrived is whole; the hanging file left nothing behind.
    assert all(FILES.get(p.name) == p.read_bytes() for p in local.iterdir())


def test_a_password_typed_once_serves_every_connection(linux_qelta, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    with running(start_pyftpdlib, "pyftpdlib") as server:
        publish(server, FILES)
        local = tmp_path / "in"
        local.mkdir()
        commands = [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}", "PASS", "TYPE I",
                    "PASV", f"MGET pub/*.dat {dos(linux_qelta, local)}", "QUIT"]
        script = write_script(tmp_path / "job.ftp", commands,
                              {"Silent": 1, "TimeOut": 30, "Connections": 3})
        child = pexpect.spawn(str(linux_qelta.exe), [str(script)],
                              env=dict(os.environ, TERM="dumb"), timeout=30)
        child.expect("Password for 127.0.0.1")
        child.sendline(server.password)
        child.expect(pexpect.EOF)
        assert b"Password for" not in child.before
    assert status_of(script)["exitcode"] == "Success"
    assert {p.name: p.read_bytes() for p in local.iterdir()} == FILES
    assert len(tags((tmp_path / "job.log").read_bytes())) == 3


# Every name twice in the name list, side by side; the server logs each
# command and each 226 with the session's id.
DOUBLED = DROPPING_SERVER.replace(
    "class FS(AbstractedFS):\n",
    "class FS(AbstractedFS):\n"
    "    def listdir(self, path):\n"
    "        return [n for n in super().listdir(path) for _ in (0, 1)]\n",
).replace(
    'log.write(line + "\\n")', 'log.write(f"{id(self)} {line}\\n")'
).replace(
    "        super().respond(resp)\n",
    "        if resp.startswith('226'):\n"
    "            with open(os.path.join(base, 'commands.log'), 'a') as log:\n"
    "                log.write(f'{id(self)} 226\\n')\n"
    "        super().respond(resp)\n",
)


def test_a_name_listed_twice_is_never_under_way_on_two_connections(linux_qelta, tmp_path):
    files = {f"d{n}.dat": os.urandom(2**20) for n in range(8)}
    with running(lambda base: start_pyftpdlib(base, main=DOUBLED), "pyftpdlib") as server:
        publish(server, files)
        local = tmp_path / "in"
        local.mkdir()
        commands = login(server) + ["TYPE I", "PASV", f"MGET pub/*.dat {dos(linux_qelta, local)}", "QUIT"]
        status, _, err, _ = job(linux_qelta, tmp_path, commands, {"Connections": 4, "Resume": 1})
        events = (server.home.parent / "commands.log").read_text().splitlines()
    assert status["exitcode"] == "Success", err
    assert {p.name: p.read_bytes() for p in local.iterdir()} == files
    under_way, retrieved = {}, 0
    for event in events:
        session, what = event.split(" ", 1)
        if what.startswith("RETR "):
            assert what not in under_way.values(), events
            under_way[session] = what
            retrieved += 1
        elif what == "226":
            under_way.pop(session, None)
    assert retrieved == 2 * len(files)
