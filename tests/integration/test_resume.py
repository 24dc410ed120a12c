"""Resume=1: a transfer cut part-way continues in the next run, and only
when what is kept is known to be a part of the same file. A pyftpdlib
server of our own cuts a transfer after a given count of bytes, can turn
REST down, and logs every command; the scripted server cuts at an exact
byte; vsftpd, slowed down, is killed under."""
import os
import time

import pytest

from conftest import status_of, write_script
from ftpservers import running, start_pyftpdlib, start_vsftpd
from scripted_server import ScriptedServer
from test_data_scripted import LOGGED_IN
from test_transfers import dos

RESUMING_SERVER = r"""
import os, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
base = os.path.dirname(home)

class Cut:
    # The next file opened fails after this many bytes: the server gives
    # up on the transfer part-way (426), as on a lost connection.
    def __init__(self, f, limit):
        self.f, self.left = f, limit
    def read(self, n):
        if self.left <= 0:
            time.sleep(1)  # what was sent reaches the client first
            raise OSError("cut")
        data = self.f.read(min(n, self.left))
        self.left -= len(data)
        return data
    def write(self, data):
        if self.left <= 0:
            raise OSError("cut")
        kept = data[:self.left]
        self.f.write(kept)
        self.f.flush()
        self.left -= len(kept)
        return len(data)
    def __getattr__(self, name):
        return getattr(self.f, name)

class FS(AbstractedFS):
    def open(self, filename, mode):
        f = super().open(filename, mode)
        knob = os.path.join(base, "cut")
        if os.path.exists(knob):
            limit = int(open(knob).read())
            os.unlink(knob)
            return Cut(f, limit)
        return f

class Handler(FTPHandler):
    abstracted_fs = FS
    use_sendfile = False
    def pre_process_command(self, line, cmd, arg):
        with open(os.path.join(base, "commands.log"), "a") as log:
            log.write(line + "\n")
        if cmd == "REST" and os.path.exists(os.path.join(base, "norest")):
            self.respond("502 REST not implemented.")
            return
        super().pre_process_command(line, cmd, arg)

auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elradfmwMT")
Handler.authorizer = auth
Handler.masquerade_address = "127.0.0.1"
FTPServer(("127.0.0.1", port), Handler).serve_forever()
"""

DATA = os.urandom(3 * 2**20)
OLD = b"yesterday's copy\r\n"


def start_resuming(base):
    return start_pyftpdlib(base, main=RESUMING_SERVER)


def knob(server, name, text=""):
    path = server.home.parent / name
    path.write_text(text)
    os.chmod(path, 0o666)


def commands(server):
    log = server.home.parent / "commands.log"
    lines = log.read_text().splitlines() if log.exists() else []
    if log.exists():
        log.unlink()
    return lines


def job(qelta, tmp_path, server, transfer):
    script = write_script(tmp_path / "job.ftp",
                          [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}",
                           f"PASS {server.password}", "TYPE I", "PASV", transfer, "QUIT"],
                          {"Silent": 1, "TimeOut": 30, "Resume": 1})
    qelta.run(script, timeout=120)
    status = status_of(script)
    return status, (tmp_path / "job.log").read_bytes() if (tmp_path / "job.log").exists() else b""


def change_source(path, data, same_size):
    """Another version of the source between the runs: other bytes of
    another size, or of the same size with only its time to tell."""
    stamp = os.stat(path).st_mtime
    path.write_bytes(data if not same_size else data[::-1])
    os.utime(path, (stamp - 3600, stamp - 3600))


# (direction, what happens between the runs, the second run's commands
# that must be there, those that must not, the file's bytes at the end)
CASES = {
    "retrieval continues": ("get", None, ["REST", "RETR"], []),
    # A generated line's local name ends in a blank.
    "retrieval by MGET continues": ("mget", None, ["REST", "RETR"], []),
    "retrieval, source of another size": ("get", "other size", ["RETR"], ["REST"]),
    "retrieval, source of another time": ("get", "other time", ["RETR"], ["REST"]),
    "retrieval, REST refused": ("get", "norest", ["REST", "RETR"], []),
    "upload continues": ("put", None, ["REST", "STOR"], ["APPE"]),
    "upload, REST refused": ("put", "norest", ["REST", "APPE"], []),
    "upload, local file changed": ("put", "other size", ["STOR"], ["REST", "APPE"]),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_cut_transfer_continues_only_a_part_of_the_same_file(qelta, tmp_path, case):
    direction, between, present, absent = CASES[case]
    with running(start_resuming, "pyftpdlib") as server:
        remote = server.home / "pub" / "f.bin"
        local = tmp_path / "f.bin"
        if direction != "put":
            remote.write_bytes(DATA)
            local.write_bytes(OLD)
            transfer = (f"RETR pub/f.bin {dos(qelta, local)}" if direction == "get" else
                        f"MGET pub/*.bin {dos(qelta, tmp_path)}")
        else:
            local.write_bytes(DATA)
            transfer = f"STOR pub/f.bin {dos(qelta, local)}"
        knob(server, "cut", str(len(DATA) // 3))
        status, _ = job(qelta, tmp_path, server, transfer)
        assert status["exitcode"] == "Failure"
        assert not [p.name for p in tmp_path.iterdir() if " " in p.name]
        if direction != "put":
            assert local.read_bytes() == OLD
            parts = list(tmp_path.glob("f.bin.*.qpart"))
            assert len(parts) == 1 and 0 < parts[0].stat().st_size < len(DATA)
            kept = parts[0].stat().st_size
        else:
            kept = remote.stat().st_size
            assert 0 < kept < len(DATA)
        commands(server)

        expected = DATA
        if between == "norest":
            knob(server, "norest")
        elif between is not None:
            changed = remote if direction == "get" else local
            change_source(changed, os.urandom(len(DATA) // 2), between == "other time")
            expected = changed.read_bytes()
        status, log = job(qelta, tmp_path, server, transfer)
        seen = commands(server)
        result = local.read_bytes() if direction != "put" else remote.read_bytes()

    assert status["exitcode"] == "Success", log
    verbs = [line.split()[0] for line in seen]
    for verb in present:
        assert verb in verbs, seen
    for verb in absent:
        assert verb not in verbs, seen
    if "REST" in verbs:
        # The line right before the transfer's own, and naming what was kept.
        rest = verbs.index("REST")
        assert seen[rest] == f"REST {kept}" and verbs[rest + 1] in ("RETR", "STOR", "APPE"), seen
    assert result == expected
    if between in ("other size", "other time") and direction != "put":
        assert b"changed on the server" in log
    left = sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("f.bin."))
    assert left == [] and not (tmp_path / "job.ftp.qup").exists()


def test_a_cut_at_a_known_byte_continues_from_exactly_that_byte(qelta, tmp_path):
    """The data connection closes after `cut` bytes and then the control
    connection without a reply; the next run asks for exactly the rest."""
    data, cut = os.urandom(200000), 123457
    dest = tmp_path / "f.bin"
    opening = ("send", b"150 Opening BINARY mode data connection.\r\n")

    def up_to_retr(*rest):
        return LOGGED_IN + [("expect", b"TYPE"), ("send", b"200 OK.\r\n"), ("expect", b"PASV"),
                            ("pasv",), ("expect", b"SIZE"), ("send", f"213 {len(data)}\r\n".encode()),
                            ("expect", b"MDTM"), ("send", b"213 20260102030405\r\n"), *rest,
                            ("expect", b"RETR"), opening]
    # One server for both runs: the part names its port.
    steps = up_to_retr() + [("data", data[:cut]), ("data-close",), ("pause", 1), ("reconnect",)] + \
        up_to_retr(("expect", b"REST"), ("send", b"350 Restarting.\r\n")) + \
        [("data", data[cut:]), ("data-close",), ("send", b"226 Done.\r\n")]
    exits = []
    with ScriptedServer(steps) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "TYPE I",
                               "PASV", f"RETR f.bin {dos(qelta, dest)}", "QUIT"],
                              {"Silent": 1, "TimeOut": 30, "Resume": 1})
        for _ in range(2):
            qelta.run(script, timeout=120)
            exits.append(status_of(script)["exitcode"])
            if not dest.exists():
                assert [p.stat().st_size for p in tmp_path.glob("f.bin.*.qpart")] == [cut]
        lines = b"".join(server.received())
    assert exits == ["Failure", "Success"]
    assert f"REST {cut}\r\nRETR f.bin\r\n".encode() in lines
    assert dest.read_bytes() == data
    assert sorted(p.name for p in tmp_path.glob("f.bin*")) == ["f.bin"]


def test_a_kill_during_a_resumed_retrieval_leaves_a_part_the_next_run_finishes(qelta, tmp_path):
    from test_script_safety import kill, start_run
    data = os.urandom(4 * 2**20)
    dest = tmp_path / "f.bin"
    log = tmp_path / "job.log"
    # Slowed down, so that each run can be killed part-way.
    with running(start_vsftpd, "vsftpd", ["anon_max_rate=400000"]) as server:
        (server.home / "pub" / "f.bin").write_bytes(data)
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}",
                               f"PASS {server.password}", "TYPE I", "PASV",
                               f"RETR pub/f.bin {dos(qelta, dest)}", "QUIT"],
                              {"Silent": 1, "TimeOut": 60, "Resume": 1, "AppendLogFile": 1})
        kept = 0
        for share in (0.25, 0.6):
            proc = start_run(qelta, script)
            deadline = time.monotonic() + 90
            while time.monotonic() < deadline:
                parts = list(tmp_path.glob("f.bin.*.qpart"))
                if parts and parts[0].stat().st_size >= share * len(data):
                    break
                time.sleep(0.05)
            kill(proc)
            sizes = [p.stat().st_size for p in tmp_path.glob("f.bin.*.qpart")]
            assert len(sizes) == 1 and kept < sizes[0] < len(data) and not dest.exists()
            kept = sizes[0]
        qelta.run(script, timeout=120)
    assert status_of(script)["exitcode"] == "Success"
    assert log.read_bytes().count(b"Resume: pub/f.bin continues at byte") == 2
    assert dest.read_bytes() == data
    assert sorted(p.name for p in tmp_path.glob("f.bin*")) == ["f.bin"]
