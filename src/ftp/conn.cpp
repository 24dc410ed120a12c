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

// The entry of the asynchronous look-up. Not in the record: the look-up's
// thread fills it after the call returns, and a look-up still pending at
// exit must not write into a freed record.
static char HostEntry[1024];

static void RaiseIfAsked(PlatWindow hDlg, QELTA *q) {
    if (SettingOn(q, SET_BRINGTOTOP)) ViewRaise(q, hDlg);
}

static int Fail(QELTA *q, const char *text) {
    FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, text, q->LastSocketError);
    return 0;
}

// The argument's host and port into HostName and ServerPort.
static int SplitArgument(PlatWindow hDlg, QELTA *q) {
    const char *port;
    int split = SplitHostPort(q->Argument, q->HostName, sizeof q->HostName, &port);
    if (split == HOSTPORT_LONG) {
        COPYCUT(q->ErrorText, "Host name longer than 127 characters in ExecCONN\r\n");
        return 0;
    }
    if (split == HOSTPORT_MALFORMED) {
        FORMATCUT(q->ErrorText,
                  "CONN %s: an IPv6 address in brackets must be followed by nothing or "
                  ":port in ExecCONN\r\n",
                  q->Argument);
        return 0;
    }
    ViewShow(q, hDlg, VIEW_REMOTE_HOST, q->HostName);
    int standard = q->Tls.Mode == TLS_IMPLICIT ? 990 : 21;
    q->ServerPort = port ? (int)ReadDecimal(port) : standard;
    return 1;
}

// Every address tried has failed (refused, unreachable or silent): the
// last error and all of them. The server may be back later.
static int FailAll(QELTA *q) {
    FORMATCUT(q->ErrorText, "Winsock error %d on Control Socket; tried %s\r\n",
              q->LastSocketError, q->Connect.Tried);
    return OUTCOME_TRANSIENT;
}

// A control socket for the current address, connecting: 1 under way, 0
// on a failure of the socket itself (ErrorText set), -1 when this address
// was refused at once.
static int OpenAndConnect(PlatWindow hDlg, QELTA *q) {
    // A second CONN without QUIT replaces the old connection.
    if (q->Socket.Control != -1) PlatNetClose(q->Socket.Control);
    q->Socket.Control = PlatNetSocket(q->ServerAddress.Family);
    if (q->Socket.Control == -1) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d on call socket() in ExecCONN\r\n");
    }
    // A new connection starts at a line start, its greeting awaited. The
    // socket's number cannot tell: the old one's is often reused.
    if (!ResetReplyReader(q)) return 0;
    q->Tls.ControlSecured = q->Tls.ProtectionAgreed = q->Tls.Step = 0;
    q->Epsv.State = EPSV_UNKNOWN;
    q->Epsv.WaitConnect = q->Epsv.Ahead = q->Epsv.AheadOff = 0;
    q->Verify.FeaturesAsked = 0;
    q->Verify.HashOption = 0;
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
        if (q->LastSocketError != QWSAEWOULDBLOCK) return -1;
    }
    return 1;
}

// Connects to the current address, going on to the next while one is
// refused at once.
static int ConnectCurrent(PlatWindow hDlg, QELTA *q) {
    for (;;) {
        q->ServerAddress = q->Connect.Address[q->Connect.At];
        int r = OpenAndConnect(hDlg, q);
        if (r != -1) return r;
        if (!AttemptFailed(q, q->LastSocketError)) return FailAll(q);
        StartAttemptClock(q);
    }
}

// The addresses found (count of them) get the port and are tried in turn.
static int Connect(PlatWindow hDlg, QELTA *q, int count) {
    q->Connect.Count = count;
    for (int i = 0; i < count; i++) q->Connect.Address[i].Port = (unsigned short)q->ServerPort;
    BeginAttempts(q);
    return ConnectCurrent(hDlg, q);
}

static int NextAddress(PlatWindow hDlg, QELTA *q) {
    if (!AttemptFailed(q, q->LastSocketError)) return FailAll(q);
    StartAttemptClock(q);
    return ConnectCurrent(hDlg, q);
}

enum { MaxAddresses = (int)(sizeof(((QELTA *)0)->Connect.Address) / sizeof(NetAddress)) };

static int ResolveBlocking(PlatWindow hDlg, QELTA *q) {
    int count = 0;
    if (!PlatNetResolve(q->HostName, q->Connect.Address, MaxAddresses, &count)) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d getting remote host name(2) in ExecCONN\r\n");
    }
    return Connect(hDlg, q, count);
}

static int Start(PlatWindow hDlg, QELTA *q) {
    RaiseIfAsked(hDlg, q);
    q->LookupRequest = 0;
    EndAttempts(q);
    ViewShow(q, hDlg, VIEW_COMMAND, "Connect to Remote Host");
    SetCommandState(q, COMMAND_BUSY);
    if (!SplitArgument(hDlg, q)) return 0;
    // An extra connection goes where the run's first one went: the same
    // server, and no look-up of its own beside the others'.
    if (q->Pool.Address.Family != 0) {
        q->Connect.Address[0] = q->Pool.Address;
        return Connect(hDlg, q, 1);
    }
    // An address needs no look-up, whatever Blocking says.
    if (NetParseAddress(q->HostName, &q->Connect.Address[0])) return Connect(hDlg, q, 1);
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
    int count = PlatNetResolvedAddresses(HostEntry, q->Connect.Address, MaxAddresses);
    if (count == 0) {
        q->LastSocketError = PlatNetLastError();
        return Fail(q, "Winsock Error %d getting remote host name(1) in ExecCONN\r\n");
    }
    return Connect(hDlg, q, count);
}

static void ShowConnected(PlatWindow hDlg, QELTA *q) {
    if (q->LocalHostName[0] != 0) return;
    NetFormatAddress(&q->ServerAddress, q->LocalHostName, sizeof q->LocalHostName, 0);
    ViewShow(q, hDlg, VIEW_LOCAL_HOST, q->LocalHostName);
}

static int Connected(PlatWindow hDlg, QELTA *q) {
    RaiseIfAsked(hDlg, q);
    q->Connected = 1;
    return OUTCOME_DONE;
}

// Explicit TLS: nothing but AUTH TLS goes out before the handshake, and a
// refusal ends the command there, so no user name or password is ever
// sent in clear.
static int AuthReply(PlatWindow hDlg, QELTA *q) {
    int r = AwaitReply(hDlg, q, CODE_AUTH_OK);
    if (r != AWAIT_MATCHED) return AwaitOutcome(r);
    return SecureControlConnection(q, "ExecCONN()");
}

// Explicit TLS: CONN is done. Implicit: the greeting comes next, inside TLS.
static int Secured(PlatWindow hDlg, QELTA *q) {
    if (!ControlConnectionSecured(q)) return 0;
    return q->Tls.Mode == TLS_EXPLICIT ? Connected(hDlg, q) : 1;
}

static int Greeting(PlatWindow hDlg, QELTA *q) {
    int r = AwaitReply(hDlg, q, CODE_SERVICE_READY);
    if (r != AWAIT_MATCHED) return AwaitOutcome(r);
    if (q->Tls.Mode != TLS_EXPLICIT) return Connected(hDlg, q);
    q->Tls.Step = TLS_STEP_AUTH;
    return SendControlLine(q, "AUTH TLS\r\n", nullptr, "User Selected No to Debug Message\r\n",
                           "Winsock Error %d On send() in ExecCONN\r\n");
}

// Implicit TLS: the handshake comes first, the greeting inside it.
static int ConnectionMade(PlatWindow hDlg, QELTA *q) {
    EndAttempts(q);
    ShowConnected(hDlg, q);
    if (q->Tls.Mode != TLS_IMPLICIT || q->Tls.ControlSecured || q->Tls.Step != TLS_STEP_NONE)
        return 1;
    return SecureControlConnection(q, "ExecCONN()");
}

int ExecCONN(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) return Start(hDlg, q);
    if (kind == EV_CONNECTED) return LookupFinished(hDlg, q);
    if (kind == EV_CONNECT_FAILED) return NextAddress(hDlg, q);
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
        COPYCUT(q->ErrorText, "No usable WINSOCK.DLL found.(1)");
        return 0;
    }
    if (major != 1 || minor != 1) {
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
