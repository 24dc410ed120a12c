// STOR, APPE and STOU: a local file goes to the server. The data socket's
// write events drive the sending, a block at a time until the socket would
// block or the file ends; the server's final reply completes the command.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "ftp/replycodes.h"
#include "log/log.h"
#include "session/command.h"
#include "session/status.h"
#include "transfer/dataio.h"
#include "transfer/executors.h"
#include "transfer/resume.h"
#include "transfer/transfer.h"
#include "transfer/verify.h"

static const AcceptTexts StorAccept = {
    "Winsock Error %d on call accept() in ExeSTOR()\r\n",
    "Winsock Error %d on call closesocket(pQELTA->Socket.Listen) in ExecSTOR()\r\n",
    "Winsock Error %d on call WSAAsyncSelect() in ExecSTOR()\r\n"};

// The send state (q->Send): Finished once nothing more is to be sent (the
// file ended, the server closed the data connection, or its final reply
// came); FileEnded once the whole file went out, since a final reply
// before that is no success. A block the socket would not take whole stays
// in DataBuffer[At, End) for the next write event, so the file is read
// exactly once.

static int OpenFailed(QELTA *q) {
    FORMATCUT(q->ErrorText, "_open()=HFILE_ERROR with Filename=%s\r\n", q->LocalName);
    return 0;
}

// The line and the local file: "STOR remote", "APPE remote", or "STOU"
// with the whole argument as the local name.
static int Prepare(QELTA *q, char *line, size_t size) {
    if (q->StouMode == 1) {
        if (!COPYCUT(q->LocalName, q->Argument)) return OpenFailed(q);
        q->RemoteName[0] = 0;
        q->LocalFileHandle = PlatFileOpenRead(q->LocalName);
        if (q->LocalFileHandle == -1) return OpenFailed(q);
        BeginTransferCheck(q, XFER_SEND, "");
        return CopyCut(line, size, "STOU\r\n");
    }
    if (!SplitFileNames(q)) return 0;
    const char *verb = q->AppeMode == 1 ? "APPE" : "STOR";
    // Under UploadTempName the file is sent beside its name and renamed
    // once it is whole.
    char temp[sizeof q->Verify.Sent];
    const char *name = q->RemoteName;
    if (UploadUnderTempName(q)) {
        if (!RemoteTempName(q->RemoteName, temp, sizeof temp)) {
            FORMATCUT(q->ErrorText, "Remote name too long for its temporary name in %s\r\n", verb);
            return 0;
        }
        name = temp;
    }
    BeginTransferCheck(q, XFER_SEND, name);
    if (FormatCut(line, size, "%s %s\r\n", verb, name)) return 1;
    FORMATCUT(q->ErrorText, "Remote name too long for one line in %s\r\n", verb);
    return 0;
}

static int SendLine(PlatWindow hDlg, QELTA *q, const char *line);

static int Start(PlatWindow hDlg, QELTA *q) {
    q->Send.Finished = q->Send.FileEnded = 0;
    q->Send.At = q->Send.End = 0;
    q->PassRetryCount = 0;
    ViewShow(q, hDlg, VIEW_COMMAND, "Send File");
    ViewShow(q, hDlg, VIEW_COUNTER_LABEL, "Bytes Sent");
    q->Send.BytesSent = 0;
    q->ExpectedSize = 0;
    char line[128];
    if (!Prepare(q, line, sizeof line)) return 0;
    ShowFileNames(hDlg, q, q->LocalName,
                  q->StouMode == 1 ? "Assigned by Remote FTP Server" : q->RemoteName, 0);
    int64_t size = PlatFileSize(q->LocalName);
    q->ExpectedSize = size > 0 ? (uint64_t)size : 0;
    int resume = StartUploadResume(q, line);
    if (resume != RESUME_OFF) return resume == RESUME_BEGUN;
    return SendLine(hDlg, q, line);
}

// The command's own line, once any exchange before it is done.
static int SendLine(PlatWindow hDlg, QELTA *q, const char *line) {
    int sent = SendControlLine(q, line, nullptr, "User Selected No to Debug Message\r\n",
                               "Winsock Error %d On send() in ExecSTOR\r\n");
    if (sent != OUTCOME_WORKING) return sent;
    q->Epsv.SentEarly = q->Epsv.Connecting;
    q->StouMode = q->AppeMode = 0;
    q->Send.Start = MillisecondClock();
    StartTransferProgress(q, XFER_SEND, q->Send.Start);
    if (q->ClearToSendData == 1) {
        // After PASV the socket had its write event already.
        DebugTrace(q, "Posting FD_WRITE because ClearToSendData==TRUE\r\n");
        PlatPostEvent(hDlg, DATA, (uintptr_t)q->Socket.Data, QFD_WRITE);
    }
    return 1;
}

static void EndOfFile(QELTA *q) {
    q->Send.Finished = q->Send.FileEnded = 1;
    DebugTrace(q, "returnvalue==0 for _lread\r\n");
    PlatFileClose(q->LocalFileHandle);
    q->LocalFileHandle = -1;
    // The close tells the server the file is complete.
    CloseDataConnection(q, 1);
    q->ClearToSendData = 0;
}

// The next block from the file; 0 at its end, -1 (ErrorText set) when it
// cannot be read: a read error must never pass for the end of the file.
static long FillBlock(QELTA *q) {
    long n = PlatFileRead(q->LocalFileHandle, q->DataBuffer, q->BlockSize);
    if (n < 0)
        FORMATCUT(q->ErrorText, "_lread() returned HFILE_ERROR with Filename=%s\r\n", q->LocalName);
    if (n <= 0) return n;
    q->Send.At = 0;
    q->Send.End = (size_t)n;
    CheckBlock(q, q->DataBuffer, (size_t)n);
    return n;
}

// What is left of the block, reading the next one first when none is:
// bytes sent or -1 as PlatNetSend says, AtFileEnd or FileUnreadable.
enum { AtFileEnd = -2, FileUnreadable = -3 };
static long SendFromBuffer(QELTA *q) {
    if (q->Send.At == q->Send.End) {
        long n = FillBlock(q);
        if (n <= 0) return n < 0 ? FileUnreadable : AtFileEnd;
    }
    long sent = PlatNetSend(q->Socket.Data, q->DataBuffer + q->Send.At, q->Send.End - q->Send.At);
    if (sent > 0) q->Send.At += (size_t)sent;
    return sent;
}

// One block to the socket. 1 to go on, 0 when the loop must stop (the
// socket would block or the file ended), -1 on a failure.
static int SendBlock(PlatWindow hDlg, QELTA *q) {
    long sent = SendFromBuffer(q);
    if (sent == FileUnreadable) return -1;
    if (sent == AtFileEnd) {
        EndOfFile(q);
        return 0;
    }
    if (sent < 0) {
        q->ClearToSendData = 0;
        q->LastSocketError = PlatNetLastError();
        DebugTrace(q, q->LastSocketError == QWSAEWOULDBLOCK ? "err==WSAEWOULDBLOCK for Data Socket\r\n"
                                                            : "err!=WSAEWOULDBLOCK for Data Socket\r\n");
        return 0;
    }
    q->Send.BytesSent += (uint64_t)sent;
    ShowTransferProgress(hDlg, q, XFER_SEND, q->Send.BytesSent, q->ExpectedSize, 0);
    return 1;
}

static int Writable(PlatWindow hDlg, QELTA *q) {
    DebugTrace(q, "FD_WRITE on Data Socket\r\n");
    if (q->Send.Finished == 1) return 1;
    q->ClearToSendData = 1;
    // Held back until the handshake; it posts the write event again. Nor
    // may a byte go before the STOR line (SendLine posts it then), nor
    // before the connection is up.
    if (q->Tls.DataPending || q->Resume.Step != RESUME_STEP_NONE || q->Epsv.Connecting) return 1;
    int step = 1;
    while (q->ClearToSendData == 1 && q->Send.Finished == 0 && (step = SendBlock(hDlg, q)) == 1) {
    }
    return step >= 0;
}

// What the steps after an upload say. Its record goes only once the
// upload is whole and checked.
static int Stored(QELTA *q, int after) {
    if (after == AFTER_DONE) UploadCommitted(q);
    return AfterTransferOutcome(q, after);
}

// The server's refusal (a reply, not a lost connection) leaves the
// control connection able to remove what it took.
static int Refused(const QELTA *q) {
    const char *e = q->ErrorText;
    return (e[0] == '4' || e[0] == '5') && e[1] >= '0' && e[1] <= '9' && e[2] >= '0' && e[2] <= '9';
}

static int ReplyArrived(PlatWindow hDlg, QELTA *q) {
    DebugTrace(q, "FD_READ for Control Socket\r\n");
    if (q->Resume.Step != RESUME_STEP_NONE) {
        int steps = ResumeReply(hDlg, q);
        return steps == AWAIT_MATCHED ? SendLine(hDlg, q, q->Resume.Line) : AwaitOutcome(steps);
    }
    int got = AwaitReply(hDlg, q, CODE_TRANSFER_DONE);
    if ((got == AWAIT_FAILED || got == AWAIT_TRANSIENT) && Refused(q)) return Stored(q, UploadFailed(q));
    if (got != AWAIT_MATCHED) return AwaitOutcome(got);
    DebugTrace(q, "CheckFor==TRUE\r\n");
    q->DataPortReady = 0;
    SetCommandState(q, COMMAND_RUNNING);
    q->ClearToSendData = 0;
    q->Send.Finished = 1;
    // The server calling it complete before the whole file went out would
    // be a success for a file it does not have.
    if (!q->Send.FileEnded) {
        // The reason first: a long path is cut at the end of ErrorText.
        FORMATCUT(q->ErrorText, "Server ended the transfer before the whole file was sent: %s\r\n",
                  q->LocalName);
        return Stored(q, UploadFailed(q));
    }
    ShowTransferProgress(hDlg, q, XFER_SEND, q->Send.BytesSent, q->ExpectedSize, 1);
    if (q->StatEnabled == 1) WriteStatLine(q, q->Send.Start, MillisecondClock(), q->Send.BytesSent, q->LocalName);
    return Stored(q, BeginAfterTransfer(q));
}

static int DataClosed(QELTA *q) {
    q->Send.Finished = 1;
    DebugTrace(q, "FD_CLOSE on Data Socket\r\n");
    q->DataPortReady = 0;
    if (q->LocalFileHandle != -1) PlatFileClose(q->LocalFileHandle);
    q->LocalFileHandle = -1;
    q->ClearToSendData = 0;
    return 1;
}

static int SocketEvent(PlatWindow hDlg, QELTA *q, unsigned msg, unsigned ev) {
    if (msg == CONTROLMSG && ev == QFD_READ) return ReplyArrived(hDlg, q);
    if (msg == DATA && ev == QFD_WRITE) return Writable(hDlg, q);
    if (msg == DATA && ev == QFD_CLOSE) return DataClosed(q);
    if (msg == LISTEN && ev == QFD_ACCEPT) {
        if (!AcceptDataConnection(q, hDlg, &StorAccept)) return 0;
        DebugTrace(q, "FD_ACCEPT for Data Socket\r\n");
    }
    return 1;
}

int ExecSTOR(PlatWindow hDlg, QELTA *q, int kind, unsigned msg, unsigned ev) {
    int early = EarlyConnectEvent(q, kind, msg, ev);
    if (early != OUTCOME_WORKING) return early;
    if (kind == EV_START) return Start(hDlg, q);
    if (kind != EV_SOCKET) return OUTCOME_WORKING;
    if (AfterTransferActive(q)) return Stored(q, AfterTransferEvent(q, msg, ev));
    int outcome = SocketEvent(hDlg, q, msg, ev);
    if (outcome != OUTCOME_WORKING) return outcome;
    return ProtectDataWhenDue(hDlg, q, "STOR", msg, ev);
}
