// The statistics file: one line per finished transfer, under a header block
// written once per run in front of the run's first line.
#include <cstring>

#include "base/text.h"
#include "log/log.h"
#include "transfer/transfer.h"


static void StatText(QELTA *q, const char *text) {
    if (q->StatHandle != -1) PlatFileWrite(q->StatHandle, text, strlen(text));
}

static void WriteStatHeader(QELTA *q) {
    char stamp[64];
    FormatLocalStamp(stamp, sizeof stamp);
    char line[100];
    FORMATCUT(line, "\r\n" QELTA_VERSION_TEXT " %s\r\n\r\n", stamp);
    StatText(q, line);
    StatText(q, "#     Filename          Bytes Transmitted       Bytes/sec       "
                "Elapsed Time(HH:MM:SS)\r\n");
    q->Progress.StatHeaderPending = 0;
}

// The part after the last backslash or slash.
static const char *ShortName(const char *name) {
    const char *s = name;
    for (const char *c = name; *c; c++)
        if (*c == '\\' || *c == '/') s = c + 1;
    return s;
}

// Whole seconds between the clock's whole seconds at start and at end: a
// transfer inside one whole second of the clock took 0. Counted from the
// difference, so a wrap of the tick count in between does no harm.
static unsigned long ElapsedSeconds(unsigned long start, unsigned long end) {
    return (end - start + start % 1000) / 1000;
}

void WriteStatLine(QELTA *q, unsigned long start, unsigned long end, uint64_t bytes,
                   const char *name) {
    if (q->StatEnabled != 1) return;
    // One numbering for the run, whichever connection moved the file.
    q = RunOf(q);
    if (q->Progress.StatHeaderPending == 1) WriteStatHeader(q);
    unsigned long d = ElapsedSeconds(start, end);
    unsigned long long perSecond = d ? bytes / d : bytes;
    char text[160];
    FORMATCUT(text, "%-6d", q->Progress.StatLineNumber);
    StatText(q, text);
    // A long name pushes the later columns to the right; it is never cut.
    const char *shortName = ShortName(name ? name : "");
    StatText(q, shortName);
    size_t n = strlen(shortName);
    FORMATCUT(text, "%*s%-24llu%-16llu%lu:%.2lu:%.2lu\r\n", n < 18 ? (int)(18 - n) : 0, "",
              (unsigned long long)bytes, perSecond, d / 3600, d / 60 % 60, d % 60);
    StatText(q, text);
    q->Progress.StatLineNumber++;
}
