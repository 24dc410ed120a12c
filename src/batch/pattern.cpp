// The file-name pattern of MGET, MGTC and the remote delete, matched
// against the names of the server's list.
#include <cstring>
#include <string>

#include "log/log.h"
#include "batch/batch.h"

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

static std::string Lowered(const char *s) {
    std::string out(s);
    for (char &c : out) c = Lower(c);
    return out;
}

// The literals from pattern position p up to the next wildcard or the end.
static size_t RunLength(const std::string &pat, size_t p) {
    size_t end = pat.find_first_of("*?", p);
    return (end == std::string::npos ? pat.size() : end) - p;
}

// After a '*': the run's first occurrence at or after *at moves *at past
// it. When the run ends the pattern, later occurrences are tried (never
// overlapping the last) until one ends the name. 0 when none does.
static int TakeRun(const std::string &name, const std::string &run, int endsPattern, size_t *at) {
    size_t found = name.find(run, *at);
    if (found == std::string::npos) return 0;
    *at = found + run.size();
    while (endsPattern && *at < name.size()) {
        found = name.find(run, *at);
        if (found == std::string::npos) return 0;
        *at = found + run.size();
    }
    return 1;
}

static int Match(const std::string &pat, const std::string &name) {
    if (name.empty() || name[0] == '.') return 0;
    size_t p = 0, n = 0;
    int afterStar = 0;
    while (p < pat.size()) {
        char c = pat[p];
        if (c == '*') {
            afterStar = 1;
            p++;
        } else if (c == '?') {
            afterStar = 0;
            if (n >= name.size()) return 0;
            n++;
            p++;
        } else if (!afterStar) {
            if (n >= name.size() || name[n] != c) return 0;
            n++;
            p++;
        } else {
            size_t len = RunLength(pat, p);
            if (!TakeRun(name, pat.substr(p, len), p + len == pat.size(), &n)) return 0;
            p += len;
        }
    }
    return n == name.size() || afterStar;
}

int EvaluatePattern(const char *pattern, const char *name, QELTA *q) {
    std::string pat = Lowered(pattern), nm = Lowered(name);
    if (q != nullptr && q->DebugEx == 1) {
        std::string trace = "Evaluate Pattern=String " + pat + "=" + nm + "\r\n";
        DebugTrace(q, trace.c_str());
    }
    return Match(pat, nm);
}

int IsWildcard(const char *s) { return strpbrk(s, "*?") != nullptr; }
