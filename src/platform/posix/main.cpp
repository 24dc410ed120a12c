// The entry point of the Linux program. --help and --version answer at
// once, and --check checks scripts without running them; any other word
// beginning with "--" is refused, so that a mistyped
// option is never taken for a script. The other words of the command line
// are joined as Windows hands a command line over; a script given as an
// absolute POSIX path goes to the core in its DOS form, so that the run
// files land beside it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/version.h"
#include "platform/posix/posix_internal.h"

static const char Usage[] =
    "Usage: qelta [--] [SCRIPT]\n"
    "       qelta --check [--strict] SCRIPT...\n"
    "       qelta --help | --version\n"
    "\n"
    "Runs the FTP script SCRIPT unattended: the numbered command lines of its\n"
    "[QELTA] section, with the options of its [Settings] section. The outcome\n"
    "of every command and of the run is written back to its [STATUS] section;\n"
    "the log (.log) and error log (.err) are written beside it. Without SCRIPT\n"
    "the script's path is asked for on the terminal.\n"
    "\n"
    "The exit status is 0, or with ProcessExitCode=1 in [Settings] 0 after\n"
    "\"Success\" and 1 after \"Failure\"; 2 for a wrong option.\n"
    "\n"
    "  --check    read each SCRIPT as a run would, run nothing, write nothing,\n"
    "             and print a line SCRIPT:LINE: message for each mistake found;\n"
    "             exit 0 when there is none, 1 when there are, 2 when a\n"
    "             SCRIPT cannot be read; warnings (a password written in the\n"
    "             script) are printed but count only with --strict\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "  --         end of options: every later word is part of SCRIPT\n"
    "\n"
    "See qelta(1) for the script language and every setting.\n";

enum { OptionsDone = -1, ExitUsage = 2, ExitUnreadable = 2 };

// ---- --check ---------------------------------------------------------------------

static int ReadWholeFile(const char *path, std::string *bytes) {
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->append(chunk, n);
    int ok = !ferror(f);
    if (!ok && errno == 0) errno = EIO;
    fclose(f);
    return ok;
}

struct Checked {
    const char *path;
    int warnings;
};

static void PrintFinding(void *context, long line, const char *message) {
    Checked *c = static_cast<Checked *>(context);
    printf("%s:%ld: %s\n", c->path, line, message);
    c->warnings += strncmp(message, "warning: ", 9) == 0;
}

// 0 for a sound script, 1 for one with findings (or, strict, warnings),
// 2 for one not read.
static int CheckOne(const char *path, int strict) {
    std::string bytes;
    errno = 0;
    if (!ReadWholeFile(path, &bytes)) {
        fprintf(stderr, "qelta: cannot read %s: %s\n", path, strerror(errno ? errno : EIO));
        return ExitUnreadable;
    }
    Checked c = {path, 0};
    int findings = CheckScript(bytes.data(), bytes.size(), PrintFinding, &c);
    return findings > 0 || (strict && c.warnings > 0) ? 1 : 0;
}

// The words after --check are scripts, each on its own; the worst result
// of them is the exit status.
static int CheckScripts(int argc, char **argv, int first) {
    int status = 0, optionsEnded = 0, scripts = 0, strict = 0;
    for (int i = first; i < argc; i++) {
        if (!optionsEnded && strcmp(argv[i], "--") == 0) {
            optionsEnded = 1;
            continue;
        }
        if (!optionsEnded && scripts == 0 && strcmp(argv[i], "--strict") == 0) {
            strict = 1;
            continue;
        }
        int result = CheckOne(argv[i], strict);
        if (result > status) status = result;
        scripts++;
    }
    if (scripts == 0) {
        fputs("qelta: --check needs a script (try 'qelta --help')\n", stderr);
        return ExitUsage;
    }
    return fflush(stdout) == 0 ? status : ExitUnreadable;
}

// Sorts the words of the command line into options, handled here, and the
// words of the script's path. Returns OptionsDone, or the exit status.
static int TakeOptions(int argc, char **argv, std::vector<const char *> *pathWords) {
    int optionsEnded = 0;
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (optionsEnded || strncmp(word, "--", 2) != 0) {
            pathWords->push_back(word);
        } else if (strcmp(word, "--") == 0) {
            optionsEnded = 1;
        } else if (strcmp(word, "--help") == 0) {
            fputs(Usage, stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        } else if (strcmp(word, "--check") == 0) {
            return CheckScripts(argc, argv, i + 1);
        } else if (strcmp(word, "--version") == 0) {
            puts(QELTA_VERSION_TEXT);
            return fflush(stdout) == 0 ? 0 : 1;
        } else {
            fprintf(stderr, "qelta: unknown option '%s' (try 'qelta --help')\n", word);
            return ExitUsage;
        }
    }
    return OptionsDone;
}

int main(int argc, char **argv) {
    std::vector<const char *> words;
    int status = TakeOptions(argc, argv, &words);
    if (status != OptionsDone) return status;
    LoopInstallSignals();
    std::string cmdline;
    for (size_t i = 0; i < words.size(); i++) {
        if (i > 0) cmdline.push_back(' ');
        cmdline += words[i];
    }
    // A quoted path, as shell associations pass it, keeps its quotes for
    // the core, which removes them.
    bool quoted = cmdline.size() >= 2 && cmdline.front() == '"' && cmdline.back() == '"';
    std::string path = quoted ? cmdline.substr(1, cmdline.size() - 2) : cmdline;
    std::string dos = cmdline;
    if (!path.empty() && path[0] == '/') {
        std::vector<char> out(path.size() + 64);
        if (!PosixUnmapPath(path.c_str(), out.data(), out.size())) {
            // No drive holds it: as a DOS path it would name another file.
            std::string text = "Can not open script file " + path;
            PlatMessageBox(text.c_str(), "QELTA Error", QMB_OK);
            return 0;
        }
        dos = quoted ? "\"" + std::string(out.data()) + "\"" : std::string(out.data());
    }
    static int instance;
    return QeltaMain(&instance, 0, dos.c_str(), 1);
}
