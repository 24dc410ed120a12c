// The one session record of a run, the private messages and timers of the
// transfer dialog, and the routines every subsystem shares.
#ifndef QELTA_SESSION_H
#define QELTA_SESSION_H

#include <cstdint>

#include "base/digest.h"
#include "base/resource.h"
#include "base/version.h"
#include "platform/platform.h"

// Private messages of the transfer dialog.
enum {
    CONTROLMSG = QM_USER + 1,  // 1025
    DATA = 1026,
    LISTEN = 1027,
    CONNECTEDMSG = 1030,
    PROCESSCOMMAND = 1033,
    // Posted when the dialog is made: the run starts as soon as the window
    // is up, with no wait of its own.
    STARTMSG = 1036,
};
enum { CANCELMSG = 7 };  // command id of the dialog's cancel request

// Timers of the dialog.
enum { WaitTimer = 1034, WatchdogTimer = 1035, RetryTimer = 1037 };
// Connections=N: at most ten connections to the server at once, the run's
// own and up to nine more for the commands of many files. The wait before
// an extra connection tries again has a timer of its own, by its number.
enum { CONNECTIONS_MAX = 10, ExtraRetryTimerBase = 1100 };

// Executor event kinds.
// EV_CONNECT_FAILED: a connection attempt of an executor that tries
// addresses in turn (q->Connect.Active) was refused or ran out of time;
// LastSocketError says why and msg names the socket's message.
enum {
    EV_START = 1,
    EV_SOCKET = 2,
    EV_CONNECT_FAILED = 3,
    EV_WAITTICK = 1028,
    EV_CONNECTED = 1035,
};
enum { EPSV_UNKNOWN = 0, EPSV_WORKS = 1, EPSV_REFUSED = 2 };

// Room for every key of [Settings] (the table's size is checked against
// it), and for the longest text setting, a command line.
enum { SETTING_SLOTS = 48, SETTING_TEXT_MAX = 256 };

// What [Settings] TLS= asks for.
enum { TLS_NONE = 0, TLS_EXPLICIT = 1, TLS_IMPLICIT = 2 };
// Where PASS without an argument (and DIAL without a password) takes it.
enum {
    PASSWORD_FROM_PROMPT,
    PASSWORD_FROM_NETRC,
    PASSWORD_FROM_ENVIRONMENT,
    PASSWORD_FROM_CREDENTIAL_MANAGER,
    PASSWORD_FROM_SECRET_SERVICE,
    PASSWORD_FROM_COUNT
};

// Kinds of the status icon (IconKind), after the icons they show.
enum { ICON_DISC = 1, ICON_UP = 2, ICON_DOWN = 3, ICON_AICON = 4 };

// What the run shows a person, apart from how: the program fills it in
// over its dialog, and the rooms below the program show things only
// through it. A record without one (a test's) shows nothing.
// The places of the transfer window, by what they show.
enum ViewPlace {
    VIEW_COMMAND,          // what the command does
    VIEW_LOCAL_HOST,
    VIEW_REMOTE_HOST,
    VIEW_SOURCE,           // the file names of a transfer
    VIEW_DESTINATION,
    VIEW_COUNTER_LABEL,    // what the counter counts
    VIEW_COUNTER,
    VIEW_RATE,
    VIEW_REMAINING,        // time left
    VIEW_PERCENT,
    VIEW_BAR,
};
struct QELTA;
struct QeltaView {
    // The status icon of the command just read: ICON_DISC to ICON_AICON.
    void (*ShowIcon)(PlatWindow hDlg, QELTA *q, int kind);
    void (*Show)(PlatWindow hDlg, int place, const char *text);
    // The progress in the caption, while the window is minimised.
    void (*ShowMinimisedCaption)(PlatWindow hDlg, const char *text);
    // A yes/no question (1 for Yes) and an alert, both waited for.
    int (*Ask)(const char *question, const char *title);
    void (*Alert)(const char *text, const char *title);
    // Brings the run's window to the front.
    void (*Raise)(PlatWindow hDlg);
};

// The longest name-list line held from one block to the next.
enum { NAME_LINE_MAX = 1024 };
// Connections a DIAL of the run found up and did not dial.
enum { DIAL_FOUND_SLOTS = 8 };

struct Receiver;  // the receiving command under way (transfer/executors.h)
struct ReplyReader;  // the control connection's reading (ftp/reply.cpp)

// The progress fields of one direction of transfer.
struct ProgressState {
    unsigned long Start;
    unsigned long PeriodShown;      // field period of the last update
    unsigned long LastElapsed;      // whole seconds at the last rate update
    unsigned long LastRemainingSeconds;
    int LastPercent;
};

struct QELTA {
    const QeltaView *View;
    // Run and command counters.
    int CommandIndex;
    int CommandId;
    int CommandActive;
    int ReturnIndex;
    int IconKind;
    unsigned short ScriptAtom;
    void *Instance;
    char Argument[512];

    struct {
        int Command;  // CommandState (session/command.h)
        int WaitingForResponseCode;
        int TransferInProgress;
    } CurrentState;

    // Failure state.
    int ErrorFlag;
    char ErrorText[256];  // room for a certificate's fingerprint in its failure
    int LastSocketError;
    int Cancelled;
    int IdleCount;

    // Script and run files.
    char ScriptPath[128];
    char LogPath[128];
    char ErrorLogPath[128];
    char GeneratedScriptPath[128];
    char StatPath[128];
    PlatFile LogHandle;
    PlatFile ErrorLogHandle;
    PlatFile StatHandle;
    int StatEnabled;
    int LongKeyForm;

    // Settings read once at start-up. The 550 override's name starts with a
    // digit in scripts; the member carries a leading underscore.
    int Silent;
    int Debug;
    int DebugEx;
    int DebugMessages;
    int TimeOut;
    int PASVMode;
    int _550DeleteOverRide;
    int DeleteOverRide;
    int DELR550OverRide;
    int DirCmdCanDoNothing;
    int PASVUseReplyAddress;
    // 1: the process exit status tells the outcome (0 Success, 1 Failure).
    int ProcessExitCode;

    // Connection.
    struct {
        PlatSocket Control;
        PlatSocket Data;
        PlatSocket Listen;
    } Socket;
    int Connected;
    int UserAccepted;
    int LoggedIn;
    int PassRetryCount;
    char HostName[128];
    char LocalHostName[128];
    int ServerPort;
    NetAddress ServerAddress;   // the control connection's peer
    NetAddress PassiveAddress;  // what the last passive reply named (227: host and port; 229: port)
    int PassiveFound;           // that reply held a well-formed address or port
    uintptr_t LookupRequest;
    char ReplyBuffer[516];
    int ReplyLength;
    // The server's last complete reply line, for failure texts.
    char LastReplyLine[128];
    unsigned long ReplyCount;  // complete replies so far: whether a command had one
    char TransferType;

    // Data transfers.
    int DataPortReady;
    int DataAccepted;
    int ClearToSendData;
    int Tolerated550;
    char RemoteName[128];
    char LocalName[128];
    PlatFile LocalFileHandle;
    uint64_t ExpectedSize;
    // One block of BlockSize bytes for every data receive and file read,
    // allocated once for the run.
    char *DataBuffer;
    size_t BlockSize;

    // Generated runs and keyword variants.
    int GeneratedActive;
    PlatFile GeneratedScriptHandle;
    int GeneratedReadOffset;
    int GeneratedNextIsPort;  // the generated line after the current one is a data port's
    int RestoreTypeI;
    int GeneratingCommand;
    // The name list's file-name pattern: the last part of its argument.
    char NamePattern[260];
    int MgtcMode;
    int StouMode;
    int AppeMode;

    // The executors' own state, each part for the commands that use it.
    // Connections made by trying addresses in turn (CONN's, and a
    // passive data connection's fallback): connect failures go to the
    // executor while Active, not to the run's end.
    struct {
        NetAddress Address[16];
        int Count, At;
        int Active;
        unsigned long Started, AttemptStarted;  // ms
        char Tried[256];  // "address (reason), ..." for the failure text
    } Connect;
    // EPSV on this control connection: not yet known, working, or
    // refused (PASV from then on); and whether a transfer's line may go
    // while its passive data connection is still connecting.
    struct {
        int State;  // EPSV_UNKNOWN, EPSV_WORKS, EPSV_REFUSED
        int Sent;   // the passive command under way sent EPSV
        int Connecting;     // PASV ended with the data connection's connect under way
        int ConnectError;   // that connect failed before the transfer began (its error)
        int SentEarly;      // the transfer's line went while connecting
        int WaitConnect;    // a 425 answered such a line: no more early lines here
        // The next file's passive line went while a retrieval waited for
        // its final reply: 1 EPSV, 2 PASV, until the next PASV takes its
        // reply; AheadOff once such a reply was a refusal.
        int Ahead;
        int AheadOff;
        int AheadTaken;  // the passive command under way took such a reply
    } Epsv;
    struct {
        char UdefExpected[5];  // the code a UDEF line waits for
        ReplyReader *Reader;   // the reading of replies across reads (ftp)
        // What the control socket has not taken yet of the lines sent:
        // Unsent[At, End), sent on its next write event, and the text of
        // its send failing.
        char Unsent[1024];
        size_t At, End;
        char SendError[96];
        // The status number of the command that sent the last line: a
        // reply nobody asked for may have answered it.
        int LastOwner;
    } Control;
    struct {
        const Receiver *Current;  // LIST, RETR or NLST
        uint64_t BytesReceived;
        uint64_t ListBytes;       // of the whole run: a LIST's count goes on
        unsigned long Start;
        // 1 after one empty peek: a close is acted on only when two peeks
        // in a row have found nothing.
        int ClosePeekedEmpty;
        uint64_t DataBytes;       // of the data connection under way
        char TempPath[160];       // the retrieval's file; empty when none
    } Receive;
    struct {
        int Finished;             // nothing more is to be sent
        int FileEnded;            // the whole file went out
        uint64_t BytesSent;
        unsigned long Start;
        // The block read and not yet all taken by the socket:
        // DataBuffer[At, End).
        size_t At, End;
    } Send;
    // Resume=1 (transfer/resume.h): the exchanges before a transfer's own
    // line, and what they found.
    struct {
        int Step;               // RESUME_STEP_, the exchange under way
        char Line[160];         // the transfer's own line, sent once they are done
        char Target[160];       // the remote name that line names
        int64_t RemoteSize;     // the server's SIZE, -1 unknown
        char RemoteTime[24];    // MDTM's time, "" unknown
        uint64_t Offset;        // the REST sent: bytes already in place
        int KeepPart;           // the retrieval's file is a recorded part: kept on failure
        int UploadRecorded;     // the upload under way has its record
        char Kept[176];         // a kept part of this retrieval, found before its SIZE
    } Resume;
    struct {
        ProgressState Directions[2];  // receive, send
        int LastBarLength;
        int StatHeaderPending;        // the statistics file's header is due
        int StatLineNumber;
    } Progress;
    struct {
        char HoldOver[NAME_LINE_MAX + 1];  // a name-list line split by a block
        size_t HoldOverLength;
    } NameList;
    struct {
        int LoopActive;
        int LoopCount;
        uint32_t WaitTicks;
        uint32_t TickCount;
        int TargetHour;
        int TargetMinute;
    } Flow;
    struct {
        // -1 when no dial is in progress; during one, the attempts still
        // allowed after the current one, minus one.
        int AttemptsLeft;
        PlatDialHandle Connection;  // of the last attempt
        unsigned PauseMs;           // after an attempt and after a hang-up
        char FoundUp[DIAL_FOUND_SLOTS][QDIAL_NAME_SIZE];
        int FoundOverflow;
    } Dial;
    // [Settings], read once when the run starts (Loaded); until then each
    // read goes to the script.
    struct {
        int Loaded;
        int Value[SETTING_SLOTS];
        char Text[SETTING_SLOTS][SETTING_TEXT_MAX];
    } Settings;
    // TLS, as [Settings] asks (read when the run starts), and where the
    // control connection and its data connections stand.
    struct {
        int Mode;              // TLS_NONE, TLS_EXPLICIT or TLS_IMPLICIT
        int Verify;            // 0: any certificate is accepted
        int ProtectData;       // PROT P (1) or PROT C (0)
        int HasPin;
        unsigned char Pin[32];
        char CAFile[260];
        int ControlSecured;    // the control connection's handshake is done
        int ProtectionAgreed;  // PBSZ and PROT were accepted on it
        int Step;              // the exchange under way before a command's own line
        int DataPending;       // the data connection still awaits its handshake's end
        int DataShaking;       // and that handshake is under way
        int MarkSeen;          // the transfer's preliminary reply has come
        char ShakeWhere[16];   // the executor of a handshake under way, else ""
    } Tls;
    // Tries again of a command that failed in a way that may pass
    // (Retry=N): the command's own, and what a reconnect replays to put the
    // server's side back where the script had it. The password stays in
    // memory only.
    struct {
        int Tries;                 // tries made again of the command under way
        unsigned long FirstWait;   // ms when the run's first wait began, 0 before
        int Waiting;               // between a failure and the reconnect
        int Step;                  // the replay step under way (script/retry.cpp), 0: none
        int DirAt;                 // the directory change being replayed
        int CheckOnly;             // the transfer was whole: ask SIZE before sending it again
        // The command to run again, as it was read.
        int Id;
        int Modes[3];              // MgtcMode, StouMode, AppeMode
        char Argument[512];
        // The session since the last CONN.
        int Have;                  // bits of RETRY_HAVE_ (script/retry.cpp)
        char Conn[512];
        char User[128];
        char Password[128];
        char Account[128];
        char Dirs[8][260];
        int DirCount;
    } Retry;
    // Verify=1 and UploadTempName=1 (transfer/verify.h): what FEAT offered
    // on this control connection, the digest of the transfer under way,
    // and the steps after its final reply.
    struct {
        int FeaturesAsked;   // FEAT was asked on this control connection
        int Features;        // the FEAT_ bits of its answer
        int HashOption;      // the DIGEST_ that OPTS HASH chose on it
        int Step;            // the step under way after a transfer, 0 when none
        int Direction;       // of the transfer: XFER_RECEIVE or XFER_SEND
        int Append;          // the transfer was an APPE
        int Kind, Via;       // the digest taken and the command that asks the server's
        Digest Local;
        char Hash[DIGEST_HEX_SIZE];  // the local value, once the transfer ended
        char Reply[160];             // the step's 213 line
        char Sent[160];              // the remote name the transfer used
        char Said[200];              // what was compared so far, for the log
        char Failure[256];           // a failed upload's ErrorText while its file is removed
    } Verify;
    // The log-in: where a password missing from the script comes from, and
    // the user it is for.
    struct {
        int Source;            // PASSWORD_FROM_
        char Variable[128];    // PasswordVariable, for PASSWORD_FROM_ENVIRONMENT
        char User[128];        // the last USER line's name
    } Login;
    // ReportFile (log/report.h): where the run's JSON Lines go, and what
    // the record of the command under way needs from its start.
    struct {
        PlatFile Handle;
        char Path[128];
        unsigned long RunStarted, CommandStarted;  // ms
        unsigned long RepliesAtStart;              // ReplyCount as the command started
        int Commands, Failures;
        uint64_t Bytes;
        int Pending;           // the command under way has no record yet
        int Id;                // its command id, and its keyword as written
        char Keyword[8];
        char Argument[512];    // its argument, passwords masked
        char DataMode[8];      // the last data connection: "EPSV", "PASV", "PORT", "EPRT"
        char DataAddress[NET_ADDRESS_TEXT];
        // The script line that started the generated run under way: KILL's
        // record is that line's.
        int StartLine;
        char StartKeyword[8];
        char StartArgument[512];
        unsigned long StartStarted;
        uint64_t StartBytes;
    } Report;
    // The connections of the run (script/pool.h). The run's record is its
    // first connection; each extra one is a record of its own, cloned from
    // it, with its own sockets, reply reader, TLS state and command.
    struct {
        QELTA *Run;            // the run's record; 0 in the run's own
        int Number;            // 1 the run's own, 2 to CONNECTIONS_MAX the extra ones
        int Phase;             // POOL_ of an extra connection (script/pool.h)
        NetAddress Address;    // an extra connection's server: the run's peer, no look-up
        char Tag[8];           // "[n] " before each log line when there are several
        int MidLine;           // the log's last byte from this record ended no line
        // In the run's record:
        QELTA *Extra[CONNECTIONS_MAX - 1];
        int Limit;             // connections that may be open at once: lowered by a refusal
        int Refused;           // extra connections the server refused, and the first reason
        char Refusal[128];
        int RefusalSaid;       // the log has said so (once a run)
        int Waiting;           // the run's line waits for the extra connections (PoolMustWait)
    } Pool;
    struct {
        PlatWindow StatusIcon;  // the status icon shown, and its kind
        int StatusIconKind;
        PlatWindow StartIcon;
        int No3D;  // no 3-D control look: asked for, or not available
    } Window;
};

// The timer of the wait before a connection's try again: the run's own, or
// its extra connection's.
inline unsigned RetryTimerOf(const QELTA *q) {
    return q->Pool.Number > 1 ? (unsigned)(ExtraRetryTimerBase + q->Pool.Number) : (unsigned)RetryTimer;
}
// The record that owns the run's files and counters: the run's own.
inline QELTA *RunOf(QELTA *q) { return q->Pool.Run ? q->Pool.Run : q; }

// The main window, owner of every box and dialog of the run. A global:
// the platform hands it back through window procedures, which carry no
// record.
extern PlatWindow MainWindow;

// Executor contract: 1 = event handled, 0 = failure with ErrorText set.
typedef int (*Executor)(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message,
                        unsigned SocketEvent);

// 1 when path names the script or one of its run files (log, error log,
// statistics file, report, generated command file): no transfer or local delete
// may write over or remove those. self, when not 0, is the one of them
// that path is meant to be, left out of the comparison.
int IsRunFile(const QELTA *q, const char *path, const char *self = nullptr);

// A record as a run starts with it: every handle and socket closed, every
// part at its first state. The program, the unit tests and the fuzz
// targets all start from it. 0 when memory is short.
QELTA *NewSession(void);
// Frees the record and its data block (the files are the caller's).
void DeleteSession(QELTA *q);
// A new run's record: settings and the connection back to their start.
void ResetSession(QELTA *q);
// The control connection's part of the record, for a new CONN or a QUIT.
void ResetConnection(QELTA *q);

// The view's calls for the rooms below the program. A record without a
// view shows nothing and answers every question No.
void ViewShow(const QELTA *q, PlatWindow hDlg, int place, const char *text);
void ViewShowMinimisedCaption(const QELTA *q, PlatWindow hDlg, const char *text);
int ViewAsk(const QELTA *q, const char *question, const char *title);
void ViewAlert(const QELTA *q, const char *text, const char *title);
void ViewRaise(const QELTA *q, PlatWindow hDlg);

#endif
