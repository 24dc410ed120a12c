// The executors of the data transfers: data ports, listings, retrieval
// and sending.
#ifndef QELTA_TRANSFER_EXECUTORS_H
#define QELTA_TRANSFER_EXECUTORS_H

#include <cstddef>

#include "session/session.h"
#include "transfer/dataio.h"

int ExecPORT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecPASV(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecLIST(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecRETR(PlatWindow, QELTA *, int, unsigned, unsigned);
// STOR, and APPE and STOU, which run under its id.
int ExecSTOR(PlatWindow, QELTA *, int, unsigned, unsigned);

// A command that sends a line and receives a data connection's bytes:
// LIST and RETR here, the name list of a generated run in batch/. The
// command is complete when both its final reply and the drained close of
// the data connection are in, in whichever order.
struct Receiver {
    const char *Verb;
    const char *Field;       // the Command field's text
    const char *SendError;
    const char *RecvError;
    const char *WriteError;  // no line end
    AcceptTexts Accept;
    int Retrieval;           // progress, statistics and traces
    // Where the data goes: the line to send (and the file to write), each
    // block received, and the end (skipped: a 550 tolerated in a generated
    // run). Each returns 1, or 0 with ErrorText set.
    int (*Prepare)(QELTA *q, const char *verb, char *line, size_t size);
    BlockHandler Block;
    int (*End)(PlatWindow hDlg, QELTA *q, int skipped);
};
// The executor of a receiving command, for its row's events.
int RunReceiver(const Receiver *r, PlatWindow hDlg, QELTA *q, int kind, unsigned msg,
                unsigned ev);

// A passive data connection whose connect was still under way when PASV
// ended: the transfer executors hand it every event first. OUTCOME_WORKING
// to go on with the event (the connect's end taken), or the transfer's
// failure when the connect failed (ErrorText set).
int EarlyConnectEvent(QELTA *q, int kind, unsigned msg, unsigned ev);
// A retrieval's data has all come, its final reply not yet: sends the next
// file's passive line now where that is safe. An outcome as a send's.
int SendPassiveAhead(QELTA *q);

// Opens the listening socket of an active data connection and leaves the
// PORT argument ("h1,h2,h3,h4,p1,p2\r\n") in Argument. 1, or 0 with
// ErrorText and LastSocketError set.
int CreatePortCommand(QELTA *q, PlatWindow hDlg);

#endif
