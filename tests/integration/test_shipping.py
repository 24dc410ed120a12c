"""The packages as operators get them. The .deb is unpacked with dpkg-deb
into a folder: its dependencies are the libraries the program links and
this machine satisfies them, its program runs jobs against a local FTP
server (the sample scripts among them), and man renders its page without
a warning. The Windows zip holds the program, the README and the samples,
and its program runs under Wine.

scripts/test builds the packages (with lintian) before the tests and says
so with QELTA_DIST_FRESH=1; otherwise they are built here first."""
import gzip
import os
import re
import struct
import subprocess
import zipfile

import pytest

import program_tables as tables
import wine
from conftest import read_ini, status_of, write_script
from ftpservers import vsftpd  # noqa: F401  (fixture)

ROOT = tables.ROOT
DIST = ROOT / "dist"
VERSION = tables.version()


@pytest.fixture(scope="module")
def packages():
    deb = DIST / f"qelta_{VERSION}_amd64.deb"
    zip_ = DIST / f"qelta-{VERSION}-windows.zip"
    if os.environ.get("QELTA_DIST_FRESH") != "1" or not (deb.exists() and zip_.exists()):
        r = subprocess.run([str(ROOT / "scripts" / "package"), "--no-lintian"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=900)
        assert r.returncode == 0, (r.stdout + r.stderr).decode(errors="replace")[-3000:]
    return deb, zip_


@pytest.fixture(scope="module")
def installed(packages, tmp_path_factory):
    """The .deb's files under a folder of their own, as dpkg would lay them out."""
    root = tmp_path_factory.mktemp("deb-root")
    subprocess.run(["dpkg-deb", "-x", str(packages[0]), str(root)], check=True)
    return root


def dos(path):
    return "C:" + str(path).replace("/", "\\")


def run_installed(installed, script, env=None):
    environment = {k: v for k, v in os.environ.items() if k != "TERM"}
    environment.update(env or {})
    return subprocess.run([str(installed / "usr" / "bin" / "qelta"), str(script)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                          env=environment)


# ---- the Debian package ------------------------------------------------------------

def control(deb):
    fields = ["Package", "Version", "Architecture", "Depends", "Section", "Priority",
              "Maintainer", "Description", "Suggests"]
    out = subprocess.run(["dpkg-deb", "-f", str(deb), *fields], capture_output=True,
                         check=True).stdout.decode()
    values = {}
    for line in out.splitlines():
        m = re.match(r"^(\w+): (.*)$", line)
        if m:
            key = m.group(1)
            values[key] = m.group(2)
        else:
            values[key] += "\n" + line
    return values


def installed_version(name):
    """The installed version of a dependency of the amd64 package."""
    for query in (f"{name}:amd64", name):
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}\n", query],
                           capture_output=True, text=True)
        m = re.match(r"install ok installed (\S+)$", r.stdout.strip())
        if m:
            return m.group(1)
    return None


def test_deb_fields_and_dependencies_found_not_typed(packages):
    deb, _ = packages
    assert deb.name == f"qelta_{VERSION}_amd64.deb"
    c = control(deb)
    assert (c["Package"], c["Version"], c["Architecture"]) == ("qelta", VERSION, "amd64")
    assert c["Section"] == "net" and c["Priority"] == "optional"
    synopsis, _, extended = c["Description"].partition("\n")
    assert synopsis == "unattended, script-driven FTP client" and len(extended) > 200
    depends = [d.strip() for d in c["Depends"].split(",")]
    names = [re.match(r"[\w.+-]+", d).group(0) for d in depends]
    # dpkg-shlibdeps names the libraries the program links, with versions;
    # a build with sanitizers would show their runtimes here.
    assert {"libc6", "libstdc++6"} <= set(names), depends
    # OpenSSL is loaded only for TLS, so no link names it; the package must.
    assert "libssl3" in names, depends
    assert not [n for n in names if "asan" in n or "ubsan" in n]
    for dep in depends:
        m = re.match(r"([\w.+-]+)(?: \(([<>=]+) ([^)]+)\))?$", dep)
        assert m, dep
        have = installed_version(m.group(1))
        assert have, f"{m.group(1)} is not installed here"
        if m.group(2):
            ok = subprocess.run(["dpkg", "--compare-versions", have, m.group(2), m.group(3)])
            assert ok.returncode == 0, f"{dep}: this machine has {have}"


def test_deb_files(installed):
    usr = installed / "usr"
    program = usr / "bin" / "qelta"
    assert program.is_file() and os.access(program, os.X_OK)
    docs = usr / "share" / "doc" / "qelta"
    assert (docs / "README.md").read_bytes() == (ROOT / "README.md").read_bytes()
    assert "Copyright" in (docs / "copyright").read_text()
    changelog = gzip.decompress((docs / "changelog.gz").read_bytes()).decode()
    assert changelog.startswith(f"qelta ({VERSION}) ")
    for sample in (ROOT / "doc" / "examples").rglob("*"):
        if sample.is_file():
            shipped = docs / "examples" / sample.relative_to(ROOT / "doc" / "examples")
            assert shipped.read_bytes() == sample.read_bytes(), sample.name
    assert (usr / "share" / "lintian" / "overrides" / "qelta").is_file()
    # Only compressed pages: man finds either, Debian wants these.
    assert [p.name for p in (usr / "share" / "man" / "man1").iterdir()] == ["qelta.1.gz"]


def test_installed_program_checks_the_installed_samples_clean(installed):
    samples = sorted((installed / "usr" / "share" / "doc" / "qelta" / "examples").glob("*.ftp"))
    assert len(samples) >= 3
    r = subprocess.run([str(installed / "usr" / "bin" / "qelta"), "--check", *map(str, samples)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")


def test_installed_page_renders_without_warnings(installed):
    page = installed / "usr" / "share" / "man" / "man1" / "qelta.1.gz"
    env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "MANWIDTH": "80"}
    r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", str(page)],
                       capture_output=True, env=env)
    assert r.returncode == 0 and r.stderr == b"", r.stderr.decode()
    text = subprocess.run(["man", "-l", str(page)], capture_output=True, env=env,
                          check=True).stdout.decode()
    for heading in ("SYNOPSIS", "COMMANDS", "SETTINGS", "THE STATUS SECTION", "DRIVE LETTERS",
                    "SIGNALS", "EXIT STATUS", "FILES", "EXAMPLES"):
        assert re.search(r"^%s$" % heading, text, re.M), heading
    assert f"QELTA v{VERSION}" in text


def test_installed_program_runs_a_job_and_reports_by_exit_status(installed, vsftpd, tmp_path):
    r = subprocess.run([str(installed / "usr" / "bin" / "qelta"), "--version"],
                       capture_output=True, check=True)
    assert r.stdout == f"QELTA v{VERSION}\n".encode()
    data = os.urandom(300000)
    (tmp_path / "data.bin").write_bytes(data)
    login = [f"CONN 127.0.0.1:{vsftpd.port}", f"USER {vsftpd.user}", f"PASS {vsftpd.password}",
             "TYPE I"]
    job = write_script(tmp_path / "job.ftp", login + [
        "PASV", f"STOR pub/up.bin {dos(tmp_path / 'data.bin')}",
        "PORT", f"RETR pub/up.bin {dos(tmp_path / 'back.bin')}",
        "PASV", f"LIST pub {dos(tmp_path / 'list.txt')}", "QUIT"],
        {"Silent": 1, "ProcessExitCode": 1, "StatFile": dos(tmp_path / "job.sta")})
    r = run_installed(installed, job)
    assert r.returncode == 0, (r.stderr, (tmp_path / "job.err").read_bytes())
    status = status_of(job)
    assert status["exitcode"] == "Success"
    assert [status[f"commandstatus{n}"] for n in range(1, 12)] == ["Success"] * 11
    assert (tmp_path / "back.bin").read_bytes() == data
    assert b"up.bin" in (tmp_path / "list.txt").read_bytes()
    stats = (tmp_path / "job.sta").read_bytes()
    assert b"data.bin" in stats and b"up.bin" in stats

    failing = write_script(tmp_path / "fail.ftp", login + [
        "PASV", f"RETR pub/missing.bin {dos(tmp_path / 'missing.bin')}", "QUIT"],
        {"Silent": 1, "ProcessExitCode": 1})
    r = run_installed(installed, failing)
    assert r.returncode == 1
    status = status_of(failing)
    assert status["exitcode"] == "Failure"
    # A fresh script: the failed line gets no key, the lines before it theirs.
    assert status["commandstatus5"] == "Success" and "commandstatus6" not in status
    assert b"550" in (tmp_path / "fail.err").read_bytes()
    assert not [p for p in os.listdir(tmp_path) if p.startswith("missing.bin")]


# ---- the samples, run as shipped against a local server ---------------------------------

def sample_job(installed, name, server, wait="0:01", rounds=1):
    """The installed sample with the server, the login and the waits of this
    test in place of the sample's own."""
    text = (installed / "usr" / "share" / "doc" / "qelta" / "examples" / name).read_text()
    text = re.sub(r"^(FTPCommand\d+)=CONN .*$", rf"\1=CONN 127.0.0.1:{server.port}", text, flags=re.M)
    text = re.sub(r"^(FTPCommand\d+)=USER .*$", rf"\1=USER {server.user}", text, flags=re.M)
    text = re.sub(r"^(FTPCommand\d+)=PASS\b.*$", rf"\1=PASS {server.password}", text, flags=re.M)
    text = re.sub(r"^(FTPCommand\d+)=WFOR .*$", rf"\1=WFOR {wait}", text, flags=re.M)
    text = re.sub(r"^(FTPCommand\d+)=GOTO (\d+):\d+$", rf"\1=GOTO \2:{rounds}", text, flags=re.M)
    # The test's vsftpd runs as the launching user and so does not chroot:
    # "/" would be this machine's root. The samples' folders live in its home.
    text = re.sub(r"^(FTPCommand\d+=(?:MGET|MGTC|MDIR|MPUT) )/", r"\1", text, flags=re.M)
    return text


def serve(server, folder, files=None, writable=False):
    d = server.home / folder
    d.mkdir(parents=True, exist_ok=True)
    d.chmod(0o777 if writable else 0o755)
    for name, data in (files or {}).items():
        (d / name).write_bytes(data)
        (d / name).chmod(0o644)
    return d


def run_sample(installed, tmp_path, text):
    script = tmp_path / "jobs" / "job.ftp"
    script.parent.mkdir(parents=True, exist_ok=True)
    script.write_text(text)
    r = run_installed(installed, script, env={"QELTA_DRIVE_C": str(tmp_path)})
    err = (tmp_path / "jobs" / "job.err").read_bytes() if (tmp_path / "jobs" / "job.err").exists() else b""
    assert r.returncode == 0, (r.stderr, err)
    status = status_of(script)
    assert status["exitcode"] == "Success"
    assert set(v for k, v in status.items() if k.startswith("commandstatus")) == {"Success"}
    return script


def test_sample_fetch_nightly(installed, vsftpd, tmp_path):
    text = sample_job(installed, "fetch-nightly.ftp", vsftpd)
    serve(vsftpd, "outgoing", {"a.csv": b"1,2\r\n", "B.CSV": b"3,4\r\n", ".hidden.csv": b"x",
                               "notes.txt": b"y"})
    (tmp_path / "jobs" / "in").mkdir(parents=True)
    run_sample(installed, tmp_path, text)
    assert sorted(os.listdir(tmp_path / "jobs" / "in")) == ["B.CSV", "a.csv"]
    assert (tmp_path / "jobs" / "in" / "a.csv").read_bytes() == b"1,2\r\n"
    assert (tmp_path / "jobs" / "fetch.sta").read_bytes().lower().count(b".csv") == 2


def test_sample_push_and_clean(installed, vsftpd, tmp_path):
    text = sample_job(installed, "push-and-clean.ftp", vsftpd)
    serve(vsftpd, "incoming", writable=True)
    out = tmp_path / "jobs" / "out"
    out.mkdir(parents=True)
    sent = {"a.xml": os.urandom(5000), "b.xml": b"<b/>"}
    for name, data in sent.items():
        (out / name).write_bytes(data)
    (out / "keep.txt").write_bytes(b"not sent")
    run_sample(installed, tmp_path, text)
    remote = vsftpd.home / "incoming" / "today"
    assert {p.name: p.read_bytes() for p in remote.iterdir()} == sent
    assert os.listdir(out) == ["keep.txt"]


def test_sample_poll(installed, vsftpd, tmp_path):
    text = sample_job(installed, "poll.ftp", vsftpd, wait="0:01", rounds=1)
    serve(vsftpd, "reports", {"old.pdf": b"server copy", "new.pdf": b"%PDF new"})
    reports = tmp_path / "jobs" / "reports"
    reports.mkdir(parents=True)
    (reports / "old.pdf").write_bytes(b"fetched before")
    script = run_sample(installed, tmp_path, text)
    assert (reports / "new.pdf").read_bytes() == b"%PDF new"
    assert (reports / "old.pdf").read_bytes() == b"fetched before"
    # Two rounds: the second logged in again.
    assert (tmp_path / "jobs" / "job.log").read_bytes().count(b"230 ") >= 2
    assert read_ini(script)["status"]["commandstatus9"] == "Success"


# ---- the Windows zip ---------------------------------------------------------------------

def test_windows_zip_holds_both_programs_readme_and_samples(packages, tmp_path):
    _, zip_ = packages
    top = f"qelta-{VERSION}-windows/"
    with zipfile.ZipFile(zip_) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        samples = {top + "examples/" + p.name for p in (ROOT / "doc" / "examples").glob("*.ftp")}
        programs = {top + "qelta32.exe", top + "qelta64.exe"}
        assert names == programs | {top + "README.md", top + "copyright"} | samples
        assert z.read(top + "README.md") == (ROOT / "README.md").read_bytes()
        z.extractall(tmp_path)
    for bits, machine in ((32, 0x14C), (64, 0x8664)):
        head = (tmp_path / top / f"qelta{bits}.exe").read_bytes()[:4096]
        pe = struct.unpack_from("<I", head, 0x3C)[0]
        assert head[:2] == b"MZ" and head[pe:pe + 4] == b"PE\0\0"
        assert struct.unpack_from("<H", head, pe + 4)[0] == machine
    # Each zipped program runs on its own (no DLLs beside it): the 64-bit
    # one on every host, the 32-bit one where the host runs 32-bit code.
    widths = (64, 32) if wine.BITS == 32 else (64,)
    for bits in widths:
        wine.ensure_prefix(bits)
        script = write_script(tmp_path / f"zip{bits}.ftp", ["NONE"], {"Silent": 1, "ProcessExitCode": 1})
        rc, _, _ = wine.run_exe(str(tmp_path / top / f"qelta{bits}.exe"), wine.win_path(script), timeout=60)
        assert rc == 0
        assert status_of(script)["exitcode"] == "Success"
