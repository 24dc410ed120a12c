// Program start as WinExec, atoms as marker files, and the prompts with
// and without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace {

std::vector<std::string> Split(const char *line) {
    char buf[512];
    char *argv[16];
    int n = PosixSplitCommandLine(line, buf, sizeof buf, argv, 16);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) out.push_back(argv[i]);
    if (n >= 0) EXPECT_EQ(argv[n], nullptr);
    return out;
}

std::string TempDir(void) {
    char path[] = "/tmp/qelta-unit-XXXXXX";
    const char *d = mkdtemp(path);
    EXPECT_NE(d, nullptr);
    return d ? d : "/tmp";
}

std::string ReadAll(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Waits up to two seconds for a file with content.
bool AppearsWithin(const std::string &path) {
    for (int i = 0; i < 200; i++) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool ReapedWithin(void) {
    for (int i = 0; i < 200; i++) {
        if (PosixReapChildren() == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(CommandLineSplit, FollowsTheWindowsRules) {
    typedef std::vector<std::string> W;
    EXPECT_EQ(Split(""), W{});
    EXPECT_EQ(Split("   \t "), W{});
    EXPECT_EQ(Split("prog a  b\tc"), (W{"prog", "a", "b", "c"}));
    EXPECT_EQ(Split("  prog  "), W{"prog"});
    EXPECT_EQ(Split("\"C:\\Program Files\\x.exe\" one \"two three\""),
              (W{"C:\\Program Files\\x.exe", "one", "two three"}));
    // The program name keeps its backslashes even before a quote.
    EXPECT_EQ(Split("C:\\dir\\ \"a\""), (W{"C:\\dir\\", "a"}));
    EXPECT_EQ(Split("p a\\\\b \\\"x\\\" \"c\\\\\" d"), (W{"p", "a\\\\b", "\"x\"", "c\\", "d"}));
    EXPECT_EQ(Split("p \"say \"\"hi\"\"\" x"), (W{"p", "say \"hi\"", "x"}));
    EXPECT_EQ(Split("p a\"b c\"d \"\""), (W{"p", "ab cd", ""}));
    EXPECT_EQ(Split("p \"open to the end"), (W{"p", "open to the end"}));
}

TEST(CommandLineSplit, RefusesWhatDoesNotFit) {
    char buf[8];
    char *argv[3];
    EXPECT_EQ(PosixSplitCommandLine("abcdefghij", buf, sizeof buf, argv, 3), -1);
    EXPECT_EQ(PosixSplitCommandLine("a b c", buf, sizeof buf, argv, 3), -1);
    EXPECT_EQ(PosixSplitCommandLine("a b", buf, sizeof buf, argv, 3), 2);
}

TEST(StartProgram, AProgramThatCannotBeStartedIsBelow32) {
    std::string dir = TempDir();
    std::string plain = dir + "/plain.txt";
    std::ofstream(plain) << "not a program\n";
    chmod(plain.c_str(), 0644);
    EXPECT_EQ(PlatStartProgram("/no/such/program", 1), 2);
    EXPECT_EQ(PlatStartProgram("no-such-program-on-the-path x", 1), 2);
    EXPECT_EQ(PlatStartProgram(plain.c_str(), 1), 2);
    EXPECT_EQ(PlatStartProgram(dir.c_str(), 1), 2);
    EXPECT_EQ(PlatStartProgram("", 1), 2);
    EXPECT_EQ(PlatStartProgram("Q:\\unmapped\\drive.exe", 1), 2);
    unlink(plain.c_str());
    rmdir(dir.c_str());
}

TEST(StartProgram, StartsWithoutWaitingAndReapsTheChild) {
    std::string dir = TempDir();
    std::string out = dir + "/out";
    std::string line = "/bin/sh -c \"sleep 0.2; echo started > " + out + "\"";
    unsigned long start = PlatMilliseconds();
    EXPECT_EQ(PlatStartProgram(line.c_str(), 1), 33);
    EXPECT_LT(PlatMilliseconds() - start, 150u);
    ASSERT_TRUE(AppearsWithin(out));
    EXPECT_EQ(ReadAll(out), "started\n");
    EXPECT_TRUE(ReapedWithin());
    unlink(out.c_str());
    rmdir(dir.c_str());
}

TEST(StartProgram, FindsThePathAndMapsADosProgramPath) {
    std::string dir = TempDir();
    std::string out = dir + "/out";
    // C: is / unless the drive map says otherwise.
    unsetenv("QELTA_DRIVE_C");
    std::string line = "C:\\bin\\sh -c \"echo dos > " + out + "\"";
    EXPECT_EQ(PlatStartProgram(line.c_str(), 1), 33);
    ASSERT_TRUE(AppearsWithin(out));
    EXPECT_EQ(ReadAll(out), "dos\n");
    unlink(out.c_str());
    line = "sh -c \"echo path > " + out + "\"";
    EXPECT_EQ(PlatStartProgram(line.c_str(), 1), 33);
    ASSERT_TRUE(AppearsWithin(out));
    EXPECT_EQ(ReadAll(out), "path\n");
    EXPECT_TRUE(ReapedWithin());
    unlink(out.c_str());
    rmdir(dir.c_str());
}

TEST(StartProgram, HiddenGivesNullInputAndOutputAndADefaultSigpipe) {
    std::string dir = TempDir();
    std::string out = dir + "/out";
    // The shell's own descriptors are what the child was given.
    std::string line = "/bin/sh -c \"a=$(readlink /proc/$$/fd/0 /proc/$$/fd/1); "
                       "b=$(grep SigIgn /proc/$$/status); echo $a $b > " + out + "\"";
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(PlatStartProgram(line.c_str(), 0), 33);
    ASSERT_TRUE(AppearsWithin(out));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string text = ReadAll(out);
    EXPECT_EQ(text.substr(0, 20), "/dev/null /dev/null ");
    // SIGPIPE is bit 13 of the ignored mask: the child must not inherit it.
    size_t at = text.find("SigIgn:");
    ASSERT_NE(at, std::string::npos);
    unsigned long long mask = strtoull(text.c_str() + at + 7, nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u);
    EXPECT_TRUE(ReapedWithin());
    unlink(out.c_str());
    rmdir(dir.c_str());
}

class AtomTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *old = getenv("XDG_RUNTIME_DIR");
        saved = old ? old : "";
        hadOld = old != nullptr;
        dir = TempDir();
        chmod(dir.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        if (hadOld)
            setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    int Markers() {
        int n = 0;
        std::string cmd = "ls -A '" + dir + "/qelta' 2>/dev/null | wc -l";
        FILE *p = popen(cmd.c_str(), "r");
        if (p && fscanf(p, "%d", &n) != 1) n = -1;
        if (p) pclose(p);
        return n;
    }
    std::string dir, saved;
    bool hadOld = false;
};

TEST_F(AtomTest, AMarkerNamedByTheScriptLastsUntilDeleted) {
    const char *script = "C:\\jobs\\night job.ftp";
    unsigned short atom = PlatAddAtom(script);
    ASSERT_NE(atom, 0);
    std::string marker = dir + "/qelta/C%3A%5Cjobs%5Cnight%20job.ftp";
    EXPECT_EQ(ReadAll(marker), script);
    struct stat st;
    ASSERT_EQ(stat((dir + "/qelta").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    // The same name again is the same atom, counted as Windows does.
    EXPECT_EQ(PlatAddAtom(script), atom);
    EXPECT_EQ(PlatDeleteAtom(atom), 1);
    EXPECT_EQ(Markers(), 1);
    EXPECT_EQ(PlatDeleteAtom(atom), 1);
    EXPECT_EQ(Markers(), 0);
    EXPECT_EQ(PlatDeleteAtom(atom), 0);
    EXPECT_EQ(PlatDeleteAtom(1), 0);
}

// Two runs of one script: the marker goes with the last of them.
TEST_F(AtomTest, AMarkerLastsWhileAnotherRunHoldsIt) {
    const char *script = "C:\\jobs\\twice.ftp";
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        unsigned short mine = PlatAddAtom(script);
        char c = mine ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
        _exit(PlatDeleteAtom(mine) == 1 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    unsigned short atom = PlatAddAtom(script);
    ASSERT_NE(atom, 0);
    EXPECT_EQ(PlatDeleteAtom(atom), 1);
    EXPECT_EQ(Markers(), 1);  // the other run still holds it
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Markers(), 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

TEST_F(AtomTest, NamesStayInsideTheFolder) {
    const char *names[] = {"..", "../../escape", "/etc/passwd", "a/b\\c"};
    std::vector<unsigned short> atoms;
    for (const char *n : names) {
        unsigned short a = PlatAddAtom(n);
        ASSERT_NE(a, 0) << n;
        atoms.push_back(a);
    }
    EXPECT_EQ(Markers(), 4);
    std::string longName(255, 'x');
    unsigned short a = PlatAddAtom(longName.c_str());
    ASSERT_NE(a, 0);
    EXPECT_EQ(Markers(), 5);
    EXPECT_EQ(PlatDeleteAtom(a), 1);
    for (unsigned short x : atoms) EXPECT_EQ(PlatDeleteAtom(x), 1);
    EXPECT_EQ(Markers(), 0);
    EXPECT_EQ(PlatAddAtom(""), 0);
    EXPECT_EQ(PlatAddAtom(std::string(256, 'y').c_str()), 0);
}

TEST_F(AtomTest, AFolderOthersCanReachIsRefused) {
    std::string shared = dir + "/qelta";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    chmod(shared.c_str(), 0777);
    EXPECT_EQ(PlatAddAtom("C:\\x.ftp"), 0);
}

TEST(StringTable, HoldsTheScriptFilter) {
    char out[128];
    EXPECT_GT(PlatLoadString(nullptr, 1032, out, sizeof out), 0);
    EXPECT_STREQ(out, "Script Files(*.txt,*.ftp)|*.txt;*.ftp|All Files(*.*)|*.*|");
    EXPECT_EQ(PlatLoadString(nullptr, 9999, out, sizeof out), 0);
}

// ---- prompts: run in a child, with no terminal or with a pty ----------------

namespace {

// Waits up to three seconds for the child; kills it when it hangs.
int ExitOf(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 300; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Runs body in a child process with no controlling terminal; returns its
// exit status.
template <typename Body>
int InChildWithoutTerminal(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 2);
        _exit(body());
    }
    return ExitOf(pid);
}

// Reads from the pty master until text appears or a second passes.
std::string ReadUntil(int master, const char *text) {
    std::string seen;
    for (int i = 0; i < 100 && seen.find(text) == std::string::npos; i++) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        char buf[256];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, (size_t)n);
    }
    return seen;
}

// Reads what the child reports, waiting a few seconds at most.
std::string ReadReport(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0) return "";
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : "";
}

}  // namespace

TEST(Prompts, WithoutATerminalNothingWaitsAndNothingIsAgreed) {
    EXPECT_EQ(InChildWithoutTerminal([] {
                  if (PosixOpenTty() != -1) return 1;
                  if (PlatMessageBox("Delete?", "QELTA", QMB_YESNO) != QID_NO) return 2;
                  if (PlatMessageBox("Note", "QELTA", QMB_OK) != QID_OK) return 3;
                  char out[32] = "untouched";
                  if (PlatAskPassword(nullptr, "host", out, sizeof out) != 0) return 4;
                  if (PlatAskScriptPath("t", "f", out, sizeof out) != 0) return 5;
                  return 0;
              }),
              0);
}

TEST(Prompts, ThePasswordIsReadWithoutEchoAndCut) {
    int master = -1;
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char out[5];
        int ok = PlatAskPassword(nullptr, "ftp.example", out, sizeof out);
        std::string answer = std::to_string(ok) + ":" + out;
        ssize_t n = write(result[1], answer.data(), answer.size());
        _exit(n > 0 ? 0 : 1);
    }
    close(result[1]);
    std::string before = ReadUntil(master, "Password for ftp.example: ");
    EXPECT_NE(before.find("Password for ftp.example: "), std::string::npos);
    EXPECT_EQ(write(master, "secret99\n", 9), 9);
    std::string report = ReadReport(result[0]);
    std::string after = ReadUntil(master, "\n");
    EXPECT_EQ(ExitOf(pid), 0);
    close(master);
    close(result[0]);
    EXPECT_EQ(report, "1:secr");
    EXPECT_EQ(after.find("secret"), std::string::npos);
}

TEST(Prompts, AYesNoBoxOnATerminalTakesTheAnswer) {
    const char *answers[] = {"maybe\ny\n", "N\n", ""};
    const int expected[] = {QID_YES, QID_NO, QID_NO};
    for (int i = 0; i < 3; i++) {
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(PlatMessageBox("Are you sure?\x9B" "2J\r\n", "QELTA", QMB_YESNO));
        std::string shown = ReadUntil(master, "[y/n] ");
        EXPECT_NE(shown.find("QELTA\r\nAre you sure??2J\r\n"), std::string::npos) << shown;
        if (answers[i][0])
            ASSERT_GT(write(master, answers[i], strlen(answers[i])), 0);
        else
            ASSERT_EQ(write(master, "\x04", 1), 1);  // end of input
        EXPECT_EQ(ExitOf(pid), expected[i]) << i;
        close(master);
    }
}
