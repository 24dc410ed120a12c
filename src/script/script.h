// The script engine: command reading, the keyword table, the driver, the
// status section and the local commands.
#ifndef QELTA_SCRIPT_H
#define QELTA_SCRIPT_H

#include "app/qelta.h"

struct CommandEntry {
    const char *Keyword;
    int Id;
    int IconKind;
};
extern const CommandEntry CommandTable[];
extern const int CommandTableSize;

int ReadCommand(QELTA *q);
int CheckPreReq(int id, QELTA *q);

int ProcessCommandProc(PlatWindow hDlg, QELTA *q);
int Dispatcher(PlatWindow hDlg, int id, QELTA *q, int EventKind, unsigned Message,
               unsigned SocketEvent);
int SetStatus(QELTA *q);
void ResetStatus(QELTA *q);
// Writes status number n as success or failure in the run's key form.
void WriteStatus(QELTA *q, int n, int success);
void WriteExitCode(QELTA *q, const char *value);
// The dialog's advance step: at most one PROCESSCOMMAND per command.
void AdvanceCommand(PlatWindow hDlg, QELTA *q);

int ParseShowPrefix(QELTA *q);
int ShowModeFor(int prefix);

int ExecNONE(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecGOTO(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecWFOR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecWTIL(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecEXEC(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecKILL(PlatWindow, QELTA *, int, unsigned, unsigned);

// Wait arithmetic, shared with the tests.
unsigned WforTicks(const char *argument);
// The time left until hh:mm from now, as the WTIL counter shows it.
void WtilRemainingText(int nowHour, int nowMinute, int targetHour, int targetMinute, char *out,
                       size_t size);

#endif
