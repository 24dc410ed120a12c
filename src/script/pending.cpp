// The executors that this version does not have yet. Each such command
// fails the run with a text naming its keyword, so a script that needs
// one never ends in a false success.
#include "base/text.h"
#include "script/script.h"

// The keyword the script used: the STOR and MGET variants run under the
// id of their base command with a mode flag set.
static const char *ScriptKeyword(const QELTA *q) {
    if (q->CommandId == CMD_STOR && q->StouMode == 1) return "STOU";
    if (q->CommandId == CMD_STOR && q->AppeMode == 1) return "APPE";
    if (q->CommandId == CMD_MGET && q->MgtcMode == 1) return "MGTC";
    return KeywordForId(q->CommandId);
}

int ExecPending(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    FORMATCUT(q->ErrorText, "%s is not supported by this version\r\n", ScriptKeyword(q));
    return 0;
}
