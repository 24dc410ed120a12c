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

// What an executor says of the event it was given; the driver applies it
// (records the status, tries again, or ends the run). A failure's reason
// is in ErrorText. 0 and 1 keep the meaning of the executors' old "failed"
// and "handled".
enum Outcome {
    OUTCOME_FAILED = 0,     // failed for good: trying again cannot help
    OUTCOME_WORKING = 1,    // still under way
    OUTCOME_DONE = 2,       // ended well: its Success recorded
    OUTCOME_PASSED_ON = 3,  // ended well with no status of its own (see END_PASSED_ON)
    OUTCOME_TRANSIENT = 4,  // failed in a way that may pass (a connection lost,
                            // a 421, 425, 426, 450, 451 or 452)
};
// 1 for the two failures.
inline int OutcomeFailed(int outcome) {
    return outcome == OUTCOME_FAILED || outcome == OUTCOME_TRANSIENT;
}

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
