// Start-up, settings, run files and shutdown.
#ifndef QELTA_APP_H
#define QELTA_APP_H

#include "session/session.h"

// The window procedures receive only a window, so the record and the
// windows they need are the program's few globals.
extern QELTA *pQELTA;
// The transfer dialog; 0 once it is being destroyed.
extern PlatWindow DialogHandle;

int LoadSettings(QELTA *q);
// Fills LogPath, ErrorLogPath and GeneratedScriptPath from ScriptPath
// (and makes ScriptPath full for a relative name); 0 when it cannot.
int DeriveRunFileNames(QELTA *q);
int ExitProcedure(PlatWindow hDlg, QELTA *q);
// The run's view over the transfer dialog.
extern const QeltaView DialogView;

#endif
