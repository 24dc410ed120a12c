// ReportFile: the run as JSON Lines, one object per line, written whole as
// each command ends, so that a run killed part-way leaves whole lines only.
#ifndef QELTA_REPORT_H
#define QELTA_REPORT_H

#include <cstddef>

#include "session/session.h"

// Writes bytes [in, in + n) as a quoted JSON string into out (size at
// least 3): valid UTF-8 whatever the bytes were (a byte that starts no
// well-formed character becomes U+FFFD), control characters escaped. A
// text that does not fit is cut before a whole character or escape and
// still closed. Returns the length written, the zero byte not counted.
size_t JsonString(char *out, size_t size, const char *in, size_t n);

// The command's argument as the report shows it: a password (of PASS, of
// a UDEF PASS line, the third part of DIAL's) replaced by asterisks.
void MaskedArgument(int id, const char *argument, char *out, size_t size);

// The first record, once the report is open.
void ReportStart(QELTA *q);
// The command just read starts: what its record needs from its start.
void ReportCommandStart(QELTA *q);
// The command under way ended: its record, once. A success of a line of a
// generated run other than a file's own (its TYPE, NLST, PORT or PASV) is
// left out, as [STATUS] leaves it out.
void ReportCommand(QELTA *q, int success);
// The last record, with the run's outcome; the report is then closed.
void ReportEnd(QELTA *q, int success);

#endif
