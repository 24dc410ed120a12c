// The data connection's shared steps and the retrieval's local file.
#include "transfer/dataio.h"

#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "transfer/resume.h"

// ---- Accepting and selecting ---------------------------------------------------

int SelectDataEvents(PlatWindow hDlg, PlatSocket s) {
    return PlatNetAsyncSelect(s, hDlg, DATA, QFD_READ | QFD_WRITE | QFD_CONNECT | QFD_CLOSE);
}

static int FailWith(QELTA *q, const char *text) {
    q->LastSocketError = PlatNetLastError();
    FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, text, q->LastSocketError);
    return 0;
}

int AcceptDataConnection(QELTA *q, PlatWindow hDlg, const AcceptTexts *texts) {
    NetAddress peer;
    memset(&peer, 0, sizeof peer);
    PlatSocket s = PlatNetAccept(q->Socket.Listen, &peer);
    if (s == -1) {
        // Someone else's connection may have been taken and dropped
        // already; the server's own is still to come.
        if (PlatNetLastError() == QWSAEWOULDBLOCK) return 1;
        return FailWith(q, texts->Accept);
    }
    // Whoever reaches the port first must not feed the download or read
    // the upload: only the server we are talking to may connect.
    if (!NetSameHost(&peer, &q->ServerAddress)) {
        PlatNetClose(s);
        DebugTrace(q, "Data connection from another address refused\r\n");
        return 1;
    }
    q->Socket.Data = s;
    NoteDataConnection(q);
    PlatNetClose(q->Socket.Listen);
    q->Socket.Listen = -1;
    if (SelectDataEvents(hDlg, q->Socket.Data) != 0) return FailWith(q, texts->Select);
    q->DataAccepted = 1;
    return 1;
}

// ---- TLS on the data connection -------------------------------------------------------

void NoteDataConnection(QELTA *q) {
    q->Tls.DataPending = q->Tls.ControlSecured && q->Tls.ProtectData;
    q->Tls.DataShaking = 0;
}

static int DataSecured(PlatWindow hDlg, QELTA *q) {
    q->Tls.DataPending = q->Tls.DataShaking = 0;
    if (!HandshakeEnded(q, q->Socket.Data)) return 0;
    if (q->DebugEx == 1) LogTlsConnection(q, q->Socket.Data, "data connection");
    if (q->ClearToSendData == 1) PlatPostEvent(hDlg, DATA, (uintptr_t)q->Socket.Data, QFD_WRITE);
    return 1;
}

int ProtectDataWhenDue(PlatWindow hDlg, QELTA *q, const char *verb, unsigned msg, unsigned ev) {
    if (q->Tls.DataShaking) return msg == DATA && ev == QFD_TLS ? DataSecured(hDlg, q) : 1;
    // Not on a socket still connecting (a line sent before it was up).
    if (!q->Tls.DataPending || !q->Tls.MarkSeen || q->Socket.Data == -1 || q->Epsv.Connecting)
        return 1;
    char where[16];
    FORMATCUT(where, "Exec%s()", verb);
    // The control connection's session is offered: servers may demand it.
    if (!StartHandshake(q, q->Socket.Data, q->Socket.Control, where)) return 0;
    q->Tls.DataShaking = 1;
    return 1;
}

// ---- Receiving and the close ---------------------------------------------------

long ReceiveDataBlock(QELTA *q) {
    long got = PlatNetRecv(q->Socket.Data, q->DataBuffer, q->BlockSize, 0);
    if (got > 0) q->Receive.DataBytes += (uint64_t)got;
    if (got >= 0) return got;
    q->LastSocketError = PlatNetLastError();
    return q->LastSocketError == QWSAEWOULDBLOCK ? 0 : -1;
}

void DescribeReceiveFailure(QELTA *q, const char *recvText) {
    char shown[8];
    // A TLS stream that ends without close_notify may have been cut short
    // by anyone on the way: what came is no whole file.
    if (q->LastSocketError == QWSAECONNRESET && PlatNetTlsDescribe(q->Socket.Data, shown, sizeof shown)) {
        FORMATCUT(q->ErrorText, "Data connection closed without TLS close_notify after %llu bytes\r\n",
                  (unsigned long long)q->Receive.DataBytes);
        return;
    }
    FormatErrorNumber(q->ErrorText, sizeof q->ErrorText, recvText, q->LastSocketError);
}

// A close is acted on only when two peeks in a row have found nothing, so
// reads still on their way get one more round (q->Receive.ClosePeekedEmpty).
void ResetDataClose(QELTA *q) {
    q->Receive.ClosePeekedEmpty = 0;
    q->Receive.DataBytes = 0;
}

void CloseDataConnection(QELTA *q, int endedWell) {
    if (q->Socket.Data == -1) return;
    if (endedWell)
        PlatNetClose(q->Socket.Data);
    else
        PlatNetAbort(q->Socket.Data);
    q->Socket.Data = -1;
}

static void PostCloseAgain(PlatWindow hDlg, QELTA *q) {
    PlatPostEvent(hDlg, DATA, (uintptr_t)q->Socket.Data, QFD_CLOSE);
}

int DataCloseDrained(PlatWindow hDlg, QELTA *q, BlockHandler onBlock, const char *recvText) {
    char one;
    long pending = PlatNetRecv(q->Socket.Data, &one, 1, 1);
    if (pending < 0) {
        q->LastSocketError = PlatNetLastError();
        if (q->LastSocketError == QWSAEWOULDBLOCK) return 0;  // more is on its way
        DescribeReceiveFailure(q, recvText);
        return DRAIN_LOST;
    }
    if (pending > 0) {
        q->Receive.ClosePeekedEmpty = 0;
        // Take a block now: no read event may be due for what is left.
        long got = ReceiveDataBlock(q);
        if (got < 0) {
            DescribeReceiveFailure(q, recvText);
            return DRAIN_LOST;
        }
        if (got > 0 && !onBlock(hDlg, q, got)) return DRAIN_FAILED;
        PostCloseAgain(hDlg, q);
        return 0;
    }
    if (!q->Receive.ClosePeekedEmpty) {
        q->Receive.ClosePeekedEmpty = 1;
        PostCloseAgain(hDlg, q);
        return 0;
    }
    CloseDataConnection(q, 1);
    return 1;
}

// ---- The retrieval's local file --------------------------------------------------

// The temporary file while a retrieval runs (q->Receive.TempPath) is
// empty when there is none.

static int CreateFailed(QELTA *q) {
    FORMATCUT(q->ErrorText, "_lcreat()=HFILE_ERROR with Filename=%s\r\n", q->LocalName);
    return 0;
}

int FormatPartPath(char *out, size_t size, const char *local, int n) {
    size_t length = strlen(local);
    while (length > 0 && (local[length - 1] == ' ' || local[length - 1] == '.')) length--;
    return FormatCut(out, size, "%.*s.%d.qpart", (int)length, local, n);
}

// The temporary files that killed runs left after the one taken, up to
// the first free number: each kill leaves the next one in the row.
static void RemoveLeftoversAfter(const QELTA *q, int taken) {
    char path[sizeof q->Receive.TempPath];
    for (int n = taken + 1; n < 1000; n++) {
        if (!FormatPartPath(path, sizeof path, q->LocalName, n) || PlatFileSize(path) < 0) return;
        if (PlatFileDeleteUnused(path)) RemovePartRecord(path);
    }
}

int OpenReceiveFile(QELTA *q) {
    AbandonReceiveFile(q);
    if (q->LocalName[0] == 0 || IsRunFile(q, q->LocalName)) return CreateFailed(q);
    // Beside the destination, so that putting it in place is a rename;
    // created exclusively, so that no other run can share it. One that a
    // killed run left is taken again; one a living run writes is not.
    for (int n = 1; n < 1000; n++) {
        if (!FormatPartPath(q->Receive.TempPath, sizeof q->Receive.TempPath, q->LocalName, n))
            break;
        q->LocalFileHandle = PlatFileCreateNew(q->Receive.TempPath);
        if (q->LocalFileHandle == -1 && PlatFileDeleteUnused(q->Receive.TempPath)) {
            RemovePartRecord(q->Receive.TempPath);
            q->LocalFileHandle = PlatFileCreateNew(q->Receive.TempPath);
        }
        if (q->LocalFileHandle != -1) {
            RemoveLeftoversAfter(q, n);
            return 1;
        }
        if (PlatFileSize(q->Receive.TempPath) < 0) break;  // not taken: the folder refuses
    }
    q->Receive.TempPath[0] = 0;
    return CreateFailed(q);
}

int CommitReceiveFile(QELTA *q) {
    if (q->LocalFileHandle != -1) PlatFileClose(q->LocalFileHandle);
    q->LocalFileHandle = -1;
    if (q->Receive.TempPath[0] == 0) return 1;
    int ok = PlatFileReplace(q->Receive.TempPath, q->LocalName);
    if (!ok) {
        PlatFileDelete(q->Receive.TempPath);
        CreateFailed(q);
    }
    RetrievalCommitted(q, q->Receive.TempPath);
    q->Receive.TempPath[0] = 0;
    return ok;
}

void AbandonReceiveFile(QELTA *q) {
    if (q->Receive.TempPath[0] == 0 || KeepRetrievalPart(q)) return;
    if (q->LocalFileHandle != -1) PlatFileClose(q->LocalFileHandle);
    q->LocalFileHandle = -1;
    PlatFileDelete(q->Receive.TempPath);
    q->Receive.TempPath[0] = 0;
}
