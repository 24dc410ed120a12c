// The executors of the data transfers: data ports, listings, retrieval
// and sending.
#ifndef QELTA_TRANSFER_EXECUTORS_H
#define QELTA_TRANSFER_EXECUTORS_H

#include "app/qelta.h"

int ExecPORT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecPASV(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecLIST(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecRETR(PlatWindow, QELTA *, int, unsigned, unsigned);
// The name list of a generated run (MGET, MGTC, DELR).
int ExecNLST(PlatWindow, QELTA *, int, unsigned, unsigned);
// STOR, and APPE and STOU, which run under its id.
int ExecSTOR(PlatWindow, QELTA *, int, unsigned, unsigned);

// Opens the listening socket of an active data connection and leaves the
// PORT argument ("h1,h2,h3,h4,p1,p2\r\n") in Argument. 1, or 0 with
// ErrorText and LastSocketError set.
int CreatePortCommand(QELTA *q, PlatWindow hDlg);

#endif
