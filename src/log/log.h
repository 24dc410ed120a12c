// The log, the error log and the debug trace.
#ifndef QELTA_LOG_H
#define QELTA_LOG_H

#include "session/session.h"

// The local date and time as the run files' headers show it:
// "Sun Jan 05 14:03:09 2025".
void FormatLocalStamp(char *out, size_t size);
// Writes "*** QELTA v1.3.7 <date> -<word>\r\n" to the log.
void WriteLogHeader(QELTA *q, const char *word);
// Records a failure: ErrorFlag, the error log and (unless Silent) a box.
void LogError2(const char *text, QELTA *q);
// With DebugEx, the text goes to the error log and then the log.
void DebugTrace(QELTA *q, const char *text);
// With DebugEx, the label, the value and a line end, as three traces.
void DebugTraceValue(QELTA *q, const char *label, const char *value);
// With Debug, "*** " and the line go to the error log and the log.
void RecordSentLine(QELTA *q, const char *line);
// Unbuffered writes of exact bytes; a handle of -1 loses them.
void LogWrite(QELTA *q, const void *bytes, size_t n);
void ErrorLogWrite(QELTA *q, const void *bytes, size_t n);
void LogText(QELTA *q, const char *text);
void ErrorLogText(QELTA *q, const char *text);

#endif
