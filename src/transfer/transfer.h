// What the transfer executors share: splitting a transfer argument into its
// two names, the dialog's file names and progress, and the statistics file.
#ifndef QELTA_TRANSFER_H
#define QELTA_TRANSFER_H

#include <cstdint>

#include "session/session.h"

enum { XFER_RECEIVE = 0, XFER_SEND = 1 };

// Milliseconds since the program started (wraps like the tick count;
// differences are unsigned).
unsigned long MillisecondClock(void);
// Tests drive the clock themselves; 0 restores the real one. The test
// clock's value is taken as milliseconds since the start.
void SetTransferClockForTest(unsigned long (*clock)(void));

// Resets the per-direction values (count shown, last elapsed, remaining and
// percent, the bar drawn) at a transfer's start and records its start time.
void StartTransferProgress(QELTA *q, int direction, unsigned long start);

// Splits q->Argument ("remote name", one character, "X:local path") into
// q->RemoteName and q->LocalName. For CMD_STOR it also opens LocalName for
// reading into q->LocalFileHandle; for every other command it opens
// nothing. An argument without a drive letter and colon, without a remote
// name (MPUT alone may give only the local pattern), or with a name of 128
// characters or more is refused whole. 1, or 0 with ErrorText set.
int SplitFileNames(QELTA *q);
// Why SplitFileNames refuses an argument of that command; 0 when it does
// not.
const char *FileNamesProblem(const char *argument, int commandId);
// ErrorText = prefix + subject + suffix, the subject cut (ending in "...")
// so that the whole text fits.
void FormatNameFailure(QELTA *q, const char *prefix, const char *subject, const char *suffix);
// Source and Destination fields (123, 124), long names shortened to their
// ends; remoteIsSource says which of the two is the remote name.
void ShowFileNames(PlatWindow hDlg, const QELTA *q, const char *source, const char *destination,
                   int remoteIsSource);
// One block moved: count includes it. Cheap per block: the fields are
// looked at once per twentieth of a second at most, the rate and remaining
// time once per whole second. final=1 forces the byte-count field to be
// drawn (end of transfer).
void ShowTransferProgress(PlatWindow hDlg, QELTA *q, int direction, uint64_t count,
                          uint64_t expected, int final);
// The bar field (126): one bullet per 1.57 percent, redrawn only when its
// length changes.
void ShowProgressBar(int percent, PlatWindow hDlg, QELTA *q);
// One statistics line (and the header block once per run) to q->StatHandle;
// nothing when StatEnabled is not 1. start and end are MillisecondClock
// values.
void WriteStatLine(QELTA *q, unsigned long start, unsigned long end, uint64_t bytes,
                   const char *name);

// Local scans (MPUT, DELL): a pattern cut to its folder (0 when it names
// none, as "C:*.txt"), and whether a listed file can be read now; one
// that cannot (in use elsewhere) is passed over.
int CutToFolder(char *pattern);
int ReadableNow(const char *path);

#endif
