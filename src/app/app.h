// Start-up, settings, run files and shutdown.
#ifndef QELTA_APP_H
#define QELTA_APP_H

#include "session/session.h"

int LoadSettings(QELTA *q);
// Fills LogPath, ErrorLogPath and GeneratedScriptPath from ScriptPath
// (and makes ScriptPath full for a relative name); 0 when it cannot.
int DeriveRunFileNames(QELTA *q);
int ExitProcedure(PlatWindow hDlg, QELTA *q);
// The run's view over the transfer dialog.
extern const QeltaView DialogView;

#endif
