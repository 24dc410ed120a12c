// The POSIX event loop through windows of its own: timers, posts from
// other threads, destroyed windows, watched fds, and that it sleeps.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace {

struct Seen {
    PlatWindow w;
    unsigned msg;
    uintptr_t wp;
    intptr_t lp;
    unsigned long at;  // ms
};

std::vector<Seen> Log;
unsigned QuitOnTimer = 0;  // a timer id that ends the loop
int QuitAfterTicks = 0;    // ... after this many of its ticks

int Recorder(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    Log.push_back(Seen{w, msg, wp, lp, PlatMilliseconds()});
    if (msg == QM_TIMER && wp == QuitOnTimer && --QuitAfterTicks <= 0) PlatPostQuit(7);
    if (msg == QM_USER + 9) PlatPostQuit(9);
    return 0;
}

int Count(PlatWindow w, unsigned msg, uintptr_t wp) {
    int n = 0;
    for (const auto &s : Log)
        if (s.w == w && s.msg == msg && s.wp == wp) n++;
    return n;
}

class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log.clear();
        QuitOnTimer = 0;
        QuitAfterTicks = 0;
    }
    void TearDown() override {
        for (PlatWindow w : made) PlatDestroyWindow(w);
    }
    PlatWindow Make() {
        PlatWindow w = LoopCreateWindow(Recorder);
        EXPECT_NE(w, nullptr);
        made.push_back(w);
        return w;
    }
    // Runs the loop until the window's timer id has ticked n times.
    int RunUntilTicks(PlatWindow w, unsigned id, unsigned ms, int n) {
        QuitOnTimer = id;
        QuitAfterTicks = n;
        EXPECT_EQ(PlatStartTimer(w, id, ms), 1);
        return PlatMessageLoop(nullptr);
    }
    std::vector<PlatWindow> made;
};

}  // namespace

TEST_F(LoopTest, TimersTickInOrderOfTheirPeriods) {
    PlatWindow w = Make();
    unsigned long start = PlatMilliseconds();
    ASSERT_EQ(PlatStartTimer(w, 1, 25), 1);
    EXPECT_EQ(RunUntilTicks(w, 2, 110, 1), 7);
    // Ticks of 25 ms before the one tick of 110 ms, at their own rhythm.
    EXPECT_GE(Count(w, QM_TIMER, 1), 3);
    EXPECT_LE(Count(w, QM_TIMER, 1), 5);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.front().wp, 1u);
    EXPECT_EQ(Log.back().wp, 2u);
    EXPECT_GE(Log.back().at - start, 100u);
    PlatStopTimer(w, 1);
}

TEST_F(LoopTest, RestartingATimerReplacesIt) {
    PlatWindow w = Make();
    unsigned long start = PlatMilliseconds();
    ASSERT_EQ(PlatStartTimer(w, 5, 20), 1);
    ASSERT_EQ(PlatStartTimer(w, 5, 150), 1);  // same id: one timer, new period
    QuitOnTimer = 5;
    QuitAfterTicks = 1;
    PlatMessageLoop(nullptr);
    ASSERT_EQ(Count(w, QM_TIMER, 5), 1);
    EXPECT_GE(Log.back().at - start, 140u);
}

TEST_F(LoopTest, AStoppedTimerNeverTicks) {
    PlatWindow w = Make();
    ASSERT_EQ(PlatStartTimer(w, 3, 20), 1);
    PlatStopTimer(w, 3);
    RunUntilTicks(w, 4, 120, 1);
    EXPECT_EQ(Count(w, QM_TIMER, 3), 0);
}

TEST_F(LoopTest, PostsArriveInOrderAndBeforeTimers) {
    PlatWindow w = Make();
    ASSERT_EQ(PlatStartTimer(w, 1, 10), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // timer overdue
    for (int i = 0; i < 3; i++) ASSERT_EQ(PlatPostEvent(w, QM_USER + 1, i, -i), 1);
    QuitOnTimer = 1;
    QuitAfterTicks = 1;
    PlatMessageLoop(nullptr);
    ASSERT_EQ(Log.size(), 4u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Log[i].msg, QM_USER + 1);
        EXPECT_EQ(Log[i].wp, (uintptr_t)i);
        EXPECT_EQ(Log[i].lp, -i);
    }
    EXPECT_EQ(Log[3].msg, (unsigned)QM_TIMER);
}

TEST_F(LoopTest, APostFromAnotherThreadWakesTheLoopAtOnce) {
    PlatWindow w = Make();
    ASSERT_EQ(PlatStartTimer(w, 1, 5000), 1);  // a safety net only
    unsigned long start = PlatMilliseconds();
    std::thread poster([w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PlatPostEvent(w, QM_USER + 9, 0, 0);
    });
    EXPECT_EQ(PlatMessageLoop(nullptr), 9);
    poster.join();
    unsigned long took = PlatMilliseconds() - start;
    EXPECT_GE(took, 45u);
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(Count(w, QM_TIMER, 1), 0);
}

TEST_F(LoopTest, DestroyingAWindowDropsItsTimersAndQueuedMessages) {
    PlatWindow gone = LoopCreateWindow(Recorder);
    PlatWindow owned = LoopCreateWindow(Recorder);
    ASSERT_NE(gone, nullptr);
    ASSERT_NE(owned, nullptr);
    PlatWindow keeper = Make();
    ASSERT_EQ(PlatStartTimer(gone, 1, 10), 1);
    ASSERT_EQ(PlatPostEvent(gone, QM_USER + 1, 0, 0), 1);
    PlatDestroyWindow(gone);
    PlatDestroyWindow(owned);
    EXPECT_EQ(Count(gone, QM_DESTROY, 0), 1);
    EXPECT_EQ(PlatPostEvent(gone, QM_USER + 2, 0, 0), 0);
    EXPECT_EQ(PlatStartTimer(gone, 2, 10), 0);
    EXPECT_EQ(PlatSendEvent(gone, QM_USER + 3, 0, 0), 0);
    RunUntilTicks(keeper, 9, 80, 1);
    for (const auto &s : Log)
        if (s.w == gone) EXPECT_EQ(s.msg, (unsigned)QM_DESTROY);
    // A new window never takes the handle of a destroyed one.
    PlatWindow next = Make();
    EXPECT_NE(next, gone);
    EXPECT_NE(next, owned);
}

TEST_F(LoopTest, SendDeliversAtOnceAndReturnsTheResult) {
    PlatWindow w = LoopCreateWindow([](PlatWindow, unsigned msg, uintptr_t wp, intptr_t) {
        return msg == QM_USER ? (int)wp + 1 : 0;
    });
    made.push_back(w);
    EXPECT_EQ(PlatSendEvent(w, QM_USER, 41, 0), 42);
    EXPECT_EQ(PlatOwner(w), nullptr);
}

TEST_F(LoopTest, DroppedPostsOfAClosedSocketNeverArrive) {
    PlatWindow w = Make();
    PlatPostEvent(w, QM_USER + 1, 5, 1);
    PlatPostEvent(w, QM_USER + 1, 6, 1);
    PlatPostEvent(w, QM_USER + 2, 5, 1);
    LoopDropPosts(w, QM_USER + 1, 5);
    RunUntilTicks(w, 1, 20, 1);
    EXPECT_EQ(Count(w, QM_USER + 1, 5), 0);
    EXPECT_EQ(Count(w, QM_USER + 1, 6), 1);
    EXPECT_EQ(Count(w, QM_USER + 2, 5), 1);
}

namespace {
int FdCalls = 0;
void OnReadable(int fd, short revents, void *ctx) {
    char c = 0;
    FdCalls++;
    if (read(fd, &c, 1) == 1) *static_cast<char *>(ctx) = c;
}
}  // namespace

TEST_F(LoopTest, WatchedFdsCallBackUntilUnwatched) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    char got = 0;
    FdCalls = 0;
    LoopWatchFd(p[0], POLLIN, OnReadable, &got);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    PlatWindow w = Make();
    RunUntilTicks(w, 1, 40, 1);
    EXPECT_EQ(FdCalls, 1);
    EXPECT_EQ(got, 'x');
    LoopUnwatchFd(p[0]);
    ASSERT_EQ(write(p[1], "y", 1), 1);
    RunUntilTicks(w, 1, 40, 1);
    EXPECT_EQ(FdCalls, 1);
    close(p[0]);
    close(p[1]);
}

TEST_F(LoopTest, AClosedFdLeftWatchedDoesNotSpinTheLoop) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    close(p[1]);
    char got = 0;
    FdCalls = 0;
    LoopWatchFd(p[0], POLLIN, OnReadable, &got);
    PlatWindow w = Make();
    RunUntilTicks(w, 1, 50, 1);
    EXPECT_LE(FdCalls, 1);
    LoopUnwatchFd(p[0]);
}

namespace {
int ChainPosts = 0;
int ChainStop = 0;
// Each delivery posts the next, as a transfer's read events do.
int Chain(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg == QM_TIMER) PlatPostQuit(99);  // the fd was never served
    if (msg != QM_USER + 3) return 0;
    ChainPosts++;
    if (ChainStop)
        PlatPostQuit(3);
    else
        PlatPostEvent(w, QM_USER + 3, 0, 0);
    return 0;
}
void StopChain(int fd, short revents, void *ctx) {
    char c;
    if (read(fd, &c, 1) == 1) ChainStop = 1;
}
}  // namespace

// While messages keep coming the loop skips most of its polls, but never
// leaves a ready fd waiting for long.
TEST_F(LoopTest, WatchedFdsAreServedWhileMessagesKeepComing) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ChainPosts = ChainStop = 0;
    PlatWindow w = LoopCreateWindow(Chain);
    made.push_back(w);
    PlatStartTimer(w, 1, 2000);
    PlatPostEvent(w, QM_USER + 3, 0, 0);
    LoopWatchFd(p[0], POLLIN, StopChain, nullptr);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    unsigned long start = PlatMilliseconds();
    EXPECT_EQ(PlatMessageLoop(nullptr), 3);
    EXPECT_LT(PlatMilliseconds() - start, 100u);
    EXPECT_GT(ChainPosts, 0);
    LoopUnwatchFd(p[0]);
    close(p[0]);
    close(p[1]);
}

static double CpuSeconds(void) {
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST_F(LoopTest, WaitingForATimerSleepsInsteadOfSpinning) {
    PlatWindow w = Make();
    double cpu = CpuSeconds();
    unsigned long start = PlatMilliseconds();
    RunUntilTicks(w, 1, 400, 1);
    EXPECT_GE(PlatMilliseconds() - start, 390u);
    EXPECT_LT(CpuSeconds() - cpu, 0.05);
}

TEST_F(LoopTest, FieldsKeepTheirTextCutToSize) {
    PlatWindow w = Make();
    EXPECT_STREQ(LoopFieldText(w, 125), "");
    PlatSetField(w, 125, "Wait");
    EXPECT_STREQ(LoopFieldText(w, 125), "Wait");
    std::string longText(5000, 'a');
    PlatSetField(w, 126, longText.c_str());
    EXPECT_EQ(strlen(LoopFieldText(w, 126)), 255u);
    EXPECT_STREQ(LoopFieldText(w, 125), "Wait");
}

// ---- the terminal display, drawn on a pty ------------------------------------

namespace {

PlatWindow Drawn = nullptr;
int Changes = 0;

int Changer(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (msg != QM_TIMER) return 0;
    char text[32];
    snprintf(text, sizeof text, "%d", ++Changes);
    PlatSetField(Drawn, 116, text);
    if (Changes == 100) PlatPostQuit(0);  // a change every 10 ms for a second
    return 0;
}

}  // namespace

TEST(TerminalDisplay, RedrawsInPlaceAtMostTenTimesASecond) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("TERM", "xterm", 1);
        Drawn = LoopCreateWindow(nullptr);
        DisplayAttach(Drawn);
        PlatSetField(Drawn, 125, "Retrieve \x1b]0;evil\x07 File \xC2\x9B" "2J\x9B" "0m \xC3\xA9");
        PlatSetField(Drawn, 126, "\x95\x95\x95");
        PlatWindow ticker = LoopCreateWindow(Changer);
        PlatStartTimer(ticker, 1, 10);
        PlatMessageLoop(nullptr);
        PlatDestroyWindow(Drawn);  // the last drawing, then a fresh line
        _exit(0);
    }
    unsigned long start = PlatMilliseconds();
    std::string out;
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    unsigned long took = PlatMilliseconds() - start;
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    size_t redraws = 0;
    for (size_t at = out.find("\x1b[6A"); at != std::string::npos; at = out.find("\x1b[6A", at + 1))
        redraws++;
    // A hundred changes, drawn about every 100 ms plus the first and last.
    EXPECT_GE(redraws, 5u);
    EXPECT_LE(redraws, took / 100 + 2);
    EXPECT_NE(out.find("Command: Retrieve ?]0;evil? File ??2J?0m \xC3\xA9"), std::string::npos);  // C1 CSI too
    EXPECT_NE(out.find("\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2"), std::string::npos);
    EXPECT_NE(out.find(" 100"), std::string::npos);  // the final value is drawn
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
}
