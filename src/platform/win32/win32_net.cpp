// Windows Sockets 1.1 in asynchronous-notification mode. The calls pass
// straight through; only handle and address types are converted here, and
// a closed socket's queued events are dropped.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

static_assert(sizeof(PlatSockAddr) == sizeof(sockaddr_in), "PlatSockAddr must be a sockaddr_in");

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

int PlatNetDotted(const char *name, unsigned char addr[4]) {
    unsigned long a = inet_addr(name);
    if (a == INADDR_NONE) return 0;
    memcpy(addr, &a, 4);
    return 1;
}

// Copies the first IPv4 address of a host entry; 0 when it has none.
static int FirstAddress(const hostent *h, unsigned char addr[4]) {
    if (!h->h_addr_list || !h->h_addr_list[0] || h->h_length != 4) return 0;
    memcpy(addr, h->h_addr_list[0], 4);
    return 1;
}

int PlatNetResolve(const char *name, unsigned char addr[4], int *len) {
    hostent *h = gethostbyname(name);
    if (!h) return 0;
    *len = FirstAddress(h, addr) ? 4 : 0;
    return 1;
}

uintptr_t PlatNetResolveAsync(PlatWindow w, unsigned msg, const char *name, char *hostent, size_t size) {
    return (uintptr_t)WSAAsyncGetHostByName((HWND)w, msg, name, hostent, (int)size);
}

// The library builds the host entry at the start of the caller's buffer.
int PlatNetResolvedAddress(const char *hostent, unsigned char addr[4]) {
    struct hostent h;
    memcpy(&h, hostent, sizeof h);
    return FirstAddress(&h, addr);
}

void PlatNetCancelResolve(uintptr_t request) { WSACancelAsyncRequest((HANDLE)request); }

unsigned short PlatNetHtons(unsigned short v) { return htons(v); }

PlatSocket PlatNetSocket(void) { return FromSock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

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

int PlatNetConnect(PlatSocket s, const PlatSockAddr *a) {
    return connect(Sock(s), (const sockaddr *)a, sizeof(sockaddr_in)) == 0 ? 0 : -1;
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

int PlatNetBind(PlatSocket s, const PlatSockAddr *a) {
    return bind(Sock(s), (const sockaddr *)a, sizeof(sockaddr_in)) == 0 ? 0 : -1;
}

int PlatNetListen(PlatSocket s, int backlog) { return listen(Sock(s), backlog) == 0 ? 0 : -1; }

PlatSocket PlatNetAccept(PlatSocket s, PlatSockAddr *peer) {
    int len = sizeof(sockaddr_in);
    SOCKET a = accept(Sock(s), (sockaddr *)peer, peer ? &len : NULL);
    if (a == INVALID_SOCKET) return -1;
    // The accepted socket posts as the listening one did until it is
    // given its own notification.
    std::vector<Notified> inherited;
    for (const Notified &n : NotifiedTo)
        if (n.s == Sock(s)) inherited.push_back(n);
    for (const Notified &n : inherited) Remember(a, n.w, n.msg, n.events);
    return FromSock(a);
}

int PlatNetLocalAddress(PlatSocket s, PlatSockAddr *a) {
    int len = sizeof(sockaddr_in);
    return getsockname(Sock(s), (sockaddr *)a, &len) == 0 ? 0 : -1;
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
