"""Times what ReportFile costs a job of many files: MGET of 1,000 files of
4 KiB over loopback, each run a whole process (start-up, log-in, QUIT
included), with a report (A) and without (B), in turns A B A B ..., and
the ratio A/B taken pair by pair so that a drift of the machine's speed
does not move it. The server is pyftpdlib.

    /usr/bin/python3 bench/report.py [--exe build-release/qelta] [--files 1000] [--runs 9]
    /usr/bin/python3 bench/report.py --serve   # prints the two command lines and keeps
                                               # the server up, for a timer of one's own,
                                               # until Ctrl-C
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from ftpservers import PASSWORD, USER, running, start_pyftpdlib  # noqa: E402


def dos(path):
    return "C:" + str(path).replace("/", "\\")


def script(path, port, dest, report):
    lines = ["[QELTA]", f"FTPCommand1=CONN 127.0.0.1:{port}", f"FTPCommand2=USER {USER}",
             f"FTPCommand3=PASS {PASSWORD}", "FTPCommand4=TYPE I", "FTPCommand5=PASV",
             f"FTPCommand6=MGET pub/*.dat {dos(dest)}", "FTPCommand7=QUIT", "",
             "[Settings]", "Silent=1", "TimeOut=60"]
    if report:
        lines.append(f"ReportFile={dos(report)}")
    path.write_bytes(("\r\n".join(lines + [""]) + "\r\n").encode())
    return path


def timed(argv):
    start = time.monotonic()
    subprocess.run(argv, check=False, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=600)
    return time.monotonic() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=str(ROOT / "build-release" / "qelta"))
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--dir", default="/var/tmp", help="where the files live (/dev/shm: no disk)")
    ap.add_argument("--serve", action="store_true")
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="qelta-report-bench-", dir=args.dir))

    def start(base):
        pub = Path(base) / "home" / "pub"
        pub.mkdir(parents=True)
        for n in range(args.files):
            (pub / f"f{n:04d}.dat").write_bytes(os.urandom(4096))
        for p in (Path(base), Path(base) / "home", pub):
            p.chmod(0o755)
        return start_pyftpdlib(base)

    try:
        with running(start, "pyftpdlib-report-bench") as server:
            (work / "a").mkdir()
            (work / "b").mkdir()
            a = [args.exe, str(script(work / "a.ftp", server.port, work / "a", work / "a.jsonl"))]
            b = [args.exe, str(script(work / "b.ftp", server.port, work / "b", None))]
            if args.serve:
                print(" ".join(a), " ".join(b), sep="\n", flush=True)
                while True:
                    time.sleep(3600)
            timed(a), timed(b)  # warm-up
            pairs = [(timed(a), timed(b)) for _ in range(args.runs)]
            lines = (work / "a.jsonl").read_text().splitlines()
    finally:
        subprocess.run(["rm", "-rf", str(work)])
    med = lambda xs: statistics.median(xs)
    print(f"with ReportFile   {med([p[0] for p in pairs]):.3f} s (median of {args.runs})")
    print(f"without           {med([p[1] for p in pairs]):.3f} s")
    print(f"A/B pairwise      {med([p[0] / p[1] for p in pairs]):.3f}")
    print(f"report lines      {len(lines)} (last run)")


if __name__ == "__main__":
    main()
