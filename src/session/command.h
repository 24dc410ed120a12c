// The state of the command under way, and the one place it changes: no
// executor sets the driver's flags itself.
#ifndef QELTA_COMMAND_H
#define QELTA_COMMAND_H

#include "session/session.h"

enum CommandState {
    COMMAND_RUNNING,  // started; no reply awaited (a data transfer's own work)
    COMMAND_BUSY,     // a reply, a wait or the start itself is awaited: the
                      // dialog's advance step must not start another line
    COMMAND_ENDED,    // over: the advance step moves on
};
// The states' names, for the debug trace.
extern const char *const CommandStateNames[COMMAND_ENDED + 1];

// How a command ended well.
enum CommandEnd {
    END_RECORDED,   // a success, written to [STATUS] as SetStatus writes it
    END_PASSED_ON,  // no status of its own: a generated run takes over, a
                    // PASS is tried again, or the executor wrote its own
};

// The advance step: when no command is under way, marks the next one
// started and returns 1 (the dialog then reads it); otherwise 0.
int BeginNextCommand(QELTA *q);
// An event reached the command, or the next one starts: the watchdog
// counts its silence from now.
void RestartWatchdog(QELTA *q);
// Moves the command under way to COMMAND_RUNNING or COMMAND_BUSY.
void SetCommandState(QELTA *q, int state);
// The command under way is over (COMMAND_ENDED): its status recorded as
// the end says, no reply awaited, the watchdog quiet, and the dialog's
// advance step free to move on to the next line. Returns 1, an executor's
// "handled".
int EndCommand(QELTA *q, int end);

#endif
