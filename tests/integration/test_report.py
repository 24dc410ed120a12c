"""ReportFile=: the run as JSON Lines. Each record is read with Python's
json and held against the field list of the manual page, so the page and
the program cannot drift apart; a job with a retry, an MGET, a verified
transfer and a failure shows what the fields say; a run killed with -9
leaves whole lines; a report that cannot be written stops the run."""
import json
import os
import re
import time

import pytest

from conftest import ROOT, status_of, write_script
from ftpservers import running, start_pyftpdlib
from test_retry import DROPPING_SERVER, knob
from test_script_safety import kill, start_run
from test_startup import run
from test_transfers import dos, put_on_server

# The dropping server of the retry tests, offering XSHA256 as well.
SERVER = DROPPING_SERVER.replace("class Handler(FTPHandler):\n", r'''import hashlib
from pyftpdlib.handlers import proto_cmds
proto_cmds["XSHA256"] = dict(perm="r", auth=True, arg=True, help="Syntax: XSHA256 <SP> file")
class Handler(FTPHandler):
    def ftp_FEAT(self, line):
        self.push("211-Features:\r\n EPSV\r\n PASV\r\n SIZE\r\n XSHA256\r\n211 End\r\n")
    def ftp_XSHA256(self, path):
        self.respond("213 " + hashlib.sha256(open(path, "rb").read()).hexdigest().upper())
''', 1)

TYPES = {"string": (str,), "integer": (int,), "number": (int, float), "object": (dict,)}


def manual_fields():
    """{record kind: {field: (types, may be null)}} from the manual page's
    "Fields of the *kind* record" lists."""
    fields, kind, name = {}, None, None
    for line in (ROOT / "doc" / "qelta.1.scd").read_text().splitlines():
        m = re.match(r"Fields of (?:the )?\*(\w+)\*", line)
        if m:
            kind = m.group(1)
            fields[kind] = {}
            continue
        if kind and re.match(r"^[A-Z#]", line):
            kind = None
        m = re.match(r"^\*(\w+)\*$", line)
        if kind and m:
            name = m.group(1)
            continue
        m = re.match(r"^\t(string|integer|number|object)( or null)?[:.]", line)
        if kind and name and m:
            fields[kind][name] = (TYPES[m.group(1)], bool(m.group(2)))
            name = None
    return fields


def check_record(record, fields, kind=None):
    kind = kind or record["record"]
    expected = fields[kind]
    assert set(record) == set(expected), (kind, set(record) ^ set(expected))
    for key, value in record.items():
        types, nullable = expected[key]
        if value is None:
            assert nullable, (kind, key)
            continue
        assert isinstance(value, types) and not isinstance(value, bool), (kind, key, value)
        if isinstance(value, dict):
            check_record(value, fields, key)


def read_report(path):
    """Every line whole and ending in a line feed, each one JSON in UTF-8."""
    data = path.read_bytes()
    assert data.endswith(b"\n") or not data
    return [json.loads(line.decode("utf-8")) for line in data.split(b"\n")[:-1]]


def test_manual_lists_the_fields():
    fields = manual_fields()
    assert set(fields) == {"start", "command", "end", "totals"}
    assert {"tries", "verified", "data_mode", "tls", "resume_offset"} <= set(fields["command"])


BIG = os.urandom(1024 * 1024 + 5)


def test_report_of_a_job(qelta, tmp_path):
    fields = manual_fields()
    local = tmp_path / "in"
    local.mkdir()
    with running(lambda base: start_pyftpdlib(base, main=SERVER), "pyftpdlib-report") as s:
        password = s.password
        put_on_server(s, "big.bin", BIG)
        for n in range(3):
            put_on_server(s, f"f{n}.txt", f"file {n}\n".encode() * 100)
        knob(s, "drop", 1)
        lines = [f"CONN 127.0.0.1:{s.port}", f"USER {s.user}", f"PASS {password}", "TYPE I",
                 "PORT", f"RETR pub/big.bin {dos(qelta, local / 'big.bin')}",
                 "PASV", f"MGET pub/*.txt {dos(qelta, local)}",
                 "PORT", f"RETR pub/missing.bin {dos(qelta, local / 'm.bin')}", "QUIT"]
        report = tmp_path / "run.jsonl"
        script = write_script(tmp_path / "job.ftp", lines,
                              {"Silent": 1, "TimeOut": 20, "Retry": 2, "RetryDelay": 1,
                               "Verify": 1, "Debug": 1, "ReportFile": qelta.path(report)})
        qelta.run(script, timeout=120)
    assert status_of(script)["exitcode"] == "Failure"
    raw = report.read_bytes()
    assert password.encode() not in raw
    records = read_report(report)
    for r in records:
        check_record(r, fields)
    start, commands, end = records[0], records[1:-1], records[-1]
    assert start["record"] == "start" and end["record"] == "end"
    assert start["version"] and re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$", start["started"])
    assert all(r["record"] == "command" for r in commands)
    by_line = {}
    for r in commands:
        by_line.setdefault(r["line"], []).append(r)
    # (line, keyword, status, reply code, tries, data mode)
    expected = [(1, "CONN", "Success", 220, 1, None), (2, "USER", "Success", 331, 1, None),
                (3, "PASS", "Success", 230, 1, None), (4, "TYPE", "Success", 200, 1, None),
                (5, "PORT", "Success", 200, 1, "PORT"), (6, "RETR", "Success", 213, 2, "PORT"),
                (7, "PASV", "Success", 229, 1, "EPSV"),
                # After a PASV, PORT lines run as PASV too.
                (9, "PORT", "Success", 229, 1, "EPSV"), (10, "RETR", "Failure", 550, 1, "EPSV")]
    for line, keyword, status, code, tries, mode in expected:
        (r,) = by_line[line]
        assert (r["keyword"], r["status"], r["reply_code"], r["tries"], r["data_mode"]) == \
            (keyword, status, code, tries, mode), r
    assert by_line[3][0]["argument"] == "********"
    retr = by_line[6][0]
    assert retr["bytes"] == len(BIG) and "XSHA256" in retr["verified"], retr
    assert retr["data_address"].startswith("127.0.0.1:")
    assert by_line[10][0]["error"] and by_line[10][0]["verified"] is None
    # Line 8: one record per file, then the MGET's own.
    files, mget = by_line[8][:-1], by_line[8][-1]
    assert [r["keyword"] for r in files] == ["RETR"] * 3
    assert all(r["data_mode"] == "EPSV" and "XSHA256" in r["verified"] for r in files)
    assert (mget["keyword"], mget["status"]) == ("MGET", "Success")
    assert mget["bytes"] == sum(r["bytes"] for r in files) == 3 * 700
    totals = end["totals"]
    assert end["exitcode"] == "Failure"
    assert (totals["commands"], totals["failures"]) == (len(commands), 1)
    assert totals["bytes"] == len(BIG) + 3 * 700


def test_killed_run_leaves_whole_lines(qelta, tmp_path):
    report = tmp_path / "r.jsonl"
    script = write_script(tmp_path / "loop.ftp", ["GOTO 1:100000"],
                          {"Silent": 1, "ReportFile": qelta.path(report)})
    proc = start_run(qelta, script)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and (not report.exists() or report.stat().st_size < 20000):
        time.sleep(0.05)
    kill(proc)
    records = read_report(report)
    assert len(records) > 10 and records[0]["record"] == "start"
    assert {r["keyword"] for r in records[1:]} == {"GOTO"}


@pytest.mark.parametrize("how", ["missing folder", "is the script", "is the log"])
def test_unwritable_report_stops_the_run(qelta, tmp_path, how):
    script = tmp_path / "job.ftp"
    target = {"missing folder": tmp_path / "no" / "such" / "r.jsonl", "is the script": script,
              "is the log": tmp_path / "job.log"}[how]
    write_script(script, ["DELL " + dos(qelta, tmp_path / "keep.txt")],
                 {"Silent": 1, "ReportFile": qelta.path(target)},
                 status={"ExitCode": "Success", "CommandStatus1": "Success"})
    (tmp_path / "keep.txt").write_text("kept")
    result = run(qelta, script)  # the box naming the file is answered under Wine
    assert (tmp_path / "keep.txt").exists()
    assert status_of(script)["exitcode"] == "Failure"
    assert b"report file" in (tmp_path / "job.err").read_bytes()
    if qelta.kind == "linux":
        assert b"Can not create report file" in result.stderr
        assert os.path.basename(target).encode() in result.stderr
