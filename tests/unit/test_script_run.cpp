// The command driver, the status section and the local commands, run on
// real script files and the POSIX event loop.
#include <chrono>
#include <vector>

#include "app/app.h"
#include "local/local.h"
#include "test_script_fixture.h"

namespace {

// What a test window received, in order.
struct Received {
    unsigned msg;
    uintptr_t wp;
};
std::vector<Received> Inbox;
enum { QUIT_TEST = QM_USER + 99 };

int RecordingProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg == QUIT_TEST) {
        PlatPostQuit(0);
        return 1;
    }
    Inbox.push_back({msg, wp});
    return 1;
}

class RunFixture : public ScriptFixture {
protected:
    PlatWindow win = nullptr;
    void SetUp() override {
        ScriptFixture::SetUp();
        Inbox.clear();
        win = LoopCreateWindow(RecordingProc);
        ASSERT_NE(win, nullptr);
        UseScript("[QELTA]\r\nFTPCommand1=NONE\r\n", 1);
        q->CommandActive = 1;
        q->CurrentState.WaitingForResponseCode = 1;
    }
    void TearDown() override {
        PlatDestroyWindow(win);
        ScriptFixture::TearDown();
    }
    // Delivers what is queued for the window, then stops.
    void Drain() {
        PlatPostEvent(win, QUIT_TEST, 0, 0);
        PlatMessageLoop(nullptr);
    }
    int Count(unsigned msg, uintptr_t wp) const {
        int n = 0;
        for (const Received &r : Inbox) n += r.msg == msg && r.wp == wp;
        return n;
    }
    int Run(Executor e, const char *argument) {
        COPYCUT(q->Argument, argument);
        return ApplyOutcome(win, q, e(win, q, EV_START, 0, 0));
    }
    bool Completed() const {
        return q->CommandActive == 0 && q->CurrentState.WaitingForResponseCode == 0;
    }
};

// ---- status section ----

TEST_F(RunFixture, StatusPreResetMarksOldStatusesFailedUpToTheFirstGap) {
    UseScript("[QELTA]\r\nFTPCommand1=NONE\r\n[STATUS]\r\nCommandStatus1=Success\r\n"
              "CommandStatus2=Success\r\nCommandStatus4=Success\r\nExitCode=Success\r\n",
              1);
    ResetStatus(q);
    EXPECT_EQ(Status("CommandStatus1"), "Fail");
    EXPECT_EQ(Status("CommandStatus2"), "Fail");
    EXPECT_EQ(Status("CommandStatus3"), "<none>");
    EXPECT_EQ(Status("CommandStatus4"), "Success");
    EXPECT_EQ(Status("ExitCode"), "");
    q->CommandIndex = 2;
    EXPECT_EQ(SetStatus(q), 1);
    EXPECT_EQ(Status("CommandStatus2"), "Success");
}

TEST_F(RunFixture, StatusShortFormUsesCsKeysAndLetters) {
    UseScript("[QELTA]\r\n1=NONE\r\n[STATUS]\r\nCS1=S\r\nCS2=S\r\nCS3=S\r\nCS4=S\r\nCS5=S\r\n"
              "CommandStatus6=Success\r\n",
              0);
    ResetStatus(q);
    for (const char *k : {"CS1", "CS2", "CS3", "CS4", "CS5"}) EXPECT_EQ(Status(k), "F") << k;
    EXPECT_EQ(Status("CommandStatus6"), "Success");
    q->CommandIndex = 3;
    SetStatus(q);
    EXPECT_EQ(Status("CS3"), "S");
    WriteStatus(q, 4, 0);
    EXPECT_EQ(Status("CS4"), "F");
}

TEST_F(RunFixture, KillRecordsTheStartingLineAndReturnsToIt) {
    q->ReturnIndex = 5;
    q->CommandIndex = 5;
    q->MgtcMode = 1;
    EXPECT_EQ(Run(ExecKILL, "5"), 1);
    EXPECT_EQ(Status("CommandStatus5"), "Success");
    EXPECT_EQ(q->CommandIndex, 5);
    EXPECT_EQ(q->ReturnIndex, 0);
    EXPECT_EQ(q->MgtcMode, 0);
    EXPECT_TRUE(Completed());

    q->LongKeyForm = 0;
    q->ErrorFlag = 1;
    q->ReturnIndex = 2;
    Run(ExecKILL, "2");
    EXPECT_EQ(Status("CS2"), "F");
}

// ---- dispatcher and advance ----

TEST_F(RunFixture, DispatchOfMissingExecutorsFailsWithAClearText) {
    for (int id : {-1, 21, 24, 25, (int)CMD_BAD_GENERATED_LINE, 1000}) {
        q->ErrorText[0] = 0;
        q->IdleCount = 7;
        EXPECT_EQ(Dispatcher(win, id, q, EV_START, 0, 0), 0) << id;
        EXPECT_EQ(q->IdleCount, 0);
        EXPECT_NE(q->ErrorText[0], 0) << id;
    }
}

TEST_F(RunFixture, AdvancePostsOncePerCompletedCommand) {
    q->CommandActive = 0;
    q->CommandIndex = 4;
    AdvanceCommand(win, q);
    AdvanceCommand(win, q);  // a late event of the same command
    EXPECT_EQ(q->CommandIndex, 5);
    EXPECT_EQ(q->CommandActive, 1);
    Drain();
    EXPECT_EQ(Count(PROCESSCOMMAND, 0), 1);

    q->CommandActive = 0;
    AdvanceCommand(win, q);
    Drain();
    EXPECT_EQ(Count(PROCESSCOMMAND, 0), 2);
    EXPECT_EQ(q->CommandIndex, 6);
}

// Socket events as the dialog receives them: only those of the current
// socket of their kind reach the command; a closed socket's, or one whose
// number has been reused by another role, are dropped, errors included.
TEST_F(RunFixture, DialogRoutesOnlyEventsOfTheCurrentSockets) {
    QELTA *saved = pQELTA;
    pQELTA = q;
    q->CommandId = CMD_WFOR;  // takes every socket event and ignores it
    q->Silent = 1;
    const intptr_t reset = QFD_CLOSE | ((intptr_t)QWSAECONNRESET << 16);
    struct {
        unsigned msg;
        PlatSocket *current;
    } kinds[] = {
        {CONTROLMSG, &q->Socket.Control}, {DATA, &q->Socket.Data}, {LISTEN, &q->Socket.Listen}};
    for (auto &k : kinds) {
        q->Socket.Control = 5;
        q->Socket.Data = 6;
        q->Socket.Listen = 7;
        for (PlatSocket stale : {4, 5, 6, 7}) {
            if (stale == *k.current) continue;
            q->IdleCount = 9;
            Dialog1(win, k.msg, (uintptr_t)stale, QFD_WRITE);
            Dialog1(win, k.msg, (uintptr_t)stale, reset);
            EXPECT_EQ(q->IdleCount, 9) << k.msg << " " << stale;
            EXPECT_EQ(q->ErrorFlag, 0) << k.msg << " " << stale;
            EXPECT_EQ(q->ClearToSendData, 0);
        }
        PlatSocket open = *k.current;
        *k.current = -1;  // closed: nothing of it is taken
        Dialog1(win, k.msg, (uintptr_t)open, reset);
        EXPECT_EQ(q->IdleCount, 9);
        EXPECT_EQ(q->ErrorFlag, 0);

        *k.current = open;
        Dialog1(win, k.msg, (uintptr_t)open, QFD_WRITE);
        EXPECT_EQ(q->IdleCount, 0) << k.msg;
        EXPECT_EQ(q->ClearToSendData, k.msg == DATA ? 1 : 0);
        q->ClearToSendData = 0;
    }
    // An error of a current socket still fails the run.
    Dialog1(win, DATA, (uintptr_t)q->Socket.Data, reset);
    EXPECT_EQ(q->ErrorFlag, 1);
    EXPECT_STREQ(q->ErrorText, "Winsock error 10054 on Data Socket");
    Drain();
    EXPECT_EQ(Count(QM_COMMAND, CANCELMSG), 1);
    pQELTA = saved;
}

TEST_F(RunFixture, NoneEndsTheRunThroughCancel) {
    EXPECT_EQ(Run(ExecNONE, ""), 1);
    EXPECT_EQ(q->CommandActive, 1);  // no advance after the last command
    Drain();
    EXPECT_EQ(Count(QM_COMMAND, CANCELMSG), 1);
}

TEST_F(RunFixture, FirstCallPreparesTheRunAndRunsNoCommand) {
    UseScript("[QELTA]\r\nFTPCommand1=GOTO 1\r\n[STATUS]\r\nCommandStatus1=Success\r\n"
              "ExitCode=Failure\r\n",
              1);
    q->CommandIndex = 0;
    ASSERT_EQ(ProcessCommandProc(win, q), 1) << q->ErrorText;
    EXPECT_NE(q->ScriptAtom, 0);
    EXPECT_EQ(PlatDeleteAtom(q->ScriptAtom), 1);
    EXPECT_EQ(Status("CommandStatus1"), "Fail");
    EXPECT_EQ(Status("ExitCode"), "");
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 0);
    EXPECT_EQ(q->CommandIndex, 0);
    EXPECT_EQ(q->CommandId, CMD_NONE);
    PlatStopTimer(win, WatchdogTimer);
    PlatNetStop();

    q->CommandIndex = 0;
    EXPECT_EQ(ProcessCommandProc(nullptr, q), 0);
    EXPECT_STREQ(q->ErrorText, "Failed to create Timer in ProcessCommandProc()");
}

TEST_F(RunFixture, LaterCallsReadCheckAndDispatch) {
    UseScript("[QELTA]\r\n1=USER me\r\n2=MGET a b\r\n3=NONE\r\n", 0);
    PlatSetField(win, IDC_PROGRESS, "old progress");
    PlatSetField(win, IDC_COUNTER, "123");
    q->CommandIndex = 1;
    EXPECT_EQ(ProcessCommandProc(win, q), 0);
    EXPECT_STREQ(q->ErrorText, "CheckPreReq() FALSE");
    EXPECT_STREQ(LoopFieldText(win, IDC_PROGRESS), "");
    EXPECT_STREQ(LoopFieldText(win, IDC_COUNTER), "");

    q->Connected = q->UserAccepted = q->LoggedIn = 1;
    q->CommandIndex = 2;
    EXPECT_EQ(ProcessCommandProc(win, q), 0);
    EXPECT_STREQ(q->ErrorText,
                 "Can not split the file names in \"a b\": no local path with a drive letter\r\n");

    // After a failure the line is not read: NONE runs instead.
    q->ErrorFlag = 1;
    q->CommandIndex = 1;
    EXPECT_EQ(ProcessCommandProc(win, q), 1);
    EXPECT_EQ(q->CommandId, CMD_NONE);
    Drain();
    EXPECT_EQ(Count(QM_COMMAND, CANCELMSG), 1);
}

TEST_F(RunFixture, BadGeneratedLineFailsTheRun) {
    WriteFile("job.tm2", "Qxyz\r\n");
    COPYCUT(q->GeneratedScriptPath, Dos("job.tm2").c_str());
    q->GeneratedScriptHandle = PlatFileOpen(q->GeneratedScriptPath);
    q->GeneratedActive = 1;
    q->CommandIndex = 3;
    EXPECT_EQ(ProcessCommandProc(win, q), 0);
    EXPECT_NE(std::strstr(q->ErrorText, "generated command file"), nullptr);
}

// ---- GOTO ----

// Runs script lines from..to where line gotoLine holds the GOTO argument,
// as the driver would; returns the line numbers executed.
std::vector<int> Walk(QELTA *q, PlatWindow w, int from, int to, int gotoLine, const char *arg) {
    std::vector<int> seen;
    for (int line = from; line <= to && seen.size() < 100; line++) {
        seen.push_back(line);
        if (line != gotoLine) continue;
        q->CommandIndex = line;
        COPYCUT(q->Argument, arg);
        EXPECT_EQ(Dispatcher(w, CMD_GOTO, q, EV_START, 0, 0), 1);
        line = q->CommandIndex;  // the advance adds the 1
    }
    return seen;
}

TEST_F(RunFixture, CountedGotoRunsTheLoopCountPlusOneTimes) {
    std::vector<int> want = {1, 2, 3, 4, 5, 6, 3, 4, 5, 6, 3, 4, 5, 6, 7};
    EXPECT_EQ(Walk(q, win, 1, 7, 6, "3:2"), want);
    EXPECT_EQ(Status("CommandStatus6"), "Success");
    EXPECT_TRUE(Completed());
    // The loop ran out, so the same line arms a new one.
    EXPECT_EQ(Walk(q, win, 1, 7, 6, "3:2"), want);
}

TEST_F(RunFixture, GotoWithCountZeroFallsThroughAndArmsNothing) {
    EXPECT_EQ(Walk(q, win, 1, 4, 2, "1:0"), (std::vector<int>{1, 2, 3, 4}));
    // No loop is left armed: a plain GOTO jumps every time.
    std::vector<int> seen = Walk(q, win, 1, 4, 3, "2");
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 6),
              (std::vector<int>{1, 2, 3, 2, 3, 2}));
}

TEST_F(RunFixture, PlainGotoInsideACountedLoopCountsAgainstIt) {
    // Line 2 arms a loop of 3 jumps to line 1; line 4 jumps back to 3
    // without a count and uses up the rest.
    q->CommandIndex = 2;
    Run(ExecGOTO, "1:3");  // 3 -> 2, jumps
    EXPECT_EQ(q->CommandIndex, 0);
    q->CommandIndex = 4;
    Run(ExecGOTO, "3");  // 2 -> 1, jumps
    EXPECT_EQ(q->CommandIndex, 2);
    Run(ExecGOTO, "3:50");  // the armed loop's count stays; 1 -> 0, jumps
    EXPECT_EQ(q->CommandIndex, 2);
    q->CommandIndex = 4;
    Run(ExecGOTO, "3");  // runs out: falls through
    EXPECT_EQ(q->CommandIndex, 4);
}

TEST_F(RunFixture, GotoBelowLineOneFails) {
    for (const char *arg : {"0", "-2:3", "", "abc"}) {
        q->CommandIndex = 4;
        q->CommandActive = 1;
        EXPECT_EQ(Run(ExecGOTO, arg), 0) << arg;
        EXPECT_NE(std::strstr(q->ErrorText, "ExecGOTO"), nullptr);
        EXPECT_EQ(q->CommandIndex, 4);
        EXPECT_EQ(q->CommandActive, 1);
    }
}

// ---- WFOR and WTIL ----

TEST(WaitArithmetic, WforTicksAndSplitting) {
    struct {
        const char *arg;
        unsigned ticks;
    } cases[] = {
        {"1:30", 180},   {":05", 10},       {"0:00", 0},  {"1:", 120},
        {" 2:+3", 246},  {"-1:30", 0},      {"0:-5", 0},  {"30", 0},
        {"", 0},         {"0:5:9", 10},     {"000000000001:00", 0},  // part cut to 11 zeros
        {"99999999999999:00", 4294967295u}, {"0:999999999999999", 4294967295u},
    };
    for (auto &c : cases) EXPECT_EQ(WforTicks(c.arg), c.ticks) << c.arg;
    long a = 7, b = 7;
    EXPECT_EQ(SplitWaitArgument("30", &a, &b), 0);
    EXPECT_EQ(SplitWaitArgument("23:59", &a, &b), 1);
    EXPECT_EQ(a, 23);
    EXPECT_EQ(b, 59);
}

TEST(WaitArithmetic, WtilRemainingText) {
    struct {
        int nh, nm, th, tm;
        const char *text;
    } cases[] = {
        {22, 0, 23, 59, "1:59"}, {23, 30, 23, 45, ":15"}, {10, 0, 9, 0, "23:00"},
        {23, 59, 0, 0, ":01"},   {0, 0, 23, 59, "23:59"}, {22, 0, 25, 0, "3:00"},
        {12, 0, -1, 0, "11:00"}, {12, 0, 12, 5, ":05"},
    };
    for (auto &c : cases) {
        char out[16];
        WtilRemainingText(c.nh, c.nm, c.th, c.tm, out, sizeof(out));
        EXPECT_STREQ(out, c.text) << c.nh << ":" << c.nm << " -> " << c.th << ":" << c.tm;
    }
}

TEST_F(RunFixture, WforCountsHalfSecondTicks) {
    EXPECT_EQ(Run(ExecWFOR, "0:02"), 1);
    EXPECT_STREQ(LoopFieldText(win, IDC_COMMAND), "Wait");
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 1);
    EXPECT_EQ(ExecWFOR(win, q, EV_SOCKET, CONTROLMSG, QFD_READ), 1);  // ignored
    for (int i = 1; i < 4; i++) {
        q->IdleCount = 5;
        // Every tick comes through the dispatcher, which quiets the watchdog.
        EXPECT_EQ(Dispatcher(win, CMD_WFOR, q, EV_WAITTICK, EV_WAITTICK, WaitTimer), 1);
        EXPECT_EQ(q->IdleCount, 0);
        EXPECT_FALSE(Completed()) << i;
    }
    Dispatcher(win, CMD_WFOR, q, EV_WAITTICK, EV_WAITTICK, WaitTimer);
    EXPECT_TRUE(Completed());
    EXPECT_EQ(Status("CommandStatus0"), "Success");
}

TEST_F(RunFixture, WaitArgumentsWithoutColonOrTimerFail) {
    EXPECT_EQ(Run(ExecWFOR, "30"), 0);
    EXPECT_NE(std::strstr(q->ErrorText, "minutes:seconds"), nullptr);
    EXPECT_EQ(Run(ExecWTIL, "23"), 0);
    EXPECT_NE(std::strstr(q->ErrorText, "hours:minutes"), nullptr);
    COPYCUT(q->Argument, "0:01");
    EXPECT_EQ(ExecWFOR(nullptr, q, EV_START, 0, 0), 0);
    EXPECT_STREQ(q->ErrorText, "Failed to create Timer in ExecWTIL()");
    COPYCUT(q->Argument, "23:59");
    EXPECT_EQ(ExecWTIL(nullptr, q, EV_START, 0, 0), 0);
    EXPECT_STREQ(q->ErrorText, "Failed to create Timer in ExecWTIL()");
}

// Timer ticks of the loop reach WFOR as the dialog routes them.
int WforTickProc(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg == QM_TIMER && wp == WaitTimer) {
        Dispatcher(w, CMD_WFOR, pQELTA, EV_WAITTICK, EV_WAITTICK, (unsigned)wp);
        if (pQELTA->CommandActive == 0) PlatPostQuit(0);
    }
    return 1;
}

TEST_F(RunFixture, WforOfOneSecondLastsAboutOneSecond) {
    PlatWindow w = LoopCreateWindow(WforTickProc);
    QELTA *saved = pQELTA;
    pQELTA = q;
    COPYCUT(q->Argument, "0:01");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ExecWFOR(w, q, EV_START, 0, 0), 1);
    PlatMessageLoop(nullptr);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    pQELTA = saved;
    PlatDestroyWindow(w);
    EXPECT_TRUE(Completed());
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 1600);
}

TEST_F(RunFixture, WtilEndsAtItsMinuteAndShowsTheTimeLeftOtherwise) {
    PlatLocalTime now;
    PlatNow(&now);
    char arg[16];
    FORMATCUT(arg, "%d:%d", (now.hour + 2) % 24, now.minute);
    EXPECT_EQ(Run(ExecWTIL, arg), 1);
    EXPECT_STREQ(LoopFieldText(win, IDC_COMMAND), "Wait");
    EXPECT_STREQ(LoopFieldText(win, IDC_COUNTERLABEL), "Time Remaining");
    EXPECT_EQ(Dispatcher(win, CMD_WTIL, q, EV_WAITTICK, EV_WAITTICK, WaitTimer), 1);
    EXPECT_FALSE(Completed());
    std::string shown = LoopFieldText(win, IDC_COUNTER);
    EXPECT_TRUE(shown == "2:00" || shown == "1:59") << shown;

    for (int attempt = 0; attempt < 2; attempt++) {
        PlatNow(&now);
        FORMATCUT(arg, "%d:%.2d", now.hour, now.minute);
        Run(ExecWTIL, arg);
        Dispatcher(win, CMD_WTIL, q, EV_WAITTICK, EV_WAITTICK, WaitTimer);
        if (Completed()) break;  // else the minute turned in between
    }
    EXPECT_TRUE(Completed());
    EXPECT_EQ(Status("CommandStatus0"), "Success");
}

// ---- EXEC and the show-mode prefix ----

TEST(ShowPrefix, StripsKnownPrefixesOnly) {
    struct {
        const char *in;
        int prefix;
        const char *out;
    } cases[] = {
        {"-SWd /bin/prog a b", 3, "/bin/prog a b"},
        {"-swN prog", 1, "prog"},
        {"-abX prog x", 2, "prog x"},
        {"-abq prog", 0, "-abq prog"},
        {"-ab", 0, "-ab"},
        {"-", 0, "-"},
        {"prog -swd", 0, "prog -swd"},
        {"", 0, ""},
        {"-ddd", 3, ""},  // a prefix alone leaves no command line
    };
    QELTA *q = NewSession();
    for (auto &c : cases) {
        COPYCUT(q->Argument, c.in);
        EXPECT_EQ(ParseShowPrefix(q), c.prefix) << c.in;
        EXPECT_STREQ(q->Argument, c.out) << c.in;
    }
    DeleteSession(q);
    EXPECT_EQ(ShowModeFor(0), 1);
    EXPECT_EQ(ShowModeFor(1), 2);
    EXPECT_EQ(ShowModeFor(2), 3);
    EXPECT_EQ(ShowModeFor(3), 0);
}

TEST_F(RunFixture, ExecStartsTheProgramWithoutWaiting) {
    std::string marker = Posix("marker");
    std::string cmd = "-swd sh -c \"echo ran >> " + marker + "\"";
    q->CommandIndex = 2;
    EXPECT_EQ(Run(ExecEXEC, cmd.c_str()), 1);
    EXPECT_STREQ(LoopFieldText(win, IDC_COMMAND), "Executing Program");
    EXPECT_TRUE(Completed());
    EXPECT_EQ(Status("CommandStatus2"), "Success");
    for (int i = 0; i < 100 && ReadFile("marker").empty(); i++) usleep(20000);
    EXPECT_EQ(ReadFile("marker"), "ran\n");

    q->CommandActive = 1;
    EXPECT_EQ(Run(ExecEXEC, "qelta-no-such-program --x"), 0);
    EXPECT_STREQ(q->ErrorText, "WinExec() return an error in ExecEXEC()");
    EXPECT_EQ(q->CommandActive, 1);
}

}  // namespace
