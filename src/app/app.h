// Start-up, settings, run files and shutdown.
#ifndef QELTA_APP_H
#define QELTA_APP_H

#include "app/qelta.h"

// The start-up: the whole life of the program; returns the exit code (0).
int QeltaMain(void *instance, int hasPrevious, const char *cmdline, int show);
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
