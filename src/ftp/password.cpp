// The password dialog of PASS: asks for the password of HostName.
#include "base/text.h"
#include "ftp/ftp.h"

int AskPasswordForPass(PlatWindow hDlg, QELTA *q) {
    PlatWindow owner = PlatOwner(hDlg);
    if (owner == nullptr) owner = MainWindow;
    char typed[32];
    typed[0] = 0;
    if (PlatAskPassword(owner, q->HostName, typed, sizeof typed)) {
        // The dialog's edit field holds at most 31 characters.
        CopyCut(q->Argument, 32, typed);
        return 1;
    }
    // Cancel ends the run through the dialog's own Cancel button; PASS
    // itself goes on and the posted cancel is handled afterwards.
    PlatPostEvent(hDlg, QM_COMMAND, IDCANCEL_BUTTON, 0);
    return 0;
}
