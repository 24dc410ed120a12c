// The commands that work on this machine: dial-up (DIAL), local deletes
// (DELL) and starting programs (EXEC).
#ifndef QELTA_LOCAL_H
#define QELTA_LOCAL_H

#include <cstddef>

#include "session/session.h"

// ---- DIAL (dial.cpp) -----------------------------------------------------------
// Dials a dial-up entry, with retries, unless a connection to it is up, or
// hangs up the connection to an entry that this run dialled.
int ExecDIAL(PlatWindow, QELTA *, int, unsigned, unsigned);

enum { DIAL_FIELD_SIZE = 64 };  // 63 characters and a terminator

struct DialArgument {
    int HangUp;
    char Entry[DIAL_FIELD_SIZE];
    char User[DIAL_FIELD_SIZE];
    char Password[DIAL_FIELD_SIZE];
};

// Reads "entry", "entry, user, password" (a blank after each comma is
// skipped) or "entry -hangup" (any credentials before "-hangup" are
// dropped). 1 on success; 0 with ErrorText set for any other shape. No
// failure text holds the user name or the password.
int ReadDialArgument(QELTA *q, const char *argument, DialArgument *out);

// 1 when an active connection's entry name contains name (letter case as
// written); the first such name is copied to found when found is not 0.
// A listing that fails is shown in a box and counts as empty.
int AreWeConnected(const QELTA *q, const char *name, char *found, size_t size);


// ---- DELL (dell.cpp) ------------------------------------------------------------
int ExecDELL(PlatWindow, QELTA *, int, unsigned, unsigned);

// ---- EXEC (exec.cpp) ------------------------------------------------------------
int ExecEXEC(PlatWindow, QELTA *, int, unsigned, unsigned);
// Takes a show-mode prefix ("-n ", "-x ", "-d ") off Argument: 1 minimized,
// 2 maximized, 3 hidden; 0 for none.
int ParseShowPrefix(QELTA *q);
// The Windows show mode of a prefix.
int ShowModeFor(int prefix);

#endif
