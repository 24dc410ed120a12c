// The keyword table, the reader of script lines and of the generated
// command file, and the prerequisite check.
#include <vector>

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
    EXPECT_EQ(Read(1), CMD_TYPE);
    EXPECT_STREQ(q->Argument, "i");
    EXPECT_EQ(q->IconKind, ICON_AICON);
    EXPECT_EQ(Read(2), CMD_TYPE);
    EXPECT_STREQ(q->Argument, "I");
    EXPECT_EQ(Read(3), CMD_QUIT);
    EXPECT_STREQ(q->Argument, "");
    EXPECT_EQ(q->IconKind, ICON_DISC);
    EXPECT_EQ(Read(4), CMD_QUIT);
    EXPECT_STREQ(q->Argument, "");
    EXPECT_EQ(Read(5), CMD_RETR);
    EXPECT_STREQ(q->Argument, "pub/a.zip C:\\in\\a.zip");
    EXPECT_EQ(q->IconKind, ICON_DOWN);
    // Unknown keyword, empty line and missing key all read as NONE.
    for (int n : {6, 7, 8}) {
        q->IconKind = ICON_DOWN;
        EXPECT_EQ(Read(n), CMD_NONE) << n;
        EXPECT_EQ(q->IconKind, ICON_DISC) << n;
    }
}

TEST_F(ReadCommandTest, ShortKeyFormUsesBareNumbers) {
    UseScript("[qelta]\n1=CONN 127.0.0.1\n2=user anonymous\nFTPCommand3=QUIT\n", 0);
    EXPECT_EQ(Read(1), CMD_CONN);
    EXPECT_STREQ(q->Argument, "127.0.0.1");
    EXPECT_EQ(Read(2), CMD_USER);
    EXPECT_STREQ(q->Argument, "anonymous");
    EXPECT_EQ(Read(3), CMD_NONE);  // the other form's key is not read
}

TEST_F(ReadCommandTest, KeywordVariantsSetTheirModes) {
    UseScript("[QELTA]\n1=PORT\n2=PASV\n3=PORT\n4=DELR *.tmp\n5=DELL C:\\x\n"
              "6=MGTC *.zip\n7=STOU a b\n8=APPE a b\n9=STOR a b\n",
              0);
    EXPECT_EQ(Read(1), CMD_PORT);
    EXPECT_EQ(q->PASVMode, 0);
    EXPECT_EQ(Read(2), CMD_PASV);
    EXPECT_EQ(q->PASVMode, 1);
    EXPECT_EQ(Read(3), CMD_PASV);  // every later PORT runs passive
    EXPECT_EQ(Read(4), CMD_DELR);
    EXPECT_EQ(Read(5), CMD_DELL);
    EXPECT_EQ(Read(6), CMD_MGET);
    EXPECT_EQ(q->MgtcMode, 1);
    EXPECT_EQ(Read(7), CMD_STOR);
    EXPECT_EQ(q->StouMode, 1);
    EXPECT_EQ(Read(8), CMD_STOR);
    EXPECT_EQ(q->AppeMode, 1);
    EXPECT_EQ(Read(9), CMD_STOR);
    EXPECT_EQ(q->IconKind, ICON_UP);
}

TEST_F(ReadCommandTest, IndentedLineReadsLikeUnindented) {
    UseScript("[QELTA]\n1=\"  TYPE I\"\n2=\"    QUIT\"\n3=\"     QUIT\"\n", 0);
    EXPECT_EQ(Read(1), CMD_TYPE);
    EXPECT_STREQ(q->Argument, "I");
    EXPECT_EQ(Read(2), CMD_QUIT);
    EXPECT_STREQ(q->Argument, "");
    EXPECT_EQ(Read(3), CMD_NONE);  // at most four blanks are skipped
}

TEST_F(ReadCommandTest, OverlongLineIsCutToTheBuffer) {
    std::string arg(700, 'x');
    UseScript("[QELTA]\n1=EXEC " + arg + "\n", 0);
    EXPECT_EQ(Read(1), CMD_EXEC);
    EXPECT_EQ(std::strlen(q->Argument), 511u - 5u);
}

TEST(CommandTable, LookupsByKeywordAndId) {
    const CommandEntry *e = FindCommand("dell");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Id, CMD_DELL);
    EXPECT_EQ(FindCommand("DELR")->Id, CMD_DELR);
    EXPECT_EQ(FindCommand("Wfor 0:05")->Id, CMD_WFOR);
    EXPECT_EQ(FindCommand("WFO"), nullptr);
    EXPECT_EQ(FindCommand(""), nullptr);
    // An id shared by variants names its base command.
    EXPECT_STREQ(KeywordForId(CMD_STOR), "STOR");
    EXPECT_STREQ(KeywordForId(CMD_MGET), "MGET");
    EXPECT_STREQ(KeywordForId(CMD_PORT), "PORT");
    for (int id : {-1, 21, 24, 25, (int)CMD_BAD_GENERATED_LINE, 1000}) {
        EXPECT_EQ(CommandForId(id), nullptr) << id;
        EXPECT_STREQ(KeywordForId(id), "????") << id;
    }
    // Every keyword is found again, and every id it gives leads to a row
    // of that id with an executor.
    for (int i = 0; i < CommandTableSize; i++) {
        const CommandEntry &row = CommandTable[i];
        EXPECT_EQ(FindCommand(row.Keyword), &row);
        const CommandEntry *base = CommandForId(row.Id);
        ASSERT_NE(base, nullptr) << row.Keyword;
        EXPECT_EQ(base->Id, row.Id);
        EXPECT_NE(row.Exec, nullptr) << row.Keyword;
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
    q->IconKind = ICON_DOWN;
    EXPECT_EQ(Next(), CMD_PORT);
    EXPECT_STREQ(q->Argument, "x");
    EXPECT_EQ(q->CommandIndex, 5);
    EXPECT_EQ(q->GeneratedReadOffset, 8);
    EXPECT_EQ(PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_CUR), 8);
    EXPECT_EQ(Next(), CMD_RETR);
    EXPECT_STREQ(q->Argument, "pub/a.zip C:\\in\\a.zip");
    EXPECT_EQ(Next(), CMD_DELR);
    EXPECT_EQ(q->GeneratedActive, 1);
    EXPECT_EQ(Next(), CMD_KILL);
    EXPECT_STREQ(q->Argument, "5");
    EXPECT_EQ(q->CommandIndex, 5);
    EXPECT_EQ(q->IconKind, ICON_DOWN);  // generated lines leave the icon alone
    EXPECT_EQ(q->GeneratedActive, 0);
    EXPECT_EQ(q->GeneratedScriptHandle, -1);
    EXPECT_FALSE(Exists("job.tm2"));
    EXPECT_EQ(q->GeneratedReadOffset, (int)body.size());
}

TEST_F(GeneratedReadTest, PassiveModeTurnsPIntoPasv) {
    UseGenerated("PORT\r\nKILL 1\r\n");
    q->PASVMode = 1;
    EXPECT_EQ(Next(), CMD_PASV);
    EXPECT_STREQ(q->Argument, "");
}

TEST_F(GeneratedReadTest, NameListAtTheEndStaysOpenForAppendedLines) {
    UseGenerated("TYPE A\r\nNLST *.zip\r\n");
    q->CommandIndex = 3;
    q->RestoreTypeI = 1;
    EXPECT_EQ(Next(), CMD_TYPE);
    EXPECT_STREQ(q->Argument, "A");
    EXPECT_EQ(Next(), CMD_NLST);
    EXPECT_STREQ(q->Argument, "*.zip");
    EXPECT_EQ(q->GeneratedActive, 1);
    // At the N line's end, where the name list appends.
    EXPECT_EQ(q->GeneratedReadOffset, 20);
    EXPECT_EQ(PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_CUR), 20);

    // What the name list does when it completes: append, then move on.
    const char more[] = "PORT\r\nRETR a.zip\r\nKILL 3\r\n";
    PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_END);
    PlatFileWrite(q->GeneratedScriptHandle, more, sizeof(more) - 1);
    PlatFileSeek(q->GeneratedScriptHandle, q->GeneratedReadOffset, QSEEK_SET);

    // TYPE I comes first, without reading the file.
    EXPECT_EQ(Next(), CMD_TYPE);
    EXPECT_STREQ(q->Argument, "I");
    EXPECT_EQ(q->RestoreTypeI, 0);
    EXPECT_EQ(q->CommandIndex, 3);
    EXPECT_EQ(q->GeneratedReadOffset, 20);
    EXPECT_EQ(Next(), CMD_PORT);
    EXPECT_EQ(Next(), CMD_RETR);
    EXPECT_STREQ(q->Argument, "a.zip");
    EXPECT_EQ(Next(), CMD_KILL);
    EXPECT_EQ(q->GeneratedActive, 0);
    EXPECT_FALSE(Exists("job.tm2"));
}

TEST_F(GeneratedReadTest, RestoreTypeIWaitsForTheNameList) {
    UseGenerated("RETR a\r\nKILL 1\r\n");
    q->RestoreTypeI = 1;
    q->CommandId = CMD_RETR;
    EXPECT_EQ(Next(), CMD_RETR);
    EXPECT_EQ(q->RestoreTypeI, 1);
}

TEST_F(GeneratedReadTest, OverlongLineIsCutAndTheNextLineStillFound) {
    std::string longLine = "RETR " + std::string(900, 'n');
    UseGenerated(longLine + "\r\nKILL 2\r\n");
    EXPECT_EQ(Next(), CMD_RETR);
    EXPECT_EQ(std::strlen(q->Argument), 511u - 5u);
    EXPECT_EQ(Next(), CMD_KILL);
    EXPECT_STREQ(q->Argument, "2");
}

TEST_F(GeneratedReadTest, UnknownFirstLetterIsMarkedBad) {
    UseGenerated("XYZW a\r\n");
    EXPECT_EQ(Next(), CMD_BAD_GENERATED_LINE);
    EXPECT_EQ(q->GeneratedActive, 0);
}

// ---- prerequisites ----

std::vector<int> Plus(std::vector<int> ids, std::initializer_list<int> more) {
    ids.insert(ids.end(), more);
    return ids;
}

TEST(CheckPreReq, EachIdNeedsItsFlags) {
    const std::vector<int> anytime = {CMD_NONE, CMD_CONN, CMD_EXEC, CMD_KILL, CMD_DELL,
                                      CMD_WTIL, CMD_WFOR, CMD_DIAL, CMD_GOTO};
    const std::vector<int> connected = Plus(anytime, {CMD_USER, CMD_QUIT});
    const std::vector<int> user = Plus(connected, {CMD_PASS});
    const std::vector<int> login =
        Plus(user, {CMD_TYPE, CMD_PORT, CMD_NLST, CMD_RDIR, CMD_MDIR, CMD_CHWD, CMD_LIST, CMD_STOR,
                    CMD_RETR, CMD_MPUT, CMD_MGET, CMD_DELR, CMD_ACCT, CMD_SMNT, CMD_UDEF, CMD_PASV});
    // Allowed ids per state; every other id of -1..31 is refused.
    struct {
        int c, u, l;
        const std::vector<int> &allowed;
    } cases[] = {
        {0, 0, 0, anytime},
        {1, 0, 0, connected},
        {1, 1, 0, user},
        {1, 1, 1, login},
        // A flag counts only when it is exactly 1.
        {2, 1, 1, anytime},
        // Logged in without the user step does not open TYPE.
        {1, 0, 1, connected},
    };
    QELTA *q = NewSession();
    for (auto &c : cases) {
        q->Connected = c.c;
        q->UserAccepted = c.u;
        q->LoggedIn = c.l;
        for (int id = -1; id <= CMD_ID_COUNT; id++) {
            bool want = false;
            for (int a : c.allowed) want = want || a == id;
            q->ErrorText[0] = 0;
            EXPECT_EQ(CheckPreReq(id, q), want ? 1 : 0) << id << " " << c.c << c.u << c.l;
            if (!want) {
                EXPECT_STREQ(q->ErrorText, "Failed to find command in CheckPreReq()");
            }
        }
    }
    DeleteSession(q);
}

}  // namespace
