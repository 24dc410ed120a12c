// The control connection's reading and CheckFor: the server's bytes fed
// to the connection layer one read at a time; a socket pair only where
// the reading itself is tested.
#include <arpa/inet.h>

#include "session/commandids.h"
#include "test_ftp_fixture.h"

using ReplyTest = FtpBytesFixture;
using ReplySocketTest = FtpFixture;

static const char Stray[] = "Reply from the server that no command asked for: ";

TEST_F(ReplyTest, MultiLineReplyYieldsItsFinalCodeAndIsLoggedExactly) {
    const std::string greeting = "220-Welcome\r\n220-Second line\r\n220 Ready\r\n";
    Expect();
    ASSERT_EQ(Deliver(greeting), 1);
    EXPECT_STREQ(q->ReplyBuffer, "220 ");
    EXPECT_EQ(q->ReplyLength, 4);
    EXPECT_EQ(q->IdleCount, 0);
    EXPECT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 1);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_STREQ(q->ReplyBuffer, "");
    EXPECT_EQ(ReadFile("run.log"), greeting);
}

// A multi-line reply ends only on its own code and a blank: lines inside
// it that look like other replies are part of its text.
TEST_F(ReplyTest, MultiLineReplyEndsOnlyOnItsOwnCode) {
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("220-Welcome\r\n220-More to come\r\n", "220 "), 0);
    EXPECT_EQ(Answer("220 Ready\r\n", "220 "), 1);

    EXPECT_EQ(Reply("550-Denied\r\n250 OK\r\n200 Fine\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_EQ(Answer("550 Really denied.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "550 Really denied.\r\n");
}

// Every split of a reply between two reads completes it exactly once.
static void SplitEverywhere(const std::string &reply, const char *expected, int commandId) {
    for (size_t cut = 1; cut < reply.size(); cut++) {
        FtpSession f;
        f.Open(false);
        f.q->CommandId = commandId;
        int first = f.Reply(reply.substr(0, cut), expected);
        int second = f.Answer(reply.substr(cut), expected);
        EXPECT_EQ(first + second, 1) << "split at " << cut;
        EXPECT_STREQ(f.q->ErrorText, "") << "split at " << cut;
        EXPECT_EQ(f.ReadFile("run.log"), reply) << "split at " << cut;
        f.Close();
    }
}

TEST(ReplySplit, ReplySplitAcrossTwoReadsAtEveryPosition) {
    SplitEverywhere("220 Ready\r\n", "220 ", CMD_CHWD);
    SplitEverywhere("220-Welcome\r\n220-Second line\r\n220 Ready\r\n", "220 ", CMD_CHWD);
    SplitEverywhere("150 Opening data connection for a.zip (48213 bytes).\r\n226 Transfer complete.\r\n",
                    "226 ", CMD_RETR);
    // A preliminary reply split in its code still lets the final one in.
    SplitEverywhere("120 Service ready in a minute.\r\n220 Ready.\r\n", "220 ", CMD_CONN);
}

TEST(ReplySplit, RefusalBehindSplitPreliminaryReplyIsNotMissed) {
    FtpSession f;
    f.Open(false);
    f.q->CommandId = CMD_CONN;
    EXPECT_EQ(f.Reply("12", "220 "), 0);
    EXPECT_EQ(f.Answer("0 Service ready in a minute.\r\n421 Too many users.\r\n", "220 "), 0);
    EXPECT_STREQ(f.q->ErrorText, "421 Too many users.\r\n");
    f.Close();
}

TEST_F(ReplyTest, AReplyIsCompleteOnlyAtItsLineEnd) {
    Expect();
    ASSERT_EQ(Deliver("220 Rea"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "");
    EXPECT_EQ(q->ReplyLength, 4);
    EXPECT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 0);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_EQ(Answer("dy\r\n", "220 "), 1);
}

TEST_F(ReplyTest, PreliminaryRepliesArePassedOverOnlyByTransfers) {
    const std::string both = "150 Opening data connection for a.zip (48213 bytes).\r\n226 Transfer complete.\r\n";
    for (int id : {CMD_RETR, CMD_LIST, CMD_STOR, CMD_NLST}) {
        q->CommandId = id;
        Expect();
        ASSERT_EQ(Deliver(both), 1);
        EXPECT_STREQ(q->ReplyBuffer, "226 ") << id;
        EXPECT_EQ(CheckFor(nullptr, "226 ", q->ReplyLength, q), 1);
    }
    // Other commands see the preliminary reply first, then the final one
    // behind it in the same read.
    q->CommandId = CMD_TYPE;
    EXPECT_EQ(Reply("150 Opening data connection.\r\n", "200 "), 0);
    EXPECT_STREQ(q->ErrorText, "");
    q->CommandId = CMD_CONN;
    Expect();
    ASSERT_EQ(Deliver("120 Ready in a minute.\r\n220 Ready.\r\n"), 1);
    EXPECT_STREQ(q->ReplyBuffer, "120 ");
    EXPECT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 1);
}

// The retrieval watches its own reply's lines for the size.
TEST_F(ReplyTest, AnnouncedSizeIsTakenOncePerRetrieval) {
    q->CommandId = CMD_RETR;
    auto Reply = [this](const std::string &bytes, const char *expected) {
        Expect();
        WatchReplyLines(q, TakeAnnouncedSize);
        return Answer(bytes, expected);
    };
    Reply("150 Opening (not a size) for a.zip (48213 bytes).\r\n", "226 ");
    EXPECT_EQ(q->ExpectedSize, 48213u);
    Answer("150 Opening for b.zip (99 bytes).\r\n", "226 ");
    EXPECT_EQ(q->ExpectedSize, 48213u);  // already known

    q->ExpectedSize = 0;
    Reply("150 Opening for c.zip (3000000000 bytes).\r\n", "226 ");
    EXPECT_EQ(q->ExpectedSize, 3000000000u);  // beyond a signed 32-bit long
    q->ExpectedSize = 0;
    Reply("150 Opening for d.zip (99999999999 bytes).\r\n", "226 ");
    EXPECT_EQ(q->ExpectedSize, 99999999999u);  // past 4 GiB
    q->ExpectedSize = 0;
    Reply("150 Opening for e.zip (-5 bytes).\r\n", "226 ");
    EXPECT_EQ(q->ExpectedSize, 0u);  // nonsense stays unknown
    Reply("150 Opening for f.zip (18446744073709551617 bytes).\r\n", "226 ");
    EXPECT_EQ(q->ExpectedSize, 0u);  // does not fit: stays unknown
    Reply("150 Opening (12\r\n", "226 ");  // the group never closes
    EXPECT_EQ(q->ExpectedSize, 0u);

    // Only lines of the command's own reply are watched, and only until
    // it is decided.
    ASSERT_EQ(Answer("226 Done.\r\n", "226 "), 1);
    q->ExpectedSize = 0;
    ASSERT_EQ(Deliver("Stray noise (77 bytes)\r\n"), 1);
    ASSERT_EQ(Reply("226 Done (78 bytes).\r\n", "226 "), 1);
    EXPECT_EQ(q->ExpectedSize, 78u);
    q->ExpectedSize = 0;
    Expect();
    ASSERT_EQ(Deliver("150 Here comes (512 bytes).\r\n"), 1);  // no watcher
    EXPECT_EQ(q->ExpectedSize, 0u);
}

struct PassiveCase {
    const char *reply;
    int extended;     // an EPSV reply (229)
    int found;
    const char *address;  // what a 227 names ("" for none)
    unsigned port;
};

TEST_F(ReplyTest, PassiveRepliesNameAnAddressOnlyInTheirExactForm) {
    const PassiveCase cases[] = {
        {"227 Entering Passive Mode (10,0,0,1,1,1) or (192,168,1,20,19,137).\r\n", 0, 1,
         "192.168.1.20", 5001},
        {"227 Entering Passive Mode ( 127, 0, 0, 1, 4, 1 )\r\n", 0, 1, "127.0.0.1", 1025},
        {"227 Entering Passive Mode (127,0,0,1,255,255).\r\n", 0, 1, "127.0.0.1", 65535},
        // Beyond 255, too few or too many numbers, cut: no address at all.
        {"227 Entering Passive Mode (300,2,0,0,4,1)\r\n", 0, 0, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,256,1)\r\n", 0, 0, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4)\r\n", 0, 0, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,4,1,9)\r\n", 0, 0, "", 0},
        {"227 Entering Passive Mode (127,0,0,1,0004,1)\r\n", 0, 0, "", 0},
        {"227 (300,2\r\n", 0, 0, "", 0},
        {"227 Entering Passive Mode (127,-0,0,1,4,1)\r\n", 0, 0, "", 0},
        {"229 Entering Extended Passive Mode (|||6446|)\r\n", 1, 1, "", 6446},
        {"229 Entering Extended Passive Mode (|||65535|).\r\n", 1, 1, "", 65535},
        {"229 Entering Extended Passive Mode (|||0|)\r\n", 1, 0, "", 0},
        {"229 Entering Extended Passive Mode (|||65536|)\r\n", 1, 0, "", 0},
        {"229 Entering Extended Passive Mode (|||006446|)\r\n", 1, 0, "", 0},
        {"229 Entering Extended Passive Mode (||| 6446|)\r\n", 1, 0, "", 0},
        {"229 Entering Extended Passive Mode (|1|127.0.0.1|6446|)\r\n", 1, 0, "", 0},
        {"229 Entering Extended Passive Mode (|||6446)\r\n", 1, 0, "", 0},
    };
    q->CommandId = CMD_PASV;
    for (const PassiveCase &c : cases) {
        memset(&q->PassiveAddress, 0, sizeof q->PassiveAddress);
        q->PassiveFound = 0;
        Expect();
        WatchReplyLines(q, c.extended ? TakeExtendedPassivePort : TakePassiveAddress);
        Answer(c.reply, c.extended ? "229 " : "227 ");
        EXPECT_EQ(q->PassiveFound, c.found) << c.reply;
        if (!c.found) continue;
        EXPECT_EQ(q->PassiveAddress.Port, c.port) << c.reply;
        char text[NET_ADDRESS_TEXT] = "";
        if (!c.extended) NetFormatAddress(&q->PassiveAddress, text, sizeof text, 0);
        EXPECT_STREQ(text, c.address) << c.reply;
    }

    // Neither a stray reply (which fails the run) nor another command's
    // reply chooses the address.
    q->PassiveFound = 0;
    EXPECT_EQ(Deliver("227 Stray (1,2,3,4,5,6)\r\n"), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "227 Stray (1,2,3,4,5,6)\r\n");
    q->ErrorText[0] = 0;
    q->CommandId = CMD_TYPE;
    EXPECT_EQ(FtpSession::Reply("200 (1,2,3,4,5,6)\r\n", "200 "), 1);
    EXPECT_EQ(q->PassiveFound, 0);
}

struct SubstituteCase {
    const char *expected, *reply;
    int commandId, accepted;
};

TEST_F(ReplyTest, SubstitutesAreAcceptedOnlyWhereTheyApply) {
    const SubstituteCase cases[] = {
        {"226 ", "250 Done.\r\n", CMD_RETR, 1},        {"331 ", "230 Logged in.\r\n", CMD_USER, 1},
        {"200 ", "250 Ok.\r\n", CMD_TYPE, 1},          {"250 ", "200 Ok.\r\n", CMD_CHWD, 1},
        {"150 ", "125 Starting.\r\n", CMD_TYPE, 1},    {"230 ", "332 Need account.\r\n", CMD_PASS, 1},
        {"230 ", "332 Need account.\r\n", CMD_ACCT, 0}, {"250 ", "257 Removed.\r\n", CMD_RDIR, 1},
        {"250 ", "257 \"/x\" created.\r\n", CMD_CHWD, 0}, {"220 ", "230 Hello.\r\n", CMD_CONN, 0},
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
    EXPECT_EQ(Reply("250-First\r\n250-Second\r\n421 Timeout.\r\n250 Done\r\n", "250 "), 1);
    EXPECT_EQ(Reply("421 Timeout.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "421 Timeout.\r\n");
    std::string log = ReadFile("run.log");
    EXPECT_NE(log.find("string=421 \r\n"), std::string::npos);
    EXPECT_NE(log.find("end of CheckFor() FALSE\r\n"), std::string::npos);
}

// A complete reply that arrives before a command is sent, or after its
// reply has decided it, is never taken for an answer: replies and
// commands are out of step, and the run fails naming it.
TEST_F(ReplyTest, AReplyNobodyAskedForFailsTheRun) {
    // Unsolicited, while nothing waits: the drain before the next send.
    ASSERT_EQ(UnsolicitedBytesArrived(q, "200 ok\r\n", 8), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "200 ok\r\n");
    q->ErrorText[0] = 0;

    // Two replies in one read: the first decides its command, the second
    // fails the next send's drain (or the next read).
    q->CommandId = CMD_TYPE;
    EXPECT_EQ(Reply("200 Type set.\r\n200 Again.\r\n", "200 "), 1);
    EXPECT_STREQ(q->ErrorText, "");
    EXPECT_EQ(DrainUnsolicited(q), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "200 Again.\r\n");
    q->ErrorText[0] = 0;
    EXPECT_EQ(DrainUnsolicited(q), 1);  // reported once
    const char glued[] = "200 Type set.\r\n250 Again\0 and\r again.\r\n";
    EXPECT_EQ(Reply(std::string(glued, sizeof glued - 1), "200 "), 1);
    EXPECT_EQ(FillControlBuffer(q), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "250 Again and again.\r\n");
    q->ErrorText[0] = 0;

    // A finished command's late read event.
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("250 Ok.\r\n", "250 "), 1);
    EXPECT_EQ(Deliver("250 Late.\r\n"), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "250 Late.\r\n");
    q->ErrorText[0] = 0;

    // A reply begun before the command went out ends before its answer.
    EXPECT_EQ(Deliver("250-Stray start\r\n"), 1);
    Expect();
    EXPECT_EQ(Deliver("250 stray end\r\n550 Mine.\r\n"), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "250 stray end\r\n");
    q->ErrorText[0] = 0;

    // So does one whose code was cut by the read before.
    q->CommandId = CMD_TYPE;
    EXPECT_EQ(Reply("200 Type set.\r\n55", "200 "), 1);
    EXPECT_EQ(DrainUnsolicited(q), 1);  // not complete yet
    q->CommandId = CMD_CHWD;
    Expect();
    EXPECT_EQ(Deliver("0 stray\r\n250 Mine.\r\n"), 0);
    EXPECT_EQ(std::string(q->ErrorText), std::string(Stray) + "550 stray\r\n");

    std::string log = ReadFile("run.log");
    EXPECT_NE(log.find("200 ok\r\n200 Type set.\r\n200 Again.\r\n"), std::string::npos);
    EXPECT_NE(log.find("0 stray\r\n250 Mine.\r\n"), std::string::npos);
}

// Preliminary replies decide nothing, and a 421 may come at any time (an
// idle time-out): neither is out of step, whoever it reaches.
TEST_F(ReplyTest, StrayPreliminaryAndClosingRepliesPass) {
    const std::string idle = "150 Late news.\r\n421-Idle\r\n421 Time-out; closing.\r\n";
    EXPECT_EQ(UnsolicitedBytesArrived(q, idle.data(), idle.size()), 1);
    q->CommandId = CMD_CHWD;
    EXPECT_EQ(Reply("250 Ok.\r\n" + idle, "250 "), 1);
    EXPECT_EQ(DrainUnsolicited(q), 1);
    EXPECT_STREQ(q->ErrorText, "");
    // Asked for, a 421 is the command's refusal as ever.
    EXPECT_EQ(Reply("421 Time-out.\r\n", "250 "), 0);
    EXPECT_STREQ(q->ErrorText, "421 Time-out.\r\n");
}

// The one-line text is cut to fit, never overrun.
TEST_F(ReplyTest, ALongStrayLineIsCut) {
    std::string line = "550 " + std::string(400, 'z') + "\r\n";
    ASSERT_EQ(UnsolicitedBytesArrived(q, line.data(), line.size()), 0);
    std::string text = q->ErrorText;
    EXPECT_LT(text.size(), sizeof q->ErrorText);
    EXPECT_LT(text.size(), line.size());
    EXPECT_EQ(text.substr(0, strlen(Stray) + 4), std::string(Stray) + "550 ");
    EXPECT_EQ(text.substr(text.size() - 3), "z\r\n");
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
    // 530 is only retried for CMD_PASS.
    q->CommandId = CMD_USER;
    EXPECT_EQ(Reply("530 Not allowed.\r\n", "331 "), 0);
    EXPECT_STREQ(q->ErrorText, "530 Not allowed.\r\n");
}

TEST_F(ReplyTest, ExpectedCodeWinsOverRefusal) {
    q->CommandId = CMD_UDEF;
    EXPECT_EQ(Reply("550 No such file.\r\n", "550 "), 1);
    EXPECT_STREQ(q->ErrorText, "");
}

TEST_F(ReplySocketTest, ReceiveFailures) {
    // Nothing there: a read event whose data was already taken waits.
    Expect();
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
    junk += "\r\n";
    Expect();
    for (size_t at = 0; at < junk.size(); at += ControlReadSize) {
        ASSERT_EQ(Deliver(junk.substr(at, ControlReadSize)), 1);
        ASSERT_LE(strlen(q->ReplyBuffer), 4u);
        CheckFor(nullptr, "250 ", q->ReplyLength, q);
    }
    q->ErrorText[0] = 0;

    // A refusal line longer than ErrorText is cut, never overrun.
    std::string longLine = "550 " + std::string(300, 'x') + "\r\n";
    EXPECT_EQ(Reply(longLine, "250 "), 0);
    // The server's line is kept in LastReplyLine's room.
    EXPECT_EQ(std::string(q->ErrorText), longLine.substr(0, sizeof q->LastReplyLine - 1));
    EXPECT_EQ(strlen(q->LastReplyLine), sizeof q->LastReplyLine - 1);
}

// A reply may not go on for ever: not in bytes, not in time.
TEST_F(ReplySocketTest, ReplyLimits) {
    q->CommandId = CMD_CHWD;
    q->TimeOut = 60;
    Expect();
    std::string block(512, 'x');
    int result = 1;
    long long sent = 0;
    while (result == 1 && sent < 5LL * 1024 * 1024) {
        Send(block);
        sent += 512;
        result = FillControlBuffer(q);
    }
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(q->ErrorText, "Reply from the server longer than 4 MiB in FillControlBuffer()\r\n");
    EXPECT_EQ(ReadFile("run.log").size(), 4u * 1024 * 1024);

    // An unasked flood fails the next send's drain the same way.
    ASSERT_EQ(ResetReplyReader(q), 1);
    q->ErrorText[0] = 0;
    std::string big(64 * 1024, 'y');
    int drained = 1;
    for (int i = 0; i < 66 && drained; i++) {
        Send(big);
        drained = DrainUnsolicited(q);
    }
    EXPECT_EQ(drained, 0);
    EXPECT_STREQ(q->ErrorText, "Reply from the server longer than 4 MiB in FillControlBuffer()\r\n");
}

TEST_F(ReplyTest, ADripEndsAfterTimeOutFromItsFirstByte) {
    q->CommandId = CMD_CHWD;
    q->TimeOut = 5;
    Expect();
    ASSERT_EQ(Deliver("2"), 1);
    sleep(3);
    ASSERT_EQ(Deliver("5"), 1);
    EXPECT_STREQ(q->ErrorText, "");
    sleep(3);
    EXPECT_EQ(Deliver("0"), 0);
    EXPECT_STREQ(q->ErrorText,
                 "Reply from the server not complete within 5 seconds in FillControlBuffer()\r\n");
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
