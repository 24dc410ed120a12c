// The commands that steer the script: NONE, GOTO, WFOR, WTIL and KILL.
#include <climits>
#include <cstring>

#include "base/text.h"
#include "script/script.h"

// The flow state (q->Flow): one counted loop for the whole run, since
// loops do not nest; WFOR's half-second ticks to wait and seen so far;
// WTIL's time of day to wait for.

static int ClampInt(long v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

// The command is complete; its status, if any, is written already.
static int Finish(QELTA *q) { return OUTCOME_PASSED_ON; }

static int Fail(QELTA *q, const char *text) {
    COPYCUT(q->ErrorText, text);
    return 0;
}

// ---- NONE --------------------------------------------------------------------------

int ExecNONE(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind != EV_START) return 1;
    PlatPostEvent(hDlg, QM_COMMAND, CANCELMSG, 0);
    return 1;
}

// ---- GOTO --------------------------------------------------------------------------

// The jump to take, or 0 when a counted loop has run out.
static int TakeJump(QELTA *q, const char *colon) {
    if (colon && q->Flow.LoopCount == -1) {
        q->Flow.LoopCount = ClampInt(ReadDecimal(colon + 1));
        q->Flow.LoopActive = 1;
    }
    if (q->Flow.LoopActive != 1) return 1;
    if (q->Flow.LoopCount > INT_MIN) q->Flow.LoopCount--;
    if (q->Flow.LoopCount >= 0) return 1;
    q->Flow.LoopActive = 0;
    q->Flow.LoopCount = -1;
    return 0;
}

long GotoTarget(const char *argument) {
    long target = ReadDecimal(argument);
    // Line numbers start at 1; a jump to 0 or below would read a key no
    // script has and end the run as if it had succeeded.
    return target < 1 ? 0 : target;
}

int ExecGOTO(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind != EV_START) return 1;
    long target = GotoTarget(q->Argument);
    if (target == 0) return Fail(q, "GOTO needs a line number of 1 or more in ExecGOTO()\r\n");
    SetStatus(q);
    if (TakeJump(q, strchr(q->Argument, ':'))) q->CommandIndex = ClampInt(target) - 1;
    return Finish(q);
}

// ---- WFOR and WTIL -----------------------------------------------------------------

int SplitWaitArgument(const char *argument, long *before, long *after) {
    const char *colon = strchr(argument, ':');
    if (!colon) return 0;
    // Each part is read from a 12-byte buffer: longer parts are cut.
    char part[12];
    size_t n = (size_t)(colon - argument);
    if (n > sizeof(part) - 1) n = sizeof(part) - 1;
    memcpy(part, argument, n);
    part[n] = 0;
    *before = ReadDecimal(part);
    COPYCUT(part, colon + 1);
    *after = ReadDecimal(part);
    return 1;
}

unsigned WforTicks(const char *argument) {
    long minutes = 0, seconds = 0;
    if (!SplitWaitArgument(argument, &minutes, &seconds)) return 0;
    // Parts hold at most 11 digits, so this cannot overflow 64 bits.
    long long ticks = ((long long)minutes * 60 + seconds) * 2;
    if (ticks < 0) return 0;  // a negative wait ends at the first tick
    if (ticks > (long long)UINT32_MAX) return UINT32_MAX;
    return (unsigned)ticks;
}

static int StartWaitTimer(PlatWindow hDlg, QELTA *q, unsigned ms) {
    if (PlatStartTimer(hDlg, WaitTimer, ms)) return 1;
    return Fail(q, "Failed to create Timer in ExecWTIL()");
}

static int WforStart(PlatWindow hDlg, QELTA *q) {
    long minutes, seconds;
    // Without the ':' it is not clear whether a number means minutes or
    // seconds; a wait of the wrong length is worse than a clear failure.
    if (!SplitWaitArgument(q->Argument, &minutes, &seconds))
        return Fail(q, "WFOR needs minutes:seconds, as in WFOR 1:30, in ExecWFOR()\r\n");
    PlatSetField(hDlg, IDC_COMMAND, "Wait");
    if (!StartWaitTimer(hDlg, q, 500)) return 0;
    SetCommandState(q, COMMAND_BUSY);
    q->Flow.TickCount = 0;
    q->Flow.WaitTicks = WforTicks(q->Argument);
    return 1;
}

static int WforTick(PlatWindow hDlg, QELTA *q) {
    q->Flow.TickCount++;
    if (q->Flow.TickCount < q->Flow.WaitTicks) return 1;
    PlatStopTimer(hDlg, WaitTimer);
    return OUTCOME_DONE;
}

int ExecWFOR(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind == EV_START) return WforStart(hDlg, q);
    if (EventKind == EV_WAITTICK) return WforTick(hDlg, q);
    return 1;
}

void WtilRemainingText(int nowHour, int nowMinute, int targetHour, int targetMinute, char *out,
                       size_t size) {
    long long target = (long long)targetHour * 60 + targetMinute;
    long long left = target - ((long long)nowHour * 60 + nowMinute);
    // Passed already today: the same time tomorrow.
    if (left < 0) left = left % 1440 + 1440;
    long long hours = left / 60, minutes = left % 60;
    if (hours != 0)
        FormatCut(out, size, "%lld:%.2lld", hours, minutes);
    else
        FormatCut(out, size, ":%.2lld", minutes);
}

static int WtilStart(PlatWindow hDlg, QELTA *q) {
    long hour, minute;
    if (!SplitWaitArgument(q->Argument, &hour, &minute))
        return Fail(q, "WTIL needs hours:minutes, as in WTIL 23:59, in ExecWTIL()\r\n");
    PlatSetField(hDlg, IDC_COMMAND, "Wait");
    PlatSetField(hDlg, IDC_COUNTERLABEL, "Time Remaining");
    if (!StartWaitTimer(hDlg, q, 10000)) return 0;
    SetCommandState(q, COMMAND_BUSY);
    q->Flow.TargetHour = ClampInt(hour);
    q->Flow.TargetMinute = ClampInt(minute);
    return 1;
}

static int WtilTick(PlatWindow hDlg, QELTA *q) {
    PlatLocalTime now;
    PlatNow(&now);
    if (now.hour == q->Flow.TargetHour && now.minute == q->Flow.TargetMinute) {
        PlatStopTimer(hDlg, WaitTimer);
        return OUTCOME_DONE;
    }
    char text[32];
    WtilRemainingText(now.hour, now.minute, q->Flow.TargetHour, q->Flow.TargetMinute, text,
                      sizeof(text));
    PlatSetField(hDlg, IDC_COUNTER, text);
    return 1;
}

int ExecWTIL(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind == EV_START) return WtilStart(hDlg, q);
    if (EventKind == EV_WAITTICK) return WtilTick(hDlg, q);
    return 1;
}

// ---- KILL ----------------------------------------------------------------------------

int ExecKILL(PlatWindow hDlg, QELTA *q, int EventKind, unsigned Message, unsigned SocketEvent) {
    if (EventKind != EV_START) return 1;
    WriteStatus(q, q->ReturnIndex, q->ErrorFlag != 1);
    q->MgtcMode = 0;
    q->CommandIndex = q->ReturnIndex;
    q->ReturnIndex = 0;
    return Finish(q);
}
