"""pure-ftpd: a greeting of six lines, five of them "220-" (the first
followed by more hyphens), and an anonymous user who is in after USER
alone. Files both ways in either mode."""
import os

import pytest

from conftest import status_of, write_script
from ftpservers import RecordingProxy, pure_ftpd  # noqa: F401  (fixture)
from test_transfers import dos, login


@pytest.mark.parametrize("mode", ["PORT", "PASV"])
def test_greeting_and_files_both_ways(qelta, tmp_path, pure_ftpd, mode):  # noqa: F811
    down = os.urandom(300 * 1024 + 5)
    (pure_ftpd.home / "pub" / "down.bin").write_bytes(down)
    up = tmp_path / "up.bin"
    up.write_bytes(os.urandom(200 * 1024 + 3))
    got = tmp_path / "down.bin"
    proxy = RecordingProxy(pure_ftpd.port)
    commands = login(pure_ftpd)
    commands[0] = f"CONN 127.0.0.1:{proxy.port}"
    commands += [mode, f"RETR down.bin {dos(qelta, got)}", mode, f"STOR up.bin {dos(qelta, up)}",
                 "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "TimeOut": 30})
    qelta.run(script, timeout=120)
    proxy.close()
    status = status_of(script)
    assert status["exitcode"] == "Success", (tmp_path / "job.err").read_bytes()
    assert [status[f"commandstatus{n}"] for n in range(1, len(commands) + 1)] == \
        ["Success"] * len(commands)

    sent = bytes(proxy.from_server)
    lines = sent.split(b"\r\n")
    assert [line[:4] for line in lines[:6]] == [b"220-"] * 5 + [b"220 "]
    # Every byte of the conversation is in the log, greeting first.
    log = (tmp_path / "job.log").read_bytes()
    assert sent in log, (sent, log)
    assert got.read_bytes() == down
    assert (pure_ftpd.home / "pub" / "up.bin").read_bytes() == up.read_bytes()
