// The send step of every command line (placeholder until built).
#include "app/text.h"
#include "ftp/ftp.h"

int SendControlLine(QELTA *q, const char *line, const char *record, const char *refusalText,
                    const char *sendErrorText) {
    COPYCUT(q->ErrorText, "SendControlLine() not built yet");
    return 0;
}
