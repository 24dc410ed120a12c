"""Servers that misbehave on the control connection: stray lines, replies
glued together or split, replies that never end. "Success" must still mean
the server accepted the command, and every run must end. A complete reply
that no command asked for shows that replies and commands are out of step
(a status already written may belong to another command), so it fails the
run; a preliminary reply or a 421 does not."""

import pytest

from conftest import status_of
from scripted_server import ScriptedServer
from test_ftp_scripted import err_of, log_of, run

STRAY = b"Reply from the server that no command asked for: "
LOGGED_IN = [("send", b"220 Hi\r\n"), ("expect", b"USER"), ("send", b"331 Password.\r\n"),
             ("expect", b"PASS"), ("send", b"230 In.\r\n")]


def login(port):
    return [f"CONN 127.0.0.1:{port}", "USER bob", "PASS pw"]


def statuses(script, count):
    status = status_of(script)
    return [status.get(f"commandstatus{n}") for n in range(1, count + 1)], status["exitcode"]


def test_second_reply_in_one_write_fails_the_run_before_the_next_command(qelta, tmp_path):
    # 613 bytes of one reply and a second reply behind it, in one write.
    # TYPE has its answer; the second one answers nothing sent, and the
    # drain before CWD finds it.
    long_reply = b"".join(b"200-%s\r\n" % (b"x" * 70) for _ in range(8)) + b"200 Type set.\r\n"
    assert len(long_reply) > 512
    steps = LOGGED_IN + [("expect", b"TYPE"), ("send", long_reply + b"200 Again.\r\n"),
                         ("expect", b"CWD"), ("send", b"550 No such directory.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, login(server.port) + ["TYPE I", "CHWD /nowhere", "QUIT"],
                        {"TimeOut": 10})
        lines = server.received()
    done, exitcode = statuses(script, 5)
    assert exitcode == "Failure"
    # The stray reply came after TYPE's: TYPE's own answer cannot be
    # trusted either, so its Success does not stand.
    assert done[2] == "Success" and done[3] != "Success" and done[4] != "Success"
    assert b"CWD /nowhere\r\n" not in lines
    assert err_of(tmp_path).endswith(STRAY + b"200 Again.\r\n"), err_of(tmp_path)


def test_unsolicited_reply_during_a_wait_fails_the_run(qelta, tmp_path):
    # Nothing was sent for "200 ok": the drain before CWD fails the run,
    # and CWD is never taken as answered.
    steps = LOGGED_IN + [("pause", 0.5), ("send", b"200 ok\r\n"), ("pause", 0.5),
                         ("expect", b"CWD"), ("send", b"550 Denied.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, login(server.port) + ["WFOR 0:2", "CHWD /x", "QUIT"],
                        {"TimeOut": 10})
        lines = server.received()
    done, exitcode = statuses(script, 5)
    assert exitcode == "Failure"
    assert done[4] != "Success"
    assert b"CWD /x\r\n" not in lines
    assert b"200 ok\r\n" in log_of(tmp_path)
    assert err_of(tmp_path).endswith(STRAY + b"200 ok\r\n"), err_of(tmp_path)


def test_stray_reply_behind_a_long_reply_fails_the_run(qelta, tmp_path):
    # CWD is decided by "250 Done."; the 550 behind it in the same write
    # answers nothing sent, and the drain before MKD finds it.
    long_reply = b"".join(b"250-%s\r\n" % (b"y" * 60) for _ in range(12)) + b"250 Done.\r\n"
    steps = LOGGED_IN + [("expect", b"CWD"), ("send", long_reply + b"550 Stray.\r\n"),
                         ("expect", b"MKD"), ("send", b'257 "/x/new" created.\r\n')]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, login(server.port) + ["CHWD /x", "MDIR new", "QUIT"],
                        {"TimeOut": 10})
        lines = server.received()
    done, exitcode = statuses(script, 6)
    assert exitcode == "Failure"
    # CWD ended last on the connection: the stray 550 may have been its own.
    assert done[2] == "Success" and done[3] != "Success" and done[4] != "Success"
    assert b"MKD new\r\n" not in lines
    assert b"550 Stray.\r\n" in log_of(tmp_path)
    assert err_of(tmp_path).endswith(STRAY + b"550 Stray.\r\n"), err_of(tmp_path)


def test_late_reply_shows_that_an_answer_was_another_commands(qelta, tmp_path):
    # A second "200" comes 0.3 s after TYPE's answer, when CWD has just
    # gone out: CWD takes it (no client can tell), and its own 550 comes
    # afterwards. That 550 answers nothing sent: the drain before QUIT, or
    # QUIT itself, sees it, and the run must not end in Success.
    steps = LOGGED_IN + [("expect", b"TYPE"), ("send", b"200 Type set.\r\n"), ("pause", 0.3),
                         ("send", b"200 ok\r\n"), ("expect", b"CWD"),
                         ("send", b"550 No such directory.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, login(server.port) + ["TYPE I", "CHWD /nowhere", "QUIT"],
                        {"TimeOut": 10})
    done, exitcode = statuses(script, 6)
    assert exitcode == "Failure"
    assert done[3] == "Success" and done[5] != "Success"
    assert b"550 No such directory." in err_of(tmp_path), err_of(tmp_path)


def test_closing_reply_during_a_wait_then_a_new_connection_succeeds(qelta, tmp_path):
    # An idle time-out: "421" and a close while the script waits. Nothing
    # needs the old connection any more; the new one works.
    steps = LOGGED_IN + [("pause", 0.5),
                         ("send", b"421 Idle time-out; closing control connection.\r\n"),
                         ("reconnect",)] + LOGGED_IN
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path,
                        login(server.port) + ["WFOR 0:02"] + login(server.port) + ["QUIT"],
                        {"TimeOut": 10})
        lines = server.received()
    done, exitcode = statuses(script, 8)
    assert exitcode == "Success", err_of(tmp_path)
    assert done == ["Success"] * 8
    assert lines.count(b"USER bob\r\n") == 2 and lines[-1] == b"QUIT\r\n"


def test_multi_line_refusal_ends_only_on_its_own_code(qelta, tmp_path):
    steps = LOGGED_IN + [("expect", b"CWD"),
                         ("send", b"550-Denied\r\n250 OK\r\n"), ("pause", 0.5),
                         ("send", b"550 Really denied.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, login(server.port) + ["CHWD /x", "QUIT"], {"TimeOut": 10})
    done, exitcode = statuses(script, 4)
    assert exitcode == "Failure" and done[3] != "Success"
    assert err_of(tmp_path).endswith(b"550 Really denied.\r\n")


def test_preliminary_code_split_across_reads(qelta, tmp_path):
    steps = [("send", b"12"), ("pause", 0.5),
             ("send", b"0 Service ready in a minute.\r\n220 Ready.\r\n")]
    with ScriptedServer(steps) as server:
        script, took = run(qelta, tmp_path, [f"CONN 127.0.0.1:{server.port}", "QUIT"],
                           {"TimeOut": 30})
    done, exitcode = statuses(script, 2)
    assert exitcode == "Success", err_of(tmp_path)
    assert took < 20  # not the watchdog


def test_one_byte_drip_ends_the_run(qelta, tmp_path):
    # Every byte keeps the watchdog quiet; the reply's own clock must not.
    steps = LOGGED_IN + [("expect", b"CWD"), ("drip", b"250 Still coming", 2.0)]
    with ScriptedServer(steps) as server:
        script, took = run(qelta, tmp_path, login(server.port) + ["CHWD /x"], {"TimeOut": 10})
    done, exitcode = statuses(script, 4)
    assert exitcode == "Failure" and done[3] != "Success"
    assert b"not complete within 10 seconds" in err_of(tmp_path), err_of(tmp_path)
    assert took < 40


@pytest.mark.parametrize("shape", ["no line end", "continuation lines"])
def test_endless_reply_is_cut_at_four_mib(qelta, tmp_path, shape):
    chunk = b"z" * 65536 if shape == "no line end" else b"250-more\r\n" * 6554
    steps = LOGGED_IN + [("expect", b"CWD"), ("flood", chunk)]
    with ScriptedServer(steps) as server:
        script, took = run(qelta, tmp_path, login(server.port) + ["CHWD /x"], {"TimeOut": 60},
                           timeout=120)
    done, exitcode = statuses(script, 4)
    assert exitcode == "Failure" and done[3] != "Success"
    assert b"Reply from the server longer than 4 MiB" in err_of(tmp_path)
    log = log_of(tmp_path)
    assert 4 * 2**20 <= len(log) < 4 * 2**20 + 4096


def test_password_sent_by_any_keyword_is_masked_in_the_logs(qelta, tmp_path):
    steps = LOGGED_IN + [("expect", b"pass"), ("send", b"230 Again.\r\n")]
    with ScriptedServer(steps) as server:
        script, _ = run(qelta, tmp_path, login(server.port) + ["UDEF pass s3cret-word 230", "QUIT"],
                        {"Debug": 1, "TimeOut": 10})
        lines = server.received()
    assert status_of(script)["exitcode"] == "Success", err_of(tmp_path)
    assert b"pass s3cret-word\r\n" in lines
    for text in (log_of(tmp_path), err_of(tmp_path)):
        assert b"s3cret" not in text and b"*** PASS pw" not in text
        assert text.count(b"*** PASS xxxxxxxx\r\n") == 2
