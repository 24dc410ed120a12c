// The record's start and its resets: a new run, and a new control
// connection.
#include "session/session.h"

#include <cstdlib>

#include "session/command.h"
#include "session/commandids.h"

QELTA *NewSession(void) {
    QELTA *q = static_cast<QELTA *>(std::calloc(1, sizeof(QELTA)));
    if (q == nullptr) return nullptr;
    PlatFile *files[] = {&q->LogHandle, &q->ErrorLogHandle, &q->StatHandle, &q->LocalFileHandle,
                         &q->GeneratedScriptHandle, &q->Report.Handle};
    for (PlatFile *f : files) *f = -1;
    q->Socket.Control = q->Socket.Data = q->Socket.Listen = -1;
    q->CommandId = CMD_NONE;
    q->IconKind = ICON_DISC;
    q->TransferType = 'A';
    q->Flow.LoopCount = -1;
    q->Dial.AttemptsLeft = -1;
    q->Dial.PauseMs = 3000;
    q->Progress.StatHeaderPending = 1;
    q->Progress.StatLineNumber = 1;
    q->Window.StatusIconKind = ICON_DISC;
    return q;
}

void DeleteSession(QELTA *q) {
    if (q == nullptr) return;
    std::free(q->DataBuffer);
    std::free(q->Control.Reader);
    std::free(q);
}

void ResetConnection(QELTA *q) {
    q->LocalName[0] = 0;
    q->RemoteName[0] = 0;
    q->HostName[0] = 0;
    q->LookupRequest = 0;
    q->Socket.Control = -1;
    q->Socket.Data = -1;
    q->Socket.Listen = -1;
    q->ClearToSendData = 0;
    q->MgtcMode = 0;
    q->StouMode = 0;
    q->AppeMode = 0;
    q->LoggedIn = 0;
    q->DataPortReady = 0;
    q->UserAccepted = 0;
    q->RestoreTypeI = 0;
    q->GeneratedActive = 0;
    q->Connected = 0;
    q->TransferType = 'A';
    q->CurrentState.TransferInProgress = 0;
    SetCommandState(q, COMMAND_RUNNING);
    q->Argument[0] = 0;
}

void ResetSession(QELTA *q) {
    q->PASVMode = 0;
    q->LogPath[0] = 0;
    q->LogHandle = -1;
    q->_550DeleteOverRide = 0;
    q->DeleteOverRide = 0;
    q->DataAccepted = 0;
    q->LocalHostName[0] = 0;
    q->PassRetryCount = 0;
    q->CommandId = CMD_NONE;
    q->CommandIndex = 0;
    q->Cancelled = 0;
    ResetConnection(q);
}

int IsRunFile(const QELTA *q, const char *path, const char *self) {
    const char *const runFiles[] = {q->ScriptPath, q->LogPath, q->ErrorLogPath, q->StatPath,
                                    q->GeneratedScriptPath, q->Report.Path};
    for (const char *f : runFiles)
        if (f != self && f[0] != 0 && PlatSameFile(path, f)) return 1;
    return 0;
}

void ViewShow(const QELTA *q, PlatWindow hDlg, int place, const char *text) {
    if (q->View != nullptr) q->View->Show(hDlg, place, text);
}

void ViewShowMinimisedCaption(const QELTA *q, PlatWindow hDlg, const char *text) {
    if (q->View != nullptr) q->View->ShowMinimisedCaption(hDlg, text);
}

int ViewAsk(const QELTA *q, const char *question, const char *title) {
    return q->View != nullptr && q->View->Ask(question, title);
}

void ViewAlert(const QELTA *q, const char *text, const char *title) {
    if (q->View != nullptr) q->View->Alert(text, title);
}

void ViewRaise(const QELTA *q, PlatWindow hDlg) {
    if (q->View != nullptr) q->View->Raise(hDlg);
}
