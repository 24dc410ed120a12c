// The report's records. Each line is built whole in a buffer that holds
// the longest record the fields can make, and goes out in one write.
#include "log/report.h"

#include <cstring>

#include "base/text.h"
#include "session/commandids.h"

// ---- JSON strings ----------------------------------------------------------------

// The length of the well-formed UTF-8 character at in (n bytes left), 0
// when none starts there: no overlong forms, no surrogates, nothing above
// U+10FFFF.
static size_t CharLength(const unsigned char *in, size_t n) {
    unsigned char c = in[0];
    if (c < 0x80) return 1;
    size_t len;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) len = 3;
    else if (c >= 0xF0 && c <= 0xF4) len = 4;
    else return 0;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
    if (n < len || in[1] < low || in[1] > high) return 0;
    for (size_t i = 2; i < len; i++)
        if (in[i] < 0x80 || in[i] > 0xBF) return 0;
    return len;
}

// What stands in the string for one character: its escape, or the bytes
// themselves. Returns the bytes written to unit (at most 6).
static size_t Unit(const unsigned char *in, size_t len, char *unit) {
    static const char Hex[] = "0123456789abcdef";
    if (len == 0) {
        memcpy(unit, "\xEF\xBF\xBD", 3);  // U+FFFD
        return 3;
    }
    unsigned char c = in[0];
    const char *shortForm = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n"
                          : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
    if (shortForm) {
        memcpy(unit, shortForm, 2);
        return 2;
    }
    if (c < 0x20 || c == 0x7F) {
        memcpy(unit, "\\u00", 4);
        unit[4] = Hex[c >> 4];
        unit[5] = Hex[c & 15];
        return 6;
    }
    memcpy(unit, in, len);
    return len;
}

size_t JsonString(char *out, size_t size, const char *in, size_t n) {
    if (size < 3) {
        if (size > 0) out[0] = 0;
        return 0;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
    size_t at = 0, i = 0;
    out[at++] = '"';
    while (i < n) {
        size_t len = CharLength(p + i, n - i);
        char unit[6];
        size_t u = Unit(p + i, len, unit);
        if (at + u + 2 > size) break;  // room for the closing quote and zero
        memcpy(out + at, unit, u);
        at += u;
        i += len ? len : 1;
    }
    out[at++] = '"';
    out[at] = 0;
    return at;
}

// ---- Masking ---------------------------------------------------------------------

static const char Stars[] = "********";

static const char *SkipBlanks(const char *s) {
    while (*s == ' ' || *s == '\t') s++;
    return s;
}

void MaskedArgument(int id, const char *argument, char *out, size_t size) {
    const char *a = SkipBlanks(argument);
    if (id == CMD_PASS) {
        CopyCut(out, size, a[0] ? Stars : "");
        return;
    }
    if (id == CMD_UDEF && EqualNoCase(a, "PASS", 4) && (a[4] == 0 || a[4] == ' ' || a[4] == '\t')) {
        FormatCut(out, size, "PASS %s", Stars);
        return;
    }
    CopyCut(out, size, argument);
    if (id != CMD_DIAL) return;
    // entry, user, password: what follows the second comma is the password.
    char *comma = strchr(out, ',');
    if (comma) comma = strchr(comma + 1, ',');
    if (comma == nullptr) return;
    comma[1] = 0;
    AppendCut(out, size, " ");
    AppendCut(out, size, Stars);
}

// ---- Records ---------------------------------------------------------------------

// A line of the report under construction. Every field's text is bounded
// (the longest, the argument, at 6 bytes per byte), so a record never
// outgrows the buffer; were one to, its later fields would be left out
// and the line would still be whole JSON.
enum { REPORT_LINE_MAX = 12288 };
struct Line {
    char text[REPORT_LINE_MAX];
    size_t at;
    int fields;
};

static void Raw(Line *l, const char *s) {
    size_t n = strlen(s);
    if (l->at + n + 3 > sizeof l->text) return;
    memcpy(l->text + l->at, s, n);
    l->at += n;
    l->text[l->at] = 0;
}

static void Key(Line *l, const char *key) {
    Raw(l, l->fields++ ? ",\"" : "{\"");
    Raw(l, key);
    Raw(l, "\":");
}

static void Str(Line *l, const char *key, const char *value) {
    Key(l, key);
    if (value == nullptr) {
        Raw(l, "null");
        return;
    }
    size_t room = sizeof l->text - l->at;
    if (room < 8) return;
    l->at += JsonString(l->text + l->at, room - 4, value, strlen(value));
}

// A text with the line end the server or the error log gave it left off.
static void Text(Line *l, const char *key, const char *value) {
    if (value == nullptr) return Str(l, key, nullptr);
    char cut[256];
    CopyCut(cut, sizeof cut, value);
    size_t n = strlen(cut);
    while (n > 0 && (cut[n - 1] == '\r' || cut[n - 1] == '\n')) cut[--n] = 0;
    Str(l, key, cut);
}

static void Num(Line *l, const char *key, unsigned long long value) {
    char text[32];
    FORMATCUT(text, "%llu", value);
    Key(l, key);
    Raw(l, text);
}

static void Seconds(Line *l, const char *key, unsigned long ms) {
    char text[32];
    FORMATCUT(text, "%lu.%03lu", ms / 1000, ms % 1000);
    Key(l, key);
    Raw(l, text);
}

// Ends the object and writes the line in one write: a run killed while
// it goes out loses the line whole or not at all.
static void Emit(QELTA *q, Line *l) {
    if (l->fields == 0) return;
    Raw(l, "}\n");
    if (q->Report.Handle != -1) PlatFileWrite(q->Report.Handle, l->text, l->at);
}

static void UtcStamp(char *out, size_t size) {
    PlatLocalTime t;
    PlatNowUtc(&t);
    FormatCut(out, size, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
              t.minute, t.second);
}

void ReportStart(QELTA *q) {
    q->Report.RunStarted = PlatMilliseconds();
    if (q->Report.Handle == -1) return;
    static Line l;
    l.at = 0;
    l.fields = 0;
    char stamp[32];
    UtcStamp(stamp, sizeof stamp);
    Str(&l, "record", "start");
    Str(&l, "program", "QELTA");
    Str(&l, "version", QELTA_VERSION);
    Str(&l, "script", q->ScriptPath);
    Str(&l, "started", stamp);
    Emit(q, &l);
}

// ---- The command's record --------------------------------------------------------

static int IsOneOf(int id, const int *ids, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (ids[i] == id) return 1;
    return 0;
}

// The commands a data connection serves, and those that open one.
static const int DataCommands[] = {CMD_RETR, CMD_STOR, CMD_LIST, CMD_NLST, CMD_PORT, CMD_PASV};
// The lines of a generated run that stand for one file each.
static const int FileCommands[] = {CMD_RETR, CMD_STOR, CMD_DELR};

void ReportCommandStart(QELTA *q) {
    auto &r = q->Report;
    r.Pending = q->Report.Handle != -1 && q->CommandId != CMD_NONE;
    if (!r.Pending) return;
    r.Id = q->CommandId;
    r.CommandStarted = PlatMilliseconds();
    r.RepliesAtStart = q->ReplyCount;
    MaskedArgument(q->CommandId, q->Argument, r.Argument, sizeof r.Argument);
    if (q->GeneratedActive == 1 || q->ReturnIndex != 0) return;
    // A script line: should it start a generated run, KILL's record is its.
    r.StartLine = q->CommandIndex;
    COPYCUT(r.StartKeyword, r.Keyword);
    COPYCUT(r.StartArgument, r.Argument);
    r.StartStarted = r.CommandStarted;
    r.StartBytes = 0;
}

static uint64_t BytesOf(const QELTA *q, int id) {
    if (id == CMD_STOR) return q->Send.BytesSent;
    if (id == CMD_RETR || id == CMD_LIST || id == CMD_NLST) return q->Receive.BytesReceived;
    return 0;
}

// The server's deciding reply: its code and its text, null for a command
// that had none.
static void ReplyFields(Line *l, const QELTA *q) {
    const char *line = q->LastReplyLine;
    int had = q->ReplyCount != q->Report.RepliesAtStart && line[0] >= '1' && line[0] <= '5';
    Key(l, "reply_code");
    if (had) {
        char code[4] = {line[0], line[1], line[2], 0};
        Raw(l, code);
    } else {
        Raw(l, "null");
    }
    Text(l, "reply_text", had ? line : nullptr);
}

static void TransferFields(Line *l, QELTA *q, int id) {
    int transfer = id == CMD_RETR || id == CMD_STOR;
    Num(l, "resume_offset", transfer ? q->Resume.Offset : 0);
    Str(l, "verified", transfer && q->Verify.Said[0] ? q->Verify.Said : nullptr);
    int data = IsOneOf(id, DataCommands, sizeof DataCommands / sizeof DataCommands[0]) &&
               q->Report.DataMode[0];
    Str(l, "data_mode", data ? q->Report.DataMode : nullptr);
    Str(l, "data_address", data ? q->Report.DataAddress : nullptr);
    char tls[160];
    int secured = q->Tls.ControlSecured && PlatNetTlsDescribe(q->Socket.Control, tls, sizeof tls);
    // The protocol and cipher come before the certificate's details.
    if (secured) tls[strcspn(tls, ",")] = 0;
    Str(l, "tls", secured ? tls : nullptr);
}

static void CommandFields(Line *l, QELTA *q, int line, const char *keyword, const char *argument,
                          int success, uint64_t bytes, unsigned long started) {
    unsigned long ms = PlatMilliseconds() - started;
    Str(l, "record", "command");
    Num(l, "line", (unsigned long long)(line < 0 ? 0 : line));
    Str(l, "keyword", keyword);
    Str(l, "argument", argument);
    Str(l, "status", success ? "Success" : "Failure");
    ReplyFields(l, q);
    Text(l, "error", success || q->ErrorText[0] == 0 ? nullptr : q->ErrorText);
    Num(l, "bytes", bytes);
    Seconds(l, "seconds", ms);
    Num(l, "rate", ms ? bytes * 1000 / ms : bytes);
    Num(l, "tries", (unsigned long long)(1 + (q->Retry.Tries < 0 ? 0 : q->Retry.Tries)));
}

void ReportCommand(QELTA *q, int success) {
    auto &r = q->Report;
    if (!r.Pending) return;
    r.Pending = 0;
    int id = r.Id;
    int generated = q->ReturnIndex != 0;
    if (success && generated && !IsOneOf(id, FileCommands, sizeof FileCommands / sizeof FileCommands[0]))
        return;
    static Line l;
    l.at = 0;
    l.fields = 0;
    uint64_t bytes = BytesOf(q, id);
    r.Commands++;
    r.Failures += !success;
    r.Bytes += bytes;
    if (generated) r.StartBytes += bytes;
    if (id == CMD_KILL) {
        // The generated run is over: its record is the line's that started it.
        CommandFields(&l, q, r.StartLine, r.StartKeyword, r.StartArgument, success, r.StartBytes,
                      r.StartStarted);
    } else {
        CommandFields(&l, q, q->CommandIndex, r.Keyword, r.Argument, success, bytes,
                      r.CommandStarted);
    }
    TransferFields(&l, q, id);
    Emit(q, &l);
}

void ReportEnd(QELTA *q, int success) {
    auto &r = q->Report;
    if (r.Handle == -1) return;
    static Line l;
    l.at = 0;
    l.fields = 0;
    Str(&l, "record", "end");
    Str(&l, "exitcode", success ? "Success" : "Failure");
    Key(&l, "totals");
    l.fields = 0;  // the next key opens the inner object
    Num(&l, "commands", (unsigned long long)r.Commands);
    Num(&l, "failures", (unsigned long long)r.Failures);
    Num(&l, "bytes", r.Bytes);
    Seconds(&l, "seconds", PlatMilliseconds() - r.RunStarted);
    Raw(&l, "}");
    l.fields = 1;
    Emit(q, &l);
    PlatFileClose(r.Handle);
    r.Handle = -1;
}
