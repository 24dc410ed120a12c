// Trying a command again after a failure that may pass (Retry=N): the
// connection is closed, a wait that doubles each time, a new connection
// with the log-in, directory and type the script had reached, and the
// command once more. [STATUS] sees only the command's last outcome.
#include <cstring>

#include "base/text.h"
#include "ftp/features.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/settings.h"
#include "script/pool.h"
#include "script/script.h"
#include "transfer/dataio.h"
#include "transfer/resume.h"
#include "transfer/transfer.h"

// What the record holds of the session since the last CONN (q->Retry.Have).
enum {
    RETRY_HAVE_CONN = 1,
    RETRY_HAVE_USER = 2,
    RETRY_HAVE_PASS = 4,
    RETRY_HAVE_ACCT = 8,
    RETRY_DIRS_LOST = 16,  // more directory changes than the record keeps
};

// The replay, step by step; REPLAY_NONE once the command itself runs.
enum {
    REPLAY_NONE,
    REPLAY_CONN,
    REPLAY_USER,
    REPLAY_PASS,
    REPLAY_ACCT,
    REPLAY_DIRS,
    REPLAY_TYPE,
    REPLAY_CHECK,  // the transfer was whole: SIZE decides
    REPLAY_PORT,
    REPLAY_COMMAND,
};

static const int MaxDirs = (int)(sizeof(((QELTA *)0)->Retry.Dirs) / sizeof(((QELTA *)0)->Retry.Dirs[0]));

// ---- What the session reached -----------------------------------------------------

void NoteCommandStart(QELTA *q) {
    auto &r = q->Retry;
    r.Tries = 0;
    r.CheckOnly = 0;
    r.Id = q->CommandId;
    r.Modes[0] = q->MgtcMode;
    r.Modes[1] = q->StouMode;
    r.Modes[2] = q->AppeMode;
    COPYCUT(r.Argument, q->Argument);
}

static void ForgetSession(QELTA *q) {
    auto &r = q->Retry;
    Wipe(r.Password, sizeof r.Password);
    r.Have = 0;
    r.DirCount = 0;
}

static void NoteDirectory(QELTA *q) {
    auto &r = q->Retry;
    if (r.DirCount == MaxDirs || !COPYCUT(r.Dirs[r.DirCount], q->Argument)) {
        r.Have |= RETRY_DIRS_LOST;
        return;
    }
    r.DirCount++;
}

void NoteCommandDone(QELTA *q) {
    auto &r = q->Retry;
    switch (q->CommandId) {
    case CMD_CONN:
        ForgetSession(q);
        if (COPYCUT(r.Conn, q->Argument)) r.Have = RETRY_HAVE_CONN;
        break;
    case CMD_USER:
        if (COPYCUT(r.User, q->Argument)) r.Have |= RETRY_HAVE_USER;
        break;
    case CMD_PASS:
        // The password as sent, from the script or wherever PASS took it.
        if (COPYCUT(r.Password, q->Argument)) r.Have |= RETRY_HAVE_PASS;
        break;
    case CMD_ACCT:
        if (COPYCUT(r.Account, q->Argument)) r.Have |= RETRY_HAVE_ACCT;
        break;
    case CMD_CHWD:
        NoteDirectory(q);
        break;
    case CMD_QUIT:
        ForgetSession(q);
        break;
    }
}

// ---- Whether to try again -----------------------------------------------------------

// The seconds before try n (2 for the first retry): RetryDelay, doubled
// after each try, at most 300.
unsigned RetryWaitSeconds(int delay, int tryNumber) {
    unsigned long long s = delay < 0 ? 0 : (unsigned long long)delay;
    for (int n = 2; n < tryNumber && s < 300; n++) s *= 2;
    return s > 300 ? 300 : (unsigned)s;
}

// Why the command under way may not be sent again; 0 when it may.
static const char *NoRetryBecause(const QELTA *q) {
    const auto &r = q->Retry;
    if (!(r.Have & RETRY_HAVE_CONN) && r.Id != CMD_CONN) return "no CONN to connect again with";
    if (r.Have & RETRY_DIRS_LOST) return "too many directory changes to replay";
    // The server may hold part of what went: sending it again would add it twice.
    if (r.Id == CMD_STOR && r.Modes[2] == 1 && !SettingOn(q, SET_RESUME))
        return "an APPE the server may have taken part of is not sent again without Resume=1";
    if (r.Id == CMD_STOR && r.Modes[1] == 1) return "an STOU may have stored a file under a name of its own";
    // Its names are in the generated file already.
    if (r.Id == CMD_NLST && q->Receive.DataBytes > 0) return "a name list cut part-way is not fetched twice";
    if (r.Id == CMD_DIAL || r.Id == CMD_EXEC) return "not a command of the connection";
    return nullptr;
}

// The tries left, and the time: 0 with why when there are none.
static int TryAllowed(QELTA *q, unsigned wait, const char **why) {
    int retries = ReadSetting(q, SET_RETRY);
    if (q->Retry.Tries >= retries) {
        *why = retries == 0 ? nullptr : "no tries left";
        return 0;
    }
    unsigned long now = PlatMilliseconds();
    unsigned long spent = q->Retry.FirstWait == 0 ? 0 : (now - q->Retry.FirstWait) / 1000UL;
    if (spent + wait > (unsigned long)ReadSetting(q, SET_RETRYFOR)) {
        *why = "RetryFor is spent";
        return 0;
    }
    return 1;
}

// The line as the log shows it: a password never.
static void ShownLine(const QELTA *q, char *out, size_t size) {
    const auto &r = q->Retry;
    const char *arg = r.Argument;
    if (r.Id == CMD_PASS || (r.Id == CMD_UDEF && EqualNoCase(arg, "PASS", 4))) arg = "xxxxxxxx";
    FormatCut(out, size, "%s %s", KeywordForId(r.Id), arg);
}

// The script line the command belongs to: a generated run's is the line
// that started it.
static int ScriptLine(const QELTA *q) { return q->ReturnIndex != 0 ? q->ReturnIndex : q->CommandIndex; }

static void LogBoth(QELTA *q, const char *text) {
    LogText(q, text);
    ErrorLogText(q, text);
}

static void SayRetry(QELTA *q, unsigned wait) {
    char line[200], reason[200], text[480];
    ShownLine(q, line, sizeof line);
    COPYCUT(reason, q->ErrorText);
    reason[strcspn(reason, "\r\n")] = 0;
    int retries = ReadSetting(q, SET_RETRY);
    FORMATCUT(text, "*** Retry: line %d (%s) failed: %s; try %d of %d in %u s\r\n", ScriptLine(q),
              line, reason, q->Retry.Tries + 2, retries + 1, wait);
    LogBoth(q, text);
}

static void SayNoRetry(QELTA *q, const char *why) {
    char line[200], text[320];
    ShownLine(q, line, sizeof line);
    FORMATCUT(text, "*** Not tried again: line %d (%s): %s\r\n", ScriptLine(q), line, why);
    LogBoth(q, text);
}

// ---- The connection closed ----------------------------------------------------------

// The control connection lost after every byte of the transfer went over a
// data connection that ended well: the server may have the file whole.
static int TransferWasWhole(const QELTA *q) {
    // SIZE alone cannot stand for a hash asked for, nor find a file still
    // under its temporary name.
    if (SettingOn(q, SET_VERIFY) || SettingOn(q, SET_UPLOADTEMPNAME)) return 0;
    if (q->Retry.Id == CMD_STOR) return q->Retry.Modes[1] == 0 && q->Send.FileEnded == 1;
    if (q->Retry.Id == CMD_RETR)
        return q->CurrentState.TransferInProgress == 0 && q->Socket.Data == -1 &&
               q->Receive.TempPath[0] != 0;
    return 0;
}

static void CloseForRetry(QELTA *q, PlatWindow hDlg) {
    if (q->LookupRequest != 0) PlatNetCancelResolve(q->LookupRequest);
    q->LookupRequest = 0;
    EndAttempts(q);
    PlatNetAbort(q->Socket.Control);
    CloseDataConnection(q, 0);
    PlatNetClose(q->Socket.Listen);
    q->Socket.Control = q->Socket.Data = q->Socket.Listen = -1;
    // A whole retrieval waits for SIZE's word; a cut one is kept under
    // Resume=1 for the next try to continue, else starts again.
    if (!(q->Retry.CheckOnly && q->Retry.Id == CMD_RETR)) SuspendTransfer(q);
    if (q->Retry.Id == CMD_STOR && q->LocalFileHandle != -1) {
        PlatFileClose(q->LocalFileHandle);
        q->LocalFileHandle = -1;
    }
    q->Connected = q->UserAccepted = q->LoggedIn = 0;
    q->DataPortReady = q->DataAccepted = q->ClearToSendData = 0;
    q->Tls.ControlSecured = q->Tls.ProtectionAgreed = 0;
    q->Tls.Step = q->Tls.DataPending = q->Tls.DataShaking = 0;
    q->CurrentState.TransferInProgress = 0;
    q->Tolerated550 = 0;
}

int TryAgain(PlatWindow hDlg, QELTA *q) {
    auto &r = q->Retry;
    int tryNumber = r.Tries + 2;
    unsigned wait = RetryWaitSeconds(ReadSetting(q, SET_RETRYDELAY), tryNumber);
    const char *why = nullptr;
    if (!TryAllowed(q, wait, &why) || (why = NoRetryBecause(q)) != nullptr) {
        if (why) SayNoRetry(q, why);
        r.Step = REPLAY_NONE;
        return 0;
    }
    SayRetry(q, wait);
    if (r.FirstWait == 0) r.FirstWait = PlatMilliseconds() | 1UL;
    r.Tries++;
    r.CheckOnly = r.Step == REPLAY_NONE ? TransferWasWhole(q) : r.CheckOnly;
    CloseForRetry(q, hDlg);
    q->ErrorText[0] = 0;
    r.Step = REPLAY_NONE;
    r.Waiting = 1;
    SetCommandState(q, COMMAND_BUSY);
    if (!PlatStartTimer(hDlg, RetryTimerOf(q), wait == 0 ? 1 : wait * 1000U)) {
        COPYCUT(q->ErrorText, "Failed to create the retry timer\r\n");
        r.Waiting = 0;
        return 0;
    }
    return 1;
}

// ---- The replay -----------------------------------------------------------------------

static int IsTransfer(int id) {
    return id == CMD_RETR || id == CMD_STOR || id == CMD_LIST || id == CMD_NLST;
}

// Whether a step has anything to do, and its command and argument.
static int StepCommand(QELTA *q, int step, int *id, char *arg, size_t size) {
    auto &r = q->Retry;
    switch (step) {
    case REPLAY_CONN:
        *id = CMD_CONN;
        return CopyCut(arg, size, r.Conn);
    case REPLAY_USER:
        *id = CMD_USER;
        return (r.Have & RETRY_HAVE_USER) && CopyCut(arg, size, r.User);
    case REPLAY_PASS:
        *id = CMD_PASS;
        return (r.Have & RETRY_HAVE_PASS) && CopyCut(arg, size, r.Password);
    case REPLAY_ACCT:
        *id = CMD_ACCT;
        return (r.Have & RETRY_HAVE_ACCT) && CopyCut(arg, size, r.Account);
    case REPLAY_DIRS:
        *id = CMD_CHWD;
        return r.DirAt < r.DirCount && CopyCut(arg, size, r.Dirs[r.DirAt]);
    case REPLAY_TYPE:
        *id = CMD_TYPE;
        return q->TransferType == 'I' && CopyCut(arg, size, "I");
    case REPLAY_CHECK:
        *id = CMD_NONE;
        return r.CheckOnly && q->TransferType == 'I';
    case REPLAY_PORT:
        *id = q->PASVMode == 1 ? CMD_PASV : CMD_PORT;
        arg[0] = 0;
        return IsTransfer(r.Id);
    }
    return 0;
}

// The command that failed, as it was read, once more.
static int RunCommandAgain(PlatWindow hDlg, QELTA *q) {
    auto &r = q->Retry;
    r.Step = REPLAY_NONE;
    q->CommandId = r.Id;
    q->MgtcMode = r.Modes[0];
    q->StouMode = r.Modes[1];
    q->AppeMode = r.Modes[2];
    COPYCUT(q->Argument, r.Argument);
    if (r.CheckOnly && r.Id == CMD_RETR) AbandonReceiveFile(q);
    r.CheckOnly = 0;
    SetCommandState(q, COMMAND_BUSY);
    return Dispatcher(hDlg, q->CommandId, q, EV_START, 0, 0);
}

// Starts the next step that has something to do after step.
static int RunStepAfter(PlatWindow hDlg, QELTA *q, int step) {
    auto &r = q->Retry;
    for (;;) {
        // Each directory change of the record is a step of its own.
        if (step == REPLAY_DIRS && r.DirAt + 1 < r.DirCount) {
            r.DirAt++;
        } else {
            step++;
            r.DirAt = 0;
        }
        // A log-in alone ends after its TYPE.
        if (r.Id == CMD_NONE && step > REPLAY_TYPE) {
            r.Step = REPLAY_NONE;
            return PoolLoggedIn(hDlg, q);
        }
        if (step >= REPLAY_COMMAND) return RunCommandAgain(hDlg, q);
        int id;
        if (StepCommand(q, step, &id, q->Argument, sizeof q->Argument)) break;
    }
    r.Step = step;
    int id = CMD_NONE;
    StepCommand(q, step, &id, q->Argument, sizeof q->Argument);
    q->CommandId = id;
    // A refused password is final here: no prompt is asked again.
    if (id == CMD_PASS) q->PassRetryCount = 2;
    SetCommandState(q, COMMAND_BUSY);
    return Dispatcher(hDlg, id, q, EV_START, 0, 0);
}

int RetryWaitOver(PlatWindow hDlg, QELTA *q) {
    PlatStopTimer(hDlg, RetryTimerOf(q));
    if (!q->Retry.Waiting) return 1;
    q->Retry.Waiting = 0;
    q->Retry.DirAt = 0;
    RestartWatchdog(q);
    // A CONN that failed is its own reconnect; nothing of an old session
    // is replayed after it.
    if (q->Retry.Id == CMD_CONN) return RunCommandAgain(hDlg, q);
    return RunStepAfter(hDlg, q, REPLAY_NONE);
}

int ReplayStepDone(PlatWindow hDlg, QELTA *q) { return RunStepAfter(hDlg, q, q->Retry.Step); }

int ReplayLogIn(PlatWindow hDlg, QELTA *q) {
    q->Retry.Id = CMD_NONE;
    q->Retry.DirAt = 0;
    RestartWatchdog(q);
    return RunStepAfter(hDlg, q, REPLAY_NONE);
}

int ReplayTransfer(PlatWindow hDlg, QELTA *q) { return RunStepAfter(hDlg, q, REPLAY_TYPE); }

int SessionReplayable(const QELTA *q) {
    return (q->Retry.Have & RETRY_HAVE_CONN) && !(q->Retry.Have & RETRY_DIRS_LOST);
}

int Replaying(const QELTA *q) { return q->Retry.Step != REPLAY_NONE; }

// ---- The size check of a transfer whose final reply was lost ------------------------

static int SizeMatches(QELTA *q, uint64_t *remote) {
    const char *p = q->LastReplyLine;
    if (!ReadSizeReply(p, strlen(p), remote)) return 0;
    uint64_t sent = q->Retry.Id == CMD_STOR ? q->Send.BytesSent : q->Receive.BytesReceived;
    return *remote == sent;
}

static int CheckReply(PlatWindow hDlg, QELTA *q) {
    int got = AwaitReply(hDlg, q, "213 ");
    if (got == AWAIT_PENDING) return OUTCOME_WORKING;
    if (got == AWAIT_TRANSIENT) return OUTCOME_TRANSIENT;
    uint64_t remote = 0;
    char text[400];
    if (got == AWAIT_MATCHED && SizeMatches(q, &remote)) {
        FORMATCUT(text, "*** Line %d: the final reply was lost; SIZE %s says %llu bytes, as "
                        "transferred: done\r\n",
                  ScriptLine(q), q->RemoteName, (unsigned long long)remote);
        LogBoth(q, text);
        if (q->Retry.Id == CMD_RETR && !CommitReceiveFile(q)) return OUTCOME_FAILED;
        if (q->Retry.Id == CMD_STOR) UploadCommitted(q);
        q->CommandId = q->Retry.Id;
        q->Retry.Step = REPLAY_NONE;
        q->Retry.CheckOnly = 0;
        return OUTCOME_DONE;
    }
    FORMATCUT(text, "*** Line %d: the final reply was lost and SIZE does not show the whole "
                    "file: sent again\r\n",
              ScriptLine(q));
    LogBoth(q, text);
    q->ErrorText[0] = 0;
    q->Retry.CheckOnly = 0;
    return OUTCOME_PASSED_ON;
}

static int ExecSizeCheck(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) {
        char line[300];
        if (!FORMATCUT(line, "SIZE %s\r\n", q->RemoteName)) return OUTCOME_PASSED_ON;
        return SendControlLine(q, line, nullptr, "User Selected No to Debug Message\r\n",
                               "Winsock Error %d On send() in the size check\r\n");
    }
    if (kind == EV_SOCKET && msg == CONTROLMSG && ev == QFD_READ) return CheckReply(hDlg, q);
    return OUTCOME_WORKING;
}

Executor ReplayExecutor(const QELTA *q) {
    return q->Retry.Step == REPLAY_CHECK ? ExecSizeCheck : nullptr;
}

// ---- A reply nobody asked for -----------------------------------------------------------

void DistrustLastReplied(QELTA *q) {
    q->Retry.Step = REPLAY_NONE;
    int n = q->Control.LastOwner;
    if (!StrayReplyReported(q) || n <= 0) return;
    WriteStatus(q, n, 0);
    char text[160];
    FORMATCUT(text, "Status %d set to Failure: a reply nobody asked for came after its own, "
                    "which may have been that one\r\n",
              n);
    ErrorLogText(q, text);
}
