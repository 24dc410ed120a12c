"""Whole sessions against real FTP servers: login, directories, type,
user-defined commands and quit, checked on the server's disk and in the log."""
import re

from conftest import status_of, write_script
from ftpservers import RecordingProxy, ftp_server  # noqa: F401  (fixture)


def session(server, port):
    udef = "UDEF NOOP 200" if server.kind == "vsftpd" else "UDEF SITE HELP 214"
    return [f"CONN 127.0.0.1:{port}", f"USER {server.user}", f"PASS {server.password}",
            "CHWD pub", "MDIR made", "MDIR gone", "RDIR gone", "TYPE I", udef, "TYPE A", "QUIT"]


def log_body(log):
    """The log between the Starting and the Ending header."""
    lines = log.split(b"\r\n")
    assert re.match(rb"\*\*\* QELTA v1\.3\.7 .* -Starting$", lines[0])
    assert re.match(rb"\*\*\* QELTA v1\.3\.7 .* -Ending$", lines[-2]) and lines[-1] == b""
    return b"\r\n".join(lines[1:-2]) + b"\r\n"


def test_session_against_real_server(qelta, tmp_path, ftp_server):
    proxy = RecordingProxy(ftp_server.port)
    commands = session(ftp_server, proxy.port)
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1})
    qelta.run(script, timeout=60)
    proxy.close()

    status = status_of(script)
    assert status.get("exitcode") == "Success", (tmp_path / "job.err").read_bytes()
    for n in range(1, len(commands) + 1):
        assert status[f"commandstatus{n}"] == "Success"
    assert (ftp_server.home / "pub" / "made").is_dir()
    assert not (ftp_server.home / "pub" / "gone").exists()

    # Every byte from the server, as sent, and nothing else.
    assert log_body((tmp_path / "job.log").read_bytes()) == bytes(proxy.from_server)
    replies = bytes(proxy.from_server)
    assert replies.startswith(b"220")
    assert b"\r\n221" in replies


def test_debug_records_each_line_and_never_the_password(qelta, tmp_path, ftp_server):
    commands = session(ftp_server, ftp_server.port)
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "Debug": 1})
    qelta.run(script, timeout=60)
    assert status_of(script).get("exitcode") == "Success"
    log = (tmp_path / "job.log").read_bytes()
    err = (tmp_path / "job.err").read_bytes()
    for text in (log, err):
        assert f"*** USER {ftp_server.user}\r\n".encode() in text
        assert b"*** PASS xxxxxxxx\r\n" in text
        assert b"*** CWD pub\r\n" in text
        assert b"*** MKD made\r\n" in text
        assert b"*** TYPE I\r\n" in text
        assert b"*** QUIT\r\n" in text
        assert ftp_server.password.encode() not in text
    assert ftp_server.password.encode() not in script.read_bytes().split(b"[STATUS]")[1]


def test_refused_directory_fails_with_the_servers_words(qelta, tmp_path, ftp_server):
    commands = session(ftp_server, ftp_server.port)[:4] + ["RDIR no-such-dir", "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1})
    qelta.run(script, timeout=60)
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert "commandstatus5" not in status
    err = (tmp_path / "job.err").read_bytes()
    # The server's own reply line, as the log has it.
    line = re.search(rb"\r\n(550[^\r\n]*\r\n)", (tmp_path / "job.log").read_bytes()).group(1)
    assert err.endswith(line)

    # With DirCmdCanDoNothing the same line is tolerated.
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "DirCmdCanDoNothing": 1})
    qelta.run(script, timeout=60)
    assert status_of(script)["exitcode"] == "Success"
