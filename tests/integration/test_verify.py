"""Verify=1 and UploadTempName=1 on both builds, against pyftpdlib servers
that offer XSHA256 or HASH (and can be made to lie about a file's hash or
size, or to cut an upload), and against vsftpd, which offers no hash."""
import hashlib
import os
import threading
import time

import pytest

from ftpservers import PASSWORD, USER, running, start_pyftpdlib, start_vsftpd
from test_networks import run_job, succeeded
from test_transfers import dos, put_on_server

DATA = os.urandom(700 * 1024 + 13)
OLD = b"what the destination held before\n"

# MODE: the hash FEAT offers ("xsha256", "hash", "none"); LIE: "hash" or
# "size" answered wrong; CUT: uploads to a temporary name cut after 64 KiB.
HASHING_SERVER = r"""
import hashlib, os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, proto_cmds
from pyftpdlib.servers import FTPServer
MODE, LIE, CUT = "@MODE@", "@LIE@", @CUT@
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
for verb in ("XSHA256", "HASH"):
    proto_cmds[verb] = dict(perm="r", auth=True, arg=True, help="Syntax: %s <SP> file" % verb)

class Cutting(DTPHandler):
    def handle_read(self):
        DTPHandler.handle_read(self)
        name = getattr(self.file_obj, "name", "")
        if CUT and name.endswith(".qpart") and self.tot_bytes_received > 65536 and not self._closed:
            self._resp = ("426 Cut on purpose.", lambda *a: None)
            self.transfer_finished = False
            self.close()
    handle_read_event = handle_read

class Hashing(FTPHandler):
    dtp_handler = Cutting
    def ftp_FEAT(self, line):
        feats = [" EPSV", " PASV", " SIZE"]
        feats += {"xsha256": [" XSHA256"], "hash": [" HASH SHA-1*;SHA-256;MD5"]}.get(MODE, [])
        self.push("211-Features:\r\n" + "".join(f + "\r\n" for f in feats) + "211 End\r\n")
    def ftp_OPTS(self, line):
        if line.upper() == "HASH SHA-256":
            return self.respond("200 SHA-256")
        return FTPHandler.ftp_OPTS(self, line)
    def digest(self, path):
        value = hashlib.sha256(open(path, "rb").read()).hexdigest()
        return "0" * 64 if LIE == "hash" else value.upper()
    def ftp_XSHA256(self, path):
        self.respond("213 " + self.digest(path))
    def ftp_HASH(self, path):
        size = os.path.getsize(path)
        self.respond("213 SHA-256 0-%d %s %s" % (size, self.digest(path), os.path.basename(path)))
    def ftp_SIZE(self, path):
        if LIE == "size":
            return self.respond("213 %d" % (os.path.getsize(path) + 1))
        return FTPHandler.ftp_SIZE(self, path)

auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elradfmwMT")
Hashing.authorizer = auth
Hashing.masquerade_address = "127.0.0.1"
FTPServer(("127.0.0.1", port), Hashing).serve_forever()
"""


def hashing_server(mode, lie="", cut=False):
    main = (HASHING_SERVER.replace("@MODE@", mode).replace("@LIE@", lie)
            .replace("@CUT@", "True" if cut else "False"))
    return running(lambda base: start_pyftpdlib(base, main=main), f"pyftpdlib-{mode}")


def vsftpd_server(mode, lie="", cut=False):
    return running(start_vsftpd, "vsftpd")


def login(server):
    return [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}", f"PASS {server.password}",
            "CHWD pub", "TYPE I"]


SHA = hashlib.sha256(DATA).hexdigest()


# direction, the server and what its FEAT offers, what it answers wrong,
# and what the log or the failure must say.
CASES = [
    ("retr", hashing_server, "xsha256", "", f"SHA-256 {SHA} (XSHA256)"),
    ("retr", hashing_server, "xsha256", "hash", f"the server's is {'0' * 64}, the local one {SHA}"),
    ("retr", hashing_server, "hash", "", f"SHA-256 {SHA} (HASH)"),
    ("retr", hashing_server, "hash", "hash", f"the server's is {'0' * 64}, the local one {SHA}"),
    ("stor", hashing_server, "hash", "", f"SHA-256 {SHA} (HASH)"),
    ("stor", hashing_server, "none", "size",
     f"Size mismatch (SIZE): the server has {len(DATA) + 1} bytes, {len(DATA)} were sent"),
    ("retr", vsftpd_server, "none", "", f"size {len(DATA)} (SIZE), the server offers no hash"),
    # The file held something before: its size must hold it and what was sent.
    ("appe", hashing_server, "xsha256", "",
     f"size {len(OLD) + len(DATA)} (SIZE), no hash compared (APPE adds to what the file held)"),
    # Each file of a generated run.
    ("mget", hashing_server, "xsha256", "", f"SHA-256 {SHA} (XSHA256)"),
    ("mget", hashing_server, "xsha256", "hash", f"the server's is {'0' * 64}, the local one {SHA}"),
]


@pytest.mark.parametrize("direction,server,mode,lie,said", CASES,
                         ids=[f"{c[0]}-{c[1].__name__[:7]}-{c[2]}-{c[3] or 'right'}" for c in CASES])
def test_verify(qelta, tmp_path, direction, server, mode, lie, said):
    local = tmp_path / "d.bin"
    with server(mode, lie) as s:
        commands = login(s) + ["PASV"]
        if direction in ("stor", "appe"):
            local.write_bytes(DATA)
            if direction == "appe":
                put_on_server(s, "d.bin", OLD, 0o666)
            commands.append(f"{direction.upper()} d.bin {dos(qelta, local)}")
        else:
            put_on_server(s, "d.bin", DATA)
            local.write_bytes(OLD)
            commands.append(f"RETR d.bin {dos(qelta, local)}")
        if direction == "mget":
            commands[3:] = ["TYPE I", "PORT", f"MGET pub/*.bin {dos(qelta, tmp_path)}"]
        commands.append("QUIT")
        status, log, err = run_job(qelta, tmp_path, commands, {"Verify": 1})
    if lie:
        assert status.get("exitcode") == "Failure", log[-800:]
        assert status.get(f"commandstatus{len(commands) - 1}") != "Success"
        assert said.encode() in err and b"d.bin" in err, err[-800:]
        if direction not in ("stor", "appe"):
            assert local.read_bytes() == OLD
            assert not list(tmp_path.glob("d.bin.*.qpart"))
        return
    assert succeeded(status, len(commands)), (status, err[-800:])
    assert (b"Verified pub/d.bin: " if direction == "mget" else b"Verified d.bin: ") in log
    assert said.encode() in log, log[-800:]
    if mode == "hash":
        assert b"*** OPTS HASH SHA-256" in log
    if direction not in ("stor", "appe"):
        assert local.read_bytes() == DATA


def test_verify_in_type_a_says_nothing_was_compared(qelta, tmp_path):
    with hashing_server("xsha256", "hash") as s:
        put_on_server(s, "d.bin", DATA)
        commands = login(s)[:-1] + ["TYPE A", "PASV", f"RETR d.bin {dos(qelta, tmp_path / 'd.bin')}",
                                    "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands, {"Verify": 1})
    assert succeeded(status, len(commands)), (status, err[-800:])
    assert b"Not verified d.bin: in TYPE A" in log
    assert b"XSHA256 d.bin" not in log


# ---- UploadTempName ------------------------------------------------------------------

class Watcher(threading.Thread):
    """Polls the final name on the server's side and keeps every size it
    was seen with."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.sizes, self.done = path, set(), False

    def run(self):
        while not self.done:
            try:
                self.sizes.add(self.path.stat().st_size)
            except FileNotFoundError:
                pass
            time.sleep(0.0005)


@pytest.mark.parametrize("command", ["STOR", "MPUT"])
def test_upload_under_temporary_name_appears_only_whole(qelta, tmp_path, command):
    big = os.urandom(6 * 2**20 + 5)
    folder = tmp_path / "up"
    folder.mkdir()
    (folder / "u.bin").write_bytes(big)
    with hashing_server("xsha256") as s:
        final = s.home / "pub" / "u.bin"
        final.write_bytes(OLD)  # an old version, replaced whole
        final.chmod(0o666)
        watcher = Watcher(final)
        watcher.start()
        line = (f"STOR u.bin {dos(qelta, folder / 'u.bin')}" if command == "STOR"
                else f"MPUT {dos(qelta, folder / '*.bin')}")
        commands = login(s) + ([line] if command == "MPUT" else ["PASV", line]) + ["QUIT"]
        try:
            status, log, err = run_job(qelta, tmp_path, commands,
                                       {"Verify": 1, "UploadTempName": 1, "PASVMode": 1, "BlockSize": 4096})
        finally:
            watcher.done = True
            watcher.join()
        assert succeeded(status, len(commands)), (status, err[-800:])
        assert final.read_bytes() == big
        assert not (s.home / "pub" / "u.bin.qpart").exists()
    assert watcher.sizes <= {len(OLD), len(big)}, sorted(watcher.sizes)[:5]
    assert b"*** STOR u.bin.qpart" in log and b"*** RNTO u.bin" in log
    assert b"Verified u.bin.qpart: " in log


@pytest.mark.parametrize("failure", ["cut", "hash"])
def test_failed_upload_leaves_no_temporary_file(qelta, tmp_path, failure):
    local = tmp_path / "u.bin"
    local.write_bytes(DATA)
    with hashing_server("xsha256", "hash" if failure == "hash" else "", cut=failure == "cut") as s:
        commands = login(s) + ["PASV", f"STOR u.bin {dos(qelta, local)}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands, {"Verify": 1, "UploadTempName": 1})
        left = sorted(p.name for p in (s.home / "pub").iterdir())
    assert status.get("exitcode") == "Failure"
    assert left == [], left
    assert b"*** DELE u.bin.qpart" in log
    assert (b"426 Cut on purpose" if failure == "cut" else b"SHA-256 mismatch (XSHA256)") in err, err[-600:]
