// Start-up, settings, run files and shutdown.
#ifndef QELTA_APP_H
#define QELTA_APP_H

#include "app/qelta.h"

int LoadSettings(QELTA *q);
// Fills LogPath, ErrorLogPath and GeneratedScriptPath from ScriptPath
// (and makes ScriptPath full for a relative name); 0 when it cannot.
int DeriveRunFileNames(QELTA *q);
int StartNetwork(QELTA *q, PlatWindow hDlg);
void ResetSession(QELTA *q);
void ResetConnection(QELTA *q);
int ExitProcedure(PlatWindow hDlg, QELTA *q);
void ShowStatusIcon(PlatWindow hDlg, void *instance, int kind);

#endif
