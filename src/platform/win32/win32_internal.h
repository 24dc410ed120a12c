// What the Windows platform files share between themselves: the TLS
// records that the socket calls go through, and the way back to a
// socket's notification window.
#ifndef QELTA_WIN32_INTERNAL_H
#define QELTA_WIN32_INTERNAL_H

#include <winsock2.h>

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

// win32_net.cpp: posts event (FD_READ, FD_CLOSE) for s as Winsock would,
// to where its events go now, when they include it.
void NetPostEvent(SOCKET s, long event);

#endif
