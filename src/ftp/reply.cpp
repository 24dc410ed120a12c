// Reply assembly and reply-code matching (placeholder until built).
#include "app/text.h"
#include "ftp/ftp.h"

void ResetCarryOver(void) {}

int FillControlBuffer(QELTA *q) {
    COPYCUT(q->ErrorText, "FillControlBuffer() not built yet");
    return 0;
}

int CheckFor(PlatWindow hDlg, const char *ExpectedCode, int length, QELTA *q) {
    COPYCUT(q->ErrorText, "CheckFor() not built yet");
    return 0;
}
