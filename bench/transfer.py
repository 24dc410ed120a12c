"""Times whole transfers against one local vsftpd: QELTA's RETR and STOR of
a large file at 512-byte blocks and at BlockSize=65536, next to a bare
recv+write loop in C (bench/bare_transfer.c) and, when installed, curl and
lftp. Every client uses a passive (PASV) data connection.

Each client is timed as a whole process twice: moving the large file, and
moving an empty one with the same commands. The difference is the
transfer's own time, without the start-up, the log-in and QUIT (QELTA
alone spends 0.7 s before its first command). Prints the medians, the
throughput ratios and the peak RSS of each client (GNU time's %M).

Run it through bench/transfer.sh, which builds what it needs; see
bench/README.md."""
import argparse
import filecmp
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from ftpservers import start_vsftpd  # noqa: E402  (the tests' way of starting it)

MiB = 1 << 20
KINDS = ("big", "empty")


def dos(path):
    """A local path as QELTA's scripts name it on Linux (C: is /)."""
    return "C:" + str(path).replace("/", "\\")


def write_script(path, commands, settings):
    lines = ["[QELTA]"] + [f"FTPCommand{n}={c}" for n, c in enumerate(commands, 1)]
    lines += ["", "[Settings]"] + [f"{k}={v}" for k, v in settings.items()] + [""]
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode("latin-1"))


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.server = start_vsftpd(work / "server")
        self.pub = self.server.home / "pub"
        self.local = work / "local"
        self.local.mkdir()
        self.size = {"big": args.size * MiB, "empty": 0}
        self.checked = set()
        self.make_data()

    def served(self, kind):
        return self.pub / f"{kind}.bin"

    def upload(self, kind):
        return self.local / f"{kind}-up.bin"

    def make_data(self):
        # Random, so that nothing on the way can shortcut it; the same bytes
        # go both ways.
        chunk = os.urandom(MiB)
        with open(self.served("big"), "wb") as f:
            for i in range(self.args.size):
                f.write(chunk[i % 251:] + chunk[:i % 251])
        self.served("empty").write_bytes(b"")
        for kind in KINDS:
            self.served(kind).chmod(0o644)  # the server runs as nobody
            shutil.copyfile(self.served(kind), self.upload(kind))

    # ---- the clients: each gives argv(kind, out) -----------------------------------

    def qelta(self, direction, block, exe):
        def argv(kind, out):
            transfer = (f"RETR {kind}.bin {dos(out)}" if direction == "retr"
                        else f"STOR {out.name} {dos(self.upload(kind))}")
            commands = [f"CONN 127.0.0.1:{self.server.port}", "USER anonymous",
                        "PASS bench@example.org", "CHWD pub", "TYPE I", "PASV", transfer, "QUIT"]
            settings = {"Silent": 1, "TimeOut": 60}
            if block != 512:
                settings["BlockSize"] = block
            script = self.work / f"qelta-{direction}-{block}-{kind}.ftp"
            write_script(script, commands, settings)
            return [str(exe), str(script)]
        return argv

    def bare(self, direction):
        def argv(kind, out):
            remote = f"{kind}.bin" if direction == "retr" else out.name
            local = out if direction == "retr" else self.upload(kind)
            return [str(self.args.bare), "127.0.0.1", str(self.server.port), direction,
                    f"pub/{remote}", str(local), "512"]
        return argv

    def curl(self, direction):
        def argv(kind, out):
            url = f"ftp://127.0.0.1:{self.server.port}/pub/"
            if direction == "retr":
                return ["curl", "-sS", "--disable-epsv", "-o", str(out), f"{url}{kind}.bin"]
            return ["curl", "-sS", "--disable-epsv", "-T", str(self.upload(kind)), url + out.name]
        return argv

    def lftp(self, direction):
        def argv(kind, out):
            move = (f"get pub/{kind}.bin -o {out}" if direction == "retr"
                    else f"put {self.upload(kind)} -o pub/{out.name}")
            return ["lftp", "-u", "anonymous,bench@example.org", "-p", str(self.server.port),
                    "-e", "set ftp:passive-mode on; set ftp:prefer-epsv no; set ftp:ssl-allow no; "
                    f"set xfer:clobber on; set net:max-retries 1; {move}; bye", "127.0.0.1"]
        return argv

    def cases(self):
        found = []
        programs = [("qelta", self.args.qelta)]
        if self.args.baseline:
            programs.append(("base", self.args.baseline))
        for direction in ("retr", "stor"):
            for label, exe in programs:
                found += [(f"{label} {direction} 512", self.qelta(direction, 512, exe)),
                          (f"{label} {direction} 65536", self.qelta(direction, 65536, exe))]
            found.append((f"bare {direction} 512", self.bare(direction)))
            for tool in ("curl", "lftp"):
                if shutil.which(tool):
                    found.append((f"{tool} {direction}", getattr(self, tool)(direction)))
        wanted = self.args.only
        return [c for c in found if not wanted or any(w in c[0] for w in wanted)]

    def out(self, name):
        return (self.local / "down.bin") if " retr" in name else (self.pub / "up.bin")

    # ---- one timed run ----------------------------------------------------------------

    def run(self, name, argv_of, kind):
        out = self.out(name)
        original = self.served(kind) if " retr" in name else self.upload(kind)
        argv = argv_of(kind, out)
        peak_file = self.work / "peak.txt"
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-q", "-f", "%M %U %S", "-o", str(peak_file)] + argv,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, cwd=self.work)
        seconds = time.perf_counter() - start
        ok = proc.returncode == 0 and out.exists() and out.stat().st_size == self.size[kind]
        if ok and (name, kind) not in self.checked:  # the bytes themselves, once per case
            ok = filecmp.cmp(out, original, shallow=False)
            self.checked.add((name, kind))
        if out.exists():
            out.unlink()
        if not ok:
            sys.exit(f"{name} ({kind}) failed (exit {proc.returncode}): {' '.join(argv)}\n"
                     f"{proc.stderr.decode(errors='replace')}")
        peak, user, system = peak_file.read_text().split()[-3:]
        return seconds, int(peak), float(user) + float(system)  # s, KiB, CPU s

    def stop(self):
        self.server.stop()


def report(results, size):
    mb = size / 1e6

    def median(case, kind, field):
        return statistics.median(r[field] for r in results[case][kind])

    whole = {n: median(n, "big", 0) for n in results}
    fixed = {n: median(n, "empty", 0) for n in results}
    # Each run's transfer time: its whole time less the median fixed cost.
    nets = {n: [max(r[0] - fixed[n], 1e-6) for r in results[n]["big"]] for n in results}
    net = {n: statistics.median(v) for n, v in nets.items()}
    cpu = {n: median(n, "big", 2) - median(n, "empty", 2) for n in results}
    peak = {n: max(r[1] for r in results[n]["big"] + results[n]["empty"]) for n in results}
    print(f"\n{'case':<18}{'whole s':>9}{'empty s':>9}{'net s':>8}{'MB/s':>7}"
          f"{'net min-max':>14}{'net cpu s':>11}{'peak RSS':>12}")
    for n in results:
        print(f"{n:<18}{whole[n]:>9.3f}{fixed[n]:>9.3f}{net[n]:>8.3f}{mb / net[n]:>7.0f}"
              f"{min(nets[n]):>7.3f}-{max(nets[n]):.3f}{cpu[n]:>11.3f}{peak[n] / 1024:>8.2f} MiB")

    def ratio(a, b, target, what):
        if a not in net or b not in net:
            return
        # a's throughput over b's, run by run (the runs of a round are
        # neighbours in time), then the median.
        r = statistics.median(y / x for x, y in zip(nets[a], nets[b]))
        verdict = "" if target is None else ("  ok" if r >= target else f"  BELOW {target:.2f}")
        print(f"{what:<46}{r:>6.2f}{verdict}")

    print("\nThroughput ratios (net times, median of the runs' ratios):")
    for d in ("retr", "stor"):
        for block in ("512", "65536"):
            ratio(f"qelta {d} {block}", f"base {d} {block}", None, f"qelta {d} {block} / baseline")
        ratio(f"qelta {d} 512", f"bare {d} 512", 0.80 if d == "retr" else None,
              f"qelta {d} 512 / bare loop")
        ratio(f"qelta {d} 65536", f"bare {d} 512", None, f"qelta {d} 65536 / bare loop")
        for tool in ("curl", "lftp"):
            ratio(f"qelta {d} 65536", f"{tool} {d}", None, f"qelta {d} 65536 / {tool}")
        tools = [f"{t} {d}" for t in ("curl", "lftp") if f"{t} {d}" in net]
        if tools:
            fastest = min(tools, key=lambda t: net[t])
            ratio(f"qelta {d} 65536", fastest, 1.0, f"qelta {d} 65536 / the faster tool")
    qelta_peak = [peak[n] for n in peak if n.startswith("qelta")]
    if qelta_peak:
        worst = max(qelta_peak) / 1024
        print(f"{'peak RSS of qelta, largest':<46}{worst:>6.2f} MiB"
              f"{'  ok' if worst < 4 else '  ABOVE 4'}")


def stop_on_term(signum, frame):
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qelta", type=Path, default=ROOT / "build-release" / "qelta")
    parser.add_argument("--bare", type=Path, default=ROOT / "build-release" / "bare_transfer")
    parser.add_argument("--baseline", type=Path,
                        help="another build of qelta, timed beside it as 'base' (before/after)")
    parser.add_argument("--size", type=int, default=512, help="MiB (default 512)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each case (default 5)")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else "/tmp",
                        help="where the files live (default /dev/shm: no disk in the figures)")
    parser.add_argument("--only", action="append", help="cases whose name holds this text")
    parser.add_argument("--serve", action="store_true",
                        help="start the server with its files, print the commands and wait")
    args = parser.parse_args()
    for exe in (args.qelta, args.bare) + ((args.baseline,) if args.baseline else ()):
        if not exe.exists():
            sys.exit(f"{exe} is missing: run bench/transfer.sh, which builds it")
    signal.signal(signal.SIGTERM, stop_on_term)
    work = Path(tempfile.mkdtemp(prefix="qelta-transfer-", dir=args.dir))
    work.chmod(0o755)  # vsftpd runs as nobody
    bench = None
    try:
        bench = Bench(args, work)
        if args.serve:
            print(f"vsftpd on 127.0.0.1:{bench.server.port} (pid {bench.server.proc.pid}), "
                  f"files in {bench.pub}. Ends on SIGINT or SIGTERM (pid {os.getpid()}).")
            for name, argv_of in bench.cases():
                print(f"  {name}: {' '.join(argv_of('big', bench.out(name)))}")
            sys.stdout.flush()
            while True:
                time.sleep(3600)
        cases = bench.cases()
        results = {name: {kind: [] for kind in KINDS} for name, _ in cases}
        print(f"{args.size} MiB, {args.runs} runs of each case, files in {work}", flush=True)
        order = random.Random(1)
        for run in range(args.runs):
            # Every case once a round, in a new order each round: drift in the
            # machine's speed and the after-effects of one run on the next
            # touch every case alike.
            order.shuffle(cases)
            for name, argv_of in cases:
                for kind in KINDS:
                    results[name][kind].append(bench.run(name, argv_of, kind))
            print(f"run {run + 1}/{args.runs} done", flush=True)
        report(results, args.size * MiB)
    except KeyboardInterrupt:
        pass
    finally:
        if bench:
            bench.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
