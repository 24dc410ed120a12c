// Reply-code matching: the code of a reply of the current command against
// the code it expects, with the tolerated substitutes and the overrides.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/command.h"
#include "session/commandids.h"

struct Substitute {
    const char *Expected;
    const char *Accepted;
    int OnlyFor;  // command id, 0 = any
    int SetsLoggedIn;
};

static const Substitute Substitutes[] = {
    {CODE_TRANSFER_DONE, CODE_FILE_ACTION_OK, 0, 0},
    {CODE_NEED_PASSWORD, CODE_LOGGED_IN, 0, 1},
    {CODE_COMMAND_OK, CODE_FILE_ACTION_OK, 0, 0},
    {CODE_FILE_ACTION_OK, CODE_COMMAND_OK, 0, 0},
    {CODE_FILE_STATUS_OK, CODE_DATA_STARTING, 0, 0},
    {CODE_LOGGED_IN, CODE_NEED_ACCOUNT, CMD_PASS, 0},
    {CODE_FILE_ACTION_OK, CODE_CREATED, CMD_RDIR, 0},
};

static int Begins(const char *line, const char *prefix) {
    return strncmp(line, prefix, strlen(prefix)) == 0;
}

// The digits of a code, whatever follows them.
static int HasCode(const char *line, const char *code) { return strncmp(line, code, 3) == 0; }

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
    if (q->ReturnIndex != 0 && HasCode(line, CODE_UNAVAILABLE)) {
        if (q->_550DeleteOverRide == 0 && q->CommandId == CMD_DELR) {
            ViewAlert(q,
                      "You have received a 550 error during a remote delete.\r\n"
                      "This error can be avoided, please see the documentation.\r\n",
                      "QELTA");
            COPYCUT(q->ErrorText, "550 error during a remote delete");
            return DECIDED_FALSE;
        }
        q->Tolerated550 = 1;
        return DECIDED_TRUE;
    }
    if (q->DELR550OverRide == 1 && q->CommandId == CMD_DELR) return DECIDED_TRUE;
    if (q->DirCmdCanDoNothing == 1 && (q->CommandId == CMD_MDIR || q->CommandId == CMD_RDIR))
        return DECIDED_TRUE;
    if (q->CommandId == CMD_PASS && HasCode(line, CODE_NOT_LOGGED_IN) && q->PassRetryCount < 2) {
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

// One look at ReplyBuffer. Returns DECIDED_TRUE, DECIDED_FALSE (with
// ErrorText set) or GO_ON (nothing decisive).
static int MatchOnce(QELTA *q, const char *ExpectedCode, int length) {
    char work[100];
    int n = length < 0 ? 0 : (length > 99 ? 99 : length);
    size_t k = 0;
    while ((int)k < n && q->ReplyBuffer[k]) {
        work[k] = q->ReplyBuffer[k];
        k++;
    }
    work[k] = 0;
    int result = 0;
    DebugTraceValue(q, "buffer2=", work);
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
            if (r != GO_ON) return r;
        }
        if (SubstituteFor(q, ExpectedCode, line)) {
            result = 1;
            break;
        }
    }
    if (!result) RecoverReplyLine(q);
    DebugTrace(q, result ? "end of CheckFor() TRUE\r\n" : "end of CheckFor() FALSE\r\n");
    q->ReplyBuffer[0] = 0;
    if (result) return DECIDED_TRUE;
    return q->ErrorText[0] != 0 ? DECIDED_FALSE : GO_ON;
}

int CheckFor(PlatWindow hDlg, const char *ExpectedCode, int length, QELTA *q) {
    int r = MatchOnce(q, ExpectedCode, length);
    // Replies behind a non-decisive one in the same read ("120 Wait",
    // "220 Ready") get their turn; whatever follows the deciding reply
    // belongs to no command.
    while (r == GO_ON && NextQueuedReply(q)) r = MatchOnce(q, ExpectedCode, q->ReplyLength);
    if (r != GO_ON) ReplyDecided(q);
    return r == DECIDED_TRUE;
}

int ReplyCodeTransient(const char *code) {
    static const char *const Transient[] = {"421", "425", "426", "450", "451", "452"};
    for (const char *t : Transient)
        if (strncmp(code, t, 3) == 0) return 1;
    return 0;
}

int AwaitReply(PlatWindow hDlg, QELTA *q, const char *code) {
    if (!FillControlBuffer(q)) return ControlConnectionLost(q) ? AWAIT_TRANSIENT : AWAIT_FAILED;
    int ok = CheckFor(hDlg, code, q->ReplyLength, q);
    if (q->ErrorText[0] != 0) return ReplyCodeTransient(q->ErrorText) ? AWAIT_TRANSIENT : AWAIT_FAILED;
    return ok ? AWAIT_MATCHED : AWAIT_PENDING;
}

int AwaitOutcome(int got) {
    if (got == AWAIT_PENDING || got == AWAIT_MATCHED) return OUTCOME_WORKING;
    return got == AWAIT_TRANSIENT ? OUTCOME_TRANSIENT : OUTCOME_FAILED;
}

int OutcomeAwait(int outcome) {
    if (outcome == OUTCOME_WORKING) return AWAIT_PENDING;
    return outcome == OUTCOME_TRANSIENT ? AWAIT_TRANSIENT : AWAIT_FAILED;
}
