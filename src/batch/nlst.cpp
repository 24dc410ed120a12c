// The name list of a generated run: the server's names, one a line, each
// matched against the pattern; a matching name becomes a PORT and a RETR
// line (MGET, MGTC) or a DELR line (the remote delete) of the generated
// command file. The receiving executor (transfer/receive.cpp) runs the
// exchange and hands this file every block and the end.
#include <cstring>

#include "base/text.h"
#include "log/log.h"
#include "batch/batch.h"
#include "session/commandids.h"
#include "session/status.h"
#include "transfer/dataio.h"
#include "transfer/executors.h"
#include "transfer/transfer.h"

// The incomplete last line of one block waits in q->NameList.HoldOver for
// the next: room for a whole line of the longest length and its carriage
// return.
static void ClearHoldOver(QELTA *q) { q->NameList.HoldOverLength = 0; }

// ---- Start -----------------------------------------------------------------------

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

// RemoteName keeps the directory with its separator; the rest is the pattern.
static void SplitPattern(QELTA *q) {
    char *last = nullptr;
    for (char *p = q->RemoteName; *p; p++)
        if (IsSeparator(*p)) last = p;
    char *pattern = last ? last + 1 : q->RemoteName;
    COPYCUT(q->NamePattern, pattern);
    *pattern = 0;
}

int PrepareNameList(QELTA *q, const char *verb, char *line, size_t size) {
    // Written into a script, NLST would have no file for its lines: it
    // would list and fetch nothing and still succeed.
    if (q->GeneratedActive != 1 || q->GeneratedScriptHandle == -1) {
        COPYCUT(q->ErrorText, "NLST runs only in the lines of MGET, MGTC and DELR\r\n");
        return 0;
    }
    PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_END);
    ClearHoldOver(q);
    q->NamePattern[0] = 0;
    if (q->GeneratingCommand == CMD_DELR) {
        q->LocalName[0] = 0;
        if (!COPYCUT(q->RemoteName, q->Argument)) {
            FormatNameFailure(q, "Remote name too long in ExecNLST: ", q->Argument, "\r\n");
            return 0;
        }
    } else if (!SplitFileNames(q)) {
        return 0;
    }
    SplitPattern(q);
    if (q->RemoteName[0] == 0) return CopyCut(line, size, "NLST\r\n");
    return FormatCut(line, size, "%s %s\r\n", verb, q->RemoteName);
}

// ---- One name ------------------------------------------------------------------------

// The name shown in a failure text: control bytes as '?'.
static void Refuse(QELTA *q, const char *name, size_t n, const char *why) {
    char shown[sizeof q->NameList.HoldOver + 1];
    if (n >= sizeof shown) n = sizeof shown - 1;
    for (size_t i = 0; i < n; i++) shown[i] = (unsigned char)name[i] < 0x20 ? '?' : name[i];
    shown[n] = 0;
    char suffix[96];
    FORMATCUT(suffix, "\" in ExecNLST: %s\r\n", why);
    FormatNameFailure(q, "Can not handle \"", shown, suffix);
}

static int HasControl(const char *name) {
    for (const char *p = name; *p; p++)
        if ((unsigned char)*p < 0x20 || *p == 0x7f) return 1;
    return 0;
}

// What Windows refuses in a file name: the local copy could not be made,
// or (a ':') would land in another file's stream.
static int LocalNameRefused(const char *name) {
    return HasControl(name) || strpbrk(name, "<>:\"|?*") != nullptr;
}

static int AddDelete(QELTA *q, const char *name, size_t n) {
    if (HasControl(name)) {
        Refuse(q, name, n, "not a name that can be sent");
        return 0;
    }
    char line[160];
    // The DELE line is built in 128 bytes: "DELE ", the name, CR LF.
    if (strlen(q->RemoteName) + n > 120 || !FormatDeleteLine(line, sizeof line, q->RemoteName, name)) {
        Refuse(q, name, n, "the name is too long");
        return 0;
    }
    DebugTrace(q, "NLST Found File=");
    DebugTrace(q, line);
    return AppendGenerated(q, line);
}

// MGTC leaves a file that is already here; the destination's own name is
// what counts, not a transfer's temporary file beside it.
static int ExistsHere(const QELTA *q, const char *name) {
    char path[sizeof q->LocalName + PLAT_NAME_MAX];
    FORMATCUT(path, "%s\\%s", q->LocalName, name);
    PlatFile f = PlatFileOpenRead(path);
    if (f == -1) return 0;
    PlatFileClose(f);
    return 1;
}

static int AddRetrieval(PlatWindow hDlg, QELTA *q, const char *name, size_t n) {
    if (LocalNameRefused(name)) {
        Refuse(q, name, n, "not a local file name");
        return 0;
    }
    // The generated RETR splits into names of at most 127 characters; the
    // local one ends in a blank.
    const size_t limit = sizeof q->RemoteName - 1;
    if (strlen(q->RemoteName) + n > limit || strlen(q->LocalName) + 1 + n + 1 > limit) {
        Refuse(q, name, n, "the name is too long");
        return 0;
    }
    if (q->MgtcMode == 1 && ExistsHere(q, name)) return 1;
    char lines[2 * sizeof q->RemoteName + 32];
    if (!FormatRetrieveLines(lines, sizeof lines, q->RemoteName, name, q->LocalName)) {
        Refuse(q, name, n, "the name is too long");
        return 0;
    }
    ViewShow(q, hDlg, VIEW_DESTINATION, name);
    DebugTrace(q, "NLST Found File=");
    DebugTrace(q, lines + strlen("PORT\r\n"));
    return AppendGenerated(q, lines);
}

// One line without its line end: the name is what follows its last
// separator. Names that do not match are passed over whatever they hold.
static int TakeLine(PlatWindow hDlg, QELTA *q, const char *text, size_t len) {
    if (len > 0 && text[len - 1] == '\r') len--;
    size_t start = len;
    while (start > 0 && !IsSeparator(text[start - 1])) start--;
    size_t n = len - start;
    if (n == 0) return 1;
    char name[sizeof q->NameList.HoldOver + 1];
    memcpy(name, text + start, n);
    // A zero byte may not end the name early; it can match only a wildcard.
    for (size_t i = 0; i < n; i++)
        if (name[i] == 0) name[i] = 1;
    name[n] = 0;
    if (!EvaluatePattern(q->NamePattern, name, q)) return 1;
    if (q->GeneratingCommand == CMD_DELR) return AddDelete(q, name, n);
    return AddRetrieval(hDlg, q, name, n);
}

// ---- The list -----------------------------------------------------------------------

// The line's first bytes name it in the failure text.
static int LineTooLong(QELTA *q, const char *start, size_t have) {
    char head[48];
    size_t n = have < 40 ? have : 40;
    memcpy(head, start, n);
    memcpy(head + n, "...", 3);
    Refuse(q, head, n + 3, "a name list line over 1024 bytes");
    return 0;
}

static int Hold(QELTA *q, const char *bytes, size_t n) {
    if (q->NameList.HoldOverLength + n > sizeof q->NameList.HoldOver) {
        // The line began in what is held, or begins here.
        if (q->NameList.HoldOverLength > 0)
            return LineTooLong(q, q->NameList.HoldOver, q->NameList.HoldOverLength);
        return LineTooLong(q, bytes, n);
    }
    memcpy(q->NameList.HoldOver + q->NameList.HoldOverLength, bytes, n);
    q->NameList.HoldOverLength += n;
    return 1;
}

// Lines end in a line feed, with or without a carriage return before it;
// a line split between two blocks is taken once, when it is whole.
int ParseNameList(PlatWindow hDlg, QELTA *q, const char *bytes, size_t n) {
    size_t at = 0;
    while (at < n) {
        const char *lf = static_cast<const char *>(memchr(bytes + at, '\n', n - at));
        if (lf == nullptr) return Hold(q, bytes + at, n - at);
        size_t len = (size_t)(lf - (bytes + at));
        int ok;
        if (q->NameList.HoldOverLength > 0) {
            if (!Hold(q, bytes + at, len)) return 0;
            ok = TakeLine(hDlg, q, q->NameList.HoldOver, q->NameList.HoldOverLength);
            ClearHoldOver(q);
        } else if (len > sizeof q->NameList.HoldOver) {
            return LineTooLong(q, bytes + at, len);
        } else {
            ok = TakeLine(hDlg, q, bytes + at, len);
        }
        if (!ok) return 0;
        at += len + 1;
    }
    return 1;
}

int TakeNameListBlock(PlatWindow hDlg, QELTA *q, long count) {
    return count <= 0 || ParseNameList(hDlg, q, q->DataBuffer, (size_t)count);
}

// ---- The end ------------------------------------------------------------------------

int EndNameList(PlatWindow hDlg, QELTA *q, int skipped) {
    if (skipped) {
        DebugTrace(q, q->DataAccepted == 1 ? "Accepted connection followed by 550\r\n"
                                           : "No Accepted connection followed by 550\r\n");
        CloseDataConnection(q, 1);
        q->DataPortReady = 0;
    } else if (q->NameList.HoldOverLength > 0) {
        // A server that ends its list without a last line end still
        // named that file.
        size_t n = q->NameList.HoldOverLength;
        ClearHoldOver(q);
        if (!TakeLine(hDlg, q, q->NameList.HoldOver, n)) return 0;
    }
    ClearHoldOver(q);
    char kill[32];
    FormatKillLine(kill, sizeof kill, q->ReturnIndex);
    if (!AppendGenerated(q, kill)) return 0;
    // The appended lines begin where the reader left the NLST line.
    PlatFileSeek(q->GeneratedScriptHandle, (int64_t)q->GeneratedReadOffset, QSEEK_SET);
    return 1;
}

// ---- The executor ---------------------------------------------------------------------

static const Receiver Nlst = {
    "NLST", "Process Remote File List", "Winsock Error %d On send() in ExecNLST\r\n",
    "Winsock Error %d On recv() in ExecNLST\r\n", "",
    {"Winsock Error %d on call accept() in ExecNLST()\r\n",
     "Winsock Error %d on call closesocket() in ExecNLST()\r\n",
     "Winsock Error %d on call WSAAsyncSelect() in ExecNLST()\r\n"},
    0, PrepareNameList, TakeNameListBlock, EndNameList};

int ExecNLST(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) {
    return RunReceiver(&Nlst, w, q, k, m, e);
}
