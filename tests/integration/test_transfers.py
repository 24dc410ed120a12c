"""Files both ways against real servers, in active and passive mode: what
arrives is byte for byte what was sent, and every status is earned."""
import hashlib
import os
import re

import pytest

from conftest import status_of, write_script
from ftpservers import ftp_server, vsftpd  # noqa: F401  (fixtures)

# Around the old 512-byte block and the default 64 KiB one, and several blocks.
SIZES = [0, 1, 511, 512, 513, 65535, 65536, 65537, 3 * 2**20 + 7]


def dos(qelta, path):
    """A local path as scripts name it: a drive letter first (C: is / on Linux)."""
    if qelta.kind == "linux":
        return "C:" + str(path).replace("/", "\\")
    return qelta.path(path)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def put_on_server(server, name, data, mode=0o644):
    path = server.home / "pub" / name
    path.write_bytes(data)
    path.chmod(mode)  # the server runs as nobody
    return path


def login(server):
    return [f"CONN 127.0.0.1:{server.port}", f"USER {server.user}", f"PASS {server.password}",
            "CHWD pub", "TYPE I"]


def run_job(qelta, tmp_path, commands, settings=None, timeout=120):
    script = write_script(tmp_path / "job.ftp", commands,
                          {"Silent": 1, "TimeOut": 30, **(settings or {})})
    qelta.run(script, timeout=timeout)
    status = status_of(script)
    assert status.get("exitcode") == "Success", (tmp_path / "job.err").read_bytes()
    for n in range(1, len(commands) + 1):
        assert status[f"commandstatus{n}"] == "Success", n
    return status


@pytest.mark.parametrize("mode,block", [("PORT", None), ("PASV", None), ("PASVMode", None),
                                        ("PASV", 512)])
def test_files_both_ways(qelta, tmp_path, ftp_server, mode, block):
    port = "PASV" if mode == "PASV" else "PORT"
    settings = {"PASVMode": 1} if mode == "PASVMode" else {}
    if block:
        settings["BlockSize"] = block
    local = tmp_path / "local"
    local.mkdir()
    down, up = [], []
    for size in SIZES:
        data = os.urandom(size)
        put_on_server(ftp_server, f"d{size}.bin", data)
        (local / f"u{size}.bin").write_bytes(data[::-1])
        down += [port, f"RETR d{size}.bin {dos(qelta, local / f'd{size}.bin')}"]
        up += [port, f"STOR u{size}.bin {dos(qelta, local / f'u{size}.bin')}"]
    listing = local / "list.txt"
    commands = login(ftp_server) + down + up + [port, f"LIST . {dos(qelta, listing)}", "QUIT"]
    run_job(qelta, tmp_path, commands, settings)

    pub = ftp_server.home / "pub"
    for size in SIZES:
        assert digest(local / f"d{size}.bin") == digest(pub / f"d{size}.bin"), size
        assert digest(pub / f"u{size}.bin") == digest(local / f"u{size}.bin"), size
    text = listing.read_bytes()
    assert b"d513.bin" in text and b"u512.bin" in text
    assert not list(local.glob("*.qpart"))


def test_append_and_unique_store(qelta, tmp_path, ftp_server):
    put_on_server(ftp_server, "log.txt", b"first line\n", 0o666)
    more = tmp_path / "more.txt"
    more.write_bytes(b"second line\n")
    unique = tmp_path / "unique.bin"
    unique.write_bytes(os.urandom(2000))
    before = set(os.listdir(ftp_server.home / "pub"))
    commands = login(ftp_server) + ["PASV", f"APPE log.txt {dos(qelta, more)}",
                                    "PORT", f"STOU {dos(qelta, unique)}", "QUIT"]
    run_job(qelta, tmp_path, commands)
    pub = ftp_server.home / "pub"
    assert (pub / "log.txt").read_bytes() == b"first line\nsecond line\n"
    new = set(os.listdir(pub)) - before
    assert [n for n in new if (pub / n).read_bytes() == unique.read_bytes()], new


def test_statistics_file_records_each_transfer(qelta, tmp_path, ftp_server):
    put_on_server(ftp_server, "a.bin", os.urandom(900))
    src = tmp_path / "b.bin"
    src.write_bytes(os.urandom(1500))
    stat = tmp_path / "job.sta"
    commands = login(ftp_server) + ["PASV", f"RETR a.bin {dos(qelta, tmp_path / 'a.bin')}",
                                    "PASV", f"STOR b.bin {dos(qelta, src)}", "QUIT"]
    run_job(qelta, tmp_path, commands, {"StatFile": dos(qelta, stat)})
    lines = stat.read_bytes().split(b"\r\n")
    assert lines[0] == b"" and re.match(rb"QELTA v1\.3\.7 \w{3} \w{3} \d\d ", lines[1])
    assert lines[3].startswith(b"#     Filename")
    assert re.match(rb"1     a\.bin {13}900 {21}\d+ +\d+:\d\d:\d\d$", lines[4]), lines[4]
    assert re.match(rb"2     b\.bin {13}1500 {20}\d+ +\d+:\d\d:\d\d$", lines[5]), lines[5]


def test_refused_retrieval_keeps_the_local_file(qelta, tmp_path, ftp_server):
    dest = tmp_path / "keep.txt"
    dest.write_bytes(b"yesterday's copy\n")
    commands = login(ftp_server) + ["PORT", f"RETR missing.bin {dos(qelta, dest)}", "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "TimeOut": 30})
    qelta.run(script, timeout=120)
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert status.get("commandstatus7") != "Success"
    assert re.search(rb"^55\d ", (tmp_path / "job.err").read_bytes(), re.M)
    assert dest.read_bytes() == b"yesterday's copy\n"
    assert not list(tmp_path.glob("*.qpart"))


@pytest.mark.parametrize("target", ["script", "log"])
def test_retrieval_never_writes_over_the_run_files(qelta, tmp_path, ftp_server, target):
    put_on_server(ftp_server, "evil.txt", b"[QELTA]\r\n1=NONE\r\n")
    dest = tmp_path / ("job.ftp" if target == "script" else "job.log")
    commands = login(ftp_server) + ["PASV", f"RETR evil.txt {dos(qelta, dest)}", "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "TimeOut": 30})
    qelta.run(script, timeout=120)
    assert status_of(script)["exitcode"] == "Failure"
    assert b"CHWD pub" in script.read_bytes()
    assert b"_lcreat()=HFILE_ERROR with Filename=" in (tmp_path / "job.err").read_bytes()


@pytest.mark.slow
def test_file_past_four_gib(linux_qelta, tmp_path, vsftpd):
    """A sparse file on the server costs no disk there; a few marked places
    show every byte landed where it belongs."""
    ftp_server = vsftpd
    size = 4 * 2**30 + 1234567
    marks = {0: b"first", 2**32 - 3: b"across-4GiB", size - 4: b"last"}
    remote = ftp_server.home / "pub" / "big.bin"
    with open(remote, "wb") as f:
        f.truncate(size)
        for at, mark in marks.items():
            f.seek(at)
            f.write(mark)
    remote.chmod(0o644)
    dest = tmp_path / "big.bin"
    stat = tmp_path / "job.sta"
    try:
        commands = login(ftp_server) + ["PASV", f"RETR big.bin {dos(linux_qelta, dest)}", "QUIT"]
        run_job(linux_qelta, tmp_path, commands,
                {"BlockSize": 65536, "StatFile": dos(linux_qelta, stat)}, timeout=900)
        assert dest.stat().st_size == size
        with open(dest, "rb") as f:
            for at, mark in marks.items():
                f.seek(at)
                assert f.read(len(mark)) == mark, at
        line = stat.read_bytes().split(b"\r\n")[4]
        assert re.match(rb"1     big\.bin {11}%d +\d+ +\d+:\d\d:\d\d$" % size, line), line
    finally:
        dest.unlink(missing_ok=True)
        remote.unlink(missing_ok=True)


def test_a_file_that_cannot_be_read_is_no_empty_upload(linux_qelta, tmp_path, vsftpd):
    # Reading /proc/self/mem at its first byte fails (nothing is mapped
    # there): a read error, which must not pass for the end of the file.
    commands = login(vsftpd) + ["PASV", "STOR mem.bin C:\\proc\\self\\mem", "QUIT"]
    script = write_script(tmp_path / "job.ftp", commands, {"Silent": 1, "TimeOut": 30})
    linux_qelta.run(script)
    status = status_of(script)
    assert status["exitcode"] == "Failure"
    assert status.get("commandstatus7") != "Success"
    assert b"_lread() returned HFILE_ERROR" in (tmp_path / "job.err").read_bytes()
