#!/usr/bin/python3
"""MGET of many small files from a local vsftpd, against lftp's mget in
the same run when lftp is installed. Run by hand, as root or as a user
who may start vsftpd (see tests/integration/ftpservers.py):

    /usr/bin/python3 bench/mget_bench.py [--files 1000] [--size 4096] [--runs 5]
                                         [--qelta build/qelta] [--qelta other/qelta ...]

Each client runs twice per round: once with the MGET and once with only
the login and QUIT around it. The difference is the MGET's own time, free
of what start-up costs (QELTA waits 700 ms before its first command).
Medians over the rounds are printed; every run's files are checked."""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
import ftpservers  # noqa: E402
from conftest import status_of, write_script  # noqa: E402


def publish(server, count, size):
    pub = server.home / "pub"
    pub.chmod(0o777)
    for n in range(count):
        path = pub / f"f{n:05d}.dat"
        path.write_bytes(os.urandom(size))
        path.chmod(0o644)
    return pub


def digest(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in folder.iterdir()}


def dos(path):
    return "C:" + str(path).replace("/", "\\")


def qelta_run(exe, server, work, passive, fetch):
    local = Path(tempfile.mkdtemp(dir=work))
    commands = [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}", f"PASS {server.password}",
                "TYPE I", "PORT"]
    if fetch:
        commands.append(f"MGET pub/*.dat {dos(local)}")
    script = write_script(Path(work) / "bench.ftp", commands + ["QUIT"],
                          {"Silent": 1, "TimeOut": 60, "PASVMode": int(passive)})
    start = time.monotonic()
    subprocess.run([str(exe), str(script)], stdin=subprocess.DEVNULL, capture_output=True,
                   timeout=600)
    took = time.monotonic() - start
    if status_of(script).get("exitcode") != "Success":
        raise RuntimeError(f"QELTA run failed: {(Path(work) / 'bench.err').read_text()}")
    return took, local


def lftp_run(server, work, passive, fetch):
    local = Path(tempfile.mkdtemp(dir=work))
    mode = "on" if passive else "off"
    command = f"set ftp:passive-mode {mode}; set xfer:clobber on; "
    if fetch:
        command += f"mget -O {local} pub/*.dat; "
    command += "quit"
    start = time.monotonic()
    subprocess.run(["lftp", "-u", f"{server.user},{server.password}", "-e", command,
                    f"ftp://127.0.0.1:{server.port}"], stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=600, check=True)
    return time.monotonic() - start, local


def measure(name, run, expected, rounds, work):
    """Median seconds of the MGET alone, over rounds of (with, without)."""
    deltas, totals = [], []
    for _ in range(rounds):
        total, local = run(True)
        if digest(local) != expected:
            raise RuntimeError(f"{name}: the files that arrived differ")
        shutil.rmtree(local)
        base, empty = run(False)
        shutil.rmtree(empty)
        totals.append(total)
        deltas.append(total - base)
    return statistics.median(deltas), statistics.median(totals)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--qelta", action="append", type=Path)
    args = parser.parse_args()
    exes = args.qelta or [ROOT / "build" / "qelta"]
    for exe in exes:
        linked = subprocess.run(["ldd", str(exe)], capture_output=True, text=True).stdout
        if "libasan" in linked:
            print(f"note: {exe} is a sanitizer build; its figures are not the program's")
    base = tempfile.mkdtemp(prefix="qelta-bench-")
    server = ftpservers.start_vsftpd(base)
    try:
        expected = digest(publish(server, args.files, args.size))
        work = tempfile.mkdtemp(prefix="qelta-bench-work-")
        print(f"{args.files} files of {args.size} bytes, vsftpd on loopback, "
              f"median of {args.runs}: the MGET alone (whole run)")
        for passive in (True, False):
            mode = "PASV" if passive else "PORT"
            for exe in exes:
                mget, whole = measure(str(exe), lambda f: qelta_run(exe, server, work, passive, f),
                                      expected, args.runs, work)
                print(f"  {mode}  {str(exe):32} {mget:6.3f} s  ({whole:.3f} s)"
                      f"  {1000 * mget / args.files:.3f} ms a file")
            if shutil.which("lftp"):
                mget, whole = measure("lftp", lambda f: lftp_run(server, work, passive, f),
                                      expected, args.runs, work)
                print(f"  {mode}  {'lftp mget':32} {mget:6.3f} s  ({whole:.3f} s)"
                      f"  {1000 * mget / args.files:.3f} ms a file")
            else:
                print("  (lftp is not installed: apt-get install lftp to compare)")
        shutil.rmtree(work, ignore_errors=True)
    finally:
        server.stop()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
