// Reply assembly: every byte read on the control connection is logged,
// cut into lines and grouped into replies. Only a reply that began after
// the current command was sent is handed on (as its four-character code);
// everything else is logged and dropped.
#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "session/commandids.h"

// No reply is longer than this; a server that sends more is not one to
// keep logging.
static const long long MaxReplyBytes = 4LL * 1024 * 1024;

// The reader's state lives for the connection: lines and replies span
// reads, and a reply's owner is decided by when its first byte came.
static struct {
    int Awaiting;         // a command was sent and its reply is not decided
    int LineOwned;        // the open line began while Awaiting
    char Line[512];       // the open line's first bytes
    size_t LineKept;      // bytes of it in Line
    size_t LineTotal;     // bytes of it so far; 0 = at a line start
    char OpenCode[4];     // "550" while a "550-" reply waits for "550 "
    int OpenOwned;        // that reply belongs to the current command
    long long Bytes;      // received since the command was sent
    int ClockRunning;     // an unfinished reply of the command has begun
    unsigned long ClockStart;  // ms of its first byte
    char Tail[512];       // rest of a read behind a handed-on reply
    size_t TailAt, TailLength;
} R;

void ResetReplyReader(void) {
    memset(&R, 0, sizeof R);
}

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

// Three digits, the first 1 to 5, followed by sep.
static int CodeWith(const char *p, size_t n, char sep) {
    return n >= 4 && p[0] >= '1' && p[0] <= '5' && IsDigit(p[1]) && IsDigit(p[2]) && p[3] == sep;
}

// ---- What a reply line tells besides its code ----------------------------------

// A decimal number as atoi reads it (blanks, a sign, digits), from at most
// len bytes, saturated well inside 64 bits: the same on both builds.
static long long ReadField(const char *p, size_t len) {
    size_t i = 0;
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
static void TakeAnnouncedSize(QELTA *q, const char *data, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (data[i] != '(') continue;
        size_t start = i + 1, end = start;
        while (end < n && data[end] != ' ' && data[end] != ')' && data[end] != 0) end++;
        if (end < n && data[end] == ' ' && end + 2 < n && data[end + 2] == 'y') {
            // ReadField saturates near 10^15: a figure beyond that (or a
            // negative one) stays unknown rather than wrapping.
            long long v = ReadField(data + start, end - start);
            if (v >= 0 && v < 1000000000000000LL) q->ExpectedSize = (uint64_t)v;
            return;
        }
        i = end;
    }
}

// The six numbers of a passive reply's "(h1,h2,h3,h4,p1,p2)".
static void TakePassiveGroup(QELTA *q, const char *data, size_t n, size_t at) {
    long long f[6];
    size_t pos = at;
    for (int k = 0; k < 6; k++) {
        size_t end = pos;
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

// Only lines of the current command's own reply may set these: a stray
// line must not choose where the data connection goes.
static void TakeLineValues(QELTA *q, const char *line, size_t n) {
    if (q->CommandId == CMD_RETR && q->ExpectedSize == 0) TakeAnnouncedSize(q, line, n);
    if (q->CommandId == CMD_PASV)
        for (size_t i = 0; i < n; i++)
            if (line[i] == '(') TakePassiveGroup(q, line, n, i + 1);
}

// The final line of the reply handed on, for the failure text of a
// refusal (NUL bytes left out, cut at the member's size).
static void KeepReplyLine(QELTA *q, const char *line, size_t n) {
    size_t k = 0;
    for (size_t i = 0; i < n && k + 1 < sizeof q->LastReplyLine; i++)
        if (line[i] != 0) q->LastReplyLine[k++] = line[i];
    q->LastReplyLine[k] = 0;
}

// ---- Lines and replies ----------------------------------------------------------

// The transfer commands wait past their preliminary 1xx reply.
static int PassesOverPreliminary(int id) {
    return id == CMD_RETR || id == CMD_LIST || id == CMD_STOR || id == CMD_NLST;
}

// A complete reply of the current command. 1 when its code is handed on.
static int OwnReply(QELTA *q, const char *code, char *out) {
    if (code[0] == '1') {
        // A preliminary reply: what follows may take as long as the
        // transfer it announces.
        R.ClockRunning = 0;
        if (PassesOverPreliminary(q->CommandId)) return 0;
    }
    KeepReplyLine(q, R.Line, R.LineKept);
    memcpy(out, code, 3);
    out[3] = ' ';
    out[4] = 0;
    return 1;
}

// A line has ended. 1 when it completed a reply of the current command,
// with the code in out.
static int EndLine(QELTA *q, char *out) {
    const char *line = R.Line;
    size_t n = R.LineKept;
    int owned = R.LineOwned && R.Awaiting;
    R.LineTotal = 0;
    if (R.OpenCode[0] != 0) {
        int own = R.OpenOwned && R.Awaiting;
        if (own) TakeLineValues(q, line, n);
        // Inside "550-" only "550 " ends the reply, whatever else looks
        // like a code.
        if (n < 4 || memcmp(line, R.OpenCode, 3) != 0 || line[3] != ' ') return 0;
        char code[4];
        memcpy(code, R.OpenCode, 3);
        R.OpenCode[0] = 0;
        return own && OwnReply(q, code, out);
    }
    if (owned) TakeLineValues(q, line, n);
    if (CodeWith(line, n, '-')) {
        memcpy(R.OpenCode, line, 3);
        R.OpenCode[3] = 0;
        R.OpenOwned = owned;
        return 0;
    }
    return CodeWith(line, n, ' ') && owned && OwnReply(q, line, out);
}

// Feeds bytes through the line assembler until a reply of the current
// command is complete. Returns the number of bytes used; *found is 1 with
// the code in out when one was.
static size_t Assemble(QELTA *q, const char *data, size_t n, char *out, int *found) {
    *found = 0;
    for (size_t i = 0; i < n; i++) {
        if (R.LineTotal == 0) {
            R.LineOwned = R.Awaiting;
            R.LineKept = 0;
        }
        if (R.Awaiting && !R.ClockRunning) {
            R.ClockRunning = 1;
            R.ClockStart = PlatMilliseconds();
        }
        R.LineTotal++;
        if (R.LineKept < sizeof R.Line) R.Line[R.LineKept++] = data[i];
        if (data[i] == '\n' && EndLine(q, out)) {
            *found = 1;
            return i + 1;
        }
    }
    return n;
}

// What arrived before the current command was sent, or after its reply
// was decided, belongs to no command: it passes the assembler unmatched.
static void AssembleStray(QELTA *q, const char *data, size_t n) {
    int awaiting = R.Awaiting;
    R.Awaiting = 0;
    char code[5];
    int found;
    Assemble(q, data, n, code, &found);
    R.Awaiting = awaiting;
}

static void DropTail(QELTA *q) {
    AssembleStray(q, R.Tail + R.TailAt, R.TailLength - R.TailAt);
    R.TailAt = R.TailLength = 0;
}

// Assembles data; what follows a handed-on reply is kept for the matcher.
static int AssembleRead(QELTA *q, const char *data, size_t n, char *code) {
    int found;
    size_t used = Assemble(q, data, n, code, &found);
    if (found && used < n) {
        memcpy(R.Tail, data + used, n - used);
        R.TailAt = 0;
        R.TailLength = n - used;
    }
    return found;
}

int NextQueuedReply(QELTA *q) {
    if (R.TailAt >= R.TailLength) return 0;
    char code[5];
    int found;
    size_t used = Assemble(q, R.Tail + R.TailAt, R.TailLength - R.TailAt, code, &found);
    R.TailAt += used;
    if (!found) return 0;
    COPYCUT(q->ReplyBuffer, code);
    q->ReplyLength = 4;
    return 1;
}

void ReplyDecided(QELTA *q) {
    R.Awaiting = 0;
    R.LineOwned = 0;
    R.OpenOwned = 0;
    R.ClockRunning = 0;
    DropTail(q);
}

void ExpectReply(QELTA *q) {
    DropTail(q);
    // A line or reply already begun was not sent for this command.
    R.LineOwned = 0;
    R.OpenOwned = 0;
    R.Awaiting = 1;
    R.Bytes = 0;
    R.ClockRunning = 0;
}

// ---- Reading ---------------------------------------------------------------------

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

// Logs a read, up to the byte limit. 0 when the limit is passed.
static int LogWithinLimit(QELTA *q, const char *data, size_t n) {
    long long room = MaxReplyBytes - R.Bytes;
    size_t keep = (long long)n > room ? (size_t)(room > 0 ? room : 0) : n;
    LogWrite(q, data, keep);
    R.Bytes += (long long)n;
    if (keep == n) return 1;
    COPYCUT(q->ErrorText, "Reply from the server longer than 4 MiB in FillControlBuffer()\r\n");
    return 0;
}

// A reply that has begun must end within TimeOut seconds (never less than
// one watchdog tick): a drip of bytes would otherwise reset the watchdog
// for ever.
static int ReplyOverdue(QELTA *q) {
    if (!R.Awaiting || !R.ClockRunning) return 0;
    // Within what the tick count can measure on both builds.
    int seconds = q->TimeOut < 5 ? 5 : (q->TimeOut > 2000000 ? 2000000 : q->TimeOut);
    unsigned long limit = (unsigned long)seconds * 1000UL;
    // Unsigned difference: right across the tick count's wrap.
    if (PlatMilliseconds() - R.ClockStart < limit) return 0;
    FORMATCUT(q->ErrorText,
              "Reply from the server not complete within %d seconds in FillControlBuffer()\r\n",
              q->TimeOut);
    return 1;
}

// Receives once: -1 on failure (ErrorText set), 0 when nothing was there,
// otherwise the count, logged.
static long ReceiveOnce(QELTA *q, char *buf, size_t size) {
    long got = PlatNetRecv(q->Socket.Control, buf, size, 0);
    if (got < 0 && PlatNetLastError() == QWSAEWOULDBLOCK) {
        q->LastSocketError = QWSAEWOULDBLOCK;
        return 0;
    }
    if (got <= 0) {
        ReceiveFailed(q);
        return -1;
    }
    if (!LogWithinLimit(q, buf, (size_t)got)) return -1;
    return got;
}

int FillControlBuffer(QELTA *q) {
    q->IdleCount = 0;
    char code[5] = "";
    int found = 0;
    if (R.TailAt < R.TailLength) {
        // A reply behind one the caller did not match: its turn first.
        found = NextQueuedReply(q);
        if (found) COPYCUT(code, q->ReplyBuffer);
    }
    if (!found) {
        long got = ReceiveOnce(q, q->ReplyBuffer, 512);
        if (got < 0) return 0;
        if (got == 0) return NoCodeYet(q);
        q->ReplyBuffer[got] = 0;
        found = AssembleRead(q, q->ReplyBuffer, (size_t)got, code);
        if (!found && ReplyOverdue(q)) return 0;
    }
    DebugTraceValue(q, "string=", code);
    q->ReplyLength = 4;
    COPYCUT(q->ReplyBuffer, code);
    return 1;
}

int DrainUnsolicited(QELTA *q) {
    char buf[512];
    while (q->Socket.Control != -1) {
        long got = ReceiveOnce(q, buf, sizeof buf);
        if (got == 0) return 1;
        if (got < 0) {
            // A close or a receive error is the next read event's to
            // report; only the flood fails here.
            if (R.Bytes > MaxReplyBytes) return 0;
            q->ErrorText[0] = 0;
            return 1;
        }
        AssembleStray(q, buf, (size_t)got);
    }
    return 1;
}
