// The line split and look-ups of profile files, shared by the POSIX
// profile layer and the script check.
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
