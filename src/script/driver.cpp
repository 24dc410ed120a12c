// The command driver: the preparation of the run, one command per
// PROCESSCOMMAND, the executor table and the advance step.
#include "app/app.h"
#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "script/script.h"

// Indexed by command id; 0 where no command has that id.
static const Executor ExecutorTable[] = {
    ExecNONE,     // 0 NONE
    ExecCONN,     // 1 CONN
    ExecTYPE,     // 2 TYPE
    ExecPASS,     // 3 PASS
    ExecPending,  // 4 PORT
    ExecUSER,     // 5 USER
    ExecPending,  // 6 NLST
    ExecQUIT,     // 7 QUIT
    ExecRDIR,     // 8 RDIR
    ExecMDIR,     // 9 MDIR
    ExecCHWD,     // 10 CHWD
    ExecPending,  // 11 LIST
    ExecEXEC,     // 12 EXEC
    ExecPending,  // 13 STOR, STOU, APPE
    ExecPending,  // 14 RETR
    ExecPending,  // 15 MPUT
    ExecPending,  // 16 MGET, MGTC
    ExecKILL,     // 17 KILL
    ExecPending,  // 18 DELL
    ExecPending,  // 19 DELR
    ExecWTIL,     // 20 WTIL
    0,            // 21
    ExecACCT,     // 22 ACCT
    ExecSMNT,     // 23 SMNT
    0,            // 24
    0,            // 25
    ExecUDEF,     // 26 UDEF
    ExecWFOR,     // 27 WFOR
    ExecPending,  // 28 DIAL
    ExecGOTO,     // 29 GOTO
    ExecPending,  // 30 PASV
};
static const int ExecutorCount = (int)(sizeof(ExecutorTable) / sizeof(ExecutorTable[0]));

int Dispatcher(PlatWindow hDlg, int id, QELTA *q, int EventKind, unsigned Message,
               unsigned SocketEvent) {
    q->IdleCount = 0;
    if (id < 0 || id >= ExecutorCount || ExecutorTable[id] == 0) {
        // Named here: an empty text would leave the error log silent.
        FORMATCUT(q->ErrorText, "No executor for command %d in Dispatcher()\r\n", id);
        return 0;
    }
    return ExecutorTable[id](hDlg, q, EventKind, Message, SocketEvent) == 1;
}

void AdvanceCommand(PlatWindow hDlg, QELTA *q) {
    if (q->CommandActive != 0) return;
    q->CommandActive = 1;
    q->CommandIndex++;
    PlatPostEvent(hDlg, PROCESSCOMMAND, 0, 0);
}

// The first call: what the whole run needs before command 1.
static int PrepareRun(PlatWindow hDlg, QELTA *q) {
    if (!PlatStartTimer(hDlg, WatchdogTimer, 5000)) {
        COPYCUT(q->ErrorText, "Failed to create Timer in ProcessCommandProc()");
        return 0;
    }
    if (!StartNetwork(q, hDlg)) return 0;
    ResetStatus(q);
    q->ScriptAtom = PlatAddAtom(q->ScriptPath);
    if (q->ScriptAtom == 0) {
        COPYCUT(q->ErrorText, "Failed to Create Global Atom");
        return 0;
    }
    DebugTrace(q, "GlobalAddAtom\r\n");
    q->CurrentState.TransferInProgress = 0;
    q->CurrentState.WaitingForResponseCode = 0;
    return 1;
}

// The transfer and status texts of the previous command.
static const int FieldsClearedPerCommand[] = {
    IDC_PROGRESS, IDC_RATE, IDC_ELAPSED, IDC_SOURCE, IDC_DEST, IDC_COUNTERLABEL, IDC_COUNTER,
    IDC_PERCENT,
};

static int RunNextCommand(PlatWindow hDlg, QELTA *q) {
    for (int id : FieldsClearedPerCommand) PlatSetField(hDlg, id, "");
    if (q->ErrorFlag == 1)
        q->CommandId = 0;
    else
        ReadCommand(q);
    if (q->CommandId == CMD_BAD_GENERATED_LINE) {
        COPYCUT(q->ErrorText, "Unknown command in generated command file in ReadCommand()\r\n");
        return 0;
    }
    if (!CheckPreReq(q->CommandId, q)) {
        COPYCUT(q->ErrorText, "CheckPreReq() FALSE");
        return 0;
    }
    ShowStatusIcon(hDlg, q->Instance, q->IconKind);
    char trace[32];
    FORMATCUT(trace, "Command=%d\r\n", q->CommandId);
    DebugTrace(q, trace);
    return Dispatcher(hDlg, q->CommandId, q, EV_START, 0, 0) == 1;
}

int ProcessCommandProc(PlatWindow hDlg, QELTA *q) {
    PlatSetCaption(PlatOwner(hDlg), QELTA_TITLE);
    q->IdleCount = 0;
    if (q->CommandIndex == 0) return PrepareRun(hDlg, q);
    return RunNextCommand(hDlg, q);
}
