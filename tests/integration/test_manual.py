"""The manual page and the sample scripts against the program's own tables:
every keyword of the command table and every [Settings] key the program
reads is documented, with the default it really has, and the page names
nothing the program does not know."""
import re
import shutil
import subprocess

import pytest

import program_tables as tables

PAGE = tables.ROOT / "doc" / "qelta.1.scd"
EXAMPLES = tables.ROOT / "doc" / "examples"


def page_sections():
    """{heading: text} of the page's top-level sections."""
    sections, name = {}, None
    for line in PAGE.read_text().splitlines():
        if line.startswith("# "):
            name = line[2:].strip()
            sections[name] = []
        elif name:
            sections[name].append(line)
    return {k: "\n".join(v) for k, v in sections.items()}


def page_keywords():
    return set(re.findall(r"^\*([A-Z]{4})\*", page_sections()["COMMANDS"], re.M))


def page_settings():
    """{key: its entry's text, blanks folded} of the SETTINGS section."""
    text = page_sections()["SETTINGS"]
    entries = re.split(r"^(?=\*[0-9A-Za-z]+\*=)", text, flags=re.M)
    out = {}
    for entry in entries:
        m = re.match(r"\*([0-9A-Za-z]+)\*=", entry)
        if m:
            body = entry.split("\n## ")[0]
            out[m.group(1)] = " ".join(body.split())
    return out


def test_every_keyword_of_the_table_is_documented_and_no_other():
    table = set(tables.keyword_table())
    assert len(table) == 31
    documented = page_keywords()
    assert table - documented == set(), "keywords missing from the page"
    assert documented - table == set(), "the page documents keywords the program lacks"


def test_every_setting_read_is_documented_with_its_default():
    reads = tables.settings_reads()
    documented = page_settings()
    assert set(reads) - set(documented) == set(), "settings missing from the page"
    for key, defaults in reads.items():
        assert len(defaults) == 1, f"{key} is read with different defaults: {defaults}"
        default = next(iter(defaults))
        m = re.search(r"Default: (\S+?)[.\s]", documented[key])
        assert m, f"the page gives no default for {key}"
        if isinstance(default, int):
            assert m.group(1) == str(default), f"{key}: the program's default is {default}"
        else:
            # Text settings: empty means none, or a name derived from the script.
            assert default == "" and m.group(1) in ("none", "derived"), (key, m.group(1))


def test_the_page_documents_no_setting_the_program_lacks():
    reads = set(tables.settings_reads())
    for key in page_settings():
        assert key in reads, f"the page documents {key}, which the program never reads"


def test_the_page_names_the_version_and_renders_without_warnings(tmp_path):
    assert f"QELTA v{tables.version()}" in PAGE.read_text()
    if not shutil.which("scdoc") or not shutil.which("man"):
        pytest.skip("scdoc or man is not installed")
    page = tmp_path / "qelta.1"
    with open(PAGE, "rb") as src, open(page, "wb") as out:
        subprocess.run(["scdoc"], stdin=src, stdout=out, check=True)
    r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", str(page)],
                       capture_output=True, env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"})
    assert r.returncode == 0 and r.stderr == b"", r.stderr.decode()


def sample_scripts():
    return sorted(EXAMPLES.glob("*.ftp"))


def ini_sections(path):
    sections, current = {}, None
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]").lower(), [])
        elif current is not None:
            current.append(line.split("=", 1))
    return sections


@pytest.mark.parametrize("sample", sample_scripts(), ids=lambda p: p.name)
def test_samples_use_only_keywords_and_settings_the_program_knows(sample):
    sections = ini_sections(sample)
    lines = sections["qelta"]
    assert [k for k, _ in lines] == [f"FTPCommand{n}" for n in range(1, len(lines) + 1)]
    keywords = set(tables.keyword_table())
    for _, line in lines:
        assert line[:4] in keywords and (len(line) == 4 or line[4] == " "), line
    known = {k.lower() for k in page_settings()}
    for key, _ in sections["settings"]:
        assert key.lower() in known, f"{sample.name}: unknown setting {key}"
    assert ("ProcessExitCode", "1") in [tuple(kv) for kv in sections["settings"]]


def test_there_is_a_sample_per_common_job():
    names = {p.name for p in sample_scripts()}
    assert {"fetch-nightly.ftp", "push-and-clean.ftp", "poll.ftp"} <= names
    units = {p.name for p in (EXAMPLES / "systemd").iterdir()}
    assert {"qelta-fetch.service", "qelta-fetch.timer", "qelta-alert@.service"} <= units
    service = (EXAMPLES / "systemd" / "qelta-fetch.service").read_text()
    assert "OnFailure=qelta-alert@%n.service" in service
    assert re.search(r"^ExecStart=/usr/bin/qelta /srv/ftpjobs/jobs/fetch-nightly\.ftp$", service, re.M)
