// The command table: every keyword of the script language with its id,
// status icon, extra effect, prerequisites and executor.
#include "base/text.h"
#include "ftp/ftp.h"
#include "batch/batch.h"
#include "local/local.h"
#include "script/script.h"
#include "transfer/executors.h"

// Searched in this order; the first match wins. The first row of an id
// holds the command's own keyword.
constexpr CommandEntry CommandTable[] = {
    // keyword id        icon        effect    needs           executor
    {"NONE", CMD_NONE, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecNONE},
    {"CONN", CMD_CONN, ICON_AICON, KW_PLAIN, NEED_NOTHING, ExecCONN},
    {"TYPE", CMD_TYPE, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecTYPE},
    {"PASS", CMD_PASS, ICON_AICON, KW_PLAIN, NEED_USER, ExecPASS},
    {"PORT", CMD_PORT, ICON_AICON, KW_PORT, NEED_LOGIN, ExecPORT},
    {"USER", CMD_USER, ICON_AICON, KW_PLAIN, NEED_CONNECTED, ExecUSER},
    {"NLST", CMD_NLST, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecNLST},
    {"QUIT", CMD_QUIT, ICON_DISC, KW_PLAIN, NEED_CONNECTED, ExecQUIT},
    {"RDIR", CMD_RDIR, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecRDIR},
    {"MDIR", CMD_MDIR, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecMDIR},
    {"CHWD", CMD_CHWD, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecCHWD},
    {"LIST", CMD_LIST, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecLIST},
    {"EXEC", CMD_EXEC, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecEXEC},
    {"STOR", CMD_STOR, ICON_UP, KW_PLAIN, NEED_LOGIN, ExecSTOR},
    {"RETR", CMD_RETR, ICON_DOWN, KW_PLAIN, NEED_LOGIN, ExecRETR},
    {"MPUT", CMD_MPUT, ICON_UP, KW_PLAIN, NEED_LOGIN, ExecMPUT},
    {"MGET", CMD_MGET, ICON_DOWN, KW_PLAIN, NEED_LOGIN, ExecMGET},
    {"KILL", CMD_KILL, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecKILL},
    {"DELR", CMD_DELR, ICON_AICON, KW_PLAIN, NEED_LOGIN, ExecDELR},
    {"DELL", CMD_DELL, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecDELL},
    {"WTIL", CMD_WTIL, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecWTIL},
    {"MGTC", CMD_MGET, ICON_DOWN, KW_MGTC, NEED_LOGIN, ExecMGET},
    {"ACCT", CMD_ACCT, ICON_DISC, KW_PLAIN, NEED_LOGIN, ExecACCT},
    {"SMNT", CMD_SMNT, ICON_DISC, KW_PLAIN, NEED_LOGIN, ExecSMNT},
    {"STOU", CMD_STOR, ICON_UP, KW_STOU, NEED_LOGIN, ExecSTOR},
    {"APPE", CMD_STOR, ICON_UP, KW_APPE, NEED_LOGIN, ExecSTOR},
    {"UDEF", CMD_UDEF, ICON_UP, KW_PLAIN, NEED_LOGIN, ExecUDEF},
    {"WFOR", CMD_WFOR, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecWFOR},
    {"DIAL", CMD_DIAL, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecDIAL},
    {"GOTO", CMD_GOTO, ICON_DISC, KW_PLAIN, NEED_NOTHING, ExecGOTO},
    {"PASV", CMD_PASV, ICON_AICON, KW_PASV, NEED_LOGIN, ExecPASV},
};
constexpr int CommandTableSize = (int)(sizeof(CommandTable) / sizeof(CommandTable[0]));

// The row of each id, worked out by the compiler: the dispatcher finds
// the executor of every event without a search.
struct IdIndex {
    signed char Row[CMD_ID_COUNT];  // -1 where no keyword gives the id
};

static constexpr IdIndex IndexIds() {
    IdIndex index{};
    for (int id = 0; id < CMD_ID_COUNT; id++) index.Row[id] = -1;
    for (int i = CommandTableSize - 1; i >= 0; i--) index.Row[CommandTable[i].Id] = (signed char)i;
    return index;
}
static constexpr IdIndex RowOfId = IndexIds();

// A variant keyword (MGTC, STOU, APPE) runs as its base command, so it
// must not need more or less than that command, nor reach another executor.
static constexpr int VariantsAgree() {
    for (const CommandEntry &e : CommandTable) {
        const CommandEntry &base = CommandTable[RowOfId.Row[e.Id]];
        if (e.Needs != base.Needs || e.Exec != base.Exec) return 0;
    }
    return 1;
}
static_assert(VariantsAgree(), "a keyword variant differs from its base command");

const CommandEntry *FindCommand(const char *text) {
    for (const CommandEntry &e : CommandTable)
        if (EqualNoCase(text, e.Keyword, 4)) return &e;
    return 0;
}

const CommandEntry *CommandForId(int id) {
    if (id < 0 || id >= CMD_ID_COUNT || RowOfId.Row[id] < 0) return 0;
    return &CommandTable[RowOfId.Row[id]];
}

const char *KeywordForId(int id) {
    const CommandEntry *e = CommandForId(id);
    return e ? e->Keyword : "????";
}
