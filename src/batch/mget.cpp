// MGET, MGTC and the remote delete. MGET and a DELR with a wildcard start
// a generated run whose NLST line does the work; a DELR of one file sends
// DELE itself, after asking.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "batch/batch.h"
#include "session/commandids.h"
#include "session/command.h"
#include "session/status.h"
#include "transfer/transfer.h"

static const char *const CreateFailed = "Can not create temp script file(2).";

// The file starts with the NLST of the starting command's argument, in
// ASCII type; after it the reader restores image type when it was on.
static int StartExpansion(QELTA *q, int generating) {
    q->GeneratedReadOffset = 0;
    q->ReturnIndex = q->CommandIndex;
    if (!CreateGeneratedFile(q, CreateFailed)) return 0;
    q->GeneratingCommand = generating;
    char line[sizeof q->Argument + 8];
    FORMATCUT(line, "NLST %s\r\n", q->Argument);
    if (q->TransferType != 'A') {
        if (!AppendGenerated(q, "TYPE A\r\n")) return 0;
        q->RestoreTypeI = 1;
    }
    if (!AppendGenerated(q, line)) return 0;
    q->GeneratedActive = 1;
    PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_SET);
    return OUTCOME_PASSED_ON;
}

// ---- MGET and MGTC ---------------------------------------------------------------

int ExecMGET(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind != EV_START) return 1;
    ViewShow(q, hDlg, VIEW_COMMAND, "Multiple Get");
    // The name list splits the argument; an argument it cannot split
    // fails here, before anything is sent.
    if (!SplitFileNames(q)) return 0;
    return StartExpansion(q, CMD_MGET);
}

// ---- DELR ------------------------------------------------------------------------------

// Unless overridden: any answer but Yes ends the run, nothing deleted.
static int AskToDelete(QELTA *q) {
    if (q->DeleteOverRide != 0) return 1;
    char text[sizeof q->Argument + 200];
    FORMATCUT(text,
              "Are you sure you want to delete %s?  Select No to exit QELTA now.  See the "
              "documentation on how to get rid of this message.  It is a safety precaution only.",
              q->Argument);
    if (ViewAsk(q, text, "QELTA")) return 1;
    COPYCUT(q->ErrorText, "User selected no on prompt to delete\r\n");
    return 0;
}

static int DeleteOne(PlatWindow hDlg, QELTA *q) {
    char line[128];
    if (!FORMATCUT(line, "DELE %s\r\n", q->Argument)) {
        FormatNameFailure(q, "Remote name too long for one line in DELR: ", q->Argument, "\r\n");
        return 0;
    }
    ViewShow(q, hDlg, VIEW_DESTINATION, q->Argument);
    if (!AskToDelete(q)) return 0;
    return SendControlLine(q, line, nullptr, "User Selected No to Debug Message.",
                           "Winsock Error %d On send() in ExecDELR.");
}

static int StartDELR(PlatWindow hDlg, QELTA *q) {
    ViewShow(q, hDlg, VIEW_COMMAND, "Delete Remote File(s)");
    // Inside a generated run every DELR names one file of the server's
    // list, which may hold a '*' of its own: a second expansion would
    // empty the file being read.
    if (q->ReturnIndex != 0 || !IsWildcard(q->Argument)) return DeleteOne(hDlg, q);
    if (strlen(q->Argument) >= sizeof q->RemoteName) {
        FormatNameFailure(q, "Remote name too long in DELR: ", q->Argument, "\r\n");
        return 0;
    }
    return StartExpansion(q, CMD_DELR);
}

static int ReplyToDELE(PlatWindow hDlg, QELTA *q) {
    int got = AwaitReply(hDlg, q, CODE_FILE_ACTION_OK);
    if (got != AWAIT_MATCHED) return AwaitOutcome(got);
    q->Tolerated550 = 0;
    return OUTCOME_DONE;
}

int ExecDELR(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) return StartDELR(hDlg, q);
    if (kind == EV_SOCKET && msg == CONTROLMSG && ev == QFD_READ &&
        q->CurrentState.WaitingForResponseCode == 1)
        return ReplyToDELE(hDlg, q);
    return 1;
}
