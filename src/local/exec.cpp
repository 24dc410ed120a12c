// EXEC: a program of the script's, started and left to run; an optional
// prefix says how its window shows.
#include <cstring>

#include "base/text.h"
#include "local/local.h"
#include "session/command.h"
#include "session/status.h"

struct PrefixEntry {
    char Letter;
    int Prefix;
};
static const PrefixEntry Prefixes[] = {
    {'n', 1}, {'N', 1}, {'x', 2}, {'X', 2}, {'d', 3}, {'D', 3},
};

int ParseShowPrefix(QELTA *q) {
    char *a = q->Argument;
    if (a[0] != '-' || strnlen(a, 4) < 4) return 0;
    int prefix = 0;
    for (const PrefixEntry &p : Prefixes)
        if (p.Letter == a[3]) prefix = p.Prefix;
    if (prefix == 0) return 0;
    // A prefix with no blank after it leaves no command line at all.
    const char *blank = strchr(a, ' ');
    char rest[sizeof(q->Argument)];
    COPYCUT(rest, blank ? blank + 1 : "");
    COPYCUT(q->Argument, rest);
    return prefix;
}

// Windows show modes: normal, minimized, maximized, hidden.
static const int ShowModes[] = {1, 2, 3, 0};

int ShowModeFor(int prefix) {
    if (prefix < 0 || prefix > 3) return 1;
    return ShowModes[prefix];
}

int ExecEXEC(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind != EV_START) return 1;
    int prefix = ParseShowPrefix(q);
    ViewShow(q, hDlg, VIEW_COMMAND, "Executing Program");
    if (PlatStartProgram(q->Argument, ShowModeFor(prefix)) < 32) {
        COPYCUT(q->ErrorText, "WinExec() return an error in ExecEXEC()");
        return 0;
    }
    return OUTCOME_DONE;
}

