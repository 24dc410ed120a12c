// Two runs of one script at once. A profile write reads the whole file,
// changes one line and renames a new file over the old; two runs doing
// that together lose one another's updates. Each read and write therefore
// holds the script's lock. The lock cannot live on the script's own inode,
// which every write replaces: a run waiting there would be granted the old
// inode once the new file is in place and go on with stale bytes. It lives
// on "<script>.qelta-lock" beside it, which no write replaces. The first
// run that needs it makes it; it goes when the last run using it ends, and
// one left by a killed run is empty and harmless and goes with the next.
//
// A write's temporary file stays locked by its writer for as long as it
// exists, so one that somebody else can lock was left by a killed write.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {

const char LockSuffix[] = ".qelta-lock";
const char TempSuffix[] = ".qelta";  // followed by mkstemp's six characters
const size_t TempRandom = 6;
unsigned LockLimitMs = 10000;

enum WaitResult { WAIT_LOCKED, WAIT_NO_LOCK, WAIT_TIMED_OUT };

// The lock files this process used and the scripts it has cleaned up
// beside. Never freed: the exit handler reads the first.
std::vector<std::string> *UsedLockFiles;
std::vector<std::string> *CleanedScripts;

int Contains(const std::vector<std::string> &list, const std::string &s) {
    for (const std::string &x : list)
        if (x == s) return 1;
    return 0;
}

int SameFile(int fd, const char *path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int IsRegular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// At the end of the process: a lock file that no other run holds goes. A
// run that opened it meanwhile finds it gone once it has the lock, and
// makes a new one.
void RemoveUnusedLockFiles(void) {
    for (const std::string &path : *UsedLockFiles) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, path.c_str())) unlink(path.c_str());
        close(fd);
    }
}

void RememberLockFile(const std::string &path) {
    if (UsedLockFiles == nullptr) {
        UsedLockFiles = new std::vector<std::string>;
        atexit(RemoveUnusedLockFiles);
    }
    if (!Contains(*UsedLockFiles, path)) UsedLockFiles->push_back(path);
}

// ---- waiting for a lock ------------------------------------------------------------

void IgnoreAlarm(int) {}

// A one-shot timer that interrupts this thread's blocking calls.
struct WaitTimer {
    int sig;
    timer_t id;
    struct sigaction old;
    sigset_t oldMask;
};

int StartWaitTimer(WaitTimer *t, unsigned ms) {
    t->sig = SIGRTMIN + 1;
    struct sigaction sa = {};
    sa.sa_handler = IgnoreAlarm;  // no SA_RESTART: the wait must return
    sigemptyset(&sa.sa_mask);
    if (sigaction(t->sig, &sa, &t->old) != 0) return 0;
    struct sigevent ev = {};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = t->sig;
    ev.sigev_notify_thread_id = gettid();
    struct itimerspec when = {};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = (long)(ms % 1000) * 1000000L;
    if (timer_create(CLOCK_MONOTONIC, &ev, &t->id) != 0) {
        sigaction(t->sig, &t->old, nullptr);
        return 0;
    }
    timer_settime(t->id, 0, &when, nullptr);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, t->sig);
    pthread_sigmask(SIG_UNBLOCK, &mask, &t->oldMask);
    return 1;
}

int TimerExpired(const WaitTimer *t) {
    struct itimerspec left;
    return timer_gettime(t->id, &left) != 0 || (left.it_value.tv_sec == 0 && left.it_value.tv_nsec == 0);
}

// The timer goes before the handler does: a signal it raised is delivered
// by the time timer_delete returns.
void StopWaitTimer(WaitTimer *t) {
    timer_delete(t->id);
    pthread_sigmask(SIG_SETMASK, &t->oldMask, nullptr);
    sigaction(t->sig, &t->old, nullptr);
}

WaitResult PollForLock(int fd, unsigned ms) {
    for (unsigned waited = 0; waited < ms; waited++) {
        struct timespec step = {0, 1000000};
        nanosleep(&step, nullptr);
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return WAIT_LOCKED;
    }
    return WAIT_TIMED_OUT;
}

// The wait blocks in the kernel, which hands the lock to a waiter as soon
// as it is released: a waiter that polled would starve beside a run that
// writes without pause. Other signals (Ctrl-C) do not end it early.
WaitResult LockWithin(int fd, unsigned ms) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return WAIT_LOCKED;
    if (errno != EWOULDBLOCK) return WAIT_NO_LOCK;
    WaitTimer timer;
    if (!StartWaitTimer(&timer, ms)) return PollForLock(fd, ms);
    WaitResult result = WAIT_TIMED_OUT;
    for (;;) {
        if (flock(fd, LOCK_EX) == 0) {
            result = WAIT_LOCKED;
            break;
        }
        if (errno != EINTR) {
            result = WAIT_NO_LOCK;
            break;
        }
        if (TimerExpired(&timer)) break;
    }
    StopWaitTimer(&timer);
    return result;
}

// ---- the lock file -------------------------------------------------------------------

// The lock file, made if need be; -1 when it can be neither made nor
// opened. Never through a link planted in its place, never a FIFO.
int OpenLockFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 && !IsRegular(fd)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// In a folder where no lock file can be made no temporary file can be
// either: writes rewrite the script where it stands, so its own inode
// lasts and can carry the lock.
int LockScriptItself(const char *target, unsigned ms) {
    int fd = open(target, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return PROFILE_UNLOCKED;
    WaitResult r = IsRegular(fd) ? LockWithin(fd, ms) : WAIT_NO_LOCK;
    if (r == WAIT_LOCKED) return fd;
    close(fd);
    return r == WAIT_TIMED_OUT ? PROFILE_LOCK_TIMEOUT : PROFILE_UNLOCKED;
}

int IsTempName(const char *name, const std::string &base) {
    size_t n = base.size(), s = sizeof(TempSuffix) - 1;
    if (strlen(name) != n + s + TempRandom || base.compare(0, n, name, n) != 0) return 0;
    if (strncmp(name + n, TempSuffix, s) != 0) return 0;
    for (const char *p = name + n + s; *p; p++)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9'))) return 0;
    return 1;
}

}  // namespace

int PosixLockProfile(const char *target) {
    std::string path = std::string(target) + LockSuffix;
    unsigned long start = PlatMilliseconds();
    for (;;) {
        unsigned long spent = PlatMilliseconds() - start;
        unsigned left = spent < LockLimitMs ? LockLimitMs - (unsigned)spent : 0;
        int fd = OpenLockFile(path);
        if (fd < 0) return LockScriptItself(target, left);
        RememberLockFile(path);
        WaitResult r = LockWithin(fd, left);
        if (r == WAIT_LOCKED && SameFile(fd, path.c_str())) return fd;
        close(fd);
        if (r == WAIT_NO_LOCK) return PROFILE_UNLOCKED;
        if (r == WAIT_TIMED_OUT) return PROFILE_LOCK_TIMEOUT;
        // The run that held it ended and removed it: take the new one.
    }
}

void PosixUnlockProfile(int lock) {
    if (lock >= 0) close(lock);
}

std::string PosixProfileTempTemplate(const char *target) {
    return std::string(target) + TempSuffix + std::string(TempRandom, 'X');
}

void PosixRemoveProfileLeftovers(const char *target) {
    if (CleanedScripts == nullptr) CleanedScripts = new std::vector<std::string>;
    if (Contains(*CleanedScripts, target)) return;
    CleanedScripts->push_back(target);
    const char *slash = strrchr(target, '/');
    std::string dir = slash == nullptr ? "." : slash == target ? "/" : std::string(target, slash);
    std::string base = slash == nullptr ? target : slash + 1;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
        if (!IsTempName(e->d_name, base)) continue;
        int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        if (IsRegular(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0) unlinkat(dirfd(d), e->d_name, 0);
        close(fd);
    }
    closedir(d);
}

void PosixSetProfileLockLimit(unsigned ms) { LockLimitMs = ms; }
