"""MGET against a small FTP server of our own with data connections, for
what real servers will not do on demand: a name list dripped a byte at a
time, bare line feeds, a 550 to the list or to one file, names over the
limits, a final reply that comes only a while after the data."""
import select
import socket
import threading
import time

import pytest

from conftest import status_of, write_script
from test_transfers import dos


class DataServer:
    """One control connection, active (PORT) and passive (PASV) data.

    listing: the name list's bytes; chunks: how they are sent (a list of byte
    strings, each one send with a pause after it); files: name -> bytes for
    RETR; refused: names (or "NLST") answered with 550. linger: seconds
    between a retrieval's close and its final reply (finals: name -> that
    reply, 226 otherwise), as servers that wait for the close to be acked;
    ahead counts the lines that came meanwhile, and with refuse_ahead the
    first of them is answered 425."""

    def __init__(self, listing, files=None, refused=(), pause=0.0, chunks=None, linger=0.0,
                 finals=None, refuse_ahead=False):
        self.listing, self.files, self.refused = listing, files or {}, set(refused)
        self.chunks = chunks if chunks is not None else [listing]
        self.pause = pause
        self.linger, self.finals, self.refuse_ahead = linger, finals or {}, refuse_ahead
        self.ahead = 0
        self.early = False  # the line being handled came during a linger
        self.lines = []
        self.port_address = None
        self.passive = None  # the listener of the last PASV
        self.pending = None  # a passive connection made and not yet used
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()
        self.thread.join(timeout=10)

    def commands(self):
        return [line.split(b" ")[0].rstrip(b"\r\n").decode() for line in self.lines]

    def _data(self):
        if self.pending is not None:
            conn, self.pending = self.pending, None
            return conn
        if self.passive is not None:
            self.passive.settimeout(10)
            conn, _ = self.passive.accept()
            return conn
        return socket.create_connection(self.port_address, timeout=10)

    def _send_data(self, ctl, chunks, final=b"226 Done.\r\n"):
        ctl.sendall(b"150 Here it comes.\r\n")
        conn = self._data()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for chunk in chunks:
            conn.sendall(chunk)
            if self.pause:
                time.sleep(self.pause)
        conn.close()
        if self.linger:
            time.sleep(self.linger)
            readable, _, _ = select.select([ctl], [], [], 0)
            self.ahead += bool(readable)
            self.early = bool(readable)
        ctl.sendall(final)

    def _passive(self, ctl):
        self.passive = socket.socket()
        self.passive.bind(("127.0.0.1", 0))
        self.passive.listen(1)
        p = self.passive.getsockname()[1]
        ctl.sendall(f"227 Entering Passive Mode (127,0,0,1,{p >> 8},{p & 255}).\r\n".encode())
        # The client connects at once; the connection serves the next transfer.
        # A client that sends its next line first, or leaves, is not waited for.
        readable, _, _ = select.select([self.passive, ctl], [], [], 10)
        if self.passive in readable:
            self.pending, _ = self.passive.accept()

    def _transfer(self, ctl, verb, arg):
        name = arg.rsplit("/", 1)[-1]
        if (verb == "NLST" and "NLST" in self.refused) or name in self.refused:
            # No connection was made: a passive one waits for the next.
            ctl.sendall(b"550 No such file.\r\n")
        elif verb == "NLST":
            self._send_data(ctl, self.chunks)
        else:
            self._send_data(ctl, [self.files.get(name, b"")], self.finals.get(name, b"226 Done.\r\n"))

    def _handle(self, ctl, line):
        verb, _, arg = line.decode("latin-1").rstrip("\r\n").partition(" ")
        verb = verb.upper()
        if verb == "PORT":
            n = [int(x) for x in arg.split(",")]
            self.port_address = (".".join(map(str, n[:4])), n[4] * 256 + n[5])
            self.passive = None
            ctl.sendall(b"200 PORT ok.\r\n")
        elif verb == "PASV" and self.early and self.refuse_ahead:
            self.refuse_ahead = self.early = False
            ctl.sendall(b"425 Not while a transfer ends.\r\n")
        elif verb == "PASV":
            self.early = False
            self._passive(ctl)
        elif verb in ("NLST", "RETR"):
            self._transfer(ctl, verb, arg)
        else:
            reply = {"USER": b"331 Password?\r\n", "PASS": b"230 In.\r\n",
                     "QUIT": b"221 Bye.\r\n", "EPSV": b"502 Not here.\r\n"}.get(verb, b"200 OK.\r\n")
            ctl.sendall(reply)

    def _serve(self):
        try:
            ctl, _ = self.sock.accept()
        except OSError:
            return
        with ctl:
            ctl.sendall(b"220 Scripted data server.\r\n")
            pending = b""
            while True:
                try:
                    chunk = ctl.recv(4096)
                except OSError:
                    return
                if not chunk:
                    return
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    self.lines.append(line + b"\n")
                    try:
                        self._handle(ctl, line + b"\n")
                    except OSError:
                        return


def mget(linux_qelta, tmp_path, server, pattern="*.txt", port="PORT", settings=None):
    local = tmp_path / "in"
    local.mkdir()
    commands = [f"CONN 127.0.0.1:{server.port}", "USER u", "PASS p", port,
                f"MGET {pattern} {dos(linux_qelta, local)}", "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "TimeOut": 20, **(settings or {})})
    linux_qelta.run(script, timeout=60)
    return status_of(script), local


FILES = {"a.txt": b"alpha\r\n", "B.TXT": b"\x00\x01bravo", "c.txt": b"charlie" * 100}


def test_list_dripped_a_byte_at_a_time_with_bare_line_feeds(linux_qelta, tmp_path):
    listing = b"a.txt\r\nskip.doc\nB.TXT\n.dot.txt\r\n\r\n/dir/c.txt\r\n"
    with DataServer(listing, FILES, chunks=[bytes([b]) for b in listing], pause=0.01) as server:
        status, local = mget(linux_qelta, tmp_path, server)
    assert status["exitcode"] == "Success", (tmp_path / "job.err").read_bytes()
    assert status["commandstatus5"] == "Success"
    assert {p.name: p.read_bytes() for p in local.iterdir()} == FILES
    retrs = [line for line in server.lines if line.startswith(b"RETR")]
    assert retrs == [b"RETR a.txt\r\n", b"RETR B.TXT\r\n", b"RETR c.txt\r\n"]


def test_a_refused_list_ends_the_run_with_nothing_fetched(linux_qelta, tmp_path):
    with DataServer(b"a.txt\r\n", FILES, refused={"NLST"}) as server:
        status, local = mget(linux_qelta, tmp_path, server)
    assert status["exitcode"] == "Success"
    assert status["commandstatus5"] == "Success"
    assert list(local.iterdir()) == []
    assert server.commands() == ["USER", "PASS", "PORT", "NLST", "QUIT"]


@pytest.mark.parametrize("port", ["PORT", "PASV"])
def test_a_refused_file_is_skipped_and_its_data_port_serves_the_next(linux_qelta, tmp_path, port):
    listing = b"a.txt\r\nB.TXT\r\nc.txt\r\n"
    with DataServer(listing, FILES, refused={"B.TXT"}) as server:
        status, local = mget(linux_qelta, tmp_path, server, port=port)
    assert status["exitcode"] == "Success", (tmp_path / "job.err").read_bytes()
    assert sorted(p.name for p in local.iterdir()) == ["a.txt", "c.txt"]
    assert (local / "c.txt").read_bytes() == FILES["c.txt"]
    # After the 550 no new data port: the one made for B.TXT serves c.txt.
    # The server turns EPSV down once: PASV from then on.
    sent = server.commands()
    assert sent.count("EPSV") == (port == "PASV")
    assert [c for c in sent if c != "EPSV"] == ["USER", "PASS", port, "NLST", port, "RETR", port,
                                                "RETR", "RETR", "QUIT"]


def test_a_matching_name_over_the_limit_fails_the_run_by_name(linux_qelta, tmp_path):
    long_name = "n" * 130 + ".txt"
    with DataServer(f"a.txt\r\n{long_name}\r\n".encode(), FILES) as server:
        status, local = mget(linux_qelta, tmp_path, server)
    assert status["exitcode"] == "Failure"
    assert status.get("commandstatus5") != "Success"
    error = (tmp_path / "job.err").read_bytes()
    assert b'Can not handle "nnnnnnnn' in error and b"the name is too long" in error
    assert b"RETR" not in b"".join(server.lines)


def test_a_name_over_the_limit_that_does_not_match_is_ignored(linux_qelta, tmp_path):
    listing = ("x" * 300 + ".doc\r\na.txt\r\n").encode()
    with DataServer(listing, FILES) as server:
        status, local = mget(linux_qelta, tmp_path, server)
    assert status["exitcode"] == "Success", (tmp_path / "job.err").read_bytes()
    assert [p.name for p in local.iterdir()] == ["a.txt"]


# A server that answers a retrieval only a while after its close: the next
# file's PASV goes meanwhile, and its reply, behind the final one, serves
# that file alone, whatever the final reply said or the PASV was told.
P, R = "PASV", "RETR"
AHEAD = {
    # finals, refuse_ahead: exit code, files kept, lines after NLST, lines ahead
    "served": ({}, False, "Success", ["a.txt", "B.TXT", "c.txt"], [P, R] * 3 + ["QUIT"], 2),
    "refused once": ({}, True, "Success", ["a.txt", "B.TXT", "c.txt"], [P, R, P, P, R, P, R, "QUIT"], 1),
    "a file failing after its data": ({"B.TXT": b"451 Local error.\r\n"}, False, "Failure", ["a.txt"],
                                      [P, R, P, R, P], 2),
}


@pytest.mark.parametrize("case", sorted(AHEAD))
def test_the_next_files_pasv_sent_ahead_is_answered_in_turn(qelta, tmp_path, case):
    finals, refuse, exitcode, kept, after_list, ahead = AHEAD[case]
    listing = b"a.txt\r\nB.TXT\r\nc.txt\r\n"
    with DataServer(listing, FILES, linger=0.3, finals=finals, refuse_ahead=refuse) as server:
        status, local = mget(qelta, tmp_path, server, port="PASV")
    err = (tmp_path / "job.err").read_bytes()
    assert status["exitcode"] == exitcode, err
    assert {p.name: p.read_bytes() for p in local.iterdir()} == {n: FILES[n] for n in kept}
    assert b"no command asked for" not in err
    if exitcode == "Failure":
        assert b"451 Local error." in err
    log = (tmp_path / "job.log").read_bytes()
    assert log.count(b"sent ahead refused") == refuse, log
    sent = [c for c in server.commands() if c != "EPSV"]
    assert sent[sent.index("NLST") + 1:][:len(after_list)] == after_list
    assert server.ahead == ahead
