// DIAL: makes or ends a dial-up connection through the platform's dial-up
// service. All of its work, the retries and pauses included, is done in
// the start event; the one thread is blocked meanwhile.
#include <cstdlib>
#include <cstring>

#include "session/settings.h"
#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "local/local.h"
#include "session/command.h"
#include "session/status.h"

namespace {

// q->Dial.FoundUp: the connections that a DIAL of this run found up and
// did not dial; a hang-up leaves them alone. One name per connection, not
// one flag for the run, so that dialling another entry in between does not
// make them ours. Should the table ever fill, nothing more is hung up
// rather than risk ending a connection this run did not make.

// A text per listing is plenty; a count beyond this is no real machine's.
enum { MostConnections = 4096 };

const char NoService[] = "Error Loading RASAPI32.DLL";
const char NoEntryPoints[] = "Error Loading RASAPI32 Functions";
const char NoConnect[] = "Unable to Connect in ExecDIAL()\r\n";

}  // namespace

static int Fail(QELTA *q, const char *text) {
    COPYCUT(q->ErrorText, text);
    return 0;
}

static int Complete(QELTA *q) { return OUTCOME_DONE; }

// ---- the argument ------------------------------------------------------------------

// Up to three comma-separated fields of length bytes at text.
static int ReadFields(QELTA *q, const char *text, size_t length, DialArgument *out) {
    char *fields[] = {out->Entry, out->User, out->Password};
    const char *p = text, *end = text + length;
    for (int n = 0;; n++) {
        if (n == 3)
            return Fail(q, "DIAL takes an entry name, a user name and a password, no more, "
                           "in ExecDIAL()\r\n");
        const char *comma = static_cast<const char *>(memchr(p, ',', (size_t)(end - p)));
        const char *stop = comma ? comma : end;
        size_t len = (size_t)(stop - p);
        if (len >= DIAL_FIELD_SIZE)
            return Fail(q, "DIAL entry names, user names and passwords hold at most 63 "
                           "characters in ExecDIAL()\r\n");
        memcpy(fields[n], p, len);
        fields[n][len] = 0;
        if (!comma) break;
        p = comma + 1;
        if (p < end && *p == ' ') p++;
    }
    if (out->Entry[0] == 0) return Fail(q, "DIAL needs a dial-up entry name in ExecDIAL()\r\n");
    return 1;
}

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

// "entry -hangup": the name is what comes before the word, less the blanks
// that part them. The word alone, or run into the name, names nothing.
static int ReadHangUp(QELTA *q, const char *argument, const char *word, DialArgument *out) {
    for (const char *t = word + strlen("-hangup"); *t; t++)
        if (!IsBlank(*t)) return Fail(q, "DIAL takes nothing after -hangup in ExecDIAL()\r\n");
    size_t len = (size_t)(word - argument);
    if (len == 0 || !IsBlank(argument[len - 1]))
        return Fail(q, "DIAL needs the entry name and a blank before -hangup in ExecDIAL()\r\n");
    while (len > 0 && IsBlank(argument[len - 1])) len--;
    if (len == 0)
        return Fail(q, "DIAL needs the entry name and a blank before -hangup in ExecDIAL()\r\n");
    // A dial line with " -hangup" added still names its entry first; the
    // credentials are not needed to hang up.
    int ok = ReadFields(q, argument, len, out);
    Wipe(out->User, sizeof out->User);
    Wipe(out->Password, sizeof out->Password);
    out->HangUp = 1;
    return ok;
}

int ReadDialArgument(QELTA *q, const char *argument, DialArgument *out) {
    memset(out, 0, sizeof *out);
    while (IsBlank(*argument)) argument++;
    const char *word = strstr(argument, "-hangup");
    if (word) return ReadHangUp(q, argument, word, out);
    return ReadFields(q, argument, strlen(argument), out);
}

// ---- connections found up ------------------------------------------------------------

static int WasFoundUp(QELTA *q, const char *name) {
    if (q->Dial.FoundOverflow) return 1;
    for (const char *slot : q->Dial.FoundUp)
        if (slot[0] && strcmp(slot, name) == 0) return 1;
    return 0;
}

static void RememberFoundUp(QELTA *q, const char *name) {
    if (name[0] == 0 || WasFoundUp(q, name)) return;
    for (char *slot : q->Dial.FoundUp)
        if (slot[0] == 0) {
            CopyCut(slot, QDIAL_NAME_SIZE, name);
            return;
        }
    q->Dial.FoundOverflow = 1;
}

static void ForgetFoundUp(QELTA *q, const char *name) {
    for (char *slot : q->Dial.FoundUp)
        if (strcmp(slot, name) == 0) slot[0] = 0;
}

// ---- the service ---------------------------------------------------------------------

static void ShowServiceError(const QELTA *q, int code, const char *fallback) {
    char text[256];
    if (!PlatDialErrorText(code, text, sizeof text)) COPYCUT(text, fallback);
    ViewAlert(q, text, "QELTA Error");
}

// The active connections in an array to free(), their number in *count;
// 0 with *count 0 when there are none or they could not be listed.
static PlatDialConnection *ListConnections(const QELTA *q, int *count) {
    *count = 0;
    int n = 0, enlargeFailed = 0;
    PlatDialConnection *list = static_cast<PlatDialConnection *>(calloc(1, sizeof *list));
    if (list == nullptr) return nullptr;
    int rc = PlatDialListActive(list, 1, &n);
    if (rc == QDIAL_BUFFER_TOO_SMALL) {
        free(list);
        list = nullptr;
        if (n > 1 && n <= MostConnections)
            list = static_cast<PlatDialConnection *>(calloc((size_t)n, sizeof *list));
        enlargeFailed = list == nullptr;
        rc = list ? PlatDialListActive(list, n, &n) : QDIAL_NOT_ENOUGH_MEMORY;
    }
    if (rc != 0) {
        // Running out of memory for a longer list is not the service's error.
        if (!enlargeFailed) ShowServiceError(q, rc, "Undefined RasEnumEntries Error.");
        free(list);
        return nullptr;
    }
    *count = n;
    return list;
}

int AreWeConnected(const QELTA *q, const char *name, char *found, size_t size) {
    int count = 0, match = 0;
    PlatDialConnection *list = ListConnections(q, &count);
    for (int i = 0; i < count && !match; i++) {
        if (strstr(list[i].EntryName, name) == nullptr) continue;
        match = 1;
        if (found) CopyCut(found, size, list[i].EntryName);
    }
    free(list);
    return match;
}

static int DialRetry(QELTA *q) {
    int n = ReadSetting(q, SET_DIALRETRY);
    return n < 1 ? 1 : n;  // at least one attempt, and no overflow below
}

// The start of every attempt and of a hang-up: the attempt count, then the
// service and its entry points, looked up afresh.
static int PrepareAttempt(QELTA *q) {
    q->Dial.AttemptsLeft = q->Dial.AttemptsLeft == -1 ? DialRetry(q) - 2 : q->Dial.AttemptsLeft - 1;
    // Without the service its entry points cannot be bound either: the
    // failure below ends the command.
    if (!PlatDialLoad()) {
        // Shown whatever Silent says: the run cannot do what its script asks.
        ViewAlert(q, NoService, "QELTA Error");
    }
    if (PlatDialBind()) return 1;
    q->Dial.AttemptsLeft = -1;
    return Fail(q, NoEntryPoints);
}

// ---- dial ----------------------------------------------------------------------------

// With DebugEx, why an attempt failed. The service's text is its own and
// could quote what it was given, so the password is masked in it; the text
// is read a password longer than it is kept, so that none is cut in half.
static void TraceDialError(QELTA *q, int code, const char *password) {
    if (q->DebugEx != 1) return;
    char text[256 + DIAL_FIELD_SIZE], trace[320];
    if (!PlatDialErrorText(code, text, sizeof text)) text[0] = 0;
    size_t n = strlen(password);
    char *hit = n > 0 ? strstr(text, password) : nullptr;
    for (; hit != nullptr; hit = strstr(hit + n, password)) memset(hit, '*', n);
    text[255] = 0;
    FORMATCUT(trace, "RasDial() Error %d%s%s\r\n", code, text[0] ? " " : "", text);
    DebugTrace(q, trace);
}

// One call of the service; 1 when connected.
static int DialOnce(QELTA *q, const DialArgument *a) {
    q->Dial.Connection = 0;
    int rc = PlatDialConnect(a->Entry, a->User, a->Password, &q->Dial.Connection);
    if (rc == 0) return 1;
    TraceDialError(q, rc, a->Password);
    if (q->Dial.Connection != 0) PlatDialHangUp(q->Dial.Connection);
    q->Dial.Connection = 0;
    return 0;
}

static int Dial(PlatWindow hDlg, QELTA *q, const DialArgument *a) {
    for (;;) {
        if (!PrepareAttempt(q)) return 0;
        DebugTrace(q, "DIAL NO -hangup detected\r\n");
        ViewShow(q, hDlg, VIEW_COMMAND, "Establish Dial Up Session");
        char found[QDIAL_NAME_SIZE];
        if (AreWeConnected(q, a->Entry, found, sizeof found)) {
            DebugTrace(q, "AreWeConnected() TRUE\r\n");
            RememberFoundUp(q, found);
            q->Dial.AttemptsLeft = -1;
            return Complete(q);
        }
        ForgetFoundUp(q, a->Entry);
        int connected = DialOnce(q, a);
        int more = !connected && q->Dial.AttemptsLeft >= 0;
        if (connected) q->Dial.AttemptsLeft = -1;
        if (connected || more) PlatSleep(q->Dial.PauseMs);
        // The dialling may have covered the main window.
        ViewRaise(q, hDlg);
        if (connected) return Complete(q);
        PlatDialUnload();
        if (!more) {
            q->Dial.AttemptsLeft = -1;
            return Fail(q, NoConnect);
        }
    }
}

// ---- hang-up ---------------------------------------------------------------------------

// Hangs up the first listed connection whose name contains name, unless
// this run found it up. 0 with ErrorText set when the service refuses.
static int HangUpFirstMatch(QELTA *q, const PlatDialConnection *list, int count,
                            const char *name) {
    int matched = 0, ok = 1;
    for (int i = 0; i < count; i++) {
        char label[32];
        FORMATCUT(label, "lprasconn[%d]=", i);
        DebugTraceValue(q, label, list[i].EntryName);
        if (matched || strstr(list[i].EntryName, name) == nullptr) continue;
        matched = 1;
        if (WasFoundUp(q, list[i].EntryName)) continue;
        int rc = PlatDialHangUp(list[i].Handle);
        if (rc == 0) {
            DebugTrace(q, "RasHangUp() Success\r\n");
            ForgetFoundUp(q, list[i].EntryName);
            continue;
        }
        DebugTrace(q, "RasHangUp() Error\r\n");
        // A failure ends the run now; left as handled, the run would only
        // stall until the watchdog.
        FORMATCUT(q->ErrorText, "Unable to Hang Up %.63s (error %d) in ExecDIAL()\r\n",
                  list[i].EntryName, rc);
        ok = 0;
    }
    return ok;
}

static int HangUp(PlatWindow hDlg, QELTA *q, const DialArgument *a) {
    if (!PrepareAttempt(q)) return 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Close Dial Up Session");
    DebugTrace(q, "DIAL -hangup detected\r\n");
    q->Dial.AttemptsLeft = -1;
    DebugTraceValue(q, "Connection=", a->Entry);
    int count = 0;
    PlatDialConnection *list = ListConnections(q, &count);
    int ok = HangUpFirstMatch(q, list, count, a->Entry);
    if (count > 0) PlatSleep(q->Dial.PauseMs);
    free(list);
    return ok ? Complete(q) : 0;
}

// A user named without a password: the password from PasswordSource, for
// the entry as the host. Without a source the entry's own is used, as ever.
static int TakeDialPassword(QELTA *q, DialArgument *a) {
    if (a->HangUp || a->User[0] == 0 || a->Password[0] != 0 || q->Login.Source == PASSWORD_FROM_PROMPT)
        return 1;
    char why[400];
    if (PasswordFromSource(q, a->Entry, a->User, a->Password, sizeof a->Password, why, sizeof why)) return 1;
    FORMATCUT(q->ErrorText, "No password from PasswordSource=%s: %s in ExecDIAL()\r\n",
              PasswordSourceNames[q->Login.Source], why);
    return 0;
}

// ---- the executor ----------------------------------------------------------------------

int ExecDIAL(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind != EV_START) return 1;
    DialArgument a;
    int ok = ReadDialArgument(q, q->Argument, &a) && TakeDialPassword(q, &a);
    if (ok) ok = a.HangUp ? HangUp(hDlg, q, &a) : Dial(hDlg, q, &a);
    if (!ok) q->Dial.AttemptsLeft = -1;
    Wipe(&a, sizeof a);
    return ok;
}
