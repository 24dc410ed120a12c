// The connections of a run (Connections=N). The run's record is its first
// connection; MGET, MGTC, MPUT and a DELR with a wildcard open up to N-1
// more, each a record of its own cloned from the run's, logged in by the
// reconnect's replay (script/retry.cpp), and share the generated run's
// files: each takes the next file when it is done with one. An event finds
// its connection by its socket (PoolOwner) or by its timer.
#ifndef QELTA_POOL_H
#define QELTA_POOL_H

#include "session/session.h"

// Where an extra connection stands (q->Pool.Phase).
enum {
    POOL_GONE = 0,  // closed, or never opened
    POOL_LOGIN,     // logging in: a refusal here only lowers the count
    POOL_READY,     // logged in, waiting for a file
    POOL_FILE,      // a file of the generated run is under way
};

// After the run's own command ended well: a generated run of many files
// that just started opens the extra connections; one that goes on gives
// the idle ones the files that became free. 1, or 0 when the run fails.
int PoolAfterRunCommand(PlatWindow hDlg, QELTA *run, int outcome);
// The run read a line of its generated run: the idle connections take the
// files after it.
int PoolKick(PlatWindow hDlg, QELTA *run);
// An extra connection's outcome (ApplyOutcome's part for it).
int PoolOutcome(PlatWindow hDlg, QELTA *w, int outcome);
// The reconnect's replay logged an extra connection in.
int PoolLoggedIn(PlatWindow hDlg, QELTA *w);
// 1 while the run's line just read must wait for the extra connections:
// its KILL until none has a file under way, a file until no other
// connection has the same one under way (a name listed twice).
int PoolMustWait(const QELTA *run);
// The record whose socket s is (msg: CONTROLMSG, DATA or LISTEN), the
// run's or an extra connection's; 0 for a socket no connection holds.
QELTA *PoolOwner(QELTA *run, unsigned msg, PlatSocket s);
// The extra connection whose retry timer id is; 0 when none.
QELTA *PoolOwnerOfTimer(QELTA *run, unsigned id);
// A control connection's event on an extra connection with no command
// under way: the server closed it, or said what nobody asked, and the
// connection is let go; anything else is read and kept.
int PoolIdleEvent(PlatWindow hDlg, QELTA *w, unsigned event);
// The watchdog's five seconds, on every connection of the run. 1, or 0
// when the run fails (ErrorText set).
int PoolWatchdog(PlatWindow hDlg, QELTA *run);
// Closes every extra connection; cut: what was under way failed (its
// retrieval's file is left as a failed one is), else nothing was.
void PoolClose(QELTA *run, int cut);
// Closes them and frees their records (the run's end).
void PoolFree(QELTA *run);

#endif
