// Bounded text helpers: every fixed text of the program is filled through
// these, so a long input is cut at the buffer's size, never overrun.
#ifndef QELTA_TEXT_H
#define QELTA_TEXT_H

#include <cstdarg>
#include <cstddef>

// Copies src into dst of size bytes, cut to size - 1 characters.
// Returns 1 when it fitted whole, 0 when it was cut.
int CopyCut(char *dst, size_t size, const char *src);
// Appends src, cut the same way. Returns 1 when it fitted whole.
int AppendCut(char *dst, size_t size, const char *src);
// snprintf into dst, cut at size. Returns 1 when it fitted whole.
int FormatCut(char *dst, size_t size, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// The same with the arguments as a va_list.
int FormatCutV(char *dst, size_t size, const char *fmt, va_list ap);
// A decimal integer as the C library's atoi reads it (leading white space,
// an optional sign, digits up to the first non-digit), without overflow.
long ReadDecimal(const char *s);
// 1 when s is a whole number as a person writes one: blanks around it, an
// optional sign, at least one digit and nothing else.
int IsWholeNumber(const char *s);
// Case-insensitive comparison of at most n characters; 1 when equal.
int EqualNoCase(const char *a, const char *b, size_t n);
// Zeroes n bytes in a way the compiler keeps: credentials must not linger
// in memory once they are done with.
void Wipe(void *p, size_t n);
// A SHA-256 fingerprint written as 64 hex digits, either case, with or
// without a colon between pairs (blanks around it are ignored). 1 with
// the 32 bytes in out.
int ParseFingerprint(const char *text, unsigned char out[32]);

#define COPYCUT(dst, src) CopyCut((dst), sizeof(dst), (src))
#define FORMATCUT(dst, ...) FormatCut((dst), sizeof(dst), __VA_ARGS__)

#endif
