// CONN: connecting to the server (placeholder until built).
#include "app/text.h"
#include "ftp/ftp.h"

int ExecCONN(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    COPYCUT(q->ErrorText, "CONN is not available yet\r\n");
    return 0;
}
