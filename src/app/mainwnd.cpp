// The main window around the transfer dialog, and the shutdown.
#include <cstdlib>

#include "app/app.h"
#include "ftp/ftp.h"
#include "session/command.h"
#include "session/settings.h"
#include "base/text.h"
#include "local/local.h"
#include "log/log.h"
#include "log/report.h"
#include "transfer/dataio.h"
#include "transfer/resume.h"
#include "script/pool.h"
#include "script/script.h"

static void OnCreate(PlatWindow w, QELTA *q) {
    if (!q->Window.No3D && !Plat3DStart(q->Instance)) q->Window.No3D = 1;
    PlatSetCaption(w, QELTA_TITLE);
    int width = 0, height = 0;
    PlatDesktopSize(&width, &height);
    PlatMoveWindow(w, width / 2 - 175, height / 2 - 136);
}

// Returns 1 when the system command is handled here (no default).
static int OnSysCommand(PlatWindow w, QELTA *q, uintptr_t cmd) {
    DebugTrace(q, "case WM_SYSCOMMAND in MainWndProc()\r\n");
    if (cmd == QSC_MAXIMIZE || cmd == QSC_RESTORE) {
        PlatSetCaption(w, QELTA_TITLE);
        return 0;
    }
    if (cmd != QSC_CLOSE) return 0;
    q->Cancelled = 1;
    DebugTrace(q, "case SC_CLOSE in MainWndProc()\r\n");
    WriteExitCode(q, "Failure");
    if (DialogHandle) PlatSendEvent(DialogHandle, QM_COMMAND, CANCELMSG, 0);
    return 1;
}

static void OnClose(PlatWindow w, QELTA *q) {
    DebugTrace(q, "case WM_DESTROY in MainWndProc()\r\n");
    if (q->Window.StartIcon) {
        PlatDestroyWindow(q->Window.StartIcon);
        q->Window.StartIcon = nullptr;
    }
    if (!q->Window.No3D) Plat3DStop(q->Instance);
    if (q->CommandId != CMD_NONE) q->ErrorFlag = 1;
    DebugTrace(q, "case WM_DESTROY: in MainWndProc() LocalFree()\r\n");
    DebugTrace(q, "case WM_DESTROY: in MainWndProc() ExitProcedure()\r\n");
    ExitProcedure(DialogHandle, q);
    // The outcome just written to [STATUS], for schedulers that only see
    // the exit status; without the setting the process always ends with 0.
    int code = q->ProcessExitCode == 1 && q->ErrorFlag == 1 ? 1 : 0;
    DeleteSession(q);
    pQELTA = nullptr;
    MainWindow = nullptr;
    PlatDestroyWindow(w);
    PlatPostQuit(code);
}

int MainWndProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    QELTA *q = pQELTA;
    if (q == nullptr) return 0;
    switch (msg) {
    case QM_CREATE:
        OnCreate(w, q);
        return 0;
    case QM_SETFOCUS:
        if (DialogHandle) PlatSetFocus(DialogHandle);
        return 1;
    case QM_COMMAND:
        return (wp & 0xFFFF) == 101;
    case QM_SYSCOMMAND:
        return OnSysCommand(w, q, wp);
    case QM_CLOSE:
        OnClose(w, q);
        return 1;
    }
    return 0;
}

static void StopNetwork(QELTA *q) {
    int err = PlatNetStop();
    if (err == 0) return;
    q->ErrorFlag = 1;
    q->LastSocketError = err;
    // A blocking call still in progress: cancel it and stop again, twice at most.
    for (int tries = 0; tries < 2 && err == QWSAEINPROGRESS; tries++) {
        PlatNetCancelBlocking();
        err = PlatNetStop();
    }
}

static void CloseFile(PlatFile *f) {
    if (*f != -1) PlatFileClose(*f);
    *f = -1;
}

// The generated command file is deleted at exit, but never when its name
// is that of the script or a run file (a script named job.tm2).
static void DeleteGeneratedFile(QELTA *q) {
    const char *p = q->GeneratedScriptPath;
    if (p[0] == 0) return;
    if (IsRunFile(q, p, p)) return;
    PlatFileDelete(p);
}

static int StartExitProgram(QELTA *q, const char *cmdline) {
    if (cmdline[0] == 0) return 1;
    COPYCUT(q->Argument, cmdline);
    int prefix = ParseShowPrefix(q);
    RestartWatchdog(q);
    return PlatStartProgram(q->Argument, ShowModeFor(prefix)) > 31;
}

// A run that ends without QUIT may still hold a reply no command asked
// for: the statuses already written could belong to other commands.
static void CheckForStrayReplies(QELTA *q) {
    if (q->ErrorFlag == 1 || q->Socket.Control == -1 || DrainUnsolicited(q)) return;
    q->ErrorFlag = 1;
    LogError2(q->ErrorText, q);
    DistrustLastReplied(q);
}

int ExitProcedure(PlatWindow hDlg, QELTA *q) {
    PlatStopTimer(hDlg, WatchdogTimer);
    PlatStopTimer(hDlg, RetryTimer);
    CheckForStrayReplies(q);
    // The command under way when the run fails or is cancelled failed.
    if (q->ErrorFlag == 1 || q->Cancelled == 1) ReportCommand(q, 0);
    // Every extra connection ends with the run, whatever ended it.
    PoolFree(q);
    if (q->LookupRequest != 0) PlatNetCancelResolve(q->LookupRequest);
    q->LookupRequest = 0;
    PlatNetClose(q->Socket.Control);
    // A transfer still under way when the run fails is cut, never ended.
    CloseDataConnection(q, q->ErrorFlag != 1 && q->Cancelled != 1);
    PlatNetClose(q->Socket.Listen);
    q->Socket.Control = q->Socket.Data = q->Socket.Listen = -1;
    StopNetwork(q);
    WriteLogHeader(q, "Ending");
    // A retrieval that did not complete leaves the destination as it was
    // (and under Resume its part for the next run).
    SuspendTransfer(q);
    CloseFile(&q->LocalFileHandle);
    CloseFile(&q->LogHandle);
    CloseFile(&q->ErrorLogHandle);
    CloseFile(&q->GeneratedScriptHandle);
    DeleteGeneratedFile(q);
    if (q->Cancelled == 1) q->ErrorFlag = 1;
    if (q->ScriptAtom != 0 && !PlatDeleteAtom(q->ScriptAtom)) {
        COPYCUT(q->ErrorText, "Failed to Delete Global Atom");
        q->ErrorFlag = 1;  // no outcome was written: not a success
        ReportEnd(q, 0);
        return 0;
    }
    q->ScriptAtom = 0;
    char cmdline[256];
    ReportEnd(q, q->ErrorFlag != 1);
    if (q->ErrorFlag == 1) {
        WriteExitCode(q, "Failure");
        ReadSettingText(q, SET_ONFAILEXEC, cmdline, sizeof cmdline);
    } else {
        WriteExitCode(q, "Success");
        ReadSettingText(q, SET_ONSUCCESSEXEC, cmdline, sizeof cmdline);
    }
    return StartExitProgram(q, cmdline);
}
