// The dialog's byte count, rate, remaining time, percentage and bar while a
// file moves. This runs once per data block, so the common path
// only reads the clock and finds it still inside the period last shown.
#include <climits>
#include <cstring>

#include "base/text.h"
#include "transfer/transfer.h"

namespace {

// The fields are looked at about twenty times a second at most: enough for
// the eye, while setting a dialog field per block would cost more than the
// block itself on a fast connection. Divides a second evenly, so every
// whole second starts a new period.
const unsigned long FieldPeriodMs = 50;
const unsigned long NoPeriod = ULONG_MAX;     // nothing shown yet
const unsigned long NoneShown = ULONG_MAX;    // no remaining time shown yet

// A clock the unit tests drive; the program's own is the platform's.
unsigned long (*TestClock)(void);
const unsigned long ClockOrigin = PlatMilliseconds();

ProgressState *Of(QELTA *q, int direction) {
    return &q->Progress.Directions[direction == XFER_SEND];
}

}  // namespace

unsigned long MillisecondClock(void) {
    return TestClock ? TestClock() : PlatMilliseconds() - ClockOrigin;
}

void SetTransferClockForTest(unsigned long (*clock)(void)) { TestClock = clock; }

void StartTransferProgress(QELTA *q, int direction, unsigned long start) {
    ProgressState *p = Of(q, direction);
    p->Start = start;
    p->PeriodShown = NoPeriod;
    p->LastElapsed = 0;
    p->LastRemainingSeconds = NoneShown;
    p->LastPercent = 0;
    // The command driver has emptied the bar field.
    q->Progress.LastBarLength = 0;
}


void ShowProgressBar(int percent, PlatWindow hDlg, QELTA *q) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    int length = percent * 100 / 157;  // one bullet per 1.57 percent
    if (length == q->Progress.LastBarLength) return;
    q->Progress.LastBarLength = length;
    char bar[64];
    memset(bar, 149, (size_t)length);  // the bullet of the Windows ANSI code page
    bar[length] = 0;
    ViewShow(q, hDlg, VIEW_BAR, bar);
}

// Whole percent of n < s, without overflow for any 64-bit sizes.
static int Percent(uint64_t n, uint64_t s) {
    if (n <= UINT64_MAX / 100) return (int)(n * 100 / s);
    // Both are above 2^57 here: dividing s first loses nothing visible.
    uint64_t p = n / (s / 100);
    return p > 99 ? 99 : (int)p;
}

static void ShowPercent(PlatWindow hDlg, QELTA *q, ProgressState *p, int percent) {
    if (percent == p->LastPercent || percent == 100) return;
    char text[16];
    FORMATCUT(text, "%d%%", percent);
    ViewShow(q, hDlg, VIEW_PERCENT, text);
    ShowProgressBar(percent, hDlg, q);
    FORMATCUT(text, "[%d%%] QELTA", percent);
    ViewShowMinimisedCaption(q, hDlg, text);
    p->LastPercent = percent;
}

// Refreshed only when the seconds part changes.
static void ShowRemaining(PlatWindow hDlg, const QELTA *q, ProgressState *p, uint64_t t) {
    unsigned s = (unsigned)(t % 60), m = (unsigned)(t / 60 % 60);
    unsigned long long h = t / 3600;
    if (s == p->LastRemainingSeconds) return;
    p->LastRemainingSeconds = s;
    char text[40];
    if (h == 0 && m == 0)
        FORMATCUT(text, ":%.2u", s);
    else if (h == 0)
        FORMATCUT(text, "%u:%.2u", m, s);
    else
        FORMATCUT(text, "%llu:%.2u:%.2u", h, m, s);
    ViewShow(q, hDlg, VIEW_REMAINING, text);
}

// Bytes per second; from 1000 on, kilobytes with hundredths after the point
// (the sending text has always shown them without a leading zero).
static void ShowRate(PlatWindow hDlg, const QELTA *q, int direction, uint64_t rate) {
    unsigned long long whole = rate / 1000, hundredths = rate % 1000 / 10;
    char text[48];
    if (rate < 1000)
        FORMATCUT(text, "%llu bps", (unsigned long long)rate);
    else if (direction == XFER_RECEIVE)
        FORMATCUT(text, "%llu.%.2llu kbps", whole, hundredths);
    else
        FORMATCUT(text, "%llu.%llu kbps", whole, hundredths);
    ViewShow(q, hDlg, VIEW_RATE, text);
}

static void ShowSecond(PlatWindow hDlg, const QELTA *q, int direction, ProgressState *p,
                       unsigned long seconds, uint64_t count, uint64_t expected) {
    p->LastElapsed = seconds;
    uint64_t rate = count / seconds;
    if (direction == XFER_SEND && rate == 0) rate = 1;
    if (expected > 100 && count < expected)
        ShowRemaining(hDlg, q, p, (expected - count) / (rate ? rate : 1));
    ShowRate(hDlg, q, direction, rate);
}

void ShowTransferProgress(PlatWindow hDlg, QELTA *q, int direction, uint64_t count,
                          uint64_t expected, int final) {
    ProgressState *p = Of(q, direction);
    unsigned long ms = MillisecondClock() - p->Start;
    unsigned long period = ms / FieldPeriodMs;
    if (period == p->PeriodShown && !final) return;
    p->PeriodShown = period;
    char text[32];
    FORMATCUT(text, "%llu", (unsigned long long)count);
    ViewShow(q, hDlg, VIEW_COUNTER, text);
    unsigned long seconds = ms / 1000;
    if (seconds > 0 && seconds != p->LastElapsed)
        ShowSecond(hDlg, q, direction, p, seconds, count, expected);
    if (expected > 100 && count < expected) ShowPercent(hDlg, q, p, Percent(count, expected));
}
