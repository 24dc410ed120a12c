"""DIAL from the outside. The Linux program talks to NetworkManager through
nmcli; NetworkManager cannot run on test machines, so the stand-in nmcli of
standin/ is put first on PATH: it keeps its connections in a JSON file and
records every call. The Windows program meets Wine's own RASAPI32, whatever
that does. The 3-second pauses are real and timed here."""
import json
import os
import re
import subprocess
import time
from datetime import datetime
from pathlib import Path

from conftest import status_of, write_script

STANDIN = Path(__file__).resolve().parent / "standin"
STAMP = re.compile(rb"\*\*\* QELTA v\S+ \w{3} (\w{3} \d\d \d\d:\d\d:\d\d \d{4}) -(Starting|Ending)")


def connection(name, active=False, answer="up", down="ok"):
    return {"name": name, "uuid": "uuid-" + name.lower(), "active": active, "answer": answer,
            "down": down}


def standin(tmp_path, connections, running=True):
    """The stand-in's state and the environment that puts it first on PATH."""
    (tmp_path / "state.json").write_text(json.dumps({"running": running,
                                                     "connections": connections}))
    private = tmp_path / "run"
    private.mkdir(mode=0o700)
    return {"PATH": f"{STANDIN}:{os.environ['PATH']}",
            "NMCLI_STANDIN_STATE": str(tmp_path / "state.json"),
            "NMCLI_STANDIN_LOG": str(tmp_path / "calls.log"),
            "XDG_RUNTIME_DIR": str(private)}


def calls(tmp_path, verb=None):
    path = tmp_path / "calls.log"
    records = [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []
    return [r for r in records if verb is None or verb in r["argv"]]


def active(tmp_path):
    state = json.loads((tmp_path / "state.json").read_text())
    return {c["name"] for c in state["connections"] if c["active"]}


def run_detached(linux_qelta, script, env):
    """Runs the Linux program without a controlling terminal, so that its
    message boxes go to standard error instead of waiting on a terminal."""
    full_env = dict(os.environ, **env)
    full_env.pop("TERM", None)
    start = time.monotonic()
    result = subprocess.run([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=60, env=full_env,
                            start_new_session=True)
    return result, time.monotonic() - start


def logged_seconds(log_path):
    """Seconds between the log's Starting and Ending headers."""
    stamps = dict((word, datetime.strptime(when.decode(), "%b %d %H:%M:%S %Y"))
                  for when, word in STAMP.findall(log_path.read_bytes()))
    return (stamps[b"Ending"] - stamps[b"Starting"]).total_seconds()


# ---- Linux, through the stand-in nmcli ---------------------------------------------

def test_dial_with_credentials_and_hang_up_only_what_was_dialled(linux_qelta, tmp_path):
    env = standin(tmp_path, [connection("Office", active=True), connection("MyISP2"),
                             connection("MyISP3", active=True)])
    script = write_script(tmp_path / "s.ftp",
                          ["DIAL Office", "DIAL MyISP2, alice, s3cret", "DIAL ISP -hangup",
                           "DIAL Office -hangup"],
                          {"Silent": 1, "Debug": 1, "DebugEx": 1})
    _, elapsed = run_detached(linux_qelta, script, env)
    status = status_of(script)
    assert [status[f"commandstatus{n}"] for n in (1, 2, 3, 4)] == ["Success"] * 4
    assert status["exitcode"] == "Success"

    # Office was up already: never dialled, and left up by its hang-up.
    # ISP matched MyISP2 first, the one this run dialled; MyISP3 stays.
    (up,) = calls(tmp_path, "up")
    assert up["argv"][:6] == ["--wait", "90", "connection", "up", "id", "MyISP2"]
    assert up["argv"][6] == "passwd-file"
    secrets = up["passwd_file"]
    assert secrets["mode"] == 0o600 and secrets["uid"] == os.getuid()
    assert "pppoe.username:alice\n" in secrets["text"]
    assert "pppoe.password:s3cret\n" in secrets["text"]
    assert not Path(secrets["path"]).exists()
    assert list((tmp_path / "run").glob("qelta-dial-*")) == []
    (down,) = calls(tmp_path, "down")
    assert down["argv"] == ["--wait", "30", "connection", "down", "uuid", "uuid-myisp2"]
    assert active(tmp_path) == {"Office", "MyISP3"}
    assert all("s3cret" not in " ".join(c["argv"]) for c in calls(tmp_path))

    # The pause after the dial, then one after each hang-up that listed
    # something.
    assert down["time"] - up["time"] >= 3.0
    assert elapsed >= 9.0
    log, err = (tmp_path / "s.log").read_bytes(), (tmp_path / "s.err").read_bytes()
    assert b"s3cret" not in log and b"s3cret" not in err
    assert b"DIAL NO -hangup detected\r\nAreWeConnected() TRUE\r\n" in log
    assert (b"Connection=ISP\r\nlprasconn[0]=Office\r\nlprasconn[1]=MyISP2\r\n"
            b"RasHangUp() Success\r\nlprasconn[2]=MyISP3\r\n") in log


def test_line_that_never_answers_gets_three_attempts_with_pauses(linux_qelta, tmp_path):
    env = standin(tmp_path, [connection("MyISP", answer="fail")])
    script = write_script(tmp_path / "s.ftp", ["DIAL MyISP, alice, s3cret", "NONE"],
                          {"Silent": 1, "DialRetry": 3})
    run_detached(linux_qelta, script, env)
    ups = calls(tmp_path, "up")
    assert len(ups) == 3
    gaps = [b["time"] - a["time"] for a, b in zip(ups, ups[1:])]
    assert all(3.0 <= gap < 5.0 for gap in gaps), gaps
    assert b"Unable to Connect in ExecDIAL()\r\n" in (tmp_path / "s.err").read_bytes()
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert "commandstatus1" not in status
    assert list((tmp_path / "run").glob("qelta-dial-*")) == []


def test_dial_retry_zero_makes_one_attempt_without_credentials(linux_qelta, tmp_path):
    env = standin(tmp_path, [connection("MyISP", answer="timeout")])
    script = write_script(tmp_path / "s.ftp", ["DIAL MyISP"], {"Silent": 1, "DialRetry": 0})
    _, elapsed = run_detached(linux_qelta, script, env)
    (up,) = calls(tmp_path, "up")
    assert up["argv"] == ["--wait", "90", "connection", "up", "id", "MyISP"]
    # A timed-out activation is called off.
    assert [c["argv"][-2:] for c in calls(tmp_path, "down")] == [["id", "MyISP"]]
    assert b"Unable to Connect in ExecDIAL()\r\n" in (tmp_path / "s.err").read_bytes()
    assert elapsed < 3.0


def test_listing_failure_is_shown_and_the_dial_goes_ahead(linux_qelta, tmp_path):
    env = standin(tmp_path, [connection("MyISP")], running=False)
    script = write_script(tmp_path / "s.ftp", ["DIAL MyISP"], {"Silent": 1, "DialRetry": 1})
    result, _ = run_detached(linux_qelta, script, env)
    assert b"QELTA Error: Error: NetworkManager is not running." in result.stderr
    assert len(calls(tmp_path, "up")) == 1
    assert b"Unable to Connect in ExecDIAL()\r\n" in (tmp_path / "s.err").read_bytes()


def test_failed_hang_up_ends_the_run_at_once_naming_the_entry(linux_qelta, tmp_path):
    env = standin(tmp_path, [connection("Stuck", active=True, down="fail")])
    script = write_script(tmp_path / "s.ftp", ["DIAL Stuck -hangup", "NONE"],
                          {"Silent": 1, "TimeOut": 60})
    _, elapsed = run_detached(linux_qelta, script, env)
    assert b"Unable to Hang Up Stuck (error 5) in ExecDIAL()\r\n" in \
        (tmp_path / "s.err").read_bytes()
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert "commandstatus1" not in status
    assert elapsed < 10.0  # the pause, not the watchdog's minute
    assert active(tmp_path) == {"Stuck"}


def test_machine_without_nmcli(linux_qelta, tmp_path):
    empty = tmp_path / "bin"
    empty.mkdir()
    ran = tmp_path / "ran"
    script = write_script(tmp_path / "s.ftp", ["DIAL MyISP", f"EXEC /bin/touch {ran}"],
                          {"Silent": 1})
    result, _ = run_detached(linux_qelta, script, {"PATH": str(empty)})
    assert result.stderr.count(b"QELTA Error: Error Loading RASAPI32.DLL\n") == 1
    assert b"Error Loading RASAPI32 Functions" in (tmp_path / "s.err").read_bytes()
    assert status_of(script)["exitcode"] == "Failure"
    assert not ran.exists()


# ---- Windows, under Wine's RASAPI32 -------------------------------------------------

ERROR_BOX = {"QELTA Error": "Return"}


def test_wine_dial_retries_then_fails(win_qelta, tmp_path):
    script = write_script(tmp_path / "s.ftp", ["DIAL MyISP, alice, s3cret"],
                          {"Silent": 1, "Debug": 1, "DebugEx": 1, "DialRetry": 3})
    win_qelta.run(script, answer_boxes=ERROR_BOX)
    log, err = (tmp_path / "s.log").read_bytes(), (tmp_path / "s.err").read_bytes()
    assert status_of(script)["exitcode"] == "Failure"
    assert b"s3cret" not in log and b"s3cret" not in err
    if b"Error Loading RASAPI32 Functions" in err:  # a Wine without an entry point
        return
    assert log.count(b"DIAL NO -hangup detected\r\n") == 3
    assert b"Unable to Connect in ExecDIAL()\r\n" in err
    assert logged_seconds(tmp_path / "s.log") >= 6


def test_wine_hang_up_with_nothing_connected(win_qelta, tmp_path):
    script = write_script(tmp_path / "s.ftp", ["DIAL MyISP -hangup", "DIAL -hangup"],
                          {"Silent": 1})
    win_qelta.run(script, answer_boxes=ERROR_BOX)
    status = status_of(script)
    assert status["commandstatus1"] == "Success"
    assert "commandstatus2" not in status
    assert b"DIAL needs the entry name and a blank before -hangup in ExecDIAL()\r\n" in \
        (tmp_path / "s.err").read_bytes()
    assert logged_seconds(tmp_path / "s.log") <= 2
