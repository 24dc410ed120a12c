// The single-reply commands (placeholders until built).
#include "app/text.h"
#include "ftp/ftp.h"

static int NotYet(QELTA *q, const char *name) {
    FORMATCUT(q->ErrorText, "%s is not available yet\r\n", name);
    return 0;
}

int ExecUSER(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "USER"); }
int ExecPASS(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "PASS"); }
int ExecACCT(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "ACCT"); }
int ExecCHWD(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "CHWD"); }
int ExecMDIR(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "MDIR"); }
int ExecRDIR(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "RDIR"); }
int ExecSMNT(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "SMNT"); }
int ExecTYPE(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "TYPE"); }
int ExecQUIT(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "QUIT"); }
int ExecUDEF(PlatWindow, QELTA *q, int, unsigned, unsigned) { return NotYet(q, "UDEF"); }
