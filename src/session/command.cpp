// The state of the command under way.
#include "session/command.h"

#include "session/status.h"

const char *const CommandStateNames[COMMAND_ENDED + 1] = {"running", "busy", "ended"};

int BeginNextCommand(QELTA *q) {
    if (q->CommandActive != 0) return 0;
    q->CommandActive = 1;
    q->CommandIndex++;
    return 1;
}

void RestartWatchdog(QELTA *q) { q->IdleCount = 0; }

void SetCommandState(QELTA *q, int state) {
    q->CurrentState.Command = state;
    q->CurrentState.WaitingForResponseCode = state == COMMAND_BUSY;
}

int EndCommand(QELTA *q, int end) {
    if (end == END_RECORDED) SetStatus(q);
    q->CurrentState.Command = COMMAND_ENDED;
    q->CurrentState.WaitingForResponseCode = 0;
    RestartWatchdog(q);
    q->CommandActive = 0;
    return 1;
}
