// The reply reader over a real socket pair, with the reads cut where the
// input says. Each read goes through FillControlBuffer and CheckFor as an
// executor calls them; the code the reader hands over is compared with a
// plain model of the byte stream, and the log must hold exactly the bytes
// that arrived.
//
// Input: [command id] [expected code] [flags] [cut count n] [n cuts] body.
// A cut byte gives a chunk of (c & 0x7f) + 1 body bytes; its top bit says
// the next command was sent before that chunk arrived. What the cuts leave
// of the body arrives as the last chunk. QELTA_FUZZ_TRACE=1 prints each
// read and the code it gave.
#include <sys/ioctl.h>
#include <sys/socket.h>

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

struct Rig {
    QELTA q;
    int server = -1;
    std::string logPath, errPath;
};

Rig *TheRig() {
    static Rig *rig = [] {
        Rig *r = new Rig();
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
        // The client's end never blocks, as in the program; the server's
        // end neither, so a large chunk is written between reads.
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        r->server = fds[1];
        BlankSession(&r->q);
        r->q.Socket.Control = fds[0];
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
void ReaderStart() { ResetReplyReader(); }

// A command line went out and its reply is awaited.
void ReaderAwait(QELTA *q) {
    q->ErrorText[0] = 0;
    ExpectReply(q);
}

int ReaderFill(QELTA *q) { return FillControlBuffer(q); }

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

int Pending(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) abort();
    return n;
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
};

// The replies of the current command that the read [from, to) completes,
// in order: begun after the command went out, 1xx left out where the
// command passes over them.
std::vector<ModelReply> Owned(const Run *run, size_t from, size_t to) {
    std::vector<ModelReply> owned;
    for (const ModelReply &r : ModelReplies(run->stream.substr(0, to)))
        if (r.end > from && r.start >= run->armedAt &&
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
    ReaderAwait(&run->rig->q);
    run->armedAt = run->consumed;
}

// Reads until the socket is empty, each read as an executor handles it.
void Drain(Run *run) {
    QELTA *q = &run->rig->q;
    int fd = (int)q->Socket.Control;
    int before;
    while ((before = Pending(fd)) > 0) {
        size_t from = run->consumed;
        FUZZ_CHECK(ReaderFill(q) == 1, "FillControlBuffer failed on a socket with data: %s",
                   q->ErrorText);
        size_t to = from + (size_t)(before - Pending(fd));
        run->consumed = to;
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
        if (result == 1 || q->ErrorText[0] != 0) Arm(run);
    }
}

void Deliver(Run *run, const uint8_t *p, size_t n) {
    run->stream.append((const char *)p, n);
    size_t done = 0;
    while (done < n) {
        ssize_t put = write(run->rig->server, p + done, n - done);
        if (put > 0) done += (size_t)put;
        else Drain(run);  // the pair is full
    }
    Drain(run);
}

void ResetFiles(Rig *rig) {
    for (intptr_t fd : {rig->q.LogHandle, rig->q.ErrorLogHandle}) {
        if (ftruncate((int)fd, 0) != 0 || lseek((int)fd, 0, SEEK_SET) != 0) abort();
    }
}

void SetUp(Rig *rig, const uint8_t *data) {
    QELTA *q = &rig->q;
    intptr_t control = q->Socket.Control, log = q->LogHandle, err = q->ErrorLogHandle;
    BlankSession(q);
    q->Socket.Control = control;
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
    ReaderStart();
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

    // A read event whose data was already taken is no failure.
    Arm(&run);
    FUZZ_CHECK(ReaderFill(q) == 1, "an empty read failed: %s", q->ErrorText);
    FUZZ_CHECK(q->ReplyBuffer[0] == 0 && q->LastSocketError == QWSAEWOULDBLOCK, "empty read");

    for (size_t k = 0; k < cuts && at < size; k++) {
        if (cut[k] & 0x80) Arm(&run);
        size_t n = (size_t)(cut[k] & 0x7f) + 1;
        if (n > size - at) n = size - at;
        Deliver(&run, data + at, n);
        at += n;
    }
    if (at < size) Deliver(&run, data + at, size - at);

    std::string log = FileBytes(rig->logPath);
    if (q->DebugEx)
        FUZZ_CHECK(IsSubsequence(run.stream, log), "the log lost reply bytes");
    else
        FUZZ_CHECK(log == run.stream, "log holds %zu bytes \"%s\", %zu arrived", log.size(),
                   Shown(log.substr(0, 200)).c_str(), run.stream.size());
    return 0;
}
