// Where a password that the script does not hold comes from: the dialog
// of PASS, or the source PasswordSource names (netrc, an environment
// variable, the system's store). None of them falls back to the dialog:
// a silent run would wait for an answer nobody gives.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "session/settings.h"

int AskPasswordForPass(PlatWindow hDlg, QELTA *q) {
    PlatWindow owner = PlatOwner(hDlg);
    if (owner == nullptr) owner = MainWindow;
    char typed[32];
    typed[0] = 0;
    if (PlatAskPassword(owner, q->HostName, typed, sizeof typed)) {
        // The dialog's edit field holds at most 31 characters.
        CopyCut(q->Argument, 32, typed);
        return 1;
    }
    // Cancel ends the run through the dialog's own Cancel button; PASS
    // itself goes on and the posted cancel is handled afterwards.
    PlatPostEvent(hDlg, QM_COMMAND, IDCANCEL_BUTTON, 0);
    return 0;
}

static int FromNetrc(const char *host, const char *user, char *out, size_t size, char *why, size_t whySize) {
    enum { NETRC_MAX = 64 * 1024 };
    char path[260];
    char *text = new char[NETRC_MAX];
    int ok = PlatReadNetrc(path, sizeof path, text, NETRC_MAX, why, whySize);
    int found = ok ? NetrcPassword(text, strlen(text), host, user, out, size) : 0;
    memset(text, 0, NETRC_MAX);
    delete[] text;
    if (!ok) return 0;
    if (found < 0) FormatCut(why, whySize, "the password for %s at %s in %s is too long", user, host, path);
    if (found == 0)
        FormatCut(why, whySize, "%s has no entry for machine %s with login %s (nor a default one)", path,
                  host, user);
    return found > 0;
}

static int FromEnvironment(const QELTA *q, char *out, size_t size, char *why, size_t whySize) {
    char value[256];
    int set = PlatEnvironment(q->Login.Variable, value, sizeof value);
    int ok = set && value[0] != 0 && strlen(value) + 1 < sizeof value && CopyCut(out, size, value);
    memset(value, 0, sizeof value);
    if (!ok)
        FormatCut(why, whySize, "the environment variable %s is %s", q->Login.Variable,
                  !set ? "not set" : "empty or too long");
    return ok;
}

int PasswordFromSource(const QELTA *q, const char *host, const char *user, char *out, size_t size, char *why,
                       size_t whySize) {
    switch (q->Login.Source) {
        case PASSWORD_FROM_NETRC: return FromNetrc(host, user, out, size, why, whySize);
        case PASSWORD_FROM_ENVIRONMENT: return FromEnvironment(q, out, size, why, whySize);
        case PASSWORD_FROM_CREDENTIAL_MANAGER:
            return PlatStoredPassword(QSTORE_CREDENTIALS, host, user, out, size, why, whySize);
        case PASSWORD_FROM_SECRET_SERVICE:
            return PlatStoredPassword(QSTORE_SECRETS, host, user, out, size, why, whySize);
        default: FormatCut(why, whySize, "no source is set"); return 0;
    }
}

int TakePasswordForPass(PlatWindow hDlg, QELTA *q) {
    if (q->Login.Source == PASSWORD_FROM_PROMPT) {
        AskPasswordForPass(hDlg, q);
        return 1;
    }
    // The line is "PASS " and the password in 128 characters.
    char why[400];
    if (PasswordFromSource(q, q->HostName, q->Login.User, q->Argument, 128 - 7, why, sizeof why)) return 1;
    q->Argument[0] = 0;
    FORMATCUT(q->ErrorText, "No password from PasswordSource=%s: %s in ExecPASS()\r\n",
              PasswordSourceNames[q->Login.Source], why);
    return 0;
}
