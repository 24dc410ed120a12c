// What the files of the POSIX layer share with one another; nothing here
// is seen by the core.
#ifndef QELTA_POSIX_INTERNAL_H
#define QELTA_POSIX_INTERNAL_H

#include <spawn.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// ---- event loop (loop.cpp) ----
// Calls cb from the loop whenever poll() reports one of events on fd.
// Watching an fd again replaces its events and callback.
typedef void (*FdCallback)(int fd, short revents, void *ctx);
void LoopWatchFd(int fd, short events, FdCallback cb, void *ctx);
void LoopUnwatchFd(int fd);
// Drops the posts still queued for w whose message and first parameter
// are msg and wp: a closed socket's events (wp = the socket) must never
// reach the dialog, since the fd number is reused at once. Loop thread.
void LoopDropPosts(PlatWindow w, unsigned msg, uintptr_t wp);
// Posts from another thread (the resolver) wake the loop at once;
// PlatPostEvent is safe to call from any thread.

// A window of the loop whose messages go to proc (0: they go nowhere).
// The main window and the transfer dialog are made with it; tests use it
// to run the loop without the core's procedures.
typedef int (*LoopProc)(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp);
PlatWindow LoopCreateWindow(LoopProc proc);
// Routes SIGINT, SIGTERM, SIGHUP and SIGCHLD into the loop and ignores
// SIGPIPE; called once by main.
void LoopInstallSignals(void);
// The text last given to a field of a window; "" when none.
const char *LoopFieldText(PlatWindow w, int id);
// Drops a window's timers and queued messages (loop.cpp, for window.cpp).
void LoopForgetWindow(PlatWindow w);
// Delivers a message to a window's procedure with the default processing
// of the main window; 0 when the window does not exist (window.cpp).
int WindowDeliver(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp);
int WindowExists(PlatWindow w);
// The windows made by PlatCreateMainWindow and PlatCreateTransferDialog,
// 0 when there is none: the targets of the signals.
PlatWindow WindowMain(void);
PlatWindow WindowDialog(void);

// ---- terminal display (display.cpp) ----
// The transfer dialog drawn on standard error when that is a terminal.
void DisplayAttach(PlatWindow dlg);
void DisplayDetach(void);  // last drawing; the cursor ends on a fresh line
void DisplayFieldChanged(PlatWindow w, int id);
void DisplayCaption(PlatWindow w, const char *text);
// Something else wrote to the terminal: the next drawing starts below it.
void DisplayInterrupted(void);
// The length of the printable character at text (plain ASCII or a valid
// UTF-8 sequence that is no C1 control); 0 for a control or a stray byte,
// which must never reach a terminal as it is.
int PosixPrintableLength(const char *text);

// ---- TLS (tls.cpp, over net.cpp's sockets) ----
// A socket's TLS client connection: what PlatNetTlsStart made.
struct TlsLink;
// As recv() and send() on a non-blocking socket: bytes, 0 for the peer's
// close_notify (receive), or -1 with errno EAGAIN (nothing yet) or
// ECONNRESET (the stream broken or cut without close_notify).
long TlsRecv(TlsLink *t, void *buf, size_t n, int peek);
long TlsSend(TlsLink *t, const void *buf, size_t n);
// Decrypted bytes (or the peer's close_notify) wait inside the connection,
// where poll() cannot see them.
int TlsBuffered(TlsLink *t);
// Sends close_notify (waiting a little for room) when notify is 1, and
// frees the connection; the socket is the caller's to close.
void TlsEnd(TlsLink *t, int notify);
// A handshake under way on a socket: what PlatNetTlsStart began.
struct TlsShake;
// Takes the handshake on as far as the socket allows: the poll events it
// waits for next, or 0 once it has ended, well or not.
short TlsShakeStep(TlsShake *h);
// An ended handshake's outcome, its certificate checked: the socket's TLS
// connection, or null with the sentence in why. The handshake is freed.
TlsLink *TlsShakeFinish(TlsShake *h, char *why, size_t size);
// Drops a handshake that has not ended: nothing more is sent.
void TlsShakeFree(TlsShake *h);
// net.cpp: the TLS connection of a socket, or null.
TlsLink *NetTlsLink(int fd);
// Hands a connected socket a handshake, steps it once, and drives it on
// the socket's readiness from then on, posting QFD_TLS when it has ended;
// the socket's other events are held meanwhile (0 for no connected
// socket). NetEndShake takes it back and attaches the outcome (null:
// none), after which the socket's events go on.
int NetBeginShake(int fd, TlsShake *h);
TlsShake *NetShake(int fd);
void NetEndShake(int fd, TlsLink *t);

// ---- paths (paths.cpp) ----
// Maps a DOS-style path (C:\x\y, relative x\y, \x\y) to a POSIX path
// through the drive map (C: = / or QELTA_DRIVE_C; L: = QELTA_DRIVE_L).
// 0 when the drive is not mapped or the result does not fit.
int PosixMapPath(const char *dos, char *out, size_t size);
// The reverse: an absolute POSIX path as C:\... through the drive whose
// root is the longest prefix. 0 when no drive holds it or it is cut.
int PosixUnmapPath(const char *posix, char *out, size_t size);

// The last part of a DOS path without its trailing blanks and dots, as
// Windows opens it ("a.txt " is a.txt); "." and ".." stay as they are.
std::string PosixWindowsName(const char *dos);

// ---- directory scan (scan.cpp) ----
// 1 when name matches pattern by the wildcard rules of Windows' file
// search (see PlatScanFirst).
int PosixWildcardMatch(const char *pattern, const char *name);

// ---- terminal (prompt.cpp) ----
// Opens /dev/tty for a prompt; -1 when there is no terminal.
int PosixOpenTty(void);

// ---- programs (program.cpp) ----
// Splits a command line into words as Windows does; the words point into
// buf and argv ends with a null pointer. Returns the number of words, -1
// when buf or argv is too small.
int PosixSplitCommandLine(const char *line, char *buf, size_t size, char **argv, int maxWords);
// Reaps the finished children started by PlatStartProgram; returns how
// many are still running.
int PosixReapChildren(void);

// ---- profile locks (profile_lock.cpp) ----
// target is the file a profile write replaces (the script, through any
// symbolic link). PosixLockProfile waits, at most a limit (10 s), for the
// lock that every profile read and write of that script holds: a lock to
// give to PosixUnlockProfile, PROFILE_UNLOCKED when there is no lock to
// take here (the caller goes on as before), or PROFILE_LOCK_TIMEOUT.
enum { PROFILE_UNLOCKED = -1, PROFILE_LOCK_TIMEOUT = -2 };
int PosixLockProfile(const char *target);
void PosixUnlockProfile(int lock);
// The mkstemp template of a write's temporary file beside target.
std::string PosixProfileTempTemplate(const char *target);
// With the lock held: removes the temporary files of writes of target that
// no living writer holds. Does its work once per script and process.
void PosixRemoveProfileLeftovers(const char *target);
// For tests: the longest wait for the lock, in milliseconds.
void PosixSetProfileLockLimit(unsigned ms);

// A started program's spawn attributes: the signal state of a fresh
// program and a process group of its own.
void PosixChildAttributes(posix_spawnattr_t *attr);

#endif
