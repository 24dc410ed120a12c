// The dial-up service on POSIX: NetworkManager, asked through its
// command-line client nmcli, one run per question, each waited for. Entries
// are NetworkManager's connection names; dialling is "connection up",
// hanging up "connection down"; an error code is nmcli's exit status and
// its text what nmcli said on standard error.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

// nmcli's own exit statuses lie below 100; these codes are ours.
enum {
    NmcliTimeout = 3,
    NmcliNoSuchConnection = 10,
    NoAnswer = 124,
    NoSecretsFile = 125,
    NotStarted = 127,
    KilledBy = 128,  // plus the signal's number
};

// How long nmcli waits for NetworkManager (its --wait), and how much longer
// we wait for nmcli before we stop it: a hung client must not hold the run
// for ever, since nothing else runs while we wait.
const int ListLimit = 30, UpWait = 90, DownWait = 30, Grace = 15;
const size_t MostOutput = 1 << 20;

struct ExitText {
    int code;
    const char *text;
};
const ExitText ExitTexts[] = {
    {1, "nmcli: unknown or unspecified error."},
    {2, "nmcli: invalid user input or invocation."},
    {3, "nmcli: timeout expired."},
    {4, "nmcli: connection activation failed."},
    {5, "nmcli: connection deactivation failed."},
    {6, "nmcli: disconnecting device failed."},
    {8, "nmcli: NetworkManager is not running."},
    {10, "nmcli: connection, device or access point does not exist."},
    {NoAnswer, "nmcli did not answer in time and was stopped."},
    {NoSecretsFile, "The user name and password could not be written for nmcli."},
    {NotStarted, "nmcli could not be started."},
};

std::string Nmcli;                // its path while the service is loaded
std::vector<std::string> Listed;  // the last listing's UUIDs: handle i + 1
std::string Dialled;              // the entry of the last dial
const PlatDialHandle DialledHandle = ~(PlatDialHandle)0;
int LastCode = 0;
std::string LastMessage;  // what nmcli said when it returned LastCode

// The credentials as nmcli's passwd-file offers them to NetworkManager:
// "setting.property:value", under the settings that dial-up kinds of
// connection keep them in. NetworkManager takes those it asks for.
const char *const UserKeys[] = {"gsm.username", "cdma.username", "pppoe.username",
                                "802-1x.identity"};
const char *const PasswordKeys[] = {"gsm.password", "cdma.password", "pppoe.password",
                                    "802-1x.password", "vpn.secrets.password"};

}  // namespace

static void Wipe(std::string *s) {
    volatile char *v = s->empty() ? nullptr : &(*s)[0];
    for (size_t i = 0; i < s->size(); i++) v[i] = 0;
    s->clear();
}

// Records a failure for PlatDialErrorText and returns its code. The text
// is kept on one line.
static int Failed(int code, const std::string &message) {
    LastCode = code;
    LastMessage.clear();
    for (char c : message) LastMessage.push_back(c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
    while (!LastMessage.empty() && LastMessage.back() == ' ') LastMessage.pop_back();
    return code;
}

// ---- running nmcli -----------------------------------------------------------------

// Reads standard output and standard error until both close; 0 when the
// deadline passes first.
static int Collect(const int fds[2], std::string *texts[2], unsigned long deadline) {
    struct pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        long left = (long)(deadline - PlatMilliseconds());
        if (left <= 0) return 0;
        int r = poll(p, 2, (int)left);
        if (r < 0 && errno != EINTR) return 0;
        for (int i = 0; r > 0 && i < 2; i++) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                p[i].fd = -1;
                open--;
            } else if (texts[i]->size() < MostOutput) {
                texts[i]->append(buf, (size_t)n);
            }
        }
    }
    return 1;
}

static int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

static pid_t Spawn(const std::vector<std::string> &args, int out, int err) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("nmcli"));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_adddup2(&fa, err, 2);
    posix_spawnattr_t attr;
    // A process group of its own, so that an nmcli that overruns can be
    // stopped with whatever it started.
    PosixChildAttributes(&attr);
    pid_t pid;
    int rc = posix_spawn(&pid, Nmcli.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

// Runs nmcli with args and waits at most limit seconds. 0 with its standard
// output in *out, or the failure's code.
static int RunNmcli(const std::vector<std::string> &args, int limit, std::string *out) {
    out->clear();
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return Failed(NotStarted, strerror(errno));
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return Failed(NotStarted, strerror(errno));
    }
    pid_t pid = Spawn(args, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    std::string err;
    int finished = 0;
    if (pid > 0) {
        const int fds[2] = {outPipe[0], errPipe[0]};
        std::string *texts[2] = {out, &err};
        finished = Collect(fds, texts, PlatMilliseconds() + (unsigned long)limit * 1000ul);
        if (!finished) kill(-pid, SIGKILL);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (pid <= 0) return Failed(NotStarted, "");
    int status = WaitFor(pid);
    if (!finished) return Failed(NoAnswer, "");
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    int code = status < 0            ? NotStarted
               : WIFEXITED(status)   ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? KilledBy + WTERMSIG(status)
                                     : NotStarted;
    return Failed(code, err);
}

// ---- loading ---------------------------------------------------------------------

static int IsExecutableFile(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The service is there when nmcli can be started: found in PATH.
int PlatDialLoad(void) {
    const char *path = getenv("PATH");
    std::string dirs = path && path[0] ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t from = 0; from <= dirs.size();) {
        size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        std::string candidate = (to > from ? dirs.substr(from, to - from) : ".") + "/nmcli";
        if (IsExecutableFile(candidate)) {
            Nmcli = candidate;
            return 1;
        }
        from = to + 1;
    }
    Nmcli.clear();
    return 0;
}

// nmcli has every call the core makes once it can be started.
int PlatDialBind(void) { return !Nmcli.empty(); }

void PlatDialUnload(void) {
    Nmcli.clear();
    Listed.clear();
    Dialled.clear();
}

// ---- listing -----------------------------------------------------------------------

// One line of nmcli's terse output: fields parted by ':', in which "\:"
// and "\\" stand for the characters themselves.
static std::vector<std::string> TerseFields(const std::string &line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '\\' && i + 1 < line.size())
            fields.back().push_back(line[++i]);
        else if (line[i] == ':')
            fields.emplace_back();
        else
            fields.back().push_back(line[i]);
    }
    return fields;
}

int PlatDialListActive(PlatDialConnection *list, int capacity, int *count) {
    *count = 0;
    if (Nmcli.empty()) return Failed(NotStarted, "");
    std::string out;
    int rc = RunNmcli({"-t", "-f", "NAME,UUID", "connection", "show", "--active"}, ListLimit, &out);
    if (rc != 0) return rc;
    std::vector<std::vector<std::string>> rows;
    for (size_t from = 0; from < out.size();) {
        size_t to = out.find('\n', from);
        if (to == std::string::npos) to = out.size();
        std::vector<std::string> fields = TerseFields(out.substr(from, to - from));
        if (fields.size() == 2 && !fields[0].empty()) rows.push_back(fields);
        from = to + 1;
    }
    Listed.clear();
    if ((int)rows.size() > capacity) {
        *count = (int)rows.size();
        return QDIAL_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < rows.size(); i++) {
        list[i].Handle = (PlatDialHandle)(i + 1);
        CopyCut(list[i].EntryName, sizeof list[i].EntryName, rows[i][0].c_str());
        Listed.push_back(rows[i][1]);
    }
    *count = (int)rows.size();
    return 0;
}

// ---- dialling and hanging up ---------------------------------------------------------

static std::string SecretsText(const char *user, const char *password) {
    std::string text;
    text.reserve(1024);  // one buffer, so that wiping it leaves no copy behind
    for (const char *key : UserKeys)
        if (user[0]) text.append(key).append(":").append(user).append("\n");
    for (const char *key : PasswordKeys)
        if (password[0]) text.append(key).append(":").append(password).append("\n");
    return text;
}

// The credentials go to nmcli in a file that only this user can read and
// that is removed after the call: on its command line every user of the
// machine could read them.
static int WriteSecrets(const char *user, const char *password, std::string *path) {
    const char *dir = getenv("XDG_RUNTIME_DIR");
    if (!dir || dir[0] != '/') dir = getenv("TMPDIR");
    if (!dir || dir[0] != '/') dir = "/tmp";
    std::string name = std::string(dir) + "/qelta-dial-XXXXXX";
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) return 0;
    std::string text = SecretsText(user, password);
    int ok = fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += (size_t)n;
    }
    Wipe(&text);
    if (close(fd) != 0) ok = 0;
    if (!ok) unlink(name.c_str());
    *path = name;
    return ok;
}

int PlatDialConnect(const char *entry, const char *user, const char *password,
                    PlatDialHandle *handle) {
    *handle = 0;
    if (Nmcli.empty()) return Failed(NotStarted, "");
    std::vector<std::string> args = {"--wait", std::to_string(UpWait), "connection", "up",
                                     "id", entry};
    std::string file;
    if (user[0] || password[0]) {
        if (!WriteSecrets(user, password, &file)) return Failed(NoSecretsFile, strerror(errno));
        args.push_back("passwd-file");
        args.push_back(file);
    }
    std::string out;
    int rc = RunNmcli(args, UpWait + Grace, &out);
    if (!file.empty()) unlink(file.c_str());
    Dialled = entry;
    // After a time-out NetworkManager may still be activating it: the
    // handle lets the caller call that off.
    if (rc == 0 || rc == NmcliTimeout || rc == NoAnswer) *handle = DialledHandle;
    return rc;
}

int PlatDialHangUp(PlatDialHandle handle) {
    if (Nmcli.empty()) return Failed(NotStarted, "");
    std::vector<std::string> args = {"--wait", std::to_string(DownWait), "connection", "down"};
    if (handle == DialledHandle && !Dialled.empty()) {
        args.push_back("id");
        args.push_back(Dialled);
    } else if (handle >= 1 && handle <= Listed.size()) {
        args.push_back("uuid");
        args.push_back(Listed[handle - 1]);
    } else {
        return Failed(NmcliNoSuchConnection, "");
    }
    std::string out;
    return RunNmcli(args, DownWait + Grace, &out);
}

int PlatDialErrorText(int code, char *out, size_t size) {
    if (code == 0 || size == 0) return 0;
    if (code == LastCode && !LastMessage.empty()) {
        CopyCut(out, size, LastMessage.c_str());
        return 1;
    }
    for (const ExitText &e : ExitTexts)
        if (e.code == code) {
            CopyCut(out, size, e.text);
            return 1;
        }
    if (code > KilledBy && code < KilledBy + 65) {
        FormatCut(out, size, "nmcli ended on signal %d.", code - KilledBy);
        return 1;
    }
    return 0;
}

void PlatSleep(unsigned ms) {
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
