"""Running the Windows program under Wine and Xvfb from the tests.

Every run gets its own X server (xvfb-run -a) with a 1024x768 screen, so
runs do not see one another's windows. A watcher thread looks at the
windows of that server while the program runs: it records every title it
sees, answers message boxes by title with a key press, and can take a
screenshot of the whole screen.

The width is chosen per host: qelta32.exe under Wine's 32-bit loader where
the host runs 32-bit code, else qelta64.exe under wine64 in a 64-bit prefix
of its own. QELTA_WINE_BITS=32 or 64 forces the choice.

Debian packages: wine wine64 (wine32:i386 for 32-bit) xvfb xauth xdotool.
"""
import atexit
import contextlib
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import zlib
from pathlib import Path

SCREEN = (1024, 768)
# Wine's desktop process outlives the program for a moment and says so
# when xvfb-run takes its X server away; that line is not the program's.
_XVFB_GONE = re.compile(rb"X connection to :\d+ broken \(explicit kill or server shutdown\)\.\r?\n")
_last_titles = []
ROOT = Path(__file__).resolve().parents[2]


def _choose_bits():
    """(32 or 64, why): the forced width, or what this host can run."""
    forced = os.environ.get("QELTA_WINE_BITS", "")
    if forced in ("32", "64"):
        return int(forced), "chosen by QELTA_WINE_BITS"
    if forced:
        raise RuntimeError(f"QELTA_WINE_BITS must be 32 or 64, not {forced!r}")
    probe = subprocess.run([str(ROOT / "scripts" / "runs-32bit")], stdin=subprocess.DEVNULL)
    if probe.returncode == 0:
        return 32, "this host runs 32-bit code"
    return 64, "this host runs no 32-bit code"


BITS, WHY = _choose_bits()
EXE = ROOT / f"build-win{BITS}" / f"qelta{BITS}.exe"


def describe(exe=None):
    """One line for the test log: which program, under which loader, why."""
    name = Path(exe or EXE).name
    return f"Windows program: {name} under {'wine' if BITS == 32 else 'wine64'}: {WHY}"


def exe_bits(exe):
    """32 or 64: the width of a Windows program, from its PE header."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    return 64 if struct.unpack_from("<H", head, pe + 4)[0] == 0x8664 else 32


def _loader(bits):
    return "/usr/lib/wine/wine" if bits == 32 else "/usr/lib/wine/wine64"


def _prefix(bits):
    # A prefix per width: one made by the 64-bit loader is not the 32-bit
    # prefix the 32-bit program has always been tested in, and a 32-bit
    # prefix cannot run the 64-bit program.
    default = Path.home() / f".wine-qelta{bits}"
    return Path(os.environ.get(f"QELTA_WINEPREFIX{bits}", default))


def _wine_env(extra=None, bits=BITS):
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    env["WINEPREFIX"] = str(_prefix(bits))
    env["WINEARCH"] = f"win{bits}"
    env["WINELOADER"] = _loader(bits)
    env["WINESERVER"] = f"/usr/lib/wine/wineserver{bits}"
    # No offers to install Mono or Gecko: they would hang an unattended run.
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.pop("DISPLAY", None)
    env.update(extra or {})
    return env


def ensure_prefix(bits=BITS):
    """Creates the Wine prefix of that width once, quietly, and keeps its
    wineserver running (keep_warm); later calls return at once.

    Several test processes may start together, so creation is serialised
    by a lock file beside the prefix.
    """
    prefix = _prefix(bits)
    if (prefix / "system.reg").exists():
        keep_warm(bits)
        return
    prefix.parent.mkdir(parents=True, exist_ok=True)
    with open(str(prefix) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (prefix / "system.reg").exists():
            keep_warm(bits)
            return
        env = _wine_env(bits=bits)
        subprocess.run(["xvfb-run", "-a", _loader(bits), "wineboot", "-i"], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=False)
        subprocess.run([env["WINESERVER"], "-w"], env=env, timeout=120, check=False)
        if not (prefix / "system.reg").exists():
            raise RuntimeError(f"wineboot did not create the prefix {prefix}")
    keep_warm(bits)


_keepers = {}  # width -> the Popen of the idle program holding that prefix's wineserver


def keep_warm(bits=BITS):
    """Keeps the prefix's wineserver and services (services.exe, its
    devices, rpcss) running for the rest of the test session: without a
    Wine program running they stop when a run ends and start anew, at a
    cost of seconds, with the next run. The idle program that holds them
    shows no window, so every run still makes its own desktop on its own X
    server. It ends when its standard input does: at the end of the
    session, or when this process dies. Without a compiler runs only start
    slower."""
    keeper = _keepers.get(bits)
    if keeper is not None and keeper.poll() is None:
        return
    exe = _idle_exe(bits)
    if exe is None:
        return
    _keepers[bits] = subprocess.Popen([_loader(bits), str(exe)], env=_wine_env(bits=bits),
                                      cwd="/", stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, start_new_session=True)
    _wait_for_start_up(_prefix(bits))


def _wait_for_start_up(prefix, limit=30):
    """A new wineserver's start-up (wineboot) opens a desktop; started by
    the idle program, that desktop has no X server, and a run that began
    while it was up would get no windows. It closes by itself once
    wineboot is done: wait for that."""
    deadline = time.monotonic() + limit
    booted = False
    while time.monotonic() < deadline:
        names = _living_programs(prefix)
        booted = booted or "services.exe" in names
        if booted and not names & {"wineboot.exe", "explorer.exe"}:
            return
        time.sleep(0.2)


def _living_programs(prefix):
    """The file names of the Windows programs running in that prefix."""
    names = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                program = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except (OSError, IndexError):
            continue
        names.add(program.replace("\\", "/").rsplit("/", 1)[-1].lower())
    return names


def _idle_exe(bits):
    """helpers/idle.c built for that width, inside its prefix."""
    source = Path(__file__).parent / "helpers" / "idle.c"
    exe = _prefix(bits) / "drive_c" / "qelta-idle.exe"
    if exe.exists() and exe.stat().st_mtime >= source.stat().st_mtime:
        return exe
    compiler = f"{'i686' if bits == 32 else 'x86_64'}-w64-mingw32-gcc"
    if not shutil.which(compiler):
        return None
    # Built under another name and renamed: several test processes may
    # build it at once.
    tmp = exe.with_name(f".qelta-idle-{os.getpid()}.exe")
    built = subprocess.run([compiler, "-O1", "-o", str(tmp), str(source), "-static"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    if built.returncode != 0:
        tmp.unlink(missing_ok=True)
        return None
    os.replace(tmp, exe)
    return exe


@atexit.register
def _stop_keepers():
    for keeper in _keepers.values():
        with contextlib.suppress(OSError):
            keeper.stdin.close()
    for keeper in _keepers.values():
        try:
            keeper.wait(timeout=10)
        except subprocess.TimeoutExpired:
            kill_group(keeper)


_runs = []  # the Popen of every run started here that may still be going


def _settle(bits, limit=3):
    """Waits, when no run of ours is going, for the desktop of the last
    one to close. The program that opens a desktop draws it on its own X
    server; ended with its run, that server takes the desktop down a
    moment later, and a run that began within that moment would be handed
    the closing desktop and get no windows. Runs started side by side
    share the first one's desktop, as always."""
    _runs[:] = [run for run in _runs if run.poll() is None]
    if _runs:
        return
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline and "explorer.exe" in _living_programs(_prefix(bits)):
        time.sleep(0.1)


def _warm_if_made(bits):
    if (_prefix(bits) / "system.reg").exists():
        keep_warm(bits)


def win_path(posix_path):
    """The Wine name of a POSIX path: Z: is the root of the file system."""
    return "Z:" + os.path.abspath(str(posix_path)).replace("/", "\\")


def list_box_titles():
    """Titles of the windows seen during the last run_exe, in first-seen order."""
    return list(_last_titles)


# ---- X helpers -------------------------------------------------------------------

def _xdotool(xenv, *args):
    try:
        r = subprocess.run(["xdotool", *args], env=xenv, capture_output=True, timeout=5)
    except subprocess.TimeoutExpired:
        return ""
    return r.stdout.decode("utf-8", "replace") if r.returncode == 0 else ""


def _visible_windows(xenv):
    """(id, title) of every mapped window with a title."""
    out = []
    for wid in _xdotool(xenv, "search", "--onlyvisible", "--name", ".").split():
        title = _xdotool(xenv, "getwindowname", wid).rstrip("\n")
        if title:
            out.append((wid, title))
    return out


def _press(xenv, wid, key):
    """Types the keys into the box; False when it did not have the focus.
    There is no window manager: we focus the box ourselves and type through
    XTEST, which Wine treats as real input but sends to whatever has the
    focus, so the focus is checked first: keys meant for a box that has
    just closed must never reach the window behind it."""
    _xdotool(xenv, "windowraise", wid)
    _xdotool(xenv, "windowfocus", wid)
    time.sleep(0.2)
    if _xdotool(xenv, "getwindowfocus").strip() != wid:
        return False
    _xdotool(xenv, "key", "--clearmodifiers", *key.split())
    return True


def click(xenv, wid, x, y):
    """A left click at pixel x, y of a window; needs no focus."""
    _xdotool(xenv, "mousemove", "--window", wid, str(int(x)), str(int(y)))
    time.sleep(0.1)
    _xdotool(xenv, "click", "1")


def window_geometry(xenv, wid):
    """x, y, width, height of a window (its X frame), or None."""
    text = _xdotool(xenv, "getwindowgeometry", "--shell", wid)
    values = dict(line.split("=", 1) for line in text.split() if "=" in line)
    try:
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    except KeyError:
        return None


# ---- screenshots -------------------------------------------------------------------

def xwd_to_png(xwd, png_path):
    """Writes Xvfb's XWD frame buffer (24-bit depth, 32 bits a pixel) as a PNG."""
    header_size, _, _, depth, width, height = struct.unpack(">6I", xwd[:24])
    fields = struct.unpack(">25I", xwd[:100])
    bpp, line_bytes, ncolors = fields[11], fields[12], fields[19]
    byte_order = fields[7]
    if depth != 24 or bpp != 32:
        raise ValueError(f"unexpected XWD depth {depth} / {bpp} bits")
    data = xwd[header_size + 12 * ncolors:]
    rows = bytearray()
    for y in range(height):
        line = data[y * line_bytes:y * line_bytes + width * 4]
        rows.append(0)
        if byte_order == 0:  # LSB first: B G R x
            for x in range(0, width * 4, 4):
                rows += bytes((line[x + 2], line[x + 1], line[x]))
        else:
            for x in range(0, width * 4, 4):
                rows += bytes((line[x + 1], line[x + 2], line[x + 3]))

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body
                + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))
    Path(png_path).write_bytes(png)
    return width, height


def read_png_rgb(png_path):
    """The pixels of a PNG written by xwd_to_png: (width, height, rows of RGB bytes)."""
    data = Path(png_path).read_bytes()
    width, height = struct.unpack(">II", data[16:24])
    pos, idat = 8, b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        tag = data[pos + 4:pos + 8]
        if tag == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3 + 1
    return width, height, [raw[y * stride + 1:(y + 1) * stride] for y in range(height)]


# ---- running ---------------------------------------------------------------------

class _Watcher(threading.Thread):
    """Follows the windows of one X server while the program runs."""

    def __init__(self, info_file, answer_boxes, screenshot, fbdir, on_window):
        super().__init__(daemon=True)
        self.info_file = info_file
        self.answer_boxes = answer_boxes or {}
        self.screenshot = screenshot
        self.fbdir = fbdir
        self.on_window = on_window
        self.stop = threading.Event()
        self.titles = []
        self.answered = {}  # window id -> (presses, time of the last)
        self.xenv = None
        self.started = time.monotonic()

    def _connect(self):
        try:
            lines = Path(self.info_file).read_text().split("\n")
        except OSError:
            return None
        if len(lines) < 3 or not lines[0]:
            return None
        return dict(os.environ, DISPLAY=lines[0], XAUTHORITY=lines[1])

    def _take_screenshot(self):
        delay, png_path = self.screenshot
        if time.monotonic() - self.started < delay:
            return
        self.screenshot = None
        xwd = (Path(self.fbdir) / "Xvfb_screen0").read_bytes()
        xwd_to_png(xwd, png_path)

    def run(self):
        while not self.stop.is_set():
            if self.xenv is None:
                self.xenv = self._connect()
            if self.xenv is not None:
                self._look()
                if self.screenshot:
                    self._take_screenshot()
            self.stop.wait(0.25)

    def _look(self):
        for wid, title in _visible_windows(self.xenv):
            if title not in self.titles:
                self.titles.append(title)
            if self.on_window:
                self.on_window(self.xenv, wid, title)
            key = self.answer_boxes.get(title)
            if key and self._due(wid) and _press(self.xenv, wid, key):
                presses, _ = self.answered.get(wid, (0, 0.0))
                self.answered[wid] = (presses + 1, time.monotonic())

    def _due(self, wid):
        # Without a window manager a new box can lose the input focus just
        # as it is answered; a box still up two seconds after its answer
        # was typed is answered again.
        presses, last = self.answered.get(wid, (0, 0.0))
        return not presses or (presses < 3 and time.monotonic() - last >= 2.0)


def run_exe(exe, args, timeout, env=None, answer_boxes=None, cwd=None, screenshot=None,
            on_window=None, titles=None, wrap=()):
    """Runs `wine exe args` on a fresh Xvfb server with WINEDEBUG=-all.

    args is the Windows command line; it is handed to Wine word by word
    and Wine joins the words with single blanks, so it arrives unchanged
    unless it holds runs of blanks or quotes.
    answer_boxes maps a window title to the xdotool keys that answer it
    ("Return", "n", "Escape", or several: "s e c r e t Return"); a box
    that is still up two seconds later is answered again, at most 3 times.
    screenshot = (seconds, png_path) saves the screen that long after start.
    on_window(xenv, wid, title) is called for every visible window at each
    look (about four times a second).
    titles, a list, receives every window title seen (also kept for
    list_box_titles()).
    wrap: a command line the whole run goes under (unshare ...).
    Returns (returncode, stdout bytes, stderr bytes); raises
    subprocess.TimeoutExpired (after stopping the run) when it overruns.
    """
    # Two xvfb-run -a starting together may pick the same display; the one
    # that loses says so before the program has run, and is tried again.
    _warm_if_made(exe_bits(exe))
    for attempt in range(3):
        rc, out, err = _run_once(exe, args, timeout, env, answer_boxes, cwd, screenshot,
                                 on_window, titles, wrap)
        if b"Xvfb failed to start" not in err:
            break
        time.sleep(1 + attempt)
    return rc, out, err


def _run_once(exe, args, timeout, env, answer_boxes, cwd, screenshot, on_window, titles, wrap=()):
    global _last_titles
    work = tempfile.mkdtemp(prefix="qelta-wine-")
    try:
        info = os.path.join(work, "display")
        fbdir = os.path.join(work, "fb")
        os.mkdir(fbdir)
        server_args = f"-screen 0 {SCREEN[0]}x{SCREEN[1]}x24 -fbdir {fbdir} -nolisten tcp"
        shell = 'printf "%s\\n%s\\n\\n" "$DISPLAY" "$XAUTHORITY" > "$0"; exec "$WINELOADER" "$@"'
        words = [w for w in str(args).split(" ")] if args else []
        argv = [*wrap, "xvfb-run", "-a", "-s", server_args, "sh", "-c", shell, info, str(exe),
                *words]
        watcher = _Watcher(info, answer_boxes, screenshot, fbdir, on_window)
        # Files, not pipes: programs started by the run keep the inherited
        # handles open long after it ends.
        with open(os.path.join(work, "out"), "w+b") as out, open(os.path.join(work, "err"), "w+b") as err:
            _settle(exe_bits(exe))
            proc = subprocess.Popen(argv, env=_wine_env(env, exe_bits(exe)), cwd=cwd, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, start_new_session=True)
            _runs.append(proc)
            watcher.start()
            try:
                rc = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                _stop_group(proc)
                raise
            finally:
                watcher.stop.set()
                watcher.join(10)
                _last_titles = list(watcher.titles)
                if titles is not None:
                    titles.extend(watcher.titles)
            out.seek(0)
            err.seek(0)
            return rc, out.read(), _XVFB_GONE.sub(b"", err.read())
    finally:
        shutil.rmtree(work, ignore_errors=True)


def start_exe(exe, args):
    """Starts `wine exe args` on an Xvfb server of its own and returns at
    once: the Popen of a new session, which kill_group ends as kill -9
    would end the program."""
    _warm_if_made(exe_bits(exe))
    server_args = f"-screen 0 {SCREEN[0]}x{SCREEN[1]}x24 -nolisten tcp"
    argv = ["xvfb-run", "-a", "-s", server_args, "sh", "-c", 'exec "$WINELOADER" "$@"', "wine",
            str(exe), *str(args).split(" ")]
    _settle(exe_bits(exe))
    proc = subprocess.Popen(argv, env=_wine_env(None, exe_bits(exe)), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    _runs.append(proc)
    return proc


def kill_group(proc):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait(timeout=30)


def _stop_group(proc):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=5)
            return
        except subprocess.TimeoutExpired:
            continue
