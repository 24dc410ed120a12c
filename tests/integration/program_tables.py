"""What the program itself says about its script language, read from its
sources: the rows of the keyword table, and every [Settings] key it reads
with the default it reads it with. The manual page and the sample scripts
are checked against these, so that neither can drift from the program.

Every [Settings] key is read through the settings table of
src/session/settings.cpp; a read of the section anywhere else in the core is
reported, so that no key can slip past the table.
"""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src"

_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')
_INT = re.compile(r"^-?\d+$")


def version():
    text = (SRC / "base" / "version.h").read_text()
    return re.search(r'#define QELTA_VERSION "([0-9.]+)"', text).group(1)


def keyword_table():
    """{keyword: executor} of every row of the command table."""
    text = (SRC / "script" / "commandtable.cpp").read_text()
    rows = re.findall(r'\{"([A-Z]{4})",\s*CMD_\w+,\s*\w+,\s*\w+,\s*\w+,\s*(\w+)\}', text)
    return dict(rows)


# ---- a small reader of C++ calls ------------------------------------------------

def _strip_comments(text):
    # Keeps string literals (a "//" inside one is not a comment) and the
    # text's length, so that positions stay valid.
    out, i, n = [], 0, len(text)
    while i < n:
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text[i] in "\"'":
            quote, j = text[i], i + 1
            while j < n and text[j] != quote:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def _arguments(text, open_paren):
    """The top-level arguments of the call whose '(' is at open_paren."""
    depth, start, args, i = 0, open_paren + 1, [], open_paren
    while i < len(text):
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            i = j
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(text[start:i].strip())
                return args
        elif c == "," and depth == 1:
            args.append(text[start:i].strip())
            start = i + 1
        i += 1
    raise ValueError("unbalanced call")


def _calls(text, name):
    """(position, arguments) of every call of name, definitions left out."""
    for m in re.finditer(r"\b%s\s*\(" % re.escape(name), text):
        args = _arguments(text, m.end() - 1)
        # A definition or declaration names types before its parameters.
        if args and re.match(r"^(const\s+)?(char|int|QELTA|PlatWindow|size_t|void)\b", args[0]):
            continue
        yield m.start(), args


def _literal(arg):
    m = _STRING.fullmatch(arg)
    if m:
        return m.group(1)
    return int(arg) if _INT.match(arg) else None


def _string_constants(text):
    return dict(re.findall(r'\b(\w+)\s*\[\s*\]\s*=\s*"([^"]*)"', text))


class UnresolvedRead(Exception):
    pass


SETTINGS_SOURCE = SRC / "session" / "settings.cpp"
_ROW = re.compile(r'\{"(\w+)",\s*SET_\w+,\s*(SETTING_\w+),\s*(-?\d+),')


def settings_table():
    """{key: (kind, default)} of every row of the settings table."""
    text = _strip_comments(SETTINGS_SOURCE.read_text())
    return {key: (kind, int(default)) for key, kind, default in _ROW.findall(text)}


def _direct_settings_reads():
    """Where a [Settings] key is read other than through the table."""
    found = []
    for path in sorted(SRC.rglob("*.cpp")):
        if "platform" in path.parts or path == SETTINGS_SOURCE:
            continue
        text = _strip_comments(path.read_text(errors="replace"))
        consts = _string_constants(text)
        for func in ("PlatProfileReadInt", "PlatProfileRead"):
            for pos, args in _calls(text, func):
                section = _literal(args[0]) if args else None
                if section == "Settings" or (args and consts.get(args[0]) == "Settings"):
                    found.append(f"{path.relative_to(ROOT)}:{text.count(chr(10), 0, pos) + 1}")
    return found


def settings_reads():
    """{key: set of defaults} of every [Settings] key the program reads:
    the rows of its settings table, through which every read goes. A
    default is an int, or "" for a path, a command line or a text."""
    direct = _direct_settings_reads()
    if direct:
        raise UnresolvedRead("[Settings] read past the settings table: " + "; ".join(direct))
    texts = ("SETTING_PATH", "SETTING_COMMAND", "SETTING_TEXT")
    return {key: {"" if kind in texts else default}
            for key, (kind, default) in settings_table().items()}
