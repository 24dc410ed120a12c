// The checks after a transfer (Verify=1) and the publishing of an upload
// under a temporary name (UploadTempName=1): a short exchange on the
// control connection once the server has called the transfer complete,
// one step at a time, each with its line and the reading of its reply.
#include "transfer/verify.h"

#include <cstring>

#include "base/text.h"
#include "ftp/features.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "session/command.h"
#include "session/settings.h"
#include "transfer/transfer.h"

namespace {

enum Step { STEP_NONE, STEP_FEAT, STEP_SIZE, STEP_OPTS, STEP_HASH, STEP_RNFR, STEP_RNTO, STEP_DELE };

// The ways to ask a server for its hash of a file, in the order they are
// preferred: HASH with SHA-256, the X commands, then HASH with another
// algorithm.
struct HashWay {
    const char *Verb;
    int Needs;     // FEAT_ bits that must all be offered
    int Kind;      // DIGEST_
    int Form;      // HASH_FORM_
    const char *Algorithm;  // HASH's name of it
};
const HashWay Ways[] = {
    {"HASH", FEAT_HASH | FEAT_HASH_SHA256, DIGEST_SHA256, HASH_FORM_HASH, "SHA-256"},
    {"XSHA256", FEAT_XSHA256, DIGEST_SHA256, HASH_FORM_X, ""},
    {"XSHA1", FEAT_XSHA1, DIGEST_SHA1, HASH_FORM_X, ""},
    {"XMD5", FEAT_XMD5, DIGEST_MD5, HASH_FORM_X, ""},
    {"XCRC", FEAT_XCRC, DIGEST_CRC32, HASH_FORM_X, ""},
    {"HASH", FEAT_HASH | FEAT_HASH_SHA1, DIGEST_SHA1, HASH_FORM_HASH, "SHA-1"},
    {"HASH", FEAT_HASH | FEAT_HASH_MD5, DIGEST_MD5, HASH_FORM_HASH, "MD5"},
    {"HASH", FEAT_HASH | FEAT_HASH_CRC32, DIGEST_CRC32, HASH_FORM_HASH, "CRC32"},
};
enum { NO_WAY = -1 };

int ChooseWay(int features) {
    for (int i = 0; i < (int)(sizeof Ways / sizeof Ways[0]); i++)
        if ((features & Ways[i].Needs) == Ways[i].Needs) return i;
    return NO_WAY;
}

const char *const Refused = "User Selected No to Debug Message\r\n";

// The lines of a step's reply as they come: a FEAT reply's features, any
// other step's last line (its 213).
void TakeFeatureLine(QELTA *q, const char *line, size_t n) {
    q->Verify.Features |= FeatureLineBits(line, n);
}
void TakeStepLine(QELTA *q, const char *line, size_t n) {
    size_t keep = n < sizeof q->Verify.Reply - 1 ? n : sizeof q->Verify.Reply - 1;
    memcpy(q->Verify.Reply, line, keep);
    q->Verify.Reply[keep] = 0;
}

int SendStepLine(QELTA *q, int step, const char *line, ReplyLineWatcher watcher) {
    q->Verify.Step = step;
    q->Verify.Reply[0] = 0;
    int sent = SendControlLine(q, line, nullptr, Refused, "Winsock Error %d On send() after a transfer\r\n");
    if (sent != OUTCOME_WORKING) return sent;
    WatchReplyLines(q, watcher);
    return OUTCOME_WORKING;
}

// The code of the step's final reply into code: 1 when one came, 0 while
// none has, -1 on a read failure (ErrorText set).
int ReadStepReply(QELTA *q, char code[4]) {
    if (!FillControlBuffer(q)) return -1;
    if (q->ReplyBuffer[0] == 0) return 0;
    memcpy(code, q->ReplyBuffer, 3);
    code[3] = 0;
    q->ReplyBuffer[0] = 0;
    ReplyDecided(q);
    return 1;
}

// 500 to 502: the server does not know the command, whatever FEAT said.
int NotImplemented(const char *code) { return code[0] == '5' && code[1] == '0' && code[2] <= '2'; }

void Say(QELTA *q, const char *text) {
    if (q->Verify.Said[0]) AppendCut(q->Verify.Said, sizeof q->Verify.Said, ", ");
    AppendCut(q->Verify.Said, sizeof q->Verify.Said, text);
}

// ErrorText: what failed, and the file's name last, so that a long name
// is what gets cut.
int Fail(QELTA *q, const char *what) {
    FormatNameFailure(q, what, q->Verify.Sent, "\r\n");
    return AFTER_FAILED;
}

// The server's last line, without its line end.
void LastLine(const QELTA *q, char *out, size_t size) {
    CopyCut(out, size, q->LastReplyLine);
    out[strcspn(out, "\r\n")] = 0;
}

// A reply the check cannot go on with: a refusal, or a 213 without a value.
int Refusal(QELTA *q, const char *verb) {
    char what[200];
    char line[120];
    LastLine(q, line, sizeof line);
    FORMATCUT(what, "Verification stopped: %s answered \"%s\"; file ", verb, line);
    return Fail(q, what);
}

int Dirty(const QELTA *q) { return q->Verify.Failure[0] != 0; }

}  // namespace

// ---- FEAT --------------------------------------------------------------------------

int FeaturesDue(const QELTA *q) { return SettingOn(q, SET_VERIFY) && !q->Verify.FeaturesAsked; }

int FeaturesAsking(const QELTA *q) { return q->Verify.Step == STEP_FEAT; }

int AskFeatures(QELTA *q, const char *name) {
    q->Verify.FeaturesAsked = 1;
    q->Verify.Features = 0;
    return SendStepLine(q, STEP_FEAT, "FEAT\r\n", TakeFeatureLine);
}

int FeaturesReply(QELTA *q) {
    char code[4];
    int got = ReadStepReply(q, code);
    if (got == 0) return AWAIT_PENDING;
    if (got < 0) return ControlConnectionLost(q) ? AWAIT_TRANSIENT : AWAIT_FAILED;
    q->Verify.Step = STEP_NONE;
    // A server that does not know FEAT offers nothing to check with.
    if (code[0] != '2') q->Verify.Features = 0;
    return AWAIT_MATCHED;
}

// ---- Temporary names ---------------------------------------------------------------

int RemoteTempName(const char *remote, char *out, size_t size) {
    return FormatCut(out, size, "%s.qpart", remote);
}

int UploadUnderTempName(const QELTA *q) {
    return SettingOn(q, SET_UPLOADTEMPNAME) && q->AppeMode != 1 && q->StouMode != 1;
}

static int Renaming(const QELTA *q) {
    return q->Verify.Direction == XFER_SEND && strcmp(q->Verify.Sent, q->RemoteName) != 0;
}

// ---- The transfer ------------------------------------------------------------------

void BeginTransferCheck(QELTA *q, int direction, const char *sent) {
    auto &v = q->Verify;
    v.Step = STEP_NONE;
    v.Direction = direction;
    v.Append = q->AppeMode == 1;
    v.Said[0] = v.Hash[0] = v.Failure[0] = 0;
    COPYCUT(v.Sent, sent);
    v.Via = NO_WAY;
    // In TYPE A the bytes that move are the server's translation of its
    // file; an APPE's hash covers what the file held before.
    if (SettingOn(q, SET_VERIFY) && q->TransferType == 'I' && !v.Append) v.Via = ChooseWay(v.Features);
    DigestInit(&v.Local, v.Via == NO_WAY ? DIGEST_NONE : Ways[v.Via].Kind);
}

static uint64_t BytesMoved(const QELTA *q) {
    return q->Verify.Direction == XFER_RECEIVE ? q->Receive.BytesReceived : q->Send.BytesSent;
}

// ---- The steps ---------------------------------------------------------------------

static int StartStep(QELTA *q, int step);

static int Rename(QELTA *q) { return Renaming(q) ? StartStep(q, STEP_RNFR) : AFTER_DONE; }

static int Verified(QELTA *q) {
    char line[sizeof q->Verify.Said + 200];
    FORMATCUT(line, "Verified %s: %s\r\n", q->Verify.Sent, q->Verify.Said);
    LogText(q, line);
    return Rename(q);
}

static int AfterSize(QELTA *q) {
    auto &v = q->Verify;
    if (v.Via == NO_WAY) {
        Say(q, v.Append ? "no hash compared (APPE adds to what the file held)" : "the server offers no hash");
        return Verified(q);
    }
    // The hash here saw only the bytes after the part kept.
    if (q->Resume.Offset > 0) {
        Say(q, "no hash compared (the transfer continued a part kept before)");
        return Verified(q);
    }
    DigestFinal(&v.Local, v.Hash, sizeof v.Hash);
    const HashWay &w = Ways[v.Via];
    int select = w.Form == HASH_FORM_HASH && q->Verify.HashOption != w.Kind;
    return StartStep(q, select ? STEP_OPTS : STEP_HASH);
}

static int SizeReply(QELTA *q, const char *code) {
    if (NotImplemented(code)) {
        Say(q, "size not compared (SIZE not implemented)");
        return AfterSize(q);
    }
    uint64_t size = 0;
    if (code[0] != '2') return Refusal(q, "SIZE");
    if (!ReadSizeReply(q->Verify.Reply, strlen(q->Verify.Reply), &size)) return Refusal(q, "SIZE");
    uint64_t moved = BytesMoved(q);
    // After an APPE the file holds what it held and what was added.
    if (size != moved && !(q->Verify.Append && size > moved)) {
        char what[160];
        FORMATCUT(what, "Size mismatch (SIZE): the server has %llu bytes, %llu were %s; file ",
                  (unsigned long long)size, (unsigned long long)moved,
                  q->Verify.Direction == XFER_RECEIVE ? "received" : "sent");
        return Fail(q, what);
    }
    char said[80];
    FORMATCUT(said, "size %llu (SIZE)", (unsigned long long)size);
    Say(q, said);
    return AfterSize(q);
}

static int OptsReply(QELTA *q, const char *code) {
    const HashWay &w = Ways[q->Verify.Via];
    if (code[0] != '2') {
        char said[80];
        FORMATCUT(said, "hash not compared (OPTS HASH %s refused)", w.Algorithm);
        Say(q, said);
        return Verified(q);
    }
    q->Verify.HashOption = w.Kind;
    return StartStep(q, STEP_HASH);
}

static int HashMismatch(QELTA *q, const HashWay &w, const char *server) {
    char what[220];
    FORMATCUT(what, "%s mismatch (%s): the server's is %s, the local one %s; file ", DigestName(w.Kind),
              w.Verb, server, q->Verify.Hash);
    return Fail(q, what);
}

static int HashReply(QELTA *q, const char *code) {
    const HashWay &w = Ways[q->Verify.Via];
    if (NotImplemented(code)) {
        char said[80];
        FORMATCUT(said, "hash not compared (%s not implemented)", w.Verb);
        Say(q, said);
        return Verified(q);
    }
    if (code[0] != '2') return Refusal(q, w.Verb);
    char server[DIGEST_HEX_SIZE];
    if (!ReadHashReply(q->Verify.Reply, strlen(q->Verify.Reply), w.Form, w.Algorithm,
                       DigestHexLength(w.Kind), server, sizeof server))
        return Refusal(q, w.Verb);
    if (strcmp(server, q->Verify.Hash) != 0) return HashMismatch(q, w, server);
    char said[DIGEST_HEX_SIZE + 40];
    FORMATCUT(said, "%s %s (%s)", DigestName(w.Kind), server, w.Verb);
    Say(q, said);
    return Verified(q);
}

static int RenameReply(QELTA *q, const char *code) {
    int from = q->Verify.Step == STEP_RNFR;
    if (code[0] != (from ? '3' : '2')) return Refusal(q, from ? "RNFR" : "RNTO");
    return from ? StartStep(q, STEP_RNTO) : AFTER_DONE;
}

// The temporary file is gone (or the server would not remove it): the
// upload's own failure is what the command ends with.
static int Removed(QELTA *q, const char *code) {
    if (code[0] != '2') {
        char line[200], said[120];
        LastLine(q, said, sizeof said);
        FORMATCUT(line, "The temporary file %s could not be removed: %s\r\n", q->Verify.Sent, said);
        LogText(q, line);
    }
    COPYCUT(q->ErrorText, q->Verify.Failure);
    return AFTER_FAILED;
}

// Each step's line.
static int StepLine(QELTA *q, int step, char *line, size_t size) {
    const auto &v = q->Verify;
    switch (step) {
    case STEP_SIZE: return FormatCut(line, size, "SIZE %s\r\n", v.Sent);
    case STEP_OPTS: return FormatCut(line, size, "OPTS HASH %s\r\n", Ways[v.Via].Algorithm);
    case STEP_HASH: return FormatCut(line, size, "%s %s\r\n", Ways[v.Via].Verb, v.Sent);
    case STEP_RNFR: return FormatCut(line, size, "RNFR %s\r\n", v.Sent);
    case STEP_RNTO: return FormatCut(line, size, "RNTO %s\r\n", q->RemoteName);
    case STEP_DELE: return FormatCut(line, size, "DELE %s\r\n", v.Sent);
    }
    return 0;
}

static int StartStep(QELTA *q, int step) {
    char line[200];
    if (!StepLine(q, step, line, sizeof line)) return Fail(q, "Name too long for a line after the transfer: ");
    return SendStepLine(q, step, line, TakeStepLine) == OUTCOME_WORKING ? AFTER_WORKING : AFTER_FAILED;
}

// A check failed: an upload under a temporary name removes it first.
static int Settle(QELTA *q, int result) {
    if (result == AFTER_FAILED && !Dirty(q) && UploadFailed(q) == AFTER_WORKING) return AFTER_WORKING;
    if (result == AFTER_FAILED && Dirty(q)) COPYCUT(q->ErrorText, q->Verify.Failure);
    if (result != AFTER_WORKING) q->Verify.Step = STEP_NONE;
    return result;
}

static int NotVerified(QELTA *q, const char *why) {
    char line[sizeof q->Verify.Sent + 120];
    FORMATCUT(line, "Not verified %s: %s\r\n", q->Verify.Sent[0] ? q->Verify.Sent : "(STOU)", why);
    LogText(q, line);
    return Settle(q, Rename(q));
}

int BeginAfterTransfer(QELTA *q) {
    if (!SettingOn(q, SET_VERIFY)) return Settle(q, Rename(q));
    if (q->Verify.Sent[0] == 0) return NotVerified(q, "the server chose the name");
    if (q->TransferType != 'I')
        return NotVerified(q, "in TYPE A the server may change line ends, so neither size nor hash was compared");
    return Settle(q, StartStep(q, STEP_SIZE));
}


int AfterTransferActive(const QELTA *q) { return q->Verify.Step > STEP_FEAT; }

int AfterTransferOutcome(const QELTA *q, int after) {
    if (after == AFTER_WORKING) return OUTCOME_WORKING;
    if (after == AFTER_DONE) return OUTCOME_DONE;
    // A refusal's own class stands once its temporary file is removed.
    return ControlConnectionLost(q) || ReplyCodeTransient(q->ErrorText) ? OUTCOME_TRANSIENT : OUTCOME_FAILED;
}

static int StepReply(QELTA *q, const char *code) {
    switch (q->Verify.Step) {
    case STEP_SIZE: return SizeReply(q, code);
    case STEP_OPTS: return OptsReply(q, code);
    case STEP_HASH: return HashReply(q, code);
    case STEP_RNFR:
    case STEP_RNTO: return RenameReply(q, code);
    case STEP_DELE: return Removed(q, code);
    }
    return AFTER_FAILED;
}

int AfterTransferEvent(QELTA *q, unsigned msg, unsigned ev) {
    if (msg != CONTROLMSG || ev != QFD_READ) return AFTER_WORKING;
    char code[4];
    int got = ReadStepReply(q, code);
    if (got == 0) return AFTER_WORKING;
    if (got < 0) return Settle(q, AFTER_FAILED);
    return Settle(q, StepReply(q, code));
}

int UploadFailed(QELTA *q) {
    if (!Renaming(q) || SettingOn(q, SET_RESUME) || q->Socket.Control == -1 || Dirty(q))
        return AFTER_FAILED;
    COPYCUT(q->Verify.Failure, q->ErrorText[0] ? q->ErrorText : "Upload failed\r\n");
    q->ErrorText[0] = 0;
    if (StartStep(q, STEP_DELE) == AFTER_WORKING) return AFTER_WORKING;
    COPYCUT(q->ErrorText, q->Verify.Failure);
    q->Verify.Step = STEP_NONE;
    return AFTER_FAILED;
}
