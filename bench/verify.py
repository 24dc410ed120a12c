"""Times what Verify=1 costs a retrieval: one RETR of a large file (default
512 MiB) over loopback with Verify=0 and with Verify=1, each run a whole
process (start-up, log-in, QUIT included), paired by farm-bench (A is
Verify=1, B Verify=0). The server is a pyftpdlib that offers XSHA256 and
has its file's hash ready before the runs, so that the figure is the
client's cost (the digest taken while the data moves, FEAT, SIZE and
XSHA256) and not the server's hashing.

    /usr/bin/python3 bench/verify.py [--exe build-release/qelta] [--mib 512] [--runs 5]
"""
import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from ftpservers import PASSWORD, USER, running, start_pyftpdlib  # noqa: E402

SERVER = r"""
import hashlib, os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, proto_cmds
from pyftpdlib.servers import FTPServer
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
proto_cmds["XSHA256"] = dict(perm="r", auth=True, arg=True, help="Syntax: XSHA256 <SP> file")
known = {}
def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()
for name in os.listdir(os.path.join(home, "pub")):
    path = os.path.join(home, "pub", name)
    known[os.path.realpath(path)] = sha256(path)
class Hashing(FTPHandler):
    def ftp_FEAT(self, line):
        self.push("211-Features:\r\n EPSV\r\n PASV\r\n SIZE\r\n XSHA256\r\n211 End\r\n")
    def ftp_XSHA256(self, path):
        value = known.get(os.path.realpath(path)) or sha256(path)
        self.respond("213 " + value)
auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elr")
Hashing.authorizer = auth
Hashing.masquerade_address = "127.0.0.1"
FTPServer(("127.0.0.1", port), Hashing).serve_forever()
"""


def dos(path):
    return "C:" + str(path).replace("/", "\\")


def script(path, port, dest, verify):
    lines = ["[QELTA]", f"FTPCommand1=CONN 127.0.0.1:{port}", f"FTPCommand2=USER {USER}",
             f"FTPCommand3=PASS {PASSWORD}", "FTPCommand4=CHWD pub", "FTPCommand5=TYPE I",
             "FTPCommand6=PASV", f"FTPCommand7=RETR big.bin {dos(dest)}", "FTPCommand8=QUIT", "",
             "[Settings]", "Silent=1", "TimeOut=60", f"Verify={verify}", ""]
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode())
    return path


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=str(ROOT / "build-release" / "qelta"))
    ap.add_argument("--mib", type=int, default=512)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dir", default="/var/tmp", help="where the files live (/dev/shm: no disk)")
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="qelta-verify-bench-", dir=args.dir))

    def start(base):
        pub = Path(base) / "home" / "pub"
        pub.mkdir(parents=True)
        with open(pub / "big.bin", "wb") as f:
            for _ in range(args.mib):
                f.write(os.urandom(1 << 20))
        (pub / "big.bin").chmod(0o644)
        for p in (Path(base), Path(base) / "home", pub):
            p.chmod(0o755)
        return start_pyftpdlib(base, main=SERVER)

    with running(start, "pyftpdlib-xsha256") as server:
        on = script(work / "on.ftp", server.port, work / "on.bin", 1)
        off = script(work / "off.ftp", server.port, work / "off.bin", 0)
        # The hash of a file this large takes the server a while at start.
        subprocess.run([args.exe, str(on)], check=False, timeout=300)
        if b"Verified big.bin: " not in (work / "on.log").read_bytes():
            sys.exit("the Verify=1 run did not verify: " + (work / "on.err").read_text(errors="replace"))
        cmd = ["farm-bench", "-n", str(args.runs), "--timeout", "900",
               "--vs", f"{args.exe} {off}", "--", args.exe, str(on)]
        print(" ".join(cmd), flush=True)
        subprocess.run(cmd, check=False)
        for line in (work / "on.log").read_bytes().decode(errors="replace").splitlines():
            if line.startswith("Verified "):
                print(line)
    subprocess.run(["rm", "-rf", str(work)])


if __name__ == "__main__":
    main()
