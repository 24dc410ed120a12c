// The command driver: the preparation of the run, one command per
// PROCESSCOMMAND, the dispatcher and the advance step.
#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "log/report.h"
#include "session/settings.h"
#include "script/pool.h"
#include "script/script.h"

// The commands that write their own status and pass on: their record is
// written with it. The others that pass on are not over yet (a generated
// run takes over, a PASS is asked again).
static int PassedOnWithStatus(int id) { return id == CMD_GOTO || id == CMD_KILL; }

int ApplyOutcome(PlatWindow hDlg, QELTA *q, int outcome) {
    if (q->Pool.Run != nullptr) return PoolOutcome(hDlg, q, outcome);
    if (outcome == OUTCOME_WORKING) return 1;
    if (OutcomeFailed(outcome)) {
        if (outcome == OUTCOME_TRANSIENT && TryAgain(hDlg, q)) return 1;
        DistrustLastReplied(q);
        return 0;
    }
    // A step of a reconnect records nothing: the next one follows.
    if (Replaying(q)) return ReplayStepDone(hDlg, q);
    if (outcome == OUTCOME_DONE) NoteCommandDone(q);
    if (outcome == OUTCOME_DONE || PassedOnWithStatus(q->CommandId))
        ReportCommand(q, q->ErrorFlag != 1);
    EndCommand(q, outcome == OUTCOME_DONE ? END_RECORDED : END_PASSED_ON);
    return PoolAfterRunCommand(hDlg, q, outcome);
}

int Dispatcher(PlatWindow hDlg, int id, QELTA *q, int EventKind, unsigned Message,
               unsigned SocketEvent) {
    RestartWatchdog(q);
    const CommandEntry *e = CommandForId(id);
    Executor exec = ReplayExecutor(q);
    if (exec == nullptr && e != nullptr) exec = e->Exec;
    if (exec == nullptr) {
        // Named here: an empty text would leave the error log silent.
        FORMATCUT(q->ErrorText, "No executor for command %d in Dispatcher()\r\n", id);
        return 0;
    }
    int before = q->CurrentState.Command;
    int outcome = exec(hDlg, q, EventKind, Message, SocketEvent);
    if (q->DebugEx == 1 && q->CurrentState.Command != before) {
        char trace[64];
        FORMATCUT(trace, "Command %d: %s -> %s\r\n", q->CommandIndex, CommandStateNames[before],
                  CommandStateNames[q->CurrentState.Command]);
        DebugTrace(q, trace);
    }
    return ApplyOutcome(hDlg, q, outcome);
}

void AdvanceCommand(PlatWindow hDlg, QELTA *q) {
    if (!BeginNextCommand(q)) return;
    PlatPostEvent(hDlg, PROCESSCOMMAND, 0, 0);
}

// The first call: what the whole run needs before command 1.
static int PrepareRun(PlatWindow hDlg, QELTA *q) {
    if (!PlatStartTimer(hDlg, WatchdogTimer, 5000)) {
        COPYCUT(q->ErrorText, "Failed to create Timer in ProcessCommandProc()");
        return 0;
    }
    // A wrong TLS or password setting ends the run before anything is sent.
    if (!ReadTlsSettings(q) || !ReadPasswordSettings(q)) return 0;
    if (q->Tls.Mode != TLS_NONE && !q->Tls.Verify)
        LogText(q, "TLSVerify=0: the server's certificate is not checked\r\n");
    if (!StartNetwork(q, hDlg)) return 0;
    // Several connections' lines interleave in the log: each says whose it is.
    if (ReadSetting(q, SET_CONNECTIONS) > 1) COPYCUT(q->Pool.Tag, "[1] ");
    ResetStatus(q);
    q->ScriptAtom = PlatAddAtom(q->ScriptPath);
    if (q->ScriptAtom == 0) {
        COPYCUT(q->ErrorText, "Failed to Create Global Atom");
        return 0;
    }
    DebugTrace(q, "GlobalAddAtom\r\n");
    q->CurrentState.TransferInProgress = 0;
    SetCommandState(q, COMMAND_RUNNING);
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
        q->CommandId = CMD_NONE;
    else
        ReadCommand(q);
    ReportCommandStart(q);
    if (q->CommandId == CMD_BAD_GENERATED_LINE) {
        COPYCUT(q->ErrorText, "Unknown command in generated command file in ReadCommand()\r\n");
        return 0;
    }
    if (!CheckPreReq(q->CommandId, q)) {
        COPYCUT(q->ErrorText, "CheckPreReq() FALSE");
        return 0;
    }
    if (q->View != nullptr) q->View->ShowIcon(hDlg, q, q->IconKind);
    char trace[32];
    FORMATCUT(trace, "Command=%d\r\n", q->CommandId);
    DebugTrace(q, trace);
    NoteCommandStart(q);
    if (PoolMustWait(q)) {
        q->Pool.Waiting = 1;
        return 1;
    }
    if (q->CommandId == CMD_KILL)
        PoolClose(q, 0);
    else if (!PoolKick(hDlg, q))
        return 0;
    return Dispatcher(hDlg, q->CommandId, q, EV_START, 0, 0);
}

int ProcessCommandProc(PlatWindow hDlg, QELTA *q) {
    PlatSetCaption(PlatOwner(hDlg), QELTA_TITLE);
    RestartWatchdog(q);
    if (q->CommandIndex == 0) return PrepareRun(hDlg, q);
    return RunNextCommand(hDlg, q);
}
