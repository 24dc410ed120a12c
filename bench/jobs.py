"""Times whole jobs as a user waits for them: each client started as a
process, start-up, log-in and QUIT included, against one local vsftpd, in
the same run and in a new order every round. The jobs:

  retr    RETR of one large file (default 512 MiB)
  stor    STOR of the same file
  mget    MGET of many small files (default 1,000 of 4 KiB)
  login   log in and quit

Clients: QELTA with no setting changed (and, with --baseline, another
build of it), curl (retr, stor, login: -I with a NOOP) and lftp (every
job), all in passive mode with EPSV.
Prints for every job the median whole time of each client, its ratio to
the faster of curl and lftp (below 1.00 is faster), its CPU seconds per GB
moved and its peak RSS (GNU time); then, second, the transfers' net
figures (the whole time less the same client's moving an empty file).

With --tls every job runs over explicit TLS on a vsftpd that demands it
for log-in and data and demands the data connections resume the control
connection's session (QELTA with TLS=Explicit and the server's certificate
as its TLSCAFile, curl with --ssl-reqd, lftp with ssl-force); the jobs
are then retr and stor unless --only says otherwise.

Files live on disk (a folder under /var/tmp) unless --dir says otherwise
(/dev/shm takes the disk out of the figures); --server-dir puts the
server's own files elsewhere. Run it through bench/jobs.sh,
which builds what it needs; see bench/README.md."""
import argparse
import filecmp
import hashlib
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
JOBS = ("retr", "stor", "mget", "login")
PEERS = ("curl", "lftp")
# The clients each job is timed with, besides QELTA.
# curl has no mget: given the 1,000 names on one connection it took 99 s
# (about 0.1 s a file), so it is timed for the log-in only.
PEERS_OF = {"retr": PEERS, "stor": PEERS, "mget": ("lftp",), "login": PEERS}


def dos(path):
    """A local path as QELTA's scripts name it on Linux (C: is /)."""
    return "C:" + str(path).replace("/", "\\")


def write_script(path, commands, settings):
    lines = ["[QELTA]"] + [f"FTPCommand{n}={c}" for n, c in enumerate(commands, 1)]
    lines += ["", "[Settings]"] + [f"{k}={v}" for k, v in settings.items()] + [""]
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode("latin-1"))


def digest(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in folder.iterdir()}


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        served = Path(tempfile.mkdtemp(prefix="qelta-served-", dir=args.server_dir or work))
        served.chmod(0o755)  # vsftpd runs as nobody
        self.served_root = served
        self.cert = None
        extra = ()
        if args.tls:
            self.cert = served / "cert.pem"
            key = served / "key.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "2",
                            "-keyout", str(key), "-out", str(self.cert)], check=True,
                           capture_output=True)
            for p in (self.cert, key):
                p.chmod(0o644)
            extra = ("ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
                     "force_anon_data_ssl=YES", "require_ssl_reuse=YES",
                     f"rsa_cert_file={self.cert}", f"rsa_private_key_file={key}")
        self.server = start_vsftpd(served / "server", extra)
        self.url = f"ftp://127.0.0.1:{self.server.port}/pub/"
        self.pub = self.server.home / "pub"
        self.many = self.pub / "many"
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
        self.many.mkdir()
        for n in range(self.args.files):
            path = self.many / f"f{n:05d}.dat"
            path.write_bytes(os.urandom(self.args.file_size))
            path.chmod(0o644)
        self.many_digest = digest(self.many)
        for kind in ("big", "empty"):
            self.served(kind).chmod(0o644)  # the server runs as nobody
            shutil.copyfile(self.served(kind), self.upload(kind))

    # ---- the clients: argv(job, kind, out) --------------------------------------------

    def qelta(self, exe):
        def argv(job, kind, out):
            commands = [f"CONN 127.0.0.1:{self.server.port}", "USER anonymous",
                        "PASS bench@example.org"]
            if job == "retr":
                commands += ["CHWD pub", "TYPE I", "PASV", f"RETR {kind}.bin {dos(out)}"]
            elif job == "stor":
                commands += ["CHWD pub", "TYPE I", "PASV", f"STOR {out.name} {dos(self.upload(kind))}"]
            elif job == "mget":
                commands += ["TYPE I", "PASV", f"MGET pub/many/*.dat {dos(out)}"]
            script = self.work / f"qelta-{job}-{kind}.ftp"
            tls = {"TLS": "Explicit", "TLSCAFile": dos(self.cert)} if self.cert else {}
            write_script(script, commands + ["QUIT"], {"Silent": 1, "TimeOut": 60, **tls})
            return [str(exe), str(script)]
        return argv

    def curl(self, job, kind, out):
        # EPSV, curl's default, as QELTA's passive mode now sends it.
        base = ["curl", "-sS"]
        if self.cert:
            base += ["--ssl-reqd", "--cacert", str(self.cert)]
        if job == "retr":
            return base + ["-o", str(out), f"{self.url}{kind}.bin"]
        if job == "login":
            return base + ["-I", "-Q", "NOOP", self.url]
        return base + ["-T", str(self.upload(kind)), self.url + out.name]

    def lftp(self, job, kind, out):
        moves = {"retr": lambda: f"get pub/{kind}.bin -o {out}",
                 "stor": lambda: f"put {self.upload(kind)} -o pub/{out.name}",
                 "mget": lambda: f"mget -O {out} pub/many/*.dat",
                 "login": lambda: "quote NOOP"}
        ssl = (f"set ftp:ssl-force yes; set ftp:ssl-protect-data yes; set ssl:ca-file {self.cert}; "
               if self.cert else "set ftp:ssl-allow no; ")
        return ["lftp", "-u", "anonymous,bench@example.org", "-p", str(self.server.port),
                "-e", "set ftp:passive-mode on; set ftp:prefer-epsv yes; " + ssl +
                f"set xfer:clobber on; set net:max-retries 1; {moves[job]()}; bye", "127.0.0.1"]

    def clients(self):
        found = [("qelta", self.qelta(self.args.qelta))]
        if self.args.baseline:
            found.append(("base", self.qelta(self.args.baseline)))
        found += [(tool, getattr(self, tool)) for tool in PEERS if shutil.which(tool)]
        return found

    def cases(self):
        """(job, client, argv_of, kinds): the empty kind gives the fixed cost."""
        found = []
        for job in JOBS:
            if self.args.tls and not self.args.only and job not in ("retr", "stor"):
                continue
            for name, argv_of in self.clients():
                if name in PEERS and name not in PEERS_OF[job]:
                    continue
                kinds = ("big", "empty") if job in ("retr", "stor") else ("big",)
                found.append((job, name, argv_of, kinds))
        wanted = self.args.only
        return [c for c in found if not wanted or any(w in f"{c[0]} {c[1]}" for w in wanted)]

    # ---- one timed run ----------------------------------------------------------------

    def out(self, job):
        if job == "retr":
            return self.local / "down.bin"
        if job == "stor":
            return self.pub / "up.bin"
        folder = self.local / "many"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        return folder

    def check(self, job, name, kind, out):
        if job == "login":
            return True
        if job == "mget":
            return digest(out) == self.many_digest
        if not out.exists() or out.stat().st_size != self.size[kind]:
            return False
        if (job, name, kind) in self.checked:  # the bytes themselves, once per case
            return True
        self.checked.add((job, name, kind))
        return filecmp.cmp(out, self.served(kind) if job == "retr" else self.upload(kind),
                           shallow=False)

    def run(self, job, name, argv_of, kind):
        out = self.out(job)
        argv = argv_of(job, kind, out)
        measured = self.work / "time.txt"
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-q", "-f", "%M %U %S", "-o", str(measured)] + argv,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, cwd=self.work)
        seconds = time.perf_counter() - start
        ok = proc.returncode == 0 and self.check(job, name, kind, out)
        if out.is_dir():
            shutil.rmtree(out)
        elif out.exists():
            out.unlink()
        if not ok:
            sys.exit(f"{job} by {name} ({kind}) failed (exit {proc.returncode}): {' '.join(argv)}\n"
                     f"{proc.stderr.decode(errors='replace')}")
        peak, user, system = measured.read_text().split()[-3:]
        return seconds, int(peak), float(user) + float(system)  # s, KiB, CPU s

    def stop(self):
        self.server.stop()
        shutil.rmtree(self.served_root, ignore_errors=True)


# ---- the report ------------------------------------------------------------------------

def moved_gb(job, args):
    if job in ("retr", "stor"):
        return args.size * MiB / 1e9
    if job == "mget":
        return args.files * args.file_size / 1e9
    return 0


def report(results, args):
    med = {key: statistics.median(r[0] for r in runs) for key, runs in results.items()}
    print(f"\nWhole jobs (medians of {args.runs}); ratio = time / the faster peer's time")
    print(f"{'job':<7}{'client':<7}{'whole s':>9}{'ratio':>7}{'CPU s/GB':>10}{'peak RSS':>11}")
    for job in JOBS:
        peers = [med[(job, p, "big")] for p in PEERS if (job, p, "big") in med]
        fastest = min(peers) if peers else None
        for (j, name, kind), runs in results.items():
            if j != job or kind != "big":
                continue
            whole = med[(j, name, kind)]
            ratio = f"{whole / fastest:>7.2f}" if fastest else f"{'':>7}"
            gb = moved_gb(job, args)
            cpu = statistics.median(r[2] for r in runs)
            cpu_text = f"{cpu / gb:>10.2f}" if gb else f"{cpu:>9.3f}s"
            peak = max(r[1] for r in runs) / 1024
            print(f"{job:<7}{name:<7}{whole:>9.3f}{ratio}{cpu_text}{peak:>7.2f} MiB")
    print("\nNet transfers (whole time less the same client's run with an empty file)")
    print(f"{'job':<7}{'client':<7}{'net s':>8}{'MB/s':>8}")
    for (job, name, kind) in results:
        if kind != "big" or (job, name, "empty") not in med:
            continue
        net = max(med[(job, name, "big")] - med[(job, name, "empty")], 1e-6)
        print(f"{job:<7}{name:<7}{net:>8.3f}{args.size * MiB / 1e6 / net:>8.0f}")


def stop_on_term(signum, frame):
    raise KeyboardInterrupt


def run_benchmark(work, make_bench, body):
    """body(bench) with the bench make_bench() starts; the bench is stopped
    and work removed whatever happens, and SIGTERM or Ctrl-C ends it all
    quietly. Shared with bench/latency.py."""
    signal.signal(signal.SIGTERM, stop_on_term)
    bench = None
    try:
        bench = make_bench()
        body(bench)
    except KeyboardInterrupt:
        pass
    finally:
        if bench:
            bench.stop()
        shutil.rmtree(work, ignore_errors=True)


def run_rounds(runs, cases, run_case):
    """Every case once a round, in a new order each round: drift in the
    machine's speed touches every client alike."""
    order = random.Random(1)
    for n in range(runs):
        order.shuffle(cases)
        for case in cases:
            run_case(*case)
        print(f"round {n + 1}/{runs} done", flush=True)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qelta", type=Path, default=ROOT / "build-release" / "qelta")
    parser.add_argument("--baseline", type=Path,
                        help="another build of qelta, timed beside it as 'base' (before/after)")
    parser.add_argument("--size", type=int, default=512, help="MiB of the large file (512)")
    parser.add_argument("--files", type=int, default=1000, help="files of the MGET (1000)")
    parser.add_argument("--file-size", type=int, default=4096, help="bytes of each (4096)")
    parser.add_argument("--runs", type=int, default=5, help="rounds (default 5)")
    parser.add_argument("--dir", default="/var/tmp",
                        help="where the files live (default /var/tmp, on disk; /dev/shm for none)")
    parser.add_argument("--server-dir",
                        help="where the server's files live (default: with the client's); a "
                             "server on another disk, as a real one is, keeps its writes out of "
                             "the client's fsync of the script")
    parser.add_argument("--only", action="append", help="cases whose 'job client' holds this text")
    parser.add_argument("--tls", action="store_true",
                        help="every job over explicit TLS (retr and stor unless --only)")
    args = parser.parse_args()
    args.qelta = args.qelta.resolve()
    args.baseline = args.baseline.resolve() if args.baseline else None
    return args


def main():
    args = parse_args()
    for exe in (args.qelta,) + ((args.baseline,) if args.baseline else ()):
        if not exe.exists():
            sys.exit(f"{exe} is missing: run bench/jobs.sh, which builds it")
    work = Path(tempfile.mkdtemp(prefix="qelta-jobs-", dir=args.dir))
    work.chmod(0o755)  # vsftpd runs as nobody

    def body(bench):
        cases = bench.cases()
        results = {(job, name, kind): [] for job, name, _, kinds in cases for kind in kinds}
        print(f"{'TLS; ' if args.tls else ''}{args.size} MiB; {args.files} files of {args.file_size} bytes; "
              f"{args.runs} rounds; files in {work}", flush=True)

        def run_case(job, name, argv_of, kinds):
            for kind in kinds:
                results[(job, name, kind)].append(bench.run(job, name, argv_of, kind))
        run_rounds(args.runs, cases, run_case)
        report(results, args)
    run_benchmark(work, lambda: Bench(args, work), body)

if __name__ == "__main__":
    main()
