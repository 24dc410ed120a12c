"""Start-up from the outside: run files, the log header, settings and the
faults a bad script or path must not turn into lost data."""
import os
import re
import sys

import pytest

from conftest import read_ini, status_of, write_script

HEADER = re.compile(
    rb"\*\*\* QELTA v1\.3\.7 (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d \d\d:\d\d:\d\d \d{4} -(Starting|Ending)\r\n")

ERROR_BOX = {"QELTA Error": "Return"}


def run(qelta, script, **kw):
    if qelta.kind == "win32":
        kw.setdefault("answer_boxes", ERROR_BOX)
    else:
        kw.pop("answer_boxes", None)
    return qelta.run(script, **kw)


def test_run_files_beside_the_script_and_header_form(qelta, tmp_path):
    jobs = tmp_path / "jobs"
    jobs.mkdir()
    script = write_script(jobs / "night.ftp", ["NONE"], {"Silent": 1})
    run(qelta, script)
    log = (jobs / "night.log").read_bytes()
    headers = HEADER.findall(log)
    assert [h[2] for h in headers] == [b"Starting", b"Ending"]
    assert HEADER.match(log), log
    assert (jobs / "night.err").exists()
    # Nothing else outlives the run beside the script: no generated file,
    # no lock file, no half-written copy of the script.
    assert sorted(p.name for p in jobs.iterdir()) == ["night.err", "night.ftp", "night.log"]
    assert status_of(script)["exitcode"] == "Success"


def test_a_statistics_file_named_like_the_generated_file_outlives_the_run(qelta, tmp_path):
    # The generated command file goes at exit, but never when it is the
    # script or a run file: a statistics file of that name holds a
    # user's records of earlier runs.
    stats = tmp_path / "night.tm2"
    stats.write_bytes(b"earlier runs\r\n")
    script = write_script(tmp_path / "night.ftp", ["NONE"],
                          {"Silent": 1, "AppendStatFile": 1,
                           "StatFile": qelta.path(stats) if qelta.kind == "win32"
                           else "C:" + str(stats).replace("/", "\\")})
    run(qelta, script)
    assert stats.read_bytes().startswith(b"earlier runs\r\n")


def test_relative_names_keep_the_script_name(qelta, tmp_path):
    write_script(tmp_path / "longscriptname.ftp", ["NONE"], {"Silent": 1})
    run(qelta, None, cwd=tmp_path, args=["longscriptname.ftp"])
    assert (tmp_path / "longscri.log").exists()
    assert (tmp_path / "longscri.err").exists()
    assert status_of(tmp_path / "longscriptname.ftp")["exitcode"] == "Success"


def test_relative_name_with_blanks_is_the_file_given(linux_qelta, tmp_path):
    script = write_script(tmp_path / "night job.ftp", ["NONE"], {"Silent": 1})
    linux_qelta.run(None, cwd=tmp_path, args=["night job.ftp"])
    assert status_of(script)["exitcode"] == "Success"
    assert (tmp_path / "night jo.log").exists()
    assert not (tmp_path / "nightjob.ftp").exists()


def test_quoted_path_on_the_command_line(linux_qelta, tmp_path):
    script = write_script(tmp_path / "q.ftp", ["NONE"], {"Silent": 1})
    linux_qelta.run(None, args=['"' + str(script) + '"'])
    assert status_of(script)["exitcode"] == "Success"


def test_append_log_file_appends_and_its_absence_truncates(qelta, tmp_path):
    script = write_script(tmp_path / "a.ftp", ["NONE"], {"Silent": 1, "AppendLogFile": 1})
    log = tmp_path / "a.log"
    assert not log.exists()
    run(qelta, script)
    first = log.read_bytes()
    run(qelta, script)
    second = log.read_bytes()
    assert second.startswith(first) and len(HEADER.findall(second)) == 4
    write_script(script, ["NONE"], {"Silent": 1})
    run(qelta, script)
    assert len(HEADER.findall(log.read_bytes())) == 2


def test_log_file_setting_and_unwritable_log(qelta, tmp_path):
    other = tmp_path / "elsewhere.txt"
    script = write_script(tmp_path / "s.ftp", ["NONE"],
                          {"Silent": 1, "LogFile": qelta.path(other)})
    run(qelta, script)
    assert HEADER.match(other.read_bytes())
    assert not (tmp_path / "s.log").exists()

    missing_dir = tmp_path / "no" / "such" / "dir" / "x.log"
    write_script(script, ["NONE"], {"Silent": 1, "LogFile": qelta.path(missing_dir)})
    result = run(qelta, script)
    if qelta.kind == "linux":
        assert b"Can not create log file." in result.stderr
    # The run goes on without its log.
    assert status_of(script)["exitcode"] == "Success"


def test_missing_script_writes_nothing(qelta, tmp_path):
    before = set(os.listdir(tmp_path))
    result = run(qelta, tmp_path / "absent.ftp")
    assert set(os.listdir(tmp_path)) == before
    if qelta.kind == "linux":
        assert b"Can not open script file" in result.stderr
        assert b"absent.ftp" in result.stderr


def test_folder_as_script_writes_nothing(linux_qelta, tmp_path):
    folder = tmp_path / "dir.ftp"
    folder.mkdir()
    result = linux_qelta.run(folder)
    assert b"Can not open script file" in result.stderr
    assert sorted(os.listdir(tmp_path)) == ["dir.ftp"]


@pytest.mark.parametrize("how", ["named_log", "logfile_setting", "errorlog_is_log"])
def test_run_file_never_truncates_the_script(qelta, tmp_path, how):
    if how == "named_log":
        script = tmp_path / "job.log"
        settings = {"Silent": 1}
    else:
        script = tmp_path / "job.ftp"
        settings = {"Silent": 1, "LogFile": qelta.path(script)}
        if how == "errorlog_is_log":
            settings = {"Silent": 1, "ErrorLogFile": qelta.path(tmp_path / "job.log")}
    write_script(script, ["WFOR 0:00", "NONE"], settings)
    result = run(qelta, script)
    ini = read_ini(script)
    assert ini["qelta"]["ftpcommand1"] == "WFOR 0:00"
    assert ini["status"]["exitcode"] == "Success"
    assert ini["status"]["commandstatus1"] == "Success"
    if qelta.kind == "linux":
        assert b"Can not create log file." in result.stderr
    if how == "errorlog_is_log":
        assert HEADER.match((tmp_path / "job.log").read_bytes())


def test_short_script_name_stays_inside_its_name(linux_qelta, tmp_path):
    drive = tmp_path / "d"
    drive.mkdir()
    write_script(drive / "ab", ["NONE"], {"Silent": 1})
    linux_qelta.run(None, args=["D:\\ab"], env={"QELTA_DRIVE_D": str(drive)})
    assert sorted(os.listdir(drive)) == ["ab", "ab.err", "ab.log"]
    assert status_of(drive / "ab")["exitcode"] == "Success"


def test_overlong_paths_are_reported_not_cut(linux_qelta, tmp_path):
    script = write_script(tmp_path / "s.ftp", ["NONE"],
                          {"Silent": 1, "LogFile": str(tmp_path / ("x" * 150 + ".log"))})
    result = linux_qelta.run(script)
    assert b"longer than 127" in result.stderr
    assert status_of(script)["exitcode"] == "Success"
    assert sorted(os.listdir(tmp_path)) == ["s.err", "s.ftp"]

    deep = tmp_path / ("y" * 130)
    deep.mkdir()
    long_script = write_script(deep / "s.ftp", ["NONE"], {"Silent": 1})
    result = linux_qelta.run(long_script)
    assert b"longer than 127" in result.stderr
    assert sorted(os.listdir(deep)) == ["s.ftp"]


def test_template_prompt_through_a_terminal(linux_qelta, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    script = write_script(tmp_path / "t.ftp", ["NONE"], {"Template": 1})
    original = script.read_bytes()
    editor = tmp_path / "editor.sh"
    editor.write_text(f'#!/bin/sh\necho "$1" > {tmp_path}/edited\n')
    editor.chmod(0o755)
    env = dict(os.environ, TERM="xterm", EDITOR=str(editor))
    env.pop("VISUAL", None)

    child = pexpect.spawn(str(linux_qelta.exe), [str(script)], env=env, timeout=20)
    child.expect("This script is a template")
    child.sendline("n")
    child.expect(pexpect.EOF)
    assert not (tmp_path / "edited").exists()

    child = pexpect.spawn(str(linux_qelta.exe), [str(script)], env=env, timeout=20)
    child.expect("Would you like to edit it")
    child.sendline("y")
    child.expect(pexpect.EOF)
    assert (tmp_path / "edited").read_text().strip() == str(script)
    assert script.read_bytes() == original
    assert sorted(os.listdir(tmp_path)) == ["edited", "editor.sh", "t.ftp"]


def test_template_under_wine_writes_nothing(win_qelta, tmp_path):
    script = write_script(tmp_path / "t.ftp", ["NONE"], {"Template": 1})
    original = script.read_bytes()
    win_qelta.run(script, answer_boxes={"QELTA Template": "n"}, timeout=60)
    assert script.read_bytes() == original
    assert sorted(os.listdir(tmp_path)) == ["t.ftp"]


def test_overlong_path_typed_at_the_prompt_is_reported_whole(linux_qelta, tmp_path):
    # The chosen path outlives the prompt only in the failure box: the box
    # must show it as typed, and nothing may be written beside it.
    pexpect = pytest.importorskip("pexpect")
    folder = tmp_path / ("f" * 60)
    name = "s" * (200 - len(str(folder)) - len("/.ftp")) + ".ftp"
    folder.mkdir()
    script = write_script(folder / name, ["NONE"], {"Silent": 1})
    typed = str(script)
    assert len(typed) == 200
    original = script.read_bytes()
    dos = "C:" + typed.replace("/", "\\")

    env = dict(os.environ, TERM="dumb")
    env.pop("QELTA_DRIVE_C", None)
    child = pexpect.spawn(str(linux_qelta.exe), [], env=env, timeout=20)
    child.expect(r"Script path \(empty to cancel\): ")
    child.sendline(typed)
    child.expect("Path is longer than 127 characters:\r?\n")
    child.expect(r"\[Enter\]")
    assert child.before.decode("latin-1").strip() == dos
    child.sendline("")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert script.read_bytes() == original
    assert sorted(os.listdir(folder)) == [name]
