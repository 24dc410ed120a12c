"""The transfer display of the Linux build on a terminal: what the byte
count shows across several transfers of one run."""
import os
import re

import pytest

from conftest import status_of, write_script
from scripted_server import ScriptedServer
from test_data_scripted import DONE, LOGGED_IN, retrieval
from test_transfers import dos

pexpect = pytest.importorskip("pexpect")


def test_second_list_count_continues_from_the_first(linux_qelta, tmp_path):
    first, second = b"a" * 1234, b"b" * 4321
    steps = list(LOGGED_IN)
    for listing in (first, second):
        # The pause keeps the count on screen past a drawing period.
        steps += retrieval("PASV", ("data", listing), ("pause", 1.0), ("data-close",),
                           ("send", DONE), verb=b"LIST")
    with ScriptedServer(steps) as server:
        script = write_script(tmp_path / "job.ftp",
                              [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw",
                               "PASV", f"LIST . {dos(linux_qelta, tmp_path / 'one.txt')}",
                               "PASV", f"LIST . {dos(linux_qelta, tmp_path / 'two.txt')}", "QUIT"],
                              {"Silent": 1})
        child = pexpect.spawn(str(linux_qelta.exe), [str(script)],
                              env=dict(os.environ, TERM="xterm"), timeout=30)
        child.expect(pexpect.EOF)
        shown = child.before
    assert status_of(script)["exitcode"] == "Success"
    assert (tmp_path / "two.txt").read_bytes() == second
    # The count line: the eight-blank prefix, an empty label, a blank, the count.
    counts = [int(n) for n in re.findall(rb"\r\x1b\[2K {9}(\d+)", shown)]
    assert counts and counts == sorted(counts), counts
    assert counts[-1] == len(first) + len(second), counts
