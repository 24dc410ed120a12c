"""Times whole jobs of many small files over a line with a round trip, as a
user far from the server waits for them: each client started as a process,
start-up, log-in and QUIT included, all in the same run and in a new order
every round. Runs inside the client's network namespace; the vsftpd it
starts runs in the server's (--server-ns), behind bench/delayline.

  get   the files from the server (default 200 of 4 KiB)
  put   the same files to the server

Clients, all passive with EPSV:
  qelta c1, c4    MGET / MPUT with Connections=1 and Connections=4
  lftp            mget / mput (one connection)
  lftp -P4        mget -P 4 / mput -P 4
  lftp mirror4    mirror --parallel=4 (mirror -R for put)
  curl            one process given every URL (one connection)
  curl -Z4        the same with -Z --parallel-max 4

Prints each one's median whole time, its ratio to the fastest peer that
uses as many connections (one, or up to four), and the round trips per
file: time / (files * RTT). Run it through bench/latency.sh, which makes
the namespaces and the line; see bench/README.md."""
import argparse
import os
import pwd
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from jobs import digest, dos, run_benchmark, run_rounds, write_script  # noqa: E402  (the jobs benchmark's helpers)
from ftpservers import Server  # noqa: E402  (jobs puts the tests' folder on the path)

SERVER = "127.0.0.1"
PORT = 21
USER, PASSWORD = "anonymous", "bench@example.org"
URL = f"ftp://{SERVER}:{PORT}/pub/"
JOBS = ("get", "put")


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.names = [f"f{n:05d}.dat" for n in range(args.files)]
        root = work / "server" / "root"
        self.pub = root / "pub"
        self.served = self.pub / "many"   # what get fetches
        self.landing = self.pub / "up"    # where put sends
        self.outbox = work / "outbox"     # what put sends
        self.local = work / "local"
        for d in (self.served, self.outbox):
            d.mkdir(parents=True)
        for name in self.names:
            data = os.urandom(args.file_size)
            (self.served / name).write_bytes(data)
            (self.outbox / name).write_bytes(data)
            (self.served / name).chmod(0o644)
        self.want = digest(self.served)
        self.server = self.start_vsftpd(work / "server", root)

    def start_vsftpd(self, base, root):
        empty = base / "empty"
        empty.mkdir()
        for d in (self.work, base, root):
            d.chmod(0o755)
        self.pub.chmod(0o777)
        conf = base / "vsftpd.conf"
        # As bench/jobs.py's server (tests/integration/ftpservers.py), on the
        # server's own address and port 21 of its own namespace, with room
        # for a client's parallel connections.
        conf.write_text("\n".join([
            "listen=YES", "listen_ipv6=NO", f"listen_address={SERVER}", f"listen_port={PORT}",
            "background=NO", "seccomp_sandbox=NO", "run_as_launching_user=YES",
            "anonymous_enable=YES", "local_enable=NO", "no_anon_password=NO",
            f"anon_root={root}", "write_enable=YES", "anon_upload_enable=YES",
            "anon_mkdir_write_enable=YES", "anon_other_write_enable=YES",
            "anon_world_readable_only=NO", f"secure_chroot_dir={empty}", "xferlog_enable=NO",
            "syslog_enable=NO", "connect_from_port_20=NO", f"pasv_address={SERVER}",
            "pasv_enable=YES", "max_per_ip=10", "max_clients=50",
            "check_shell=NO", "userlist_enable=NO", "hide_ids=YES", "",
        ]))
        prefix = ["ip", "netns", "exec", self.args.server_ns]
        if os.geteuid() == 0:  # vsftpd wants its file to be its user's
            nobody = pwd.getpwnam("nobody")
            for p in (base, conf):
                os.chown(p, nobody.pw_uid, nobody.pw_gid)
            prefix += ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                       "--clear-groups"]
        errors = base / "vsftpd.err"
        with open(errors, "wb") as err:
            proc = subprocess.Popen(prefix + ["/usr/sbin/vsftpd", str(conf)],
                                    stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        deadline = time.time() + 10
        while True:
            if proc.poll() is not None:
                sys.exit(f"vsftpd exited with {proc.returncode}: "
                         f"{errors.read_text(errors='replace').strip()}")
            try:
                start = time.perf_counter()
                with socket.create_connection((SERVER, PORT), timeout=2) as s:
                    self.handshake = time.perf_counter() - start
                    s.recv(512)
                return proc
            except OSError:
                if time.time() > deadline:
                    proc.kill()
                    sys.exit("vsftpd did not answer through the delay line")
                time.sleep(0.1)

    # ---- the clients: argv(job) after prepare(job) -------------------------------------

    def qelta(self, connections):
        def argv(job):
            commands = [f"CONN {SERVER}:{PORT}", f"USER {USER}", f"PASS {PASSWORD}",
                        "TYPE I", "PASV"]
            if job == "get":
                commands.append(f"MGET pub/many/*.dat {dos(self.local)}")
            else:
                commands.append(f"MPUT pub/up/ {dos(self.outbox)}\\*.dat")
            script = self.work / f"qelta-{job}-{connections}.ftp"
            write_script(script, commands + ["QUIT"],
                         {"Silent": 1, "TimeOut": 60, "Connections": connections})
            return [str(self.args.qelta), str(script)]
        return argv

    def lftp(self, how):
        def argv(job):
            if how == "mirror":
                move = ("mirror --parallel=4 pub/many " + str(self.local) if job == "get" else
                        f"mirror -R --parallel=4 {self.outbox} pub/up")
            else:
                parallel = f"-P {how} " if how > 1 else ""
                move = (f"mget {parallel}-O {self.local} pub/many/*.dat" if job == "get" else
                        f"mput {parallel}-O pub/up {self.outbox}/*.dat")
            return ["lftp", "-u", f"{USER},{PASSWORD}", "-p", str(PORT),
                    "-e", "set ftp:passive-mode on; set ftp:prefer-epsv yes; "
                    "set ftp:ssl-allow no; set xfer:clobber on; set net:max-retries 1; "
                    f"{move}; bye", SERVER]
        return argv

    def curl(self, parallel):
        def argv(job):
            base = ["curl", "-sS", "--fail"]
            if parallel > 1:
                base += ["-Z", "--parallel-max", str(parallel)]
            if job == "get":
                pairs = [["-o", str(self.local / n), URL + "many/" + n] for n in self.names]
            else:
                pairs = [["-T", str(self.outbox / n), URL + "up/" + n] for n in self.names]
            return base + [a for pair in pairs for a in pair]
        return argv

    def clients(self):
        """(name, connections, argv_of): connections picks the peers a client is
        measured against."""
        found = [("qelta c1", 1, self.qelta(1)), ("qelta c4", 4, self.qelta(4))]
        found += [("lftp", 1, self.lftp(1)), ("lftp -P4", 4, self.lftp(4)),
                  ("lftp mirror4", 4, self.lftp("mirror")),
                  ("curl", 1, self.curl(1)), ("curl -Z4", 4, self.curl(4))]
        return found

    def cases(self):
        found = [(job, name, conns, argv_of) for job in JOBS
                 for name, conns, argv_of in self.clients()]
        wanted = self.args.only
        return [c for c in found if not wanted or any(w in f"{c[0]} {c[1]}" for w in wanted)]

    # ---- one timed run ----------------------------------------------------------------

    def prepare(self, job):
        folder = self.local if job == "get" else self.landing
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        folder.chmod(0o777)  # the server writes there as nobody

    def check(self, job):
        got = self.local if job == "get" else self.landing
        return digest(got) == self.want

    def run(self, job, name, argv_of):
        self.prepare(job)
        argv = argv_of(job)
        start = time.perf_counter()
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, cwd=self.work)
        seconds = time.perf_counter() - start
        if proc.returncode != 0 or not self.check(job):
            sys.exit(f"{job} by {name} failed (exit {proc.returncode}): {' '.join(argv[:12])}\n"
                     f"{proc.stderr.decode(errors='replace')[-2000:]}")
        return seconds

    def stop(self):
        Server("vsftpd", PORT, self.pub.parent, USER, PASSWORD, self.server).stop()


def report(results, bench, args):
    med = {key: statistics.median(runs) for key, runs in results.items()}
    rtt = args.rtt / 1000
    print(f"\n{args.files} files of {args.file_size} bytes, RTT {args.rtt:g} ms "
          f"(TCP connect through the line: {bench.handshake * 1000:.1f} ms); "
          f"medians of {args.runs}")
    print("ratio = time / the fastest peer with as many connections; "
          "RTT/file = time / (files * RTT)")
    print(f"{'job':<5}{'client':<14}{'conns':>6}{'median s':>10}{'min s':>8}{'max s':>8}"
          f"{'ratio':>7}{'RTT/file':>10}")
    for job in JOBS:
        for (j, name, conns) in results:
            if j != job:
                continue
            peers = [med[k] for k in med if k[0] == job and k[2] == conns
                     and not k[1].startswith("qelta")]
            whole = med[(j, name, conns)]
            ratio = f"{whole / min(peers):>7.2f}" if peers else f"{'':>7}"
            runs = results[(j, name, conns)]
            print(f"{job:<5}{name:<14}{conns:>6}{whole:>10.3f}{min(runs):>8.3f}{max(runs):>8.3f}"
                  f"{ratio}{whole / (args.files * rtt):>10.2f}")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qelta", type=Path, required=True)
    parser.add_argument("--server-ns", required=True, help="the server's network namespace")
    parser.add_argument("--rtt", type=float, default=20,
                        help="the line's round trip in ms, made by bench/latency.sh (20)")
    parser.add_argument("--files", type=int, default=200, help="files each way (200)")
    parser.add_argument("--file-size", type=int, default=4096, help="bytes of each (4096)")
    parser.add_argument("--runs", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--only", action="append", help="cases whose 'job client' holds this text")
    parser.add_argument("--tmp", default="/var/tmp", help="where the files live")
    args = parser.parse_args()
    args.qelta = args.qelta.resolve()
    if args.rtt <= 0:
        parser.error("--rtt must be above 0")
    return args


def main():
    args = parse_args()
    if not args.qelta.exists():
        sys.exit(f"{args.qelta} is missing: run bench/latency.sh, which builds it")
    work = Path(tempfile.mkdtemp(prefix="run-", dir=args.tmp))

    def body(bench):
        cases = bench.cases()
        if not cases:
            sys.exit("--only left no case")
        results = {(job, name, conns): [] for job, name, conns, _ in cases}
        print(f"{args.files} files of {args.file_size} bytes; RTT {args.rtt:g} ms; "
              f"{args.runs} rounds of {len(cases)} cases", flush=True)

        def run_case(job, name, conns, argv_of):
            results[(job, name, conns)].append(bench.run(job, name, argv_of))
        run_rounds(args.runs, cases, run_case)
        report(results, bench, args)
    run_benchmark(work, lambda: Bench(args, work), body)

if __name__ == "__main__":
    main()
