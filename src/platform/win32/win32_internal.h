// What the Windows platform files share between themselves: the TLS
// records that the socket calls go through, and the way back to a
// socket's notification window.
#ifndef QELTA_WIN32_INTERNAL_H
#define QELTA_WIN32_INTERNAL_H

#include <winsock2.h>
#include <windows.h>

#include <cstddef>

// win32_tls.cpp: a socket made a TLS client has a record; plain sockets
// have none, and finding that out is one look in a short list.
struct TlsConn;
TlsConn *TlsFind(SOCKET s);
long TlsSend(TlsConn *c, const void *buf, size_t n);
long TlsRecv(TlsConn *c, void *buf, size_t n, int peek);
// Sends what is pending and close_notify when notify is 1, then frees the
// record; the socket itself is left for the caller to close.
void TlsClose(TlsConn *c, int notify);
// A handshake under way (begun by PlatNetTlsStart, not yet finished): the
// socket's record, which TlsFind does not give; TlsDrop frees it, nothing
// sent.
TlsConn *TlsShaking(SOCKET s);
void TlsDrop(TlsConn *c);
// Every message of the program's windows comes here first: a socket event
// of a handshake under way is taken (true) and carries it on; the rest go
// on to the window (false).
bool TlsTakeEvent(HWND w, UINT msg, WPARAM wp, LPARAM lp);

// win32_net.cpp: posts event (FD_READ, FD_CLOSE) for s as Winsock would,
// to where its events go now, when they include it.
void NetPostEvent(SOCKET s, long event);
// Where s's events go now; false when it has no window.
bool NetNotifyTarget(SOCKET s, HWND *w, UINT *msg);

#endif
