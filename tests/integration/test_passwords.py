"""Passwords that never live in the script: PASS without an argument takes
its password from where PasswordSource says, on both builds, against a
pyftpdlib user with a password; a source without the entry fails PASS and
never falls back to the prompt; and the password reaches no run file, no
status and no command line."""
import os
import shutil
import subprocess
import threading
from pathlib import Path

import pytest

import wine
from conftest import LINUX_EXE, status_of, write_script
from ftpservers import PASSWORD, USER, running, start_pyftpdlib


@pytest.fixture(scope="module")
def server():
    with running(start_pyftpdlib, "pyftpdlib") as s:
        yield s


def job(tmp_path, qelta, server, settings, name="job.ftp", user=USER):
    commands = [f"CONN 127.0.0.1:{server.port}", f"USER {user}", "PASS", "QUIT"]
    return write_script(tmp_path / name, commands, {"Silent": 1, "TimeOut": 20, "Debug": 1, **settings})


def outcome(script):
    """(status, the error log, every run file's bytes and the script's)."""
    stem = script.with_suffix("")
    err = stem.with_suffix(".err").read_bytes() if stem.with_suffix(".err").exists() else b""
    files = b"".join(p.read_bytes() for p in script.parent.iterdir() if p.is_file())
    return status_of(script), err, files


def netrc(folder, text, mode=0o600):
    """Beside the run's folder, not in it: the run files are scanned."""
    path = Path(folder).parent / f"{Path(folder).name}.netrc"
    path.write_text(text)
    path.chmod(mode)
    return path


def dos(qelta, path):
    return qelta.path(path) if qelta.kind == "win32" else str(path)


# (name, PasswordSource, netrc text or None, environment, the run succeeds, words of the failure)
CASES = [
    ("machine", "Netrc", f"machine 127.0.0.1 login {USER} password {PASSWORD}\n", {}, True, None),
    ("default", "netrc", f"machine other.host login {USER} password wrong\n"
                         f"default login {USER} password {PASSWORD}\n", {}, True, None),
    ("no-entry", "Netrc", f"machine other.host login {USER} password {PASSWORD}\n", {}, False,
     b"has no entry for machine 127.0.0.1 with login alice"),
    ("environment", "Environment", None, {"QELTA_PASSWORD": PASSWORD}, True, None),
    ("unset", "Environment", None, {}, False, b"the environment variable QELTA_PASSWORD is not set"),
]


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_sources(qelta, server, tmp_path, case):
    name, source, text, env, succeeds, words = case
    env = dict(env)
    if text is not None:
        env["NETRC"] = dos(qelta, netrc(tmp_path, text))
    script = job(tmp_path, qelta, server, {"PasswordSource": source})
    qelta.run(script, timeout=60, env=env)
    status, err, files = outcome(script)
    assert (status.get("exitcode") == "Success") == succeeds, (status, err[-300:])
    if words:
        assert status.get("commandstatus3") != "Success"
        assert b"No password from PasswordSource=" in err and words in err, err[-300:]
    assert PASSWORD.encode() not in files


def test_a_netrc_others_may_read_is_refused(linux_qelta, server, tmp_path):
    path = netrc(tmp_path, f"machine 127.0.0.1 login {USER} password {PASSWORD}\n", mode=0o644)
    script = job(tmp_path, linux_qelta, server, {"PasswordSource": "Netrc"})
    linux_qelta.run(script, env={"NETRC": str(path)})
    status, err, _ = outcome(script)
    assert status.get("exitcode") == "Failure"
    assert b"may be used by group or others (mode 0644): chmod 600 it" in err, err[-300:]


def test_the_password_is_on_no_command_line(linux_qelta, server, tmp_path):
    script = job(tmp_path, linux_qelta, server, {"PasswordSource": "Environment", "PasswordVariable": "FTP_PW"})
    seen, stop = [], threading.Event()

    def watch():
        while not stop.is_set():
            for pid in os.listdir("/proc"):
                if pid.isdigit():
                    try:
                        seen.append(Path(f"/proc/{pid}/cmdline").read_bytes())
                    except OSError:
                        pass

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        linux_qelta.run(script, env={"FTP_PW": PASSWORD})
    finally:
        stop.set()
        watcher.join()
    assert status_of(script).get("exitcode") == "Success"
    assert any(b"qelta" in c for c in seen)
    # The test's own server is given the password on its command line.
    assert not any(PASSWORD.encode() in c for c in seen if b"pyftpdlib" not in c)


# ---- The system's stores -------------------------------------------------------------

def secret_service_run(tmp_path, script, password):
    """The Linux program under a private session bus with gnome-keyring,
    which holds the password as secret-tool stores it (password None:
    nothing stored)."""
    home = tmp_path / "home"
    home.mkdir()
    store = "" if password is None else (
        f'printf %s "$QELTA_TEST_SECRET" | secret-tool store --label=QELTA service qelta '
        f'host 127.0.0.1 user {USER} || exit 9; ')
    shell = ('printf unlock | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 8; '
             + store + 'unset QELTA_TEST_SECRET; exec "$0" "$1"')
    env = {k: v for k, v in os.environ.items() if not k.startswith(("DBUS_", "XDG_RUNTIME"))}
    env.update(HOME=str(home), XDG_DATA_HOME=str(home / "data"), QELTA_TEST_SECRET=password or "")
    return subprocess.run(["dbus-run-session", "--", "sh", "-c", shell, str(LINUX_EXE), str(script)],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=90)


@pytest.mark.skipif(not (shutil.which("dbus-run-session") and shutil.which("gnome-keyring-daemon")
                         and shutil.which("secret-tool")), reason="dbus or gnome-keyring missing")
def test_secret_service(linux_qelta, server, tmp_path):
    script = job(tmp_path, linux_qelta, server, {"PasswordSource": "SecretService"})
    r = secret_service_run(tmp_path, script, PASSWORD)
    status, err, files = outcome(script)
    assert r.returncode == 0 and status.get("exitcode") == "Success", (r.stderr[-300:], err[-300:])
    assert PASSWORD.encode() not in files
    # No item: PASS fails by name. No bus at all (cron): a clear text, at once.
    script = job(tmp_path, linux_qelta, server, {"PasswordSource": "SecretService"}, name="none.ftp")
    (tmp_path / "bare").mkdir()
    r = secret_service_run(tmp_path / "bare", script, None)
    status, err, _ = outcome(script)
    assert status.get("exitcode") == "Failure"
    assert b"has no item with service=qelta host=127.0.0.1 user=alice" in err, err[-300:]
    env = {k: v for k, v in os.environ.items() if not k.startswith(("DBUS_", "XDG_RUNTIME"))}
    subprocess.run([str(LINUX_EXE), str(script)], env=env, stdin=subprocess.DEVNULL, timeout=60)
    status, err, _ = outcome(script)
    assert b"there is no session bus" in err, err[-300:]


def credwrite(tmp_path):
    """The small program that writes a generic credential as cmdkey would."""
    compiler = f"{'i686' if wine.BITS == 32 else 'x86_64'}-w64-mingw32-gcc"
    if not shutil.which(compiler):
        pytest.skip(f"{compiler} is not installed")
    exe = tmp_path / "credwrite.exe"
    subprocess.run([compiler, "-O1", "-o", str(exe), str(Path(__file__).parent / "helpers" / "credwrite.c"),
                    "-ladvapi32", "-static"], check=True, timeout=120)
    return exe


def test_credential_manager(win_qelta, server, tmp_path):
    helper = credwrite(tmp_path)
    target = "QELTA:127.0.0.1"
    rc, _, err = wine.run_exe(str(helper), f"{target} {USER} {PASSWORD}", timeout=60)
    assert rc == 0, err[-300:]
    try:
        script = job(tmp_path, win_qelta, server, {"PasswordSource": "CredentialManager"})
        win_qelta.run(script, timeout=60)
        status, err, files = outcome(script)
        assert status.get("exitcode") == "Success", err[-300:]
        assert PASSWORD.encode() not in files
        # Another user's credential serves no one else.
        script = job(tmp_path, win_qelta, server, {"PasswordSource": "CredentialManager"},
                     name="other.ftp", user="bob")
        win_qelta.run(script, timeout=60)
        status, err, _ = outcome(script)
        assert status.get("exitcode") == "Failure"
        assert b"the credential QELTA:127.0.0.1 is for user alice, not bob" in err, err[-300:]
    finally:
        wine.run_exe(str(helper), target, timeout=60)
    win_qelta.run(script, timeout=60)
    assert b"has no generic credential QELTA:127.0.0.1" in outcome(script)[1]


def test_check_warns_of_passwords_in_the_script(tmp_path):
    script = write_script(tmp_path / "w.ftp", ["CONN h", "USER u", "PASS s3cret", "UDEF PASS again 230",
                                               "DIAL MyISP, alice, secret", "PASS", "QUIT"])
    for args, rc in ((["--check"], 0), (["--check", "--strict"], 1)):
        r = subprocess.run([str(LINUX_EXE), *args, str(script)], capture_output=True, timeout=30)
        assert r.returncode == rc, r.stdout
        warned = [line.split(b":")[1] for line in r.stdout.splitlines() if b": warning: " in line]
        assert warned == [b"4", b"5", b"6"], r.stdout
        assert b"PasswordSource" in r.stdout


def test_dial_takes_its_password_from_the_source(linux_qelta, tmp_path):
    from test_dial import calls, connection, run_detached, standin
    env = standin(tmp_path, [connection("MyISP")])
    env["DIAL_PW"] = PASSWORD
    script = write_script(tmp_path / "d.ftp", ["DIAL MyISP, alice"],
                          {"Silent": 1, "PasswordSource": "Environment", "PasswordVariable": "DIAL_PW"})
    run_detached(linux_qelta, script, env)
    assert status_of(script).get("exitcode") == "Success"
    (up,) = calls(tmp_path, "up")
    assert f"pppoe.password:{PASSWORD}\n" in up["passwd_file"]["text"]
