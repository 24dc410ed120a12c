// The table of [Settings] keys and the reads that go through it.
#include "session/settings.h"

#include <climits>
#include <cstring>

#include "base/text.h"

static const char SETTINGS[] = "Settings";

constexpr SettingEntry SettingsTable[SETTING_COUNT] = {
    // key, id, kind, default, lowest, highest
    {"LogFile", SET_LOGFILE, SETTING_PATH, 0, 0, 0},
    {"AppendLogFile", SET_APPENDLOGFILE, SETTING_FLAG, 0, 0, 1},
    {"ErrorLogFile", SET_ERRORLOGFILE, SETTING_PATH, 0, 0, 0},
    {"AppendErrorLogFile", SET_APPENDERRORLOGFILE, SETTING_FLAG, 0, 0, 1},
    {"StatFile", SET_STATFILE, SETTING_PATH, 0, 0, 0},
    {"AppendStatFile", SET_APPENDSTATFILE, SETTING_FLAG, 0, 0, 1},
    {"Template", SET_TEMPLATE, SETTING_FLAG, 0, 0, 1},
    {"ProcessExitCode", SET_PROCESSEXITCODE, SETTING_FLAG, 0, 0, 1},
    {"Silent", SET_SILENT, SETTING_FLAG, 0, 0, 1},
    {"Debug", SET_DEBUG, SETTING_FLAG, 0, 0, 1},
    {"DebugEx", SET_DEBUGEX, SETTING_FLAG, 0, 0, 1},
    {"DebugMessages", SET_DEBUGMESSAGES, SETTING_FLAG, 0, 0, 1},
    // Below 1 the first watchdog tick ends the run.
    {"TimeOut", SET_TIMEOUT, SETTING_NUMBER, 60, 1, INT_MAX},
    // 64 KiB: smaller blocks cost a system call each way per block.
    {"BlockSize", SET_BLOCKSIZE, SETTING_NUMBER, 65536, 1, 1024 * 1024},
    {"PASVMode", SET_PASVMODE, SETTING_FLAG, 0, 0, 1},
    {"PASVUseReplyAddress", SET_PASVUSEREPLYADDRESS, SETTING_FLAG, 0, 0, 1},
    {"550DeleteOverRide", SET_550DELETEOVERRIDE, SETTING_FLAG, 0, 0, 1},
    {"DeleteOverRide", SET_DELETEOVERRIDE, SETTING_SWITCH, 0, 0, 1},
    {"DELR550OverRide", SET_DELR550OVERRIDE, SETTING_FLAG, 0, 0, 1},
    {"DirCmdCanDoNothing", SET_DIRCMDCANDONOTHING, SETTING_FLAG, 0, 0, 1},
    {"DELLCanDoNothing", SET_DELLCANDONOTHING, SETTING_FLAG, 0, 0, 1},
    {"MPUTCanDoNothing", SET_MPUTCANDONOTHING, SETTING_FLAG, 0, 0, 1},
    {"BringToTop", SET_BRINGTOTOP, SETTING_FLAG, 0, 0, 1},
    {"Blocking", SET_BLOCKING, SETTING_FLAG, 0, 0, 1},
    // Fewer than 1 still makes one attempt.
    {"DialRetry", SET_DIALRETRY, SETTING_NUMBER, 3, 1, INT_MAX},
    {"NOgethostname", SET_NOGETHOSTNAME, SETTING_SWITCH, 0, 0, 1},
    {"No3D", SET_NO3D, SETTING_SWITCH, 0, 0, 1},
    {"OnSuccessExec", SET_ONSUCCESSEXEC, SETTING_COMMAND, 0, 0, 0},
    {"OnFailExec", SET_ONFAILEXEC, SETTING_COMMAND, 0, 0, 0},
};

static constexpr int RowsInIdOrder() {
    for (int i = 0; i < SETTING_COUNT; i++)
        if (SettingsTable[i].Id != i) return 0;
    return 1;
}
static_assert(RowsInIdOrder(), "a row of the settings table is out of its id's place");

const SettingEntry *FindSetting(const char *key) {
    for (const SettingEntry &e : SettingsTable) {
        size_t n = strlen(e.Key);
        if (strlen(key) == n && EqualNoCase(key, e.Key, n)) return &e;
    }
    return 0;
}

int ReadSetting(const QELTA *q, int id) {
    const SettingEntry &e = SettingsTable[id];
    return PlatProfileReadInt(SETTINGS, e.Key, e.Default, q->ScriptPath);
}

int SettingOn(const QELTA *q, int id) {
    int v = ReadSetting(q, id);
    return SettingsTable[id].Kind == SETTING_SWITCH ? v != 0 : v == 1;
}

int ReadSettingText(const QELTA *q, int id, char *out, size_t size) {
    return PlatProfileRead(SETTINGS, SettingsTable[id].Key, "", out, size, q->ScriptPath);
}
