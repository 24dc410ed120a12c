// The command reader (script lines and the generated command file) and the
// prerequisite check.
#include <cstring>

#include "base/text.h"
#include "log/log.h"
#include "script/script.h"

// ---- keyword effects ---------------------------------------------------------

static int EffectPlain(QELTA *q, int id) { return id; }
static int EffectPort(QELTA *q, int id) { return q->PASVMode == 1 ? CMD_PASV : id; }
static int EffectPasv(QELTA *q, int id) {
    q->PASVMode = 1;
    return id;
}
static int EffectMgtc(QELTA *q, int id) {
    q->MgtcMode = 1;
    return id;
}
static int EffectStou(QELTA *q, int id) {
    q->StouMode = 1;
    return id;
}
static int EffectAppe(QELTA *q, int id) {
    q->AppeMode = 1;
    return id;
}

// Indexed by CommandEntry::Effect; returns the id the command runs as.
static int (*const Effects[])(QELTA *, int) = {
    EffectPlain, EffectPort, EffectPasv, EffectMgtc, EffectStou, EffectAppe,
};

// ---- the argument ----------------------------------------------------------------

void ScriptArgument(const char *line, char *out, size_t size) {
    char rest[sizeof(((QELTA *)0)->Argument)];
    if (strnlen(line, 6) < 6) {
        out[0] = 0;
        return;
    }
    COPYCUT(rest, line + 5);  // line and out may be one buffer
    CopyCut(out, size, rest);
}

static void KeepArgument(QELTA *q, const char *line) {
    ScriptArgument(line, q->Argument, sizeof q->Argument);
}

// ---- script lines --------------------------------------------------------------

const char *ScriptKeyword(const char *line) {
    // Scripts put the keyword in column 1; an indented line (possible only
    // inside quotes) is read as if it were not indented, so its argument
    // and length are counted from the keyword too.
    const char *start = line;
    for (int n = 0; n < 4 && *start == ' '; n++) start++;
    return start;
}

void KeywordWord(const char *keyword, char *out, size_t size) {
    size_t n = 0;
    while (keyword[n] && keyword[n] != ' ' && keyword[n] != '\t' && n < size - 1) n++;
    memcpy(out, keyword, n);
    out[n] = 0;
}

// The run ends at such a line as at the end of the script; the log says
// why, or a mistyped keyword would look like a finished job.
static void LogUnknownKeyword(QELTA *q, const char *keyword) {
    char word[16];
    KeywordWord(keyword, word, sizeof word);
    char text[64];
    FORMATCUT(text, "*** Line %d: unknown keyword \"%s\" ends the script\r\n", q->CommandIndex,
              word);
    LogText(q, text);
    ErrorLogText(q, text);
}

static void ReadScriptLine(QELTA *q) {
    char key[32];
    char line[sizeof(q->Argument)];
    if (q->LongKeyForm == 1)
        FORMATCUT(key, "FTPCommand%d", q->CommandIndex);
    else
        FORMATCUT(key, "%d", q->CommandIndex);
    if (PlatProfileRead("QELTA", key, "", line, sizeof(line), q->ScriptPath) <= 0) line[0] = 0;

    const char *start = ScriptKeyword(line);
    const CommandEntry *e = FindCommand(start);
    // The report names the keyword as written: PORT may run as PASV.
    COPYCUT(q->Report.Keyword, e ? e->Keyword : "NONE");
    if (e) {
        q->CommandId = Effects[e->Effect](q, e->Id);
        q->IconKind = e->IconKind;
    } else {
        q->CommandId = CMD_NONE;
        q->IconKind = ICON_DISC;
        if (start[0]) LogUnknownKeyword(q, start);
    }
    KeepArgument(q, start);
}

// ---- the generated command file ------------------------------------------------------

struct LetterEntry {
    char Letter;
    int Id;
};
static const LetterEntry GeneratedLetters[] = {
    {'P', CMD_PORT}, {'R', CMD_RETR}, {'S', CMD_STOR}, {'D', CMD_DELR},
    {'T', CMD_TYPE}, {'N', CMD_NLST}, {'K', CMD_KILL},
};

static int IdForLetter(QELTA *q, char c) {
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    for (const LetterEntry &l : GeneratedLetters)
        if (l.Letter == c) return (l.Id == CMD_PORT && q->PASVMode == 1) ? CMD_PASV : l.Id;
    return CMD_BAD_GENERATED_LINE;
}

// The generated file is read a chunk at a time, not a byte: a run of
// 1,000 files reads thousands of its lines. The file's position is put
// back at the line's end afterwards, where the name list appends.
struct GeneratedChunk {
    QELTA *q;
    char bytes[1024];
    long length;
    long at;
};

static int ReadByte(GeneratedChunk *r, char *c) {
    if (r->at == r->length) {
        r->length = PlatFileRead(r->q->GeneratedScriptHandle, r->bytes, sizeof r->bytes);
        r->at = 0;
        if (r->length <= 0) {
            r->length = 0;
            return 0;
        }
    }
    *c = r->bytes[r->at++];
    r->q->GeneratedReadOffset++;
    return 1;
}

// Reads up to the carriage return, a zero byte or the end; a line longer
// than the buffer is cut but still consumed whole, so the file position
// stays on line boundaries.
static void ReadGeneratedBytes(GeneratedChunk *r, char *line, size_t size) {
    size_t n = 0;
    char c;
    while (ReadByte(r, &c) && c != '\r' && c != 0)
        if (n < size - 1) line[n++] = c;
    line[n] = 0;
}

static void EndGeneratedFile(QELTA *q) {
    q->GeneratedActive = 0;
    PlatFileClose(q->GeneratedScriptHandle);
    q->GeneratedScriptHandle = -1;
    PlatFileDelete(q->GeneratedScriptPath);
}

static void ReadGeneratedLine(QELTA *q, char *line, size_t size) {
    q->CommandIndex--;
    GeneratedChunk r = {q, {0}, 0, 0};
    ReadGeneratedBytes(&r, line, size);
    char c;
    ReadByte(&r, &c);  // the line feed
    int more = ReadByte(&r, &c);
    if (more) q->GeneratedReadOffset--;  // the look-ahead is given back
    q->GeneratedNextIsPort = more && (c == 'P' || c == 'p');
    // An N line at the end stays open: the name list appends the lines it
    // expands to, and the reader moves on to them.
    if (more || line[0] == 'N' || line[0] == 'n')
        PlatFileSeek(q->GeneratedScriptHandle, q->GeneratedReadOffset, QSEEK_SET);
    else
        EndGeneratedFile(q);
    q->CommandId = IdForLetter(q, line[0]);
}

int TakeGeneratedFile(QELTA *run, int *id, char *argument, size_t size, int *nextIsPort) {
    // The name list appends at the file's position: nothing is read while
    // it runs.
    if (run->GeneratedActive != 1 || run->GeneratedScriptHandle == -1) return 0;
    if (run->CommandId == CMD_NLST && run->CurrentState.Command != COMMAND_ENDED) return 0;
    int start = run->GeneratedReadOffset;
    PlatFileSeek(run->GeneratedScriptHandle, start, QSEEK_SET);
    GeneratedChunk r = {run, {0}, 0, 0};
    char line[sizeof run->Argument], c;
    ReadGeneratedBytes(&r, line, sizeof line);
    ReadByte(&r, &c);  // the line feed
    int letter = line[0] & ~0x20;
    if (letter == 'P') {
        // A file's data port and its transfer are one unit.
        ReadGeneratedBytes(&r, line, sizeof line);
        ReadByte(&r, &c);
        letter = line[0] & ~0x20;
        if (letter != 'R' && letter != 'S') letter = 0;
    } else if (letter != 'D') {
        letter = 0;
    }
    if (letter == 0) run->GeneratedReadOffset = start;
    int end = run->GeneratedReadOffset;
    *nextIsPort = letter != 0 && ReadByte(&r, &c) && (c == 'P' || c == 'p');
    run->GeneratedReadOffset = end;  // the look-ahead is given back
    PlatFileSeek(run->GeneratedScriptHandle, run->GeneratedReadOffset, QSEEK_SET);
    if (letter == 0) return 0;
    *id = IdForLetter(run, (char)letter);
    ScriptArgument(line, argument, size);
    return 1;
}

static void ReadGeneratedCommand(QELTA *q) {
    char line[sizeof(q->Argument)];
    if (q->RestoreTypeI == 1 && q->CommandId == CMD_NLST) {
        q->CommandId = CMD_TYPE;
        COPYCUT(line, "TYPE I");
        q->RestoreTypeI = 0;
        q->CommandIndex--;
    } else {
        ReadGeneratedLine(q, line, sizeof(line));
    }
    COPYCUT(q->Report.Keyword, KeywordForId(q->CommandId));
    KeepArgument(q, line);
}

int ReadCommand(QELTA *q) {
    q->Argument[0] = 0;
    q->GeneratedNextIsPort = 0;
    if (q->GeneratedActive == 1)
        ReadGeneratedCommand(q);
    else
        ReadScriptLine(q);
    return q->CommandId;
}

// ---- prerequisites ----------------------------------------------------------------

static int Met(const QELTA *q, int need) {
    // A flag counts only when it is exactly 1.
    int have = (q->Connected == 1 ? 1 : 0) | (q->UserAccepted == 1 ? 2 : 0) |
               (q->LoggedIn == 1 ? 4 : 0);
    return (have & need) == need;
}

int CheckPreReq(int id, QELTA *q) {
    const CommandEntry *e = CommandForId(id);
    if (e && Met(q, e->Needs)) return 1;
    COPYCUT(q->ErrorText, "Failed to find command in CheckPreReq()");
    return 0;
}
