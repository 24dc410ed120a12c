// TCP sockets with the behaviour of Winsock 1.1 in asynchronous-notification
// mode, over non-blocking POSIX sockets watched by the event loop. The core
// was written against that model; these rules keep it true here.
//
// Notification rules (what WSAAsyncSelect promises, kept in this file):
// - An event reaches the window as PlatPostEvent(w, msg, socket,
//   event | error << 16), error being a Winsock number.
// - FD_READ is posted once when data is there, then not again until the
//   application receives (a peek counts); after a receive it comes again
//   at once while data is left (after one that filled its buffer, even
//   when nothing was left: that read's receive then says would-block, as
//   Winsock allows). An application that does not read gets no further
//   FD_READ.
// - FD_WRITE is posted when a connection is made or accepted (or when the
//   selection is set on a connected socket), and afterwards only once a
//   send has failed with WSAEWOULDBLOCK and the socket is writable again.
// - FD_ACCEPT is posted once when a connection waits, and again after each
//   accept() while more wait.
// - FD_CONNECT is posted once when a connect ends, with the error in the
//   high word when it failed.
// - FD_CLOSE is posted once when the peer has closed, only after the data
//   still queued has been read (graceful close, error 0) or at once with
//   WSAECONNRESET after a reset. Without FD_CLOSE in the selection the
//   close is signalled as one last FD_READ, whose receive then reports it.
// - A socket accepted from a listening socket inherits its selection.
// - Closing a socket drops its events still waiting in the queue: the fd
//   number is reused at once, and a stale event would look like the new
//   socket's.
// The poll events of each fd are computed from what may be posted, so an
// fd whose events are all posted and unanswered is not watched and never
// spins the loop.
//
// The cost of a read (a data transfer makes one per block): a receive that
// fills the caller's buffer almost always leaves more behind, so the next
// FD_READ is posted at once, without asking poll(); only a short receive
// sends the socket back to poll(). poll() tells a close from data by
// POLLRDHUP (or POLLHUP, POLLERR), and only then does a one-byte peek say
// whether data is still queued before it; a receive that returns 0 is a
// close learned without poll() at all. A block thus costs the receive and
// whatever the application does with it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

namespace {

// ---- error numbers ----------------------------------------------------------

struct ErrnoMap {
    int err;
    int wsa;
};

const ErrnoMap kErrnoMap[] = {
    {EWOULDBLOCK, 10035},  {EAGAIN, 10035},        {EINPROGRESS, 10035},   {EINTR, 10004},
    {EBADF, 10038},        {ENOTSOCK, 10038},      {EACCES, 10013},        {EPERM, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},        {EMFILE, 10024},        {ENFILE, 10024},
    {EALREADY, 10037},     {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045},  {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},      {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},  {ECONNRESET, 10054},    {ENOBUFS, 10055},
    {ENOMEM, 10055},       {EISCONN, 10056},       {ENOTCONN, 10057},
    // This layer never shuts a socket down itself: EPIPE means the peer
    // has gone, which Winsock reports as a reset, not WSAESHUTDOWN.
    {EPIPE, 10054},        {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061},  {ELOOP, 10062},
    {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065},
};

// WSAEFAULT-like catch-all would hide the cause; WSAEINVAL is what Winsock
// reports for a call it cannot make sense of.
int WinsockError(int err) {
    for (const ErrnoMap &m : kErrnoMap)
        if (m.err == err) return m.wsa;
    return 10022;
}

int LookupError(int eai) {
    switch (eai) {
        case EAI_NONAME: return 11001;  // WSAHOST_NOT_FOUND
        case EAI_AGAIN: return 11002;   // WSATRY_AGAIN
        case EAI_FAIL: return 11003;    // WSANO_RECOVERY
#ifdef EAI_NODATA
        case EAI_NODATA: return 11004;  // WSANO_DATA
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return 11004;
#endif
        case EAI_MEMORY: return 10055;
        case EAI_SYSTEM: return WinsockError(errno);
        default: return 11003;
    }
}

int gLastError;

int Fail(int err) {
    gLastError = WinsockError(err);
    return -1;
}

// ---- socket records -----------------------------------------------------------

enum SockState { SOCK_NEW, SOCK_CONNECTING, SOCK_CONNECTED, SOCK_LISTENING, SOCK_FAILED };

struct SockRec {
    int fd;
    unsigned long generation;  // tells this socket from a later one on the same fd
    SockState state;
    PlatWindow w;
    unsigned msg;
    long events;
    int readArmed;    // FD_READ may be posted
    int writeArmed;   // FD_WRITE is owed
    int acceptArmed;  // FD_ACCEPT may be posted
    int closeDone;    // the peer's close has been signalled
    int parked;       // data waits that may not be signalled: no POLLIN
    int hangParked;   // a hang-up nothing could be posted for: not watched
    TlsLink *tls;     // the TLS connection over the socket, or null
    TlsShake *shake;  // a handshake under way (or ended, not yet taken back)
    short shakeWant;  // what the handshake waits for; 0 once it has ended
    std::vector<std::pair<PlatWindow, unsigned>> postedTo;
};

std::map<int, SockRec> gSockets;
unsigned long gGeneration;

void OnSocketReady(int fd, short revents, void *ctx);

SockRec *Find(PlatSocket s) {
    auto it = gSockets.find((int)s);
    return it == gSockets.end() ? nullptr : &it->second;
}

SockRec *Add(int fd, SockState state) {
    SockRec &r = gSockets[fd];
    r = SockRec();
    r.fd = fd;
    r.generation = ++gGeneration;
    r.state = state;
    r.readArmed = r.acceptArmed = 1;
    return &r;
}

int Selected(const SockRec &r, long event) { return r.w != nullptr && (r.events & event) != 0; }

void Post(SockRec *r, int event, int error) {
    if (r->w == nullptr) return;
    std::pair<PlatWindow, unsigned> target(r->w, r->msg);
    int known = 0;
    for (const auto &p : r->postedTo) known |= p == target;
    if (!known) r->postedTo.push_back(target);
    PlatPostEvent(r->w, r->msg, (uintptr_t)r->fd, (intptr_t)(event | (error << 16)));
}

short WantedEvents(const SockRec &r) {
    // A handshake's own needs, whatever the application selected.
    if (r.shake != nullptr) return r.shakeWant;
    if (r.w == nullptr || r.events == 0 || r.hangParked) return 0;
    switch (r.state) {
        case SOCK_CONNECTING: return POLLOUT;  // the outcome is needed even unselected, to arm FD_WRITE
        case SOCK_LISTENING: return (Selected(r, QFD_ACCEPT) && r.acceptArmed) ? POLLIN : 0;
        case SOCK_CONNECTED: {
            short ev = 0;
            int wantRead = Selected(r, QFD_READ) && r.readArmed;
            // POLLRDHUP marks the peer's close, so plain POLLIN is data.
            if (!r.closeDone && !r.parked && (wantRead || Selected(r, QFD_CLOSE)))
                ev |= POLLIN | POLLRDHUP;
            if (r.writeArmed && Selected(r, QFD_WRITE)) ev |= POLLOUT;
            return ev;
        }
        default: return 0;
    }
}

void UpdateWatch(SockRec *r) {
    short ev = WantedEvents(*r);
    if (ev == 0) {
        LoopUnwatchFd(r->fd);
    } else {
        LoopWatchFd(r->fd, ev, OnSocketReady, reinterpret_cast<void *>((uintptr_t)r->generation));
    }
}

// What the application does to a socket answers its last events.
void Answered(SockRec *r) {
    r->parked = 0;
    r->hangParked = 0;
}

// The peer has closed (error 0) or reset the connection.
int SignalPeerClose(SockRec *r, int error) {
    r->closeDone = 1;
    if (Selected(*r, QFD_CLOSE)) {
        Post(r, QFD_CLOSE, error);
        return 1;
    }
    if (Selected(*r, QFD_READ) && r->readArmed) {
        r->readArmed = 0;
        Post(r, QFD_READ, 0);
        return 1;
    }
    return 0;
}

// Data is queued (no close with it): FD_READ if it may be posted.
int OnData(SockRec *r) {
    if (Selected(*r, QFD_READ) && r->readArmed) {
        r->readArmed = 0;
        Post(r, QFD_READ, 0);
        return 1;
    }
    r->parked = 1;  // the data waits for a receive; the close comes after it
    return 0;
}

// The peer has closed or reset, with data perhaps still queued before the
// close. A one-byte peek tells them apart without taking anything; it is
// made once per hang-up, never per block.
int OnHangUp(SockRec *r) {
    char c;
    ssize_t n = recv(r->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return OnData(r);
    if (n == 0) return SignalPeerClose(r, 0);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return SignalPeerClose(r, WinsockError(errno));
}

int OnConnectDone(SockRec *r, short revents) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(r->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0 && !(revents & POLLOUT)) return 0;
    if (err != 0) {
        r->state = SOCK_FAILED;
        if (Selected(*r, QFD_CONNECT)) Post(r, QFD_CONNECT, WinsockError(err));
        return 1;
    }
    r->state = SOCK_CONNECTED;
    if (Selected(*r, QFD_CONNECT)) Post(r, QFD_CONNECT, 0);
    if (Selected(*r, QFD_WRITE)) Post(r, QFD_WRITE, 0);
    return 1;
}

int OnConnectedReady(SockRec *r, short revents) {
    short wanted = WantedEvents(*r);
    int posted = 0;
    int closedNow = 0;
    if ((wanted & POLLIN) && (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
        int wasDone = r->closeDone;
        posted |= (revents & (POLLRDHUP | POLLHUP | POLLERR)) ? OnHangUp(r) : OnData(r);
        closedNow = r->closeDone && !wasDone;
    }
    if ((wanted & POLLOUT) && (revents & (POLLOUT | POLLERR | POLLHUP)) && !closedNow) {
        r->writeArmed = 0;
        Post(r, QFD_WRITE, 0);
        posted = 1;
    }
    return posted;
}

// The handshake a step on; its end is posted as one QFD_TLS event.
void StepShake(SockRec *r) {
    if (r->shakeWant == 0) return;
    r->shakeWant = TlsShakeStep(r->shake);
    if (r->shakeWant == 0) Post(r, QFD_TLS, 0);
}

void OnSocketReady(int fd, short revents, void *ctx) {
    SockRec *r = Find(fd);
    if (r == nullptr || r->generation != (uintptr_t)ctx) {
        LoopUnwatchFd(fd);
        return;
    }
    if (r->shake != nullptr) {
        StepShake(r);
        UpdateWatch(r);
        return;
    }
    int posted = 0;
    switch (r->state) {
        case SOCK_CONNECTING: posted = OnConnectDone(r, revents); break;
        case SOCK_LISTENING:
            if (r->acceptArmed && Selected(*r, QFD_ACCEPT) && (revents & POLLIN)) {
                r->acceptArmed = 0;
                Post(r, QFD_ACCEPT, 0);
                posted = 1;
            }
            break;
        case SOCK_CONNECTED: posted = OnConnectedReady(r, revents); break;
        default: break;
    }
    // poll() reports a hang-up whatever was asked for; when nothing could
    // be posted for it, stop watching until the application acts.
    if (!posted && (revents & (POLLHUP | POLLERR))) r->hangParked = 1;
    UpdateWatch(r);
}

// A receive has re-enabled FD_READ. One that filled the buffer posts the
// next FD_READ itself: more data is almost surely queued, and asking
// poll() would cost a system call per block. If nothing is left after
// all, that FD_READ's receive says would-block, which Winsock allows.
// One that returned 0 has seen the peer's close before poll() did.
void AfterReceive(SockRec *r, ssize_t got, size_t asked) {
    if (r->state != SOCK_CONNECTED) return;
    if (got == 0 && asked > 0) {
        if (!r->closeDone) SignalPeerClose(r, 0);
    } else if (got > 0 && (size_t)got == asked && Selected(*r, QFD_READ) && !r->closeDone) {
        r->readArmed = 0;
        r->parked = 1;  // until the application answers, nothing for poll()
        Post(r, QFD_READ, 0);
    }
}

// FD_READ at once, when it may be posted: data waits where poll() cannot
// see it.
void PostReadAgain(SockRec *r) {
    if (r->state != SOCK_CONNECTED || !Selected(*r, QFD_READ) || !r->readArmed || r->closeDone)
        return;
    r->readArmed = 0;
    r->parked = 1;
    Post(r, QFD_READ, 0);
}

// The seam's address as the system's, and back; the length in *len.
void ToSockaddr(const NetAddress *a, sockaddr_storage *ss, socklen_t *len) {
    memset(ss, 0, sizeof(*ss));
    if (a->Family == NET_IPV6) {
        sockaddr_in6 *s6 = reinterpret_cast<sockaddr_in6 *>(ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(a->Port);
        memcpy(&s6->sin6_addr, a->Bytes, 16);
        *len = sizeof(*s6);
        return;
    }
    sockaddr_in *sin = reinterpret_cast<sockaddr_in *>(ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(a->Port);
    memcpy(&sin->sin_addr, a->Bytes, 4);
    *len = sizeof(*sin);
}

void FromSockaddr(const sockaddr *sa, NetAddress *a) {
    memset(a, 0, sizeof(*a));
    if (sa->sa_family == AF_INET6) {
        const sockaddr_in6 *s6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        NetMakeAddress(a, NET_IPV6, s6->sin6_addr.s6_addr, ntohs(s6->sin6_port));
    } else if (sa->sa_family == AF_INET) {
        const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(sa);
        NetMakeAddress(a, NET_IPV4, reinterpret_cast<const unsigned char *>(&sin->sin_addr),
                       ntohs(sin->sin_port));
    }
}

// Keepalive as platform.h promises; a system without the timing options
// keeps its own.
void KeepAlive(int fd) {
    int on = 1, idle = PLAT_KEEPALIVE_IDLE, interval = PLAT_KEEPALIVE_INTERVAL;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
#ifdef TCP_KEEPIDLE
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
#else
    (void)idle;
    (void)interval;
#endif
}

// Errors that end a connection attempt: Winsock reports them through
// FD_CONNECT, never from connect() itself, so they are posted the same way.
int IsConnectOutcome(int err) {
    return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH;
}

// ---- asynchronous look-ups ------------------------------------------------------

// The entry written into the caller's buffer: a layout of this layer
// that only PlatNetResolvedAddresses reads.
enum { kEntryMax = 16 };
struct HostEntry {
    char magic[4];
    int count;
    NetAddress addr[kEntryMax];
};
const char kHostMagic[4] = {'Q', 'H', 'E', '2'};

struct ResolveRequest {
    PlatWindow w;
    unsigned msg;
    char *hostent;
    size_t size;
};

// Requests still running, by handle. A request leaves the table when it
// completes or is cancelled; the helper thread writes and posts only while
// it holds the lock and finds its request there, so a cancelled request
// never touches the caller's buffer.
// Never destroyed: a helper thread may still be inside getaddrinfo() when
// the program exits, and must find the lock and the table intact.
struct ResolveState {
    std::mutex lock;
    std::map<uintptr_t, ResolveRequest> requests;
    uintptr_t next = 1;
};
ResolveState &Resolves() {
    static ResolveState *state = new ResolveState;
    return *state;
}

// Every stream address of name, in the resolver's order, without repeats.
int AllAddresses(const char *name, NetAddress *out, int capacity, int *error) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &list);
    if (rc != 0) {
        *error = LookupError(rc);
        return 0;
    }
    int n = 0;
    for (addrinfo *ai = list; ai && n < capacity; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        NetAddress a;
        FromSockaddr(ai->ai_addr, &a);
        n = NetAddUnique(out, n, &a);
    }
    freeaddrinfo(list);
    if (n == 0) *error = 11004;
    return n;
}

void ResolveThread(uintptr_t id, std::string name) {
    HostEntry e;
    memset(&e, 0, sizeof(e));
    int error = 0;
    e.count = AllAddresses(name.c_str(), e.addr, kEntryMax, &error);
    ResolveState &rs = Resolves();
    std::lock_guard<std::mutex> hold(rs.lock);
    auto it = rs.requests.find(id);
    if (it == rs.requests.end()) return;  // cancelled
    ResolveRequest req = it->second;
    rs.requests.erase(it);
    if (e.count > 0 && req.size < sizeof(HostEntry)) {
        e.count = 0;
        error = 10055;  // WSAENOBUFS: the caller's buffer cannot hold the entry
    }
    if (e.count > 0) {
        memcpy(e.magic, kHostMagic, 4);
        memcpy(req.hostent, &e, sizeof(e));
    }
    PlatPostEvent(req.w, req.msg, id, (intptr_t)(e.count > 0 ? 0 : (error << 16)));
}

}  // namespace

// ---- library --------------------------------------------------------------------

int PlatNetStart(int *major, int *minor, char *description, size_t size) {
    if (major) *major = 1;
    if (minor) *minor = 1;
    if (description && size) CopyCut(description, size, "QELTA POSIX sockets 1.1");
    gLastError = 0;
    return 0;
}

int PlatNetStop(void) { return 0; }

void PlatNetCancelBlocking(void) {}

int PlatNetLastError(void) { return gLastError; }

int PlatNetLocalHostName(char *out, size_t size) {
    char name[256];
    if (gethostname(name, sizeof(name)) != 0) {
        Fail(errno);
        return 0;
    }
    name[sizeof(name) - 1] = 0;
    return CopyCut(out, size, name);
}

int PlatNetResolve(const char *name, NetAddress *out, int capacity, int *count) {
    int error = 0;
    *count = AllAddresses(name, out, capacity, &error);
    if (*count == 0) gLastError = error;
    return *count > 0;
}

uintptr_t PlatNetResolveAsync(PlatWindow w, unsigned msg, const char *name, char *hostent, size_t size) {
    if (name == nullptr || hostent == nullptr) {
        gLastError = 10014;  // WSAEFAULT
        return 0;
    }
    ResolveState &rs = Resolves();
    uintptr_t id;
    {
        std::lock_guard<std::mutex> hold(rs.lock);
        id = rs.next++;
        rs.requests[id] = ResolveRequest{w, msg, hostent, size};
    }
    try {
        std::thread(ResolveThread, id, std::string(name)).detach();
    } catch (...) {
        std::lock_guard<std::mutex> hold(rs.lock);
        rs.requests.erase(id);
        gLastError = 10055;
        return 0;
    }
    return id;
}

int PlatNetResolvedAddresses(const char *entry, NetAddress *out, int capacity) {
    HostEntry e;
    memcpy(&e, entry, sizeof(e));
    if (memcmp(e.magic, kHostMagic, 4) != 0 || e.count < 0 || e.count > kEntryMax) return 0;
    int n = e.count < capacity ? e.count : capacity;
    memcpy(out, e.addr, sizeof(NetAddress) * (size_t)n);
    return n;
}

void PlatNetCancelResolve(uintptr_t request) {
    ResolveState &rs = Resolves();
    std::lock_guard<std::mutex> hold(rs.lock);
    rs.requests.erase(request);
}

// ---- sockets ----------------------------------------------------------------------

PlatSocket PlatNetSocket(int family) {
    int af = family == NET_IPV6 ? AF_INET6 : AF_INET;
    int fd = socket(af, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return Fail(errno);
    KeepAlive(fd);
    Add(fd, SOCK_NEW);
    return fd;
}

int PlatNetAsyncSelect(PlatSocket s, PlatWindow w, unsigned msg, long events) {
    SockRec *r = Find(s);
    if (r == nullptr) {
        // A connected socket made elsewhere (a socket pair of a test, say).
        int flags = fcntl((int)s, F_GETFL);
        if (flags < 0) return Fail(errno);
        fcntl((int)s, F_SETFL, flags | O_NONBLOCK);
        r = Add((int)s, SOCK_CONNECTED);
    }
    r->w = w;
    r->msg = msg;
    r->events = events;
    r->readArmed = r->acceptArmed = 1;
    r->closeDone = 0;
    Answered(r);
    r->writeArmed = r->state == SOCK_CONNECTED && Selected(*r, QFD_WRITE);
    UpdateWatch(r);
    return 0;
}

int PlatNetConnect(PlatSocket s, const NetAddress *a) {
    SockRec *r = Find(s);
    if (r == nullptr) return Fail(ENOTSOCK);
    sockaddr_storage ss;
    socklen_t len;
    ToSockaddr(a, &ss, &len);
    int rc;
    do {
        rc = connect(r->fd, reinterpret_cast<sockaddr *>(&ss), len);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        r->state = SOCK_CONNECTED;
        if (Selected(*r, QFD_CONNECT)) Post(r, QFD_CONNECT, 0);
        if (Selected(*r, QFD_WRITE)) Post(r, QFD_WRITE, 0);
        UpdateWatch(r);
        return 0;
    }
    int err = errno;
    if (err == EINPROGRESS) {
        r->state = SOCK_CONNECTING;
        UpdateWatch(r);
        return Fail(err);
    }
    if (IsConnectOutcome(err)) {
        r->state = SOCK_FAILED;
        if (Selected(*r, QFD_CONNECT)) Post(r, QFD_CONNECT, WinsockError(err));
        UpdateWatch(r);
        return Fail(EINPROGRESS);
    }
    return Fail(err);
}

long PlatNetSend(PlatSocket s, const void *buf, size_t n) {
    SockRec *known = Find(s);
    // Linux says EPIPE for a socket never connected; Winsock WSAENOTCONN.
    if (known != nullptr && known->state != SOCK_CONNECTED) return Fail(ENOTCONN);
    if (known != nullptr && known->shake != nullptr) return Fail(EAGAIN);
    ssize_t put;
    if (known != nullptr && known->tls != nullptr) {
        put = TlsSend(known->tls, buf, n);
    } else {
        do {
            put = send((int)s, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (put < 0 && errno == EINTR);
    }
    if (put >= 0) return (long)put;
    int err = errno;
    if (known != nullptr && (err == EAGAIN || err == EWOULDBLOCK)) {
        known->writeArmed = 1;
        Answered(known);
        UpdateWatch(known);
    }
    return Fail(err);
}

long PlatNetRecv(PlatSocket s, void *buf, size_t n, int peek) {
    ssize_t got;
    SockRec *r = Find(s);
    if (r != nullptr && r->shake != nullptr) return Fail(EAGAIN);
    if (r != nullptr && r->tls != nullptr) {
        got = TlsRecv(r->tls, buf, n, peek);
    } else {
        do {
            got = recv((int)s, buf, n, (peek ? MSG_PEEK : 0) | MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
    }
    int err = errno;
    if (r != nullptr) {
        r->readArmed = 1;
        Answered(r);
        if (!peek) AfterReceive(r, got, n);
        // Decrypted data left inside TLS is invisible to poll().
        if (!peek && got > 0 && r->tls != nullptr && TlsBuffered(r->tls)) PostReadAgain(r);
        UpdateWatch(r);
    }
    if (got < 0) return Fail(err);
    return (long)got;
}

int PlatNetBind(PlatSocket s, const NetAddress *a) {
    sockaddr_storage ss;
    socklen_t len;
    ToSockaddr(a, &ss, &len);
    if (bind((int)s, reinterpret_cast<sockaddr *>(&ss), len) != 0) return Fail(errno);
    return 0;
}

int PlatNetListen(PlatSocket s, int backlog) {
    if (listen((int)s, backlog) != 0) return Fail(errno);
    SockRec *r = Find(s);
    if (r != nullptr) {
        r->state = SOCK_LISTENING;
        r->acceptArmed = 1;
        UpdateWatch(r);
    }
    return 0;
}

PlatSocket PlatNetAccept(PlatSocket s, NetAddress *peer) {
    sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    int fd;
    do {
        fd = accept4((int)s, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    int err = errno;
    SockRec *listener = Find(s);
    if (listener != nullptr) {
        listener->acceptArmed = 1;
        Answered(listener);
        UpdateWatch(listener);
    }
    if (fd < 0) return Fail(err);
    if (peer) FromSockaddr(reinterpret_cast<sockaddr *>(&ss), peer);
    KeepAlive(fd);
    SockRec *r = Add(fd, SOCK_CONNECTED);  // std::map: listener stays valid
    if (listener != nullptr) {
        r->w = listener->w;
        r->msg = listener->msg;
        r->events = listener->events;
    }
    r->writeArmed = Selected(*r, QFD_WRITE);
    UpdateWatch(r);
    return fd;
}

int PlatNetLocalAddress(PlatSocket s, NetAddress *a) {
    sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    if (getsockname((int)s, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return Fail(errno);
    FromSockaddr(reinterpret_cast<sockaddr *>(&ss), a);
    return 0;
}

namespace {

void CloseSocket(PlatSocket s, int orderly) {
    if (s < 0) return;
    SockRec *r = Find(s);
    if (r != nullptr && r->shake != nullptr) {
        TlsShakeFree(r->shake);  // no close_notify, no wait: it never began
        r->shake = nullptr;
    }
    if (r != nullptr && r->tls != nullptr) {
        TlsEnd(r->tls, orderly);
        r->tls = nullptr;
    }
    if (!orderly) {
        // A zero linger makes close() send a reset.
        struct linger now = {1, 0};
        setsockopt((int)s, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    if (r != nullptr) {
        LoopUnwatchFd(r->fd);
        for (const auto &p : r->postedTo) LoopDropPosts(p.first, p.second, (uintptr_t)r->fd);
        gSockets.erase(r->fd);
    }
    close((int)s);
}

}  // namespace

void PlatNetClose(PlatSocket s) { CloseSocket(s, 1); }
void PlatNetAbort(PlatSocket s) { CloseSocket(s, 0); }

// ---- TLS over a socket -------------------------------------------------------------

TlsLink *NetTlsLink(int fd) {
    SockRec *r = Find(fd);
    return r == nullptr ? nullptr : r->tls;
}

int NetBeginShake(int fd, TlsShake *h) {
    SockRec *r = Find(fd);
    if (r == nullptr || r->state != SOCK_CONNECTED || r->tls != nullptr || r->shake != nullptr)
        return 0;
    r->shake = h;
    r->shakeWant = POLLOUT;
    StepShake(r);
    UpdateWatch(r);
    return 1;
}

TlsShake *NetShake(int fd) {
    SockRec *r = Find(fd);
    return r == nullptr || r->shakeWant != 0 ? nullptr : r->shake;
}

void NetEndShake(int fd, TlsLink *t) {
    SockRec *r = Find(fd);
    if (r == nullptr) return;
    r->shake = nullptr;
    r->tls = t;
    // What came meanwhile is signalled now: the kernel's data through
    // poll(), what TLS decrypted already at once.
    r->readArmed = 1;
    Answered(r);
    if (t != nullptr && TlsBuffered(t)) PostReadAgain(r);
    UpdateWatch(r);
}
