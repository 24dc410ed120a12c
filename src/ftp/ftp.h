// The FTP control connection: replies, connecting, the send step and the
// single-reply commands.
#ifndef QELTA_FTP_H
#define QELTA_FTP_H

#include "session/session.h"

// The most one read of the control socket takes.
enum { ControlReadSize = 512 };

// Reads once from the control socket, logs what came and leaves in
// ReplyBuffer the code of a complete reply of the current command, or "".
// 0 on a receive failure, a close, a reply that passes its limits, or a
// complete reply that no command asked for.
int FillControlBuffer(QELTA *q);
// The bytes of one read (at most ControlReadSize; the rest is ignored),
// logged and fed to the reply parser: what FillControlBuffer does with
// what it receives.
int ControlBytesArrived(QELTA *q, const char *data, size_t n);
// The same for bytes read while nothing is to be handed on (the drain):
// 0 when they pass the byte limit or complete a reply nobody asked for.
int UnsolicitedBytesArrived(QELTA *q, const char *data, size_t n);
// Matches ReplyBuffer (and any reply queued behind it) against the
// expected code: 1 = accepted; 0 = refused (ErrorText set) or not yet.
int CheckFor(PlatWindow hDlg, const char *ExpectedCode, int length, QELTA *q);

// The reply reader's state across reads, kept in the record. A new
// connection starts afresh. 0 when it cannot be made (ErrorText set).
int ResetReplyReader(QELTA *q);
// A command line has gone out (or a connection is made): the next reply
// to begin is its answer. Anything begun before is not.
void ExpectReply(QELTA *q);
// Before a line goes out: reads and logs whatever has arrived unasked.
// 0 when the server floods or a complete reply came that no command asked
// for (ErrorText set).
int DrainUnsolicited(QELTA *q);
// For CheckFor: the next reply queued behind the one just matched, into
// ReplyBuffer (1), and the end of the command's wait.
int NextQueuedReply(QELTA *q);
void ReplyDecided(QELTA *q);
// A line sent ahead, while the current command still waits for its reply:
// its own reply is the next after that one. Once that is decided the line
// is owed its reply (ReplyAheadOwed) and what arrives is held for the
// command that takes it: TakeReplyAhead, in place of sending and
// ExpectReply, returns 1 when bytes of it are already held (the caller
// handles them as a read). Any other command's ExpectReply skips it.
void ReplyAheadSent(QELTA *q);
int ReplyAheadOwed(const QELTA *q);
int TakeReplyAhead(QELTA *q);

// Called with each line of the current command's own replies (its first
// bytes as they came, line end included), for what a line tells besides
// its code. Set after the command's line went out; it ends with the reply.
typedef void (*ReplyLineWatcher)(QELTA *q, const char *line, size_t n);
void WatchReplyLines(QELTA *q, ReplyLineWatcher watcher);
// Watchers: the "(N bytes)" a retrieval's reply announces, into
// ExpectedSize (when still 0); the last "(h1,h2,h3,h4,p1,p2)" of a
// passive reply, into PassiveAddress.
void TakeAnnouncedSize(QELTA *q, const char *line, size_t n);
void TakePassiveAddress(QELTA *q, const char *line, size_t n);
// The port of an extended passive reply's "(|||port|)", into
// PassiveAddress.Port; PassiveFound says whether the form was exact.
void TakeExtendedPassivePort(QELTA *q, const char *line, size_t n);

// The send step of every command line. record is what Debug writes
// (0 = the line itself). OUTCOME_WORKING once the line is out (or queued),
// OUTCOME_TRANSIENT when the socket failed, OUTCOME_FAILED otherwise
// (ErrorText set).
int SendControlLine(QELTA *q, const char *line, const char *record, const char *refusalText,
                    const char *sendErrorText);
// A line sent while the current command still waits (see ReplyAheadSent):
// queued and sent as any, outcomes as SendControlLine's.
int SendControlLineAhead(QELTA *q, const char *line, const char *sendErrorText);
// The command whose line went ahead takes its reply: 1 when bytes of it
// have come already.
int ClaimLineSentAhead(QELTA *q);
// The control socket's write event: sends what it did not take of the
// lines before. OUTCOME_WORKING, or OUTCOME_TRANSIENT with ErrorText set
// (the failing line's send text).
int ControlWritable(QELTA *q);
// Copies text into out with its first "%d" replaced by number (the
// "Winsock Error %d ..." texts), cut at size.
void FormatErrorNumber(char *out, size_t size, const char *text, int number);

// PASS with an empty argument: asks for the password for HostName. OK puts
// it (at most 31 characters) into Argument; Cancel posts the Cancel button
// to the transfer dialog. Returns 1 for OK.
int AskPasswordForPass(PlatWindow hDlg, QELTA *q);
// PASS with an empty argument: the password into Argument from where
// q->Login.Source says (the dialog above for PASSWORD_FROM_PROMPT, which
// always returns 1). 0 with ErrorText naming the source and the key it
// looked for.
int TakePasswordForPass(PlatWindow hDlg, QELTA *q);
// The password for user at host from q->Login.Source (not the prompt),
// into out: 1, or 0 with why naming what was looked for and where.
int PasswordFromSource(const QELTA *q, const char *host, const char *user, char *out, size_t size, char *why,
                       size_t whySize);
// The password of a netrc text's entry for host and user (a machine's own
// entry before a default one; an entry without login serves every user):
// 1 with it in out, 0 when there is none, -1 when it does not fit.
int NetrcPassword(const char *text, size_t len, const char *host, const char *user, char *out, size_t size);

int ExecCONN(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecUSER(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecPASS(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecACCT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecCHWD(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecMDIR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecRDIR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecSMNT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecTYPE(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecQUIT(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecUDEF(PlatWindow, QELTA *, int, unsigned, unsigned);

// TLS on the control connection. The settings the platform needs, from
// the record; one log line on a TLS connection; and whether a UDEF line
// would change the protection.
void TlsSettingsFor(const QELTA *q, PlatTlsSettings *t);
// A handshake on s (offering resumeFrom's session, or -1) begun, and its
// QFD_TLS event taken: each 1, or 0 with ErrorText naming where (the
// executor, "ExecCONN()"). While one runs, the watchdog's text names it
// (HandshakeTimeoutText: 0 when none runs).
int StartHandshake(QELTA *q, PlatSocket s, PlatSocket resumeFrom, const char *where);
int HandshakeEnded(QELTA *q, PlatSocket s);
int HandshakeTimeoutText(const QELTA *q, char *out, size_t size);
// The control connection's: begun (TLS_STEP_HANDSHAKE until its end) and
// ended, its certificate checked and logged.
int SecureControlConnection(QELTA *q, const char *where);
int ControlConnectionSecured(QELTA *q);
void LogTlsConnection(QELTA *q, PlatSocket s, const char *what);
int UdefChangesProtection(const QELTA *q, const char *line);
// The exchange under way on the control connection before a command's
// own line (q->Tls.Step).
enum { TLS_STEP_NONE, TLS_STEP_AUTH, TLS_STEP_HANDSHAKE, TLS_STEP_PBSZ, TLS_STEP_PROT };
// PBSZ 0 and PROT P (or C) are due once per protected control connection,
// before its first data connection. StartProtection sends PBSZ;
// ProtectionReply reads each answer, sends PROT after PBSZ, and says
// AWAIT_MATCHED once both were accepted. name is the executor's, for the
// send-error text.
int ProtectionDue(const QELTA *q);
int StartProtection(QELTA *q, const char *name);
int ProtectionReply(PlatWindow hDlg, QELTA *q, const char *name);

// Connecting by trying addresses in turn (q->Connect): CONN's addresses,
// a passive connection's control peer and then the reply's address. All
// attempts share TimeOut; each gets the time left shared by the
// addresses left. BeginAttempts starts the count at the first address;
// AttemptFailed logs the failure of the current one (address and reason)
// and says 1 when another is left in time (At then names it), 0 when the
// attempts are over (Tried lists them all). EndAttempts stops routing
// connect failures to the executor.
void BeginAttempts(QELTA *q);
void StartAttemptClock(QELTA *q);
int AttemptFailed(QELTA *q, int error);
void EndAttempts(QELTA *q);
// 1 when the current attempt has had its share of the time.
int AttemptOverdue(const QELTA *q);
// A short text for a Winsock error number ("connection refused").
const char *SocketErrorReason(int error);

// Starts the network layer for the run; 1, or 0 with ErrorText set.
int StartNetwork(QELTA *q, PlatWindow hDlg);

// An executor's read of a reply: reads what arrived and matches it
// against code. AWAIT_MATCHED, AWAIT_PENDING while nothing decisive has
// come, or AWAIT_FAILED with ErrorText set (a refusal, a read failure).
// AWAIT_TRANSIENT is a failure that may pass: the connection lost or a
// refusal whose code says so (ReplyCodeTransient).
enum { AWAIT_TRANSIENT = -2, AWAIT_FAILED = -1, AWAIT_PENDING = 0, AWAIT_MATCHED = 1 };
int AwaitReply(PlatWindow hDlg, QELTA *q, const char *code);
// An executor's outcome for a reply not matched: working while pending,
// the failure's class otherwise.
int AwaitOutcome(int got);
// The other way: a send's outcome as an await result.
int OutcomeAwait(int outcome);
// 1 for the codes of a refusal that may pass ("421 ", "425 ", "426 ",
// "450 ", "451 ", "452 "): the server's trouble, not the request's.
int ReplyCodeTransient(const char *code);
// 1 when the control connection's last read failed: closed, reset, or a
// reply that did not complete in time.
int ControlConnectionLost(const QELTA *q);
// 1 once a reply that no command asked for has failed the run.
int StrayReplyReported(const QELTA *q);

#endif
