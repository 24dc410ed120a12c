// The commands that send one line and are complete on one final reply:
// USER, PASS, ACCT, CHWD, MDIR, RDIR, SMNT, TYPE, QUIT and UDEF. They share
// one shape; the table holds what differs, the hooks the few extras.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "session/command.h"
#include "session/status.h"

struct SingleCommand;
// Start hook: runs before the line is built; 0 fails the command.
typedef int (*StartHook)(PlatWindow hDlg, QELTA *q);
// Completion hook: runs once the expected reply is in; says how the
// command ended.
typedef int (*DoneHook)(PlatWindow hDlg, QELTA *q);

struct SingleCommand {
    const char *Verb;     // 0: the start hook builds the line in Argument
    const char *Field;    // the Command field's text
    const char *Expected; // 0: the UDEF code
    const char *Name;     // executor name for the send-error text
    int Bare;             // the verb alone, without the argument
    StartHook Before;
    DoneHook Done;
};

static const char *const Refused = "User Selected No to Debug Message\r\n";


static int Finish(PlatWindow hDlg, QELTA *q) { return OUTCOME_DONE; }

static int UserDone(PlatWindow hDlg, QELTA *q) {
    q->UserAccepted = 1;
    return OUTCOME_DONE;
}

// A tolerated 530 runs the same PASS line again, so that a password typed
// in the dialog can be tried once more; the status waits for the last try.
static int PassDone(PlatWindow hDlg, QELTA *q) {
    if (q->PassRetryCount != 0) {
        q->CommandIndex -= 1;
        return OUTCOME_PASSED_ON;
    }
    q->LoggedIn = 1;
    return OUTCOME_DONE;
}

static int QuitDone(PlatWindow hDlg, QELTA *q) {
    PlatNetClose(q->Socket.Control);
    ResetConnection(q);
    ViewShow(q, hDlg, VIEW_REMOTE_HOST, "");
    return OUTCOME_DONE;
}

static int UserBefore(PlatWindow hDlg, QELTA *q) {
    COPYCUT(q->Login.User, q->Argument);
    return 1;
}

static int PassBefore(PlatWindow hDlg, QELTA *q) {
    return q->Argument[0] != 0 || TakePasswordForPass(hDlg, q);
}

static int TypeBefore(PlatWindow hDlg, QELTA *q) {
    q->PassRetryCount = 0;
    q->TransferType = (q->Argument[0] == 'I' || q->Argument[0] == 'i') ? 'I' : 'A';
    return 1;
}

static int QuitBefore(PlatWindow hDlg, QELTA *q) {
    // The passive data connection is not wanted once the session ends.
    if (q->PASVMode == 1 && q->Socket.Data != -1) {
        PlatNetClose(q->Socket.Data);
        q->Socket.Data = -1;
    }
    return 1;
}

// "SITE CHMOD 644 a.txt 200": the line is everything before the last
// blank, the code after it completes the command.
static int UdefBefore(PlatWindow hDlg, QELTA *q) {
    char *blank = strrchr(q->Argument, ' ');
    const char *code = blank ? blank + 1 : "";
    int valid = blank != nullptr && blank != q->Argument && strlen(code) == 3 &&
                code[0] >= '1' && code[0] <= '5' && code[1] >= '0' && code[1] <= '9' &&
                code[2] >= '0' && code[2] <= '9';
    if (!valid) {
        COPYCUT(q->ErrorText, "UDEF needs an FTP command, a blank and a three-digit reply code\r\n");
        return 0;
    }
    FORMATCUT(q->Control.UdefExpected, "%.3s ", code);
    blank[0] = 0;
    if (UdefChangesProtection(q, q->Argument)) {
        FORMATCUT(q->ErrorText, "UDEF %.40s would change the TLS protection that TLS= sets up\r\n",
                  q->Argument);
        return 0;
    }
    AppendCut(q->Argument, sizeof q->Argument, "\r\n");
    return 1;
}

enum { C_USER, C_PASS, C_ACCT, C_CHWD, C_MDIR, C_RDIR, C_SMNT, C_TYPE, C_QUIT, C_UDEF };

static const SingleCommand Commands[] = {
    {"USER", "Send Username", CODE_NEED_PASSWORD, "ExecUSER", 0, UserBefore, UserDone},
    {"PASS", "Send Password", CODE_LOGGED_IN, "ExecPASS", 0, PassBefore, PassDone},
    {"ACCT", "Specify Account", CODE_LOGGED_IN, "ExecACCT", 0, nullptr, Finish},
    {"CWD", "Change the Working Directory", CODE_FILE_ACTION_OK, "ExecCHWD", 0, nullptr, Finish},
    {"MKD", "Make a Remote Directory", CODE_CREATED, "ExecMDIR", 0, nullptr, Finish},
    {"RMD", "Removing a Remote Directory", CODE_FILE_ACTION_OK, "ExecRDIR()", 0, nullptr, Finish},
    {"SMNT", "Stucture Mount", CODE_FILE_ACTION_OK, "ExecSMNT", 0, nullptr, Finish},
    {"TYPE", "Set the Transfer Type", CODE_COMMAND_OK, "ExecTYPE", 0, TypeBefore, Finish},
    {"QUIT", "Quiting Remote Host", CODE_CLOSING, "ExecQUIT", 1, QuitBefore, QuitDone},
    {nullptr, "User Defined", nullptr, "ExecUDEF", 0, UdefBefore, Finish},
};

// The line to send: verb, blank, argument, CR LF in 128 characters, or
// the argument itself where the start hook built it.
static int BuildLine(const SingleCommand *c, QELTA *q, char *line, size_t size) {
    if (c->Verb == nullptr) return CopyCut(line, size, q->Argument);
    if (c->Bare) return FormatCut(line, size, "%s\r\n", c->Verb);
    if (FormatCut(line, size, "%s %s\r\n", c->Verb, q->Argument)) return 1;
    // A cut line would name another file or folder: refuse it.
    FormatCut(q->ErrorText, sizeof q->ErrorText, "Argument too long for one line in %s\r\n",
              c->Name);
    return 0;
}

static int StartCommand(const SingleCommand *c, PlatWindow hDlg, QELTA *q) {
    ViewShow(q, hDlg, VIEW_COMMAND, c->Field);
    if (c->Before && !c->Before(hDlg, q)) return 0;
    char line[600];
    size_t size = c->Verb ? 128 : sizeof line;
    if (!BuildLine(c, q, line, size)) return 0;
    char sendError[80];
    FORMATCUT(sendError, "Winsock Error %%d On send() in %s\r\n", c->Name);
    return SendControlLine(q, line, nullptr, Refused, sendError);
}

static int ReplyArrived(const SingleCommand *c, PlatWindow hDlg, QELTA *q) {
    const char *expected = c->Expected ? c->Expected : q->Control.UdefExpected;
    int got = AwaitReply(hDlg, q, expected);
    if (got != AWAIT_MATCHED) return AwaitOutcome(got);
    return c->Done(hDlg, q);
}

static int Run(int which, PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    const SingleCommand *c = &Commands[which];
    if (kind == EV_START) return StartCommand(c, hDlg, q);
    if (kind != EV_SOCKET || msg != CONTROLMSG) return 1;
    if (ev == QFD_READ) return ReplyArrived(c, hDlg, q);
    return 1;
}

int ExecUSER(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_USER, w, q, k, m, e); }
int ExecPASS(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_PASS, w, q, k, m, e); }
int ExecACCT(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_ACCT, w, q, k, m, e); }
int ExecCHWD(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_CHWD, w, q, k, m, e); }
int ExecMDIR(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_MDIR, w, q, k, m, e); }
int ExecRDIR(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_RDIR, w, q, k, m, e); }
int ExecSMNT(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_SMNT, w, q, k, m, e); }
int ExecTYPE(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_TYPE, w, q, k, m, e); }
int ExecQUIT(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_QUIT, w, q, k, m, e); }
int ExecUDEF(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) { return Run(C_UDEF, w, q, k, m, e); }
