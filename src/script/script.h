// The script engine: command reading, the keyword table, the driver, the
// status section and the local commands.
#ifndef QELTA_SCRIPT_H
#define QELTA_SCRIPT_H

#include "app/qelta.h"

// The extra effect a keyword has on the session besides choosing its id.
enum {
    KW_PLAIN = 0,
    KW_PORT,  // PORT runs PASV while PASVMode is on
    KW_PASV,  // switches PASVMode on for the rest of the run
    KW_MGTC,
    KW_STOU,
    KW_APPE,
};

struct CommandEntry {
    const char *Keyword;
    int Id;
    int IconKind;
    int Effect;
};
extern const CommandEntry CommandTable[];
extern const int CommandTableSize;

// The entry whose keyword matches the first four characters of text
// without regard to case; 0 when none does.
const CommandEntry *FindCommand(const char *text);
// The keyword of an id (the first in table order); "????" for none.
const char *KeywordForId(int id);

// An id that no keyword gives: a generated line whose first letter is not
// a command. ProcessCommandProc fails the run on it.
enum { CMD_BAD_GENERATED_LINE = 31 };

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
// Stands in for the executors that this version does not have yet; fails
// with a text naming the command's keyword.
int ExecPending(PlatWindow, QELTA *, int, unsigned, unsigned);

// The run's GOTO loop and wait state back to their initial values.
void ResetFlowState(void);
// Splits a wait argument at its first ':' into the two numbers (each part
// read from at most 11 characters). 0 when there is no ':'.
int SplitWaitArgument(const char *argument, long *before, long *after);
// Wait arithmetic, shared with the tests.
unsigned WforTicks(const char *argument);
// The time left until hh:mm from now, as the WTIL counter shows it.
void WtilRemainingText(int nowHour, int nowMinute, int targetHour, int targetMinute, char *out,
                       size_t size);

#endif
