"""The script file survives what a scheduler does to it: runs killed at any
moment, and two runs of one script at once."""
import fcntl
import os
import random
import re
import subprocess
import threading
import time

import wine
from conftest import write_script

STATUS_LINE = re.compile(rb"^(ExitCode=(Success|Failure)?|CS(\d+)=[SF])$")
TEMP_NAME = re.compile(r"^s\.ftp\.qelta[A-Za-z0-9]{6}$")


def chain_script(path, lines, notes=1):
    """lines jumps, each to the next line: every command is one read of the
    script and one status write with nothing else in between. A run of a
    script that has its statuses makes twice as many writes, as the first
    step of a run marks every old status failed. notes lines of comment
    make the file, and the time it takes to write, longer."""
    commands = [f"GOTO {n + 1}" for n in range(1, lines + 1)]
    # Comments and blank lines: every byte outside [STATUS] must stay.
    notes = "".join(f"; note {n}: kept as it is\r\n" for n in range(notes))
    return write_script(path, commands, {"Silent": 1, "TimeOut": 60}, long_form=False, extra=notes)


def all_keys(lines):
    return {b"ExitCode"} | {b"CS%d" % n for n in range(1, lines + 1)}


def all_succeeded(lines):
    return {b"ExitCode=Success"} | {b"CS%d=S" % n for n in range(1, lines + 1)}


def status_lines(path, outside):
    """The lines of [STATUS], after checking that everything before it is
    `outside` byte for byte and that the file ends with a whole line."""
    data = path.read_bytes()
    head, _, tail = data.partition(b"[STATUS]\r\n")
    assert head == outside
    lines = tail.split(b"\r\n")
    assert lines[-1] == b"", data[-80:]
    return lines[:-1]


def well_formed(lines, count):
    """Each line a known key and value, each key once; returns the keys."""
    keys = set()
    for line in lines:
        m = STATUS_LINE.match(line)
        assert m and (not m.group(3) or 1 <= int(m.group(3)) <= count), line
        key = line.split(b"=")[0]
        assert key not in keys, line
        keys.add(key)
    return keys


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if ".qelta" in p.name)


def temp_files(folder):
    return {name for name in os.listdir(folder) if TEMP_NAME.match(name)}


def start_run(qelta, script):
    if qelta.kind == "win32":
        return wine.start_exe(qelta.exe, qelta.path(script))
    return subprocess.Popen([str(qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def kill(proc):
    """kill -9 of the program (under Wine, with its X server)."""
    wine.kill_group(proc)


def kill_during_a_write(proc, folder, before, deadline):
    """SIGKILL as soon as a new temporary file of a status write is seen."""
    while time.monotonic() < deadline and proc.poll() is None:
        if temp_files(folder) - before:
            break
    kill(proc)


def kill_after(proc, seconds):
    time.sleep(seconds)
    kill(proc)


def test_killed_runs_leave_the_script_whole(qelta, tmp_path):
    linux = qelta.kind == "linux"
    lines = 40
    folders = [tmp_path / f"job{n}" for n in range(4)]
    for folder in folders:
        folder.mkdir()
    scripts = [chain_script(folder / "s.ftp", lines) for folder in folders]
    outside = scripts[0].read_bytes()
    rng = random.Random(7)
    # The Windows program takes a second or more to start under Wine.
    first, last = (0.3, 1.3) if linux else (1.0, 4.0)
    # 52 kills on Linux, 28 under Wine, where a round costs seconds. The
    # kills aimed at writes land inside one by their making, however few;
    # the folders take turns, so under Wine too each script is killed
    # three times or more while writing and three or more times at random.
    for _ in range(13 if linux else 7):
        # Two kills aimed at status writes, two at any moment of the run,
        # start-up and end included.
        before = [temp_files(folder) for folder in folders]
        procs = [start_run(qelta, script) for script in scripts]
        deadline = time.monotonic() + (5 if linux else 15)
        stoppers = [threading.Thread(target=kill_during_a_write,
                                     args=(procs[n], folders[n], before[n], deadline))
                    for n in (0, 1)]
        stoppers += [threading.Thread(target=kill_after, args=(procs[n], rng.uniform(first, last)))
                     for n in (2, 3)]
        for t in stoppers:
            t.start()
        for t in stoppers:
            t.join()
        for script in scripts:
            well_formed(status_lines(script, outside), lines)
        folders.append(folders.pop(0))
        scripts.append(scripts.pop(0))

    # Besides what the kills left: a write killed halfway, and (Linux, where
    # a lock marks it) one whose writer is still at it.
    (folders[0] / "s.ftp.qeltaKiLLed").write_bytes(outside[:20])
    living = folders[0] / "s.ftp.qeltaLiVING"
    living.write_bytes(outside[:20])
    with open(living, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        procs = [start_run(qelta, script) for script in scripts]
        for proc in procs:
            assert proc.wait(timeout=120) == 0
        assert leftovers(folders[0]) == (["s.ftp.qeltaLiVING"] if linux else [])
    for folder, script in zip(folders[1:], scripts[1:]):
        assert leftovers(folder) == []
    for script in scripts:
        assert set(status_lines(script, outside)) == all_succeeded(lines)


def run_pairs(qelta, scripts, stagger):
    """Two runs of each script at once, the second stagger seconds after the first."""
    results = []

    def one(script):
        results.append(qelta.run(script, timeout=120))

    threads = [threading.Thread(target=one, args=(s,)) for _ in range(2) for s in scripts]
    for n, t in enumerate(threads):
        t.start()
        if n == len(scripts) - 1:
            time.sleep(stagger)
    for t in threads:
        t.join()
    assert len(results) == len(threads)


def test_two_runs_at_once_keep_the_script(qelta, tmp_path):
    linux = qelta.kind == "linux"
    # Linux: ten pairs, two scripts at a time. Wine is slow: four pairs, one
    # by one, of a longer file, which takes longer to write.
    lines, notes = (20, 1) if linux else (50, 800)
    scripts = [chain_script(tmp_path / f"s{n}.ftp", lines, notes) for n in range(2 if linux else 1)]
    outside = scripts[0].read_bytes()
    rng = random.Random(3)
    for _ in range(5 if linux else 4):
        run_pairs(qelta, scripts, 0.05 if linux else rng.uniform(0.1, 0.5))
        for script in scripts:
            got = status_lines(script, outside)
            assert well_formed(got, lines) == all_keys(lines)
            # Whichever run wrote last, it ran every line to success.
            assert set(got) == all_succeeded(lines)
        assert leftovers(tmp_path) == []
