// Windows Sockets 1.1 in asynchronous-notification mode. The calls pass
// straight through; only handle and address types are converted here, and
// a closed socket's queued events are dropped.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

static SOCKET Sock(PlatSocket s) { return (SOCKET)s; }
static PlatSocket FromSock(SOCKET s) { return s == INVALID_SOCKET ? -1 : (PlatSocket)s; }

int PlatNetStart(int *major, int *minor, char *description, size_t size) {
    WSADATA data;
    ZeroMemory(&data, sizeof data);
    int r = WSAStartup(MAKEWORD(1, 1), &data);
    *major = r ? 0 : LOBYTE(data.wVersion);
    *minor = r ? 0 : HIBYTE(data.wVersion);
    // The library's text need not end inside its field; cut it there.
    char text[sizeof data.szDescription + 1];
    memcpy(text, data.szDescription, sizeof data.szDescription);
    text[sizeof data.szDescription] = 0;
    if (size) CopyCut(description, size, r ? "" : text);
    return r;
}

int PlatNetStop(void) { return WSACleanup() == 0 ? 0 : WSAGetLastError(); }

void PlatNetCancelBlocking(void) { WSACancelBlockingCall(); }

int PlatNetLastError(void) { return WSAGetLastError(); }

int PlatNetLocalHostName(char *out, size_t size) {
    if (size == 0) return 0;
    if (gethostname(out, (int)size) != 0) {
        out[0] = 0;
        return 0;
    }
    out[size - 1] = 0;
    return 1;
}

// The seam's address as the system's, and back; the length in *len.
static void ToSockaddr(const NetAddress *a, sockaddr_storage *ss, int *len) {
    memset(ss, 0, sizeof *ss);
    if (a->Family == NET_IPV6) {
        sockaddr_in6 *s6 = (sockaddr_in6 *)ss;
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(a->Port);
        memcpy(&s6->sin6_addr, a->Bytes, 16);
        *len = sizeof *s6;
        return;
    }
    sockaddr_in *sin = (sockaddr_in *)ss;
    sin->sin_family = AF_INET;
    sin->sin_port = htons(a->Port);
    memcpy(&sin->sin_addr, a->Bytes, 4);
    *len = sizeof *sin;
}

static void FromSockaddr(const sockaddr *sa, NetAddress *a) {
    memset(a, 0, sizeof *a);
    if (sa->sa_family == AF_INET6) {
        const sockaddr_in6 *s6 = (const sockaddr_in6 *)sa;
        NetMakeAddress(a, NET_IPV6, (const unsigned char *)&s6->sin6_addr, ntohs(s6->sin6_port));
    } else if (sa->sa_family == AF_INET) {
        const sockaddr_in *sin = (const sockaddr_in *)sa;
        NetMakeAddress(a, NET_IPV4, (const unsigned char *)&sin->sin_addr, ntohs(sin->sin_port));
    }
}

// Every stream address of name, in the resolver's order, without
// repeats; 0 with the error in *error.
static int AllAddresses(const char *name, NetAddress *out, int capacity, int *error) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = NULL;
    int rc = getaddrinfo(name, NULL, &hints, &list);
    if (rc != 0) {
        *error = rc;
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
    if (n == 0) *error = WSANO_DATA;
    return n;
}

int PlatNetResolve(const char *name, NetAddress *out, int capacity, int *count) {
    int error = 0;
    *count = AllAddresses(name, out, capacity, &error);
    if (*count == 0) WSASetLastError(error);
    return *count > 0;
}

// ---- Asynchronous look-ups ---------------------------------------------------------
// WSAAsyncGetHostByName knows IPv4 only: getaddrinfo runs on a thread of
// its own and the completion is posted as that call posts it. A request
// leaves the table when it completes or is cancelled; the thread writes
// and posts only while it holds the lock and finds its request there, so
// a cancelled request never touches the caller's buffer. Never destroyed:
// a thread may still be inside getaddrinfo when the program ends.

enum { EntryMax = 16 };
struct HostEntry {
    char magic[4];
    int count;
    NetAddress addr[EntryMax];
};
static const char HostMagic[4] = {'Q', 'H', 'E', '2'};

struct ResolveRequest {
    uintptr_t id;
    HWND w;
    UINT msg;
    char *entry;
    size_t size;
    char name[256];
};
struct ResolveState {
    CRITICAL_SECTION lock;
    std::vector<ResolveRequest *> requests;
    uintptr_t next;
};
static ResolveState *Resolves() {
    static ResolveState *state = NULL;
    if (!state) {
        state = new ResolveState;
        InitializeCriticalSection(&state->lock);
        state->next = 1;
    }
    return state;
}

// The request of id taken out of the table (the lock held); null when gone.
static ResolveRequest *TakeRequest(ResolveState *rs, uintptr_t id) {
    for (size_t i = 0; i < rs->requests.size(); i++)
        if (rs->requests[i]->id == id) {
            ResolveRequest *r = rs->requests[i];
            rs->requests.erase(rs->requests.begin() + (long)i);
            return r;
        }
    return NULL;
}

static DWORD WINAPI ResolveThread(void *arg) {
    uintptr_t id = (uintptr_t)arg;
    ResolveState *rs = Resolves();
    char name[256];
    EnterCriticalSection(&rs->lock);
    name[0] = 0;
    for (ResolveRequest *r : rs->requests)
        if (r->id == id) memcpy(name, r->name, sizeof name);
    LeaveCriticalSection(&rs->lock);
    HostEntry e;
    memset(&e, 0, sizeof e);
    int error = 0;
    e.count = AllAddresses(name, e.addr, EntryMax, &error);
    EnterCriticalSection(&rs->lock);
    ResolveRequest *r = TakeRequest(rs, id);
    if (r) {
        if (e.count > 0 && r->size < sizeof e) e.count = 0, error = WSAENOBUFS;
        if (e.count > 0) {
            memcpy(e.magic, HostMagic, 4);
            memcpy(r->entry, &e, sizeof e);
        }
        PostMessageA(r->w, r->msg, (WPARAM)id, WSAMAKEASYNCREPLY(0, e.count > 0 ? 0 : error));
        delete r;
    }
    LeaveCriticalSection(&rs->lock);
    return 0;
}

uintptr_t PlatNetResolveAsync(PlatWindow w, unsigned msg, const char *name, char *entry, size_t size) {
    if (!name || !entry || strlen(name) >= sizeof(((ResolveRequest *)0)->name)) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    ResolveState *rs = Resolves();
    ResolveRequest *r = new ResolveRequest;
    r->w = (HWND)w;
    r->msg = msg;
    r->entry = entry;
    r->size = size;
    CopyCut(r->name, sizeof r->name, name);
    EnterCriticalSection(&rs->lock);
    r->id = rs->next++;
    rs->requests.push_back(r);
    uintptr_t id = r->id;
    LeaveCriticalSection(&rs->lock);
    HANDLE t = CreateThread(NULL, 0, ResolveThread, (void *)id, 0, NULL);
    if (t) {
        CloseHandle(t);
        return id;
    }
    EnterCriticalSection(&rs->lock);
    delete TakeRequest(rs, id);
    LeaveCriticalSection(&rs->lock);
    WSASetLastError(WSAENOBUFS);
    return 0;
}

int PlatNetResolvedAddresses(const char *entry, NetAddress *out, int capacity) {
    HostEntry e;
    memcpy(&e, entry, sizeof e);
    if (memcmp(e.magic, HostMagic, 4) != 0 || e.count < 0 || e.count > EntryMax) return 0;
    int n = e.count < capacity ? e.count : capacity;
    memcpy(out, e.addr, sizeof(NetAddress) * (size_t)n);
    return n;
}

void PlatNetCancelResolve(uintptr_t request) {
    ResolveState *rs = Resolves();
    EnterCriticalSection(&rs->lock);
    delete TakeRequest(rs, request);
    LeaveCriticalSection(&rs->lock);
}

// Keepalive as platform.h promises, in milliseconds.
static void KeepAlive(SOCKET s) {
    tcp_keepalive k;
    k.onoff = 1;
    k.keepalivetime = PLAT_KEEPALIVE_IDLE * 1000;
    k.keepaliveinterval = PLAT_KEEPALIVE_INTERVAL * 1000;
    DWORD got = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &k, sizeof k, NULL, 0, &got, NULL, NULL);
}

PlatSocket PlatNetSocket(int family) {
    SOCKET s = socket(family == NET_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) KeepAlive(s);
    return FromSock(s);
}

// Where each open socket's events have been posted. Events already queued
// stay in the queue when a socket is closed, and the next socket often
// gets the same handle: closing one drops them, as the POSIX layer does,
// so none of them is ever taken for an event of its successor. A socket's
// last entry is where its events go now.
struct Notified {
    SOCKET s;
    HWND w;
    UINT msg;
    long events;
};
static std::vector<Notified> NotifiedTo;

static void Remember(SOCKET s, HWND w, UINT msg, long events) {
    for (size_t i = 0; i < NotifiedTo.size(); i++)
        if (NotifiedTo[i].s == s && NotifiedTo[i].w == w && NotifiedTo[i].msg == msg) {
            NotifiedTo.erase(NotifiedTo.begin() + (long)i);
            break;
        }
    NotifiedTo.push_back({s, w, msg, events});
}

void NetPostEvent(SOCKET s, long event) {
    for (size_t i = NotifiedTo.size(); i-- > 0;)
        if (NotifiedTo[i].s == s) {
            const Notified &n = NotifiedTo[i];
            if (n.events & event) PostMessageA(n.w, n.msg, (WPARAM)s, WSAMAKESELECTREPLY(event, 0));
            return;
        }
}

bool NetNotifyTarget(SOCKET s, HWND *w, UINT *msg) {
    for (size_t i = NotifiedTo.size(); i-- > 0;)
        if (NotifiedTo[i].s == s) {
            *w = NotifiedTo[i].w;
            *msg = NotifiedTo[i].msg;
            return true;
        }
    return false;
}

// Takes out the queued events of msg for w and posts back those of other
// sockets; posted messages are never dispatched by this peek.
static void DropQueued(const Notified &n) {
    std::vector<MSG> others;
    MSG m;
    while (PeekMessageA(&m, n.w, n.msg, n.msg, PM_REMOVE | PM_NOYIELD))
        if ((SOCKET)m.wParam != n.s) others.push_back(m);
    for (const MSG &o : others) PostMessageA(o.hwnd, o.message, o.wParam, o.lParam);
}

int PlatNetAsyncSelect(PlatSocket s, PlatWindow w, unsigned msg, long events) {
    if (WSAAsyncSelect(Sock(s), (HWND)w, msg, events) != 0) return -1;
    Remember(Sock(s), (HWND)w, msg, events);
    return 0;
}

int PlatNetConnect(PlatSocket s, const NetAddress *a) {
    sockaddr_storage ss;
    int len;
    ToSockaddr(a, &ss, &len);
    return connect(Sock(s), (const sockaddr *)&ss, len) == 0 ? 0 : -1;
}

// Nothing goes through a socket while its handshake runs.
static long Shaking(void) {
    WSASetLastError(WSAEWOULDBLOCK);
    return -1;
}

long PlatNetSend(PlatSocket s, const void *buf, size_t n) {
    if (TlsConn *t = TlsFind(Sock(s))) return TlsSend(t, buf, n);
    if (TlsShaking(Sock(s))) return Shaking();
    int r = send(Sock(s), (const char *)buf, (int)n, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

long PlatNetRecv(PlatSocket s, void *buf, size_t n, int peek) {
    if (TlsConn *t = TlsFind(Sock(s))) return TlsRecv(t, buf, n, peek);
    if (TlsShaking(Sock(s))) return Shaking();
    int r = recv(Sock(s), (char *)buf, (int)n, peek ? MSG_PEEK : 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int PlatNetBind(PlatSocket s, const NetAddress *a) {
    sockaddr_storage ss;
    int len;
    ToSockaddr(a, &ss, &len);
    return bind(Sock(s), (const sockaddr *)&ss, len) == 0 ? 0 : -1;
}

int PlatNetListen(PlatSocket s, int backlog) { return listen(Sock(s), backlog) == 0 ? 0 : -1; }

PlatSocket PlatNetAccept(PlatSocket s, NetAddress *peer) {
    sockaddr_storage ss;
    int len = sizeof ss;
    SOCKET a = accept(Sock(s), (sockaddr *)&ss, &len);
    if (a == INVALID_SOCKET) return -1;
    if (peer) FromSockaddr((const sockaddr *)&ss, peer);
    KeepAlive(a);
    // The accepted socket posts as the listening one did until it is
    // given its own notification.
    std::vector<Notified> inherited;
    for (const Notified &n : NotifiedTo)
        if (n.s == Sock(s)) inherited.push_back(n);
    for (const Notified &n : inherited) Remember(a, n.w, n.msg, n.events);
    return FromSock(a);
}

int PlatNetLocalAddress(PlatSocket s, NetAddress *a) {
    sockaddr_storage ss;
    int len = sizeof ss;
    if (getsockname(Sock(s), (sockaddr *)&ss, &len) != 0) return -1;
    FromSockaddr((const sockaddr *)&ss, a);
    return 0;
}

static void CloseSocket(PlatSocket s, int orderly) {
    if (s == -1) return;
    if (TlsConn *h = TlsShaking(Sock(s))) TlsDrop(h);  // no close_notify: it never began
    if (TlsConn *t = TlsFind(Sock(s))) TlsClose(t, orderly);
    if (!orderly) {
        // A zero linger makes closesocket() send a reset.
        linger now = {1, 0};
        setsockopt(Sock(s), SOL_SOCKET, SO_LINGER, (const char *)&now, sizeof now);
    }
    closesocket(Sock(s));
    std::vector<Notified> gone;
    for (size_t i = 0; i < NotifiedTo.size();) {
        if (NotifiedTo[i].s == Sock(s)) {
            gone.push_back(NotifiedTo[i]);
            NotifiedTo.erase(NotifiedTo.begin() + (long)i);
        } else {
            i++;
        }
    }
    for (const Notified &n : gone) DropQueued(n);
}

void PlatNetClose(PlatSocket s) { CloseSocket(s, 1); }
void PlatNetAbort(PlatSocket s) { CloseSocket(s, 0); }
