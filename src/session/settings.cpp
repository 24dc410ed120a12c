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
    {"TLS", SET_TLS, SETTING_TEXT, 0, 0, 0},
    {"TLSFingerprint", SET_TLSFINGERPRINT, SETTING_TEXT, 0, 0, 0},
    {"TLSCAFile", SET_TLSCAFILE, SETTING_PATH, 0, 0, 0},
    {"TLSVerify", SET_TLSVERIFY, SETTING_SWITCH, 1, 0, 1},
    {"TLSProtectData", SET_TLSPROTECTDATA, SETTING_SWITCH, 1, 0, 1},
    {"PasswordSource", SET_PASSWORDSOURCE, SETTING_TEXT, 0, 0, 0},
    {"PasswordVariable", SET_PASSWORDVARIABLE, SETTING_TEXT, 0, 0, 0},
    // 0: passive mode sends PASV only, for servers that mishandle EPSV.
    {"EPSV", SET_EPSV, SETTING_SWITCH, 1, 0, 1},
    // Tries again of a command that failed in a way that may pass (a
    // connection lost, a 421 or 45x), each after a wait that doubles up to
    // 300 s, all within RetryFor seconds of the run.
    {"Retry", SET_RETRY, SETTING_NUMBER, 0, 0, 100},
    {"RetryDelay", SET_RETRYDELAY, SETTING_NUMBER, 30, 0, 300},
    {"RetryFor", SET_RETRYFOR, SETTING_NUMBER, 3600, 0, INT_MAX},
    // A retrieval or upload cut part-way continues from what was kept,
    // when what it is a part of is unchanged.
    {"Resume", SET_RESUME, SETTING_FLAG, 0, 0, 1},
    // Size and, where the server offers one, a hash compared after every
    // transfer.
    {"Verify", SET_VERIFY, SETTING_FLAG, 0, 0, 1},
    // Uploads go to a temporary name, renamed once whole.
    {"UploadTempName", SET_UPLOADTEMPNAME, SETTING_FLAG, 0, 0, 1},
    // A JSON Lines record of the run, one line per command (log/report.h).
    {"ReportFile", SET_REPORTFILE, SETTING_PATH, 0, 0, 0},
    {"AppendReportFile", SET_APPENDREPORTFILE, SETTING_FLAG, 0, 0, 1},
    // Connections the commands of many files share their files among.
    {"Connections", SET_CONNECTIONS, SETTING_NUMBER, 1, 1, CONNECTIONS_MAX},
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

static_assert((int)SETTING_COUNT <= (int)SETTING_SLOTS, "the record has no room for every setting");

static int IsText(int kind) {
    return kind == SETTING_PATH || kind == SETTING_COMMAND || kind == SETTING_TEXT;
}

// A number as the profile functions read one: missing or empty is the
// default, otherwise the leading decimal digits.
static int NumberOf(const SettingEntry &e, const char *value, int found) {
    if (!found || value[0] == 0) return e.Default;
    long v = ReadDecimal(value);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

void LoadSettingValues(QELTA *q) {
    const char *keys[SETTING_COUNT];
    int found[SETTING_COUNT];
    for (int id = 0; id < SETTING_COUNT; id++) keys[id] = SettingsTable[id].Key;
    PlatProfileReadKeys(SETTINGS, keys, SETTING_COUNT, &q->Settings.Text[0][0], SETTING_TEXT_MAX,
                        found, q->ScriptPath);
    for (int id = 0; id < SETTING_COUNT; id++) {
        const SettingEntry &e = SettingsTable[id];
        q->Settings.Value[id] = IsText(e.Kind) ? 0 : NumberOf(e, q->Settings.Text[id], found[id]);
    }
    q->Settings.Loaded = 1;
}

int ReadSetting(const QELTA *q, int id) {
    const SettingEntry &e = SettingsTable[id];
    if (q->Settings.Loaded) return q->Settings.Value[id];
    return PlatProfileReadInt(SETTINGS, e.Key, e.Default, q->ScriptPath);
}

int SettingOn(const QELTA *q, int id) {
    int v = ReadSetting(q, id);
    return SettingsTable[id].Kind == SETTING_SWITCH ? v != 0 : v == 1;
}

int ReadSettingText(const QELTA *q, int id, char *out, size_t size) {
    if (!q->Settings.Loaded)
        return PlatProfileRead(SETTINGS, SettingsTable[id].Key, "", out, size, q->ScriptPath);
    CopyCut(out, size, q->Settings.Text[id]);
    return (int)strlen(out);
}

// ---- Passwords ---------------------------------------------------------------------

const char *const PasswordSourceNames[PASSWORD_FROM_COUNT] = {
    "Prompt", "Netrc", "Environment", "CredentialManager", "SecretService"};

static int PasswordSourceOf(const char *value) {
    if (value[0] == 0) return PASSWORD_FROM_PROMPT;
    for (int s = 0; s < PASSWORD_FROM_COUNT; s++) {
        size_t n = strlen(PasswordSourceNames[s]);
        if (strlen(value) == n && EqualNoCase(value, PasswordSourceNames[s], n)) return s;
    }
    return -1;
}

// An environment variable's name: letters, digits and underscores.
static int IsVariableName(const char *value) {
    for (const char *p = value; *p; p++)
        if (!((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_'))
            return 0;
    return 1;
}

static const char *PasswordSettingProblem(int id, const char *value, char *out, size_t size) {
    const char *key = SettingsTable[id].Key;
    if (id == SET_PASSWORDSOURCE && PasswordSourceOf(value) < 0) {
        FormatCut(out, size, "%s=%.40s is not Prompt, Netrc, Environment, CredentialManager or SecretService",
                  key, value);
        return out;
    }
    if (id == SET_PASSWORDVARIABLE && !IsVariableName(value)) {
        FormatCut(out, size, "%s=%.40s is no environment variable's name", key, value);
        return out;
    }
    return 0;
}

// ---- TLS -----------------------------------------------------------------------------

static const char *const TlsModes[] = {"None", "Explicit", "Implicit"};

static int TlsModeOf(const char *value) {
    if (value[0] == 0) return TLS_NONE;
    for (int m = TLS_NONE; m <= TLS_IMPLICIT; m++) {
        size_t n = strlen(TlsModes[m]);
        if (strlen(value) == n && EqualNoCase(value, TlsModes[m], n)) return m;
    }
    return -1;
}

const char *SettingValueProblem(int id, const char *value, char *out, size_t size) {
    if (value[0] == 0) return 0;
    const char *key = SettingsTable[id].Key;
    unsigned char pin[32];
    switch (id) {
    case SET_TLS:
        if (TlsModeOf(value) >= 0) return 0;
        FormatCut(out, size, "%s=%.40s is not None, Explicit or Implicit", key, value);
        return out;
    case SET_TLSFINGERPRINT:
        if (ParseFingerprint(value, pin)) return 0;
        FormatCut(out, size, "%s=%.40s is not a SHA-256 fingerprint (64 hex digits)", key, value);
        return out;
    case SET_TLSVERIFY:
    case SET_TLSPROTECTDATA:
        if (strcmp(value, "0") == 0 || strcmp(value, "1") == 0) return 0;
        FormatCut(out, size, "%s=%.40s is not 0 or 1", key, value);
        return out;
    case SET_PASSWORDSOURCE:
    case SET_PASSWORDVARIABLE: return PasswordSettingProblem(id, value, out, size);
    default: return 0;
    }
}

// The value as written, "" when missing; 0 when it is too long to be one.
static int ReadTextValue(QELTA *q, int id, char *out, size_t size) {
    int n = ReadSettingText(q, id, out, size);
    if (n < 0) n = 0;
    if ((size_t)n + 1 < size) return 1;
    FORMATCUT(q->ErrorText, "%s in [Settings] is too long\r\n", SettingsTable[id].Key);
    return 0;
}

// 1 when the file holds a PEM certificate, 0 when it holds none, -1 when
// it cannot be read: a wrong CA file must stop the run before anything is
// sent, not at the handshake.
static int HoldsCertificate(const char *path) {
    static const char Marker[] = "-----BEGIN CERTIFICATE-----";
    const size_t keep = sizeof Marker - 2;  // a marker split across two reads
    PlatFile f = PlatFileOpenRead(path);
    if (f == -1) return -1;
    char buf[4096 + sizeof Marker];
    size_t have = 0;
    int found = 0;
    long got;
    while (!found && (got = PlatFileRead(f, buf + have, 4096)) > 0) {
        have += (size_t)got;
        buf[have] = 0;
        found = strstr(buf, Marker) != nullptr;
        if (have > keep) {
            memmove(buf, buf + have - keep, keep);
            have = keep;
        }
    }
    PlatFileClose(f);
    return found;
}

int ReadTlsSettings(QELTA *q) {
    static const int Ids[] = {SET_TLS, SET_TLSFINGERPRINT, SET_TLSCAFILE, SET_TLSVERIFY,
                              SET_TLSPROTECTDATA};
    char values[5][260];
    for (int i = 0; i < 5; i++) {
        if (!ReadTextValue(q, Ids[i], values[i], sizeof values[i])) return 0;
        char problem[120];
        if (SettingValueProblem(Ids[i], values[i], problem, sizeof problem)) {
            FORMATCUT(q->ErrorText, "%s in [Settings]\r\n", problem);
            return 0;
        }
    }
    q->Tls.Mode = TlsModeOf(values[0]);
    q->Tls.HasPin = ParseFingerprint(values[1], q->Tls.Pin);
    COPYCUT(q->Tls.CAFile, values[2]);
    q->Tls.Verify = strcmp(values[3], "0") != 0;
    q->Tls.ProtectData = strcmp(values[4], "0") != 0;
    if (q->Tls.CAFile[0] == 0 || q->Tls.Mode == TLS_NONE) return 1;
    int holds = HoldsCertificate(q->Tls.CAFile);
    if (holds > 0) return 1;
    FORMATCUT(q->ErrorText, "TLSCAFile=%.120s %s in [Settings]\r\n", q->Tls.CAFile,
              holds < 0 ? "cannot be read" : "holds no PEM certificate");
    return 0;
}

int ReadPasswordSettings(QELTA *q) {
    char source[64], variable[sizeof q->Login.Variable];
    if (!ReadTextValue(q, SET_PASSWORDSOURCE, source, sizeof source) ||
        !ReadTextValue(q, SET_PASSWORDVARIABLE, variable, sizeof variable))
        return 0;
    char problem[160];
    const char *wrong = SettingValueProblem(SET_PASSWORDSOURCE, source, problem, sizeof problem);
    if (!wrong) wrong = SettingValueProblem(SET_PASSWORDVARIABLE, variable, problem, sizeof problem);
    if (wrong) {
        FORMATCUT(q->ErrorText, "%s in [Settings]\r\n", wrong);
        return 0;
    }
    q->Login.Source = PasswordSourceOf(source);
    COPYCUT(q->Login.Variable, variable[0] ? variable : "QELTA_PASSWORD");
    return 1;
}
