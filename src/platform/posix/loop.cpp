// The one event loop of the POSIX build: a queue of posted messages, the
// windows' periodic timers and the watched fds, all on the loop's thread.
// It sleeps in poll() until the next message, timer or fd is due. Signals
// and posts from other threads reach it through a self-pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "base/resource.h"
#include "platform/posix/posix_internal.h"

namespace {

struct Posted {
    PlatWindow w;
    unsigned msg;
    uintptr_t wp;
    intptr_t lp;
};

struct Timer {
    PlatWindow w;
    unsigned id;
    unsigned period;  // ms
    uint64_t due;     // monotonic ms
    uint64_t seq;     // start order, for timers due at the same moment
};

struct Watch {
    int fd;
    short events;
    FdCallback cb;
    void *ctx;
    uint64_t serial;  // changes when the fd is watched again
};

std::mutex QueueLock;  // guards Queue, QuitRequested, QuitCode
std::deque<Posted> Queue;
int QuitRequested = 0;
int QuitCode = 0;

std::vector<Timer> Timers;
uint64_t TimerSeq = 0;
std::vector<Watch> Watches;
uint64_t WatchSerial = 0;

int WakeRead = -1, WakeWrite = -1;
std::thread::id LoopThread;

enum { SIG_INTERRUPT, SIG_CLOSE, SIG_CHILD, SIG_KINDS };
volatile sig_atomic_t PendingSignal[SIG_KINDS];
int SignalsInstalled = 0;

}  // namespace

// The monotonic clock of the whole layer, in 64 bits.
static uint64_t NowMs(void) { return (uint64_t)PlatMilliseconds(); }

static void Wake(void) {
    if (WakeWrite < 0) return;
    char c = 1;
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    ssize_t n = write(WakeWrite, &c, 1);
    (void)n;
}

static void LoopInit(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            WakeRead = fds[0];
            WakeWrite = fds[1];
        }
        LoopThread = std::this_thread::get_id();
    });
}

// ---- signals --------------------------------------------------------------

static void OnSignal(int sig) {
    int saved = errno;
    if (sig == SIGINT) PendingSignal[SIG_INTERRUPT] = 1;
    if (sig == SIGTERM || sig == SIGHUP) PendingSignal[SIG_CLOSE] = 1;
    if (sig == SIGCHLD) PendingSignal[SIG_CHILD] = 1;
    Wake();
    errno = saved;
}

void LoopInstallSignals(void) {
    LoopInit();
    // SIGINT, SIGTERM and SIGHUP interrupt a blocking prompt (no SA_RESTART)
    // so that it gives up; the loop then delivers them. A child's end must
    // not interrupt a prompt.
    static const struct {
        int sig;
        int flags;
    } Table[] = {
        {SIGINT, 0},
        {SIGTERM, 0},
        {SIGHUP, 0},
        {SIGCHLD, SA_RESTART | SA_NOCLDSTOP},
    };
    for (const auto &t : Table) {
        struct sigaction sa = {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = t.flags;
        sigaction(t.sig, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    SignalsInstalled = 1;
}

static int TakeSignal(int kind) {
    if (!PendingSignal[kind]) return 0;
    PendingSignal[kind] = 0;
    return 1;
}

// The handlers of the Windows build: Ctrl-C is the dialog's Cancel button,
// SIGTERM and SIGHUP the system menu's Close.
static void DeliverSignals(void) {
    if (TakeSignal(SIG_CHILD)) PosixReapChildren();
    if (TakeSignal(SIG_INTERRUPT) && WindowDialog())
        PlatSendEvent(WindowDialog(), QM_COMMAND, IDCANCEL_BUTTON, 0);
    if (TakeSignal(SIG_CLOSE) && WindowMain())
        PlatSendEvent(WindowMain(), QM_SYSCOMMAND, QSC_CLOSE, 0);
}

static int SignalsPending(void) {
    for (int i = 0; i < SIG_KINDS; i++)
        if (PendingSignal[i]) return 1;
    return 0;
}

// ---- posted messages --------------------------------------------------------

int PlatPostEvent(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    if (w == nullptr) return 0;
    LoopInit();
    // Other threads cannot look at the window table; their posts to a
    // window that is gone are dropped at delivery.
    if (std::this_thread::get_id() == LoopThread && !WindowExists(w)) return 0;
    {
        std::lock_guard<std::mutex> hold(QueueLock);
        Queue.push_back(Posted{w, msg, wp, lp});
    }
    // The loop's own posts need no wake-up: it polls without waiting while
    // the queue holds something. Only other threads must break its sleep.
    if (std::this_thread::get_id() != LoopThread) Wake();
    return 1;
}

int PlatSendEvent(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    return WindowDeliver(w, msg, wp, lp);
}

void PlatPostQuit(int code) {
    LoopInit();
    {
        std::lock_guard<std::mutex> hold(QueueLock);
        QuitRequested = 1;
        QuitCode = code;
    }
    Wake();
}

static int QuitNow(void) {
    std::lock_guard<std::mutex> hold(QueueLock);
    return QuitRequested;
}

static int TakePosted(Posted *out) {
    std::lock_guard<std::mutex> hold(QueueLock);
    if (Queue.empty()) return 0;
    *out = Queue.front();
    Queue.pop_front();
    return 1;
}

static size_t QueuedCount(void) {
    std::lock_guard<std::mutex> hold(QueueLock);
    return Queue.size();
}

// Delivers the messages queued when the turn began; those they post wait
// for the next turn, so timers and fds are never starved.
static void DeliverPosted(void) {
    size_t n = QueuedCount();
    Posted m;
    while (n-- > 0 && !QuitNow() && TakePosted(&m)) WindowDeliver(m.w, m.msg, m.wp, m.lp);
}

template <typename Match>
static void DropQueued(Match match) {
    std::lock_guard<std::mutex> hold(QueueLock);
    for (auto it = Queue.begin(); it != Queue.end();)
        it = match(*it) ? Queue.erase(it) : it + 1;
}

void LoopDropPosts(PlatWindow w, unsigned msg, uintptr_t wp) {
    DropQueued([&](const Posted &m) { return m.w == w && m.msg == msg && m.wp == wp; });
}

// ---- timers -------------------------------------------------------------------

static Timer *FindTimer(PlatWindow w, unsigned id) {
    for (auto &t : Timers)
        if (t.w == w && t.id == id) return &t;
    return nullptr;
}

int PlatStartTimer(PlatWindow w, unsigned id, unsigned ms) {
    if (!WindowExists(w)) return 0;
    if (ms < 10) ms = 10;  // the shortest period Windows grants
    Timer fresh = {w, id, ms, NowMs() + ms, ++TimerSeq};
    Timer *t = FindTimer(w, id);
    if (t)
        *t = fresh;
    else
        Timers.push_back(fresh);
    return 1;
}

void PlatStopTimer(PlatWindow w, unsigned id) {
    for (auto it = Timers.begin(); it != Timers.end(); ++it)
        if (it->w == w && it->id == id) {
            Timers.erase(it);
            return;
        }
}

// The earliest due timer, or 0 when there is none.
static Timer *NextTimer(void) {
    Timer *best = nullptr;
    for (auto &t : Timers)
        if (!best || t.due < best->due || (t.due == best->due && t.seq < best->seq)) best = &t;
    return best;
}

// The clock as this turn of the loop began to fire timers; read once a
// turn, since a transfer makes a turn per block.
static uint64_t TurnMs;

// Fires each timer due now once, earliest first. A tick that came late
// is not repeated: the next one keeps the rhythm, as WM_TIMER does.
static void FireTimers(void) {
    uint64_t now = TurnMs = NowMs();
    for (;;) {
        Timer *live = NextTimer();
        if (!live || live->due > now || QuitNow()) return;
        uint64_t next = live->due + live->period;
        live->due = next > now ? next : now + live->period;
        live->seq = ++TimerSeq;
        WindowDeliver(live->w, QM_TIMER, live->id, 0);
    }
}

void LoopForgetWindow(PlatWindow w) {
    for (auto it = Timers.begin(); it != Timers.end();)
        it = it->w == w ? Timers.erase(it) : it + 1;
    DropQueued([&](const Posted &m) { return m.w == w; });
}

// ---- watched fds ----------------------------------------------------------------

void LoopWatchFd(int fd, short events, FdCallback cb, void *ctx) {
    LoopInit();
    for (auto &w : Watches)
        if (w.fd == fd) {
            w = Watch{fd, events, cb, ctx, ++WatchSerial};
            return;
        }
    Watches.push_back(Watch{fd, events, cb, ctx, ++WatchSerial});
}

void LoopUnwatchFd(int fd) {
    for (auto it = Watches.begin(); it != Watches.end(); ++it)
        if (it->fd == fd) {
            Watches.erase(it);
            return;
        }
}

static const Watch *FindWatch(int fd, uint64_t serial) {
    for (const auto &w : Watches)
        if (w.fd == fd && w.serial == serial) return &w;
    return nullptr;
}

static void DrainWake(void) {
    char buf[64];
    while (read(WakeRead, buf, sizeof buf) > 0) {
    }
}

static int PollTimeout(void) {
    if (QueuedCount() > 0 || SignalsPending() || QuitNow()) return 0;
    const Timer *t = NextTimer();
    if (!t) return -1;
    uint64_t now = NowMs();
    if (t->due <= now) return 0;
    uint64_t wait = t->due - now;
    return wait > 60000 ? 60000 : (int)wait;
}

// The millisecond of the last poll().
static uint64_t LastPollMs;

// While messages are queued the loop does not sleep, and a poll() per turn
// would be a system call per message: a data transfer posts one per block.
// The fds are then looked at once a millisecond, which is all it delays
// them by; posts, signals and timers need no poll() to be seen.
static int PollDue(int timeout) {
    if (timeout != 0 || QueuedCount() == 0) return 1;
    return TurnMs != LastPollMs;
}

// Waits for the fds and runs the callbacks of those that are ready. A
// callback may watch or unwatch fds; an fd watched again in this turn
// waits for the next poll (its readiness is level-triggered).
static void PollFds(void) {
    int timeout = PollTimeout();
    if (!PollDue(timeout)) return;
    // Kept between turns so a turn allocates nothing.
    static std::vector<struct pollfd> fds;
    static std::vector<uint64_t> serials;
    fds.clear();
    serials.clear();
    fds.push_back(pollfd{WakeRead, POLLIN, 0});
    serials.push_back(0);
    for (const auto &w : Watches) {
        fds.push_back(pollfd{w.fd, w.events, 0});
        serials.push_back(w.serial);
    }
    int n = poll(fds.data(), fds.size(), timeout);
    LastPollMs = NowMs();
    if (n <= 0) return;
    if (fds[0].revents) DrainWake();
    for (size_t i = 1; i < fds.size(); i++) {
        if (!fds[i].revents) continue;
        const Watch *w = FindWatch(fds[i].fd, serials[i]);
        if (w) w->cb(w->fd, fds[i].revents, w->ctx);
        // A closed fd left watched would be reported at every turn: the
        // loop would spin. Its watch ends here.
        if ((fds[i].revents & POLLNVAL) && FindWatch(fds[i].fd, serials[i]))
            LoopUnwatchFd(fds[i].fd);
    }
}

int PlatMessageLoop(PlatWindow *dialogHandle) {
    LoopInit();
    while (!QuitNow()) {
        DeliverSignals();
        if (!SignalsInstalled) PosixReapChildren();  // else SIGCHLD says when
        DeliverPosted();
        if (QuitNow()) break;
        FireTimers();
        if (QuitNow()) break;
        PollFds();
    }
    DisplayDetach();
    std::lock_guard<std::mutex> hold(QueueLock);
    // Like WM_QUIT, the request is consumed; the messages left are dropped.
    QuitRequested = 0;
    Queue.clear();
    return QuitCode;
}
