// The FTP control connection: replies, connecting, the send step and the
// single-reply commands.
#ifndef QELTA_FTP_H
#define QELTA_FTP_H

#include "app/qelta.h"

int FillControlBuffer(QELTA *q);
int CheckFor(PlatWindow hDlg, const char *ExpectedCode, int length, QELTA *q);
// Empties the carried-over bytes, as at the start of a run.
void ResetCarryOver(void);

// The send step of every command line. record is what Debug writes
// (0 = the line itself).
int SendControlLine(QELTA *q, const char *line, const char *record, const char *refusalText,
                    const char *sendErrorText);

int ExecCONN(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecUSER(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecPASS(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecACCT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecCHWD(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecMDIR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecRDIR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecSMNT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecTYPE(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecQUIT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecUDEF(PlatWindow, QELTA *, int, unsigned, unsigned);

#endif
