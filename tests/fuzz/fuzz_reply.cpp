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

#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "ftp/ftp.h"

namespace {

const char *const ExpectedCodes[] = {
    "220 ", "331 ", "230 ", "250 ", "257 ", "200 ", "221 ", "226 ",
    "150 ", "227 ", "213 ", "350 ", "125 ", "530 ", "550 ", "421 ",
};

enum { ID_NLST = 6, ID_LIST = 11, ID_STOR = 13, ID_RETR = 14, ID_DELR = 19 };

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
void ReaderStart() { ResetCarryOver(); }

// A command line went out and its reply is awaited.
void ReaderAwait(QELTA *q) { q->ErrorText[0] = 0; }

int ReaderFill(QELTA *q) { return FillControlBuffer(q); }

int ReaderCheck(QELTA *q, const char *expected) {
    return CheckFor(nullptr, expected, q->ReplyLength, q);
}

// ---- the model ------------------------------------------------------------------

bool PassesOverPreliminary(int id) {
    return id == ID_RETR || id == ID_LIST || id == ID_STOR || id == ID_NLST;
}

bool IsCode(const std::string &s, size_t p) {
    return p + 4 <= s.size() && s[p] >= '1' && s[p] <= '5' && s[p + 1] >= '0' &&
           s[p + 1] <= '9' && s[p + 2] >= '0' && s[p + 2] <= '9' && s[p + 3] == ' ';
}

bool LineStart(const std::string &s, size_t p) { return p == 0 || s[p - 1] == '\n'; }

// What the reader owes one read [from, to): the reply codes at line starts
// that this read completes, in order. A code cut across reads counts in
// the read that completes it, unless the read it began in already handed
// over a final code (the reader keeps one code per read; what follows the
// first final one in the same read is dropped, cut or not).
struct ReadModel {
    std::string firstFinal;   // the first 2xx..5xx code, "" when none
    std::vector<std::string> preliminary;
    bool carriedPreliminary = false;  // a 1xx code begun in an earlier read
};

struct PastRead {
    size_t from;
    bool gaveFinal;
};

bool BeganAfterFinal(const std::vector<PastRead> &reads, size_t p) {
    for (size_t k = reads.size(); k-- > 0;)
        if (reads[k].from <= p) return reads[k].gaveFinal;
    return false;
}

ReadModel ModelRead(const std::string &s, const std::vector<PastRead> &reads, size_t from,
                    size_t to, int id) {
    ReadModel m;
    size_t first = from >= 3 ? from - 3 : 0;
    for (size_t p = first; p + 4 <= to; p++) {
        if (!LineStart(s, p) || !IsCode(s, p)) continue;
        if (p < from && BeganAfterFinal(reads, p)) continue;
        std::string code = s.substr(p, 4);
        if (code[0] == '1') {
            if (PassesOverPreliminary(id)) continue;
            m.preliminary.push_back(code);
            if (p < from) m.carriedPreliminary = true;
        } else if (m.firstFinal.empty()) {
            m.firstFinal = code;
        }
    }
    return m;
}

// The last line of the stream as the reader keeps it: NUL bytes left
// out, cut at the member's size.
std::string ModelReplyLine(const std::string &s) {
    size_t start = 0;
    if (s.size() >= 2) {
        size_t lf = s.rfind('\n', s.size() - 2);
        if (lf != std::string::npos) start = lf + 1;
    }
    std::string line;
    for (size_t i = start; i < s.size() && line.size() + 1 < sizeof(QELTA::LastReplyLine); i++)
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
    std::string stream;    // every byte the server wrote
    std::vector<PastRead> reads;
    size_t consumed = 0;   // of them, read by the client
};

void CheckRead(Run *run, size_t from, size_t to, int result) {
    QELTA *q = &run->rig->q;
    FUZZ_CHECK(result != -1, "FillControlBuffer failed on a socket with data: %s", q->ErrorText);
    FUZZ_CHECK(Terminated(q->ErrorText, sizeof q->ErrorText), "ErrorText unterminated");
    // CheckFor empties the buffer, except where an override decides early.
    FUZZ_CHECK(Terminated(q->ReplyBuffer, 5), "reply buffer unterminated");
    FUZZ_CHECK(q->ReplyBuffer[0] == 0 || IsCode(q->ReplyBuffer, 0), "reply buffer \"%s\"",
               Shown(q->ReplyBuffer).c_str());
    FUZZ_CHECK(Terminated(q->LastReplyLine, sizeof q->LastReplyLine), "LastReplyLine unterminated");
    std::string line = ModelReplyLine(run->stream.substr(0, to));
    FUZZ_CHECK(line == q->LastReplyLine, "last reply line \"%s\", want \"%s\"",
               Shown(q->LastReplyLine).c_str(), Shown(line).c_str());
}

// The code FillControlBuffer handed over for the read [from, to).
void CheckCode(Run *run, size_t from, size_t to, const std::string &got) {
    ReadModel m = ModelRead(run->stream, run->reads, from, to, run->id);
    run->reads.push_back({from, got.size() == 4 && got[0] != '1'});
    if (!m.firstFinal.empty()) {
        // A 1xx completed by this read stands in front of the final code
        // that came with it: recorded in crashes-found/reply-carried-preliminary.
        bool known = m.carriedPreliminary && got.size() == 4 && got[0] == '1';
        if (KnownFinding(known)) return;
        FUZZ_CHECK(got == m.firstFinal, "read \"%s\" (id %d) gave \"%s\", want \"%s\"",
                   Shown(run->stream.substr(from, to - from)).c_str(), run->id, got.c_str(),
                   m.firstFinal.c_str());
    } else if (!m.preliminary.empty()) {
        bool listed = false;
        for (const std::string &c : m.preliminary) listed = listed || c == got;
        FUZZ_CHECK(listed, "read gave \"%s\", want one of its 1xx codes", got.c_str());
    } else {
        FUZZ_CHECK(got.empty(), "read \"%s\" (id %d) gave \"%s\", want none",
                   Shown(run->stream.substr(from, to - from)).c_str(), run->id, got.c_str());
    }
}

// Reads until the socket is empty, each read as an executor handles it.
void Drain(Run *run) {
    QELTA *q = &run->rig->q;
    int fd = (int)q->Socket.Control;
    int before;
    while ((before = Pending(fd)) > 0) {
        size_t from = run->consumed;
        // FillControlBuffer overwrites the buffer with the bare code; the
        // code is taken between its two steps.
        if (!ReaderFill(q)) CheckRead(run, from, from, -1);
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
        CheckCode(run, from, to, got);
        int result = ReaderCheck(q, run->expected);
        CheckRead(run, from, to, result);
        // A decided command is followed by the next one.
        if (result == 1 || q->ErrorText[0] != 0) ReaderAwait(q);
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
    if (q->ReturnIndex && q->CommandId == ID_DELR) q->_550DeleteOverRide = 1;
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
    ReaderAwait(q);
    FUZZ_CHECK(ReaderFill(q) == 1, "an empty read failed: %s", q->ErrorText);
    FUZZ_CHECK(q->ReplyBuffer[0] == 0 && q->LastSocketError == QWSAEWOULDBLOCK, "empty read");

    for (size_t k = 0; k < cuts && at < size; k++) {
        if (cut[k] & 0x80) ReaderAwait(q);
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
