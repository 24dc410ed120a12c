// The entry point's work: the session record, the script path, the
// settings and the run files.
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "session/command.h"
#include "session/settings.h"
#include "base/text.h"
#include "log/log.h"
#include "log/report.h"
#include "session/status.h"
#include "session/commandids.h"

QELTA *pQELTA = nullptr;
PlatWindow DialogHandle = nullptr;
PlatWindow MainWindow = nullptr;

static void ErrorBox(const char *text) { PlatMessageBox(text, "QELTA Error", QMB_OK); }

static void TooLongBox(const char *path) {
    char text[300];
    FORMATCUT(text, "Path is longer than 127 characters:\r\n%s", path);
    ErrorBox(text);
}

// A path replaced in its last four characters: NIGHT.FTP -> NIGHT.log. A
// name too short for that gets the extension appended instead, so nothing
// outside the name is touched.
static void ReplaceExtension(char *dst, size_t size, const char *path, const char *ext) {
    CopyCut(dst, size, path);
    size_t len = strlen(dst);
    if (len >= 6) dst[len - 4] = 0;
    AppendCut(dst, size, ext);
}

int DeriveRunFileNames(QELTA *q) {
    const char *script = q->ScriptPath;
    if (script[0] && script[1] == ':') {
        ReplaceExtension(q->LogPath, sizeof q->LogPath, script, ".log");
        ReplaceExtension(q->ErrorLogPath, sizeof q->ErrorLogPath, script, ".err");
        ReplaceExtension(q->GeneratedScriptPath, sizeof q->GeneratedScriptPath, script, ".tm2");
        return 1;
    }
    char given[128];
    COPYCUT(given, script);
    char dir[128];
    if (!PlatCurrentDirectory(dir, sizeof dir)) return 0;
    // The base name keeps its blanks; the script's own name is kept whole
    // so status is written to the file that was given.
    char base[9];
    size_t n = 0;
    while (given[n] && given[n] != '.' && n < 8) {
        base[n] = given[n];
        n++;
    }
    base[n] = 0;
    const char *sep = (dir[0] && dir[strlen(dir) - 1] == '\\') ? "" : "\\";
    int whole = FORMATCUT(q->LogPath, "%s%s%s.log", dir, sep, base);
    whole &= FORMATCUT(q->GeneratedScriptPath, "%s%s%s.tm2", dir, sep, base);
    whole &= FORMATCUT(q->ErrorLogPath, "%s%s%s.err", dir, sep, base);
    whole &= FORMATCUT(q->ScriptPath, "%s%s%s", dir, sep, given);
    if (!whole) {
        char full[400];
        FORMATCUT(full, "%s%s%s", dir, sep, given);
        TooLongBox(full);
        return 0;
    }
    return 1;
}

struct RunFile {
    int appendSetting;
    const char *openFailText;
    const char *createFailText;
};

static const RunFile LogFileSpec = {SET_APPENDLOGFILE, "Can not open or create log file.",
                                    "Can not create log file."};
static const RunFile StatFileSpec = {SET_APPENDSTATFILE, "Can not open or create stat file.",
                                     "Can not create stat file."};
static const RunFile ReportFileSpec = {SET_APPENDREPORTFILE, "Can not open or create report file",
                                      "Can not create report file"};
static const RunFile ErrorFileSpec = {SET_APPENDERRORLOGFILE,
                                      "Can not open or create error log file.",
                                      "Can not create log file."};

// A run file must never be the script, the generated command file or a run
// file opened before it: opening it would truncate that file.
static int CollidesWith(const char *path, const char *const *others, int count) {
    for (int i = 0; i < count; i++)
        if (others[i] && others[i][0] && PlatSameFile(path, others[i])) return 1;
    return 0;
}

// Appending: the file's end, or a new file. Else a new, empty file.
static PlatFile OpenOrCreate(const char *path, int append) {
    if (!append) return PlatFileCreate(path);
    PlatFile f = PlatFileOpen(path);
    if (f == -1) return PlatFileCreate(path);
    PlatFileSeek(f, 0, QSEEK_END);
    return f;
}

static PlatFile OpenRunFile(QELTA *q, const char *path, const RunFile *kind,
                            const char *const *others, int count) {
    int append = SettingOn(q, kind->appendSetting);
    const char *failText = append ? kind->openFailText : kind->createFailText;
    if (CollidesWith(path, others, count)) {
        ErrorBox(failText);
        return -1;
    }
    PlatFile f = OpenOrCreate(path, append);
    if (f == -1) ErrorBox(failText);
    return f;
}

// Reads a path setting; 0 when it is longer than the members hold (it is
// then reported, never used cut).
static int ReadPathSetting(QELTA *q, int id, char *out, size_t size, const char *failText) {
    char value[512];
    ReadSettingText(q, id, value, sizeof value);
    if (!CopyCut(out, size, value)) {
        char text[700];
        FORMATCUT(text, "%s\r\nPath is longer than 127 characters:\r\n%s", failText, value);
        ErrorBox(text);
        return 0;
    }
    return 1;
}

static int ScriptReadable(const char *path) {
    PlatFile f = PlatFileOpenRead(path);
    if (f == -1) return 0;
    PlatFileClose(f);
    return 1;
}

static int TemplatePrompt(QELTA *q) {
    int answer = PlatMessageBox(
        "This script is a template.\r\nTemplates can not be ran until required values have "
        "been filled in.\r\nWould you like to edit it?",
        "QELTA Template", QMB_YESNO);
    if (answer == QID_YES) PlatEditFile(q->ScriptPath);
    return 0;
}

static void OpenRunFiles(QELTA *q) {
    char logFile[128], errorFile[128], statFile[128];
    int logOk = ReadPathSetting(q, SET_LOGFILE, logFile, sizeof logFile, LogFileSpec.createFailText);
    int errOk = ReadPathSetting(q, SET_ERRORLOGFILE, errorFile, sizeof errorFile,
                                ErrorFileSpec.createFailText);
    int statOk = ReadPathSetting(q, SET_STATFILE, statFile, sizeof statFile,
                                 StatFileSpec.createFailText);
    if (logFile[0]) COPYCUT(q->LogPath, logFile);
    if (errorFile[0]) COPYCUT(q->ErrorLogPath, errorFile);

    const char *taken[4] = {q->ScriptPath, q->GeneratedScriptPath, nullptr, nullptr};
    q->LogHandle = logOk ? OpenRunFile(q, q->LogPath, &LogFileSpec, taken, 2) : -1;
    taken[2] = q->LogPath;

    q->StatEnabled = 0;
    q->StatHandle = -1;
    if (!statOk) {
        q->StatEnabled = 1;  // configured, but not usable: lines are lost
    } else if (statFile[0]) {
        q->StatEnabled = 1;
        q->StatHandle = OpenRunFile(q, statFile, &StatFileSpec, taken, 3);
    }
    COPYCUT(q->StatPath, statFile);
    taken[3] = q->StatPath;
    q->ErrorLogHandle = errOk ? OpenRunFile(q, q->ErrorLogPath, &ErrorFileSpec, taken, 4) : -1;
}

// A report asked for and not written would leave its reader with nothing
// to tell a failed run from one that never started: the run does not
// start, and says which file it could not write.
static int OpenReport(QELTA *q) {
    const RunFile &k = ReportFileSpec;
    int append = SettingOn(q, k.appendSetting);
    const char *failText = append ? k.openFailText : k.createFailText;
    char path[128];
    if (!ReadPathSetting(q, SET_REPORTFILE, path, sizeof path, failText)) return 0;
    if (path[0] == 0) return 1;
    const char *taken[] = {q->ScriptPath, q->GeneratedScriptPath, q->LogPath, q->StatPath,
                           q->ErrorLogPath};
    PlatFile f = CollidesWith(path, taken, 5) ? -1 : OpenOrCreate(path, append);
    if (f == -1) {
        char text[300];
        FORMATCUT(text, "%s %s: the run does not start.", failText, path);
        ErrorLogText(q, text);
        ErrorLogText(q, "\r\n");
        ErrorBox(text);
        return 0;
    }
    q->Report.Handle = f;
    COPYCUT(q->Report.Path, path);
    return 1;
}

// Bytes per data receive and file read: 64 KiB unless BlockSize asks for
// 1 byte to 1 MiB. Smaller blocks cost a system call each way per block,
// which on a big file is most of a user's wait.
static int AllocateDataBlock(QELTA *q) {
    const SettingEntry &e = SettingsTable[SET_BLOCKSIZE];
    int size = ReadSetting(q, SET_BLOCKSIZE);
    q->BlockSize = (size_t)(size >= e.Low && size <= e.High ? size : e.Default);
    q->DataBuffer = static_cast<char *>(std::malloc(q->BlockSize));
    if (q->DataBuffer != nullptr) return 1;
    ErrorBox("Unable to Allocate Memory");
    return 0;
}

int LoadSettings(QELTA *q) {
    if (q->ScriptPath[0] == 0) return 0;
    if (!DeriveRunFileNames(q)) return 0;
    if (!ScriptReadable(q->ScriptPath)) {
        char text[200];
        FORMATCUT(text, "Can not open script file %s", q->ScriptPath);
        ErrorBox(text);
        return 0;
    }
    PlatProfileFlush(q->ScriptPath);
    // Read before anything can stop the start-up, so that a scheduler is
    // told of a script that was found but never ran.
    q->ProcessExitCode = SettingOn(q, SET_PROCESSEXITCODE);
    if (SettingOn(q, SET_TEMPLATE)) return TemplatePrompt(q);
    LoadSettingValues(q);

    OpenRunFiles(q);
    if (!OpenReport(q)) {
        // The outcome an earlier run left must not stand for this one.
        WriteExitCode(q, "Failure");
        return 0;
    }

    q->Silent = ReadSetting(q, SET_SILENT);
    q->Debug = ReadSetting(q, SET_DEBUG);
    q->DebugEx = ReadSetting(q, SET_DEBUGEX);
    q->_550DeleteOverRide = ReadSetting(q, SET_550DELETEOVERRIDE);
    q->DeleteOverRide = ReadSetting(q, SET_DELETEOVERRIDE);
    q->TimeOut = ReadSetting(q, SET_TIMEOUT);
    q->DebugMessages = ReadSetting(q, SET_DEBUGMESSAGES);
    q->DELR550OverRide = ReadSetting(q, SET_DELR550OVERRIDE);
    q->DirCmdCanDoNothing = ReadSetting(q, SET_DIRCMDCANDONOTHING);
    q->PASVMode = ReadSetting(q, SET_PASVMODE);
    q->PASVUseReplyAddress = ReadSetting(q, SET_PASVUSEREPLYADDRESS);
    if (!AllocateDataBlock(q)) return 0;

    WriteLogHeader(q, "Starting");
    ReportStart(q);

    PlatProfileRead("QELTA", "FTPCommand1", "", q->Argument, sizeof q->Argument, q->ScriptPath);
    q->LongKeyForm = q->Argument[0] != 0;
    RestartWatchdog(q);
    return 1;
}


// The filter list of the file-open dialog: the string's last character
// separates the entries and becomes a zero byte.
static int LoadFilter(void *instance, char *filter, size_t size) {
    if (!PlatLoadString(instance, IDS_SCRIPT_FILTER, filter, size - 1)) return 0;
    size_t len = strlen(filter);
    if (len == 0) return 0;
    char bar = filter[len - 1];
    for (size_t i = 0; i < len; i++)
        if (filter[i] == bar) filter[i] = 0;
    filter[len] = 0;
    return 1;
}

// The file-open dialog. 0 when it is cancelled, and when the chosen path
// is longer than ScriptPath holds (then reported).
static int AskForScript(QELTA *q) {
    char filter[256];
    if (!LoadFilter(q->Instance, filter, sizeof filter)) return 0;
    char chosen[256];
    chosen[0] = 0;
    if (!PlatAskScriptPath("QELTA - Select Script to Run", filter, chosen, sizeof chosen))
        return 0;
    if (COPYCUT(q->ScriptPath, chosen)) return 1;
    TooLongBox(chosen);
    return 0;
}

static int ChooseScript(QELTA *q, const char *cmdline) {
    if (cmdline[0] == 0) return AskForScript(q);
    // Shell associations hand over the path in quotes.
    size_t len = strlen(cmdline);
    if (len >= 2 && cmdline[0] == '"' && cmdline[len - 1] == '"') {
        if (len - 2 < sizeof q->ScriptPath) {
            memcpy(q->ScriptPath, cmdline + 1, len - 2);
            q->ScriptPath[len - 2] = 0;
            return 1;
        }
    } else if (COPYCUT(q->ScriptPath, cmdline)) {
        return 1;
    }
    TooLongBox(cmdline);
    return 0;
}

// Closes the run files LoadSettings opened, for a start-up that ends
// before the run, and frees the record. Returns the process exit code:
// 1 when the script asked for ProcessExitCode (it did not run), else 0.
static int FreeSession(QELTA *q) {
    PlatFile *files[] = {&q->LogHandle, &q->ErrorLogHandle, &q->StatHandle, &q->Report.Handle};
    for (PlatFile *f : files)
        if (*f != -1) PlatFileClose(*f);
    int code = q->ProcessExitCode == 1 ? 1 : 0;
    DeleteSession(q);
    pQELTA = nullptr;
    return code;
}

int QeltaMain(void *instance, int hasPrevious, const char *cmdline, int show) {
    QELTA *q = NewSession();
    if (q == nullptr) {
        ErrorBox("Unable to Allocate Memory");
        return 0;
    }
    pQELTA = q;
    q->View = &DialogView;
    q->Instance = instance;
    if (!hasPrevious && !PlatRegisterMainClass(instance)) return FreeSession(q);
    ResetSession(q);
    q->CommandActive = 0;
    q->ErrorText[0] = 0;
    if (!ChooseScript(q, cmdline) || LoadSettings(q) != 1) return FreeSession(q);
    q->ErrorFlag = 0;
    PlatProfileFlush(q->ScriptPath);
    q->Window.No3D = SettingOn(q, SET_NO3D);

    MainWindow = PlatCreateMainWindow(instance);
    if (MainWindow == nullptr) return FreeSession(q);
    DialogHandle = PlatCreateTransferDialog(instance, MainWindow);
    PlatShowWindow(MainWindow, show);
    if (DialogHandle) PlatShowWindow(DialogHandle, 1);
    return PlatMessageLoop(&DialogHandle);
}
