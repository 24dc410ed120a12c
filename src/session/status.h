// The [STATUS] section of the script: what the run tells a calling
// program, command by command and at the end.
#ifndef QELTA_STATUS_H
#define QELTA_STATUS_H

#include "session/session.h"

// Records the current command as a success; inside a generated run the
// KILL alone records the line that started it.
int SetStatus(QELTA *q);
// A new run's start: every status an earlier run left, up to the first
// number without one, marked as failed.
void ResetStatus(QELTA *q);
// Writes status number n as success or failure in the run's key form.
void WriteStatus(QELTA *q, int n, int success);
void WriteExitCode(QELTA *q, const char *value);

#endif
