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
// Copies text into out with its first "%d" replaced by number (the
// "Winsock Error %d ..." texts), cut at size.
void FormatErrorNumber(char *out, size_t size, const char *text, int number);

// PASS with an empty argument: asks for the password for HostName. OK puts
// it (at most 31 characters) into Argument; Cancel posts the Cancel button
// to the transfer dialog. Returns 1 for OK.
int AskPasswordForPass(PlatWindow hDlg, QELTA *q);

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
