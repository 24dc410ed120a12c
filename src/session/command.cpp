// The end of a command.
#include "session/command.h"

#include "session/status.h"

int EndCommand(QELTA *q, int end) {
    if (end == END_RECORDED) SetStatus(q);
    q->CurrentState.WaitingForResponseCode = 0;
    q->IdleCount = 0;
    q->CommandActive = 0;
    return 1;
}
