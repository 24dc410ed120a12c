// What a reply line tells besides its code: the size a retrieval
// announces and the address of a passive reply. The commands that want
// them watch their own reply's lines (WatchReplyLines).
#include <cstdint>
#include <cstring>

#include "ftp/ftp.h"

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number as atoi reads it (blanks, a sign, digits), from at most
// len bytes, saturated well inside 64 bits: the same on both builds.
static long long ReadField(const char *p, size_t len) {
    size_t i = 0;
    while (i < len && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n')) i++;
    int neg = 0;
    if (i < len && (p[i] == '+' || p[i] == '-')) neg = (p[i++] == '-');
    long long v = 0;
    for (; i < len && IsDigit(p[i]); i++)
        if (v < 1000000000000000LL) v = v * 10 + (p[i] - '0');
    return neg ? -v : v;
}

static int EndsField(char c) { return c == ',' || c == ' ' || c == ')' || c == 0; }

void TakeAnnouncedSize(QELTA *q, const char *line, size_t n) {
    if (q->ExpectedSize != 0) return;  // the first figure counts
    for (size_t i = 0; i < n; i++) {
        if (line[i] != '(') continue;
        size_t start = i + 1, end = start;
        while (end < n && line[end] != ' ' && line[end] != ')' && line[end] != 0) end++;
        if (end < n && line[end] == ' ' && end + 2 < n && line[end + 2] == 'y') {
            // ReadField saturates near 10^15: a figure beyond that (or a
            // negative one) stays unknown rather than wrapping.
            long long v = ReadField(line + start, end - start);
            if (v >= 0 && v < 1000000000000000LL) q->ExpectedSize = (uint64_t)v;
            return;
        }
        i = end;
    }
}

// The six numbers of a passive reply's "(h1,h2,h3,h4,p1,p2)".
static void TakePassiveGroup(QELTA *q, const char *line, size_t n, size_t at) {
    long long f[6];
    size_t pos = at;
    for (int k = 0; k < 6; k++) {
        size_t end = pos;
        while (end < n && !EndsField(line[end])) end++;
        f[k] = ReadField(line + pos, end - pos);
        pos = end < n ? end + 1 : n;
    }
    PlatSockAddr a;
    memset(&a, 0, sizeof a);
    a.family = 2;
    for (int k = 0; k < 4; k++) a.addr[k] = (unsigned char)(f[k] & 0xFF);
    unsigned long long port = ((unsigned long long)f[4] << 8) | (unsigned long long)f[5];
    a.port = PlatNetHtons((unsigned short)(port & 0xFFFF));
    q->PassiveAddress = a;
}

void TakePassiveAddress(QELTA *q, const char *line, size_t n) {
    // Every group counts; the last one wins.
    for (size_t i = 0; i < n; i++)
        if (line[i] == '(') TakePassiveGroup(q, line, n, i + 1);
}
