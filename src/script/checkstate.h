// What the two halves of the script check share: the script's lines, its
// command lines by number and the findings so far.
#ifndef QELTA_CHECKSTATE_H
#define QELTA_CHECKSTATE_H

#include <map>
#include <string>
#include <vector>

#include "base/profiletext.h"
#include "script/script.h"

struct CheckFinding {
    long Line;
    std::string Text;
    int Warning;  // reported, but no reason to refuse the script
};

// One command line of [QELTA] as the run would read it.
struct CheckCommand {
    size_t Index;               // its line in ScriptLines
    std::string Value;          // as a read returns it, cut as the run cuts it
    const CommandEntry *Entry;  // 0 for a keyword the table lacks
    const char *Keyword;        // where the keyword begins in Value
    char Argument[sizeof(((QELTA *)0)->Argument)];
    int Reached;
};

struct ScriptCheck {
    ProfileText Script;
    std::vector<CheckFinding> Findings;
    std::map<long, CheckCommand> Commands;
    int LongKeyForm;
    long TimeOut;    // as the run would read it
    QELTA *Scratch;  // for the rules that report through ErrorText
};

// A finding on line index + 1 of the file.
void CheckFinds(ScriptCheck *c, size_t index, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// A warning on line index + 1: something to mend that does not stop a run.
void CheckWarns(ScriptCheck *c, size_t index, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// The known name closest to name (without regard to case), if one is
// close enough to be a likely typo; 0 otherwise.
const char *ClosestName(const char *name, const char *const *known, int count);
// The command lines of [QELTA].
void CheckCommandLines(ScriptCheck *c);

#endif
