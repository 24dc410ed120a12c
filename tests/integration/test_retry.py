"""Retry=N: a command that fails in a way that may pass is tried again on a
new connection, with the log-in, directory and type replayed; one that
cannot pass is not. A pyftpdlib server of our own drops the control
connection part-way through a transfer, or keeps a 226 back, as often as
told, and logs every command; the scripted server sends a reply nobody
asked for."""
import os

import pytest

from conftest import status_of, write_script
from ftpservers import running, start_pyftpdlib
from scripted_server import ScriptedServer
from test_data_scripted import LOGGED_IN
from test_transfers import dos

DROPPING_SERVER = r"""
import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
base = os.path.dirname(home)

def take(name):
    # A knob's count of times left: each use takes one.
    path = os.path.join(base, name)
    if not os.path.exists(path):
        return False
    left = int(open(path).read() or "1") - 1
    if left > 0:
        open(path, "w").write(str(left))
    else:
        os.unlink(path)
    return True

class Dropping:
    # A file whose reading ends the session part-way: the control
    # connection goes while the data flows.
    def __init__(self, f, channel):
        self.f, self.channel, self.sent = f, channel, 0
    def read(self, n):
        if self.sent > 0:
            self.channel.close()
            return b""
        data = self.f.read(n)
        self.sent += len(data)
        return data
    def __getattr__(self, name):
        return getattr(self.f, name)

class FS(AbstractedFS):
    def open(self, filename, mode):
        f = super().open(filename, mode)
        if "r" in mode and take("drop"):
            return Dropping(f, self.cmd_channel)
        return f

class Handler(FTPHandler):
    abstracted_fs = FS
    use_sendfile = False
    def pre_process_command(self, line, cmd, arg):
        with open(os.path.join(base, "commands.log"), "a") as log:
            log.write(line + "\n")
        super().pre_process_command(line, cmd, arg)
    def respond(self, resp, logfun=None):
        # The whole upload is in, and its 226 is lost with the connection.
        if resp.startswith("226") and take("no226"):
            self.close()
            return
        super().respond(resp)

auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elradfmwMT")
Handler.authorizer = auth
Handler.masquerade_address = "127.0.0.1"
FTPServer(("127.0.0.1", port), Handler).serve_forever()
"""

DATA = os.urandom(2 * 2**20)


def start_dropping(base):
    return start_pyftpdlib(base, main=DROPPING_SERVER)


def knob(server, name, times):
    path = server.home.parent / name
    path.write_text(str(times))
    os.chmod(path, 0o666)


def commands(server):
    log = server.home.parent / "commands.log"
    return log.read_text().splitlines() if log.exists() else []


def job(qelta, tmp_path, server, transfer, settings):
    lines = [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}", f"PASS {server.password}",
             "CHWD pub", "TYPE I", "PASV", transfer, "QUIT"]
    script = write_script(tmp_path / "job.ftp", lines,
                          {"Silent": 1, "TimeOut": 20, "RetryDelay": 1, **settings})
    qelta.run(script, timeout=120)
    log = tmp_path / "job.log"
    err = tmp_path / "job.err"
    return (status_of(script), log.read_bytes() if log.exists() else b"",
            err.read_bytes() if err.exists() else b"")


# (the transfer, the knob and how often it acts, Retry, the exit code, the
# transfer verb's count at the server, log-ins seen, what the log holds)
CASES = {
    "dropped once, tried again": ("get", "drop", 1, 2, "Success", 2, 2, [b"try 2 of 3"]),
    "dropped, no Retry": ("get", "drop", 1, 0, "Failure", 1, 1, []),
    "always dropped": ("get", "drop", 9, 2, "Failure", 3, 3,
                       [b"try 2 of 3", b"try 3 of 3", b"Not tried again", b"no tries left"]),
    "no such file": ("missing", None, 0, 3, "Failure", 1, 1, []),
    "226 lost after the whole upload": ("put", "no226", 1, 2, "Success", 1, 2,
                                        [b"the final reply was lost; SIZE"]),
    # The server may hold part of it: sent again, it would be there twice.
    "226 lost after an APPE": ("append", "no226", 1, 2, "Failure", 1, 1,
                               [b"Not tried again", b"APPE the server may have taken part of"]),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_only_a_failure_that_may_pass_is_tried_again(qelta, tmp_path, case):
    kind, name, times, retries, exitcode, transfers, logins, said = CASES[case]
    local = tmp_path / "f.bin"
    with running(start_dropping, "pyftpdlib") as server:
        remote = server.home / "pub" / "f.bin"
        if kind in ("put", "append"):
            local.write_bytes(DATA)
            verb = "STOR" if kind == "put" else "APPE"
            transfer = f"{verb} f.bin {dos(qelta, local)}"
        else:
            remote.write_bytes(DATA)
            source = "f.bin" if kind == "get" else "nothing.bin"
            transfer, verb = f"RETR {source} {dos(qelta, local)}", "RETR"
        if name:
            knob(server, name, times)
        status, log, err = job(qelta, tmp_path, server, transfer, {"Retry": retries})
        seen = commands(server)
        stored = remote.read_bytes() if remote.exists() else b""
    verbs = [line.split()[0] for line in seen]
    assert status["exitcode"] == exitcode, (seen, err[-800:])
    assert verbs.count(verb) == transfers and verbs.count("PASS") == logins, seen
    for text in said:
        assert text in log and text in err, log[-1500:]
    # The password never reaches a log, however often it was sent.
    assert server.password.encode() not in log + err
    if exitcode == "Success":
        assert (local.read_bytes() if kind == "get" else stored) == DATA
        # Each log-in went back to the directory and the type of the script.
        after = seen[len(seen) - 1 - verbs[::-1].index("PASS"):]
        assert "CWD pub" in after and "TYPE I" in after, seen
        assert status["commandstatus7"] == "Success"
    else:
        assert status.get("commandstatus7") != "Success"


def test_a_success_answered_by_a_reply_nobody_asked_for_is_withdrawn(qelta, tmp_path):
    """A stray 200 after TYPE's answers the CWD that follows; the CWD's own
    550 then arrives as a reply nobody asked for. The run fails, and so does
    the directory change that the stray 200 seemed to complete."""
    steps = LOGGED_IN + [("expect", b"TYPE"), ("send", b"200 Type set.\r\n"), ("pause", 0.3),
                         ("send", b"200 ok\r\n"), ("expect", b"CWD"),
                         ("send", b"550 No such directory.\r\n"), ("pause", 2)]
    with ScriptedServer(steps) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "TYPE I",
                               "CHWD /nonexistent", "WFOR 0:01", "QUIT"],
                              {"Silent": 1, "TimeOut": 20})
        qelta.run(script, timeout=60)
    status = status_of(script)
    err = (tmp_path / "job.err").read_bytes()
    assert status["exitcode"] == "Failure"
    assert status.get("commandstatus4") == "Success" and status.get("commandstatus5") != "Success", status
    assert b"no command asked for" in err and b"Status 5 set to Failure" in err
