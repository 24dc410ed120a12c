"""FTP over TLS, on both builds, against vsftpd (explicit and implicit,
TLS required for log-in and data, and on Linux the data connection's
session required to resume the control connection's), pyftpdlib and
pure-ftpd with TLS, and a scripted server for what real servers will not
do on demand. The certificates are made here, at test time.

Wine's Schannel cannot resume a TLS session, so the Windows program is run
against servers that do not require it."""
import contextlib
import os
import re
import shutil
import signal
import ssl
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import status_of, write_script
import wine
from ftpservers import RecordingProxy, running, start_pureftpd, start_pyftpdlib, start_vsftpd
from scripted_server import ScriptedServer
from test_transfers import dos

OPENSSL = shutil.which("openssl")
pytestmark = pytest.mark.skipif(OPENSSL is None, reason="openssl is not installed")

BIG = os.urandom(3 * 1024 * 1024 + 517)
PASSWORD = "Marker-Pass-7741"  # anonymous servers take any; it must never cross in clear


def openssl(*args, cwd):
    subprocess.run([OPENSSL, *args], cwd=cwd, check=True, capture_output=True)


class Certs:
    """A test authority, certificates it signed for 127.0.0.1, for ::1 and
    for another name, and a self-signed one for 127.0.0.1."""

    def __init__(self, folder):
        self.dir = Path(folder)
        d = self.dir
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=QELTA test CA",
                "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", cwd=d)
        for name, san in (("good", "IP:127.0.0.1"), ("wrong", "DNS:wrong.example"),
                          ("six", "IP:::1")):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={san.split(':', 1)[1]}",
                    "-keyout", f"{name}.key", "-out", f"{name}.csr", cwd=d)
            (d / f"{name}.ext").write_text(f"subjectAltName={san}\n")
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", "-extfile", f"{name}.ext",
                    "-out", f"{name}.pem", cwd=d)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", "self.key",
                "-out", "self.pem", "-days", "2", cwd=d)
        for name in ("good", "wrong", "self"):
            # pyftpdlib and pure-ftpd take certificate and key in one file.
            (d / f"{name}.both").write_bytes((d / f"{name}.pem").read_bytes() +
                                             (d / f"{name}.key").read_bytes())
        for p in d.iterdir():
            p.chmod(0o644)
        d.chmod(0o755)

    def fingerprint(self, name):
        out = subprocess.run([OPENSSL, "x509", "-in", str(self.dir / f"{name}.pem"), "-noout",
                              "-fingerprint", "-sha256"], capture_output=True, text=True,
                             check=True).stdout
        return out.strip().split("=", 1)[1]  # AA:BB:...


@pytest.fixture(scope="module")
def certs():
    folder = tempfile.mkdtemp(prefix="qelta-certs-")
    try:
        yield Certs(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def vsftpd_tls(certs, cert="good", implicit=False, reuse=True, force_data=True):
    lines = ["ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
             f"force_anon_data_ssl={'YES' if force_data else 'NO'}",
             f"require_ssl_reuse={'YES' if reuse else 'NO'}",
             f"rsa_cert_file={certs.dir / (cert + '.pem')}",
             f"rsa_private_key_file={certs.dir / (cert + '.key')}"]
    if implicit:
        lines.append("implicit_ssl=YES")
    return lines


@pytest.fixture(scope="module")
def servers(certs):
    """TLS servers shared by the module's cases, made on first use."""
    made = {}
    with contextlib.ExitStack() as stack:
        def get(**kw):
            key = tuple(sorted(kw.items()))
            if key not in made:
                made[key] = stack.enter_context(
                    running(start_vsftpd, "vsftpd-tls", vsftpd_tls(certs, **kw)))
                pub = made[key].home / "pub"
                (pub / "big.bin").write_bytes(BIG)
                (pub / "big.bin").chmod(0o644)
            return made[key]
        yield get


def run_job(qelta, tmp_path, commands, settings, name="job.ftp", timeout=120):
    script = write_script(tmp_path / name, commands,
                          {"Silent": 1, "TimeOut": 20, "Debug": 1, **settings})
    qelta.run(script, timeout=timeout)
    stem = tmp_path / Path(name).stem
    log = (stem.with_suffix(".log")).read_bytes() if stem.with_suffix(".log").exists() else b""
    err = (stem.with_suffix(".err")).read_bytes() if stem.with_suffix(".err").exists() else b""
    return status_of(script), log, err


def login(port):
    return [f"CONN 127.0.0.1:{port}", "USER anonymous", f"PASS {PASSWORD}"]


def all_success(status, count):
    return status.get("exitcode") == "Success" and all(
        status.get(f"commandstatus{i}") == "Success" for i in range(1, count + 1))


# ---- Transfers -------------------------------------------------------------------------

# Each way in also tries one way of trusting the server.
WAYS = [
    ("explicit", 1, "pin"),         # PASV, the fingerprint as openssl prints it
    ("explicit", 0, "pin-plain"),   # PORT, lower case without colons
    ("implicit", 1, "ca"),          # PASV, the test authority in TLSCAFile
    ("implicit", 0, "pin-mixed"),   # PORT, mixed case with colons
]


def trust(certs, qelta, how):
    fp = certs.fingerprint("good")
    if how == "pin":
        return {"TLSFingerprint": fp}
    if how == "pin-plain":
        return {"TLSFingerprint": fp.replace(":", "").lower()}
    if how == "pin-mixed":
        return {"TLSFingerprint": fp[:40].lower() + fp[40:]}
    return {"TLSCAFile": dos(qelta, certs.dir / "ca.pem")}


@pytest.mark.parametrize("mode,pasv,how", WAYS)
def test_transfers_are_byte_identical(qelta, servers, certs, tmp_path, mode, pasv, how):
    server = servers(implicit=mode == "implicit", reuse=qelta.kind == "linux")
    local = tmp_path / "in"
    local.mkdir()
    up = tmp_path / "up.bin"
    up.write_bytes(BIG[:1000000])
    (tmp_path / "out").mkdir()
    for n in range(3):
        (tmp_path / "out" / f"m{n}.dat").write_bytes(os.urandom(5000 + n))
    folder = f"t-{qelta.kind}-{mode}-{pasv}"
    commands = login(server.port) + [
        "TYPE I", "CHWD pub", f"MDIR {folder}", f"CHWD {folder}",
        "PORT", f"RETR ../big.bin {dos(qelta, local / 'big.bin')}",
        "PORT", f"STOR up.bin {dos(qelta, up)}",
        "PORT", f"APPE up.bin {dos(qelta, up)}",
        "PORT", f"LIST . {dos(qelta, tmp_path / 'list.txt')}",
        f"MPUT {dos(qelta, tmp_path / 'out')}\\*.dat",
        "PORT", f"MGET *.dat {dos(qelta, local)}",
        "QUIT"]
    settings = {"TLS": mode.capitalize() if pasv else mode.upper(), "PASVMode": pasv,
                **trust(certs, qelta, how)}
    status, log, err = run_job(qelta, tmp_path, commands, settings, timeout=180)
    assert all_success(status, len(commands)), (status, err[-800:])
    here = server.home / "pub" / folder
    assert (local / "big.bin").read_bytes() == BIG
    assert (here / "up.bin").read_bytes() == BIG[:1000000] * 2
    assert b"up.bin" in (tmp_path / "list.txt").read_bytes()
    for n in range(3):
        sent = (tmp_path / "out" / f"m{n}.dat").read_bytes()
        assert (here / f"m{n}.dat").read_bytes() == sent
        assert (local / f"m{n}.dat").read_bytes() == sent
    # The log names the connection's protection; the password never shows.
    assert b"TLS control connection: TLSv1." in log
    assert b"SHA-256 " + certs.fingerprint("good").encode() in log
    assert PASSWORD.encode() not in log + err
    assert b"*** PROT P" in log and b"*** PBSZ 0" in log


def test_data_connections_resume_the_session(linux_qelta, servers, certs, tmp_path):
    """With DebugEx every data connection is logged; the server demands
    that each resumes the control connection's session."""
    server = servers(reuse=True)
    commands = login(server.port) + ["TYPE I", "PORT",
                                     f"RETR pub/big.bin {dos(linux_qelta, tmp_path / 'a.bin')}",
                                     "PORT", f"RETR pub/big.bin {dos(linux_qelta, tmp_path / 'b.bin')}",
                                     "QUIT"]
    status, log, err = run_job(linux_qelta, tmp_path, commands,
                               {"TLS": "Explicit", "TLSCAFile": str(certs.dir / "ca.pem"),
                                "DebugEx": 1, "PASVMode": 1})
    assert all_success(status, len(commands)), err[-600:]
    assert log.count(b"TLS data connection: ") == 2
    assert log.count(b"session resumed") == 2
    assert (tmp_path / "b.bin").read_bytes() == BIG


def test_several_connections_each_resume_their_own_session(linux_qelta, servers, certs, tmp_path):
    """The server demands that each data connection resumes the session of
    the control connection it belongs to, on every one of three."""
    server = servers(reuse=True)
    files = {f"m{n}.bin": os.urandom(5000 + n) for n in range(9)}
    for name, data in files.items():
        (server.home / "pub" / name).write_bytes(data)
    local = tmp_path / "in"
    local.mkdir()
    commands = login(server.port) + ["TYPE I", "PASV",
                                     f"MGET pub/m*.bin {dos(linux_qelta, local)}", "QUIT"]
    status, log, err = run_job(linux_qelta, tmp_path, commands,
                               {"TLS": "Explicit", "TLSCAFile": str(certs.dir / "ca.pem"),
                                "DebugEx": 1, "Connections": 3})
    assert all_success(status, len(commands)), err[-600:]
    assert {p.name: p.read_bytes() for p in local.iterdir()} == files
    # The name list's data connection and one per file.
    assert log.count(b"session resumed") == len(files) + 1
    assert {b"[1] 234", b"[2] 234", b"[3] 234"} <= set(re.findall(rb"\[\d\] 234", log))


def test_clear_data_when_asked(qelta, servers, certs, tmp_path):
    server = servers(force_data=False, reuse=False)
    commands = login(server.port) + ["TYPE I", "PORT",
                                     f"RETR pub/big.bin {dos(qelta, tmp_path / 'a.bin')}", "QUIT"]
    status, log, err = run_job(qelta, tmp_path, commands,
                               {"TLS": "explicit", "TLSProtectData": 0, "PASVMode": 1,
                                "TLSFingerprint": certs.fingerprint("good")})
    assert all_success(status, len(commands)), err[-600:]
    assert b"*** PROT C" in log
    assert (tmp_path / "a.bin").read_bytes() == BIG


# ---- Trust -----------------------------------------------------------------------------

def test_certificates_that_are_refused_or_accepted(qelta, servers, certs, tmp_path):
    self_signed = servers(cert="self", reuse=False)
    wrong_name = servers(cert="wrong", reuse=False)
    fp_self = certs.fingerprint("self")
    ca = dos(qelta, certs.dir / "ca.pem")
    cases = [
        # server, settings, the error log's words (None: the log-in works)
        (self_signed, {}, f"Certificate of 127.0.0.1 is not trusted (self-signed; SHA-256 "
                          f"{fp_self}) in ExecCONN()"),
        (self_signed, {"TLSFingerprint": certs.fingerprint("good")},
         f"Certificate of 127.0.0.1 does not match TLSFingerprint (SHA-256 {fp_self})"),
        (self_signed, {"TLSCAFile": ca}, "Certificate of 127.0.0.1 is not trusted"),
        (wrong_name, {"TLSCAFile": ca}, "Certificate of 127.0.0.1 does not name it (SHA-256 "),
        (self_signed, {"TLSFingerprint": fp_self}, None),
        (wrong_name, {"TLSVerify": 0}, None),
    ]
    for n, (server, extra, words) in enumerate(cases):
        commands = login(server.port) + ["QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands, {"TLS": "Explicit", **extra},
                                   name=f"trust{n}.ftp")
        if words is None:
            assert all_success(status, len(commands)), (n, err[-600:])
            assert (b"TLSVerify=0: the server's certificate is not checked" in log) == \
                ("TLSVerify" in extra)
            continue
        assert status.get("exitcode") == "Failure", n
        assert status.get("commandstatus1") != "Success", n
        assert words.encode() in err, (n, err[-600:])
        # Nothing of the log-in went out after the refusal.
        assert b"*** USER" not in log and b"*** PASS" not in log, n


def test_wrong_settings_end_the_run_before_anything_is_sent(qelta, tmp_path):
    (tmp_path / "notes.txt").write_text("not a certificate\n" * 500)
    with ScriptedServer([("send", b"220 Hello.\r\n")]) as server:
        cases = [
            ({"TLS": "Explicitt"}, "TLS=Explicitt is not None, Explicit or Implicit"),
            ({"TLS": "Explicit", "TLSFingerprint": "AB:CD"}, "TLSFingerprint=AB:CD is not a SHA-256"),
            ({"TLS": "Explicit", "TLSVerify": "no"}, "TLSVerify=no is not 0 or 1"),
            ({"TLS": "Implicit", "TLSCAFile": dos(qelta, tmp_path / "none.pem")},
             "TLSCAFile=" + dos(qelta, tmp_path / "none.pem") + " cannot be read"),
            ({"TLS": "Explicit", "TLSCAFile": dos(qelta, tmp_path / "notes.txt")},
             "holds no PEM certificate"),
        ]
        for n, (settings, words) in enumerate(cases):
            status, log, err = run_job(qelta, tmp_path, login(server.port), settings,
                                       name=f"bad{n}.ftp")
            assert status.get("exitcode") == "Failure", n
            assert words.encode() in err, (n, err[-400:])
        assert server.received() == []  # no connection was ever made


# ---- What real servers will not do on demand -----------------------------------------------

def server_context(certs):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(str(certs.dir / "self.pem"), str(certs.dir / "self.key"))
    return ctx


LOGIN_STEPS = [("send", b"220 Hello.\r\n"), ("expect", b"AUTH"), ("send", b"234 Go.\r\n"),
               ("starttls",), ("expect", b"USER"), ("send", b"331 Pass.\r\n"),
               ("expect", b"PASS"), ("send", b"230 In.\r\n")]


def test_refusals_and_cuts_from_a_scripted_server(qelta, certs, tmp_path):
    pin = {"TLS": "Explicit", "TLSFingerprint": certs.fingerprint("self")}
    # AUTH refused: neither USER nor PASS may follow, in clear or at all.
    with ScriptedServer([("send", b"220 Hello.\r\n"), ("expect", b"AUTH"),
                         ("send", b"530 No TLS here.\r\n")]) as server:
        status, log, err = run_job(qelta, tmp_path, login(server.port), pin, name="refused.ftp")
        lines = server.received()
    assert status.get("commandstatus1") != "Success"
    assert lines == [b"AUTH TLS\r\n"]
    # A handshake answered with rubbish fails CONN.
    with ScriptedServer([("send", b"220 Hello.\r\n"), ("expect", b"AUTH"),
                         ("send", b"234 Go.\r\n"), ("send", b"this is no TLS at all\r\n" * 4),
                         ("close",)]) as server:
        status, log, err = run_job(qelta, tmp_path, login(server.port), pin, name="rubbish.ftp")
    assert status.get("commandstatus1") != "Success"
    assert b"TLS handshake with 127.0.0.1 failed" in err, err[-400:]
    # A data stream cut without close_notify is a failure even when the
    # server then says 226, and the destination is left as it was.
    target = tmp_path / "kept.bin"
    target.write_bytes(b"old contents")
    steps = LOGIN_STEPS + [("expect", b"PBSZ"), ("send", b"200 PBSZ=0\r\n"),
                           ("expect", b"PROT"), ("send", b"200 Private.\r\n"),
                           ("expect", b"PASV"), ("pasv",), ("expect", b"RETR"),
                           ("send", b"150 Here.\r\n"), ("data-tls",), ("data", BIG[:200000]),
                           ("data-cut",), ("pause", 0.3), ("send", b"226 Done.\r\n")]
    with ScriptedServer(steps, tls=server_context(certs)) as server:
        commands = login(server.port) + ["PORT", f"RETR big.bin {dos(qelta, target)}"]
        status, log, err = run_job(qelta, tmp_path, commands, {**pin, "PASVMode": 1, "TimeOut": 60},
                                   name="cut.ftp")
    assert status.get("commandstatus5") != "Success" and status.get("exitcode") == "Failure", status
    # Told at once and by name, not by the watchdog a minute later.
    assert b"Data connection closed without TLS close_notify after 200000 bytes" in err, err[-400:]
    assert b"Internal Timeout" not in err
    assert target.read_bytes() == b"old contents"
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith("kept")] == ["kept.bin"]


# More than the sockets' buffers hold: the client is still sending when it
# learns that the control connection is gone.
UPLOAD = os.urandom(32 * 1024 * 1024)


@pytest.mark.parametrize("cut", [False, True], ids=["whole", "control-cut"])
def test_an_upload_ends_with_close_notify_only_when_whole(qelta, certs, tmp_path, cut):
    """A server that loses the control connection mid-STOR and keeps
    reading must see the data stream cut, or it could store a part of the
    file as all of it; a whole upload ends with close_notify."""
    source = tmp_path / "up.bin"
    source.write_bytes(UPLOAD)
    pin = {"TLS": "Explicit", "TLSFingerprint": certs.fingerprint("self"), "PASVMode": 1}
    middle = [("data-recv", 1024 * 1024), ("cut-control",), ("pause", 1), ("data-recv", None)] if cut else [
        ("data-recv", None), ("send", b"226 Stored.\r\n")]
    steps = LOGIN_STEPS + [("expect", b"PBSZ"), ("send", b"200 PBSZ=0\r\n"),
                           ("expect", b"PROT"), ("send", b"200 Private.\r\n"),
                           ("expect", b"PASV"), ("pasv",), ("expect", b"STOR"),
                           ("send", b"150 Send.\r\n"), ("data-tls",)] + middle
    with ScriptedServer(steps, tls=server_context(certs)) as server:
        commands = login(server.port) + ["PORT", f"STOR up.bin {dos(qelta, source)}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands, pin, name="up.ftp")
        server.thread.join(timeout=30)
    if cut:
        assert status.get("exitcode") == "Failure", status
        assert server.data_end == "cut" and len(server.uploaded) < len(UPLOAD)
    else:
        assert all_success(status, 6), (status, err[-400:])
        assert server.data_end == "close_notify" and bytes(server.uploaded) == UPLOAD


def test_the_password_never_crosses_in_clear(qelta, servers, certs, tmp_path):
    server = servers(reuse=qelta.kind == "linux")
    proxy = RecordingProxy(server.port)
    try:
        commands = login(proxy.port) + ["TYPE I", "PORT",
                                        f"RETR pub/big.bin {dos(qelta, tmp_path / 'a.bin')}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands,
                                   {"TLS": "Explicit", "TLSFingerprint": certs.fingerprint("good"),
                                    "PASVMode": 1})
    finally:
        proxy.close()
    assert all_success(status, len(commands)), err[-600:]
    assert proxy.from_client.startswith(b"AUTH TLS\r\n")
    assert PASSWORD.encode() not in proxy.from_client
    assert b"USER" not in proxy.from_client


# ---- A handshake the server leaves hanging ------------------------------------------------

PROTECTION_STEPS = [("expect", b"PBSZ"), ("send", b"200 PBSZ=0\r\n"),
                    ("expect", b"PROT"), ("send", b"200 Private.\r\n")]
# The server takes the connection and never answers the client's hello:
# the control connection's after AUTH TLS, or at connect (implicit), or the
# data connection's after the 150; and where the failure is named.
HANGING = {
    "explicit": ([("send", b"220 Hello.\r\n"), ("expect", b"AUTH"), ("send", b"234 Go.\r\n"),
                  ("hang",)], b"AUTH", "ExecCONN()"),
    "implicit": ([("hang",)], None, "ExecCONN()"),
    "data": (LOGIN_STEPS + PROTECTION_STEPS + [("expect", b"PASV"), ("pasv",), ("expect", b"RETR"),
                                               ("send", b"150 Here.\r\n"), ("hang",)],
             b"RETR", "ExecRETR()"),
}


def hanging_script(qelta, certs, tmp_path, kind, port, settings):
    commands = login(port) + ["PORT", f"RETR big.bin {dos(qelta, tmp_path / 'got.bin')}"]
    mode = "Implicit" if kind == "implicit" else "Explicit"
    return write_script(tmp_path / f"{kind}.ftp", commands,
                        {"TLS": mode, "TLSFingerprint": certs.fingerprint("self"), "PASVMode": 1,
                         "Debug": 1, **settings})


def wait_for_hang(server, kind):
    """Until the client's last line before the handshake has come."""
    last = HANGING[kind][1]
    deadline = time.monotonic() + 15
    while last is not None and time.monotonic() < deadline:
        if any(line.startswith(last) for line in server.lines):
            return
        time.sleep(0.05)
    assert last is None, f"the run never sent {last}"


@pytest.mark.parametrize("kind", HANGING)
def test_a_close_signal_ends_a_hanging_handshake_at_once(linux_qelta, certs, tmp_path, kind):
    with ScriptedServer(HANGING[kind][0], tls=server_context(certs)) as server:
        script = hanging_script(linux_qelta, certs, tmp_path, kind, server.port,
                                {"Silent": 1, "TimeOut": 30})
        proc = subprocess.Popen([str(linux_qelta.exe), str(script)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for_hang(server, kind)
            time.sleep(1)
            sent = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=40)
            took = time.monotonic() - sent
        finally:
            proc.kill()
            proc.wait()
    assert took < 2.5, f"the run went on {took:.1f} s after SIGTERM"
    assert status_of(script).get("exitcode") == "Failure"


@pytest.mark.parametrize("kind", HANGING)
def test_the_watchdog_ends_a_hanging_handshake_and_names_it(qelta, certs, tmp_path, kind):
    with ScriptedServer(HANGING[kind][0], tls=server_context(certs)) as server:
        script = hanging_script(qelta, certs, tmp_path, kind, server.port,
                                {"Silent": 1, "TimeOut": 5})
        qelta.run(script, timeout=60)
    err = (tmp_path / f"{kind}.err").read_bytes()
    where = HANGING[kind][2]
    assert f"TLS handshake with 127.0.0.1 did not finish within 5 seconds in {where}".encode() in err, \
        err[-400:]
    assert status_of(script).get("exitcode") == "Failure"


@pytest.mark.parametrize("kind", ["explicit", "data"])
def test_cancel_ends_a_hanging_handshake_at_once(win_qelta, certs, tmp_path, kind):
    from test_win32_ui import MainWindowWatch

    class Watch(MainWindowWatch):
        clicked_at = None

        def __call__(self, xenv, wid, title):
            super().__call__(xenv, wid, title)
            if self.clicked and self.clicked_at is None:
                self.clicked_at = time.monotonic()

    with ScriptedServer(HANGING[kind][0], tls=server_context(certs)) as server:
        script = hanging_script(win_qelta, certs, tmp_path, kind, server.port, {"TimeOut": 60})
        # The Cancel button's centre: 87, 111 of the dialog's 175 x 123 units, 4 units left.
        watch = Watch(click_after=2.5, at=(83.5 / 175, 111.5 / 123))
        wine.run_exe(str(win_qelta.exe), win_qelta.path(script), timeout=120, on_window=watch,
                     answer_boxes={"QELTA Error": "Return"})
        ended = time.monotonic()
        reached = any(line.startswith(HANGING[kind][1]) for line in server.lines)
    assert watch.clicked and reached
    assert ended - watch.clicked_at < 15, f"the run went on {ended - watch.clicked_at:.1f} s"
    assert b"User Cancelled" in (tmp_path / f"{kind}.err").read_bytes()


# ---- Other servers ------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["pyftpdlib", "pure-ftpd"])
def test_other_servers(qelta, certs, tmp_path, kind):
    start = start_pyftpdlib if kind == "pyftpdlib" else start_pureftpd
    with running(start, f"{kind}-tls", certs.dir / "good.both") as server:
        pub = server.home / "pub"
        (pub / "big.bin").write_bytes(BIG)
        (pub / "big.bin").chmod(0o644)
        up = tmp_path / "up.bin"
        up.write_bytes(BIG[:300000])
        commands = [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}",
                    f"PASS {server.password}", "TYPE I", "CHWD pub",
                    "PORT", f"RETR big.bin {dos(qelta, tmp_path / 'a.bin')}",
                    "PORT", f"STOR up-{qelta.kind}.bin {dos(qelta, up)}", "QUIT"]
        status, log, err = run_job(qelta, tmp_path, commands,
                                   {"TLS": "Explicit", "TLSCAFile": dos(qelta, certs.dir / "ca.pem"),
                                    "PASVMode": 1})
        assert all_success(status, len(commands)), err[-600:]
        got = (tmp_path / "a.bin").read_bytes()
        assert len(got) == len(BIG) and got == BIG, (len(got), log[-1500:])
        sent = (pub / f"up-{qelta.kind}.bin").read_bytes()
        assert len(sent) == 300000 and sent == BIG[:300000], (len(sent), log[-1500:])
