"""What the program itself says about its script language, read from its
sources: the rows of the keyword table, and every [Settings] key it reads
with the default it reads it with. The manual page and the sample scripts
are checked against these, so that neither can drift from the program.

A settings read is a call of PlatProfileRead or PlatProfileReadInt on the
section "Settings". Its key may come as a literal, through a parameter of
a wrapper (ReadSetting(q, "TimeOut", 60)), through a local variable or
through a field of a table of structs; a read whose key cannot be traced
to literals is reported, so that a new form of read cannot slip past.
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


def _enclosing_function(text, pos):
    """(name, parameter names, body start) of the function around pos."""
    best = None
    for m in re.finditer(r"^[A-Za-z_][\w \t\*&:<>]*?\b(\w+)\s*\(([^;{}]*?)\)\s*(?:const\s*)?\{",
                         text[:pos], re.M):
        best = m
    if not best:
        return None, [], 0
    params = [re.findall(r"(\w+)\s*(?:\[\s*\w*\s*\])?$", p.strip()) for p in best.group(2).split(",")]
    return best.group(1), [p[0] if p else "" for p in params], best.end()


def _literal(arg):
    m = _STRING.fullmatch(arg)
    if m:
        return m.group(1)
    return int(arg) if _INT.match(arg) else None


def _string_constants(text):
    return dict(re.findall(r'\b(\w+)\s*\[\s*\]\s*=\s*"([^"]*)"', text))


def _struct_field_values(texts, field):
    """Literals at a struct field's place in every braced initializer of
    that struct type, across the given sources."""
    values = []
    for text in texts:
        for m in re.finditer(r"struct\s+(\w+)\s*\{([^}]*)\}", text):
            names = [(re.findall(r"(\w+)\s*(?:\[[^\]]*\])*$", d.strip()) or [""])[0]
                     for d in m.group(2).split(";") if d.strip()]
            if field not in names:
                continue
            index = names.index(field)
            for t in texts:
                for init in re.finditer(r"\b%s\s+\w+\s*=\s*\{([^}]*)\}" % m.group(1), t):
                    args = _arguments("(" + init.group(1) + ")", 0)
                    if index < len(args) and _literal(args[index]) is not None:
                        values.append(_literal(args[index]))
    return values


class UnresolvedRead(Exception):
    pass


def settings_reads():
    """{key: set of defaults} of every [Settings] key the program reads.
    A default is an int, a string, or None when it is not a literal."""
    files = {p: _strip_comments(p.read_text(errors="replace"))
             for p in sorted(SRC.rglob("*.cpp")) if "platform" not in p.parts}
    texts = list(files.values())
    # A reader: (function, index of the key, the default as ("arg", index)
    # or ("value", literal), index of the section or None when it is fixed).
    readers = [("PlatProfileReadInt", 1, ("arg", 2), 0), ("PlatProfileRead", 1, ("arg", 2), 0)]
    seen, found, unresolved = set(), {}, []
    while readers:
        func, key_at, default_spec, section_at = readers.pop()
        if (func, key_at) in seen:
            continue
        seen.add((func, key_at))
        for path, text in files.items():
            consts = _string_constants(text)
            for pos, args in _calls(text, func):
                if key_at >= len(args):
                    continue
                if section_at is not None:
                    section = args[section_at]
                    section = _literal(section) if _literal(section) is not None else consts.get(section)
                    if section != "Settings":
                        continue
                kind, what = default_spec
                default = args[what] if kind == "arg" and what < len(args) else None
                default_value = _literal(default) if kind == "arg" and default is not None else \
                    (what if kind == "value" else None)
                key = args[key_at]
                where = f"{path.relative_to(ROOT)}:{text.count(chr(10), 0, pos) + 1}"
                if _literal(key) is not None:
                    found.setdefault(_literal(key), set()).add(default_value)
                    continue
                name, params, body = _enclosing_function(text, pos)
                if key in params:
                    # A wrapper: its callers give the key (and perhaps the default).
                    spec = ("arg", params.index(default)) if default in params else ("value", default_value)
                    readers.append((name, params.index(key), spec, None))
                    continue
                member = re.fullmatch(r"\w+(?:->|\.)(\w+)", key)
                if member:
                    values = _struct_field_values(texts, member.group(1))
                else:
                    local = re.findall(r"\b%s\s*=\s*([^;]+);" % re.escape(key), text[body:pos])
                    values = _STRING.findall(local[-1]) if local else []
                if not values:
                    unresolved.append(f"{where}: {func}(... {key} ...)")
                for v in values:
                    found.setdefault(v, set()).add(default_value)
    if unresolved:
        raise UnresolvedRead("cannot tell which [Settings] keys these read: " + "; ".join(unresolved))
    return found
