// The single-reply commands and the send step over a real socket pair.
#include <netinet/in.h>
#include <poll.h>
#include <sys/wait.h>

#include <functional>

#include "app/app.h"
#include "platform/posix/posix_internal.h"
#include "session/commandids.h"
#include "script/script.h"
#include "test_ftp_fixture.h"

class CommandTest : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        std::ofstream(dir + "/job.ftp") << "[QELTA]\r\nFTPCommand1=CHWD /pub\r\n";
        char dos[128];
        ASSERT_EQ(PosixUnmapPath((dir + "/job.ftp").c_str(), dos, sizeof dos), 1);
        COPYCUT(q->ScriptPath, dos);
        q->LongKeyForm = 1;
        q->CommandIndex = 1;
        q->CommandActive = 1;
    }

    int Start(Executor e, const char *argument) {
        COPYCUT(q->Argument, argument);
        return ApplyOutcome(nullptr, q, e(nullptr, q, EV_START, 0, 0));
    }

    int Answer(Executor e, const std::string &reply) {
        Send(reply);
        return ApplyOutcome(nullptr, q, e(nullptr, q, EV_SOCKET, CONTROLMSG, QFD_READ));
    }

    std::string Status() { return ReadFile("job.ftp"); }
};

// Runs f in a child without a controlling terminal, so that prompts take
// their no-terminal answer whoever runs the tests; returns f's result.
static int Detached(const std::function<int()> &f) {
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CommandTest, ChangeDirectoryCompletesOnItsReply) {
    ASSERT_EQ(Start(ExecCHWD, "/pub"), 1);
    EXPECT_EQ(Sent(), "CWD /pub\r\n");
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 1);
    EXPECT_EQ(q->CommandActive, 1);

    // Other events and other sockets' messages leave the command waiting.
    EXPECT_EQ(ExecCHWD(nullptr, q, EV_SOCKET, CONTROLMSG, QFD_WRITE), 1);
    EXPECT_EQ(ExecCHWD(nullptr, q, EV_SOCKET, DATA, QFD_READ), 1);
    EXPECT_EQ(Answer(ExecCHWD, "350 Hmm.\r\n"), 1);
    EXPECT_EQ(q->CommandActive, 1);

    EXPECT_EQ(Answer(ExecCHWD, "250 Directory successfully changed.\r\n"), 1);
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 0);
    EXPECT_EQ(q->CommandActive, 0);
    EXPECT_NE(Status().find("CommandStatus1=Success"), std::string::npos);
}

TEST_F(CommandTest, RefusalFailsWithTheServersLine) {
    ASSERT_EQ(Start(ExecMDIR, "new"), 1);
    EXPECT_EQ(Sent(), "MKD new\r\n");
    EXPECT_EQ(Answer(ExecMDIR, "550 Create directory operation failed.\r\n"), 0);
    EXPECT_STREQ(q->ErrorText, "550 Create directory operation failed.\r\n");
    EXPECT_EQ(Status().find("CommandStatus1"), std::string::npos);
}

TEST_F(CommandTest, LinesOfEachCommand) {
    struct Case {
        Executor exec;
        int id;
        const char *argument, *line, *reply;
    } cases[] = {
        {ExecUSER, CMD_USER, "anonymous", "USER anonymous\r\n",
         "331 Please specify the password.\r\n"},
        {ExecACCT, CMD_ACCT, "acme", "ACCT acme\r\n", "230 Ok.\r\n"},
        {ExecRDIR, CMD_RDIR, "old", "RMD old\r\n", "257 Removed.\r\n"},
        {ExecSMNT, CMD_SMNT, "/mnt", "SMNT /mnt\r\n", "200 Ok.\r\n"},
        {ExecTYPE, CMD_TYPE, "A N", "TYPE A N\r\n", "200 Switching to ASCII mode.\r\n"},
        {ExecUDEF, CMD_UDEF, "SITE CHMOD 644 a.txt 200", "SITE CHMOD 644 a.txt\r\n", "250 Ok.\r\n"},
        {ExecUDEF, CMD_UDEF, "NOOP 200", "NOOP\r\n", "200 NOOP ok.\r\n"},
    };
    for (const Case &c : cases) {
        q->CommandActive = 1;
        q->CommandId = c.id;
        ASSERT_EQ(Start(c.exec, c.argument), 1) << c.argument;
        EXPECT_EQ(Sent(), c.line);
        EXPECT_EQ(Answer(c.exec, c.reply), 1) << c.reply;
        EXPECT_EQ(q->CommandActive, 0) << c.line;
        EXPECT_STREQ(q->ErrorText, "");
    }
    EXPECT_EQ(q->UserAccepted, 1);
    EXPECT_EQ(q->TransferType, 'A');
}

TEST_F(CommandTest, UdefNeedsATrailingThreeDigitCode) {
    for (const char *bad : {"NOOP", "NOOP 20", "SITE HELP", " 200", "NOOP 2000", "NOOP 20x"}) {
        q->ErrorText[0] = 0;
        EXPECT_EQ(Start(ExecUDEF, bad), 0) << bad;
        EXPECT_STRNE(q->ErrorText, "") << bad;
    }
    EXPECT_EQ(Sent(), "");
}

// Under TLS a raw line may not change or drop the protection; other
// lines, and these same ones without TLS, go out as ever.
TEST_F(CommandTest, UdefMayNotTouchTheProtection) {
    q->Tls.Mode = TLS_EXPLICIT;
    for (const char *bad : {"PROT C 200", "prot p 200", "CCC 200", "AUTH SSL 234", " PBSZ 0 200"}) {
        q->ErrorText[0] = 0;
        EXPECT_EQ(Start(ExecUDEF, bad), 0) << bad;
        EXPECT_NE(std::string(q->ErrorText).find("TLS protection"), std::string::npos) << bad;
    }
    EXPECT_EQ(Sent(), "");
    ASSERT_EQ(Start(ExecUDEF, "PROTECTED 200"), 1);
    EXPECT_EQ(Sent(), "PROTECTED\r\n");
    q->Tls.Mode = TLS_NONE;
    ASSERT_EQ(Start(ExecUDEF, "PROT C 200"), 1);
}

TEST_F(CommandTest, TypeSetsTheTransferTypeAndClearsPassRetries) {
    q->PassRetryCount = 2;
    ASSERT_EQ(Start(ExecTYPE, "i"), 1);
    EXPECT_EQ(Sent(), "TYPE i\r\n");
    EXPECT_EQ(q->TransferType, 'I');
    EXPECT_EQ(q->PassRetryCount, 0);
}

TEST_F(CommandTest, PassIsRunAgainAfterATolerated530) {
    q->CommandId = CMD_PASS;
    q->CommandIndex = 4;
    ASSERT_EQ(Start(ExecPASS, "wrong"), 1);
    EXPECT_EQ(Sent(), "PASS wrong\r\n");
    EXPECT_EQ(Answer(ExecPASS, "530 Login incorrect.\r\n"), 1);
    EXPECT_EQ(q->CommandIndex, 3);  // the advance step brings it back to 4
    EXPECT_EQ(q->CommandActive, 0);
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 0);
    EXPECT_EQ(q->LoggedIn, 0);
    EXPECT_EQ(Status().find("CommandStatus"), std::string::npos);

    q->CommandIndex = 4;
    q->CommandActive = 1;
    ASSERT_EQ(Start(ExecPASS, "right"), 1);
    EXPECT_EQ(Answer(ExecPASS, "230 Login successful.\r\n"), 1);
    EXPECT_EQ(q->CommandIndex, 4);
    EXPECT_EQ(q->LoggedIn, 1);
    EXPECT_EQ(q->PassRetryCount, 0);
    EXPECT_NE(Status().find("CommandStatus4=Success"), std::string::npos);
}

TEST_F(CommandTest, DebugRecordsEachLineButNeverThePassword) {
    q->Debug = 1;
    ASSERT_EQ(Start(ExecCHWD, "/pub"), 1);
    ASSERT_EQ(Start(ExecPASS, "s3cret-word"), 1);
    EXPECT_EQ(Sent(), "CWD /pub\r\nPASS s3cret-word\r\n");
    for (const char *file : {"run.log", "run.err"}) {
        EXPECT_EQ(ReadFile(file), "*** CWD /pub\r\n*** PASS xxxxxxxx\r\n") << file;
    }
}

TEST_F(CommandTest, AfterAFailureNothingIsSentButTheCommandWaits) {
    q->ErrorFlag = 1;
    ASSERT_EQ(Start(ExecCHWD, "/pub"), 1);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 1);
}

// A line the socket cannot take whole is kept and goes out on the control
// socket's next write event, as the dialog receives it: the server reads
// the filler and then exactly the line.
TEST_F(CommandTest, ALineTheSocketDidNotTakeGoesOutOnItsNextWriteEvent) {
    const std::string site = "SITE " + std::string(400, 'u');
    const std::string udef = site + " 200";
    struct {
        Executor exec;
        int id;
        const char *argument;
        std::string line;
    } cases[] = {{ExecCHWD, CMD_CHWD, "/pub", "CWD /pub\r\n"},
                 {ExecUDEF, CMD_UDEF, udef.c_str(), site + "\r\n"}};
    QELTA *saved = pQELTA;
    pQELTA = q;
    for (auto &c : cases) {
        // Fill the pair until the client's end takes nothing more.
        std::string block(65536, 'x');
        size_t filled = 0;
        for (size_t n = block.size(); n > 0; n /= 2) {
            ssize_t put;
            while ((put = write((int)q->Socket.Control, block.data(), n)) > 0) filled += (size_t)put;
        }
        q->CommandId = c.id;
        ASSERT_EQ(Start(c.exec, c.argument), 1) << c.line;
        EXPECT_EQ(q->LastSocketError, QWSAEWOULDBLOCK);
        EXPECT_EQ(q->CurrentState.WaitingForResponseCode, 1);
        EXPECT_STREQ(q->ErrorText, "");
        std::string got;
        for (int idle = 0; idle < 2;) {
            std::string part = Sent();
            got += part;
            idle = part.empty() ? idle + 1 : 0;
            // Room again: the dialog is told as the socket layer tells it.
            if (part.empty()) Dialog1(nullptr, CONTROLMSG, (uintptr_t)q->Socket.Control, QFD_WRITE);
        }
        EXPECT_EQ(got.size(), filled + c.line.size());
        EXPECT_EQ(got.substr(filled), c.line);
        EXPECT_EQ(q->ErrorFlag, 0);
        q->CurrentState.WaitingForResponseCode = 0;
    }
    pQELTA = saved;
}

TEST_F(CommandTest, SendFailureNamesTheExecutor) {
    close(server);
    server = -1;
    EXPECT_EQ(Start(ExecRDIR, "old"), 0);
    char want[128];
    FORMATCUT(want, "Winsock Error %d On send() in ExecRDIR()\r\n", q->LastSocketError);
    EXPECT_STREQ(q->ErrorText, want);
    EXPECT_NE(q->LastSocketError, 0);
    EXPECT_EQ(Start(ExecTYPE, "I"), 0);
    FORMATCUT(want, "Winsock Error %d On send() in ExecTYPE\r\n", q->LastSocketError);
    EXPECT_STREQ(q->ErrorText, want);
}

TEST_F(CommandTest, ArgumentTooLongForTheLineIsRefused) {
    std::string path(130, 'd');
    EXPECT_EQ(Start(ExecCHWD, path.c_str()), 0);
    EXPECT_STREQ(q->ErrorText, "Argument too long for one line in ExecCHWD\r\n");
    EXPECT_EQ(Sent(), "");
    // The longest that fits: "CWD " + 121 + CR LF is 127 characters.
    q->ErrorText[0] = 0;
    EXPECT_EQ(Start(ExecCHWD, std::string(121, 'd').c_str()), 1);
    EXPECT_EQ(Sent(), "CWD " + std::string(121, 'd') + "\r\n");
}

TEST_F(CommandTest, QuitClosesTheConnection) {
    q->Connected = q->UserAccepted = q->LoggedIn = 1;
    q->TransferType = 'I';
    ASSERT_EQ(Start(ExecQUIT, "ignored"), 1);
    EXPECT_EQ(Sent(), "QUIT\r\n");
    EXPECT_EQ(Answer(ExecQUIT, "221 Goodbye.\r\n"), 1);
    EXPECT_EQ(q->Socket.Control, -1);
    EXPECT_EQ(q->Connected + q->UserAccepted + q->LoggedIn, 0);
    EXPECT_EQ(q->TransferType, 'A');
    EXPECT_EQ(q->CommandActive, 0);
    EXPECT_NE(Status().find("CommandStatus1=Success"), std::string::npos);
}

TEST_F(CommandTest, DebugConfirmationWithoutATerminalSendsNothing) {
    q->DebugMessages = 1;
    q->Debug = 1;
    int result = Detached([&] {
        int r = Start(ExecCHWD, "/pub");
        return r == 0 && strcmp(q->ErrorText, "User Selected No to Debug Message\r\n") == 0 ? 7 : 1;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(ReadFile("run.log"), "*** CWD /pub\r\n");  // recorded before the question
}

TEST_F(CommandTest, RemoteDelete550WithoutOverrideFails) {
    q->CommandId = CMD_DELR;
    q->ReturnIndex = 3;
    int result = Detached([&] {
        Expect();
        Send("550 No such file.\r\n");
        FillControlBuffer(q);
        int r = CheckFor(nullptr, "250 ", q->ReplyLength, q);
        return r == 0 && strcmp(q->ErrorText, "550 error during a remote delete") == 0 ? 7 : 1;
    });
    EXPECT_EQ(result, 7);
}

TEST_F(CommandTest, PasswordPromptWithoutATerminalIsCancel) {
    q->CommandId = CMD_PASS;
    int result = Detached([&] {
        int r = Start(ExecPASS, "");
        return r == 1 && q->Argument[0] == 0 ? 7 : 1;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(Sent(), "PASS \r\n");
}

// The old connection ended in the middle of a line; the new one's greeting
// must still be found at its first byte, though the new socket usually
// gets the old one's number.
TEST_F(CommandTest, NewConnectionStartsAtALineStart) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    ASSERT_EQ(bind(listener, (sockaddr *)&sin, sizeof sin), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, (sockaddr *)&sin, &len), 0);

    q->CommandId = CMD_CONN;
    Expect();
    ASSERT_EQ(Deliver("220 Old server\r\nand a line without its end"), 1);
    ASSERT_EQ(CheckFor(nullptr, "220 ", q->ReplyLength, q), 1);
    std::string target = "127.0.0.1:" + std::to_string(ntohs(sin.sin_port));
    ASSERT_EQ(Start(ExecCONN, target.c_str()), 1);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(write(peer, "220 Ready\r\n", 11), 11);
    pollfd p{(int)q->Socket.Control, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(Dispatcher(nullptr, CMD_CONN, q, EV_SOCKET, CONTROLMSG, QFD_READ), 1);
    EXPECT_EQ(q->Connected, 1);
    EXPECT_EQ(q->CommandActive, 0);

    PlatNetClose(q->Socket.Control);
    q->Socket.Control = -1;
    close(peer);
    close(listener);
}
