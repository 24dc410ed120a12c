"""Whole runs of local commands: status recording, loops, waits, programs,
the watchdog, Cancel and Close, and the terminal display."""
import os
import signal
import socket
import subprocess
import threading
import time
from datetime import datetime

import pytest

from conftest import status_of, write_script


def append_cmd(qelta, path, word="x"):
    """A command line that appends one line to path, for the build at hand."""
    if qelta.kind == "linux":
        return f'/bin/sh -c "echo {word} >> {path}"'
    return f"cmd /c echo {word}>>{qelta.path(path)}"


def wait_for_lines(path, count, timeout=10):
    """EXEC does not wait for its program: give the last ones time to finish."""
    deadline = time.time() + timeout
    lines = []
    while time.time() < deadline:
        lines = path.read_text().split() if path.exists() else []
        if len(lines) >= count:
            time.sleep(0.5)
            return path.read_text().split()
        time.sleep(0.1)
    return lines


@pytest.mark.parametrize("long_form", [True, False])
def test_local_script_runs_to_its_end(qelta, tmp_path, long_form):
    marker = tmp_path / "marker"
    script = write_script(tmp_path / "s.ftp",
                          [f"EXEC {append_cmd(qelta, tmp_path / 'ran')}", "wfor 0:00", "GOTO 4",
                           "NONE", "EXEC never-reached"],
                          {"Silent": 1, "OnSuccessExec": append_cmd(qelta, marker, "ok")},
                          long_form=long_form)
    qelta.run(script)
    status = status_of(script)
    if long_form:
        assert [status.get(f"commandstatus{n}") for n in (1, 2, 3)] == ["Success"] * 3
        assert "commandstatus4" not in status
    else:
        assert [status.get(f"cs{n}") for n in (1, 2, 3)] == ["S"] * 3
    assert status["exitcode"] == "Success"
    assert wait_for_lines(marker, 1) == ["ok"]


def test_status_pre_reset_stops_at_a_gap(qelta, tmp_path):
    old = {f"CommandStatus{n}": "Success" for n in (1, 2, 3, 4, 5)}
    script = write_script(tmp_path / "s.ftp", ["WFOR 0:00", "WFOR 0:00", "EXEC /no/such/program"],
                          {"Silent": 1}, status=old)
    qelta.run(script)
    status = status_of(script)
    assert [status[f"commandstatus{n}"] for n in (1, 2, 3, 4, 5)] == \
        ["Success", "Success", "Fail", "Fail", "Fail"]
    assert status["exitcode"] == "Failure"

    gap = {"CS1": "S", "CS2": "S", "CS4": "S"}
    script = write_script(tmp_path / "g.ftp", ["EXEC /no/such/program"], {"Silent": 1},
                          long_form=False, status=gap)
    qelta.run(script)
    status = status_of(script)
    assert (status["cs1"], status["cs2"], status["cs4"]) == ("F", "F", "S")
    assert "cs3" not in status


def test_counted_goto_loops_then_falls_through(qelta, tmp_path):
    count = tmp_path / "count"
    # Each fall-through writes its own file: two programs appending to one
    # file at once may collide on Windows.
    after1, after2 = tmp_path / "after1", tmp_path / "after2"
    commands = ["WFOR 0:00", "WFOR 0:00", f"EXEC {append_cmd(qelta, count)}", "WFOR 0:00",
                "WFOR 0:00", "GOTO 3:2", f"EXEC {append_cmd(qelta, after1)}",
                "GOTO 9:0", f"EXEC {append_cmd(qelta, after2)}"]
    script = write_script(tmp_path / "s.ftp", commands, {"Silent": 1})
    qelta.run(script)
    assert status_of(script)["exitcode"] == "Success"
    assert len(wait_for_lines(count, 3)) == 3
    assert wait_for_lines(after1, 1) == ["x"]
    assert wait_for_lines(after2, 1) == ["x"]


def test_plain_goto_loops_until_cancelled(linux_qelta, tmp_path):
    count = tmp_path / "count"
    script = write_script(tmp_path / "s.ftp",
                          [f"EXEC {append_cmd(linux_qelta, count)}", "WFOR 0:00", "GOTO 1"],
                          {"Silent": 1, "OnFailExec": append_cmd(linux_qelta, tmp_path / 'failed')})
    proc = subprocess.Popen([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(4)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=10) == 0
    assert len(wait_for_lines(count, 3)) >= 3
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert wait_for_lines(tmp_path / "failed", 1) == ["x"]


def test_wfor_lasts_its_time_and_keeps_the_watchdog_quiet(qelta, tmp_path):
    script = write_script(tmp_path / "s.ftp", ["WFOR 0:02"], {"Silent": 1})
    start = time.time()
    qelta.run(script)
    elapsed = time.time() - start
    assert status_of(script)["commandstatus1"] == "Success"
    assert 2.0 <= elapsed < 8, elapsed

    script = write_script(tmp_path / "w.ftp", ["WFOR 0:12"], {"Silent": 1, "TimeOut": 7})
    qelta.run(script)
    assert status_of(script)["exitcode"] == "Success"


def test_wtil_for_the_current_minute_ends_at_the_first_check(linux_qelta, tmp_path):
    now = datetime.now()
    if now.second > 45:
        time.sleep(61 - now.second)
        now = datetime.now()
    script = write_script(tmp_path / "s.ftp", [f"WTIL {now.hour}:{now.minute:02d}"],
                          {"Silent": 1, "TimeOut": 30})
    start = time.time()
    linux_qelta.run(script, timeout=40)
    elapsed = time.time() - start
    assert status_of(script)["exitcode"] == "Success"
    assert 10 <= elapsed < 16, elapsed


def test_exec_of_a_missing_program_fails_the_run(qelta, tmp_path):
    failed = tmp_path / "failed"
    script = write_script(tmp_path / "s.ftp",
                          ["EXEC /no/such/program --flag", "NONE"],
                          {"Silent": 1, "OnFailExec": append_cmd(qelta, failed, "fail")})
    qelta.run(script)
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert "commandstatus1" not in status
    assert b"WinExec() return an error in ExecEXEC()" in (tmp_path / "s.err").read_bytes()
    assert wait_for_lines(failed, 1) == ["fail"]


def test_unknown_keyword_ends_the_run_as_none_does(qelta, tmp_path):
    marker = tmp_path / "ran.txt"
    script = write_script(tmp_path / "s.ftp", ["FOOB x", f"EXEC {qelta.path(marker)}"],
                          {"Silent": 1})
    qelta.run(script)
    assert status_of(script)["exitcode"] == "Success"
    assert "commandstatus2" not in status_of(script)
    assert not marker.exists()


def test_watchdog_ends_a_silent_server(qelta, tmp_path):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(5)
    port = listener.getsockname()[1]
    accepted = []

    def accept_and_hold():
        try:
            conn, _ = listener.accept()
            accepted.append(conn)
        except OSError:
            pass

    threading.Thread(target=accept_and_hold, daemon=True).start()
    script = write_script(tmp_path / "s.ftp", [f"CONN 127.0.0.1:{port}"],
                          {"Silent": 1, "TimeOut": 7})
    start = time.time()
    qelta.run(script, timeout=40)
    elapsed = time.time() - start
    listener.close()
    assert accepted, "QELTA never connected"
    assert b"QELTA Internal Timeout" in (tmp_path / "s.err").read_bytes()
    assert status_of(script)["exitcode"] == "Failure"
    # A second or two for Wine to start.
    assert 5 <= elapsed < (13 if qelta.kind == "linux" else 16), elapsed


def test_ctrl_c_cancels_the_current_line(linux_qelta, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    failed = tmp_path / "failed"
    script = write_script(tmp_path / "s.ftp", ["WFOR 0:00", "WFOR 0:00", "WFOR 0:30"],
                          {"Silent": 1, "OnFailExec": append_cmd(linux_qelta, failed, "fail")})
    child = pexpect.spawn(str(linux_qelta.exe), [str(script)],
                          env=dict(os.environ, TERM="xterm"), timeout=20)
    child.expect("Wait")
    time.sleep(2)
    child.sendintr()
    child.expect(pexpect.EOF)
    status = status_of(script)
    assert status["commandstatus3"] == "Fail"
    assert status["exitcode"] == "Failure"
    assert b"User Cancelled" in (tmp_path / "s.err").read_bytes()
    assert wait_for_lines(failed, 1) == ["fail"]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP])
def test_close_signal_fails_the_run_without_a_line_status(linux_qelta, tmp_path, sig):
    failed = tmp_path / "failed"
    script = write_script(tmp_path / "s.ftp", ["WFOR 0:00", "WFOR 0:30"],
                          {"Silent": 1, "OnFailExec": append_cmd(linux_qelta, failed, "fail")})
    proc = subprocess.Popen([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2.5)
    proc.send_signal(sig)
    assert proc.wait(timeout=10) == 0
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert status["commandstatus1"] == "Success"
    assert "commandstatus2" not in status
    assert wait_for_lines(failed, 1) == ["fail"]


def test_terminal_display_and_silence_without_one(linux_qelta, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    script = write_script(tmp_path / "s.ftp", ["WFOR 0:01"], {"Silent": 1})
    child = pexpect.spawn(str(linux_qelta.exe), [str(script)],
                          env=dict(os.environ, TERM="xterm"), timeout=20)
    # The caption goes to the terminal's title, then the command is drawn.
    child.expect(r"\x1b\]0;QELTA32 v1\.3\.7")
    child.expect("Wait")
    child.expect(pexpect.EOF)
    result = linux_qelta.run(script)
    assert result.stdout == b"" and result.stderr == b""
    assert status_of(script)["exitcode"] == "Success"
