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

// Bounded readers of outside bytes: each number has at most three (or
// five) digits and a fixed count of them, or the reply names nothing.

// At most max digits from line[*at] (with blanks around them when
// blanks); -1 when there are none or more.
static long ReadBoundedNumber(const char *line, size_t n, size_t *at, int max, int blanks) {
    size_t i = *at;
    while (blanks && i < n && line[i] == ' ') i++;
    long v = 0;
    int digits = 0;
    while (i < n && IsDigit(line[i]) && digits <= max) v = v * 10 + (line[i++] - '0'), digits++;
    if (digits == 0 || digits > max) return -1;
    while (blanks && i < n && line[i] == ' ') i++;
    *at = i;
    return v;
}

// "h1,h2,h3,h4,p1,p2)" from at: exactly six numbers 0 to 255. 1 with
// the address.
static int ReadPassiveGroup(const char *line, size_t n, size_t at, NetAddress *a) {
    unsigned char f[6];
    for (int k = 0; k < 6; k++) {
        long v = ReadBoundedNumber(line, n, &at, 3, 1);
        if (v < 0 || v > 255 || at >= n || line[at] != (k < 5 ? ',' : ')')) return 0;
        f[k] = (unsigned char)v;
        at++;
    }
    NetMakeAddress(a, NET_IPV4, f, (unsigned short)(f[4] << 8 | f[5]));
    return 1;
}

// Every well-formed group counts, the last one winning; a reply without
// one names no address (PassiveFound stays 0) and the command fails.
void TakePassiveAddress(QELTA *q, const char *line, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (line[i] == '(' && ReadPassiveGroup(line, n, i + 1, &q->PassiveAddress))
            q->PassiveFound = 1;
}

// "(|||port|)": three bars, a port 1 to 65535, a bar and the parenthesis.
void TakeExtendedPassivePort(QELTA *q, const char *line, size_t n) {
    if (q->PassiveFound) return;
    for (size_t i = 0; i + 4 < n; i++) {
        if (memcmp(line + i, "(|||", 4) != 0) continue;
        size_t at = i + 4;
        long port = ReadBoundedNumber(line, n, &at, 5, 0);
        if (port < 1 || port > 65535 || at + 1 >= n || line[at] != '|' || line[at + 1] != ')')
            continue;
        memset(&q->PassiveAddress, 0, sizeof q->PassiveAddress);
        q->PassiveAddress.Port = (unsigned short)port;
        q->PassiveFound = 1;
        return;
    }
}
