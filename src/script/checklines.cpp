// The script check of the command lines of [QELTA]: keywords, numbering,
// data connections and arguments. Every argument rule here is the one the
// executors apply, called from where they live.
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "batch/batch.h"
#include "local/local.h"
#include "script/checkstate.h"
#include "transfer/transfer.h"

// ---- keys and numbers ------------------------------------------------------------

static std::string KeyOf(const ScriptCheck *c, long n) {
    char key[32];
    if (c->LongKeyForm)
        FORMATCUT(key, "FTPCommand%ld", n);
    else
        FORMATCUT(key, "%ld", n);
    return key;
}

// The number of a key in the script's key form, as the run formats it
// (no leading zero, within an int); 0 for any other key.
static long CommandNumber(const ScriptCheck *c, const std::string &name) {
    const char *p = name.c_str();
    if (c->LongKeyForm) {
        if (!EqualNoCase(p, "FTPCommand", 10)) return 0;
        p += 10;
    }
    size_t n = strlen(p);
    if (n == 0 || n > 9 || p[0] == '0' || strspn(p, "0123456789") != n) return 0;
    return ReadDecimal(p);
}

static void Decode(CheckCommand *cmd) {
    // The run reads a line into its 512-byte buffer.
    if (cmd->Value.size() > sizeof cmd->Argument - 1) cmd->Value.resize(sizeof cmd->Argument - 1);
    cmd->Keyword = ScriptKeyword(cmd->Value.c_str());
    cmd->Entry = FindCommand(cmd->Keyword);
    ScriptArgument(cmd->Keyword, cmd->Argument, sizeof cmd->Argument);
    cmd->Reached = 0;
}

static void TakeCommandKey(ScriptCheck *c, size_t i) {
    const ProfileLine &line = c->Script.lines[i];
    long n = CommandNumber(c, line.name);
    if (n == 0)
        return CheckFinds(c, i, "%.60s is not a command key: the run reads only %s",
                          line.name.c_str(),
                          c->LongKeyForm ? "FTPCommand1, FTPCommand2, ..." : "1, 2, ...");
    auto seen = c->Commands.find(n);
    if (seen != c->Commands.end())
        return CheckFinds(c, i, "%s is given again: the run reads only line %ld",
                          KeyOf(c, n).c_str(), (long)seen->second.Index + 1);
    CheckCommand &cmd = c->Commands[n];
    cmd.Index = i;
    cmd.Value = ProfileValue(c->Script, line);
    Decode(&cmd);
}

// The key form is the long one exactly when FTPCommand1 has a value.
static void CollectCommands(ScriptCheck *c, long header) {
    long first = FindProfileKey(c->Script, header, "FTPCommand1");
    c->LongKeyForm = first >= 0 && !ProfileValue(c->Script, c->Script.lines[(size_t)first]).empty();
    size_t end = ProfileSectionEnd(c->Script, header);
    for (size_t i = (size_t)header + 1; i < end; i++)
        if (c->Script.lines[i].kind == LINE_KEY) TakeCommandKey(c, i);
    auto one = c->Commands.find(1);
    if (one == c->Commands.end() || one->second.Value.empty())
        CheckFinds(c, (size_t)header,
                   "no first command line (FTPCommand1 or 1): the run ends at once");
}

// ---- where the run goes ----------------------------------------------------------------

// Lines after which the run never goes on to the next number: an empty
// one, NONE and a keyword the table lacks end it, and a GOTO without a
// count always jumps.
static int Stops(const CheckCommand &cmd) {
    if (cmd.Value.empty() || cmd.Entry == 0 || cmd.Entry->Id == CMD_NONE) return 1;
    return cmd.Entry->Id == CMD_GOTO && strchr(cmd.Argument, ':') == 0;
}

// From line 1 on, through every next number and every jump; only a
// missing number ends the way (a stop line is meant to stop).
static void MarkReached(ScriptCheck *c) {
    std::vector<long> todo(1, 1);
    while (!todo.empty()) {
        long n = todo.back();
        todo.pop_back();
        auto it = c->Commands.find(n);
        if (it == c->Commands.end() || it->second.Reached) continue;
        it->second.Reached = 1;
        todo.push_back(n + 1);
        const CheckCommand &cmd = it->second;
        if (cmd.Entry && cmd.Entry->Id == CMD_GOTO && GotoTarget(cmd.Argument) > 0)
            todo.push_back(GotoTarget(cmd.Argument));
    }
}

static void CheckNumbering(ScriptCheck *c) {
    MarkReached(c);
    long last = c->Commands.empty() ? 0 : c->Commands.rbegin()->first;
    long before = 0, skipped = 0;  // the number before and the last one missing
    for (const auto &[n, cmd] : c->Commands) {
        if (n > before + 1) skipped = n - 1;
        before = n;
        if (!cmd.Reached) {
            CheckFinds(c, cmd.Index, "%s is never reached: the numbering skips %s",
                       KeyOf(c, n).c_str(), KeyOf(c, skipped).c_str());
        } else if (n < last && !c->Commands.count(n + 1) && !Stops(cmd)) {
            CheckFinds(c, cmd.Index, "the numbering skips %s: the run ends after this line",
                       KeyOf(c, n + 1).c_str());
        }
    }
}

// ---- data connections --------------------------------------------------------------------

static int UsesDataPort(const CheckCommand &cmd) {
    switch (cmd.Entry->Id) {
        case CMD_LIST:
        case CMD_RETR:
        case CMD_STOR:  // and STOU, APPE
        case CMD_MGET:  // and MGTC
            return 1;
        case CMD_DELR:
            return IsWildcard(cmd.Argument);
        default:
            return 0;
    }
}

// A PORT or PASV line opens one data connection, and the next transfer
// uses it up; MPUT writes its own.
static void CheckDataPorts(ScriptCheck *c) {
    int ready = 0;
    for (const auto &[n, cmd] : c->Commands) {
        if (!cmd.Entry) continue;
        int id = cmd.Entry->Id;
        if (id == CMD_PORT || id == CMD_PASV) {
            ready = 1;
        } else if (UsesDataPort(cmd)) {
            if (!ready)
                CheckFinds(
                    c, cmd.Index,
                    "%s has no PORT or PASV line before it: each transfer needs one of its own",
                    cmd.Entry->Keyword);
            ready = 0;
        } else if (id == CMD_MPUT) {
            ready = 0;
        }
    }
}

// ---- arguments ------------------------------------------------------------------------------

// The text of an argument before its first ':' (all of it without one).
static std::string BeforeColon(const char *argument) {
    const char *colon = strchr(argument, ':');
    return colon ? std::string(argument, (size_t)(colon - argument)) : std::string(argument);
}

static void CheckGotoCount(ScriptCheck *c, const CheckCommand &cmd) {
    const char *colon = strchr(cmd.Argument, ':');
    if (!colon) return;
    if (!IsWholeNumber(colon + 1))
        CheckFinds(c, cmd.Index, "GOTO: the count \"%.40s\" is not a number (the run reads %ld)",
                   colon + 1, ReadDecimal(colon + 1));
    else if (ReadDecimal(colon + 1) < 0)
        CheckFinds(c, cmd.Index, "GOTO: the count %.40s is below 0", colon + 1);
}

static void CheckGoto(ScriptCheck *c, const CheckCommand &cmd) {
    long target = GotoTarget(cmd.Argument);
    std::string number = BeforeColon(cmd.Argument);
    if (target == 0)
        CheckFinds(c, cmd.Index, "GOTO needs a line number of 1 or more: the run fails here");
    else if (!IsWholeNumber(number.c_str()))
        CheckFinds(c, cmd.Index,
                   "GOTO: the line number \"%.40s\" is not a number (the run reads %ld)",
                   number.c_str(), target);
    else if (!c->Commands.count(target))
        CheckFinds(c, cmd.Index, "GOTO %ld: there is no %s, so the run ends there", target,
                   KeyOf(c, target).c_str());
    CheckGotoCount(c, cmd);
}

// Both parts of a wait are numbers (the first may be left out, as 0).
static int WaitPartsRead(const char *argument) {
    std::string before = BeforeColon(argument);
    const char *after = strchr(argument, ':') + 1;
    if (before.find_first_not_of(" \t") != std::string::npos && !IsWholeNumber(before.c_str()))
        return 0;
    return IsWholeNumber(after);
}

static void CheckWait(ScriptCheck *c, const CheckCommand &cmd) {
    int wtil = cmd.Entry->Id == CMD_WTIL;
    long first, second;
    const char *shape = wtil ? "WTIL needs hours:minutes, as in WTIL 23:59"
                             : "WFOR needs minutes:seconds, as in WFOR 1:30";
    if (!SplitWaitArgument(cmd.Argument, &first, &second))
        return CheckFinds(c, cmd.Index, "%s: the run fails here", shape);
    if (!WaitPartsRead(cmd.Argument))
        return CheckFinds(c, cmd.Index, "%s, in numbers (\"%.40s\" is not)", shape, cmd.Argument);
    if (!wtil && (first < 0 || second < 0))
        return CheckFinds(c, cmd.Index, "WFOR %.40s: a wait is not below 0", cmd.Argument);
    if (wtil && (first < 0 || first > 23 || second < 0 || second > 59))
        return CheckFinds(c, cmd.Index,
                          "WTIL %.40s names no time of day: the run waits until cancelled",
                          cmd.Argument);
    // The watchdog would end the wait between two of its 10-second checks.
    if (wtil && c->TimeOut <= 10)
        CheckFinds(c, cmd.Index, "WTIL needs a TimeOut above 10 seconds (it is %ld)", c->TimeOut);
}

static const char KeepOut[] = "set PasswordSource to keep it out of the script";

// The executor's text without where it comes from: "... in ExecDIAL()".
static void CheckDial(ScriptCheck *c, const CheckCommand &cmd) {
    DialArgument dial;
    int ok = ReadDialArgument(c->Scratch, cmd.Argument, &dial);
    int password = dial.Password[0] != 0;
    memset(&dial, 0, sizeof dial);
    if (ok && password) CheckWarns(c, cmd.Index, "DIAL holds a password in the script: %s", KeepOut);
    if (ok) return;
    std::string why = c->Scratch->ErrorText;
    size_t where = why.find(" in ExecDIAL()");
    if (where != std::string::npos) why.resize(where);
    while (!why.empty() && (why.back() == ',' || why.back() == ' ')) why.pop_back();
    CheckFinds(c, cmd.Index, "%s", why.c_str());
}

static void CheckFileNames(ScriptCheck *c, const CheckCommand &cmd) {
    const char *why = FileNamesProblem(cmd.Argument, cmd.Entry->Id);
    if (why) CheckFinds(c, cmd.Index, "%s: %s (the run fails here)", cmd.Entry->Keyword, why);
}

static void CheckDell(ScriptCheck *c, const CheckCommand &cmd) {
    char folder[sizeof cmd.Argument];
    COPYCUT(folder, cmd.Argument);
    if (!CutToFolder(folder))
        CheckFinds(c, cmd.Index, "DELL needs a folder in its pattern, as in DELL C:\\out\\*.bak");
}

static void CheckArgument(ScriptCheck *c, const CheckCommand &cmd) {
    switch (cmd.Entry->Id) {
        case CMD_LIST:
        case CMD_RETR:
        case CMD_MGET:
        case CMD_MPUT:
            return CheckFileNames(c, cmd);
        case CMD_STOR:  // STOU takes the local name alone
            if (cmd.Entry->Effect != KW_STOU) CheckFileNames(c, cmd);
            return;
        case CMD_GOTO:
            return CheckGoto(c, cmd);
        case CMD_WFOR:
        case CMD_WTIL:
            return CheckWait(c, cmd);
        case CMD_DIAL:
            return CheckDial(c, cmd);
        case CMD_DELL:
            return CheckDell(c, cmd);
        case CMD_PASS:
            if (cmd.Argument[0]) CheckWarns(c, cmd.Index, "PASS holds a password in the script: %s", KeepOut);
            return;
        case CMD_UDEF:
            if (EqualNoCase(cmd.Argument, "PASS ", 5))
                CheckWarns(c, cmd.Index, "UDEF sends a password written in the script: %s", KeepOut);
            return;
        case CMD_NLST:
            return CheckFinds(c, cmd.Index,
                              "NLST runs only in the lines that MGET, MGTC and DELR write");
        default:
            return;
    }
}

static void CheckKeyword(ScriptCheck *c, const CheckCommand &cmd) {
    char word[16];
    KeywordWord(cmd.Keyword, word, sizeof word);
    const char *keywords[64];
    int count = 0;
    for (int i = 0; i < CommandTableSize && count < 64; i++)
        keywords[count++] = CommandTable[i].Keyword;
    const char *near = ClosestName(word, keywords, count);
    char hint[32] = "";
    if (near) FORMATCUT(hint, " (did you mean %s?)", near);
    CheckFinds(c, cmd.Index, "unknown keyword \"%s\" ends the run here%s", word, hint);
}

void CheckCommandLines(ScriptCheck *c) {
    long header = FindProfileSection(c->Script, "QELTA");
    if (header < 0) return CheckFinds(c, 0, "no [QELTA] section: the script has no command to run");
    CollectCommands(c, header);
    CheckNumbering(c);
    CheckDataPorts(c);
    for (const auto &[n, cmd] : c->Commands) {
        if (cmd.Value.empty()) continue;
        if (cmd.Entry)
            CheckArgument(c, cmd);
        else
            CheckKeyword(c, cmd);
    }
}
