// MPUT: every local file that matches the pattern goes to the server. The
// generated command file gets a PORT and a STOR line per file and a KILL;
// the command reader then runs them under the MPUT's line number.
#include <cstring>

#include "session/settings.h"
#include "base/text.h"
#include "batch/batch.h"
#include "session/command.h"
#include "session/status.h"
#include "transfer/transfer.h"

static const char *const CreateFailed = "Can not create temp script file(2)";

// The folder of a local pattern: what comes before its last separator.
// 0 when it has none (a pattern such as "C:*.txt" names no folder).
static int NothingToSend(QELTA *q) {
    PlatFileClose(q->GeneratedScriptHandle);
    q->GeneratedScriptHandle = -1;
    PlatFileDelete(q->GeneratedScriptPath);
    if (SettingOn(q, SET_MPUTCANDONOTHING)) {
        q->ReturnIndex = 0;
        return OUTCOME_DONE;
    }
    COPYCUT(q->ErrorText, "Call to opendir() returned NULL in ExecMPUT (No Such Directory or No "
                          "Matching Files)");
    return 0;
}

// The PORT and STOR lines of one file. A file that matched is never left
// out in silence: one whose lines would not fit fails the command.
static int AddFile(PlatWindow hDlg, QELTA *q, const char *name) {
    char path[sizeof q->LocalName + PLAT_NAME_MAX];
    FORMATCUT(path, "%s\\%s", q->LocalName, name);
    if (!ReadableNow(path)) return 1;
    // STOR splits its argument into names of at most 127 characters; the
    // local one ends in a blank.
    const size_t limit = sizeof q->RemoteName - 1;
    char lines[2 * sizeof q->RemoteName + 32];
    if (strlen(q->RemoteName) + strlen(name) > limit || strlen(path) + 1 > limit ||
        !FormatStoreLines(lines, sizeof lines, q->RemoteName, name, q->LocalName)) {
        FormatNameFailure(q, "Can not send \"", path, "\" in ExecMPUT: the name is too long\r\n");
        return 0;
    }
    ViewShow(q, hDlg, VIEW_DESTINATION, path);
    return AppendGenerated(q, lines);
}

static int AddFiles(PlatWindow hDlg, QELTA *q, PlatScan scan, const char *first) {
    int ok = AddFile(hDlg, q, first);
    char name[PLAT_NAME_MAX];
    while (ok && PlatScanNext(scan, name, sizeof name)) ok = AddFile(hDlg, q, name);
    PlatScanClose(scan);
    return ok;
}

static int StartMPUT(PlatWindow hDlg, QELTA *q) {
    if (!CreateGeneratedFile(q, CreateFailed)) return 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Multiple Put");
    q->ReturnIndex = q->CommandIndex;
    if (!SplitFileNames(q)) return 0;
    // Given only the local pattern, or a remote part that is a pattern
    // itself, the files go to the current remote directory.
    if (strcmp(q->RemoteName, q->LocalName) == 0 || q->RemoteName[0] == '*') q->RemoteName[0] = 0;
    char name[PLAT_NAME_MAX];
    PlatScan scan = PlatScanFirst(q->LocalName, name, sizeof name);
    if (scan == -1) return NothingToSend(q);
    if (!CutToFolder(q->LocalName)) {
        PlatScanClose(scan);
        FormatNameFailure(q, "No folder in the local pattern of MPUT: ", q->Argument, "\r\n");
        return 0;
    }
    if (!AddFiles(hDlg, q, scan, name)) return 0;
    char kill[32];
    FormatKillLine(kill, sizeof kill, q->ReturnIndex);
    if (!AppendGenerated(q, kill)) return 0;
    PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_SET);
    q->GeneratedReadOffset = 0;
    q->GeneratedActive = 1;
    return OUTCOME_PASSED_ON;
}

int ExecMPUT(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    return kind == EV_START ? StartMPUT(hDlg, q) : 1;
}
