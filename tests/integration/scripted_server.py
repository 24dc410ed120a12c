"""A tiny FTP server of our own that plays a fixed script, byte for byte,
for what real servers will not do on demand: split replies, odd greetings,
silence, early closes, and data connections that end in any order with
the final reply. It serves one control connection on 127.0.0.1 (or the
loopback address given as host=) at a time
(a "reconnect" step waits for the next one)."""
import re
import select
import socket
import ssl
import threading
import time

DATA_TIMEOUT = 60  # seconds a data-connection step may take at most


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
    ("reconnect",)      close the connection, accept the next one and play
                        the steps after this one on it
    ("starttls",)       make the TLS handshake on the control connection as
                        the server, with the context given as tls=
    Data connection (one at a time; a new one replaces the old):
    ("pasv", named, at, reply)
                        listen on address `at` (127.0.0.1 if left out), send
                        "227 Entering Passive Mode (...)" naming address
                        `named` (default `at`) with that port, and accept;
                        reply(port), when given, makes the reply's bytes
    ("pasv-held",)      as "pasv" on 127.0.0.1, but the port lets no
                        connection in for half a second (its queue is full,
                        so the client's connect stays under way, its SYN
                        sent again after a second); a line that comes then was
                        sent before its data connection and is left for the
                        next "expect", no data connection made; else the
                        connection is then let in and accepted
    ("connect", source) connect to the address of the client's last PORT
                        line, from address `source` (127.0.0.1 if left out)
    ("data", bytes)     send the bytes on the data connection
    ("data-recv", n)    read n bytes of it (None: until the client closes)
                        into .uploaded; .data_end then says how a TLS
                        stream ended: "close_notify", or "cut" (no
                        close_notify, or a reset)
    ("cut-control",)    close the control connection; the steps after it
                        may use only the data connection
    ("data-close",)     close the data connection
    ("wait-close",)     wait until the client closes the data connection;
                        .client_closed counts the ones it closed
    ("data-tls",)       make the TLS handshake on the data connection
    ("data-cut",)       close the data connection without TLS's close_notify
    After the last step the server answers every further line with
    `otherwise` (QUIT always gets "221 Bye") until the client closes."""

    def __init__(self, steps, otherwise=b"502 Not scripted.\r\n", tls=None, host="127.0.0.1"):
        self.steps = steps
        self.tls = tls
        self.otherwise = otherwise
        self.lines = []
        self.data = None
        self.uploaded = bytearray()
        self.client_closed = 0
        self.passive_port = None  # the data port of the last "pasv" step
        self.data_end = None
        self.sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, 0))
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
        data = self.data
        if data is not None:
            try:
                data.shutdown(socket.SHUT_RDWR)  # wakes a data step that waits
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

    def _accept(self):
        """The next control connection, or None once stopping."""
        self.sock.settimeout(0.2)
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return None
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.settimeout(0.2)
            return conn
        return None

    def _serve(self):
        steps = list(self.steps)
        while True:
            conn = self._accept()
            if conn is None:
                return
            pending = [b""]
            with conn:
                try:
                    steps = self._converse(conn, pending, steps)
                except OSError:
                    steps = None
                finally:
                    self._drop_data()
            if steps is None:
                return

    def _converse(self, conn, pending, steps):
        """Plays steps on conn; returns those left for the next
        connection after a "reconnect" step, else None."""
        for i, step in enumerate(steps):
            if step[0] == "reconnect":
                return steps[i + 1:]
            if step[0] == "starttls":
                conn.settimeout(DATA_TIMEOUT)
                conn = self.tls.wrap_socket(conn, server_side=True)
                conn.settimeout(0.2)
                continue
            if step[0] == "hang":
                self.stopping.wait()
                return
            if not self._step(conn, pending, step):
                return
        while not self.stopping.is_set():
            line = self._readline(conn, pending)
            if line is None:
                return
            conn.sendall(b"221 Bye.\r\n" if line.upper().startswith(b"QUIT") else self.otherwise)

    def _step(self, conn, pending, step):
        """Plays one step; False ends the conversation."""
        kind = step[0]
        if kind == "send":
            conn.sendall(step[1])
        elif kind == "pause":
            time.sleep(step[1])
        elif kind == "expect":
            line = self._readline(conn, pending)
            # A scripted PASV is an older server's: it turns EPSV down, as
            # such servers do, once per connection.
            while line is not None and step[1] == b"PASV" and line.startswith(b"EPSV"):
                conn.sendall(b"502 EPSV not scripted.\r\n")
                line = self._readline(conn, pending)
            return line is not None
        elif kind in ("drip", "flood"):
            self._stream(conn, step)
            return False
        elif kind == "close":
            return False
        elif kind == "cut-control":
            conn.close()
        elif kind == "pasv":
            return self._passive(conn, *step[1:])
        elif kind == "pasv-held":
            return self._passive_held(conn, pending)
        elif kind == "connect":
            return self._active(*step[1:])
        elif self.data is None:
            return False
        elif kind == "data":
            self.data.sendall(step[1])
        elif kind == "data-recv":
            self._receive(step[1])
        elif kind == "data-close":
            self._drop_data()
        elif kind == "data-tls":
            # A stream ended without close_notify must be told from one
            # that had it.
            self.data = self.tls.wrap_socket(self.data, server_side=True,
                                             suppress_ragged_eofs=False)
        elif kind == "data-cut":
            # close() of a TLS socket sends no close_notify: a cut stream.
            self._drop_data()
        elif kind == "wait-close":
            try:
                closed = self.data.recv(1) == b""
            except ConnectionResetError:
                closed = True
            self.client_closed += closed
        return True

    def _drop_data(self):
        if self.data is not None:
            self.data.close()
            self.data = None

    def _use_data(self, sock):
        self._drop_data()
        sock.settimeout(DATA_TIMEOUT)
        self.data = sock

    def _passive(self, conn, named=None, at="127.0.0.1", reply=None):
        with socket.socket() as listener:
            listener.bind((at, 0))
            listener.listen(1)
            port = self.passive_port = listener.getsockname()[1]
            numbers = (named or at).replace(".", ",") + f",{port >> 8},{port & 255}"
            conn.sendall(reply(port) if reply else
                         f"227 Entering Passive Mode ({numbers}).\r\n".encode())
            listener.settimeout(0.2)
            deadline = time.time() + DATA_TIMEOUT
            while not self.stopping.is_set() and time.time() < deadline:
                try:
                    self._use_data(listener.accept()[0])
                    return True
                except socket.timeout:
                    continue
        return False

    def _passive_held(self, conn, pending, hold=0.5):
        with socket.socket() as listener, socket.socket() as filler:
            listener.bind(("127.0.0.1", 0))
            # Backlog 0 holds one connection: ours fills it, and the
            # kernel drops the client's SYN until it is taken.
            listener.listen(0)
            filler.connect(listener.getsockname())
            port = self.passive_port = listener.getsockname()[1]
            conn.sendall(f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255}).\r\n"
                         .encode())
            if pending[0] or select.select([conn], [], [], hold)[0]:
                return True
            listener.accept()[0].close()
            listener.settimeout(DATA_TIMEOUT)
            self._use_data(listener.accept()[0])
        return True

    def _active(self, source="127.0.0.1"):
        port_lines = [line for line in self.lines if line.upper().startswith(b"PORT ")]
        numbers = re.findall(rb"\d+", port_lines[-1])
        address = ".".join(n.decode() for n in numbers[:4])
        port = int(numbers[4]) * 256 + int(numbers[5])
        sock = socket.socket()
        sock.bind((source, 0))
        sock.settimeout(DATA_TIMEOUT)
        sock.connect((address, port))
        self._use_data(sock)
        return True

    def _receive(self, count):
        while count is None or count > 0:
            try:
                chunk = self.data.recv(65536 if count is None else min(count, 65536))
            except (ssl.SSLEOFError, ConnectionResetError):
                self.data_end = "cut"
                return
            if not chunk:
                self.data_end = "close_notify" if isinstance(self.data, ssl.SSLSocket) else "eof"
                return
            self.uploaded += chunk
            if count is not None:
                count -= len(chunk)

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
