#include "base/text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int CopyCut(char *dst, size_t size, const char *src) {
    if (size == 0) return 0;
    size_t n = 0;
    while (src[n] && n < size - 1) {
        dst[n] = src[n];
        n++;
    }
    dst[n] = 0;
    return src[n] == 0;
}

int AppendCut(char *dst, size_t size, const char *src) {
    size_t used = strnlen(dst, size);
    if (used >= size) return 0;
    return CopyCut(dst + used, size - used, src);
}

int FormatCutV(char *dst, size_t size, const char *fmt, va_list ap) {
    if (size == 0) return 0;
    int n = vsnprintf(dst, size, fmt, ap);
    if (n < 0) {
        dst[0] = 0;
        return 0;
    }
    return (size_t)n < size;
}

int FormatCut(char *dst, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int whole = FormatCutV(dst, size, fmt, ap);
    va_end(ap);
    return whole;
}

long ReadDecimal(const char *s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') s++;
    int neg = 0;
    if (*s == '+' || *s == '-') neg = (*s++ == '-');
    long v = 0;
    while (*s >= '0' && *s <= '9') {
        int d = *s++ - '0';
        if (v > (LONG_MAX - d) / 10) {
            v = LONG_MAX;
            while (*s >= '0' && *s <= '9') s++;
            break;
        }
        v = v * 10 + d;
    }
    return neg ? -v : v;
}

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

int EqualNoCase(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (Lower(a[i]) != Lower(b[i])) return 0;
        if (a[i] == 0) return 1;
    }
    return 1;
}

int IsWholeNumber(const char *s) {
    while (*s == ' ' || *s == '\t') s++;
    if (*s == '+' || *s == '-') s++;
    if (*s < '0' || *s > '9') return 0;
    while (*s >= '0' && *s <= '9') s++;
    while (*s == ' ' || *s == '\t') s++;
    return *s == 0;
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int ParseFingerprint(const char *text, unsigned char out[32]) {
    const char *p = text;
    while (*p == ' ' || *p == '\t') p++;
    int colons = -1;  // unknown until the first pair's end
    for (int i = 0; i < 32; i++) {
        if (i > 0) {
            int colon = *p == ':';
            if (colons == -1) colons = colon;
            // Colons between all pairs or none: "AB:CDEF" is a typo.
            if (colon != colons) return 0;
            p += colon;
        }
        int hi = HexValue(p[0]);
        int lo = hi < 0 ? -1 : HexValue(p[1]);
        if (lo < 0) return 0;
        out[i] = (unsigned char)(hi * 16 + lo);
        p += 2;
    }
    while (*p == ' ' || *p == '\t') p++;
    return *p == 0;
}

void Wipe(void *p, size_t n) {
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n-- > 0) *v++ = 0;
}
