// The data connection's shared steps, in one place for every transfer
// executor: the accept step, the events asked for on a data socket, the
// receive of one block, the close that is acted on only once the socket
// is drained, and the local file a retrieval writes.
#ifndef QELTA_DATAIO_H
#define QELTA_DATAIO_H

#include "session/session.h"

// The failure texts of the accept step, one set per executor.
struct AcceptTexts {
    const char *Accept;
    const char *Close;
    const char *Select;
};

// Takes the server's data connection from the listening socket, which is
// then closed. A connection from any address but the control
// connection's peer is closed and the socket goes on listening. 1, or 0
// with ErrorText set from texts.
int AcceptDataConnection(QELTA *q, PlatWindow hDlg, const AcceptTexts *texts);
// Asks for the data socket's read, write, connect and close events.
int SelectDataEvents(PlatWindow hDlg, PlatSocket s);
// A data socket was made (connected or accepted): under TLS with PROT P
// it carries nothing until its handshake.
void NoteDataConnection(QELTA *q);
// The handshake of a protected data connection, begun once the server has
// answered the transfer's command with its preliminary reply and the
// connection is up (connected, not still connecting): only then is the
// server ready for it, and a refused command never leaves the client
// waiting on a handshake. It ends on the data socket's QFD_TLS event
// (msg, ev: the event being handled), and a send held back meanwhile is
// then started. Called on every event of a transfer, so it costs a test
// of a few flags until a handshake is due.
// 1, or 0 with ErrorText naming the executor of verb (e.g. "ExecRETR()").
int ProtectDataWhenDue(PlatWindow hDlg, QELTA *q, const char *verb, unsigned msg, unsigned ev);

// One receive into DataBuffer: the count, 0 when nothing was there (would
// block, or the peer's close), -1 on a failure (LastSocketError set).
long ReceiveDataBlock(QELTA *q);
// ErrorText for a failed receive: a TLS stream cut without close_notify
// by name and with the bytes it brought, any other failure as recvText
// with the error number in its "%d".
void DescribeReceiveFailure(QELTA *q, const char *recvText);
// Closes the data connection, if any. Only a transfer that ended well
// (every byte of an upload sent, the command not failed) ends with TLS's
// close_notify; any other close is a cut, so that the server does not
// take what it got for the whole file.
void CloseDataConnection(QELTA *q, int endedWell);

// The close of the data connection, asked on its FD_CLOSE: 1 when the
// socket is drained and has been closed. Otherwise the close is posted
// again behind the reads still to come (onBlock takes a block found
// pending), and 0 is returned; with ErrorText set, DRAIN_LOST when the
// receive failed (DescribeReceiveFailure with recvText), DRAIN_FAILED
// when onBlock did.
enum { DRAIN_FAILED = -2, DRAIN_LOST = -1 };
typedef int (*BlockHandler)(PlatWindow hDlg, QELTA *q, long count);
int DataCloseDrained(PlatWindow hDlg, QELTA *q, BlockHandler onBlock, const char *recvText);
// A new transfer starts with no close seen and no byte received.
void ResetDataClose(QELTA *q);

// The local file of a retrieval: written under a temporary name in the
// destination's folder and put in the destination's place only when the
// command has succeeded. A destination that is the script or a run file is
// refused. Each returns 1, or 0 with ErrorText set.
int OpenReceiveFile(QELTA *q);
// The temporary file number n of destination local, "local.n.qpart", with
// local's trailing blanks and dots dropped first, as opening local drops
// them (a generated line's local name ends in a blank). 0 when too long.
int FormatPartPath(char *out, size_t size, const char *local, int n);
int CommitReceiveFile(QELTA *q);
// Closes and removes the temporary file, if any; the destination keeps
// what it held before.
void AbandonReceiveFile(QELTA *q);

#endif
