// The reply path: one server write into a real socket pair, then
// FillControlBuffer and CheckFor on the client's end, as the dialog does
// for every read event of the control connection. The log is a real file.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/app.h"
#include "bench_util.h"
#include "ftp/ftp.h"
#include "script/script.h"

namespace {

struct ReplySession {
    ScratchDir dir;
    QELTA *q = nullptr;
    int server = -1;

    ReplySession() {
        q = new QELTA();
        std::memset(q, 0, sizeof(*q));
        ResetSession(q);
        q->ErrorLogHandle = q->StatHandle = q->GeneratedScriptHandle = q->LocalFileHandle = -1;
        q->TransferType = 'A';
        q->LogHandle = open(dir.File("run.log").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
            q->Socket.Control = fds[0];
            server = fds[1];
        }
        ResetReplyReader();
    }
    ~ReplySession() {
        if (q->Socket.Control != -1) close((int)q->Socket.Control);
        if (server != -1) close(server);
        if (q->LogHandle != -1) close((int)q->LogHandle);
        delete q;
    }
    int Ready() const { return q->LogHandle != -1 && server != -1; }

    // The log would grow by every byte read; starting it over now and then
    // keeps it small without leaving the write path.
    void RewindLogEvery(int64_t i) {
        if ((i & 4095) == 0) lseek((int)q->LogHandle, 0, SEEK_SET);
    }
};

// A greeting as a multi-line 220 reply: six continuation lines and the
// final one, about 330 bytes, all in one read.
std::string Greeting() {
    std::string g;
    static const char *const Lines[] = {
        "220---------- Welcome to the loopback file service ----------\r\n",
        "220-You are user number 1 of 50 allowed.\r\n",
        "220-Local time is now 12:00. Server port: 21.\r\n",
        "220-This is a private system - No anonymous login\r\n",
        "220-IPv6 connections are also welcome on this server.\r\n",
        "220-You will be disconnected after 15 minutes of inactivity.\r\n",
        "220 Ready.\r\n",
    };
    for (const char *line : Lines) g += line;
    return g;
}

// 512 bytes that hold no reply code: letters only, in lines or in one
// unbroken run (the reply line kept for failure texts then stays full).
std::string Junk(int withLineEnds) {
    std::string j;
    while (j.size() < 512) {
        if (withLineEnds && j.size() % 64 == 62)
            j += "\r\n";
        else
            j += (char)('a' + j.size() % 26);
    }
    j.resize(512);
    return j;
}

void RunReplies(benchmark::State &state, const std::string &bytes, int commandId,
                const char *expected, int wanted) {
    ReplySession s;
    if (!s.Ready()) {
        state.SkipWithError("no socket pair or log file");
        return;
    }
    s.q->CommandId = commandId;
    int64_t i = 0;
    for (auto _ : state) {
        ExpectReply(s.q);  // as the send step does for each command
        if (write(s.server, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) {
            state.SkipWithError("server write failed");
            break;
        }
        if (!FillControlBuffer(s.q)) {
            state.SkipWithError(s.q->ErrorText);
            break;
        }
        int r = CheckFor(nullptr, expected, s.q->ReplyLength, s.q);
        if (r != wanted) {
            state.SkipWithError("unexpected CheckFor result");
            break;
        }
        s.RewindLogEvery(++i);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)bytes.size());
}

void BM_ReplyOneLine(benchmark::State &state) {
    RunReplies(state, "200 Type set to I.\r\n", CMD_TYPE, "200 ", 1);
}
BENCHMARK(BM_ReplyOneLine);

void BM_ReplyGreeting7Lines(benchmark::State &state) {
    RunReplies(state, Greeting(), CMD_CONN, "220 ", 1);
}
BENCHMARK(BM_ReplyGreeting7Lines);

// Arg 1: lines of 64 bytes; arg 0: one unbroken run.
void BM_ReplyJunk512(benchmark::State &state) {
    RunReplies(state, Junk((int)state.range(0)), CMD_TYPE, "200 ", 0);
}
BENCHMARK(BM_ReplyJunk512)->ArgName("lineEnds")->Arg(1)->Arg(0);

// The floor under the figures above: the same write and a bare recv of
// 512, with nothing parsed and nothing logged.
void BM_SocketPairFloor(benchmark::State &state) {
    ReplySession s;
    std::string bytes = Junk(1);
    bytes.resize((size_t)state.range(0));
    char buf[516];
    for (auto _ : state) {
        if (write(s.server, bytes.data(), bytes.size()) != (ssize_t)bytes.size() ||
            recv((int)s.q->Socket.Control, buf, 512, 0) != (ssize_t)bytes.size()) {
            state.SkipWithError("socket pair failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)bytes.size());
}
BENCHMARK(BM_SocketPairFloor)->ArgName("bytes")->Arg(20)->Arg(512);

}  // namespace
