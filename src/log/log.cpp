#include "log/log.h"

#include <cstring>

#include "base/text.h"

// With several connections each line starts with its connection's tag, so
// that their conversations, which the log interleaves, can be told apart.
static void WriteTagged(QELTA *q, const char *bytes, size_t n) {
    size_t tag = strlen(q->Pool.Tag);
    while (n > 0) {
        if (!q->Pool.MidLine) PlatFileWrite(q->LogHandle, q->Pool.Tag, tag);
        const char *end = static_cast<const char *>(memchr(bytes, '\n', n));
        size_t part = end ? (size_t)(end - bytes) + 1 : n;
        PlatFileWrite(q->LogHandle, bytes, part);
        q->Pool.MidLine = end == nullptr;
        bytes += part;
        n -= part;
    }
}

void LogWrite(QELTA *q, const void *bytes, size_t n) {
    if (q->LogHandle == -1 || n == 0) return;
    if (q->Pool.Tag[0])
        WriteTagged(q, static_cast<const char *>(bytes), n);
    else
        PlatFileWrite(q->LogHandle, bytes, n);
}

void ErrorLogWrite(QELTA *q, const void *bytes, size_t n) {
    if (q->ErrorLogHandle != -1 && n > 0) PlatFileWrite(q->ErrorLogHandle, bytes, n);
}

void LogText(QELTA *q, const char *text) { LogWrite(q, text, strlen(text)); }

void ErrorLogText(QELTA *q, const char *text) { ErrorLogWrite(q, text, strlen(text)); }

static const char *const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char *const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void FormatLocalStamp(char *out, size_t size) {
    PlatLocalTime t;
    PlatNow(&t);
    const char *day = (t.weekday >= 0 && t.weekday < 7) ? DayNames[t.weekday] : "???";
    const char *month = (t.month >= 1 && t.month <= 12) ? MonthNames[t.month - 1] : "???";
    FormatCut(out, size, "%s %s %02d %02d:%02d:%02d %04d", day, month, t.day, t.hour, t.minute,
              t.second, t.year);
}

void WriteLogHeader(QELTA *q, const char *word) {
    char stamp[64];
    FormatLocalStamp(stamp, sizeof stamp);
    char header[100];
    FORMATCUT(header, "*** " QELTA_VERSION_TEXT " %s", stamp);
    LogText(q, header);
    LogText(q, " -");
    LogText(q, word);
    LogText(q, "\r\n");
}

void DebugTrace(QELTA *q, const char *text) {
    if (q == nullptr || q->DebugEx != 1) return;
    ErrorLogText(q, text);
    LogText(q, text);
}

void DebugTraceValue(QELTA *q, const char *label, const char *value) {
    DebugTrace(q, label);
    DebugTrace(q, value);
    DebugTrace(q, "\r\n");
}

void LogError2(const char *text, QELTA *q) {
    DebugTrace(q, "Beginning of LogError2\r\n");
    q->ErrorFlag = 1;
    ErrorLogText(q, text);
    if (q->Silent != 1) ViewAlert(q, text, "QELTA Error");
    DebugTrace(q, "End of LogError2\r\n");
}

void RecordSentLine(QELTA *q, const char *line) {
    if (q->Debug != 1) return;
    ErrorLogText(q, "*** ");
    LogText(q, "*** ");
    ErrorLogText(q, line);
    LogText(q, line);
}
