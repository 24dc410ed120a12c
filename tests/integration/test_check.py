"""qelta --check: each script read as a run would read it, nothing run and
nothing written, a SCRIPT:LINE: line per finding. The lines of a finding
are the file's own lines, counting section headers, blank lines and
comments. Also: a run that meets an unknown keyword names it in its logs."""
import pytest

from conftest import ROOT, status_of, write_script

EXAMPLES = ROOT / "doc" / "examples"


def check(runner, *paths):
    """Status, findings and standard error; the warnings of a password in
    the script are test_passwords.py's."""
    r = runner.run(None, args=["--check", *map(str, paths)], timeout=30)
    out = "".join(line for line in r.stdout.decode().splitlines(keepends=True)
                  if ": warning: " not in line)
    return r.returncode, out, r.stderr.decode()


def findings(runner, tmp_path, text, name="s.ftp"):
    """(status, [(line, message)]) of one script given as text (LF ends)."""
    script = tmp_path / name
    script.write_bytes(text.encode("latin-1"))
    rc, out, err = check(runner, script)
    assert err == ""
    found = []
    for line in out.splitlines():
        path, number, message = line.split(":", 2)
        assert path == str(script)
        found.append((int(number), message.strip()))
    return rc, found


LOGIN = "[QELTA]\nFTPCommand1=CONN ftp.example.net\nFTPCommand2=USER u\nFTPCommand3=PASS p\n"


def after_login(*commands, settings=""):
    """A script whose commands 4, 5, ... are given; they start on line 5."""
    lines = [f"FTPCommand{n}={c}" for n, c in enumerate(commands, 4)]
    return LOGIN + "\n".join(lines) + "\n\n[Settings]\nSilent=1\n" + settings


# ---- sound scripts and unreadable ones -------------------------------------------------

def test_a_sound_script_gives_0_prints_nothing_and_is_left_as_it_was(linux_qelta, tmp_path):
    script = write_script(tmp_path / "night.ftp",
                          ["CONN ftp.example.net", "USER u", "PASS p", "TYPE I", "PASV",
                           r"RETR report.bin C:\in\report.bin", "PORT",
                           r"STOR up/a.csv C:\out\a.csv", r"MPUT /in/ C:\out\*.xml",
                           "PASV", "DELR /old/*.tmp", "DELR /old/one.tmp", "WFOR 0:30",
                           "WTIL 23:59", "DIAL MyISP, alice, secret", "GOTO 4:2",
                           r"DELL C:\out\*.bak", "QUIT"],
                          {"Silent": 1, "TimeOut": 120, "BlockSize": 4096, "PASVMode": 1,
                           "DeleteOverRide": 1, "StatFile": r"C:\jobs\night.sta", "EPSV": 0},
                          status={"ExitCode": "Success", "CommandStatus1": "Success"},
                          extra="; a closing comment\r\n")
    before = script.read_bytes()
    rc, out, err = check(linux_qelta, script)
    assert (rc, out, err) == (0, "", "")
    assert script.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["night.ftp"]


def test_the_shipped_samples_pass(linux_qelta):
    samples = sorted(EXAMPLES.glob("*.ftp"))
    assert len(samples) >= 3
    assert check(linux_qelta, *samples) == (0, "", "")


def test_a_script_that_cannot_be_read_gives_2_and_is_named(linux_qelta, tmp_path):
    missing = tmp_path / "missing.ftp"
    rc, out, err = check(linux_qelta, missing)
    assert rc == 2 and out == "" and str(missing) in err
    # A folder is no script either; a script with findings beside it still
    # gets its lines, and the worst status wins.
    bad = tmp_path / "bad.ftp"
    bad.write_text("[QELTA]\nFTPCommand1=ZZZZ\n")
    rc, out, err = check(linux_qelta, bad, tmp_path)
    assert rc == 2 and out == f'{bad}:2: unknown keyword "ZZZZ" ends the run here\n'
    assert str(tmp_path) in err


def test_status_1_for_findings_and_only_the_faulty_script_is_named(linux_qelta, tmp_path):
    good = write_script(tmp_path / "good.ftp", ["CONN h", "QUIT"])
    bad = tmp_path / "bad.ftp"
    bad.write_text(after_login("RTER report.bin C:\\in\\report.bin"))
    rc, out, _ = check(linux_qelta, good, bad)
    assert rc == 1
    assert out == f'{bad}:5: unknown keyword "RTER" ends the run here (did you mean RETR?)\n'


def test_check_needs_a_script_and_takes_odd_names_after_double_dash(linux_qelta, tmp_path):
    r = linux_qelta.run(None, args=["--check"])
    assert r.returncode == 2 and b"needs a script" in r.stderr
    odd = tmp_path / "--odd.ftp"
    odd.write_text("[QELTA]\nFTPCommand1=QUIT\n")
    r = linux_qelta.run(None, args=["--check", "--", "--odd.ftp"], cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert b"--check" in linux_qelta.run(None, args=["--help"]).stdout


# ---- findings, each with its line ------------------------------------------------------

CASES = {
    "unknown keywords, with the nearest one where one is close": (
        after_login("RTER report.bin C:\\in\\report.bin", "XYZW", "qiut"),
        [(5, 'unknown keyword "RTER" ends the run here (did you mean RETR?)'),
         (6, 'unknown keyword "XYZW" ends the run here'),
         (7, 'unknown keyword "qiut" ends the run here (did you mean QUIT?)')]),
    "a gap in the numbering and the lines it cuts off": (
        "; nightly\n[QELTA]\nFTPCommand1=CONN h\nFTPCommand2=USER u\n\n"
        "FTPCommand4=PASS p\nFTPCommand5=QUIT\n",
        [(4, "the numbering skips FTPCommand3: the run ends after this line"),
         (6, "FTPCommand4 is never reached: the numbering skips FTPCommand3"),
         (7, "FTPCommand5 is never reached: the numbering skips FTPCommand3")]),
    "bare-number keys, and a GOTO across a gap reaches the line after it": (
        "[QELTA]\n1=CONN h\n2=GOTO 4\n4=QUIT\n6=NONE\n",
        [(4, "the numbering skips 5: the run ends after this line"),
         (5, "6 is never reached: the numbering skips 5")]),
    "a stop line before a gap is meant: only the lines after it are named": (
        "[QELTA]\nFTPCommand1=CONN h\nFTPCommand2=NONE\nFTPCommand4=QUIT\n",
        [(4, "FTPCommand4 is never reached: the numbering skips FTPCommand3")]),
    "keys the run never reads": (
        "[QELTA]\nFTPCommand1=CONN h\nFTPComand2=QUIT\nFTPCommand02=QUIT\nFTPCommand1=QUIT\n",
        [(3, "FTPComand2 is not a command key: the run reads only FTPCommand1, FTPCommand2, ..."),
         (4, "FTPCommand02 is not a command key: the run reads only FTPCommand1, FTPCommand2, ..."),
         (5, "FTPCommand1 is given again: the run reads only line 2")]),
    "transfers need a PORT or PASV line of their own": (
        after_login("RETR a C:\\in\\a", "PASV", "LIST . C:\\in\\list.txt", "STOU C:\\out\\b",
                    "PORT", "APPE log C:\\out\\log", "MGTC /r/*.pdf C:\\in", "DELR /old/*.tmp",
                    "DELR /old/one.tmp", "MPUT /in/ C:\\out\\*.xml", "STOR x C:\\out\\x"),
        [(5, "RETR has no PORT or PASV line before it: each transfer needs one of its own"),
         (8, "STOU has no PORT or PASV line before it: each transfer needs one of its own"),
         (11, "MGTC has no PORT or PASV line before it: each transfer needs one of its own"),
         (12, "DELR has no PORT or PASV line before it: each transfer needs one of its own"),
         (15, "STOR has no PORT or PASV line before it: each transfer needs one of its own")]),
    "file names the run refuses": (
        after_login("PASV", "RETR report.bin \\in\\report.bin", "PASV", "RETR C:\\in\\report.bin",
                    "PASV", "STOR", "MPUT C:\\out\\*.xml", "DELL *.bak"),
        [(6, "RETR: no local path with a drive letter (the run fails here)"),
         (8, "RETR: no remote name before the local path (the run fails here)"),
         (10, "STOR: no local path with a drive letter (the run fails here)"),
         (12, "DELL needs a folder in its pattern, as in DELL C:\\out\\*.bak")]),
    "GOTO targets and counts": (
        after_login("GOTO 0", "GOTO 12", "GOTO 5:x", "GOTO 5:-1", "GOTO five"),
        [(5, "GOTO needs a line number of 1 or more: the run fails here"),
         (6, "GOTO 12: there is no FTPCommand12, so the run ends there"),
         (7, 'GOTO: the count "x" is not a number (the run reads 0)'),
         (8, "GOTO: the count -1 is below 0"),
         (9, "GOTO needs a line number of 1 or more: the run fails here")]),
    "WFOR and WTIL times": (
        after_login("WFOR 10", "WFOR 1:3O", "WFOR :05", "WTIL 2359", "WTIL 24:00", "WTIL 6:30",
                    settings="TimeOut=10\n"),
        [(5, "WFOR needs minutes:seconds, as in WFOR 1:30: the run fails here"),
         (6, 'WFOR needs minutes:seconds, as in WFOR 1:30, in numbers ("1:3O" is not)'),
         (8, "WTIL needs hours:minutes, as in WTIL 23:59: the run fails here"),
         (9, "WTIL 24:00 names no time of day: the run waits until cancelled"),
         (10, "WTIL needs a TimeOut above 10 seconds (it is 10)")]),
    "DIAL's argument shapes": (
        after_login("DIAL", "DIAL MyISP, alice, secret, more", "DIAL -hangup",
                    "DIAL MyISP -hangup now", "DIAL MyISP -hangup", "DIAL " + "x" * 64),
        [(5, "DIAL needs a dial-up entry name"),
         (6, "DIAL takes an entry name, a user name and a password, no more"),
         (7, "DIAL needs the entry name and a blank before -hangup"),
         (8, "DIAL takes nothing after -hangup"),
         (10, "DIAL entry names, user names and passwords hold at most 63 characters")]),
    "a CONN argument the run cannot split": (
        "[QELTA]\nFTPCommand1=CONN [::1\nFTPCommand2=CONN [::1]x\nFTPCommand3=CONN [::1]:2121\n"
        "FTPCommand4=QUIT\n[Settings]\nSilent=1\n",
        [(2, "CONN [::1: an IPv6 address in brackets must be followed by nothing or :port"),
         (3, "CONN [::1]x: an IPv6 address in brackets must be followed by nothing or :port")]),
    "NLST belongs to the generated lines only": (
        after_login("PASV", "NLST /pub C:\\in"),
        [(6, "NLST runs only in the lines that MGET, MGTC and DELR write")]),
    "settings out of range, unparsable, unknown or given twice": (
        "[QELTA]\nFTPCommand1=QUIT\n[Settings]\nTimeOut=0\nBlockSize=2000000\nSilent=yes\n"
        "Debug=2\nDialRetry=3x\nTimeOutt=5\nColour=blue\nsilent=1\nBlockSize=\n"
        "LogFile=C:\\" + "d" * 130 + "\nPASVMode=1\n",
        [(4, "TimeOut=0 is out of range: 1 or more"),
         (5, "BlockSize=2000000 is out of range: 1 to 1048576"),
         (6, "Silent=yes: a switch is 0 or 1 (the run reads 0)"),
         (7, "Debug=2: a switch is 0 or 1"),
         (8, "DialRetry=3x is not a whole number (the run reads 3)"),
         (9, "unknown setting TimeOutt: QELTA never reads it (did you mean TimeOut?)"),
         (10, "unknown setting Colour: QELTA never reads it"),
         (11, "silent is set again: the run reads only line 6"),
         (12, "BlockSize is set again: the run reads only line 5"),
         (13, "LogFile is longer than 127 characters: the run will not use it")]),
    "no [QELTA] section": (
        "\n[Settings]\nSilent=1\n",
        [(1, "no [QELTA] section: the script has no command to run")]),
    "no first command line": (
        "[Setings]\nSilent=1\n[QELTA]\nFTPCommand2=QUIT\n[QELTA]\nFTPCommand1=CONN h\n",
        [(1, "section [Setings] is not read by QELTA (did you mean [Settings]?)"),
         (3, "no first command line (FTPCommand1 or 1): the run ends at once"),
         (4, "FTPCommand2 is not a command key: the run reads only 1, 2, ..."),
         (5, "a second [QELTA] section: the run reads only the one on line 3")]),
}


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.replace(" ", "-"))
def test_findings_name_the_lines_of_the_file(linux_qelta, tmp_path, case):
    text, expected = CASES[case]
    rc, found = findings(linux_qelta, tmp_path, text)
    assert found == expected
    assert rc == 1


def test_line_numbers_follow_the_file_with_cr_lf_a_byte_order_mark_and_indented_lines(
        linux_qelta, tmp_path):
    text = "\ufeff[QELTA]\r\n  FTPCommand1 = CONN h\r\n\r\n; note\r\nFTPCommand2=\"RTER x C:\\y\"\r\n"
    script = tmp_path / "s.ftp"
    script.write_bytes(text.encode("utf-8"))
    rc, out, _ = check(linux_qelta, script)
    assert (rc, out) == (1, f'{script}:5: unknown keyword "RTER" ends the run here (did you mean RETR?)\n')


# ---- the run --------------------------------------------------------------------------------

def test_a_run_names_the_unknown_keyword_that_ends_it(qelta, tmp_path):
    marker = tmp_path / "ran.txt"
    script = write_script(tmp_path / "s.ftp",
                          ["WFOR 0:00", "WFOR 0:00", "WFOR 0:00", r"RTER report.bin C:\in\report.bin",
                           f"EXEC {qelta.path(marker)}"],
                          {"Silent": 1, "ProcessExitCode": 1})
    r = qelta.run(script)
    assert r.returncode == 0
    status = status_of(script)
    assert status["exitcode"] == "Success"
    assert status["commandstatus3"] == "Success" and "commandstatus4" not in status
    assert not marker.exists()
    line = b'*** Line 4: unknown keyword "RTER" ends the script\r\n'
    assert line in (tmp_path / "s.log").read_bytes()
    assert line in (tmp_path / "s.err").read_bytes()


@pytest.mark.parametrize("settings, commands, hinted", [
    ("Retry=3\n", ["PASV", "RETR a C:\\b"], True),
    ("Retry=3\nResume=1\n", ["PASV", "MGET /x/*.csv C:\\in"], False),
    ("Retry=3\n", ["CHWD x"], False),
    ("Retry=0\n", ["PASV", "STOR a C:\\b"], False),
])
def test_check_hints_at_retries_without_resume(linux_qelta, tmp_path, settings, commands, hinted):
    script = tmp_path / "r.ftp"
    lines = [f"FTPCommand{n}={c}" for n, c in enumerate(["CONN h", *commands], 1)]
    script.write_bytes(("[QELTA]\n" + "\n".join(lines) + "\n[Settings]\n" + settings).encode())
    r = linux_qelta.run(None, args=["--check", str(script)], timeout=30)
    warned = [line for line in r.stdout.decode().splitlines() if "without Resume=1" in line]
    assert r.returncode == 0 and len(warned) == hinted, r.stdout
    if hinted:
        assert warned[0].startswith(f"{script}:{len(lines) + 3}: warning: Retry=3")
