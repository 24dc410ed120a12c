// Multi-file and local operations.
#ifndef QELTA_MULTI_H
#define QELTA_MULTI_H

#include <cstddef>

#include "app/qelta.h"

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
int AreWeConnected(const char *name, char *found, size_t size);

// Back to a new run's state: no dial in progress, nothing found connected.
void ResetDialState(void);
// The pause after an attempt and after a hang-up, 3000 ms; tests shorten it.
void SetDialPause(unsigned ms);

#endif
