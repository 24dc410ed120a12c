// PORT and PASV: the data connection the next transfer command uses once.
// PORT listens here and tells the server where; PASV connects to the port
// the server names, and is complete only once connected.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/command.h"
#include "session/status.h"
#include "transfer/dataio.h"
#include "transfer/executors.h"

static const char *const Refused = "User Selected No to Debug Message\r\n";

static void Complete(QELTA *q) { EndCommand(q, END_RECORDED); }

static int SocketFailed(QELTA *q, const char *text) {
    q->LastSocketError = PlatNetLastError();
    FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, text, q->LastSocketError);
    return 0;
}

// Inside a generated run, a port whose transfer was skipped (a tolerated
// 550) was never used and serves the next transfer: nothing is sent.
static int ReusePort(QELTA *q) {
    if (q->DataPortReady != 1 || q->ReturnIndex == 0) return 0;
    Complete(q);
    return 1;
}

// Any local address, a port the system chooses.
static int BindAnyPort(PlatSocket s) {
    PlatSockAddr any;
    memset(&any, 0, sizeof any);
    any.family = 2;
    return PlatNetBind(s, &any);
}

// ---- PORT ----------------------------------------------------------------------------

int CreatePortCommand(QELTA *q, PlatWindow hDlg) {
    // A port opened by an earlier PORT and never used serves nobody.
    if (q->Socket.Listen != -1) PlatNetClose(q->Socket.Listen);
    q->Socket.Listen = PlatNetSocket();
    if (q->Socket.Listen == -1)
        return SocketFailed(q, "Winsock Error %d on call socket() in CreatePortCommand()\r\n");
    if (PlatNetAsyncSelect(q->Socket.Listen, hDlg, LISTEN, QFD_ACCEPT) != 0)
        return SocketFailed(q, "Winsock Error %d on call WSAAsyncSelect() in CreatePortCommand()\r\n");
    if (BindAnyPort(q->Socket.Listen) != 0)
        return SocketFailed(q, "Winsock Error %d on call bind() in CreatePortCommand()\r\n");
    PlatSockAddr here, port;
    memset(&here, 0, sizeof here);
    memset(&port, 0, sizeof port);
    PlatNetLocalAddress(q->Socket.Control, &here);
    PlatNetLocalAddress(q->Socket.Listen, &port);
    if (PlatNetListen(q->Socket.Listen, 0) != 0)
        return SocketFailed(q, "Winsock Error %d on call listen() in CreatePortCommand()\r\n");
    const unsigned char *a = here.addr;
    if (q->LocalHostName[0] == 0) {
        FORMATCUT(q->LocalHostName, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
        ViewShow(q, hDlg, VIEW_LOCAL_HOST, q->LocalHostName);
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&port.port);
    FORMATCUT(q->Argument, "%d,%d,%d,%d,%d,%d\r\n", a[0], a[1], a[2], a[3], p[0], p[1]);
    return 1;
}

static int StartPORT(PlatWindow hDlg, QELTA *q) {
    q->PassRetryCount = 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Establish the Data Port");
    if (ProtectionDue(q)) return StartProtection(q, "ExecPORT");
    q->Tolerated550 = 0;
    if (ReusePort(q)) return 1;
    q->DataAccepted = 0;
    if (!CreatePortCommand(q, hDlg)) {
        COPYCUT(q->ErrorText, "CreatePortCommand() returned FALSE in ExecPORT");
        return 0;
    }
    char line[128];
    FORMATCUT(line, "PORT %s", q->Argument);
    return SendControlLine(q, line, nullptr, Refused, "Winsock Error %d On send() in ExecPORT\r\n");
}

static int ReplyToPORT(PlatWindow hDlg, QELTA *q) {
    if (q->Tls.Step != TLS_STEP_NONE) {
        int agreed = ProtectionReply(hDlg, q, "ExecPORT");
        return agreed == AWAIT_MATCHED ? StartPORT(hDlg, q) : agreed == AWAIT_PENDING;
    }
    int got = AwaitReply(hDlg, q, CODE_COMMAND_OK);
    if (got != AWAIT_MATCHED) return got == AWAIT_PENDING;
    q->DataPortReady = 1;
    Complete(q);
    return 1;
}

static const AcceptTexts PortAccept = {
    "Winsock Error %d on call accept() in ExecPORT()\r\n",
    "Winsock Error %d on call closesocket() in ExecPORT()\r\n",
    "Winsock Error %d on call WSAAsyncSelect() in ExecPORT()\r\n"};

static const AcceptTexts PasvAccept = {
    "Winsock Error %d on call accept() in ExecPASV()\r\n",
    "Winsock Error %d on call closesocket() in ExecPASV()\r\n",
    "Winsock Error %d on call WSAAsyncSelect() in ExecPASV()\r\n"};

// The events both executors take alike.
static int OtherEvent(PlatWindow hDlg, QELTA *q, unsigned msg, unsigned ev, const AcceptTexts *t) {
    if (msg == DATA && ev == QFD_WRITE) q->ClearToSendData = 1;
    if (msg == LISTEN && ev == QFD_ACCEPT) return AcceptDataConnection(q, hDlg, t);
    return 1;
}

int ExecPORT(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) return StartPORT(hDlg, q);
    if (kind != EV_SOCKET) return 1;
    if (msg == CONTROLMSG && ev == QFD_READ) return ReplyToPORT(hDlg, q);
    return OtherEvent(hDlg, q, msg, ev, &PortAccept);
}

// ---- PASV ----------------------------------------------------------------------------

static int StartPASV(PlatWindow hDlg, QELTA *q) {
    q->PassRetryCount = 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Establish the PASV Data Port");
    if (ProtectionDue(q)) return StartProtection(q, "ExecPASV");
    q->PASVMode = 1;
    q->Tolerated550 = 0;
    if (ReusePort(q)) return 1;
    q->DataAccepted = 0;
    if (!SendControlLine(q, "PASV\r\n", nullptr, Refused,
                         "Winsock Error %d On send() in ExecPASV\r\n"))
        return 0;
    WatchReplyLines(q, TakePassiveAddress);
    return 1;
}

// Where the passive connection goes. The address inside a 227 reply is
// not trusted: a server (or anything that can inject a reply) could point
// the client at any host, and servers behind NAT announce private ones.
// The server's port is taken with the control connection's peer.
static PlatSockAddr PassiveTarget(QELTA *q) {
    PlatSockAddr to = q->PassiveAddress;
    if (q->PASVUseReplyAddress == 1) return to;
    if (memcmp(to.addr, q->ServerAddress.addr, 4) != 0 && q->DebugEx == 1) {
        char text[120];
        const unsigned char *r = to.addr, *c = q->ServerAddress.addr;
        FORMATCUT(text, "PASV reply names %d.%d.%d.%d; connecting to %d.%d.%d.%d instead\r\n", r[0],
                  r[1], r[2], r[3], c[0], c[1], c[2], c[3]);
        DebugTrace(q, text);
    }
    memcpy(to.addr, q->ServerAddress.addr, 4);
    return to;
}

static int ConnectPassive(PlatWindow hDlg, QELTA *q) {
    CloseDataConnection(q, 1);
    q->Socket.Data = PlatNetSocket();
    if (q->Socket.Data == -1)
        return SocketFailed(q, "Winsock Error %d on call socket() in ExecPASV()\r\n");
    NoteDataConnection(q);
    if (SelectDataEvents(hDlg, q->Socket.Data) != 0)
        return SocketFailed(q, "Winsock Error %d on call WSAAsyncSelect() in ExecPASV()\r\n");
    if (BindAnyPort(q->Socket.Data) != 0)
        return SocketFailed(q, "Winsock Error %d on call bind() in ExecPASV()\r\n");
    PlatSockAddr to = PassiveTarget(q);
    if (PlatNetConnect(q->Socket.Data, &to) != 0 && PlatNetLastError() != QWSAEWOULDBLOCK)
        return SocketFailed(q, "Winsock Error %d on call connect() in ExecPASV()\r\n");
    return 1;
}

static int ReplyToPASV(PlatWindow hDlg, QELTA *q) {
    if (q->Tls.Step != TLS_STEP_NONE) {
        int agreed = ProtectionReply(hDlg, q, "ExecPASV");
        return agreed == AWAIT_MATCHED ? StartPASV(hDlg, q) : agreed == AWAIT_PENDING;
    }
    int got = AwaitReply(hDlg, q, CODE_PASSIVE);
    if (got != AWAIT_MATCHED) return got == AWAIT_PENDING;
    // Complete only once connected: the transfer finds a ready socket.
    return ConnectPassive(hDlg, q);
}

int ExecPASV(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) return StartPASV(hDlg, q);
    if (kind != EV_SOCKET) return 1;
    if (msg == CONTROLMSG && ev == QFD_READ) return ReplyToPASV(hDlg, q);
    if (msg == DATA && ev == QFD_CONNECT) {
        q->DataPortReady = 1;
        Complete(q);
        return 1;
    }
    return OtherEvent(hDlg, q, msg, ev, &PasvAccept);
}
