"""The command line of the Linux program (--help, --version, refused
options) and the exit status both programs give schedulers: 0 and 1 for
the outcome under ProcessExitCode=1, always 0 without it."""
import os
import signal
import subprocess
import time

import pytest

import program_tables as tables
from conftest import LINUX_EXE, read_ini, status_of, write_script

TEMPLATE_BOX = {"QELTA Template": "n"}


def run_linux(*args, **kw):
    if not LINUX_EXE.exists():
        pytest.skip("Linux build missing")
    return subprocess.run([str(LINUX_EXE), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=30, **kw)


def test_help_and_version_answer_and_run_nothing(tmp_path):
    script = write_script(tmp_path / "job.ftp", ["NONE"], {"Silent": 1})
    before = script.read_bytes()
    for args in (["--help"], ["--help", str(script)], [str(script), "--help"]):
        r = run_linux(*args)
        assert r.returncode == 0 and r.stderr == b""
        assert r.stdout.startswith(b"Usage: qelta ") and b"--version" in r.stdout
        assert b"ProcessExitCode" in r.stdout and b"qelta(1)" in r.stdout
    r = run_linux("--version")
    assert (r.returncode, r.stdout, r.stderr) == (0, f"QELTA v{tables.version()}\n".encode(), b"")
    # Neither looked at the script.
    assert script.read_bytes() == before
    assert not (tmp_path / "job.log").exists()


def test_an_unknown_option_is_refused_before_the_script_is_touched(tmp_path):
    script = write_script(tmp_path / "job.ftp", ["NONE"], {"Silent": 1, "ProcessExitCode": 1})
    before = script.read_bytes()
    for args in (["--verbose", str(script)], [str(script), "--dry-run"], ["--HELP"], ["--version=2"]):
        r = run_linux(*args)
        assert r.returncode == 2, args
        assert r.stdout == b""
        lines = r.stderr.decode().splitlines()
        assert len(lines) == 1 and lines[0].startswith("qelta: unknown option '--"), lines
    assert script.read_bytes() == before
    assert not (tmp_path / "job.log").exists()


def test_double_dash_ends_the_options(tmp_path):
    script = write_script(tmp_path / "--job.ftp", ["NONE"], {"Silent": 1, "ProcessExitCode": 1})
    r = run_linux("--", script.name, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert status_of(script)["exitcode"] == "Success"


def outcome(qelta, script, **kw):
    if qelta.kind == "win32":
        kw.setdefault("answer_boxes", {"QELTA Error": "Return"})
    r = qelta.run(script, **kw)
    return r.returncode, status_of(script).get("exitcode")


def test_process_exit_code_tells_the_outcome(qelta, tmp_path):
    ok = write_script(tmp_path / "ok.ftp", ["NONE"], {"Silent": 1, "ProcessExitCode": 1})
    assert outcome(qelta, ok) == (0, "Success")
    # USER before CONN: refused by the prerequisite check, the run fails.
    bad = write_script(tmp_path / "bad.ftp", ["USER nobody"], {"Silent": 1, "ProcessExitCode": 1})
    assert outcome(qelta, bad) == (1, "Failure")
    assert b"CheckPreReq() FALSE" in (tmp_path / "bad.err").read_bytes()


def test_without_the_setting_the_status_is_always_0(qelta, tmp_path):
    values = (None, 0, 2, "yes") if qelta.kind == "linux" else (None,)
    for value in values:
        settings = {"Silent": 1}
        if value is not None:
            settings["ProcessExitCode"] = value
        bad = write_script(tmp_path / "bad.ftp", ["USER nobody"], settings)
        assert outcome(qelta, bad) == (0, "Failure"), value


def test_a_template_that_did_not_run_is_a_failure_to_a_scheduler(qelta, tmp_path):
    cases = ((1, 1), (0, 0)) if qelta.kind == "linux" else ((1, 1),)
    for code, expected in cases:
        script = write_script(tmp_path / "t.ftp", ["NONE"],
                              {"Template": 1, "Silent": 1, "ProcessExitCode": code})
        kw = {"answer_boxes": TEMPLATE_BOX} if qelta.kind == "win32" else {}
        r = qelta.run(script, **kw)
        assert r.returncode == expected
        assert "status" not in read_ini(script)
        assert not (tmp_path / "t.log").exists()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_a_run_ended_by_a_signal_exits_with_1(linux_qelta, tmp_path, sig):
    script = write_script(tmp_path / "wait.ftp", ["WFOR 0:30"],
                          {"Silent": 1, "ProcessExitCode": 1, "TimeOut": 60})
    proc = subprocess.Popen([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env={k: v for k, v in os.environ.items() if k != "TERM"})
    try:
        # The run is under way once its log has its start header.
        deadline = time.time() + 10
        while time.time() < deadline and b"Starting" not in _read(tmp_path / "wait.log"):
            time.sleep(0.05)
        time.sleep(1.0)
        proc.send_signal(sig)
        assert proc.wait(timeout=15) == 1
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert status_of(script)["exitcode"] == "Failure"


def _read(path):
    try:
        return path.read_bytes()
    except OSError:
        return b""
