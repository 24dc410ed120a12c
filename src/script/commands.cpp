// The keyword table, the command reader (script lines and the generated
// command file) and the prerequisite check.
#include <cstring>

#include "base/text.h"
#include "script/script.h"

// Searched in this order; the first match wins.
const CommandEntry CommandTable[] = {
    {"NONE", 0, 1, KW_PLAIN},  {"CONN", 1, 4, KW_PLAIN},  {"TYPE", 2, 4, KW_PLAIN},
    {"PASS", 3, 4, KW_PLAIN},  {"PORT", 4, 4, KW_PORT},   {"USER", 5, 4, KW_PLAIN},
    {"NLST", 6, 4, KW_PLAIN},  {"QUIT", 7, 1, KW_PLAIN},  {"RDIR", 8, 4, KW_PLAIN},
    {"MDIR", 9, 4, KW_PLAIN},  {"CHWD", 10, 4, KW_PLAIN}, {"LIST", 11, 4, KW_PLAIN},
    {"EXEC", 12, 1, KW_PLAIN}, {"STOR", 13, 2, KW_PLAIN}, {"RETR", 14, 3, KW_PLAIN},
    {"MPUT", 15, 2, KW_PLAIN}, {"MGET", 16, 3, KW_PLAIN}, {"KILL", 17, 1, KW_PLAIN},
    {"DELR", 19, 4, KW_PLAIN}, {"DELL", 18, 1, KW_PLAIN}, {"WTIL", 20, 1, KW_PLAIN},
    {"MGTC", 16, 3, KW_MGTC},  {"ACCT", 22, 1, KW_PLAIN}, {"SMNT", 23, 1, KW_PLAIN},
    {"STOU", 13, 2, KW_STOU},  {"APPE", 13, 2, KW_APPE},  {"UDEF", 26, 2, KW_PLAIN},
    {"WFOR", 27, 1, KW_PLAIN}, {"DIAL", 28, 1, KW_PLAIN}, {"GOTO", 29, 1, KW_PLAIN},
    {"PASV", 30, 4, KW_PASV},
};
const int CommandTableSize = (int)(sizeof(CommandTable) / sizeof(CommandTable[0]));

enum { PORT_ID = 4, PASV_ID = 30, NLST_ID = 6, TYPE_ID = 2 };

const CommandEntry *FindCommand(const char *text) {
    for (int i = 0; i < CommandTableSize; i++)
        if (EqualNoCase(text, CommandTable[i].Keyword, 4)) return &CommandTable[i];
    return 0;
}

const char *KeywordForId(int id) {
    for (int i = 0; i < CommandTableSize; i++)
        if (CommandTable[i].Id == id) return CommandTable[i].Keyword;
    return "????";
}

// ---- keyword effects ---------------------------------------------------------

static int EffectPlain(QELTA *q, int id) { return id; }
static int EffectPort(QELTA *q, int id) { return q->PASVMode == 1 ? PASV_ID : id; }
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

// Leaves in Argument what follows the keyword and its one separator (the
// sixth character on); a line of five characters or fewer has none.
static void KeepArgument(QELTA *q, const char *line) {
    char rest[sizeof(q->Argument)];
    if (strnlen(line, 6) < 6) {
        q->Argument[0] = 0;
        return;
    }
    COPYCUT(rest, line + 5);
    COPYCUT(q->Argument, rest);
}

// ---- script lines --------------------------------------------------------------

static void ReadScriptLine(QELTA *q) {
    char key[32];
    char line[sizeof(q->Argument)];
    if (q->LongKeyForm == 1)
        FORMATCUT(key, "FTPCommand%d", q->CommandIndex);
    else
        FORMATCUT(key, "%d", q->CommandIndex);
    if (PlatProfileRead("QELTA", key, "", line, sizeof(line), q->ScriptPath) <= 0) line[0] = 0;
    q->IdleCount = 0;

    // Scripts put the keyword in column 1; an indented line (possible only
    // inside quotes) is read as if it were not indented, so its argument
    // and length are counted from the keyword too.
    const char *start = line;
    for (int n = 0; n < 4 && *start == ' '; n++) start++;

    const CommandEntry *e = FindCommand(start);
    if (e) {
        q->CommandId = Effects[e->Effect](q, e->Id);
        q->IconKind = e->IconKind;
    } else {
        q->CommandId = 0;
        q->IconKind = 1;
    }
    KeepArgument(q, start);
}

// ---- the generated command file ------------------------------------------------------

struct LetterEntry {
    char Letter;
    int Id;
};
static const LetterEntry GeneratedLetters[] = {
    {'P', PORT_ID}, {'R', 14}, {'S', 13}, {'D', 19}, {'T', TYPE_ID}, {'N', NLST_ID}, {'K', 17},
};

static int IdForLetter(QELTA *q, char c) {
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    for (const LetterEntry &l : GeneratedLetters)
        if (l.Letter == c) return (l.Id == PORT_ID && q->PASVMode == 1) ? PASV_ID : l.Id;
    return CMD_BAD_GENERATED_LINE;
}

static int ReadByte(QELTA *q, char *c) {
    if (PlatFileRead(q->GeneratedScriptHandle, c, 1) != 1) return 0;
    q->GeneratedReadOffset++;
    return 1;
}

// Reads up to the carriage return, a zero byte or the end; a line longer
// than the buffer is cut but still consumed whole, so the file position
// stays on line boundaries.
static void ReadGeneratedBytes(QELTA *q, char *line, size_t size) {
    size_t n = 0;
    char c;
    while (ReadByte(q, &c) && c != '\r' && c != 0)
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
    ReadGeneratedBytes(q, line, size);
    char c;
    ReadByte(q, &c);  // the line feed
    int more = ReadByte(q, &c);
    // An N line at the end stays open: the name list appends the lines it
    // expands to, and the reader moves on to them.
    if (more || line[0] == 'N' || line[0] == 'n') {
        PlatFileSeek(q->GeneratedScriptHandle, -1, QSEEK_CUR);
        q->GeneratedReadOffset--;
    } else {
        EndGeneratedFile(q);
    }
    q->CommandId = IdForLetter(q, line[0]);
}

static void ReadGeneratedCommand(QELTA *q) {
    char line[sizeof(q->Argument)];
    if (q->RestoreTypeI == 1 && q->CommandId == NLST_ID) {
        q->CommandId = TYPE_ID;
        COPYCUT(line, "TYPE I");
        q->RestoreTypeI = 0;
        q->CommandIndex--;
    } else {
        ReadGeneratedLine(q, line, sizeof(line));
    }
    KeepArgument(q, line);
}

int ReadCommand(QELTA *q) {
    q->Argument[0] = 0;
    if (q->GeneratedActive == 1)
        ReadGeneratedCommand(q);
    else
        ReadScriptLine(q);
    return q->CommandId;
}

// ---- prerequisites ----------------------------------------------------------------

// The flags a command needs, as bits; NEVER for ids no command has.
enum {
    NEED_NOTHING = 0,
    NEED_CONNECTED = 1,
    NEED_USER = NEED_CONNECTED | 2,
    NEED_LOGIN = NEED_USER | 4,
    NEVER = 8,
};

// Indexed by command id.
static const unsigned char Requirement[] = {
    NEED_NOTHING,   // 0 NONE
    NEED_NOTHING,   // 1 CONN
    NEED_LOGIN,     // 2 TYPE
    NEED_USER,      // 3 PASS
    NEED_LOGIN,     // 4 PORT
    NEED_CONNECTED, // 5 USER
    NEED_LOGIN,     // 6 NLST
    NEED_CONNECTED, // 7 QUIT
    NEED_LOGIN,     // 8 RDIR
    NEED_LOGIN,     // 9 MDIR
    NEED_LOGIN,     // 10 CHWD
    NEED_LOGIN,     // 11 LIST
    NEED_NOTHING,   // 12 EXEC
    NEED_LOGIN,     // 13 STOR
    NEED_LOGIN,     // 14 RETR
    NEED_LOGIN,     // 15 MPUT
    NEED_LOGIN,     // 16 MGET
    NEED_NOTHING,   // 17 KILL
    NEED_NOTHING,   // 18 DELL
    NEED_LOGIN,     // 19 DELR
    NEED_NOTHING,   // 20 WTIL
    NEVER,          // 21
    NEED_LOGIN,     // 22 ACCT
    NEED_LOGIN,     // 23 SMNT
    NEVER,          // 24
    NEVER,          // 25
    NEED_LOGIN,     // 26 UDEF
    NEED_NOTHING,   // 27 WFOR
    NEED_NOTHING,   // 28 DIAL
    NEED_NOTHING,   // 29 GOTO
    NEED_LOGIN,     // 30 PASV
};

static int Met(const QELTA *q, int need) {
    if (need & NEVER) return 0;
    // A flag counts only when it is exactly 1.
    int have = (q->Connected == 1 ? 1 : 0) | (q->UserAccepted == 1 ? 2 : 0) |
               (q->LoggedIn == 1 ? 4 : 0);
    return (have & need) == need;
}

int CheckPreReq(int id, QELTA *q) {
    q->IdleCount = 0;
    int count = (int)(sizeof(Requirement) / sizeof(Requirement[0]));
    if (id >= 0 && id < count && Met(q, Requirement[id])) return 1;
    COPYCUT(q->ErrorText, "Failed to find command in CheckPreReq()");
    return 0;
}
