"""The control connection against a scripted server: replies cut and shaped
as real servers will not do on demand, and the failures that follow."""
import re
import time

import pytest

from conftest import status_of, write_script
from scripted_server import ScriptedServer

LOGIN = [("expect", b"USER"), ("send", b"331 Password required.\r\n")]


def run(qelta, tmp_path, commands, settings=None, timeout=60):
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, **(settings or {})})
    started = time.time()
    qelta.run(script, timeout=timeout)
    return script, time.time() - started


def err_of(tmp_path):
    return (tmp_path / "job.err").read_bytes()


def log_of(tmp_path):
    return (tmp_path / "job.log").read_bytes()


def test_three_line_greeting_completes_on_its_last_line(qelta, tmp_path):
    greeting = b"220-Welcome\r\n220-Second line\r\n220 Ready\r\n"
    with ScriptedServer([("send", greeting)]) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "QUIT"])
    status = status_of(script)
    assert status["exitcode"] == "Success"
    assert status["commandstatus1"] == status["commandstatus2"] == "Success"
    assert greeting + b"221 Bye.\r\n" in log_of(tmp_path)


@pytest.mark.parametrize("between", [["QUIT"], []], ids=["after_quit", "in_place"])
def test_second_connection_of_a_run(qelta, tmp_path, between):
    # The first socket is closed while the server's last events may still
    # be queued for it, and the second socket often gets its number.
    if between:
        first_steps = [("send", b"220 One\r\n"), ("expect", b"QUIT"), ("send", b"221 Bye.\r\n"),
                       ("close",)]
    else:
        first_steps = [("send", b"220 One\r\n"), ("hang",)]
    second_steps = [("send", b"220 Two\r\n"), ("expect", b"USER"), ("send", b"331 Password?\r\n")]
    with ScriptedServer(first_steps) as first, ScriptedServer(second_steps) as second:
        commands = [f"CONN 127.0.0.1:{first.port}", *between, f"CONN 127.0.0.1:{second.port}",
                    "USER me", "QUIT"]
        script, _ = run(qelta, tmp_path, commands, {"TimeOut": 10})
        lines = second.received()
    status = status_of(script)
    assert status["exitcode"] == "Success", err_of(tmp_path)
    assert [status[f"commandstatus{n}"] for n in range(1, len(commands) + 1)] == \
        ["Success"] * len(commands)
    assert lines == [b"USER me\r\n", b"QUIT\r\n"]


def split_points(qelta):
    reply = b"220-Hi\r\n220 Ready\r\n"
    if qelta.kind == "linux":
        return reply, range(1, len(reply))
    return reply, (7, 8, 9, 10, 11, 12)  # around the final code only: Wine is slow


def test_reply_code_split_across_two_reads(qelta, tmp_path):
    reply, points = split_points(qelta)
    for cut in points:
        steps = [("send", reply[:cut]), ("pause", 0.3), ("send", reply[cut:])]
        with ScriptedServer(steps) as server:
            script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}"], {"TimeOut": 5})
        assert status_of(script)["exitcode"] == "Success", (cut, err_of(tmp_path))
        # The run may end as soon as the code is complete, before the rest.
        assert b"-Starting\r\n" + reply[:max(cut, 12)] in log_of(tmp_path)


def test_refusing_greeting_fails_with_the_servers_line(qelta, tmp_path):
    with ScriptedServer([("send", b"421 Too many users, try later.\r\n")]) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "USER x"])
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert "commandstatus1" not in status
    assert err_of(tmp_path).endswith(b"421 Too many users, try later.\r\n")


def test_silent_server_ends_in_the_watchdog(qelta, tmp_path):
    with ScriptedServer([("hang",)]) as server:
        script, took = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}"], {"TimeOut": 7})
    assert status_of(script)["exitcode"] == "Failure"
    assert b"QELTA Internal Timeout" in err_of(tmp_path)
    assert 5 <= took <= 16  # Wine under load: one tick of slack


def test_close_before_greeting(qelta, tmp_path):
    with ScriptedServer([("close",)]) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}"], {"TimeOut": 10})
    assert status_of(script)["exitcode"] == "Failure"
    assert b"Error receiving data in FillControlBuffer()" in err_of(tmp_path)


def test_pass_is_retried_after_two_530_replies(qelta, tmp_path):
    no = b"530 Login incorrect.\r\n"
    steps = [("send", b"220 Hi\r\n")] + LOGIN + [
        ("expect", b"PASS"), ("send", no), ("expect", b"PASS"), ("send", no),
        ("expect", b"PASS"), ("send", b"230 Welcome.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "USER bob",
                                          "PASS pw", "QUIT"])
        lines = server.received()
    status = status_of(script)
    assert status["exitcode"] == "Success", err_of(tmp_path)
    assert [status[f"commandstatus{n}"] for n in (1, 2, 3, 4)] == ["Success"] * 4
    assert lines == [b"USER bob\r\n"] + [b"PASS pw\r\n"] * 3 + [b"QUIT\r\n"]


def test_third_530_fails(qelta, tmp_path):
    no = b"530 Login incorrect.\r\n"
    steps = [("send", b"220 Hi\r\n")] + LOGIN + [("expect", b"PASS"), ("send", no)] * 3
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "USER bob",
                                          "PASS pw", "QUIT"])
        lines = server.received()
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert "commandstatus3" not in status
    assert err_of(tmp_path).endswith(no)
    assert b"QUIT\r\n" not in lines


def test_type_before_pass_and_user_before_conn_fail_prerequisites(qelta, tmp_path):
    script, _ = run(qelta, tmp_path, ["USER bob"])
    assert status_of(script)["exitcode"] == "Failure"
    assert b"CheckPreReq() FALSE" in err_of(tmp_path)

    steps = [("send", b"220 Hi\r\n")] + LOGIN
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "USER bob", "TYPE I"])
        lines = server.received()
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert status["commandstatus2"] == "Success" and "commandstatus3" not in status
    assert b"CheckPreReq() FALSE" in err_of(tmp_path)
    assert not any(line.startswith(b"TYPE") for line in lines)


def test_udef_completes_on_its_own_code(qelta, tmp_path):
    steps = [("send", b"220 Hi\r\n")] + LOGIN + [
        ("expect", b"PASS"), ("send", b"230 In.\r\n"),
        ("expect", b"SITE"), ("send", b"200-Working\r\n200 Permissions changed.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw",
                                          "UDEF SITE CHMOD 644 a.txt 200", "QUIT"])
        lines = server.received()
    assert status_of(script)["exitcode"] == "Success", err_of(tmp_path)
    assert b"SITE CHMOD 644 a.txt\r\n" in lines


def closed_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


WINSOCK_CONNECT = (rb"Winsock error (\d+) on Control Socket|"
                   rb"Winsock Error (\d+) on call connect\(\) in ExecCONN\r\n")


@pytest.mark.parametrize("target", ["refused", "port zero"])
def test_connection_failures_carry_winsock_numbers(qelta, tmp_path, target):
    host = f"127.0.0.1:{closed_port()}" if target == "refused" else "127.0.0.1:"
    script, _ = run(qelta, tmp_path, [f"CONN {host}"], {"TimeOut": 10})
    assert status_of(script)["exitcode"] == "Failure"
    m = re.search(WINSOCK_CONNECT, err_of(tmp_path))
    assert m, err_of(tmp_path)
    number = int(m.group(1) or m.group(2))
    assert number in (10061, 10049) if target == "port zero" else number == 10061


@pytest.mark.parametrize("blocking", [0, 1])
def test_unknown_host(qelta, tmp_path, blocking):
    script, _ = run(qelta, tmp_path, ["CONN no-such-host.invalid"],
                    {"Blocking": blocking, "TimeOut": 20})
    assert status_of(script)["exitcode"] == "Failure"
    err = err_of(tmp_path)
    if blocking:
        assert re.search(rb"Winsock Error 1100[1-4] getting remote host name\(2\) in ExecCONN\r\n",
                         err), err
    else:
        assert re.search(rb"Unable to connect to remote host 1100[1-4]\r\n", err), err
