// The extra connections of the commands of many files (Connections=N).
#include "script/pool.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "log/report.h"
#include "session/command.h"
#include "session/settings.h"
#include "script/script.h"
#include "transfer/dataio.h"
#include "transfer/resume.h"

static const int ExtraSlots = CONNECTIONS_MAX - 1;

static int IsManyFiles(int id) { return id == CMD_MGET || id == CMD_DELR || id == CMD_MPUT; }

// Connections open now, the run's own counted.
static int OpenCount(const QELTA *run) {
    int n = 1;
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w->Pool.Phase != POOL_GONE) n++;
    return n;
}

static void Say(QELTA *run, const char *text) {
    LogText(run, text);
    ErrorLogText(run, text);
}

// ---- Opening ----------------------------------------------------------------------

// A copy of the run's record as a connection of its own: the settings, the
// run files' handles and the session to replay; no socket, no command, no
// transfer of the run's.
static void Clone(QELTA *w, QELTA *run, int number) {
    ReplyReader *reader = w->Control.Reader;
    char *buffer = w->DataBuffer;
    memcpy(w, run, sizeof *w);
    w->Control = {};
    w->Control.Reader = reader;
    w->DataBuffer = buffer;
    w->Socket.Control = w->Socket.Data = w->Socket.Listen = -1;
    w->LocalFileHandle = -1;
    w->GeneratedScriptHandle = -1;  // the run's: read through it alone
    w->LookupRequest = 0;
    w->ScriptAtom = 0;
    w->Connected = w->UserAccepted = w->LoggedIn = 0;
    w->ReplyLength = 0;
    w->LastReplyLine[0] = 0;
    w->ReplyCount = 0;
    w->DataPortReady = w->DataAccepted = w->ClearToSendData = w->Tolerated550 = 0;
    w->ErrorFlag = 0;
    w->ErrorText[0] = 0;
    w->IdleCount = 0;
    w->CommandActive = 0;
    w->CommandId = CMD_NONE;
    w->CurrentState = {};
    w->Connect = {};
    w->Epsv.Sent = 0;  // what EPSV did on the run's connection stands here too
    w->Epsv.Connecting = w->Epsv.ConnectError = w->Epsv.SentEarly = w->Epsv.WaitConnect = 0;
    w->Epsv.Ahead = w->Epsv.AheadOff = 0;
    w->GeneratedNextIsPort = 0;
    w->Receive = {};
    w->Send = {};
    w->Resume = {};
    w->Verify = {};
    w->NameList = {};
    w->Flow = {};
    w->Dial = {};
    w->Dial.AttemptsLeft = -1;
    w->Window = {};
    w->Tls.ControlSecured = w->Tls.ProtectionAgreed = w->Tls.Step = 0;
    w->Tls.DataPending = w->Tls.DataShaking = w->Tls.MarkSeen = 0;
    w->Tls.ShakeWhere[0] = 0;
    w->Report.Pending = 0;
    w->Report.Commands = w->Report.Failures = 0;
    w->Report.Bytes = w->Report.StartBytes = 0;
    w->Retry.Tries = 0;
    w->Retry.FirstWait = 0;
    w->Retry.Waiting = w->Retry.Step = w->Retry.CheckOnly = 0;
    w->Pool = {};
    w->Pool.Run = run;
    w->Pool.Number = number;
    w->Pool.Phase = POOL_LOGIN;
    w->Pool.Address = run->ServerAddress;
    FORMATCUT(w->Pool.Tag, "[%d] ", number);
}

static int OpenOne(PlatWindow hDlg, QELTA *run, int slot) {
    QELTA *w = run->Pool.Extra[slot];
    if (w == nullptr) {
        w = NewSession();
        if (w == nullptr) return 1;  // no memory for more: the run goes on with fewer
        run->Pool.Extra[slot] = w;
    }
    Clone(w, run, slot + 2);
    if (w->DataBuffer == nullptr) w->DataBuffer = static_cast<char *>(std::malloc(run->BlockSize));
    if (w->DataBuffer == nullptr) {
        w->Pool.Phase = POOL_GONE;
        return 1;
    }
    return ReplayLogIn(hDlg, w);
}

static int Open(PlatWindow hDlg, QELTA *run) {
    int want = ReadSetting(run, SET_CONNECTIONS);
    if (run->Pool.Limit != 0 && want > run->Pool.Limit) want = run->Pool.Limit;
    if (want <= 1 || run->Socket.Control == -1 || !SessionReplayable(run)) return 1;
    for (int slot = 0; slot < want - 1 && slot < ExtraSlots; slot++)
        if (!OpenOne(hDlg, run, slot)) return 0;
    return 1;
}

// ---- Closing ----------------------------------------------------------------------

// The extra connection's record of the file under way, and its counts,
// join the run's.
static void FoldReport(QELTA *run, QELTA *w, int success) {
    ReportCommand(w, success);
    run->Report.Commands += w->Report.Commands;
    run->Report.Failures += w->Report.Failures;
    run->Report.Bytes += w->Report.Bytes;
    run->Report.StartBytes += w->Report.StartBytes;
    w->Report.Commands = w->Report.Failures = 0;
    w->Report.Bytes = w->Report.StartBytes = 0;
}

static void CloseOne(QELTA *w, int cut) {
    if (w->Pool.Phase == POOL_GONE) return;
    if (cut) FoldReport(w->Pool.Run, w, 0);
    EndAttempts(w);
    PlatNetAbort(w->Socket.Control);
    CloseDataConnection(w, 0);
    PlatNetClose(w->Socket.Listen);
    w->Socket.Control = w->Socket.Data = w->Socket.Listen = -1;
    // A retrieval cut here is left as any failed one is: removed, or
    // under Resume kept for the next run.
    SuspendTransfer(w);
    if (w->LocalFileHandle != -1) PlatFileClose(w->LocalFileHandle);
    w->LocalFileHandle = -1;
    w->Pool.Phase = POOL_GONE;
}

void PoolClose(QELTA *run, int cut) {
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr) CloseOne(w, cut);
}

void PoolFree(QELTA *run) {
    PoolClose(run, 1);
    for (QELTA *&w : run->Pool.Extra) {
        if (w == nullptr) continue;
        Wipe(w->Retry.Password, sizeof w->Retry.Password);
        DeleteSession(w);
        w = nullptr;
    }
}

static int IsFileCommand(int id) { return id == CMD_RETR || id == CMD_STOR || id == CMD_DELR; }

static int Busy(const QELTA *run) {
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w->Pool.Phase == POOL_FILE) return 1;
    return 0;
}

// Another connection than self has the file of argument (a generated
// line's, as read) under way: two never write one file.
static int UnderWayElsewhere(const QELTA *run, const QELTA *self, const char *argument) {
    if (self != run && run->CommandActive && IsFileCommand(run->Retry.Id) &&
        strcmp(run->Retry.Argument, argument) == 0)
        return 1;
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w != self && w->Pool.Phase == POOL_FILE &&
            strcmp(w->Retry.Argument, argument) == 0)
            return 1;
    return 0;
}

int PoolMustWait(const QELTA *run) {
    if (run->ReturnIndex == 0) return 0;
    if (run->CommandId == CMD_KILL) return Busy(run);
    return IsFileCommand(run->CommandId) && UnderWayElsewhere(run, run, run->Retry.Argument);
}

// The run's line went on waiting for the extra connections: once it need
// not, it runs.
static int RunIfWaiting(PlatWindow hDlg, QELTA *run) {
    if (!run->Pool.Waiting || PoolMustWait(run)) return 1;
    run->Pool.Waiting = 0;
    if (run->CommandId == CMD_KILL) PoolClose(run, 0);
    return Dispatcher(hDlg, run->CommandId, run, EV_START, 0, 0);
}

// Refusals are said once, when no extra connection is still logging in:
// how many the server allows is known then.
static void SayRefusals(QELTA *run) {
    if (run->Pool.Refused == 0 || run->Pool.RefusalSaid) return;
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w->Pool.Phase == POOL_LOGIN) return;
    int left = OpenCount(run);
    run->Pool.Limit = left;
    run->Pool.RefusalSaid = 1;
    char text[400];
    FORMATCUT(text, "*** %d of %d connections refused (%s): going on with %d; no more are opened "
                    "in this run\r\n",
              run->Pool.Refused, left + run->Pool.Refused, run->Pool.Refusal, left);
    Say(run, text);
}

// Let go of an extra connection that cannot go on. A refused log-in only
// lowers what this run opens from now on.
static int Drop(PlatWindow hDlg, QELTA *w, const char *why) {
    QELTA *run = w->Pool.Run;
    int refused = w->Pool.Phase == POOL_LOGIN;
    CloseOne(w, 0);
    if (refused) {
        if (run->Pool.Refused++ == 0) {
            COPYCUT(run->Pool.Refusal, why);
            run->Pool.Refusal[strcspn(run->Pool.Refusal, "\r\n")] = 0;
        }
        SayRefusals(run);
    } else {
        char text[200];
        FORMATCUT(text, "*** Connection %d closed while idle: going on with %d\r\n", w->Pool.Number,
                  OpenCount(run));
        Say(run, text);
    }
    return RunIfWaiting(hDlg, run);
}

// ---- Files -------------------------------------------------------------------------

static int TakeNext(PlatWindow hDlg, QELTA *w) {
    QELTA *run = w->Pool.Run;
    if (w->Pool.Phase == POOL_GONE) return 1;
    int id = CMD_NONE;
    char argument[sizeof w->Argument];
    int at = run->GeneratedReadOffset;
    int nextIsPort = 0;
    if (!TakeGeneratedFile(run, &id, argument, sizeof argument, &nextIsPort)) {
        w->Pool.Phase = POOL_READY;
        return RunIfWaiting(hDlg, run);
    }
    if (UnderWayElsewhere(run, w, argument)) {
        // Given back: taken once the other connection is done with it.
        run->GeneratedReadOffset = at;
        PlatFileSeek(run->GeneratedScriptHandle, at, QSEEK_SET);
        w->Pool.Phase = POOL_READY;
        return 1;
    }
    w->Pool.Phase = POOL_FILE;
    w->CommandId = id;
    COPYCUT(w->Argument, argument);
    w->MgtcMode = run->MgtcMode;
    w->StouMode = run->StouMode;
    w->AppeMode = run->AppeMode;
    w->ReturnIndex = run->ReturnIndex;
    w->CommandIndex = run->ReturnIndex;
    w->GeneratedActive = 1;
    // Another file may follow on this connection: its EPSV may go early.
    w->GeneratedNextIsPort = nextIsPort;
    w->ErrorText[0] = 0;
    w->CommandActive = 1;
    NoteCommandStart(w);
    COPYCUT(w->Report.Keyword, KeywordForId(id));
    ReportCommandStart(w);
    SetCommandState(w, COMMAND_BUSY);
    return ReplayTransfer(hDlg, w);
}

int PoolLoggedIn(PlatWindow hDlg, QELTA *w) {
    EndCommand(w, END_PASSED_ON);
    w->Pool.Phase = POOL_READY;
    SayRefusals(w->Pool.Run);
    return TakeNext(hDlg, w);
}

int PoolOutcome(PlatWindow hDlg, QELTA *w, int outcome) {
    if (outcome == OUTCOME_WORKING) return 1;
    QELTA *run = w->Pool.Run;
    if (OutcomeFailed(outcome)) {
        // A server that allows fewer connections refuses the extra ones:
        // the run goes on with those it has.
        if (w->Pool.Phase == POOL_LOGIN) return Drop(hDlg, w, w->ErrorText);
        if (outcome == OUTCOME_TRANSIENT && RefusedForSendingEarly(w))
            return SendAgainOnceConnected(hDlg, w);
        if (outcome == OUTCOME_TRANSIENT && TryAgain(hDlg, w)) return 1;
        // A file that failed fails the run, as on the run's own connection.
        DistrustLastReplied(w);
        FoldReport(run, w, 0);
        FORMATCUT(run->ErrorText, "%s%s", w->Pool.Tag, w->ErrorText);
        return 0;
    }
    if (Replaying(w)) return ReplayStepDone(hDlg, w);
    FoldReport(run, w, 1);
    EndCommand(w, END_RECORDED);
    w->Pool.Phase = POOL_READY;
    // The run's line may have waited for this file; then every idle
    // connection, this one too, takes the next.
    if (!RunIfWaiting(hDlg, run)) return 0;
    return PoolKick(hDlg, run);
}

int PoolAfterRunCommand(PlatWindow hDlg, QELTA *run, int outcome) {
    if (run->GeneratedActive != 1) return 1;
    // The command of many files passes on to the generated run it wrote.
    if (outcome == OUTCOME_PASSED_ON && IsManyFiles(run->CommandId)) return Open(hDlg, run);
    return PoolKick(hDlg, run);
}

int PoolKick(PlatWindow hDlg, QELTA *run) {
    if (run->GeneratedActive != 1) return 1;
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w->Pool.Phase == POOL_READY && !TakeNext(hDlg, w)) return 0;
    return 1;
}

// ---- Events ------------------------------------------------------------------------

static PlatSocket SocketFor(const QELTA *q, unsigned msg) {
    if (msg == CONTROLMSG) return q->Socket.Control;
    if (msg == DATA) return q->Socket.Data;
    return q->Socket.Listen;
}

QELTA *PoolOwner(QELTA *run, unsigned msg, PlatSocket s) {
    if (s == -1) return nullptr;
    if (SocketFor(run, msg) == s) return run;
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w->Pool.Phase != POOL_GONE && SocketFor(w, msg) == s) return w;
    return nullptr;
}

QELTA *PoolOwnerOfTimer(QELTA *run, unsigned id) {
    for (QELTA *w : run->Pool.Extra)
        if (w != nullptr && w->Pool.Phase != POOL_GONE && RetryTimerOf(w) == id) return w;
    return nullptr;
}

int PoolIdleEvent(PlatWindow hDlg, QELTA *w, unsigned event) {
    // A read with nothing in it for a command (a TLS record of the
    // session's own) keeps the connection; a close or a reply does not.
    if (event == QFD_READ && DrainUnsolicited(w) && !ControlConnectionLost(w)) return 1;
    return Drop(hDlg, w, "idle");
}

// The watchdog's five seconds on one connection: a connection attempt
// that has had its share of the time gives way to the next address (or
// ends the command naming all it tried); a command the server has left
// silent for TimeOut fails as a failure that may pass.
static int WatchdogTick(PlatWindow hDlg, QELTA *c) {
    // The wait before a try again is no silence of the server's; nor is the
    // wait of a generated run's line for the extra connections, which are
    // watched themselves.
    if (c->Retry.Waiting || c->Pool.Waiting) return 1;
    if (AttemptOverdue(c)) {
        c->LastSocketError = QWSAETIMEDOUT;
        return Dispatcher(hDlg, c->CommandId, c, EV_CONNECT_FAILED, 0, 0);
    }
    c->IdleCount += 5;
    if (c->IdleCount < c->TimeOut) return 1;
    char text[220];
    COPYCUT(c->ErrorText,
            HandshakeTimeoutText(c, text, sizeof text) ? text : "QELTA Internal Timeout");
    return ApplyOutcome(hDlg, c, OUTCOME_TRANSIENT);
}

int PoolWatchdog(PlatWindow hDlg, QELTA *run) {
    for (QELTA *w : run->Pool.Extra) {
        if (w == nullptr || w->ErrorFlag == 1) continue;
        if (w->Pool.Phase != POOL_LOGIN && w->Pool.Phase != POOL_FILE) continue;
        if (!WatchdogTick(hDlg, w)) return 0;
    }
    return WatchdogTick(hDlg, run);
}
