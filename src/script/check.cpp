// The script check: the sections and the [Settings] of a script, and the
// entry point that reports the findings in line order. The command lines
// are checked in checklines.cpp.
#include "script/check.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "session/settings.h"
#include "base/text.h"
#include "script/checkstate.h"

void CheckFinds(ScriptCheck *c, size_t index, const char *format, ...) {
    char text[600];
    va_list args;
    va_start(args, format);
    FormatCutV(text, sizeof text, format, args);
    va_end(args);
    c->Findings.push_back({(long)index + 1, text, 0});
}

void CheckWarns(ScriptCheck *c, size_t index, const char *format, ...) {
    char text[600] = "warning: ";
    va_list args;
    va_start(args, format);
    FormatCutV(text + strlen(text), sizeof text - strlen(text), format, args);
    va_end(args);
    c->Findings.push_back({(long)index + 1, text, 1});
}

// ---- similar names -------------------------------------------------------------

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

enum { LongestCompared = 40 };

// Edits (insert, delete, replace, swap two neighbours) between a and b,
// without regard to case.
static int Distance(const char *a, const char *b) {
    int n = (int)strlen(a), m = (int)strlen(b);
    if (n > LongestCompared || m > LongestCompared) return INT_MAX;
    static int d[LongestCompared + 1][LongestCompared + 1];
    for (int i = 0; i <= n; i++) d[i][0] = i;
    for (int j = 0; j <= m; j++) d[0][j] = j;
    for (int i = 1; i <= n; i++)
        for (int j = 1; j <= m; j++) {
            int cost = Lower(a[i - 1]) != Lower(b[j - 1]);
            int best = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
                Lower(a[i - 2]) == Lower(b[j - 1]))
                best = std::min(best, d[i - 2][j - 2] + 1);
            d[i][j] = best;
        }
    return d[n][m];
}

const char *ClosestName(const char *name, const char *const *known, int count) {
    // One edit in a short name, two in a longer one: more would suggest
    // names that merely share letters.
    int allowed = strlen(name) <= 4 ? 1 : 2;
    const char *best = 0;
    int bestDistance = allowed + 1;
    for (int i = 0; i < count; i++) {
        int d = Distance(name, known[i]);
        if (d < bestDistance) best = known[i], bestDistance = d;
    }
    return best;
}

// " (did you mean X?)", or nothing.
static std::string Suggestion(const char *name, const char *const *known, int count,
                              const char *open, const char *close) {
    const char *near = ClosestName(name, known, count);
    if (!near) return "";
    return std::string(" (did you mean ") + open + near + close + "?)";
}

// ---- sections ----------------------------------------------------------------------

static const char *const KnownSections[] = {"QELTA", "Settings", "STATUS"};

static void CheckSections(ScriptCheck *c) {
    const std::vector<ProfileLine> &lines = c->Script.lines;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].kind != LINE_SECTION) continue;
        const char *name = lines[i].name.c_str();
        long first = FindProfileSection(c->Script, name);
        int known = 0;
        for (const char *k : KnownSections) known |= ProfileNameIs(lines[i].name, k);
        if (!known)
            CheckFinds(c, i, "section [%.60s] is not read by QELTA%s", name,
                       Suggestion(name, KnownSections, 3, "[", "]").c_str());
        else if (first != (long)i)
            CheckFinds(c, i, "a second [%.60s] section: the run reads only the one on line %ld",
                       name, first + 1);
    }
}

// ---- [Settings] ----------------------------------------------------------------------

static void CheckSettingText(ScriptCheck *c, size_t i, const SettingEntry &e,
                             const std::string &v) {
    if ((e.Kind == SETTING_PATH || e.Kind == SETTING_TEXT) && v.size() > 127)
        CheckFinds(c, i, "%s is longer than 127 characters: the run will not use it", e.Key);
    if (e.Kind == SETTING_COMMAND && v.size() > 255)
        CheckFinds(c, i, "%s is longer than 255 characters: the run cuts it", e.Key);
}

static void CheckSettingRange(ScriptCheck *c, size_t i, const SettingEntry &e,
                              const std::string &v) {
    long n = ReadDecimal(v.c_str());
    if (n >= e.Low && n <= e.High) return;
    if (e.Kind != SETTING_NUMBER)
        CheckFinds(c, i, "%s=%.40s: a switch is 0 or 1", e.Key, v.c_str());
    else if (e.High == INT_MAX)
        CheckFinds(c, i, "%s=%.40s is out of range: %d or more", e.Key, v.c_str(), e.Low);
    else
        CheckFinds(c, i, "%s=%.40s is out of range: %d to %d", e.Key, v.c_str(), e.Low, e.High);
}

// The value as the run reads it: an int, a number cut at its first
// non-digit.
static int ValueRead(const std::string &v) {
    long n = ReadDecimal(v.c_str());
    return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : (int)n;
}

static void CheckSettingValue(ScriptCheck *c, size_t i, const SettingEntry &e,
                              const std::string &v) {
    if (v.empty()) return;  // read as missing: the default
    char problem[200];
    // The run refuses these at its start; say so with its words.
    if (SettingValueProblem(e.Id, v.c_str(), problem, sizeof problem))
        return CheckFinds(c, i, "%s: the run will not start", problem);
    if (e.Kind == SETTING_PATH || e.Kind == SETTING_COMMAND || e.Kind == SETTING_TEXT)
        return CheckSettingText(c, i, e, v);
    if (!IsWholeNumber(v.c_str()) && e.Kind != SETTING_NUMBER)
        return CheckFinds(c, i, "%s=%.40s: a switch is 0 or 1 (the run reads %d)", e.Key, v.c_str(),
                          ValueRead(v));
    if (!IsWholeNumber(v.c_str()))
        return CheckFinds(c, i, "%s=%.40s is not a whole number (the run reads %d)", e.Key,
                          v.c_str(), ValueRead(v));
    CheckSettingRange(c, i, e, v);
}

static void CheckSettingKey(ScriptCheck *c, long header, size_t i) {
    const ProfileLine &line = c->Script.lines[i];
    const char *key = line.name.c_str();
    long first = FindProfileKey(c->Script, header, key);
    if (first != (long)i)
        return CheckFinds(c, i, "%.60s is set again: the run reads only line %ld", key, first + 1);
    const SettingEntry *e = FindSetting(key);
    if (e) return CheckSettingValue(c, i, *e, ProfileValue(c->Script, line));
    const char *known[SETTING_COUNT];
    for (int n = 0; n < SETTING_COUNT; n++) known[n] = SettingsTable[n].Key;
    CheckFinds(c, i, "unknown setting %.60s: QELTA never reads it%s", key,
               Suggestion(key, known, SETTING_COUNT, "", "").c_str());
}

static void CheckSettings(ScriptCheck *c) {
    long header = FindProfileSection(c->Script, "Settings");
    c->TimeOut = SettingsTable[SET_TIMEOUT].Default;
    if (header < 0) return;
    long timeOut = FindProfileKey(c->Script, header, "TimeOut");
    if (timeOut >= 0) {
        std::string v = ProfileValue(c->Script, c->Script.lines[(size_t)timeOut]);
        if (!v.empty()) c->TimeOut = ValueRead(v);
    }
    size_t end = ProfileSectionEnd(c->Script, header);
    for (size_t i = (size_t)header + 1; i < end; i++)
        if (c->Script.lines[i].kind == LINE_KEY) CheckSettingKey(c, header, i);
}

// A number of [Settings] as the run reads it, and its line (-1: not set).
static long SettingNumber(const ScriptCheck *c, const char *key, long *line) {
    long header = FindProfileSection(c->Script, "Settings");
    *line = header < 0 ? -1 : FindProfileKey(c->Script, header, key);
    if (*line < 0) return 0;
    std::string v = ProfileValue(c->Script, c->Script.lines[(size_t)*line]);
    return v.empty() ? 0 : ValueRead(v);
}

static int TransfersFiles(const ScriptCheck *c) {
    static const int Transfers[] = {CMD_RETR, CMD_STOR, CMD_MGET, CMD_MPUT};
    for (const auto &kv : c->Commands)
        for (int id : Transfers)
            if (kv.second.Entry && kv.second.Entry->Id == id) return 1;
    return 0;
}

// Tries again of a transfer without Resume send it whole each time.
static void CheckRetryWithoutResume(ScriptCheck *c) {
    long retryLine, resumeLine;
    long retries = SettingNumber(c, "Retry", &retryLine);
    if (retries <= 0 || SettingNumber(c, "Resume", &resumeLine) == 1 || !TransfersFiles(c)) return;
    CheckWarns(c, (size_t)retryLine,
               "Retry=%ld without Resume=1: a transfer cut part-way starts again from byte zero "
               "at every try",
               retries);
}

// ---- the whole script ----------------------------------------------------------------

int CheckScript(const char *bytes, size_t size, CheckReport report, void *context) {
    ScriptCheck c;
    c.Script.bytes.assign(bytes, size);
    SplitProfileLines(&c.Script);
    c.LongKeyForm = 0;
    c.Scratch = static_cast<QELTA *>(calloc(1, sizeof(QELTA)));
    if (!c.Scratch) {
        report(context, 1, "out of memory");
        return 1;
    }
    CheckSections(&c);
    CheckSettings(&c);
    CheckCommandLines(&c);
    CheckRetryWithoutResume(&c);
    free(c.Scratch);
    std::stable_sort(c.Findings.begin(), c.Findings.end(),
                     [](const CheckFinding &a, const CheckFinding &b) { return a.Line < b.Line; });
    int findings = 0;
    for (const CheckFinding &f : c.Findings) {
        report(context, f.Line, f.Text.c_str());
        findings += !f.Warning;
    }
    return findings;
}
