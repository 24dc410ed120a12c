// What resuming reads from outside: the server's SIZE and MDTM lines and
// the records kept beside a part, each read within fixed bounds. A record
// is profile text, read by the same splitter as the scripts.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/profiletext.h"
#include "base/text.h"
#include "transfer/resume.h"

static int IsDigitChar(char c) { return c >= '0' && c <= '9'; }

// The line's end: blanks, CR and LF only.
static int OnlyLineEnd(const char *line, size_t at, size_t n) {
    while (at < n && (line[at] == ' ' || line[at] == '\r' || line[at] == '\n')) at++;
    return at == n;
}

// "213" and one or more blanks; the index of what follows, or 0.
static size_t AfterCode213(const char *line, size_t n) {
    if (n < 5 || strncmp(line, "213 ", 4) != 0) return 0;
    size_t at = 4;
    while (at < n && line[at] == ' ') at++;
    return at;
}

// At most 18 digits: any such number fits an int64_t.
int64_t ReadSizeReply(const char *line, size_t n) {
    size_t at = AfterCode213(line, n);
    if (at == 0) return -1;
    int64_t v = 0;
    int digits = 0;
    for (; at < n && IsDigitChar(line[at]); at++, digits++) {
        if (digits == 18) return -1;
        v = v * 10 + (line[at] - '0');
    }
    if (digits == 0 || !OnlyLineEnd(line, at, n)) return -1;
    return v;
}

int ReadTimeReply(const char *line, size_t n, char *out, size_t size) {
    if (size > 0) out[0] = 0;
    size_t at = AfterCode213(line, n), start = at;
    if (at == 0) return 0;
    while (at < n && IsDigitChar(line[at]) && at - start <= 14) at++;
    if (at - start != 14) return 0;
    if (at < n && line[at] == '.') {
        size_t fraction = ++at;
        while (at < n && IsDigitChar(line[at]) && at - fraction <= 9) at++;
        if (at == fraction || at - fraction > 9) return 0;
    }
    if (!OnlyLineEnd(line, at, n) || at - start >= size) return 0;
    memcpy(out, line + start, at - start);
    out[at - start] = 0;
    return 1;
}

// ---- Records -----------------------------------------------------------------------

static int HasLineEnd(const char *s) { return strpbrk(s, "\r\n") != nullptr; }

int FormatPartRecord(const PartRecord *r, const char *section, char *out, size_t size) {
    const char *texts[] = {r->Host, r->User, r->Remote, r->Time, r->Local};
    for (const char *t : texts)
        if (HasLineEnd(t)) return 0;
    return FormatCut(out, size,
                     "[%s]\r\nHost=\"%s\"\r\nPort=%ld\r\nUser=\"%s\"\r\nRemote=\"%s\"\r\n"
                     "Size=%lld\r\nTime=\"%s\"\r\nLocal=\"%s\"\r\nLocalSize=%lld\r\n"
                     "LocalTime=%lld\r\nSent=%lld\r\n",
                     section, r->Host, r->Port, r->User, r->Remote, (long long)r->Size, r->Time,
                     r->Local, (long long)r->LocalSize, (long long)r->LocalTime, (long long)r->Sent);
}

// "-1", or digits of a number that fits an int64_t.
static int ReadNumber(const std::string &s, int64_t *out) {
    if (s == "-1") {
        *out = -1;
        return 1;
    }
    if (s.empty() || s.size() > 19) return 0;
    int64_t v = 0;
    for (char c : s) {
        if (!IsDigitChar(c) || v > (INT64_MAX - (c - '0')) / 10) return 0;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return 1;
}

struct RecordReader {
    const ProfileText *Text;
    long Header;
    int Ok;
    int Copy(const char *key, char *out, size_t size) {
        long k = FindProfileKey(*Text, Header, key);
        if (k < 0) return Ok = 0;
        std::string v = ProfileValue(*Text, Text->lines[(size_t)k]);
        // A NUL would end the text early: it could not be written back.
        if (v.size() >= size || v.find('\0') != std::string::npos) return Ok = 0;
        memcpy(out, v.c_str(), v.size() + 1);
        return 1;
    }
    void Number(const char *key, int64_t *out) {
        char v[24];
        if (Copy(key, v, sizeof v) && !ReadNumber(v, out)) Ok = 0;
    }
};

int ReadPartRecord(const char *text, size_t n, const char *section, PartRecord *r) {
    memset(r, 0, sizeof *r);
    ProfileText t;
    t.bytes.assign(text, n > 8192 ? 8192 : n);
    SplitProfileLines(&t);
    RecordReader rd = {&t, FindProfileSection(t, section), 1};
    if (rd.Header < 0) return 0;
    int64_t port = -1;
    rd.Copy("Host", r->Host, sizeof r->Host);
    rd.Number("Port", &port);
    rd.Copy("User", r->User, sizeof r->User);
    rd.Copy("Remote", r->Remote, sizeof r->Remote);
    rd.Number("Size", &r->Size);
    rd.Copy("Time", r->Time, sizeof r->Time);
    rd.Copy("Local", r->Local, sizeof r->Local);
    rd.Number("LocalSize", &r->LocalSize);
    rd.Number("LocalTime", &r->LocalTime);
    rd.Number("Sent", &r->Sent);
    r->Port = port > 65535 ? -1 : (long)port;
    return rd.Ok;
}
