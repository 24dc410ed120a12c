// The script engine: command reading, the keyword table, the driver, the
// status section and the local commands.
#ifndef QELTA_SCRIPT_H
#define QELTA_SCRIPT_H

#include "session/session.h"
#include "session/command.h"
#include "session/status.h"
#include "session/commandids.h"

// The extra effect a keyword has on the session besides choosing its id.
enum {
    KW_PLAIN = 0,
    KW_PORT,  // PORT runs PASV while PASVMode is on
    KW_PASV,  // switches PASVMode on for the rest of the run
    KW_MGTC,
    KW_STOU,
    KW_APPE,
};

// The session flags a command needs before it may start, as bits.
enum {
    NEED_NOTHING = 0,
    NEED_CONNECTED = 1,
    NEED_USER = NEED_CONNECTED | 2,
    NEED_LOGIN = NEED_USER | 4,
};

// One row per keyword of the script language: everything the engine knows
// of a command. Keywords that share an id share its prerequisites and its
// executor.
struct CommandEntry {
    const char *Keyword;
    int Id;
    int IconKind;
    int Effect;
    int Needs;
    Executor Exec;
};
extern const CommandEntry CommandTable[];
extern const int CommandTableSize;

// The entry whose keyword matches the first four characters of text
// without regard to case; 0 when none does.
const CommandEntry *FindCommand(const char *text);
// The entry of an id: the first in table order, which holds the command's
// own keyword (STOR, not STOU). 0 for an id that no keyword gives.
const CommandEntry *CommandForId(int id);
// The keyword of an id; "????" for none.
const char *KeywordForId(int id);

// Where a script line's keyword begins: after at most four blanks.
const char *ScriptKeyword(const char *line);
// The argument of a line from its keyword on: what follows the keyword
// and its one separator (the sixth character on); a line of five
// characters or fewer has none. line and out may be one buffer.
void ScriptArgument(const char *line, char *out, size_t size);
// The word a keyword begins, up to a blank, cut at size - 1: how messages
// name a keyword the table lacks.
void KeywordWord(const char *keyword, char *out, size_t size);

int ReadCommand(QELTA *q);
// An extra connection's next file of the run's generated run, taken at the
// shared read position: a PORT line with the RETR or STOR after it, or a
// DELR line. 0, nothing taken, while the position holds anything else (a
// transfer whose PORT the run read itself, the KILL line) or the name
// list is still being read. *nextIsPort says whether a PORT line follows.
int TakeGeneratedFile(QELTA *run, int *id, char *argument, size_t size, int *nextIsPort);
int CheckPreReq(int id, QELTA *q);

int ProcessCommandProc(PlatWindow hDlg, QELTA *q);
// Runs the executor of id (or of the reconnect's step under way) for the
// event and applies its outcome: 1 while the run goes on, 0 when it ends
// (ErrorText says why).
int Dispatcher(PlatWindow hDlg, int id, QELTA *q, int EventKind, unsigned Message,
               unsigned SocketEvent);
// Applies an outcome (session/command.h) to the command under way: its
// status recorded, a try again scheduled, or the end of the run (0). The
// failures the dialog sees itself (a socket's error, the watchdog) come
// here as OUTCOME_TRANSIENT.
int ApplyOutcome(PlatWindow hDlg, QELTA *q, int outcome);

// Trying again (script/retry.cpp). The command as read, before it runs;
// what a command that ended well leaves for a reconnect to replay.
void NoteCommandStart(QELTA *q);
void NoteCommandDone(QELTA *q);
// A transient failure of the command under way: 1 when a try again is
// scheduled (the connection closed, RetryTimer started), 0 when the run
// ends (the log says why no try was left, where one was asked for).
int TryAgain(PlatWindow hDlg, QELTA *q);
// A 425 to a transfer line sent while its passive data connection was
// still connecting (RefusedForSendingEarly): PASV and the command again on
// this connection, which waits for its data connections from now on.
// The dispatch's result.
int RefusedForSendingEarly(const QELTA *q);
int SendAgainOnceConnected(PlatWindow hDlg, QELTA *q);
// RetryTimer: the reconnect's first step.
int RetryWaitOver(PlatWindow hDlg, QELTA *q);
// A step of the reconnect ended well: the next, and the command at last.
int ReplayStepDone(PlatWindow hDlg, QELTA *q);
int Replaying(const QELTA *q);
// An extra connection's log-in: the replay's steps up to TYPE, then
// PoolLoggedIn.
int ReplayLogIn(PlatWindow hDlg, QELTA *q);
// The command noted (NoteCommandStart) on a logged-in connection: its data
// port first when it is a transfer.
int ReplayTransfer(PlatWindow hDlg, QELTA *q);
// The session since the last CONN can be replayed on a new connection.
int SessionReplayable(const QELTA *q);
// The executor of the reconnect's step under way when it is none of the
// table's (the size check of a transfer whose final reply was lost), else 0.
Executor ReplayExecutor(const QELTA *q);
// The seconds before try number tryNumber (2: the first retry).
unsigned RetryWaitSeconds(int delay, int tryNumber);
// A reply nobody asked for made the run fail: the command that ended last
// on the connection was answered by it, so its Success cannot stand.
void DistrustLastReplied(QELTA *q);
// The dialog's advance step: at most one PROCESSCOMMAND per command.
void AdvanceCommand(PlatWindow hDlg, QELTA *q);


int ExecNONE(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecGOTO(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecWFOR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecWTIL(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecKILL(PlatWindow, QELTA *, int, unsigned, unsigned);

// The line a GOTO argument jumps to (the number before any ':'); 0 when
// the run refuses it, as it does anything below 1.
long GotoTarget(const char *argument);

// Splits a wait argument at its first ':' into the two numbers (each part
// read from at most 11 characters). 0 when there is no ':'.
int SplitWaitArgument(const char *argument, long *before, long *after);
// Wait arithmetic, shared with the tests.
unsigned WforTicks(const char *argument);
// The time left until hh:mm from now, as the WTIL counter shows it.
void WtilRemainingText(int nowHour, int nowMinute, int targetHour, int targetMinute, char *out,
                       size_t size);

#endif
