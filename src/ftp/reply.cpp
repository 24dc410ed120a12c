// The control connection's reading: every byte read is logged and fed to
// the reply parser. Only a reply that began after the current command was
// sent is handed on (as its four-character code). A complete reply that
// no command asked for means replies and commands are out of step: it
// fails the run, unless it is preliminary or the server's 421 farewell.
// One line may go ahead of its command (the next file's passive line,
// sent while a retrieval waits for its final reply): its reply, which
// comes behind the current one, is held for the command that takes it,
// and skipped when another command goes first.
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "ftp/replyparser.h"
#include "log/log.h"
#include "session/commandids.h"

// No reply is longer than this; a server that sends more is not one to
// keep logging.
static const long long MaxReplyBytes = 4LL * 1024 * 1024;

// The connection's state lives for the connection: lines and replies span
// reads, and a reply's owner is decided by when its first byte came.
struct ReplyReader {
    ReplyParser Parser;
    int Awaiting;                // a command was sent and its reply is not decided
    int LineOwned;               // the open line began while Awaiting
    int OpenOwned;               // the open multi-line reply belongs to the current command
    long long Bytes;             // received since the command was sent
    int ClockRunning;            // an unfinished reply of the command has begun
    unsigned long ClockStart;    // ms of its first byte
    char Tail[ControlReadSize];  // rest of a read behind a handed-on reply
    size_t TailAt, TailLength;
    ReplyLineWatcher Watcher;  // sees the current command's own lines
    char Stray[120];           // last line of a reply nobody asked for, not yet reported
    int Lost;                  // the last read failed: closed, reset or overdue
    int StrayFailed;           // a reply nobody asked for was reported
    int Ahead;                 // AHEAD_*: where the reply to a line sent ahead stands
    int Skip;                  // final replies still to come for lines no command awaits
    char Held[ControlReadSize];  // bytes behind the decided reply, for the line sent ahead
    size_t HeldLength;
};

enum {
    AHEAD_NONE,
    AHEAD_SENT,  // behind the current command's reply, still undecided
    AHEAD_OWED,  // the next reply to come: its bytes are held
};

int StrayReplyReported(const QELTA *q) {
    return q->Control.Reader != nullptr && q->Control.Reader->StrayFailed;
}

int ControlConnectionLost(const QELTA *q) {
    return q->Control.Reader != nullptr && q->Control.Reader->Lost;
}

int ResetReplyReader(QELTA *q) {
    if (q->Control.Reader == nullptr)
        q->Control.Reader = static_cast<ReplyReader *>(calloc(1, sizeof(ReplyReader)));
    if (q->Control.Reader == nullptr) {
        COPYCUT(q->ErrorText, "Out of memory for the reply reader in ExecCONN()\r\n");
        return 0;
    }
    memset(q->Control.Reader, 0, sizeof(ReplyReader));
    ReplyParserReset(&q->Control.Reader->Parser);
    // Nor is anything of the old connection's lines still to be sent.
    q->Control.At = q->Control.End = 0;
    return 1;
}

void WatchReplyLines(QELTA *q, ReplyLineWatcher watcher) {
    if (q->Control.Reader) q->Control.Reader->Watcher = watcher;
}

// ---- Replies and their owners ------------------------------------------------

// The transfer commands wait past their preliminary 1xx reply.
static int PassesOverPreliminary(int id) {
    return id == CMD_RETR || id == CMD_LIST || id == CMD_STOR || id == CMD_NLST;
}

// A complete reply of the current command. 1 when its code is handed on.
static int OwnReply(QELTA *q, char *out) {
    ReplyReader &r = *q->Control.Reader;
    const ReplyParser *p = &r.Parser;
    if (p->Preliminary) {
        // A preliminary reply: what follows may take as long as the
        // transfer it announces, and a protected data connection may now
        // make its handshake.
        r.ClockRunning = 0;
        q->Tls.MarkSeen = 1;
        if (PassesOverPreliminary(q->CommandId)) return 0;
    }
    // The final line of the reply handed on, for the failure text of a
    // refusal.
    ReplyParserLineText(p, q->LastReplyLine, sizeof q->LastReplyLine, 0);
    q->ReplyCount++;
    memcpy(out, p->Code, 3);
    out[3] = ' ';
    out[4] = 0;
    return 1;
}

// A complete reply that belongs to no command. A preliminary one decides
// nothing; a 421 may come at any time (an idle time-out), and the close
// behind it fails only a command that still needs the connection.
static void StrayReply(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    const ReplyParser *p = &r.Parser;
    if (p->Preliminary || memcmp(p->Code, CODE_NOT_AVAILABLE, 3) == 0) return;
    if (r.Stray[0] == 0) ReplyParserLineText(p, r.Stray, sizeof r.Stray, 1);
    DebugTraceValue(q, "stray reply=", r.Stray);
}

// Fails the run over a stray reply seen; 1 when there was none.
static int NoStrayReply(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    if (r.Stray[0] == 0) return 1;
    FORMATCUT(q->ErrorText, "Reply from the server that no command asked for: %s\r\n", r.Stray);
    r.Stray[0] = 0;
    r.StrayFailed = 1;
    return 0;
}

// Feeds bytes to the parser until a reply of the current command is
// complete. Returns the number of bytes used; *found is 1 with the code
// in out when one was.
static size_t Assemble(QELTA *q, const char *data, size_t n, char *out, int *found) {
    ReplyReader &r = *q->Control.Reader;
    *found = 0;
    size_t at = 0;
    while (at < n) {
        if (ReplyParserAtLineStart(&r.Parser)) r.LineOwned = r.Awaiting && r.Skip == 0;
        if (r.Awaiting && !r.ClockRunning) {
            r.ClockRunning = 1;
            r.ClockStart = PlatMilliseconds();
        }
        size_t used;
        ReplyEvent ev = ReplyParserFeed(&r.Parser, data + at, n - at, &used);
        at += used;
        if (ev == REPLY_MORE) break;
        const ReplyParser *p = &r.Parser;
        int owned = (p->Continued ? r.OpenOwned : r.LineOwned) && r.Awaiting;
        // Only the command's own lines may tell it anything: a stray line
        // must not choose where the data connection goes.
        if (owned && r.Watcher) r.Watcher(q, p->Line, p->LineKept);
        if (p->Opened) r.OpenOwned = owned;
        if (ev != REPLY_COMPLETE) continue;
        if (r.Skip > 0 && !p->Preliminary) {
            // The answer to a line whose command is gone: neither this
            // command's nor stray.
            r.Skip--;
            continue;
        }
        if (!owned) {
            StrayReply(q);
        } else if (OwnReply(q, out)) {
            *found = 1;
            return at;
        }
    }
    return n;
}

// What arrived before the current command was sent, or after its reply
// was decided, belongs to no command.
static void AssembleStray(QELTA *q, const char *data, size_t n) {
    ReplyReader &r = *q->Control.Reader;
    int awaiting = r.Awaiting;
    r.Awaiting = 0;
    char code[5];
    int found;
    Assemble(q, data, n, code, &found);
    r.Awaiting = awaiting;
}

static void DropTail(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    AssembleStray(q, r.Tail + r.TailAt, r.TailLength - r.TailAt);
    r.TailAt = r.TailLength = 0;
}

// Keeps bytes for the line sent ahead, unparsed until its command comes.
// More than a read's worth behind a one-line reply is no answer to it.
static void Hold(QELTA *q, const char *data, size_t n) {
    ReplyReader &r = *q->Control.Reader;
    if (n > sizeof r.Held - r.HeldLength) {
        if (r.Stray[0] == 0) COPYCUT(r.Stray, "more than one reply behind a line sent ahead");
        n = sizeof r.Held - r.HeldLength;
    }
    memcpy(r.Held + r.HeldLength, data, n);
    r.HeldLength += n;
}

// Assembles data; what follows a handed-on reply is kept for the matcher.
static int AssembleRead(QELTA *q, const char *data, size_t n, char *code) {
    ReplyReader &r = *q->Control.Reader;
    int found;
    size_t used = Assemble(q, data, n, code, &found);
    if (found && used < n) {
        memcpy(r.Tail, data + used, n - used);
        r.TailAt = 0;
        r.TailLength = n - used;
    }
    return found;
}

int NextQueuedReply(QELTA *q) {
    if (q->Control.Reader == nullptr) return 0;
    ReplyReader &r = *q->Control.Reader;
    if (r.TailAt >= r.TailLength) return 0;
    char code[5];
    int found;
    size_t used = Assemble(q, r.Tail + r.TailAt, r.TailLength - r.TailAt, code, &found);
    r.TailAt += used;
    if (!found) return 0;
    COPYCUT(q->ReplyBuffer, code);
    q->ReplyLength = 4;
    return 1;
}

void ReplyDecided(QELTA *q) {
    if (q->Control.Reader == nullptr) return;
    ReplyReader &r = *q->Control.Reader;
    r.Awaiting = 0;
    r.LineOwned = 0;
    r.OpenOwned = 0;
    r.ClockRunning = 0;
    r.Watcher = nullptr;
    if (r.Ahead == AHEAD_SENT) {
        r.Ahead = AHEAD_OWED;
        Hold(q, r.Tail + r.TailAt, r.TailLength - r.TailAt);
        r.TailAt = r.TailLength = 0;
        return;
    }
    // A stray reply behind the deciding one leaves this command's answer
    // as it was; the next read or send reports it.
    DropTail(q);
}

void ReplyAheadSent(QELTA *q) {
    if (q->Control.Reader != nullptr) q->Control.Reader->Ahead = AHEAD_SENT;
}

int ReplyAheadOwed(const QELTA *q) {
    return q->Control.Reader != nullptr && q->Control.Reader->Ahead == AHEAD_OWED;
}

// What was held goes back to the tail, to be parsed now.
static void UnHold(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    memcpy(r.Tail, r.Held, r.HeldLength);
    r.TailAt = 0;
    r.TailLength = r.HeldLength;
    r.HeldLength = 0;
}

// The line sent ahead was not followed by its command: its reply, and an
// undecided one before it, are skipped.
static void ForgetAhead(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    if (r.Ahead == AHEAD_NONE) return;
    if (r.Ahead == AHEAD_SENT) {
        r.Skip += 2;
    } else {
        // Owed: the tail went to Held when the last reply was decided.
        r.Skip += 1;
        UnHold(q);
    }
    r.Ahead = AHEAD_NONE;
}

// The wait for a command's reply begins: a line or reply already begun
// was not sent for it.
static void Await(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    r.LineOwned = 0;
    r.OpenOwned = 0;
    r.Awaiting = 1;
    r.Bytes = 0;
    r.ClockRunning = 0;
    r.Watcher = nullptr;
}

void ExpectReply(QELTA *q) {
    q->Tls.MarkSeen = 0;
    if (q->Control.Reader == nullptr) return;
    ForgetAhead(q);
    DropTail(q);
    Await(q);
}

int TakeReplyAhead(QELTA *q) {
    q->Tls.MarkSeen = 0;
    ReplyReader &r = *q->Control.Reader;
    r.Ahead = AHEAD_NONE;
    UnHold(q);
    // The parser stands at a line's start: the held bytes begin the reply.
    Await(q);
    return r.TailLength > 0;
}

// ---- Reading -----------------------------------------------------------------

// Bytes can only come on a connection, and CONN sets the reader up first.
static int NoReader(QELTA *q) {
    COPYCUT(q->ErrorText, "No control connection in FillControlBuffer()\r\n");
    return 0;
}

static int ReceiveFailed(QELTA *q) {
    q->LastSocketError = PlatNetLastError();
    q->Control.Reader->Lost = 1;
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
    ReplyReader &r = *q->Control.Reader;
    long long room = MaxReplyBytes - r.Bytes;
    size_t keep = (long long)n > room ? (size_t)(room > 0 ? room : 0) : n;
    LogWrite(q, data, keep);
    r.Bytes += (long long)n;
    if (keep == n) return 1;
    COPYCUT(q->ErrorText, "Reply from the server longer than 4 MiB in FillControlBuffer()\r\n");
    return 0;
}

// A reply that has begun must end within TimeOut seconds (never less than
// one watchdog tick): a drip of bytes would otherwise reset the watchdog
// for ever.
static int ReplyOverdue(QELTA *q) {
    ReplyReader &r = *q->Control.Reader;
    if (!r.Awaiting || !r.ClockRunning) return 0;
    // Within what the tick count can measure on both builds.
    int seconds = q->TimeOut < 5 ? 5 : (q->TimeOut > 2000000 ? 2000000 : q->TimeOut);
    unsigned long limit = (unsigned long)seconds * 1000UL;
    // Unsigned difference: right across the tick count's wrap.
    if (PlatMilliseconds() - r.ClockStart < limit) return 0;
    r.Lost = 1;
    FORMATCUT(q->ErrorText,
              "Reply from the server not complete within %d seconds in "
              "FillControlBuffer()\r\n",
              q->TimeOut);
    return 1;
}

// Receives once: -1 on failure (ErrorText set), 0 when nothing was there,
// otherwise the count.
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
    return got;
}

int ControlBytesArrived(QELTA *q, const char *data, size_t n) {
    if (q->Control.Reader == nullptr) return NoReader(q);
    if (n > ControlReadSize) n = ControlReadSize;
    if (!LogWithinLimit(q, data, n)) return 0;
    if (q->Control.Reader->Ahead == AHEAD_OWED) {
        Hold(q, data, n);
        return NoStrayReply(q) && NoCodeYet(q);
    }
    char code[5] = "";
    int found = AssembleRead(q, data, n, code);
    if (!NoStrayReply(q)) return 0;
    if (!found && ReplyOverdue(q)) return 0;
    DebugTraceValue(q, "string=", code);
    q->ReplyLength = 4;
    COPYCUT(q->ReplyBuffer, code);
    return 1;
}

int UnsolicitedBytesArrived(QELTA *q, const char *data, size_t n) {
    if (q->Control.Reader == nullptr) return NoReader(q);
    if (!LogWithinLimit(q, data, n)) return 0;
    if (q->Control.Reader->Ahead == AHEAD_OWED)
        Hold(q, data, n);
    else
        AssembleStray(q, data, n);
    return NoStrayReply(q);
}

int FillControlBuffer(QELTA *q) {
    if (q->Control.Reader == nullptr) return NoReader(q);
    ReplyReader &r = *q->Control.Reader;
    // One seen behind the last decided reply, with no send since.
    if (!NoStrayReply(q)) return 0;
    if (r.TailAt < r.TailLength) {
        // A reply behind one the caller did not match: its turn first.
        char code[5] = "";
        if (NextQueuedReply(q)) COPYCUT(code, q->ReplyBuffer);
        if (!NoStrayReply(q)) return 0;
        if (code[0] != 0) {
            DebugTraceValue(q, "string=", code);
            q->ReplyLength = 4;
            COPYCUT(q->ReplyBuffer, code);
            return 1;
        }
    }
    char buf[ControlReadSize];
    long got = ReceiveOnce(q, buf, sizeof buf);
    if (got < 0) return 0;
    if (got == 0) return NoCodeYet(q);
    return ControlBytesArrived(q, buf, (size_t)got);
}

int DrainUnsolicited(QELTA *q) {
    // No reader: no connection was ever made, so nothing can be waiting.
    if (q->Control.Reader == nullptr) return 1;
    DropTail(q);
    if (!NoStrayReply(q)) return 0;
    char buf[ControlReadSize];
    while (q->Socket.Control != -1) {
        long got = ReceiveOnce(q, buf, sizeof buf);
        if (got == 0) return 1;
        if (got < 0) {
            // A close or a receive error is the next read event's to
            // report.
            q->ErrorText[0] = 0;
            return 1;
        }
        // The flood fails here, and so does a stray reply.
        if (!UnsolicitedBytesArrived(q, buf, (size_t)got)) return 0;
    }
    return 1;
}
