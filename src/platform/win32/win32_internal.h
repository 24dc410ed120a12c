// What the Windows platform files share between themselves.
#ifndef QELTA_WIN32_INTERNAL_H
#define QELTA_WIN32_INTERNAL_H

#include <winsock2.h>

// win32_net.cpp: posts FD_READ for s as Winsock would, to where its
// events go now, when they include FD_READ.
void NetPostRead(SOCKET s);

#endif
