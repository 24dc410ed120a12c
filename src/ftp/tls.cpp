// TLS on the control connection: the handshake after AUTH TLS (or at
// connect), the certificate's check and its record in the log, and the
// lines a script may not send while the connection is protected.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"

void TlsSettingsFor(const QELTA *q, PlatTlsSettings *t) {
    t->ServerName = q->HostName;
    t->CAFile = q->Tls.CAFile;
    t->Pin = q->Tls.HasPin ? q->Tls.Pin : nullptr;
    t->Verify = q->Tls.Verify;
}

void LogTlsConnection(QELTA *q, PlatSocket s, const char *what) {
    char line[400];
    if (!PlatNetTlsDescribe(s, line, sizeof line)) return;
    char text[460];
    FORMATCUT(text, "TLS %s: %s\r\n", what, line);
    LogText(q, text);
}

// A handshake is one exchange like a reply: the watchdog ends it, and
// names it.
int StartHandshake(QELTA *q, PlatSocket s, PlatSocket resumeFrom, const char *where) {
    PlatTlsSettings t;
    TlsSettingsFor(q, &t);
    char why[200];
    if (!PlatNetTlsStart(s, &t, resumeFrom, why, sizeof why)) {
        FORMATCUT(q->ErrorText, "%s in %s\r\n", why, where);
        return 0;
    }
    COPYCUT(q->Tls.ShakeWhere, where);
    return 1;
}

int HandshakeEnded(QELTA *q, PlatSocket s) {
    char why[200];
    int ok = PlatNetTlsFinish(s, why, sizeof why);
    if (!ok) FORMATCUT(q->ErrorText, "%s in %s\r\n", why, q->Tls.ShakeWhere);
    q->Tls.ShakeWhere[0] = 0;
    return ok;
}

int HandshakeTimeoutText(const QELTA *q, char *out, size_t size) {
    // A data connection closed mid-handshake (a final reply first) left it.
    int running = q->Tls.Step == TLS_STEP_HANDSHAKE || (q->Tls.DataShaking && q->Socket.Data != -1);
    if (!running || q->Tls.ShakeWhere[0] == 0) return 0;
    return FormatCut(out, size, "TLS handshake with %s did not finish within %d seconds in %s\r\n",
                     q->HostName, q->TimeOut, q->Tls.ShakeWhere);
}

int SecureControlConnection(QELTA *q, const char *where) {
    if (!StartHandshake(q, q->Socket.Control, -1, where)) return 0;
    q->Tls.Step = TLS_STEP_HANDSHAKE;
    return 1;
}

int ControlConnectionSecured(QELTA *q) {
    q->Tls.Step = TLS_STEP_NONE;
    if (!HandshakeEnded(q, q->Socket.Control)) return 0;
    q->Tls.ControlSecured = 1;
    q->Tls.ProtectionAgreed = 0;
    LogTlsConnection(q, q->Socket.Control, "control connection");
    return 1;
}

// The verbs that would change what TLS protects, or drop it.
static const char *const ProtectionVerbs[] = {"AUTH", "PBSZ", "PROT", "CCC"};

int UdefChangesProtection(const QELTA *q, const char *line) {
    if (q->Tls.Mode == TLS_NONE) return 0;
    while (*line == ' ') line++;
    size_t length = strlen(line);
    for (const char *verb : ProtectionVerbs) {
        size_t n = strlen(verb);
        if (length < n || !EqualNoCase(line, verb, n)) continue;
        char after = line[n];
        if (after == ' ' || after == '\r' || after == '\n' || after == 0) return 1;
    }
    return 0;
}

// ---- PBSZ and PROT ----------------------------------------------------------------

int ProtectionDue(const QELTA *q) { return q->Tls.ControlSecured && !q->Tls.ProtectionAgreed; }

static int SendStep(QELTA *q, int step, const char *line, const char *name) {
    char sendError[80];
    FORMATCUT(sendError, "Winsock Error %%d On send() in %s\r\n", name);
    q->Tls.Step = step;
    return SendControlLine(q, line, nullptr, "User Selected No to Debug Message\r\n", sendError);
}

int StartProtection(QELTA *q, const char *name) {
    return SendStep(q, TLS_STEP_PBSZ, "PBSZ 0\r\n", name);
}

int ProtectionReply(PlatWindow hDlg, QELTA *q, const char *name) {
    int got = AwaitReply(hDlg, q, CODE_COMMAND_OK);
    if (got != AWAIT_MATCHED) return got;
    if (q->Tls.Step == TLS_STEP_PBSZ) {
        const char *prot = q->Tls.ProtectData ? "PROT P\r\n" : "PROT C\r\n";
        return OutcomeAwait(SendStep(q, TLS_STEP_PROT, prot, name));
    }
    q->Tls.Step = TLS_STEP_NONE;
    q->Tls.ProtectionAgreed = 1;
    return AWAIT_MATCHED;
}
