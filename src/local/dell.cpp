// DELL: every local file that matches the pattern is deleted, each after
// its own question unless the safety prompt is switched off, and each
// deletion is logged.
#include <cstring>

#include "session/settings.h"
#include "base/text.h"
#include "log/log.h"
#include "local/local.h"
#include "session/command.h"
#include "session/status.h"
#include "transfer/transfer.h"

static int NothingToDelete(QELTA *q) {
    if (SettingOn(q, SET_DELLCANDONOTHING)) return OUTCOME_DONE;
    COPYCUT(q->ErrorText, "Call to opendir() returned NULL in ExecDELL (No Such Directory or No "
                          "Matching Files)");
    return 0;
}

// DebugMessages brings the question back even under DeleteOverRide.
static int Asks(const QELTA *q) { return !(q->DeleteOverRide != 0 && q->DebugMessages != 1); }

static int Confirmed(const QELTA *q, const char *path) {
    char text[sizeof((QELTA *)0)->Argument + PLAT_NAME_MAX + 200];
    FORMATCUT(text,
              "Are you sure you want to delete %s?  Select No to exit QELTA now.  See the "
              "documentation on how to get rid of this message.  It is a safety precaution only.",
              path);
    return ViewAsk(q, text, "QELTA");
}

static void LogLine(QELTA *q, const char *head, const char *path, const char *tail) {
    LogText(q, head);
    LogText(q, path);
    LogText(q, tail);
    LogText(q, "\r\n");
}

// One file: 1 when done with it (deleted or not), 0 when the user said No.
static int DeleteListed(QELTA *q, const char *folder, const char *name) {
    char path[sizeof q->Argument + PLAT_NAME_MAX];
    FORMATCUT(path, "%s\\%s", folder, name);
    if (!ReadableNow(path)) return 1;
    if (Asks(q) && !Confirmed(q, path)) {
        COPYCUT(q->ErrorText, "User selected no on prompt to delete");
        return 0;
    }
    LogLine(q, "*** QELTA is deleting ", path, "");
    // The command still succeeds; the log says which file stayed and why.
    if (IsRunFile(q, path)) {
        LogLine(q, "*** QELTA could not delete ", path, ": it is a file of this run");
    } else if (!PlatFileDelete(path)) {
        char why[160];
        PlatFileErrorText(why, sizeof why);
        char tail[170];
        FORMATCUT(tail, ": %s", why);
        LogLine(q, "*** QELTA could not delete ", path, tail);
    }
    return 1;
}

static int StartDELL(PlatWindow hDlg, QELTA *q) {
    ViewShow(q, hDlg, VIEW_COMMAND, "Delete Local File(s)");
    char name[PLAT_NAME_MAX];
    PlatScan scan = PlatScanFirst(q->Argument, name, sizeof name);
    if (scan == -1) return NothingToDelete(q);
    char folder[sizeof q->Argument];
    COPYCUT(folder, q->Argument);
    int ok = CutToFolder(folder);
    if (!ok) FormatNameFailure(q, "No folder in the pattern of DELL: ", q->Argument, "\r\n");
    if (ok) {
        ok = DeleteListed(q, folder, name);
        while (ok && PlatScanNext(scan, name, sizeof name)) ok = DeleteListed(q, folder, name);
    }
    PlatScanClose(scan);
    if (!ok) return 0;
    return OUTCOME_DONE;
}

int ExecDELL(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    return kind == EV_START ? StartDELL(hDlg, q) : 1;
}
