// The status section of the script: one key per command line and the
// run's exit code, in the key form the script uses.
#include "session/status.h"

#include "base/text.h"

static const char StatusSection[] = "STATUS";

// Long and short forms, indexed by LongKeyForm == 1.
static const char *const KeyPrefix[2] = {"CS", "CommandStatus"};
static const char *const FailValue[2] = {"F", "Fail"};
static const char *const SuccessValue[2] = {"S", "Success"};

static int Form(const QELTA *q) { return q->LongKeyForm == 1 ? 1 : 0; }

static void StatusKey(const QELTA *q, int n, char *key, size_t size) {
    FormatCut(key, size, "%s%d", KeyPrefix[Form(q)], n);
}

void WriteStatus(QELTA *q, int n, int success) {
    char key[32];
    StatusKey(q, n, key, sizeof(key));
    const char *value = success ? SuccessValue[Form(q)] : FailValue[Form(q)];
    PlatProfileWrite(StatusSection, key, value, q->ScriptPath);
}

int SetStatus(QELTA *q) {
    // A generated run is recorded under the line that started it, by its
    // KILL alone: a success written by one of its commands would stand if
    // a later one failed. It also spares a write of the script per file.
    if (q->ReturnIndex != 0) return 1;
    WriteStatus(q, q->CommandIndex, 1);
    return 1;
}

void WriteExitCode(QELTA *q, const char *value) {
    PlatProfileWrite(StatusSection, "ExitCode", value, q->ScriptPath);
}

// Marks every status left by an earlier run as failed, up to the first
// number that has none, so that a line this run never reaches does not
// keep an old success.
void ResetStatus(QELTA *q) {
    WriteExitCode(q, "");
    for (int n = 1; n > 0; n++) {
        char key[32];
        char value[47];
        StatusKey(q, n, key, sizeof(key));
        if (PlatProfileRead(StatusSection, key, "", value, sizeof(value), q->ScriptPath) <= 0)
            break;
        WriteStatus(q, n, 0);
    }
    WriteExitCode(q, "");
}
