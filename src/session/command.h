// The end of a command: the one place that says a command is over, so that
// no executor sets the driver's flags itself.
#ifndef QELTA_COMMAND_H
#define QELTA_COMMAND_H

#include "session/session.h"

// How a command ended well.
enum CommandEnd {
    END_RECORDED,   // a success, written to [STATUS] as SetStatus writes it
    END_PASSED_ON,  // no status of its own: a generated run takes over, a
                    // PASS is tried again, or the executor wrote its own
};

// The command under way is over: its status recorded as the end says, no
// reply awaited, and the dialog's advance step free to move on to the next
// line. Returns 1, an executor's "handled".
int EndCommand(QELTA *q, int end);

#endif
