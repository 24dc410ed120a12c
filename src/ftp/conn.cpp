// CONN: resolves the server's name, opens the control connection and
// completes on the server's greeting.
#include <cstring>

#include "session/settings.h"
#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/command.h"
#include "session/status.h"

// The host entry of the asynchronous look-up. Not in the record: Winsock
// fills it after the call returns, and a look-up still pending at exit
// must not write into a freed record.
static char HostEntry[1024];

static void RaiseIfAsked(PlatWindow hDlg, QELTA *q) {
    if (SettingOn(q, SET_BRINGTOTOP)) ViewRaise(q, hDlg);
}

static int Fail(QELTA *q, const char *text) {
    FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, text, q->LastSocketError);
    return 0;
}

// "host" or "host:port" into HostName, ServerPort and ServerAddress.
static int SplitArgument(PlatWindow hDlg, QELTA *q) {
    const char *colon = strchr(q->Argument, ':');
    size_t hostLength = colon ? (size_t)(colon - q->Argument) : strlen(q->Argument);
    // A cut name would be another host: refuse it instead.
    if (hostLength >= sizeof q->HostName) {
        COPYCUT(q->ErrorText, "Host name longer than 127 characters in ExecCONN\r\n");
        return 0;
    }
    memcpy(q->HostName, q->Argument, hostLength);
    q->HostName[hostLength] = 0;
    ViewShow(q, hDlg, VIEW_REMOTE_HOST, q->HostName);
    int standard = q->Tls.Mode == TLS_IMPLICIT ? 990 : 21;
    q->ServerPort = colon ? (int)ReadDecimal(colon + 1) : standard;
    memset(&q->ServerAddress, 0, sizeof q->ServerAddress);
    q->ServerAddress.family = 2;
    q->ServerAddress.port = PlatNetHtons((unsigned short)(q->ServerPort & 0xFFFF));
    return 1;
}

static int Connect(PlatWindow hDlg, QELTA *q) {
    // A second CONN without QUIT replaces the old connection.
    if (q->Socket.Control != -1) PlatNetClose(q->Socket.Control);
    q->Socket.Control = PlatNetSocket();
    if (q->Socket.Control == -1) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d on call socket() in ExecCONN\r\n");
    }
    // A new connection starts at a line start, its greeting awaited. The
    // socket's number cannot tell: the old one's is often reused.
    if (!ResetReplyReader(q)) return 0;
    q->Tls.ControlSecured = q->Tls.ProtectionAgreed = q->Tls.Step = 0;
    ExpectReply(q);
    // FD_CLOSE too: Winsock signals a server's close with it alone, and a
    // close before the greeting must fail the run at once.
    if (PlatNetAsyncSelect(q->Socket.Control, hDlg, CONTROLMSG,
                           QFD_READ | QFD_WRITE | QFD_CONNECT | QFD_CLOSE) != 0) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d on call WSAAsyncSelect() in ExecCONN\r\n");
    }
    if (PlatNetConnect(q->Socket.Control, &q->ServerAddress) != 0) {
        q->LastSocketError = PlatNetLastError();
        if (q->LastSocketError != QWSAEWOULDBLOCK)
            return Fail(q, "Winsock Error %d on call connect() in ExecCONN\r\n");
    }
    return 1;
}

static int ResolveBlocking(PlatWindow hDlg, QELTA *q) {
    unsigned char addr[4];
    int len = 0;
    if (!PlatNetResolve(q->HostName, addr, &len)) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d getting remote host name(2) in ExecCONN\r\n");
    }
    if (len == 0) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d getting remote host name(1) in ExecCONN\r\n");
    }
    memcpy(q->ServerAddress.addr, addr, 4);
    return Connect(hDlg, q);
}

static int Start(PlatWindow hDlg, QELTA *q) {
    RaiseIfAsked(hDlg, q);
    q->LookupRequest = 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Connect to Remote Host");
    SetCommandState(q, COMMAND_BUSY);
    if (!SplitArgument(hDlg, q)) return 0;
    // A dotted address needs no look-up, whatever Blocking says.
    if (PlatNetDotted(q->HostName, q->ServerAddress.addr)) return Connect(hDlg, q);
    if (SettingOn(q, SET_BLOCKING)) return ResolveBlocking(hDlg, q);
    q->LookupRequest =
        PlatNetResolveAsync(hDlg, CONNECTEDMSG, q->HostName, HostEntry, sizeof HostEntry);
    if (q->LookupRequest == 0) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d on call WSAAsyncGetHostByName() in ExecCONN\r\n");
    }
    return 1;
}

static int LookupFinished(PlatWindow hDlg, QELTA *q) {
    if (q->ErrorFlag == 1 || q->Cancelled == 1) return 1;
    q->LookupRequest = 0;
    if (!PlatNetResolvedAddress(HostEntry, q->ServerAddress.addr)) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d getting remote host name(1) in ExecCONN\r\n");
    }
    return Connect(hDlg, q);
}

static void ShowConnected(PlatWindow hDlg, QELTA *q) {
    if (q->LocalHostName[0] != 0) return;
    const unsigned char *a = q->ServerAddress.addr;
    FORMATCUT(q->LocalHostName, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    ViewShow(q, hDlg, VIEW_LOCAL_HOST, q->LocalHostName);
}

static int Connected(PlatWindow hDlg, QELTA *q) {
    RaiseIfAsked(hDlg, q);
    q->Connected = 1;
    return EndCommand(q, END_RECORDED);
}

// Explicit TLS: nothing but AUTH TLS goes out before the handshake, and a
// refusal ends the command there, so no user name or password is ever
// sent in clear.
static int AuthReply(PlatWindow hDlg, QELTA *q) {
    int r = AwaitReply(hDlg, q, CODE_AUTH_OK);
    if (r != AWAIT_MATCHED) return r == AWAIT_PENDING;
    return SecureControlConnection(q, "ExecCONN()");
}

// Explicit TLS: CONN is done. Implicit: the greeting comes next, inside TLS.
static int Secured(PlatWindow hDlg, QELTA *q) {
    if (!ControlConnectionSecured(q)) return 0;
    return q->Tls.Mode == TLS_EXPLICIT ? Connected(hDlg, q) : 1;
}

static int Greeting(PlatWindow hDlg, QELTA *q) {
    int r = AwaitReply(hDlg, q, CODE_SERVICE_READY);
    if (r != AWAIT_MATCHED) return r == AWAIT_PENDING;
    if (q->Tls.Mode != TLS_EXPLICIT) return Connected(hDlg, q);
    q->Tls.Step = TLS_STEP_AUTH;
    return SendControlLine(q, "AUTH TLS\r\n", nullptr, "User Selected No to Debug Message\r\n",
                           "Winsock Error %d On send() in ExecCONN\r\n");
}

// Implicit TLS: the handshake comes first, the greeting inside it.
static int ConnectionMade(PlatWindow hDlg, QELTA *q) {
    ShowConnected(hDlg, q);
    if (q->Tls.Mode != TLS_IMPLICIT || q->Tls.ControlSecured || q->Tls.Step != TLS_STEP_NONE)
        return 1;
    return SecureControlConnection(q, "ExecCONN()");
}

int ExecCONN(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) return Start(hDlg, q);
    if (kind == EV_CONNECTED) return LookupFinished(hDlg, q);
    if (kind != EV_SOCKET || msg != CONTROLMSG) return 1;
    // The socket's events are the TLS layer's until the handshake's end.
    if (q->Tls.Step == TLS_STEP_HANDSHAKE) return ev == QFD_TLS ? Secured(hDlg, q) : 1;
    if (ev == QFD_READ) return q->Tls.Step == TLS_STEP_AUTH ? AuthReply(hDlg, q) : Greeting(hDlg, q);
    if (ev == QFD_CONNECT) return ConnectionMade(hDlg, q);
    return 1;
}

// The network layer for the run: Winsock 1.1 (or its POSIX equivalent) and
// the local host name for the log.
int StartNetwork(QELTA *q, PlatWindow hDlg) {
    int major = 0, minor = 0;
    char description[260];
    description[0] = 0;
    if (PlatNetStart(&major, &minor, description, sizeof description) != 0) {
        q->ErrorFlag = 1;
        COPYCUT(q->ErrorText, "No usable WINSOCK.DLL found.(1)");
        return 0;
    }
    if (major != 1 || minor != 1) {
        q->ErrorFlag = 1;
        COPYCUT(q->ErrorText, "No usable WINSOCK.DLL found.(2)");
        PlatNetStop();
        return 0;
    }
    ErrorLogText(q, description);
    ErrorLogText(q, "\r\n");
    if (SettingOn(q, SET_NOGETHOSTNAME)) return 1;
    if (!PlatNetLocalHostName(q->LocalHostName, sizeof q->LocalHostName)) {
        q->LocalHostName[0] = 0;
        return 1;
    }
    ViewShow(q, hDlg, VIEW_LOCAL_HOST, q->LocalHostName);
    return 1;
}
