"""A tiny FTP server of our own that plays a fixed script, byte for byte,
for what real servers will not do on demand: split replies, odd greetings,
silence, early closes. It serves one connection on 127.0.0.1."""
import socket
import threading
import time


class ScriptedServer:
    """steps is a list of:
    ("send", bytes)     write the bytes in one send
    ("pause", seconds)  wait, so that the client reads what came before
    ("expect", prefix)  read one line from the client (recorded); prefix is
                        checked afterwards by the test through .lines
    ("hang",)           keep the connection open and say nothing more
    ("drip", b, secs)   send the bytes b one at a time, secs apart, for ever
    ("flood", chunk)    send chunk again and again, for ever
    ("close",)          close the connection
    After the last step the server answers every further line with
    `otherwise` (QUIT always gets "221 Bye") until the client closes."""

    def __init__(self, steps, otherwise=b"502 Not scripted.\r\n"):
        self.steps = steps
        self.otherwise = otherwise
        self.lines = []
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.stopping.set()
        try:
            self.sock.close()
        except OSError:
            pass
        self.thread.join(timeout=5)

    def _readline(self, conn, pending):
        while b"\n" not in pending[0]:
            try:
                chunk = conn.recv(4096)
            except socket.timeout:
                if self.stopping.is_set():
                    return None
                continue
            except OSError:
                return None
            if not chunk:
                return None
            pending[0] += chunk
        line, pending[0] = pending[0].split(b"\n", 1)
        self.lines.append(line + b"\n")
        return line + b"\n"

    def _serve(self):
        self.sock.settimeout(0.2)
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
                break
            except socket.timeout:
                continue
            except OSError:
                return
        else:
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(0.2)
        pending = [b""]
        with conn:
            for step in self.steps:
                kind = step[0]
                if kind == "send":
                    conn.sendall(step[1])
                elif kind == "pause":
                    time.sleep(step[1])
                elif kind == "expect":
                    if self._readline(conn, pending) is None:
                        return
                elif kind == "hang":
                    self.stopping.wait()
                    return
                elif kind in ("drip", "flood"):
                    self._stream(conn, step)
                    return
                elif kind == "close":
                    return
            while not self.stopping.is_set():
                line = self._readline(conn, pending)
                if line is None:
                    return
                reply = b"221 Bye.\r\n" if line.upper().startswith(b"QUIT") else self.otherwise
                try:
                    conn.sendall(reply)
                except OSError:
                    return

    def _stream(self, conn, step):
        """Endless output until the client goes or the test ends."""
        n = 0
        while not self.stopping.is_set():
            try:
                if step[0] == "drip":
                    conn.sendall(step[1][n % len(step[1]):][:1])
                    n += 1
                    self.stopping.wait(step[2])
                else:
                    conn.sendall(step[1])
            except (socket.timeout, BlockingIOError):
                continue
            except OSError:
                return

    def received(self):
        """The client's lines, once it is done."""
        return list(self.lines)
