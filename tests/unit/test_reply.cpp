// FillControlBuffer and CheckFor on a real socket pair.
#include <arpa/inet.h>

#include "script/commandids.h"
#include "test_ftp_fixture.h"


using ReplyTest = FtpFixture;

TEST_F(ReplyTest, MultiLineReplyYieldsItsFinalCodeAndIsLoggedExactly) {
    const std::string greeting = "220-Welcome\r\n220-Second line\r\n220 Ready\r\n";
    ASSERT_EQ(Deliver(greeting), 1);
    EXPECT_STREQ(q->ReplyBuffer, "220 ");
    EXPECT_EQ(q->ReplyLength, 4);
    EXPECT_EQ(q->IdleCount, 0);
    EXPECT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 1);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_STREQ(q->ReplyBuffer, "");
    EXPECT_EQ(ReadFile("run.log"), greeting);
}

TEST_F(ReplyTest, OnlyContinuationLinesIsNotDecisive) {
    EXPECT_EQ(Reply("220-Welcome\r\n220-More to come\r\n", "220 "), 0);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_EQ(Reply("220 Ready\r\n", "220 "), 1);
}

// Every split of a reply between two reads completes it exactly once.
static void SplitEverywhere(const std::string &reply, const char *expected, int commandId) {
    for (size_t cut = 1; cut < reply.size(); cut++) {
        FtpSession f;
        f.Open();
        f.q->CommandId = commandId;
        int first = f.Reply(reply.substr(0, cut), expected);
        int second = f.Reply(reply.substr(cut), expected);
        EXPECT_EQ(first + second, 1) << "split at " << cut;
        EXPECT_STREQ(f.q->ErrorText, "") << "split at " << cut;
        EXPECT_EQ(f.ReadFile("run.log"), reply) << "split at " << cut;
        f.Close();
    }
}

TEST(ReplySplit, CodeSplitAcrossTwoReadsAtEveryPosition) {
    SplitEverywhere("220 Ready\r\n", "220 ", CMD_CHWD);
    SplitEverywhere("220-Welcome\r\n220-Second line\r\n220 Ready\r\n", "220 ", CMD_CHWD);
    SplitEverywhere("150 Opening data connection for a.zip (48213 bytes).\r\n226 Transfer complete.\r\n",
                    "226 ", CMD_RETR);
}

TEST_F(ReplyTest, CarryOverFindsCodeWhoseLineFeedEndsTheFirstRead) {
    q->CommandId = CMD_RETR;
    EXPECT_EQ(Reply("150 Opening BINARY mode data connection.\r\n2", "226 "), 0);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_EQ(Reply("26 Transfer complete.\r\n", "226 "), 1);
}

TEST_F(ReplyTest, ShortReadWithoutCodeWaits) {
    ASSERT_EQ(Deliver("22"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "");
    EXPECT_EQ(q->ReplyLength, 4);
    EXPECT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 0);
    EXPECT_STREQ(q->ErrorText, "");
}

TEST_F(ReplyTest, PreliminaryRepliesArePassedOverOnlyByTransfers) {
    const std::string both = "150 Opening data connection for a.zip (48213 bytes).\r\n226 Transfer complete.\r\n";
    for (int id : {CMD_RETR, CMD_LIST, CMD_STOR, CMD_NLST}) {
        q->CommandId = id;
        ASSERT_EQ(Deliver(both), 1);
        EXPECT_STREQ(q->ReplyBuffer, "226 ") << id;
    }
    // Alone, a preliminary reply is the code for other commands; with the
    // final reply behind it in the same read, the final one is.
    q->CommandId = CMD_TYPE;
    ASSERT_EQ(Deliver("150 Opening data connection.\r\n"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "150 ");
    EXPECT_EQ(CheckFor(nullptr, "200 ", q->ReplyLength, q), 0);
    EXPECT_STREQ(q->ErrorText, "");
    q->CommandId = CMD_CONN;
    ASSERT_EQ(Deliver("120 Ready in a minute.\r\n220 Ready.\r\n"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "220 ");
    ASSERT_EQ(Deliver("120 Ready in a minute.\r\n2"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "120 ");
    ASSERT_EQ(Deliver("20 Ready.\r\n"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "220 ");
    q->CommandId = CMD_RETR;
    ASSERT_EQ(Deliver("150 Opening data connection.\r\n"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "");
}

TEST_F(ReplyTest, AnnouncedSizeIsTakenOncePerRetrieval) {
    q->CommandId = CMD_RETR;
    Deliver("150 Opening (not a size) for a.zip (48213 bytes).\r\n");
    EXPECT_EQ(q->ExpectedSize, 48213u);
    Deliver("150 Opening for b.zip (99 bytes).\r\n");
    EXPECT_EQ(q->ExpectedSize, 48213u);  // already known

    q->ExpectedSize = 0;
    Deliver("150 Opening for c.zip (3000000000 bytes).\r\n");
    EXPECT_EQ(q->ExpectedSize, 3000000000u);  // beyond a signed 32-bit long
    q->ExpectedSize = 0;
    Deliver("150 Opening for d.zip (5000000000 bytes).\r\n");
    EXPECT_EQ(q->ExpectedSize, 5000000000u);  // beyond 32 bits
    q->ExpectedSize = 0;
    Deliver("150 Opening for e.zip (18446744073709551617 bytes).\r\n");
    EXPECT_EQ(q->ExpectedSize, 0u);  // does not fit: stays unknown
    Deliver("150 Opening (12");  // ends inside the group
    EXPECT_EQ(q->ExpectedSize, 0u);

    q->CommandId = CMD_LIST;
    Deliver("150 Here comes (512 bytes).\r\n");
    EXPECT_EQ(q->ExpectedSize, 0u);
}

TEST_F(ReplyTest, PassiveAddressComesFromTheLastGroup) {
    q->CommandId = CMD_PASV;
    ASSERT_EQ(Deliver("227 Entering Passive Mode (10,0,0,1,1,1) or (192,168,1,20,19,137).\r\n"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "227 ");
    EXPECT_EQ(q->PassiveAddress.family, 2);
    const unsigned char want[4] = {192, 168, 1, 20};
    EXPECT_EQ(memcmp(q->PassiveAddress.addr, want, 4), 0);
    EXPECT_EQ(ntohs(q->PassiveAddress.port), 5001);

    // Fields past the end of the data read as 0; values keep their low bits.
    Deliver("227 (300,2");
    const unsigned char cut[4] = {44, 2, 0, 0};
    EXPECT_EQ(memcmp(q->PassiveAddress.addr, cut, 4), 0);
    EXPECT_EQ(q->PassiveAddress.port, 0);

    q->CommandId = CMD_TYPE;
    Deliver("200 (1,2,3,4,5,6)\r\n");
    EXPECT_EQ(memcmp(q->PassiveAddress.addr, cut, 4), 0);
}

struct SubstituteCase {
    const char *expected, *reply;
    int commandId, accepted;
};

TEST_F(ReplyTest, SubstitutesAreAcceptedOnlyWhereTheyApply) {
    const SubstituteCase cases[] = {
        {"226 ", "250 Done.\r\n", CMD_RETR, 1},
        {"331 ", "230 Logged in.\r\n", CMD_USER, 1},
        {"200 ", "250 Ok.\r\n", CMD_TYPE, 1},
        {"250 ", "200 Ok.\r\n", CMD_CHWD, 1},
        {"150 ", "125 Starting.\r\n", CMD_TYPE, 1},
        {"230 ", "332 Need account.\r\n", CMD_PASS, 1},
        {"230 ", "332 Need account.\r\n", CMD_ACCT, 0},
        {"250 ", "257 Removed.\r\n", CMD_RDIR, 1},
        {"250 ", "257 \"/x\" created.\r\n", CMD_CHWD, 0},
        {"220 ", "230 Hello.\r\n", CMD_CONN, 0},
        {"250 ", "350 Pending.\r\n", CMD_CHWD, 0},
    };
    for (const SubstituteCase &c : cases) {
        q->CommandId = c.commandId;
        q->LoggedIn = 0;
        EXPECT_EQ(Reply(c.reply, c.expected), c.accepted) << c.expected << " <- " << c.reply;
        EXPECT_STREQ(q->ErrorText, "") << c.reply;
    }
    q->CommandId = CMD_USER;
    Reply("230 Logged in.\r\n", "331 ");
    EXPECT_EQ(q->LoggedIn, 1);
}

TEST_F(ReplyTest, RefusalCarriesTheServersWholeLine) {
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("550 Failed to change directory.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "550 Failed to change directory.\r\n");
}

TEST_F(ReplyTest, RefusalLineIsTheServersEvenWithTheTraceOn) {
    q->DebugEx = 1;
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("250-First\r\n421 Timeout.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "421 Timeout.\r\n");
    std::string log = ReadFile("run.log");
    EXPECT_NE(log.find("string=421 \r\n"), std::string::npos);
    EXPECT_NE(log.find("end of CheckFor() FALSE\r\n"), std::string::npos);
}

TEST_F(ReplyTest, RefusalSplitAcrossReadsIsReportedWhole) {
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("550 Permission", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "550 Permission");
    ResetCarryOver();
    q->ErrorText[0] = 0;
    q->LastReplyLine[0] = 0;
    EXPECT_EQ(Reply("331 Password please.\r\n", "250 "), 0);
    EXPECT_EQ(Reply("530 Not logged", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "530 Not logged");
}

TEST_F(ReplyTest, DirectoryOverrides) {
    q->CommandId = CMD_MDIR;
    q->DirCmdCanDoNothing = 1;
    EXPECT_EQ(Reply("550 Create directory operation failed.\r\n", "257 "), 1);
    q->CommandId = CMD_RDIR;
    EXPECT_EQ(Reply("550 Remove directory operation failed.\r\n", "250 "), 1);
    EXPECT_STREQ(q->ErrorText, "");
    q->DirCmdCanDoNothing = 0;
    EXPECT_EQ(Reply("550 Remove directory operation failed.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "550 Remove directory operation failed.\r\n");
}

TEST_F(ReplyTest, DeleteOverrides) {
    q->CommandId = CMD_DELR;
    q->DELR550OverRide = 1;
    EXPECT_EQ(Reply("450 Busy.\r\n", "250 "), 1);
    // During a wildcard delete a 550 is governed by the other override.
    q->ReturnIndex = 4;
    q->_550DeleteOverRide = 1;
    EXPECT_EQ(Reply("550 No such file.\r\n", "250 "), 1);
    EXPECT_EQ(q->Tolerated550, 1);
    EXPECT_EQ(Reply("450 Busy.\r\n", "250 "), 1);
    q->DELR550OverRide = 0;
    EXPECT_EQ(Reply("450 Busy.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "450 Busy.\r\n");

    // A 550 inside another multi-file command is tolerated whatever the
    // delete override says.
    q->ErrorText[0] = 0;
    q->Tolerated550 = 0;
    q->_550DeleteOverRide = 0;
    q->CommandId = CMD_RETR;
    EXPECT_EQ(Reply("550 No such file.\r\n", "226 "), 1);
    EXPECT_EQ(q->Tolerated550, 1);
}

TEST_F(ReplyTest, PassRetriesTwiceThenFails) {
    q->CommandId = CMD_PASS;
    EXPECT_EQ(Reply("530 Login incorrect.\r\n", "230 "), 1);
    EXPECT_EQ(q->PassRetryCount, 1);
    EXPECT_EQ(Reply("530 Login incorrect.\r\n", "230 "), 1);
    EXPECT_EQ(q->PassRetryCount, 2);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_EQ(Reply("530 Login incorrect.\r\n", "230 "), 0);
    EXPECT_STREQ(q->ErrorText, "530 Login incorrect.\r\n");

    q->ErrorText[0] = 0;
    q->PassRetryCount = 1;
    EXPECT_EQ(Reply("230 Login successful.\r\n", "230 "), 1);
    EXPECT_EQ(q->PassRetryCount, 0);
    // 530 is only retried for PASS.
    q->CommandId = CMD_USER;
    EXPECT_EQ(Reply("530 Not allowed.\r\n", "331 "), 0);
    EXPECT_STREQ(q->ErrorText, "530 Not allowed.\r\n");
}

TEST_F(ReplyTest, ExpectedCodeWinsOverRefusal) {
    q->CommandId = CMD_UDEF;
    EXPECT_EQ(Reply("550 No such file.\r\n", "550 "), 1);
    EXPECT_STREQ(q->ErrorText, "");
}

TEST_F(ReplyTest, ReceiveFailures) {
    // Nothing there: a read event whose data was already taken waits.
    ASSERT_EQ(FillControlBuffer(q), 1);
    EXPECT_STREQ(q->ReplyBuffer, "");
    EXPECT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 0);
    EXPECT_STREQ(q->ErrorText, "");

    close(server);
    server = -1;
    EXPECT_EQ(FillControlBuffer(q), 0);
    EXPECT_STREQ(q->ErrorText, "Error receiving data in FillControlBuffer()");
}

TEST_F(ReplyTest, HostileReplies) {
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("hello there, no code here\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "");

    // NUL bytes go to the log as they came and do not hide the code.
    const char raw[] = "\0\0junk\r\n250 Ok\0after\r\n";
    std::string nul(raw, sizeof raw - 1);
    EXPECT_EQ(Reply(nul, "250 "), 1);
    std::string log = ReadFile("run.log");
    EXPECT_NE(log.find(nul), std::string::npos);

    // More than one read's worth of junk without a line end.
    std::string junk;
    for (int i = 0; i < 700; i++) junk += (char)(1 + (i * 37) % 255);
    Send(junk + "\r\n");
    for (int i = 0; i < 2; i++) {  // 512 bytes, then the rest
        ASSERT_EQ(FillControlBuffer(q), 1);
        ASSERT_LE(strlen(q->ReplyBuffer), 4u);
        CheckFor(nullptr, "250 ", q->ReplyLength, q);
    }
    q->ErrorText[0] = 0;

    // A refusal line longer than ErrorText is cut, never overrun.
    std::string longLine = "550 " + std::string(300, 'x') + "\r\n";
    EXPECT_EQ(Reply(longLine, "250 "), 0);
    EXPECT_EQ(strlen(q->ErrorText), sizeof q->ErrorText - 1);
    EXPECT_EQ(std::string(q->ErrorText), longLine.substr(0, 127));
    EXPECT_EQ(strlen(q->LastReplyLine), sizeof q->LastReplyLine - 1);
}

TEST_F(ReplyTest, CheckForReadsAtMostNinetyNineCharacters) {
    std::string many;
    for (int i = 0; i < 34; i++) many += "xx\n";
    many += "250 ";
    COPYCUT(q->ReplyBuffer, many.c_str());
    EXPECT_EQ(CheckFor(nullptr, "250 ", (int)many.size(), q), 0);
    COPYCUT(q->ReplyBuffer, "200 x\n250 ");
    EXPECT_EQ(CheckFor(nullptr, "250 ", -3, q), 0);
}
