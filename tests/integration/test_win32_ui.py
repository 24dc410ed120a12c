"""What only the Windows program can show: its windows, dialogs and keys.

Each test runs the Windows program (qelta32.exe or qelta64.exe, see
wine.py) under Wine on its own Xvfb screen of 1024x768 and looks at it
from the outside (window titles and places through
xdotool, the screen through Xvfb's frame buffer).
"""
import socket
import threading
import time

import pytest

from conftest import WIN_EXE, read_ini, status_of, write_script

wine = pytest.importorskip("wine")

TITLE = "QELTA32 v1.3.7"


@pytest.fixture
def exe():
    if not WIN_EXE.exists():
        pytest.skip("Windows build missing")
    wine.ensure_prefix()
    return str(WIN_EXE)


class MainWindowWatch:
    """Notes the main window's place; optionally clicks a point of it, given
    as fractions of its size, once it has been up for a while."""

    def __init__(self, click_after=None, at=(0.5, 0.5)):
        self.click_after, self.at = click_after, at
        self.first_seen = None
        self.clicked = False
        self.geometry = None

    def __call__(self, xenv, wid, title):
        if title != TITLE:
            return
        if self.first_seen is None:
            self.first_seen = time.monotonic()
            self.geometry = wine.window_geometry(xenv, wid)
        due = self.click_after is not None and time.monotonic() - self.first_seen >= self.click_after
        if due and not self.clicked and self.geometry:
            self.clicked = True
            _, _, width, height = self.geometry
            wine.click(xenv, wid, self.at[0] * width, self.at[1] * height)


class TinyFtpServer(threading.Thread):
    """One control connection on a loopback port: greets, then answers
    USER, PASS (230 only for the expected password) and QUIT."""

    def __init__(self, password):
        super().__init__(daemon=True)
        self.password = password
        self.lines = []
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(60)
        self.port = self.sock.getsockname()[1]

    def run(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.sendall(b"220 tiny ready\r\n")
            buf = b""
            while True:
                try:
                    data = conn.recv(512)
                except OSError:
                    return
                if not data:
                    return
                buf += data
                while b"\r\n" in buf:
                    line, buf = buf.split(b"\r\n", 1)
                    self.lines.append(line.decode("latin-1"))
                    verb = line[:4].upper()
                    if verb == b"USER":
                        conn.sendall(b"331 password please\r\n")
                    elif verb == b"PASS":
                        ok = line[5:].decode("latin-1") == self.password
                        conn.sendall(b"230 logged in\r\n" if ok else b"530 wrong password\r\n")
                    elif verb == b"QUIT":
                        conn.sendall(b"221 bye\r\n")
                        return
                    else:
                        conn.sendall(b"502 not here\r\n")

    def close(self):
        self.sock.close()


def near(colour, target, tolerance=40):
    return all(abs(c - t) <= tolerance for c, t in zip(colour, target))


def pixels(rows, x0, y0, x1, y1):
    for y in range(y0, y1):
        row = rows[y]
        for x in range(x0, x1):
            yield tuple(row[3 * x:3 * x + 3])


def test_main_window_and_transfer_dialog_on_screen(exe, tmp_path):
    """The caption, the centred place, and a dialog that is drawn whole:
    face colour, group frames with text, the start icon at the right."""
    script = write_script(tmp_path / "look.ftp", ["WFOR 0:04", "NONE"])
    shot = tmp_path / "screen.png"
    watch = MainWindowWatch()
    titles = []
    wine.run_exe(exe, wine.win_path(script), timeout=60, screenshot=(3, str(shot)),
                 on_window=watch, titles=titles)
    assert TITLE in titles
    assert status_of(script).get("exitcode") == "Success"

    # The window is placed at 337, 248 on 1024x768; the X window seen here
    # is its client area, just inside the frame and under the caption.
    x, y, width, height = watch.geometry
    assert 337 <= x <= 345 and 248 <= y <= 280, watch.geometry
    # 175 x 123 dialog units at Arial 9 points.
    assert 250 <= width <= 360 and 170 <= height <= 260, watch.geometry

    w, h, rows = wine.read_png_rgb(shot)
    assert (w, h) == wine.SCREEN
    face = rows[y + 5][3 * (x + 2):3 * (x + 2) + 3]
    assert min(face) > 180, "the dialog's face is light"
    inside = list(pixels(rows, x, y, x + width, y + height))
    share_face = sum(near(p, face, 8) for p in inside) / len(inside)
    assert share_face > 0.7, "the dialog fills the client area"
    assert all(p == (0, 0, 0) for p in pixels(rows, 0, 0, 200, 200)), "nothing else on screen"

    # Text in each of the three groups: dark pixels in their left halves.
    for top, bottom in ((0.02, 0.28), (0.30, 0.52), (0.55, 0.82)):
        band = pixels(rows, x, y + int(top * height), x + width // 2, y + int(bottom * height))
        assert sum(max(p) < 90 for p in band) > 30, (top, bottom)

    # The start icon sits at pixel 255, 19 of the dialog: the grey rim of
    # the disc appears in the top right of the client area.
    icon = list(pixels(rows, x + width - 70, y, x + width, y + 60))
    assert sum(near(p, (90, 90, 100), 30) for p in icon) > 15
    assert sum(near(p, (200, 200, 210), 20) for p in icon) > 40


def test_cancel_button_ends_the_run_as_cancelled(exe, tmp_path):
    script = write_script(tmp_path / "esc.ftp", ["WFOR 0:30", "NONE"])
    # The button's centre: 87, 111 of the 175 x 123 units, 4 units left.
    watch = MainWindowWatch(click_after=2.5, at=(83.5 / 175, 111.5 / 123))
    started = time.monotonic()
    wine.run_exe(exe, wine.win_path(script), timeout=60, on_window=watch,
                 answer_boxes={"QELTA Error": "Return"})
    assert watch.clicked
    assert time.monotonic() - started < 25, "the wait was cut short"
    status = status_of(script)
    assert status.get("commandstatus1") == "Fail"
    assert status.get("exitcode") == "Failure"
    assert b"User Cancelled" in (tmp_path / "esc.err").read_bytes()


def test_password_dialog_sends_what_was_typed_cut_to_31(exe, tmp_path):
    typed = "abcdefghijklmnopqrstuvwxyz0123456789abcd"  # 40 characters
    server = TinyFtpServer(typed[:31])
    server.start()
    try:
        script = write_script(tmp_path / "pw.ftp", [
            f"CONN 127.0.0.1:{server.port}", "USER alice", "PASS", "QUIT", "NONE"])
        titles = []
        wine.run_exe(exe, wine.win_path(script), timeout=90, titles=titles,
                     answer_boxes={"QELTA": " ".join(typed) + " Return"})
        server.join(10)
    finally:
        server.close()
    assert "QELTA" in titles, "the password dialog was shown"
    assert server.lines[:2] == ["USER alice", "PASS " + typed[:31]]
    status = status_of(script)
    assert [status.get(f"commandstatus{n}") for n in (1, 2, 3, 4)] == ["Success"] * 4
    assert status.get("exitcode") == "Success"
    # The password never reaches the logs.
    for run_file in ("pw.log", "pw.err"):
        assert typed[:8].encode() not in (tmp_path / run_file).read_bytes()


def test_password_dialog_cancel_ends_the_run(exe, tmp_path):
    server = TinyFtpServer("never")
    server.start()
    try:
        script = write_script(tmp_path / "pc.ftp", [
            f"CONN 127.0.0.1:{server.port}", "USER alice", "PASS", "NONE"])
        wine.run_exe(exe, wine.win_path(script), timeout=90,
                     answer_boxes={"QELTA": "Escape", "QELTA Error": "Return"})
    finally:
        server.close()
    status = status_of(script)
    assert status.get("commandstatus3") == "Fail"
    assert status.get("exitcode") == "Failure"
    assert b"User Cancelled" in (tmp_path / "pc.err").read_bytes()


def test_empty_command_line_opens_the_file_dialog_and_cancel_writes_nothing(exe, tmp_path):
    titles = []
    wine.run_exe(exe, "", timeout=60, cwd=str(tmp_path), titles=titles,
                 answer_boxes={"QELTA - Select Script to Run": "Escape"})
    assert "QELTA - Select Script to Run" in titles
    assert list(tmp_path.iterdir()) == []


def test_no_3d_library_is_not_an_error(exe, tmp_path):
    """With No3D the library is never touched; the run is the same."""
    for no3d in (0, 1):
        script = write_script(tmp_path / f"d{no3d}.ftp", ["NONE"], {"No3D": no3d})
        wine.run_exe(exe, wine.win_path(script), timeout=60, answer_boxes={"QELTA Error": "Return"})
        assert read_ini(script)["status"]["exitcode"] == "Success"


def test_dialog_mid_transfer_shows_names_count_and_bar(exe, tmp_path):
    """A retrieval slowed down by the server, seen on screen half way: the
    file names, the byte count and the bar are drawn."""
    from ftpservers import running, start_vsftpd
    with running(start_vsftpd, "vsftpd", ["anon_max_rate=60000"]) as server:
        (server.home / "pub" / "slow.bin").write_bytes(bytes(range(256)) * 2400)  # 600 KiB
        dest = tmp_path / "slow.bin"
        script = write_script(tmp_path / "xfer.ftp", [
            f"CONN 127.0.0.1:{server.port}", f"USER {server.user}", f"PASS {server.password}",
            "CHWD pub", "TYPE I", "PASV", f"RETR slow.bin {wine.win_path(dest)}", "QUIT"],
            {"Silent": 1, "TimeOut": 60})
        shot = tmp_path / "mid.png"
        watch = MainWindowWatch()
        wine.run_exe(exe, wine.win_path(script), timeout=90, screenshot=(6, str(shot)),
                     on_window=watch)
        assert status_of(script).get("exitcode") == "Success"
        assert dest.read_bytes() == (server.home / "pub" / "slow.bin").read_bytes()

    x, y, width, height = watch.geometry
    w, h, rows = wine.read_png_rgb(shot)

    def dark(left, top, right, bottom):
        """Dark pixels in a rectangle given in dialog units."""
        sx, sy = width / 175, height / 123
        box = pixels(rows, x + int(left * sx), y + int(top * sy), x + int(right * sx),
                     y + int(bottom * sy))
        return sum(max(p) < 90 for p in box)

    assert dark(37, 42, 167, 51) > 20, "the source name"
    assert dark(51, 51, 167, 60) > 20, "the destination name"
    assert dark(62, 82, 90, 91) > 10, "the byte count"
    assert dark(6, 91, 151, 100) > 20, "the bar"
