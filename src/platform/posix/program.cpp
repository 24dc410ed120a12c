// Starting programs as WinExec does, the global atoms as marker files,
// and the clock.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

extern char **environ;

namespace {

// WinExec's results: above 31 is success; 2 is "file not found".
const int StartedResult = 33;
const int NotFoundResult = 2;

std::vector<pid_t> Children;

}  // namespace

// ---- splitting a command line --------------------------------------------------

namespace {

struct WordBuffer {
    char *buf;
    size_t size, used;
    char **argv;
    int maxWords, count;
    char *start;
};

}  // namespace

static int Put(WordBuffer *b, char c) {
    if (b->used + 1 >= b->size) return 0;
    b->buf[b->used++] = c;
    return 1;
}

static int PutMany(WordBuffer *b, char c, size_t n) {
    while (n-- > 0)
        if (!Put(b, c)) return 0;
    return 1;
}

static void BeginWord(WordBuffer *b) { b->start = b->buf + b->used; }

static int EndWord(WordBuffer *b) {
    if (b->used >= b->size || b->count + 1 >= b->maxWords) return 0;
    b->buf[b->used++] = 0;
    b->argv[b->count++] = b->start;
    b->argv[b->count] = nullptr;
    return 1;
}

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name: up to the closing quote when quoted, else up to a
// blank; backslashes are plain characters in it.
static const char *ProgramWord(WordBuffer *b, const char *p, int *ok) {
    BeginWord(b);
    char end = *p == '"' ? '"' : 0;
    if (end) p++;
    while (*p && (end ? *p != end : !IsBlank(*p)) && (*ok = Put(b, *p))) p++;
    if (end && *p == end) p++;
    if (*ok) *ok = EndWord(b);
    return p;
}

// The other words: 2n backslashes before a quote give n and the quote
// groups; 2n + 1 give n and a literal quote; other backslashes are
// literal. Inside quotes, "" is a literal quote.
static const char *ArgumentWord(WordBuffer *b, const char *p, int *ok) {
    BeginWord(b);
    int quoted = 0;
    while (*ok && *p && (quoted || !IsBlank(*p))) {
        if (*p == '\\') {
            size_t n = strspn(p, "\\");
            if (p[n] != '"') {
                *ok = PutMany(b, '\\', n);
                p += n;
            } else {
                *ok = PutMany(b, '\\', n / 2) && (n % 2 == 0 || Put(b, '"'));
                p += n % 2 ? n + 1 : n;
            }
        } else if (*p == '"' && quoted && p[1] == '"') {
            *ok = Put(b, '"');
            p += 2;
        } else if (*p == '"') {
            quoted = !quoted;
            p++;
        } else {
            *ok = Put(b, *p++);
        }
    }
    if (*ok) *ok = EndWord(b);
    return p;
}

int PosixSplitCommandLine(const char *line, char *buf, size_t size, char **argv, int maxWords) {
    WordBuffer b = {buf, size, 0, argv, maxWords, 0, buf};
    if (maxWords < 1 || size < 1) return -1;
    argv[0] = nullptr;
    int ok = 1;
    const char *p = line;
    while (IsBlank(*p)) p++;
    if (*p) p = ProgramWord(&b, p, &ok);
    while (ok) {
        while (IsBlank(*p)) p++;
        if (!*p) break;
        p = ArgumentWord(&b, p, &ok);
    }
    return ok ? b.count : -1;
}

// ---- starting programs ------------------------------------------------------------

static int IsExecutableFile(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// The program's file, looked up in PATH when the word has no slash. A C
// library may report a failed exec only through the child's exit status;
// checking first makes "cannot be started" a result the caller sees.
static int FindProgram(const char *word, char *out, size_t size) {
    if (strchr(word, '/')) return IsExecutableFile(word) && CopyCut(out, size, word);
    const char *path = getenv("PATH");
    std::string dirs = path && path[0] ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t from = 0;
    while (from <= dirs.size()) {
        size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        std::string dir = to > from ? dirs.substr(from, to - from) : ".";
        std::string candidate = dir + "/" + word;
        if (IsExecutableFile(candidate.c_str())) return CopyCut(out, size, candidate.c_str());
        from = to + 1;
    }
    return 0;
}

static int LooksDos(const char *p) {
    int drive = ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
    return drive || strchr(p, '\\') != nullptr;
}

// The child gets the signal state of a fresh program and a process group
// of its own: Ctrl-C is the Cancel of this run, not of the programs it
// started, as on Windows.
void PosixChildAttributes(posix_spawnattr_t *attr) {
    posix_spawnattr_init(attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &defaults);
    posix_spawnattr_setpgroup(attr, 0);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                       POSIX_SPAWN_SETPGROUP);
}

static int Spawn(const char *program, char **argv, int show) {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t fa;
    PosixChildAttributes(&attr);
    posix_spawn_file_actions_init(&fa);
    if (show == 0) {  // hidden: nothing to read from, nowhere to show
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid;
    int rc = posix_spawn(&pid, program, &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return 0;
    Children.push_back(pid);
    return 1;
}

int PlatStartProgram(const char *cmdline, int show) {
    char words[2048];
    char *argv[128];
    if (PosixSplitCommandLine(cmdline, words, sizeof words, argv, 128) < 1) return NotFoundResult;
    char mapped[4096];
    if (LooksDos(argv[0])) {
        if (!PosixMapPath(argv[0], mapped, sizeof mapped)) return NotFoundResult;
        argv[0] = mapped;
    }
    char program[4096];
    if (!FindProgram(argv[0], program, sizeof program)) return NotFoundResult;
    PosixReapChildren();
    return Spawn(program, argv, show) ? StartedResult : NotFoundResult;
}

int PosixReapChildren(void) {
    for (auto it = Children.begin(); it != Children.end();) {
        int status;
        pid_t r = waitpid(*it, &status, WNOHANG);
        int gone = r == *it || (r < 0 && errno == ECHILD);
        it = gone ? Children.erase(it) : it + 1;
    }
    return (int)Children.size();
}

// ---- global atoms -------------------------------------------------------------------
// A marker file per atom in a private folder, named after the atom's text
// and holding it, so that other programs can see which scripts run.

namespace {

struct Atom {
    int refs;  // 0 = free slot
    char name[256];
    std::string file;
    int fd;  // the marker, held with a shared lock while the atom lives
};

enum { MaxAtoms = 16, AtomBase = 0xC000 };  // string atoms' range on Windows
Atom Atoms[MaxAtoms];

}  // namespace

// The folder must be ours alone: in /tmp anyone could have made it first.
static int PrivateFolder(const std::string &dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return 0;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

static int MarkerFolder(std::string *out) {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        *out = std::string(runtime) + "/qelta";
    else
        *out = "/tmp/qelta-" + std::to_string((unsigned long)geteuid());
    return PrivateFolder(*out);
}

// Letters, digits, '-', '_' and '.' stand for themselves (a leading '.'
// is escaped, so no name is "." or ".."); every other byte is %XX. A name
// too long for a file name keeps its start and a hash of the whole.
static std::string MarkerName(const char *name) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char *s = (const unsigned char *)name; *s; s++) {
        int plain = (*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z') ||
                    (*s >= '0' && *s <= '9') || *s == '-' || *s == '_' ||
                    (*s == '.' && s != (const unsigned char *)name);
        if (plain) {
            out.push_back((char)*s);
        } else {
            out.push_back('%');
            out.push_back(Hex[*s >> 4]);
            out.push_back(Hex[*s & 15]);
        }
    }
    if (out.size() <= 200) return out;
    uint64_t h = 1469598103934665603ull;
    for (const unsigned char *s = (const unsigned char *)name; *s; s++) h = (h ^ *s) * 1099511628211ull;
    char tail[24];
    FORMATCUT(tail, "~%016llx", (unsigned long long)h);
    return out.substr(0, 180) + tail;
}

// Every process that holds the atom holds the marker open with a shared
// lock, so that, as with Windows' count of a global atom, the marker goes
// only with the last of two runs of one script. A marker removed between
// our open and our lock is made again.
static int HoldMarker(const std::string &file, const char *name) {
    for (int attempt = 0; attempt < 8; attempt++) {
        int fd = open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        struct stat held, named;
        if (flock(fd, LOCK_SH) != 0 || fstat(fd, &held) != 0) {
            close(fd);
            return -1;
        }
        if (stat(file.c_str(), &named) == 0 && named.st_ino == held.st_ino && named.st_dev == held.st_dev) {
            size_t len = strlen(name);
            if (held.st_size == 0 && pwrite(fd, name, len, 0) != (ssize_t)len) {
                close(fd);
                return -1;
            }
            return fd;
        }
        close(fd);
    }
    return -1;
}

// Removes the marker unless another process still holds it.
static int ReleaseMarker(const std::string &file, int fd) {
    int ok = 1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) ok = unlink(file.c_str()) == 0 || errno == ENOENT;
    close(fd);
    return ok;
}

unsigned short PlatAddAtom(const char *name) {
    if (!name || !name[0] || strlen(name) > 255) return 0;
    for (int i = 0; i < MaxAtoms; i++)
        if (Atoms[i].refs > 0 && strcmp(Atoms[i].name, name) == 0) {
            Atoms[i].refs++;
            return (unsigned short)(AtomBase + i);
        }
    std::string dir;
    if (!MarkerFolder(&dir)) return 0;
    for (int i = 0; i < MaxAtoms; i++) {
        if (Atoms[i].refs > 0) continue;
        std::string file = dir + "/" + MarkerName(name);
        int fd = HoldMarker(file, name);
        if (fd < 0) return 0;
        Atoms[i].refs = 1;
        COPYCUT(Atoms[i].name, name);
        Atoms[i].file = file;
        Atoms[i].fd = fd;
        return (unsigned short)(AtomBase + i);
    }
    return 0;
}

int PlatDeleteAtom(unsigned short atom) {
    int i = (int)atom - AtomBase;
    if (i < 0 || i >= MaxAtoms || Atoms[i].refs == 0) return 0;
    if (--Atoms[i].refs > 0) return 1;
    // A marker someone else removed is gone all the same.
    int ok = ReleaseMarker(Atoms[i].file, Atoms[i].fd);
    Atoms[i].fd = -1;
    Atoms[i].file.clear();
    Atoms[i].name[0] = 0;
    return ok;
}

// ---- clock --------------------------------------------------------------------------

static void TakeTime(const struct tm &tm, PlatLocalTime *t) {
    t->year = tm.tm_year + 1900;
    t->month = tm.tm_mon + 1;
    t->day = tm.tm_mday;
    t->weekday = tm.tm_wday;
    t->hour = tm.tm_hour;
    t->minute = tm.tm_min;
    t->second = tm.tm_sec;
}

void PlatNow(PlatLocalTime *t) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    TakeTime(tm, t);
}

void PlatNowUtc(PlatLocalTime *t) {
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    TakeTime(tm, t);
}

unsigned long PlatMilliseconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long)ts.tv_sec * 1000ul + (unsigned long)(ts.tv_nsec / 1000000);
}
