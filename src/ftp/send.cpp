// The send step of every command line: the Debug record, the DebugMessages
// confirmation, the send itself and its error text, and what the socket
// did not take, kept for its next write event.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "session/command.h"

// Fills the first "%d" of text with the number. The texts come from the
// callers' tables; doing it by hand keeps them out of printf's format
// argument.
void FormatErrorNumber(char *out, size_t size, const char *text, int number) {
    if (size == 0) return;
    const char *mark = strstr(text, "%d");
    if (mark == nullptr) {
        CopyCut(out, size, text);
        return;
    }
    char num[16];
    FORMATCUT(num, "%d", number);
    size_t head = (size_t)(mark - text);
    size_t keep = head < size ? head : size - 1;
    memcpy(out, text, keep);
    out[keep] = 0;
    AppendCut(out, size, num);
    AppendCut(out, size, mark + 2);
}

// Asks before a line goes out; 1 when the answer is Yes.
static int ConfirmSend(const QELTA *q, const char *line) {
    // Room for the longest line any executor builds (an UDEF argument).
    char text[700];
    FORMATCUT(text, "About to send %s to the FTP server.  Continue?", line);
    return ViewAsk(q, text, "QELTA Debug");
}

// 1 when the line is a PASS command, whatever sent it (UDEF too).
static int IsPassLine(const char *line) {
    while (*line == ' ') line++;
    return EqualNoCase(line, "PASS", 4) &&
           (line[4] == ' ' || line[4] == '\r' || line[4] == '\n' || line[4] == 0);
}

// Sends what the control socket has not taken yet. OUTCOME_WORKING when
// all of it went or the rest waits for the socket's next write event;
// OUTCOME_TRANSIENT with ErrorText set when the socket failed.
static int SendUnsent(QELTA *q) {
    auto &c = q->Control;
    while (c.At < c.End) {
        long put = PlatNetSend(q->Socket.Control, c.Unsent + c.At, c.End - c.At);
        if (put == 0) return OUTCOME_WORKING;
        if (put < 0) {
            q->LastSocketError = PlatNetLastError();
            if (q->LastSocketError == QWSAEWOULDBLOCK) return OUTCOME_WORKING;
            FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, c.SendError, q->LastSocketError);
            c.At = c.End = 0;
            return OUTCOME_TRANSIENT;
        }
        c.At += (size_t)put;
    }
    c.At = c.End = 0;
    return OUTCOME_WORKING;
}

// Queues the whole line behind anything still unsent and sends what the
// socket takes now: an outcome as SendUnsent's, or OUTCOME_FAILED when the
// line has no room.
static int QueueLine(QELTA *q, const char *line, const char *sendErrorText) {
    auto &c = q->Control;
    size_t n = strlen(line);
    memmove(c.Unsent, c.Unsent + c.At, c.End - c.At);
    c.End -= c.At;
    c.At = 0;
    if (n > sizeof c.Unsent - c.End) {
        FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, sendErrorText, QWSAEWOULDBLOCK);
        return OUTCOME_FAILED;
    }
    memcpy(c.Unsent + c.End, line, n);
    c.End += n;
    COPYCUT(c.SendError, sendErrorText);
    return SendUnsent(q);
}

// The same once what came unasked is read: OUTCOME_FAILED when a reply
// nobody asked for was among it.
static int SendLine(QELTA *q, const char *line, const char *sendErrorText) {
    // What came unasked must not be taken for this line's answer.
    if (!DrainUnsolicited(q)) return OUTCOME_FAILED;
    return QueueLine(q, line, sendErrorText);
}

int ControlWritable(QELTA *q) { return SendUnsent(q); }

int SendControlLineAhead(QELTA *q, const char *line, const char *sendErrorText) {
    if (q->Debug == 1) RecordSentLine(q, line);
    int sent = QueueLine(q, line, sendErrorText);
    if (sent == OUTCOME_WORKING) ReplyAheadSent(q);
    return sent;
}

int ClaimLineSentAhead(QELTA *q) {
    int held = TakeReplyAhead(q);
    q->Control.LastOwner = q->ReturnIndex != 0 ? q->ReturnIndex : q->CommandIndex;
    SetCommandState(q, COMMAND_BUSY);
    return held;
}

int SendControlLine(QELTA *q, const char *line, const char *record, const char *refusalText,
                    const char *sendErrorText) {
    // A password never reaches a log.
    if (IsPassLine(line)) record = "PASS xxxxxxxx\r\n";
    if (q->Debug == 1) RecordSentLine(q, record ? record : line);
    if (q->DebugMessages == 1 && !ConfirmSend(q, line)) {
        COPYCUT(q->ErrorText, refusalText);
        return OUTCOME_FAILED;
    }
    // After a failure the run is ending: nothing more goes to the server.
    if (q->ErrorFlag != 1) {
        int sent = SendLine(q, line, sendErrorText);
        if (sent != OUTCOME_WORKING) return sent;
    }
    ExpectReply(q);
    q->Control.LastOwner = q->ReturnIndex != 0 ? q->ReturnIndex : q->CommandIndex;
    SetCommandState(q, COMMAND_BUSY);
    return OUTCOME_WORKING;
}
