// The line split, look-ups and edits of profile files, shared by both
// platforms' profile layers and the script check.
#include "base/profiletext.h"

#include <cstring>

#include "base/text.h"

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

static std::string Trimmed(const std::string &s, size_t from, size_t to) {
    while (from < to && IsBlank(s[from])) from++;
    while (to > from && IsBlank(s[to - 1])) to--;
    return s.substr(from, to - from);
}

int ProfileNameIs(const std::string &name, const char *b) {
    size_t n = strlen(b);
    return name.size() == n && EqualNoCase(name.c_str(), b, n);
}

static void ClassifyKey(const std::string &s, size_t p, ProfileLine *line) {
    size_t eq = s.find('=', p);
    if (eq == std::string::npos || eq >= line->end) {
        line->name = Trimmed(s, p, line->end);
        return;
    }
    line->hasEquals = 1;
    line->name = Trimmed(s, p, eq);
    size_t v = eq + 1;
    while (v < line->end && IsBlank(s[v])) v++;
    line->valueStart = v;
}

static void ClassifyLine(const std::string &s, ProfileLine *line) {
    size_t p = line->start;
    while (p < line->end && IsBlank(s[p])) p++;
    line->kind = LINE_KEY;
    line->hasEquals = 0;
    line->valueStart = line->end;
    if (p == line->end) {
        line->kind = LINE_BLANK;
    } else if (s[p] == ';') {
        line->kind = LINE_COMMENT;
    } else if (s[p] == '[') {
        size_t close = s.rfind(']', line->end - 1);
        if (close != std::string::npos && close > p) {
            line->kind = LINE_SECTION;
            line->name = Trimmed(s, p + 1, close);
        } else {
            line->kind = LINE_COMMENT;  // a broken header names no section
        }
    } else {
        ClassifyKey(s, p, line);
    }
}

// A line ends at its first CR or LF; CR LF together is one line end.
static void FindLineEnd(const std::string &s, ProfileLine *line) {
    size_t e = s.find_first_of("\r\n", line->start);
    if (e == std::string::npos) {
        line->end = line->next = s.size();
        return;
    }
    line->end = e;
    line->next = e + 1;
    if (s[e] == '\r' && e + 1 < s.size() && s[e + 1] == '\n') line->next++;
}

void SplitProfileLines(ProfileText *text) {
    const std::string &s = text->bytes;
    text->lines.clear();
    // A UTF-8 byte-order mark, as some editors save one, is no part of
    // the first line: its section must still be found. It stays in place.
    size_t i = s.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < s.size()) {
        ProfileLine line;
        line.start = i;
        FindLineEnd(s, &line);
        ClassifyLine(s, &line);
        text->lines.push_back(line);
        i = line.next;
    }
}

long FindProfileSection(const ProfileText &text, const char *section) {
    for (size_t i = 0; i < text.lines.size(); i++)
        if (text.lines[i].kind == LINE_SECTION && ProfileNameIs(text.lines[i].name, section))
            return (long)i;
    return -1;
}

size_t ProfileSectionEnd(const ProfileText &text, long header) {
    size_t i = (size_t)header + 1;
    while (i < text.lines.size() && text.lines[i].kind != LINE_SECTION) i++;
    return i;
}

long FindProfileKey(const ProfileText &text, long header, const char *key) {
    size_t end = ProfileSectionEnd(text, header);
    for (size_t i = (size_t)header + 1; i < end; i++)
        if (text.lines[i].kind == LINE_KEY && ProfileNameIs(text.lines[i].name, key))
            return (long)i;
    return -1;
}

std::string ProfileValue(const ProfileText &text, const ProfileLine &line) {
    std::string v = Trimmed(text.bytes, line.valueStart, line.end);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        v = v.substr(1, v.size() - 2);
    return v;
}

// ---- Writes ----------------------------------------------------------------------

// The line end of the lines a write adds: that of the file's first LF, a
// lone CR in a file of CRs only, and CR LF in a file of one line.
static const char *LineEndOf(const std::string &s) {
    size_t lf = s.find('\n');
    if (lf != std::string::npos) return lf > 0 && s[lf - 1] == '\r' ? "\r\n" : "\n";
    return s.find('\r') != std::string::npos ? "\r" : "\r\n";
}

// Texts written into the file stop at a line end: a value holding one
// would otherwise add lines of its own to the script.
static std::string OneLine(const char *text) {
    std::string s = text;
    size_t cut = s.find_first_of("\r\n");
    if (cut != std::string::npos) s.resize(cut);
    return s;
}

static void ReplaceValue(ProfileText *pr, const ProfileLine &line, const std::string &value) {
    if (line.hasEquals) {
        pr->bytes.replace(line.valueStart, line.end - line.valueStart, value);
    } else {
        pr->bytes.insert(line.end, "=" + value);
    }
}

static void AddKey(ProfileText *pr, const char *eol, long header, const std::string &key,
                   const std::string &value) {
    size_t end = ProfileSectionEnd(*pr, header);
    size_t after = (size_t)header;
    for (size_t i = (size_t)header + 1; i < end; i++)
        if (pr->lines[i].kind == LINE_KEY) after = i;
    const ProfileLine &last = pr->lines[after];
    std::string text = key + "=" + value + eol;
    if (last.next == last.end) text = eol + text;  // the file ended without a line end
    pr->bytes.insert(last.next, text);
}

static void AddSection(ProfileText *pr, const char *eol, const std::string &section, const std::string &key,
                       const std::string &value) {
    std::string &s = pr->bytes;
    if (!s.empty() && s.back() != '\n' && s.back() != '\r') s += eol;
    s += "[" + section + "]" + eol + key + "=" + value + eol;
}

static void RemoveLines(ProfileText *pr, size_t first, size_t end) {
    size_t from = pr->lines[first].start;
    size_t to = end < pr->lines.size() ? pr->lines[end].start : pr->bytes.size();
    pr->bytes.erase(from, to - from);
}

int EditProfileText(ProfileText *pr, const char *section, const char *key, const char *value) {
    std::string sec = OneLine(section);
    long header = FindProfileSection(*pr, sec.c_str());
    if (key == nullptr) {  // the whole section goes
        if (header < 0) return 0;
        RemoveLines(pr, (size_t)header, ProfileSectionEnd(*pr, header));
        return 1;
    }
    std::string k = OneLine(key);
    long at = header < 0 ? -1 : FindProfileKey(*pr, header, k.c_str());
    if (value == nullptr) {
        if (at < 0) return 0;
        RemoveLines(pr, (size_t)at, (size_t)at + 1);
        return 1;
    }
    std::string v = OneLine(value);
    const char *eol = LineEndOf(pr->bytes);
    if (at >= 0) {
        const ProfileLine &line = pr->lines[(size_t)at];
        size_t old = line.end - line.valueStart;
        if (line.hasEquals && pr->bytes.compare(line.valueStart, old, v) == 0) return 0;
        ReplaceValue(pr, line, v);
    } else if (header >= 0) {
        AddKey(pr, eol, header, k, v);
    } else {
        AddSection(pr, eol, sec, k, v);
    }
    return 1;
}
