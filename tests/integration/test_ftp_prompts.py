"""The prompts of the control connection on a terminal (Linux build): the
debug confirmation and the password dialog."""
import os
import subprocess

import pytest

from conftest import status_of, write_script
from scripted_server import ScriptedServer

pexpect = pytest.importorskip("pexpect")

GREET_USER = [("send", b"220 Hi\r\n"), ("expect", b"USER"), ("send", b"331 Password?\r\n")]


def spawn(linux_qelta, script):
    return pexpect.spawn(str(linux_qelta.exe), [str(script)], env=dict(os.environ, TERM="dumb"),
                         timeout=20)


def test_debug_confirmation_answered_no_sends_nothing(linux_qelta, tmp_path):
    with ScriptedServer([("send", b"220 Hi\r\n")]) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob"],
                              {"Silent": 1, "DebugMessages": 1})
        child = spawn(linux_qelta, script)
        child.expect("About to send USER bob")
        child.expect(r"Continue\?")
        child.expect(r"\[y/n\]")
        child.sendline("n")
        child.expect(pexpect.EOF)
        lines = server.received()
    assert lines == []
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert status["commandstatus1"] == "Success" and "commandstatus2" not in status
    assert (tmp_path / "job.err").read_bytes().endswith(b"User Selected No to Debug Message\r\n")


def test_password_typed_on_the_terminal_is_sent_but_never_logged(linux_qelta, tmp_path):
    password = "typed-" + "p" * 40  # longer than the dialog takes
    steps = GREET_USER + [("expect", b"PASS"), ("send", b"230 In.\r\n")]
    with ScriptedServer(steps) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS"],
                              {"Silent": 1, "Debug": 1})
        child = spawn(linux_qelta, script)
        child.expect("Password for 127.0.0.1")
        child.sendline(password)
        child.expect(pexpect.EOF)
        lines = server.received()
    assert lines[-1] == f"PASS {password[:31]}\r\n".encode()
    assert status_of(script)["exitcode"] == "Success"
    for name in ("job.log", "job.err"):
        text = (tmp_path / name).read_bytes()
        assert b"*** PASS xxxxxxxx\r\n" in text
        assert password[:10].encode() not in text


def test_password_dialog_without_a_terminal_cancels(linux_qelta, tmp_path):
    with ScriptedServer(GREET_USER) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS", "QUIT"],
                              {"Silent": 1})
        # A session of its own: no controlling terminal, whoever runs the tests.
        subprocess.run([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=30, start_new_session=True)
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert status["commandstatus3"] == "Fail"
    assert b"User Cancelled" in (tmp_path / "job.err").read_bytes()
