// The transfer dialog as a few lines on standard error, redrawn in place
// (cursor up, clear line), when standard error is a terminal that knows
// those codes. Drawing is limited to ten times a second by a loop timer;
// a field change after a quiet spell is drawn at once. Without a terminal
// none of this runs, so nothing is slowed down.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/resource.h"
#include "base/text.h"
#include "platform/posix/posix_internal.h"

namespace {

const unsigned DrawPeriod = 100;  // ms between drawings at most
const unsigned DrawTimerId = 1;

// One line of the drawing: a fixed prefix and the fields that follow it.
struct LineSpec {
    const char *prefix;
    int fields[5];  // 0 ends the list
    const char *labels[5];
};

const LineSpec Lines[] = {
    {"Host    ", {IDC_LOCAL, IDC_REMOTE}, {"Local: ", "  Remote: "}},
    {"File    ", {IDC_SOURCE}, {"Source: "}},
    {"        ", {IDC_DEST}, {"Destination: "}},
    {"Status  ", {IDC_COMMAND}, {"Command: "}},
    {"        ",
     {IDC_COUNTERLABEL, IDC_COUNTER, IDC_RATE, IDC_ELAPSED, IDC_PERCENT},
     {"", " ", "  ", "  ", "  "}},
    {"        ", {IDC_PROGRESS}, {""}},
};
const int LineCount = sizeof Lines / sizeof Lines[0];

struct DisplayState {
    int checked, wanted;   // whether standard error is a capable terminal
    PlatWindow dlg;        // the dialog drawn; 0 when none
    PlatWindow timerWin;   // carries the drawing timer
    int timerRunning;
    int dirty;
    int linesOnScreen;     // lines of the last drawing above the cursor
    uint64_t lastDraw;     // ms
    int titleSaved;
};
DisplayState D;

}  // namespace

// The monotonic clock of the whole layer, in 64 bits.
static uint64_t NowMs(void) { return (uint64_t)PlatMilliseconds(); }

static int Wanted(void) {
    if (!D.checked) {
        const char *term = getenv("TERM");
        D.wanted = isatty(2) && term && term[0] && strcmp(term, "dumb") != 0;
        D.checked = 1;
    }
    return D.wanted;
}

static void WriteAll(const std::string &s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(2, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += (size_t)n;
    }
}

static int Columns(void) {
    struct winsize ws;
    if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 8) return ws.ws_col;
    return 80;
}

// Length of a valid UTF-8 sequence at s, 0 when there is none. Overlong
// forms and U+0080 to U+009F are refused: those are the C1 controls (CSI,
// OSC) in another spelling, which terminals obey as they obey ESC.
static int Utf8Length(const unsigned char *s) {
    int n = s[0] >= 0xF0 && s[0] <= 0xF4 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
    if (s[0] >= 0xF5) return 0;
    for (int i = 1; i < n; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    if (n == 2 && s[0] == 0xC2 && s[1] < 0xA0) return 0;
    if ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90))
        return 0;
    return n;
}

int PosixPrintableLength(const char *text) {
    const unsigned char *s = (const unsigned char *)text;
    if (*s >= 0x20 && *s < 0x7F) return 1;
    return *s >= 0x80 ? Utf8Length(s) : 0;
}

// Appends a field's text, one column per character, until cols run out.
// Control bytes never reach the terminal: a server's or a file's name
// could otherwise carry escape sequences. In the progress text the byte
// 149 is the bar's bullet.
static void AppendText(std::string *out, const char *text, int bullets, int *cols) {
    const unsigned char *s = (const unsigned char *)text;
    while (*s && *cols > 0) {
        int n = 1;
        if (*s == 149 && bullets) {
            out->append("\xE2\x80\xA2");
        } else if ((n = PosixPrintableLength((const char *)s)) > 0) {
            out->append((const char *)s, (size_t)n);
        } else {
            n = 1;
            out->push_back('?');
        }
        s += n;
        (*cols)--;
    }
}

static void AppendLine(std::string *out, const LineSpec &line, int width) {
    int cols = width - 1;  // never the last column: no wrap to miscount
    out->append("\r\033[2K");
    AppendText(out, line.prefix, 0, &cols);
    for (int i = 0; i < 5 && line.fields[i]; i++) {
        AppendText(out, line.labels[i], 0, &cols);
        int bullets = line.fields[i] == IDC_PROGRESS;
        AppendText(out, LoopFieldText(D.dlg, line.fields[i]), bullets, &cols);
    }
    out->push_back('\n');
}

static void Draw(void) {
    std::string out;
    if (D.linesOnScreen > 0) out.append("\033[" + std::to_string(D.linesOnScreen) + "A");
    int width = Columns();
    for (const auto &line : Lines) AppendLine(&out, line, width);
    WriteAll(out);
    D.linesOnScreen = LineCount;
    D.dirty = 0;
    D.lastDraw = NowMs();
}

static void StopDrawTimer(void) {
    if (D.timerRunning) PlatStopTimer(D.timerWin, DrawTimerId);
    D.timerRunning = 0;
}

static int DrawTimerProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg != QM_TIMER || !D.dlg) return 0;
    if (D.dirty)
        Draw();
    else
        StopDrawTimer();
    return 1;
}

static void DrawSoon(void) {
    D.dirty = 1;
    if (!D.timerRunning && NowMs() - D.lastDraw >= DrawPeriod) {
        Draw();
        // The timer draws what changes within the next period.
    }
    if (!D.timerRunning) D.timerRunning = PlatStartTimer(D.timerWin, DrawTimerId, DrawPeriod);
}

void DisplayAttach(PlatWindow dlg) {
    if (!Wanted() || D.dlg) return;
    D.timerWin = LoopCreateWindow(DrawTimerProc);
    if (!D.timerWin) return;
    D.dlg = dlg;
    D.linesOnScreen = 0;
    D.lastDraw = 0;
    DrawSoon();
}

void DisplayDetach(void) {
    if (D.dlg) {
        PlatWindow timerWin = D.timerWin;
        if (D.dirty) Draw();
        StopDrawTimer();
        D.timerWin = nullptr;
        D.dlg = nullptr;
        PlatDestroyWindow(timerWin);
    }
    if (D.titleSaved) WriteAll("\033[23;0t");  // the title the terminal had before
    D.titleSaved = 0;
}

void DisplayFieldChanged(PlatWindow w, int id) {
    if (D.dlg && w == D.dlg) DrawSoon();
}

void DisplayCaption(PlatWindow w, const char *text) {
    if (!Wanted() || (w != WindowMain() && w != WindowDialog())) return;
    std::string out;
    if (!D.titleSaved) out.append("\033[22;0t");
    D.titleSaved = 1;
    out.append("\033]0;");
    int cols = 200;
    AppendText(&out, text, 0, &cols);
    out.append("\007");
    WriteAll(out);
}

void DisplayInterrupted(void) {
    if (!D.dlg) return;
    D.linesOnScreen = 0;
    D.dirty = 1;
    if (!D.timerRunning) D.timerRunning = PlatStartTimer(D.timerWin, DrawTimerId, DrawPeriod);
}
