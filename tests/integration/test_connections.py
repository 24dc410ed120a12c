"""Connections=N: MGET, MGTC, MPUT and a wildcard DELR share their files
among several connections to real servers, and what a caller sees stays
whole: every file once and byte-identical, one status, a statistics line
per file, each connection's lines tagged in the log. A server that allows
fewer connections, and one that drops an extra connection mid-file, are
outlasted."""
import os
import re

import pytest

from conftest import status_of, write_script
from ftpservers import ftp_server, running, start_pyftpdlib, start_vsftpd  # noqa: F401
from test_multi import login, publish
from test_retry import DROPPING_SERVER, knob
from test_transfers import dos

FILES = {f"f{n:03}.dat": os.urandom(1000 + 37 * n) for n in range(24)}


def job(qelta, tmp_path, commands, settings):
    script = write_script(tmp_path / "job.ftp", commands,
                          {"Silent": 1, "TimeOut": 30, "DeleteOverRide": 1,
                           "StatFile": dos(qelta, tmp_path / "job.sta"), **settings})
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
    if qelta.kind == "win32" and ftp_server.kind != "vsftpd":
        pytest.skip("one server is enough under Wine")
    command, emptied, where = CASES[case]
    local = tmp_path / "files"
    local.mkdir()
    if case == "MPUT":
        for name, data in FILES.items():
            (local / name).write_bytes(data)
        pub = publish(ftp_server, {})
    else:
        pub = publish(ftp_server, FILES)
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
    if where:
        # One numbered line per file, numbered once for the run.
        numbers = [int(line.split()[0]) for line in stats.splitlines() if line[:1].isdigit()]
        assert numbers == list(range(1, len(FILES) + 1)), stats
