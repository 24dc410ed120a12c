// The services QELTA needs from the operating system. The core includes
// only this header; win32/ implements it with the Windows API, posix/ with
// POSIX calls and a terminal. Every routine that can fail returns 1 for
// success and 0 for failure unless it says otherwise.
//
// Paths handed to these routines are DOS-style ("C:\jobs\night.ftp"); the
// POSIX layer maps drive letters to directories.
#ifndef QELTA_PLATFORM_H
#define QELTA_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "base/netaddr.h"

// ---- Windows and posted events --------------------------------------------
// A window is an opaque handle: the HWND on Windows, a small record of the
// event loop on POSIX. 0 means "no window".
typedef void *PlatWindow;

// Message numbers keep their Windows values so the win32 layer passes them
// through unchanged.
enum {
    QM_CREATE = 0x0001,
    QM_DESTROY = 0x0002,
    QM_SETFOCUS = 0x0007,
    QM_CLOSE = 0x0010,
    QM_INITDIALOG = 0x0110,
    QM_COMMAND = 0x0111,
    QM_SYSCOMMAND = 0x0112,
    QM_TIMER = 0x0113,
    QM_USER = 0x0400,
};
enum {
    QSC_MAXIMIZE = 0xF030,
    QSC_CLOSE = 0xF060,
    QSC_RESTORE = 0xF120,
};

// The core's start-up, called by the platform's entry point: the whole
// life of the program; returns the exit code (0).
int QeltaMain(void *instance, int hasPrevious, const char *cmdline, int show);
// The core's two window procedures. The platform routes every message of
// the main window and the transfer dialog to them. MainWndProc returns 1
// when it handled the message; otherwise the platform does its default
// processing.
int MainWndProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp);
int Dialog1(PlatWindow dlg, unsigned msg, uintptr_t wp, intptr_t lp);
// The core's script check (qelta --check on Linux): a script's text read
// as a run reads it, nothing run and nothing written. report is called
// once per finding, with the line of the file (1 for the first) and what
// is wrong there; a message that begins "warning: " tells of something to
// mend that does not stop a run. Returns the number of findings, warnings
// not counted.
typedef void (*CheckReport)(void *context, long line, const char *message);
int CheckScript(const char *bytes, size_t size, CheckReport report, void *context);

// Registers the main window class; 0 when that fails.
int PlatRegisterMainClass(void *instance);
// The main window: caption, system menu, minimize box; zero size.
PlatWindow PlatCreateMainWindow(void *instance);
// The modeless transfer dialog from the template "XFERDLG", owned by main.
PlatWindow PlatCreateTransferDialog(void *instance, PlatWindow main);
void PlatShowWindow(PlatWindow w, int show);
// Runs the message loop until PlatPostQuit; returns the quit code.
int PlatMessageLoop(PlatWindow *dialogHandle);
void PlatPostQuit(int code);
void PlatDestroyWindow(PlatWindow w);
PlatWindow PlatOwner(PlatWindow w);
int PlatPostEvent(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp);
// Delivers the message now and returns when it has been handled.
int PlatSendEvent(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp);
// Periodic timers by id, as SetTimer: restarting an id replaces it.
int PlatStartTimer(PlatWindow w, unsigned id, unsigned ms);
void PlatStopTimer(PlatWindow w, unsigned id);

// ---- Dialog fields and window look ----------------------------------------
void PlatSetField(PlatWindow dlg, int id, const char *text);
void PlatSetCaption(PlatWindow w, const char *text);
// Gives the main window the dialog's width and its height plus a menu bar.
void PlatFitOwnerToDialog(PlatWindow dlg);
void PlatDesktopSize(int *width, int *height);
void PlatMoveWindow(PlatWindow w, int x, int y);
void PlatRaiseWindow(PlatWindow w);  // to the top, not activated
void PlatSetFocus(PlatWindow w);
int PlatIsIconic(PlatWindow w);
// A static icon window at pixel x, y of the dialog; 0 on failure.
PlatWindow PlatCreateIconWindow(PlatWindow dlg, void *instance, const char *iconName, int x, int y);
// Optional 3-D control look; 0 when it is not available (No3D).
int Plat3DStart(void *instance);
void Plat3DStop(void *instance);

// ---- Message boxes and prompts --------------------------------------------
enum { QMB_OK = 0, QMB_YESNO = 4 };
enum { QID_OK = 1, QID_CANCEL = 2, QID_YES = 6, QID_NO = 7 };
// No owner window. Returns QID_OK, QID_YES or QID_NO.
int PlatMessageBox(const char *text, const char *title, int buttons);
// The file-open dialog for a script; 1 with the chosen path, 0 on cancel.
int PlatAskScriptPath(const char *title, const char *filter, char *out, size_t size);
// The modal password dialog "PASSDLG" showing host; 1 = OK with the text
// in out (cut to size - 1), 0 = Cancel.
int PlatAskPassword(PlatWindow owner, const char *host, char *out, size_t size);
// Opens the script in the system's text editor.
int PlatEditFile(const char *path);
// A string of the string table; 0 when missing.
int PlatLoadString(void *instance, int id, char *out, size_t size);

// ---- Profile files ---------------------------------------------------------
// Windows profile semantics: sections and keys without regard to case,
// blanks around keys and values ignored, surrounding quotes removed.
// Returns the number of characters copied (cut at size - 1).
int PlatProfileRead(const char *section, const char *key, const char *def, char *out, size_t size,
                    const char *path);
int PlatProfileReadInt(const char *section, const char *key, int def, const char *path);
// Several keys of one section in one read of the file (under one lock):
// key i's value, as PlatProfileRead gives it, into values + i * each (cut
// there), and found[i] 1 when the key is there.
void PlatProfileReadKeys(const char *section, const char *const *keys, int count, char *values,
                         size_t each, int *found, const char *path);
int PlatProfileWrite(const char *section, const char *key, const char *value, const char *path);
void PlatProfileFlush(const char *path);

// ---- Local files -------------------------------------------------------------
typedef intptr_t PlatFile;  // -1 = not open
enum { QSEEK_SET = 0, QSEEK_CUR = 1, QSEEK_END = 2 };
PlatFile PlatFileCreate(const char *path);    // create or truncate, read-write
PlatFile PlatFileOpen(const char *path);      // existing file, read-write
PlatFile PlatFileOpenRead(const char *path);  // existing regular file, read only
// Create a file that must not exist yet (no other run can have it). It is
// marked in use for as long as it is open, so that PlatFileDeleteUnused
// leaves it alone.
PlatFile PlatFileCreateNew(const char *path);
// Deletes a file that PlatFileCreateNew made and no living program has
// open any more (one a killed run left); 1 when it was deleted.
int PlatFileDeleteUnused(const char *path);
// Opens for reading and writing a file that PlatFileCreateNew made and no
// living program has open any more, and marks it in use as that does; -1
// when it is missing, no ordinary file, or still in use.
PlatFile PlatFileOpenUnused(const char *path);
// When the file was last written, in the system's own units (only ever
// compared for equality); -1 when missing.
int64_t PlatFileModified(const char *path);
int64_t PlatFileSeek(PlatFile f, int64_t offset, int whence);  // new position or -1
long PlatFileRead(PlatFile f, void *buf, size_t n);       // bytes or -1
long PlatFileWrite(PlatFile f, const void *buf, size_t n);
void PlatFileClose(PlatFile f);
int PlatFileDelete(const char *path);
int64_t PlatFileSize(const char *path);  // -1 when missing
// Moves a file to another name, replacing what has that name. 1 on success.
int PlatFileReplace(const char *from, const char *to);
// 1 when both paths name the same file (the same existing file, or the
// same full path where the file does not exist yet).
int PlatSameFile(const char *a, const char *b);
// The current directory in DOS form; 0 when it cannot be had or is cut.
int PlatCurrentDirectory(char *out, size_t size);
// As PlatFileCreate, for a file of the run that the user need not see
// (the hidden attribute on Windows).
PlatFile PlatFileCreateHidden(const char *path);
// The system's text for why the last local-file call failed, cut at size.
void PlatFileErrorText(char *out, size_t size);
// Names are taken as Windows takes them: trailing blanks and dots of the
// last part of a path are dropped, so "C:\in\a.txt " names C:\in\a.txt.

// ---- Directory scan -----------------------------------------------------------
// The ordinary files of one folder whose names match a wildcard pattern, as
// "C:\out\*.txt": by the Windows rules, without regard to case, '*' and
// '?', "*.*" for every name, "*." for the names without an extension.
// Folders, hidden files and system files are never listed. Names come in
// the platform's order (POSIX: sorted, so runs are reproducible); a name
// is at most PLAT_NAME_MAX - 1 characters; name is cut at size.
enum { PLAT_NAME_MAX = 260 };
typedef intptr_t PlatScan;  // -1 = none
// Starts a scan with its first name; -1 when the folder is missing or no
// file matches.
PlatScan PlatScanFirst(const char *pattern, char *name, size_t size);
// The next name: 1, or 0 when there is none.
int PlatScanNext(PlatScan scan, char *name, size_t size);
void PlatScanClose(PlatScan scan);

// ---- Programs, atoms, clock --------------------------------------------------
// Starts a command line without waiting; show is a Windows show mode
// (0 hide, 1 normal, 2 minimized, 3 maximized). Returns as WinExec does:
// above 31 on success.
int PlatStartProgram(const char *cmdline, int show);
unsigned short PlatAddAtom(const char *name);  // 0 on failure
int PlatDeleteAtom(unsigned short atom);       // 1 on success

struct PlatLocalTime {
    int year, month, day;  // month 1 to 12
    int weekday;           // 0 = Sunday
    int hour, minute, second;
};
void PlatNow(PlatLocalTime *t);
// The same fields in UTC, for stamps read by other programs.
void PlatNowUtc(PlatLocalTime *t);
unsigned long PlatMilliseconds(void);

// ---- Network -------------------------------------------------------------------
// Sockets follow Winsock 1.1 in asynchronous-notification mode: events are
// posted to a window as (msg, wp = socket, lp = event | error << 16), and
// error numbers are Winsock's on both builds.
typedef intptr_t PlatSocket;  // -1 = none
enum { QFD_READ = 1, QFD_WRITE = 2, QFD_OOB = 4, QFD_ACCEPT = 8, QFD_CONNECT = 16, QFD_CLOSE = 32 };
// Not Winsock's: a TLS handshake begun by PlatNetTlsStart has ended (below).
enum { QFD_TLS = 0x4000 };
enum {
    QWSAEINTR = 10004,
    QWSAEWOULDBLOCK = 10035,
    QWSAEINPROGRESS = 10036,
    QWSAECONNRESET = 10054,
    QWSAETIMEDOUT = 10060,
    QWSAECONNREFUSED = 10061,
};

// Starts the socket library asking for 1.1. Returns 0 or an error code;
// fills the version granted and the library's description text.
int PlatNetStart(int *major, int *minor, char *description, size_t size);
int PlatNetStop(void);  // 0 or an error code
void PlatNetCancelBlocking(void);
int PlatNetLastError(void);
int PlatNetLocalHostName(char *out, size_t size);  // 1 on success
// Look-ups give every address of a name, IPv6 and IPv4, in the
// resolver's order, at most capacity of them.
// Blocking: 1 with their number in *count; 0 with the error left for
// PlatNetLastError (Winsock's 11001 and so on).
int PlatNetResolve(const char *name, NetAddress *out, int capacity, int *count);
// Asynchronous, on another thread: posts msg to w when done (error in
// the high word), having filled entry (size bytes, which must outlive the
// request). Returns a request handle, 0 on failure.
uintptr_t PlatNetResolveAsync(PlatWindow w, unsigned msg, const char *name, char *entry,
                              size_t size);
// The addresses of a finished asynchronous look-up's entry: their number.
int PlatNetResolvedAddresses(const char *entry, NetAddress *out, int capacity);
void PlatNetCancelResolve(uintptr_t request);

// Every stream socket, made or accepted, keeps its connection alive with
// TCP keepalive: a first probe after this many seconds without traffic,
// then one every interval, so that gateways that drop idle connections
// keep a control connection open while a long transfer runs.
enum { PLAT_KEEPALIVE_IDLE = 60, PLAT_KEEPALIVE_INTERVAL = 15 };

PlatSocket PlatNetSocket(int family);  // TCP stream socket of NET_IPV4 or NET_IPV6, -1 on failure
int PlatNetAsyncSelect(PlatSocket s, PlatWindow w, unsigned msg, long events);  // 0 or -1
int PlatNetConnect(PlatSocket s, const NetAddress *a);                     // 0 or -1
long PlatNetSend(PlatSocket s, const void *buf, size_t n);                   // bytes or -1
long PlatNetRecv(PlatSocket s, void *buf, size_t n, int peek);               // bytes or -1
int PlatNetBind(PlatSocket s, const NetAddress *a);
int PlatNetListen(PlatSocket s, int backlog);
PlatSocket PlatNetAccept(PlatSocket s, NetAddress *peer);
int PlatNetLocalAddress(PlatSocket s, NetAddress *a);
void PlatNetClose(PlatSocket s);
// Closes so that the peer sees a cut, not an end: no TLS close_notify and
// a reset instead of an orderly close. For a connection whose transfer did
// not end well, so that a server cannot take a part of a file for all of it.
void PlatNetAbort(PlatSocket s);

// ---- TLS on a socket ---------------------------------------------------------------
// A connected socket can be made a TLS client. From then on PlatNetSend,
// PlatNetRecv (a peek included) and PlatNetClose carry application data
// through TLS, and the events keep the rules above: FD_READ comes while
// decrypted data waits, and a receive returns 0 only after the peer's
// close_notify. A stream cut without it is an error (QWSAECONNRESET).
// PlatNetClose sends close_notify first, so the peer sees a proper end;
// PlatNetAbort never does.
//
// The handshake runs on the socket's own events, as every other step:
// PlatNetTlsStart begins it and returns at once, and the layer carries it
// on as the socket becomes ready. Meanwhile none of the socket's events
// reaches the window and nothing can be sent or received on it; the
// event loop goes on, so a handshake is ended by whatever ends a wait
// (closing the socket drops it at once, nothing sent). When it has ended,
// well or not, the window gets one QFD_TLS event for the socket (error 0),
// and PlatNetTlsFinish tells the outcome.
struct PlatTlsSettings {
    const char *ServerName;      // the name or dotted address given to CONN
    const char *CAFile;          // PEM authorities trusted besides the system's; "" for none
    const unsigned char *Pin;    // SHA-256 of the certificate (32 bytes): the only trust, or null
    int Verify;                  // 0: any certificate is accepted
};
// Begins the handshake as the client; the settings are copied. With
// resumeFrom (a socket already made a TLS client, or -1) the handshake
// offers that connection's session, as FTP servers demand of data
// connections; a data connection's certificate must then be the same as
// resumeFrom's. Returns 1 when it is under way; or 0 with a sentence for
// the operator in why, the socket then unusable and to be closed.
int PlatNetTlsStart(PlatSocket s, const PlatTlsSettings *t, PlatSocket resumeFrom, char *why,
                    size_t size);
// After the QFD_TLS event: checks the certificate as the settings said.
// Returns 1 with the socket a TLS client (FD_READ follows for anything
// that came behind the handshake); or 0 with a sentence for the operator
// in why (the host, what failed, and the certificate's SHA-256
// fingerprint when there was one), the socket then unusable and to be
// closed.
int PlatNetTlsFinish(PlatSocket s, char *why, size_t size);
// One line on a TLS socket's connection, for the log: protocol version,
// cipher, certificate subject and SHA-256 fingerprint, and whether the
// session was resumed. 0 when s is no TLS socket.
int PlatNetTlsDescribe(PlatSocket s, char *out, size_t size);

// ---- Passwords kept outside the script ---------------------------------------------
// An environment variable: 1 with its value in out (cut at size - 1), 0
// when it is not set.
int PlatEnvironment(const char *name, char *out, size_t size);
// The user's netrc file: $NETRC when set, else ~/.netrc (POSIX) or
// %USERPROFILE%\_netrc (Windows). 1 with its name in path and its text in
// out (NUL-terminated); 0 with why naming the file and what is wrong: there
// is none, it cannot be read, it is longer than size - 1, or (POSIX) group
// or others may use it, as ftp(1) refuses.
int PlatReadNetrc(char *path, size_t pathSize, char *out, size_t size, char *why, size_t whySize);
// A password the system keeps for host and user: QSTORE_CREDENTIALS is the
// Credential Manager (Windows: the generic credential "QELTA:host", its
// user name, if any, matching), QSTORE_SECRETS the Secret Service (POSIX:
// the item with the attributes service=qelta, host and user). 1 with it in
// out; 0 with why saying what was looked for and why nothing was found
// (a store this system lacks, no session bus, no such entry). Never waits
// for long: a store that does not answer counts as none.
enum { QSTORE_CREDENTIALS = 1, QSTORE_SECRETS = 2 };
int PlatStoredPassword(int store, const char *host, const char *user, char *out, size_t size, char *why,
                       size_t whySize);

// ---- Dial-up networking ----------------------------------------------------------
// The machine's dial-up service: the Remote Access Service on Windows,
// NetworkManager through its command-line client nmcli on POSIX. An entry
// is the service's name for a connection it can make (a phonebook entry, a
// NetworkManager connection). The calls that ask the service something
// block until it has answered and return 0 or the service's error code.
typedef uintptr_t PlatDialHandle;  // 0 = none
enum {
    QDIAL_NAME_SIZE = 257,          // the longest entry name and a terminator
    QDIAL_NOT_ENOUGH_MEMORY = 8,
    QDIAL_BUFFER_TOO_SMALL = 603,
};
struct PlatDialConnection {
    PlatDialHandle Handle;
    char EntryName[QDIAL_NAME_SIZE];
};
// Loads the service; 0 when the machine has none. PlatDialBind then finds
// what it needs of it: 0 when something is missing (always so when it did
// not load). PlatDialUnload lets it go.
int PlatDialLoad(void);
int PlatDialBind(void);
void PlatDialUnload(void);
// The active connections, at most capacity of them, their number in
// *count. QDIAL_BUFFER_TOO_SMALL when there are more: *count is then the
// capacity needed. A handle is good until the next listing or dial.
int PlatDialListActive(PlatDialConnection *list, int capacity, int *count);
// Dials entry with a user name and password (empty: the entry's own) and
// returns when the attempt has ended. A failed attempt may still leave a
// handle in *handle, to be released with PlatDialHangUp.
int PlatDialConnect(const char *entry, const char *user, const char *password,
                    PlatDialHandle *handle);
int PlatDialHangUp(PlatDialHandle handle);
// 1 with the text of a code returned by the calls above; 0 when there is none.
int PlatDialErrorText(int code, char *out, size_t size);
// Blocks the one thread for ms milliseconds: no event is handled meanwhile.
void PlatSleep(unsigned ms);

#endif
