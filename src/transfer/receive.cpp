// LIST, RETR and NLST: a line is sent, the server connects (or PASV's
// connection is made, its connect's end perhaps still to come) and sends
// the data. The command is complete when both the final reply has come
// and the data connection is closed and drained, in whichever order. LIST
// and RETR write a local file, which takes the destination's name only
// then; the name list of a generated run is a third receiver, in
// batch/nlst.cpp.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/command.h"
#include "transfer/dataio.h"
#include "transfer/executors.h"
#include "transfer/resume.h"
#include "transfer/transfer.h"
#include "transfer/verify.h"

static int PrepareFile(QELTA *q, const char *verb, char *line, size_t size);
static int WriteBlock(PlatWindow hDlg, QELTA *q, long count);
static int EndFile(PlatWindow hDlg, QELTA *q, int skipped);

static const Receiver List = {
    "LIST", "Retrieve Remote File List", "Winsock Error %d On send() in ExecLIST\r\n",
    "Winsock Error %d On recv() in ExecLIST()\r\n", "_lwrite() returned HFILE_ERROR in ExecLIST()",
    {"Winsock Error %d on call accept() in ExecLIST()\r\n",
     "Winsock Error %d on call closesocket() in ExecLIST()\r\n",
     "Winsock Error %d on call WSAAsyncSelect() in ExecLIST()\r\n"},
    0, PrepareFile, WriteBlock, EndFile};

static const Receiver Retr = {
    "RETR", "Retrieve File", "Winsock Error %d On send() in ExecRETR()\r\n",
    "Winsock Error %d On recv() in ExecRETR()\r\n", "_lwrite() returned HFILE_ERROR in ExecRETR()",
    {"Winsock Error %d on call accept() in ExecRETR()\r\n",
     "Winsock Error %d on call closesocket() in ExecRETR()\r\n",
     "Winsock Error %d on call WSAAsyncSelect() in ExecRETR()\r\n"},
    1, PrepareFile, WriteBlock, EndFile};


static void Trace(const Receiver *r, QELTA *q, const char *text) {
    if (r->Retrieval) DebugTrace(q, text);
}

// ---- Start -----------------------------------------------------------------------

static int PrepareFile(QELTA *q, const char *verb, char *line, size_t size) {
    if (!SplitFileNames(q)) return 0;
    if (!FormatCut(line, size, "%s %s\r\n", verb, q->RemoteName)) {
        FORMATCUT(q->ErrorText, "Remote name too long for one line in %s\r\n", verb);
        return 0;
    }
    // Under Resume the file is chosen once the server has told its SIZE.
    if (ResumeRetrievalWanted(q)) return 1;
    return OpenReceiveFile(q);
}

// The command's own line, once any exchange before it is done.
static int SendLine(const Receiver *r, QELTA *q, const char *line) {
    int sent = SendControlLine(q, line, nullptr, "User Selected No to Debug Message\r\n", r->SendError);
    if (sent != OUTCOME_WORKING) {
        Trace(r, q, q->ErrorText);
        return sent;
    }
    if (r->Retrieval) WatchReplyLines(q, TakeAnnouncedSize);
    q->Epsv.SentEarly = q->Epsv.Connecting;
    q->Tolerated550 = 0;
    SetCommandState(q, COMMAND_BUSY);
    q->CurrentState.TransferInProgress = 1;
    q->Receive.Start = MillisecondClock();
    StartTransferProgress(q, XFER_RECEIVE, q->Receive.Start);
    return 1;
}

static int Start(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    q->Receive.Current = r;
    q->PassRetryCount = 0;
    ResetDataClose(q);
    ViewShow(q, hDlg, VIEW_COMMAND, r->Field);
    if (r->Retrieval) ViewShow(q, hDlg, VIEW_COUNTER_LABEL, "Bytes Received");
    q->ExpectedSize = 0;
    q->Receive.BytesReceived = 0;
    char line[128];
    if (!r->Prepare(q, r->Verb, line, sizeof line)) return 0;
    if (r->Retrieval) ShowFileNames(hDlg, q, q->RemoteName, q->LocalName, 1);
    if (r->Retrieval) BeginTransferCheck(q, XFER_RECEIVE, q->RemoteName);
    int resume = StartRetrievalResume(q, line);
    if (resume != RESUME_OFF) return resume == RESUME_BEGUN;
    return SendLine(r, q, line);
}

// ---- The end ---------------------------------------------------------------------

static void ClearTransfer(QELTA *q) {
    q->Tolerated550 = 0;
    q->LocalName[0] = 0;
    q->RemoteName[0] = 0;
    q->ClearToSendData = 0;
}

// The file takes its name only once the command has succeeded; a skipped
// one leaves the destination as it was.
static int EndFile(PlatWindow hDlg, QELTA *q, int skipped) {
    if (skipped) {
        q->Resume.KeepPart = 0;  // nothing of a skipped file is to be continued
        AbandonReceiveFile(q);
        return 1;
    }
    if (!CommitReceiveFile(q)) return 0;
    if (q->Receive.Current->Retrieval) {
        ShowTransferProgress(hDlg, q, XFER_RECEIVE, q->Receive.BytesReceived, q->ExpectedSize, 1);
        if (q->StatEnabled == 1)
            WriteStatLine(q, q->Receive.Start, MillisecondClock(), q->Receive.BytesReceived, q->RemoteName);
    }
    return 1;
}

static int Complete(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    if (!r->End(hDlg, q, 0)) return OUTCOME_FAILED;
    ClearTransfer(q);
    return OUTCOME_DONE;
}

// What the checks after a retrieval say: a file that fails them never
// takes the destination's name.
static int Checked(const Receiver *r, PlatWindow hDlg, QELTA *q, int after) {
    if (after == AFTER_WORKING) return OUTCOME_WORKING;
    if (after == AFTER_DONE) return Complete(r, hDlg, q);
    int outcome = AfterTransferOutcome(q, after);
    // A check that failed leaves nothing to continue from; a lost
    // connection leaves a part a retry may.
    if (outcome == OUTCOME_FAILED) AbandonReceiveFile(q);
    return outcome;
}

// Both the final reply and the drained close are in.
static int Finish(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    CloseDataConnection(q, 1);
    q->DataPortReady = 0;
    if (r->Retrieval) return Checked(r, hDlg, q, BeginAfterTransfer(q));
    return Complete(r, hDlg, q);
}

// A 550 tolerated inside a generated run: the file is skipped, and (RETR)
// the data port stays ready for the next one.
static int Skipped(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    SetCommandState(q, COMMAND_RUNNING);
    q->CurrentState.TransferInProgress = 0;
    if (!r->End(hDlg, q, 1)) return OUTCOME_FAILED;
    ClearTransfer(q);
    return OUTCOME_DONE;
}

static int ReplyArrived(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    Trace(r, q, "FD_READ on Control Socket\r\n");
    if (q->Resume.Step != RESUME_STEP_NONE) {
        int steps = ResumeReply(hDlg, q);
        return steps == AWAIT_MATCHED ? SendLine(r, q, q->Resume.Line) : AwaitOutcome(steps);
    }
    int got = AwaitReply(hDlg, q, CODE_TRANSFER_DONE);
    if (got != AWAIT_MATCHED) return AwaitOutcome(got);
    Trace(r, q, "CheckFor returned TRUE in ExecRETR()\r\n");
    if (q->Tolerated550 == 1) return Skipped(r, hDlg, q);
    q->DataPortReady = 0;
    SetCommandState(q, COMMAND_RUNNING);
    if (q->CurrentState.TransferInProgress == 1) return 1;  // the close ends it
    return Finish(r, hDlg, q);
}

// ---- Data ---------------------------------------------------------------------------

static int WriteBlock(PlatWindow hDlg, QELTA *q, long count) {
    if (PlatFileWrite(q->LocalFileHandle, q->DataBuffer, (size_t)count) == count) {
        if (q->Receive.Current->Retrieval) CheckBlock(q, q->DataBuffer, (size_t)count);
        return 1;
    }
    Trace(q->Receive.Current, q, "_lwrite() returned HFILE_ERROR in ExecRETR()\r\n");
    COPYCUT(q->ErrorText, q->Receive.Current->WriteError);
    return 0;
}

// One block received: counted, shown and handed on.
static int TakeBlock(PlatWindow hDlg, QELTA *q, long count) {
    const Receiver *r = q->Receive.Current;
    if (r->Retrieval) {
        q->Receive.BytesReceived += (uint64_t)count;
        ShowTransferProgress(hDlg, q, XFER_RECEIVE, q->Receive.BytesReceived, q->ExpectedSize, 0);
    } else {
        q->Receive.ListBytes += (uint64_t)count;
        char shown[24];
        FORMATCUT(shown, "%llu", (unsigned long long)q->Receive.ListBytes);
        ViewShow(q, hDlg, VIEW_COUNTER, shown);
    }
    return r->Block(hDlg, q, count);
}

// The data connection failed under the transfer: a reset, a cut TLS
// stream.
static int ReceiveFailed(const Receiver *r, QELTA *q) {
    DescribeReceiveFailure(q, r->RecvError);
    Trace(r, q, q->ErrorText);
    return OUTCOME_TRANSIENT;
}

static int DataArrived(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    Trace(r, q, "FD_READ on Data Socket ExecRETR()\r\n");
    // Nothing may be read in clear from a connection that is to be protected.
    if (q->Tls.DataPending) return 1;
    long got = ReceiveDataBlock(q);
    if (got < 0) return ReceiveFailed(r, q);
    if (got == 0) return 1;
    return TakeBlock(hDlg, q, got);
}

static int DataClosed(const Receiver *r, PlatWindow hDlg, QELTA *q) {
    Trace(r, q, "FD_CLOSE on Data Socket\r\n");
    q->DataPortReady = 0;
    int drained = DataCloseDrained(hDlg, q, TakeBlock, r->RecvError);
    if (drained < 0) {
        Trace(r, q, q->ErrorText);
        return drained == DRAIN_LOST ? OUTCOME_TRANSIENT : OUTCOME_FAILED;
    }
    if (drained == 0) return 1;
    q->CurrentState.TransferInProgress = 0;
    // The reply ends it; the next file's data port may be asked for now.
    if (q->CurrentState.WaitingForResponseCode == 1) return r->Retrieval ? SendPassiveAhead(q) : 1;
    return Finish(r, hDlg, q);
}

static int SocketEvent(const Receiver *r, PlatWindow hDlg, QELTA *q, unsigned msg, unsigned ev) {
    if (msg == CONTROLMSG && ev == QFD_READ) return ReplyArrived(r, hDlg, q);
    if (msg == DATA && ev == QFD_READ) return DataArrived(r, hDlg, q);
    if (msg == DATA && ev == QFD_CLOSE) return DataClosed(r, hDlg, q);
    if (msg == DATA && ev == QFD_WRITE) q->ClearToSendData = 1;
    if (msg == LISTEN && ev == QFD_ACCEPT) {
        Trace(r, q, "FD_ACCEPT on Listen Socket\r\n");
        return AcceptDataConnection(q, hDlg, &r->Accept);
    }
    return 1;
}

int RunReceiver(const Receiver *r, PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    int early = EarlyConnectEvent(q, kind, msg, ev);
    if (early != OUTCOME_WORKING) return early;
    if (kind == EV_START) return Start(r, hDlg, q);
    if (kind != EV_SOCKET) return OUTCOME_WORKING;
    if (AfterTransferActive(q)) return Checked(r, hDlg, q, AfterTransferEvent(q, msg, ev));
    int outcome = SocketEvent(r, hDlg, q, msg, ev);
    if (outcome != OUTCOME_WORKING) return outcome;
    return ProtectDataWhenDue(hDlg, q, r->Verb, msg, ev);
}

int ExecLIST(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) {
    return RunReceiver(&List, w, q, k, m, e);
}
int ExecRETR(PlatWindow w, QELTA *q, int k, unsigned m, unsigned e) {
    return RunReceiver(&Retr, w, q, k, m, e);
}
