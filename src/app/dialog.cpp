// The transfer dialog's procedure: every event of the run arrives here and
// is routed to the current command's executor; every failure takes the one
// failure path.
#include "app/app.h"
#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "script/pool.h"
#include "script/script.h"

static const int IconX = 255, IconY = 19;

static void ShowStatusIcon(PlatWindow hDlg, QELTA *q, int kind) {
    // Indexed by kind - 1.
    static const char *const IconNames[] = {"DISC", "UP", "DOWN", "AICON_1"};
    if (kind == q->Window.StatusIconKind) return;
    if (kind < ICON_DISC || kind > ICON_AICON) return;
    if (q->Window.StatusIcon) PlatDestroyWindow(q->Window.StatusIcon);
    q->Window.StatusIcon =
        PlatCreateIconWindow(hDlg, q->Instance, IconNames[kind - 1], IconX, IconY);
    q->Window.StatusIconKind = kind;
}

// Indexed by ViewPlace.
static const int PlaceFields[] = {IDC_COMMAND, IDC_LOCAL,        IDC_REMOTE,  IDC_SOURCE,
                                  IDC_DEST,    IDC_COUNTERLABEL, IDC_COUNTER, IDC_RATE,
                                  IDC_ELAPSED, IDC_PERCENT,      IDC_PROGRESS};
static_assert(sizeof PlaceFields / sizeof PlaceFields[0] == VIEW_BAR + 1, "a field per place");

static void ShowPlace(PlatWindow hDlg, int place, const char *text) {
    if (place >= VIEW_COMMAND && place <= VIEW_BAR) PlatSetField(hDlg, PlaceFields[place], text);
}

static void ShowMinimisedCaption(PlatWindow hDlg, const char *text) {
    PlatWindow main = PlatOwner(hDlg);
    if (main && PlatIsIconic(main)) PlatSetCaption(main, text);
}

static int Ask(const char *question, const char *title) {
    return PlatMessageBox(question, title, QMB_YESNO) == QID_YES;
}

static void Alert(const char *text, const char *title) { PlatMessageBox(text, title, QMB_OK); }

static void Raise(PlatWindow hDlg) {
    PlatWindow main = hDlg ? PlatOwner(hDlg) : nullptr;
    PlatRaiseWindow(main ? main : MainWindow);
}

const QeltaView DialogView = {ShowStatusIcon, ShowPlace, ShowMinimisedCaption, Ask, Alert, Raise};

static void Fail(PlatWindow hDlg, QELTA *q, const char *text) {
    PlatStopTimer(hDlg, WatchdogTimer);
    PlatStopTimer(hDlg, RetryTimer);
    q->ErrorFlag = 1;
    LogError2(text, q);
    PlatPostEvent(hDlg, QM_COMMAND, CANCELMSG, 0);
}

// After every dispatch and every ProcessCommandProc call.
static void HandleResult(PlatWindow hDlg, QELTA *q, int result) {
    if (result != 1)
        Fail(hDlg, q, q->ErrorText);
    else
        AdvanceCommand(hDlg, q);
}

// A failure the dialog sees itself on connection c (its ErrorText set):
// the driver may try the command again.
static void FailedHere(PlatWindow hDlg, QELTA *q, QELTA *c) {
    HandleResult(hDlg, q, ApplyOutcome(hDlg, c, OUTCOME_TRANSIENT));
}

static void OnTimer(PlatWindow hDlg, QELTA *q, unsigned id, intptr_t lp) {
    if (q->DebugEx == 1 && q->ErrorFlag != 1) DebugTrace(q, "case WM_TIMER: in Dialog1()\r\n");
    switch (id) {
    case WaitTimer:
        if (q->ErrorFlag == 1) return;
        if (q->CommandId == CMD_WFOR || q->CommandId == CMD_WTIL)
            HandleResult(hDlg, q,
                         Dispatcher(hDlg, q->CommandId, q, EV_WAITTICK, EV_WAITTICK,
                                    (unsigned)(lp & 0xFFFF)));
        return;
    case WatchdogTimer:
        if (q->ErrorFlag == 1) return;
        HandleResult(hDlg, q, PoolWatchdog(hDlg, q));
        return;
    case RetryTimer:
        if (q->ErrorFlag == 1) return;
        HandleResult(hDlg, q, RetryWaitOver(hDlg, q));
        return;
    }
    // An extra connection's wait before its try again.
    QELTA *c = PoolOwnerOfTimer(q, id);
    if (c != nullptr && q->ErrorFlag != 1) HandleResult(hDlg, q, RetryWaitOver(hDlg, c));
}

static void OnStart(PlatWindow hDlg, QELTA *q) {
    q->Window.StartIcon = PlatCreateIconWindow(hDlg, q->Instance, "DISC", IconX, IconY);
    PlatPostEvent(hDlg, PROCESSCOMMAND, 0, 0);
}

// An event of the socket wp goes to the connection that holds it (c: the
// run's record or an extra connection's); what follows is the run's.
static void OnSocket(PlatWindow hDlg, QELTA *q, unsigned msg, uintptr_t wp, intptr_t lp) {
    static const char *const Names[] = {"Control", "Data", "Listen"};
    static const char *const Traces[] = {"case CONTROLMSG: in Dialog1()\r\n",
                                         "case DATA: in Dialog1()\r\n",
                                         "case LISTEN: in Dialog1()\r\n"};
    if (q->ErrorFlag == 1) return;
    unsigned event = (unsigned)(lp & 0xFFFF);
    unsigned error = (unsigned)((lp >> 16) & 0xFFFF);
    int which = (int)(msg - CONTROLMSG);
    // Events still queued for a socket that has since been closed (QUIT, a
    // second CONN, the end of a transfer, the accept that ends listening)
    // belong to no command: Windows delivers them after the close. Nor may
    // an error of such a socket fail the run.
    QELTA *c = PoolOwner(q, msg, (PlatSocket)wp);
    if (c == nullptr) return;
    if (msg == DATA && event == QFD_WRITE) c->ClearToSendData = 1;
    DebugTrace(c, Traces[which]);
    // An extra connection between files has nothing to say to the server.
    if (c != q && c->Pool.Phase == POOL_READY) {
        if (msg == CONTROLMSG && event != QFD_WRITE)
            HandleResult(hDlg, q, PoolIdleEvent(hDlg, c, event));
        return;
    }
    if (error != 0 && event == QFD_CONNECT && c->Connect.Active) {
        c->LastSocketError = (int)error;
        HandleResult(hDlg, q, Dispatcher(hDlg, c->CommandId, c, EV_CONNECT_FAILED, msg, event));
        return;
    }
    if (error != 0) {
        c->LastSocketError = (int)error;
        FORMATCUT(c->ErrorText, "Winsock error %d on %s Socket", (int)error, Names[which]);
        FailedHere(hDlg, q, c);
        return;
    }
    // Room again on the control socket: the rest of a line goes first.
    if (msg == CONTROLMSG && event == QFD_WRITE && ControlWritable(c) != OUTCOME_WORKING) {
        FailedHere(hDlg, q, c);
        return;
    }
    // The server closing the control connection is its last read: the
    // executor's receive then reports it, whatever command is waiting.
    if (msg == CONTROLMSG && event == QFD_CLOSE) event = QFD_READ;
    HandleResult(hDlg, q, Dispatcher(hDlg, c->CommandId, c, EV_SOCKET, msg, event));
}

static void OnConnected(PlatWindow hDlg, QELTA *q, intptr_t lp) {
    DebugTrace(q, "case CONNECTEDMSG: in Dialog1()\r\n");
    unsigned error = (unsigned)((lp >> 16) & 0xFFFF);
    if (error != 0) {
        q->LastSocketError = (int)error;
        FORMATCUT(q->ErrorText, "Unable to connect to remote host %d\r\n", (int)error);
        Fail(hDlg, q, q->ErrorText);
        return;
    }
    HandleResult(hDlg, q,
                 Dispatcher(hDlg, q->CommandId, q, EV_CONNECTED, 0, (unsigned)(lp & 0xFFFF)));
}

static void OnProcessCommand(PlatWindow hDlg, QELTA *q) {
    if (q->ErrorFlag == 1) return;
    DebugTrace(q, "case PROCESSCOMMAND: in Dialog1()\r\n");
    if (q->CurrentState.WaitingForResponseCode || q->CurrentState.TransferInProgress) {
        DebugTrace(q, "case PROCESSCOMMAND: (Cancelled)in Dialog1()\r\n");
        return;
    }
    SetCommandState(q, COMMAND_BUSY);
    HandleResult(hDlg, q, ProcessCommandProc(hDlg, q));
}

static void EndRun(PlatWindow hDlg, QELTA *q) {
    DebugTrace(q, "case CANCELMSG: in Dialog1()\r\n");
    if (q->CommandId != CMD_NONE) q->ErrorFlag = 1;
    DialogHandle = nullptr;
    PlatPostEvent(PlatOwner(hDlg), QM_CLOSE, 0, 0);
    PlatDestroyWindow(hDlg);
}

static void OnCommand(PlatWindow hDlg, QELTA *q, unsigned id) {
    DebugTrace(q, "case WM_COMMAND: in Dialog1()\r\n");
    if (id == IDCANCEL_BUTTON) {
        // A second cancel after the dialog is gone has nothing left to end.
        if (DialogHandle == nullptr) return;
        DebugTrace(q, "case IDCANCEL: in Dialog1()\r\n");
        WriteStatus(q, q->CommandIndex, 0);
        q->ErrorFlag = 1;
        COPYCUT(q->ErrorText, "User Cancelled");
        LogError2(q->ErrorText, q);
        WriteExitCode(q, "Failure");
        q->Cancelled = 1;
        EndRun(hDlg, q);
    } else if (id == CANCELMSG) {
        if (DialogHandle == nullptr) return;
        EndRun(hDlg, q);
    }
}

int Dialog1(PlatWindow hDlg, unsigned msg, uintptr_t wp, intptr_t lp) {
    QELTA *q = pQELTA;
    if (q == nullptr) return 0;
    switch (msg) {
    case QM_INITDIALOG:
        PlatFitOwnerToDialog(hDlg);
        PlatPostEvent(hDlg, STARTMSG, 0, 0);
        return 0;
    case STARTMSG:
        OnStart(hDlg, q);
        return 0;
    case QM_TIMER:
        OnTimer(hDlg, q, (unsigned)wp, lp);
        return 0;
    case CONTROLMSG:
    case DATA:
    case LISTEN:
        OnSocket(hDlg, q, msg, wp, lp);
        return 0;
    case CONNECTEDMSG:
        OnConnected(hDlg, q, lp);
        return 0;
    case PROCESSCOMMAND:
        OnProcessCommand(hDlg, q);
        return 0;
    case QM_COMMAND:
        OnCommand(hDlg, q, (unsigned)(wp & 0xFFFF));
        return 0;
    }
    return 0;
}
