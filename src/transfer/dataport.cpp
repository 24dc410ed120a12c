// PORT and PASV: the data connection the next transfer command uses once.
// PORT listens here and tells the server where; PASV connects to the port
// the server names. Where that connection's path is known, PASV is
// complete as soon as its connect is under way and the transfer's line
// goes at once, its executor taking the connect's end; otherwise PASV is
// complete only once connected, so that its fallbacks can still run.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/command.h"
#include "session/settings.h"
#include "session/status.h"
#include "transfer/dataio.h"
#include "transfer/executors.h"
#include "transfer/verify.h"

static const char *const Refused = "User Selected No to Debug Message\r\n";

static int SocketFailed(QELTA *q, const char *text) {
    q->LastSocketError = PlatNetLastError();
    FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, text, q->LastSocketError);
    return 0;
}

// Inside a generated run, a port whose transfer was skipped (a tolerated
// 550) was never used and serves the next transfer: nothing is sent.
static int ReusePort(const QELTA *q) { return q->DataPortReady == 1 && q->ReturnIndex != 0; }

// Any local address of the family, a port the system chooses.
static int BindAnyPort(PlatSocket s, int family) {
    NetAddress any;
    memset(&any, 0, sizeof any);
    any.Family = family;
    return PlatNetBind(s, &any);
}

static void ShowLocalHost(PlatWindow hDlg, QELTA *q, const NetAddress *here) {
    if (q->LocalHostName[0] != 0) return;
    NetFormatAddress(here, q->LocalHostName, sizeof q->LocalHostName, 0);
    ViewShow(q, hDlg, VIEW_LOCAL_HOST, q->LocalHostName);
}

// The data connection's kind and address, for the report's records.
static void NoteDataMode(QELTA *q, const char *mode, const NetAddress *where, unsigned short port) {
    NetAddress a = *where;
    a.Port = port;
    COPYCUT(q->Report.DataMode, mode);
    NetFormatAddress(&a, q->Report.DataAddress, sizeof q->Report.DataAddress, 1);
}

// PORT's six numbers over IPv4; EPRT's "|2|address|port|" over IPv6.
static void PortArgument(QELTA *q, const NetAddress *here, unsigned short port) {
    if (here->Family == NET_IPV6) {
        char text[NET_ADDRESS_TEXT];
        NetFormatAddress(here, text, sizeof text, 0);
        FORMATCUT(q->Argument, "EPRT |2|%s|%u|\r\n", text, port);
        return;
    }
    const unsigned char *a = here->Bytes;
    FORMATCUT(q->Argument, "PORT %d,%d,%d,%d,%d,%d\r\n", a[0], a[1], a[2], a[3], port >> 8,
              port & 0xFF);
}

// ---- PORT ----------------------------------------------------------------------------

int CreatePortCommand(QELTA *q, PlatWindow hDlg) {
    NetAddress here, port;
    memset(&here, 0, sizeof here);
    memset(&port, 0, sizeof port);
    PlatNetLocalAddress(q->Socket.Control, &here);
    int family = here.Family == NET_IPV6 ? NET_IPV6 : NET_IPV4;
    // A port opened by an earlier PORT and never used serves nobody.
    if (q->Socket.Listen != -1) PlatNetClose(q->Socket.Listen);
    q->Socket.Listen = PlatNetSocket(family);
    if (q->Socket.Listen == -1)
        return SocketFailed(q, "Winsock Error %d on call socket() in CreatePortCommand()\r\n");
    if (PlatNetAsyncSelect(q->Socket.Listen, hDlg, LISTEN, QFD_ACCEPT) != 0)
        return SocketFailed(q, "Winsock Error %d on call WSAAsyncSelect() in CreatePortCommand()\r\n");
    // IPv6 listens on the control connection's own address, which the
    // server can reach; IPv4 on any, as it always has.
    NetAddress at = here;
    at.Port = 0;
    int bound = family == NET_IPV6 ? PlatNetBind(q->Socket.Listen, &at)
                                   : BindAnyPort(q->Socket.Listen, family);
    if (bound != 0)
        return SocketFailed(q, "Winsock Error %d on call bind() in CreatePortCommand()\r\n");
    PlatNetLocalAddress(q->Socket.Listen, &port);
    if (PlatNetListen(q->Socket.Listen, 0) != 0)
        return SocketFailed(q, "Winsock Error %d on call listen() in CreatePortCommand()\r\n");
    ShowLocalHost(hDlg, q, &here);
    PortArgument(q, &here, port.Port);
    NoteDataMode(q, family == NET_IPV6 ? "EPRT" : "PORT", &here, port.Port);
    return 1;
}

// A new data port: nothing is left of an earlier passive connect.
static void ForgetEarlyConnect(QELTA *q) {
    if (q->Epsv.Connecting) EndAttempts(q);
    q->Epsv.Connecting = q->Epsv.ConnectError = q->Epsv.SentEarly = 0;
}

static int StartPORT(PlatWindow hDlg, QELTA *q) {
    q->PassRetryCount = 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Establish the Data Port");
    if (ProtectionDue(q)) return StartProtection(q, "ExecPORT");
    if (FeaturesDue(q)) return AskFeatures(q, "ExecPORT");
    q->Tolerated550 = 0;
    if (ReusePort(q)) return OUTCOME_DONE;
    ForgetEarlyConnect(q);
    q->DataAccepted = 0;
    if (!CreatePortCommand(q, hDlg)) {
        COPYCUT(q->ErrorText, "CreatePortCommand() returned FALSE in ExecPORT");
        return 0;
    }
    return SendControlLine(q, q->Argument, nullptr, Refused,
                           "Winsock Error %d On send() in ExecPORT\r\n");
}

static int ReplyToPORT(PlatWindow hDlg, QELTA *q) {
    if (q->Tls.Step != TLS_STEP_NONE) {
        int agreed = ProtectionReply(hDlg, q, "ExecPORT");
        return agreed == AWAIT_MATCHED ? StartPORT(hDlg, q) : AwaitOutcome(agreed);
    }
    if (FeaturesAsking(q)) {
        int got = FeaturesReply(q);
        return got == AWAIT_MATCHED ? StartPORT(hDlg, q) : AwaitOutcome(got);
    }
    int got = AwaitReply(hDlg, q, CODE_COMMAND_OK);
    if (got != AWAIT_MATCHED) return AwaitOutcome(got);
    q->DataPortReady = 1;
    return OUTCOME_DONE;
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

static int UseEpsv(const QELTA *q) {
    // A 227 reply cannot name an IPv6 address: there is no PASV there.
    if (q->ServerAddress.Family == NET_IPV6) return 1;
    return SettingOn(q, SET_EPSV) && q->Epsv.State != EPSV_REFUSED;
}

static int SendPassiveCommand(QELTA *q) {
    q->Epsv.Sent = UseEpsv(q);
    q->PassiveFound = 0;
    int sent = SendControlLine(q, q->Epsv.Sent ? "EPSV\r\n" : "PASV\r\n", nullptr, Refused,
                               "Winsock Error %d On send() in ExecPASV\r\n");
    if (sent != OUTCOME_WORKING) return sent;
    WatchReplyLines(q, q->Epsv.Sent ? TakeExtendedPassivePort : TakePassiveAddress);
    return OUTCOME_WORKING;
}

// EPSV turned down, by its reply or by its data connection: PASV for the
// rest of this control connection, said once.
static int FallBackToPasv(QELTA *q, const char *why) {
    q->Epsv.State = EPSV_REFUSED;
    char line[200];
    FORMATCUT(line, "EPSV %s; PASV from now on on this connection\r\n", why);
    LogText(q, line);
    return SendPassiveCommand(q);
}

// The server's line without its line end, for a log line.
static void ReplyLineText(const QELTA *q, char *out, size_t size) {
    CopyCut(out, size, q->ErrorText);
    out[strcspn(out, "\r\n")] = 0;
}

// ---- The next file's passive line, sent ahead ----------------------------------------

// Where a retrieval's data has all come and its final reply is awaited,
// the next line of a generated run is known to be a data port's: asking
// for it now saves the round trip spent waiting for the final reply (a
// server that lingers on its data connection's close sends it only a
// round trip later). Only after a retrieval: the server is done with the
// transfer, while an upload's end may still be unread there, and a server
// may drop an open data connection for a new passive command.
int SendPassiveAhead(QELTA *q) {
    if (!q->GeneratedNextIsPort || q->PASVMode != 1 || q->Epsv.Ahead || q->Epsv.AheadOff ||
        q->DebugMessages == 1 || q->ErrorFlag == 1 || SettingOn(q, SET_VERIFY) ||
        ProtectionDue(q) || FeaturesDue(q))
        return OUTCOME_WORKING;
    int epsv = UseEpsv(q);
    int sent = SendControlLineAhead(q, epsv ? "EPSV\r\n" : "PASV\r\n",
                                    "Winsock Error %d On send() in ExecPASV\r\n");
    if (sent == OUTCOME_WORKING) q->Epsv.Ahead = epsv ? 1 : 2;
    return sent;
}

// The line this PASV would send went ahead: its reply is this command's.
// 0 when it did not.
static int TakeLineSentAhead(PlatWindow hDlg, QELTA *q) {
    int ahead = q->Epsv.Ahead;
    q->Epsv.Ahead = 0;
    int epsv = UseEpsv(q);
    if (ahead != (epsv ? 1 : 2) || !ReplyAheadOwed(q)) return 0;
    q->Epsv.Sent = epsv;
    q->Epsv.AheadTaken = 1;
    q->PassiveFound = 0;
    ClaimLineSentAhead(q);
    // Read now, whether held or still in the socket: the read event of
    // what came may have gone to a command that had no read to make.
    PlatPostEvent(hDlg, CONTROLMSG, (uintptr_t)q->Socket.Control, QFD_READ);
    WatchReplyLines(q, epsv ? TakeExtendedPassivePort : TakePassiveAddress);
    return 1;
}

// A refusal of a line sent ahead may say only that it came too soon: it
// is sent again, and nothing more goes ahead on this connection.
static int RefusedAhead(QELTA *q) {
    const char *e = q->ErrorText;
    if (!q->Epsv.AheadTaken || (e[0] != '4' && e[0] != '5') || e[1] < '0' || e[1] > '9') return 0;
    q->Epsv.AheadTaken = 0;
    q->Epsv.AheadOff = 1;
    char line[120], text[200];
    ReplyLineText(q, line, sizeof line);
    FORMATCUT(text, "%s sent ahead refused (%s); sent again, and nothing more ahead on this connection\r\n",
              q->Epsv.Sent ? "EPSV" : "PASV", line);
    LogText(q, text);
    q->ErrorText[0] = 0;
    return 1;
}

static int StartPASV(PlatWindow hDlg, QELTA *q) {
    q->PassRetryCount = 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Establish the PASV Data Port");
    if (ProtectionDue(q)) return StartProtection(q, "ExecPASV");
    if (FeaturesDue(q)) return AskFeatures(q, "ExecPASV");
    q->PASVMode = 1;
    q->Tolerated550 = 0;
    if (ReusePort(q)) return OUTCOME_DONE;
    ForgetEarlyConnect(q);
    q->DataAccepted = 0;
    q->Epsv.AheadTaken = 0;
    if (TakeLineSentAhead(hDlg, q)) return OUTCOME_WORKING;
    return SendPassiveCommand(q);
}

// The data connection's targets. The address inside a 227 reply is not
// trusted: a server (or anything that can inject a reply) could point the
// client at any host, and servers behind NAT announce private ones. The
// server's port is taken with the control connection's peer first; the
// reply's address comes second, and only where the rule allows it.
static void PassiveTargets(QELTA *q) {
    NetAddress peer = q->ServerAddress, reply = q->PassiveAddress;
    peer.Port = reply.Port;
    q->Connect.Count = 1;
    q->Connect.Address[0] = q->PASVUseReplyAddress == 1 && !q->Epsv.Sent ? reply : peer;
    if (q->Epsv.Sent || q->PASVUseReplyAddress == 1 || NetSameHost(&reply, &peer)) return;
    char r[NET_ADDRESS_TEXT], c[NET_ADDRESS_TEXT], text[160];
    NetFormatAddress(&reply, r, sizeof r, 0);
    NetFormatAddress(&peer, c, sizeof c, 0);
    FORMATCUT(text, "PASV reply names %s; connecting to %s instead\r\n", r, c);
    DebugTrace(q, text);
    if (PassiveReplyAddressAllowed(&reply, &peer, nullptr))
        q->Connect.Address[q->Connect.Count++] = reply;
}

// A data socket for the current target, connecting: 1 under way, 0 on a
// failure of the socket itself, -1 when the target refused at once.
static int OpenDataAndConnect(PlatWindow hDlg, QELTA *q) {
    const NetAddress *to = &q->Connect.Address[q->Connect.At];
    CloseDataConnection(q, 1);
    q->ClearToSendData = 0;  // a new socket has had no write event
    q->Socket.Data = PlatNetSocket(to->Family);
    if (q->Socket.Data == -1)
        return SocketFailed(q, "Winsock Error %d on call socket() in ExecPASV()\r\n");
    NoteDataConnection(q);
    NoteDataMode(q, q->Epsv.Sent ? "EPSV" : "PASV", to, to->Port);
    if (SelectDataEvents(hDlg, q->Socket.Data) != 0)
        return SocketFailed(q, "Winsock Error %d on call WSAAsyncSelect() in ExecPASV()\r\n");
    if (BindAnyPort(q->Socket.Data, to->Family) != 0)
        return SocketFailed(q, "Winsock Error %d on call bind() in ExecPASV()\r\n");
    if (PlatNetConnect(q->Socket.Data, to) != 0 && PlatNetLastError() != QWSAEWOULDBLOCK) {
        q->LastSocketError = PlatNetLastError();
        return -1;
    }
    return 1;
}

static int PassiveConnectFailed(PlatWindow hDlg, QELTA *q);

// Connects to the current target, going on while one is refused at once.
static int ConnectCurrent(PlatWindow hDlg, QELTA *q) {
    int r = OpenDataAndConnect(hDlg, q);
    return r == -1 ? PassiveConnectFailed(hDlg, q) : r;
}

// The control peer failed: the reply's address next, when allowed; else
// why it is not tried.
static void SayWhatFollows(QELTA *q) {
    char r[NET_ADDRESS_TEXT], text[200];
    const NetAddress *reply = &q->PassiveAddress;
    NetFormatAddress(reply, r, sizeof r, 0);
    const char *why = nullptr;
    if (q->Connect.At + 1 < q->Connect.Count)
        FORMATCUT(text, "Trying the address the PASV reply named instead: %s\r\n", r);
    else if (!q->Epsv.Sent && q->PASVUseReplyAddress != 1 &&
             !PassiveReplyAddressAllowed(reply, &q->ServerAddress, &why) &&
             !NetSameHost(reply, &q->ServerAddress))
        FORMATCUT(text, "The address the PASV reply named, %s, is not tried: %s\r\n", r, why);
    else
        return;
    LogText(q, text);
}

// A refused or timed-out data connection: the next target, PASV after a
// refused EPSV, or the end of the command naming what was tried.
static int PassiveConnectFailed(PlatWindow hDlg, QELTA *q) {
    int error = q->LastSocketError;
    SayWhatFollows(q);
    if (AttemptFailed(q, error)) {
        StartAttemptClock(q);
        return ConnectCurrent(hDlg, q);
    }
    if (q->Epsv.Sent && error == QWSAECONNREFUSED) {
        if (q->ServerAddress.Family != NET_IPV6) return FallBackToPasv(q, "data connection refused");
        FORMATCUT(q->ErrorText,
                  "EPSV data connection refused (%s); over IPv6 there is no PASV to fall back "
                  "to in ExecPASV()\r\n",
                  q->Connect.Tried);
        return OUTCOME_TRANSIENT;
    }
    FORMATCUT(q->ErrorText, "Winsock error %d on Data Socket; tried %s in ExecPASV()\r\n", error,
              q->Connect.Tried);
    return OUTCOME_TRANSIENT;
}

// The transfer's line may go before the data connection is up only where
// a failed connect has no fallback to run: one target, and EPSV known to
// work on this connection (or PASV), and no 425 yet for a line sent early.
static int MaySendEarly(const QELTA *q) {
    return q->Connect.Count == 1 && !q->Epsv.WaitConnect &&
           (!q->Epsv.Sent || q->Epsv.State == EPSV_WORKS);
}

static int ConnectPassive(PlatWindow hDlg, QELTA *q) {
    PassiveTargets(q);
    BeginAttempts(q);
    if (!MaySendEarly(q)) return ConnectCurrent(hDlg, q);
    int r = OpenDataAndConnect(hDlg, q);
    if (r != 1) return r == -1 ? PassiveConnectFailed(hDlg, q) : r;
    q->Epsv.Connecting = 1;
    q->DataPortReady = 1;
    return OUTCOME_DONE;
}

// The early connect failed: the transfer fails as PASV would have.
static int EarlyConnectLost(QELTA *q, int error) {
    FORMATCUT(q->ErrorText, "Winsock error %d on Data Socket; tried %s after PASV\r\n", error,
              q->Connect.Tried);
    q->DataPortReady = 0;
    return OUTCOME_TRANSIENT;
}

int EarlyConnectEvent(QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START && q->Epsv.ConnectError != 0) {
        int error = q->Epsv.ConnectError;
        q->Epsv.ConnectError = 0;
        return EarlyConnectLost(q, error);
    }
    if (!q->Epsv.Connecting) return OUTCOME_WORKING;
    // A write event comes only once connected: one that went to a command
    // between PASV and this one says the connect is done.
    int done = (kind == EV_SOCKET && msg == DATA && ev == QFD_CONNECT) ||
               (kind == EV_START && q->ClearToSendData == 1);
    if (done) {
        q->Epsv.Connecting = 0;
        EndAttempts(q);
        if (q->Epsv.Sent) q->Epsv.State = EPSV_WORKS;
        return OUTCOME_WORKING;
    }
    if (kind != EV_CONNECT_FAILED) return OUTCOME_WORKING;
    q->Epsv.Connecting = 0;
    int error = q->LastSocketError;
    SayWhatFollows(q);
    AttemptFailed(q, error);  // logs it; with one target the attempts end
    EndAttempts(q);
    return EarlyConnectLost(q, error);
}

static int IsEpsvRefusal(const char *line) {
    return strncmp(line, "500", 3) == 0 || strncmp(line, "501", 3) == 0 ||
           strncmp(line, "502", 3) == 0;
}

static int ReplyToEPSV(PlatWindow hDlg, QELTA *q) {
    int got = AwaitReply(hDlg, q, CODE_EXTENDED_PASSIVE);
    if (got == AWAIT_PENDING) return OUTCOME_WORKING;
    if (got != AWAIT_MATCHED && RefusedAhead(q)) return SendPassiveCommand(q);
    if (got == AWAIT_TRANSIENT) return OUTCOME_TRANSIENT;
    if (got == AWAIT_FAILED) {
        if (!IsEpsvRefusal(q->ErrorText)) return OUTCOME_FAILED;
        char why[160], line[120];
        ReplyLineText(q, line, sizeof line);
        if (q->ServerAddress.Family == NET_IPV6) {
            FORMATCUT(q->ErrorText,
                      "EPSV refused (%s); over IPv6 there is no PASV to fall back to in "
                      "ExecPASV()\r\n",
                      line);
            return 0;
        }
        FORMATCUT(why, "refused (%s)", line);
        q->ErrorText[0] = 0;
        return FallBackToPasv(q, why);
    }
    if (!q->PassiveFound) {
        FORMATCUT(q->ErrorText, "EPSV reply without a port as (|||port|): %s in ExecPASV()\r\n",
                  q->LastReplyLine);
        return 0;
    }
    return ConnectPassive(hDlg, q);
}

static int ReplyToPASV(PlatWindow hDlg, QELTA *q) {
    if (q->Tls.Step != TLS_STEP_NONE) {
        int agreed = ProtectionReply(hDlg, q, "ExecPASV");
        return agreed == AWAIT_MATCHED ? StartPASV(hDlg, q) : AwaitOutcome(agreed);
    }
    if (FeaturesAsking(q)) {
        int got = FeaturesReply(q);
        return got == AWAIT_MATCHED ? StartPASV(hDlg, q) : AwaitOutcome(got);
    }
    if (q->Epsv.Sent) return ReplyToEPSV(hDlg, q);
    int got = AwaitReply(hDlg, q, CODE_PASSIVE);
    if (got != AWAIT_MATCHED && got != AWAIT_PENDING && RefusedAhead(q)) return SendPassiveCommand(q);
    if (got != AWAIT_MATCHED) return AwaitOutcome(got);
    if (!q->PassiveFound) {
        FORMATCUT(q->ErrorText,
                  "PASV reply without six numbers from 0 to 255: %s in ExecPASV()\r\n",
                  q->LastReplyLine);
        return 0;
    }
    // Complete only once connected: the transfer finds a ready socket.
    return ConnectPassive(hDlg, q);
}

int ExecPASV(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    if (kind == EV_START) return StartPASV(hDlg, q);
    // PASV has ended with its connect under way and the transfer has not
    // begun yet: the connect's end is taken here, and a failure waits for
    // the transfer, which it fails before its line goes.
    int connectEnd =
        kind == EV_CONNECT_FAILED || (kind == EV_SOCKET && msg == DATA && ev == QFD_CONNECT);
    if (q->Epsv.Connecting && connectEnd) {
        if (EarlyConnectEvent(q, kind, msg, ev) != OUTCOME_WORKING) {
            q->Epsv.ConnectError = q->LastSocketError != 0 ? q->LastSocketError : QWSAETIMEDOUT;
            q->ErrorText[0] = 0;
        }
        return OUTCOME_WORKING;
    }
    if (kind == EV_CONNECT_FAILED) return PassiveConnectFailed(hDlg, q);
    if (kind != EV_SOCKET) return 1;
    if (msg == CONTROLMSG && ev == QFD_READ) return ReplyToPASV(hDlg, q);
    if (msg == DATA && ev == QFD_CONNECT) {
        EndAttempts(q);
        if (q->Epsv.Sent) q->Epsv.State = EPSV_WORKS;
        q->DataPortReady = 1;
        return OUTCOME_DONE;
    }
    return OtherEvent(hDlg, q, msg, ev, &PasvAccept);
}
