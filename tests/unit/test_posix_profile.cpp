// Profile files on the POSIX build: what a script reads and how a write
// leaves the rest of the file.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

struct ProfileDir : ::testing::Test {
    std::string dir;
    std::string path;

    void SetUp() override {
        unsetenv("QELTA_DRIVE_C");
        char tmpl[] = "/tmp/qelta-profile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/job.ftp";
    }
    void TearDown() override {
        PosixSetProfileLockLimit(10000);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void Put(const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    std::string Get() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string Read(const char *section, const char *key, const char *def = "DEF", size_t size = 256) {
        char out[256];
        int n = PlatProfileRead(section, key, def, out, size, path.c_str());
        EXPECT_EQ((size_t)n, strlen(out));
        return out;
    }
    int ReadInt(const char *key, int def = 99) { return PlatProfileReadInt("Settings", key, def, path.c_str()); }
    int Write(const char *section, const char *key, const char *value) {
        return PlatProfileWrite(section, key, value, path.c_str());
    }
    // The names in the folder, sorted.
    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        while (struct dirent *e = d ? readdir(d) : nullptr)
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    // A file beside the script, locked as its writer holds it when a
    // descriptor is asked for.
    int Beside(const std::string &name, const std::string &bytes, int lock = 0) {
        std::string p = dir + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        if (!lock) return -1;
        int fd = open(p.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_EQ(flock(fd, LOCK_EX), 0);
        return fd;
    }
    static int Exited(pid_t pid) {
        int status = 0;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

typedef std::vector<std::string> Names;

const char kScript[] =
    "; nightly job\r\n"
    "[Settings]\r\n"
    "  TimeOut = 30  \r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Mismatch=\"x'\r\n"
    "Empty=\r\n"
    "Neg=-12abc\r\n"
    "Plus= +7\r\n"
    "Garbage=abc\r\n"
    "Huge=99999999999\r\n"
    "\r\n"
    "[ qelta ]\r\n"
    "FTPCommand1=CONN ftp.example.com:2121\r\n"
    "TimeOut=second section\r\n"
    "[Settings]\r\n"
    "Later=not seen\r\n";

TEST_F(ProfileDir, ReadsWithoutRegardToCaseBlanksOrQuotes) {
    Put(kScript);
    EXPECT_EQ(Read("SETTINGS", "timeout"), "30");
    EXPECT_EQ(Read("settings", "quoted"), "  spaced  ");
    EXPECT_EQ(Read("Settings", "Single"), "x");
    EXPECT_EQ(Read("Settings", "Mismatch"), "\"x'");
    EXPECT_EQ(Read("Settings", "Empty"), "");
    EXPECT_EQ(Read("QELTA", "ftpcommand1"), "CONN ftp.example.com:2121");
    EXPECT_EQ(Read("QELTA", "TimeOut"), "second section");
    // The first of two equal sections is the one read.
    EXPECT_EQ(Read("Settings", "Later"), "DEF");
    EXPECT_EQ(Read("Settings", "Missing"), "DEF");
    EXPECT_EQ(Read("Nowhere", "TimeOut", nullptr), "");
}

TEST_F(ProfileDir, ReadIsCutAtTheBuffer) {
    Put(kScript);
    EXPECT_EQ(Read("QELTA", "FTPCommand1", "", 5), "CONN");
    EXPECT_EQ(Read("QELTA", "Missing", "a long default", 3), "a ");
    char one[1] = {'x'};
    EXPECT_EQ(PlatProfileRead("QELTA", "FTPCommand1", "", one, 1, path.c_str()), 0);
    EXPECT_EQ(one[0], 0);
}

TEST_F(ProfileDir, IntegersTakeSignAndLeadingDigits) {
    Put(kScript);
    EXPECT_EQ(ReadInt("TimeOut"), 30);
    EXPECT_EQ(ReadInt("Neg"), -12);
    EXPECT_EQ(ReadInt("Plus"), 7);
    EXPECT_EQ(ReadInt("Garbage"), 0);
    EXPECT_EQ(ReadInt("Missing"), 99);
    EXPECT_EQ(ReadInt("Empty"), 99);  // an empty value counts as missing, as on Windows
    EXPECT_EQ(ReadInt("Huge"), 2147483647);
}

TEST_F(ProfileDir, MissingOrUnreadableFileReadsAsEmpty) {
    EXPECT_EQ(Read("Settings", "TimeOut"), "DEF");
    EXPECT_EQ(ReadInt("TimeOut", 60), 60);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);  // a folder in the script's place
    EXPECT_EQ(Read("Settings", "TimeOut"), "DEF");
}

TEST_F(ProfileDir, WriteReplacesTheValueWhereItStands) {
    Put(kScript);
    ASSERT_TRUE(Write("settings", "TIMEOUT", "45"));
    std::string want = kScript;
    want.replace(want.find("30  "), 4, "45");
    EXPECT_EQ(Get(), want);
    // The same value again changes nothing.
    ASSERT_TRUE(Write("Settings", "TimeOut", "45"));
    EXPECT_EQ(Get(), want);
}

TEST_F(ProfileDir, NewKeyGoesAfterTheLastKeyOfItsSection) {
    const char lf[] =
        "[QELTA]\n"
        "1=CONN host\n"
        "; a note\n"
        "\n"
        "\n"
        "[STATUS]\n"
        "CS1=F\n";
    Put(lf);
    ASSERT_TRUE(Write("qelta", "2", "QUIT"));
    ASSERT_TRUE(Write("Status", "CS2", "S"));
    EXPECT_EQ(Get(),
              "[QELTA]\n"
              "1=CONN host\n"
              "2=QUIT\n"
              "; a note\n"
              "\n"
              "\n"
              "[STATUS]\n"
              "CS1=F\n"
              "CS2=S\n");
}

TEST_F(ProfileDir, NewSectionGoesAtTheEndInTheFilesLineEnds) {
    Put("[QELTA]\r\nFTPCommand1=CONN host");  // no line end at the end
    ASSERT_TRUE(Write("STATUS", "ExitCode", "Success"));
    EXPECT_EQ(Get(), "[QELTA]\r\nFTPCommand1=CONN host\r\n[STATUS]\r\nExitCode=Success\r\n");

    Put("[QELTA]\n1=CONN host\n");
    ASSERT_TRUE(Write("STATUS", "CS1", "S"));
    EXPECT_EQ(Get(), "[QELTA]\n1=CONN host\n[STATUS]\nCS1=S\n");

    Put("[STATUS]");
    ASSERT_TRUE(Write("STATUS", "CS1", "S"));
    EXPECT_EQ(Get(), "[STATUS]\r\nCS1=S\r\n");
}

TEST_F(ProfileDir, NewFileUsesCrLf) {
    ASSERT_TRUE(Write("STATUS", "ExitCode", "Failure"));
    EXPECT_EQ(Get(), "[STATUS]\r\nExitCode=Failure\r\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(ProfileDir, DeletesKeysAndSections) {
    Put("[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n[C]\r\nw=4\r\n");
    ASSERT_TRUE(Write("a", "X", nullptr));
    EXPECT_EQ(Get(), "[A]\r\ny=2\r\n[B]\r\nz=3\r\n[C]\r\nw=4\r\n");
    ASSERT_TRUE(Write("b", nullptr, nullptr));
    EXPECT_EQ(Get(), "[A]\r\ny=2\r\n[C]\r\nw=4\r\n");
    ASSERT_TRUE(Write("a", "missing", nullptr));
    ASSERT_TRUE(Write(nullptr, nullptr, nullptr));  // the flush form
    PlatProfileFlush(path.c_str());
    EXPECT_EQ(Get(), "[A]\r\ny=2\r\n[C]\r\nw=4\r\n");
}

TEST_F(ProfileDir, ValueWithLineEndCannotAddLines) {
    Put("[S]\r\nk=1\r\n");
    ASSERT_TRUE(Write("S", "k", "2\r\n[QELTA]\r\n1=EXEC rm"));
    EXPECT_EQ(Get(), "[S]\r\nk=2\r\n");
}

TEST_F(ProfileDir, KeyWithoutEqualsSignGetsOne) {
    Put("[S]\r\n  flag  \r\n");
    EXPECT_EQ(Read("S", "flag"), "");
    ASSERT_TRUE(Write("S", "FLAG", "on"));
    EXPECT_EQ(Get(), "[S]\r\n  flag  =on\r\n");
}

TEST_F(ProfileDir, WriteKeepsPermissionsAndSymbolicLinks) {
    Put("[S]\r\nk=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    std::string link = dir + "/link.ftp";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    ASSERT_TRUE(PlatProfileWrite("S", "k", "2", link.c_str()));
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Get(), "[S]\r\nk=2\r\n");
    // No temporary file is left; the lock sits beside the file replaced.
    EXPECT_EQ(Listing(), (Names{"job.ftp", "job.ftp.qelta-lock", "link.ftp"}));
}

TEST_F(ProfileDir, AByteOrderMarkHidesNoSection) {
    Put("\xEF\xBB\xBF[Settings]\r\nTimeOut=30\r\n");
    EXPECT_EQ(ReadInt("TimeOut"), 30);
    ASSERT_TRUE(Write("settings", "TimeOut", "45"));
    EXPECT_EQ(Get(), "\xEF\xBB\xBF[Settings]\r\nTimeOut=45\r\n");
}

// A file that can be written but not read must not be replaced by the one
// line of the write. Run by an ordinary user, since root reads anything.
TEST_F(ProfileDir, AFileThatCannotBeReadIsLeftAlone) {
    Put(kScript);
    const uid_t nobody = 65534;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown(path.c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(2);
        _exit(Write("Status", "ExitCode", "Success") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(Get(), kScript);
}

TEST_F(ProfileDir, UnwritablePlaceFails) {
    std::string missing = dir + "/no/such/folder/job.ftp";
    EXPECT_FALSE(PlatProfileWrite("S", "k", "v", missing.c_str()));
    EXPECT_FALSE(PlatProfileWrite("S", "k", "v", "Q:\\unmapped\\job.ftp"));
}

TEST_F(ProfileDir, LongLinesAreReadCutAndKept) {
    std::string longValue(100000, 'v');
    std::string bytes = "[S]\r\nlong=" + longValue + "\r\nk=1\r\n";
    Put(bytes);
    EXPECT_EQ(Read("S", "long", "", 8), "vvvvvvv");
    EXPECT_EQ(Read("S", "k"), "1");
    ASSERT_TRUE(Write("S", "k", "2"));
    bytes.replace(bytes.size() - 3, 1, "2");
    EXPECT_EQ(Get(), bytes);
}

}  // namespace

namespace {

std::string Shown(const std::string &bytes) {
    std::string out;
    for (char c : bytes) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

// A status added after the last line starts a line of its own, whatever
// that line ends in; a lone CR ends a line as CR LF and LF do.
TEST_F(ProfileDir, AddedLinesStartOnALineOfTheirOwn) {
    for (const char *end : {"\r\n", "\n", "\r", ""}) {
        SCOPED_TRACE("last line ends in \"" + Shown(end) + "\"");
        std::string before = std::string("[QELTA]\r\n1=GOTO 1\r\n[STATUS]\r\nCS1=S") + end;
        std::string gap = *end ? "" : "\r\n";
        Put(before);
        ASSERT_TRUE(Write("STATUS", "CS2", "F"));
        EXPECT_EQ(Shown(Get()), Shown(before + gap + "CS2=F\r\n"));
        EXPECT_EQ(Read("STATUS", "CS1"), "S");
        EXPECT_EQ(Read("STATUS", "CS2"), "F");

        before = std::string("[QELTA]\r\n1=GOTO 1") + end;
        Put(before);
        ASSERT_TRUE(Write("STATUS", "ExitCode", "Success"));
        EXPECT_EQ(Shown(Get()), Shown(before + gap + "[STATUS]\r\nExitCode=Success\r\n"));
        EXPECT_EQ(Read("QELTA", "1"), "GOTO 1");
    }
}

TEST_F(ProfileDir, ALoneCrEndsALine) {
    const std::string mixed = "[QELTA]\r\n1=WFOR 0:00\r2=NONE\r\n\r\r\n[STATUS]\rCS1=S\r\n";
    Put(mixed);
    EXPECT_EQ(Read("QELTA", "1"), "WFOR 0:00");
    EXPECT_EQ(Read("QELTA", "2"), "NONE");
    EXPECT_EQ(Read("STATUS", "CS1"), "S");
    ASSERT_TRUE(Write("QELTA", "1", "GOTO 2"));
    std::string want = mixed;
    want.replace(want.find("WFOR 0:00"), 9, "GOTO 2");
    EXPECT_EQ(Shown(Get()), Shown(want));

    // A file of CRs alone keeps them for the lines added to it.
    Put("[QELTA]\r1=NONE\r");
    ASSERT_TRUE(Write("QELTA", "2", "QUIT"));
    ASSERT_TRUE(Write("STATUS", "CS1", "S"));
    EXPECT_EQ(Shown(Get()), Shown("[QELTA]\r1=NONE\r2=QUIT\r[STATUS]\rCS1=S\r"));
}

// Two runs writing their statuses to one script at once: every update of
// both survives, and so does every byte outside the status section.
TEST_F(ProfileDir, TwoWritersAtOnceLoseNothing) {
    const std::string head = "; two runs\r\n[QELTA]\r\n1=GOTO 2\r\n2=NONE\r\n\r\n[Settings]\r\nSilent=1\r\n\r\n";
    Put(head + "[STATUS]\r\nExitCode=\r\n");
    const int perWriter = 120;
    pid_t kids[2];
    for (int w = 0; w < 2; w++) {
        kids[w] = fork();
        ASSERT_GE(kids[w], 0);
        if (kids[w] != 0) continue;
        int ok = 1;
        for (int i = 0; i < perWriter; i++) {
            std::string key = "W" + std::to_string(w) + "_" + std::to_string(i);
            ok &= Write("STATUS", key.c_str(), "S");
            ok &= Read("QELTA", "1") == "GOTO 2";  // a run reads its commands between writes
        }
        _exit(ok ? 0 : 1);
    }
    EXPECT_EQ(Exited(kids[0]), 0);
    EXPECT_EQ(Exited(kids[1]), 0);
    std::string after = Get();
    EXPECT_EQ(after.substr(0, head.size()), head);
    Names lost;
    for (int w = 0; w < 2; w++)
        for (int i = 0; i < perWriter; i++) {
            std::string key = "W" + std::to_string(w) + "_" + std::to_string(i);
            if (Read("STATUS", key.c_str()) != "S") lost.push_back(key);
        }
    EXPECT_EQ(lost, Names{});
    EXPECT_EQ(Listing(), (Names{"job.ftp", "job.ftp.qelta-lock"}));
}

// The run that last held the lock removes its file at its end; a run that
// had opened that file meanwhile must not take the old file's lock for the
// script's, or it would write beside the run holding the new one.
TEST_F(ProfileDir, AWaiterTakesTheNewLockFileWhenTheOldOneGoes) {
    Put("[S]\r\nk=1\r\n");
    std::string lockPath = path + ".qelta-lock";
    int old = Beside("job.ftp.qelta-lock", "", 1);
    pid_t kid = fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
        close(old);  // the parent's lock, not the writer's
        _exit(Write("S", "k", "2") ? 0 : 1);
    }
    usleep(100 * 1000);  // the writer now waits on the old file
    ASSERT_EQ(unlink(lockPath.c_str()), 0);
    int now = Beside("job.ftp.qelta-lock", "", 1);
    close(old);
    usleep(200 * 1000);
    EXPECT_EQ(Get(), "[S]\r\nk=1\r\n");
    close(now);
    EXPECT_EQ(Exited(kid), 0);
    EXPECT_EQ(Get(), "[S]\r\nk=2\r\n");
}

// A run that holds the script too long (stopped, say) holds up the others
// only so long; a write then gives up rather than risk its update, a read
// goes on, as the file is only ever replaced whole.
TEST_F(ProfileDir, AWriteGivesUpWhenTheLockIsHeldTooLong) {
    Put(kScript);
    int held = Beside("job.ftp.qelta-lock", "", 1);
    PosixSetProfileLockLimit(300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Write("Status", "ExitCode", "Success"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(Read("QELTA", "FTPCommand1"), "CONN ftp.example.com:2121");
    EXPECT_EQ(Get(), kScript);
    close(held);
    EXPECT_TRUE(Write("Status", "ExitCode", "Success"));
}

// The temporary file of a write killed halfway goes with the next write of
// the same script; one that its writer still holds stays, as do names that
// only look alike.
TEST_F(ProfileDir, LeftoversOfKilledWritesGo) {
    Put("[S]\r\nk=1\r\n");
    Beside("job.ftp.qeltaAb12Cd", "[S]\r\nk=");
    int living = Beside("job.ftp.qeltaLIVE01", "[S]\r\n", 1);
    Beside("job.ftp.qeltaAb12C", "");
    Beside("job.ftp.qeltaAb12Cd.bak", "");
    Beside("other.ftp.qeltaAb12Cd", "");
    ASSERT_TRUE(Write("S", "k", "2"));
    EXPECT_EQ(Listing(), (Names{"job.ftp", "job.ftp.qelta-lock", "job.ftp.qeltaAb12C", "job.ftp.qeltaAb12Cd.bak",
                              "job.ftp.qeltaLIVE01", "other.ftp.qeltaAb12Cd"}));
    close(living);
    EXPECT_EQ(Get(), "[S]\r\nk=2\r\n");
}

}  // namespace
