// The POSIX event loop: what one posted message costs from post to the
// window's procedure, and what one FD_READ costs from a peer's send on
// loopback to the procedure's receive. Each delivery starts the next, so
// every iteration is one full turn of the loop (poll included).
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/app.h"
#include "bench_util.h"
#include "ftp/ftp.h"

namespace {

enum { PING = QM_USER + 77, CONTROL = QM_USER + 1 };

benchmark::State *Running;
int Failed;

// A loopback TCP connection made with plain calls; the client's end is
// then handed to the socket layer as a connected socket.
struct LoopbackPair {
    int client = -1, server = -1;

    LoopbackPair() {
        int l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (l < 0 || bind(l, (sockaddr *)&a, sizeof a) != 0 || listen(l, 1) != 0 ||
            getsockname(l, (sockaddr *)&a, &len) != 0) {
            if (l >= 0) close(l);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (client >= 0 && connect(client, (sockaddr *)&a, sizeof a) == 0) server = accept(l, nullptr, nullptr);
        close(l);
    }
    ~LoopbackPair() {
        if (client >= 0) PlatNetClose(client);
        if (server >= 0) close(server);
    }
    int Ready() const { return client >= 0 && server >= 0; }
};

// ---- posted messages ---------------------------------------------------------

int PingProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg != PING) return 0;
    if (Running->KeepRunning())
        PlatPostEvent(w, PING, 0, 0);
    else
        PlatPostQuit(0);
    return 1;
}

void BM_PostedMessage(benchmark::State &state) {
    Running = &state;
    PlatWindow w = LoopCreateWindow(PingProc);
    if (w == nullptr) {
        state.SkipWithError("no window");
        return;
    }
    if (state.KeepRunning()) {
        PlatPostEvent(w, PING, 0, 0);
        PlatMessageLoop(nullptr);
    }
    PlatDestroyWindow(w);
}
BENCHMARK(BM_PostedMessage);

// ---- socket read events ------------------------------------------------------

int Peer = -1;
QELTA *Session;  // set: each read goes through the reply path as well
int Bulk;        // set: data waits in the socket, as during a download
int64_t Received, Events;
const char OneByte[] = "x";
const char Reply[] = "200 Type set to I.\r\n";
enum { Block = 512, TopUp = 32 * Block, Backlog = 16 * TopUp };

// Keeps a backlog in the socket: as much as the receive empties, and
// nothing when the buffers are full.
void TopUpBacklog(size_t n) {
    static char junk[Backlog];
    if (send(Peer, junk, n, MSG_DONTWAIT) < 0 && errno != EAGAIN) Failed = 1;
}

void SendNext(void) {
    if (Bulk) {
        if (++Events % (TopUp / Block) == 0) TopUpBacklog(TopUp);
        return;
    }
    if (Session) ExpectReply(Session);  // as the send step does
    const char *bytes = Session ? Reply : OneByte;
    size_t n = strlen(bytes);
    if (send(Peer, bytes, n, 0) != (ssize_t)n) Failed = 1;
}

// Takes what the event announced: a bare receive, or the reply path.
void Consume(PlatSocket s) {
    if (Session == nullptr) {
        char buf[Block];
        long got = PlatNetRecv(s, buf, sizeof buf, 0);
        if (got <= 0) Failed = 1;
        Received += got;
        return;
    }
    if (!FillControlBuffer(Session) || !CheckFor(nullptr, "200 ", Session->ReplyLength, Session))
        Failed = 1;
}

int ReadProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg != CONTROL) return 0;
    if ((lp & 0xFFFF) != QFD_READ) return 1;  // the first FD_WRITE of the connection
    Consume((PlatSocket)wp);
    if (!Failed && Running->KeepRunning())
        SendNext();
    else
        PlatPostQuit(0);
    return 1;
}

void RunReadEvents(benchmark::State &state, QELTA *session) {
    Running = &state;
    Failed = 0;
    Session = session;
    Received = Events = 0;
    LoopbackPair pair;
    PlatWindow w = LoopCreateWindow(ReadProc);
    if (!pair.Ready() || w == nullptr) {
        state.SkipWithError("no loopback connection or window");
        if (w) PlatDestroyWindow(w);
        return;
    }
    Peer = pair.server;
    if (session) session->Socket.Control = pair.client;
    PlatNetAsyncSelect(pair.client, w, CONTROL, QFD_READ | QFD_WRITE | QFD_CONNECT | QFD_CLOSE);
    if (state.KeepRunning()) {
        if (Bulk)
            TopUpBacklog(Backlog);
        else
            SendNext();
        PlatMessageLoop(nullptr);
    }
    if (Bulk) state.SetBytesProcessed(Received);
    if (Failed) state.SkipWithError("a read event went wrong");
    PlatDestroyWindow(w);
    if (session) session->Socket.Control = -1;
}

// One byte, sent by the peer after each receive: nothing waits.
void BM_SocketReadEvent(benchmark::State &state) {
    Bulk = 0;
    RunReadEvents(state, nullptr);
}
BENCHMARK(BM_SocketReadEvent);

// 512-byte receives from a socket that always holds more: the ceiling of
// a transfer that takes one data block per FD_READ.
void BM_SocketReadBacklog(benchmark::State &state) {
    Bulk = 1;
    RunReadEvents(state, nullptr);
    Bulk = 0;
}
BENCHMARK(BM_SocketReadBacklog);

// The whole way of a one-line reply: the server's send, poll, FD_READ,
// FillControlBuffer and CheckFor. The log goes to /dev/null here.
void BM_SocketReplyEvent(benchmark::State &state) {
    QELTA *q = new QELTA();
    std::memset(q, 0, sizeof(*q));
    ResetSession(q);
    q->ErrorLogHandle = q->StatHandle = q->GeneratedScriptHandle = q->LocalFileHandle = -1;
    q->LogHandle = open("/dev/null", O_WRONLY);
    ResetReplyReader();
    RunReadEvents(state, q);
    if (q->LogHandle != -1) close((int)q->LogHandle);
    delete q;
}
BENCHMARK(BM_SocketReplyEvent);

}  // namespace
