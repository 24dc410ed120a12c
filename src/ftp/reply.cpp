// Reply assembly and reply-code matching: every read on the control
// connection is logged, reduced to the four-character code of its final
// line and matched against what the current command expects.
#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "script/commandids.h"

// A reply code whose first bytes arrived at the end of one read: kept so
// that the rest of it, at the start of the next read, still completes it.
// It only ever holds fewer than four bytes of one line start.
static char CarryOver[9];
static int CarryLength;
static int FirstCall = 1;
// 1 while LastReplyLine holds a line whose end has not arrived yet.
static int LineOpen;
static size_t LineLength;  // of LastReplyLine while the line is open
// 1 when the next byte to arrive starts a line: at the start of the
// connection and after a line feed. A read that begins in the middle of a
// line ("(48" | "213 bytes)") must not take "213 " for a reply code.
static int AtLineStart = 1;

void ResetCarryOver(void) {
    CarryOver[0] = 0;
    CarryLength = 0;
    FirstCall = 1;
    LineOpen = 0;
    AtLineStart = 1;
}

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

// 1 when the n bytes at p (n <= 4) can still begin a reply code: a digit
// 1 to 5, two digits and a blank.
static int CodePrefix(const char *p, int n) {
    for (int i = 0; i < n; i++) {
        char c = p[i];
        int ok = (i == 0) ? (c >= '1' && c <= '5') : (i == 3) ? (c == ' ') : IsDigit(c);
        if (!ok) return 0;
    }
    return 1;
}

// The transfer commands wait past their preliminary 1xx reply.
static int PassesOverPreliminary(int id) {
    return id == CMD_RETR || id == CMD_LIST || id == CMD_STOR || id == CMD_NLST;
}

static int AcceptedCode(const QELTA *q, const char *p) {
    if (!CodePrefix(p, 4)) return 0;
    return !(p[0] == '1' && PassesOverPreliminary(q->CommandId));
}

static void Trace3(QELTA *q, const char *a, const char *b) {
    DebugTrace(q, a);
    DebugTrace(q, b);
    DebugTrace(q, "\r\n");
}

// Completes the carried bytes with the first bytes of this read. 1 with the
// code in code[] when they form one.
static int MatchCarried(QELTA *q, const char *data, int n, char *code) {
    Trace3(q, "Carried Over=", CarryOver);
    int need = 4 - CarryLength;
    int take = n < need ? n : need;
    memcpy(CarryOver + CarryLength, data, (size_t)take);
    CarryLength += take;
    CarryOver[CarryLength] = 0;
    Trace3(q, "Combined=", CarryOver);
    if (CarryLength == 4 && AcceptedCode(q, CarryOver)) {
        memcpy(code, CarryOver, 5);
        return 1;
    }
    // Still short (a tiny read) and still a possible code: keep carrying.
    if (CarryLength < 4 && CodePrefix(CarryOver, CarryLength)) return 0;
    CarryLength = 0;
    CarryOver[0] = 0;
    return 0;
}

// A line start is any byte after a line feed, and the start of a read that
// follows one.
static int LineStartAt(const char *data, int i) {
    return i == 0 ? AtLineStart : data[i - 1] == '\n';
}

static int ScanForCode(QELTA *q, const char *data, int n, char *code) {
    int found = 0;
    for (int i = 0; i + 4 <= n; i++) {
        if (LineStartAt(data, i) && AcceptedCode(q, data + i)) {
            memcpy(code, data + i, 4);
            code[4] = 0;
            found = 1;
            // A preliminary reply with the final one behind it in the same
            // read ("120 Ready soon", "220 Ready"): the final one decides,
            // or the command would wait for a reply that has come.
            if (data[i] != '1') return 1;
        }
    }
    return found;
}

// After a read without a code: the unfinished code at a line start near
// the end of the read, if any, waits for the next read.
static void CarryTail(QELTA *q, const char *data, int n) {
    if (CarryLength > 0) return;  // the carried bytes are still open
    int from = n > 3 ? n - 3 : 0;
    for (int i = from; i < n; i++) {
        if (LineStartAt(data, i) && CodePrefix(data + i, n - i)) {
            CarryLength = n - i;
            memcpy(CarryOver, data + i, (size_t)CarryLength);
            CarryOver[CarryLength] = 0;
            Trace3(q, "Carry Over=", CarryOver);
            return;
        }
    }
}

// The server's last reply line, kept as it arrives (cut at the member's
// size, NUL bytes left out) for the failure text of a refused command.
static void KeepReplyLine(QELTA *q, const char *data, int n) {
    size_t size = sizeof q->LastReplyLine;
    if (!LineOpen) LineLength = strnlen(q->LastReplyLine, size);
    for (int i = 0; i < n; i++) {
        if (!LineOpen) {
            q->LastReplyLine[0] = 0;
            LineLength = 0;
            LineOpen = 1;
        }
        if (data[i] != 0 && LineLength + 1 < size) {
            q->LastReplyLine[LineLength++] = data[i];
            q->LastReplyLine[LineLength] = 0;
        }
        if (data[i] == '\n') LineOpen = 0;
    }
}

// A decimal number as atoi reads it (blanks, a sign, digits), from at most
// len bytes, saturated well inside 64 bits: the same on both builds.
static long long ReadField(const char *p, int len) {
    int i = 0;
    while (i < len && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n')) i++;
    int neg = 0;
    if (i < len && (p[i] == '+' || p[i] == '-')) neg = (p[i++] == '-');
    long long v = 0;
    for (; i < len && IsDigit(p[i]); i++)
        if (v < 1000000000000000LL) v = v * 10 + (p[i] - '0');
    return neg ? -v : v;
}

static int EndsField(char c) { return c == ',' || c == ' ' || c == ')' || c == 0; }

// "(48213 bytes)" in the reply to RETR: the size of the file to come.
static void TakeAnnouncedSize(QELTA *q, const char *data, int n) {
    for (int i = 0; i < n; i++) {
        if (data[i] != '(') continue;
        int start = i + 1, end = start;
        while (end < n && data[end] != ' ' && data[end] != ')' && data[end] != 0) end++;
        if (end < n && data[end] == ' ' && end + 2 < n && data[end + 2] == 'y') {
            long long v = ReadField(data + start, end - start);
            // ReadField keeps every digit below 10^15; a size beyond (or
            // negative) stays unknown rather than a wrong progress figure.
            if (v >= 0 && v < 1000000000000000LL) q->ExpectedSize = (uint64_t)v;
            return;
        }
        i = end;
    }
}

// The six numbers of a passive reply's "(h1,h2,h3,h4,p1,p2)".
static void TakePassiveGroup(QELTA *q, const char *data, int n, int at) {
    long long f[6];
    int pos = at;
    for (int k = 0; k < 6; k++) {
        int end = pos;
        while (end < n && !EndsField(data[end])) end++;
        f[k] = ReadField(data + pos, end - pos);
        pos = end < n ? end + 1 : n;
    }
    PlatSockAddr a;
    memset(&a, 0, sizeof a);
    a.family = 2;
    for (int k = 0; k < 4; k++) a.addr[k] = (unsigned char)(f[k] & 0xFF);
    unsigned long long port = ((unsigned long long)f[4] << 8) | (unsigned long long)f[5];
    a.port = PlatNetHtons((unsigned short)(port & 0xFFFF));
    q->PassiveAddress = a;
}

static void TakePassiveAddress(QELTA *q, const char *data, int n) {
    for (int i = 0; i < n; i++)
        if (data[i] == '(') TakePassiveGroup(q, data, n, i + 1);
}

static int ReceiveFailed(QELTA *q) {
    q->LastSocketError = PlatNetLastError();
    COPYCUT(q->ErrorText, "Error receiving data in FillControlBuffer()");
    return 0;
}

// A read with nothing decisive in it: the caller waits for the next one.
static int NoCodeYet(QELTA *q) {
    q->ReplyBuffer[0] = 0;
    q->ReplyLength = 4;
    return 1;
}

int FillControlBuffer(QELTA *q) {
    q->IdleCount = 0;
    if (FirstCall) {
        ResetCarryOver();
        FirstCall = 0;
    }
    long got = PlatNetRecv(q->Socket.Control, q->ReplyBuffer, 512, 0);
    if (got < 0 && PlatNetLastError() == QWSAEWOULDBLOCK) {
        // A read event whose data was already taken: not a failure.
        q->LastSocketError = QWSAEWOULDBLOCK;
        return NoCodeYet(q);
    }
    if (got <= 0) return ReceiveFailed(q);
    int n = (int)got;
    q->ReplyLength = n;
    q->ReplyBuffer[n] = 0;
    const char *data = q->ReplyBuffer;
    LogWrite(q, data, (size_t)n);
    KeepReplyLine(q, data, n);

    char code[5] = "";
    int found = CarryLength > 0 && MatchCarried(q, data, n, code);
    if (!found) found = ScanForCode(q, data, n, code);
    if (found) {
        CarryLength = 0;
        CarryOver[0] = 0;
    }
    // After no code, or only a preliminary one, the start of the final
    // code may end this read.
    if (!found || code[0] == '1') CarryTail(q, data, n);
    AtLineStart = data[n - 1] == '\n';
    if (q->CommandId == CMD_RETR && q->ExpectedSize == 0) TakeAnnouncedSize(q, data, n);
    if (q->CommandId == CMD_PASV) TakePassiveAddress(q, data, n);
    Trace3(q, "string=", code);
    q->ReplyLength = 4;
    COPYCUT(q->ReplyBuffer, code);
    return 1;
}

// ---- CheckFor ----------------------------------------------------------------

struct Substitute {
    const char *Expected;
    const char *Accepted;
    int OnlyFor;  // command id, 0 = any
    int SetsLoggedIn;
};

static const Substitute Substitutes[] = {
    {"226 ", "250 ", 0, 0},       {"331 ", "230 ", 0, 1},       {"200 ", "250 ", 0, 0},
    {"250 ", "200 ", 0, 0},       {"150 ", "125 ", 0, 0},       {"230 ", "332 ", CMD_PASS, 0},
    {"250 ", "257 ", CMD_RDIR, 0},
};

static int Begins(const char *line, const char *prefix) {
    return strncmp(line, prefix, strlen(prefix)) == 0;
}

static int SubstituteFor(QELTA *q, const char *expected, const char *line) {
    for (const Substitute &s : Substitutes) {
        if (strcmp(s.Expected, expected) != 0 || !Begins(line, s.Accepted)) continue;
        if (s.OnlyFor != 0 && s.OnlyFor != q->CommandId) continue;
        if (s.SetsLoggedIn) q->LoggedIn = 1;
        return 1;
    }
    return 0;
}

enum { GO_ON, DECIDED_TRUE, DECIDED_FALSE };

// A 4xx or 5xx line. Returns DECIDED_* for the overrides that end the
// check at once, GO_ON otherwise (with *result and ErrorText updated).
static int Refusal(QELTA *q, const char *line, int *result) {
    if (q->ReturnIndex != 0 && Begins(line, "550")) {
        if (q->_550DeleteOverRide == 0 && q->CommandId == CMD_DELR) {
            PlatMessageBox(
                "You have received a 550 error during a remote delete.\r\n"
                "This error can be avoided, please see the documentation.\r\n",
                "QELTA", QMB_OK);
            COPYCUT(q->ErrorText, "550 error during a remote delete");
            return DECIDED_FALSE;
        }
        q->Tolerated550 = 1;
        return DECIDED_TRUE;
    }
    if (q->DELR550OverRide == 1 && q->CommandId == CMD_DELR) return DECIDED_TRUE;
    if (q->DirCmdCanDoNothing == 1 && (q->CommandId == CMD_MDIR || q->CommandId == CMD_RDIR))
        return DECIDED_TRUE;
    if (q->CommandId == CMD_PASS && Begins(line, "530") && q->PassRetryCount < 2) {
        q->PassRetryCount++;
        *result = 1;
        return GO_ON;
    }
    COPYCUT(q->ErrorText, q->ReplyBuffer);
    *result = 0;
    return GO_ON;
}

static int IsRefusal(const char *line) {
    return (line[0] == '4' || line[0] == '5') && line[1] && line[2] && line[3] == ' ';
}

// The bare code copied by a refusal becomes the server's whole reply line.
static void RecoverReplyLine(QELTA *q) {
    size_t len = strlen(q->ErrorText);
    if (len < 1 || len > 4 || q->LastReplyLine[0] == 0) return;
    COPYCUT(q->ErrorText, q->LastReplyLine);
}

int CheckFor(PlatWindow hDlg, const char *ExpectedCode, int length, QELTA *q) {
    char work[100];
    int n = length < 0 ? 0 : (length > 99 ? 99 : length);
    size_t k = 0;
    while ((int)k < n && q->ReplyBuffer[k]) {
        work[k] = q->ReplyBuffer[k];
        k++;
    }
    work[k] = 0;
    q->IdleCount = 0;
    int result = 0;
    Trace3(q, "buffer2=", work);
    DebugTrace(q, "beginning of CheckFor()\r\n");

    for (size_t i = 0; i < k; i++) {
        if (i > 0 && work[i - 1] != '\n') continue;
        const char *line = work + i;
        // The expected code itself always completes the command, also
        // when a UDEF line names a 4xx or 5xx code as its answer.
        if (strncmp(line, ExpectedCode, 4) == 0) {
            result = 1;
            if (q->CommandId == CMD_PASS) q->PassRetryCount = 0;
            break;
        }
        if (IsRefusal(line)) {
            int r = Refusal(q, line, &result);
            if (r == DECIDED_TRUE) return 1;
            if (r == DECIDED_FALSE) return 0;
        }
        if (SubstituteFor(q, ExpectedCode, line)) {
            result = 1;
            break;
        }
    }
    if (!result) RecoverReplyLine(q);
    DebugTrace(q, result ? "end of CheckFor() TRUE\r\n" : "end of CheckFor() FALSE\r\n");
    q->ReplyBuffer[0] = 0;
    return result;
}
