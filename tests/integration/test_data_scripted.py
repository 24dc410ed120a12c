"""Data connections against a scripted server, for what real servers will
not do on demand: the final reply and the data connection's close in
either order, refusals after the destination existed, a passive reply
naming a stranger, a connection from another address, a stalled
transfer, and an upload the server calls complete too early."""
import os

import pytest

from conftest import status_of, write_script
from scripted_server import ScriptedServer
from test_transfers import dos

LOGGED_IN = [("send", b"220 Hi\r\n"), ("expect", b"USER"), ("send", b"331 Password.\r\n"),
             ("expect", b"PASS"), ("send", b"230 In.\r\n")]
OLD = b"yesterday's copy\r\n"
DONE = b"226 Transfer complete.\r\n"


def opening(size=None):
    told = f" ({size} bytes)" if size is not None else ""
    return f"150 Opening BINARY mode data connection for f.bin{told}.\r\n".encode()


def retrieval(mode, *after_opening, verb=b"RETR", announce=None):
    """The server's side of one PORT or PASV line and the RETR (or LIST)
    behind it, up to the "150 ", then the given steps."""
    if mode == "PASV":
        steps = [("expect", b"PASV"), ("pasv",), ("expect", verb), ("send", opening(announce))]
    else:
        steps = [("expect", b"PORT"), ("send", b"200 PORT command successful.\r\n"),
                 ("expect", verb), ("connect",), ("send", opening(announce))]
    return steps + list(after_opening)


def run(qelta, tmp_path, port, transfers, settings=None, timeout=120):
    commands = [f"CONN 127.0.0.1:{port}", "USER bob", "PASS pw", *transfers, "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands,
                          {"Silent": 1, "TimeOut": 30, **(settings or {})})
    qelta.run(script, timeout=timeout)
    return status_of(script), (tmp_path / "job.err").read_bytes()


def assert_all_succeeded(status, err, count):
    assert status["exitcode"] == "Success", err
    assert [status.get(f"commandstatus{n}") for n in range(1, count + 1)] == ["Success"] * count


def assert_destination_kept(dest):
    assert dest.read_bytes() == OLD
    assert not list(dest.parent.glob("*.qpart"))


# ---- The end of a retrieval ----------------------------------------------------

BIG = os.urandom(400 * 1024)
SMALL = os.urandom(70000)

ENDINGS = {
    # The reply before a single byte of data.
    "reply first": [("send", DONE), ("pause", 0.5), ("data", SMALL), ("data-close",)],
    "reply before close": [("data", SMALL), ("send", DONE), ("pause", 0.5), ("data-close",)],
    "close before reply": [("data", SMALL), ("data-close",), ("pause", 0.5), ("send", DONE)],
    # The close and the reply arrive while most of the data is still queued.
    "close with data queued": [("data", BIG), ("data-close",), ("send", DONE)],
}


@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_file_arrives_whole_however_the_transfer_ends(qelta, tmp_path, ending):
    data = BIG if "queued" in ending else SMALL
    dest = tmp_path / "f.bin"
    dest.write_bytes(OLD)
    listing = tmp_path / "list.txt"
    # A listing in active mode and a retrieval in passive mode (PORT first:
    # after a PASV line every PORT line runs passively), each ending alike.
    steps = LOGGED_IN + retrieval("PORT", *ENDINGS[ending], verb=b"LIST") + \
        retrieval("PASV", *ENDINGS[ending])
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port,
                          ["PORT", f"LIST . {dos(qelta, listing)}", "PASV",
                           f"RETR f.bin {dos(qelta, dest)}"])
        lines = server.received()
    assert_all_succeeded(status, err, 8)
    assert dest.read_bytes() == data
    assert listing.read_bytes() == data
    assert b"RETR f.bin\r\n" in lines and b"LIST .\r\n" in lines
    assert not list(tmp_path.glob("*.qpart"))


def test_announced_size_never_changes_what_is_kept(qelta, tmp_path):
    # Told exactly, not told, told too little, told too much.
    sizes = [len(SMALL), None, 10, 10 * len(SMALL)]
    steps = list(LOGGED_IN)
    transfers = []
    for n, announce in enumerate(sizes):
        steps += retrieval("PASV", ("data", SMALL), ("data-close",), ("send", DONE),
                           announce=announce)
        transfers += ["PASV", f"RETR f.bin {dos(qelta, tmp_path / f'f{n}.bin')}"]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, transfers)
    assert_all_succeeded(status, err, 3 + len(transfers))
    for n in range(len(sizes)):
        assert (tmp_path / f"f{n}.bin").read_bytes() == SMALL, sizes[n]


# ---- Failures keep the destination ------------------------------------------------

REFUSALS = {
    "550 passive": ("PASV", b"550 f.bin: No such file or directory.\r\n", False),
    "450 active": ("PORT", b"450 f.bin: Temporarily unavailable.\r\n", False),
    # Part of the file came before the server gave up.
    "426 after data": ("PASV", b"426 Connection closed; transfer aborted.\r\n", True),
}


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_refused_retrieval_keeps_the_destination(qelta, tmp_path, case):
    mode, refusal, partial = REFUSALS[case]
    dest = tmp_path / "f.bin"
    dest.write_bytes(OLD)
    if partial:
        steps = LOGGED_IN + retrieval(mode, ("data", SMALL), ("data-close",), ("send", refusal))
    elif mode == "PASV":
        steps = LOGGED_IN + [("expect", b"PASV"), ("pasv",), ("expect", b"RETR"),
                             ("send", refusal)]
    else:
        steps = LOGGED_IN + [("expect", b"PORT"), ("send", b"200 OK.\r\n"),
                             ("expect", b"RETR"), ("send", refusal)]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, [mode, f"RETR f.bin {dos(qelta, dest)}"])
    assert status["exitcode"] == "Failure"
    assert status["commandstatus4"] == "Success" and status.get("commandstatus5") != "Success"
    assert err.endswith(refusal)
    assert_destination_kept(dest)


def test_refused_pasv_fails_with_the_servers_line(qelta, tmp_path):
    refusal = b"425 Can't open passive connection.\r\n"
    steps = LOGGED_IN + [("expect", b"PASV"), ("send", refusal)]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PASV", "RETR f.bin C:\\never.bin"])
        lines = server.received()
    assert status["exitcode"] == "Failure" and status.get("commandstatus4") != "Success"
    assert err.endswith(refusal)
    assert not any(line.startswith(b"RETR") for line in lines)


def test_stalled_transfer_ends_in_the_watchdog(qelta, tmp_path):
    dest = tmp_path / "f.bin"
    dest.write_bytes(OLD)
    steps = LOGGED_IN + retrieval("PASV", ("data", SMALL[:20000]), ("hang",),
                                  announce=len(SMALL))
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PASV", f"RETR f.bin {dos(qelta, dest)}"],
                          {"TimeOut": 10})
    assert status["exitcode"] == "Failure" and status.get("commandstatus5") != "Success"
    assert b"QELTA Internal Timeout" in err
    assert_destination_kept(dest)


# ---- Whom the data connection is with -------------------------------------------------

def test_passive_reply_address_is_not_followed(qelta, tmp_path):
    # Nothing answers at 10.9.8.7: the data must come from the control peer.
    dest = tmp_path / "f.bin"
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv", "10.9.8.7"), ("expect", b"RETR"),
                         ("send", opening()), ("data", SMALL), ("data-close",), ("send", DONE)]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PASV", f"RETR f.bin {dos(qelta, dest)}"])
    assert_all_succeeded(status, err, 6)
    assert dest.read_bytes() == SMALL


def test_passive_reply_address_is_followed_when_asked(qelta, tmp_path):
    # Only 127.0.0.2 listens for the data: reaching it proves the reply was used.
    dest = tmp_path / "f.bin"
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv", "127.0.0.2", "127.0.0.2"),
                         ("expect", b"RETR"), ("send", opening()), ("data", SMALL),
                         ("data-close",), ("send", DONE)]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PASV", f"RETR f.bin {dos(qelta, dest)}"],
                          {"PASVUseReplyAddress": 1})
    assert_all_succeeded(status, err, 6)
    assert dest.read_bytes() == SMALL


def test_active_connection_from_another_address_is_closed(qelta, tmp_path):
    dest = tmp_path / "f.bin"
    steps = LOGGED_IN + [("expect", b"PORT"), ("send", b"200 OK.\r\n"), ("expect", b"RETR"),
                         ("connect", "127.0.0.2"), ("wait-close",),
                         ("connect", "127.0.0.1"), ("send", opening()), ("data", SMALL),
                         ("data-close",), ("send", DONE)]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PORT", f"RETR f.bin {dos(qelta, dest)}"])
        closed = server.client_closed
    assert closed == 1
    assert_all_succeeded(status, err, 6)
    assert dest.read_bytes() == SMALL


# ---- A line sent before its data connection was up --------------------------------------

NO_CONNECTION = b"425 No data connection yet.\r\n"
EARLY = {
    "RETR": [("send", opening()), ("data", SMALL), ("data-close",), ("send", DONE)],
    "STOR": [("send", b"150 Ok to send data.\r\n"), ("data-recv", None), ("send", DONE)],
}


@pytest.mark.parametrize("verb", sorted(EARLY))
def test_425_to_a_line_sent_early_sends_it_again_once_connected(qelta, tmp_path, verb):
    # The server's data port lets no connection in at first: a line that
    # does not wait for it is refused; one that waits is served.
    local = tmp_path / "f.bin"
    if verb == "STOR":
        local.write_bytes(SMALL)
    held = [("expect", b"PASV"), ("pasv-held",), ("expect", verb.encode())]
    steps = LOGGED_IN + held + [("send", NO_CONNECTION)] + held + EARLY[verb]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PASV", f"{verb} f.bin {dos(qelta, local)}"])
        lines, uploaded = server.received(), bytes(server.uploaded)
    assert_all_succeeded(status, err, 6)
    assert (uploaded if verb == "STOR" else local.read_bytes()) == SMALL
    assert sum(line.startswith(verb.encode()) for line in lines) == 2
    log = (tmp_path / "job.log").read_bytes()
    assert log.count(b"sent before its data connection was up") == 1, log
    assert b"*** Retry" not in log


# ---- Sending ----------------------------------------------------------------------------

def test_upload_called_complete_before_it_was_sent_fails(qelta, tmp_path):
    # Far more than the socket buffers of both ends hold while the server
    # reads nothing: the client cannot have sent it all by the reply.
    src = tmp_path / "big.bin"
    src.write_bytes(os.urandom(32 * 2**20))
    steps = LOGGED_IN + [("expect", b"PASV"), ("pasv",), ("expect", b"STOR"),
                         ("send", b"150 Ok to send data.\r\n"), ("data-recv", 65536),
                         ("send", DONE)]
    with ScriptedServer(steps) as server:
        status, err = run(qelta, tmp_path, server.port, ["PASV", f"STOR big.bin {dos(qelta, src)}"])
    assert status["exitcode"] == "Failure"
    assert status["commandstatus4"] == "Success" and status.get("commandstatus5") != "Success"
    assert b"before the whole file was sent" in err, err


def test_a_killed_retrieval_leaves_nothing_once_the_next_run_is_done(qelta, tmp_path):
    """kill -9 in the middle of a RETR leaves its temporary file; the next
    run that retrieves to the same destination takes it over, and leaves
    alone the one a living run writes (Linux, where a lock marks it)."""
    import fcntl
    import time
    from test_script_safety import kill, start_run
    dest = tmp_path / "f.bin"
    dest.write_bytes(OLD)
    left = tmp_path / "f.bin.1.qpart"
    script = tmp_path / "job.ftp"
    with ScriptedServer(LOGGED_IN + retrieval("PASV", ("data", SMALL), ("hang",))) as server:
        write_script(script, [f"CONN 127.0.0.1:{server.port}", "USER bob", "PASS pw", "PASV",
                              f"RETR f.bin {dos(qelta, dest)}"], {"Silent": 1, "TimeOut": 60})
        proc = start_run(qelta, script)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not (left.exists() and left.stat().st_size == len(SMALL)):
            time.sleep(0.05)
        kill(proc)
    assert left.stat().st_size == len(SMALL) and dest.read_bytes() == OLD
    living = tmp_path / "f.bin.2.qpart"
    living.write_bytes(b"another run's")
    with open(living, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        steps = LOGGED_IN + retrieval("PASV", ("data", BIG), ("data-close",), ("send", DONE))
        with ScriptedServer(steps) as server:
            status, err = run(qelta, tmp_path, server.port, ["PASV", f"RETR f.bin {dos(qelta, dest)}"])
    assert_all_succeeded(status, err, 6)
    assert dest.read_bytes() == BIG
    remaining = sorted(p.name for p in tmp_path.glob("*.qpart"))
    assert remaining == (["f.bin.2.qpart"] if qelta.kind == "linux" else [])
