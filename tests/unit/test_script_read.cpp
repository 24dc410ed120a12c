// The keyword table, the reader of script lines and of the generated
// command file, and the prerequisite check.
#include "test_script_fixture.h"

namespace {

class ReadCommandTest : public ScriptFixture {
protected:
    // Reads command number n of the script.
    int Read(int n) {
        q->CommandIndex = n;
        return ReadCommand(q);
    }
};

TEST_F(ReadCommandTest, LongKeyFormLinesGiveIdArgumentAndIcon) {
    UseScript("[QELTA]\r\n"
              "FTPCommand1=type i\r\n"
              "FTPCommand2=TYPE I\r\n"
              "FTPCommand3=QUIT\r\n"
              "FTPCommand4=\"QUIT \"\r\n"
              "ftpcommand5=RETR pub/a.zip C:\\in\\a.zip\r\n"
              "FTPCommand6=XYZW something\r\n"
              "FTPCommand7=\r\n",
              1);
    EXPECT_EQ(Read(1), 2);
    EXPECT_STREQ(q->Argument, "i");
    EXPECT_EQ(q->IconKind, 4);
    EXPECT_EQ(Read(2), 2);
    EXPECT_STREQ(q->Argument, "I");
    EXPECT_EQ(Read(3), 7);
    EXPECT_STREQ(q->Argument, "");
    EXPECT_EQ(q->IconKind, 1);
    EXPECT_EQ(Read(4), 7);
    EXPECT_STREQ(q->Argument, "");
    EXPECT_EQ(Read(5), 14);
    EXPECT_STREQ(q->Argument, "pub/a.zip C:\\in\\a.zip");
    EXPECT_EQ(q->IconKind, 3);
    // Unknown keyword, empty line and missing key all read as NONE.
    for (int n : {6, 7, 8}) {
        q->IconKind = 3;
        EXPECT_EQ(Read(n), 0) << n;
        EXPECT_EQ(q->IconKind, 1) << n;
    }
}

TEST_F(ReadCommandTest, ShortKeyFormUsesBareNumbers) {
    UseScript("[qelta]\n1=CONN 127.0.0.1\n2=user anonymous\nFTPCommand3=QUIT\n", 0);
    EXPECT_EQ(Read(1), 1);
    EXPECT_STREQ(q->Argument, "127.0.0.1");
    EXPECT_EQ(Read(2), 5);
    EXPECT_STREQ(q->Argument, "anonymous");
    EXPECT_EQ(Read(3), 0);  // the other form's key is not read
}

TEST_F(ReadCommandTest, KeywordVariantsSetTheirModes) {
    UseScript("[QELTA]\n1=PORT\n2=PASV\n3=PORT\n4=DELR *.tmp\n5=DELL C:\\x\n"
              "6=MGTC *.zip\n7=STOU a b\n8=APPE a b\n9=STOR a b\n",
              0);
    EXPECT_EQ(Read(1), 4);
    EXPECT_EQ(q->PASVMode, 0);
    EXPECT_EQ(Read(2), 30);
    EXPECT_EQ(q->PASVMode, 1);
    EXPECT_EQ(Read(3), 30);  // every later PORT runs passive
    EXPECT_EQ(Read(4), 19);
    EXPECT_EQ(Read(5), 18);
    EXPECT_EQ(Read(6), 16);
    EXPECT_EQ(q->MgtcMode, 1);
    EXPECT_EQ(Read(7), 13);
    EXPECT_EQ(q->StouMode, 1);
    EXPECT_EQ(Read(8), 13);
    EXPECT_EQ(q->AppeMode, 1);
    EXPECT_EQ(Read(9), 13);
    EXPECT_EQ(q->IconKind, 2);
}

TEST_F(ReadCommandTest, IndentedLineReadsLikeUnindented) {
    UseScript("[QELTA]\n1=\"  TYPE I\"\n2=\"    QUIT\"\n3=\"     QUIT\"\n", 0);
    EXPECT_EQ(Read(1), 2);
    EXPECT_STREQ(q->Argument, "I");
    EXPECT_EQ(Read(2), 7);
    EXPECT_STREQ(q->Argument, "");
    EXPECT_EQ(Read(3), 0);  // at most four blanks are skipped
}

TEST_F(ReadCommandTest, OverlongLineIsCutToTheBuffer) {
    std::string arg(700, 'x');
    UseScript("[QELTA]\n1=EXEC " + arg + "\n", 0);
    EXPECT_EQ(Read(1), 12);
    EXPECT_EQ(std::strlen(q->Argument), 511u - 5u);
}

TEST(CommandTable, LookupsByKeywordAndId) {
    const CommandEntry *e = FindCommand("dell");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Id, 18);
    EXPECT_EQ(FindCommand("DELR")->Id, 19);
    EXPECT_EQ(FindCommand("Wfor 0:05")->Id, 27);
    EXPECT_EQ(FindCommand("WFO"), nullptr);
    EXPECT_EQ(FindCommand(""), nullptr);
    EXPECT_STREQ(KeywordForId(13), "STOR");
    EXPECT_STREQ(KeywordForId(16), "MGET");
    EXPECT_STREQ(KeywordForId(4), "PORT");
    for (int i = 0; i < CommandTableSize; i++) {
        int id = CommandTable[i].Id;
        EXPECT_TRUE(id >= 0 && id <= 30 && id != 21 && id != 24 && id != 25) << id;
        EXPECT_EQ(FindCommand(CommandTable[i].Keyword), &CommandTable[i]);
    }
}

// ---- the generated command file ----

class GeneratedReadTest : public ReadCommandTest {
protected:
    void UseGenerated(const std::string &bytes) {
        WriteFile("job.tm2", bytes);
        CopyCut(q->GeneratedScriptPath, sizeof(q->GeneratedScriptPath), Dos("job.tm2").c_str());
        q->GeneratedScriptHandle = PlatFileOpen(q->GeneratedScriptPath);
        ASSERT_NE(q->GeneratedScriptHandle, -1);
        q->GeneratedActive = 1;
        q->GeneratedReadOffset = 0;
    }
    // One generated command, read as the driver does after its advance.
    int Next() {
        q->CommandIndex++;
        return ReadCommand(q);
    }
};

TEST_F(GeneratedReadTest, LinesKeepTheStartingLineNumberAndTheLastDeletesTheFile) {
    std::string body = "PORT x\r\nRETR pub/a.zip C:\\in\\a.zip\r\nDELR pub/a.zip\r\nKILL 5\r\n";
    UseGenerated(body);
    q->CommandIndex = 5;
    q->IconKind = 3;
    EXPECT_EQ(Next(), 4);
    EXPECT_STREQ(q->Argument, "x");
    EXPECT_EQ(q->CommandIndex, 5);
    EXPECT_EQ(q->GeneratedReadOffset, 8);
    EXPECT_EQ(PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_CUR), 8);
    EXPECT_EQ(Next(), 14);
    EXPECT_STREQ(q->Argument, "pub/a.zip C:\\in\\a.zip");
    EXPECT_EQ(Next(), 19);
    EXPECT_EQ(q->GeneratedActive, 1);
    EXPECT_EQ(Next(), 17);
    EXPECT_STREQ(q->Argument, "5");
    EXPECT_EQ(q->CommandIndex, 5);
    EXPECT_EQ(q->IconKind, 3);  // generated lines leave the icon alone
    EXPECT_EQ(q->GeneratedActive, 0);
    EXPECT_EQ(q->GeneratedScriptHandle, -1);
    EXPECT_FALSE(Exists("job.tm2"));
    EXPECT_EQ(q->GeneratedReadOffset, (int)body.size());
}

TEST_F(GeneratedReadTest, PassiveModeTurnsPIntoPasv) {
    UseGenerated("PORT\r\nKILL 1\r\n");
    q->PASVMode = 1;
    EXPECT_EQ(Next(), 30);
    EXPECT_STREQ(q->Argument, "");
}

TEST_F(GeneratedReadTest, NameListAtTheEndStaysOpenForAppendedLines) {
    UseGenerated("TYPE A\r\nNLST *.zip\r\n");
    q->CommandIndex = 3;
    q->RestoreTypeI = 1;
    EXPECT_EQ(Next(), 2);
    EXPECT_STREQ(q->Argument, "A");
    EXPECT_EQ(Next(), 6);
    EXPECT_STREQ(q->Argument, "*.zip");
    EXPECT_EQ(q->GeneratedActive, 1);
    // One byte short of the end, on the N line's own line feed.
    EXPECT_EQ(q->GeneratedReadOffset, 19);
    EXPECT_EQ(PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_CUR), 19);

    // What the name list does when it completes: append, then move on.
    const char more[] = "PORT\r\nRETR a.zip\r\nKILL 3\r\n";
    PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_END);
    PlatFileWrite(q->GeneratedScriptHandle, more, sizeof(more) - 1);
    PlatFileSeek(q->GeneratedScriptHandle, q->GeneratedReadOffset + 1, QSEEK_SET);

    // TYPE I comes first, without reading the file.
    EXPECT_EQ(Next(), 2);
    EXPECT_STREQ(q->Argument, "I");
    EXPECT_EQ(q->RestoreTypeI, 0);
    EXPECT_EQ(q->CommandIndex, 3);
    EXPECT_EQ(q->GeneratedReadOffset, 19);
    EXPECT_EQ(Next(), 4);
    EXPECT_EQ(Next(), 14);
    EXPECT_STREQ(q->Argument, "a.zip");
    EXPECT_EQ(Next(), 17);
    EXPECT_EQ(q->GeneratedActive, 0);
    EXPECT_FALSE(Exists("job.tm2"));
}

TEST_F(GeneratedReadTest, RestoreTypeIWaitsForTheNameList) {
    UseGenerated("RETR a\r\nKILL 1\r\n");
    q->RestoreTypeI = 1;
    q->CommandId = 14;
    EXPECT_EQ(Next(), 14);
    EXPECT_EQ(q->RestoreTypeI, 1);
}

TEST_F(GeneratedReadTest, OverlongLineIsCutAndTheNextLineStillFound) {
    std::string longLine = "RETR " + std::string(900, 'n');
    UseGenerated(longLine + "\r\nKILL 2\r\n");
    EXPECT_EQ(Next(), 14);
    EXPECT_EQ(std::strlen(q->Argument), 511u - 5u);
    EXPECT_EQ(Next(), 17);
    EXPECT_STREQ(q->Argument, "2");
}

TEST_F(GeneratedReadTest, UnknownFirstLetterIsMarkedBad) {
    UseGenerated("XYZW a\r\n");
    EXPECT_EQ(Next(), CMD_BAD_GENERATED_LINE);
    EXPECT_EQ(q->GeneratedActive, 0);
}

// ---- prerequisites ----

TEST(CheckPreReq, EachIdNeedsItsFlags) {
    // Allowed ids per state; every other id of -1..31 is refused.
    struct {
        int c, u, l;
        std::initializer_list<int> allowed;
    } cases[] = {
        {0, 0, 0, {0, 1, 12, 17, 18, 20, 27, 28, 29}},
        {1, 0, 0, {0, 1, 5, 7, 12, 17, 18, 20, 27, 28, 29}},
        {1, 1, 0, {0, 1, 3, 5, 7, 12, 17, 18, 20, 27, 28, 29}},
        {1, 1, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                   22, 23, 26, 27, 28, 29, 30}},
        // A flag counts only when it is exactly 1.
        {2, 1, 1, {0, 1, 12, 17, 18, 20, 27, 28, 29}},
        // Logged in without the user step does not open TYPE.
        {1, 0, 1, {0, 1, 5, 7, 12, 17, 18, 20, 27, 28, 29}},
    };
    QELTA *q = new QELTA();
    for (auto &c : cases) {
        q->Connected = c.c;
        q->UserAccepted = c.u;
        q->LoggedIn = c.l;
        for (int id = -1; id <= 31; id++) {
            bool want = false;
            for (int a : c.allowed) want = want || a == id;
            q->IdleCount = 9;
            q->ErrorText[0] = 0;
            EXPECT_EQ(CheckPreReq(id, q), want ? 1 : 0) << id << " " << c.c << c.u << c.l;
            EXPECT_EQ(q->IdleCount, 0);
            if (!want) {
                EXPECT_STREQ(q->ErrorText, "Failed to find command in CheckPreReq()");
            }
        }
    }
    delete q;
}

}  // namespace
