"""Shared fixtures: the two builds of QELTA, script files and their results."""
import os
import re
import subprocess
from pathlib import Path

import pytest

import wine

ROOT = Path(__file__).resolve().parents[2]
LINUX_EXE = Path(os.environ.get("QELTA_LINUX_EXE", ROOT / "build" / "qelta"))
# qelta32.exe or qelta64.exe, whichever this host's Wine runs (wine.py).
WIN_EXE = Path(os.environ.get("QELTA_WIN_EXE", wine.EXE))


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a long soak; runs in scripts/test all the same")


def _runs_wine(item):
    spec = getattr(item, "callspec", None)
    return (bool({"win_qelta", "exe"} & set(item.fixturenames))
            or (spec is not None and spec.params.get("qelta") == "win32")
            or item.module.__name__ == "test_shipping")


@pytest.hookimpl(tryfirst=True)  # before xdist reads the groups
def pytest_collection_modifyitems(config, items):
    # Under pytest-xdist (scripts/test runs two workers) the cases that run
    # Wine all go to one worker, one after another, as without it: runs of
    # one prefix at once share a desktop, which ends with the run that
    # opened it. test_shipping goes along: it runs the zip's programs, and
    # makes the packages once for the module unless told they are fresh.
    for item in items:
        if _runs_wine(item):
            item.add_marker(pytest.mark.xdist_group("wine"))


@pytest.hookimpl(trylast=True)
def pytest_sessionstart(session):
    # Printed even under -q: which Windows program these cases run, and why.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(wine.describe(WIN_EXE))


def write_script(path, commands, settings=None, long_form=True, status=None, extra=""):
    """Writes a script with CR LF line ends; commands are numbered from 1."""
    lines = ["[QELTA]"]
    for n, command in enumerate(commands, 1):
        key = f"FTPCommand{n}" if long_form else str(n)
        lines.append(f"{key}={command}")
    lines.append("")
    lines.append("[Settings]")
    for key, value in (settings or {}).items():
        lines.append(f"{key}={value}")
    lines.append("")
    if status:
        lines.append("[STATUS]")
        for key, value in status.items():
            lines.append(f"{key}={value}")
        lines.append("")
    text = "\r\n".join(lines) + "\r\n" + extra
    Path(path).write_bytes(text.encode("latin-1"))
    return Path(path)


def read_ini(path):
    """Sections and keys in lower case, values stripped of blanks."""
    sections = {}
    current = None
    for raw in Path(path).read_bytes().decode("latin-1").splitlines():
        line = raw.strip()
        m = re.match(r"^\[(.*)\]$", line)
        if m:
            current = sections.setdefault(m.group(1).strip().lower(), {})
        elif current is not None and "=" in line and not line.startswith(";"):
            key, value = line.split("=", 1)
            current.setdefault(key.strip().lower(), value.strip())
    return sections


def status_of(path):
    return read_ini(path).get("status", {})


class LinuxRunner:
    kind = "linux"

    def __init__(self, exe):
        self.exe = exe

    def path(self, p):
        return str(p)

    def run(self, script, timeout=60, env=None, cwd=None, args=None, wrap=()):
        """wrap: a command line the program is run under (unshare ...)."""
        full_env = dict(os.environ)
        full_env.pop("TERM", None)
        full_env.update(env or {})
        argv = [*wrap, str(self.exe)] + ([str(script)] if args is None else list(args))
        return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout, env=full_env, cwd=cwd)


class WinRunner:
    kind = "win32"

    def __init__(self, exe):
        self.exe = exe

    def path(self, p):
        return "Z:" + str(Path(p).resolve()).replace("/", "\\")

    def run(self, script, timeout=60, env=None, cwd=None, args=None, answer_boxes=None, wrap=()):
        import wine
        arg = self.path(script) if args is None else " ".join(args)
        rc, out, err = wine.run_exe(str(self.exe), arg, timeout=timeout, env=env, cwd=cwd,
                                    answer_boxes=answer_boxes, wrap=wrap)
        return subprocess.CompletedProcess([str(self.exe), arg], rc, out, err)


def _runner(kind):
    if kind == "linux":
        if not LINUX_EXE.exists():
            pytest.skip("Linux build missing")
        return LinuxRunner(LINUX_EXE)
    if not WIN_EXE.exists():
        pytest.skip("Windows build missing")
    wine.ensure_prefix()
    return WinRunner(WIN_EXE)


@pytest.fixture(params=["linux", "win32"])
def qelta(request):
    return _runner(request.param)


@pytest.fixture
def linux_qelta():
    return _runner("linux")


@pytest.fixture
def win_qelta():
    return _runner("win32")
