// Many files at once: the pattern, the generated command file as MGET, the
// name list, MPUT and the command reader build and read it, the local scan
// and DELL. Prompts are left to the integration tests (they need a
// terminal); here DeleteOverRide is on wherever a delete is asked.
#include <fcntl.h>
#include <sys/stat.h>

#include <set>
#include <vector>

#include "batch/batch.h"
#include "local/local.h"
#include "test_script_fixture.h"
#include "transfer/executors.h"

namespace {

// ---- the name-list pattern -----------------------------------------------------

TEST(EvaluatePattern, FirstOccurrenceWithoutGoingBack) {
    const struct {
        const char *pattern, *name;
        int match;
    } cases[] = {
        {"*a?", "aax", 0},  {"*aa", "aaa", 0},     {"*.txt", "a.txt.txt", 1},
        {"*.txt", "c.TXT", 1}, {"*.TXT", "a.txt", 1}, {"a*c", "abcbc", 1},
        {"x*y*z", "xyyz", 1},  {"a?c", "abc", 1},     {"a?c", "ac", 0},
        {"*", "x", 1},         {"*.txt", "a.txt.bak", 0},
        // Names beginning with a dot never match, nor does an empty name or
        // an empty pattern.
        {"*", ".profile", 0},  {"*.txt", ".txt", 0},  {".*", ".x", 0},
        {"*", "..", 0},        {"", "a", 0},          {"*", "", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(EvaluatePattern(c.pattern, c.name, nullptr), c.match) << c.pattern << " " << c.name;
}

// ---- the generated run -------------------------------------------------------------------

class MultiTest : public ScriptFixture {
protected:
    PlatWindow win = nullptr;
    std::vector<char> buffer = std::vector<char>(512);

    void SetUp() override {
        ScriptFixture::SetUp();
        win = LoopCreateWindow(nullptr);
        UseScript("[QELTA]\r\nFTPCommand1=NONE\r\n", 1);
        COPYCUT(q->GeneratedScriptPath, Dos("job.tm2").c_str());
        q->TransferType = 'A';
        q->DataBuffer = buffer.data();
        q->BlockSize = buffer.size();
        q->DeleteOverRide = 1;
        q->LogHandle = open(Posix("job.log").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    }
    void TearDown() override {
        PlatFileClose(q->LogHandle);
        PlatDestroyWindow(win);
        q->DataBuffer = nullptr;  // the test's own, not the record's to free
        ScriptFixture::TearDown();
    }
    // The next generated command, read as the driver reads it after its
    // advance step.
    int Next() {
        q->CommandIndex++;
        return ReadCommand(q);
    }
    int Start(Executor e, const std::string &argument) {
        COPYCUT(q->Argument, argument.c_str());
        return ApplyOutcome(win, q, e(win, q, EV_START, 0, 0));
    }
    // MGET (or DELR) at script line 4 up to its name list, which is then
    // prepared as the receiving executor does.
    void BeginList(Executor e, const std::string &argument) {
        q->CommandIndex = 4;
        q->ReturnIndex = 0;  // as the KILL of an earlier run left it
        ASSERT_EQ(Start(e, argument), 1) << q->ErrorText;
        while (Next() != CMD_NLST) ASSERT_EQ(q->CommandId, CMD_TYPE);
        char line[128];
        ASSERT_EQ(PrepareNameList(q, "NLST", line, sizeof line), 1) << q->ErrorText;
        listLine = line;
    }
    // What the name list appended to the generated file.
    std::string Appended() {
        std::string all = ReadFile("job.tm2");
        size_t nlst = all.find("NLST ");
        return all.substr(all.find("\r\n", nlst) + 2);
    }
    int Feed(const std::string &bytes) { return ParseNameList(win, q, bytes.data(), bytes.size()); }
    std::string listLine;
};

TEST_F(MultiTest, MgetGeneratesItsRunAndTheReaderRunsIt) {
    q->TransferType = 'I';
    q->CommandIndex = 8;
    ASSERT_EQ(Start(ExecMGET, "/pub/*.txt c:\\in"), 1);
    EXPECT_EQ(ReadFile("job.tm2"), "TYPE A\r\nNLST /pub/*.txt c:\\in\r\n");
    EXPECT_EQ(q->ReturnIndex, 8);
    EXPECT_EQ(q->RestoreTypeI, 1);
    EXPECT_EQ(q->GeneratedActive, 1);
    EXPECT_EQ(q->CommandActive, 0);
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 0);

    EXPECT_EQ(Next(), CMD_TYPE);
    EXPECT_EQ(Next(), CMD_NLST);
    char line[128];
    ASSERT_EQ(PrepareNameList(q, "NLST", line, sizeof line), 1);
    EXPECT_STREQ(line, "NLST /pub/\r\n");
    EXPECT_STREQ(q->NamePattern, "*.txt");
    ASSERT_EQ(Feed("a.txt\r\nb.doc\r\nc.TXT\r\n"), 1);
    ASSERT_EQ(EndNameList(win, q, 0), 1);
    EXPECT_EQ(ReadFile("job.tm2"),
              "TYPE A\r\nNLST /pub/*.txt c:\\in\r\n"
              "PORT\r\nRETR /pub/a.txt c:\\in\\a.txt \r\n"
              "PORT\r\nRETR /pub/c.TXT c:\\in\\c.TXT \r\n"
              "KILL 8\r\n");

    const struct { int id; const char *argument; } run[] = {
        {CMD_TYPE, "I"}, {CMD_PORT, ""}, {CMD_RETR, "/pub/a.txt c:\\in\\a.txt "},
        {CMD_PORT, ""},  {CMD_RETR, "/pub/c.TXT c:\\in\\c.TXT "}, {CMD_KILL, "8"},
    };
    for (const auto &r : run) {
        EXPECT_EQ(Next(), r.id);
        EXPECT_STREQ(q->Argument, r.argument);
        EXPECT_EQ(q->CommandIndex, 8);
    }
    EXPECT_EQ(q->GeneratedActive, 0);
    EXPECT_FALSE(Exists("job.tm2"));
}

TEST_F(MultiTest, AsciiTypeNeedsNoTypeLinesAndABarePatternListsTheCurrentDirectory) {
    BeginList(ExecMGET, "*.txt c:\\in");
    EXPECT_EQ(listLine, "NLST\r\n");
    EXPECT_EQ(q->RestoreTypeI, 0);
    ASSERT_EQ(Feed("x.txt\r\n"), 1);
    ASSERT_EQ(EndNameList(win, q, 0), 1);
    EXPECT_EQ(ReadFile("job.tm2"), "NLST *.txt c:\\in\r\nPORT\r\nRETR x.txt c:\\in\\x.txt \r\nKILL 4\r\n");
}

TEST_F(MultiTest, ALineSplitAtAnyByteIsTakenOnceAndBareLineFeedsEndLinesToo) {
    const std::string list =
        "pub/a.txt\r\npub/B.TXT\nskip.doc\r\n.hidden.txt\r\n\r\n\\win\\c.txt\r\n/pub/sub/\r\nd.txt";
    const std::string expected =
        "PORT\r\nRETR pub/a.txt C:\\in\\a.txt \r\nPORT\r\nRETR pub/B.TXT C:\\in\\B.TXT \r\n"
        "PORT\r\nRETR pub/c.txt C:\\in\\c.txt \r\nPORT\r\nRETR pub/d.txt C:\\in\\d.txt \r\nKILL 4\r\n";
    for (size_t cut = 0; cut <= list.size(); cut++) {
        BeginList(ExecMGET, "pub/*.txt C:\\in");
        ASSERT_EQ(Feed(list.substr(0, cut)), 1);
        ASSERT_EQ(Feed(list.substr(cut)), 1);
        ASSERT_EQ(EndNameList(win, q, 0), 1);  // takes d.txt, which has no line end
        ASSERT_EQ(Appended(), expected) << "cut at " << cut;
    }
    BeginList(ExecMGET, "pub/*.txt C:\\in");
    for (char c : list) ASSERT_EQ(Feed(std::string(1, c)), 1);
    ASSERT_EQ(EndNameList(win, q, 0), 1);
    EXPECT_EQ(Appended(), expected);
}

TEST_F(MultiTest, AMatchingNameThatCannotBeHandledFailsByName) {
    const std::string n120 = std::string(116, 'n') + ".txt";  // the longest beside C:\in
    BeginList(ExecMGET, "pub/*.txt C:\\in");
    // A name that does not match is passed over whatever its length.
    ASSERT_EQ(Feed(std::string(1000, 'z') + ".doc\r\n" + n120 + "\r\n"), 1) << q->ErrorText;
    EXPECT_NE(Appended().find(n120 + " \r\n"), std::string::npos);

    const struct { std::string line, why; } refused[] = {
        {"x" + n120, "the name is too long"},
        {"c:d.txt", "not a local file name"},
        {"e\x01.txt", "not a local file name"},
        {std::string("f\0.txt", 6), "not a local file name"},  // a zero byte ends nothing
    };
    for (const auto &r : refused) {
        BeginList(ExecMGET, "pub/*.txt C:\\in");
        q->ErrorText[0] = 0;
        EXPECT_EQ(Feed(r.line + "\r\n"), 0) << r.line;
        std::string text = q->ErrorText;
        EXPECT_EQ(text.rfind("Can not handle \"", 0), 0u) << text;
        EXPECT_NE(text.find("in ExecNLST: " + r.why + "\r\n"), std::string::npos) << text;
        EXPECT_LT(text.size(), sizeof q->ErrorText);
    }
    BeginList(ExecMGET, "pub/*.txt C:\\in");
    EXPECT_EQ(Feed(std::string(NAME_LINE_MAX, 'y') + "\r\n"), 1);  // the longest line, held whole
    EXPECT_EQ(Feed(std::string(NAME_LINE_MAX, 'y')), 1);
    EXPECT_EQ(Feed(std::string(2, 'y')), 0);
    EXPECT_NE(std::string(q->ErrorText).find("a name list line over 1024 bytes"), std::string::npos);
}

TEST_F(MultiTest, RemoteDeleteGeneratesOneDeleteLinePerName) {
    BeginList(ExecDELR, "/out/*.tmp");
    EXPECT_EQ(q->GeneratingCommand, CMD_DELR);
    EXPECT_EQ(listLine, "NLST /out/\r\n");
    ASSERT_EQ(Feed("/out/a.tmp\r\n/out/b.TMP\r\n/out/keep.txt\r\n"), 1);
    ASSERT_EQ(EndNameList(win, q, 0), 1);
    EXPECT_EQ(Appended(), "DELR /out/a.tmp\r\nDELR /out/b.TMP\r\nKILL 4\r\n");

    // A carriage return inside a name would cut the generated line short
    // and delete another file.
    BeginList(ExecDELR, "/out/*.tmp");
    EXPECT_EQ(Feed("x\ry.tmp\r\n"), 0);
    BeginList(ExecDELR, "/out/*.tmp");
    EXPECT_EQ(Feed(std::string(116, 'd') + ".tmp\r\n"), 0);  // the DELE line would not fit

    // Inside the run a DELR is one file, even one whose name has a '*'.
    q->ReturnIndex = 4;
    q->CommandIndex = 4;
    q->Socket.Control = -1;
    COPYCUT(q->Argument, "/out/a*b.tmp");
    q->ErrorFlag = 1;  // nothing is sent after a failure: the line stays unsent
    EXPECT_EQ(ExecDELR(win, q, EV_START, 0, 0), 1);
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 1);
}

TEST_F(MultiTest, MgtcLeavesFilesThatAreHereAndARefusedListOnlyEndsTheRun) {
    ASSERT_EQ(mkdir(Posix("in").c_str(), 0755), 0);
    WriteFile("in/a.txt", "old");
    WriteFile("in/b.txt.1.qpart", "partial");  // an interrupted fetch of b.txt
    q->MgtcMode = 1;
    BeginList(ExecMGET, "pub/*.txt " + Dos("in"));
    ASSERT_EQ(Feed("A.TXT\r\nb.txt\r\n"), 1);  // the local name is A.TXT: not here on POSIX
    ASSERT_EQ(Feed("a.txt\r\n"), 1);
    ASSERT_EQ(EndNameList(win, q, 0), 1);
    std::string added = Appended();
    EXPECT_NE(added.find("RETR pub/A.TXT"), std::string::npos);
    EXPECT_NE(added.find("RETR pub/b.txt"), std::string::npos);
    EXPECT_EQ(added.find("RETR pub/a.txt"), std::string::npos);

    q->MgtcMode = 0;
    BeginList(ExecMGET, "pub/*.txt " + Dos("in"));
    ASSERT_EQ(EndNameList(win, q, 1), 1);  // a 550 to the list
    EXPECT_EQ(Appended(), "KILL 4\r\n");
}

TEST_F(MultiTest, GeneratedFileIsNeverTheScriptAndNameListsRunOnlyInAGeneratedRun) {
    COPYCUT(q->GeneratedScriptPath, q->ScriptPath);
    std::string before = ReadFile("job.ftp");
    EXPECT_EQ(Start(ExecMGET, "*.txt C:\\in"), 0);
    EXPECT_STREQ(q->ErrorText, "Can not create temp script file(2).");
    EXPECT_EQ(Start(ExecDELR, "*.txt"), 0);
    EXPECT_EQ(Start(ExecMPUT, "C:\\out\\*.txt"), 0);
    EXPECT_STREQ(q->ErrorText, "Can not create temp script file(2)");
    EXPECT_EQ(ReadFile("job.ftp"), before);

    char line[128];
    COPYCUT(q->Argument, "*.txt C:\\in");
    EXPECT_EQ(PrepareNameList(q, "NLST", line, sizeof line), 0);
    EXPECT_STREQ(q->ErrorText, "NLST runs only in the lines of MGET, MGTC and DELR\r\n");
}

TEST_F(MultiTest, OnlyKillRecordsTheStatusOfAGeneratedRun) {
    q->CommandIndex = 3;
    q->ReturnIndex = 3;
    SetStatus(q);  // a generated PORT, RETR or NLST
    EXPECT_EQ(Status("CommandStatus3"), "<none>");
    COPYCUT(q->Argument, "3");
    Dispatcher(win, CMD_KILL, q, EV_START, 0, 0);
    EXPECT_EQ(Status("CommandStatus3"), "Success");
}

// ---- MPUT and DELL ----------------------------------------------------------------

class LocalTest : public MultiTest {
protected:
    void SetUp() override {
        MultiTest::SetUp();
        ASSERT_EQ(mkdir(Posix("out").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Posix("out/sub.txt").c_str(), 0755), 0);
        for (const char *n : {"b.TXT", "a.txt", ".hidden.txt", "c.doc"}) WriteFile(std::string("out/") + n, n);
        out = Dos("out");
    }
    std::string out;
};

TEST_F(LocalTest, MputSendsEachOrdinaryMatchingFileUnderItsName) {
    q->CommandIndex = 6;
    q->CommandId = CMD_MPUT;
    ASSERT_EQ(Start(ExecMPUT, "/in/ " + out + "\\*.txt"), 1) << q->ErrorText;
    EXPECT_EQ(ReadFile("job.tm2"), "PORT\r\nSTOR /in/a.txt " + out + "\\a.txt \r\nPORT\r\nSTOR /in/b.TXT " +
                                       out + "\\b.TXT \r\nKILL 6\r\n");
    EXPECT_EQ(q->GeneratedActive, 1);
    EXPECT_EQ(Next(), CMD_PORT);

    q->CommandId = CMD_MPUT;
    ASSERT_EQ(Start(ExecMPUT, out + "\\*.TXT"), 1);  // only the local pattern
    EXPECT_EQ(ReadFile("job.tm2"),
              "PORT\r\nSTOR a.txt " + out + "\\a.txt \r\nPORT\r\nSTOR b.TXT " + out + "\\b.TXT \r\nKILL 6\r\n");
}

TEST_F(LocalTest, NothingToDoFailsUnlessTheScriptAllowsIt) {
    q->CommandIndex = 2;
    q->CommandId = CMD_MPUT;
    for (Executor e : {ExecMPUT, ExecDELL}) {
        for (const std::string pattern : {out + "\\*.none", Dos("missing") + "\\*.txt"}) {
            UseScript("[QELTA]\r\nFTPCommand1=NONE\r\n", 1);
            q->ErrorFlag = 0;
            EXPECT_EQ(Start(e, pattern), 0);
            EXPECT_NE(std::string(q->ErrorText).find("(No Such Directory or No Matching Files)"),
                      std::string::npos);
            UseScript("[QELTA]\r\nFTPCommand1=NONE\r\n[Settings]\r\nMPUTCanDoNothing=1\r\n"
                      "DELLCanDoNothing=1\r\n", 1);
            q->ReturnIndex = 0;
            EXPECT_EQ(Start(e, pattern), 1);
            EXPECT_EQ(Status("CommandStatus2"), "Success");
            EXPECT_EQ(q->ReturnIndex, 0);
            EXPECT_EQ(q->GeneratedActive, 0);
        }
    }
    EXPECT_FALSE(Exists("job.tm2"));
}

TEST_F(LocalTest, DellDeletesAndLogsEachFileAndSaysWhichStayed) {
    WriteFile("out/locked.txt", "x");
    chmod(Posix("out/locked.txt").c_str(), 0444);  // read-only, as Windows has it
    q->CommandIndex = 1;
    ASSERT_EQ(Start(ExecDELL, out + "\\*.TXT"), 1) << q->ErrorText;
    EXPECT_FALSE(Exists("out/a.txt"));
    EXPECT_FALSE(Exists("out/b.TXT"));
    EXPECT_TRUE(Exists("out/locked.txt"));
    EXPECT_TRUE(Exists("out/.hidden.txt"));
    EXPECT_TRUE(Exists("out/sub.txt"));
    EXPECT_TRUE(Exists("out/c.doc"));
    EXPECT_EQ(Status("CommandStatus1"), "Success");
    EXPECT_EQ(ReadFile("job.log"), "*** QELTA is deleting " + out + "\\a.txt\r\n" +
                                       "*** QELTA is deleting " + out + "\\b.TXT\r\n" +
                                       "*** QELTA is deleting " + out + "\\locked.txt\r\n" +
                                       "*** QELTA could not delete " + out +
                                       "\\locked.txt: Permission denied\r\n");
}

TEST_F(LocalTest, DellNeverDeletesTheScriptOrARunFile) {
    COPYCUT(q->LogPath, Dos("job.log").c_str());
    ASSERT_EQ(Start(ExecDELL, Dos("job.*")), 1);
    EXPECT_TRUE(Exists("job.ftp"));
    EXPECT_TRUE(Exists("job.log"));
    EXPECT_NE(ReadFile("job.log").find("job.ftp: it is a file of this run\r\n"), std::string::npos);
    setenv("QELTA_DRIVE_Q", dir.c_str(), 1);
    EXPECT_EQ(Start(ExecDELL, "Q:*.ftp"), 0);
    unsetenv("QELTA_DRIVE_Q");
    EXPECT_STREQ(q->ErrorText, "No folder in the pattern of DELL: Q:*.ftp\r\n");
    EXPECT_TRUE(Exists("job.ftp"));
}

// ---- the local scan and file names ---------------------------------------------------------

TEST(LocalScan, WindowsWildcardRules) {
    const struct {
        const char *pattern, *name;
        int match;
    } cases[] = {
        {"*.*", "noext", 1},   {"*.*", "a.b.c", 1},  {"*.", "noext", 1},     {"*.", "a.txt", 0},
        {"*.txt", "A.TXT", 1}, {"*.txt", "a.txt2", 0}, {"*.txt", "a.txt.txt", 1},
        {"a?", "ab", 1},       {"a?", "abc", 0},     {"a??", "ab", 1},       {"a?", "a", 1},     {"?", "x", 1},          {"a.*", "a", 1},
        {"*x*", "noext", 1},   {"*", "x", 1},        {"a*.*", "ab", 1},      {"??.txt", "a.txt", 1},
        {"a?c", "a.c", 0},     {"*.c", "a.b.c", 1},  {"noext.", "noext", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(PosixWildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

class ScanTest : public ScriptFixture {};

TEST_F(ScanTest, ListsOrdinaryFilesSortedWithoutFoldersOrDotFiles) {
    for (const char *n : {"b.txt", "A.txt", "a.TXT2", "c", ".dot.txt", "fifo.txt"})
        WriteFile(n, "x");
    unlink(Posix("fifo.txt").c_str());
    ASSERT_EQ(mkfifo(Posix("fifo.txt").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(Posix("dir.txt").c_str(), 0755), 0);
    ASSERT_EQ(symlink(Posix("b.txt").c_str(), Posix("link.txt").c_str()), 0);
    auto scan = [&](const std::string &pattern) {
        std::vector<std::string> names;
        char name[PLAT_NAME_MAX];
        PlatScan s = PlatScanFirst((Dos("") + "\\" + pattern).c_str(), name, sizeof name);
        if (s == -1) return names;
        do names.push_back(name);
        while (PlatScanNext(s, name, sizeof name));
        PlatScanClose(s);
        return names;
    };
    EXPECT_EQ(scan("*.txt"), (std::vector<std::string>{"A.txt", "b.txt", "link.txt"}));
    EXPECT_EQ(scan("*.*"), (std::vector<std::string>{"A.txt", "a.TXT2", "b.txt", "c", "link.txt"}));
    EXPECT_EQ(scan("*."), (std::vector<std::string>{"c"}));
    EXPECT_TRUE(scan("*.none").empty());
    char name[PLAT_NAME_MAX];
    EXPECT_EQ(PlatScanFirst((Dos("nowhere") + "\\*").c_str(), name, sizeof name), -1);
}

TEST_F(ScanTest, TrailingBlanksAndDotsAreDroppedAsWindowsDoes) {
    PlatFile f = PlatFileCreate((Dos("a.txt") + " ").c_str());
    ASSERT_NE(f, -1);
    PlatFileClose(f);
    EXPECT_TRUE(Exists("a.txt"));
    f = PlatFileOpenRead((Dos("a.txt") + ". .").c_str());
    EXPECT_NE(f, -1);
    PlatFileClose(f);
    EXPECT_EQ(PlatFileDelete((Dos("a.txt") + "  ").c_str()), 1);
    EXPECT_FALSE(Exists("a.txt"));
    EXPECT_EQ(PosixWindowsName("C:\\x\\.."), "C:\\x\\..");
    EXPECT_EQ(PosixWindowsName("C:\\x. \\y.. "), "C:\\x. \\y");
}

}  // namespace
