// The one session record of a run, the private messages and timers of the
// transfer dialog, and the routines every subsystem shares.
#ifndef QELTA_SESSION_H
#define QELTA_SESSION_H

#include <cstdint>

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
enum { WaitTimer = 1034, WatchdogTimer = 1035 };

// Executor event kinds.
enum { EV_START = 1, EV_SOCKET = 2, EV_WAITTICK = 1028, EV_CONNECTED = 1035 };

// Kinds of the status icon (IconKind), after the icons they show.
enum { ICON_DISC = 1, ICON_UP = 2, ICON_DOWN = 3, ICON_AICON = 4 };

// What the run shows a person, apart from how: the program fills it in
// over its dialog, and the rooms below the program show things only
// through it. A record without one (a test's) shows nothing.
struct QeltaView {
    // The status icon of the command just read: ICON_DISC to ICON_AICON.
    void (*ShowIcon)(PlatWindow hDlg, void *instance, int kind);
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
        int WaitingForResponseCode;
        int TransferInProgress;
    } CurrentState;

    // Failure state.
    int ErrorFlag;
    char ErrorText[128];
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
    PlatSockAddr ServerAddress;
    PlatSockAddr PassiveAddress;
    uintptr_t LookupRequest;
    char ReplyBuffer[516];
    int ReplyLength;
    // The server's last complete reply line, for failure texts.
    char LastReplyLine[128];
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
    int RestoreTypeI;
    int GeneratingCommand;
    // The name list's file-name pattern: the last part of its argument.
    char NamePattern[260];
    int MgtcMode;
    int StouMode;
    int AppeMode;
};

// The record's one global pointer, for the window procedures.
extern QELTA *pQELTA;
// The transfer dialog; 0 once it is being destroyed.
extern PlatWindow DialogHandle;
extern PlatWindow MainWindow;
extern int No3D;

// Executor contract: 1 = event handled, 0 = failure with ErrorText set.
typedef int (*Executor)(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message,
                        unsigned SocketEvent);

// 1 when path names the script or one of its run files (log, error log,
// statistics file, generated command file): no transfer or local delete
// may write over or remove those. self, when not 0, is the one of them
// that path is meant to be, left out of the comparison.
int IsRunFile(const QELTA *q, const char *path, const char *self = nullptr);

// A new run's record: settings and the connection back to their start.
void ResetSession(QELTA *q);
// The control connection's part of the record, for a new CONN or a QUIT.
void ResetConnection(QELTA *q);

#endif
