// Message boxes and prompts on the controlling terminal (/dev/tty), so
// that they work whatever standard input and output are. Without a
// terminal nothing waits: an OK box is printed to standard error, a Yes/No
// box answers No (nothing is deleted or sent on a guess), a prompt counts
// as Cancel. A signal during a prompt ends it the same way; the loop then
// delivers the signal.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/resource.h"
#include "base/text.h"
#include "platform/posix/posix_internal.h"

extern char **environ;

int PosixOpenTty(void) { return open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); }

static void WriteAllTo(int fd, const std::string &s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += (size_t)n;
    }
}

// The program's texts end lines in CR LF; a terminal wants LF. Other
// control bytes (C1 ones too) and stray bytes are shown as '?' so no text
// can steer the terminal.
static std::string TerminalText(const char *text) {
    std::string out;
    for (const char *s = text; *s;) {
        int n = PosixPrintableLength(s);
        if (n > 0)
            out.append(s, (size_t)n);
        else if (*s != '\r')
            out.push_back(*s == '\n' || *s == '\t' ? *s : '?');
        s += n > 0 ? n : 1;
    }
    return out;
}

// Reads one line; the part beyond size - 1 is read and dropped. Returns
// its length, or -1 at the end of input, on an error or on a signal.
static int ReadLine(int fd, char *buf, size_t size) {
    size_t n = 0;
    for (;;) {
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got <= 0) return -1;
        if (c == '\n') break;
        if (n + 1 < size) buf[n++] = c;
    }
    if (n > 0 && buf[n - 1] == '\r') n--;
    buf[n] = 0;
    return (int)n;
}

static const char *SkipBlanks(const char *s) {
    while (*s == ' ' || *s == '\t') s++;
    return s;
}

// ---- message boxes ------------------------------------------------------------

static int AskYesNo(int fd) {
    for (;;) {
        WriteAllTo(fd, "[y/n] ");
        char line[64];
        if (ReadLine(fd, line, sizeof line) < 0) return QID_NO;
        char c = *SkipBlanks(line);
        if (c == 'y' || c == 'Y') return QID_YES;
        if (c == 'n' || c == 'N') return QID_NO;
    }
}

static int NoTerminalBox(const char *text, const char *title, int buttons) {
    if (buttons == QMB_YESNO) return QID_NO;
    std::string out = TerminalText(title) + ": " + TerminalText(text);
    if (out.empty() || out.back() != '\n') out.push_back('\n');
    WriteAllTo(2, out);
    DisplayInterrupted();
    return QID_OK;
}

int PlatMessageBox(const char *text, const char *title, int buttons) {
    int fd = PosixOpenTty();
    if (fd < 0) return NoTerminalBox(text, title, buttons);
    std::string out = "\n" + TerminalText(title) + "\n" + TerminalText(text);
    if (out.back() != '\n') out.push_back('\n');
    WriteAllTo(fd, out);
    int answer = QID_OK;
    if (buttons == QMB_YESNO) {
        answer = AskYesNo(fd);
    } else {
        WriteAllTo(fd, "[Enter] ");
        char line[64];
        ReadLine(fd, line, sizeof line);
    }
    close(fd);
    DisplayInterrupted();
    return answer;
}

// ---- the script path ----------------------------------------------------------------

static int LooksDos(const char *p) {
    int drive = ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
    return drive || strchr(p, '\\') != nullptr;
}

// The answer in the DOS form the core works with: a POSIX path is made
// absolute and taken through the drive map; a path no drive holds is
// passed on as typed.
static int ToDosPath(const char *typed, char *out, size_t size) {
    if (LooksDos(typed)) return CopyCut(out, size, typed);
    std::string full = typed;
    if (typed[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return 0;
        full = std::string(cwd) + "/" + typed;
    }
    if (PosixUnmapPath(full.c_str(), out, size)) return 1;
    return CopyCut(out, size, full.c_str());
}

static int IsRegularFile(const char *dos) {
    char posix[4096];
    struct stat st;
    if (!PosixMapPath(dos, posix, sizeof posix)) return 0;
    return stat(posix, &st) == 0 && S_ISREG(st.st_mode);
}

static int AskPathOn(int fd, const char *title, const char *filter, char *out, size_t size) {
    WriteAllTo(fd, "\n" + TerminalText(title) + "\n");
    if (filter && filter[0]) WriteAllTo(fd, TerminalText(filter) + "\n");
    for (;;) {
        WriteAllTo(fd, "Script path (empty to cancel): ");
        char line[1024];
        if (ReadLine(fd, line, sizeof line) <= 0) return 0;
        const char *typed = SkipBlanks(line);
        if (!typed[0]) return 0;
        char dos[512];
        if (!ToDosPath(typed, dos, sizeof dos) || !IsRegularFile(dos)) {
            WriteAllTo(fd, "File not found: " + TerminalText(typed) + "\n");
            continue;
        }
        if (CopyCut(out, size, dos)) return 1;
        WriteAllTo(fd, "Path too long: " + TerminalText(typed) + "\n");
    }
}

int PlatAskScriptPath(const char *title, const char *filter, char *out, size_t size) {
    int fd = PosixOpenTty();
    if (fd < 0) return 0;
    int ok = AskPathOn(fd, title, filter, out, size);
    close(fd);
    DisplayInterrupted();
    return ok;
}

// ---- the password -------------------------------------------------------------------

int PlatAskPassword(PlatWindow owner, const char *host, char *out, size_t size) {
    int fd = PosixOpenTty();
    if (fd < 0) return 0;
    struct termios saved, quiet;
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return 0;
    }
    // Echo goes off before the prompt shows, so nothing typed in answer
    // to it is echoed or thrown away with the typed-ahead input.
    quiet = saved;
    quiet.c_lflag &= ~(tcflag_t)ECHO;
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
    WriteAllTo(fd, "\nPassword for " + TerminalText(host ? host : "") + ": ");
    char line[256];
    int n = ReadLine(fd, line, sizeof line);
    tcsetattr(fd, TCSANOW, &saved);
    if (n < 0) WriteAllTo(fd, "\n");
    close(fd);
    DisplayInterrupted();
    int ok = n >= 0 && size > 0;
    if (ok) CopyCut(out, size, line);
    explicit_bzero(line, sizeof line);
    return ok;
}

// ---- the editor -------------------------------------------------------------------------

static const char *EditorCommand(void) {
    static const char *const Variables[] = {"VISUAL", "EDITOR"};
    for (const char *name : Variables) {
        const char *v = getenv(name);
        if (v && *SkipBlanks(v)) return v;
    }
    return "vi";
}

// The editor variable may hold arguments ("emacs -nw"), so a shell reads
// it; the path goes as a separate argument and is never parsed by it.
int PlatEditFile(const char *path) {
    char posix[4096];
    if (!PosixMapPath(path, posix, sizeof posix)) return 0;
    int tty = PosixOpenTty();
    if (tty < 0) return 0;
    std::string script = std::string("exec ") + EditorCommand() + " \"$1\"";
    char *argv[] = {(char *)"sh", (char *)"-c", (char *)script.c_str(), (char *)"sh", posix,
                    nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (int target = 0; target < 3; target++) posix_spawn_file_actions_adddup2(&fa, tty, target);
    // SIGPIPE is ignored here; the editor must not inherit that.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close(tty);
    if (rc != 0) return 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    DisplayInterrupted();
    return 1;
}

// ---- the string table -------------------------------------------------------------------

static const struct {
    int id;
    const char *text;
} Strings[] = {
    {IDS_SCRIPT_FILTER, STR_SCRIPT_FILTER},
};

int PlatLoadString(void *instance, int id, char *out, size_t size) {
    for (const auto &s : Strings)
        if (s.id == id) {
            if (size == 0) return 0;
            CopyCut(out, size, s.text);
            return (int)strlen(out);
        }
    if (size > 0) out[0] = 0;
    return 0;
}
