// DOS-style paths through the drive map, and the local files named by them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

struct DriveMap : ::testing::Test {
    std::string dir;
    char oldCwd[PATH_MAX];

    void SetUp() override {
        unsetenv("QELTA_DRIVE_C");
        unsetenv("QELTA_DRIVE_D");
        unsetenv("QELTA_DRIVE_E");
        char tmpl[] = "/tmp/qelta-paths-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_NE(getcwd(oldCwd, sizeof(oldCwd)), nullptr);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(oldCwd), 0);
        unsetenv("QELTA_DRIVE_C");
        unsetenv("QELTA_DRIVE_D");
        unsetenv("QELTA_DRIVE_E");
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    static std::string Map(const char *dos) {
        char out[256];
        return PosixMapPath(dos, out, sizeof(out)) ? out : "<fail>";
    }
    static std::string Unmap(const char *posix) {
        char out[256];
        return PosixUnmapPath(posix, out, sizeof(out)) ? out : "<fail>";
    }
};

TEST_F(DriveMap, MapsDriveLettersAndSeparators) {
    EXPECT_EQ(Map("C:\\jobs\\night.ftp"), "/jobs/night.ftp");
    EXPECT_EQ(Map("c:/jobs\\in/a.zip"), "/jobs/in/a.zip");
    EXPECT_EQ(Map("C:\\\\jobs\\\\x"), "/jobs/x");
    EXPECT_EQ(Map("C:"), "/");
    EXPECT_EQ(Map("\\jobs\\x"), "/jobs/x");
    EXPECT_EQ(Map("/jobs/x"), "/jobs/x");
    EXPECT_EQ(Map("in\\a.zip"), "in/a.zip");
    EXPECT_EQ(Map("D:\\in"), "<fail>");

    setenv("QELTA_DRIVE_C", "/srv/c/", 1);
    setenv("QELTA_DRIVE_D", "/srv/d", 1);
    EXPECT_EQ(Map("C:\\jobs\\x"), "/srv/c/jobs/x");
    EXPECT_EQ(Map("\\jobs\\x"), "/srv/c/jobs/x");
    EXPECT_EQ(Map("d:\\in\\a.zip"), "/srv/d/in/a.zip");
    EXPECT_EQ(Map("in\\a.zip"), "in/a.zip");

    setenv("QELTA_DRIVE_E", "relative/dir", 1);  // a root that would move with the cwd
    EXPECT_EQ(Map("E:\\x"), "<fail>");
}

TEST_F(DriveMap, ParentsStopAtTheTopOfTheirDrive) {
    setenv("QELTA_DRIVE_D", dir.c_str(), 1);
    EXPECT_EQ(Map("D:\\..\\..\\etc\\passwd"), dir + "/etc/passwd");
    EXPECT_EQ(Map("D:\\in\\.\\..\\out\\"), dir + "/out/");
    EXPECT_EQ(Map("C:\\jobs\\..\\..\\x"), "/x");
    EXPECT_EQ(Unmap((dir + "/../etc").c_str()), "C:\\tmp\\etc");  // not D:\..\etc
    // A relative climb starts from the current directory's drive form.
    ASSERT_EQ(mkdir((dir + "/in").c_str(), 0755), 0);
    ASSERT_EQ(chdir((dir + "/in").c_str()), 0);
    EXPECT_EQ(Map("..\\..\\..\\x.txt"), dir + "/x.txt");
    EXPECT_EQ(Map("a\\b.txt"), "a/b.txt");
}

TEST_F(DriveMap, MappedPathThatDoesNotFitFails) {
    char out[8];
    EXPECT_FALSE(PosixMapPath("C:\\a\\long\\path", out, sizeof(out)));
    EXPECT_TRUE(PosixMapPath("C:\\abc", out, sizeof(out)));
    EXPECT_STREQ(out, "/abc");
}

TEST_F(DriveMap, UnmapsThroughTheLongestRoot) {
    EXPECT_EQ(Unmap("/jobs/night.ftp"), "C:\\jobs\\night.ftp");
    EXPECT_EQ(Unmap("/"), "C:\\");
    EXPECT_EQ(Unmap("relative/x"), "<fail>");

    setenv("QELTA_DRIVE_D", "/srv/d/", 1);
    EXPECT_EQ(Unmap("/srv/d/in//a.zip"), "D:\\in\\a.zip");
    EXPECT_EQ(Unmap("/srv/d"), "D:\\");
    EXPECT_EQ(Unmap("/srv/dx/a"), "C:\\srv\\dx\\a");  // only whole components match

    setenv("QELTA_DRIVE_C", "/home/ops", 1);
    EXPECT_EQ(Unmap("/home/ops/jobs/x.ftp"), "C:\\jobs\\x.ftp");
    EXPECT_EQ(Unmap("/etc/passwd"), "<fail>");

    char out[6];
    EXPECT_FALSE(PosixUnmapPath("/home/ops/jobs", out, sizeof(out)));
}

TEST_F(DriveMap, RoundTripsBothWays) {
    setenv("QELTA_DRIVE_D", "/srv/d", 1);
    for (const char *dos : {"C:\\jobs\\night.ftp", "D:\\in\\a b.zip", "D:\\"}) {
        std::string posix = Map(dos);
        EXPECT_EQ(Unmap(posix.c_str()), dos);
    }
}

TEST_F(DriveMap, CurrentDirectoryInDosForm) {
    ASSERT_EQ(chdir(dir.c_str()), 0);
    char out[256];
    ASSERT_TRUE(PlatCurrentDirectory(out, sizeof(out)));
    std::string want = "C:" + dir;
    for (char &c : want)
        if (c == '/') c = '\\';
    EXPECT_EQ(out, want);
    char tiny[4];
    EXPECT_FALSE(PlatCurrentDirectory(tiny, sizeof(tiny)));
    setenv("QELTA_DRIVE_C", "/nonexistent-root", 1);
    EXPECT_FALSE(PlatCurrentDirectory(out, sizeof(out)));
}

TEST_F(DriveMap, SameFileByIdentityOrByNormalisedPath) {
    std::string file = dir + "/job.ftp";
    PlatFileClose(PlatFileCreate(file.c_str()));
    std::string link = dir + "/link.ftp";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    std::string dos = Unmap(file.c_str());
    std::string dotted = "C:" + dir + "/../" + dir.substr(5) + "\\.\\job.ftp";

    EXPECT_TRUE(PlatSameFile(file.c_str(), dos.c_str()));
    EXPECT_TRUE(PlatSameFile(link.c_str(), dos.c_str()));
    EXPECT_TRUE(PlatSameFile(dotted.c_str(), file.c_str()));
    EXPECT_FALSE(PlatSameFile(file.c_str(), (dir + "/job.log").c_str()));

    // Files that do not exist yet compare by their full path.
    EXPECT_TRUE(PlatSameFile((dir + "/new.log").c_str(), (Unmap(dir.c_str()) + "\\x\\..\\new.log").c_str()));
    EXPECT_FALSE(PlatSameFile((dir + "/new.log").c_str(), (dir + "/new.err").c_str()));
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_TRUE(PlatSameFile("new.log", (dir + "/new.log").c_str()));
    EXPECT_TRUE(PlatSameFile("job.ftp", link.c_str()));
}

TEST_F(DriveMap, FilesByHandle) {
    std::string path = Unmap(dir.c_str()) + "\\data.bin";
    PlatFile f = PlatFileCreate(path.c_str());
    ASSERT_GE(f, 0);
    EXPECT_EQ(PlatFileWrite(f, "hello world", 11), 11);
    EXPECT_EQ(PlatFileSeek(f, 6, QSEEK_SET), 6);
    char buf[16] = {0};
    EXPECT_EQ(PlatFileRead(f, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(PlatFileSeek(f, 0, QSEEK_END), 11);
    EXPECT_EQ(PlatFileSeek(f, 0, 7), -1);
    PlatFileClose(f);
    EXPECT_EQ(PlatFileSize(path.c_str()), 11);

    // Run files must not leak into programs started by EXEC.
    f = PlatFileOpen(path.c_str());
    ASSERT_GE(f, 0);
    EXPECT_TRUE(fcntl((int)f, F_GETFD) & FD_CLOEXEC);
    PlatFileClose(f);

    f = PlatFileCreate(path.c_str());  // truncates
    PlatFileClose(f);
    EXPECT_EQ(PlatFileSize(path.c_str()), 0);
    EXPECT_TRUE(PlatFileDelete(path.c_str()));
    EXPECT_EQ(PlatFileSize(path.c_str()), -1);
    EXPECT_FALSE(PlatFileDelete(path.c_str()));
    EXPECT_LT(PlatFileOpen(path.c_str()), 0);
}

TEST_F(DriveMap, FoldersAreNoFiles) {
    std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_LT(PlatFileOpenRead(sub.c_str()), 0);
    EXPECT_LT(PlatFileCreate(sub.c_str()), 0);
    EXPECT_FALSE(PlatFileDelete(sub.c_str()));
    EXPECT_EQ(PlatFileSize(sub.c_str()), -1);
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_LT(PlatFileOpenRead(fifo.c_str()), 0);  // refused, not waited on
    EXPECT_LT(PlatFileOpenRead("Q:\\unmapped.txt"), 0);
}

}  // namespace
