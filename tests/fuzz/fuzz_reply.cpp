// The control connection's reading fed bytes directly, with the reads cut
// where the input says. Each read goes through the connection layer and
// CheckFor as an executor calls them; the code handed over is compared
// with a plain model of the byte stream, a complete reply that no command
// asked for must fail the run (naming it) by the next read, and the log
// must hold exactly the bytes that arrived.
//
// Input: [command id] [expected code] [flags] [cut count n] [n cuts] body.
// A cut byte gives a chunk of (c & 0x7f) + 1 body bytes; its top bit says
// the next command was sent before that chunk arrived. What the cuts leave
// of the body arrives as the last chunk. The flags' top bit sends a line
// ahead with the first command: the command after it takes that line's
// reply (bit 5 of the id byte) or is another, which skips it.
// QELTA_FUZZ_TRACE=1 prints each read and the code it gave.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "ftp/ftp.h"
#include "session/commandids.h"

namespace {

const char *const ExpectedCodes[] = {
    "220 ", "331 ", "230 ", "250 ", "257 ", "200 ", "221 ", "226 ",
    "150 ", "227 ", "213 ", "350 ", "125 ", "530 ", "550 ", "421 ",
};

const char StrayText[] = "Reply from the server that no command asked for: ";

struct Rig {
    QELTA q;
    std::string logPath, errPath;
};

Rig *TheRig() {
    static Rig *rig = [] {
        Rig *r = new Rig();
        BlankSession(&r->q);
        r->q.Socket.Control = -1;
        r->logPath = FuzzDir() + "/reply.log";
        r->errPath = FuzzDir() + "/reply.err";
        r->q.LogHandle = open(r->logPath.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
        r->q.ErrorLogHandle = open(r->errPath.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
        if (r->q.LogHandle < 0 || r->q.ErrorLogHandle < 0) abort();
        return r;
    }();
    return rig;
}

// ---- the reader's calls, all of them here ---------------------------------------

// A new input is a new connection.
void ReaderStart(QELTA *q) {
    if (!ResetReplyReader(q)) abort();
}

// A command line went out and its reply is awaited.
void ReaderAwait(QELTA *q) {
    q->ErrorText[0] = 0;
    ExpectReply(q);
}

int ReaderFill(QELTA *q, const char *data, size_t n) { return ControlBytesArrived(q, data, n); }

int ReaderCheck(QELTA *q, const char *expected) {
    return CheckFor(nullptr, expected, q->ReplyLength, q);
}

// ---- the model ------------------------------------------------------------------

bool PassesOverPreliminary(int id) {
    return id == CMD_RETR || id == CMD_LIST || id == CMD_STOR || id == CMD_NLST;
}

bool IsCodeWith(const std::string &s, size_t p, char sep) {
    return p + 4 <= s.size() && s[p] >= '1' && s[p] <= '5' && s[p + 1] >= '0' &&
           s[p + 1] <= '9' && s[p + 2] >= '0' && s[p + 2] <= '9' && s[p + 3] == sep;
}

bool IsCode(const std::string &s, size_t p) { return IsCodeWith(s, p, ' '); }

// A complete reply in the stream: where its first line starts, where its
// last line starts and ends, and its code.
struct ModelReply {
    size_t start, lastLine, end;
    std::string code;
};

// Every complete reply of the stream, by its lines: "ddd " alone, or
// "ddd-" up to the first line that starts with the same "ddd ".
std::vector<ModelReply> ModelReplies(const std::string &s) {
    std::vector<ModelReply> out;
    std::string open;
    size_t openStart = 0;
    for (size_t p = 0; p < s.size();) {
        size_t lf = s.find('\n', p);
        if (lf == std::string::npos) break;
        if (!open.empty()) {
            if (s.compare(p, 3, open) == 0 && p + 3 < s.size() && s[p + 3] == ' ') {
                out.push_back({openStart, p, lf + 1, open + " "});
                open.clear();
            }
        } else if (IsCode(s, p) && p + 4 <= lf + 1) {
            out.push_back({p, p, lf + 1, s.substr(p, 4)});
        } else if (IsCodeWith(s, p, '-') && p + 4 <= lf + 1) {
            open = s.substr(p, 3);
            openStart = p;
        }
        p = lf + 1;
    }
    return out;
}

// CheckFor's rules, reduced to what decides: the expected code, its
// substitutes, and every refusal (a failure, or an override that accepts).
bool Decisive(const std::string &code, const char *expected, int id) {
    static const char *const Pairs[][2] = {{"226 ", "250 "}, {"331 ", "230 "}, {"200 ", "250 "},
                                           {"250 ", "200 "}, {"150 ", "125 "}};
    if (code == expected || code[0] == '4' || code[0] == '5') return true;
    for (const auto &pair : Pairs)
        if (code == pair[1] && strcmp(expected, pair[0]) == 0) return true;
    if (id == CMD_PASS && code == "332 " && strcmp(expected, "230 ") == 0) return true;
    if (id == CMD_RDIR && code == "257 " && strcmp(expected, "250 ") == 0) return true;
    return false;
}

// A reply's last line as the reader keeps it: its first 512 bytes without
// NUL bytes, cut at the member's size.
std::string ModelReplyLine(const std::string &s, const ModelReply &r) {
    std::string line;
    size_t stop = std::min(r.end, r.lastLine + 512);
    for (size_t i = r.lastLine; i < stop && line.size() + 1 < sizeof(QELTA::LastReplyLine); i++)
        if (s[i] != 0) line.push_back(s[i]);
    return line;
}

// The one-line text a stray reply is named by: its last line's first 512
// bytes without NUL, CR or LF, cut at 119.
std::string ModelStrayText(const std::string &s, const ModelReply &r) {
    std::string line;
    size_t stop = std::min(r.end, r.lastLine + 512);
    for (size_t i = r.lastLine; i < stop && line.size() < 119; i++)
        if (s[i] != 0 && s[i] != '\r' && s[i] != '\n') line.push_back(s[i]);
    return line;
}

// ---- one input ----------------------------------------------------------------------

struct Run {
    Rig *rig = nullptr;
    int id = 0;
    const char *expected = nullptr;
    std::string stream;   // every byte the server wrote
    size_t consumed = 0;  // of them, read by the client
    size_t armedAt = 0;   // where the stream stood when the command went out
    std::string lastLine; // the last reply line the reader should keep
    // Each command's window: from where it went out to the end of the
    // reply that decided it (or the next command).
    std::vector<std::pair<size_t, size_t>> windows;
    bool failed = false;  // a stray reply ended the run
    // A line sent ahead: 1 until the first command is decided, 2 once its
    // reply is owed; whether the next command takes it.
    int ahead = 0;
    bool take = false;
    size_t skipFrom = 0;  // replies ending past here are skipped,
    int skipCount = 0;    // the first this many final ones
};

const size_t Open = (size_t)-1;

// Where skipping ends: the end of the last of the first skipCount final
// replies that end past skipFrom (Open while they have not all come).
// Those are the answers to lines no command waits for; no reply begun
// before that end is the current command's.
size_t SkipEnd(const Run *run, const std::vector<ModelReply> &all) {
    int n = 0;
    for (const ModelReply &o : all)
        if (o.end > run->skipFrom && o.code[0] != '1' && ++n == run->skipCount) return o.end;
    return run->skipCount == 0 ? 0 : Open;
}

bool IsSkipped(const Run *run, const std::vector<ModelReply> &all, const ModelReply &r) {
    return run->skipCount > 0 && r.code[0] != '1' && r.end > run->skipFrom &&
           r.end <= SkipEnd(run, all);
}

// A complete reply that no command asked for: not begun and ended inside
// one command's window, neither preliminary nor a 421.
bool IsStray(const Run *run, const ModelReply &r) {
    if (r.code[0] == '1' || r.code == "421 ") return false;
    for (const auto &w : run->windows)
        if (r.start >= w.first && r.start < w.second && (w.second == Open || r.end <= w.second))
            return false;
    return true;
}

// The first stray reply that ended by `to`, or null.
const ModelReply *FirstStray(const Run *run, const std::vector<ModelReply> &all, size_t to) {
    for (const ModelReply &r : all)
        if (r.end <= to && IsStray(run, r) && !IsSkipped(run, all, r)) return &r;
    return nullptr;
}

// The replies of the current command that the read [from, to) completes,
// in order: begun after the command went out, 1xx left out where the
// command passes over them.
std::vector<ModelReply> Owned(const Run *run, size_t from, size_t to) {
    std::vector<ModelReply> owned;
    std::vector<ModelReply> all = ModelReplies(run->stream.substr(0, to));
    for (const ModelReply &r : all)
        if (r.end > from && r.start >= run->armedAt && !IsSkipped(run, all, r) &&
            (r.end <= run->skipFrom || SkipEnd(run, all) == 0 || r.start >= SkipEnd(run, all)) &&
            !(r.code[0] == '1' && PassesOverPreliminary(run->id)))
            owned.push_back(r);
    return owned;
}

// The read [from, to) handed over `got` and CheckFor answered `result`.
void CheckRead(Run *run, size_t from, size_t to, const std::string &got, int result) {
    QELTA *q = &run->rig->q;
    FUZZ_CHECK(Terminated(q->ErrorText, sizeof q->ErrorText), "ErrorText unterminated");
    FUZZ_CHECK(Terminated(q->LastReplyLine, sizeof q->LastReplyLine), "LastReplyLine unterminated");
    std::vector<ModelReply> owned = Owned(run, from, to);
    std::string want = owned.empty() ? "" : owned[0].code;
    FUZZ_CHECK(got == want, "read \"%s\" (id %d) gave \"%s\", want \"%s\"",
               Shown(run->stream.substr(from, to - from)).c_str(), run->id, got.c_str(),
               want.c_str());
    // The first decisive reply decides; without one, every reply was seen.
    const ModelReply *decider = nullptr;
    for (const ModelReply &r : owned) {
        run->lastLine = ModelReplyLine(run->stream, r);
        if (Decisive(r.code, run->expected, run->id)) {
            decider = &r;
            break;
        }
    }
    bool decided = result == 1 || q->ErrorText[0] != 0;
    if (decider != nullptr && !run->windows.empty()) run->windows.back().second = decider->end;
    FUZZ_CHECK(decided == (decider != nullptr), "read \"%s\" (id %d, expecting \"%s\"): %s",
               Shown(run->stream.substr(from, to - from)).c_str(), run->id, run->expected,
               decided ? "decided without a decisive reply" : "a decisive reply was missed");
    FUZZ_CHECK(run->lastLine == q->LastReplyLine, "last reply line \"%s\", want \"%s\"",
               Shown(q->LastReplyLine).c_str(), Shown(run->lastLine).c_str());
    if (result == 0 && q->ErrorText[0] != 0)
        FUZZ_CHECK(run->lastLine.compare(0, sizeof q->ErrorText - 1, q->ErrorText) == 0,
                   "refusal text \"%s\" is not the reply's line", Shown(q->ErrorText).c_str());
}

void Arm(Run *run) {
    // Another command than the one sent ahead: that line's reply (and,
    // undecided, the first command's) will be skipped.
    if (run->ahead == 1) {
        run->skipFrom = run->consumed;
        run->skipCount = 2;
    } else if (run->ahead == 2) {
        run->skipFrom = run->windows.back().second;
        run->skipCount = 1;
    }
    run->ahead = 0;
    ReaderAwait(&run->rig->q);
    run->armedAt = run->consumed;
    if (!run->windows.empty() && run->windows.back().second == Open)
        run->windows.back().second = run->consumed;
    run->windows.push_back({run->consumed, Open});
}

// A failure must be over the first stray reply the model knows by `to`.
void CheckStrayFailure(Run *run, size_t to) {
    QELTA *q = &run->rig->q;
    std::vector<ModelReply> all = ModelReplies(run->stream.substr(0, to));
    const ModelReply *stray = FirstStray(run, all, to);
    FUZZ_CHECK(stray != nullptr, "failed with \"%s\" and no stray reply in \"%s\"",
               Shown(q->ErrorText).c_str(), Shown(run->stream.substr(0, to)).c_str());
    std::string want = std::string(StrayText) + ModelStrayText(run->stream, *stray) + "\r\n";
    want = want.substr(0, sizeof q->ErrorText - 1);
    FUZZ_CHECK(want == q->ErrorText, "stray text \"%s\", want \"%s\"",
               Shown(q->ErrorText).c_str(), Shown(want).c_str());
    run->failed = true;
}

void CheckRead(Run *run, size_t from, size_t to, const std::string &got, int result);

// The command whose line went ahead takes its reply: its window begins
// where the first command's reply ended, and what is held behind that is
// handled as a read.
void Take(Run *run) {
    QELTA *q = &run->rig->q;
    size_t from = run->windows.back().second;
    run->ahead = 0;
    q->ErrorText[0] = 0;
    int held = TakeReplyAhead(q);
    FUZZ_CHECK(held == (from < run->consumed), "held %d with %zu bytes behind", held,
               run->consumed - from);
    run->armedAt = from;
    run->windows.push_back({from, Open});
    if (!held) return;
    q->ReplyBuffer[0] = 0;
    q->ReplyLength = 4;
    NextQueuedReply(q);
    std::string got = q->ReplyBuffer;
    int result = ReaderCheck(q, run->expected);
    CheckRead(run, from, run->consumed, got, result);
    if (result == 1 || q->ErrorText[0] != 0) Arm(run);
}

// Feeds the bytes as reads of at most ControlReadSize, each as an executor
// handles it.
void Drain(Run *run, size_t n) {
    QELTA *q = &run->rig->q;
    while (n > 0 && !run->failed) {
        size_t from = run->consumed;
        size_t take = std::min(n, (size_t)ControlReadSize);
        size_t to = from + take;
        n -= take;
        run->consumed = to;
        if (ReaderFill(q, run->stream.data() + from, take) != 1) {
            CheckStrayFailure(run, to);
            return;
        }
        // What ended by the read before must have been reported by now.
        std::vector<ModelReply> all = ModelReplies(run->stream.substr(0, from));
        const ModelReply *late = FirstStray(run, all, from);
        FUZZ_CHECK(late == nullptr, "stray reply \"%s\" not reported",
                   Shown(run->stream.substr(late ? late->start : 0, late ? late->end - late->start
                                                                         : 0)).c_str());
        static const bool trace = getenv("QELTA_FUZZ_TRACE") != nullptr;
        if (trace)
            fprintf(stderr, "read \"%s\" -> \"%s\"\n",
                    Shown(run->stream.substr(from, to - from)).c_str(), q->ReplyBuffer);
        FUZZ_CHECK(to > from, "a read took nothing");
        FUZZ_CHECK(q->ReplyLength == 4, "ReplyLength %d", q->ReplyLength);
        FUZZ_CHECK(Terminated(q->ReplyBuffer, 5), "reply code unterminated");
        std::string got = q->ReplyBuffer;
        FUZZ_CHECK(got.empty() || IsCode(got, 0), "reply code \"%s\"", Shown(got).c_str());
        int result = ReaderCheck(q, run->expected);
        CheckRead(run, from, to, got, result);
        // A decided command is followed by the next one.
        if (result == 1 || q->ErrorText[0] != 0) {
            if (run->ahead == 1) {
                FUZZ_CHECK(ReplyAheadOwed(q), "the line sent ahead is not owed its reply");
                run->ahead = 2;
            }
            if (run->ahead == 2 && run->take)
                Take(run);
            else
                Arm(run);
        }
    }
}

void Deliver(Run *run, const uint8_t *p, size_t n) {
    run->stream.append((const char *)p, n);
    Drain(run, n);
}

void ResetFiles(Rig *rig) {
    for (intptr_t fd : {rig->q.LogHandle, rig->q.ErrorLogHandle}) {
        if (ftruncate((int)fd, 0) != 0 || lseek((int)fd, 0, SEEK_SET) != 0) abort();
    }
}

void SetUp(Rig *rig, const uint8_t *data) {
    QELTA *q = &rig->q;
    intptr_t log = q->LogHandle, err = q->ErrorLogHandle;
    BlankSession(q);
    q->Socket.Control = -1;
    q->LogHandle = log;
    q->ErrorLogHandle = err;
    q->CommandId = data[0] % 32;
    uint8_t flags = data[2];
    q->DebugEx = flags & 1;
    q->ReturnIndex = (flags >> 1) & 1;
    q->_550DeleteOverRide = (flags >> 2) & 1;
    q->DELR550OverRide = (flags >> 3) & 1;
    q->DirCmdCanDoNothing = (flags >> 4) & 1;
    q->PassRetryCount = (flags >> 5) & 1;
    q->ExpectedSize = (flags & 0x40) ? 1234 : 0;
    // That combination asks the operator through a message box, which
    // would wait on a terminal.
    if (q->ReturnIndex && q->CommandId == CMD_DELR) q->_550DeleteOverRide = 1;
    ResetFiles(rig);
    ReaderStart(q);
}

bool IsSubsequence(const std::string &part, const std::string &whole) {
    size_t j = 0;
    for (size_t i = 0; i < whole.size() && j < part.size(); i++)
        if (whole[i] == part[j]) j++;
    return j == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    Rig *rig = TheRig();
    SetUp(rig, data);
    QELTA *q = &rig->q;
    Run run;
    run.rig = rig;
    run.id = q->CommandId;
    run.expected = ExpectedCodes[data[1] % 16];
    size_t cuts = data[3] % 17;
    size_t at = 4 + cuts;
    if (at > size) return 0;
    const uint8_t *cut = data + 4;

    Arm(&run);
    if (data[2] & 0x80) {
        ReplyAheadSent(q);
        run.ahead = 1;
        run.take = (data[0] & 0x20) != 0;
    }
    for (size_t k = 0; k < cuts && at < size && !run.failed; k++) {
        if (cut[k] & 0x80) Arm(&run);
        size_t n = (size_t)(cut[k] & 0x7f) + 1;
        if (n > size - at) n = size - at;
        Deliver(&run, data + at, n);
        at += n;
    }
    if (at < size && !run.failed) Deliver(&run, data + at, size - at);
    if (!run.failed) {
        // The next send's drain reports what the last read left; that send
        // is not the line sent ahead.
        if (run.ahead != 0) Arm(&run);
        size_t end = run.consumed;
        if (DrainUnsolicited(q) == 0)
            CheckStrayFailure(&run, end);
        else
            FUZZ_CHECK(FirstStray(&run, ModelReplies(run.stream), end) == nullptr,
                       "a stray reply was never reported");
    }

    std::string log = FileBytes(rig->logPath);
    std::string arrived = run.stream.substr(0, run.consumed);
    if (q->DebugEx)
        FUZZ_CHECK(IsSubsequence(arrived, log), "the log lost reply bytes");
    else
        FUZZ_CHECK(log == arrived, "log holds %zu bytes \"%s\", %zu arrived", log.size(),
                   Shown(log.substr(0, 200)).c_str(), arrived.size());
    return 0;
}
